#include "clients/client_protocol.h"
#include "config/users.h"
#include "core/console_actions.h"
#include "core/server.h"
#include "links/tcp_keepalive.h"
#include "router/router_file.h"
#include "test_server.h"
#include "test_support.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace marlin;

using namespace testsupport;

class TestPanels : public QObject {
    Q_OBJECT

private slots:
    void newPanelSeesEveryWorkingRouter();
    void commandsOverTheWire_data();
    void commandsOverTheWire();
    void repeatedTakeSwitchesOnce();
    void takeWithNowhereToGoIsNotLoggedAsSent();
    void takeNumbersOutsideTheTable_data();
    void takeNumbersOutsideTheTable();
    void reloadsRereadTheirFiles_data();
    void reloadsRereadTheirFiles();
    void splitAndJoinedRequests();
    void takeInTwoPiecesWaitsForItsNumbers_data();
    void takeInTwoPiecesWaitsForItsNumbers();
    void cutTakeOrHoldIsDroppedAfterItsLimit_data();
    void cutTakeOrHoldIsDroppedAfterItsLimit();
    void takeCommentMakesOneBoundedLogLine_data();
    void takeCommentMakesOneBoundedLogLine();
    void paddedRequestGetsOneReply_data();
    void paddedRequestGetsOneReply();
    void unreadableUserFileIsAnIncompleteReload();
    void damagedFileReloadKeepsWhatIsInForce_data();
    void damagedFileReloadKeepsWhatIsInForce();
    void closedSlotsAreReused();
    void sixtyFifthPanelTakesAClosedRecord();
    void idleConnectionsDoNotStopService();
    void connectionsPerAddressAreCapped();
    void quietConnectionsGiveUpTheirRecords();
    void allowListAdmitsOnlyItsNetworks_data();
    void allowListAdmitsOnlyItsNetworks();
    void panelThatNeverReadsIsNotReadEither_data();
    void panelThatNeverReadsIsNotReadEither();
    void bindFailureOpensCardSettings();
    void cardPortThatIsNoNumberIsNotListenedOn();
};

void TestPanels::newPanelSeesEveryWorkingRouter()
{
    RunningServer install;
    QVERIFY(install.port() != 0);
    install->asReported(2).CommOK = false;
    Panel panel(install.port());
    QCOMPARE(panel.ask(panelRequest(1, 0xA1, 7), 15), QByteArray("\x00\x00\x00\x01\xFF\xA1\x07\x01\0\0\0\0\0\0\0", 15));
    // Drain: router 1 status, router 3 status (2 is down) ... then priorities.
    const QByteArray first = panel.ask(panelRequest(2, 0xA6, 1), 4 + 3 + 261);
    QCOMPARE(first.mid(4, 3), QByteArray("\xFF\xA6\x01"));
    QCOMPARE(first.mid(7, 2), QByteArray("\x00\x01", 2)); // no status yet, communication up
    QCOMPARE(panel.ask(panelRequest(3, 0xA8, 1), 4 + 3 + 517).mid(4, 3), QByteArray("\xFF\xA8\x03"));
}

void TestPanels::commandsOverTheWire_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("no-op") << panelRequest(9, 0x84, 5) << QByteArray("\x00\x00\x00\x09\x10\x01\x05", 7);
    QTest::newRow("unknown command") << panelRequest(9, 0xA7, 5) << QByteArray("\x00\x00\x00\x09\x11\x12", 6);
    QTest::newRow("class below E1") << panelRequest(9, 0xA1, 5, {}, 0xE0) << QByteArray("\x00\x00\x00\x09\x11\x12", 6);
    QTest::newRow("priority on router 0") << panelRequest(9, 0xAA, 0, "\x05\x01") << QByteArray("\x00\x00\x00\x09\x10\x01\x00", 7);
    QTest::newRow("router 200") << panelRequest(9, 0xAA, 200, "\x05\x01") << QByteArray("\x00\x00\x00\x09\x10\x01\xC8", 7);
    QTest::newRow("reload settings") << panelRequest(9, 0xA3, 1) << QByteArray("\x00\x00\x00\x09\x10\x01\x01", 7);
}

void TestPanels::commandsOverTheWire()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, reply);
    RunningServer install;
    Panel panel(install.port());
    QCOMPARE(panel.ask(bytes, reply.size()), reply);
    // The same sequence again gets the same bytes, and the server keeps
    // serving the panel.
    QCOMPARE(panel.ask(bytes, reply.size()), reply);
    QCOMPARE(panel.ask(panelRequest(10, 0x85, 3), 7), QByteArray("\x00\x00\x00\x0A\x10\x01\x03", 7));
}

void TestPanels::repeatedTakeSwitchesOnce()
{
    RunningServer install(loopbackCardSettings() + "[Net_Port_4]\r\nHardware_Enabled=1\r\nID_Number=2\r\n");
    Panel panel(install.port());
    const QByteArray take = "C 110000000003000500IN_3    OUT_5     desk one  ";
    const QByteArray ack("\x0A\x0B\x0C\x0D\x10\x01\x02", 7);
    QCOMPARE(panel.ask(panelRequest(0x0A0B0C0D, 0xA5, 2, take), 7), ack);
    // The panel did not hear the answer and sends the take again on the same
    // connection: the same answer, and nothing switched or logged twice.
    QCOMPARE(panel.ask(panelRequest(0x0A0B0C0D, 0xA5, 2, take), 7), ack);
    QCOMPARE(install->routerLinks().queuedCommands(2, true), QList<QByteArray>{"@ X:01/4,2\r"});
    QCOMPARE(install->routerLinks().queuedCommands(2, false), QList<QByteArray>{"@ X:01/4,2\r"});
    QCOMPARE(logEntries(install.path(), "Switch").size(), 1);
}

