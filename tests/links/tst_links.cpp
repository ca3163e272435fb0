#include "links/network_links.h"
#include "core/server.h"
#include "links/comm_settings.h"
#include "links/crosspoint.h"
#include "links/modem_lines.h"
#include "links/port_table.h"
#include "links/tcp_keepalive.h"
#include "router/take_string.h"
#include "test_server.h"
#include "pty_router.h"
#include "test_support.h"

#include <QDate>
#include <QFile>
#include <QNetworkDatagram>
#include <QSerialPort>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

using namespace marlin;
using namespace testsupport;

namespace {

QByteArray iniFor(const QByteArray &sections)
{
    // No network card listens in these tests.
    return "[Network_Settings]\r\nNetwork_Card_1_IP_Address=\r\n" + sections;
}

// The links as a unit of their own: the settings, router tables, states and
// logs of an application folder, and RouterLinks over them, driven through
// its own operations as the server drives it.
class LinksFixture {
public:
    explicit LinksFixture(const QString &appDir)
        : dir(appDir), logs(appDir), links(appDir, settings, tables, states, logs)
    {
        logs.setClock(onLogDay);
    }

    // A load of WREN.INI and the router tables; nothing is opened.
    QStringList load(LoadMode mode = LoadMode::Startup)
    {
        QStringList failures = LoadSettings(dir + QStringLiteral("/WREN.INI"), settings, mode);
        links.settingsLoaded();
        links.applyNetRetryIntervals();
        return failures + LoadRouterTables(dir, tables, mode).failures;
    }

    // The links' part of the server's start: a load, the comm ports opened,
    // every router up, the first requests queued and the link timers
    // running. The comm ports' failures, in the order met.
    QStringList start()
    {
        load();
        const QStringList failures = links.OpenCommPorts();
        for (int r = 1; r <= kRouterCount; ++r)
            states[r].CommOK = true;
        links.markComLinksUp();
        links.RequestAllStatus();
        links.start();
        return failures;
    }

    // The routers whose communication is reported lost.
    QList<int> problemRouters() const
    {
        QList<int> routers;
        for (int r = 1; r <= kRouterCount; ++r) {
            if (!states[r].CommOK)
                routers.append(r);
        }
        return routers;
    }

    const QString dir;
    Settings settings;
    RouterTableArray tables;
    RouterStateArray states;
    Logs logs;
    RouterLinks links;
};

} // namespace

class TestLinks : public QObject {
    Q_OBJECT

private slots:
    void queueRules();
    void portMapTieBreak_data();
    void portMapTieBreak();
    void commSettingsText_data();
    void commSettingsText();
    void crosspointHolds_data();
    void crosspointHolds();
    void receiveBufferIsCapped();

    void serialStartupRequestsAndSpacing();
    void serialSpacingFollowsTheLanguage();
    void serialReplyUpdatesStateAndLog();
    void serialDeviceComesBack();
    void serialOpenFailureIsReported();
    void modemLineFailures_data();
    void modemLineFailures();
    void pseudoTerminalHasNoModemLines();
    void vanishedComLinkIsWaitedFor();
    void idNumbersAboveTheTablesAreIgnored();
    void imageVideoPollFollowsItsOwnPort();
    void problemRoutersFollowTheLinks();

    void tcpLinkFollowsTheConnection();
    void imageVideoPollVisitsEveryDestinationAmongTakes();
    void silentRouterIsReportedLost_data();
    void silentRouterIsReportedLost();
    void udpCommandIsSentFiveTimes();
    void udpRestorationQueuesFirstRequests();
    void commAndNetworkPortOfOneNumberKeepTheirBytesApart();
    void udpPortListensOnItsLocalPort();
    void udpDatagramsOnlyFromTheRoutersAddress_data();
    void udpDatagramsOnlyFromTheRoutersAddress();
    void networkPortNumberRange_data();
    void networkPortNumberRange();
    void udpBindFailureIsLogged();
    void networkAddressRule_data();
    void networkAddressRule();
    void hangingTcpConnectIsAbandoned();
};

void TestLinks::queueRules()
{
    CommandQueue q;
    q.enqueue("   ");
    q.enqueue({});
    QVERIFY(q.isEmpty());
    for (int i = 1; i <= 11; ++i)
        q.enqueue("cmd" + QByteArray::number(i));
    QCOMPARE(q.slot(0), QByteArray());
    QCOMPARE(q.slot(9), QByteArray("cmd9"));
    QCOMPARE(q.slot(10), QByteArray("cmd11")); // the tenth was overwritten
    for (int i = 1; i <= 9; ++i)
        QCOMPARE(q.takeHead(), "cmd" + QByteArray::number(i));
    QCOMPARE(q.takeHead(), QByteArray("cmd11"));
    QCOMPARE(q.takeHead(), QByteArray());

    // Taking out shifts past an empty head, one command per take.
    CommandQueue r;
    r.enqueue("a");
    r.enqueue("b");
    r.enqueue("c");
    QCOMPARE(r.takeHead(), QByteArray("a"));
    r.enqueue("d");
    QCOMPARE(r.takeHead(), QByteArray("b"));
    QCOMPARE(r.takeHead(), QByteArray("c"));
    QCOMPARE(r.takeHead(), QByteArray("d"));
}

// The one set of rules for which port serves a router, over one settings
// file that holds every case.
void TestLinks::portMapTieBreak_data()
{
    QTest::addColumn<int>("router");
    QTest::addColumn<QString>("kind"); // of the serving port: comm, network or none
    QTest::addColumn<int>("number");
    QTest::addColumn<int>("protocol");
    QTest::addColumn<QList<int>>("comPorts");
    QTest::addColumn<QList<int>>("netPorts");
    QTest::newRow("lower port number wins, whatever its kind") << 4 << "network" << 3 << 1 << QList<int>{7} << QList<int>{3};
    QTest::newRow("comm before network at one number") << 9 << "comm" << 5 << 3 << QList<int>{5} << QList<int>{5};
    QTest::newRow("two comm ports: the lower first, both send") << 20 << "comm" << 2 << 1 << QList<int>{2, 10} << QList<int>{};
    QTest::newRow("disabled ports do not count") << 11 << "none" << 0 << 0 << QList<int>{} << QList<int>{};
    QTest::newRow("other device types do not count") << 12 << "none" << 0 << 0 << QList<int>{} << QList<int>{};
    QTest::newRow("a port without a language still serves") << 21 << "comm" << 11 << 0 << QList<int>{11} << QList<int>{};
    QTest::newRow("an unknown protocol still serves") << 22 << "network" << 12 << 7 << QList<int>{} << QList<int>{12};
    QTest::newRow("no port at all") << 50 << "none" << 0 << 0 << QList<int>{} << QList<int>{};
    QTest::newRow("router 0") << 0 << "none" << 0 << 0 << QList<int>{} << QList<int>{};
    QTest::newRow("router 97") << 97 << "none" << 0 << 0 << QList<int>{} << QList<int>{};
}

