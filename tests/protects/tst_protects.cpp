#include "core/console_actions.h"
#include "core/server.h"
#include "simulated_router.h"
#include "test_server.h"
#include "test_support.h"
#include "ui/router_view.h"
#include "ui/salvo_window.h"
#include "web/web_server.h"
#include "web_client.h"

#include <QDir>
#include <QJsonArray>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QComboBox>
#include <QTableWidget>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>

#include <memory>

using namespace marlin;
using namespace testsupport;
using namespace websupport;

Q_DECLARE_METATYPE(marlin::TakeOrigin)

namespace {

// The users every rig has: two Master Operators, an Administrator and an
// Operator, numbered as here.
enum Who { Chief = 1, Other = 2, Boss = 3, Op = 4 };
const char *const kNames[] = {"", "chief", "other", "boss", "op"};
const char *const kPasswords[] = {"", "pw1", "pw2", "pw3", "pw4"};

void writeUsers(const QString &dir)
{
    UserTable users{};
    users[Chief] = {QStringLiteral("chief"), QStringLiteral("pw1"), MasterOperator};
    users[Other] = {QStringLiteral("other"), QStringLiteral("pw2"), MasterOperator};
    users[Boss] = {QStringLiteral("boss"), QStringLiteral("pw3"), Administrator};
    users[Op] = {QStringLiteral("op"), QStringLiteral("pw4"), Operator};
    SaveUsers(dir + QStringLiteral("/USER.INI"), users);
}

// One simulated router, with the lines it logs.
struct Sim {
    Sim(RouterLanguage language, TransportKind transport, const QString &linkPath = {})
    {
        RouterConfig config;
        config.language = language;
        config.transport = transport;
        config.linkPath = linkPath;
        router = std::make_unique<SimulatedRouter>(config);
        QObject::connect(router.get(), &SimulatedRouter::event, [this](const QString &line) { wire.append(line); });
        started = router->start();
    }
    ~Sim() { router->stop(); }
    QByteArray port() const { return QByteArray::number(router->localPort()); }

    QStringList wire;
    std::unique_ptr<SimulatedRouter> router;
    bool started = false;
};

QByteArray netPort(int n, const QByteArray &port, int type, int protocol)
{
    return "[Net_Port_" + QByteArray::number(n) + "]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=127.0.0.1\r\nNetwork_Port="
           + port + "\r\nNetwork_Port_Type=" + QByteArray::number(type) + "\r\nProtocol=" + QByteArray::number(protocol)
           + "\r\nRetry_MS=100\r\n";
}

const QByteArray kWeb = "[Web_Settings]\r\nWeb_Enabled=1\r\nWeb_IP_Address=127.0.0.1\r\nWeb_TCP_Port=0\r\n";

// The server with its panels, its web face and a Leitch router on TCP
// serving router 1.
struct Rig {
    Rig() : sim(RouterLanguage::Leitch, TransportKind::Tcp)
    {
        writeFile(dir.filePath(QStringLiteral("WREN.INI")), loopbackCardSettings() + kWeb + netPort(1, sim.port(), 0, 1));
        writeUsers(dir.path());
        start();
    }
    void start()
    {
        web.reset();
        server = std::make_unique<TestServer>(dir.path());
        server->Start();
        web = std::make_unique<WebServer>(*server);
        web->start();
    }
    QByteArray login(WebClient &client, int who)
    {
        return client.login(QString::fromLatin1(kNames[who]), QString::fromLatin1(kPasswords[who]));
    }
    QList<QByteArray> switchLog() const { return logEntries(dir.path(), "Switch"); }

    QTemporaryDir dir;
    Sim sim;
    std::unique_ptr<TestServer> server;
    std::unique_ptr<WebServer> web;
};

int viewColumnOf(const RouterViewModel &model, int router)
{
    for (int column = 0; column < model.columnCount(); ++column) {
        if (model.routerOfColumn(column) == router)
            return column;
    }
    return -1;
}

// A take of source 9 to destination d of router 1 on level 0 from a face,
// as user who (ignored for a panel). True when the face accepted it; the
// web's answer and the console's refusal are left for the caller.
struct FaceTake {
    int status = 0;             // web
    QString error;              // web
    TakeRefusal refusal = TakeRefusal::None;   // console, its check
    TakeRefusal executed = TakeRefusal::None;  // console, carried out
    QByteArray acknowledge;     // panel
};

FaceTake takeFrom(Rig &rig, TakeOrigin origin, int who, int d)
{
    Server &server = *rig.server;
    FaceTake result;
    switch (origin) {
    case TakeOrigin::Panel: {
        Panel panel(server.listeningPort(1));
        const QByteArray take = "C 1000000000090" + QByteArray::number(d).rightJustified(3, '0') + "00IN_9    OUT_"
                                + QByteArray::number(d).leftJustified(4, ' ') + "from a panel";
        result.acknowledge = panel.ask(panelRequest(7, 0xA5, 1, take), 7).mid(4);
        break;
    }
    case TakeOrigin::Console: {
        LogIn(server, QString::fromLatin1(kNames[who]), QString::fromLatin1(kPasswords[who]));
        TakeRequest take;
        take.router = 1;
        take.source = 9;
        take.destination = d;
        take.levels[0] = true;
        take.comment = QStringLiteral("from the console");
        // The dialog checks, asks, then carries it out checking again (a
        // protect may come while its question is open).
        result.refusal = CheckConsoleTake(server, take);
        result.executed = ExecuteConsoleTake(server, take);
        break;
    }
    case TakeOrigin::Web: {
        WebClient client(rig.web->port());
        const QByteArray token = rig.login(client, who);
        const HttpAnswer answer = client.request(
            "POST", "/api/v1/routers/1/take",
            R"({"source":9,"destination":)" + QByteArray::number(d) + R"(,"levels":[0],"comment":"from the web"})", token);
        result.status = answer.status;
        result.error = answer.error();
        break;
    }
    }
    return result;
}

} // namespace

