#include "web_server.h"

#include "core/server.h"
#include "web/ws_frame.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QUrlQuery>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <atomic>
#include <future>
#include <map>
#include <mutex>
#include <vector>
#include <set>
#include <string>
#include <thread>

namespace marlin {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {

class EventSession;
class HttpSession;

// What the I/O thread shares: the context, the acceptor, the event clients
// and the connections waiting for a request (touched on the I/O thread
// only) and the counters the engine reads. Declared so that the counters
// outlive the context: the context's destructor ends the sessions its
// pending handlers still hold.
struct Shared {
    std::atomic<int> connections{0};
    std::atomic<int> eventClientCount{0};
    // Connections one address may hold.
    int perAddressLimit = 32;
    // The engine-side object requests are handed to; null once stopping.
    QPointer<WebApi> api;
    // Open connections by client address, event streams by token and by
    // user (streams count from the upgrade's acceptance on).
    std::map<std::string, int> perAddress;
    std::map<std::string, int> streamsPerToken;
    std::map<QString, int> streamsPerUser;
    asio::io_context context{1};
    tcp::acceptor acceptor{context};
    asio::steady_timer acceptPause{context};
    std::set<std::shared_ptr<EventSession>> eventClients;
    // Connections waiting for a request or for the rest of one.
    std::set<HttpSession *> waiting;
    // Frames the engine has handed over and the I/O thread not yet sent.
    std::mutex outgoingLock;
    std::vector<std::shared_ptr<const std::string>> outgoing;
};

// Counts one open connection, and one for its address, for as long as it lives.
class ConnectionCount {
public:
    ConnectionCount(Shared &shared, std::string address) : shared(shared), address(std::move(address))
    {
        ++shared.connections;
        ++shared.perAddress[this->address];
    }
    ~ConnectionCount()
    {
        --shared.connections;
        const auto it = shared.perAddress.find(address);
        if (it != shared.perAddress.end() && --it->second <= 0)
            shared.perAddress.erase(it);
    }
    ConnectionCount(const ConnectionCount &) = delete;
    ConnectionCount &operator=(const ConnectionCount &) = delete;
    const std::string &peer() const { return address; }

private:
    Shared &shared;
    std::string address;
};

std::string toStd(const QByteArray &bytes) { return std::string(bytes.constData(), std::size_t(bytes.size())); }
QByteArray toBytes(beast::string_view text) { return QByteArray(text.data(), qsizetype(text.size())); }

http::response<http::string_body> makeResponse(const WebResponse &answer, unsigned version, bool keepAlive)
{
    http::response<http::string_body> response{http::status(unsigned(answer.status)), version};
    response.set(http::field::server, "Marlin Server");
    response.set(http::field::content_type, toStd(answer.contentType));
    response.set(http::field::cache_control, "no-store");
    // The page is never framed by another site, loads nothing from
    // elsewhere, and no answer is read as anything but its own type.
    response.set("X-Content-Type-Options", "nosniff");
    response.set("X-Frame-Options", "DENY");
    response.set("Content-Security-Policy",
                 "default-src 'self'; connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'");
    if (answer.retryAfterSeconds > 0)
        response.set(http::field::retry_after, std::to_string(answer.retryAfterSeconds));
    if (answer.challenge)
        response.set(http::field::www_authenticate, "Bearer");
    response.keep_alive(keepAlive);
    response.body() = toStd(answer.body);
    response.prepare_payload();
    return response;
}

WebResponse plainFailure(int status, const char *text)
{
    return {status, "application/json", QByteArray("{\"error\":\"") + text + "\"}"};
}

// One event stream. Beast answers the upgrade; after that the stream only
// carries the server's text frames, which it builds once for every client,
// and every frame waiting for a client goes out in one write. What the
// client sends is read for its pings (answered), its close (answered, then
// the connection ends) and to know it is there: the server pings every
// kIdleSeconds / 2 and drops a client it has not heard from in kIdleSeconds.
// It ends with close status 1008 when its token ends.
class EventSession : public std::enable_shared_from_this<EventSession> {
public:
    using Frame = std::shared_ptr<const std::string>;

