#include "clients/client_protocol.h"
#include "clients/client_table.h"
#include "clients/request_framer.h"
#include "test_support.h"

#include <QRegularExpression>
#include <QSet>
#include <QtTest>

#include <algorithm>
#include <tuple>
#include <vector>

using namespace marlin;
using testsupport::bytes;
using Silence = RequestFramer::Silence;
constexpr Silence None = Silence::None;
constexpr Silence Quiet = Silence::Quiet;
constexpr Silence Long = Silence::Long;
Q_DECLARE_METATYPE(Silence)

namespace {

// Stands in for the server: real tables, and a record of every call that
// leaves them (queues, logs, reloads, view refreshes) in the order made.
class TestHost : public ClientProtocolHost {
public:
    ClientTable clients;
    RouterStateArray states;
    bool reloadsSucceed = true;
    bool takesNothing = false;   // a standby server
    QStringList events;
    int takes = 0;

    ClientTable &clientTable() override { return clients; }
    RouterStateArray &routerStates() override { return states; }
    bool take(const PanelTake &take) override
    {
        if (takesNothing)
            return false;
        ++takes;
        events << QStringLiteral("take r=%1 s=%2 d=%3 [%4] %5")
                      .arg(take.router)
                      .arg(take.source)
                      .arg(take.destination)
                      .arg(take.comment, QString::fromLatin1(take.takeString.mid(10, 8)));
        return true;
    }
    void writeErrorLog(const QString &text) override { events << QStringLiteral("error ") + text; }
    bool reloadRouterTables() override { return reload("reloadRouterTables"); }
    bool reloadSettings() override { return reload("reloadSettings"); }
    bool reloadUsers() override { return reload("reloadUsers"); }
    void refreshRouterView() override { events << QStringLiteral("refreshRouterView"); }

    QStringList errors() const { return events.filter(QRegularExpression("^error ")); }

private:
    bool reload(const char *what)
    {
        events << QString::fromLatin1(what);
        return reloadsSucceed;
    }
};

QByteArray request(const QByteArray &sequence, int requestClass, int command, int router,
                   const QByteArray &payload = {})
{
    return sequence + bytes({requestClass, command, router}) + payload;
}

QByteArray ack(int router) { return bytes({0x10, 0x01, router}); }
QByteArray notHandled() { return bytes({0x11, 0x12}); }

// "C ", levels 0 and 1, source and destination fields, two labels, comment.
QByteArray takeString(const QByteArray &source4, const QByteArray &dest4,
                      const QByteArray &comment = {})
{
    return "C 11000000" + source4 + dest4 + "CAM 1   " + "MON 3   " + comment;
}

// One panel connection: each ask() carries a new sequence and returns the
// reply body, so tests compare bodies while the sequence echo is checked
// here once.
struct Panel {
    TestHost &host;
    int port = 4000;
    QString ip = QStringLiteral("10.0.0.9");
    int socket = 5;
    quint32 counter = 0x51000000;

    std::optional<QByteArray> raw(const QByteArray &bytes, double now = 100.0)
    {
        return HandleClientRequest(host, socket, ip, port, bytes, now);
    }

    QByteArray ask(int command, int router = 1, const QByteArray &payload = {},
                   int requestClass = 0xE1)
    {
        ++counter;
        const QByteArray sequence = bytes({int(counter >> 24), int(counter >> 16) & 0xFF,
                                           int(counter >> 8) & 0xFF, int(counter & 0xFF)});
        const auto reply = raw(request(sequence, requestClass, command, router, payload));
        if (!reply)
            return "<no reply>";
        if (!reply->startsWith(sequence))
            return "<wrong sequence>" + *reply;
        return reply->mid(4);
    }
};

QByteArray flags(std::initializer_list<int> positions1to8) { return bytes(positions1to8); }

bool sameStates(const RouterStateArray &a, const RouterStateArray &b)
{
    const auto fields = [](const RouterState &s) {
        return std::tie(s.StatusReceived, s.CommOK, s.Spare1, s.Spare2, s.CurrentSource,
                        s.HighPriority, s.PollIndex, s.PollActive, s.PrioritySource, s.LinkPort);
    };
    return std::equal(a.begin(), a.end(), b.begin(), [&](const RouterState &x, const RouterState &y) {
        return fields(x) == fields(y);
    });
}

} // namespace

class TestClientProtocol : public QObject {
    Q_OBJECT

private slots:
    void commandTable_data();
    void commandTable();
    void repeatedSequence_data();
    void repeatedSequence();
    void sequenceComparedWithLastRequestOnly();
    void requestKeepsItsPanelsRecord();
    void shortRequests_data();
    void shortRequests();
    void statusDrain_data();
    void statusDrain();
    void newClientDrainsWorkingRouters();
    void oneByteFormCannotCarrySourceAbove255();
    void statusBlock_data();
    void statusBlock();
    void take_data();
    void take();
    void highPriority_data();
    void highPriority();
    void cutNumbersNeverRun_data();
    void cutNumbersNeverRun();
    void changeFlagsReportedOnce();
    void fullRefreshLeavesPosition1();
    void clientLookup_data();
    void clientLookup();
    void newRecordStartsWithWorkingRouters();
    void sixtyFifthClientGetsNoReply();
    void liveClientCount();
    void notificationsWithoutLiveRecords();
    void notifyRouterChangedBounds_data();
    void notifyRouterChangedBounds();
    void routerFlagsAreLevels();
    void tablesChangeReachesOnlyLiveRecords();
    void nextChangedRouter();
    void markAllRoutersChanged();
    void framer_data();
    void framer();
    void framerCapsFlood();
};

