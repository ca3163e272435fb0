#include "core/console_actions.h"
#include "core/server.h"
#include "simulated_router.h"
#include "test_server.h"
#include "test_support.h"
#include "ui/router_view.h"
#include "web/web_server.h"
#include "web_client.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>

using namespace marlin;
using namespace testsupport;
using namespace websupport;

Q_DECLARE_METATYPE(marlin::TakeOrigin)
Q_DECLARE_METATYPE(marlin::TakeRequest::Hold)

namespace {

// The server with its panels, its web face and one Leitch router on TCP
// serving router 1, and a Master Operator for the console and the web.
struct TakeRig {
    TakeRig()
    {
        RouterConfig config;
        config.language = RouterLanguage::Leitch;
        config.transport = TransportKind::Tcp;
        router = std::make_unique<SimulatedRouter>(config);
        QObject::connect(router.get(), &SimulatedRouter::event, [this](const QString &line) { wire.append(line); });
        started = router->start();
        const QByteArray ini = loopbackCardSettings()
                               + "[Web_Settings]\r\nWeb_Enabled=1\r\nWeb_IP_Address=127.0.0.1\r\nWeb_TCP_Port=0\r\n"
                                 "[Net_Port_1]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=127.0.0.1\r\nNetwork_Port="
                               + QByteArray::number(router->localPort())
                               + "\r\nNetwork_Port_Type=0\r\nProtocol=1\r\nRetry_MS=100\r\n";
        writeFile(dir.filePath(QStringLiteral("WREN.INI")), ini);
        UserTable users{};
        users[1] = {QStringLiteral("master"), QStringLiteral("pw2"), MasterOperator};
        SaveUsers(dir.filePath(QStringLiteral("USER.INI")), users);
        server = std::make_unique<TestServer>(dir.path());
        server->Start();
        web = std::make_unique<WebServer>(*server);
        web->start();
    }
    ~TakeRig() { router->stop(); }

    bool wireHas(const QString &command) const { return !wire.filter(QStringLiteral(" rx ") + command).isEmpty(); }
    QJsonObject webDestination(WebClient &client, const QByteArray &token, int d)
    {
        return destinationOf(client, token, 1, d);
    }

    QTemporaryDir dir;
    QStringList wire;
    bool started = false;
    std::unique_ptr<SimulatedRouter> router;
    std::unique_ptr<TestServer> server;
    std::unique_ptr<WebServer> web;
};

// A panel that drains what the server has for it, and reports what it got:
// the change flags' first position, then (code, router) of each block.
struct ObservingPanel {
    explicit ObservingPanel(quint16 port) : panel(port) {}

    QList<std::pair<int, int>> drain()
    {
        QList<std::pair<int, int>> blocks;
        for (int replies = 0; replies < 4 * kRouterCount + 1; ++replies) {
            const QByteArray head = panel.ask(panelRequest(sequence++, 0xA8, 1), 7).mid(4);
            if (head == QByteArray("\x10\x01\x01", 3))
                break;
            const int code = quint8(head.at(1));
            const QByteArray block = panel.await(code == 0xA8 ? 517 : 261);
            blocks.append({code, quint8(head.at(2))});
            last[{code, quint8(head.at(2))}] = block;
        }
        return blocks;
    }
    bool routerPending() { return panel.ask(panelRequest(sequence++, 0xA1, 1), 15).at(7) == 1; }
    // The two-byte status entry, or the priority entry, of destination d in
    // the last block of router r a drain met.
    int statusEntry(int r, int d) const
    {
        const QByteArray block = last.value({0xA8, r});
        return quint8(block.at(5 + 2 * (d - 1))) * 256 + quint8(block.at(5 + 2 * (d - 1) + 1));
    }
    int priorityEntry(int r, int d) const { return quint8(last.value({0xA9, r}).at(5 + d - 1)); }

    Panel panel;
    quint32 sequence = 1;
    QMap<std::pair<int, int>, QByteArray> last;
};

QColor viewColor(const Server &server, int number)
{
    const quint32 rgb = WindowsRgb(server.currentSettings().Colors[number]);
    return QColor(int(rgb & 0xFF), int((rgb >> 8) & 0xFF), int((rgb >> 16) & 0xFF));
}

int viewColumnOf(const RouterViewModel &model, int router)
{
    for (int column = 0; column < model.columnCount(); ++column) {
        if (model.routerOfColumn(column) == router)
            return column;
    }
    return -1;
}

} // namespace