    EventSession(Shared &shared, beast::tcp_stream &&stream, const std::string &peer, std::string token,
                 QString user)
        : shared(shared), count(shared, peer), stream(std::move(stream)), pinger(shared.context),
          token(std::move(token)), user(std::move(user))
    {
        ++shared.streamsPerToken[this->token];
        ++shared.streamsPerUser[this->user];
    }
    ~EventSession()
    {
        if (const auto it = shared.streamsPerToken.find(token); it != shared.streamsPerToken.end() && --it->second <= 0)
            shared.streamsPerToken.erase(it);
        if (const auto it = shared.streamsPerUser.find(user); it != shared.streamsPerUser.end() && --it->second <= 0)
            shared.streamsPerUser.erase(it);
    }

    void run(http::request<http::string_body> request)
    {
        stream.expires_after(std::chrono::seconds(WebServer::kRequestSeconds));
        handshake = std::make_unique<websocket::stream<beast::tcp_stream &>>(stream);
        handshake->set_option(websocket::stream_base::decorator(
            [](websocket::response_type &response) { response.set(http::field::server, "Marlin Server"); }));
        // The kernel keeps a bounded amount per client too, so the limit on
        // the queue is what decides when a slow reader is dropped.
        error_code ignored;
        stream.socket().set_option(asio::socket_base::send_buffer_size(128 * 1024), ignored);
        handshake->async_accept(request, [self = shared_from_this()](error_code ec) { self->accepted(ec); });
    }

    const std::string &sessionToken() const { return token; }

    void send(const Frame &frame)
    {
        if (closed || !open || closing)
            return;
        if (queuedBytes + frame->size() > std::size_t(WebServer::kEventQueueLimit)) {
            drop();
            return;
        }
        queue.push_back(frame);
        queuedBytes += frame->size();
        if (!writing)
            writeQueued();
    }

    // Sends a close frame with status, then ends the connection.
    void closeWith(std::uint16_t status, const std::string &reason)
    {
        if (closed || closing)
            return;
        if (!open) {
            drop();
            return;
        }
        send(std::make_shared<const std::string>(makeCloseFrame(status, reason)));
        closing = true;
        if (!writing)
            drop();
    }

    void drop()
    {
        if (closed)
            return;
        closed = true;
        error_code ignored;
        pinger.cancel();
        stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream.socket().close(ignored);
        queue.clear();
        if (shared.eventClients.erase(shared_from_this()) > 0)
            --shared.eventClientCount;
    }

private:
    void accepted(error_code ec)
    {
        if (ec || closed)
            return;
        stream.expires_never();
        open = true;
        lastHeard = std::chrono::steady_clock::now();
        shared.eventClients.insert(shared_from_this());
        ++shared.eventClientCount;
        readNext();
        schedulePing();
    }

    void schedulePing()
    {
        pinger.expires_after(std::chrono::seconds(WebServer::kIdleSeconds) / 2);
        pinger.async_wait([self = shared_from_this()](error_code ec) {
            if (ec || self->closed)
                return;
            if (std::chrono::steady_clock::now() - self->lastHeard >= std::chrono::seconds(WebServer::kIdleSeconds)) {
                self->drop();
                return;
            }
            self->send(std::make_shared<const std::string>(makeFrame(WsPing, nullptr, 0)));
            self->schedulePing();
        });
    }

    void readNext()
    {
        stream.socket().async_read_some(incoming.prepare(4096), [self = shared_from_this()](error_code ec, std::size_t n) {
            if (ec || self->closed) {
                self->drop();
                return;
            }
            self->incoming.commit(n);
            self->lastHeard = std::chrono::steady_clock::now();
            if (!self->takeIncoming())
                return;
            self->readNext();
        });
    }

