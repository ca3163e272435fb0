// The client panel against the real server running in this process, over
// real sockets on 127.0.0.1; a scripted stand-in server where the real one
// cannot be made to misbehave; and the marlin-panel program itself.

#include "clients/client_table.h"
#include "core/server.h"
#include "panel_client.h"
#include "panel_protocol.h"
#include "panel_report.h"
#include "test_server.h"
#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <initializer_list>
#include <memory>

using namespace marlin::panel;
using testsupport::bytes;
using testsupport::RunningServer;

namespace {

// Router 2 is served by network port 1 in the Leitch language.
const QByteArray kRouter2OnNetPort = "[Net_Port_1]\r\n"
                                     "Hardware_Enabled=1\r\n"
                                     "ID_Number=2\r\n";

const QByteArray kSeq = bytes({0x12, 0x34, 0x56, 0x78});

// Writes pieces of a reply one at a time, each once the panel has read the
// one before, so every piece reaches the panel in a read of its own.
void writeInPieces(QTcpSocket *peer, PanelClient &panel, QList<QByteArray> pieces)
{
    auto rest = std::make_shared<QList<QByteArray>>(std::move(pieces));
    peer->write(rest->takeFirst());
    QObject::connect(&panel, &PanelClient::bytesArrived, peer, [peer, rest] {
        if (!rest->isEmpty())
            peer->write(rest->takeFirst());
    });
}

// A stand-in server on 127.0.0.1 whose answers each test scripts.
class ScriptedServer : public QObject {
public:
    using Script = std::function<void(QTcpSocket *peer, const QByteArray &request, int index)>;

    explicit ScriptedServer(Script script)
        : script(std::move(script))
    {
        listener.listen(QHostAddress::LocalHost, 0);
        connect(&listener, &QTcpServer::newConnection, this, [this] {
            QTcpSocket *peer = listener.nextPendingConnection();
            connect(peer, &QTcpSocket::readyRead, this, [this, peer] {
                const QByteArray request = peer->readAll();
                requests.append(request);
                this->script(peer, request, static_cast<int>(requests.size()) - 1);
            });
        });
    }
    quint16 port() const { return listener.serverPort(); }

    QList<QByteArray> requests;

private:
    QTcpServer listener;
    Script script;
};

QByteArray acknowledgeTo(const QByteArray &request)
{
    return request.left(kSequenceSize) + bytes({0x10, 0x01, static_cast<quint8>(request.at(6))});
}

Reply statusReply(int router, bool commOK, std::initializer_list<std::pair<int, int>> sources)
{
    Reply reply;
    reply.kind = ReplyKind::Status;
    reply.code = CodeStatusOneByte;
    reply.router = router;
    reply.block.commOK = commOK;
    reply.block.entries = QList<int>(kDestinationCount, 0);
    for (const auto &[d, s] : sources)
        reply.block.entries[d - 1] = s;
    return reply;
}

Reply priorityReply(int router, std::initializer_list<int> held)
{
    Reply reply = statusReply(router, true, {});
    reply.kind = ReplyKind::Priority;
    reply.code = CodePriorityOneByte;
    for (int d : held)
        reply.block.entries[d - 1] = 1;
    return reply;
}

QByteArray switchLogText(const QString &appDir)
{
    QByteArray all;
    const QDir logs(appDir + QStringLiteral("/Logs"));
    for (const QString &name : logs.entryList({QStringLiteral("Switch Log For *.TXT")}, QDir::Files)) {
        QFile file(logs.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            all += file.readAll();
    }
    return all;
}

} // namespace

class TestPanelClient : public QObject {
    Q_OBJECT

private slots:
    // The wire format, without a server.
    void takeString_data();
    void takeString();
    void levels_data();
    void levels();
    void replyFraming_data();
    void replyFraming();
    void badRepliesAreRejected_data();
    void badRepliesAreRejected();
    void replyMustMatchRequest_data();
    void replyMustMatchRequest();
    void watchTellsOnlyChanges();

    // Against the real server.
    void newPanelSeesRouterPending();
    void drainShowsNewSource_data();
    void drainShowsNewSource();
    void takeStringIsReadByTheServer();
    void holdSetsAndClearsHighPriority_data();
    void holdSetsAndClearsHighPriority();
    void reloadsAcknowledgeAndRaiseTheirFlag_data();
    void reloadsAcknowledgeAndRaiseTheirFlag();

    // Against a scripted stand-in.
    void retransmissionKeepsTheSequence();
    void silenceEndsInNoReply();
    void closedConnectionEndsTheWait();
    void lateDuplicateRepliesAreSkipped();
    void splitReplyIsReassembled();
    void rawRequestsShowAnyReply();

