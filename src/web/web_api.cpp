#include "web_api.h"

#include "config/ini_file.h"
#include "core/console_actions.h"
#include "core/server.h"
#include "links/port_table.h"

#include <QFile>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QUrlQuery>
#include <algorithm>
#include <chrono>
#include <vector>
#include <cmath>
#include <optional>

namespace marlin {

namespace {

qint64 steadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

QByteArray compact(const QJsonObject &object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); }

WebResponse reply(int status, const QJsonObject &object) { return {status, "application/json", compact(object)}; }

WebResponse failure(int status, const QString &text)
{
    WebResponse response = reply(status, {{QStringLiteral("error"), text}});
    response.challenge = status == 401;
    return response;
}

WebResponse unauthorized() { return failure(401, QStringLiteral("token: missing, unknown or expired")); }

// A decimal number from a path segment: digits only, no sign, no spaces.
std::optional<int> pathNumber(const QByteArray &segment)
{
    if (segment.isEmpty() || segment.size() > 6)
        return std::nullopt;
    for (char c : segment) {
        if (c < '0' || c > '9')
            return std::nullopt;
    }
    return segment.toInt();
}

// A whole number within lo..hi; a fraction, a text or anything past the
// range is refused.
std::optional<int> wholeNumber(const QJsonValue &value, int lo, int hi)
{
    if (!value.isDouble())
        return std::nullopt;
    const double d = value.toDouble();
    if (!std::isfinite(d) || std::floor(d) != d || d < lo || d > hi)
        return std::nullopt;
    return int(d);
}

QString hexColor(double windowsRgb) { return settingsColor(windowsRgb).hexName(); }

// The port that serves a router, the one its takes go to.
QJsonValue servingPortJson(const Server &server, int r)
{
    const RouterPort port = server.servingPort(r);
    if (port.number == 0)
        return QJsonValue::Null;
    const Settings &settings = server.currentSettings();
    return QJsonObject{
        {QStringLiteral("kind"), port.isNetwork ? QStringLiteral("network") : QStringLiteral("comm")},
        {QStringLiteral("number"), port.number},
        {QStringLiteral("description"), port.isNetwork ? settings.NetPorts[port.number].NetDescription
                                                       : settings.ComPorts[port.number].ComDescription}};
}

// "none" for a router no port serves: nothing watches its communication.
QString commText(const Server &server, int r)
{
    if (!server.servesRouter(r))
        return QStringLiteral("none");
    return server.routerState(r).CommOK ? QStringLiteral("up") : QStringLiteral("down");
}

// The status and the text of a take refused by the engine.
std::pair<int, QString> takeRefusal(const TakeResult &outcome)
{
    switch (outcome.refusal) {
    case TakeRefusal::None: break;
    case TakeRefusal::Standby: return {503, standbyRefusalText()};
    case TakeRefusal::NoPrivilege:
        return {403, QStringLiteral("privilege: ") + takeRefusalText(TakeRefusal::NoPrivilege)};
    case TakeRefusal::NoSource: return {400, QStringLiteral("source: ") + takeRefusalText(TakeRefusal::NoSource)};
    case TakeRefusal::NoDestination:
        return {400, QStringLiteral("destination: ") + takeRefusalText(TakeRefusal::NoDestination)};
    case TakeRefusal::NoComment: return {400, QStringLiteral("comment: ") + takeRefusalText(TakeRefusal::NoComment)};
    case TakeRefusal::Protected: return {409, QStringLiteral("destination: protected by ") + outcome.protectedBy};
    case TakeRefusal::NotServed: return {409, QStringLiteral("router: ") + takeRefusalText(TakeRefusal::NotServed)};
    case TakeRefusal::NotCarried: return {400, QStringLiteral("take: ") + takeRefusalText(TakeRefusal::NotCarried)};
    }
    return {200, {}};
}

// The label of a refusal in the metrics.
const char *refusalLabel(TakeRefusal refusal)
{
    switch (refusal) {
    case TakeRefusal::None: break;
    case TakeRefusal::Standby: return "standby";
    case TakeRefusal::NoPrivilege: return "privilege";
    case TakeRefusal::NoSource: return "source";
    case TakeRefusal::NoDestination: return "destination";
    case TakeRefusal::NoComment: return "comment";
    case TakeRefusal::Protected: return "protected";
    case TakeRefusal::NotServed: return "not_served";
    case TakeRefusal::NotCarried: return "not_carried";
    }
    return "none";
}

QJsonArray levelsJson(const std::array<bool, kTakeLevelCount> &levels)
{
    QJsonArray list;
    for (int k = 0; k < kTakeLevelCount; ++k) {
        if (levels[std::size_t(k)])
            list.append(k);
    }
    return list;
}

QJsonObject salvoJson(const Salvo &salvo)
{
    QJsonArray takes;
    for (const SalvoTake &take : salvo.takes)
        takes.append(QJsonObject{{QStringLiteral("router"), take.router},
                                 {QStringLiteral("destination"), take.destination},
                                 {QStringLiteral("source"), take.source},
                                 {QStringLiteral("levels"), levelsJson(take.levels)}});
    return {{QStringLiteral("name"), salvo.name}, {QStringLiteral("comment"), salvo.comment}, {QStringLiteral("takes"), takes}};
}

QJsonValue ownerJson(const QString &owner) { return owner.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(owner); }

struct StaticFile {
    const char *path;
    const char *resource;
    const char *contentType;
};
constexpr StaticFile kPages[] = {
    {"/", ":/web/index.html", "text/html; charset=utf-8"},
    {"/index.html", ":/web/index.html", "text/html; charset=utf-8"},
    {"/app.js", ":/web/app.js", "text/javascript; charset=utf-8"},
    {"/style.css", ":/web/style.css", "text/css; charset=utf-8"},
};

} // namespace