    // Handles every whole frame received; false when the connection ends.
    bool takeIncoming()
    {
        const WsFrames taken = takeFrames(static_cast<const unsigned char *>(incoming.data().data()), incoming.size());
        incoming.consume(taken.consumed);
        for (const WsFrame &frame : taken.frames) {
            if (frame.opcode == WsClose) {
                // Answer the close with the client's status, then end.
                const std::size_t status = std::min<std::size_t>(frame.payload.size(), 2);
                send(std::make_shared<const std::string>(makeFrame(WsClose, frame.payload.data(), status)));
                closing = true;
                if (!writing)
                    drop();
                return false;
            }
            if (frame.opcode == WsPing)
                send(std::make_shared<const std::string>(makeFrame(WsPong, frame.payload.data(), frame.payload.size())));
        }
        if (taken.fault || incoming.size() > 2 * kWsLargestClientFrame) {
            drop();
            return false;
        }
        return true;
    }

    void writeQueued()
    {
        writing = true;
        inFlight.swap(queue);
        buffers.clear();
        for (const Frame &frame : inFlight)
            buffers.emplace_back(frame->data(), frame->size());
        asio::async_write(stream.socket(), buffers, [self = shared_from_this()](error_code ec, std::size_t) {
            self->writing = false;
            for (const Frame &frame : self->inFlight)
                self->queuedBytes -= frame->size();
            self->inFlight.clear();
            if (ec || self->closed || (self->closing && self->queue.empty())) {
                self->drop();
                return;
            }
            if (!self->queue.empty())
                self->writeQueued();
        });
    }

    Shared &shared;
    ConnectionCount count;
    beast::tcp_stream stream;
    std::unique_ptr<websocket::stream<beast::tcp_stream &>> handshake;
    asio::steady_timer pinger;
    std::string token;
    QString user;
    beast::flat_buffer incoming;
    std::vector<Frame> queue;
    std::vector<Frame> inFlight;
    std::vector<asio::const_buffer> buffers;
    std::size_t queuedBytes = 0;
    std::chrono::steady_clock::time_point lastHeard;
    bool open = false;
    bool writing = false;
    bool closing = false;
    bool closed = false;
};

// One HTTP connection: a request at a time, each handed to the engine and
// answered with what it returns; kept open between requests while the
// client asks. A request, head and body, must come whole within
// kRequestSeconds of the wait for it starting, and while it is awaited the
// connection may give its place to a new one (see acceptNext).
class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(Shared &shared, tcp::socket &&socket, const std::string &address, bool reserved)
        : shared(shared), count(shared, address), stream(std::move(socket)),
          buffer(WebServer::kHeaderLimit + WebServer::kBodyLimit + 4096), peer(QString::fromStdString(address)),
          reserved(reserved)
    {
    }
    ~HttpSession() { shared.waiting.erase(this); }

    void readNext()
    {
        parser.emplace();
        parser->header_limit(WebServer::kHeaderLimit);
        parser->body_limit(WebServer::kBodyLimit);
        stream.expires_after(std::chrono::seconds(WebServer::kRequestSeconds));
        waitingSince = std::chrono::steady_clock::now();
        shared.waiting.insert(this);
        http::async_read(stream, buffer, *parser,
                         [self = shared_from_this()](error_code ec, std::size_t) { self->received(ec); });
    }

    std::chrono::steady_clock::time_point waitingFrom() const { return waitingSince; }

