#include "clients/client_table.h"
#include "core/console_actions.h"
#include "core/server.h"
#include "test_server.h"
#include "test_support.h"
#include "console_desk.h"
#include "ui/settings/net_port_dialog.h"
#include "ui/settings/com_port_dialog.h"
#include <functional>
#include <QPointer>
#include "router/router_file.h"
#include "ui/login_dialog.h"
#include "ui/main_window.h"
#include "ui/router_view.h"
#include "ui/settings/general_dialog.h"
#include "ui/settings/router_dialog.h"
#include "ui/settings/network_card_dialog.h"
#include "ui/settings/user_dialog.h"
#include "ui/take_dialog.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QToolButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QTabWidget>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QNetworkDatagram>
#include <QPushButton>
#include <QTableView>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>
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
        TestServer &s = *install;
        s.usersAsLoaded()[1] = User{QStringLiteral("admin"), QStringLiteral("marlin"), Administrator};
        s.usersAsLoaded()[2] = User{QStringLiteral("Desk"), QStringLiteral("Pass word"), Operator};
        s.usersAsLoaded()[3] = User{QStringLiteral("desk"), QStringLiteral("other"), MasterOperator};
        s.usersAsLoaded()[4] = User{QStringLiteral("zero"), QStringLiteral("z"), NoPrivilege};
        s.usersAsLoaded()[5] = User{QStringLiteral("master"), QStringLiteral("m"), MasterOperator};
        panel = FindOrCreateClient(s.panelTable(), s.statesAsReported(), 5, QStringLiteral("10.0.0.9"), 4000, 0);
        s.panelTable()[panel].PriorityChanged = {};
    }
    TestServer &server() { return *install; }
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

    void cellsByState_data();
    void cellsByState();
    void headingsAndToolTips();
    void reorderedColumnsAddressTheirRouter();
    void takeFromTheViewGoesToTheCellsRouter_data();
    void takeFromTheViewGoesToTheCellsRouter();
    void iconModesSetRowHeights();
    void burstOfChangesIsOneRefresh();
    void startupErrorIsShownOnce();
    void popupTogglesTheHold();
    void loginSetsTheMenus();
    void loginRefusesAndSwallowsTheDash();
    void loginErrorKeepsTheFieldsWhole();
    void loginOpensBesideCardSettings();
    void takeDialogPreselectsAndRefuses();
    void takeDialogSwitchesARouter();
    void takeDialogOnAnInvalidTable();
    void takeDialogChecksAgainWhenConfirmed();

    void administratorWhoCanLogIn_data();
    void administratorWhoCanLogIn();
    void userSettingsApplyAndSave();
    void userSettingsCancelAndRefusals();
    void userRecordsMustReadBack_data();
    void userRecordsMustReadBack();
    void settingsWindowsEndWithTheirLogin_data();
    void settingsWindowsEndWithTheirLogin();
    void everyApplyChecksThePrivilegeThen();
    void accessibleControlsAndValues();
    void textTheFilesCannotHoldIsRefused_data();
    void textTheFilesCannotHoldIsRefused();
    void generalSettingsMoveAndApply();
    void generalSettingsDropsWhatIsNotApplied();
};

namespace {

QColor windowsColor(double value)
{
    const auto rgb = quint32(qint64(value));
    return QColor(int(rgb & 0xFF), int((rgb >> 8) & 0xFF), int((rgb >> 16) & 0xFF));
}

} // namespace

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
    TestServer &server = console.server();
    server.logIn(5);
    QCOMPARE(LogIn(server, name, password), user != 0);
    QCOMPARE(server.currentUser(), user != 0 ? user : 5);   // a failed login changes nothing
    LogOut(server);
    QCOMPARE(server.currentUser(), 0);
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
    QTest::addColumn<int>("router");
    QTest::addColumn<int>("source");
    QTest::addColumn<int>("destination");
    QTest::addColumn<QString>("comment");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("title");
    const QString privilege = QStringLiteral("You do not have priveleges for this function.");
    const QString notServed = QStringLiteral("No port serves this router, so the take would go nowhere. Enable a port "
                                             "for it in the Communication or Network Device Settings.");
    QTest::newRow("nobody logged in") << 0 << 2 << 1 << 1 << "c" << privilege << "User Priveleges";
    QTest::newRow("operator") << 2 << 2 << 1 << 1 << "c" << privilege << "User Priveleges";
    QTest::newRow("privilege 0") << 4 << 2 << 1 << 1 << "c" << privilege << "User Priveleges";
    QTest::newRow("no source") << 5 << 2 << 0 << 1 << "c" << "You must select a source." << "No Source!!!";
    QTest::newRow("no destination") << 1 << 2 << 3 << 0 << "c" << "You must select a destination." << "No Destination!!!";
    QTest::newRow("comment of spaces") << 1 << 2 << 3 << 4 << "   "
                                       << "You must enter a comment to intiate the switch." << "Comment Required";
    // Comm port 6 names router 3 but is not enabled; nothing names router 7.
    QTest::newRow("router of a disabled port") << 5 << 3 << 3 << 4 << "c" << notServed << "Router Not Served";
    QTest::newRow("router no port names") << 5 << 7 << 3 << 4 << "c" << notServed << "Router Not Served";
    QTest::newRow("router 0") << 5 << 0 << 3 << 4 << "c" << notServed << "Router Not Served";
    QTest::newRow("master operator") << 5 << 2 << 3 << 4 << "c" << QString() << QString();
}

void TestConsole::takeRefusals()
{
    QFETCH(int, user);
    QFETCH(int, router);
    QFETCH(int, source);
    QFETCH(int, destination);
    QFETCH(QString, comment);
    QFETCH(QString, text);
    QFETCH(QString, title);
    Console console;
    TestServer &server = console.server();
    server.logIn(user);
    TakeRequest take;
    take.router = router;
    take.source = source;
    take.destination = destination;
    take.comment = comment;
    take.levels.fill(true);
    const TakeRefusal refusal = CheckConsoleTake(server, take);
    QCOMPARE(takeRefusalText(refusal), text);
    QCOMPARE(takeRefusalTitle(refusal), title);

    // Carrying it out checks again: a refused take queues, logs and holds
    // nothing.
    take.hold = TakeRequest::Hold::Set;
    QCOMPARE(ExecuteConsoleTake(server, take), refusal);
    if (refusal == TakeRefusal::None)
        return;
    for (int r = 1; r <= kRouterCount; ++r)
        QVERIFY(server.routerLinks().queuedCommands(r, false).isEmpty() && server.routerLinks().queuedCommands(r, true).isEmpty());
    QVERIFY(logEntries(console.install.path(), "Switch").isEmpty());
    if (isRouterNumber(router) && isPointNumber(destination))
        QVERIFY(!server.routerState(router).HighPriority[destination]);
    QCOMPARE(server.takesCounted(Server::TakeOrigin::Console), quint64(0));
}