QByteArray bearerToken(const QByteArray &authorization)
{
    const QByteArray value = authorization.trimmed();
    if (value.size() < 7 || value.left(7).toLower() != "bearer ")
        return {};
    return value.mid(7).trimmed();
}

WebApi::WebApi(Server &server, QObject *parent) : QObject(parent), server(server), now(steadyMs)
{
    // The engine's signals carry the router's own numbers; the web speaks
    // the table's (source 0: none carries it), and says nothing of a
    // destination no table entry carries.
    connect(&server, &Server::crosspointChanged, this, [this](int r, int d, int s) {
        if (!isRouterNumber(r))
            return;
        const RouterTable &table = this->server.routerTable(r);
        const int destination = TableDestination(table, d);
        if (destination == 0)
            return;
        announce({{QStringLiteral("type"), QStringLiteral("crosspoint")},
                  {QStringLiteral("router"), r},
                  {QStringLiteral("destination"), destination},
                  {QStringLiteral("source"), TableSource(table, s)}});
    });
    connect(&server, &Server::holdChanged, this, [this](int r, int d, bool hold) {
        const int destination = isRouterNumber(r) ? TableDestination(this->server.routerTable(r), d) : 0;
        if (destination == 0)
            return;
        announce({{QStringLiteral("type"), QStringLiteral("hold")},
                  {QStringLiteral("router"), r},
                  {QStringLiteral("destination"), destination},
                  {QStringLiteral("hold"), hold}});
    });
    connect(&server, &Server::protectChanged, this, [this](int r, int output, const QString &owner) {
        const int destination = isRouterNumber(r) ? TableDestination(this->server.routerTable(r), output) : 0;
        if (destination == 0)
            return;
        announce({{QStringLiteral("type"), QStringLiteral("protect")},
                  {QStringLiteral("router"), r},
                  {QStringLiteral("destination"), destination},
                  {QStringLiteral("protectedBy"), ownerJson(owner)}});
    });
    // The salvos were edited: a page reads them again.
    connect(&server, &Server::salvosChanged, this, [this] { announce({{QStringLiteral("type"), QStringLiteral("salvos")}}); });
    connect(&server, &Server::salvoFired, this, [this](const QString &name, const QString &user, int sent, int total) {
        announce({{QStringLiteral("type"), QStringLiteral("salvo")},
                  {QStringLiteral("name"), name},
                  {QStringLiteral("user"), user},
                  {QStringLiteral("sent"), sent},
                  {QStringLiteral("total"), total}});
    });
    connect(&server, &Server::linkChanged, this, [this](int r, bool up) {
        announce({{QStringLiteral("type"), QStringLiteral("link")}, {QStringLiteral("router"), r}, {QStringLiteral("up"), up}});
    });
    connect(&server, &Server::filesReloaded, this, [this](const QString &what) {
        if (what == QLatin1String("users"))
            sweepSessions();
        announce({{QStringLiteral("type"), QStringLiteral("reloaded")}, {QStringLiteral("what"), what}});
    });
    sweep.setInterval(60 * 1000);
    connect(&sweep, &QTimer::timeout, this, &WebApi::sweepSessions);
    sweep.start();
}

void WebApi::announce(const QJsonObject &change)
{
    // Without a listener no event text is made.
    if (!listeners || listeners())
        emit eventReady(compact(change));
}

void WebApi::setClock(Clock clock) { now = clock ? std::move(clock) : Clock(steadyMs); }