    // The program.
    void programUsage_data();
    void programUsage();
    void programReportsConnectionFailure();
    void programPollsRealServer();
    void programStatusListsWhatIsKnown_data();
    void programStatusListsWhatIsKnown();
    void programWatchPrintsChanges();
};

void TestPanelClient::takeString_data()
{
    QTest::addColumn<QString>("levels");
    QTest::addColumn<int>("source");
    QTest::addColumn<int>("destination");
    QTest::addColumn<QString>("sourceLabel");
    QTest::addColumn<QString>("destLabel");
    QTest::addColumn<QString>("comment");
    QTest::addColumn<QByteArray>("expected");   // empty: refused

    QTest::newRow("levels 0 and 1, no labels") << "01" << 3 << 5 << "" << "" << ""
                                               << QByteArray("C 1100000000030005                ");
    QTest::newRow("all levels, labels, comment") << "all" << 12 << 256 << "CAM 1" << "MON3" << " night shift "
                                                 << QByteArray("C 1111111100120256CAM 1   MON3     night shift ");
    QTest::newRow("level 7 only, eight-character labels") << "7" << 9999 << 1 << "ABCDEFGH" << "12345678" << ""
                                                          << QByteArray("C 0000000199990001ABCDEFGH12345678");
    QTest::newRow("comment in Windows-1252") << "0" << 1 << 1 << "" << "" << QString::fromUtf8("caf\u00e9 \u20ac")
                                             << QByteArray("C 1000000000010001                caf\xe9 \x80");
    QTest::newRow("label of nine characters") << "all" << 1 << 1 << "ABCDEFGHI" << "" << "" << QByteArray();
    QTest::newRow("source of five digits") << "all" << 10000 << 1 << "" << "" << "" << QByteArray();
    QTest::newRow("destination 0") << "all" << 1 << 0 << "" << "" << "" << QByteArray();
}

void TestPanelClient::takeString()
{
    QFETCH(QString, levels);
    QFETCH(int, source);
    QFETCH(int, destination);
    QFETCH(QString, sourceLabel);
    QFETCH(QString, destLabel);
    QFETCH(QString, comment);
    QFETCH(QByteArray, expected);

    TakeOrder take;
    take.levels = *parseLevels(levels);
    take.source = source;
    take.destination = destination;
    take.sourceLabel = sourceLabel;
    take.destinationLabel = destLabel;
    take.comment = comment;
    QString error;
    const auto built = buildTakeString(take, &error);
    if (expected.isEmpty()) {
        QVERIFY(!built);
        QVERIFY(!error.isEmpty());
    } else {
        QVERIFY2(built, qPrintable(error));
        QCOMPARE(*built, expected);
    }
}

void TestPanelClient::levels_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("flags");   // empty: refused

    QTest::newRow("all") << "all" << "11111111";
    QTest::newRow("ALL") << "ALL" << "11111111";
    QTest::newRow("any order, repeats") << "707" << "10000001";
    QTest::newRow("level 8") << "8" << "";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("separator") << "0,1" << "";
}

void TestPanelClient::levels()
{
    QFETCH(QString, text);
    QFETCH(QString, flags);
    const auto parsed = parseLevels(text);
    if (flags.isEmpty()) {
        QVERIFY(!parsed);
        return;
    }
    QVERIFY(parsed);
    QString got;
    for (bool b : *parsed)
        got += b ? QLatin1Char('1') : QLatin1Char('0');
    QCOMPARE(got, flags);
}

void TestPanelClient::replyFraming_data()
{
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("length");

    const QByteArray flags = kSeq + bytes({0xFF, 0xA1, 1, 1, 0, 0, 0, 0, 0, 0, 0});
    const QByteArray oneByte = kSeq + bytes({0xFF, 0xA6, 3}) + QByteArray(kOneByteBlockSize, '\0');
    const QByteArray twoByte = kSeq + bytes({0xFF, 0xA8, 3}) + QByteArray(kTwoByteBlockSize, '\0');
    const QByteArray priorityTwoByte = kSeq + bytes({0xFF, 0xA9, 3}) + QByteArray(kOneByteBlockSize, '\0');
    const QByteArray ack = kSeq + bytes({0x10, 0x01, 5});

    QTest::newRow("nothing") << QByteArray() << int(ReplyFrame::Incomplete) << 0;
    QTest::newRow("sequence only") << kSeq << int(ReplyFrame::Incomplete) << 0;
    QTest::newRow("acknowledge cut short") << ack.left(6) << int(ReplyFrame::Incomplete) << 0;
    QTest::newRow("acknowledge") << ack << int(ReplyFrame::Complete) << 7;
    QTest::newRow("acknowledge joined to the next") << ack + kSeq + bytes({0x11, 0x12}) << int(ReplyFrame::Complete) << 7;
    QTest::newRow("not handled") << kSeq + bytes({0x11, 0x12}) << int(ReplyFrame::Complete) << 6;
    QTest::newRow("coded, code still missing") << kSeq + bytes({0xFF}) << int(ReplyFrame::Incomplete) << 0;
    QTest::newRow("flags cut short") << flags.chopped(1) << int(ReplyFrame::Incomplete) << 0;
    QTest::newRow("flags") << flags << int(ReplyFrame::Complete) << 15;
    QTest::newRow("one-byte status") << oneByte << int(ReplyFrame::Complete) << 268;
    QTest::newRow("two-byte status cut short") << twoByte.chopped(1) << int(ReplyFrame::Incomplete) << 0;
    QTest::newRow("two-byte status") << twoByte << int(ReplyFrame::Complete) << 524;
    QTest::newRow("priority after a two-byte request") << priorityTwoByte << int(ReplyFrame::Complete) << 268;
    QTest::newRow("unknown body") << kSeq + bytes({0x12, 0x00}) << int(ReplyFrame::Unrecognised) << 0;
    QTest::newRow("unknown code") << kSeq + bytes({0xFF, 0xB0, 1}) << int(ReplyFrame::Unrecognised) << 0;
}