    // Gives up the connection to make room for another.
    void evict()
    {
        shared.waiting.erase(this);
        error_code ignored;
        stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream.socket().close(ignored);
    }

private:
    void received(error_code ec)
    {
        shared.waiting.erase(this);
        if (ec == http::error::end_of_stream || ec == beast::error::timeout || ec == asio::error::operation_aborted
            || ec == asio::error::connection_reset || ec == asio::error::eof || ec == asio::error::bad_descriptor) {
            close();
            return;
        }
        if (ec == http::error::body_limit) {
            answer(plainFailure(413, "body: larger than 64 KiB"), false);
            return;
        }
        if (ec == http::error::header_limit) {
            answer(plainFailure(431, "headers: larger than 8 KiB"), false);
            return;
        }
        if (ec) {
            answer(plainFailure(400, "request: not a well-formed HTTP/1.1 request"), false);
            return;
        }
        stream.expires_never();
        request = parser->release();
        version = request.version();
        keepAlive = request.keep_alive();

        WebRequest handed;
        handed.method = toBytes(request.method_string());
        handed.target = toBytes(request.target());
        handed.body = QByteArray::fromStdString(request.body());
        handed.authorization = toBytes(request[http::field::authorization]);
        handed.peer = peer;
        handed.host = toBytes(request[http::field::host]);
        handed.hasOrigin = request.find(http::field::origin) != request.end();
        handed.origin = toBytes(request[http::field::origin]);
        handed.contentType = toBytes(request[http::field::content_type]);
        handed.reserved = reserved;

        const bool upgrade = websocket::is_upgrade(request);
        QPointer<WebApi> api = shared.api;
        if (!api) {
            close();
            return;
        }
        // The engine answers on its own thread; the answer comes back here.
        auto self = shared_from_this();
        QMetaObject::invokeMethod(
            api.data(),
            [api, self, handed = std::move(handed), upgrade]() mutable {
                WebResponse answer;
                QByteArray token;
                QString user;
                bool accept = false;
                if (!upgrade) {
                    answer = api->handle(handed);
                } else if (std::optional<WebResponse> refused = api->refusal(handed, true)) {
                    answer = *refused;
                } else {
                    const qsizetype question = handed.target.indexOf('?');
                    const QByteArray path = question < 0 ? handed.target : handed.target.left(question);
                    if (path != "/api/v1/events") {
                        answer = plainFailure(404, "path: events are at /api/v1/events");
                    } else {
                        const QUrlQuery query(QString::fromUtf8(handed.target.mid(question + 1)));
                        token = query.queryItemValue(QStringLiteral("token")).toUtf8();
                        user = question >= 0 ? api->tokenUser(token) : QString();
                        accept = !user.isEmpty();
                        if (!accept) {
                            answer = plainFailure(401, "token: missing, unknown or expired");
                            answer.challenge = true;
                        }
                    }
                }
                Shared &shared = self->shared;
                asio::post(shared.context, [self = std::move(self), answer = std::move(answer), accept,
                                            token = toStd(token), user = user.toUpper()]() {
                    if (accept)
                        self->becomeEventStream(token, user);
                    else
                        self->answer(answer, self->keepAlive);
                });
            },
            Qt::QueuedConnection);
    }

    void becomeEventStream(const std::string &token, const QString &user)
    {
        // A session, and a user, hold only so many streams: one client
        // cannot take every connection with streams of one login.
        const auto perToken = shared.streamsPerToken.find(token);
        if (perToken != shared.streamsPerToken.end() && perToken->second >= WebServer::kStreamsPerSession) {
            answer(plainFailure(429, "events: this session has as many event streams open as it may"), false);
            return;
        }
        const auto perUser = shared.streamsPerUser.find(user);
        if (perUser != shared.streamsPerUser.end() && perUser->second >= WebServer::kStreamsPerUser) {
            answer(plainFailure(429, "events: this user has as many event streams open as it may"), false);
            return;
        }
        auto events = std::make_shared<EventSession>(shared, std::move(stream), count.peer(), token, user);
        events->run(std::move(request));
    }

    void answer(const WebResponse &answer, bool keep)
    {
        auto response = std::make_shared<http::response<http::string_body>>(makeResponse(answer, version, keep));
        stream.expires_after(std::chrono::seconds(WebServer::kRequestSeconds));
        http::async_write(stream, *response, [self = shared_from_this(), response, keep](error_code ec, std::size_t) {
            if (ec || !keep) {
                self->close();
                return;
            }
            self->readNext();
        });
    }

    void close()
    {
        error_code ignored;
        stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream.close();
    }