// Panels keep their rule: every take is acknowledged, and numbers beyond the
// table are passed on (the router may be larger than its table). A take to
// a router no port serves is not sent, and the logs say so.
void TestPanels::takeWithNowhereToGoIsNotLoggedAsSent()
{
    RunningServer install(loopbackCardSettings() + "[Net_Port_4]\r\nHardware_Enabled=1\r\nID_Number=2\r\n");
    Panel panel(install.port());
    // The status block's first spare byte marks a router no port serves.
    const QByteArray first = panel.ask(panelRequest(1, 0xA6, 1), 4 + 3 + 261);
    QCOMPARE(first.mid(4, 3), QByteArray("\xFF\xA6\x01"));
    QCOMPARE(first.mid(7, 5), QByteArray("\x00\x01\x00\x01\x00", 5));
    const QByteArray second = panel.ask(panelRequest(2, 0xA6, 1), 4 + 3 + 261);
    QCOMPARE(second.mid(4, 3), QByteArray("\xFF\xA6\x02"));
    QCOMPARE(second.mid(7, 5), QByteArray("\x00\x01\x00\x00\x00", 5));

    QCOMPARE(panel.ask(panelRequest(3, 0xA5, 50, "C 110000000003000500IN_3    OUT_5   nowhere"), 7),
             QByteArray("\x00\x00\x00\x03\x10\x01\x32", 7));
    QCOMPARE(panel.ask(panelRequest(4, 0xA5, 200, "C 110000000003000500IN_3    OUT_5   nowhere"), 7),
             QByteArray("\x00\x00\x00\x04\x10\x01\xC8", 7));
    // Source 99 of a table of 32 visible sources still goes to router 2.
    QCOMPARE(panel.ask(panelRequest(5, 0xA5, 2, "C 110000000099000500IN_99   OUT_5   beyond"), 7),
             QByteArray("\x00\x00\x00\x05\x10\x01\x02", 7));
    QCOMPARE(install->routerLinks().queuedCommands(2, true), QList<QByteArray>{"@ X:01/4,62\r"});
    for (const int r : {1, 50})
        QVERIFY(install->routerLinks().queuedCommands(r, true).isEmpty() && install->routerLinks().queuedCommands(r, false).isEmpty());
    const QList<QByteArray> switches = logEntries(install.path(), "Switch");
    QCOMPARE(switches.size(), 1);
    QVERIFY(switches.first().startsWith("Switch command sent.\t Router = Router_2\t"));
    QVERIFY(switches.first().endsWith("beyond"));
    const QList<QByteArray> errors = logEntries(install.path(), "Error");
    QVERIFY(errors.contains("Take not sent: no port serves Router_50 (Router_50)."));
    QVERIFY(errors.contains("Take not sent: no port serves Router_200."));
    QCOMPARE(install->routerState(50).PrioritySource[5], 0);
    QCOMPARE(install->takesCounted(Server::TakeOrigin::Panel), quint64(3));
}

// A panel's numbers reach the router whatever the table holds; only those
// inside the state are recorded, and the log names only the table's
// entries. A router outside the tables goes nowhere, and says so.
void TestPanels::takeNumbersOutsideTheTable_data()
{
    QTest::addColumn<int>("router");
    QTest::addColumn<QByteArray>("numbers");   // characters 11-18 of the take string
    QTest::addColumn<QByteArray>("command");   // on router 2's queues; empty: none
    QTest::addColumn<QByteArray>("switchLine");
    QTest::addColumn<QList<QByteArray>>("errors");
    QTest::addColumn<int>("recorded");         // destination whose priority source is 7; 0: none

    const QByteArray sent = "Switch command sent.\t Router = Router_2\t Source = Input_7";
    QTest::newRow("inside") << 2 << QByteArray("00070005") << QByteArray("@ X:01/4,6\r")
                            << sent + "\t Destination = Output_5\tedge" << QList<QByteArray>{} << 5;
    QTest::newRow("destination 300") << 2 << QByteArray("00070300") << QByteArray("@ X:01/12B,6\r")
                                     << sent + "\tedge" << QList<QByteArray>{} << 0;
    // Leitch has no output 0 or below: acknowledged, and nothing goes.
    QTest::newRow("destination 0") << 2 << QByteArray("00070000") << QByteArray() << QByteArray()
                                   << QList<QByteArray>{} << 0;
    QTest::newRow("negative destination")
        << 2 << QByteArray("0007-002") << QByteArray() << QByteArray()
        << QList<QByteArray>{"Data Arrival Error.Destination out of range 3"} << 0;
    QTest::newRow("router 0") << 0 << QByteArray("00070005") << QByteArray() << QByteArray()
                              << QList<QByteArray>{"Take not sent: no port serves Router_0."} << 0;
    QTest::newRow("router 97")
        << 97 << QByteArray("00070005") << QByteArray() << QByteArray()
        << QList<QByteArray>{"Take not sent: no port serves Router_97.", "Data Arrival Error.Router out of range 2"}
        << 0;
}

