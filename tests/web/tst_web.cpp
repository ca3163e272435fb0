#include "core/server.h"
#include "simulated_router.h"
#include "test_server.h"
#include "test_support.h"
#include "web/web_server.h"
#include "web_client.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

using namespace marlin;
using namespace testsupport;
using namespace websupport;

namespace {

QByteArray webSettings(int port = 0)
{
    return "[Web_Settings]\r\nWeb_Enabled=1\r\nWeb_IP_Address=127.0.0.1\r\nWeb_TCP_Port=" + QByteArray::number(port)
           + "\r\n";
}

// Settings for one network port serving router 1.
QByteArray netPort(quint16 port, int type, int protocol)
{
    return "[Net_Port_1]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=127.0.0.1\r\nNetwork_Port=" + QByteArray::number(port)
           + "\r\nNetwork_Port_Type=" + QByteArray::number(type) + "\r\nProtocol=" + QByteArray::number(protocol)
           + "\r\nRetry_MS=100\r\n";
}

// The users every rig has: one of each privilege.
UserTable testUsers()
{
    UserTable users{};
    users[1] = {QStringLiteral("chief"), QStringLiteral("pw3"), Administrator};
    users[2] = {QStringLiteral("master"), QStringLiteral("pw2"), MasterOperator};
    users[3] = {QStringLiteral("viewer"), QStringLiteral("pw1"), Operator};
    return users;
}

// A started server with its web face in a temporary application folder.
struct WebRig {
    explicit WebRig(const QByteArray &extraIni = {}, Server::Role role = Server::Role::Active)
    {
        writeFile(dir.filePath(QStringLiteral("WREN.INI")), loopbackCardSettings() + webSettings() + extraIni);
        SaveUsers(dir.filePath(QStringLiteral("USER.INI")), testUsers());
        server = std::make_unique<TestServer>(dir.path());
        server->Start(role);
        web = std::make_unique<WebServer>(*server);
        web->start();
        web->api().setClock([this] { return clockMs; });
    }
    quint16 port() const { return web->port(); }

    QTemporaryDir dir;
    qint64 clockMs = 1000;
    std::unique_ptr<TestServer> server;
    std::unique_ptr<WebServer> web;
};

QByteArray json(const QJsonObject &object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); }

// Reads a metrics text with the Prometheus client library's own parser
// (Debian's python3-prometheus-client), which starts no service: its
// complaint, an empty text when it read every line, or nullopt when the
// parser is not installed.
std::optional<QString> metricsParserProblems(const QByteArray &metrics)
{
    const QString python = QStringLiteral("/usr/bin/python3");
    static const char *script =
        "import sys\n"
        "try:\n"
        "    from prometheus_client.parser import text_string_to_metric_families\n"
        "except ImportError:\n"
        "    sys.exit(77)\n"
        "families = list(text_string_to_metric_families(sys.stdin.read()))\n"
        "if not any(f.samples for f in families):\n"
        "    sys.exit('no samples')\n";
    if (!QFileInfo(python).isExecutable())
        return std::nullopt;
    QProcess check;
    check.start(python, {QStringLiteral("-c"), QString::fromLatin1(script)});
    check.write(metrics);
    check.closeWriteChannel();
    check.waitForFinished(30000);
    if (check.exitStatus() == QProcess::NormalExit && check.exitCode() == 77)
        return std::nullopt;
    const QString output = QString::fromUtf8(check.readAllStandardOutput() + check.readAllStandardError());
    return check.exitCode() == 0 && check.exitStatus() == QProcess::NormalExit ? QString() : output;
}

qint64 metricValue(const QByteArray &metrics, const QByteArray &series)
{
    for (const QByteArray &line : metrics.split('\n')) {
        if (line.startsWith(series + ' '))
            return line.mid(series.size() + 1).toLongLong();
    }
    return -1;
}

} // namespace

class TestWeb : public QObject {
    Q_OBJECT

private slots:
    void loginAndTokens();
    void failedLoginsMakeTheAddressWait();
    void loginWaitIsPerAddressAndUser();
    void loginRecordsStayBounded();
    void sessionsPerUser();
    void streamsEndWithTheirToken_data();
    void streamsEndWithTheirToken();
    void hostOriginAndContentType_data();
    void hostOriginAndContentType();
    void attacksLeaveRoomForOthers_data();
    void attacksLeaveRoomForOthers();
    void reservedConnectionsTakeLoggedInRequests();
    void promotionRetriesTheBind();
    void endpointAnswers_data();
    void endpointAnswers();
    void malformedRequestsAreRefused();
    void takeReachesTheRouterAndThePanels();
    void takeIntoAFullQueueSaysItDisplaced();
    void eventStream();
    void slowEventReaderIsDropped();
    void connectionLimit();
    void followsTheServersRoleAndSurvivesABindFailure();
};

void TestWeb::loginAndTokens()
{
    WebRig rig;
    QVERIFY(rig.web->isListening());
    WebClient client(rig.port());

    // Names without regard to case, spaces around either ignored.
    const HttpAnswer login = client.request("POST", "/api/v1/login", R"({"user":" MASTER ","password":"pw2 "})");
    QCOMPARE(login.status, 200);
    const QByteArray token = login.json().value(QStringLiteral("token")).toString().toLatin1();
    QCOMPARE(token.size(), 32); // 128 bits in hex
    QCOMPARE(login.json().value(QStringLiteral("user")).toString(), QStringLiteral("master"));
    QCOMPARE(login.json().value(QStringLiteral("privilege")).toInt(), 2);
    QVERIFY(client.login(QStringLiteral("master"), QStringLiteral("pw2")) != token);

    const HttpAnswer wrong = client.request("POST", "/api/v1/login", R"({"user":"master","password":"PW2"})");
    QCOMPARE(wrong.status, 401);
    QVERIFY(wrong.json().contains(QStringLiteral("error")));

    // No token, a bad one, or a token from another scheme: 401 with a challenge.
    for (const QByteArray &auth : {QByteArray(), QByteArray("Bearer 0123"), QByteArray("Basic ") + token}) {
        const HttpAnswer answer = client.request("GET", "/api/v1/routers", {}, {},
                                                 auth.isEmpty() ? QByteArray() : "Authorization: " + auth + "\r\n");
        QCOMPARE(answer.status, 401);
        QCOMPARE(answer.headers.value("www-authenticate"), QByteArray("Bearer"));
    }
    QCOMPARE(client.request("GET", "/api/v1/routers", {}, token).status, 200);

    // Eight hours unused end a session; every use keeps it alive.
    rig.clockMs += WebApi::kSessionIdleMs - 1;
    QCOMPARE(client.request("GET", "/api/v1/routers", {}, token).status, 200);
    rig.clockMs += WebApi::kSessionIdleMs;
    QCOMPARE(client.request("GET", "/api/v1/routers", {}, token).status, 200);
    rig.clockMs += WebApi::kSessionIdleMs + 1;
    QCOMPARE(client.request("GET", "/api/v1/routers", {}, token).status, 401);

    // Logging out ends a token at once.
    const QByteArray second = client.login(QStringLiteral("chief"), QStringLiteral("pw3"));
    QCOMPARE(client.request("POST", "/api/v1/logout", {}, second).status, 200);
    QCOMPARE(client.request("GET", "/api/v1/routers", {}, second).status, 401);

    // A user removed from the table is logged out with it.
    const QByteArray viewer = client.login(QStringLiteral("viewer"), QStringLiteral("pw1"));
    QCOMPARE(client.request("GET", "/api/v1/routers/1", {}, viewer).status, 200);
    UserTable users = testUsers();
    users[3] = {};
    QVERIFY(SaveUsers(rig.server->UserFile(), users));
    rig.server->reloadUsers();
    QCOMPARE(client.request("GET", "/api/v1/routers/1", {}, viewer).status, 401);
}