void TestLinks::portMapTieBreak()
{
    QFETCH(int, router);
    QFETCH(QString, kind);
    QFETCH(int, number);
    QFETCH(int, protocol);
    QFETCH(QList<int>, comPorts);
    QFETCH(QList<int>, netPorts);
    Settings s;
    const auto com = [&s](int n, bool enabled, int type, int id, int proto) {
        s.ComPorts[n] = {.ComEnable = enabled, .ComDeviceType = qint16(type), .ComIDNumber = qint16(id),
                         .ComProtocol = qint16(proto), .ComDescription = {}};
    };
    const auto net = [&s](int n, int id, int proto) {
        s.NetPorts[n].NetEnabled = true;
        s.NetPorts[n].NetDeviceType = 1;
        s.NetPorts[n].NetIDNumber = qint16(id);
        s.NetPorts[n].NetProtocol = qint16(proto);
        s.NetPorts[n].NetIPAddress = QStringLiteral(" 127.0.0.%1 ").arg(n);
    };
    com(7, true, 1, 4, 2);
    net(3, 4, 1);
    com(5, true, 1, 9, 3);
    net(5, 9, 2);
    com(10, true, 1, 20, 1);
    com(2, true, 1, 20, 1);
    com(8, false, 1, 11, 1);
    com(9, true, 2, 12, 1);
    com(11, true, 1, 21, 0);
    net(12, 22, 7);
    com(12, true, 1, 120, 1);

    const PortMap map(s);
    const RouterPort port = map.servingPort(router);
    QCOMPARE(port.number == 0 ? QStringLiteral("none") : port.isNetwork ? QStringLiteral("network") : QStringLiteral("comm"),
             kind);
    QCOMPARE(port.number, number);
    QCOMPARE(port.protocol, protocol);
    QCOMPARE(port.address, port.isNetwork ? QStringLiteral("127.0.0.%1").arg(number) : QString());
    QCOMPARE(map.ports(router, false), comPorts);
    QCOMPARE(map.ports(router, true), netPorts);
    for (const int n : comPorts)
        QCOMPARE(map.routerOf(n, false), router);
    for (const int n : netPorts)
        QCOMPARE(map.routerOf(n, true), router);
    // The settings-wide question gets the same answer.
    const RouterPort found = FindRouterPort(s, kDeviceRouter, router);
    QVERIFY(found.number == port.number && found.isNetwork == port.isNetwork);
    QCOMPARE(FindRouterProtocol(s, kDeviceRouter, router), protocol);

    // What no router can use, and why: enabled ports only.
    QCOMPARE(map.unusablePorts().size(), 2);
    QCOMPARE(map.unusablePorts()[0].number, 9);
    QCOMPARE(map.unusablePorts()[0].why, QStringLiteral("device type 2 is not a router"));
    QCOMPARE(map.unusablePorts()[1].number, 12);
    QCOMPARE(map.unusablePorts()[1].why, QStringLiteral("ID number 120 names no router table (1 to 96)"));
    QCOMPARE(map.routerOf(12, false), 0);
}

void TestLinks::commSettingsText_data()
{
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("data");
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("stop");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("lineCanTakeIt");
    QTest::newRow("defaults") << 6 << 4 << 2 << 1 << "9600,n,8,1" << true;
    QTest::newRow("highest baud") << 13 << 4 << 3 << 3 << "256000,o,8,2" << true;
    QTest::newRow("one and a half stop bits") << 1 << 1 << 1 << 2 << "110,e,5,1.5" << false;
    QTest::newRow("parity index 0") << 6 << 4 << 0 << 1 << "9600,,8,1" << false;
    QTest::newRow("letters read as 0") << 0 << 4 << 2 << 1 << ",n,8,1" << false;
    QTest::newRow("too large") << 14 << 5 << 4 << 4 << ",,," << false;
}

void TestLinks::commSettingsText()
{
    QFETCH(int, baud);
    QFETCH(int, data);
    QFETCH(int, parity);
    QFETCH(int, stop);
    QFETCH(QString, text);
    QFETCH(bool, lineCanTakeIt);
    QCOMPARE(BuildCommSettings(baud, data, parity, stop), text);
    QCOMPARE(parseCommSettings(text).has_value(), lineCanTakeIt);
}

void TestLinks::crosspointHolds_data()
{
    QTest::addColumn<int>("destination");
    QTest::addColumn<int>("source");
    QTest::addColumn<bool>("changed");
    QTest::addColumn<bool>("held");
    QTest::newRow("priority source keeps the hold") << 5 << 5 << true << true;
    QTest::newRow("other source drops it") << 5 << 6 << true << false;
    QTest::newRow("same source changes nothing") << 5 << 2 << false << true;
    QTest::newRow("destination 257") << 257 << 5 << false << true;
    QTest::newRow("destination 0") << 0 << 5 << false << true;
    QTest::newRow("source 300") << 5 << 300 << false << true;
}

void TestLinks::crosspointHolds()
{
    QFETCH(int, destination);
    QFETCH(int, source);
    QFETCH(bool, changed);
    QFETCH(bool, held);
    RouterState state;
    state.CurrentSource[5] = 2;
    state.HighPriority[5] = true;
    state.PrioritySource[5] = 5;
    const CrosspointChange c = ApplyCrosspoint(state, destination, source);
    QCOMPARE(c.changed, changed);
    QCOMPARE(c.holdDropped, !held);
    QCOMPARE(state.HighPriority[5], held);
    QCOMPARE(state.PrioritySource[5], held ? 5 : 0);
    QCOMPARE(state.StatusReceived, changed);
    if (changed)
        QCOMPARE(state.CurrentSource[destination], source);
}

void TestLinks::receiveBufferIsCapped()
{
    QByteArray buffer;
    for (int i = 0; i < 100; ++i)
        appendReceived(buffer, QByteArray(4096, char('a' + i % 26)));
    QCOMPARE(buffer.size(), kRxBufferLimit);
    QVERIFY(buffer.endsWith(QByteArray(4096, char('a' + 99 % 26))));
}

void TestLinks::serialStartupRequestsAndSpacing()
{
    QTemporaryDir app;
    PtyRouter router(app.path(), 1);
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")),
              iniFor("[Com_Port_1]\r\nPort_Enable=1\r\nLevel=3\r\n")));
    LinksFixture fx(app.path());
    QCOMPARE(fx.start(), QStringList());
    QVERIFY(fx.links.isComOpen(1));
    QCOMPARE(fx.states[1].LinkPort, 1);

    QTRY_COMPARE_WITH_TIMEOUT(router.received, QByteArray("@ ?\r@ S?3\r"), 5000);
    // The two commands leave the queue at least one spacing interval apart,
    // measured when the server wrote them, not when the reader woke up.
    const QList<SentCommand> sends = fx.links.sendLog();
    QCOMPARE(sends.size(), 2);
    QCOMPARE(sends[0].bytes, QByteArray("@ ?\r"));
    QCOMPARE(sends[1].bytes, QByteArray("@ S?3\r"));
    QVERIFY(sends[0].port == 1 && sends[1].port == 1 && !sends[0].isNetwork && !sends[1].isNetwork);
    const qint64 gapNs = sends[1].atNs - sends[0].atNs;
    QVERIFY2(gapNs >= 250'000'000, qPrintable(QStringLiteral("%1 ns").arg(gapNs)));

    // A take string from a panel goes out in the router's language.
    fx.links.QueueComCommand(1, fx.links.buildTakeCommand(1, "C 110000000002001000"));
    QTRY_VERIFY_WITH_TIMEOUT(router.received.endsWith("@ X:01/9,1\r"), 5000);

    // On a port quiet for its spacing, a command is written by the call
    // that queues it; one queued right after it waits for the spacing.
    QTRY_VERIFY_WITH_TIMEOUT(!fx.links.comSendWaits(1), 5000);
    const qsizetype before = fx.links.sendLog().size();
    fx.links.QueueComCommand(1, "@ ?\r");
    QCOMPARE(fx.links.sendLog().size(), before + 1);
    QVERIFY(fx.links.comSendWaits(1));
    fx.links.QueueComCommand(1, "@ S?3\r");
    QCOMPARE(fx.links.sendLog().size(), before + 1);
    QTRY_COMPARE_WITH_TIMEOUT(fx.links.sendLog().size(), before + 2, 5000);
    const QList<SentCommand> later = fx.links.sendLog();
    const qint64 spacedNs = later.last().atNs - later[later.size() - 2].atNs;
    QVERIFY2(spacedNs >= 250'000'000, qPrintable(QStringLiteral("%1 ns").arg(spacedNs)));
    QTRY_VERIFY_WITH_TIMEOUT(router.received.endsWith("@ ?\r@ S?3\r"), 5000);
}

