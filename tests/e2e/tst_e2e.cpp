#include "core/console_actions.h"
#include "core/server.h"
#include "simulated_router.h"
#include "test_server.h"
#include "test_support.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace marlin;
using namespace testsupport;

namespace {

// One simulated router, its event lines kept for the test to read.
class Simulator {
public:
    Simulator(RouterLanguage language, TransportKind transport, const QString &linkPath = {},
              QMap<int, int> initial = {})
    {
        RouterConfig config;
        config.language = language;
        config.transport = transport;
        config.linkPath = linkPath;
        config.initialSources = initial;
        router = std::make_unique<SimulatedRouter>(config);
        QObject::connect(router.get(), &SimulatedRouter::event, [this](const QString &line) { events.append(line); });
        QString error;
        started = router->start(&error);
        if (!started)
            qWarning() << error;
    }
    bool received(const QString &text) const
    {
        return std::any_of(events.begin(), events.end(), [&](const QString &e) { return e.contains(QStringLiteral(" rx ") + text); });
    }
    QByteArray port() const { return QByteArray::number(router->localPort()); }

    QStringList events; // before the router, which still reports while it stops
    std::unique_ptr<SimulatedRouter> router;
    bool started = false;
};

QMap<int, int> identity()
{
    QMap<int, int> m;
    for (int d = 1; d <= 256; ++d)
        m[d] = d;
    return m;
}

// Settings for one network port serving router 1.
QByteArray netPort(const QByteArray &port, int type, int protocol)
{
    return "[Net_Port_1]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=127.0.0.1\r\nNetwork_Port=" + port
           + "\r\nNetwork_Port_Type=" + QByteArray::number(type) + "\r\nProtocol=" + QByteArray::number(protocol)
           + "\r\nRetry_MS=100\r\n";
}

// Settings for comm port 1 serving router 1.
QByteArray commPort(int protocol)
{
    return "[Com_Port_1]\r\nPort_Enable=1\r\nProtocol=" + QByteArray::number(protocol) + "\r\n";
}

// The framed dialect names crosspoints by the router's own labels.
void labelLikeTheFramedRouter(RouterTable &table)
{
    for (int n = 1; n <= kPointCount; ++n) {
        table.SourceLabel[n] = QStringLiteral("I0%1").arg(n - 1);
        table.DestLabel[n] = QStringLiteral("O0%1").arg(n - 1);
    }
}

} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT

private slots:
    void leitchOverSerial();
    void imageVideoOverTcp();
    void framedOverUdp();
    void takeRoadFromAPanel();
    void imageVideoTakeOf255IsNotSent();
    void takeRoundTrip_data();
    void takeRoundTrip();
    void noiseNeitherHangsNorGrows();
    void standbyIsSilentUntilPromoted();
};