void TestPanels::takeNumbersOutsideTheTable()
{
    QFETCH(int, router);
    QFETCH(QByteArray, numbers);
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, switchLine);
    QFETCH(QList<QByteArray>, errors);
    QFETCH(int, recorded);

    RunningServer install(loopbackCardSettings() + "[Net_Port_4]\r\nHardware_Enabled=1\r\nID_Number=2\r\n");
    const QList<QByteArray> errorsBefore = logEntries(install.path(), "Error");
    Panel panel(install.port());
    QCOMPARE(panel.ask(panelRequest(1, 0xA5, router, "C 11000000" + numbers + "IN_7    OUT_X   edge"), 7).mid(4),
             QByteArray("\x10\x01", 2) + char(router));
    // A following request answered: everything the take did is done.
    QCOMPARE(panel.ask(panelRequest(2, 0x84, 2), 7).mid(4), QByteArray("\x10\x01\x02", 3));

    QCOMPARE(install->routerLinks().queuedCommands(2, true), command.isEmpty() ? QList<QByteArray>{} : QList<QByteArray>{command});
    QCOMPARE(logEntries(install.path(), "Switch"), switchLine.isEmpty() ? QList<QByteArray>{} : QList<QByteArray>{switchLine});
    QCOMPARE(logEntries(install.path(), "Error").mid(errorsBefore.size()), errors);
    for (int d = 1; d <= kPointCount; ++d)
        QCOMPARE(install->routerState(2).PrioritySource[d], d == recorded ? 7 : 0);
    QCOMPARE(install->takesCounted(Server::TakeOrigin::Panel), quint64(1));
}

void TestPanels::reloadsRereadTheirFiles_data()
{
    QTest::addColumn<int>("command");
    QTest::newRow("router tables") << 0xA2;
    QTest::newRow("settings") << 0xA3;
    QTest::newRow("users") << 0xA4;
}

void TestPanels::reloadsRereadTheirFiles()
{
    QFETCH(int, command);
    RunningServer install;
    TestServer &server = *install;
    Panel panel(install.port());

    // The files change behind the running server's back.
    RouterTable table = server.routerTable(5);
    table.Name = QStringLiteral("Studio B");
    QVERIFY(SaveRouterTable(install.path(), 5, table));
    QVERIFY(QDir(install.path()).mkdir(QStringLiteral("ICONS")));
    QImage picture(16, 16, QImage::Format_ARGB32);
    picture.fill(Qt::green);
    QVERIFY(picture.save(install.filePath(QStringLiteral("ICONS/CAM2.ICO")), "ICO"));
    QVERIFY(writeFile(install.filePath(QStringLiteral("WREN.INI")),
                      loopbackCardSettings() + "[Com_Port_3]\r\nPort_Description=Edited\r\n"));
    UserTable users = server.users();
    users[2] = {.UserName = QStringLiteral("night"), .UserPassword = QStringLiteral("owl"), .UserPrivilege = 2};
    QVERIFY(SaveUsers(server.UserFile(), users));

    QCOMPARE(panel.ask(panelRequest(1, command, 9), 7), QByteArray("\x00\x00\x00\x01\x10\x01\x09", 7));
    // Each reload reads its own files and no other.
    const bool tables = command == 0xA2;
    const bool settings = command == 0xA3;
    const bool usersToo = command == 0xA4;
    QCOMPARE(server.routerTable(5).Name == QStringLiteral("Studio B"), tables);
    QCOMPARE(server.icons().contains(QStringLiteral("CAM2.ICO")), tables);
    QCOMPARE(server.currentSettings().ComPorts[3].ComDescription == QStringLiteral("Edited"), settings);
    QCOMPARE(server.users()[2].UserName == QStringLiteral("night"), usersToo);
    if (usersToo) {
        QCOMPARE(server.users()[2].UserPassword, QStringLiteral("owl"));
        QCOMPARE(server.users()[2].UserPrivilege, qint16(2));
    }
}

void TestPanels::paddedRequestGetsOneReply_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("replyLength");
    for (const int pad : {1, 3, 6}) {
        QTest::addRow("flag poll padded by %d", pad) << panelRequest(1, 0xA1, 4) + QByteArray(pad, '\0') << 15;
        QTest::addRow("hold padded by %d", pad) << panelRequest(1, 0xAA, 4, "\x05\x01") + QByteArray(pad, '\x01') << 7;
    }
}

void TestPanels::paddedRequestGetsOneReply()
{
    QFETCH(QByteArray, request);
    QFETCH(int, replyLength);
    RunningServer install;
    Panel panel(install.port());
    panel.socket.write(request);
    QCOMPARE(panel.await(replyLength).left(4), request.left(4));
    // Panels are answered in order: a stray reply to the padding would come
    // before the reply to this following request, and nothing else may be waiting.
    QCOMPARE(panel.ask(panelRequest(2, 0x84, 4), 7), QByteArray("\x00\x00\x00\x02\x10\x01\x04", 7));
    QCOMPARE(panel.socket.bytesAvailable(), 0);
    for (const QByteArray &entry : logEntries(install.path(), "Error"))
        QVERIFY2(!entry.contains("Data Arrival Error"), entry.constData());
}