void TestPanelClient::replyFraming()
{
    QFETCH(QByteArray, buffer);
    QFETCH(int, status);
    QFETCH(int, length);
    const ReplyFrame frame = frameReply(buffer);
    QCOMPARE(int(frame.status), status);
    if (frame.status == ReplyFrame::Complete)
        QCOMPARE(int(frame.length), length);
}

void TestPanelClient::badRepliesAreRejected_data()
{
    QTest::addColumn<QByteArray>("frame");

    auto block = [](int received, int comm, int linkPort) {
        QByteArray b = bytes({received, comm, linkPort, 0, 0});
        return b + QByteArray(kDestinationCount, '\0');
    };
    QTest::newRow("acknowledge without 0x01") << kSeq + bytes({0x10, 0x02, 1});
    QTest::newRow("not handled without 0x12") << kSeq + bytes({0x11, 0x13});
    QTest::newRow("flag byte 2") << kSeq + bytes({0xFF, 0xA1, 1, 2, 0, 0, 0, 0, 0, 0, 0});
    QTest::newRow("status of router 0") << kSeq + bytes({0xFF, 0xA6, 0}) + block(1, 1, 0);
    QTest::newRow("status of router 97") << kSeq + bytes({0xFF, 0xA6, 97}) + block(1, 1, 0);
    QTest::newRow("comm byte 2") << kSeq + bytes({0xFF, 0xA6, 1}) + block(1, 2, 0);
    QTest::newRow("link port 97") << kSeq + bytes({0xFF, 0xA6, 1}) + block(1, 1, 97);
    QByteArray held = kSeq + bytes({0xFF, 0xA7, 1}) + block(1, 1, 0);
    held[kSequenceSize + 3 + kBlockHeaderSize + 9] = 2;
    QTest::newRow("priority entry 2") << held;
    QTest::newRow("one byte too many") << kSeq + bytes({0x10, 0x01, 1, 0});
}

void TestPanelClient::badRepliesAreRejected()
{
    QFETCH(QByteArray, frame);
    QString error;
    QVERIFY(!decodeReply(frame, &error));
    QVERIFY(!error.isEmpty());
}

void TestPanelClient::replyMustMatchRequest_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("router");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("matches");

    const QByteArray oneByte = bytes({0xFF, 0xA6, 40, 1, 1, 0, 0, 0}) + QByteArray(kDestinationCount, '\0');
    const QByteArray priority = bytes({0xFF, 0xA7, 40, 1, 1, 0, 0, 0}) + QByteArray(kDestinationCount, '\0');
    QByteArray twoByte = bytes({0xFF, 0xA8, 40, 1, 1, 0, 0, 0}) + QByteArray(2 * kDestinationCount, '\0');
    twoByte[8 + 2 * 4] = 0x01;   // destination 5: source 0x012C = 300
    twoByte[8 + 2 * 4 + 1] = 0x2C;

    QTest::newRow("take acknowledged") << int(CommandTake) << 2 << bytes({0x10, 0x01, 2}) << true;
    QTest::newRow("acknowledge of another router") << int(CommandTake) << 2 << bytes({0x10, 0x01, 3}) << false;
    QTest::newRow("acknowledge to a flag poll") << int(CommandPollFlags) << 1 << bytes({0x10, 0x01, 1}) << false;
    QTest::newRow("flags of another router") << int(CommandPollFlags) << 1 << bytes({0xFF, 0xA1, 2, 0, 0, 0, 0, 0, 0, 0, 0}) << false;
    QTest::newRow("flags to a take") << int(CommandTake) << 1 << bytes({0xFF, 0xA1, 1, 0, 0, 0, 0, 0, 0, 0, 0}) << false;
    QTest::newRow("status of any router") << int(CommandStatusOneByte) << 1 << oneByte << true;
    QTest::newRow("priority to one-byte") << int(CommandStatusOneByte) << 1 << priority << true;
    QTest::newRow("priority to two-byte") << int(CommandStatusTwoByte) << 1 << priority << false;
    QTest::newRow("two-byte status to one-byte") << int(CommandStatusOneByte) << 1 << twoByte << false;
    QTest::newRow("two-byte status") << int(CommandStatusTwoByte) << 1 << twoByte << true;
    QTest::newRow("not handled, any command") << int(CommandReloadUsers) << 9 << bytes({0x11, 0x12}) << true;
}

