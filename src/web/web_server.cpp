#include "web_server.h"

#include "core/server.h"

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

// What the I/O thread shares: the context, the acceptor, the event clients
// (touched on the I/O thread only) and the counters the engine reads.
// Declared so that the counters outlive the context: the context's
// destructor ends the sessions its pending handlers still hold.
struct Shared {
    std::atomic<int> connections{0};
    std::atomic<int> eventClientCount{0};
    // The engine-side object requests are handed to; null once stopping.
    QPointer<WebApi> api;
    asio::io_context context{1};
    tcp::acceptor acceptor{context};
    std::set<std::shared_ptr<EventSession>> eventClients;
    // Frames the engine has handed over and the I/O thread not yet sent.
    std::mutex outgoingLock;
    std::vector<std::shared_ptr<const std::string>> outgoing;
};

// Counts one open connection for as long as it lives.
class ConnectionCount {
public:
    explicit ConnectionCount(Shared &shared) : shared(shared) { ++shared.connections; }
    ~ConnectionCount() { --shared.connections; }
    ConnectionCount(const ConnectionCount &) = delete;
    ConnectionCount &operator=(const ConnectionCount &) = delete;

private:
    Shared &shared;
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

// A whole WebSocket frame as the server sends it: FIN, the opcode, the
// length (servers never mask), the payload.
std::string makeFrame(std::uint8_t opcode, const char *data, std::size_t size)
{
    std::string frame;
    frame.reserve(size + 10);
    frame.push_back(char(0x80 | opcode));
    if (size < 126) {
        frame.push_back(char(size));
    } else if (size <= 0xFFFF) {
        frame.push_back(char(126));
        frame.push_back(char(size >> 8));
        frame.push_back(char(size & 0xFF));
    } else {
        frame.push_back(char(127));
        for (int shift = 56; shift >= 0; shift -= 8)
            frame.push_back(char((std::uint64_t(size) >> shift) & 0xFF));
    }
    frame.append(data, size);
    return frame;
}

// One event stream. Beast answers the upgrade; after that the stream only
// carries the server's text frames, which it builds once for every client,
// and every frame waiting for a client goes out in one write. What the
// client sends is read for its pings (answered), its close (answered, then
// the connection ends) and to know it is there: the server pings every
// kIdleSeconds / 2 and drops a client it has not heard from in kIdleSeconds.
class EventSession : public std::enable_shared_from_this<EventSession> {
public:
    using Frame = std::shared_ptr<const std::string>;

    EventSession(Shared &shared, beast::tcp_stream &&stream)
        : shared(shared), count(shared), stream(std::move(stream)), pinger(shared.context)
    {
    }

    void run(http::request<http::string_body> request)
    {
        stream.expires_after(std::chrono::seconds(WebServer::kIdleSeconds));
        handshake = std::make_unique<websocket::stream<beast::tcp_stream &>>(stream);
        handshake->set_option(websocket::stream_base::decorator(
            [](websocket::response_type &response) { response.set(http::field::server, "Marlin Server"); }));
        // The kernel keeps a bounded amount per client too, so the limit on
        // the queue is what decides when a slow reader is dropped.
        error_code ignored;
        stream.socket().set_option(asio::socket_base::send_buffer_size(128 * 1024), ignored);
        handshake->async_accept(request, [self = shared_from_this()](error_code ec) { self->accepted(ec); });
    }