void TestPanels::splitAndJoinedRequests()
{
    RunningServer install;
    Panel panel(install.port());
    const QByteArray poll = panelRequest(1, 0xA1, 4);
    panel.socket.write(poll.left(3));
    // The server holds the first part and has answered nothing, so the rest
    // arrives in a read of its own.
    QTRY_COMPARE(install->panelListener().bufferedBytes(5), 3);
    QCOMPARE(install->panelRecords()[1].InUse, false);
    panel.socket.write(poll.mid(3));
    QCOMPARE(panel.await(15).left(7), QByteArray("\x00\x00\x00\x01\xFF\xA1\x04", 7));

    // Two requests in one write get two replies.
    panel.socket.write(panelRequest(2, 0x91, 1) + panelRequest(3, 0xA1, 2));
    QCOMPARE(panel.await(22), QByteArray("\x00\x00\x00\x02\x10\x01\x01\x00\x00\x00\x03\xFF\xA1\x02\x01\0\0\0\0\0\0\0", 22));

    // A fragment that never grows is answered as a short request after a pause.
    panel.socket.write(QByteArray("\x00\x00", 2));
    QCOMPARE(panel.await(4), QByteArray("\x00\x00\x11\x12", 4));
    QTRY_VERIFY(logEntries(install.path(), "Error").contains("Data Arrival Error.Request too short 1"));
}

namespace {
// Router 2 served by a network port without an address: its commands stay
// in the queues, where the test reads them.
QByteArray routerTwoSettings() { return loopbackCardSettings() + "[Net_Port_4]\r\nHardware_Enabled=1\r\nID_Number=2\r\n"; }
const QByteArray kTakeThreeToSeventeen = "C 1100000000030017IN_3    OUT_17  desk one";
} // namespace

void TestPanels::takeInTwoPiecesWaitsForItsNumbers_data()
{
    QTest::addColumn<int>("cut"); // bytes of the request in the first piece
    QTest::newRow("in the destination (...0003001)") << 7 + 17;
    QTest::newRow("after the source") << 7 + 14;
    QTest::newRow("in the levels") << 7 + 4;
    QTest::newRow("in the header") << 5;
}

// The rest of a take 300 ms late, as after one lost segment: the take waits
// for it and switches what the panel asked for, once.
void TestPanels::takeInTwoPiecesWaitsForItsNumbers()
{
    QFETCH(int, cut);
    RunningServer install(routerTwoSettings());
    Panel panel(install.port());
    const QByteArray request = panelRequest(0x0A0B0C0D, 0xA5, 2, kTakeThreeToSeventeen);
    panel.socket.write(request.left(cut));
    QTRY_COMPARE(install->panelListener().bufferedBytes(ClientServer::kFirstAcceptedSlot), qsizetype(cut));
    // Nothing is answered before the rest comes, though the line is quiet
    // for longer than the quiet time.
    QCOMPARE(panel.await(1, 300), QByteArray());
    panel.socket.write(request.mid(cut));
    QCOMPARE(panel.await(7), QByteArray("\x0A\x0B\x0C\x0D\x10\x01\x02", 7));
    QCOMPARE(install->routerLinks().queuedCommands(2, true), QList<QByteArray>{"@ X:01/10,2\r"});
    // The next request is answered alone: no reply to a stray piece before it.
    QCOMPARE(panel.ask(panelRequest(2, 0x84, 2), 7), QByteArray("\x00\x00\x00\x02\x10\x01\x02", 7));
    const auto switches = logEntries(install.path(), "Switch");
    QCOMPARE(switches.size(), 1);
    QVERIFY2(switches[0].contains("\t Destination = Output_17\tdesk one"), switches[0].constData());
    for (const QByteArray &entry : logEntries(install.path(), "Error"))
        QVERIFY2(!entry.contains("Data Arrival Error"), entry.constData());
}

void TestPanels::cutTakeOrHoldIsDroppedAfterItsLimit_data()
{
    QTest::addColumn<QByteArray>("piece");
    QTest::newRow("take cut in its destination") << panelRequest(1, 0xA5, 2, kTakeThreeToSeventeen.left(17));
    QTest::newRow("take cut in its header") << panelRequest(1, 0xA5, 2).left(5);
    QTest::newRow("hold without its flag byte") << panelRequest(1, 0xAA, 2, "\x11");
}

// A piece whose rest never comes is answered not-handled once its limit
// has passed, logged, and never run.
void TestPanels::cutTakeOrHoldIsDroppedAfterItsLimit()
{
    QFETCH(QByteArray, piece);
    RunningServer install(routerTwoSettings());
    install->asReported(2).HighPriority[17] = true;
    Panel panel(install.port());
    panel.socket.write(piece);
    QCOMPARE(panel.await(6, ClientServer::kIncompleteLimitMs + 5000), QByteArray("\x00\x00\x00\x01\x11\x12", 6));
    QTRY_VERIFY(logEntries(install.path(), "Error").contains("Data Arrival Error.Request too short 1"));
    // The next request runs; nothing was switched or released before it.
    QCOMPARE(panel.ask(panelRequest(2, 0x84, 2), 7), QByteArray("\x00\x00\x00\x02\x10\x01\x02", 7));
    QCOMPARE(install->routerLinks().queuedCommands(2, true), QList<QByteArray>());
    QVERIFY(install->routerState(2).HighPriority[17]);
    QCOMPARE(logEntries(install.path(), "Switch"), QList<QByteArray>());
}