// Every command code once, from a fresh panel, with no router working so
// nothing is pending beyond position 1.
void TestClientProtocol::commandTable_data()
{
    QTest::addColumn<int>("requestClass");
    QTest::addColumn<int>("command");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("reloadsSucceed");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("events");

    for (int code : {0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x90, 0xB1, 0xB2})
        QTest::addRow("no-op %02X", code) << 0xE1 << code << QByteArray() << true << ack(3)
                                         << QStringList();
    QTest::newRow("no-op ignores payload")
        << 0xE1 << 0x84 << QByteArray("anything") << true << ack(3) << QStringList();
    QTest::newRow("full refresh") << 0xE1 << 0x91 << QByteArray() << true << ack(3)
                                  << QStringList();
    QTest::newRow("poll change flags")
        << 0xE1 << 0xA1 << QByteArray() << true
        << bytes({0xFF, 0xA1, 3}) + flags({1, 0, 0, 0, 0, 0, 0, 0}) << QStringList();
    QTest::newRow("reload router tables")
        << 0xE1 << 0xA2 << QByteArray() << true << ack(3) << QStringList{"reloadRouterTables"};
    QTest::newRow("reload settings")
        << 0xE1 << 0xA3 << QByteArray() << true << ack(3) << QStringList{"reloadSettings"};
    QTest::newRow("reload users")
        << 0xE1 << 0xA4 << QByteArray() << true << ack(3) << QStringList{"reloadUsers"};
    QTest::newRow("reload users with an undecodable record")
        << 0xE1 << 0xA4 << QByteArray() << false << ack(3)
        << QStringList{"reloadUsers", "error Data Arrival Error.Reload incomplete 6"};
    QTest::newRow("take")
        << 0xE1 << 0xA5 << takeString("0002", "0004", "note") << true << ack(3)
        << QStringList{"take r=3 s=2 d=4 [note] 00020004"};
    QTest::newRow("next status one-byte, nothing pending")
        << 0xE1 << 0xA6 << QByteArray() << true << ack(3) << QStringList();
    QTest::newRow("next status two-byte, nothing pending")
        << 0xE1 << 0xA8 << QByteArray() << true << ack(3) << QStringList();
    QTest::newRow("high priority")
        << 0xE1 << 0xAA << bytes({5, 1}) << true << ack(3) << QStringList{"refreshRouterView"};
    for (int code : {0xA7, 0xA9, 0x00, 0x83, 0x92, 0xA0, 0xAB, 0xB0, 0xB3, 0xFF})
        QTest::addRow("unknown %02X", code) << 0xE1 << code << QByteArray() << true
                                           << notHandled() << QStringList();
    QTest::newRow("class E0") << 0xE0 << 0xA2 << QByteArray() << true << notHandled()
                              << QStringList();
    QTest::newRow("class 00") << 0x00 << 0x84 << QByteArray() << true << notHandled()
                              << QStringList();
    QTest::newRow("class FF") << 0xFF << 0xA2 << QByteArray() << true << ack(3)
                              << QStringList{"reloadRouterTables"};
}

void TestClientProtocol::commandTable()
{
    QFETCH(int, requestClass);
    QFETCH(int, command);
    QFETCH(QByteArray, payload);
    QFETCH(bool, reloadsSucceed);
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, events);

    TestHost host;
    host.reloadsSucceed = reloadsSucceed;
    Panel panel{host};
    QCOMPARE(panel.ask(command, 3, payload, requestClass), reply);
    QCOMPARE(host.events, events);
}

// The same request twice: the second runs nothing and gets the first reply
// byte for byte.
void TestClientProtocol::repeatedSequence_data()
{
    QTest::addColumn<QByteArray>("request");

    const QByteArray seq("\x00\x00\x00\x07", 4);
    QTest::newRow("take") << request(seq, 0xE1, 0xA5, 2, takeString("0001", "0002", "x"));
    QTest::newRow("high priority") << request(seq, 0xE1, 0xAA, 2, bytes({9, 1}));
    QTest::newRow("reload tables") << request(seq, 0xE1, 0xA2, 2);
    QTest::newRow("status drain step") << request(seq, 0xE1, 0xA6, 2);
    QTest::newRow("two-byte drain step") << request(seq, 0xE1, 0xA8, 2);
    QTest::newRow("change flag poll") << request(seq, 0xE1, 0xA1, 2);
    QTest::newRow("class E0") << request(seq, 0xE0, 0xA2, 2);
    QTest::newRow("failing step") << request(seq, 0xE1, 0xAA, 97, bytes({9, 1}));
}

void TestClientProtocol::repeatedSequence()
{
    QFETCH(QByteArray, request);

    TestHost host;
    host.states[2].CommOK = true;
    host.states[5].CommOK = true;
    Panel panel{host};
    QCOMPARE(FindOrCreateClient(host.clients, host.states, panel.socket, panel.ip, panel.port,
                                100.0),
             1);
    NotifyTablesChanged(host.clients);

    const auto first = panel.raw(request);
    QVERIFY(first);
    QVERIFY(first->startsWith(request.left(4)));
    const QStringList eventsAfterFirst = host.events;
    const ClientTable clientsAfterFirst = host.clients;
    const RouterStateArray statesAfterFirst = host.states;

    const auto second = panel.raw(request);
    QCOMPARE(second, first);
    QVERIFY(host.clients == clientsAfterFirst);
    QVERIFY(sameStates(host.states, statesAfterFirst));
    // Nothing runs again, so a failing step is not logged again either.
    QCOMPARE(host.events, eventsAfterFirst);
}

void TestClientProtocol::sequenceComparedWithLastRequestOnly()
{
    TestHost host;
    Panel panel{host};
    const QByteArray a = request("AAAA", 0xE1, 0xA5, 2, takeString("0001", "0002"));
    const QByteArray b = request("BBBB", 0xE1, 0x84, 2);
    QVERIFY(panel.raw(a));
    QVERIFY(panel.raw(b));
    QVERIFY(panel.raw(a));
    QCOMPARE(host.events.filter("take").size(), 2);

    // Another panel may use the same sequence as this one.
    Panel other{host, 4001};
    QCOMPARE(other.raw(a).value_or("<no reply>"), "AAAA" + ack(2));
    QCOMPARE(host.events.filter("take").size(), 3);
}

// Every request a panel makes counts as its connection being heard from:
// once all 64 records belong to open connections, a newcomer is given the
// record of one that has gone quiet, never that of a panel that has just
// asked something, even when it connected first.
void TestClientProtocol::requestKeepsItsPanelsRecord()
{
    TestHost host;
    std::vector<Panel> panels;
    for (int i = 0; i < kClientCount; ++i) {
        panels.push_back(Panel{host, 4000 + i});
        QCOMPARE(panels.back().raw(request("OPEN", 0xE1, 0x84, 1), 10.0).has_value(), true);
    }
    // The first panel to connect keeps asking; every other one falls quiet.
    Panel &busy = panels.front();
    QVERIFY(busy.raw(request("SEQ1", 0xE1, 0xAA, 6, bytes({40, 1})), 65.0));
    QVERIFY(host.states[6].HighPriority[40]);

    Panel newcomer{host, 5000};
    QCOMPARE(newcomer.ask(0x84, 1), ack(1));   // heard at 100 s: the others are 90 s quiet
    // The busy panel still has its record: its repeated request is answered
    // from it, and the hold is not run a second time.
    host.events.clear();
    QCOMPARE(busy.raw(request("SEQ1", 0xE1, 0xAA, 6, bytes({40, 1})), 101.0).value_or("<no reply>"),
             "SEQ1" + ack(6));
    QVERIFY(host.events.isEmpty());
    // The quiet panel that lost its record to the newcomer starts afresh.
    QCOMPARE(panels[1].raw(request("OPEN", 0xE1, 0x84, 1), 102.0).value_or("<no reply>"), "OPEN" + ack(1));
}

