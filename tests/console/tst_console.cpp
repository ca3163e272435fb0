#include "clients/client_table.h"
#include "core/console_actions.h"
#include "core/server.h"
#include "test_server.h"
#include "test_support.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace marlin;
using namespace testsupport;

namespace {

// A running server whose router 2 is served by a Leitch router over UDP, with
// a few users and a panel's client record to watch the change flags.
class Console {
public:
    Console()
        : install("[Network_Settings]\r\nNetwork_Card_1_IP_Address=\r\n"
                  "[Net_Port_4]\r\nHardware_Enabled=1\r\nID_Number=2\r\nProtocol=1\r\n"
                  "[Com_Port_6]\r\nPort_Description=Studio B\r\nID_Number=3\r\n")
    {
        Server &s = *install;
        s.Users[1] = User{QStringLiteral("admin"), QStringLiteral("marlin"), Administrator};
        s.Users[2] = User{QStringLiteral("Desk"), QStringLiteral("Pass word"), Operator};
        s.Users[3] = User{QStringLiteral("desk"), QStringLiteral("other"), MasterOperator};
        s.Users[4] = User{QStringLiteral("zero"), QStringLiteral("z"), NoPrivilege};
        s.Users[5] = User{QStringLiteral("master"), QStringLiteral("m"), MasterOperator};
        panel = FindOrCreateClient(s.clientTable, s.RouterStates, 5, QStringLiteral("10.0.0.9"), 4000, 0);
        s.clientTable[panel].PriorityChanged = {};
    }
    Server &server() { return *install; }
    RunningServer install;
    int panel = 0;
};

} // namespace

class TestConsole : public QObject {
    Q_OBJECT

private slots:
    void login_data();
    void login();
    void takeStringFields_data();
    void takeStringFields();
    void takeRefusals_data();
    void takeRefusals();
    void takeIsQueuedLoggedAndHeld();
    void highPriorityToggle();
    void problemRouterEntries();
};

void TestConsole::login_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("user");
    QTest::newRow("exact") << "admin" << "marlin" << 1;
    QTest::newRow("name in capitals") << "ADMIN" << "marlin" << 1;
    QTest::newRow("password is exact") << "admin" << "Marlin" << 0;
    QTest::newRow("spaces around both") << "  admin " << " marlin  " << 1;
    QTest::newRow("inner space kept") << "Desk" << "Pass word" << 2;
    QTest::newRow("same name: the first user decides") << "desk" << "other" << 0;
    QTest::newRow("empty name") << "" << "" << 0;
    QTest::newRow("unknown") << "nobody" << "marlin" << 0;
    QTest::newRow("privilege 0 logs in") << "zero" << "z" << 4;
}

void TestConsole::login()
{
    QFETCH(QString, name);
    QFETCH(QString, password);
    QFETCH(int, user);
    Console console;
    Server &server = console.server();
    server.CurrentUser = 5;
    QCOMPARE(LogIn(server, name, password), user != 0);
    QCOMPARE(server.CurrentUser, user != 0 ? user : 5);   // a failed login changes nothing
    LogOut(server);
    QCOMPARE(server.CurrentUser, 0);
}

void TestConsole::takeStringFields_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<QByteArray>("field");
    QTest::newRow("short name in parentheses") << "(CAM 1) Studio camera" << QByteArray("CAM 1   ");
    QTest::newRow("no closing parenthesis") << "LONGLABEL12" << QByteArray("LONGLABE");
    QTest::newRow("parenthesis too early") << "A) rest" << QByteArray("A) rest ");
    QTest::newRow("spaces trimmed") << "   VT 2  " << QByteArray("VT 2    ");
    QTest::newRow("empty") << "" << QByteArray("        ");
}

void TestConsole::takeStringFields()
{
    QFETCH(QString, label);
    QFETCH(QByteArray, field);
    QCOMPARE(LabelOf(label), field);
    QCOMPARE(ZeroPad(7, 4), QByteArray("0007"));
    QCOMPARE(ZeroPad(12345, 4), QByteArray("12345"));
}