WebResponse WebApi::handle(const WebRequest &request)
{
    const qsizetype question = request.target.indexOf('?');
    const QByteArray path = question < 0 ? request.target : request.target.left(question);
    const QByteArray query = question < 0 ? QByteArray() : request.target.mid(question + 1);
    const QByteArray &method = request.method;

    if (std::optional<WebResponse> refused = refusal(request, false))
        return *refused;
    if (path == "/metrics") {
        if (method != "GET")
            return failure(405, QStringLiteral("method: /metrics is read with GET"));
        return {200, "text/plain; version=0.0.4; charset=utf-8", metrics()};
    }
    if (!path.startsWith("/api/")) {
        if (method != "GET")
            return failure(405, QStringLiteral("method: pages are read with GET"));
        return page(path);
    }

    const QList<QByteArray> parts = path.mid(1).split('/'); // "api", "v1", ...
    if (parts.size() < 3 || parts[1] != "v1")
        return failure(404, QStringLiteral("path: no such resource"));
    const QByteArray &resource = parts[2];

    if (parts.size() == 3 && resource == "login") {
        if (method != "POST")
            return failure(405, QStringLiteral("method: log in with POST"));
        return login(request);
    }

    const QByteArray token = bearerToken(request.authorization);
    Session *session = sessionFor(token);
    if (!session)
        return unauthorized();
    const Caller caller{session->user, session->userName};

    if (parts.size() == 3 && resource == "logout") {
        if (method != "POST")
            return failure(405, QStringLiteral("method: log out with POST"));
        return logout(token);
    }
    if (parts.size() == 3 && resource == "events")
        return failure(400, QStringLiteral("upgrade: events are read over a WebSocket"));
    if (resource == "salvos")
        return salvos(caller, method, parts, request.body);
    if (resource != "routers")
        return failure(404, QStringLiteral("path: no such resource"));

    if (parts.size() == 3) {
        if (method != "GET")
            return failure(405, QStringLiteral("method: routers are read with GET"));
        return routers(QUrlQuery(QString::fromUtf8(query)).queryItemValue(QStringLiteral("all")) == QLatin1String("1"));
    }
    const std::optional<int> r = pathNumber(parts[3]);
    if (!r || !isRouterNumber(*r))
        return failure(400, QStringLiteral("router: a router number 1..%1").arg(kRouterCount));

    if (parts.size() == 4) {
        if (method != "GET")
            return failure(405, QStringLiteral("method: a router is read with GET"));
        return router(*r);
    }
    if (parts.size() == 5 && parts[4] == "take") {
        if (method != "POST")
            return failure(405, QStringLiteral("method: a take is made with POST"));
        return take(caller, *r, request.body);
    }
    if (parts.size() == 6 && parts[4] == "holds") {
        const std::optional<int> d = pathNumber(parts[5]);
        if (!d || !isPointNumber(*d))
            return failure(400, QStringLiteral("destination: a destination number 1..%1").arg(kPointCount));
        if (method == "PUT")
            return hold(caller, *r, *d, true);
        if (method == "DELETE")
            return hold(caller, *r, *d, false);
        return failure(405, QStringLiteral("method: a hold is set with PUT and cleared with DELETE"));
    }
    if (parts.size() == 6 && parts[4] == "protects") {
        const std::optional<int> d = pathNumber(parts[5]);
        if (!d || !isPointNumber(*d))
            return failure(400, QStringLiteral("destination: a destination number 1..%1").arg(kPointCount));
        if (method == "PUT")
            return protect(caller, *r, *d, true);
        if (method == "DELETE")
            return protect(caller, *r, *d, false);
        return failure(405, QStringLiteral("method: a protect is set with PUT and released with DELETE"));
    }
    return failure(404, QStringLiteral("path: no such resource"));
}

namespace {

// Past the limit, the older half of a record set is forgotten, so each
// insertion costs little on average and the set stays bounded.
template <typename Record>
void bound(QHash<QString, Record> &records, int limit)
{
    if (records.size() <= limit)
        return;
    std::vector<qint64> seen;
    seen.reserve(std::size_t(records.size()));
    for (const Record &record : records)
        seen.push_back(record.lastSeen);
    auto middle = seen.begin() + std::ptrdiff_t(seen.size() / 2);
    std::nth_element(seen.begin(), middle, seen.end());
    const qint64 cut = *middle;
    for (auto it = records.begin(); it != records.end();) {
        if (it->lastSeen <= cut)
            it = records.erase(it);
        else
            ++it;
    }
}

// Notes one failure at t; after failures within the window, the record
// waits wait from t.
void addFailure(WebApi::Clock::result_type t, auto &record, int failures, qint64 window, qint64 wait)
{
    record.lastSeen = t;
    while (!record.failures.isEmpty() && t - record.failures.first() >= window)
        record.failures.removeFirst();
    record.failures.append(t);
    if (record.failures.size() >= failures) {
        record.failures.clear();
        record.waitUntil = t + wait;
    }
}

// Host without its port: "[::1]:8080" gives "::1", "Name:80" gives "name".
QString hostName(const QByteArray &host)
{
    QByteArray name = host.trimmed();
    if (name.startsWith('[')) {
        const qsizetype close = name.indexOf(']');
        name = close < 0 ? QByteArray() : name.mid(1, close - 1);
    } else if (name.count(':') == 1) {
        name = name.left(name.indexOf(':'));
    }
    return QString::fromLatin1(name).toLower();
}

} // namespace

QString WebApi::tokenUser(const QByteArray &token)
{
    const Session *session = sessionFor(token);
    return session ? session->userName : QString();
}