void TestEndToEnd::leitchOverSerial()
{
    QTemporaryDir app;
    Simulator sim(RouterLanguage::Leitch, TransportKind::Pty, app.filePath(QStringLiteral("COM1")));
    QVERIFY(sim.started);
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")),
                      "[Network_Settings]\r\nNetwork_Card_1_IP_Address=\r\n[Com_Port_1]\r\nPort_Enable=1\r\nPort_Description=Studio A\r\n"));
    TestServer server(app.path());
    QSignalSpy raised(&server, &Server::alertRaised);
    QSignalSpy cleared(&server, &Server::alertCleared);
    server.Start();

    // The startup requests bring the whole level into the state.
    QTRY_VERIFY_WITH_TIMEOUT(sim.received(QStringLiteral("@ S?0")), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(server.routerState(1).CurrentSource[32], 1, 5000);

    server.routerLinks().QueueComCommand(1, server.routerLinks().buildTakeCommand(1, "C 100000000003000500"));
    QTRY_COMPARE_WITH_TIMEOUT(server.routerState(1).CurrentSource[5], 3, 5000);
    QVERIFY(sim.received(QStringLiteral("@ X:0/4,2")));
    QCOMPARE(sim.router->source(5), 3);
    QVERIFY(logEntries(app.path(), "Switch").contains(
        "Status update.\t Router = Router_1\t Source = Input_3\t Destination = Output_5"));

    // Silence: polled from the fourth check, lost at the tenth.
    sim.router->setSilent(true);
    const QByteArray lost = "Communication lost with Leitch Router on communication port 1 (Router_1) (Studio A).";
    QTRY_VERIFY_WITH_TIMEOUT(logEntries(app.path(), "Error").contains(lost), 25000);
    QVERIFY(!server.routerState(1).CommOK);
    QVERIFY(sim.received(QStringLiteral("@ X?0")));
    QCOMPARE(raised.size(), 1);
    QCOMPARE(raised.first().at(0).toInt(), 1);
    QCOMPARE(raised.first().at(1).toString(), QString::fromLatin1(lost));

    sim.events.clear();
    sim.router->setSilent(false);
    QTRY_VERIFY_WITH_TIMEOUT(logEntries(app.path(), "Error").contains(
                                 "Communication restored with Leitch Router on communication port 1 (Router_1) (Studio A)."),
                             10000);
    QVERIFY(server.routerState(1).CommOK);
    QCOMPARE(cleared.size(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(sim.received(QStringLiteral("@ ?")) && sim.received(QStringLiteral("@ S?0")), 5000);
    QCOMPARE(logEntries(app.path(), "Error").count(lost), 1);
    QCOMPARE(raised.size(), 1);
}

void TestEndToEnd::imageVideoOverTcp()
{
    Simulator sim(RouterLanguage::ImageVideo, TransportKind::Tcp, {}, identity());
    QVERIFY(sim.started);
    QTemporaryDir app;
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")),
                      "[Network_Settings]\r\nNetwork_Card_1_IP_Address=\r\n" + netPort(sim.port(), 0, 2)));
    TestServer server(app.path());
    server.Start();
    // A network port sends one command a second: keep the poll short.
    for (int d = 4; d <= kPointCount; ++d)
        server.asLoaded(1).DestVisible[d] = false;

    // The first connection runs the full status poll, one visible
    // destination per report, and ends it.
    QTRY_COMPARE_WITH_TIMEOUT(server.routerState(1).CurrentSource[3], 3, 15000);
    QCOMPARE(server.routerState(1).CurrentSource[1], 1);
    QTRY_VERIFY_WITH_TIMEOUT(!server.routerState(1).PollActive, 10000);
    QCOMPARE(server.routerState(1).CurrentSource[4], 0); // hidden destinations are not asked for

    server.routerLinks().QueueNetCommand(1, server.routerLinks().buildTakeCommand(1, "C 000000000007000200"));
    QTRY_COMPARE_WITH_TIMEOUT(server.routerState(1).CurrentSource[2], 7, 5000);

    // A dropped connection is a loss; the next report a restoration.
    const int restoredBefore = int(logEntries(app.path(), "Error").count(
        "Communication restored with Image Video Router on network port 1 (Router_1) ()."));
    sim.router->drop();
    QTRY_VERIFY_WITH_TIMEOUT(logEntries(app.path(), "Error").contains(
                                 "Communication lost with Image Video Router on network port 1 (Router_1) ()."),
                             5000);
    QTRY_COMPARE_WITH_TIMEOUT(int(logEntries(app.path(), "Error").count(
                                  "Communication restored with Image Video Router on network port 1 (Router_1) ().")),
                              restoredBefore + 1, 10000);
}

void TestEndToEnd::framedOverUdp()
{
    Simulator sim(RouterLanguage::Framed, TransportKind::Udp);
    QVERIFY(sim.started);
    QTemporaryDir app;
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")),
                      "[Network_Settings]\r\nNetwork_Card_1_IP_Address=\r\n" + netPort(sim.port(), 1, 3)));
    TestServer server(app.path());
    server.Start();
    labelLikeTheFramedRouter(server.asLoaded(1));

    server.routerLinks().QueueNetCommand(1, server.routerLinks().buildTakeCommand(1, "C 000000000012001100"));
    QTRY_COMPARE_WITH_TIMEOUT(server.routerState(1).CurrentSource[11], 12, 5000);
    QCOMPARE(sim.router->source(11), 12);
    // Never lost, so never restored: nothing is reported before anything came.
    QCOMPARE(logEntries(app.path(), "Error"), QList<QByteArray>{"Server Started"});
}

