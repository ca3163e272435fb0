#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <optional>

namespace marlin {

class Server;

// One HTTP request as the web face hands it to the engine's thread.
struct WebRequest {
    QByteArray method;        // "GET", "POST", ...
    QByteArray target;        // path and query, as sent
    QByteArray body;
    QByteArray authorization; // the Authorization header's value
    QString peer;             // the client's address, for the login wait
    QByteArray host;          // the Host header's value
    QByteArray origin;        // the Origin header's value, empty when absent
    bool hasOrigin = false;
    QByteArray contentType;   // the Content-Type header's value
    // Came on one of the connections kept for logged-in users: answered
    // only when it carries a live token.
    bool reserved = false;
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
    // The user name of a live session's token, empty when none.
    QString tokenUser(const QByteArray &token);
    // Live sessions (tokens not yet expired or ended); ends the expired.
    int sessionCount();
    // Why a request is refused before its route is looked at, if it is:
    // a Host that does not name this face (421), a cross-site Origin on a
    // change or an upgrade (403), a POST body that is not declared JSON
    // (415), a reserved connection without a live token (503).
    std::optional<WebResponse> refusal(const WebRequest &request, bool upgrade);

    // A session ends after this long unused.
    static constexpr qint64 kSessionIdleMs = 8LL * 60 * 60 * 1000;
    // At most this many sessions in all, and per user; a login past the
    // user's share ends that user's own session unused longest, a login
    // past the whole is refused (503): no one's login ends another's session.
    static constexpr int kSessionLimit = 1024;
    static constexpr int kSessionsPerUser = 16;
    // kLoginFailures failed logins for one user name from one address within
    // kLoginWindowMs make that pair wait kLoginWaitMs before the next attempt
    // is even checked. kUserFailures failures for one name from any
    // addresses within the window make every attempt for it wait
    // kUserWaitMs after the last one: guesses spread over many addresses
    // are slowed, yet no one is locked out for long. An address that
    // logged in as a user within kTrustedMs waits for neither.
    static constexpr int kLoginFailures = 5;
    static constexpr qint64 kLoginWindowMs = 60 * 1000;
    static constexpr qint64 kLoginWaitMs = 30 * 1000;
    static constexpr int kUserFailures = 10;
    static constexpr qint64 kUserWaitMs = 2 * 1000;
    static constexpr qint64 kTrustedMs = 60 * 60 * 1000;
    // Records kept of each kind (address and name, name, trusted address);
    // past it the older half is forgotten.
    static constexpr int kLoginRecordLimit = 4096;

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
    // Login records kept now, of every kind (each kind is bounded).
    int loginRecordCount() const { return int(pairLogins.size() + userLogins.size() + trusted.size()); }

    // Ends the sessions unused for too long and those whose user is gone,
    // each with sessionEnded. Runs every minute and on a reload of users.
    void sweepSessions();

signals:
    // One JSON text per change, for every event client.
    void eventReady(const QByteArray &json);
    // A token no longer names a session (logged out, expired, its user
    // removed or its place taken): its event streams end.
    void sessionEnded(const QByteArray &token);

private:
    struct Session {
        int user = 0;
        QString userName;
        qint64 lastUsed = 0;
        quint64 order = 0; // logins counted up: of two used at once, the older
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
    struct Trust {
        qint64 lastSeen = 0;
    };

    WebResponse login(const WebRequest &request);
    WebResponse logout(const QByteArray &token);
    WebResponse routers(bool all);
    WebResponse router(int r);
    WebResponse take(const Caller &caller, int r, const QByteArray &body);
    WebResponse hold(const Caller &caller, int r, int d, bool set);
    WebResponse protect(const Caller &caller, int r, int d, bool set);
    WebResponse salvos(const Caller &caller, const QByteArray &method, const QList<QByteArray> &parts,
                       const QByteArray &body);
    WebResponse page(const QByteArray &path);

    // The session a request's Authorization names, refreshed; none when it
    // is missing, unknown, expired or its user is no longer in the table.
    Session *sessionFor(const QByteArray &token);
    void endSession(QHash<QByteArray, Session>::iterator it);
    // Whether the session still has its user, under the same name.
    bool userStillThere(const Session &session) const;
    // Sends a change to the event clients, when there are any.
    void announce(const QJsonObject &change);

    Server &server;
    Clock now;
    std::function<int()> connections;
    std::function<bool()> listeners;
    QHash<QByteArray, Session> sessions;
    quint64 logins = 0;
    // Keyed by address and user name ("10.0.0.5\nchief"), by user name,
    // and by address and user name for the logins that succeeded.
    QHash<QString, LoginRecord> pairLogins;
    QHash<QString, LoginRecord> userLogins;
    QHash<QString, Trust> trusted;
    QTimer sweep;
};

// The bearer token an Authorization header value carries, empty when none.
QByteArray bearerToken(const QByteArray &authorization);

} // namespace marlin
