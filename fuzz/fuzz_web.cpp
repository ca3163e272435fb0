// The web face's request handling, called directly with arbitrary targets
// and bodies: one Server, started once in a scratch folder with three
// network ports giving routers 1, 2 and 3 the Leitch, Image Video and framed
// languages (the link timers never run here, so nothing is ever sent), and
// one WebApi over it on a clock the harness moves.
//
// Input:
//   byte 0    bits 0-2  the start of the target: "", "/api/v1/routers/",
//                       "/api/v1/routers/1/take", "/api/v1/routers/2/holds/",
//                       "/api/v1/login", "/api/v1/logout", "/metrics",
//                       "/api/v1/routers/3/take"
//             bits 3-4  method: GET, POST, PUT, DELETE
//             bits 5-6  whose token goes with it: none, an operator, a master
//                       operator, an administrator
//             bit 7     the token's session has been unused for 8 hours
//   then the rest of the target up to the first newline, then the body.
//
// Checked: the status is one the API gives; every answer but a page is a
// JSON object, an error one with an "error" text; nothing changes without a
// token of privilege 2 or 3 and a 2xx answer (takes counted, holds, priority
// sources); a take is counted only when answered 202.

#include "config/ini_file.h"
#include "config/users.h"
#include "core/server.h"
#include "web/web_api.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

using namespace marlin;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

struct World {
    QTemporaryDir dir;
    std::unique_ptr<Server> server;
    std::unique_ptr<WebApi> api;
    qint64 clock = 0;

    World()
    {
        IniDocument ini = IniDocument::fromBytes({});
        ini.setValue(QStringLiteral("Network_Settings"), QStringLiteral("Network_Card_1_IP_Address"), QString());
        for (int n = 1; n <= 3; ++n) {
            const QString section = QStringLiteral("Net_Port_%1").arg(n);
            ini.setValue(section, QStringLiteral("Hardware_Enabled"), QStringLiteral("1"));
            ini.setValue(section, QStringLiteral("Network_IP_Address"), QStringLiteral("127.0.0.1"));
            ini.setValue(section, QStringLiteral("Network_Port"), QStringLiteral("9"));
            ini.setValue(section, QStringLiteral("Protocol"), QString::number(n));
        }
        ini.save(dir.filePath(QStringLiteral("WREN.INI")));
        UserTable users{};
        users[1] = {QStringLiteral("op"), QStringLiteral("p1"), Operator};
        users[2] = {QStringLiteral("master"), QStringLiteral("p2"), MasterOperator};
        users[3] = {QStringLiteral("admin"), QStringLiteral("p3"), Administrator};
        SaveUsers(dir.filePath(QStringLiteral("USER.INI")), users);
        server = std::make_unique<Server>(dir.path());
        server->Start();
        api = std::make_unique<WebApi>(*server);
        api->setClock([this] { return clock; });
    }

    QByteArray login(const char *user, const char *password)
    {
        WebRequest request;
        request.method = "POST";
        request.target = "/api/v1/login";
        request.body = QByteArray("{\"user\":\"") + user + "\",\"password\":\"" + password + "\"}";
        request.peer = QStringLiteral("fuzz");
        // As the web panel sends it: to the face's own address, bodies as JSON.
        request.host = "127.0.0.1";
        request.contentType = "application/json";
        const WebResponse answer = api->handle(request);
        check(answer.status == 200);
        return QJsonDocument::fromJson(answer.body).object().value(QStringLiteral("token")).toString().toLatin1();
    }
};

World &world()
{
    static int argc = 1;
    static char name[] = "fuzz_web";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static World w;
    return w;
}

// What a request may change, to compare before and after.
struct Snapshot {
    std::array<quint64, Server::kTakeOriginCount> takes{};
    RouterStateArray states;
};

bool sameStates(const RouterStateArray &a, const RouterStateArray &b)
{
    for (int r = 1; r <= kRouterCount; ++r) {
        if (a[r].HighPriority != b[r].HighPriority || a[r].PrioritySource != b[r].PrioritySource
            || a[r].CurrentSource != b[r].CurrentSource)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    World &w = world();
    // A minute on between inputs: no login wait carries over.
    w.clock += 61 * 1000;

    static const char *const starts[] = {"",
                                         "/api/v1/routers/",
                                         "/api/v1/routers/1/take",
                                         "/api/v1/routers/2/holds/",
                                         "/api/v1/login",
                                         "/api/v1/logout",
                                         "/metrics",
                                         "/api/v1/routers/3/take"};
    static const char *const methods[] = {"GET", "POST", "PUT", "DELETE"};
    const uint8_t selector = data[0];
    const QByteArray rest(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const qsizetype newline = rest.indexOf('\n');

    WebRequest request;
    request.method = methods[(selector >> 3) & 3];
    request.target = QByteArray(starts[selector & 7]) + (newline < 0 ? rest : rest.left(newline));
    request.body = newline < 0 ? QByteArray() : rest.mid(newline + 1);
    request.peer = QStringLiteral("fuzz");
    // As the web panel sends it: to the face's own address, bodies as JSON.
    request.host = "127.0.0.1";
    request.contentType = "application/json";
    const int who = (selector >> 5) & 3;
    const QByteArray tokens[] = {{}, w.login("op", "p1"), w.login("master", "p2"), w.login("admin", "p3")};
    if (who > 0)
        request.authorization = "Bearer " + tokens[who];
    const bool expired = selector & 0x80;
    if (expired)
        w.clock += WebApi::kSessionIdleMs + 1;

    Snapshot before;
    for (int o = 0; o < Server::kTakeOriginCount; ++o)
        before.takes[std::size_t(o)] = w.server->takesCounted(Server::TakeOrigin(o));
    before.states = w.server->RouterStates;

    const WebResponse answer = w.api->handle(request);

    static const int known[] = {200, 202, 400, 401, 403, 404, 405, 429, 503};
    check(std::find(std::begin(known), std::end(known), answer.status) != std::end(known));
    if (answer.contentType.startsWith("application/json")) {
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(answer.body, &error);
        check(error.error == QJsonParseError::NoError && doc.isObject());
        if (answer.status >= 400)
            check(doc.object().value(QStringLiteral("error")).isString());
    }

    const quint64 webTakes = w.server->takesCounted(Server::TakeOrigin::Web);
    check(webTakes == before.takes[std::size_t(Server::TakeOrigin::Web)] + (answer.status == 202 ? 1 : 0));
    const bool mayChange = !expired && who >= 2 && (answer.status == 200 || answer.status == 202);
    if (!mayChange)
        check(sameStates(before.states, w.server->RouterStates));
    check(w.server->takesCounted(Server::TakeOrigin::Panel) == before.takes[0]);

    // Back to the state after startup for the next input.
    for (const QByteArray &token : tokens) {
        if (!token.isEmpty())
            w.api->handle(WebRequest{"POST", "/api/v1/logout", {}, "Bearer " + token, QStringLiteral("fuzz"),
                                     "127.0.0.1", {}, false, "application/json"});
    }
    w.server->RouterStates = before.states;
    check(w.api->sessionCount() == 0);
    return 0;
}