    Shared &shared;
    ConnectionCount count;
    beast::tcp_stream stream;
    beast::flat_buffer buffer;
    std::optional<http::request_parser<http::string_body>> parser;
    http::request<http::string_body> request;
    QString peer;
    bool reserved = false;
    std::chrono::steady_clock::time_point waitingSince;
    unsigned version = 11;
    bool keepAlive = false;
};

void refuseBusy(tcp::socket &socket)
{
    static const char busy[] = "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
                               "Content-Length: 42\r\nConnection: close\r\n\r\n"
                               "{\"error\":\"connections: too many open now\"}";
    error_code ignored;
    socket.non_blocking(true, ignored);
    socket.write_some(asio::buffer(busy, sizeof busy - 1), ignored);
    socket.close(ignored);
}

void acceptNext(Shared &shared);

// Where a new connection goes. One address holds at most its share. Near
// the cap, the connection that has waited longest for a request gives up
// its place; when none waits, the last kReservedConnections places take
// only requests with a live token, so an administrator reaches the API
// while the rest are held.
void adopt(Shared &shared, tcp::socket socket)
{
    error_code ec;
    const tcp::endpoint remote = socket.remote_endpoint(ec);
    if (ec)
        return;
    const std::string address = remote.address().to_string();
    const auto mine = shared.perAddress.find(address);
    if (mine != shared.perAddress.end() && mine->second >= shared.perAddressLimit) {
        refuseBusy(socket);
        return;
    }
    bool reserved = false;
    if (shared.connections.load() >= WebServer::kConnectionLimit - WebServer::kReservedConnections) {
        HttpSession *longest = nullptr;
        for (HttpSession *session : shared.waiting) {
            if (!longest || session->waitingFrom() < longest->waitingFrom())
                longest = session;
        }
        if (longest)
            longest->evict();
        else if (shared.connections.load() < WebServer::kConnectionLimit)
            reserved = true;
        else {
            refuseBusy(socket);
            return;
        }
    }
    std::make_shared<HttpSession>(shared, std::move(socket), address, reserved)->readNext();
}

void acceptNext(Shared &shared)
{
    shared.acceptor.async_accept([&shared](error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !shared.acceptor.is_open())
            return;
        if (ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space || ec == asio::error::no_memory
            || ec.value() == ENFILE) {
            // Out of descriptors or memory: wait a moment rather than
            // wake again at once.
            shared.acceptPause.expires_after(std::chrono::milliseconds(WebServer::kAcceptPauseMs));
            shared.acceptPause.async_wait([&shared](error_code waited) {
                if (!waited)
                    acceptNext(shared);
            });
            return;
        }
        if (!ec)
            adopt(shared, std::move(socket));
        acceptNext(shared);
    });
}

} // namespace

struct WebServer::Io {
    Shared shared;
    std::thread thread;
    QString address;
    quint16 port = 0;
};

WebServer::WebServer(Server &server, QObject *parent) : Face(server, parent), webApi(server)
{
    webApi.setConnectionCount([this] { return connectionCount(); });
    webApi.setEventListeners([this] { return eventClientCount() > 0; });
    connect(&webApi, &WebApi::eventReady, this, &WebServer::broadcast);
    connect(&webApi, &WebApi::sessionEnded, this, &WebServer::endStreams);
}

WebServer::~WebServer() { closeAll(); }

bool WebServer::wanted() const { return server.currentSettings().Web.WebEnabled; }