// A request that ends before its router byte is never run, whatever its
// class and command bytes say; the panel gets the not-handled reply and the
// error log gets one line for each arrival.
void TestClientProtocol::shortRequests_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("1 byte") << QByteArray("S") << QByteArray("S") + notHandled();
    QTest::newRow("4 bytes") << QByteArray("SEQ9") << QByteArray("SEQ9") + notHandled();
    QTest::newRow("class only") << QByteArray("SEQ9\xE1") << QByteArray("SEQ9") + notHandled();
    QTest::newRow("reload without router") << QByteArray("SEQ9\xE1\xA2")
                                           << QByteArray("SEQ9") + notHandled();
    QTest::newRow("poll without router") << QByteArray("SEQ9\xE1\xA1")
                                         << QByteArray("SEQ9") + notHandled();
}

void TestClientProtocol::shortRequests()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);

    TestHost host;
    Panel panel{host};
    const QString line = QStringLiteral("error Data Arrival Error.Request too short 1");
    QCOMPARE(panel.raw(request).value_or("<no reply>"), reply);
    QCOMPARE(host.events, QStringList{line});
    QCOMPARE(panel.raw(request).value_or("<no reply>"), reply);
    QCOMPARE(host.events, (QStringList{line, line}));
    QVERIFY(pendingFlag(host.clients[1], FlagRouterPending));
}

// Status before priority, lowest router first, then the acknowledge reply
// that clears position 1.
void TestClientProtocol::statusDrain_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("statusLength");
    QTest::addColumn<QByteArray>("sourceEntries");   // destinations 1, 2 and 256

    QTest::newRow("one-byte") << 0xA6 << 261 << bytes({7, 255, 200});
    QTest::newRow("two-byte") << 0xA8 << 517 << bytes({0, 7, 0, 255, 0, 200});
}

void TestClientProtocol::statusDrain()
{
    QFETCH(int, command);
    QFETCH(int, statusLength);
    QFETCH(QByteArray, sourceEntries);

    TestHost host;
    Panel panel{host};
    QVERIFY(panel.ask(0xA6, 1).startsWith(ack(1)));   // drains the new record

    RouterState &three = host.states[3];
    three.StatusReceived = true;
    three.LinkPort = 12;
    three.CurrentSource[1] = 7;
    three.CurrentSource[2] = 255;
    three.CurrentSource[256] = 200;
    host.states[1].HighPriority[2] = true;
    host.states[1].HighPriority[256] = true;
    QVERIFY(NotifyRouterChanged(host.clients, 3, false));
    QVERIFY(NotifyRouterChanged(host.clients, 1, true));

    const QByteArray status = panel.ask(command, 50);
    QCOMPARE(status.left(3), bytes({0xFF, command, 3}));
    QCOMPARE(status.size() - 3, statusLength);
    const QByteArray block = status.mid(3);
    QCOMPARE(block.left(5), bytes({1, 0, 12, 0, 0}));
    const int width = (statusLength - 5) / 256;
    QCOMPARE(block.mid(5, 2 * width), sourceEntries.left(2 * width));
    QCOMPARE(block.right(width), sourceEntries.right(width));

    const QByteArray priority = panel.ask(command, 50);
    QCOMPARE(priority.left(3), bytes({0xFF, command + 1, 1}));
    QCOMPARE(priority.size() - 3, 261);
    QCOMPARE(priority.mid(3 + 5, 3), bytes({0, 1, 0}));
    QCOMPARE(priority.right(1), bytes({1}));

    QCOMPARE(panel.ask(command, 50), ack(50));
    QCOMPARE(panel.ask(0xA1, 50), bytes({0xFF, 0xA1, 50}) + flags({0, 0, 0, 0, 0, 0, 0, 0}));
    QVERIFY(host.errors().isEmpty());
}

void TestClientProtocol::newClientDrainsWorkingRouters()
{
    TestHost host;
    host.states[5].CommOK = true;
    host.states[2].CommOK = true;
    host.states[96].CommOK = true;
    Panel panel{host};

    QList<QByteArray> heads;
    for (int i = 0; i < 7; ++i)
        heads << panel.ask(0xA6, 9).left(3);
    const QList<QByteArray> expected{
        bytes({0xFF, 0xA6, 2}),  bytes({0xFF, 0xA6, 5}),  bytes({0xFF, 0xA6, 96}),
        bytes({0xFF, 0xA7, 2}),  bytes({0xFF, 0xA7, 5}),  bytes({0xFF, 0xA7, 96}),
        ack(9)};
    QCOMPARE(heads, expected);
}

// A source that one byte cannot carry fails the step: the panel gets the
// not-handled reply, the router's flag is gone and the failure is logged.
void TestClientProtocol::oneByteFormCannotCarrySourceAbove255()
{
    TestHost host;
    Panel panel{host};
    QCOMPARE(panel.ask(0xA6, 4), ack(4));
    host.states[4].CurrentSource[10] = 300;
    NotifyRouterChanged(host.clients, 4, false);
    NotifyRouterChanged(host.clients, 6, false);

    QCOMPARE(panel.ask(0xA6, 4), notHandled());
    QCOMPARE(host.errors(),
             QStringList{"error Data Arrival Error.Value does not fit in a byte 4"});
    QCOMPARE(panel.ask(0xA6, 4).left(3), bytes({0xFF, 0xA6, 6}));
    QCOMPARE(panel.ask(0xA6, 4), ack(4));

    NotifyRouterChanged(host.clients, 4, false);
    const QByteArray twoByte = panel.ask(0xA8, 4);
    QCOMPARE(twoByte.size(), 3 + 517);
    QCOMPARE(twoByte.mid(3 + 5 + 9 * 2, 2), bytes({0x01, 0x2C}));
    QCOMPARE(host.errors().size(), 1);
}