void TestWeb::failedLoginsMakeTheAddressWait()
{
    WebRig rig;
    WebClient client(rig.port());
    const QByteArray bad = R"({"user":"chief","password":"guess"})";
    const QByteArray good = R"({"user":"chief","password":"pw3"})";

    // Failures a minute apart never add up.
    for (int i = 0; i < WebApi::kLoginFailures; ++i) {
        QCOMPARE(client.request("POST", "/api/v1/login", bad).status, 401);
        rig.clockMs += WebApi::kLoginWindowMs;
    }
    QCOMPARE(client.request("POST", "/api/v1/login", bad).status, 401);
    rig.clockMs += WebApi::kLoginWindowMs;

    for (int i = 0; i < WebApi::kLoginFailures; ++i)
        QCOMPARE(client.request("POST", "/api/v1/login", bad).status, 401);
    // Now even the right password waits, and says how long.
    const HttpAnswer waiting = client.request("POST", "/api/v1/login", good);
    QCOMPARE(waiting.status, 429);
    QCOMPARE(waiting.headers.value("retry-after"), QByteArray("30"));
    QVERIFY(waiting.json().value(QStringLiteral("token")).isUndefined());

    // Another address is not held back.
    WebClient other(rig.port(), QHostAddress(QStringLiteral("127.0.0.2")));
    QCOMPARE(other.request("POST", "/api/v1/login", good).status, 200);

    rig.clockMs += WebApi::kLoginWaitMs - 1000;
    QCOMPARE(client.request("POST", "/api/v1/login", good).status, 429);
    rig.clockMs += 1000;
    QCOMPARE(client.request("POST", "/api/v1/login", good).status, 200);
}

void TestWeb::endpointAnswers_data()
{
    QTest::addColumn<QString>("user"); // empty: no token
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("errorField"); // what the error names first

    const QByteArray take = R"({"source":2,"destination":3,"comment":"test"})";
    QTest::newRow("routers, no token") << "" << QByteArray("GET") << QByteArray("/api/v1/routers") << QByteArray() << 401 << "token";
    QTest::newRow("routers") << "viewer" << QByteArray("GET") << QByteArray("/api/v1/routers") << QByteArray() << 200 << "";
    QTest::newRow("routers, wrong method") << "viewer" << QByteArray("POST") << QByteArray("/api/v1/routers") << QByteArray() << 405 << "method";
    QTest::newRow("one router") << "viewer" << QByteArray("GET") << QByteArray("/api/v1/routers/96") << QByteArray() << 200 << "";
    QTest::newRow("router 0") << "viewer" << QByteArray("GET") << QByteArray("/api/v1/routers/0") << QByteArray() << 400 << "router";
    QTest::newRow("router 97") << "viewer" << QByteArray("GET") << QByteArray("/api/v1/routers/97") << QByteArray() << 400 << "router";
    QTest::newRow("router -1") << "viewer" << QByteArray("GET") << QByteArray("/api/v1/routers/-1") << QByteArray() << 400 << "router";
    QTest::newRow("router huge") << "viewer" << QByteArray("GET") << QByteArray("/api/v1/routers/99999999999999") << QByteArray() << 400 << "router";
    QTest::newRow("unknown path") << "viewer" << QByteArray("GET") << QByteArray("/api/v1/panels") << QByteArray() << 404 << "path";
    QTest::newRow("unknown path, no token") << "" << QByteArray("GET") << QByteArray("/api/v1/panels") << QByteArray() << 401 << "token";
    QTest::newRow("events without upgrade") << "viewer" << QByteArray("GET") << QByteArray("/api/v1/events") << QByteArray() << 400 << "upgrade";
    QTest::newRow("take, master") << "master" << QByteArray("POST") << QByteArray("/api/v1/routers/1/take") << take << 202 << "";
    QTest::newRow("take, chief") << "chief" << QByteArray("POST") << QByteArray("/api/v1/routers/1/take") << take << 202 << "";
    QTest::newRow("take, viewer") << "viewer" << QByteArray("POST") << QByteArray("/api/v1/routers/1/take") << take << 403 << "privilege";
    QTest::newRow("take, no token") << "" << QByteArray("POST") << QByteArray("/api/v1/routers/1/take") << take << 401 << "token";
    QTest::newRow("take, GET") << "master" << QByteArray("GET") << QByteArray("/api/v1/routers/1/take") << QByteArray() << 405 << "method";
    QTest::newRow("take, router no port serves") << "master" << QByteArray("POST") << QByteArray("/api/v1/routers/2/take")
                                                 << take << 409 << "router";
    QTest::newRow("take, router 97") << "master" << QByteArray("POST") << QByteArray("/api/v1/routers/97/take") << take << 400 << "router";
    QTest::newRow("take, malformed") << "master" << QByteArray("POST") << QByteArray("/api/v1/routers/1/take") << QByteArray("{\"source\":") << 400 << "body";
    QTest::newRow("take, array") << "master" << QByteArray("POST") << QByteArray("/api/v1/routers/1/take") << QByteArray("[1,2]") << 400 << "body";
    QTest::newRow("take, source 0") << "master" << QByteArray("POST") << QByteArray("/api/v1/routers/1/take")
                                    << QByteArray(R"({"source":0,"destination":3,"comment":"x"})") << 400 << "source";
    QTest::newRow("take, source 257") << "master" << QByteArray("POST") << QByteArray("/api/v1/routers/1/take")
                                      << QByteArray(R"({"source":257,"destination":3,"comment":"x"})") << 400 << "source";
    QTest::newRow("take, source text") << "master" << QByteArray("POST") << QByteArray("/api/v1/routers/1/take")
                                       << QByteArray(R"({"source":"2","destination":3,"comment":"x"})") << 400 << "source";
    QTest::newRow("take, source 2.5") << "master" << QByteArray("POST") << QByteArray("/api/v1/routers/1/take")
                                      << QByteArray(R"({"source":2.5,"destination":3,"comment":"x"})") << 400 << "source";
    QTest::newRow("take, source 1e300") << "master" << QByteArray("POST") << QByteArray("/api/v1/routers/1/take")
                                        << QByteArray(R"({"source":1e300,"destination":3,"comment":"x"})") << 400 << "source";
    QTest::newRow("take, hidden source") << "master" << QByteArray("POST") << QByteArray("/api/v1/routers/1/take")
                                         << QByteArray(R"({"source":200,"destination":3,"comment":"x"})") << 400 << "source";
    QTest::newRow("take, no destination") << "master" << QByteArray("POST") << QByteArray("/api/v1/routers/1/take")
                                          << QByteArray(R"({"source":2,"comment":"x"})") << 400 << "destination";
    QTest::newRow("take, level 8") << "master" << QByteArray("POST") << QByteArray("/api/v1/routers/1/take")
                                   << QByteArray(R"({"source":2,"destination":3,"levels":[0,8],"comment":"x"})") << 400 << "levels";
    QTest::newRow("take, no levels") << "master" << QByteArray("POST") << QByteArray("/api/v1/routers/1/take")
                                     << QByteArray(R"({"source":2,"destination":3,"levels":[],"comment":"x"})") << 400 << "levels";
    QTest::newRow("take, blank comment") << "master" << QByteArray("POST") << QByteArray("/api/v1/routers/1/take")
                                         << QByteArray(R"({"source":2,"destination":3,"comment":"   "})") << 400 << "comment";
    QTest::newRow("take, no comment") << "master" << QByteArray("POST") << QByteArray("/api/v1/routers/1/take")
                                      << QByteArray(R"({"source":2,"destination":3})") << 400 << "comment";
    QTest::newRow("take, hold not a flag") << "master" << QByteArray("POST") << QByteArray("/api/v1/routers/1/take")
                                           << QByteArray(R"({"source":2,"destination":3,"comment":"x","highPriority":1})") << 400 << "highPriority";
    QTest::newRow("hold set") << "master" << QByteArray("PUT") << QByteArray("/api/v1/routers/1/holds/3") << QByteArray() << 200 << "";
    QTest::newRow("hold cleared") << "chief" << QByteArray("DELETE") << QByteArray("/api/v1/routers/1/holds/3") << QByteArray() << 200 << "";
    QTest::newRow("hold, viewer") << "viewer" << QByteArray("PUT") << QByteArray("/api/v1/routers/1/holds/3") << QByteArray() << 403 << "privilege";
    QTest::newRow("hold, no token") << "" << QByteArray("PUT") << QByteArray("/api/v1/routers/1/holds/3") << QByteArray() << 401 << "token";
    QTest::newRow("hold, destination 257") << "master" << QByteArray("PUT") << QByteArray("/api/v1/routers/1/holds/257") << QByteArray() << 400 << "destination";
    QTest::newRow("hold, hidden destination") << "master" << QByteArray("PUT") << QByteArray("/api/v1/routers/1/holds/200") << QByteArray() << 400 << "destination";
    QTest::newRow("hold, POST") << "master" << QByteArray("POST") << QByteArray("/api/v1/routers/1/holds/3") << QByteArray() << 405 << "method";
    QTest::newRow("login, not JSON") << "" << QByteArray("POST") << QByteArray("/api/v1/login") << QByteArray("user=chief") << 400 << "body";
    QTest::newRow("login, user a number") << "" << QByteArray("POST") << QByteArray("/api/v1/login")
                                          << QByteArray(R"({"user":3,"password":"pw3"})") << 400 << "user";
    QTest::newRow("login, GET") << "" << QByteArray("GET") << QByteArray("/api/v1/login") << QByteArray() << 405 << "method";
    QTest::newRow("metrics without token") << "" << QByteArray("GET") << QByteArray("/metrics") << QByteArray() << 200 << "";
    QTest::newRow("page without token") << "" << QByteArray("GET") << QByteArray("/") << QByteArray() << 200 << "";
    QTest::newRow("no such page") << "" << QByteArray("GET") << QByteArray("/../WREN.INI") << QByteArray() << 404 << "path";
}