void TestLinks::serialSpacingFollowsTheLanguage()
{
    QTemporaryDir app;
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")),
              iniFor("[Com_Port_1]\r\nProtocol=1\r\nID_Number=1\r\n[Com_Port_2]\r\nProtocol=2\r\nID_Number=2\r\n"
                     "[Com_Port_3]\r\nProtocol=3\r\nID_Number=3\r\n[Com_Port_4]\r\nDevice_Type=2\r\n")));
    LinksFixture fx(app.path());
    fx.start();
    QCOMPARE(fx.links.comSendSpacingMs(1), 250);
    QCOMPARE(fx.links.comSendSpacingMs(2), 250);
    QCOMPARE(fx.links.comSendSpacingMs(3), 15);
    QCOMPARE(fx.links.comSendSpacingMs(4), 15);
    // A port moved to another language takes that language's spacing.
    fx.settings.ComPorts[1].ComProtocol = 3;
    fx.settings.ComPorts[3].ComProtocol = 1;
    fx.links.OpenCommPorts();
    QCOMPARE(fx.links.comSendSpacingMs(1), 15);
    QCOMPARE(fx.links.comSendSpacingMs(3), 250);
}

void TestLinks::serialReplyUpdatesStateAndLog()
{
    QTemporaryDir app;
    PtyRouter router(app.path(), 2);
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")),
              iniFor("[Com_Port_2]\r\nPort_Enable=1\r\nID_Number=7\r\n")));
    LinksFixture fx(app.path());
    QSignalSpy changed(&fx.links, &RouterLinks::crosspointChanged);
    fx.start();
    fx.states[7].HighPriority[11] = true;
    fx.states[7].PrioritySource[11] = 9;

    // Two lines, one of them split across writes, a prompt and a line feed.
    router.send("\n>S:0A,3\r>S:0");
    router.send("4,1\rF:junk\r");
    QTRY_COMPARE_WITH_TIMEOUT(fx.states[7].CurrentSource[11], 4, 5000);
    QTRY_COMPARE(fx.states[7].CurrentSource[5], 2);
    QVERIFY(fx.states[7].StatusReceived);
    QVERIFY(!fx.states[7].HighPriority[11]); // another source dropped the hold
    QCOMPARE(fx.states[7].PrioritySource[11], 0);
    QCOMPARE(logEntries(app.path(), "Switch"),
             (QList<QByteArray>{"Status update.\t Router = Router_7\t Source = Input_4\t Destination = Output_11",
                                "Status update.\t Router = Router_7\t Source = Input_2\t Destination = Output_5"}));
    // Each change told once to the faces, in the order reported.
    QCOMPARE(changed.size(), 2);
    QCOMPARE(changed.at(0), (QVariantList{7, 11, 4}));
    QCOMPARE(changed.at(1), (QVariantList{7, 5, 2}));

    // Numbers beyond the tables and garbage change nothing.
    router.send("S:01FF,3\rS:0,27F\rS:zz\r\x01\x02\xFF\r");
    QTRY_COMPARE(fx.states[7].CurrentSource[1], 1); // "S:zz" reads as destination 1, source 1
    QCOMPARE(logEntries(app.path(), "Switch").size(), 3);

    // A router reporting every crosspoint at once: the switch log is opened
    // once for each read of the line, not once for each of the 256 lines.
    QByteArray everything;
    for (int d = 0; d < kPointCount; ++d)
        everything += "S:0" + QByteArray::number(d, 16).toUpper() + ",5\r"; // level 0
    const qint64 opensBefore = fx.logs.fileOpens();
    router.send(everything);
    QTRY_COMPARE_WITH_TIMEOUT(fx.states[7].CurrentSource[kPointCount], 6, 5000);
    QCOMPARE(logEntries(app.path(), "Switch").size(), 3 + kPointCount);
    QVERIFY2(fx.logs.fileOpens() - opensBefore <= 8,
             qPrintable(QString::number(fx.logs.fileOpens() - opensBefore)));
}

void TestLinks::serialDeviceComesBack()
{
    QTemporaryDir app;
    PtyRouter router(app.path(), 4);
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")), iniFor("[Com_Port_4]\r\nPort_Enable=1\r\nProtocol=2\r\n")));
    LinksFixture fx(app.path());
    fx.start();
    QTRY_COMPARE_WITH_TIMEOUT(router.received, QByteArray("\xC0\x00\xFE", 3), 5000);

    router.close();
    QTRY_VERIFY_WITH_TIMEOUT(!fx.links.isComOpen(4), 5000);
    router.open();
    router.received.clear();
    fx.links.QueueComCommand(4, fx.links.buildTakeCommand(4, "C 000000000003000100"));
    QTRY_VERIFY_WITH_TIMEOUT(fx.links.isComOpen(4), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(router.received.contains(QByteArray("\xC1\x00\x02\x02\x02\x9F\xFE", 7)), 5000);
}

void TestLinks::serialOpenFailureIsReported()
{
    QTemporaryDir app;
    // COM5 names nothing that exists, and COM6 has settings a line cannot take.
    QFile::link(app.filePath(QStringLiteral("no-such-device")), app.filePath(QStringLiteral("COM5")));
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")),
              iniFor("[Com_Port_6]\r\nStop_Bits=2\r\n[Com_Port_5]\r\nPort_Enable=1\r\n")));
    const QString openFailure = QStringLiteral(
        "There is a problem opening communication port # 5.  Please check the hardware is working and verify the "
        "communication settings.");
    const QString lineFailure = QStringLiteral(
        "There is a problem with the communication settings on port# 6.  Please check the communication settings.");
    {
        // The server logs both failures, in the order the ports were
        // opened, and shows the last.
        TestServer server(app.path());
        QSignalSpy shown(&server, &Server::startupErrorRaised);
        server.Start();
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown.at(0).at(0).toString(), lineFailure);
        QCOMPARE(logEntries(app.path(), "Error"),
                 (QList<QByteArray>{"Server Started", openFailure.toLatin1(), lineFailure.toLatin1()}));
    }

    LinksFixture fx(app.path());
    QCOMPARE(fx.start(), (QStringList{openFailure, lineFailure}));
    fx.settings.ComPorts[6].ComStopBits = 1;
    QCOMPARE(fx.links.OpenCommPorts(), QStringList{openFailure});
    QVERIFY(!fx.links.comOpenProblem(5).isEmpty());
    // The missing device is still the port's device: never another serial line.
    QCOMPARE(fx.links.comDevicePath(5), app.filePath(QStringLiteral("no-such-device")));
    QCOMPARE(fx.links.comDevicePath(7), QStringLiteral("/dev/ttyS6"));

    // When the device turns up, the link check opens the port by itself.
    QVERIFY(!fx.links.isComOpen(5));
    PtyRouter router(app.path(), 5);
    QTRY_VERIFY_WITH_TIMEOUT(fx.links.isComOpen(5), 10000);
}