void TestClientProtocol::statusBlock_data()
{
    QTest::addColumn<bool>("twoByte");
    QTest::addColumn<bool>("priority");
    QTest::addColumn<int>("linkPort");
    QTest::addColumn<int>("sourceOfFirst");
    QTest::addColumn<int>("sourceOfLast");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("head");   // header and destination 1
    QTest::addColumn<QByteArray>("tail");   // destination 256

    // Router state besides the columns: CommOK, not StatusReceived,
    // destination 1 held at high priority.
    QTest::newRow("one-byte") << false << false << 96 << 1 << 255 << true
                              << bytes({0, 1, 96, 0, 0, 1}) << bytes({255});
    QTest::newRow("one-byte, source unknown") << false << false << 0 << 0 << 0 << true
                                              << bytes({0, 1, 0, 0, 0, 0}) << bytes({0});
    QTest::newRow("one-byte, source 256") << false << false << 1 << 1 << 256 << false
                                          << QByteArray() << QByteArray();
    QTest::newRow("one-byte, negative source") << false << false << 1 << -1 << 1 << false
                                               << QByteArray() << QByteArray();
    QTest::newRow("one-byte, link port above 255") << false << false << 300 << 1 << 1 << false
                                                   << QByteArray() << QByteArray();
    QTest::newRow("two-byte") << true << false << 7 << 1 << 256 << true
                              << bytes({0, 1, 7, 0, 0, 0, 1}) << bytes({1, 0});
    QTest::newRow("two-byte, large source") << true << false << 7 << 0x1234 << 65535 << true
                                            << bytes({0, 1, 7, 0, 0, 0x12, 0x34})
                                            << bytes({0xFF, 0xFF});
    QTest::newRow("two-byte, sources 255 and 300") << true << false << 7 << 255 << 300 << true
                                                   << bytes({0, 1, 7, 0, 0, 0, 0xFF}) << bytes({1, 0x2C});
    QTest::newRow("two-byte, source 65536") << true << false << 7 << 1 << 65536 << false
                                            << QByteArray() << QByteArray();
    QTest::newRow("two-byte, negative source") << true << false << 7 << 3 << -2 << false
                                               << QByteArray() << QByteArray();
    QTest::newRow("one-byte priority ignores sources")
        << false << true << 7 << 300 << -5 << true << bytes({0, 1, 7, 0, 0, 1}) << bytes({0});
    QTest::newRow("two-byte priority ignores sources")
        << true << true << 7 << 300 << -5 << true << bytes({0, 1, 7, 0, 0, 1}) << bytes({0});
}

void TestClientProtocol::statusBlock()
{
    QFETCH(bool, twoByte);
    QFETCH(bool, priority);
    QFETCH(int, linkPort);
    QFETCH(int, sourceOfFirst);
    QFETCH(int, sourceOfLast);
    QFETCH(bool, ok);
    QFETCH(QByteArray, head);
    QFETCH(QByteArray, tail);

    RouterState state;
    state.CommOK = true;
    state.LinkPort = linkPort;
    state.HighPriority[1] = true;
    state.CurrentSource[1] = sourceOfFirst;
    state.CurrentSource[256] = sourceOfLast;
    for (int d = 2; d < 256; ++d)
        state.CurrentSource[d] = d;   // fits either form

    bool built = !ok;
    const QByteArray block = twoByte ? BuildStatusTwoByte(state, priority, &built)
                                     : BuildStatusOneByte(state, priority, &built);
    QCOMPARE(built, ok);
    if (!ok) {
        QVERIFY(block.isEmpty());
        return;
    }
    QCOMPARE(block.size(), twoByte && !priority ? 517 : 261);
    QCOMPARE(block.left(head.size()), head);
    QCOMPARE(block.right(tail.size()), tail);
    if (!priority) {
        const int width = twoByte ? 2 : 1;
        QCOMPARE(block.mid(5 + 99 * width, width), twoByte ? bytes({0, 100}) : bytes({100}));
    }
}

// Every take is acknowledged and handed to the server whole, with the
// numbers and comment read from it; the server decides where it goes and
// what it records. A field that is no number or a destination below 0 is
// a failure of the request all the same.
void TestClientProtocol::take_data()
{
    QTest::addColumn<int>("router");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QStringList>("events");

    QTest::newRow("spaced comment")
        << 4 << takeString("0003", "0005", "   Studio 2 news  ")
        << QStringList{"take r=4 s=3 d=5 [Studio 2 news] 00030005"};
    QTest::newRow("no comment") << 4 << takeString("0012", "0256") << QStringList{"take r=4 s=12 d=256 [] 00120256"};
    QTest::newRow("comment in Windows-1252")
        << 4 << takeString("0001", "0001", "caf\xE9 \x80 5")
        << QStringList{QString::fromUtf8("take r=4 s=1 d=1 [café € 5] 00010001")};
    QTest::newRow("destination 300") << 4 << takeString("0007", "0300", "far")
                                     << QStringList{"take r=4 s=7 d=300 [far] 00070300"};
    QTest::newRow("spaces inside numbers")
        << 4 << takeString(" 1 2", "  9 ") << QStringList{"take r=4 s=12 d=9 []  1 2  9 "};
    QTest::newRow("reading stops at other characters")
        << 4 << takeString("12ab", "3x4 ") << QStringList{"take r=4 s=12 d=3 [] 12ab3x4 "};
    QTest::newRow("source field empty")
        << 4 << takeString("    ", "0008") << QStringList{"take r=4 s=0 d=8 []     0008"};
    QTest::newRow("numbers only, no labels")
        << 4 << QByteArray("C 1100000000030017") << QStringList{"take r=4 s=3 d=17 [] 00030017"};
    QTest::newRow("destination 0000") << 4 << takeString("0003", "0000") << QStringList{"take r=4 s=3 d=0 [] 00030000"};
    QTest::newRow("negative destination")
        << 4 << takeString("0003", "-002")
        << QStringList{"take r=4 s=3 d=-2 [] 0003-002", "error Data Arrival Error.Destination out of range 3"};
    QTest::newRow("source too large for a number")
        << 4 << takeString("1E99", "0005")
        << QStringList{"take r=4 s=0 d=5 [] 1E990005", "error Data Arrival Error.Number does not fit 5"};
    QTest::newRow("router 0") << 0 << takeString("0003", "0005") << QStringList{"take r=0 s=3 d=5 [] 00030005"};
    QTest::newRow("router 97")
        << 97 << takeString("0003", "0005")
        << QStringList{"take r=97 s=3 d=5 [] 00030005", "error Data Arrival Error.Router out of range 2"};
}

