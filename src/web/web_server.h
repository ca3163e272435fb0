#pragma once

#include "core/face.h"
#include "web/web_api.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>

namespace marlin {

class Server;

// The web face's sockets: HTTP/1.1 and WebSocket on one I/O thread of their
// own. Every request is handed to the WebApi on the engine's thread and its
// answer handed back to the connection, so the I/O thread never touches the
// engine's data and the engine stays one thread without locks.
//
// It listens as [Web_Settings] says, only while the server is active: a
// standby closes it and a promotion binds it again, retrying every second
// for Server::kBindRetries seconds. A failed bind is logged and the server
// runs on without it.
class WebServer : public Face {
    Q_OBJECT

public:
    explicit WebServer(Server &server, QObject *parent = nullptr);
    ~WebServer() override;

    // Binds when the web face is enabled and the server is active; true when
    // it listens afterwards. Logs a failure with the address, port and reason.
    // The server opens it by itself at its start and at a promotion (see
    // Face); a test may open it earlier.
    bool start() { return open(); }
    // Closes the listener and every connection.
    void stop() { close(); }

    bool isListening() const;
    QString address() const;
    quint16 port() const;
    // Why the last bind failed, in the system's words; empty when it did not.
    QString listenProblem() const { return problem; }

    // Connections open (requests and event streams), and event streams alone.
    int connectionCount() const;
    int eventClientCount() const;

    // Sends one JSON text to every event client; a client with more than
    // kEventQueueLimit bytes waiting is dropped instead.
    void broadcast(const QByteArray &json);
    // Ends the event streams of a token, with close status 1008.
    void endStreams(const QByteArray &token);

    WebApi &api() { return webApi; }

    static constexpr int kHeaderLimit = 8 * 1024;
    static constexpr int kBodyLimit = 64 * 1024;
    // An event stream not heard from for this long is dropped.
    static constexpr int kIdleSeconds = 30;
    // A request, head and body, comes whole within this long of the wait
    // for it starting (a kept-alive connection waits no longer either).
    static constexpr int kRequestSeconds = 10;
    // Connections open at most; the last kReservedConnections take only
    // requests with a live token.
    static constexpr int kConnectionLimit = 128;
    static constexpr int kReservedConnections = 8;
    // Event streams one session and one user may hold.
    static constexpr int kStreamsPerSession = 4;
    static constexpr int kStreamsPerUser = 16;
    // Out of descriptors, the listener waits this long before accepting again.
    static constexpr int kAcceptPauseMs = 500;
    static constexpr qsizetype kEventQueueLimit = 1024 * 1024;

private:
    struct Io;

    bool listen(bool report) override;
    void closeAll() override;
    bool wanted() const override;

    WebApi webApi;
    std::unique_ptr<Io> io;
    QString problem;
};

} // namespace marlin