namespace {
class RefusingLines : public ModemLines {
public:
    bool dtrWorks = true;
    bool rtsWorks = true;
    bool pty = false;
    bool setDataTerminalReady(bool) override { return dtrWorks; }
    bool setRequestToSend(bool) override { return rtsWorks; }
    bool isPseudoTerminal() const override { return pty; }
};
} // namespace

void TestLinks::modemLineFailures_data()
{
    QTest::addColumn<bool>("dtrWorks");
    QTest::addColumn<bool>("rtsWorks");
    QTest::addColumn<bool>("pty");
    QTest::addColumn<QStringList>("problems");
    const QString dtr = QStringLiteral("There is a problem with the DTR settings on port # 7.  Please check the communication settings.");
    const QString rts = QStringLiteral("There is a problem with the RTS settings on port # 7.  Please check the communication settings.");
    QTest::newRow("both set") << true << true << false << QStringList();
    QTest::newRow("DTR refused") << false << true << false << QStringList{dtr};
    QTest::newRow("RTS refused") << true << false << false << QStringList{rts};
    QTest::newRow("both refused") << false << false << false << QStringList{dtr, rts};
    QTest::newRow("pseudo-terminal refuses both") << false << false << true << QStringList();
}

void TestLinks::modemLineFailures()
{
    QFETCH(bool, dtrWorks);
    QFETCH(bool, rtsWorks);
    QFETCH(bool, pty);
    QFETCH(QStringList, problems);
    RefusingLines lines;
    lines.dtrWorks = dtrWorks;
    lines.rtsWorks = rtsWorks;
    lines.pty = pty;
    QCOMPARE(ApplyModemLines(lines, 7, true, false), problems);
}

void TestLinks::pseudoTerminalHasNoModemLines()
{
    QTemporaryDir app;
    PtyRouter pty(app.path(), 1);
    QSerialPort port(pty.device());
    QVERIFY(port.open(QIODevice::ReadWrite));
    QVERIFY(SerialModemLines(port).isPseudoTerminal());
}

void TestLinks::vanishedComLinkIsWaitedFor()
{
    // Port 2, whose built-in line /dev/ttyS1 must never be used here.
    QTemporaryDir app;
    const QString link = app.filePath(QStringLiteral("COM2"));
    PtyRouter router(app.path(), 2);
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")), iniFor("[Com_Port_2]\r\nPort_Enable=1\r\nLevel=2\r\n")));
    LinksFixture fx(app.path());
    fx.start();
    QTRY_COMPARE_WITH_TIMEOUT(router.received, QByteArray("@ ?\r@ S?2\r"), 5000);

    router.close();
    router.removeLink();
    QTRY_VERIFY_WITH_TIMEOUT(!fx.links.isComOpen(2), 5000);
    // Link checks while the link is gone keep waiting for it.
    for (int tick = 0; tick < 3; ++tick) {
        fx.links.comLinkPass();
        QVERIFY(!fx.links.isComOpen(2));
        QCOMPARE(fx.links.comDevicePath(2), link);
    }

    // The simulator comes back on a new pseudo-terminal under the same name:
    // the port follows the link, and the router gets its commands again.
    router.open();
    router.received.clear();
    fx.links.QueueComCommand(2, fx.links.buildTakeCommand(2, "C 110000000004000700"));
    QTRY_VERIFY_WITH_TIMEOUT(fx.links.isComOpen(2), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(router.received.contains("@ X:01/6,3\r"), 5000);
    router.send("S:16,3\r");
    QTRY_COMPARE_WITH_TIMEOUT(fx.states[2].CurrentSource[7], 4, 5000);

    // Opening the ports from the settings looks afresh: with no link left,
    // the built-in line is the port's device again.
    router.removeLink();
    fx.links.OpenCommPorts();
    QCOMPARE(fx.links.comDevicePath(2), QStringLiteral("/dev/ttyS1"));
}

void TestLinks::idNumbersAboveTheTablesAreIgnored()
{
    QTemporaryDir app;
    PtyRouter router(app.path(), 8);
    // Port 2 serves the last router that has a table, and must be served.
    PtyRouter last(app.path(), 2);
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")),
              iniFor("[Com_Port_8]\r\nPort_Enable=1\r\nID_Number=120\r\n[Net_Port_9]\r\nHardware_Enabled=1\r\n"
                     "Network_IP_Address=127.0.0.1\r\nNetwork_Port=9\r\nNetwork_Port_Type=1\r\nID_Number=-3\r\n"
                     "[Com_Port_2]\r\nPort_Enable=1\r\nID_Number=96\r\n")));
    LinksFixture fx(app.path());
    fx.start();
    fx.links.QueueComCommand(120, "@ ?\r");
    fx.links.QueueNetCommand(-3, "@ ?\r");
    // Silent far beyond the loss: such ports are counted but never polled
    // or reported, and nothing is sent for a router without a table.
    for (int tick = 0; tick < 12; ++tick) {
        fx.links.comLinkPass();
        fx.links.netLinkPass();
    }
    QCOMPARE(logEntries(app.path(), "Error"),
             (QList<QByteArray>{"Communication lost with Leitch Router on communication port 2 (Router_96) ()."}));
    QCOMPARE(fx.links.silentTicks(8, false), 10);
    // Port 2 gets its startup requests and then the polls of its silence;
    // by then port 8 would have had whatever the passes queued for it.
    QTRY_VERIFY_WITH_TIMEOUT(last.received.startsWith("@ ?\r@ S?0\r@ X?0"), 5000);
    QCOMPARE(router.received, QByteArray());
}

void TestLinks::imageVideoPollFollowsItsOwnPort()
{
    QTemporaryDir app;
    PtyRouter router(app.path(), 3);
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")),
              iniFor("[Com_Port_3]\r\nPort_Enable=1\r\nProtocol=2\r\nID_Number=2\r\n"
                     "[Net_Port_3]\r\nHardware_Enabled=1\r\nProtocol=2\r\nID_Number=2\r\n")));
    LinksFixture fx(app.path());
    // The link timers stay off and the queues keep what is put in them.
    fx.load();
    QCOMPARE(fx.links.OpenCommPorts(), QStringList());
    fx.links.RequestAllStatus();
    QCOMPARE(fx.links.queuedCommands(2, false), QList<QByteArray>{QByteArray("\xC0\x00\xFE", 3)});
    QCOMPARE(fx.links.queuedCommands(2, true), QList<QByteArray>());

    // Destination 1 shows source 4. The report on the comm port moves the
    // full poll on for that port only: the network port of the same number
    // is asked nothing it did not ask for.
    router.send(QByteArray("\x05\xC9\x00\x03\xFE", 5));
    QTRY_VERIFY_WITH_TIMEOUT((fx.links.receiveComPorts(), fx.states[2].CurrentSource[1] == 4), 5000);
    QCOMPARE(fx.links.queuedCommands(2, false),
             (QList<QByteArray>{QByteArray("\xC0\x00\xFE", 3), QByteArray("\xC0\x01\xFE", 3)}));
    QCOMPARE(fx.links.queuedCommands(2, true), QList<QByteArray>());
    QVERIFY(fx.states[2].PollActive);
}