void TestClientProtocol::take()
{
    QFETCH(int, router);
    QFETCH(QByteArray, payload);
    QFETCH(QStringList, events);

    TestHost host;
    host.states[4].PrioritySource[5] = 77;
    host.states[4].HighPriority[5] = true;
    const RouterStateArray before = host.states;

    Panel panel{host};
    QCOMPARE(panel.ask(0xA5, router, payload), ack(router));
    QCOMPARE(host.events, events);
    // The request itself records nothing: the server does.
    QVERIFY(sameStates(host.states, before));

    // A server that takes nothing now (a standby) leaves the take
    // not-handled, with no failure logged.
    TestHost standby;
    standby.takesNothing = true;
    Panel spare{standby};
    QCOMPARE(spare.ask(0xA5, router, payload), notHandled());
    QVERIFY(standby.events.isEmpty());
}

void TestClientProtocol::highPriority_data()
{
    QTest::addColumn<int>("router");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("heldBefore");
    QTest::addColumn<bool>("heldAfter");      // destination payload[0] of router
    QTest::addColumn<bool>("othersNotified"); // PriorityChanged of router and position 1
    QTest::addColumn<QString>("error");

    QTest::newRow("set") << 4 << bytes({5, 1}) << false << true << true << QString();
    QTest::newRow("clear with 0") << 4 << bytes({5, 0}) << true << false << true << QString();
    QTest::newRow("clear with 2") << 4 << bytes({5, 2}) << true << false << true << QString();
    QTest::newRow("set destination 255")
        << 96 << bytes({255, 1}) << false << true << true << QString();
    QTest::newRow("extra payload ignored")
        << 4 << bytes({5, 1, 9, 9}) << false << true << true << QString();
    QTest::newRow("destination 0") << 4 << bytes({0, 1}) << false << false << true << QString();
    QTest::newRow("router 0") << 0 << bytes({5, 1}) << false << false << true << QString();
    QTest::newRow("router 97") << 97 << bytes({5, 1}) << false << false << false
                               << "Data Arrival Error.Router out of range 2";
    QTest::newRow("router 255") << 255 << bytes({5, 1}) << false << false << false
                                << "Data Arrival Error.Router out of range 2";
}

void TestClientProtocol::highPriority()
{
    QFETCH(int, router);
    QFETCH(QByteArray, payload);
    QFETCH(bool, heldBefore);
    QFETCH(bool, heldAfter);
    QFETCH(bool, othersNotified);
    QFETCH(QString, error);

    TestHost host;
    const int d = payload.isEmpty() ? 0 : static_cast<unsigned char>(payload[0]);
    const int r = isRouterNumber(router) ? router : 1;
    host.states[r].HighPriority[d] = heldBefore;
    const int other = FindOrCreateClient(host.clients, host.states, 9, "10.0.0.2", 1, 0);
    setPendingFlag(host.clients[other], FlagRouterPending, false);
    RouterStateArray expectedStates = host.states;
    expectedStates[r].HighPriority[d] = isRouterNumber(router) ? heldAfter : heldBefore;

    Panel panel{host};
    QCOMPARE(panel.ask(0xAA, router, payload), ack(router));
    QVERIFY(sameStates(host.states, expectedStates));
    // Router 0 has no flags of its own; it only raises position 1.
    QCOMPARE(host.clients[other].PriorityChanged[r], othersNotified && isRouterNumber(router));
    QCOMPARE(pendingFlag(host.clients[other], FlagRouterPending), othersNotified);
    QCOMPARE(host.clients[other].StatusChanged[r], false);
    QStringList events{"refreshRouterView"};
    if (!error.isEmpty())
        events << "error " + error;
    QCOMPARE(host.events, events);
}

// A take short of its first 18 characters or a hold short of its two
// payload bytes would run on a number cut in half (destination "001" of
// "0017" reads as 1): neither runs, the panel gets the not-handled reply
// and the error log says the request was too short.
void TestClientProtocol::cutNumbersNeverRun_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<QByteArray>("payload");

    const QByteArray take = "C 1100000000030017";
    QTest::newRow("take cut in its destination") << 0xA5 << take.left(17);
    QTest::newRow("take cut after its source") << 0xA5 << take.left(14);
    QTest::newRow("take cut in its source") << 0xA5 << take.left(12);
    QTest::newRow("take cut in its levels") << 0xA5 << take.left(5);
    QTest::newRow("take without take string") << 0xA5 << QByteArray();
    QTest::newRow("hold without flag byte") << 0xAA << bytes({5});
    QTest::newRow("hold without payload") << 0xAA << QByteArray();
}

void TestClientProtocol::cutNumbersNeverRun()
{
    QFETCH(int, command);
    QFETCH(QByteArray, payload);

    TestHost host;
    host.states[4].HighPriority[5] = true;
    host.states[4].PrioritySource[1] = 9;
    const int other = FindOrCreateClient(host.clients, host.states, 9, "10.0.0.2", 1, 0);
    setPendingFlag(host.clients[other], FlagRouterPending, false);
    const RouterStateArray before = host.states;

    Panel panel{host};
    QCOMPARE(panel.ask(command, 4, payload), notHandled());
    QCOMPARE(host.events, QStringList{"error Data Arrival Error.Request too short 1"});
    QCOMPARE(host.takes, 0);
    QVERIFY(sameStates(host.states, before));
    QCOMPARE(pendingFlag(host.clients[other], FlagRouterPending), false);

    // The whole request, sent next, runs.
    host.events.clear();
    const QByteArray whole = command == 0xA5 ? QByteArray("C 1100000000030017") : bytes({5, 0});
    QCOMPARE(panel.ask(command, 4, whole), ack(4));
    QVERIFY(host.errors().isEmpty());
}