void TestEndToEnd::imageVideoTakeOf255IsNotSent()
{
    QTemporaryDir app;
    Simulator sim(RouterLanguage::ImageVideo, TransportKind::Pty, app.filePath(QStringLiteral("COM1")));
    QVERIFY(sim.started);
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")),
                      "[Network_Settings]\r\nNetwork_Card_1_IP_Address=\r\n[Com_Port_1]\r\nPort_Enable=1\r\nProtocol=2\r\n"));
    TestServer server(app.path());
    server.Start();

    // Source 255 would be the byte that ends a frame; 254 is an ordinary one.
    for (const QByteArray &take : {QByteArray("C 100000000255000100"), QByteArray("C 100000000001025500"),
                                   QByteArray("C 100000000254000200")}) {
        const QByteArray command = server.routerLinks().buildTakeCommand(1, take);
        if (!command.isEmpty())
            server.routerLinks().QueueComCommand(1, command);
    }
    QTRY_VERIFY_WITH_TIMEOUT(sim.received(QStringLiteral("193,1,253,253,253,159,254")), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(sim.router->source(2), 254, 5000);
    for (const QString &event : sim.events)
        QVERIFY2(!event.contains(QStringLiteral(" rx 193,0,")) && !event.contains(QStringLiteral(" rx 193,254,")),
                 qPrintable(event));
    const auto errors = logEntries(app.path(), "Error");
    QVERIFY(errors.contains("Take not sent to Image Video Router 1 (Router_1): source 255 cannot be carried in a frame."));
    QVERIFY(errors.contains("Take not sent to Image Video Router 1 (Router_1): destination 255 cannot be carried in a frame."));
}