void TestLinks::problemRoutersFollowTheLinks()
{
    QTemporaryDir app;
    PtyRouter router(app.path(), 1);
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")), iniFor("[Com_Port_1]\r\nPort_Enable=1\r\nID_Number=3\r\n")));
    LinksFixture fx(app.path());
    QSignalSpy refreshed(&fx.links, &RouterLinks::problemRoutersRefreshRequested);
    fx.start();
    QCOMPARE(fx.problemRouters(), QList<int>());

    // Ten silent checks lose the link; routers no port serves stay off the list.
    for (int tick = 0; tick < 10; ++tick)
        fx.links.comLinkPass();
    QCOMPARE(fx.problemRouters(), QList<int>{3});
    QCOMPARE(refreshed.size(), 1);

    // The first accepted reply restores it at the next check.
    router.send("S:21,4\r");
    QTRY_COMPARE_WITH_TIMEOUT(fx.states[3].CurrentSource[2], 5, 5000);
    fx.links.comLinkPass();
    QCOMPARE(fx.problemRouters(), QList<int>());
    QCOMPARE(refreshed.size(), 2);
}

void TestLinks::tcpLinkFollowsTheConnection()
{
    QTcpServer listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost));
    QTemporaryDir app;
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")),
              iniFor("[Net_Port_2]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=127.0.0.1\r\nNetwork_Port="
                     + QByteArray::number(listener.serverPort()) + "\r\nProtocol=2\r\nID_Number=5\r\nPort_Description=Rack 2\r\n")));
    LinksFixture fx(app.path());
    fx.start();

    QTRY_VERIFY_WITH_TIMEOUT(listener.hasPendingConnections(), 5000);
    std::unique_ptr<QTcpSocket> peer(listener.nextPendingConnection());
    const QByteArray restored = "Communication restored with Image Video Router on network port 2 (Router_5) (Rack 2).";
    // The first connection starts the full status poll; the link was never
    // reported lost, so nothing is restored.
    QByteArray received;
    QTRY_VERIFY_WITH_TIMEOUT((received += peer->readAll()).startsWith(QByteArray("\xC0\x00\xFE", 3)), 5000);

    peer->write(QByteArray("\x05\xC9\x00\x03\xFE", 5));
    QTRY_COMPARE_WITH_TIMEOUT(fx.states[5].CurrentSource[1], 4, 5000);
    // Each report moves the poll on to the next visible destination.
    QTRY_VERIFY_WITH_TIMEOUT((received += peer->readAll()).contains(QByteArray("\xC0\x01\xFE", 3)), 5000);

    peer->close();
    QTRY_VERIFY_WITH_TIMEOUT(logEntries(app.path(), "Error").contains(
                                 "Communication lost with Image Video Router on network port 2 (Router_5) (Rack 2)."),
                             5000);
    QVERIFY(!logEntries(app.path(), "Error").contains(restored));
    // It connects again by itself and is restored at the router's first report.
    QTRY_VERIFY_WITH_TIMEOUT(listener.hasPendingConnections(), 5000);
    peer.reset(listener.nextPendingConnection());
    peer->write(QByteArray("\x01\xC9\x01\x02\xFE", 5));
    QTRY_COMPARE_WITH_TIMEOUT(logEntries(app.path(), "Error").count(restored), 1, 5000);
    QVERIFY(fx.states[5].CommOK);
    // A router that loses power without closing is found by keepalive.
    QCOMPARE(ReadKeepaliveOptions(fx.links.netSocketDescriptor(2)), kDeadPeerDetection);
}

// Takes whose reports arrive while the full status poll walks the
// destinations, enough to fill the queue: the walk still asks for every
// visible destination, once each, in order.
void TestLinks::imageVideoPollVisitsEveryDestinationAmongTakes()
{
    QTcpServer listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost));
    QTemporaryDir app;
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")),
              iniFor("[Net_Port_1]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=127.0.0.1\r\nNetwork_Port="
                     + QByteArray::number(listener.serverPort()) + "\r\nProtocol=2\r\nRetry_MS=0\r\n")));
    LinksFixture fx(app.path());
    fx.start();
    fx.links.stopLinkChecks();
    for (int d = 9; d <= kPointCount; ++d)
        fx.tables[1].DestVisible[d] = false;
    fx.links.netLinkPass();
    QTRY_VERIFY_WITH_TIMEOUT(listener.hasPendingConnections(), 5000);
    std::unique_ptr<QTcpSocket> router(listener.nextPendingConnection());
    QTRY_COMPARE(fx.links.netSocketState(1), NetSocketState::Connected);

    // The router: every query and every take is answered with a report.
    QList<int> asked;
    QByteArray pending;
    int takesAnswered = 0;
    const auto answer = [&] {
        pending += router->readAll();
        qsizetype end = 0;
        while ((end = pending.indexOf(char(254))) >= 0) {
            const QByteArray frame = pending.left(end + 1);
            pending.remove(0, end + 1);
            if (frame.size() == 3 && quint8(frame[0]) == 192) {
                asked.append(quint8(frame[1]) + 1);
                router->write(QByteArray("\xC9") + frame[1] + char(4) + char(254));
            } else if (frame.size() == 7 && quint8(frame[0]) == 193) {
                ++takesAnswered;
                router->write(QByteArray("\xC9") + frame[1] + frame[2] + char(254));
            }
        }
    };
    int takes = 0;
    for (int pass = 0; pass < 80 && (pass < 3 || fx.states[1].PollActive || takesAnswered < takes); ++pass) {
        // A take queued now and then, ten at once at the second pass.
        for (int i = 0; i < (pass == 2 ? 10 : pass % 3 == 0 ? 1 : 0); ++i, ++takes)
            fx.links.QueueNetCommand(1, fx.links.buildTakeCommand(
                                                1, "C 10000000" + ZeroPad(20 + takes % 30, 4) + "0012"));
        const qsizetype sent = fx.links.sendLog().size();
        fx.links.netLinkPass();
        if (fx.links.sendLog().size() > sent) {
            const quint64 replies = fx.links.repliesReceived(1);
            QTRY_VERIFY_WITH_TIMEOUT((answer(), fx.links.repliesReceived(1) > replies), 5000);
        }
    }
    // A query a take took the place of is asked again.
    asked.erase(std::unique(asked.begin(), asked.end()), asked.end());
    QCOMPARE(asked, (QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 1}));
    QVERIFY(!fx.states[1].PollActive);
    QVERIFY(takesAnswered >= 10);
}

void TestLinks::silentRouterIsReportedLost_data()
{
    QTest::addColumn<int>("kind");   // 0 TCP connected, 1 TCP never connecting, 2 UDP
    QTest::addColumn<int>("limit");  // silent checks until the loss
    QTest::newRow("TCP, connected but silent") << 0 << 10;
    QTest::newRow("TCP, never connecting") << 1 << 10;
    QTest::newRow("UDP") << 2 << 30;
}