void TestConsole::takeIsQueuedLoggedAndHeld()
{
    Console console;
    TestServer &server = console.server();
    RouterTable &table = server.asLoaded(2);
    table.SourcePhysical[3] = 7;
    table.DestPhysical[4] = 12;
    table.SourceLabel[3] = QStringLiteral("(CAM 3) Camera three");
    table.DestLabel[4] = QStringLiteral("MONITOR-FOUR");
    server.logIn(1);
    TakeRequest take;
    take.router = 2;
    take.source = 3;
    take.destination = 4;
    take.levels = {false, true, true, true, true, true, true, false};
    take.comment = QStringLiteral("  news at ten ");
    take.hold = TakeRequest::Hold::Set;

    // The router's command carries the physical numbers.
    QCOMPARE(ConsoleTakeString(server, take), QByteArray("C 0111111000070012CAM 3   MONITOR-"));
    QCOMPARE(CheckConsoleTake(server, take), TakeRefusal::None);
    ExecuteConsoleTake(server, take);
    const QByteArray command("@ X:123456/B,6\r");
    QCOMPARE(server.routerLinks().queuedCommands(2, true).value(0), command);
    QCOMPARE(server.routerLinks().queuedCommands(2, false).value(0), command);
    // The log names the table's entries; the hold and the priority source
    // are kept in the router's own numbers, as the router reports them.
    QVERIFY(logEntries(console.install.path(), "Switch").contains(
        "Switch command sent.\t Router = Router_2\t Source = Input_3\t Destination = Output_4\t"
        "User = admin   Comment = news at ten"));
    QVERIFY(server.routerState(2).HighPriority[12]);
    QVERIFY(!server.routerState(2).HighPriority[4]);
    QCOMPARE(server.routerState(2).PrioritySource[12], 7);
    QVERIFY(ShownHold(table, server.routerState(2), 4));
    QVERIFY(server.panelRecords()[console.panel].PriorityChanged[2]);

    // A take without the hold clears it.
    take.hold = TakeRequest::Hold::Clear;
    ExecuteConsoleTake(server, take);
    QVERIFY(!server.routerState(2).HighPriority[12]);
}

void TestConsole::highPriorityToggle()
{
    Console console;
    TestServer &server = console.server();
    QSignalSpy refreshed(&server, &Server::routerViewRefreshRequested);
    ToggleHighPriority(server, 7, 9);
    QVERIFY(server.routerState(7).HighPriority[9]);
    QVERIFY(server.panelRecords()[console.panel].PriorityChanged[7]);
    QCOMPARE(server.routerState(7).PrioritySource[9], 0);
    ToggleHighPriority(server, 7, 9);
    QVERIFY(!server.routerState(7).HighPriority[9]);
    QCOMPARE(refreshed.size(), 2);
    ToggleHighPriority(server, 97, 9);   // outside the tables: nothing
    QCOMPARE(refreshed.size(), 2);
}

void TestConsole::problemRouterEntries()
{
    Console console;
    TestServer &server = console.server();
    QCOMPARE(ProblemRouterEntries(server), QStringList());
    server.asReported(3).CommOK = false;
    server.asReported(3).LinkPort = 6;
    server.asReported(5).CommOK = false;   // served by a network port only
    server.asLoaded(5).Name = QStringLiteral("Gallery");
    QCOMPARE(ProblemRouterEntries(server), (QStringList{"Router_3 (Studio B)", "Gallery ()"}));
}

void TestConsole::cellsByState_data()
{
    QTest::addColumn<bool>("visible");
    QTest::addColumn<int>("source");
    QTest::addColumn<bool>("held");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("color");
    QTest::newRow("destination not used") << false << 3 << false << "" << 4;
    QTest::newRow("source not known") << true << 0 << false << "" << 4;
    QTest::newRow("held at high priority") << true << 1 << true << "1" << 3;
    QTest::newRow("not the default source") << true << 3 << false << "3" << 2;
    QTest::newRow("the default source") << true << 1 << false << "1" << 1;
}

void TestConsole::cellsByState()
{
    QFETCH(bool, visible);
    QFETCH(int, source);
    QFETCH(bool, held);
    QFETCH(QString, text);
    QFETCH(int, color);
    Desk desk;
    TestServer &server = desk.server();
    server.asLoaded(2).DestVisible[5] = visible;
    server.asLoaded(2).DestDefaultSource[5] = 1;
    server.asReported(2).CurrentSource[5] = source;
    server.asReported(2).HighPriority[5] = held;
    frmRtrView *view = desk.view();
    const QModelIndex cell = view->model()->index(4, 1);
    QCOMPARE(cell.data().toString(), text);
    QCOMPARE(cell.data(Qt::BackgroundRole).value<QColor>(), windowsColor(server.currentSettings().Colors[color]));
}