class TestTakes : public QObject {
    Q_OBJECT

private slots:
    void everyFaceLeavesTheSameTrace_data();
    void everyFaceLeavesTheSameTrace();
    void facesAgreeOnATableThatRenumbers();
};

// The same switch (router 1, source 9 to destination 4 on level 0) from a
// panel, the console and the web: the same command on the router's wire, the
// same switch log line but for who made it, the same priority source, the
// same flags for the other panels, the same signals, one take counted for
// its face. A hold asked with the take is set and told to all.
void TestTakes::everyFaceLeavesTheSameTrace_data()
{
    QTest::addColumn<TakeOrigin>("origin");
    QTest::addColumn<TakeRequest::Hold>("hold");
    QTest::addColumn<QByteArray>("logTail");

    QTest::newRow("panel") << TakeOrigin::Panel << TakeRequest::Hold::Keep << QByteArray("from a panel");
    QTest::newRow("console") << TakeOrigin::Console << TakeRequest::Hold::Clear
                             << QByteArray("User = master   Comment = from the console");
    QTest::newRow("web") << TakeOrigin::Web << TakeRequest::Hold::Keep
                         << QByteArray("User = master   Comment = from the web");
    QTest::newRow("console, held") << TakeOrigin::Console << TakeRequest::Hold::Set
                                   << QByteArray("User = master   Comment = from the console");
    QTest::newRow("web, held") << TakeOrigin::Web << TakeRequest::Hold::Set
                               << QByteArray("User = master   Comment = from the web");
}