// A link not heard from since the start is lost after the same silence as
// any other, whether or not its connection is open, and restored only by a
// reply its language accepts.
void TestLinks::silentRouterIsReportedLost()
{
    QFETCH(int, kind);
    QFETCH(int, limit);
    QTcpServer listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost));
    QUdpSocket udpPeer;
    QVERIFY(udpPeer.bind(QHostAddress::LocalHost, 0));
    quint16 port = kind == 2 ? udpPeer.localPort() : listener.serverPort();
    if (kind == 1) {
        // A port nobody listens on: every connect is refused.
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        port = closed.serverPort();
    }
    QTemporaryDir app;
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")),
              iniFor("[Net_Port_2]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=127.0.0.1\r\nNetwork_Port="
                     + QByteArray::number(port) + "\r\nNetwork_Port_Type=" + QByteArray(kind == 2 ? "1" : "0")
                     + "\r\nProtocol=1\r\nID_Number=5\r\n")));
    // Started with its link passes stopped: the test runs them.
    LinksFixture fx(app.path());
    fx.start();
    fx.links.stopLinkChecks();
    std::unique_ptr<QTcpSocket> peer;
    fx.links.netLinkPass();
    if (kind == 0) {
        QTRY_VERIFY_WITH_TIMEOUT(listener.hasPendingConnections(), 5000);
        peer.reset(listener.nextPendingConnection());
        QTRY_COMPARE(fx.links.netSocketState(2), NetSocketState::Connected);
    }
    const QByteArray lost = "Communication lost with Leitch Router on network port 2 (Router_5) ().";
    const QByteArray restored = "Communication restored with Leitch Router on network port 2 (Router_5) ().";
    const auto reports = [&] {
        QList<QByteArray> found;
        for (const QByteArray &entry : logEntries(app.path(), "Error"))
            if (entry.startsWith("Communication"))
                found.append(entry);
        return found;
    };
    for (int pass = 2; pass < limit; ++pass) {
        QCoreApplication::processEvents();
        fx.links.netLinkPass();
    }
    QVERIFY(fx.states[5].CommOK);
    QCOMPARE(reports(), QList<QByteArray>{});
    QCoreApplication::processEvents();
    fx.links.netLinkPass();
    QCOMPARE(reports(), QList<QByteArray>{lost});
    QVERIFY(!fx.states[5].CommOK);
    QCOMPARE(fx.problemRouters(), QList<int>{5});
    if (kind == 1)
        return;
    if (kind == 0)
        QCOMPARE(fx.links.netSocketState(2), NetSocketState::Connected);

    // Noise is no answer; a report is.
    const auto say = [&](const QByteArray &bytes) {
        if (kind == 0) {
            peer->write(bytes);
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(udpPeer.hasPendingDatagrams(), 5000);
        const QNetworkDatagram from = udpPeer.receiveDatagram();
        while (udpPeer.hasPendingDatagrams())
            udpPeer.receiveDatagram();
        udpPeer.writeDatagram(bytes, from.senderAddress(), quint16(from.senderPort()));
    };
    say("garbage");
    QTRY_COMPARE(fx.links.pendingReplyBytes(2), 7);
    fx.links.netLinkPass();
    QVERIFY(!fx.states[5].CommOK);
    say("\rS:21,4\r");
    QTRY_COMPARE_WITH_TIMEOUT(fx.states[5].CurrentSource[2], 5, 5000);
    fx.links.netLinkPass();
    QCOMPARE(reports(), (QList<QByteArray>{lost, restored}));
    QVERIFY(fx.states[5].CommOK);
}

void TestLinks::udpCommandIsSentFiveTimes()
{
    QUdpSocket peer;
    QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
    QTemporaryDir app;
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")),
              iniFor("[Net_Port_1]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=127.0.0.1\r\nNetwork_Port="
                     + QByteArray::number(peer.localPort()) + "\r\nNetwork_Port_Type=1\r\nProtocol=3\r\nRetry_MS=100\r\n")));
    LinksFixture fx(app.path());
    fx.start();
    fx.links.QueueNetCommand(1, fx.links.buildTakeCommand(1, "C 000000000001000200"));

    QList<QByteArray> datagrams;
    const auto collect = [&] {
        while (peer.hasPendingDatagrams())
            datagrams.append(peer.receiveDatagram().data());
    };
    // The re-sends are spent once the count is down to none; then a marker
    // command follows on the same port. Every copy of the take was written
    // before the marker, so the datagrams up to it hold all of them.
    QTRY_VERIFY_WITH_TIMEOUT((collect(), datagrams.size() >= 5 && fx.links.resendsLeft(1) == 0), 10000);
    const QByteArray markerTake = fx.links.buildTakeCommand(1, "C 000000000002000300");
    fx.links.QueueNetCommand(1, markerTake);
    fx.links.netLinkPass();
    const QByteArray take = "\x16" "32\x02" "6,O01   ,I00   ,I00   ,I00   ,I00   ,I00   ,I00   \x03" "091A\r";
    QVERIFY(markerTake != take);
    QTRY_VERIFY_WITH_TIMEOUT((collect(), datagrams.contains(markerTake)), 5000);
    // Five copies of the take, no sixth, then the marker.
    QCOMPARE(datagrams.first(datagrams.indexOf(markerTake)), QList<QByteArray>(5, take));
}

void TestLinks::udpRestorationQueuesFirstRequests()
{
    QUdpSocket peer;
    QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
    QTemporaryDir app;
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")),
              iniFor("[Net_Port_1]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=127.0.0.1\r\nNetwork_Port="
                     + QByteArray::number(peer.localPort()) + "\r\nNetwork_Port_Type=1\r\nLevel=2\r\nPort_Description=Desk\r\n")));
    LinksFixture fx(app.path());
    fx.start();
    // The first pass asks; nothing was lost, so nothing is restored.
    QTRY_VERIFY_WITH_TIMEOUT(peer.hasPendingDatagrams(), 5000);
    const QNetworkDatagram first = peer.receiveDatagram();
    QCOMPARE(first.data(), QByteArray("@ ?\r"));

    // An answer stops the re-sends and lands in the state.
    peer.writeDatagram("S:21,4\r", first.senderAddress(), quint16(first.senderPort()));
    QTRY_COMPARE_WITH_TIMEOUT(fx.states[1].CurrentSource[2], 5, 5000);
    QCOMPARE(fx.links.silentTicks(1, true), 0);
    QCOMPARE(logEntries(app.path(), "Error"), QList<QByteArray>());
}

// Comm port 3 serves router 7 and network port 3 router 5. A report cut in
// two on the serial line, with the network router's report between its
// pieces, lands whole on router 7; the network report lands on router 5.
void TestLinks::commAndNetworkPortOfOneNumberKeepTheirBytesApart()
{
    QTemporaryDir app;
    PtyRouter serial(app.path(), 3);
    QUdpSocket peer;
    QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")),
              iniFor("[Com_Port_3]\r\nPort_Enable=1\r\nID_Number=7\r\n"
                     "[Net_Port_3]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=127.0.0.1\r\nNetwork_Port="
                     + QByteArray::number(peer.localPort()) + "\r\nNetwork_Port_Type=1\r\nID_Number=5\r\n")));
    LinksFixture fx(app.path());
    fx.start();
    QTRY_VERIFY_WITH_TIMEOUT(peer.hasPendingDatagrams(), 5000);
    const QNetworkDatagram asked = peer.receiveDatagram();

    serial.send("S:0A,");
    QTRY_VERIFY_WITH_TIMEOUT((fx.links.receiveComPorts(), fx.links.pendingReplyBytes(3) == 5), 5000);
    peer.writeDatagram("S:05,3\r", asked.senderAddress(), quint16(asked.senderPort()));
    QTRY_COMPARE_WITH_TIMEOUT(fx.states[5].CurrentSource[6], 4, 5000);
    serial.send("1F\r");
    QTRY_VERIFY_WITH_TIMEOUT((fx.links.receiveComPorts(), fx.states[7].CurrentSource[11] == 32), 5000);
    QCOMPARE(fx.links.pendingReplyBytes(3), 0);
    // Neither router got the other's crosspoint, nor one made of both.
    QCOMPARE(fx.states[7].CurrentSource[6], 0);
    QCOMPARE(fx.states[5].CurrentSource[11], 0);
    QCOMPARE(logEntries(app.path(), "Switch"),
             (QList<QByteArray>{"Status update.\t Router = Router_5\t Source = Input_4\t Destination = Output_6",
                                "Status update.\t Router = Router_7\t Source = Input_32\t Destination = Output_11"}));
}