void TestConsole::headingsAndToolTips()
{
    Desk desk;
    TestServer &server = desk.server();
    server.asLoaded(5).Name = QStringLiteral("  ");
    server.asLoaded(2).SourceDescription[3] = QStringLiteral("Camera 3");
    server.asLoaded(2).DestDescription[7].clear();
    server.asReported(2).CurrentSource[7] = 3;
    server.asReported(4).CommOK = false;
    RouterViewModel *model = desk.view()->model();

    QCOMPARE(model->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Router_2"));
    QCOMPARE(model->headerData(4, Qt::Horizontal).toString(), QStringLiteral("Router 5"));
    QCOMPARE(model->headerData(0, Qt::Vertical).toString(), QStringLiteral(" 1"));
    QCOMPARE(model->headerData(1, Qt::Horizontal, Qt::BackgroundRole).value<QColor>(), QColor(Qt::black));
    QCOMPARE(model->headerData(3, Qt::Horizontal, Qt::BackgroundRole).value<QColor>(), QColor(255, 0, 0));
    QCOMPARE(model->headerData(1, Qt::Horizontal, Qt::ToolTipRole).toString(), QStringLiteral("Router 2"));
    QCOMPARE(model->index(6, 1).data(Qt::ToolTipRole).toString(), QStringLiteral("Source: Camera 3 in Destination: 7"));
    QCOMPARE(model->index(0, 1).data(Qt::ToolTipRole).toString(), QStringLiteral("Source:  in Destination: Output_1"));
    QCOMPARE(model->index(0, 3).data(Qt::ToolTipRole).toString(), QStringLiteral("Communicaion Fault"));
    QCOMPARE(model->headerData(3, Qt::Horizontal, Qt::ToolTipRole).toString(), QStringLiteral("Communicaion Fault"));
}

void TestConsole::reorderedColumnsAddressTheirRouter()
{
    Desk desk;
    TestServer &server = desk.server();
    server.settingsAsLoaded().ColumnPosition[1] = 7;
    server.settingsAsLoaded().ColumnPosition[7] = 1;
    server.asReported(7).CurrentSource[3] = 9;
    frmRtrView *view = desk.view();
    QCOMPARE(view->model()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Router_7"));
    QCOMPARE(view->model()->index(2, 0).data().toString(), QStringLiteral("9"));

    QSignalSpy asked(view, &frmRtrView::takeRequested);
    view->grid()->setCurrentIndex(view->model()->index(2, 0));
    QTest::keyClick(view->grid(), Qt::Key_Return);
    QCOMPARE(asked.size(), 1);
    QCOMPARE(asked[0], (QList<QVariant>{7, 1, 9, 3}));
    auto *take = desk.window->findChild<frmTake *>();
    QVERIFY(take);
    QVERIFY(desk.window->routerViewWindow());   // the view stays beside the dialog
    QCOMPARE(take->selectedRouter(), 7);
    QCOMPARE(take->selectedSource(), 9);
    QCOMPARE(take->selectedDestination(), 3);

    // The find box goes to the first cell that names what is typed.
    server.asLoaded(7).DestLabel[20] = QStringLiteral("STUDIO X");
    QVERIFY(view->find(QStringLiteral("studio x")));
    QCOMPARE(view->grid()->currentIndex(), view->model()->index(19, 0));
}

// A hand-edited column list with positions outside 1..96: the take dialog
// opened from a cell is on that cell's router, and the take goes there.
void TestConsole::takeFromTheViewGoesToTheCellsRouter_data()
{
    QTest::addColumn<QByteArray>("columns"); // lines of [General_Settings]
    QTest::addColumn<int>("column");         // the column double-clicked, from 0
    QTest::addColumn<int>("router");
    QTest::newRow("column 1 is 0") << QByteArray("Column_1_Position=0\r\n") << 1 << 2;
    QTest::newRow("column 1 is 97") << QByteArray("Column_1_Position=97\r\n") << 1 << 2;
    QTest::newRow("two gaps before a reordered column")
        << QByteArray("Column_1_Position=-3\r\nColumn_2_Position=200\r\nColumn_3_Position=9\r\n") << 2 << 9;
    QTest::newRow("the last column after a gap") << QByteArray("Column_5_Position=0\r\n") << 95 << 96;
}

namespace {
// A console whose router is served over UDP by a socket the test holds: a
// take that goes out arrives there. generalSettings follows the port.
struct UdpRouterDesk {
    explicit UdpRouterDesk(int router = 1, const QByteArray &generalSettings = {})
    {
        [[maybe_unused]] const bool bound = device.bind(QHostAddress::LocalHost, 0);
        desk = std::make_unique<Desk>("[Network_Settings]\r\nNetwork_Card_1_IP_Address=\r\n[Net_Port_1]\r\n"
                                      "Hardware_Enabled=1\r\nNetwork_IP_Address=127.0.0.1\r\nNetwork_Port_Type=1\r\n"
                                      "Network_Port=" + QByteArray::number(device.localPort()) + "\r\nID_Number="
                                      + QByteArray::number(router) + "\r\n" + generalSettings);
    }
    // The take dialog of router 1 as an Administrator fills it: source to
    // destination on level 1 only, with a comment and the hold box ticked.
    frmTake *filledTakeDialog(int source, int destination)
    {
        TestServer &server = desk->server();
        server.usersAsLoaded()[1] = User{QStringLiteral("admin"), QStringLiteral("marlin"), Administrator};
        server.logIn(1);
        frmTake *take = desk->window->openTakeDialog(1, source, destination);
        for (QCheckBox *box : take->chkL)
            box->setChecked(false);
        take->chkL[0]->setChecked(true);
        take->txtCom->setText(QStringLiteral("from the desk"));
        take->chkHigh->setChecked(true);
        return take;
    }
    // Everything the router has been sent so far.
    const QByteArray &received()
    {
        while (device.hasPendingDatagrams())
            bytes += device.receiveDatagram().data();
        return bytes;
    }

    QUdpSocket device;
    std::unique_ptr<Desk> desk;
    QByteArray bytes;
};
} // namespace

void TestConsole::takeFromTheViewGoesToTheCellsRouter()
{
    QFETCH(QByteArray, columns);
    QFETCH(int, column);
    QFETCH(int, router);
    // The cell's router is served, so the take has somewhere to go.
    UdpRouterDesk served(router, "[General_Settings]\r\n" + columns);
    Desk &desk = *served.desk;
    TestServer &server = desk.server();
    server.logIn(1); // the built-in Administrator
    server.asReported(router).CurrentSource[4] = 3;
    frmRtrView *view = desk.view();
    QCOMPARE(view->model()->headerData(column, Qt::Horizontal).toString(), QStringLiteral("Router_%1").arg(router));

    QTableView *grid = view->grid();
    const QModelIndex cell = view->model()->index(3, column);
    grid->scrollTo(cell);
    // A double-click, as the window system delivers it: a click, then the
    // second press as a double-click.
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->visualRect(cell).center());
    QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, grid->visualRect(cell).center());
    frmTake *take = desk.window->findChild<frmTake *>();
    QVERIFY(take);
    QCOMPARE(take->selectedRouter(), router);
    QCOMPARE(take->cmbRTR->currentText(), QStringLiteral("Router_%1").arg(router));
    QCOMPARE(take->selectedSource(), 3);
    QCOMPARE(take->selectedDestination(), 4);

    take->imgcmbSRC->setCurrentIndex(take->imgcmbSRC->findData(5));
    take->txtCom->setText(QStringLiteral("from the view"));
    take->cmdTake[1]->click();
    QMessageBox *sure = desk.box(QStringLiteral("Are you sure"));
    QVERIFY(sure);
    sure->button(QMessageBox::Yes)->click();
    QTRY_VERIFY(!desk.window->findChild<frmTake *>());
    QCOMPARE(server.routerLinks().queuedCommands(router, true).size(), 1);
    for (int r = 1; r <= kRouterCount; ++r) {
        if (r != router)
            QVERIFY2(server.routerLinks().queuedCommands(r, true).isEmpty(), qPrintable(QString::number(r)));
    }
    QVERIFY(logEntries(desk.path(), "Switch").contains(
        QStringLiteral("Switch command sent.\t Router = Router_%1\t Source = Input_5\t Destination = Output_4\t"
                       "User = admin   Comment = from the view")
            .arg(router)
            .toLatin1()));
}

void TestConsole::iconModesSetRowHeights()
{
    Desk desk;
    frmRtrView *view = desk.view();
    const auto rowHeight = [view] { return view->grid()->verticalHeader()->sectionSize(0); };
    QCOMPARE(rowHeight(), pixelsFromTwips(500));   // source icons at start
    QCOMPARE(view->model()->iconMode(), RouterViewModel::IconMode::Sources);
    desk.window->menuOpOverallDes->trigger();
    QVERIFY(!desk.window->menuOpOverallSrc->isChecked());
    QCOMPARE(view->model()->iconMode(), RouterViewModel::IconMode::Destinations);
    QCOMPARE(rowHeight(), pixelsFromTwips(500));
    desk.window->menuOpOverallDes->trigger();
    QCOMPARE(view->model()->iconMode(), RouterViewModel::IconMode::None);
    QCOMPARE(rowHeight(), pixelsFromTwips(230));
}

// A router reporting every crosspoint at once gives one refresh of the view,
// after the burst; a later single change gives one more.
void TestConsole::burstOfChangesIsOneRefresh()
{
    QTcpServer router;
    QVERIFY(router.listen(QHostAddress::LocalHost));
    Desk desk("[Network_Settings]\r\nNetwork_Card_1_IP_Address=\r\n[Net_Port_1]\r\nHardware_Enabled=1\r\n"
              "Network_IP_Address=127.0.0.1\r\nNetwork_Port="
              + QByteArray::number(router.serverPort()) + "\r\nProtocol=1\r\nID_Number=1\r\n");
    frmRtrView *view = desk.view();
    // What the view shows for destination 1 of router 1 at each refresh.
    QStringList refreshes;
    connect(view->model(), &QAbstractItemModel::dataChanged, view,
            [&] { refreshes.append(view->model()->index(0, 0).data().toString()); });
    QTRY_VERIFY_WITH_TIMEOUT(router.hasPendingConnections(), 5000);
    std::unique_ptr<QTcpSocket> link(router.nextPendingConnection());

    QByteArray burst;
    for (int d = 0; d < kPointCount; ++d)
        burst += "S:0" + QByteArray::number(d, 16).toUpper() + ",2\r"; // level 0, source 3
    link->write(burst);
    QTRY_COMPARE_WITH_TIMEOUT(refreshes, QStringList{QStringLiteral("3")}, 5000);
    QCOMPARE(desk.server().routerState(1).CurrentSource[kPointCount], 3);

    // The next change comes with the next refresh: the burst left nothing
    // behind that would refresh in between.
    link->write("S:000,6\r");
    QTRY_COMPARE_WITH_TIMEOUT(refreshes, (QStringList{QStringLiteral("3"), QStringLiteral("7")}), 5000);
}