void TestClientProtocol::changeFlagsReportedOnce()
{
    TestHost host;
    Panel panel{host};
    panel.ask(0x84);
    NotifyTablesChanged(host.clients);
    NotifySettingsChanged(host.clients);
    NotifyUsersChanged(host.clients);
    QCOMPARE(panel.ask(0xA1, 8), bytes({0xFF, 0xA1, 8}) + flags({1, 1, 1, 1, 0, 0, 0, 0}));
    QCOMPARE(panel.ask(0xA1, 8), bytes({0xFF, 0xA1, 8}) + flags({1, 0, 0, 0, 0, 0, 0, 0}));

    // A panel's own reload is reported to it as well as to the others.
    Panel other{host, 4001};
    QCOMPARE(other.ask(0xA1, 1), bytes({0xFF, 0xA1, 1}) + flags({1, 0, 0, 0, 0, 0, 0, 0}));
    QCOMPARE(panel.ask(0xA3, 8), ack(8));
    QCOMPARE(panel.ask(0xA1, 8), bytes({0xFF, 0xA1, 8}) + flags({1, 0, 1, 0, 0, 0, 0, 0}));
    QCOMPARE(other.ask(0xA1, 1), bytes({0xFF, 0xA1, 1}) + flags({1, 0, 1, 0, 0, 0, 0, 0}));
}

void TestClientProtocol::fullRefreshLeavesPosition1()
{
    TestHost host;
    host.states[3].CommOK = true;
    Panel panel{host};
    // Router 3 in both kinds, then the acknowledge; a drain that never ends
    // fails here instead of hanging.
    int replies = 0;
    while (panel.ask(0xA8, 1) != ack(1))
        QVERIFY2(++replies <= 2 * kRouterCount, "the drain does not end");
    QCOMPARE(panel.ask(0x91, 1), ack(1));
    QCOMPARE(panel.ask(0xA1, 1), bytes({0xFF, 0xA1, 1}) + flags({0, 0, 0, 0, 0, 0, 0, 0}));
    QCOMPARE(panel.ask(0xA8, 1).left(3), bytes({0xFF, 0xA8, 3}));
    QCOMPARE(panel.ask(0xA8, 1).left(3), bytes({0xFF, 0xA9, 3}));
    QCOMPARE(panel.ask(0xA8, 1), ack(1));
}

// A second connection compared with a first one from socket 5,
// 10.0.0.9:4000.
void TestClientProtocol::clientLookup_data()
{
    QTest::addColumn<int>("socket");
    QTest::addColumn<QString>("ip");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("record");

    QTest::newRow("same connection") << 5 << "10.0.0.9" << 4000 << 1;
    QTest::newRow("same host, other port") << 5 << "10.0.0.9" << 4001 << 2;
    QTest::newRow("same address and port, other socket") << 6 << "10.0.0.9" << 4000 << 2;
    QTest::newRow("other host") << 5 << "10.0.0.10" << 4000 << 2;
    QTest::newRow("address compared as text") << 5 << "10.0.0.09" << 4000 << 2;
}

void TestClientProtocol::clientLookup()
{
    QFETCH(int, socket);
    QFETCH(QString, ip);
    QFETCH(int, port);
    QFETCH(int, record);

    ClientTable clients;
    RouterStateArray states;
    QCOMPARE(FindOrCreateClient(clients, states, 5, "10.0.0.9", 4000, 1.0), 1);
    clients[1].LastReply = "kept";
    QCOMPARE(FindOrCreateClient(clients, states, socket, ip, port, 2.5), record);
    QCOMPARE(clients[record].LastReceived, 2.5);
    QCOMPARE(clients[1].LastReply, QByteArray("kept"));
}

void TestClientProtocol::newRecordStartsWithWorkingRouters()
{
    ClientTable clients;
    RouterStateArray states;
    states[1].CommOK = true;
    states[50].CommOK = true;
    states[96].CommOK = true;
    states[51].StatusReceived = true;   // answered once, but down now
    QCOMPARE(FindOrCreateClient(clients, states, 7, "192.168.1.4", 65000, 9.5), 1);

    ClientRecord expected;
    expected.InUse = true;
    expected.RemoteIP = "192.168.1.4";
    expected.RemotePort = 65000;
    expected.SocketIndex = 7;
    expected.LastReceived = 9.5;
    expected.PendingFlags = {1, 0, 0, 0, 0, 0, 0, 0};
    for (int r : {1, 50, 96}) {
        expected.StatusChanged[r] = true;
        expected.PriorityChanged[r] = true;
    }
    QVERIFY(clients[1] == expected);
    QVERIFY(clients[0] == ClientRecord{});
    QVERIFY(clients[2] == ClientRecord{});
}

void TestClientProtocol::sixtyFifthClientGetsNoReply()
{
    TestHost host;
    for (int i = 0; i < kClientCount; ++i) {
        Panel panel{host, 5000 + i};
        QCOMPARE(panel.ask(0x84, 1), ack(1));
    }
    QCOMPARE(LiveClientCount(host.clients), 64);

    const ClientTable before = host.clients;
    Panel late{host, 6000};
    const QByteArray take = request("TAKE", 0xE1, 0xA5, 2, takeString("0001", "0002"));
    QVERIFY(!late.raw(take));
    QVERIFY(!late.raw(take));
    QVERIFY(!late.raw("x"));
    QVERIFY(host.events.isEmpty());
    QCOMPARE(host.takes, 0);
    QVERIFY(host.clients == before);
    QVERIFY(host.clients[0] == ClientRecord{});

    // Once a record is emptied the late panel takes its place, afresh.
    clearClientRecord(host.clients[10]);
    QCOMPARE(late.raw(take).value_or("<no reply>"), "TAKE" + ack(2));
    QCOMPARE(host.clients[10].RemotePort, 6000);
}

void TestClientProtocol::liveClientCount()
{
    ClientTable clients;
    QCOMPARE(LiveClientCount(clients), 0);
    clients[1].InUse = true;
    clients[1].RemoteIP = "10.0.0.1";
    clients[64].InUse = true;
    clients[64].RemoteIP = "10.0.0.2";
    clients[2].InUse = true;          // no address
    clients[3].InUse = true;
    clients[3].RemoteIP = "  ";
    clients[4].RemoteIP = "10.0.0.3"; // not in use
    clients[0].InUse = true;          // never counted
    clients[0].RemoteIP = "10.0.0.4";
    QCOMPARE(LiveClientCount(clients), 2);
}

void TestClientProtocol::notificationsWithoutLiveRecords()
{
    ClientTable clients;
    RouterStateArray states;
    clients[3].RemoteIP = "10.0.0.1";   // emptied but not cleared: not live
    clients[3].RemotePort = 4000;
    const ClientTable before = clients;
    QVERIFY(NotifyRouterChanged(clients, 5, false));
    QVERIFY(NotifyRouterChanged(clients, 5, true));
    NotifyTablesChanged(clients);
    NotifySettingsChanged(clients);
    NotifyUsersChanged(clients);
    QVERIFY(clients == before);
}