// Every table router has 32 visible sources and destinations by default.
void TestWeb::endpointAnswers()
{
    QFETCH(QString, user);
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, errorField);

    // Router 1 is served (by a port whose router never answers); no port
    // serves the others.
    WebRig rig(netPort(1, 0, 1));
    WebClient client(rig.port());
    const QMap<QString, QString> passwords{{QStringLiteral("chief"), QStringLiteral("pw3")},
                                           {QStringLiteral("master"), QStringLiteral("pw2")},
                                           {QStringLiteral("viewer"), QStringLiteral("pw1")}};
    const QByteArray token = user.isEmpty() ? QByteArray() : client.login(user, passwords[user]);
    QVERIFY(user.isEmpty() || !token.isEmpty());

    const HttpAnswer answer = client.request(method, target, body, token);
    QCOMPARE(answer.status, status);
    if (!errorField.isEmpty())
        QVERIFY2(answer.error().startsWith(errorField + QLatin1Char(':')), qPrintable(answer.error()));
    if (status >= 400) {
        QVERIFY(answer.headers.value("content-type").startsWith("application/json"));
        // A refused request changes nothing.
        QCOMPARE(rig.server->takesCounted(Server::TakeOrigin::Web), 0u);
        QVERIFY(!rig.server->routerState(1).HighPriority[3]);
        QVERIFY(logEntries(rig.dir.path(), "Switch").isEmpty());
    }
    if (status == 202) {
        QCOMPARE(rig.server->takesCounted(Server::TakeOrigin::Web), 1u);
        QCOMPARE(answer.json().value(QStringLiteral("displaced")), QJsonValue(false));
        QCOMPARE(rig.server->routerState(1).PrioritySource[3], 2);
    }
    if (target == "/api/v1/routers" && status == 200) {
        // Only router 1 is served, so the list holds it alone unless all are asked for.
        const QJsonArray served = answer.json().value(QStringLiteral("routers")).toArray();
        QCOMPARE(served.size(), 1);
        QCOMPARE(served.first().toObject().value(QStringLiteral("comm")).toString(), QStringLiteral("up"));
        const QJsonArray all =
            client.request("GET", "/api/v1/routers?all=1", {}, token).json().value(QStringLiteral("routers")).toArray();
        QCOMPARE(all.size(), kRouterCount);
        QCOMPARE(all.last().toObject().value(QStringLiteral("name")).toString(), QStringLiteral("Router_96"));
        // Nothing watches a router no port serves: neither up nor down.
        QCOMPARE(all.last().toObject().value(QStringLiteral("comm")).toString(), QStringLiteral("none"));
    }
    if (target == "/api/v1/routers/96" && status == 200) {
        const QJsonObject router = answer.json();
        QCOMPARE(router.value(QStringLiteral("sources")).toArray().size(), 32);
        QCOMPARE(router.value(QStringLiteral("destinations")).toArray().size(), 32);
        const QJsonObject d1 = router.value(QStringLiteral("destinations")).toArray().first().toObject();
        QCOMPARE(d1.value(QStringLiteral("label")).toString(), QStringLiteral("OUT_1"));
        QCOMPARE(d1.value(QStringLiteral("description")).toString(), QStringLiteral("Output_1"));
        QCOMPARE(d1.value(QStringLiteral("source")), QJsonValue(QJsonValue::Null));
        QCOMPARE(d1.value(QStringLiteral("hold")), QJsonValue(false));
        QCOMPARE(router.value(QStringLiteral("comm")).toString(), QStringLiteral("none"));
    }
    if (method == "PUT" && status == 200)
        QVERIFY(rig.server->routerState(1).HighPriority[3]);
    if (target == "/" && status == 200) {
        QVERIFY(answer.headers.value("content-type").startsWith("text/html"));
        QCOMPARE(answer.headers.value("x-frame-options"), QByteArray("DENY"));
        QVERIFY(answer.headers.value("content-security-policy").contains("frame-ancestors 'none'"));
    }
    QCOMPARE(answer.headers.value("x-content-type-options"), QByteArray("nosniff"));
}