void TestPanels::takeCommentMakesOneBoundedLogLine_data()
{
    QTest::addColumn<QByteArray>("comment");
    QTest::addColumn<QByteArray>("logged");
    QTest::newRow("line ends") << QByteArray("ok\r\n03-04-2026  05:06:07 Switch command sent.\tforged")
                               << QByteArray("ok\\x0D\\x0A03-04-2026  05:06:07 Switch command sent.\\x09forged");
    QTest::newRow("NUL") << QByteArray("a\0b", 3) << QByteArray("a\\x00b");
    QTest::newRow("60 KB") << QByteArray(60 * 1024, 'c') << QByteArray(Logs::kCommentLimit, 'c');
}

// Whatever comment an unauthenticated panel sends, its take makes one
// switch log line, without control characters, of bounded length.
void TestPanels::takeCommentMakesOneBoundedLogLine()
{
    QFETCH(QByteArray, comment);
    QFETCH(QByteArray, logged);
    RunningServer install(routerTwoSettings());
    Panel panel(install.port());
    const QByteArray take = kTakeThreeToSeventeen.left(kTakeStringSize) + comment;
    QCOMPARE(panel.ask(panelRequest(1, 0xA5, 2, take), 7), QByteArray("\x00\x00\x00\x01\x10\x01\x02", 7));
    const QList<QByteArray> switches = logEntries(install.path(), "Switch");
    QCOMPARE(switches.size(), 1);
    QVERIFY2(switches[0].endsWith("\t Destination = Output_17\t" + logged), switches[0].left(200).constData());
}

// A folder in place of USER.INI fails every read, even for root.
void TestPanels::unreadableUserFileIsAnIncompleteReload()
{
    RunningServer install;
    install->usersAsLoaded()[2].UserName = QStringLiteral("desk");
    QVERIFY(QDir().mkpath(install.filePath(QStringLiteral("USER.INI"))));
    Panel panel(install.port());
    QCOMPARE(panel.ask(panelRequest(1, 0xA4, 3), 7), QByteArray("\x00\x00\x00\x01\x10\x01\x03", 7));
    QTRY_VERIFY(logEntries(install.path(), "Error").contains("Data Arrival Error.Reload incomplete 6"));
    const auto entries = logEntries(install.path(), "Error");
    QVERIFY(std::any_of(entries.begin(), entries.end(),
                        [](const QByteArray &e) { return e.startsWith("The user file ") && e.contains("could not be read"); }));
    QCOMPARE(install->users()[2].UserName, QStringLiteral("desk"));
}

void TestPanels::damagedFileReloadKeepsWhatIsInForce_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("command");
    QTest::addColumn<QByteArray>("failure"); // how the logged failure begins

    QByteArray binary;
    for (int i = 0; i < 2048; ++i)
        binary.append(char((i * 7919 + 13) % 256));
    QTest::newRow("users emptied") << "USER.INI" << QByteArray() << 0xA4 << QByteArray("The user file ");
    QTest::newRow("users binary") << "USER.INI" << binary << 0xA4 << QByteArray("The user file ");
    QTest::newRow("users without User_1") << "USER.INI" << QByteArray("[USERS]\r\nUnicode=1\r\n") << 0xA4
                                          << QByteArray("The user file ");
    QTest::newRow("settings emptied") << "WREN.INI" << QByteArray() << 0xA3 << QByteArray("The settings file ");
    QTest::newRow("settings binary") << "WREN.INI" << binary << 0xA3 << QByteArray("The settings file ");
}

// A damaged file read again from an unauthenticated panel changes nothing in
// force: the built-in account does not come back, routers stay in service.
// The panel gets its acknowledge; the log says why the reload was incomplete.
void TestPanels::damagedFileReloadKeepsWhatIsInForce()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, content);
    QFETCH(int, command);
    QFETCH(QByteArray, failure);

    RunningServer install(routerTwoSettings());
    TestServer &server = *install;
    UserTable users;
    users[3] = User{QStringLiteral("chief"), QStringLiteral("secret"), Administrator};
    QVERIFY(SaveUsers(server.UserFile(), users));
    QVERIFY(server.reloadUsers());
    QCOMPARE(FindLoginUser(server, QStringLiteral("chief"), QStringLiteral("secret")), 3);
    QVERIFY(server.currentSettings().NetPorts[4].NetEnabled);

    QVERIFY(writeFile(install.filePath(file), content));
    Panel panel(install.port());
    QCOMPARE(panel.ask(panelRequest(1, command, 3), 7), QByteArray("\x00\x00\x00\x01\x10\x01\x03", 7));
    QTRY_VERIFY(logEntries(install.path(), "Error").contains("Data Arrival Error.Reload incomplete 6"));
    const auto entries = logEntries(install.path(), "Error");
    QVERIFY(std::any_of(entries.begin(), entries.end(), [&](const QByteArray &e) {
        return e.startsWith(failure) && e.endsWith(" kept.");
    }));
    QCOMPARE(FindLoginUser(server, QStringLiteral("admin"), QStringLiteral("marlin")), 0);
    QCOMPARE(FindLoginUser(server, QStringLiteral("chief"), QStringLiteral("secret")), 3);
    QVERIFY(server.currentSettings().NetPorts[4].NetEnabled);
    QCOMPARE(server.currentSettings().NetPorts[4].NetIDNumber, qint16(2));
}