std::optional<WebResponse> WebApi::refusal(const WebRequest &request, bool upgrade)
{
    // Only a Host naming this face: a page from elsewhere that has its
    // name point here (DNS rebinding) names its own.
    const QString name = hostName(request.host);
    const QString listen = trimSpaces(server.currentSettings().Web.WebIPAddress);
    const QHostAddress listenAddress(listen);
    const QHostAddress named(name);
    const bool anyAddress = listenAddress.isEqual(QHostAddress::AnyIPv4, QHostAddress::TolerantConversion)
                            || listenAddress.isEqual(QHostAddress::AnyIPv6, QHostAddress::TolerantConversion);
    bool known = false;
    if (!named.isNull()) {
        known = listenAddress.isEqual(named, QHostAddress::TolerantConversion)
                || (anyAddress && QNetworkInterface::allAddresses().contains(named));
    } else if (!name.isEmpty()) {
        // "localhost" reaches this machine only: taken when the face
        // listens on a loopback address or on every address.
        known = name == QLatin1String("localhost") && (listenAddress.isLoopback() || anyAddress);
        for (const QString &allowed : server.currentSettings().Web.WebAllowedHosts.split(QLatin1Char(','))) {
            if (!known && !allowed.trimmed().isEmpty() && allowed.trimmed().toLower() == name)
                known = true;
        }
    }
    if (!known)
        return failure(421, QStringLiteral("host: not a name of this server (see Web_Allowed_Hosts)"));

    // A change or an upgrade from a page of another site: its Origin
    // names that site, which is not the Host asked.
    const bool change = upgrade || (request.method != "GET" && request.method != "HEAD");
    if (change && request.hasOrigin) {
        QByteArray authority = request.origin.trimmed().toLower();
        const qsizetype scheme = authority.indexOf("://");
        authority = scheme < 0 ? QByteArray() : authority.mid(scheme + 3);
        if (authority.isEmpty() || authority != request.host.trimmed().toLower())
            return failure(403, QStringLiteral("origin: a request from another site"));
    }
    // A body is JSON and says so: a form or a text another site's page
    // can send without asking is not.
    if ((request.method == "POST" || request.method == "PUT") && !request.body.isEmpty()) {
        const QByteArray type = request.contentType.split(';').first().trimmed().toLower();
        if (type != "application/json")
            return failure(415, QStringLiteral("content type: a body is sent as application/json"));
    }
    if (request.reserved) {
        const qsizetype question = request.target.indexOf('?');
        QByteArray token = bearerToken(request.authorization);
        if (token.isEmpty() && upgrade && question >= 0)
            token = QUrlQuery(QString::fromUtf8(request.target.mid(question + 1)))
                        .queryItemValue(QStringLiteral("token"))
                        .toUtf8();
        if (!acceptToken(token))
            return failure(503, QStringLiteral("connections: too many open now; only logged-in requests are taken"));
    }
    return std::nullopt;
}