// A router that reports unasked is pointed at the port's configured local
// UDP port: its report lands before the server has sent it a byte, and the
// server's own datagrams leave from that port.
void TestLinks::udpPortListensOnItsLocalPort()
{
    quint16 local = 0;
    {
        QUdpSocket probe;
        QVERIFY(probe.bind(QHostAddress::LocalHost, 0));
        local = probe.localPort();
    }
    QUdpSocket peer;
    QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
    QTemporaryDir app;
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")),
              iniFor("[Net_Port_1]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=127.0.0.1\r\nNetwork_Port="
                     + QByteArray::number(peer.localPort()) + "\r\nNetwork_Port_Type=1\r\nNetwork_Local_Port="
                     + QByteArray::number(local) + "\r\n")));
    LinksFixture fx(app.path());
    fx.load();
    // Nothing sent yet: the socket is made for the report.
    fx.links.QueueNetCommand(1, "@ ?\r");
    fx.links.netLinkPass();
    QCOMPARE(peer.writeDatagram("S:0A,1F\r", QHostAddress::LocalHost, local), qint64(8));
    QTRY_COMPARE_WITH_TIMEOUT(fx.states[1].CurrentSource[11], 32, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(peer.hasPendingDatagrams(), 5000);
    QCOMPARE(peer.receiveDatagram().senderPort(), int(local));
}

void TestLinks::udpDatagramsOnlyFromTheRoutersAddress_data()
{
    QTest::addColumn<QString>("from");      // the sender's address
    QTest::addColumn<bool>("routersPort");  // sent from the port the router listens on
    QTest::addColumn<bool>("accepted");
    QTest::newRow("the router") << "127.0.0.1" << true << true;
    QTest::newRow("the router's address, another port") << "127.0.0.1" << false << true;
    QTest::newRow("another address") << "127.0.0.2" << false << false;
}

// A datagram moving destination 11 to source 32: only the router's address
// may say so. A refused one changes nothing (state, hold, re-sends,
// silence), is counted, and is logged.
void TestLinks::udpDatagramsOnlyFromTheRoutersAddress()
{
    QFETCH(QString, from);
    QFETCH(bool, routersPort);
    QFETCH(bool, accepted);

    QUdpSocket router;
    QVERIFY(router.bind(QHostAddress::LocalHost, 0));
    QUdpSocket other;
    if (!routersPort && !other.bind(QHostAddress(from), 0))
        QSKIP("the loopback address cannot be bound here");
    QUdpSocket &sender = routersPort ? router : other;
    QTemporaryDir app;
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")),
              iniFor("[Net_Port_1]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=127.0.0.1\r\nNetwork_Port="
                     + QByteArray::number(router.localPort()) + "\r\nNetwork_Port_Type=1\r\nID_Number=5\r\nRetry_MS=30000\r\n")));
    LinksFixture fx(app.path());
    fx.start();
    fx.states[5].HighPriority[11] = true;
    QTRY_VERIFY_WITH_TIMEOUT(router.hasPendingDatagrams(), 5000);
    const QNetworkDatagram first = router.receiveDatagram();
    QCOMPARE(first.data(), QByteArray("@ ?\r"));
    QCOMPARE(fx.links.resendsLeft(1), 4);

    sender.writeDatagram("S:0A,1F\r", first.senderAddress(), quint16(first.senderPort()));
    if (!accepted) {
        QTRY_COMPARE(fx.links.refusedDatagrams(), quint64(1));
        QCOMPARE(fx.links.resendsLeft(1), 4);
        // The router's own answer, sent next, is taken.
        router.writeDatagram("S:21,4\r", first.senderAddress(), quint16(first.senderPort()));
        QTRY_COMPARE(fx.states[5].CurrentSource[2], 5);
    }
    QTRY_COMPARE(fx.states[5].CurrentSource[11] == 32, accepted);
    QCOMPARE(fx.states[5].HighPriority[11], !accepted);
    QCOMPARE(fx.links.refusedDatagrams(), quint64(accepted ? 0 : 1));
    QList<QByteArray> refusals;
    for (const QByteArray &entry : logEntries(app.path(), "Error")) {
        if (entry.contains("was refused"))
            refusals.append(entry);
    }
    QCOMPARE(refusals.size(), accepted ? 0 : 1);
    if (!accepted) {
        QCOMPARE(refusals[0], "Network port 1: a datagram from 127.0.0.2 port " + QByteArray::number(other.localPort())
                                  + " was refused: not the router's address (127.0.0.1). Datagrams refused since the "
                                    "last report: 1.");
        // More of them within the minute are counted, not logged.
        for (int i = 0; i < 5; ++i)
            sender.writeDatagram("junk\r", first.senderAddress(), quint16(first.senderPort()));
        QTRY_COMPARE(fx.links.refusedDatagrams(), quint64(6));
        router.writeDatagram("S:22,4\r", first.senderAddress(), quint16(first.senderPort()));
        QTRY_COMPARE(fx.states[5].CurrentSource[3], 5);
        int lines = 0;
        for (const QByteArray &entry : logEntries(app.path(), "Error"))
            lines += entry.contains("was refused") ? 1 : 0;
        QCOMPARE(lines, 1);
    }
}

void TestLinks::hangingTcpConnectIsAbandoned()
{
    // A listener whose accept queue holds one connection nobody accepts:
    // the kernel drops every further handshake, so a connect hangs.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    QVERIFY(listener >= 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    QCOMPARE(::listen(listener, 0), 0);
    socklen_t length = sizeof address;
    QCOMPARE(::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length), 0);
    const quint16 port = ntohs(address.sin_port);
    QTcpSocket filler;
    filler.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(filler.waitForConnected(5000));

    QTemporaryDir app;
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")),
              iniFor("[Net_Port_3]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=127.0.0.1\r\nNetwork_Port="
                     + QByteArray::number(port) + "\r\n")));
    LinksFixture fx(app.path());
    // The link timers stay off: this test is the timer, one pass per second.
    fx.load();
    fx.links.netLinkPass();
    QCOMPARE(fx.links.netSocketState(3), NetSocketState::Connecting);
    for (int tick = 1; tick < 60; ++tick) {
        QCoreApplication::processEvents();
        fx.links.netLinkPass();
        QVERIFY2(fx.links.netSocketState(3) == NetSocketState::Connecting, qPrintable(QString::number(tick)));
    }
    // Sixty ticks after the connect it is given up, and tried again at the next.
    QCoreApplication::processEvents();
    fx.links.netLinkPass();
    QCOMPARE(fx.links.netSocketState(3), NetSocketState::Closed);
    fx.links.netLinkPass();
    QCOMPARE(fx.links.netSocketState(3), NetSocketState::Connecting);
    // A link that never came up is reported lost once, after ten silent checks.
    QCOMPARE(logEntries(app.path(), "Error"),
             QList<QByteArray>{"Communication lost with Leitch Router on network port 3 (Router_3) ()."});
    ::close(listener);
}

void TestLinks::networkPortNumberRange_data()
{
    QTest::addColumn<bool>("udp");
    QTest::addColumn<QByteArray>("value");   // P: the port the test's peer has
    QTest::addColumn<bool>("reaches");       // commands reach the peer
    QTest::addColumn<bool>("logged");        // one line per settings load
    for (const bool udp : {false, true}) {
        const char *transport = udp ? "UDP" : "TCP";
        QTest::addRow("%s 0", transport) << udp << QByteArray("0") << false << true;
        QTest::addRow("%s negative", transport) << udp << QByteArray("-1") << false << true;
        QTest::addRow("%s 65535", transport) << udp << QByteArray("65535") << true << false;
        QTest::addRow("%s 65536 + P", transport) << udp << QByteArray("65536+P") << false << true;
    }
}