void TestClientProtocol::notifyRouterChangedBounds_data()
{
    QTest::addColumn<int>("router");
    QTest::addColumn<bool>("priority");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<bool>("position1");

    QTest::newRow("1 status") << 1 << false << true << true;
    QTest::newRow("96 priority") << 96 << true << true << true;
    QTest::newRow("0 raises position 1 only") << 0 << false << true << true;
    QTest::newRow("97") << 97 << false << false << false;
    QTest::newRow("-1") << -1 << true << false << false;
    QTest::newRow("32767") << 32767 << false << false << false;
}

void TestClientProtocol::notifyRouterChangedBounds()
{
    QFETCH(int, router);
    QFETCH(bool, priority);
    QFETCH(bool, accepted);
    QFETCH(bool, position1);

    ClientTable clients;
    RouterStateArray states;
    for (int port : {1, 2})
        FindOrCreateClient(clients, states, 5, "10.0.0.1", port, 0);
    for (int c : {1, 2})
        setPendingFlag(clients[c], FlagRouterPending, false);

    ClientTable expected = clients;
    for (int c : {1, 2}) {
        if (position1)
            setPendingFlag(expected[c], FlagRouterPending, true);
        if (accepted && router > 0)
            (priority ? expected[c].PriorityChanged : expected[c].StatusChanged)[router] = true;
    }
    QCOMPARE(NotifyRouterChanged(clients, router, priority), accepted);
    QVERIFY(clients == expected);
}

void TestClientProtocol::routerFlagsAreLevels()
{
    TestHost host;
    Panel panel{host};
    QCOMPARE(panel.ask(0xA6, 1), ack(1));
    NotifyRouterChanged(host.clients, 7, false);
    NotifyRouterChanged(host.clients, 7, false);
    QCOMPARE(panel.ask(0xA6, 1).left(3), bytes({0xFF, 0xA6, 7}));
    QCOMPARE(panel.ask(0xA6, 1), ack(1));
}

void TestClientProtocol::tablesChangeReachesOnlyLiveRecords()
{
    TestHost host;
    Panel early{host, 4000};
    Panel late{host, 4001};
    early.ask(0x84);
    NotifyTablesChanged(host.clients);
    QCOMPARE(late.ask(0xA1), bytes({0xFF, 0xA1, 1}) + flags({1, 0, 0, 0, 0, 0, 0, 0}));
    QCOMPARE(early.ask(0xA1), bytes({0xFF, 0xA1, 1}) + flags({1, 1, 0, 0, 0, 0, 0, 0}));
}

void TestClientProtocol::nextChangedRouter()
{
    ClientTable clients;
    clients[4].StatusChanged[9] = true;
    clients[4].StatusChanged[2] = true;
    clients[4].PriorityChanged[96] = true;
    const ClientTable before = clients;
    for (int client : {0, -1, 65, 1000})
        QCOMPARE(NextChangedRouter(clients, client, false), 0);
    QVERIFY(clients == before);

    QCOMPARE(NextChangedRouter(clients, 4, false), 2);
    QCOMPARE(NextChangedRouter(clients, 4, false), 9);
    QCOMPARE(NextChangedRouter(clients, 4, false), 0);
    QCOMPARE(NextChangedRouter(clients, 4, true), 96);
    QCOMPARE(NextChangedRouter(clients, 4, true), 0);
    QVERIFY(clients[4] == ClientRecord{});
}

void TestClientProtocol::markAllRoutersChanged()
{
    ClientTable clients;
    RouterStateArray states;
    for (int r : {1, 33, 96})
        states[r].CommOK = true;
    states[34].StatusReceived = true;
    clients[2].InUse = true;
    const ClientTable before = clients;

    for (int client : {0, 65, -3})
        QVERIFY(!MarkAllRoutersChanged(clients, states, client));
    QVERIFY(clients == before);

    QVERIFY(MarkAllRoutersChanged(clients, states, 2));
    ClientRecord expected = before[2];
    for (int r : {1, 33, 96}) {
        expected.StatusChanged[r] = true;
        expected.PriorityChanged[r] = true;
    }
    QVERIFY(clients[2] == expected);   // PendingFlags untouched
    QVERIFY(clients[1] == ClientRecord{});
}

