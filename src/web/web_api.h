#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>

namespace marlin {

class Server;

// One HTTP request as the web face hands it to the engine's thread.
struct WebRequest {
    QByteArray method;        // "GET", "POST", ...
    QByteArray target;        // path and query, as sent
    QByteArray body;
    QByteArray authorization; // the Authorization header's value
    QString peer;             // the client's address, for the login wait
};

struct WebResponse {
    int status = 200;
    QByteArray contentType = "application/json";
    QByteArray body;
    int retryAfterSeconds = 0; // sent as Retry-After when above 0
    bool challenge = false;    // sent with WWW-Authenticate: Bearer
};

// The web face's rules, on the engine's thread: accounts and their tokens,
// the login wait, every route of the API, the metrics and the page. It
// reads and changes the server only through the operations the console and
// the panels use. It knows nothing of sockets: the web server hands it each
// request and sends back what it returns, and a fuzzer or a test can call it
// directly.
class WebApi : public QObject {
    Q_OBJECT

public:
    explicit WebApi(Server &server, QObject *parent = nullptr);

    WebResponse handle(const WebRequest &request);

    // Whether a token names a live session; using it keeps it alive.
    bool acceptToken(const QByteArray &token);
    // Live sessions (tokens not yet expired or ended).
    int sessionCount();

    // A session ends after this long unused.
    static constexpr qint64 kSessionIdleMs = 8LL * 60 * 60 * 1000;
    // At most this many sessions; a login beyond it ends the one unused longest.
    static constexpr int kSessionLimit = 1024;
    // kLoginFailures failed logins from one address within kLoginWindowMs make
    // it wait kLoginWaitMs before the next attempt is even checked.
    static constexpr int kLoginFailures = 5;
    static constexpr qint64 kLoginWindowMs = 60 * 1000;
    static constexpr qint64 kLoginWaitMs = 30 * 1000;
    // Addresses whose failures are remembered; the oldest are forgotten first.
    static constexpr int kLoginPeerLimit = 4096;

    // The monotonic clock in milliseconds that sessions and the login wait
    // follow; tests move it on instead of waiting hours.
    using Clock = std::function<qint64()>;
    void setClock(Clock clock);

    // Connections the web server holds, for the metrics.
    void setConnectionCount(std::function<int()> count) { connections = std::move(count); }
    // Whether anyone listens to the events: without a listener no event
    // text is made, so a burst of reports costs the engine nothing here.
    void setEventListeners(std::function<bool()> any) { listeners = std::move(any); }

    QByteArray metrics();

signals:
    // One JSON text per change, for every event client.
    void eventReady(const QByteArray &json);

private:
    struct Session {
        int user = 0;
        QString userName;
        qint64 lastUsed = 0;
    };
    struct Caller {
        int user = 0;
        QString userName;
    };
    struct LoginRecord {
        QList<qint64> failures;
        qint64 waitUntil = 0;
        qint64 lastSeen = 0;
    };

    WebResponse login(const WebRequest &request);
    WebResponse logout(const QByteArray &token);
    WebResponse routers(bool all);
    WebResponse router(int r);
    WebResponse take(const Caller &caller, int r, const QByteArray &body);
    WebResponse hold(const Caller &caller, int r, int d, bool set);
    WebResponse page(const QByteArray &path);

    // The session a request's Authorization names, refreshed; none when it
    // is missing, unknown, expired or its user is no longer in the table.
    Session *sessionFor(const QByteArray &token);
    void dropExpiredSessions();
    // Sends a change to the event clients, when there are any.
    void announce(const QJsonObject &change);

    Server &server;
    Clock now;
    std::function<int()> connections;
    std::function<bool()> listeners;
    QHash<QByteArray, Session> sessions;
    QHash<QString, LoginRecord> logins;
};

// The bearer token an Authorization header value carries, empty when none.
QByteArray bearerToken(const QByteArray &authorization);

} // namespace marlin