void TestPanelClient::replyMustMatchRequest()
{
    QFETCH(int, command);
    QFETCH(int, router);
    QFETCH(QByteArray, body);
    QFETCH(bool, matches);
    const auto reply = decodeReply(kSeq + body);
    QVERIFY(reply);
    QCOMPARE(replyMismatch(static_cast<quint8>(command), static_cast<quint8>(router), *reply).isEmpty(), matches);
    if (reply->twoByte)
        QCOMPARE(reply->block.entries[4], 300);
}

void TestPanelClient::watchTellsOnlyChanges()
{
    WatchState watch;
    QCOMPARE(watch.apply(statusReply(3, true, {{5, 1}, {6, 2}})), QStringList());
    QCOMPARE(watch.apply(priorityReply(3, {})), QStringList());
    watch.baselineComplete();

    QCOMPARE(watch.apply(statusReply(3, true, {{5, 7}, {6, 2}, {9, 4}})),
             (QStringList{"router 3 destination 5: 1 -> 7", "router 3 destination 9: none -> 4"}));
    QCOMPARE(watch.apply(statusReply(3, true, {{5, 7}, {6, 2}, {9, 4}})), QStringList());
    QCOMPARE(watch.apply(priorityReply(3, {5})), QStringList{"router 3 destination 5: hold set"});
    QCOMPARE(watch.apply(statusReply(3, false, {{5, 7}, {6, 2}, {9, 4}})), QStringList{"router 3: comm down"});
    // The priority report that follows a loss finds the link state known.
    QCOMPARE(watch.apply([] { Reply r = priorityReply(3, {}); r.block.commOK = false; return r; }()),
             QStringList{"router 3 destination 5: hold cleared"});
    QCOMPARE(watch.apply(statusReply(8, true, {{1, 1}})),
             QStringList{"router 8: first status, comm up, 1 destinations with a source"});
    QCOMPARE(WatchState::describeChangedFlags(bytes({1, 1, 0, 1, 0, 0, 0, 0})),
             (QStringList{"tables changed", "users changed"}));
}

void TestPanelClient::newPanelSeesRouterPending()
{
    RunningServer server;
    QVERIFY(server.port() != 0);
    PanelClient panel;
    QVERIFY2(panel.connectToServer(QStringLiteral("127.0.0.1"), server.port()), qPrintable(panel.errorString()));

    const Exchange poll = panel.exchange(CommandPollFlags, 5);
    QVERIFY2(poll.ok(), qPrintable(poll.error));
    QCOMPARE(poll.reply.kind, ReplyKind::Flags);
    QCOMPARE(poll.reply.router, 5);
    QCOMPARE(poll.reply.flags, bytes({1, 0, 0, 0, 0, 0, 0, 0}));
    QCOMPARE(poll.attempts, 1);
    QCOMPARE(poll.request.mid(4), bytes({0xE1, 0xA1, 5}));
}

void TestPanelClient::drainShowsNewSource_data()
{
    QTest::addColumn<bool>("twoByte");
    QTest::addColumn<int>("source");
    QTest::addColumn<bool>("reported");

    QTest::newRow("one-byte") << false << 7 << true;
    QTest::newRow("two-byte") << true << 300 << true;
    QTest::newRow("one-byte cannot carry 300") << false << 300 << false;
}

