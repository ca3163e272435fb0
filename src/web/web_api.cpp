#include "web_api.h"

#include "config/ini_file.h"
#include "core/console_actions.h"
#include "core/server.h"
#include "links/port_table.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QUrlQuery>
#include <chrono>
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

QString hexColor(double windowsRgb)
{
    const quint32 rgb = WindowsRgb(windowsRgb);
    return QStringLiteral("#%1%2%3")
        .arg(rgb & 0xFF, 2, 16, QLatin1Char('0'))
        .arg((rgb >> 8) & 0xFF, 2, 16, QLatin1Char('0'))
        .arg((rgb >> 16) & 0xFF, 2, 16, QLatin1Char('0'));
}

// The port that serves a router, by the rule that picks its language.
QJsonValue servingPort(const Settings &settings, int r)
{
    const RouterPort port = FindRouterPort(settings, kDeviceRouter, r);
    if (port.number == 0)
        return QJsonValue::Null;
    return QJsonObject{
        {QStringLiteral("kind"), port.isNetwork ? QStringLiteral("network") : QStringLiteral("comm")},
        {QStringLiteral("number"), port.number},
        {QStringLiteral("description"), port.isNetwork ? settings.NetPorts[port.number].NetDescription
                                                       : settings.ComPorts[port.number].ComDescription}};
}

// "none" for a router no port serves: nothing watches its communication.
QString commText(const Settings &settings, const RouterState &state, int r)
{
    if (FindRouterPort(settings, kDeviceRouter, r).number == 0)
        return QStringLiteral("none");
    return state.CommOK ? QStringLiteral("up") : QStringLiteral("down");
}

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
    connect(&server, &Server::crosspointChanged, this, [this](int r, int d, int s) {
        announce({{QStringLiteral("type"), QStringLiteral("crosspoint")},
                  {QStringLiteral("router"), r},
                  {QStringLiteral("destination"), d},
                  {QStringLiteral("source"), s}});
    });
    connect(&server, &Server::holdChanged, this, [this](int r, int d, bool hold) {
        announce({{QStringLiteral("type"), QStringLiteral("hold")},
                  {QStringLiteral("router"), r},
                  {QStringLiteral("destination"), d},
                  {QStringLiteral("hold"), hold}});
    });
    connect(&server, &Server::linkChanged, this, [this](int r, bool up) {
        announce({{QStringLiteral("type"), QStringLiteral("link")}, {QStringLiteral("router"), r}, {QStringLiteral("up"), up}});
    });
    connect(&server, &Server::filesReloaded, this, [this](const QString &what) {
        announce({{QStringLiteral("type"), QStringLiteral("reloaded")}, {QStringLiteral("what"), what}});
    });
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
    return failure(404, QStringLiteral("path: no such resource"));
}