// The failure the start left is shown in one box, a second after the start
// (never during it), and only once.
void TestConsole::startupErrorIsShownOnce()
{
    Desk desk("[Network_Settings]\r\nNetwork_Card_1_IP_Address=\r\n[Com_Port_2]\r\nBaud_Rate=99999\r\n");
    const QString overflow = QStringLiteral("Overflow in [Com_Port_2] Baud_Rate");
    const auto boxes = [&overflow] {
        int count = 0;
        for (QWidget *w : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(w);
            count += box && box->isVisible() && box->text() == overflow;
        }
        return count;
    };
    QCOMPARE(boxes(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(boxes(), 1, 5000);
    QCOMPARE(desk.box(overflow)->windowTitle(), QStringLiteral("Error"));

    // A refused login's message hides three seconds later: by then a box
    // shown again would be there too.
    frmLogin *login = desk.window->openLogin();
    login->txtName->setText(QStringLiteral("admin"));
    login->txtPass->setText(QStringLiteral("wrong"));
    QTest::keyClick(login->txtPass, Qt::Key_Return);
    QVERIFY(login->lblERROR->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(!login->lblERROR->isVisible(), 10000);
    QCOMPARE(boxes(), 1);
}

void TestConsole::popupTogglesTheHold()
{
    Desk desk;
    TestServer &server = desk.server();
    const int panel = FindOrCreateClient(server.panelTable(), server.statesAsReported(), 5, QStringLiteral("10.0.0.9"), 1, 0);
    server.panelTable()[panel].PriorityChanged = {};
    server.asReported(3).CurrentSource[4] = 6;
    frmRtrView *view = desk.view();
    QTableView *grid = view->grid();
    const QModelIndex cell = view->model()->index(3, 2);
    grid->scrollTo(cell);

    // Not the current cell: no popup.
    QTest::mouseClick(grid->viewport(), Qt::RightButton, {}, grid->visualRect(cell).center());
    QVERIFY(!desk.window->menuPop->isVisible());
    grid->setCurrentIndex(cell);
    QTest::mouseClick(grid->viewport(), Qt::RightButton, {}, grid->visualRect(cell).center());
    QTRY_VERIFY(desk.window->menuPop->isVisible());
    QVERIFY(!desk.window->menuPopPri->isChecked());
    desk.window->menuPopPri->trigger();
    desk.window->menuPop->close();
    QVERIFY(server.routerState(3).HighPriority[4]);
    QVERIFY(server.panelRecords()[panel].PriorityChanged[3]);
    QCOMPARE(cell.data(Qt::BackgroundRole).value<QColor>(), windowsColor(server.currentSettings().Colors[3]));
}

void TestConsole::loginSetsTheMenus()
{
    Desk desk;
    TestServer &server = desk.server();
    server.usersAsLoaded()[1] = User{QStringLiteral("admin"), QStringLiteral("marlin"), Administrator};
    server.usersAsLoaded()[2] = User{QStringLiteral("op"), QStringLiteral("o"), Operator};
    server.usersAsLoaded()[3] = User{QStringLiteral("zero"), QStringLiteral("z"), NoPrivilege};
    MDIMain &window = *desk.window;
    const QList<QAction *> others{window.menuSetCom, window.menuSetGen, window.menuSetNetwork, window.menuSetNetPorts,
                                  window.menuSetUser};
    const auto logIn = [&](const QString &name, const QString &password) {
        frmLogin *login = window.openLogin();
        login->txtName->setText(name);
        login->txtPass->setText(password);
        QTest::keyClick(login->txtPass, Qt::Key_Return);
    };

    logIn(QStringLiteral("OP"), QStringLiteral("o"));
    QCOMPARE(server.currentUser(), 2);
    QTRY_VERIFY(!window.loginDialog());
    QVERIFY(window.menuSetRouter->isEnabled());
    for (QAction *item : others)
        QVERIFY(!item->isEnabled());

    logIn(QStringLiteral("admin"), QStringLiteral(" marlin "));
    QCOMPARE(server.currentUser(), 1);
    for (QAction *item : others)
        QVERIFY(item->isEnabled());

    // A privilege the console does not know logs in but changes no menu.
    logIn(QStringLiteral("zero"), QStringLiteral("z"));
    QCOMPARE(server.currentUser(), 3);
    for (QAction *item : others)
        QVERIFY(item->isEnabled());

    frmLogin *login = window.openLogin();
    QVERIFY(login->cmdLOGOUT->isVisible());
    login->cmdLOGOUT->click();
    QCOMPARE(server.currentUser(), 0);
    QVERIFY(!window.menuSetRouter->isEnabled());
    for (QAction *item : others)
        QVERIFY(!item->isEnabled());
}

void TestConsole::loginRefusesAndSwallowsTheDash()
{
    Desk desk;
    frmLogin *login = desk.window->openLogin();
    QCOMPARE(login->windowTitle(), QStringLiteral("Login"));
    QVERIFY(!login->cmdLOGOUT->isVisible());
    QTest::keyClicks(login->txtName, QStringLiteral("ad-min"));
    QCOMPARE(login->txtName->text(), QStringLiteral("admin"));
    QTest::keyClicks(login->txtPass, QStringLiteral("wrong"));
    QTest::keyClick(login->txtPass, Qt::Key_Return);
    QCOMPARE(desk.server().currentUser(), 0);
    QVERIFY(login->lblERROR->isVisible());
    QCOMPARE(desk.window->loginDialog(), login);
    QTRY_VERIFY_WITH_TIMEOUT(!login->lblERROR->isVisible(), 6000);
    QCOMPARE(login->txtName->text(), QStringLiteral("admin"));
    QCOMPARE(login->txtName->accessibleName(), QStringLiteral("User name:"));
}

// The error under the fields takes room of its own: the fields keep their
// height and the whole message shows. MARLIN_SHOTS names a folder for a
// picture of the window, to look at.
void TestConsole::loginErrorKeepsTheFieldsWhole()
{
    Desk desk;
    frmLogin *login = desk.window->openLogin();
    const auto save = [login](const char *name) {
        const QString folder = qEnvironmentVariable("MARLIN_SHOTS");
        if (!folder.isEmpty())
            QVERIFY(login->parentWidget()->grab().save(folder + QLatin1Char('/') + QLatin1String(name)));
    };
    save("login.png");
    const int nameHeight = login->txtName->height();
    login->txtName->setText(QStringLiteral("admin"));
    login->txtPass->setText(QStringLiteral("wrong"));
    QTest::keyClick(login->txtPass, Qt::Key_Return);
    QVERIFY(login->lblERROR->isVisible());
    QCoreApplication::processEvents();
    save("login-error.png");
    for (QLineEdit *field : {login->txtName, login->txtPass}) {
        QVERIFY2(field->height() >= field->sizeHint().height(), qPrintable(QString::number(field->height())));
        QCOMPARE(field->height(), nameHeight);
    }
    QLabel *error = login->lblERROR;
    QVERIFY2(error->height() >= error->heightForWidth(error->width()),
             qPrintable(QStringLiteral("%1 < %2").arg(error->height()).arg(error->heightForWidth(error->width()))));
    QVERIFY(login->rect().contains(error->geometry()));
}

// A card that cannot listen opens its settings window at startup; the login
// that follows opens beside it.
void TestConsole::loginOpensBesideCardSettings()
{
    Desk desk("[Network_Settings]\r\nNetwork_Card_1_IP_Address=203.0.113.9\r\nNetwork_Card_1_TCP_Port=7001\r\n");
    QVERIFY(desk.window->findChild<frmSetNic *>());
    QVERIFY(desk.window->loginDialog());
    // The startup error box a second later closes neither.
    QTRY_VERIFY_WITH_TIMEOUT(desk.box(QStringLiteral("binding")), 5000);
    QVERIFY(desk.window->findChild<frmSetNic *>());
    QVERIFY(desk.window->loginDialog());
    desk.box(QStringLiteral("binding"))->close();
    // The operator working in another window closes the login.
    desk.window->openRouterView();
    QTRY_VERIFY(!desk.window->loginDialog());
}

void TestConsole::takeDialogPreselectsAndRefuses()
{
    Desk desk;
    TestServer &server = desk.server();
    server.asLoaded(2).SourceLevel[4] = {false, true, false, true, false, false, false, false, true};
    server.asReported(2).CurrentSource[6] = 4;
    frmTake *take = desk.window->openTakeDialog(2, 4, 6);
    QCOMPARE(take->windowTitle(), QStringLiteral("Switch Router"));
    QCOMPARE(take->cmbRTR->count(), kRouterCount);
    QCOMPARE(take->selectedRouter(), 2);
    QCOMPARE(take->selectedSource(), 4);
    QCOMPARE(take->selectedDestination(), 6);
    QCOMPARE(take->imgcmbSRC->currentText(), QStringLiteral(" ( IN_4 )  Input_4"));
    QList<bool> levels;
    for (QCheckBox *box : take->chkL)
        levels << box->isChecked();
    QCOMPARE(levels, (QList<bool>{true, false, true, false, false, false, false, true}));

    // Nobody logged in: refused, and the dialog now stays open.
    take->cmdTake[1]->click();
    QMessageBox *refusal = desk.box(QStringLiteral("priveleges"));
    QVERIFY(refusal);
    QCOMPARE(refusal->windowTitle(), QStringLiteral("User Priveleges"));
    refusal->close();
    QVERIFY(take->keepsOpen());
    desk.window->openRouterView();
    QVERIFY(desk.window->findChild<frmTake *>());

    server.usersAsLoaded()[1] = User{QStringLiteral("admin"), QStringLiteral("marlin"), Administrator};
    server.logIn(1);
    take->txtCom->setText(QStringLiteral("   "));
    take->cmdTake[0]->click();
    refusal = desk.box(QStringLiteral("comment"));
    QVERIFY(refusal);
    QCOMPARE(refusal->windowTitle(), QStringLiteral("Comment Required"));
    refusal->close();
    QCOMPARE(server.routerLinks().queuedCommands(2, true), QList<QByteArray>());
}

// The take reaches a Leitch router listening on UDP.
void TestConsole::takeDialogSwitchesARouter()
{
    UdpRouterDesk router;
    Desk &desk = *router.desk;
    TestServer &server = desk.server();
    server.asLoaded(1).SourcePhysical[3] = 7;
    frmTake *take = router.filledTakeDialog(3, 2);
    take->cmdTake[1]->click();
    QMessageBox *sure = desk.box(QStringLiteral("Are you sure you would like to switch the router?"));
    QVERIFY(sure);
    QCOMPARE(sure->windowTitle(), QStringLiteral("Are You Sure?"));
    sure->button(QMessageBox::Yes)->click();
    QTRY_VERIFY(!desk.window->findChild<frmTake *>());   // "Take And Done"

    QVERIFY(server.routerState(1).HighPriority[2]);
    QCOMPARE(server.routerState(1).PrioritySource[2], 7);   // the router's own number
    QTRY_VERIFY_WITH_TIMEOUT(router.received().contains("@ X:0/1,6\r"), 15000);
    QVERIFY(logEntries(desk.path(), "Switch").contains(
        "Switch command sent.\t Router = Router_1\t Source = Input_3\t Destination = Output_2\t"
        "User = admin   Comment = from the desk"));
}

// A demotion while the question is open: the confirmed take is refused,
// and nothing of it is sent, logged or held. Once promoted again the same
// take goes out, and is the only one the router and the log see.
void TestConsole::takeDialogChecksAgainWhenConfirmed()
{
    UdpRouterDesk router;
    Desk &desk = *router.desk;
    TestServer &server = desk.server();
    frmTake *take = router.filledTakeDialog(3, 2);
    take->cmdTake[0]->click();
    QMessageBox *sure = desk.box(QStringLiteral("Are you sure you would like to switch the router?"));
    QVERIFY(sure);
    server.Demote();
    sure->button(QMessageBox::Yes)->click();
    QMessageBox *refused = nullptr;
    QTRY_VERIFY((refused = desk.box(standbyRefusalText())) != nullptr);
    QCOMPARE(refused->windowTitle(), QStringLiteral("Standby"));
    refused->close();
    QVERIFY(!server.routerState(1).HighPriority[2]);
    QCOMPARE(server.routerState(1).PrioritySource[2], 0);
    QVERIFY(logEntries(desk.path(), "Switch").isEmpty());

    server.Promote();
    take->cmdTake[0]->click();
    QMessageBox *again = nullptr;
    QTRY_VERIFY((again = desk.box(QStringLiteral("Are you sure you would like to switch the router?"))) != nullptr);
    again->button(QMessageBox::Yes)->click();
    QTRY_VERIFY_WITH_TIMEOUT(router.received().contains("@ X:0/1,2\r"), 15000);
    QCOMPARE(router.received().count("@ X:"), 1);
    QVERIFY(server.routerState(1).HighPriority[2]);
    const QList<QByteArray> switches = logEntries(desk.path(), "Switch");
    QCOMPARE(switches.size(), 1);
    QVERIFY(switches.first().startsWith("Switch command sent.\t Router = Router_1"));
}

void TestConsole::takeDialogOnAnInvalidTable()
{
    Desk desk;
    for (int n = 1; n <= kPointCount; ++n)
        desk.server().asLoaded(3).SourceVisible[n] = false;
    frmTake *take = desk.window->openTakeDialog(3, 0, 0);
    QMessageBox *error = desk.box(QStringLiteral("The router tables for the router you selected are not valid."));
    QVERIFY(error);
    QCOMPARE(error->windowTitle(), QStringLiteral("ERROR"));
    error->close();
    QCOMPARE(take->imgcmbSRC->count(), 0);
}

void TestConsole::administratorWhoCanLogIn_data()
{
    QTest::addColumn<UserTable>("users");
    QTest::addColumn<bool>("can");
    UserTable admin{};
    admin[3] = User{QStringLiteral("chief"), QStringLiteral("pw"), Administrator};
    QTest::newRow("an administrator") << admin << true;
    UserTable none{};
    none[1] = User{QStringLiteral("op"), QStringLiteral("pw"), Operator};
    QTest::newRow("operators only") << none << false;
    UserTable nameless = admin;
    nameless[3].UserName = QStringLiteral("   ");
    QTest::newRow("no name") << nameless << false;
    UserTable dash = admin;
    dash[3].UserPassword = QStringLiteral("p-w");
    QTest::newRow("a dash in the password") << dash << false;
    UserTable shadowed = admin;
    shadowed[1] = User{QStringLiteral("CHIEF"), QStringLiteral("x"), Operator};
    QTest::newRow("an earlier user of the same name") << shadowed << false;
    UserTable tooLong = admin;
    tooLong[3].UserPassword = QString(40, QLatin1Char('z'));
    QTest::newRow("a record too long to read back") << tooLong << false;
}

void TestConsole::administratorWhoCanLogIn()
{
    QFETCH(UserTable, users);
    QFETCH(bool, can);
    QCOMPARE(HasAdministratorWhoCanLogIn(users), can);
}

void TestConsole::userSettingsApplyAndSave()
{
    Desk desk;
    TestServer &server = desk.server();
    QVERIFY(desk.logIn());
    const int panel = FindOrCreateClient(server.panelTable(), server.statesAsReported(), 5, QStringLiteral("10.0.0.9"), 1, 0);
    frmSetUsers *dialog = desk.window->openUserSettings();
    QCOMPARE(dialog->windowTitle(), QStringLiteral("User Settings"));
    QCOMPARE(dialog->txtName->text(), QStringLiteral("admin"));
    QCOMPARE(dialog->cmbPriv->currentText(), QStringLiteral("Administrator"));

    // Looking at an empty user gives it the lowest privilege.
    dialog->cmbNum->setCurrentIndex(4);
    QCOMPARE(dialog->cmbPriv->currentText(), QStringLiteral("Operator"));
    dialog->cmbNum->setCurrentIndex(1);
    dialog->txtName->setText(QStringLiteral("  Desk 2  "));
    dialog->txtPW->setText(QStringLiteral(" secret "));
    dialog->cmbPriv->setCurrentIndex(1);
    emit dialog->cmbPriv->activated(1);
    dialog->cmdOK->click();
    QTRY_VERIFY(!desk.window->findChild<frmSetUsers *>());

    QCOMPARE(server.users()[2], (User{QStringLiteral("Desk 2"), QStringLiteral("secret"), MasterOperator}));
    QCOMPARE(server.users()[5].UserPrivilege, qint16(Operator));
    QVERIFY(pendingFlag(server.panelRecords()[panel], FlagUsersChanged));
    UserTable reread;
    QVERIFY(LoadUsers(server.UserFile(), reread));
    for (int i = 1; i <= kUserCount; ++i)
        QCOMPARE(reread[i], server.users()[i]);
    const QByteArray file = readFile(server.UserFile());
    QVERIFY(file.contains("Unicode=1\r\n"));
    QCOMPARE(file.count("User_"), kUserCount);
}

void TestConsole::userSettingsCancelAndRefusals()
{
    Desk desk;
    TestServer &server = desk.server();
    QVERIFY(desk.logIn());
    const UserTable before = server.users();

    frmSetUsers *dialog = desk.window->openUserSettings();
    dialog->txtName->setText(QStringLiteral("changed"));
    dialog->cmdCANCEL->click();
    QTRY_VERIFY(!desk.window->findChild<frmSetUsers *>());
    QVERIFY(server.users() == before);
    QVERIFY(!QFile::exists(server.UserFile()));

    // Leaving no administrator who can log in is refused.
    dialog = desk.window->openUserSettings();
    dialog->cmbPriv->setCurrentIndex(0);
    emit dialog->cmbPriv->activated(0);
    dialog->cmdOK->click();
    QMessageBox *refusal = desk.box(QStringLiteral("at least one Administrator"));
    QVERIFY(refusal);
    refusal->close();
    QVERIFY(server.users() == before);
    QVERIFY(!QFile::exists(server.UserFile()));

    // A file that cannot be written: said, and nothing changes.
    dialog->cmbPriv->setCurrentIndex(2);
    emit dialog->cmbPriv->activated(2);
    dialog->txtPW->setText(QStringLiteral("new"));
    QVERIFY(QDir().mkpath(server.UserFile()));
    dialog->cmdOK->click();
    QMessageBox *failure = desk.box(QStringLiteral("could not be written"));
    QVERIFY(failure);
    QVERIFY(failure->text().contains(server.UserFile()));
    failure->close();
    QVERIFY(server.users() == before);
    QCOMPARE(desk.window->findChild<frmSetUsers *>(), dialog);
    QVERIFY(QDir().rmdir(server.UserFile()));

    // A dash is saved, with a warning that the login cannot type it.
    dialog->txtPW->setText(QStringLiteral("ma-rlin"));
    dialog->cmbNum->setCurrentIndex(3);
    dialog->txtName->setText(QStringLiteral("second"));
    dialog->txtPW->setText(QStringLiteral("ok"));
    dialog->cmbPriv->setCurrentIndex(2);
    emit dialog->cmbPriv->activated(2);
    dialog->cmdOK->click();
    QTRY_VERIFY(desk.box(QStringLiteral("cannot log in at the console")));
    QCOMPARE(server.users()[1].UserPassword, QStringLiteral("ma-rlin"));
    QCOMPARE(server.users()[4].UserName, QStringLiteral("second"));
}

// A record longer than a read of USER.INI returns would work until the
// next start and then lock the user out: refused, naming the user and how
// long name and password may be; what is saved reads back whole.
void TestConsole::userRecordsMustReadBack_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("refusal"); // the user's line; empty: saved
    const QString cjk(1, QChar(0x9999));  // eight characters in the record
    QTest::newRow("35 plain characters") << "chief" << QString(30, QLatin1Char('z')) << QString();
    QTest::newRow("36 plain characters")
        << "chief" << QString(31, QLatin1Char('z'))
        << "User 1 (\"chief\"): name and password have 36 characters together; at most 35 fit.";
    QTest::newRow("Cyrillic, 35") << QStringLiteral("Жанна") << QStringLiteral("пароль").repeated(5) << QString();
    QTest::newRow("31 costly characters") << cjk << cjk.repeated(30) << QString();
    QTest::newRow("32 costly characters")
        << cjk << cjk.repeated(31)
        << QStringLiteral("User 1 (\"%1\"): name and password have 32 characters together; at most 31 fit.").arg(cjk);
}

void TestConsole::userRecordsMustReadBack()
{
    QFETCH(QString, name);
    QFETCH(QString, password);
    QFETCH(QString, refusal);
    Desk desk;
    TestServer &server = desk.server();
    QVERIFY(desk.logIn());
    const UserTable before = server.users();
    frmSetUsers *dialog = desk.window->openUserSettings();
    dialog->txtName->setText(name);
    dialog->txtPW->setText(password);
    dialog->cmdOK->click();

    if (!refusal.isEmpty()) {
        QMessageBox *box = desk.box(refusal);
        QVERIFY(box);
        QVERIFY(box->text().startsWith(QStringLiteral("USER.INI reads back at most 254 characters")));
        QVERIFY(box->text().endsWith(QStringLiteral("Nothing was saved.")));
        box->close();
        QVERIFY(server.users() == before);
        QVERIFY(!QFile::exists(server.UserFile()));
        QCOMPARE(desk.window->findChild<frmSetUsers *>(), dialog);
        return;
    }
    QTRY_VERIFY(!desk.window->findChild<frmSetUsers *>());
    // As the next start reads it: the same user, who logs in.
    UserTable reread;
    QVERIFY(LoadUsers(server.UserFile(), reread));
    QCOMPARE(reread[1], (User{name, password, Administrator}));
    QVERIFY(UserRecordsCutInFile(server.UserFile()).isEmpty());
    server.usersAsLoaded() = reread;
    QCOMPARE(FindLoginUser(server, name, password), 1);
}

// The Router Configuration Utility stays open beside other windows: it
// closes, its edits dropped, when the login that opened it ends or loses
// the privilege; a login of the same user keeps it.
void TestConsole::settingsWindowsEndWithTheirLogin_data()
{
    QTest::addColumn<QString>("then");
    QTest::addColumn<bool>("stays");
    QTest::newRow("log out") << "log out" << false;
    QTest::newRow("an operator logs in") << "op" << false;
    QTest::newRow("a privilege-0 user logs in") << "zero" << false;
    QTest::newRow("privilege taken away") << "reload" << false;
    QTest::newRow("the same user logs in again") << "admin" << true;
}

void TestConsole::settingsWindowsEndWithTheirLogin()
{
    QFETCH(QString, then);
    QFETCH(bool, stays);
    Desk desk;
    TestServer &server = desk.server();
    server.usersAsLoaded()[2] = User{QStringLiteral("op"), QStringLiteral("o"), Operator};
    server.usersAsLoaded()[3] = User{QStringLiteral("zero"), QStringLiteral("z"), NoPrivilege};
    QVERIFY(desk.logIn());
    QPointer<frmSetRTR> utility = desk.window->openRouterUtility();
    utility->txtRTRName->setText(QStringLiteral("Edited"));

    if (then == QLatin1String("log out")) {
        frmLogin *login = desk.window->openLogin();
        login->cmdLOGOUT->click();
    } else if (then == QLatin1String("reload")) {
        UserTable users = server.users();
        users[1].UserPrivilege = NoPrivilege;
        users[4] = User{QStringLiteral("other"), QStringLiteral("x"), Administrator};
        QVERIFY(SaveUsers(server.UserFile(), users));
        QVERIFY(server.reloadUsers());
    } else {
        QVERIFY(desk.logIn(then, then == QLatin1String("admin") ? QStringLiteral("marlin") : then.left(1)));
    }
    if (!stays) {
        QTRY_VERIFY(!utility);
        QCOMPARE(server.routerTable(1).Name, QStringLiteral("Router_1"));
        QVERIFY(!QFile::exists(RouterTablePath(desk.path(), 1)));
        return;
    }
    QVERIFY(utility);
    utility->cmdOK->click();
    QTRY_VERIFY(!utility);
    QCOMPARE(server.routerTable(1).Name, QStringLiteral("Edited"));
}

// Whatever the menus and windows believe, an Apply asks the engine at that
// moment: a login that ended (or changed user) behind the window's back
// saves nothing, and the window closes with its edits.
void TestConsole::everyApplyChecksThePrivilegeThen()
{
    const QList<std::function<QWidget *(MDIMain &)>> openers{
        [](MDIMain &w) -> QWidget * { return w.openRouterUtility(); },
        [](MDIMain &w) -> QWidget * { return w.openUserSettings(); },
        [](MDIMain &w) -> QWidget * { return w.openGeneralSettings(); },
        [](MDIMain &w) -> QWidget * { return w.openComPortSettings(); },
        [](MDIMain &w) -> QWidget * { return w.openNetPortSettings(); },
        [](MDIMain &w) -> QWidget * { return w.openNetworkCardSettings(); },
    };
    for (const int laterUser : {0, 4}) {
        for (const auto &open : openers) {
            Desk desk;
            TestServer &server = desk.server();
            server.usersAsLoaded()[4] = User{QStringLiteral("second"), QStringLiteral("s"), Administrator};
            QVERIFY(desk.logIn());
            const QByteArray settings = readFile(server.SettingsFile());
            QPointer<QWidget> window = open(*desk.window);
            QVERIFY(window);
            server.logIn(laterUser); // no window is told
            auto *apply = window->findChild<QPushButton *>(QStringLiteral("cmdOK"));
            if (!apply) {
                for (QPushButton *b : window->findChildren<QPushButton *>())
                    apply = b->text().contains(QStringLiteral("Save")) ? b : apply;
            }
            QVERIFY2(apply, qPrintable(window->objectName()));
            apply->click();
            QVERIFY2(desk.box(QStringLiteral("logged in at the console")), qPrintable(window->objectName()));
            QTRY_VERIFY(!window);
            QCOMPARE(readFile(server.SettingsFile()), settings);
            QVERIFY(!QFile::exists(server.UserFile()));
            QVERIFY(!QFile::exists(RouterTablePath(desk.path(), 1)));
        }
    }
}

// Through the accessibility interface, as a screen reader or a test robot
// works: the status panel reads its values, and the utility's check boxes
// and text boxes changed there are edits like clicks and typing.
void TestConsole::accessibleControlsAndValues()
{
    Desk desk;
    TestServer &server = desk.server();
    QVERIFY(desk.logIn());
    QLabel *privilege = nullptr;
    for (QLabel *label : desk.window->findChildren<QLabel *>()) {
        if (label->accessibleDescription() == QLatin1String("Privilege"))
            privilege = label;
    }
    QVERIFY(privilege);
    QAccessibleInterface *value = QAccessible::queryAccessibleInterface(privilege);
    QCOMPARE(value->text(QAccessible::Name), QStringLiteral("Administrator"));
    QCOMPARE(value->text(QAccessible::Description), QStringLiteral("Privilege"));
    QStringList labelledBy;
    for (const auto &[other, relation] : value->relations(QAccessible::Label))
        labelledBy << other->text(QAccessible::Name);
    QCOMPARE(labelledBy, QStringList{QStringLiteral("Privilege")});

    frmSetRTR *utility = desk.window->openRouterUtility();
    const auto toggle = [](QWidget *box) {
        QAccessibleInterface *i = QAccessible::queryAccessibleInterface(box);
        i->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
    };
    const bool level = utility->chkL[3]->isChecked();
    const bool visible = utility->chkSRC->isChecked();
    toggle(utility->chkL[3]);
    QCOMPARE(utility->chkL[3]->isChecked(), !level);
    toggle(utility->chkSRC);
    QAccessible::queryAccessibleInterface(utility->txtSRCDESC)->setText(QAccessible::Value, QStringLiteral("Camera"));
    QCOMPARE(utility->workTable(1).SourceDescription[1], QStringLiteral("Camera"));
    // Stepping away and back fills the controls: no edit.
    utility->cmdSRCRight->click();
    utility->cmdSRCLEFT->click();
    QCOMPARE(utility->chkL[3]->isChecked(), !level);
    utility->cmdOK->click();
    QTRY_VERIFY(!desk.window->findChild<frmSetRTR *>());
    QCOMPARE(bool(server.routerTable(1).SourceLevel[1][3]), !level);
    QCOMPARE(bool(server.routerTable(1).SourceVisible[1]), !visible);
    QCOMPARE(server.routerTable(1).SourceDescription[1], QStringLiteral("Camera"));
}

// The files hold Windows-1252 text: a Cyrillic description would be saved
// as "?". Refused at the apply, naming the field; Western European text
// (with its accents and the euro sign) is saved as typed.
void TestConsole::textTheFilesCannotHoldIsRefused_data()
{
    QTest::addColumn<QString>("which");
    QTest::addColumn<QString>("field");
    QTest::newRow("router utility") << "utility" << "Router 1: the description of source 1";
    QTest::newRow("comm port") << "com" << "Com port 1: the description";
    QTest::newRow("network port") << "net" << "Device 1: the description";
}

void TestConsole::textTheFilesCannotHoldIsRefused()
{
    QFETCH(QString, which);
    QFETCH(QString, field);
    Desk desk;
    TestServer &server = desk.server();
    QVERIFY(desk.logIn());
    QVERIFY(SaveSettings(server.SettingsFile(), server.currentSettings()));
    const QByteArray settings = readFile(server.SettingsFile());
    QWidget *window = nullptr;
    QLineEdit *text = nullptr;
    if (which == QLatin1String("utility")) {
        auto *utility = desk.window->openRouterUtility();
        window = utility;
        text = utility->txtSRCDESC;
    } else {
        window = which == QLatin1String("com") ? static_cast<QWidget *>(desk.window->openComPortSettings())
                                               : desk.window->openNetPortSettings();
        text = window->findChild<QLineEdit *>(QStringLiteral("txtDesc"));
    }
    // Pasted or set through the accessibility interface: no key to swallow.
    text->setText(QStringLiteral("Камера 1"));
    auto *apply = window->findChild<QPushButton *>(QStringLiteral("cmdOK"));
    apply->click();
    QMessageBox *box = desk.box(field + QStringLiteral(" holds characters the file cannot store"));
    QVERIFY(box);
    QVERIFY(box->text().contains(QStringLiteral("\"Камер\"")));
    QVERIFY(box->text().endsWith(QStringLiteral("Nothing was saved.")));
    box->close();
    QCOMPARE(readFile(server.SettingsFile()), settings);
    QVERIFY(!QFile::exists(RouterTablePath(desk.path(), 1)));

    text->setText(QStringLiteral("Caméra € 1"));
    apply->click();
    QTRY_VERIFY(!window->isVisible());
    if (which == QLatin1String("utility")) {
        RouterTable reread;
        QVERIFY(ReadRouterTable(desk.path(), 1, reread));
        QCOMPARE(reread.SourceDescription[1], QStringLiteral("Caméra € 1"));
    } else {
        Settings reread;
        QVERIFY(LoadSettings(server.SettingsFile(), reread).isEmpty());
        QCOMPARE(which == QLatin1String("com") ? reread.ComPorts[1].ComDescription : reread.NetPorts[1].NetDescription,
                 QStringLiteral("Caméra € 1"));
    }
}

void TestConsole::generalSettingsMoveAndApply()
{
    Desk desk;
    TestServer &server = desk.server();
    QVERIFY(desk.logIn());
    // Start from a file the server wrote itself, so only edited keys change.
    QVERIFY(SaveSettings(server.SettingsFile(), server.currentSettings()));
    const QList<QByteArray> before = readFile(server.SettingsFile()).split('\n');
    const int panel = FindOrCreateClient(server.panelTable(), server.statesAsReported(), 5, QStringLiteral("10.0.0.9"), 1, 0);
    frmRtrView *view = desk.view();

    frmSetGen *dialog = desk.window->openGeneralSettings();
    QCOMPARE(dialog->windowTitle(), QStringLiteral("General Settings"));
    QCOMPARE(dialog->SSTab1->currentIndex(), 0);
    QCOMPARE(dialog->lblSBCOLOR[3]->text(), QStringLiteral("High Priority"));
    QCOMPARE(dialog->swatch(1), QColor(192, 192, 192));
    QCOMPARE(dialog->lstColShow->count(), kColumnCount);
    QCOMPARE(dialog->lstColShow->item(95)->text(), QStringLiteral("Router_96"));

    dialog->lstColShow->setCurrentRow(0);
    dialog->cmdColUp->click();   // the top entry stays
    dialog->lstColShow->setCurrentRow(95);
    dialog->cmdColDown->click(); // the bottom entry stays
    dialog->lstColShow->setCurrentRow(4);
    for (int i = 0; i < 4; ++i)
        dialog->cmdColUp->click();
    QCOMPARE(dialog->lstColShow->currentRow(), 0);
    dialog->setSwatch(6, QColor(1, 2, 3));
    dialog->cmdOK->click();
    QTRY_VERIFY(!desk.window->findChild<frmSetGen *>());

    const QList<qint16> firstSix{server.currentSettings().ColumnPosition[1], server.currentSettings().ColumnPosition[2],
                                 server.currentSettings().ColumnPosition[3], server.currentSettings().ColumnPosition[4],
                                 server.currentSettings().ColumnPosition[5], server.currentSettings().ColumnPosition[6]};
    QCOMPARE(firstSix, (QList<qint16>{5, 1, 2, 3, 4, 6}));
    QCOMPARE(server.currentSettings().Colors[6], 197121.0);
    QVERIFY(pendingFlag(server.panelRecords()[panel], FlagSettingsChanged));
    QCOMPARE(view->model()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Router_5"));

    QList<QByteArray> changed;
    const QList<QByteArray> after = readFile(server.SettingsFile()).split('\n');
    QCOMPARE(after.size(), before.size());
    for (qsizetype i = 0; i < after.size(); ++i) {
        if (after[i] != before[i])
            changed << after[i].trimmed();
    }
    QCOMPARE(changed, (QList<QByteArray>{"Color_6=197121", "Column_1_Position=5", "Column_2_Position=1",
                                         "Column_3_Position=2", "Column_4_Position=3", "Column_5_Position=4"}));
}

void TestConsole::generalSettingsDropsWhatIsNotApplied()
{
    Desk desk;
    TestServer &server = desk.server();
    QVERIFY(desk.logIn());
    const Settings before = server.currentSettings();

    frmSetGen *dialog = desk.window->openGeneralSettings();
    dialog->setSwatch(2, Qt::blue);
    desk.window->openRouterView();   // another window of ours becomes active
    QTRY_VERIFY(!desk.window->findChild<frmSetGen *>());
    QVERIFY(server.currentSettings() == before);

    // A settings file that cannot be written: said, and nothing changes.
    QVERIFY(QFile::remove(server.SettingsFile()));
    QVERIFY(QDir().mkpath(server.SettingsFile()));
    dialog = desk.window->openGeneralSettings();
    dialog->lstColShow->setCurrentRow(1);
    dialog->cmdColUp->click();
    dialog->cmdOK->click();
    QMessageBox *failure = desk.box(QStringLiteral("could not be written"));
    QVERIFY(failure);
    QVERIFY(failure->text().contains(server.SettingsFile()));
    failure->close();
    QVERIFY(server.currentSettings() == before);
    QCOMPARE(desk.window->findChild<frmSetGen *>(), dialog);
}

QTEST_MAIN(TestConsole)
#include "tst_console.moc"
