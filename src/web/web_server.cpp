#include "web_server.h"

#include "core/server.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QUrlQuery>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <atomic>
#include <deque>
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

// One event stream: the server only writes; what the client sends is read
// and dropped, which also answers its pings and notices its close.
class EventSession : public std::enable_shared_from_this<EventSession> {
public:
    EventSession(Shared &shared, beast::tcp_stream &&stream)
        : shared(shared), count(shared), ws(std::move(stream))
    {
    }

    void run(http::request<http::string_body> request)
    {
        beast::get_lowest_layer(ws).expires_never();
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = std::chrono::seconds(WebServer::kIdleSeconds);
        timeouts.idle_timeout = std::chrono::seconds(WebServer::kIdleSeconds);
        timeouts.keep_alive_pings = true;
        ws.set_option(timeouts);
        ws.read_message_max(4096);
        ws.set_option(websocket::stream_base::decorator(
            [](websocket::response_type &response) { response.set(http::field::server, "Marlin Server"); }));
        // The kernel keeps a bounded amount per client too, so the limit on
        // the queue is what decides when a slow reader is dropped.
        error_code ignored;
        beast::get_lowest_layer(ws).socket().set_option(asio::socket_base::send_buffer_size(128 * 1024), ignored);
        ws.async_accept(request, [self = shared_from_this()](error_code ec) { self->accepted(ec); });
    }

    void send(const std::shared_ptr<const std::string> &message)
    {
        if (closed)
            return;
        if (queuedBytes + message->size() > std::size_t(WebServer::kEventQueueLimit)) {
            drop();
            return;
        }
        queue.push_back(message);
        queuedBytes += message->size();
        if (queue.size() == 1)
            writeNext();
    }

    void drop()
    {
        if (closed)
            return;
        closed = true;
        error_code ignored;
        beast::get_lowest_layer(ws).socket().shutdown(tcp::socket::shutdown_both, ignored);
        beast::get_lowest_layer(ws).socket().close(ignored);
        queue.clear();
        queuedBytes = 0;
        if (shared.eventClients.erase(shared_from_this()) > 0)
            --shared.eventClientCount;
    }

private:
    void accepted(error_code ec)
    {
        if (ec)
            return;
        shared.eventClients.insert(shared_from_this());
        ++shared.eventClientCount;
        ws.text(true);
        readNext();
    }

    void readNext()
    {
        ws.async_read(incoming, [self = shared_from_this()](error_code ec, std::size_t) {
            if (ec) {
                self->drop();
                return;
            }
            self->incoming.consume(self->incoming.size());
            self->readNext();
        });
    }

    void writeNext()
    {
        ws.async_write(asio::buffer(*queue.front()), [self = shared_from_this()](error_code ec, std::size_t) {
            if (ec || self->closed) {
                self->drop();
                return;
            }
            self->queuedBytes -= self->queue.front()->size();
            self->queue.pop_front();
            if (!self->queue.empty())
                self->writeNext();
        });
    }

    Shared &shared;
    ConnectionCount count;
    websocket::stream<beast::tcp_stream> ws;
    beast::flat_buffer incoming;
    std::deque<std::shared_ptr<const std::string>> queue;
    std::size_t queuedBytes = 0;
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
    const QString host = web.WebIPAddress.isEmpty() ? QStringLiteral("127.0.0.1") : web.WebIPAddress;
    error_code ec;
    const asio::ip::address address = asio::ip::make_address(host.toStdString(), ec);
    if (ec) {
        problem = QStringLiteral("not an IP address");
    } else if (web.WebTCPPort < 0 || web.WebTCPPort > 65535) {
        problem = QStringLiteral("port outside 0..65535");
    } else {
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
    auto message = std::make_shared<const std::string>(toStd(json));
    Shared &shared = io->shared;
    asio::post(shared.context, [&shared, message] {
        const auto clients = shared.eventClients;
        for (const auto &client : clients)
            client->send(message);
    });
}

} // namespace marlin