// Port numbers that do not fit 16 bits are refused on both transports; on
// TCP they would otherwise wrap to the port 65536 below them.
void TestLinks::networkPortNumberRange()
{
    QFETCH(bool, udp);
    QFETCH(QByteArray, value);
    QFETCH(bool, reaches);
    QFETCH(bool, logged);

    QTcpServer listener;
    QUdpSocket peer;
    const quint16 wanted = value == "65535" ? 65535 : 0;
    if (!(udp ? peer.bind(QHostAddress::LocalHost, wanted) : listener.listen(QHostAddress::LocalHost, wanted)))
        QSKIP("port 65535 is taken on this machine");
    const quint16 peerPort = udp ? peer.localPort() : listener.serverPort();
    const QByteArray number = value == "65536+P" ? QByteArray::number(65536 + peerPort) : value;
    // A second router on a good port number, sent to after port 3: once its
    // command has arrived, anything port 3 sent has arrived too.
    QTcpServer markerListener;
    QUdpSocket markerPeer;
    QVERIFY(udp ? markerPeer.bind(QHostAddress::LocalHost, 0) : markerListener.listen(QHostAddress::LocalHost, 0));
    const quint16 markerPort = udp ? markerPeer.localPort() : markerListener.serverPort();

    QTemporaryDir app;
    const QByteArray type = udp ? "1" : "0";
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")),
              iniFor("[Net_Port_3]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=127.0.0.1\r\nNetwork_Port=" + number
                     + "\r\nNetwork_Port_Type=" + type + "\r\n[Net_Port_4]\r\nHardware_Enabled=1\r\nID_Number=2\r\n"
                     "Network_IP_Address=127.0.0.1\r\nNetwork_Port=" + QByteArray::number(markerPort)
                     + "\r\nNetwork_Port_Type=" + type + "\r\n")));
    // The whole server: its settings load is what reports the port.
    TestServer server(app.path());
    server.Start();
    RouterLinks &links = server.routerLinks();
    links.QueueNetCommand(3, "@ X:0/1,2\r");
    links.QueueNetCommand(4, "@ X:0/1,3\r");
    for (int pass = 0; pass < 3; ++pass)
        links.netLinkPass();

    // Asks the kernel, not the event loop, so what arrived before the
    // marker is seen.
    const auto arrived = [&] {
        if (udp)
            return peer.hasPendingDatagrams();
        return listener.hasPendingConnections() || listener.waitForNewConnection(0);
    };
    if (udp)
        QTRY_VERIFY_WITH_TIMEOUT(markerPeer.hasPendingDatagrams(), 5000);
    else
        QTRY_VERIFY_WITH_TIMEOUT(markerListener.hasPendingConnections(), 5000);
    if (reaches)
        QTRY_VERIFY_WITH_TIMEOUT(arrived(), 5000);
    else
        QVERIFY(!arrived());

    const QByteArray line = "WREN.INI: [Net_Port_3] Network_Port: " + number
                            + " is not a port number (1 to 65535); the port is not used";
    QCOMPARE(int(logEntries(app.path(), "Error").count(line)), logged ? 1 : 0);
    // A port that takes no part is never reported, up or down.
    for (const QByteArray &entry : logEntries(app.path(), "Error"))
        QVERIFY2(reaches || !entry.startsWith("Communication"), entry.constData());

    // Each load of the settings says it once more.
    QVERIFY(server.reloadSettings());
    links.netLinkPass();
    links.netLinkPass();
    QCOMPARE(int(logEntries(app.path(), "Error").count(line)), logged ? 2 : 0);
}

// Another socket holds the address the network port must bind to.
void TestLinks::udpBindFailureIsLogged()
{
    QUdpSocket holder;
    QVERIFY(holder.bind(QHostAddress::LocalHost, 0, QAbstractSocket::DontShareAddress));
    QTemporaryDir app;
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")),
              iniFor("[Net_Port_2]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=127.0.0.1\r\nNetwork_Port=9\r\n"
                     "Network_Port_Type=1\r\n")));
    LinksFixture fx(app.path());
    fx.links.setUdpLocalEndpoint(QHostAddress::LocalHost, holder.localPort());
    fx.start();
    fx.links.netLinkPass();
    fx.links.netLinkPass();
    QList<QByteArray> lines;
    for (const QByteArray &entry : logEntries(app.path(), "Error")) {
        if (entry.startsWith("Network port 2: the UDP socket could not be bound ("))
            lines.append(entry);
    }
    QCOMPARE(lines.size(), 1);
}

// One rule for a network port's address, the window's and --check-config's
// too: TCP takes an address or a host name it looks up, UDP only an IPv4
// address. A port whose address breaks it is not used, and that is logged
// once per settings load.
void TestLinks::networkAddressRule_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("udp");
    QTest::addColumn<bool>("accepted");
    for (const bool udp : {false, true}) {
        const char *t = udp ? "UDP" : "TCP";
        QTest::addRow("%s IPv4", t) << "127.0.0.1" << udp << true;
        QTest::addRow("%s host name", t) << "router-1.studio.example" << udp << !udp;
        QTest::addRow("%s one label", t) << "vtr4" << udp << !udp;
        QTest::addRow("%s IPv6", t) << "::1" << udp << !udp;
        QTest::addRow("%s octet above 255", t) << "127.0.0.256" << udp << false;
        QTest::addRow("%s leading zero", t) << "127.0.0.01" << udp << false;
        QTest::addRow("%s short form", t) << "127.1" << udp << false;
        QTest::addRow("%s underscore", t) << "router_1" << udp << false;
        QTest::addRow("%s label ends in -", t) << "router-.example" << udp << false;
        QTest::addRow("%s space", t) << "router 1" << udp << false;
        QTest::addRow("%s label of 64", t) << QString(64, QLatin1Char('a')) + QStringLiteral(".example") << udp << false;
        QTest::addRow("%s not ASCII", t) << QStringLiteral("routér") << udp << false;
    }
}

void TestLinks::networkAddressRule()
{
    QFETCH(QString, address);
    QFETCH(bool, udp);
    QFETCH(bool, accepted);
    QCOMPARE(isNetPortAddress(address, udp), accepted);
    if (accepted)
        return;

    QTemporaryDir app;
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")),
                      iniFor("[Net_Port_3]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=" + address.toUtf8()
                             + "\r\nNetwork_Port=9\r\nNetwork_Port_Type=" + (udp ? "1" : "0") + "\r\n")));
    TestServer server(app.path());
    server.Start();
    RouterLinks &links = server.routerLinks();
    links.QueueNetCommand(3, "@ X:0/1,2\r");
    for (int pass = 0; pass < 3; ++pass)
        links.netLinkPass();
    const QByteArray line = "WREN.INI: [Net_Port_3] Network_IP_Address: \"" + address.toUtf8() + "\" is not "
                            + (udp ? "an IP address (UDP sends to an address only)" : "an IP address or host name")
                            + "; the port is not used";
    QCOMPARE(int(logEntries(app.path(), "Error").count(line)), 1);
    QCOMPARE(links.netSocketState(3), NetSocketState::Closed);
    for (const QByteArray &entry : logEntries(app.path(), "Error"))
        QVERIFY2(!entry.startsWith("Communication"), entry.constData());
}

QTEST_GUILESS_MAIN(TestLinks)
#include "tst_links.moc"