void TestConsole::takeRefusals_data()
{
    QTest::addColumn<int>("user");
    QTest::addColumn<int>("source");
    QTest::addColumn<int>("destination");
    QTest::addColumn<QString>("comment");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("title");
    const QString privilege = QStringLiteral("You do not have priveleges for this function.");
    QTest::newRow("nobody logged in") << 0 << 1 << 1 << "c" << privilege << "User Priveleges";
    QTest::newRow("operator") << 2 << 1 << 1 << "c" << privilege << "User Priveleges";
    QTest::newRow("privilege 0") << 4 << 1 << 1 << "c" << privilege << "User Priveleges";
    QTest::newRow("no source") << 5 << 0 << 1 << "c" << "You must select a source." << "No Source!!!";
    QTest::newRow("no destination") << 1 << 3 << 0 << "c" << "You must select a destination." << "No Destination!!!";
    QTest::newRow("comment of spaces") << 1 << 3 << 4 << "   "
                                       << "You must enter a comment to intiate the switch." << "Comment Required";
    QTest::newRow("master operator") << 5 << 3 << 4 << "c" << QString() << QString();
}

void TestConsole::takeRefusals()
{
    QFETCH(int, user);
    QFETCH(int, source);
    QFETCH(int, destination);
    QFETCH(QString, comment);
    QFETCH(QString, text);
    QFETCH(QString, title);
    Console console;
    console.server().CurrentUser = user;
    ConsoleTake take;
    take.router = 2;
    take.source = source;
    take.destination = destination;
    take.comment = comment;
    const TakeRefusal refusal = CheckConsoleTake(console.server(), take);
    QCOMPARE(takeRefusalText(refusal), text);
    QCOMPARE(takeRefusalTitle(refusal), title);
}

void TestConsole::takeIsQueuedLoggedAndHeld()
{
    Console console;
    Server &server = console.server();
    RouterTable &table = server.RouterTables[2];
    table.SourcePhysical[3] = 7;
    table.DestPhysical[4] = 12;
    table.SourceLabel[3] = QStringLiteral("(CAM 3) Camera three");
    table.DestLabel[4] = QStringLiteral("MONITOR-FOUR");
    server.CurrentUser = 1;
    ConsoleTake take;
    take.router = 2;
    take.source = 3;
    take.destination = 4;
    take.levels = {false, true, true, true, true, true, true, false};
    take.comment = QStringLiteral("  news at ten ");
    take.highPriority = true;

    // The router's command carries the physical numbers.
    QCOMPARE(ConsoleTakeString(server, take), QByteArray("C 0111111000070012CAM 3   MONITOR-"));
    QCOMPARE(CheckConsoleTake(server, take), TakeRefusal::None);
    ExecuteConsoleTake(server, take);
    const QByteArray command("@ X:123456/B,6\r");
    QCOMPARE(server.links.queuedCommands(2, true).value(0), command);
    QCOMPARE(server.links.queuedCommands(2, false).value(0), command);
    // The log, the hold and the priority source use the table's numbers.
    QVERIFY(logEntries(console.install.path(), "Switch").contains(
        "Switch command sent.\t Router = Router_2\t Source = Input_3\t Destination = Output_4\t"
        "User = admin   Comment = news at ten"));
    QVERIFY(server.RouterStates[2].HighPriority[4]);
    QCOMPARE(server.RouterStates[2].PrioritySource[4], 3);
    QVERIFY(server.clientTable[console.panel].PriorityChanged[2]);

    // A take without the hold clears it.
    take.highPriority = false;
    ExecuteConsoleTake(server, take);
    QVERIFY(!server.RouterStates[2].HighPriority[4]);
}

void TestConsole::highPriorityToggle()
{
    Console console;
    Server &server = console.server();
    QSignalSpy refreshed(&server, &Server::routerViewRefreshRequested);
    ToggleHighPriority(server, 7, 9);
    QVERIFY(server.RouterStates[7].HighPriority[9]);
    QVERIFY(server.clientTable[console.panel].PriorityChanged[7]);
    QCOMPARE(server.RouterStates[7].PrioritySource[9], 0);
    ToggleHighPriority(server, 7, 9);
    QVERIFY(!server.RouterStates[7].HighPriority[9]);
    QCOMPARE(refreshed.size(), 2);
    ToggleHighPriority(server, 97, 9);   // outside the tables: nothing
    QCOMPARE(refreshed.size(), 2);
}

void TestConsole::problemRouterEntries()
{
    Console console;
    Server &server = console.server();
    QCOMPARE(ProblemRouterEntries(server), QStringList());
    server.RouterStates[3].CommOK = false;
    server.RouterStates[3].LinkPort = 6;
    server.RouterStates[5].CommOK = false;   // served by a network port only
    server.RouterTables[5].Name = QStringLiteral("Gallery");
    QCOMPARE(ProblemRouterEntries(server), (QStringList{"Router_3 (Studio B)", "Gallery ()"}));
}

QTEST_MAIN(TestConsole)
#include "tst_console.moc"