class TestProtects : public QObject {
    Q_OBJECT

private slots:
    void takeOntoAProtectedDestination_data();
    void takeOntoAProtectedDestination();
    void whoMayProtectAndRelease();
    void protectsSurviveARestart();
    void anUnreadableProtectFileIsNeverWritten();
    void protectsOnTheWeb();
    void protectsInTheConsoleView();
    void aSalvoAcrossThreeRouters();
    void badSalvosAreRefused_data();
    void badSalvosAreRefused();
    void salvoPrivilegesAndNames();
    void theConsoleSalvosWindow();
};

// Origin x taker x protected: only the protect's owner switches a protected
// destination; a panel (no user) never does, and is still acknowledged.
// What is refused never reaches the router: a take to a free destination
// made after it, by the same face, does.
void TestProtects::takeOntoAProtectedDestination_data()
{
    QTest::addColumn<TakeOrigin>("origin");
    QTest::addColumn<int>("taker");
    QTest::addColumn<bool>("isProtected");
    QTest::addColumn<bool>("done");

    const std::pair<const char *, TakeOrigin> faces[] = {{"console", TakeOrigin::Console}, {"web", TakeOrigin::Web}};
    const std::tuple<const char *, int, bool> takers[] = {
        {"owner", Chief, true}, {"other", Other, false}, {"Administrator", Boss, false}};
    for (const auto &[face, origin] : faces) {
        for (const auto &[taker, who, ownerMay] : takers) {
            QTest::addRow("%s, %s, protected", face, taker) << origin << who << true << ownerMay;
            QTest::addRow("%s, %s, free", face, taker) << origin << who << false << true;
        }
    }
    QTest::newRow("panel, protected") << TakeOrigin::Panel << 0 << true << false;
    QTest::newRow("panel, free") << TakeOrigin::Panel << 0 << false << true;
}

void TestProtects::takeOntoAProtectedDestination()
{
    QFETCH(TakeOrigin, origin);
    QFETCH(int, taker);
    QFETCH(bool, isProtected);
    QFETCH(bool, done);

    Rig rig;
    QVERIFY(rig.sim.started);
    Server &server = *rig.server;
    QTRY_VERIFY_WITH_TIMEOUT(server.routerState(1).StatusReceived, 10000);
    if (isProtected)
        QCOMPARE(server.protect(1, 4, Chief).result, Server::ProtectResult::Done);

    const FaceTake take = takeFrom(rig, origin, taker, 4);
    switch (origin) {
    case TakeOrigin::Panel:
        // The panel protocol has no refusal: acknowledged either way.
        QCOMPARE(take.acknowledge, QByteArray("\x10\x01\x01", 3));
        break;
    case TakeOrigin::Console:
        QCOMPARE(take.refusal, done ? TakeRefusal::None : TakeRefusal::Protected);
        QCOMPARE(take.executed, take.refusal);
        break;
    case TakeOrigin::Web:
        QCOMPARE(take.status, done ? 202 : 409);
        if (!done)
            QCOMPARE(take.error, QStringLiteral("destination: protected by chief"));
        break;
    }
    QCOMPARE(server.takesRefused(TakeRefusal::Protected), quint64(done ? 0 : 1));
    QCOMPARE(server.takesCounted(origin), quint64(done ? 1 : 0));
    if (done) {
        QTRY_COMPARE_WITH_TIMEOUT(rig.sim.router->source(4), 9, 10000);
        return;
    }
    // The marker: the same face switches destination 6, which nobody
    // protects; once it is on the router, the refused take would be too.
    const FaceTake marker = takeFrom(rig, origin, taker, 6);
    QVERIFY(marker.refusal == TakeRefusal::None && (origin != TakeOrigin::Web || marker.status == 202));
    QTRY_COMPARE_WITH_TIMEOUT(rig.sim.router->source(6), 9, 10000);
    QCOMPARE(rig.sim.router->source(4), 1);
    QVERIFY(rig.sim.wire.filter(QStringLiteral("X:0/3,8")).isEmpty());
    QCOMPARE(server.protectedBy(1, 4), QStringLiteral("chief"));
    const QList<QByteArray> log = rig.switchLog();
    if (origin == TakeOrigin::Panel) {
        QVERIFY2(log.contains("Switch command refused.\t Router = Router_1\t Source = Input_9\t Destination = Output_4\t"
                              "Protected by chief; panel 127.0.0.1   Comment = from a panel"),
                 log.join('\n').constData());
    }
    QVERIFY(std::none_of(log.begin(), log.end(), [](const QByteArray &line) {
        return line.startsWith("Switch command sent.") && line.contains("Output_4");
    }));
}