void TestPanelClient::drainShowsNewSource()
{
    QFETCH(bool, twoByte);
    QFETCH(int, source);
    QFETCH(bool, reported);

    RunningServer server;
    PanelClient panel;
    QVERIFY(panel.connectToServer(QStringLiteral("127.0.0.1"), server.port()));

    // A new panel first receives every working router in both kinds,
    // status before priority, lowest router first.
    const Drain first = panel.drainStatus(twoByte);
    QVERIFY2(first.complete, qPrintable(first.last.error));
    QCOMPARE(first.replies.size(), 2 * kRouterCount);
    QCOMPARE(first.replies.first().router, 1);
    QCOMPARE(first.replies.first().kind, ReplyKind::Status);
    QCOMPARE(first.replies.last().router, kRouterCount);
    QCOMPARE(first.replies.last().kind, ReplyKind::Priority);
    QCOMPARE(panel.exchange(CommandPollFlags, 1).reply.flags.at(FlagRouterPending), '\0');

    server->asReported(3).CurrentSource[5] = source;
    marlin::NotifyRouterChanged(server->panelTable(), 3, false);
    QCOMPARE(panel.exchange(CommandPollFlags, 1).reply.flags.at(FlagRouterPending), '\1');

    const Drain next = panel.drainStatus(twoByte);
    QVERIFY2(next.complete, qPrintable(next.last.error));
    if (!reported) {
        QCOMPARE(next.notHandled, 1);
        QVERIFY(next.replies.isEmpty());
        return;
    }
    QCOMPARE(next.notHandled, 0);
    QCOMPARE(next.replies.size(), 1);
    const Reply &reply = next.replies.first();
    QCOMPARE(reply.kind, ReplyKind::Status);
    QCOMPARE(reply.router, 3);
    QCOMPARE(reply.twoByte, twoByte);
    QCOMPARE(reply.block.entries.size(), kDestinationCount);
    QCOMPARE(reply.block.entries[4], source);
    QVERIFY(reply.block.commOK);
    QVERIFY(describeStatus(reply).join(QLatin1Char('\n')).contains(QStringLiteral("5=%1").arg(source)));
}

void TestPanelClient::takeStringIsReadByTheServer()
{
    RunningServer server(testsupport::loopbackCardSettings() + kRouter2OnNetPort);
    PanelClient panel;
    QVERIFY(panel.connectToServer(QStringLiteral("127.0.0.1"), server.port()));

    TakeOrder take;
    take.levels = *parseLevels(QStringLiteral("01"));
    take.source = 3;
    take.destination = 5;
    take.comment = QStringLiteral("  from the panel test  ");
    const Exchange exchange = panel.exchange(CommandTake, 2, *buildTakeString(take));
    QVERIFY2(exchange.ok(), qPrintable(exchange.error));
    QCOMPARE(exchange.reply.kind, ReplyKind::Acknowledge);
    QCOMPARE(exchange.reply.router, 2);

    // The server reads the levels, numbers and comment the panel meant.
    QCOMPARE(server->routerLinks().queuedCommands(2, true), QList<QByteArray>{"@ X:01/4,2\r"});
    const QByteArray log = switchLogText(server.path());
    QVERIFY2(log.contains("\tfrom the panel test\r\n"), log.constData());
}

void TestPanelClient::holdSetsAndClearsHighPriority_data()
{
    QTest::addColumn<int>("destination");
    QTest::newRow("destination 1") << 1;
    QTest::newRow("destination 17") << 17;
    QTest::newRow("destination 255") << 255;
}

void TestPanelClient::holdSetsAndClearsHighPriority()
{
    QFETCH(int, destination);
    RunningServer server;
    PanelClient panel;
    QVERIFY(panel.connectToServer(QStringLiteral("127.0.0.1"), server.port()));
    QVERIFY(panel.drainStatus(false).complete);

    const Exchange hold = panel.exchange(CommandSetPriority, 4, *buildPriorityPayload(destination, true));
    QVERIFY2(hold.ok(), qPrintable(hold.error));
    QCOMPARE(hold.reply.kind, ReplyKind::Acknowledge);
    QCOMPARE(hold.request.mid(4), bytes({0xE1, 0xAA, 4, destination, 1}));
    QVERIFY(server->routerState(4).HighPriority[destination]);

    // The hold comes back to the panels as a priority report.
    const Drain drain = panel.drainStatus(false);
    QVERIFY(drain.complete);
    QCOMPARE(drain.replies.size(), 1);
    QCOMPARE(drain.replies.first().kind, ReplyKind::Priority);
    QCOMPARE(drain.replies.first().router, 4);
    QCOMPARE(drain.replies.first().block.entries[destination - 1], 1);

    const Exchange release = panel.exchange(CommandSetPriority, 4, *buildPriorityPayload(destination, false));
    QCOMPARE(release.reply.kind, ReplyKind::Acknowledge);
    QCOMPARE(release.request.mid(4), bytes({0xE1, 0xAA, 4, destination, 0}));
    QVERIFY(!server->routerState(4).HighPriority[destination]);
}

void TestPanelClient::reloadsAcknowledgeAndRaiseTheirFlag_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("flag");
    QTest::newRow("tables") << int(CommandReloadTables) << int(FlagTablesChanged);
    QTest::newRow("settings") << int(CommandReloadSettings) << int(FlagSettingsChanged);
    QTest::newRow("users") << int(CommandReloadUsers) << int(FlagUsersChanged);
}