// Requests the HTTP layer refuses before the engine sees them.
void TestWeb::malformedRequestsAreRefused()
{
    WebRig rig;
    const QByteArray token = WebClient(rig.port()).login(QStringLiteral("chief"), QStringLiteral("pw3"));

    struct Case {
        const char *name;
        QByteArray bytes;
        int status;
    };
    const QByteArray bigHeader = "X-Filler: " + QByteArray(9 * 1024, 'a') + "\r\n";
    const QByteArray bigBody(65 * 1024, ' ');
    const Case cases[] = {
        {"headers past 8 KiB", "GET /api/v1/routers HTTP/1.1\r\nHost: x\r\n" + bigHeader + "\r\n", 431},
        {"body past 64 KiB",
         "POST /api/v1/routers/1/take HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + token
             + "\r\nContent-Length: " + QByteArray::number(bigBody.size()) + "\r\n\r\n" + bigBody,
         413},
        {"not HTTP", "HELLO\r\n\r\n", 400},
        {"bad length", "POST /api/v1/login HTTP/1.1\r\nContent-Length: -5\r\n\r\n", 400},
    };
    for (const Case &c : cases) {
        WebClient client(rig.port());
        QCOMPARE(client.send(c.bytes).status, c.status);
        QVERIFY2(client.socket.state() != QAbstractSocket::ConnectedState
                     || client.socket.waitForDisconnected(5000),
                 c.name);
    }
    QCOMPARE(rig.server->takesCounted(Server::TakeOrigin::Web), 0u);
    // The server goes on serving.
    QCOMPARE(WebClient(rig.port()).request("GET", "/api/v1/routers", {}, token).status, 200);
}