WebResponse WebApi::login(const WebRequest &request)
{
    // A malformed login is refused before anything is noted.
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(request.body, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return failure(400, QStringLiteral("body: a JSON object with user and password"));
    const QJsonObject body = doc.object();
    if (!body.value(QStringLiteral("user")).isString())
        return failure(400, QStringLiteral("user: a text"));
    if (!body.value(QStringLiteral("password")).isString())
        return failure(400, QStringLiteral("password: a text"));
    const QString userText = body.value(QStringLiteral("user")).toString();
    // One record per name as the accounts compare names, within bounds.
    const QString name = trimSpaces(userText).toUpper().left(64);
    const QString pair = request.peer + QLatin1Char('\n') + name;

    const qint64 t = now();
    const auto trust = trusted.constFind(pair);
    const bool trustedHere = trust != trusted.constEnd() && t - trust->lastSeen < kTrustedMs;
    if (!trustedHere) {
        qint64 waitUntil = 0;
        if (const auto it = pairLogins.constFind(pair); it != pairLogins.constEnd())
            waitUntil = it->waitUntil;
        if (const auto it = userLogins.constFind(name); it != userLogins.constEnd())
            waitUntil = std::max(waitUntil, it->waitUntil);
        if (waitUntil > t) {
            WebResponse response = failure(429, QStringLiteral("login: too many failed logins; try again later"));
            response.retryAfterSeconds = int((waitUntil - t + 999) / 1000);
            return response;
        }
    }

    const int user = FindLoginUser(server, userText, body.value(QStringLiteral("password")).toString());
    if (user == 0) {
        if (!trustedHere) {
            addFailure(t, pairLogins[pair], kLoginFailures, kLoginWindowMs, kLoginWaitMs);
            bound(pairLogins, kLoginRecordLimit);
            addFailure(t, userLogins[name], kUserFailures, kLoginWindowMs, kUserWaitMs);
            bound(userLogins, kLoginRecordLimit);
        }
        return failure(401, QStringLiteral("login: user or password not accepted"));
    }
    pairLogins.remove(pair);
    trusted[pair].lastSeen = t;
    bound(trusted, kLoginRecordLimit);

    sweepSessions();
    // The user's own session unused longest makes room; nobody else's.
    const QString userName = trimSpaces(UserName(server, user));
    auto oldest = sessions.end();
    int own = 0;
    for (auto it = sessions.begin(); it != sessions.end(); ++it) {
        if (it->user != user)
            continue;
        ++own;
        if (oldest == sessions.end() || std::pair(it->lastUsed, it->order) < std::pair(oldest->lastUsed, oldest->order))
            oldest = it;
    }
    if (own >= kSessionsPerUser)
        endSession(oldest);
    else if (sessions.size() >= kSessionLimit)
        return failure(503, QStringLiteral("sessions: too many logged in now"));
    std::array<quint32, 4> random{};
    QRandomGenerator::system()->fillRange(random.data(), random.size());
    const QByteArray token = QByteArray(reinterpret_cast<const char *>(random.data()), sizeof random).toHex();
    sessions.insert(token, Session{user, userName, t, ++logins});
    return reply(200, {{QStringLiteral("token"), QString::fromLatin1(token)},
                       {QStringLiteral("user"), userName},
                       {QStringLiteral("privilege"), UserPrivilege(server, user)}});
}

WebResponse WebApi::logout(const QByteArray &token)
{
    const auto it = sessions.find(token);
    if (it != sessions.end())
        endSession(it);
    return reply(200, {{QStringLiteral("loggedOut"), true}});
}

void WebApi::endSession(QHash<QByteArray, Session>::iterator it)
{
    const QByteArray token = it.key();
    sessions.erase(it);
    emit sessionEnded(token);
}

bool WebApi::userStillThere(const Session &session) const
{
    // A user renamed or removed since the login is logged out.
    return trimSpaces(UserName(server, session.user)).toUpper() == session.userName.toUpper()
           && UserPrivilege(server, session.user) > 0;
}

WebApi::Session *WebApi::sessionFor(const QByteArray &token)
{
    if (token.isEmpty())
        return nullptr;
    auto it = sessions.find(token);
    if (it == sessions.end())
        return nullptr;
    const qint64 t = now();
    if (t - it->lastUsed > kSessionIdleMs || !userStillThere(*it)) {
        endSession(it);
        return nullptr;
    }
    it->lastUsed = t;
    return &it.value();
}

void WebApi::sweepSessions()
{
    const qint64 t = now();
    QList<QByteArray> ended;
    for (auto it = sessions.begin(); it != sessions.end(); ++it) {
        if (t - it->lastUsed > kSessionIdleMs || !userStillThere(*it))
            ended.append(it.key());
    }
    for (const QByteArray &token : ended)
        endSession(sessions.find(token));
}

bool WebApi::acceptToken(const QByteArray &token) { return sessionFor(token) != nullptr; }

int WebApi::sessionCount()
{
    sweepSessions();
    return int(sessions.size());
}

WebResponse WebApi::routers(bool all)
{
    QJsonArray list;
    for (int r = 1; r <= kRouterCount; ++r) {
        const QJsonValue port = servingPortJson(server, r);
        if (!all && port.isNull())
            continue;
        list.append(QJsonObject{{QStringLiteral("router"), r},
                                {QStringLiteral("name"), server.routerTable(r).Name},
                                {QStringLiteral("comm"), commText(server, r)},
                                {QStringLiteral("port"), port}});
    }
    QJsonObject colors;
    for (int c = 1; c <= kColorCount; ++c)
        colors.insert(QString::number(c), hexColor(server.currentSettings().Colors[c]));
    return reply(200, {{QStringLiteral("routers"), list}, {QStringLiteral("colors"), colors}});
}

WebResponse WebApi::router(int r)
{
    const RouterTable &table = server.routerTable(r);
    const RouterState &state = server.routerState(r);
    QJsonArray sources;
    QJsonArray destinations;
    for (int n = 1; n <= kPointCount; ++n) {
        if (table.SourceVisible[n])
            sources.append(QJsonObject{{QStringLiteral("number"), n},
                                       {QStringLiteral("label"), table.SourceLabel[n]},
                                       {QStringLiteral("description"), table.SourceDescription[n]}});
        if (!table.DestVisible[n])
            continue;
        const int current = ShownSource(table, state, n);
        destinations.append(QJsonObject{
            {QStringLiteral("number"), n},
            {QStringLiteral("label"), table.DestLabel[n]},
            {QStringLiteral("description"), table.DestDescription[n]},
            {QStringLiteral("source"), current > 0 ? QJsonValue(current) : QJsonValue(QJsonValue::Null)},
            {QStringLiteral("defaultSource"), int(table.DestDefaultSource[n])},
            {QStringLiteral("hold"), ShownHold(table, state, n)},
            {QStringLiteral("color"), ownerJson(server.protectedBy(r, n)).isNull() ? DestinationColor(table, state, n)
                                                                                   : kProtectedColor},
            {QStringLiteral("protectedBy"), ownerJson(server.protectedBy(r, n))},
        });
    }
    return reply(200, {{QStringLiteral("router"), r},
                       {QStringLiteral("name"), table.Name},
                       {QStringLiteral("comm"), commText(server, r)},
                       {QStringLiteral("port"), servingPortJson(server, r)},
                       {QStringLiteral("sources"), sources},
                       {QStringLiteral("destinations"), destinations}});
}

WebResponse WebApi::take(const Caller &caller, int r, const QByteArray &bodyBytes)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(bodyBytes, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return failure(400, QStringLiteral("body: a JSON object with source, destination and comment"));
    const QJsonObject body = doc.object();
    const RouterTable &table = server.routerTable(r);

    TakeRequest request;
    request.router = r;
    request.origin = TakeOrigin::Web;
    request.user = caller.user;
    const std::optional<int> source = wholeNumber(body.value(QStringLiteral("source")), 1, kPointCount);
    if (!source || !table.SourceVisible[*source])
        return failure(400, QStringLiteral("source: a visible source of router %1 (1..%2)").arg(r).arg(kPointCount));
    request.source = *source;
    const std::optional<int> destination = wholeNumber(body.value(QStringLiteral("destination")), 1, kPointCount);
    if (!destination || !table.DestVisible[*destination])
        return failure(400, QStringLiteral("destination: a visible destination of router %1 (1..%2)")
                                .arg(r)
                                .arg(kPointCount));
    request.destination = *destination;

    const QJsonValue levels = body.value(QStringLiteral("levels"));
    QJsonArray levelList;
    if (levels.isUndefined() || levels.isNull()) {
        request.levels.fill(true);
    } else {
        if (!levels.isArray() || levels.toArray().isEmpty())
            return failure(400, QStringLiteral("levels: a list of levels 0..%1").arg(kTakeLevelCount - 1));
        for (const QJsonValue &level : levels.toArray()) {
            const std::optional<int> k = wholeNumber(level, 0, kTakeLevelCount - 1);
            if (!k)
                return failure(400, QStringLiteral("levels: a list of levels 0..%1").arg(kTakeLevelCount - 1));
            request.levels[std::size_t(*k)] = true;
        }
    }
    for (int k = 0; k < kTakeLevelCount; ++k) {
        if (request.levels[std::size_t(k)])
            levelList.append(k);
    }

    const QJsonValue comment = body.value(QStringLiteral("comment"));
    if (!comment.isString())
        return failure(400, QStringLiteral("comment: a text"));
    request.comment = comment.toString();

    std::optional<bool> hold;
    const QJsonValue highPriority = body.value(QStringLiteral("highPriority"));
    if (!highPriority.isUndefined() && !highPriority.isNull()) {
        if (!highPriority.isBool())
            return failure(400, QStringLiteral("highPriority: true or false"));
        hold = highPriority.toBool();
        request.hold = *hold ? TakeRequest::Hold::Set : TakeRequest::Hold::Clear;
    }

    const TakeResult outcome = server.take(request);
    if (outcome.refusal != TakeRefusal::None) {
        const auto [status, text] = takeRefusal(outcome);
        return failure(status, text);
    }

    QJsonObject answer{{QStringLiteral("router"), r},
                       {QStringLiteral("source"), request.source},
                       {QStringLiteral("destination"), request.destination},
                       {QStringLiteral("levels"), levelList},
                       {QStringLiteral("user"), caller.userName},
                       {QStringLiteral("displaced"), outcome.displaced}};
    if (hold)
        answer.insert(QStringLiteral("highPriority"), *hold);
    return reply(202, answer);
}

WebResponse WebApi::hold(const Caller &caller, int r, int d, bool set)
{
    // From afar a hold needs the same privilege as a take.
    if (UserPrivilege(server, caller.user) < MasterOperator)
        return failure(403, QStringLiteral("privilege: ") + takeRefusalText(TakeRefusal::NoPrivilege));
    if (!server.routerTable(r).DestVisible[d])
        return failure(400, QStringLiteral("destination: a visible destination of router %1 (1..%2)")
                                .arg(r)
                                .arg(kPointCount));
    QString refusal;
    if (!SetHighPriority(server, r, d, set, &refusal))
        return server.isStandby() ? failure(503, refusal) : failure(409, QStringLiteral("destination: ") + refusal);
    return reply(200, {{QStringLiteral("router"), r}, {QStringLiteral("destination"), d}, {QStringLiteral("hold"), set}});
}

WebResponse WebApi::protect(const Caller &caller, int r, int d, bool set)
{
    const Server::ProtectOutcome outcome = set ? server.protect(r, d, caller.user) : server.releaseProtect(r, d, caller.user);
    using Result = Server::ProtectResult;
    switch (outcome.result) {
    case Result::Done: break;
    case Result::Standby: return failure(503, standbyRefusalText());
    case Result::NoPrivilege:
        return failure(403, QStringLiteral("privilege: ") + takeRefusalText(TakeRefusal::NoPrivilege));
    case Result::NoDestination:
        return failure(400, QStringLiteral("destination: a visible destination of router %1 (1..%2)").arg(r).arg(kPointCount));
    case Result::BeyondState: return failure(409, QStringLiteral("destination: ") + outcome.error);
    case Result::ProtectedByOther: return failure(409, QStringLiteral("destination: protected by ") + outcome.owner);
    case Result::NotOwner:
        return failure(409, QStringLiteral("destination: protected by %1; only %1 or an Administrator may release it")
                                .arg(outcome.owner));
    case Result::NotSaved: return failure(500, QStringLiteral("protects: not saved: ") + outcome.error);
    }
    return reply(200, {{QStringLiteral("router"), r},
                       {QStringLiteral("destination"), d},
                       {QStringLiteral("protectedBy"), ownerJson(server.protectedBy(r, d))}});
}

WebResponse WebApi::salvos(const Caller &caller, const QByteArray &method, const QList<QByteArray> &parts,
                           const QByteArray &bodyBytes)
{
    if (parts.size() == 3) {
        if (method != "GET")
            return failure(405, QStringLiteral("method: salvos are read with GET"));
        QJsonArray list;
        for (const Salvo &salvo : server.salvos())
            list.append(salvoJson(salvo));
        return reply(200, {{QStringLiteral("salvos"), list}});
    }
    if (parts.size() < 4 || parts.size() > 5 || (parts.size() == 5 && parts[4] != "fire"))
        return failure(404, QStringLiteral("path: no such resource"));
    const QString name = QString::fromUtf8(QByteArray::fromPercentEncoding(parts[3]));
    const auto privilegeRefused = [] {
        return failure(403, QStringLiteral("privilege: ") + takeRefusalText(TakeRefusal::NoPrivilege));
    };
    QJsonObject body;
    if (!bodyBytes.trimmed().isEmpty()) {
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(bodyBytes, &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject())
            return failure(400, QStringLiteral("body: a JSON object"));
        body = doc.object();
    }
    const QJsonValue comment = body.value(QStringLiteral("comment"));
    if (!comment.isUndefined() && !comment.isNull() && !comment.isString())
        return failure(400, QStringLiteral("comment: a text"));

    if (parts.size() == 5) {
        if (method != "POST")
            return failure(405, QStringLiteral("method: a salvo is fired with POST"));
        const Server::SalvoFireOutcome outcome = server.fireSalvo(name, caller.user, comment.toString(), TakeOrigin::Web);
        switch (outcome.result) {
        case Server::SalvoFireResult::Done: break;
        case Server::SalvoFireResult::NotFound: return failure(404, QStringLiteral("salvo: no salvo of that name"));
        case Server::SalvoFireResult::Standby: return failure(503, standbyRefusalText());
        case Server::SalvoFireResult::NoPrivilege: return privilegeRefused();
        }
        QJsonArray results;
        for (const SalvoTakeResult &take : outcome.takes) {
            QJsonObject entry{{QStringLiteral("router"), take.take.router},
                              {QStringLiteral("destination"), take.take.destination},
                              {QStringLiteral("source"), take.take.source}};
            if (take.result.refusal != TakeRefusal::None) {
                entry.insert(QStringLiteral("result"), QStringLiteral("refused"));
                entry.insert(QStringLiteral("error"), takeRefusal(take.result).second);
            } else {
                entry.insert(QStringLiteral("result"),
                             take.result.displaced ? QStringLiteral("displaced") : QStringLiteral("sent"));
                if (take.linkDown)
                    entry.insert(QStringLiteral("linkDown"), true);
            }
            results.append(entry);
        }
        return reply(200, {{QStringLiteral("name"), name},
                           {QStringLiteral("sent"), outcome.sent},
                           {QStringLiteral("total"), int(outcome.takes.size())},
                           {QStringLiteral("results"), results}});
    }
    if (method == "DELETE") {
        const Server::SalvoEditOutcome outcome = server.deleteSalvo(name, caller.user);
        switch (outcome.result) {
        case Server::SalvoEditResult::Done: return reply(200, {{QStringLiteral("deleted"), name}});
        case Server::SalvoEditResult::NotFound: return failure(404, QStringLiteral("salvo: no salvo of that name"));
        case Server::SalvoEditResult::NoPrivilege: return privilegeRefused();
        case Server::SalvoEditResult::Invalid:
        case Server::SalvoEditResult::NotSaved: break;
        }
        return failure(500, QStringLiteral("salvos: not saved: ") + outcome.error);
    }
    if (method != "PUT")
        return failure(405, QStringLiteral("method: a salvo is written with PUT and deleted with DELETE"));
    if (UserPrivilege(server, caller.user) < MasterOperator)
        return privilegeRefused();
    Salvo salvo;
    salvo.name = name;
    salvo.comment = comment.toString();
    const QJsonValue takes = body.value(QStringLiteral("takes"));
    if (!takes.isArray())
        return failure(400, QStringLiteral("takes: a list of takes {router, destination, source, levels?}"));
    for (const QJsonValue &value : takes.toArray()) {
        const QString where = QStringLiteral("takes[%1].").arg(salvo.takes.size());
        if (!value.isObject())
            return failure(400, where + QStringLiteral("take: an object {router, destination, source, levels?}"));
        const QJsonObject object = value.toObject();
        const std::optional<int> router = wholeNumber(object.value(QStringLiteral("router")), 1, kRouterCount);
        const std::optional<int> destination = wholeNumber(object.value(QStringLiteral("destination")), 1, kPointCount);
        const std::optional<int> source = wholeNumber(object.value(QStringLiteral("source")), 1, kPointCount);
        if (!router)
            return failure(400, where + QStringLiteral("router: a router number 1..%1").arg(kRouterCount));
        if (!destination)
            return failure(400, where + QStringLiteral("destination: a destination number 1..%1").arg(kPointCount));
        if (!source)
            return failure(400, where + QStringLiteral("source: a source number 1..%1").arg(kPointCount));
        SalvoTake take{*router, *destination, *source, {}};
        const QJsonValue levels = object.value(QStringLiteral("levels"));
        if (levels.isUndefined() || levels.isNull()) {
            take.levels.fill(true);
        } else {
            if (!levels.isArray() || levels.toArray().isEmpty())
                return failure(400, where + QStringLiteral("levels: a list of levels 0..%1").arg(kTakeLevelCount - 1));
            for (const QJsonValue &level : levels.toArray()) {
                const std::optional<int> k = wholeNumber(level, 0, kTakeLevelCount - 1);
                if (!k)
                    return failure(400, where + QStringLiteral("levels: a list of levels 0..%1").arg(kTakeLevelCount - 1));
                take.levels[std::size_t(*k)] = true;
            }
        }
        salvo.takes.append(take);
        if (salvo.takes.size() > kSalvoTakeLimit)
            break;
    }
    const Server::SalvoEditOutcome outcome = server.saveSalvo(salvo, caller.user);
    switch (outcome.result) {
    case Server::SalvoEditResult::Done: return reply(200, salvoJson(salvo));
    case Server::SalvoEditResult::NoPrivilege: return privilegeRefused();
    case Server::SalvoEditResult::Invalid: return failure(400, outcome.error);
    case Server::SalvoEditResult::NotFound:
    case Server::SalvoEditResult::NotSaved: break;
    }
    return failure(500, QStringLiteral("salvos: not saved: ") + outcome.error);
}

WebResponse WebApi::page(const QByteArray &path)
{
    for (const StaticFile &file : kPages) {
        if (path != file.path)
            continue;
        QFile resource(QString::fromLatin1(file.resource));
        if (!resource.open(QIODevice::ReadOnly))
            break;
        return {200, file.contentType, resource.readAll()};
    }
    return failure(404, QStringLiteral("path: no such page"));
}

QByteArray WebApi::metrics()
{
    QByteArray out;
    out.reserve(16 * 1024);
    const auto family = [&out](const char *name, const char *type, const char *help) {
        out += "# HELP ";
        out += name;
        out += ' ';
        out += help;
        out += "\n# TYPE ";
        out += name;
        out += ' ';
        out += type;
        out += '\n';
    };
    QList<int> served;
    for (int r = 1; r <= kRouterCount; ++r) {
        if (server.servesRouter(r))
            served.append(r);
    }
    const auto perRouter = [&](const char *name, const char *type, const char *help, auto value) {
        family(name, type, help);
        for (const int r : served) {
            out += name;
            out += "{router=\"" + QByteArray::number(r) + "\"} " + QByteArray::number(value(r)) + '\n';
        }
    };
    perRouter("marlin_router_link_up", "gauge", "Whether the router's communication is up (1) or down (0).",
              [this](int r) { return server.routerCounters(r).linkUp ? 1 : 0; });
    perRouter("marlin_router_replies_total", "counter", "Status replies accepted from the router.",
              [this](int r) { return server.routerCounters(r).replies; });
    perRouter("marlin_router_commands_sent_total", "counter", "Commands sent to the router on any port.",
              [this](int r) { return server.routerCounters(r).commandsSent; });
    perRouter("marlin_router_queue_depth", "gauge", "Commands waiting in the router's queues.",
              [this](int r) { return server.routerCounters(r).queueDepth; });

    family("marlin_router_datagrams_refused_total", "counter",
           "Datagrams the UDP router ports refused because they came from another address than the router's.");
    out += "marlin_router_datagrams_refused_total " + QByteArray::number(server.counters().refusedDatagrams) + '\n';
    family("marlin_log_write_failures_total", "counter",
           "Appends to the error or switch log that failed (full disk, unwritable folder).");
    out += "marlin_log_write_failures_total " + QByteArray::number(server.counters().logWriteFailures) + '\n';
    family("marlin_panels_connected", "gauge", "Panel connections open.");
    out += "marlin_panels_connected " + QByteArray::number(server.counters().panelsConnected) + '\n';
    family("marlin_panel_requests_total", "counter", "Panel requests handled.");
    out += "marlin_panel_requests_total " + QByteArray::number(server.counters().panelRequests) + '\n';
    family("marlin_takes_total", "counter", "Takes accepted, by where they came from.");
    const std::pair<const char *, Server::TakeOrigin> origins[] = {{"panel", Server::TakeOrigin::Panel},
                                                                   {"console", Server::TakeOrigin::Console},
                                                                   {"web", Server::TakeOrigin::Web}};
    for (const auto &[label, origin] : origins)
        out += "marlin_takes_total{origin=\"" + QByteArray(label) + "\"} "
               + QByteArray::number(server.takesCounted(origin)) + '\n';
    family("marlin_takes_refused_total", "counter", "Takes refused, by why (a panel's take refused is still acknowledged).");
    for (int k = 1; k < kTakeRefusalCount; ++k)
        out += "marlin_takes_refused_total{reason=\"" + QByteArray(refusalLabel(TakeRefusal(k))) + "\"} "
               + QByteArray::number(server.takesRefused(TakeRefusal(k))) + '\n';
    family("marlin_takes_displaced_total", "counter",
           "Takes that took the place of a command waiting in a full router queue.");
    out += "marlin_takes_displaced_total " + QByteArray::number(server.displacedTakes()) + '\n';
    family("marlin_web_sessions", "gauge", "Web sessions logged in.");
    out += "marlin_web_sessions " + QByteArray::number(sessionCount()) + '\n';
    family("marlin_web_connections", "gauge", "Web connections open (requests and event streams).");
    out += "marlin_web_connections " + QByteArray::number(connections ? connections() : 0) + '\n';
    return out;
}

} // namespace marlin