void TestTakes::everyFaceLeavesTheSameTrace()
{
    QFETCH(TakeOrigin, origin);
    QFETCH(TakeRequest::Hold, hold);
    QFETCH(QByteArray, logTail);

    TakeRig rig;
    QVERIFY(rig.started);
    TestServer &server = *rig.server;
    QTRY_VERIFY_WITH_TIMEOUT(server.routerState(1).StatusReceived, 10000);
    ObservingPanel observer(server.listeningPort(1));
    observer.drain();
    QVERIFY(!observer.routerPending());
    WebClient client(rig.web->port());
    const QByteArray token = client.login(QStringLiteral("master"), QStringLiteral("pw2"));
    QVERIFY(!token.isEmpty());

    QSignalSpy holds(&server, &Server::holdChanged);
    QSignalSpy refreshed(&server, &Server::routerViewRefreshRequested);
    switch (origin) {
    case TakeOrigin::Panel: {
        Panel panel(server.listeningPort(1));
        QCOMPARE(panel.ask(panelRequest(77, 0xA5, 1, "C 100000000009000400IN_9    OUT_4   from a panel"), 7),
                 QByteArray("\x00\x00\x00\x4D\x10\x01\x01", 7));
        break;
    }
    case TakeOrigin::Console: {
        LogIn(server, QStringLiteral("master"), QStringLiteral("pw2"));
        TakeRequest take;
        take.router = 1;
        take.source = 9;
        take.destination = 4;
        take.levels[0] = true;
        take.comment = QStringLiteral("from the console");
        take.hold = hold;
        QCOMPARE(CheckConsoleTake(server, take), TakeRefusal::None);
        QCOMPARE(ExecuteConsoleTake(server, take), TakeRefusal::None);
        break;
    }
    case TakeOrigin::Web: {
        QByteArray body = R"({"source":9,"destination":4,"levels":[0],"comment":"from the web")";
        if (hold != TakeRequest::Hold::Keep)
            body += hold == TakeRequest::Hold::Set ? R"(,"highPriority":true)" : R"(,"highPriority":false)";
        QCOMPARE(client.request("POST", "/api/v1/routers/1/take", body + "}", token).status, 202);
        break;
    }
    }
    // The view is asked to refresh by the take itself, before any report.
    QVERIFY(refreshed.size() >= 1);
    for (const TakeOrigin face : {TakeOrigin::Panel, TakeOrigin::Console, TakeOrigin::Web})
        QCOMPARE(server.takesCounted(face), quint64(face == origin ? 1 : 0));

    const bool held = hold == TakeRequest::Hold::Set;
    QTRY_VERIFY_WITH_TIMEOUT(rig.wireHas(QStringLiteral("@ X:0/3,8")), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(server.routerState(1).CurrentSource[4], 9, 10000);
    QCOMPARE(server.routerState(1).PrioritySource[4], 9);
    QCOMPARE(server.routerState(1).HighPriority[4], held);
    const QList<QByteArray> switches = logEntries(rig.dir.path(), "Switch");
    QVERIFY2(switches.contains("Switch command sent.\t Router = Router_1\t Source = Input_9\t Destination = Output_4\t"
                               + logTail),
             switches.join('\n').constData());
    QCOMPARE(std::count_if(switches.begin(), switches.end(),
                           [](const QByteArray &line) { return line.startsWith("Switch command sent."); }),
             1);

    // The other panels: the crosspoint as the router reported it, and the
    // hold only when it changed.
    QVERIFY(observer.routerPending());
    const QList<std::pair<int, int>> blocks = observer.drain();
    QVERIFY(blocks.contains(std::pair{0xA8, 1}));
    QCOMPARE(observer.statusEntry(1, 4), 9);
    QCOMPARE(blocks.contains(std::pair{0xA9, 1}), held);
    if (held)
        QCOMPARE(observer.priorityEntry(1, 4), 1);
    QCOMPARE(holds.size(), held ? 1 : 0);
    if (held)
        QCOMPARE(holds.first(), (QVariantList{1, 4, true}));
}

// Router 1's table puts table source 3 on the router's input 9 and table
// destination 4 on its output 12 (and the other way round). The console and
// the web speak table numbers, panels and the router the router's own; all
// agree on what is switched and what is held.
void TestTakes::facesAgreeOnATableThatRenumbers()
{
    TakeRig rig;
    QVERIFY(rig.started);
    TestServer &server = *rig.server;
    QTRY_VERIFY_WITH_TIMEOUT(server.routerState(1).StatusReceived, 10000);
    RouterTableArray edited = server.routerTables();
    edited[1].SourcePhysical[3] = 9;
    edited[1].SourcePhysical[9] = 3;
    edited[1].DestPhysical[4] = 12;
    edited[1].DestPhysical[12] = 4;
    edited[1].DestPhysical[5] = 300;   // beyond the outputs whose state is kept
    RouterTableSet which;
    which.set(1);
    QVERIFY(server.apply(TablesEdit{edited, which}).isEmpty());

    ObservingPanel observer(server.listeningPort(1));
    observer.drain();
    WebClient client(rig.web->port());
    const QByteArray token = client.login(QStringLiteral("master"), QStringLiteral("pw2"));
    EventClient events;
    QCOMPARE(events.open(rig.web->port(), "/api/v1/events?token=" + token).status, 101);
    QTRY_COMPARE(rig.web->eventClientCount(), 1);

    // The web holds table destination 4 while switching table source 3 to it.
    QCOMPARE(client.request("POST", "/api/v1/routers/1/take",
                            R"({"source":3,"destination":4,"levels":[0],"comment":"renumbered","highPriority":true})",
                            token)
                 .status,
             202);
    QTRY_VERIFY_WITH_TIMEOUT(rig.wireHas(QStringLiteral("@ X:0/B,8")), 10000);   // output 12, input 9
    QTRY_COMPARE_WITH_TIMEOUT(server.routerState(1).CurrentSource[12], 9, 10000);
    QVERIFY(logEntries(rig.dir.path(), "Switch").contains(
        "Switch command sent.\t Router = Router_1\t Source = Input_3\t Destination = Output_4\t"
        "User = master   Comment = renumbered"));
    // The router's report names the same table entries as the take.
    QVERIFY(logEntries(rig.dir.path(), "Switch").contains(
        "Status update.\t Router = Router_1\t Source = Input_3\t Destination = Output_4"));
    // The router's report of its own take keeps the hold.
    QVERIFY(server.routerState(1).HighPriority[12]);
    QTRY_VERIFY(!events.find({{"type", "crosspoint"}, {"router", 1}, {"destination", 4}, {"source", 3}}).isEmpty());
    QTRY_VERIFY(!events.find({{"type", "hold"}, {"router", 1}, {"destination", 4}, {"hold", true}}).isEmpty());

    // The web shows it on destination 4, the console's view in row 4, the
    // panels on output 12.
    const QJsonObject four = rig.webDestination(client, token, 4);
    QCOMPARE(four.value(QStringLiteral("source")).toInt(), 3);
    QCOMPARE(four.value(QStringLiteral("hold")), QJsonValue(true));
    QCOMPARE(four.value(QStringLiteral("color")).toInt(), 3);
    QCOMPARE(rig.webDestination(client, token, 12).value(QStringLiteral("hold")), QJsonValue(false));
    RouterViewModel view(server);
    const int column = viewColumnOf(view, 1);
    QVERIFY(column >= 0);
    QCOMPARE(view.data(view.index(3, column)).toString(), QStringLiteral("3"));
    QCOMPARE(view.data(view.index(3, column), Qt::BackgroundRole).value<QColor>(), viewColor(server, 3));
    QVERIFY(view.data(view.index(11, column), Qt::BackgroundRole).value<QColor>() != viewColor(server, 3));
    const QList<std::pair<int, int>> blocks = observer.drain();
    QVERIFY(blocks.contains(std::pair{0xA9, 1}));
    QCOMPARE(observer.statusEntry(1, 12), 9);
    QCOMPARE(observer.priorityEntry(1, 12), 1);
    QCOMPARE(observer.priorityEntry(1, 4), 0);

    // A panel switches the router's input 3 to its output 4: table source 9
    // to table destination 12, which the log names.
    Panel panel(server.listeningPort(1));
    QCOMPARE(panel.ask(panelRequest(5, 0xA5, 1, "C 100000000003000400IN_3    OUT_4   by number"), 7).mid(4),
             QByteArray("\x10\x01\x01", 3));
    QTRY_VERIFY_WITH_TIMEOUT(rig.wireHas(QStringLiteral("@ X:0/3,2")), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(rig.webDestination(client, token, 12).value(QStringLiteral("source")).toInt(), 9, 10000);
    QVERIFY(logEntries(rig.dir.path(), "Switch").contains(
        "Switch command sent.\t Router = Router_1\t Source = Input_9\t Destination = Output_12\tby number"));

    // The console clears the hold of its destination 4: output 12 is free.
    QVERIFY(ToggleHighPriority(server, 1, 4));
    QVERIFY(!server.routerState(1).HighPriority[12]);
    QCOMPARE(rig.webDestination(client, token, 4).value(QStringLiteral("hold")), QJsonValue(false));
    QTRY_VERIFY(!events.find({{"type", "hold"}, {"router", 1}, {"destination", 4}, {"hold", false}}).isEmpty());
    observer.drain();
    QCOMPARE(observer.priorityEntry(1, 12), 0);
    // And the web sets it again through its hold endpoint, on output 12.
    QCOMPARE(client.request("PUT", "/api/v1/routers/1/holds/4", {}, token).status, 200);
    QVERIFY(server.routerState(1).HighPriority[12]);
    QVERIFY(!server.routerState(1).HighPriority[4]);

    // A destination on the router's output 300 cannot be held: the web and
    // the console say so, and nothing changes.
    const HttpAnswer refused = client.request("PUT", "/api/v1/routers/1/holds/5", {}, token);
    QCOMPARE(refused.status, 409);
    QCOMPARE(refused.json().value(QStringLiteral("error")).toString(),
             QStringLiteral("destination: ") + holdBeyondStateText(5, 300));
    QString why;
    QVERIFY(!ToggleHighPriority(server, 1, 5, &why));
    QCOMPARE(why, holdBeyondStateText(5, 300));
    QCOMPARE(rig.webDestination(client, token, 5).value(QStringLiteral("hold")), QJsonValue(false));
}

QTEST_MAIN(TestTakes)
#include "tst_takes.moc"