// Chunks arrive one read at a time; after each read every complete request
// is taken. Then the line goes silent (for the quiet time, or for the whole
// limit of an incomplete request) and the rest is taken.
void TestClientProtocol::framer_data()
{
    QTest::addColumn<QByteArrayList>("reads");
    QTest::addColumn<Silence>("silence");
    QTest::addColumn<QByteArrayList>("requests");
    QTest::addColumn<int>("left");

    const QByteArray poll = request("P001", 0xE1, 0xA1, 3);
    const QByteArray poll2 = request("P002", 0xE1, 0xA1, 3);
    const QByteArray status = request("S001", 0xE1, 0xA8, 3);
    const QByteArray hold = request("H001", 0xE1, 0xAA, 3, bytes({7, 1}));
    const QByteArray take = request("T001", 0xE1, 0xA5, 3, takeString("0001", "0002", " hi"));
    const QByteArray noop = request("N001", 0xE1, 0x84, 3, "pad");
    const QByteArray low = request("L001", 0x20, 0xA1, 3);

    QTest::newRow("one request") << QByteArrayList{poll} << None << QByteArrayList{poll} << 0;
    QTest::newRow("split header")
        << QByteArrayList{poll.left(3), poll.mid(3)} << None << QByteArrayList{poll} << 0;
    QTest::newRow("byte by byte")
        << [&] {
               QByteArrayList reads;
               for (char c : hold)
                   reads << QByteArray(1, c);
               return reads;
           }()
        << None << QByteArrayList{hold} << 0;
    QTest::newRow("joined polls") << QByteArrayList{poll + poll2} << None
                                  << QByteArrayList{poll, poll2} << 0;
    QTest::newRow("joined retransmission") << QByteArrayList{poll + poll} << None
                                           << QByteArrayList{poll, poll} << 0;
    QTest::newRow("hold, status, poll joined") << QByteArrayList{hold + status + poll} << None
                                               << QByteArrayList{hold, status, poll} << 0;
    QTest::newRow("hold split in its payload")
        << QByteArrayList{hold.left(8), hold.mid(8)} << None << QByteArrayList{hold} << 0;
    // What follows a request of known size in its own read is padding unless
    // it can start a request.
    for (const int pad : {1, 3, 6}) {
        QTest::addRow("poll padded by %d", pad)
            << QByteArrayList{poll + QByteArray(pad, '\0')} << None << QByteArrayList{poll} << 0;
        QTest::addRow("hold padded by %d", pad)
            << QByteArrayList{hold + QByteArray(pad, '\xFF')} << None << QByteArrayList{hold} << 0;
    }
    QTest::newRow("poll then a partial one is padding")
        << QByteArrayList{poll + poll2.left(5)} << None << QByteArrayList{poll} << 0;
    QTest::newRow("hold with a three-byte payload")
        << QByteArrayList{request("H002", 0xE1, 0xAA, 3, bytes({7, 1, 0}))} << None
        << QByteArrayList{request("H002", 0xE1, 0xAA, 3, bytes({7, 1}))} << 0;
    QTest::newRow("poll then seven bytes below class E0")
        << QByteArrayList{poll + low} << None << QByteArrayList{poll} << 0;
    QTest::newRow("poll then an unknown command")
        << QByteArrayList{poll + request("U002", 0xE1, 0x42, 3)} << None << QByteArrayList{poll} << 0;
    QTest::newRow("poll then a class E0 request")
        << QByteArrayList{poll + request("E001", 0xE0, 0xA1, 3)} << None
        << QByteArrayList{poll, request("E001", 0xE0, 0xA1, 3)} << 0;
    QTest::newRow("padding of an earlier piece's request")
        << QByteArrayList{hold.left(8), hold.mid(8) + "\x01\x02"} << None << QByteArrayList{hold} << 0;
    QTest::newRow("take in two pieces")
        << QByteArrayList{take.left(20), take.mid(20)} << None << QByteArrayList{take} << 0;
    QTest::newRow("take takes its comment and what follows")
        << QByteArrayList{take + poll} << None << QByteArrayList{take + poll} << 0;
    QTest::newRow("poll then a take") << QByteArrayList{poll + take} << None
                                      << QByteArrayList{poll, take} << 0;
    QTest::newRow("take string incomplete waits")
        << QByteArrayList{take.left(40)} << None << QByteArrayList{} << 40;
    QTest::newRow("take numbers whole, line quiet")
        << QByteArrayList{take.left(7 + 18)} << Quiet << QByteArrayList{take.left(7 + 18)} << 0;
    QTest::newRow("take cut in its destination, line quiet")
        << QByteArrayList{take.left(7 + 17)} << Quiet << QByteArrayList{} << 7 + 17;
    QTest::newRow("take cut in its destination, limit passed")
        << QByteArrayList{take.left(7 + 17)} << Long << QByteArrayList{take.left(7 + 17)} << 0;
    QTest::newRow("take cut in its header, line quiet")
        << QByteArrayList{take.left(6)} << Quiet << QByteArrayList{} << 6;
    QTest::newRow("take cut before its command, line quiet")
        << QByteArrayList{take.left(5)} << Quiet << QByteArrayList{} << 5;
    QTest::newRow("take cut in its header, then whole")
        << QByteArrayList{take.left(6), take.mid(6)} << Quiet << QByteArrayList{take} << 0;
    QTest::newRow("short waits") << QByteArrayList{poll.left(6)} << None << QByteArrayList{}
                                 << 6;
    QTest::newRow("short, line quiet") << QByteArrayList{poll.left(3)} << Quiet << QByteArrayList{} << 3;
    QTest::newRow("short, limit passed") << QByteArrayList{poll.left(3)} << Long
                                         << QByteArrayList{poll.left(3)} << 0;
    QTest::newRow("poll without router, line quiet")
        << QByteArrayList{poll.left(6)} << Quiet << QByteArrayList{} << 6;
    QTest::newRow("class below E1 without router, line quiet")
        << QByteArrayList{low.left(6)} << Quiet << QByteArrayList{low.left(6)} << 0;
    QTest::newRow("hold without flag byte, line quiet")
        << QByteArrayList{hold.left(8)} << Quiet << QByteArrayList{} << 8;
    QTest::newRow("hold without flag byte, limit passed")
        << QByteArrayList{hold.left(8)} << Long << QByteArrayList{hold.left(8)} << 0;
    QTest::newRow("poll, then a short tail when quiet")
        << QByteArrayList{poll + poll2.left(2)} << Quiet << QByteArrayList{poll} << 0;
    QTest::newRow("no-op takes everything") << QByteArrayList{noop + poll} << None
                                            << QByteArrayList{noop + poll} << 0;
    QTest::newRow("class below E1 takes everything")
        << QByteArrayList{low + poll} << None << QByteArrayList{low + poll} << 0;
    QTest::newRow("unknown command takes everything")
        << QByteArrayList{request("U001", 0xE1, 0xA7, 3) + poll} << None
        << QByteArrayList{request("U001", 0xE1, 0xA7, 3) + poll} << 0;
}

void TestClientProtocol::framer()
{
    QFETCH(QByteArrayList, reads);
    QFETCH(Silence, silence);
    QFETCH(QByteArrayList, requests);
    QFETCH(int, left);

    RequestFramer framer;
    QByteArrayList taken;
    for (const QByteArray &read : reads) {
        framer.append(read);
        while (auto r = framer.takeRequest())
            taken << *r;
    }
    if (silence != None) {
        while (auto r = framer.takeRequest(silence))
            taken << *r;
    }
    QCOMPARE(taken, requests);
    QCOMPARE(framer.bufferedSize(), qsizetype(left));
}

void TestClientProtocol::framerCapsFlood()
{
    const qsizetype limit = RequestFramer::kBufferLimit;
    QByteArray flood(3 * limit, 'x');
    flood.replace(flood.size() - 4, 4, "TAIL");

    RequestFramer whole;
    whole.append(flood);
    QCOMPARE(whole.bufferedSize(), limit);
    const auto request = whole.takeRequest();
    QVERIFY(request);
    QCOMPARE(request->size(), limit);
    QVERIFY(request->endsWith("TAIL"));

    // Reads that pile up without being taken keep only the newest bytes.
    RequestFramer piled;
    for (int i = 0; i < 5; ++i)
        piled.append(QByteArray(limit / 2, char('a' + i)));
    QCOMPARE(piled.bufferedSize(), limit);
    const auto kept = piled.takeRequest();
    QVERIFY(kept);
    QCOMPARE(*kept, QByteArray(limit / 2, 'd') + QByteArray(limit / 2, 'e'));
}

QTEST_GUILESS_MAIN(TestClientProtocol)
#include "tst_client_protocol.moc"