void TestPanels::closedSlotsAreReused()
{
    RunningServer install;
    auto a = std::make_unique<Panel>(install.port());
    auto b = std::make_unique<Panel>(install.port());
    auto c = std::make_unique<Panel>(install.port());
    QTRY_COMPARE(install->counters().panelSockets, 3);
    const quint16 bPort = b->socket.localPort();
    QTRY_VERIFY(install->isPanelConnected(6) && install->panelListener().peerPort(6) == bPort);
    b.reset();
    QTRY_VERIFY(!install->isPanelConnected(6));
    Panel d(install.port());
    QTRY_VERIFY(install->panelListener().peerPort(6) == d.socket.localPort());
    QCOMPARE(install->counters().panelSockets, 3);
    // A panel that loses power without closing is found by keepalive.
    QCOMPARE(ReadKeepaliveOptions(install->panelListener().socketDescriptor(6)), kDeadPeerDetection);
}

void TestPanels::sixtyFifthPanelTakesAClosedRecord()
{
    RunningServer install;
    std::vector<std::unique_ptr<Panel>> panels;
    for (int i = 0; i < kClientCount; ++i) {
        panels.push_back(std::make_unique<Panel>(install.port()));
        QCOMPARE(panels.back()->ask(panelRequest(1, 0x84, 1), 7).size(), 7);
    }
    // From another address: one address holds at most 64 connections.
    Panel extra(install.port(), QHostAddress(QStringLiteral("127.0.0.2")));
    extra.socket.write(panelRequest(1, 0x84, 1));
    // Another panel's answer comes back, the extra panel's never does.
    QCOMPARE(panels[0]->ask(panelRequest(2, 0x84, 1), 7).size(), 7);
    QCOMPARE(extra.await(7, 300), QByteArray());

    // Once panels have gone, the next panel takes the record of the one
    // that closed first at once, without waiting for the sweep.
    const quint16 firstGone = panels[5]->socket.localPort();
    const quint16 secondGone = panels[9]->socket.localPort();
    panels[5].reset();
    QTRY_VERIFY(!install->isPanelConnected(10));
    panels[9].reset();
    QTRY_VERIFY(!install->isPanelConnected(14));
    QCOMPARE(extra.ask(panelRequest(2, 0x84, 1), 7), QByteArray("\x00\x00\x00\x02\x10\x01\x01", 7));
    QList<int> ports;
    for (int c = 1; c <= kClientCount; ++c)
        ports.append(install->panelRecords()[c].RemotePort);
    QVERIFY(ports.contains(extra.socket.localPort()));
    QVERIFY(!ports.contains(firstGone));
    QVERIFY(ports.contains(secondGone));
    QCOMPARE(LiveClientCount(install->panelTable()), kClientCount);
}

void TestPanels::idleConnectionsDoNotStopService()
{
    RunningServer install;
    // A panel at work before the flood.
    Panel working(install.port());
    QCOMPARE(working.ask(panelRequest(1, 0x84, 9), 7), QByteArray("\x00\x00\x00\x01\x10\x01\x09", 7));
    // Connections that send nothing fill every other slot, from four
    // addresses (each within its share), in groups so the listener's
    // backlog never overflows.
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    while (int(idle.size()) < ClientServer::kAcceptedSlotLimit - 1) {
        for (int i = 0; i < 32 && int(idle.size()) < ClientServer::kAcceptedSlotLimit - 1; ++i) {
            idle.push_back(std::make_unique<QTcpSocket>());
            idle.back()->bind(QHostAddress(QStringLiteral("127.0.0.%1").arg(2 + int(idle.size()) % 4)));
            idle.back()->connectToHost(QHostAddress::LocalHost, install.port());
        }
        QTRY_COMPARE_WITH_TIMEOUT(install->panelsConnected(), int(idle.size()) + 1, 10000);
    }
    QCOMPARE(install->counters().panelSockets, ClientServer::kAcceptedSlotLimit);

    // Each new panel takes the place of the connection idle longest; the
    // panel at work and the panels before it keep theirs.
    QSignalSpy firstClosed(idle.front().get(), &QTcpSocket::disconnected);
    constexpr int kNewPanels = 20;
    std::vector<std::unique_ptr<Panel>> panels;
    int answered = 0;
    for (int i = 0; i < kNewPanels; ++i) {
        panels.push_back(std::make_unique<Panel>(install.port()));
        answered += panels.back()->ask(panelRequest(1, 0x84, 9), 7) == QByteArray("\x00\x00\x00\x01\x10\x01\x09", 7);
        QCOMPARE(working.ask(panelRequest(2 + i, 0x84, 9), 7).size(), 7);
    }
    qInfo("new panels answered during the flood of idle connections: %d of %d", answered, kNewPanels);
    QCOMPARE(answered, kNewPanels);
    QTRY_COMPARE(firstClosed.size(), 1);
    QCOMPARE(install->panelsConnected(), ClientServer::kAcceptedSlotLimit);
    for (auto &panel : panels)
        QCOMPARE(panel->ask(panelRequest(2, 0x84, 9), 7), QByteArray("\x00\x00\x00\x02\x10\x01\x09", 7));
    QCOMPARE(LiveClientCount(install->panelTable()), kNewPanels + 1);
}