// Protect and release need Master Operator or better; a protect stays its
// owner's; an Administrator releases anyone's, and the switch log names both.
void TestProtects::whoMayProtectAndRelease()
{
    Rig rig;
    Server &server = *rig.server;
    using R = Server::ProtectResult;
    QSignalSpy changes(&server, &Server::protectChanged);

    QCOMPARE(server.protect(1, 4, Op).result, R::NoPrivilege);
    QCOMPARE(server.protect(1, 4, 0).result, R::NoPrivilege);
    QCOMPARE(server.protect(1, 0, Chief).result, R::NoDestination);
    QCOMPARE(server.protect(1, 257, Chief).result, R::NoDestination);
    QCOMPARE(server.protect(97, 4, Chief).result, R::NoDestination);
    QVERIFY(changes.isEmpty());
    QVERIFY(!QFile::exists(server.ProtectFile()));

    QCOMPARE(server.protect(1, 4, Chief).result, R::Done);
    QCOMPARE(changes.size(), 1);
    QCOMPARE(changes.first(), (QVariantList{1, 4, QStringLiteral("chief")}));
    // Again by its owner: nothing new. By someone else: still the owner's.
    QCOMPARE(server.protect(1, 4, Chief).result, R::Done);
    const Server::ProtectOutcome taken = server.protect(1, 4, Other);
    QCOMPARE(taken.result, R::ProtectedByOther);
    QCOMPARE(taken.owner, QStringLiteral("chief"));
    QCOMPARE(protectOutcomeText(taken), QStringLiteral("This destination is protected by chief."));
    QCOMPARE(server.releaseProtect(1, 4, Other).result, R::NotOwner);
    QCOMPARE(server.releaseProtect(1, 4, Op).result, R::NoPrivilege);
    QCOMPARE(changes.size(), 1);
    QCOMPARE(server.protectedBy(1, 4), QStringLiteral("chief"));

    // The owner's own take goes through; the Administrator releases it.
    QCOMPARE(server.releaseProtect(1, 4, Boss).result, R::Done);
    QCOMPARE(server.protectedBy(1, 4), QString());
    QCOMPARE(changes.size(), 2);
    QCOMPARE(changes.last(), (QVariantList{1, 4, QString()}));
    QCOMPARE(server.protect(1, 5, Other).result, R::Done);
    QCOMPARE(server.releaseProtect(1, 5, Other).result, R::Done);
    const QList<QByteArray> log = rig.switchLog();
    QVERIFY2(log.contains("Protect set.\t Router = Router_1\t Destination = Output_4\tUser = chief"), log.join('\n').constData());
    QVERIFY(log.contains("Protect released.\t Router = Router_1\t Destination = Output_4\tUser = boss   Owner = chief"));
    QVERIFY(log.contains("Protect released.\t Router = Router_1\t Destination = Output_5\tUser = other"));

    // A standby server changes no protect.
    server.Demote();
    QCOMPARE(server.protect(1, 6, Chief).result, R::Standby);
    QCOMPARE(server.protectedBy(1, 6), QString());
}

// Protects are kept in PROTECTS.INI by the router's own outputs: a second
// server on the same folder has them, and refuses the same takes; a table
// renumbered since then still protects the same router output.
void TestProtects::protectsSurviveARestart()
{
    Rig rig;
    QCOMPARE(rig.server->protect(1, 4, Chief).result, Server::ProtectResult::Done);
    QCOMPARE(rig.server->protect(1, 7, Other).result, Server::ProtectResult::Done);
    QCOMPARE(rig.server->releaseProtect(1, 7, Other).result, Server::ProtectResult::Done);
    rig.server->Shutdown();

    // The next start, with a table that puts destination 12 on output 4.
    auto tables = std::make_unique<RouterTableArray>(rig.server->routerTables());
    (*tables)[1].DestPhysical[12] = 4;
    (*tables)[1].DestPhysical[4] = 12;
    RouterTableSet which;
    which.set(1);
    QVERIFY((*rig.server).apply(TablesEdit{*tables, which}).isEmpty());
    rig.start();
    Server &server = *rig.server;
    QVERIFY2(server.startupFailures().isEmpty(), qPrintable(server.startupFailures().join('\n')));
    QCOMPARE(server.protects().size(), 1);
    QCOMPARE(server.protectOwner(1, 4), QStringLiteral("chief"));
    QCOMPARE(server.protectedBy(1, 12), QStringLiteral("chief"));
    QCOMPARE(server.protectedBy(1, 4), QString());
    QCOMPARE(server.protectedBy(1, 7), QString());
    LogIn(server, QStringLiteral("other"), QStringLiteral("pw2"));
    TakeRequest take;
    take.router = 1;
    take.source = 9;
    take.destination = 12;
    take.levels[0] = true;
    take.comment = QStringLiteral("after the restart");
    QCOMPARE(CheckConsoleTake(server, take), TakeRefusal::Protected);
    take.destination = 4;
    QCOMPARE(CheckConsoleTake(server, take), TakeRefusal::None);
}