void TestPanelClient::reloadsAcknowledgeAndRaiseTheirFlag()
{
    QFETCH(int, command);
    QFETCH(int, flag);
    RunningServer server;
    PanelClient panel;
    QVERIFY(panel.connectToServer(QStringLiteral("127.0.0.1"), server.port()));

    const Exchange reload = panel.exchange(static_cast<quint8>(command), 7);
    QVERIFY2(reload.ok(), qPrintable(reload.error));
    QCOMPARE(reload.reply.kind, ReplyKind::Acknowledge);
    QCOMPARE(reload.reply.router, 7);

    QByteArray expected = bytes({1, 0, 0, 0, 0, 0, 0, 0});
    expected[flag] = 1;
    QCOMPARE(panel.exchange(CommandPollFlags, 1).reply.flags, expected);
    expected[flag] = 0;   // reported once
    QCOMPARE(panel.exchange(CommandPollFlags, 1).reply.flags, expected);
}

void TestPanelClient::retransmissionKeepsTheSequence()
{
    ScriptedServer stand([](QTcpSocket *peer, const QByteArray &request, int index) {
        if (index != 0)   // the first one is lost
            peer->write(acknowledgeTo(request));
    });
    PanelClient panel;
    panel.setReplyTimeout(500);
    QVERIFY(panel.connectToServer(QStringLiteral("127.0.0.1"), stand.port()));
    QSignalSpy sent(&panel, &PanelClient::requestSent);

    const Exchange first = panel.exchange(CommandReloadTables, 1);
    QVERIFY2(first.ok(), qPrintable(first.error));
    QCOMPARE(first.attempts, 2);
    QCOMPARE(stand.requests.size(), 2);
    QCOMPARE(stand.requests[1], stand.requests[0]);
    QCOMPARE(sent.size(), 2);
    QCOMPARE(sent[1][0].toByteArray(), sent[0][0].toByteArray());
    QCOMPARE(sent[1][1].toInt(), 2);

    const Exchange second = panel.exchange(CommandReloadTables, 1);
    QVERIFY(second.ok());
    QCOMPARE(second.attempts, 1);
    QVERIFY(second.request.left(4) != first.request.left(4));
}

void TestPanelClient::silenceEndsInNoReply()
{
    ScriptedServer stand([](QTcpSocket *, const QByteArray &, int) {});
    PanelClient panel;
    panel.setReplyTimeout(150);
    QVERIFY(panel.connectToServer(QStringLiteral("127.0.0.1"), stand.port()));

    const Exchange exchange = panel.exchange(CommandPollFlags, 1);
    QCOMPARE(exchange.outcome, Exchange::NoReply);
    QCOMPARE(exchange.attempts, 2);
    QTRY_COMPARE(stand.requests.size(), 2);
    QCOMPARE(stand.requests[1], stand.requests[0]);
    QVERIFY(!panel.busy());
}

void TestPanelClient::closedConnectionEndsTheWait()
{
    ScriptedServer stand([](QTcpSocket *peer, const QByteArray &, int) { peer->disconnectFromHost(); });
    PanelClient panel;
    QVERIFY(panel.connectToServer(QStringLiteral("127.0.0.1"), stand.port()));
    const Exchange exchange = panel.exchange(CommandPollFlags, 1);
    QCOMPARE(exchange.outcome, Exchange::ConnectionLost);
    QCOMPARE(exchange.attempts, 1);   // ended by the close, not by a timeout
    QCOMPARE(panel.exchange(CommandPollFlags, 1).outcome, Exchange::NotSent);
}

void TestPanelClient::lateDuplicateRepliesAreSkipped()
{
    // Every reply comes twice, as it does when a retransmission crosses a
    // slow reply: the second copy must not answer the next request.
    ScriptedServer stand([](QTcpSocket *peer, const QByteArray &request, int) {
        peer->write(acknowledgeTo(request));
        peer->flush();
        peer->write(acknowledgeTo(request));
    });
    PanelClient panel;
    QVERIFY(panel.connectToServer(QStringLiteral("127.0.0.1"), stand.port()));
    for (int i = 0; i < 3; ++i) {
        const Exchange exchange = panel.exchange(CommandReloadUsers, 9);
        QVERIFY2(exchange.ok(), qPrintable(exchange.error));
        QCOMPARE(exchange.reply.sequence, exchange.request.left(4));
    }
}

void TestPanelClient::splitReplyIsReassembled()
{
    // A flags reply in three pieces, with the stale tail of an older reply
    // in front of it.
    PanelClient panel;
    ScriptedServer stand([&panel](QTcpSocket *peer, const QByteArray &request, int) {
        const QByteArray reply = bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x11, 0x12}) + request.left(4)
            + bytes({0xFF, 0xA1, 1, 1, 0, 0, 1, 0, 0, 0, 0});
        writeInPieces(peer, panel, {reply.left(5), reply.mid(5, 8), reply.mid(13)});
    });
    QSignalSpy reads(&panel, &PanelClient::bytesArrived);
    QVERIFY(panel.connectToServer(QStringLiteral("127.0.0.1"), stand.port()));
    const Exchange exchange = panel.exchange(CommandPollFlags, 1);
    QVERIFY2(exchange.ok(), qPrintable(exchange.error));
    QCOMPARE(exchange.reply.flags, bytes({1, 0, 0, 1, 0, 0, 0, 0}));
    QCOMPARE(exchange.staleReplies, 1);
    QCOMPARE(reads.size(), 3);
}