void TestEndToEnd::takeRoadFromAPanel()
{
    Simulator sim(RouterLanguage::Leitch, TransportKind::Tcp);
    QVERIFY(sim.started);
    QTemporaryDir app;
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")), loopbackCardSettings() + netPort(sim.port(), 0, 1)));
    TestServer server(app.path());
    server.Start();
    QTRY_VERIFY_WITH_TIMEOUT(server.routerState(1).StatusReceived, 10000);

    // A new panel first drains the whole working state.
    Panel panel(server.listeningPort(1));
    quint32 sequence = 1;
    for (int replies = 0; replies < 2 * kRouterCount + 1; ++replies) {
        const QByteArray head = panel.ask(panelRequest(sequence++, 0xA8, 1), 7).mid(4);
        if (head == QByteArray("\x10\x01\x01"))
            break;
        QCOMPARE(head.left(1), QByteArray("\xFF"));
        panel.await(head.at(1) == char(0xA8) ? 517 : 261);
    }
    QCOMPARE(panel.ask(panelRequest(sequence++, 0xA1, 1), 15).mid(7, 1), QByteArray(1, '\0'));

    // The take: acknowledged at once, on the wire to the router, reported
    // back, flagged, and fetched by the panel.
    const QByteArray take = "C 100000000009000400CAM 9    MON 4   from desk";
    QCOMPARE(panel.ask(panelRequest(sequence++, 0xA5, 1, take), 7).mid(4), QByteArray("\x10\x01\x01"));
    QTRY_VERIFY_WITH_TIMEOUT(sim.received(QStringLiteral("@ X:0/3,8")), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(server.routerState(1).CurrentSource[4], 9, 5000);
    QCOMPARE(panel.ask(panelRequest(sequence++, 0xA1, 1), 15).mid(7, 1), QByteArray(1, '\1'));
    const QByteArray block = panel.ask(panelRequest(sequence++, 0xA6, 1), 4 + 3 + 261);
    QCOMPARE(block.mid(4, 3), QByteArray("\xFF\xA6\x01"));
    QCOMPARE(int(quint8(block.at(7 + 5 + 3))), 9); // destination 4
    QCOMPARE(panel.ask(panelRequest(sequence++, 0xA6, 1), 7).mid(4), QByteArray("\x10\x01\x01"));
    QVERIFY(logEntries(app.path(), "Switch").contains(
        "Switch command sent.\t Router = Router_1\t Source = Input_9\t Destination = Output_4\tfrom desk"));
}

void TestEndToEnd::takeRoundTrip_data()
{
    QTest::addColumn<int>("language");
    QTest::addColumn<int>("transport");
    QTest::addColumn<int>("protocol");
    const struct {
        const char *name;
        RouterLanguage language;
        int protocol;
    } languages[] = {{"Leitch", RouterLanguage::Leitch, 1},
                     {"Image Video", RouterLanguage::ImageVideo, 2},
                     {"framed", RouterLanguage::Framed, 3}};
    const struct {
        const char *name;
        TransportKind kind;
    } transports[] = {{"pty", TransportKind::Pty}, {"TCP", TransportKind::Tcp}, {"UDP", TransportKind::Udp}};
    for (const auto &l : languages) {
        for (const auto &t : transports)
            QTest::addRow("%s over %s", l.name, t.name) << int(l.language) << int(t.kind) << l.protocol;
    }
}

void TestEndToEnd::takeRoundTrip()
{
    QFETCH(int, language);
    QFETCH(int, transport);
    QFETCH(int, protocol);

    QTemporaryDir app;
    const auto kind = TransportKind(transport);
    const bool serial = kind == TransportKind::Pty;
    Simulator sim(RouterLanguage(language), kind, serial ? app.filePath(QStringLiteral("COM1")) : QString());
    QVERIFY(sim.started);
    const QByteArray port = serial ? commPort(protocol)
                                   : netPort(sim.port(), kind == TransportKind::Tcp ? 0 : 1, protocol);
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")), loopbackCardSettings() + port));
    TestServer server(app.path());
    server.Start();
    labelLikeTheFramedRouter(server.asLoaded(1));

    // A panel takes source 9 to destination 4; the router switches and
    // reports it, and the state and the switch log follow.
    Panel panel(server.listeningPort(1));
    const QByteArray take = "C 100000000009000400CAM 9    MON 4   round trip";
    QCOMPARE(panel.ask(panelRequest(1, 0xA5, 1, take), 7).mid(4), QByteArray("\x10\x01\x01"));
    QTRY_COMPARE_WITH_TIMEOUT(sim.router->source(4), 9, 15000);
    QTRY_COMPARE_WITH_TIMEOUT(server.routerState(1).CurrentSource[4], 9, 15000);
    const QList<QByteArray> switches = logEntries(app.path(), "Switch");
    QCOMPARE(switches.count("Switch command sent.\t Router = Router_1\t Source = Input_9\t Destination = Output_4\tround trip"), 1);
    QVERIFY(switches.contains("Status update.\t Router = Router_1\t Source = Input_9\t Destination = Output_4"));
    QVERIFY(server.routerState(1).StatusReceived);
}

void TestEndToEnd::noiseNeitherHangsNorGrows()
{
    // The router end of a TCP link, played by the test: it sends whatever
    // the test wants, however much.
    QTcpServer line;
    QVERIFY(line.listen(QHostAddress::LocalHost));
    QTemporaryDir app;
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")),
                      "[Network_Settings]\r\nNetwork_Card_1_IP_Address=\r\n"
                          + netPort(QByteArray::number(line.serverPort()), 0, 1)));
    TestServer server(app.path());
    server.Start();
    QTRY_VERIFY_WITH_TIMEOUT(line.hasPendingConnections(), 5000);
    std::unique_ptr<QTcpSocket> router(line.nextPendingConnection());

    // Far more noise than the receive buffer keeps, never ending a line, as
    // from a wrong baud rate: only the newest 64 KiB stay.
    QByteArray noise;
    for (int i = 0; i < 3 * kRxBufferLimit / 2; ++i)
        noise.append(char('a' + i % 26));
    router->write(noise);
    QTRY_COMPARE_WITH_TIMEOUT(server.routerLinks().pendingReplyBytes(1), kRxBufferLimit, 10000);

    // Once the line is clean again the next answer is read as before. The
    // first line after the noise carries the noise in front and is lost.
    router->write("S:05,13\rS:05,14\r");
    QTRY_COMPARE_WITH_TIMEOUT(server.routerState(1).CurrentSource[6], 21, 5000);
    QCOMPARE(server.routerLinks().pendingReplyBytes(1), 0);
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_e2e.moc"