// A protect file that cannot be read is said at the start and never
// written over: a protect is then refused with the reason, and nothing
// changes.
void TestProtects::anUnreadableProtectFileIsNeverWritten()
{
    QTemporaryDir dir;
    writeUsers(dir.path());
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("PROTECTS.INI")));
    TestServer server(dir.path());
    server.Start();
    QVERIFY2(server.startupFailures().join('\n').contains(QStringLiteral("The protect file")),
             qPrintable(server.startupFailures().join('\n')));
    QSignalSpy changes(&server, &Server::protectChanged);
    const Server::ProtectOutcome outcome = server.protect(1, 4, Chief);
    QCOMPARE(outcome.result, Server::ProtectResult::NotSaved);
    QVERIFY(outcome.error.contains(QStringLiteral("could not be read")));
    QCOMPARE(server.protectedBy(1, 4), QString());
    QVERIFY(changes.isEmpty());
    QVERIFY(QFileInfo(server.ProtectFile()).isDir());
}

// The web: PUT and DELETE on .../protects/{d}, protectedBy and colour 5 in
// the router, an event for each change, the refusals by status, and the
// refused take counted by reason in the metrics.
void TestProtects::protectsOnTheWeb()
{
    Rig rig;
    Server &server = *rig.server;
    WebClient client(rig.web->port());
    const QByteArray chief = rig.login(client, Chief);
    const QByteArray other = rig.login(client, Other);
    const QByteArray boss = rig.login(client, Boss);
    const QByteArray op = rig.login(client, Op);
    EventClient events;
    QCOMPARE(events.open(rig.web->port(), "/api/v1/events?token=" + chief).status, 101);
    QTRY_COMPARE(rig.web->eventClientCount(), 1);

    QCOMPARE(client.request("PUT", "/api/v1/routers/1/protects/4", {}, op).status, 403);
    QCOMPARE(client.request("PUT", "/api/v1/routers/1/protects/0", {}, chief).status, 400);
    QCOMPARE(client.request("PUT", "/api/v1/routers/1/protects/x", {}, chief).status, 400);
    QCOMPARE(client.request("POST", "/api/v1/routers/1/protects/4", "{}", chief).status, 405);
    QVERIFY(server.protects().isEmpty());

    const HttpAnswer set = client.request("PUT", "/api/v1/routers/1/protects/4", {}, chief);
    QCOMPARE(set.status, 200);
    QCOMPARE(set.json().value(QStringLiteral("protectedBy")).toString(), QStringLiteral("chief"));
    QTRY_VERIFY(!events.find({{"type", "protect"}, {"router", 1}, {"destination", 4}, {"protectedBy", "chief"}}).isEmpty());
    const QJsonObject four = destinationOf(client, chief, 1, 4);
    QCOMPARE(four.value(QStringLiteral("protectedBy")).toString(), QStringLiteral("chief"));
    QCOMPARE(four.value(QStringLiteral("color")).toInt(), kProtectedColor);
    QCOMPARE(destinationOf(client, chief, 1, 5).value(QStringLiteral("protectedBy")), QJsonValue(QJsonValue::Null));

    const HttpAnswer notOwner = client.request("DELETE", "/api/v1/routers/1/protects/4", {}, other);
    QCOMPARE(notOwner.status, 409);
    QVERIFY(notOwner.error().startsWith(QStringLiteral("destination: protected by chief")));
    QCOMPARE(client.request("PUT", "/api/v1/routers/1/protects/4", {}, other).status, 409);
    const HttpAnswer refusedTake = client.request(
        "POST", "/api/v1/routers/1/take", R"({"source":9,"destination":4,"comment":"on air"})", other);
    QCOMPARE(refusedTake.status, 409);
    QCOMPARE(refusedTake.error(), QStringLiteral("destination: protected by chief"));
    QVERIFY(client.request("GET", "/metrics").body.contains("marlin_takes_refused_total{reason=\"protected\"} 1\n"));

    QCOMPARE(client.request("DELETE", "/api/v1/routers/1/protects/4", {}, boss).status, 200);
    QTRY_VERIFY(!events.find({{"type", "protect"}, {"router", 1}, {"destination", 4}, {"protectedBy", QJsonValue()}})
                     .isEmpty());
    QCOMPARE(destinationOf(client, chief, 1, 4).value(QStringLiteral("protectedBy")), QJsonValue(QJsonValue::Null));
    QVERIFY(server.protects().isEmpty());
}