void TestWeb::takeReachesTheRouterAndThePanels()
{
    QStringList wire; // before the router, which still reports while it stops
    RouterConfig config;
    config.language = RouterLanguage::Leitch;
    config.transport = TransportKind::Tcp;
    SimulatedRouter router(config);
    connect(&router, &SimulatedRouter::event, this, [&wire](const QString &line) { wire.append(line); });
    QVERIFY(router.start());
    WebRig rig(netPort(router.localPort(), 0, 1));
    QTRY_VERIFY_WITH_TIMEOUT(rig.server->routerState(1).StatusReceived, 10000);

    // A panel that has drained the working state sees no change pending.
    Panel panel(rig.server->listeningPort(1));
    quint32 sequence = 1;
    for (int replies = 0; replies < 2 * kRouterCount + 1; ++replies) {
        const QByteArray head = panel.ask(panelRequest(sequence++, 0xA8, 1), 7).mid(4);
        if (head == QByteArray("\x10\x01\x01"))
            break;
        panel.await(head.at(1) == char(0xA8) ? 517 : 261);
    }
    QCOMPARE(panel.ask(panelRequest(sequence++, 0xA1, 1), 15).mid(7, 1), QByteArray(1, '\0'));

    WebClient client(rig.port());
    const QByteArray token = client.login(QStringLiteral("master"), QStringLiteral("pw2"));
    const HttpAnswer routers = client.request("GET", "/api/v1/routers", {}, token);
    const QJsonArray served = routers.json().value(QStringLiteral("routers")).toArray();
    QCOMPARE(served.size(), 1);
    QCOMPARE(served.first().toObject().value(QStringLiteral("comm")).toString(), QStringLiteral("up"));
    QCOMPARE(served.first().toObject().value(QStringLiteral("port")).toObject().value(QStringLiteral("kind")).toString(),
             QStringLiteral("network"));

    rig.server->asReported(1).HighPriority[4] = true;
    const HttpAnswer take = client.request("POST", "/api/v1/routers/1/take",
                                           R"({"source":9,"destination":4,"levels":[0],"comment":" from the web "})",
                                           token);
    QCOMPARE(take.status, 202);
    QCOMPARE(take.json().value(QStringLiteral("displaced")), QJsonValue(false));
    // Without highPriority the hold someone set stays.
    QVERIFY(rig.server->routerState(1).HighPriority[4]);

    // On the wire in the router's language, reported back, flagged for panels.
    QTRY_VERIFY_WITH_TIMEOUT(wire.filter(QStringLiteral(" rx @ X:0/3,8")).size() > 0, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(rig.server->routerState(1).CurrentSource[4], 9, 5000);
    QCOMPARE(panel.ask(panelRequest(sequence++, 0xA1, 1), 15).mid(7, 1), QByteArray(1, '\1'));
    const QByteArray block = panel.ask(panelRequest(sequence++, 0xA6, 1), 4 + 3 + 261);
    QCOMPARE(block.mid(4, 3), QByteArray("\xFF\xA6\x01"));
    QCOMPARE(int(quint8(block.at(7 + 5 + 3))), 9); // destination 4
    QVERIFY(logEntries(rig.dir.path(), "Switch").contains(
        "Switch command sent.\t Router = Router_1\t Source = Input_9\t Destination = Output_4\t"
        "User = master   Comment = from the web"));

    const QJsonObject destination4 = client.request("GET", "/api/v1/routers/1", {}, token)
                                         .json()
                                         .value(QStringLiteral("destinations"))
                                         .toArray()
                                         .at(3)
                                         .toObject();
    QCOMPARE(destination4.value(QStringLiteral("source")).toInt(), 9);
    QCOMPARE(destination4.value(QStringLiteral("hold")), QJsonValue(true));
    QCOMPARE(destination4.value(QStringLiteral("color")).toInt(), 3);

    // false clears the hold.
    QCOMPARE(client.request("POST", "/api/v1/routers/1/take",
                            R"({"source":9,"destination":4,"comment":"again","highPriority":false})", token)
                 .status,
             202);
    QVERIFY(!rig.server->routerState(1).HighPriority[4]);

    // The metrics count it, and Prometheus's checker takes them.
    const HttpAnswer metrics = client.request("GET", "/metrics");
    QVERIFY(metrics.headers.value("content-type").startsWith("text/plain; version=0.0.4"));
    QCOMPARE(metricValue(metrics.body, "marlin_takes_total{origin=\"web\"}"), 2);
    QCOMPARE(metricValue(metrics.body, "marlin_takes_total{origin=\"panel\"}"), 0);
    QCOMPARE(metricValue(metrics.body, "marlin_router_link_up{router=\"1\"}"), 1);
    QVERIFY(metricValue(metrics.body, "marlin_router_replies_total{router=\"1\"}") >= 1);
    QVERIFY(metricValue(metrics.body, "marlin_router_commands_sent_total{router=\"1\"}") >= 2);
    QCOMPARE(metricValue(metrics.body, "marlin_router_link_up{router=\"2\"}"), -1); // served routers only
    QCOMPARE(metricValue(metrics.body, "marlin_panels_connected"), 1);
    QVERIFY(metricValue(metrics.body, "marlin_panel_requests_total") >= 3);
    QCOMPARE(metricValue(metrics.body, "marlin_web_sessions"), 1);
    QCOMPARE(metricValue(metrics.body, "marlin_router_datagrams_refused_total"), 0);
    QCOMPARE(metricValue(metrics.body, "marlin_log_write_failures_total"), 0);
    const std::optional<QString> problems = metricsParserProblems(metrics.body);
    if (!problems && qEnvironmentVariableIsSet("CI"))
        QFAIL("the metrics parser is not installed (Debian package python3-prometheus-client); "
              "scripts/setup test installs it");
    if (problems)
        QVERIFY2(problems->isEmpty(), qPrintable(*problems));
    else
        qWarning("python3-prometheus-client not installed: the metrics format was not checked");
}

void TestWeb::takeIntoAFullQueueSaysItDisplaced()
{
    // A TCP router nobody answers: its queue fills and never drains.
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const quint16 deadPort = closed.serverPort();
    closed.close();
    WebRig rig(netPort(deadPort, 0, 1));
    WebClient client(rig.port());
    const QByteArray token = client.login(QStringLiteral("master"), QStringLiteral("pw2"));

    int firstDisplaced = 0;
    for (int i = 1; i <= CommandQueue::kSlots && !firstDisplaced; ++i) {
        const int depth = rig.server->routerLinks().queueDepth(1);
        const HttpAnswer take = client.request(
            "POST", "/api/v1/routers/1/take",
            json({{"source", 1 + i % 16}, {"destination", 1}, {"comment", QStringLiteral("fill %1").arg(i)}}), token);
        QCOMPARE(take.status, 202);
        if (take.json().value(QStringLiteral("displaced")).toBool()) {
            firstDisplaced = i;
            QCOMPARE(depth, CommandQueue::kSlots - 1); // every waiting slot taken before it
        }
    }
    QVERIFY(firstDisplaced > 0);
    QCOMPARE(rig.server->routerLinks().queueDepth(1), CommandQueue::kSlots - 1);
    QCOMPARE(rig.server->displacedTakes(), 1u);
    QVERIFY(logEntries(rig.dir.path(), "Error").contains(
        "Command queue of router 1 (Router_1) full: a take took the place of the last waiting command."));
    const QByteArray metrics = client.request("GET", "/metrics").body;
    QCOMPARE(metricValue(metrics, "marlin_takes_displaced_total"), 1);
    QCOMPARE(metricValue(metrics, "marlin_router_queue_depth{router=\"1\"}"), CommandQueue::kSlots - 1);
}

void TestWeb::eventStream()
{
    RouterConfig config;
    config.language = RouterLanguage::ImageVideo;
    config.transport = TransportKind::Tcp;
    SimulatedRouter router(config);
    QVERIFY(router.start());
    WebRig rig(netPort(router.localPort(), 0, 2));
    WebClient client(rig.port());
    const QByteArray token = client.login(QStringLiteral("master"), QStringLiteral("pw2"));

    // A bad token never gets the upgrade.
    for (const QByteArray &target : {QByteArray("/api/v1/events"), QByteArray("/api/v1/events?token=nope"),
                                     QByteArray("/api/v1/events?token=")}) {
        EventClient refused;
        const HttpAnswer answer = refused.open(rig.port(), target);
        QCOMPARE(answer.status, 401);
        QVERIFY(!answer.headers.contains("upgrade"));
    }
    QCOMPARE(rig.web->eventClientCount(), 0);

    EventClient events;
    const HttpAnswer accepted = events.open(rig.port(), "/api/v1/events?token=" + token);
    QCOMPARE(accepted.status, 101);
    QCOMPARE(accepted.headers.value("sec-websocket-accept"), QByteArray("s3pPLMBiTxaQ9kYGzzhZRbK+xOo="));
    QTRY_COMPARE(rig.web->eventClientCount(), 1);

    // The router's report of a take comes as a crosspoint change.
    QCOMPARE(client.request("POST", "/api/v1/routers/1/take",
                            R"({"source":7,"destination":2,"comment":"live","highPriority":true})", token)
                 .status,
             202);
    const QJsonObject change{{"type", "crosspoint"}, {"router", 1}, {"destination", 2}, {"source", 7}};
    QTRY_VERIFY_WITH_TIMEOUT(!events.find(change).isEmpty(), 10000);
    QVERIFY(!events.find({{"type", "hold"}, {"router", 1}, {"destination", 2}, {"hold", true}}).isEmpty());

    QCOMPARE(client.request("DELETE", "/api/v1/routers/1/holds/2", {}, token).status, 200);
    QTRY_VERIFY(!events.find({{"type", "hold"}, {"destination", 2}, {"hold", false}}).isEmpty());

    rig.server->reloadRouterTables();
    QTRY_VERIFY(!events.find({{"type", "reloaded"}, {"what", "tables"}}).isEmpty());

    // The router goes away: its link is reported lost.
    router.stop();
    QTRY_VERIFY_WITH_TIMEOUT(!events.find({{"type", "link"}, {"router", 1}, {"up", false}}).isEmpty(), 20000);
}

void TestWeb::slowEventReaderIsDropped()
{
    WebRig rig;
    const QByteArray token = WebClient(rig.port()).login(QStringLiteral("viewer"), QStringLiteral("pw1"));
    EventClient slow;
    QCOMPARE(slow.open(rig.port(), "/api/v1/events?token=" + token, 4096).status, 101);
    EventClient reader;
    QCOMPARE(reader.open(rig.port(), "/api/v1/events?token=" + token).status, 101);
    QTRY_COMPARE(rig.web->eventClientCount(), 2);

    // Far more than the queue limit, in bursts the reader takes in as they
    // come, while the slow client reads nothing.
    const QByteArray message = "{\"type\":\"test\",\"fill\":\"" + QByteArray(1000, 'x') + "\"}";
    const int burst = 100;
    int count = 0;
    while (count < 3 * WebServer::kEventQueueLimit / message.size()) {
        for (int i = 0; i < burst; ++i)
            rig.web->broadcast(message);
        count += burst;
        QTRY_COMPARE_WITH_TIMEOUT(reader.messages().size(), count, 20000);
    }
    // The slow one went once more than the limit waited for it.
    QTRY_COMPARE_WITH_TIMEOUT(rig.web->eventClientCount(), 1, 20000);
    // The slow one finds its connection closed once it reads.
    QTRY_VERIFY_WITH_TIMEOUT((slow.messages(), slow.socket.state() == QAbstractSocket::UnconnectedState), 20000);
    QVERIFY(slow.messages().size() < count);
}

void TestWeb::connectionLimit()
{
    WebRig rig;
    std::vector<std::unique_ptr<QTcpSocket>> open;
    // Idle connections from 8 addresses (one address holds at most 32).
    for (int i = 0; i < WebServer::kConnectionLimit; ++i) {
        open.push_back(std::make_unique<QTcpSocket>());
        open.back()->bind(QHostAddress(QStringLiteral("127.0.4.%1").arg(1 + i % 8)));
        open.back()->connectToHost(QHostAddress::LocalHost, rig.port());
    }
    // Near the cap each new one takes the place of the one waiting longest
    // for a request, and the last places are kept for logged-in requests.
    QTRY_COMPARE_WITH_TIMEOUT(rig.web->connectionCount(), WebServer::kConnectionLimit - WebServer::kReservedConnections,
                              10000);
    // The first ones waited longest: they gave their places.
    const int evicted = WebServer::kReservedConnections;
    for (int i = 0; i < evicted; ++i)
        QTRY_COMPARE(open[std::size_t(i)]->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(open[std::size_t(evicted)]->state(), QAbstractSocket::ConnectedState);
    // A request from a new client is answered, in the place of the next one.
    QCOMPARE(WebClient(rig.port()).request("GET", "/metrics").status, 200);
    QTRY_COMPARE(open[std::size_t(evicted)]->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(open[std::size_t(evicted) + 1]->state(), QAbstractSocket::ConnectedState);

    open.clear();
    QTRY_COMPARE_WITH_TIMEOUT(rig.web->connectionCount(), 0, 10000);
    QCOMPARE(WebClient(rig.port()).request("GET", "/metrics").status, 200);
}

void TestWeb::followsTheServersRoleAndSurvivesABindFailure()
{
    // A spare keeps the port closed until it is promoted.
    WebRig spare({}, Server::Role::Standby);
    QVERIFY(!spare.web->isListening());
    spare.server->Promote();
    QVERIFY(spare.web->isListening());
    WebClient client(spare.port());
    const QByteArray token = client.login(QStringLiteral("master"), QStringLiteral("pw2"));
    EventClient events;
    QCOMPARE(events.open(spare.port(), "/api/v1/events?token=" + token).status, 101);
    QTRY_COMPARE(spare.web->eventClientCount(), 1);
    spare.server->Demote();
    QVERIFY(!spare.web->isListening());
    QTRY_COMPARE_WITH_TIMEOUT(events.socket.state(), QAbstractSocket::UnconnectedState, 10000);

    // A port in use: logged with address, port and reason; the server runs on.
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost));
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("WREN.INI")), loopbackCardSettings() + webSettings(taken.serverPort())));
    TestServer server(dir.path());
    server.Start();
    WebServer web(server);
    QVERIFY(!web.start());
    QVERIFY(!web.listenProblem().isEmpty());
    QVERIFY(logEntries(dir.path(), "Error").contains(QStringLiteral("The web server could not listen on 127.0.0.1:%1 (%2).")
                                                         .arg(taken.serverPort())
                                                         .arg(web.listenProblem())
                                                         .toUtf8()));
    Panel panel(server.listeningPort(1));
    QCOMPARE(panel.ask(panelRequest(1, 0xA1, 1), 15).size(), 15);

    // Switched off, nothing listens and nothing is logged.
    QTemporaryDir off;
    QVERIFY(writeFile(off.filePath(QStringLiteral("WREN.INI")), loopbackCardSettings()));
    TestServer quiet(off.path());
    quiet.Start();
    WebServer none(quiet);
    QVERIFY(!none.start());
    QVERIFY(none.listenProblem().isEmpty());
}