void TestPanels::connectionsPerAddressAreCapped()
{
    RunningServer install(loopbackCardSettings() + "Panel_Connections_Per_Address=3\r\n");
    const QHostAddress crowded(QStringLiteral("127.0.0.7"));
    std::vector<std::unique_ptr<Panel>> panels;
    for (int i = 0; i < 3; ++i) {
        panels.push_back(std::make_unique<Panel>(install.port(), crowded));
        QCOMPARE(panels.back()->ask(panelRequest(1, 0x84, 1), 7).size(), 7);
    }
    // One more from the same address is closed at once ...
    Panel fourth(install.port(), crowded);
    QTRY_COMPARE_WITH_TIMEOUT(fourth.socket.state(), QAbstractSocket::UnconnectedState, 5000);
    // ... while another address is served, and so are the three.
    Panel other(install.port(), QHostAddress(QStringLiteral("127.0.0.8")));
    QCOMPARE(other.ask(panelRequest(1, 0x84, 1), 7).size(), 7);
    for (auto &panel : panels)
        QCOMPARE(panel->ask(panelRequest(2, 0x84, 1), 7).size(), 7);
    // A connection closed makes room for the address again.
    panels.front().reset();
    QTRY_COMPARE(install->panelsConnected(), 3);
    Panel again(install.port(), crowded);
    QCOMPARE(again.ask(panelRequest(1, 0x84, 1), 7).size(), 7);
}

void TestPanels::quietConnectionsGiveUpTheirRecords()
{
    RunningServer install;
    // Just before midnight, so the idle time is counted across it.
    double clock = 86400 - 10;
    install->panelListener().setClock([&clock] { return clock; });
    std::vector<std::unique_ptr<Panel>> quiet;
    for (int i = 0; i < kClientCount; ++i) {
        quiet.push_back(std::make_unique<Panel>(install.port(), QHostAddress(QStringLiteral("127.0.1.%1").arg(i + 1))));
        QCOMPARE(quiet.back()->ask(panelRequest(1, 0x84, 1), 7).size(), 7);
    }
    Panel extra(install.port());
    // A minute later every record is still held: no answer, while a panel
    // that asks is answered.
    clock = std::fmod(clock + kIdleRecordSeconds, 86400);
    extra.socket.write(panelRequest(1, 0x84, 1));
    QCOMPARE(quiet[1]->ask(panelRequest(2, 0x84, 1), 7).size(), 7);
    QCOMPARE(extra.await(7, 300), QByteArray());
    // Past the minute, the record of the connection quiet longest is taken.
    clock += 1;
    QCOMPARE(extra.ask(panelRequest(2, 0x84, 1), 7), QByteArray("\x00\x00\x00\x02\x10\x01\x01", 7));
    QList<int> ports;
    for (int c = 1; c <= kClientCount; ++c)
        ports.append(install->panelRecords()[c].RemotePort);
    QVERIFY(ports.contains(extra.socket.localPort()));
    QVERIFY(ports.contains(quiet[1]->socket.localPort())); // heard from a second ago
    QCOMPARE(LiveClientCount(install->panelTable()), kClientCount);
}

void TestPanels::allowListAdmitsOnlyItsNetworks_data()
{
    QTest::addColumn<QByteArray>("allowed");
    QTest::addColumn<QString>("from");
    QTest::addColumn<bool>("served");
    QTest::addColumn<int>("problems"); // entries --check-config reports
    QTest::newRow("empty: every address") << QByteArray() << "127.0.0.9" << true << 0;
    QTest::newRow("in the network") << QByteArray("127.0.0.0/8") << "127.0.0.9" << true << 0;
    QTest::newRow("one host of a list") << QByteArray("10.20.0.0/16, 127.0.0.3") << "127.0.0.3" << true << 0;
    QTest::newRow("outside the list") << QByteArray("10.20.0.0/16, 127.0.0.3") << "127.0.0.4" << false << 0;
    QTest::newRow("a narrow network") << QByteArray("127.0.5.0/24") << "127.0.6.1" << false << 0;
    QTest::newRow("bad entry, good one") << QByteArray("127.0.0/33, 127.0.0.9") << "127.0.0.9" << true << 1;
    QTest::newRow("bad entries only") << QByteArray("nowhere, 127.0.0.1/40") << "127.0.0.1" << false << 2;
}

void TestPanels::allowListAdmitsOnlyItsNetworks()
{
    QFETCH(QByteArray, allowed);
    QFETCH(QString, from);
    QFETCH(bool, served);
    QFETCH(int, problems);
    RunningServer install(loopbackCardSettings() + "Panel_Allowed_Networks=" + allowed + "\r\n");
    QCOMPARE(ParseAllowedNetworks(install->currentSettings().Panels.PanelAllowedNetworks).problems.size(), problems);
    Panel panel(install.port(), QHostAddress(from));
    if (served) {
        QCOMPARE(panel.ask(panelRequest(1, 0x84, 1), 7).size(), 7);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(panel.socket.state(), QAbstractSocket::UnconnectedState, 5000);
        QCOMPARE(LiveClientCount(install->panelTable()), 0);
    }
}