// The console's view draws a protected cell in colour 5 with its owner in
// the tooltip; the take dialog's message names the owner.
void TestProtects::protectsInTheConsoleView()
{
    Rig rig;
    Server &server = *rig.server;
    QTRY_VERIFY_WITH_TIMEOUT(server.routerState(1).StatusReceived, 10000);
    RouterViewModel view(server);
    const int column = viewColumnOf(view, 1);
    QVERIFY(column >= 0);
    const QModelIndex cell = view.index(3, column);
    const QColor before = view.data(cell, Qt::BackgroundRole).value<QColor>();
    QCOMPARE(server.protect(1, 4, Chief).result, Server::ProtectResult::Done);
    const quint32 rgb = WindowsRgb(server.currentSettings().Colors[kProtectedColor]);
    const QColor five(int(rgb & 0xFF), int((rgb >> 8) & 0xFF), int((rgb >> 16) & 0xFF));
    QCOMPARE(view.data(cell, Qt::BackgroundRole).value<QColor>(), five);
    QVERIFY(five != before);
    QVERIFY(view.data(cell, Qt::ToolTipRole).toString().endsWith(QStringLiteral("\nProtected by chief")));
    QVERIFY(!view.data(view.index(4, column), Qt::ToolTipRole).toString().contains(QStringLiteral("Protected")));
    QCOMPARE(protectRefusalText(server.protectedBy(1, 4)), QStringLiteral("This destination is protected by chief."));
}

namespace {
// The framed language names crosspoints by the router's own labels.
void labelLikeTheFramedRouter(RouterTable &table)
{
    for (int n = 1; n <= kPointCount; ++n) {
        table.SourceLabel[n] = QStringLiteral("I0%1").arg(n - 1);
        table.DestLabel[n] = QStringLiteral("O0%1").arg(n - 1);
    }
}

QJsonObject resultOf(const QJsonArray &results, int router)
{
    for (const QJsonValue &entry : results) {
        if (entry.toObject().value(QStringLiteral("router")).toInt() == router
            && entry.toObject().value(QStringLiteral("destination")).toInt() != 7)
            return entry.toObject();
    }
    return {};
}
} // namespace