void TestPanelClient::rawRequestsShowAnyReply()
{
    // The real server refuses a class below 0xE1, and says so.
    RunningServer server;
    PanelClient panel;
    QVERIFY(panel.connectToServer(QStringLiteral("127.0.0.1"), server.port()));
    const Exchange refused = panel.exchangeRaw(bytes({0xE0, 0xA1, 1}));
    QVERIFY2(refused.ok(), qPrintable(refused.error));
    QCOMPARE(refused.reply.kind, ReplyKind::NotHandled);
    QCOMPARE(refused.received, refused.request.left(4) + bytes({0x11, 0x12}));

    // A reply of no known kind is collected whole, however it arrives.
    PanelClient odd;
    ScriptedServer stand([&odd](QTcpSocket *peer, const QByteArray &request, int) {
        writeInPieces(peer, odd, {request.left(4) + "\x42\x43", "\x44"});
    });
    QSignalSpy reads(&odd, &PanelClient::bytesArrived);
    QVERIFY(odd.connectToServer(QStringLiteral("127.0.0.1"), stand.port()));
    const Exchange strange = odd.exchangeRaw(bytes({0xE1, 0x77}));
    QCOMPARE(strange.outcome, Exchange::BadReply);
    QCOMPARE(reads.size(), 2);
    QCOMPARE(strange.received, stand.requests.first().left(4) + "\x42\x43\x44");
    QCOMPARE(stand.requests.first().mid(4), bytes({0xE1, 0x77}));
}

void TestPanelClient::programUsage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    QTest::newRow("help") << QStringList{"--help"} << 0 << "reload WHAT";
    QTest::newRow("no command") << QStringList{} << 2 << "no command";
    QTest::newRow("unknown command") << QStringList{"jump"} << 2 << "unknown command";
    QTest::newRow("unknown option") << QStringList{"--bogus", "flags"} << 2 << "bogus";
    QTest::newRow("hold beyond one byte") << QStringList{"hold", "--destination", "256"} << 2 << "one byte";
    QTest::newRow("hold below zero") << QStringList{"hold", "--destination", "-1"} << 2 << "one byte";
    QTest::newRow("take without source") << QStringList{"take", "--destination", "5"} << 2 << "--source";
    QTest::newRow("take with level 9") << QStringList{"take", "--source", "1", "--destination", "5", "--levels", "09"}
                                      << 2 << "level";
    QTest::newRow("option of another command") << QStringList{"flags", "--clear"} << 2 << "--clear";
    QTest::newRow("reload of something else") << QStringList{"reload", "icons"} << 2 << "tables, settings or users";
    QTest::newRow("raw with half a byte") << QStringList{"raw", "E1A"} << 2 << "odd";
    QTest::newRow("router beyond a byte") << QStringList{"--router", "300", "flags"} << 2 << "--router";
    QTest::newRow("--all of another command") << QStringList{"take", "--all"} << 2 << "--all does not apply to take";
    QTest::newRow("reload of two things") << QStringList{"reload", "users", "tables"} << 2 << "reload WHAT";
    QTest::newRow("raw without bytes") << QStringList{"raw"} << 2 << "raw HEX";
}

void TestPanelClient::programUsage()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    QProcess panel;
    panel.start(QStringLiteral(MARLIN_PANEL_EXE), arguments);
    QVERIFY(panel.waitForFinished(30000));
    QCOMPARE(panel.exitStatus(), QProcess::NormalExit);
    QCOMPARE(panel.exitCode(), exitCode);
    const QString output = QString::fromLocal8Bit(panel.readAllStandardOutput() + panel.readAllStandardError());
    QVERIFY2(output.contains(message), qPrintable(output));
}

void TestPanelClient::programReportsConnectionFailure()
{
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        closedPort = probe.serverPort();
    }
    QProcess panel;
    panel.start(QStringLiteral(MARLIN_PANEL_EXE), {"--port", QString::number(closedPort), "flags"});
    QVERIFY(panel.waitForFinished(30000));
    QCOMPARE(panel.exitCode(), 1);
    QVERIFY(panel.readAllStandardError().contains("cannot connect"));
}