void TestEndToEnd::standbyIsSilentUntilPromoted()
{
    QTemporaryDir app;
    QMap<int, int> initial{{5, 9}, {12, 3}};
    Simulator serial(RouterLanguage::Leitch, TransportKind::Pty, app.filePath(QStringLiteral("COM1")), initial);
    Simulator network(RouterLanguage::Leitch, TransportKind::Tcp, {}, initial);
    QVERIFY(serial.started && network.started);
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")),
                      loopbackCardSettings() + commPort(1)
                          + "[Net_Port_2]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=127.0.0.1\r\nNetwork_Port="
                          + network.port() + "\r\nID_Number=2\r\nProtocol=1\r\n"));
    TestServer server(app.path());
    QSignalSpy raised(&server, &Server::alertRaised);
    server.Start(Server::Role::Standby);
    QVERIFY(server.isStandby());
    QVERIFY(!server.isListening(1));
    QVERIFY(!server.isComOpen(1));

    // Nothing is queued, switched or held, and the link passes neither
    // poll nor report: a quarter of a minute of them says nothing.
    const QByteArray take = server.routerLinks().buildTakeCommand(1, "C 100000000007000500");
    server.routerLinks().QueueComCommand(1, take);
    server.routerLinks().QueueNetCommand(2, take);
    QVERIFY(server.routerLinks().queuedCommands(1, false).isEmpty() && server.routerLinks().queuedCommands(2, true).isEmpty());
    TakeRequest console;
    console.router = 1;
    console.source = 7;
    console.destination = 5;
    console.comment = QStringLiteral("on the spare");
    console.levels.fill(true);
    server.logIn(1);
    QCOMPARE(CheckConsoleTake(server, console), TakeRefusal::Standby);
    QVERIFY(!ToggleHighPriority(server, 1, 5));
    QVERIFY(!server.routerState(1).HighPriority[5]);
    for (int pass = 0; pass < 15; ++pass) {
        server.routerLinks().comLinkPass();
        server.routerLinks().netLinkPass();
    }
    QVERIFY(server.routerLinks().sendLog().isEmpty());
    QCOMPARE(raised.size(), 0);
    QCOMPARE(server.routerLinks().netSocketState(2), NetSocketState::Closed);

    // Promoted: the links open, the crosspoints are read back from both
    // routers, and panels are served.
    server.Promote();
    QVERIFY(!server.isStandby());
    QVERIFY(server.isListening(1));
    QTRY_VERIFY_WITH_TIMEOUT(server.routerState(1).CurrentSource[5] == 9 && server.routerState(1).CurrentSource[12] == 3,
                             10000);
    QTRY_VERIFY_WITH_TIMEOUT(server.routerState(2).CurrentSource[5] == 9 && server.routerState(2).CurrentSource[12] == 3,
                             10000);
    QVERIFY(logEntries(app.path(), "Error").contains("Promoted to active"));
    QVERIFY(serial.received(QStringLiteral("@ ?")) && network.received(QStringLiteral("@ ?")));
    Panel panel(server.listeningPort(1));
    QCOMPARE(panel.ask(panelRequest(1, 0x84, 1), 7).mid(4), QByteArray("\x10\x01\x01"));

    // Demoted: the panel is dropped, the links close and stay quiet.
    server.Demote();
    QVERIFY(server.isStandby());
    QVERIFY(logEntries(app.path(), "Error").contains("Demoted to standby"));
    QTRY_COMPARE(panel.socket.state(), QAbstractSocket::UnconnectedState);
    QVERIFY(!server.isListening(1));
    QVERIFY(!server.isComOpen(1));
    QCOMPARE(server.routerLinks().netSocketState(2), NetSocketState::Closed);
    const qsizetype sentBefore = server.routerLinks().sendLog().size();
    server.routerLinks().QueueComCommand(1, take);
    for (int pass = 0; pass < 15; ++pass) {
        server.routerLinks().comLinkPass();
        server.routerLinks().netLinkPass();
    }
    QCOMPARE(server.routerLinks().sendLog().size(), sentBefore);
    QCOMPARE(raised.size(), 0);

    // Promoted again, a take goes out at once.
    server.Promote();
    server.routerLinks().QueueComCommand(1, take);
    QTRY_COMPARE_WITH_TIMEOUT(serial.router->source(5), 7, 5000);
}