bool WebServer::listen(bool report)
{
    const WebSettings &web = server.currentSettings().Web;
    if (io || !web.WebEnabled || server.isStandby())
        return isListening();
    problem.clear();

    auto next = std::make_unique<Io>();
    next->shared.api = &webApi;
    next->shared.perAddressLimit = web.WebConnectionsPerAddress;
    const QString host = web.WebIPAddress;
    error_code ec;
    problem = WebEndpointProblem(web);
    const asio::ip::address address =
        problem.isEmpty() ? asio::ip::make_address(host.toStdString(), ec) : asio::ip::address();
    if (ec) {
        problem = QString::fromStdString(ec.message());
    } else if (problem.isEmpty()) {
        tcp::acceptor &acceptor = next->shared.acceptor;
        const tcp::endpoint endpoint(address, quint16(web.WebTCPPort));
        acceptor.open(endpoint.protocol(), ec);
        if (!ec)
            acceptor.set_option(asio::socket_base::reuse_address(true), ec);
        if (!ec)
            acceptor.bind(endpoint, ec);
        if (!ec)
            acceptor.listen(asio::socket_base::max_listen_connections, ec);
        if (ec)
            problem = QString::fromStdString(ec.message());
    }
    if (!problem.isEmpty()) {
        if (!report)
            return false;
        server.WriteErrorLog(QStringLiteral("The web server could not listen on %1:%2 (%3).")
                                 .arg(host)
                                 .arg(web.WebTCPPort)
                                 .arg(problem));
        server.tellTerminal(QStringLiteral("web not listening on %1:%2: %3").arg(host).arg(web.WebTCPPort).arg(problem));
        return false;
    }

    const tcp::endpoint bound = next->shared.acceptor.local_endpoint(ec);
    next->address = host;
    next->port = ec ? 0 : bound.port();
    Shared &shared = next->shared;
    acceptNext(shared);
    next->thread = std::thread([&shared] { shared.context.run(); });
    io = std::move(next);
    server.tellTerminal(QStringLiteral("web listening on %1:%2").arg(io->address).arg(io->port));
    return true;
}

void WebServer::closeAll()
{
    if (!io)
        return;
    Shared &shared = io->shared;
    // The listener and the streams close on the I/O thread, and the context
    // stops only once that has run.
    std::promise<void> closed;
    asio::post(shared.context, [&shared, &closed] {
        error_code ignored;
        shared.acceptor.close(ignored);
        shared.acceptPause.cancel();
        const auto clients = shared.eventClients;
        for (const auto &client : clients)
            client->drop();
        const auto waiting = shared.waiting;
        for (HttpSession *session : waiting)
            session->evict();
        closed.set_value();
    });
    closed.get_future().wait();
    shared.context.stop();
    io->thread.join();
    // Requests still waiting for the engine hold their connections: they go
    // now, while the context their sockets belong to is still there.
    shared.api = nullptr;
    QCoreApplication::removePostedEvents(&webApi, QEvent::MetaCall);
    shared.eventClients.clear();
    io.reset();
}

void WebServer::endStreams(const QByteArray &token)
{
    if (!io)
        return;
    Shared &shared = io->shared;
    asio::post(shared.context, [&shared, token = toStd(token)] {
        const auto clients = shared.eventClients;
        for (const auto &client : clients) {
            if (client->sessionToken() == token)
                client->closeWith(1008, "token ended");
        }
    });
}

bool WebServer::isListening() const { return io != nullptr; }

QString WebServer::address() const { return io ? io->address : QString(); }

quint16 WebServer::port() const { return io ? io->port : 0; }

int WebServer::connectionCount() const { return io ? io->shared.connections.load() : 0; }

int WebServer::eventClientCount() const { return io ? io->shared.eventClientCount.load() : 0; }

void WebServer::broadcast(const QByteArray &json)
{
    if (!io)
        return;
    auto frame = std::make_shared<const std::string>(makeFrame(WsText, json.constData(), std::size_t(json.size())));
    Shared &shared = io->shared;
    // A burst of changes travels to the I/O thread in one hand-over.
    bool first = false;
    {
        const std::lock_guard<std::mutex> lock(shared.outgoingLock);
        first = shared.outgoing.empty();
        shared.outgoing.push_back(std::move(frame));
    }
    if (!first)
        return;
    asio::post(shared.context, [&shared] {
        std::vector<EventSession::Frame> frames;
        {
            const std::lock_guard<std::mutex> lock(shared.outgoingLock);
            frames.swap(shared.outgoing);
        }
        const auto clients = shared.eventClients;
        for (const auto &client : clients) {
            for (const auto &frame : frames)
                client->send(frame);
        }
    });
}

} // namespace marlin