    void send(const Frame &frame)
    {
        if (closed || !open)
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
            self->send(std::make_shared<const std::string>(makeFrame(0x9, nullptr, 0)));
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
            if (!self->takeFrames())
                return;
            self->readNext();
        });
    }

    // Handles every whole frame received; false when the connection ends.
    bool takeFrames()
    {
        constexpr std::size_t kLargestFrame = 4096;
        for (;;) {
            const auto *bytes = static_cast<const unsigned char *>(incoming.data().data());
            const std::size_t size = incoming.size();
            if (size < 2)
                break;
            const int opcode = bytes[0] & 0x0F;
            const bool masked = bytes[1] & 0x80;
            std::uint64_t length = bytes[1] & 0x7F;
            std::size_t header = 2;
            if (length == 126) {
                if (size < 4)
                    break;
                length = (std::uint64_t(bytes[2]) << 8) | bytes[3];
                header = 4;
            } else if (length == 127) {
                length = kLargestFrame + 1;
            }
            // Clients mask every frame, and send nothing large here.
            if (!masked || length > kLargestFrame) {
                drop();
                return false;
            }
            header += 4;
            if (size < header + length)
                break;
            std::string payload(reinterpret_cast<const char *>(bytes + header), std::size_t(length));
            for (std::size_t i = 0; i < payload.size(); ++i)
                payload[i] = char(payload[i] ^ bytes[header - 4 + i % 4]);
            incoming.consume(header + std::size_t(length));
            if (opcode == 0x8) {
                // Answer the close with the client's status, then end.
                const std::size_t status = std::min<std::size_t>(payload.size(), 2);
                send(std::make_shared<const std::string>(makeFrame(0x8, payload.data(), status)));
                closing = true;
                if (!writing)
                    drop();
                return false;
            }
            if (opcode == 0x9)
                send(std::make_shared<const std::string>(makeFrame(0xA, payload.data(), payload.size())));
        }
        if (incoming.size() > 2 * kLargestFrame) {
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
            if (ec || self->closed || self->closing) {
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
// client asks, closed after kIdleSeconds of silence.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(Shared &shared, tcp::socket &&socket)
        : shared(shared), count(shared), stream(std::move(socket)),
          buffer(WebServer::kHeaderLimit + WebServer::kBodyLimit + 4096)
    {
        error_code ec;
        const tcp::endpoint remote = stream.socket().remote_endpoint(ec);
        if (!ec)
            peer = QString::fromStdString(remote.address().to_string());
    }

    void readNext()
    {
        parser.emplace();
        parser->header_limit(WebServer::kHeaderLimit);
        parser->body_limit(WebServer::kBodyLimit);
        stream.expires_after(std::chrono::seconds(WebServer::kIdleSeconds));
        http::async_read(stream, buffer, *parser,
                         [self = shared_from_this()](error_code ec, std::size_t) { self->received(ec); });
    }

private:
    void received(error_code ec)
    {
        if (ec == http::error::end_of_stream || ec == beast::error::timeout || ec == asio::error::operation_aborted
            || ec == asio::error::connection_reset || ec == asio::error::eof) {
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
                bool accept = false;
                if (upgrade) {
                    const qsizetype question = handed.target.indexOf('?');
                    const QByteArray path = question < 0 ? handed.target : handed.target.left(question);
                    if (path != "/api/v1/events") {
                        answer = plainFailure(404, "path: events are at /api/v1/events");
                    } else {
                        const QUrlQuery query(QString::fromUtf8(handed.target.mid(question + 1)));
                        accept = question >= 0
                                 && api->acceptToken(query.queryItemValue(QStringLiteral("token")).toUtf8());
                        if (!accept) {
                            answer = plainFailure(401, "token: missing, unknown or expired");
                            answer.challenge = true;
                        }
                    }
                } else {
                    answer = api->handle(handed);
                }
                Shared &shared = self->shared;
                asio::post(shared.context, [self = std::move(self), answer = std::move(answer), accept]() {
                    if (accept)
                        self->becomeEventStream();
                    else
                        self->answer(answer, self->keepAlive);
                });
            },
            Qt::QueuedConnection);
    }

    void becomeEventStream()
    {
        auto events = std::make_shared<EventSession>(shared, std::move(stream));
        events->run(std::move(request));
    }

    void answer(const WebResponse &answer, bool keep)
    {
        auto response = std::make_shared<http::response<http::string_body>>(makeResponse(answer, version, keep));
        stream.expires_after(std::chrono::seconds(WebServer::kIdleSeconds));
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
    unsigned version = 11;
    bool keepAlive = false;
};

void acceptNext(Shared &shared)
{
    shared.acceptor.async_accept([&shared](error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !shared.acceptor.is_open())
            return;
        if (!ec) {
            if (shared.connections.load() >= WebServer::kConnectionLimit) {
                static const char busy[] = "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
                                           "Content-Length: 42\r\nConnection: close\r\n\r\n"
                                           "{\"error\":\"connections: too many open now\"}";
                error_code ignored;
                socket.non_blocking(true, ignored);
                socket.write_some(asio::buffer(busy, sizeof busy - 1), ignored);
                socket.close(ignored);
            } else {
                std::make_shared<HttpSession>(shared, std::move(socket))->readNext();
            }
        }
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

WebServer::WebServer(Server &server, QObject *parent) : QObject(parent), server(server), webApi(server)
{
    webApi.setConnectionCount([this] { return connectionCount(); });
    webApi.setEventListeners([this] { return eventClientCount() > 0; });
    connect(&webApi, &WebApi::eventReady, this, &WebServer::broadcast);
    connect(&server, &Server::standbyChanged, this, [this](bool standby) {
        if (standby)
            stop();
        else
            start();
    });
}

WebServer::~WebServer() { stop(); }

bool WebServer::start()
{
    const WebSettings &web = server.settings.Web;
    if (io || !web.WebEnabled || server.isStandby())
        return isListening();
    problem.clear();

    auto next = std::make_unique<Io>();
    next->shared.api = &webApi;
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
        server.WriteErrorLog(QStringLiteral("The web server could not listen on %1:%2 (%3).")
                                 .arg(host)
                                 .arg(web.WebTCPPort)
                                 .arg(problem));
        server.logs.tellTerminal(QStringLiteral("web not listening on %1:%2: %3").arg(host).arg(web.WebTCPPort).arg(problem));
        return false;
    }

    const tcp::endpoint bound = next->shared.acceptor.local_endpoint(ec);
    next->address = host;
    next->port = ec ? 0 : bound.port();
    Shared &shared = next->shared;
    acceptNext(shared);
    next->thread = std::thread([&shared] { shared.context.run(); });
    io = std::move(next);
    server.logs.tellTerminal(QStringLiteral("web listening on %1:%2").arg(io->address).arg(io->port));
    return true;
}

void WebServer::stop()
{
    if (!io)
        return;
    Shared &shared = io->shared;
    asio::post(shared.context, [&shared] {
        error_code ignored;
        shared.acceptor.close(ignored);
        const auto clients = shared.eventClients;
        for (const auto &client : clients)
            client->drop();
    });
    shared.context.stop();
    io->thread.join();
    // Requests still waiting for the engine hold their connections: they go
    // now, while the context their sockets belong to is still there.
    shared.api = nullptr;
    QCoreApplication::removePostedEvents(&webApi, QEvent::MetaCall);
    shared.eventClients.clear();
    io.reset();
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
    auto frame = std::make_shared<const std::string>(makeFrame(0x1, json.constData(), std::size_t(json.size())));
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