void TestPanelClient::programPollsRealServer()
{
    RunningServer server;
    QProcess panel;
    // The server answers from this thread's event loop, so wait on it.
    QSignalSpy finished(&panel, &QProcess::finished);
    panel.start(QStringLiteral(MARLIN_PANEL_EXE), {"--port", QString::number(server.port()), "--router", "9", "flags"});
    QVERIFY(finished.wait(30000));
    const QString output = QString::fromLocal8Bit(panel.readAllStandardOutput());
    QCOMPARE(panel.exitCode(), 0);
    QVERIFY2(output.contains(QRegularExpression(QStringLiteral("^router pending +set$"), QRegularExpression::MultilineOption)),
             qPrintable(output));
    QVERIFY2(output.contains(QRegularExpression(QStringLiteral("^users changed +clear$"), QRegularExpression::MultilineOption)),
             qPrintable(output));
    QCOMPARE(output.count(QLatin1Char('\n')), kFlagCount);
}

void TestPanelClient::programStatusListsWhatIsKnown_data()
{
    QTest::addColumn<bool>("all");
    QTest::newRow("known routers") << false;
    QTest::newRow("--all") << true;
}

void TestPanelClient::programStatusListsWhatIsKnown()
{
    QFETCH(bool, all);
    // Ports serve routers 7 and 9; none serves the others.
    RunningServer server(testsupport::loopbackCardSettings() + "[Net_Port_7]\r\nHardware_Enabled=1\r\nID_Number=7\r\n"
                         "[Net_Port_9]\r\nHardware_Enabled=1\r\nID_Number=9\r\n");
    // Router 7 has reported, router 9 has a comm port as its link, router
    // 11 has a held destination, router 12's communication is down;
    // nothing is known of the others.
    server->asReported(12).CommOK = false;
    server->asReported(7).StatusReceived = true;
    server->asReported(7).CurrentSource[3] = 5;
    server->asReported(9).LinkPort = 4;
    server->asReported(11).HighPriority[2] = true;
    server->asReported(11).PrioritySource[2] = 6;

    QProcess panel;
    QSignalSpy finished(&panel, &QProcess::finished);
    QStringList arguments{"--port", QString::number(server.port()), "status"};
    if (all)
        arguments << QStringLiteral("--all");
    panel.start(QStringLiteral(MARLIN_PANEL_EXE), arguments);
    QVERIFY(finished.wait(30000));
    QCOMPARE(panel.exitCode(), 0);
    const QString output = QString::fromLocal8Bit(panel.readAllStandardOutput());
    QVERIFY2(output.contains(QStringLiteral("router 7: status received yes, comm OK yes, link port 0 (no comm port: "
                                            "served by a network port, or by nothing)\n  3=5\n")),
             qPrintable(output));
    QVERIFY2(output.contains(QStringLiteral("router 9: status received no, comm OK yes, link port 4 (comm port 4)")),
             qPrintable(output));
    QVERIFY2(output.contains(QRegularExpression(QStringLiteral("^router 11: priority, .*held: 2$"),
                                                QRegularExpression::MultilineOption)),
             qPrintable(output));
    QCOMPARE(output.contains(QStringLiteral("router 1: status received no, comm OK none (no port serves it), ")), all);
    // A router whose communication is down is not sent to a new panel, and
    // still listed.
    QCOMPARE(output.contains(QStringLiteral("router 12: comm OK no (not sent: ")), all);
    QCOMPARE(output.count(QRegularExpression(QStringLiteral("^router \\d+: status"), QRegularExpression::MultilineOption)),
             all ? 95 : 3);
    QCOMPARE(output.contains(QStringLiteral("92 more router(s) with nothing heard")), !all);
    QVERIFY(output.contains(QStringLiteral("end of status: 95 status and 95 priority report(s)")));
}

void TestPanelClient::programWatchPrintsChanges()
{
    RunningServer server;
    QProcess panel;
    QString output;
    connect(&panel, &QProcess::readyReadStandardOutput, this,
            [&] { output += QString::fromLocal8Bit(panel.readAllStandardOutput()); });
    panel.start(QStringLiteral(MARLIN_PANEL_EXE), {"--port", QString::number(server.port()), "watch", "--interval", "50"});
    QTRY_VERIFY_WITH_TIMEOUT(output.contains(QStringLiteral("watching 96 router(s)")), 30000);

    server->asReported(3).CurrentSource[5] = 7;
    marlin::NotifyRouterChanged(server->panelTable(), 3, false);
    QTRY_VERIFY_WITH_TIMEOUT(output.contains(QStringLiteral("router 3 destination 5: none -> 7")), 10000);
    server->NotifySettingsChanged();
    QTRY_VERIFY_WITH_TIMEOUT(output.contains(QStringLiteral("settings changed")), 10000);

    QSignalSpy finished(&panel, &QProcess::finished);
    panel.terminate();   // SIGTERM stops a watch as Ctrl-C does
    QVERIFY(finished.wait(10000));
    QCOMPARE(panel.exitStatus(), QProcess::NormalExit);
    QCOMPARE(panel.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestPanelClient)
#include "tst_panelclient.moc"