WebResponse WebApi::login(const WebRequest &request)
{
    const qint64 t = now();
    LoginRecord &record = logins[request.peer];
    record.lastSeen = t;
    if (record.waitUntil > t) {
        WebResponse response =
            failure(429, QStringLiteral("login: too many failed logins from this address; try again later"));
        response.retryAfterSeconds = int((record.waitUntil - t + 999) / 1000);
        return response;
    }

    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(request.body, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return failure(400, QStringLiteral("body: a JSON object with user and password"));
    const QJsonObject body = doc.object();
    if (!body.value(QStringLiteral("user")).isString())
        return failure(400, QStringLiteral("user: a text"));
    if (!body.value(QStringLiteral("password")).isString())
        return failure(400, QStringLiteral("password: a text"));

    const int user = FindLoginUser(server, body.value(QStringLiteral("user")).toString(),
                                   body.value(QStringLiteral("password")).toString());
    if (user == 0) {
        while (!record.failures.isEmpty() && t - record.failures.first() >= kLoginWindowMs)
            record.failures.removeFirst();
        record.failures.append(t);
        if (record.failures.size() >= kLoginFailures) {
            record.failures.clear();
            record.waitUntil = t + kLoginWaitMs;
        }
        // Forget the addresses not seen longest, so the table stays small.
        if (logins.size() > kLoginPeerLimit) {
            auto oldest = logins.begin();
            for (auto it = logins.begin(); it != logins.end(); ++it) {
                if (it.value().lastSeen < oldest.value().lastSeen)
                    oldest = it;
            }
            logins.erase(oldest);
        }
        return failure(401, QStringLiteral("login: user or password not accepted"));
    }
    logins.remove(request.peer);

    dropExpiredSessions();
    if (sessions.size() >= kSessionLimit) {
        auto oldest = sessions.begin();
        for (auto it = sessions.begin(); it != sessions.end(); ++it) {
            if (it.value().lastUsed < oldest.value().lastUsed)
                oldest = it;
        }
        sessions.erase(oldest);
    }
    std::array<quint32, 4> random{};
    QRandomGenerator::system()->fillRange(random.data(), random.size());
    const QByteArray token = QByteArray(reinterpret_cast<const char *>(random.data()), sizeof random).toHex();
    const QString name = trimSpaces(UserName(server, user));
    sessions.insert(token, Session{user, name, t});
    return reply(200, {{QStringLiteral("token"), QString::fromLatin1(token)},
                       {QStringLiteral("user"), name},
                       {QStringLiteral("privilege"), UserPrivilege(server, user)}});
}

WebResponse WebApi::logout(const QByteArray &token)
{
    sessions.remove(token);
    return reply(200, {{QStringLiteral("loggedOut"), true}});
}

WebApi::Session *WebApi::sessionFor(const QByteArray &token)
{
    if (token.isEmpty())
        return nullptr;
    auto it = sessions.find(token);
    if (it == sessions.end())
        return nullptr;
    const qint64 t = now();
    // A user renamed or removed since the login is logged out.
    const bool stillThere = trimSpaces(UserName(server, it->user)).toUpper() == it->userName.toUpper()
                            && UserPrivilege(server, it->user) > 0;
    if (t - it->lastUsed > kSessionIdleMs || !stillThere) {
        sessions.erase(it);
        return nullptr;
    }
    it->lastUsed = t;
    return &it.value();
}

void WebApi::dropExpiredSessions()
{
    const qint64 t = now();
    for (auto it = sessions.begin(); it != sessions.end();) {
        if (t - it->lastUsed > kSessionIdleMs)
            it = sessions.erase(it);
        else
            ++it;
    }
}

bool WebApi::acceptToken(const QByteArray &token) { return sessionFor(token) != nullptr; }

int WebApi::sessionCount()
{
    dropExpiredSessions();
    return int(sessions.size());
}

WebResponse WebApi::routers(bool all)
{
    QJsonArray list;
    for (int r = 1; r <= kRouterCount; ++r) {
        const QJsonValue port = servingPort(server.settings, r);
        if (!all && port.isNull())
            continue;
        list.append(QJsonObject{{QStringLiteral("router"), r},
                                {QStringLiteral("name"), server.RouterTables[r].Name},
                                {QStringLiteral("comm"), commText(server.settings, server.RouterStates[r], r)},
                                {QStringLiteral("port"), port}});
    }
    QJsonObject colors;
    for (int c = 1; c <= kColorCount; ++c)
        colors.insert(QString::number(c), hexColor(server.settings.Colors[c]));
    return reply(200, {{QStringLiteral("routers"), list}, {QStringLiteral("colors"), colors}});
}

WebResponse WebApi::router(int r)
{
    const RouterTable &table = server.RouterTables[r];
    const RouterState &state = server.RouterStates[r];
    QJsonArray sources;
    QJsonArray destinations;
    for (int n = 1; n <= kPointCount; ++n) {
        if (table.SourceVisible[n])
            sources.append(QJsonObject{{QStringLiteral("number"), n},
                                       {QStringLiteral("label"), table.SourceLabel[n]},
                                       {QStringLiteral("description"), table.SourceDescription[n]}});
        if (!table.DestVisible[n])
            continue;
        const int current = state.CurrentSource[n];
        destinations.append(QJsonObject{
            {QStringLiteral("number"), n},
            {QStringLiteral("label"), table.DestLabel[n]},
            {QStringLiteral("description"), table.DestDescription[n]},
            {QStringLiteral("source"), current > 0 ? QJsonValue(current) : QJsonValue(QJsonValue::Null)},
            {QStringLiteral("defaultSource"), int(table.DestDefaultSource[n])},
            {QStringLiteral("hold"), bool(state.HighPriority[n])},
            {QStringLiteral("color"), DestinationColor(table, state, n)},
        });
    }
    return reply(200, {{QStringLiteral("router"), r},
                       {QStringLiteral("name"), table.Name},
                       {QStringLiteral("comm"), commText(server.settings, state, r)},
                       {QStringLiteral("port"), servingPort(server.settings, r)},
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
    const RouterTable &table = server.RouterTables[r];

    ConsoleTake request;
    request.router = r;
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
        request.highPriority = *hold;
    }

    const TakeOutcome outcome = ExecuteTake(server, request, caller.user, Server::TakeOrigin::Web, hold);
    switch (outcome.refusal) {
    case TakeRefusal::None: break;
    case TakeRefusal::Standby: return failure(503, standbyRefusalText());
    case TakeRefusal::NoPrivilege:
        return failure(403, QStringLiteral("privilege: ") + takeRefusalText(TakeRefusal::NoPrivilege));
    case TakeRefusal::NoSource: return failure(400, QStringLiteral("source: ") + takeRefusalText(TakeRefusal::NoSource));
    case TakeRefusal::NoDestination:
        return failure(400, QStringLiteral("destination: ") + takeRefusalText(TakeRefusal::NoDestination));
    case TakeRefusal::NoComment:
        return failure(400, QStringLiteral("comment: ") + takeRefusalText(TakeRefusal::NoComment));
    case TakeRefusal::NotServed:
        return failure(409, QStringLiteral("router: ") + takeRefusalText(TakeRefusal::NotServed));
    case TakeRefusal::NotCarried:
        return failure(400, QStringLiteral("take: ") + takeRefusalText(TakeRefusal::NotCarried));
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
    if (!server.RouterTables[r].DestVisible[d])
        return failure(400, QStringLiteral("destination: a visible destination of router %1 (1..%2)")
                                .arg(r)
                                .arg(kPointCount));
    if (!SetHighPriority(server, r, d, set))
        return failure(503, standbyRefusalText());
    return reply(200, {{QStringLiteral("router"), r}, {QStringLiteral("destination"), d}, {QStringLiteral("hold"), set}});
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
        if (server.links.isServed(r, false) || server.links.isServed(r, true))
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
              [this](int r) { return server.RouterStates[r].CommOK ? 1 : 0; });
    perRouter("marlin_router_replies_total", "counter", "Status replies accepted from the router.",
              [this](int r) { return server.links.repliesReceived(r); });
    perRouter("marlin_router_commands_sent_total", "counter", "Commands sent to the router on any port.",
              [this](int r) { return server.links.commandsSent(r); });
    perRouter("marlin_router_queue_depth", "gauge", "Commands waiting in the router's queues.",
              [this](int r) { return server.links.queueDepth(r); });

    family("marlin_panels_connected", "gauge", "Panel connections open.");
    out += "marlin_panels_connected " + QByteArray::number(server.clients.connectedCount()) + '\n';
    family("marlin_panel_requests_total", "counter", "Panel requests handled.");
    out += "marlin_panel_requests_total " + QByteArray::number(server.clients.requestsHandled()) + '\n';
    family("marlin_takes_total", "counter", "Takes accepted, by where they came from.");
    const std::pair<const char *, Server::TakeOrigin> origins[] = {{"panel", Server::TakeOrigin::Panel},
                                                                   {"console", Server::TakeOrigin::Console},
                                                                   {"web", Server::TakeOrigin::Web}};
    for (const auto &[label, origin] : origins)
        out += "marlin_takes_total{origin=\"" + QByteArray(label) + "\"} "
               + QByteArray::number(server.takesCounted(origin)) + '\n';
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