void TestPanels::panelThatNeverReadsIsNotReadEither_data()
{
    QTest::addColumn<bool>("readsAgain");
    QTest::newRow("reads again") << true;
    QTest::newRow("never reads") << false;
}

void TestPanels::panelThatNeverReadsIsNotReadEither()
{
    QFETCH(bool, readsAgain);
    RunningServer install;
    // The hog: a small receive window and no reading at all.
    const int hog = ::socket(AF_INET, SOCK_STREAM, 0);
    const int small = 4096;
    ::setsockopt(hog, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(install.port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::connect(hog, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ::fcntl(hog, F_SETFL, O_NONBLOCK);
    const int hogSlot = ClientServer::kFirstAcceptedSlot;
    QTRY_VERIFY(install->isPanelConnected(hogSlot));

    // A full refresh and the status requests it makes pending, over and
    // over: 524 bytes of reply for each 7 bytes sent.
    QByteArray cycle = panelRequest(0, 0x91, 1);
    for (int i = 1; i <= 2 * kRouterCount; ++i)
        cycle += panelRequest(quint32(i), 0xA8, 1);
    qint64 sent = 0;
    QTRY_VERIFY_WITH_TIMEOUT(([&] {
        const ssize_t n = ::send(hog, cycle.constData(), std::size_t(cycle.size()), MSG_NOSIGNAL);
        sent += std::max<ssize_t>(n, 0);
        return install->panelListener().isReadingPaused(hogSlot);
    }()), 20000);
    // What waits unsent stops near the cap, whatever the hog sends on.
    for (int i = 0; i < 50; ++i)
        ::send(hog, cycle.constData(), std::size_t(cycle.size()), MSG_NOSIGNAL);

    // Other panels are served meanwhile. The hog's bytes were waiting before
    // this panel connected, so by the time its request is answered the server
    // would have read them had it not paused.
    Panel other(install.port());
    QCOMPARE(other.ask(panelRequest(7, 0x84, 9), 7), QByteArray("\x00\x00\x00\x07\x10\x01\x09", 7));
    QVERIFY(install->panelListener().isReadingPaused(hogSlot));
    QVERIFY(install->panelListener().unsentBytes(hogSlot) < ClientServer::kUnsentLimit + 1024);

    if (readsAgain) {
        // Once the hog reads, its requests are taken again.
        char sink[65536];
        QTRY_VERIFY_WITH_TIMEOUT(([&] {
            while (::recv(hog, sink, sizeof sink, 0) > 0) {
            }
            return !install->panelListener().isReadingPaused(hogSlot);
        }()), 20000);
    } else {
        // Stuck for longer than the limit: the connection is closed.
        QTRY_VERIFY_WITH_TIMEOUT(!install->isPanelConnected(hogSlot),
                                  ClientServer::kStallLimitMs + 15000);
        QCOMPARE(other.ask(panelRequest(8, 0x84, 9), 7), QByteArray("\x00\x00\x00\x08\x10\x01\x09", 7));
    }
    ::close(hog);
}

void TestPanels::bindFailureOpensCardSettings()
{
    QTcpServer occupied;
    QVERIFY(occupied.listen(QHostAddress::LocalHost));
    const QByteArray port = QByteArray::number(occupied.serverPort());
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("WREN.INI")),
              "[Network_Settings]\r\nNetwork_Card_1_IP_Address=127.0.0.1\r\nNetwork_Card_1_TCP_Port=" + port
                  + "\r\nNetwork_Card_2_IP_Address=127.0.0.1\r\nNetwork_Card_2_TCP_Port=0\r\n"
                    "Network_Card_3_IP_Address=not an address\r\n"));
    TestServer server(dir.path());
    QSignalSpy opened(&server, &Server::networkCardFailedAtStart);
    server.Start();
    QCOMPARE(server.startupError(), cardBindFailureText(3));
    QCOMPARE(server.startupError(),
             QStringLiteral("There is a problem binding the port number for network card # 3.  Please check the IP address.  "
                            "Also check the Marlin Server is not already running as well as the network cards are "
                            "connected to the network."));
    QVERIFY(opened.size() >= 1);
    QVERIFY(!server.isListening(1));
    QVERIFY(server.isListening(2));
    QVERIFY(!server.isListening(4));
}

// A card's port is a number or nothing: text that is not one never listens
// on a port nobody asked for.
void TestPanels::cardPortThatIsNoNumberIsNotListenedOn()
{
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("WREN.INI")),
                      "[Network_Settings]\r\nNetwork_Card_1_IP_Address=127.0.0.1\r\nNetwork_Card_1_TCP_Port=abc\r\n"
                      "Network_Card_2_IP_Address=127.0.0.1\r\nNetwork_Card_2_TCP_Port=0\r\n"));
    TestServer server(dir.path());
    server.Start();
    QCOMPARE(server.startupError(), cardBindFailureText(1));
    QVERIFY(server.isListening(2));
    QVERIFY(!server.isListening(1));
    const QList<QByteArray> errors = logEntries(dir.path(), "Error");
    QVERIFY2(errors.contains("Network card #1 could not listen on 127.0.0.1 port abc: not a port number."),
             errors.join('\n').constData());
}

QTEST_GUILESS_MAIN(TestPanels)
#include "tst_panels.moc"