// A salvo over three routers in three languages (Leitch on a serial line,
// Image Video on TCP, framed on UDP), one of them silenced and its second
// take on a destination someone else protects: every take goes through, in order,
// the refused one does not stop the rest, the silenced router's take is
// queued and said to be on a link that is down, and the switch log, the
// event and the answer all count three of four sent. The salvo is still
// there for the next server on the folder.
void TestProtects::aSalvoAcrossThreeRouters()
{
    QTemporaryDir dir;
    Sim leitch(RouterLanguage::Leitch, TransportKind::Pty, dir.filePath(QStringLiteral("COM1")));
    Sim iv(RouterLanguage::ImageVideo, TransportKind::Tcp);
    Sim framed(RouterLanguage::Framed, TransportKind::Udp);
    QVERIFY(leitch.started && iv.started && framed.started);
    QVERIFY(writeFile(dir.filePath(QStringLiteral("WREN.INI")),
                      loopbackCardSettings() + kWeb + "[Com_Port_1]\r\nPort_Enable=1\r\nProtocol=1\r\n"
                          + netPort(2, iv.port(), 0, 2) + netPort(3, framed.port(), 1, 3)));
    writeUsers(dir.path());
    Salvo kept;
    {
        TestServer server(dir.path());
        server.Start();
        WebServer web(server);
        web.start();
        auto tables = std::make_unique<RouterTableArray>(server.routerTables());
        for (int r = 1; r <= 3; ++r)
            labelLikeTheFramedRouter((*tables)[r]);
        RouterTableSet which;
        which.set(1).set(2).set(3);
        QVERIFY(server.apply(TablesEdit{*tables, which}).isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(server.routerState(1).StatusReceived && server.routerState(2).StatusReceived, 15000);
        QCOMPARE(server.protect(1, 7, Boss).result, Server::ProtectResult::Done);

        WebClient client(web.port());
        const QByteArray token = client.login(QStringLiteral("chief"), QStringLiteral("pw1"));
        const HttpAnswer put = client.request(
            "PUT", "/api/v1/salvos/Studio%20A",
            R"({"comment":"studio change","takes":[{"router":1,"destination":4,"source":9,"levels":[0]},)"
            R"({"router":1,"destination":7,"source":12,"levels":[0]},)"
            R"({"router":2,"destination":5,"source":10},{"router":3,"destination":6,"source":11,"levels":[0]}]})",
            token);
        QCOMPARE(put.status, 200);
        QCOMPARE(server.salvos().size(), 1);
        kept = server.salvos().first();
        QCOMPARE(kept.name, QStringLiteral("Studio A"));
        QCOMPARE(kept.takes.size(), 4);

        // Router 2 falls silent: its connection drops, its link is lost.
        iv.router->stop();
        QTRY_VERIFY_WITH_TIMEOUT(!server.routerState(2).CommOK, 10000);
        EventClient events;
        QCOMPARE(events.open(web.port(), "/api/v1/events?token=" + token).status, 101);
        QTRY_COMPARE(web.eventClientCount(), 1);

        const HttpAnswer fired = client.request("POST", "/api/v1/salvos/Studio%20A/fire", R"({"comment":"on cue"})", token);
        QCOMPARE(fired.status, 200);
        const QJsonArray results = fired.json().value(QStringLiteral("results")).toArray();
        QCOMPARE(results.size(), 4);
        QCOMPARE(fired.json().value(QStringLiteral("sent")).toInt(), 3);
        QCOMPARE(resultOf(results, 1).value(QStringLiteral("result")).toString(), QStringLiteral("sent"));
        QVERIFY(!resultOf(results, 1).contains(QStringLiteral("linkDown")));
        QCOMPARE(resultOf(results, 2).value(QStringLiteral("result")).toString(), QStringLiteral("sent"));
        QCOMPARE(resultOf(results, 2).value(QStringLiteral("linkDown")), QJsonValue(true));
        QCOMPARE(resultOf(results, 3).value(QStringLiteral("result")).toString(), QStringLiteral("sent"));
        const QJsonObject refused = results.at(1).toObject();
        QCOMPARE(refused.value(QStringLiteral("destination")).toInt(), 7);
        QCOMPARE(refused.value(QStringLiteral("result")).toString(), QStringLiteral("refused"));
        QCOMPARE(refused.value(QStringLiteral("error")).toString(), QStringLiteral("destination: protected by boss"));

        // The two routers that listen switch; the refused take never goes out.
        QTRY_COMPARE_WITH_TIMEOUT(leitch.router->source(4), 9, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(framed.router->source(6), 11, 10000);
        QCOMPARE(leitch.router->source(7), 1);
        QTRY_VERIFY(!events.find({{"type", "salvo"}, {"name", "Studio A"}, {"user", "chief"}, {"sent", 3}, {"total", 4}})
                         .isEmpty());
        const QList<QByteArray> log = logEntries(dir.path(), "Switch");
        QVERIFY2(log.contains("Salvo Studio A fired by chief: 3 of 4 takes sent"), log.join('\n').constData());
        for (const char *line : {"Switch command sent.\t Router = Router_1\t Source = Input_9\t Destination = Output_4\t"
                                 "User = chief   Comment = on cue",
                                 "Switch command sent.\t Router = Router_2\t Source = Input_10\t Destination = Output_5\t"
                                 "User = chief   Comment = on cue",
                                 "Switch command sent.\t Router = Router_3\t Source = Input_11\t Destination = Output_6\t"
                                 "User = chief   Comment = on cue"})
            QVERIFY2(log.count(line) == 1, line);
        QCOMPARE(server.takesCounted(TakeOrigin::Web), quint64(3));
        QCOMPARE(server.takesRefused(TakeRefusal::Protected), quint64(1));
        // The silenced router's take waits on its queue.
        QVERIFY(server.routerCounters(2).queueDepth >= 1);
        server.Shutdown();
    }
    TestServer next(dir.path());
    next.Start();
    QCOMPARE(next.salvos(), SalvoList{kept});
    QCOMPARE(next.protectedBy(1, 7), QStringLiteral("boss"));
}

// What the web may not store as a salvo: 400 naming the field, and
// neither the salvos in memory nor SALVOS.INI change.
void TestProtects::badSalvosAreRefused_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("field");

    const auto one = [](const QByteArray &take) { return R"({"comment":"c","takes":[)" + take + "]}"; };
    QTest::newRow("router no port serves") << QByteArray("s") << one(R"({"router":5,"destination":4,"source":9})")
                                            << QStringLiteral("takes[0].router:");
    QTest::newRow("router 97") << QByteArray("s") << one(R"({"router":97,"destination":4,"source":9})")
                               << QStringLiteral("takes[0].router:");
    QTest::newRow("router as text") << QByteArray("s") << one(R"({"router":"1","destination":4,"source":9})")
                                    << QStringLiteral("takes[0].router:");
    QTest::newRow("hidden destination") << QByteArray("s") << one(R"({"router":1,"destination":20,"source":9})")
                                        << QStringLiteral("takes[0].destination:");
    QTest::newRow("hidden source") << QByteArray("s") << one(R"({"router":1,"destination":4,"source":21})")
                                   << QStringLiteral("takes[0].source:");
    QTest::newRow("destination 0") << QByteArray("s") << one(R"({"router":1,"destination":0,"source":9})")
                                   << QStringLiteral("takes[0].destination:");
    QTest::newRow("source 300") << QByteArray("s") << one(R"({"router":1,"destination":4,"source":300})")
                                << QStringLiteral("takes[0].source:");
    QTest::newRow("fraction") << QByteArray("s") << one(R"({"router":1,"destination":4.5,"source":9})")
                              << QStringLiteral("takes[0].destination:");
    QTest::newRow("level 8") << QByteArray("s") << one(R"({"router":1,"destination":4,"source":9,"levels":[8]})")
                             << QStringLiteral("takes[0].levels:");
    QTest::newRow("no level") << QByteArray("s") << one(R"({"router":1,"destination":4,"source":9,"levels":[]})")
                              << QStringLiteral("takes[0].levels:");
    QTest::newRow("second take bad") << QByteArray("s")
                                     << one(R"({"router":1,"destination":4,"source":9},{"router":1,"destination":4})")
                                     << QStringLiteral("takes[1].source:");
    QTest::newRow("empty list") << QByteArray("s") << QByteArray(R"({"comment":"c","takes":[]})") << QStringLiteral("takes:");
    QTest::newRow("no list") << QByteArray("s") << QByteArray(R"({"comment":"c"})") << QStringLiteral("takes:");
    QTest::newRow("take not an object") << QByteArray("s") << one("7") << QStringLiteral("takes[0].take:");
    const QByteArray good = R"({"router":1,"destination":4,"source":9})";
    QTest::newRow("name of 65") << QByteArray(65, 'n') << one(good) << QStringLiteral("name:");
    QTest::newRow("name with a line feed") << QByteArray("a%0Ab") << one(good) << QStringLiteral("name:");
    QTest::newRow("name with a control character") << QByteArray("a%01b") << one(good) << QStringLiteral("name:");
    QTest::newRow("name with a space at its end") << QByteArray("ab%20") << one(good) << QStringLiteral("name:");
    QTest::newRow("comment with a control character")
        << QByteArray("s") << QByteArray(R"({"comment":"a\u0007b","takes":[)" + good + "]}") << QStringLiteral("comment:");
    QTest::newRow("comment not a text") << QByteArray("s") << QByteArray(R"({"comment":5,"takes":[)" + good + "]}")
                                        << QStringLiteral("comment:");
    QTest::newRow("comment of 201") << QByteArray("s")
                                    << QByteArray(R"({"comment":")" + QByteArray(201, 'c') + R"(","takes":[)" + good + "]}")
                                    << QStringLiteral("comment:");
    QTest::newRow("not JSON") << QByteArray("s") << QByteArray("{takes") << QStringLiteral("body:");
}

void TestProtects::badSalvosAreRefused()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, body);
    QFETCH(QString, field);

    Rig rig;
    Server &server = *rig.server;
    auto tables = std::make_unique<RouterTableArray>(server.routerTables());
    (*tables)[1].DestVisible[20] = false;
    (*tables)[1].SourceVisible[21] = false;
    RouterTableSet which;
    which.set(1);
    QVERIFY(server.apply(TablesEdit{*tables, which}).isEmpty());
    WebClient client(rig.web->port());
    const QByteArray token = rig.login(client, Chief);
    // One salvo kept before, which a refused one must leave as it is.
    QCOMPARE(client.request("PUT", "/api/v1/salvos/s", R"({"comment":"kept","takes":[{"router":1,"destination":3,"source":2}]})",
                            token)
                 .status,
             200);
    const SalvoList before = server.salvos();
    const QByteArray file = readFile(server.SalvoFile());
    QVERIFY(!file.isEmpty());

    const HttpAnswer answer = client.request("PUT", "/api/v1/salvos/" + name, body, token);
    QCOMPARE(answer.status, 400);
    QVERIFY2(answer.error().startsWith(field), qPrintable(answer.error()));
    QCOMPARE(server.salvos(), before);
    QCOMPARE(readFile(server.SalvoFile()), file);
}