void TestWeb::loginWaitIsPerAddressAndUser()
{
    WebRig rig;
    const auto login = [&rig](const char *from, const QString &user, const QString &password) {
        return WebClient(rig.port(), QHostAddress(QString::fromLatin1(from)))
            .request("POST", "/api/v1/login", json({{"user", user}, {"password", password}}));
    };
    const QString chief = QStringLiteral("chief");
    // Five bad logins for chief from one address: that address waits for chief ...
    for (int i = 0; i < WebApi::kLoginFailures; ++i)
        QCOMPARE(login("127.0.0.1", chief, QStringLiteral("guess")).status, 401);
    QCOMPARE(login("127.0.0.1", chief, QStringLiteral("pw3")).status, 429);
    // ... not for another user, and chief from elsewhere is not slowed.
    QCOMPARE(login("127.0.0.1", QStringLiteral("viewer"), QStringLiteral("pw1")).status, 200);
    QCOMPARE(login("127.0.0.2", chief, QStringLiteral("pw3")).status, 200);

    // An address chief logged in from within the hour is not slowed for chief.
    for (int i = 0; i < 2 * WebApi::kLoginFailures; ++i)
        QCOMPARE(login("127.0.0.2", chief, QStringLiteral("guess")).status, 401);
    QCOMPARE(login("127.0.0.2", chief, QStringLiteral("pw3")).status, 200);
    rig.clockMs += WebApi::kTrustedMs;
    for (int i = 0; i < WebApi::kLoginFailures; ++i)
        QCOMPARE(login("127.0.0.2", chief, QStringLiteral("guess")).status, 401);
    QCOMPARE(login("127.0.0.2", chief, QStringLiteral("pw3")).status, 429);

    // Guesses for one name spread over many addresses are slowed, briefly.
    rig.clockMs += WebApi::kLoginWaitMs;
    const QString master = QStringLiteral("master");
    int answered401 = 0;
    int waited = 0;
    for (int i = 0; i < 4 * WebApi::kUserFailures; ++i) {
        const QByteArray from = "127.0.2." + QByteArray::number(i + 1);
        const HttpAnswer answer = login(from.constData(), master, QStringLiteral("guess"));
        answered401 += answer.status == 401;
        if (answer.status == 429) {
            ++waited;
            QVERIFY(answer.headers.value("retry-after").toInt() <= WebApi::kUserWaitMs / 1000);
        }
    }
    QCOMPARE(answered401, WebApi::kUserFailures);
    QCOMPARE(waited, 3 * WebApi::kUserFailures);
    // The wait is short: master, from an address never seen, gets in after it.
    QCOMPARE(login("127.0.3.1", master, QStringLiteral("pw2")).status, 429);
    rig.clockMs += WebApi::kUserWaitMs;
    QCOMPARE(login("127.0.3.1", master, QStringLiteral("pw2")).status, 200);
}

void TestWeb::loginRecordsStayBounded()
{
    // The web API alone, called as the web server calls it: many requests fast.
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("WREN.INI")), loopbackCardSettings() + webSettings()));
    SaveUsers(dir.filePath(QStringLiteral("USER.INI")), testUsers());
    TestServer server(dir.path());
    server.Start();
    WebApi api(server);
    qint64 clock = 0;
    api.setClock([&clock] { return clock; });
    WebRequest request;
    request.method = "POST";
    request.target = "/api/v1/login";
    request.host = "127.0.0.1";
    request.contentType = "application/json";
    // Malformed logins note nothing.
    for (int i = 0; i < 20000; ++i) {
        request.peer = QStringLiteral("10.%1.%2.1").arg(i / 256).arg(i % 256);
        request.body = i % 2 ? QByteArray("{\"user\":1}") : QByteArray("not json");
        QCOMPARE(api.handle(request).status, 400);
    }
    QCOMPARE(api.loginRecordCount(), 0);
    // Failed logins from ever new addresses for ever new names are bounded.
    for (int i = 0; i < 20000; ++i) {
        ++clock;
        request.peer = QStringLiteral("10.%1.%2.2").arg(i / 256).arg(i % 256);
        request.body = json({{"user", QStringLiteral("user%1").arg(i)}, {"password", "x"}});
        QCOMPARE(api.handle(request).status, 401);
    }
    QVERIFY2(api.loginRecordCount() <= 2 * WebApi::kLoginRecordLimit, qPrintable(QString::number(api.loginRecordCount())));
    request.body = json({{"user", "chief"}, {"password", "pw3"}});
    QCOMPARE(api.handle(request).status, 200);
}

void TestWeb::sessionsPerUser()
{
    WebRig rig;
    WebClient client(rig.port());
    const QByteArray chief = client.login(QStringLiteral("chief"), QStringLiteral("pw3"));
    QList<QByteArray> viewer;
    for (int i = 0; i < 3 * WebApi::kSessionsPerUser; ++i) {
        viewer.append(client.login(QStringLiteral("viewer"), QStringLiteral("pw1")));
        QVERIFY(!viewer.last().isEmpty());
    }
    // The viewer's newest sessions live, its oldest ended; the
    // administrator's session stays.
    QCOMPARE(client.request("GET", "/api/v1/routers", {}, chief).status, 200);
    for (int i = 0; i < viewer.size(); ++i)
        QCOMPARE(client.request("GET", "/api/v1/routers", {}, viewer[i]).status,
                 i >= viewer.size() - WebApi::kSessionsPerUser ? 200 : 401);
    QCOMPARE(rig.web->api().sessionCount(), 1 + WebApi::kSessionsPerUser);
}

void TestWeb::streamsEndWithTheirToken_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("logout") << "logout";
    QTest::newRow("expiry") << "expiry";
    QTest::newRow("user removed") << "removed";
    QTest::newRow("place taken by the user's newer logins") << "displaced";
}

void TestWeb::streamsEndWithTheirToken()
{
    QFETCH(QString, how);
    WebRig rig;
    WebClient client(rig.port());
    const QByteArray token = client.login(QStringLiteral("viewer"), QStringLiteral("pw1"));
    const QByteArray other = client.login(QStringLiteral("master"), QStringLiteral("pw2"));
    EventClient events;
    QCOMPARE(events.open(rig.port(), "/api/v1/events?token=" + token).status, 101);
    EventClient staying;
    QCOMPARE(staying.open(rig.port(), "/api/v1/events?token=" + other).status, 101);
    QTRY_COMPARE(rig.web->eventClientCount(), 2);

    if (how == QLatin1String("logout")) {
        QCOMPARE(client.request("POST", "/api/v1/logout", {}, token).status, 200);
    } else if (how == QLatin1String("expiry")) {
        rig.clockMs += WebApi::kSessionIdleMs / 2;
        QCOMPARE(client.request("GET", "/api/v1/routers", {}, other).status, 200);
        rig.clockMs += WebApi::kSessionIdleMs / 2 + 1;
        rig.web->api().sweepSessions(); // as the minute's sweep does
    } else if (how == QLatin1String("removed")) {
        UserTable users = testUsers();
        users[3] = {};
        QVERIFY(SaveUsers(rig.server->UserFile(), users));
        rig.server->reloadUsers();
    } else {
        for (int i = 0; i < WebApi::kSessionsPerUser; ++i)
            QVERIFY(!client.login(QStringLiteral("viewer"), QStringLiteral("pw1")).isEmpty());
    }
    QTRY_COMPARE_WITH_TIMEOUT(events.socket.state(), QAbstractSocket::UnconnectedState, 5000);
    events.messages();
    QCOMPARE(events.closeStatus, 1008);
    // The other user's stream goes on and hears the next change.
    QCOMPARE(rig.web->eventClientCount(), 1);
    rig.server->reloadRouterTables();
    QTRY_VERIFY(!staying.find({{"type", "reloaded"}, {"what", "tables"}}).isEmpty());
    QCOMPARE(staying.closeStatus, 0);
}

void TestWeb::hostOriginAndContentType_data()
{
    QTest::addColumn<QByteArray>("allowedHosts");
    QTest::addColumn<QByteArray>("head"); // request line and headers but Content-Length
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");

    const QByteArray login = R"({"user":"chief","password":"pw3"})";
    const QByteArray post = "POST /api/v1/login HTTP/1.1\r\n";
    QTest::newRow("metrics, Host the address and port") << QByteArray() << QByteArray("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\n") << QByteArray() << 200;
    QTest::newRow("metrics, Host localhost") << QByteArray() << QByteArray("GET /metrics HTTP/1.1\r\nHost: localhost:PORT\r\n") << QByteArray() << 200;
    QTest::newRow("page, another name") << QByteArray() << QByteArray("GET / HTTP/1.1\r\nHost: rebound.example:PORT\r\n") << QByteArray() << 421;
    QTest::newRow("page, another address") << QByteArray() << QByteArray("GET / HTTP/1.1\r\nHost: 127.0.0.2\r\n") << QByteArray() << 421;
    QTest::newRow("page, no Host") << QByteArray() << QByteArray("GET / HTTP/1.1\r\n") << QByteArray() << 421;
    QTest::newRow("page, a listed name") << QByteArray("panel.example, router.example") << QByteArray("GET / HTTP/1.1\r\nHost: Router.Example\r\n") << QByteArray() << 200;
    QTest::newRow("login, JSON") << QByteArray() << post + "Host: 127.0.0.1:PORT\r\nContent-Type: application/json; charset=utf-8\r\n" << login << 200;
    QTest::newRow("login, text/plain") << QByteArray() << post + "Host: 127.0.0.1:PORT\r\nContent-Type: text/plain\r\n" << login << 415;
    QTest::newRow("login, no type") << QByteArray() << post + "Host: 127.0.0.1:PORT\r\n" << login << 415;
    QTest::newRow("login, same origin") << QByteArray() << post + "Host: 127.0.0.1:PORT\r\nOrigin: http://127.0.0.1:PORT\r\nContent-Type: application/json\r\n" << login << 200;
    QTest::newRow("login, other origin") << QByteArray() << post + "Host: 127.0.0.1:PORT\r\nOrigin: http://evil.example\r\nContent-Type: application/json\r\n" << login << 403;
    QTest::newRow("login, null origin") << QByteArray() << post + "Host: 127.0.0.1:PORT\r\nOrigin: null\r\nContent-Type: application/json\r\n" << login << 403;
    QTest::newRow("logout, no body, no type") << QByteArray() << QByteArray("POST /api/v1/logout HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\nOrigin: http://127.0.0.1:PORT\r\nAuthorization: Bearer TOKEN\r\n") << QByteArray() << 200;
    QTest::newRow("events, other origin") << QByteArray() << QByteArray("GET /api/v1/events?token=TOKEN HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\nOrigin: http://evil.example\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n") << QByteArray() << 403;
    QTest::newRow("events, same origin") << QByteArray() << QByteArray("GET /api/v1/events?token=TOKEN HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\nOrigin: http://127.0.0.1:PORT\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n") << QByteArray() << 101;
    QTest::newRow("events, another name") << QByteArray() << QByteArray("GET /api/v1/events?token=TOKEN HTTP/1.1\r\nHost: rebound.example\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n") << QByteArray() << 421;
}