// Editing and firing need Master Operator or Administrator; unknown names
// are 404; a name is any text within the rules, and reads back from the
// file as it was given (here with characters beyond Latin-1).
void TestProtects::salvoPrivilegesAndNames()
{
    Rig rig;
    Server &server = *rig.server;
    WebClient client(rig.web->port());
    const QByteArray op = rig.login(client, Op);
    const QByteArray boss = rig.login(client, Boss);
    const QByteArray body = R"({"takes":[{"router":1,"destination":4,"source":9,"levels":[0]}]})";
    QCOMPARE(client.request("PUT", "/api/v1/salvos/s", body, op).status, 403);
    QVERIFY(!QFile::exists(server.SalvoFile()));
    const QByteArray name = QUrl::toPercentEncoding(QStringLiteral("Studio Č / 1"));
    QCOMPARE(client.request("PUT", "/api/v1/salvos/" + name, body, boss).status, 200);
    QCOMPARE(client.request("POST", "/api/v1/salvos/" + name + "/fire", {}, op).status, 403);
    QCOMPARE(client.request("POST", "/api/v1/salvos/nothing/fire", {}, boss).status, 404);
    QCOMPARE(client.request("DELETE", "/api/v1/salvos/nothing", {}, boss).status, 404);
    QCOMPARE(client.request("DELETE", "/api/v1/salvos/" + name, {}, op).status, 403);
    const QJsonArray list = client.request("GET", "/api/v1/salvos", {}, op).json().value(QStringLiteral("salvos")).toArray();
    QCOMPARE(list.size(), 1);
    QCOMPARE(list.first().toObject().value(QStringLiteral("name")).toString(), QStringLiteral("Studio Č / 1"));

    // Without a comment of its own or the salvo's, each take is refused.
    const HttpAnswer fired = client.request("POST", "/api/v1/salvos/" + name + "/fire", {}, boss);
    QCOMPARE(fired.status, 200);
    QCOMPARE(fired.json().value(QStringLiteral("sent")).toInt(), 0);
    QCOMPARE(fired.json().value(QStringLiteral("results")).toArray().first().toObject().value(QStringLiteral("error")).toString(),
             QStringLiteral("comment: ") + takeRefusalText(TakeRefusal::NoComment));

    rig.start();
    QCOMPARE(rig.server->salvos().size(), 1);
    QCOMPARE(rig.server->salvos().first().name, QStringLiteral("Studio Č / 1"));
    WebClient again(rig.web->port());
    const QByteArray token = rig.login(again, Boss);
    QCOMPARE(again.request("DELETE", "/api/v1/salvos/" + name, {}, token).status, 200);
    QVERIFY(rig.server->salvos().isEmpty());
}

// The console's Salvos window: its editor reads one take a line and stores
// through the engine (a bad line or a refused salvo is said, nothing
// stored), "New from current" takes the current sources, and Fire fires as
// the user logged in from the console, naming each take's result.
void TestProtects::theConsoleSalvosWindow()
{
    Rig rig;
    Server &server = *rig.server;
    QTRY_VERIFY_WITH_TIMEOUT(server.routerState(1).StatusReceived, 10000);
    LogIn(server, QStringLiteral("chief"), QStringLiteral("pw1"));
    QCOMPARE(server.protect(1, 5, Other).result, Server::ProtectResult::Done);

    frmSalvoEdit editor(server, {}, {});
    editor.txtName->setText(QStringLiteral("Desk"));
    editor.txtComment->setText(QStringLiteral("from the desk"));
    editor.txtTakes->setPlainText(QStringLiteral("1 4 9 0\n1 five 9"));
    QCOMPARE(editor.save(), QStringLiteral("Line 2 of the takes is not \"router destination source [levels]\"."));
    editor.txtTakes->setPlainText(QStringLiteral("1 4 9 0\n7 5 9"));
    QVERIFY(editor.save().startsWith(QStringLiteral("takes[1].router:")));
    QVERIFY(server.salvos().isEmpty());
    editor.txtTakes->setPlainText(QStringLiteral("1 4 9 0\n\n1 5 9 0\n1 6 9"));
    QCOMPARE(editor.save(), QString());
    QCOMPARE(server.salvos().size(), 1);
    QCOMPARE(server.salvos().first().takes.size(), 3);
    QVERIFY(server.salvos().first().takes[2].levels == (std::array<bool, kTakeLevelCount>{true, true, true, true, true, true, true, true}));

    frmSalvos window(server);
    QCOMPARE(window.lstSalvos->count(), 1);
    QCOMPARE(window.tblTakes->rowCount(), 3);
    QCOMPARE(frmSalvos::takeLines(server, server.salvos().first()).first(), QStringLiteral("Router_1: Output_4 <- Input_9"));
    const QString result = window.fireChosen();
    QVERIFY2(result.startsWith(QStringLiteral("2 of 3 takes sent.")), qPrintable(result));
    QVERIFY(result.contains(QStringLiteral("Router_1: Output_5 <- Input_9: This destination is protected by other.")));
    QTRY_COMPARE_WITH_TIMEOUT(rig.sim.router->source(6), 9, 10000);
    QCOMPARE(rig.sim.router->source(4), 9);
    QCOMPARE(server.takesCounted(TakeOrigin::Console), quint64(2));
    QVERIFY(rig.switchLog().contains("Salvo Desk fired by chief: 2 of 3 takes sent"));

    // From the current sources of two ticked destinations.
    frmSalvoFromCurrent chooser(server);
    QCOMPARE(chooser.cboRouter->currentData().toInt(), 1);
    int ticked = 0;
    for (int row = 0; row < chooser.lstDestinations->count() && ticked < 2; ++row) {
        QListWidgetItem *item = chooser.lstDestinations->item(row);
        const int d = item->data(Qt::UserRole).toInt();
        if (d == 4 || d == 6) {
            item->setCheckState(Qt::Checked);
            ++ticked;
        }
    }
    const Salvo current = chooser.salvo();
    QCOMPARE(current.takes.size(), 2);
    QCOMPARE(current.takes[0].destination, 4);
    QCOMPARE(current.takes[0].source, 9);
    QCOMPARE(current.takes[1].destination, 6);
    QCOMPARE(current.takes[1].source, 9);
}

QTEST_MAIN(TestProtects)
#include "tst_protects.moc"