void TestWeb::hostOriginAndContentType()
{
    QFETCH(QByteArray, allowedHosts);
    QFETCH(QByteArray, head);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    WebRig rig("Web_Allowed_Hosts=" + allowedHosts + "\r\n");
    const QByteArray token = WebClient(rig.port(), QHostAddress(QStringLiteral("127.0.0.9")))
                                 .login(QStringLiteral("viewer"), QStringLiteral("pw1"));
    QVERIFY(!token.isEmpty());
    head.replace("PORT", QByteArray::number(rig.port())).replace("TOKEN", token);
    WebClient client(rig.port());
    const HttpAnswer answer = client.send(head + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    QCOMPARE(answer.status, status);
    // A refused login notes nothing: five of them leave the right one in.
    if (status >= 400 && head.startsWith("POST /api/v1/login")) {
        for (int i = 0; i < WebApi::kLoginFailures; ++i)
            QCOMPARE(WebClient(rig.port()).send(head + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body).status, status);
        QCOMPARE(WebClient(rig.port()).login(QStringLiteral("chief"), QStringLiteral("pw3")).isEmpty(), false);
    }
}

void TestWeb::attacksLeaveRoomForOthers_data()
{
    QTest::addColumn<QString>("attack");
    QTest::addColumn<int>("addresses"); // the attacker's
    QTest::newRow("slow headers, one address") << "headers" << 1;
    QTest::newRow("slow headers, 8 addresses") << "headers" << 8;
    QTest::newRow("body that never completes, 8 addresses") << "body" << 8;
    QTest::newRow("event streams on one token, 8 addresses") << "streams" << 8;
}

// An attacker holds as many connections as it can; meanwhile other clients
// ask for the metrics, each on a new connection. The share answered is
// printed.
void TestWeb::attacksLeaveRoomForOthers()
{
    QFETCH(QString, attack);
    QFETCH(int, addresses);
    WebRig rig;
    const QByteArray token = WebClient(rig.port()).login(QStringLiteral("viewer"), QStringLiteral("pw1"));
    std::vector<std::unique_ptr<EventClient>> held;
    for (int i = 0; i < WebServer::kConnectionLimit; ++i) {
        auto client = std::make_unique<EventClient>();
        const QHostAddress from(QStringLiteral("127.0.5.%1").arg(1 + i % addresses));
        if (attack == QLatin1String("streams")) {
            client->open(rig.port(), "/api/v1/events?token=" + token, 0, from);
        } else {
            client->socket.bind(from);
            client->socket.connectToHost(QHostAddress::LocalHost, rig.port());
            client->socket.write(attack == QLatin1String("headers")
                                     ? QByteArray("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ")
                                     : QByteArray("POST /api/v1/login HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                                  "Content-Type: application/json\r\nContent-Length: 1000\r\n\r\n{\"user\""));
        }
        held.push_back(std::move(client));
        if (i % 16 == 15)
            QTest::qWait(0); // let the server take them in as they come
    }
    QTRY_VERIFY_WITH_TIMEOUT(rig.web->connectionCount() >= std::min(WebServer::kConnectionLimit - WebServer::kReservedConnections,
                                                                     addresses * 32) || attack == QLatin1String("streams"),
                             10000);
    constexpr int kProbes = 40;
    int answered = 0;
    for (int i = 0; i < kProbes; ++i)
        answered += WebClient(rig.port()).request("GET", "/metrics").status == 200;
    qInfo("%s: %d of %d probes answered", qPrintable(attack), answered, kProbes);
    QCOMPARE(answered, kProbes);
    if (attack == QLatin1String("streams"))
        QCOMPARE(rig.web->eventClientCount(), WebServer::kStreamsPerSession);
}

void TestWeb::reservedConnectionsTakeLoggedInRequests()
{
    // Twelve users, each with three sessions of four streams: connections
    // nobody can take over, up to the reserve.
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("WREN.INI")), loopbackCardSettings() + webSettings()));
    UserTable users{};
    for (int u = 1; u <= kUserCount; ++u)
        users[u] = {QStringLiteral("user%1").arg(u), QStringLiteral("pw"), u == 1 ? Administrator : Operator};
    QVERIFY(SaveUsers(dir.filePath(QStringLiteral("USER.INI")), users));
    TestServer server(dir.path());
    server.Start();
    WebServer web(server);
    QVERIFY(web.start());
    const QByteArray admin = WebClient(web.port()).login(QStringLiteral("user1"), QStringLiteral("pw"));
    QVERIFY(!admin.isEmpty());

    std::vector<std::unique_ptr<EventClient>> streams;
    const int wanted = WebServer::kConnectionLimit - WebServer::kReservedConnections;
    for (int u = 1; u <= kUserCount && int(streams.size()) < wanted; ++u) {
        for (int s = 0; s < 3 && int(streams.size()) < wanted; ++s) {
            const QByteArray token = WebClient(web.port()).login(QStringLiteral("user%1").arg(u), QStringLiteral("pw"));
            for (int k = 0; k < WebServer::kStreamsPerSession && int(streams.size()) < wanted; ++k) {
                streams.push_back(std::make_unique<EventClient>());
                const QHostAddress from(QStringLiteral("127.0.6.%1").arg(1 + int(streams.size()) % 8));
                QCOMPARE(streams.back()->open(web.port(), "/api/v1/events?token=" + token, 0, from).status, 101);
            }
        }
    }
    QTRY_COMPARE_WITH_TIMEOUT(web.connectionCount(), wanted, 10000);
    // Without a token: refused; with one, answered.
    QCOMPARE(WebClient(web.port()).request("GET", "/metrics").status, 503);
    QCOMPARE(WebClient(web.port()).request("GET", "/api/v1/routers", {}, admin).status, 200);
    // A kept-open connection in the reserve waits for its next request, so
    // the next one takes its place: the reserve never fills up.
    for (int i = 0; i < 2 * WebServer::kReservedConnections; ++i)
        QCOMPARE(WebClient(web.port()).request("GET", "/api/v1/routers", {}, admin).status, 200);
    QVERIFY(web.connectionCount() <= wanted + 1);
}

void TestWeb::promotionRetriesTheBind()
{
    // The old active still holds the web port when this spare is promoted.
    auto oldActive = std::make_unique<QTcpServer>();
    QVERIFY(oldActive->listen(QHostAddress::LocalHost));
    const quint16 port = oldActive->serverPort();
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("WREN.INI")), loopbackCardSettings() + webSettings(port)));
    SaveUsers(dir.filePath(QStringLiteral("USER.INI")), testUsers());
    TestServer server(dir.path());
    server.Start(Server::Role::Standby);
    WebServer web(server);
    server.Promote();
    QVERIFY(!web.isListening());
    oldActive.reset();
    QTRY_VERIFY_WITH_TIMEOUT(web.isListening(), 5000);
    QCOMPARE(WebClient(port).request("GET", "/metrics").status, 200);
    // Nothing was reported: the bind succeeded within the retries.
    for (const QByteArray &line : logEntries(dir.path(), "Error"))
        QVERIFY2(!line.contains("web server could not listen"), line.constData());
}

QTEST_GUILESS_MAIN(TestWeb)
#include "tst_web.moc"
