// The two port settings windows over a real engine in a temporary
// application folder: what they write to WREN.INI, what they refuse, what
// they drop, and the comm ports they re-open, over real pseudo-terminals.

#include "config/settings.h"
#include "console_desk.h"
#include "core/port_settings.h"
#include "core/server.h"
#include "simulated_router.h"
#include "test_server.h"
#include "pty_router.h"
#include "test_support.h"
#include "ui/login_dialog.h"
#include "ui/main_window.h"
#include "ui/settings/com_port_dialog.h"
#include "ui/settings/net_port_dialog.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QGroupBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QToolButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

using namespace marlin;
using namespace testsupport;

namespace {

// The line speed a serial device is set to now.
speed_t lineSpeed(const QString &device)
{
    const int fd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios attributes{};
    ::tcgetattr(fd, &attributes);
    ::close(fd);
    return ::cfgetospeed(&attributes);
}

const QByteArray kNoCards = "[Network_Settings]\r\nNetwork_Card_1_IP_Address=\r\n";

// Either window, opened from the Settings menu of an administrator.
QWidget *openWindow(MDIMain &window, TestServer &server, const QString &which)
{
    QAction *item = which == QLatin1String("com") ? window.menuSetCom : window.menuSetNetPorts;
    if (!item->isEnabled()) {
        server.usersAsLoaded()[1] = User{QStringLiteral("admin"), QStringLiteral("marlin"), Administrator};
        frmLogin *login = window.openLogin();
        login->txtName->setText(QStringLiteral("admin"));
        login->txtPass->setText(QStringLiteral("marlin"));
        QTest::keyClick(login->txtPass, Qt::Key_Return);
        if (!QTest::qWaitFor([&] { return !window.loginDialog(); }))
            return nullptr;
    }
    item->trigger();
    if (which == QLatin1String("com"))
        return window.findChild<frmSetPorts *>();
    return window.findChild<frmSetNetPorts *>();
}

QWidget *openPortWindow(MDIMain &window)
{
    if (auto *com = window.findChild<frmSetPorts *>())
        return com;
    return window.findChild<frmSetNetPorts *>();
}

int portOnScreen(QWidget *dialog) { return dialog->findChild<QLabel *>(QStringLiteral("lblPort"))->text().toInt(); }

// Steps to port n with the arrow buttons, as the operator does.
void stepTo(QWidget *dialog, int port)
{
    auto *left = dialog->findChild<QToolButton *>(QStringLiteral("cmdSRCLEFT"));
    auto *right = dialog->findChild<QToolButton *>(QStringLiteral("cmdSRCRight"));
    while (portOnScreen(dialog) < port)
        right->click();
    while (portOnScreen(dialog) > port)
        left->click();
}

// An edit as "port:control=value": check boxes take 1 or 0, lists the text
// of an item, text boxes what is typed.
void edit(QWidget *dialog, const QString &change)
{
    const qsizetype colon = change.indexOf(QLatin1Char(':'));
    const qsizetype equals = change.indexOf(QLatin1Char('='));
    stepTo(dialog, change.left(colon).toInt());
    const QString control = change.mid(colon + 1, equals - colon - 1);
    const QString value = change.mid(equals + 1);
    QWidget *widget = dialog->findChild<QWidget *>(control);
    QVERIFY2(widget, qPrintable(control));
    if (auto *box = qobject_cast<QCheckBox *>(widget)) {
        box->setChecked(value == QLatin1String("1"));
    } else if (auto *list = qobject_cast<QComboBox *>(widget)) {
        const int position = list->findText(value);
        QVERIFY2(position >= 0, qPrintable(change));
        list->setCurrentIndex(position);
        emit list->activated(position);
    } else if (auto *text = qobject_cast<QLineEdit *>(widget)) {
        text->setText(value);
    }
}

// Whether the window shows the edit when stepped to its port.
bool shows(QWidget *dialog, const QString &change)
{
    const qsizetype colon = change.indexOf(QLatin1Char(':'));
    const qsizetype equals = change.indexOf(QLatin1Char('='));
    stepTo(dialog, change.left(colon).toInt());
    QWidget *widget = dialog->findChild<QWidget *>(change.mid(colon + 1, equals - colon - 1));
    const QString value = change.mid(equals + 1);
    if (auto *box = qobject_cast<QCheckBox *>(widget))
        return box->isChecked() == (value == QLatin1String("1"));
    if (auto *list = qobject_cast<QComboBox *>(widget))
        return list->currentText() == value;
    if (auto *text = qobject_cast<QLineEdit *>(widget))
        return text->text() == value;
    return false;
}

QPushButton *button(QWidget *dialog, const char *name) { return dialog->findChild<QPushButton *>(QLatin1String(name)); }

// The lines of the file that differ, trimmed; the file keeps its length.
QList<QByteArray> changedLines(const QByteArray &before, const QByteArray &after)
{
    const QList<QByteArray> a = before.split('\n');
    const QList<QByteArray> b = after.split('\n');
    if (a.size() != b.size())
        return {"line count " + QByteArray::number(a.size()) + " -> " + QByteArray::number(b.size())};
    QList<QByteArray> changed;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (a[i] != b[i])
            changed << b[i].trimmed();
    }
    return changed;
}

// The refusal box on screen, exactly as it must read.
void expectRefusal(Desk &desk, const QString &text)
{
    QMessageBox *box = desk.box(text);
    QVERIFY2(box, qPrintable(text));
    QCOMPARE(box->text(), text);
    QCOMPARE(box->windowTitle(), QStringLiteral("Error"));
    QCOMPARE(box->icon(), QMessageBox::Critical);
    box->close();
}

} // namespace

class TestPortSettings : public QObject {
    Q_OBJECT

private slots:
    void controlsCaptionsAndLists_data();
    void controlsCaptionsAndLists();
    void applyWritesOnlyTheEditedKeys_data();
    void applyWritesOnlyTheEditedKeys();
    void refusals_data();
    void refusals();
    void cancelAndDeactivationDropEverything_data();
    void cancelAndDeactivationDropEverything();
    void heldArrowKeepsTheEditAndStopsAt96_data();
    void heldArrowKeepsTheEditAndStopsAt96();
    void writeFailureChangesNothing_data();
    void writeFailureChangesNothing();
    void reopenedPortReachesTheRouterOnItsNewSettings();
    void lineSettingsTheLineCannotTakeAreRefused_data();
    void lineSettingsTheLineCannotTakeAreRefused();
    void reopenFailureIsLoggedAndShown();
    void lostLinkIsUpAgainAfterApply_data();
    void lostLinkIsUpAgainAfterApply();
    void downNetworkLinkIsReportedAgainAfterApply();
    void portDeviceIsShown();
};

void TestPortSettings::controlsCaptionsAndLists_data()
{
    QTest::addColumn<QString>("which");
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("caption"); // button or frame text, or the label beside the control
    QTest::addColumn<QString>("toolTip");
    QTest::addColumn<QStringList>("items");

    const QStringList routerNumbers = [] {
        QStringList items;
        for (int n = 1; n <= 128; ++n)
            items << QStringLiteral(" %1").arg(n);
        return items;
    }();
    const QStringList levels{QStringLiteral(" 0"), QStringLiteral(" 1"), QStringLiteral(" 2"), QStringLiteral(" 3"),
                             QStringLiteral(" 4"), QStringLiteral(" 5"), QStringLiteral(" 6"), QStringLiteral(" 7")};
    const QStringList protocols{QStringLiteral("Leitch"), QStringLiteral("Image Video 9540")};
    for (const char *which : {"com", "net"}) {
        const QString w = QString::fromLatin1(which);
        QTest::addRow("%s cmbType", which) << w << "cmbType" << "Type" << QString() << QStringList{QStringLiteral("Router")};
        QTest::addRow("%s cmbID", which) << w << "cmbID" << "Router #" << QString() << routerNumbers;
        QTest::addRow("%s cmbLevel", which) << w << "cmbLevel" << "Main Router Level" << QString() << levels;
        QTest::addRow("%s cmbPro", which) << w << "cmbPro" << "Protocol" << QString() << protocols;
        QTest::addRow("%s txtDesc", which) << w << "txtDesc" << "Description" << QString() << QStringList{};
        QTest::addRow("%s chkENABLE", which) << w << "chkENABLE" << "Hardware Enabled" << QString() << QStringList{};
        QTest::addRow("%s cmdOK", which) << w << "cmdOK" << "Apply and Save" << QString() << QStringList{};
        QTest::addRow("%s cmdCANCEL", which) << w << "cmdCANCEL" << "Cancel" << QString() << QStringList{};
    }
    const QString com = QStringLiteral("com");
    QTest::newRow("com lblCom") << com << "lblCom" << "Communication Port" << QString() << QStringList{};
    QTest::newRow("com Frame1") << com << "Frame1" << "Port Settings" << QString() << QStringList{};
    QTest::newRow("com Frame2") << com << "Frame2" << "Broadcast Equipment Settings" << QString() << QStringList{};
    QTest::newRow("com cmbBR") << com << "cmbBR" << "Baud Rate" << QString()
                               << QStringLiteral("110 300 600 1200 2400 9600 14400 19200 28800 38400 56000 128000 256000")
                                      .split(QLatin1Char(' '));
    QTest::newRow("com cmbPARITY") << com << "cmbPARITY" << "Parity" << QString()
                                   << QStringList{QStringLiteral("Even"), QStringLiteral("None"), QStringLiteral("Odd")};
    QTest::newRow("com cmbDATA") << com << "cmbDATA" << "Data Bits" << QString()
                                 << QStringList{QStringLiteral("5"), QStringLiteral("6"), QStringLiteral("7"), QStringLiteral("8")};
    QTest::newRow("com cmbSB") << com << "cmbSB" << "Stop Bits" << QString()
                               << QStringList{QStringLiteral("1"), QStringLiteral("1.5"), QStringLiteral("2")};
    QTest::newRow("com chkDTR") << com << "chkDTR" << "DTR Enabled" << QString() << QStringList{};
    QTest::newRow("com chkRTS") << com << "chkRTS" << "RTS Enabled" << QString() << QStringList{};

    const QString net = QStringLiteral("net");
    QTest::newRow("net lblCom") << net << "lblCom" << "Device Number" << QString() << QStringList{};
    QTest::newRow("net txtIP") << net << "txtIP" << "Device IP Address" << "IP address of device to control." << QStringList{};
    QTest::newRow("net txtPort") << net << "txtPort" << "Device Port #" << "TCP or UDP port of device to control."
                                 << QStringList{};
    QTest::newRow("net cmbTCPType") << net << "cmbTCPType" << "Device Port Type" << QString()
                                    << QStringList{QStringLiteral("TCP"), QStringLiteral("UDP")};
    QTest::newRow("net txtUser") << net << "txtUser" << "User Name:" << QString() << QStringList{};
    QTest::newRow("net txtPassWord") << net << "txtPassWord" << "Password:" << QString() << QStringList{};
}

void TestPortSettings::controlsCaptionsAndLists()
{
    QFETCH(QString, which);
    QFETCH(QString, control);
    QFETCH(QString, caption);
    QFETCH(QString, toolTip);
    QFETCH(QStringList, items);

    Desk desk;
    QWidget *dialog = openWindow(*desk.window, desk.server(), which);
    QVERIFY(dialog);
    QCOMPARE(dialog->windowTitle(), which == QLatin1String("com") ? QStringLiteral("Communication Port Settings")
                                                                 : QStringLiteral("Network Device Settings"));
    QWidget *widget = dialog->findChild<QWidget *>(control);
    QVERIFY(widget);
    QString shown;
    if (auto *b = qobject_cast<QAbstractButton *>(widget))
        shown = b->text();
    else if (auto *frame = qobject_cast<QGroupBox *>(widget))
        shown = frame->title();
    else if (auto *label = qobject_cast<QLabel *>(widget))
        shown = label->text();
    for (QLabel *label : dialog->findChildren<QLabel *>()) {
        if (label->buddy() == widget)
            shown = label->text();
    }
    QCOMPARE(shown, caption);
    if (!qobject_cast<QGroupBox *>(widget) && !qobject_cast<QLabel *>(widget))
        QCOMPARE(widget->accessibleName(), caption);
    QCOMPARE(widget->toolTip(), toolTip);
    if (auto *list = qobject_cast<QComboBox *>(widget)) {
        QStringList texts;
        for (int i = 0; i < list->count(); ++i)
            texts << list->itemText(i);
        QCOMPARE(texts, items);
    }
}

void TestPortSettings::applyWritesOnlyTheEditedKeys_data()
{
    QTest::addColumn<QString>("which");
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QStringList>("noChoice");
    QTest::addColumn<QStringList>("edits");
    QTest::addColumn<QList<QByteArray>>("changed");

    // Stored values the lists do not hold show as no choice and are kept;
    // a step through port 1 and back stores nothing it did not change.
    QTest::newRow("comm ports")
        << QStringLiteral("com")
        << kNoCards + "[Com_Port_7]\r\nProtocol=3\r\n[Com_Port_8]\r\nID_Number=200\r\nBaud_Rate=20\r\nLevel=9\r\n"
        << QStringList{QStringLiteral("7:cmbPro"), QStringLiteral("8:cmbID"), QStringLiteral("8:cmbBR"),
                       QStringLiteral("8:cmbLevel")}
        << QStringList{QStringLiteral("3:chkENABLE=1"), QStringLiteral("3:cmbBR=19200"),
                       QStringLiteral("3:cmbPARITY=Odd"), QStringLiteral("3:cmbDATA=7"), QStringLiteral("3:cmbSB=2"),
                       QStringLiteral("3:chkDTR=0"), QStringLiteral("3:chkRTS=1"), QStringLiteral("3:cmbID= 7"),
                       QStringLiteral("3:cmbLevel= 2"), QStringLiteral("3:cmbPro=Image Video 9540"),
                       QStringLiteral("3:txtDesc=Studio C"), QStringLiteral("7:txtDesc=Framed"),
                       QStringLiteral("8:txtDesc=Big"), QStringLiteral("1:txtDesc=")}
        // The sections the file had come first, where they were.
        << QList<QByteArray>{"Port_Description=Framed", "Port_Description=Big", "Port_Description=Studio C",
                             "Port_Enable=1", "Baud_Rate=8", "Data_Bits=3", "Stop_Bits=3", "Parity=3", "DTR=0",
                             "RTS=1", "ID_Number=7", "Level=2", "Protocol=2"};

    QTest::newRow("network ports")
        << QStringLiteral("net") << kNoCards + "[Net_Port_4]\r\nNetwork_Port_Type=2\r\nProtocol=3\r\nRetry_MS=900\r\n"
        << QStringList{QStringLiteral("4:cmbTCPType"), QStringLiteral("4:cmbPro")}
        << QStringList{QStringLiteral("2:chkENABLE=1"), QStringLiteral("2:txtIP= 127.0.0.1 "),
                       QStringLiteral("2:txtPort=5001"), QStringLiteral("2:cmbTCPType=UDP"),
                       QStringLiteral("2:txtUser= op "), QStringLiteral("2:txtPassWord=se cret"),
                       QStringLiteral("2:cmbID= 9"), QStringLiteral("2:cmbLevel= 1"),
                       QStringLiteral("2:cmbPro=Image Video 9540"), QStringLiteral("2:txtDesc= Rack 2 "),
                       QStringLiteral("4:txtDesc=Odd one"), QStringLiteral("1:txtIP=")}
        << QList<QByteArray>{"Port_Description=Odd one", "Network_IP_Address=127.0.0.1", "Network_Port=5001",
                             "Network_Port_Type=1", "User=op", "Password=se cret", "Hardware_Enabled=1",
                             "Port_Description=Rack 2", "ID_Number=9", "Level=1", "Protocol=2"};
}

void TestPortSettings::applyWritesOnlyTheEditedKeys()
{
    QFETCH(QString, which);
    QFETCH(QByteArray, ini);
    QFETCH(QStringList, noChoice);
    QFETCH(QStringList, edits);
    QFETCH(QList<QByteArray>, changed);

    Desk desk(ini);
    TestServer &server = desk.server();
    PtyRouter device(desk.path(), 3);
    // Every key in the form the server writes it.
    QVERIFY(SaveSettings(server.SettingsFile(), server.currentSettings()));
    const QByteArray before = readFile(server.SettingsFile());
    const Settings stored = server.currentSettings();

    QWidget *dialog = openWindow(*desk.window, desk.server(), which);
    QVERIFY(dialog);
    for (const QString &blank : noChoice) {
        stepTo(dialog, blank.section(QLatin1Char(':'), 0, 0).toInt());
        auto *list = dialog->findChild<QComboBox *>(blank.section(QLatin1Char(':'), 1));
        QVERIFY2(list && list->currentIndex() == -1, qPrintable(blank));
    }
    for (const QString &change : edits)
        edit(dialog, change);
    button(dialog, "cmdOK")->click();
    QTRY_VERIFY(!openPortWindow(*desk.window));

    const QByteArray after = readFile(server.SettingsFile());
    QCOMPARE(changedLines(before, after), changed);
    // What is in force is what was written.
    Settings reread;
    QVERIFY(LoadSettings(server.SettingsFile(), reread).isEmpty());
    QVERIFY(reread == server.currentSettings());
    QVERIFY(!(server.currentSettings() == stored));
    if (which == QLatin1String("com")) {
        QVERIFY(server.isComOpen(3));
        QCOMPARE(server.currentSettings().ComPorts[7].ComProtocol, qint16(3));
        QCOMPARE(server.currentSettings().ComPorts[8].ComIDNumber, qint16(200));
    } else {
        QCOMPARE(server.currentSettings().NetPorts[4].NetPortType, qint16(2));
        QCOMPARE(server.currentSettings().NetPorts[4].NetRetryMS, qint16(900));
    }
}

void TestPortSettings::refusals_data()
{
    QTest::addColumn<QString>("which");
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QStringList>("edits");
    QTest::addColumn<QString>("message"); // empty: accepted
    QTest::addColumn<int>("portShown");   // where the window is after a refusal

    const QString duplicate25 = QStringLiteral(
        "Com port 2 and com port 5 have the same ID#.  ID numbers must be unique for each equipment type.");
    QTest::newRow("com: same ID on enabled 2 and 5")
        << QStringLiteral("com") << kNoCards
        << QStringList{QStringLiteral("2:chkENABLE=1"), QStringLiteral("2:cmbID= 3"), QStringLiteral("5:chkENABLE=1"),
                       QStringLiteral("5:cmbID= 3")}
        << duplicate25 << 5;
    QTest::newRow("com: same ID on enabled and disabled")
        << QStringLiteral("com") << kNoCards
        << QStringList{QStringLiteral("2:chkENABLE=1"), QStringLiteral("2:cmbID= 3"), QStringLiteral("5:cmbID= 3")}
        << QString() << 0;
    // A router on one port of each kind: the other window's port counts too.
    const QByteArray routerTwoOnNetwork = kNoCards + "[Net_Port_3]\r\nHardware_Enabled=1\r\nID_Number=2\r\n"
                                                     "Network_IP_Address=127.0.0.1\r\nNetwork_Port=5000\r\n";
    QTest::newRow("com: router a network port serves")
        << QStringLiteral("com") << routerTwoOnNetwork << QStringList{QStringLiteral("2:chkENABLE=1")}
        << QStringLiteral("These settings cannot be used: [Net_Port_3] ID_Number: router 2 is served by [Com_Port_2] "
                          "already, which its takes and polls go to.  No settings have been saved.")
        << 2;
    QTest::newRow("net: router a comm port serves")
        << QStringLiteral("net") << kNoCards + "[Com_Port_2]\r\nPort_Enable=1\r\n"
        << QStringList{QStringLiteral("4:chkENABLE=1"), QStringLiteral("4:txtIP=127.0.0.1"),
                       QStringLiteral("4:txtPort=5000"), QStringLiteral("4:cmbID= 2")}
        << QStringLiteral("These settings cannot be used: [Net_Port_4] ID_Number: router 2 is served by [Com_Port_2] "
                          "already, which its takes and polls go to.  No settings have been saved.")
        << 4;
    QTest::newRow("com: device missing")
        << QStringLiteral("com") << kNoCards << QStringList{QStringLiteral("4:chkENABLE=1")}
        << QStringLiteral("Com port 4 is not working correctly or is not available.  Please check your settings.  No "
                          "settings have been saved.")
        << 4;

    const QByteArray twoDisabled = kNoCards
                                   + "[Net_Port_2]\r\nID_Number=3\r\nNetwork_IP_Address=127.0.0.1\r\nNetwork_Port=5000\r\n"
                                     "[Net_Port_5]\r\nID_Number=3\r\nNetwork_IP_Address=127.0.0.1\r\nNetwork_Port=5001\r\n";
    QTest::newRow("net: two disabled, same router") << QStringLiteral("net") << twoDisabled << QStringList{} << QString() << 0;
    QTest::newRow("net: one of them enabled")
        << QStringLiteral("net") << twoDisabled << QStringList{QStringLiteral("5:chkENABLE=1")} << QString() << 0;
    QTest::newRow("net: both enabled")
        << QStringLiteral("net") << twoDisabled
        << QStringList{QStringLiteral("5:chkENABLE=1"), QStringLiteral("2:chkENABLE=1")} << duplicate25 << 2;
    QTest::newRow("net: both enabled, other router #")
        << QStringLiteral("net") << twoDisabled
        << QStringList{QStringLiteral("5:chkENABLE=1"), QStringLiteral("2:chkENABLE=1"), QStringLiteral("2:cmbID= 4")}
        << QString() << 0;

    // One rule with the links: TCP looks names up, UDP sends to an address.
    const QString notTcp = QStringLiteral(
        "\" is not an IP address or host name.  Enter four numbers from 0 to 255 separated by dots, such as "
        "192.168.1.20, or a name such as router-1.studio.example.  No settings have been saved.");
    const QString notUdp = QStringLiteral(
        "\" is not an IP address.  A UDP device needs four numbers from 0 to 255 separated by dots, such as "
        "192.168.1.20.  No settings have been saved.");
    QTest::newRow("net: TCP host name")
        << QStringLiteral("net") << twoDisabled
        << QStringList{QStringLiteral("2:txtIP=router-1.studio.example"), QStringLiteral("2:chkENABLE=1")} << QString()
        << 0;
    QTest::newRow("net: TCP single-label host name")
        << QStringLiteral("net") << twoDisabled << QStringList{QStringLiteral("5:txtIP=vtr4"), QStringLiteral("5:chkENABLE=1")}
        << QString() << 0;
    QTest::newRow("net: UDP host name")
        << QStringLiteral("net") << twoDisabled
        << QStringList{QStringLiteral("2:txtIP=router.local"), QStringLiteral("2:cmbTCPType=UDP"), QStringLiteral("9:txtDesc=x")}
        << QStringLiteral("Device 2: the \"Device IP Address\" \"router.local") + notUdp << 2;
    QTest::newRow("net: enabled TCP host name made UDP")
        << QStringLiteral("net") << kNoCards + "[Net_Port_3]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=vtr4\r\nNetwork_Port=23\r\n"
        << QStringList{QStringLiteral("3:cmbTCPType=UDP")}
        << QStringLiteral("Device 3: the \"Device IP Address\" \"vtr4") + notUdp << 3;
    QTest::newRow("net: not a host name")
        << QStringLiteral("net") << twoDisabled << QStringList{QStringLiteral("2:txtIP=router_1.local")}
        << QStringLiteral("Device 2: the \"Device IP Address\" \"router_1.local") + notTcp << 2;
    QTest::newRow("net: address out of range")
        << QStringLiteral("net") << twoDisabled << QStringList{QStringLiteral("2:txtIP=127.0.0.256")}
        << QStringLiteral("Device 2: the \"Device IP Address\" \"127.0.0.256") + notTcp << 2;
    QTest::newRow("net: address with a leading zero")
        << QStringLiteral("net") << twoDisabled << QStringList{QStringLiteral("5:txtIP=127.0.0.01")}
        << QStringLiteral("Device 5: the \"Device IP Address\" \"127.0.0.01") + notTcp << 5;
    QTest::newRow("net: enabled without address")
        << QStringLiteral("net") << kNoCards << QStringList{QStringLiteral("7:chkENABLE=1"), QStringLiteral("7:txtPort=80")}
        << QStringLiteral("Device 7 is enabled but has no \"Device IP Address\".  Enter the IP address of the device "
                          "to control.  No settings have been saved.")
        << 7;
    QTest::newRow("net: port not a number")
        << QStringLiteral("net") << twoDisabled << QStringList{QStringLiteral("5:txtPort=50a")}
        << QStringLiteral("Device 5: the \"Device Port #\" \"50a\" is not a port number.  Enter a number from 1 to "
                          "65535.  No settings have been saved.")
        << 5;
    QTest::newRow("net: port too high")
        << QStringLiteral("net") << twoDisabled << QStringList{QStringLiteral("5:txtPort=65536")}
        << QStringLiteral("Device 5: the \"Device Port #\" \"65536\" is not a port number.  Enter a number from 1 to "
                          "65535.  No settings have been saved.")
        << 5;
    QTest::newRow("net: enabled, port 0")
        << QStringLiteral("net") << twoDisabled << QStringList{QStringLiteral("2:chkENABLE=1"), QStringLiteral("2:txtPort=0")}
        << QStringLiteral("Device 2 is enabled but has no \"Device Port #\".  Enter a number from 1 to 65535.  No "
                          "settings have been saved.")
        << 2;
    QTest::newRow("net: local UDP port too high")
        << QStringLiteral("net") << twoDisabled << QStringList{QStringLiteral("5:txtLocalPort=70000")}
        << QStringLiteral("Device 5: the \"Local UDP Port #\" \"70000\" is not a port number.  Enter 0 for any free "
                          "port, or a number from 1 to 65535.  No settings have been saved.")
        << 5;
    QTest::newRow("net: two UDP ports on one local port")
        << QStringLiteral("net") << twoDisabled
        << QStringList{QStringLiteral("2:chkENABLE=1"), QStringLiteral("2:cmbTCPType=UDP"), QStringLiteral("2:cmbID= 2"),
                       QStringLiteral("2:txtLocalPort=17999"), QStringLiteral("5:chkENABLE=1"),
                       QStringLiteral("5:cmbTCPType=UDP"), QStringLiteral("5:txtLocalPort=17999")}
        << QStringLiteral("Device 2 and Device 5 both use \"Local UDP Port #\" 17999: only one of them could receive.  "
                          "No settings have been saved.")
        << 5;
    QTest::newRow("net: a local UDP port saved")
        << QStringLiteral("net") << twoDisabled
        << QStringList{QStringLiteral("5:chkENABLE=1"), QStringLiteral("5:cmbTCPType=UDP"),
                       QStringLiteral("5:txtLocalPort=17999")}
        << QString() << 0;
    QTest::newRow("net: disabled, address and port emptied")
        << QStringLiteral("net") << twoDisabled << QStringList{QStringLiteral("2:txtIP="), QStringLiteral("2:txtPort=")}
        << QString() << 0;
    // What an old file holds for a disabled port is not the operator's doing.
    QTest::newRow("net: untouched host name on a disabled port")
        << QStringLiteral("net") << kNoCards + "[Net_Port_6]\r\nNetwork_IP_Address=old-router\r\nNetwork_Port=99999\r\n"
        << QStringList{QStringLiteral("6:txtDesc=kept")} << QString() << 0;
}

void TestPortSettings::refusals()
{
    QFETCH(QString, which);
    QFETCH(QByteArray, ini);
    QFETCH(QStringList, edits);
    QFETCH(QString, message);
    QFETCH(int, portShown);

    Desk desk(ini);
    TestServer &server = desk.server();
    PtyRouter port2(desk.path(), 2);
    QFile::link(desk.dir.filePath(QStringLiteral("no-such-device")), desk.dir.filePath(QStringLiteral("COM4")));
    QVERIFY(SaveSettings(server.SettingsFile(), server.currentSettings()));
    const QByteArray before = readFile(server.SettingsFile());
    const Settings stored = server.currentSettings();

    QWidget *dialog = openWindow(*desk.window, desk.server(), which);
    QVERIFY(dialog);
    for (const QString &change : edits)
        edit(dialog, change);
    button(dialog, "cmdOK")->click();

    if (message.isEmpty()) {
        QTRY_VERIFY(!openPortWindow(*desk.window));
        Settings reread;
        QVERIFY(LoadSettings(server.SettingsFile(), reread).isEmpty());
        QVERIFY(reread == server.currentSettings());
        return;
    }
    expectRefusal(desk, message);
    // Nothing stored, the window open with the edits and on the port in question.
    QVERIFY(server.currentSettings() == stored);
    QCOMPARE(readFile(server.SettingsFile()), before);
    QCOMPARE(openPortWindow(*desk.window), dialog);
    QCOMPARE(portOnScreen(dialog), portShown);
    QVERIFY(!server.isComOpen(2));
    for (const QString &change : edits)
        QVERIFY2(shows(dialog, change), qPrintable(change));
}

void TestPortSettings::cancelAndDeactivationDropEverything_data()
{
    QTest::addColumn<QString>("which");
    QTest::addColumn<QString>("how");
    for (const char *which : {"com", "net"}) {
        for (const char *how : {"Cancel", "close box", "another window"})
            QTest::addRow("%s, %s", which, how) << QString::fromLatin1(which) << QString::fromLatin1(how);
    }
}

void TestPortSettings::cancelAndDeactivationDropEverything()
{
    QFETCH(QString, which);
    QFETCH(QString, how);

    Desk desk;
    TestServer &server = desk.server();
    PtyRouter device(desk.path(), 2);
    QVERIFY(SaveSettings(server.SettingsFile(), server.currentSettings()));
    const QByteArray before = readFile(server.SettingsFile());
    const Settings stored = server.currentSettings();

    QWidget *dialog = openWindow(*desk.window, desk.server(), which);
    QVERIFY(dialog);
    edit(dialog, QStringLiteral("2:chkENABLE=1"));
    edit(dialog, QStringLiteral("2:txtDesc=dropped"));
    edit(dialog, QStringLiteral("3:cmbID= 50"));
    if (how == QLatin1String("Cancel"))
        button(dialog, "cmdCANCEL")->click();
    else if (how == QLatin1String("close box"))
        qobject_cast<QMdiSubWindow *>(dialog->parentWidget())->close();
    else
        desk.window->openRouterView();
    QTRY_VERIFY(!openPortWindow(*desk.window));

    QVERIFY(server.currentSettings() == stored);
    QCOMPARE(readFile(server.SettingsFile()), before);
    QVERIFY(!server.isComOpen(2));

    // Opened again, it shows what is stored.
    dialog = openWindow(*desk.window, desk.server(), which);
    QVERIFY(dialog);
    stepTo(dialog, 2);
    QVERIFY(!dialog->findChild<QCheckBox *>(QStringLiteral("chkENABLE"))->isChecked());
    QCOMPARE(dialog->findChild<QLineEdit *>(QStringLiteral("txtDesc"))->text(), QString());
}

void TestPortSettings::heldArrowKeepsTheEditAndStopsAt96_data()
{
    QTest::addColumn<QString>("which");
    QTest::addColumn<QString>("control");
    QTest::newRow("com") << QStringLiteral("com") << QStringLiteral("txtDesc");
    QTest::newRow("net") << QStringLiteral("net") << QStringLiteral("txtIP");
}

void TestPortSettings::heldArrowKeepsTheEditAndStopsAt96()
{
    QFETCH(QString, which);
    QFETCH(QString, control);

    Desk desk;
    QWidget *dialog = openWindow(*desk.window, desk.server(), which);
    QVERIFY(dialog);
    auto *text = dialog->findChild<QLineEdit *>(control);
    auto *right = dialog->findChild<QToolButton *>(QStringLiteral("cmdSRCRight"));
    auto *left = dialog->findChild<QToolButton *>(QStringLiteral("cmdSRCLEFT"));

    // An edit survives a step away and back.
    text->setText(QStringLiteral("10.1.2.3"));
    right->click();
    QCOMPARE(portOnScreen(dialog), 2);
    QCOMPARE(text->text(), QString());
    left->click();
    QCOMPARE(portOnScreen(dialog), 1);
    QCOMPARE(text->text(), QStringLiteral("10.1.2.3"));
    left->click();
    QCOMPARE(portOnScreen(dialog), 1);

    // Held: nothing for half a second, then twenty ports a second, up to 96.
    QElapsedTimer held;
    QTest::mousePress(right, Qt::LeftButton);
    held.start();
    QTRY_VERIFY_WITH_TIMEOUT(portOnScreen(dialog) >= 2, 5000);
    QVERIFY2(held.elapsed() >= 450, qPrintable(QString::number(held.elapsed())));
    QTRY_COMPARE_WITH_TIMEOUT(portOnScreen(dialog), 96, 20000);
    // Still held at the end, it stays at 96.
    QSignalSpy repeats(right, &QToolButton::clicked);
    QTRY_VERIFY_WITH_TIMEOUT(repeats.size() >= 3, 5000);
    QCOMPARE(portOnScreen(dialog), 96);
    QTest::mouseRelease(right, Qt::LeftButton);
    QCOMPARE(portOnScreen(dialog), 96);

    stepTo(dialog, 1);
    QCOMPARE(text->text(), QStringLiteral("10.1.2.3"));
}

void TestPortSettings::writeFailureChangesNothing_data()
{
    QTest::addColumn<QString>("which");
    QTest::newRow("com") << QStringLiteral("com");
    QTest::newRow("net") << QStringLiteral("net");
}

void TestPortSettings::writeFailureChangesNothing()
{
    QFETCH(QString, which);

    Desk desk(kNoCards + "[Com_Port_1]\r\nPort_Enable=1\r\n");
    TestServer &server = desk.server();
    PtyRouter device(desk.path(), 2);
    // Port 1 is enabled on a device that is not there: a re-open would log it.
    QFile::link(desk.dir.filePath(QStringLiteral("no-such-device")), desk.dir.filePath(QStringLiteral("COM1")));
    // Port 1's link is lost: ten silent checks.
    server.routerLinks().stopLinkChecks();
    for (int i = 0; i < 10; ++i)
        server.routerLinks().comLinkPass();
    QVERIFY(!server.routerLinks().isLinkUp(1, false));
    QVERIFY(!server.routerState(1).CommOK);
    const QList<QByteArray> logged = logEntries(desk.path(), "Error");
    const QString startupError = server.startupError();
    // A directory where the file must go: even root cannot write it.
    QVERIFY(QFile::remove(server.SettingsFile()));
    QVERIFY(QDir().mkpath(server.SettingsFile()));
    const QStringList folder = QDir(desk.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
    const Settings stored = server.currentSettings();

    QWidget *dialog = openWindow(*desk.window, desk.server(), which);
    QVERIFY(dialog);
    edit(dialog, QStringLiteral("2:chkENABLE=1"));
    edit(dialog, which == QLatin1String("com") ? QStringLiteral("2:txtDesc=new") : QStringLiteral("2:txtIP=127.0.0.1"));
    if (which == QLatin1String("net"))
        edit(dialog, QStringLiteral("2:txtPort=4000"));
    button(dialog, "cmdOK")->click();

    QMessageBox *failure = desk.box(QStringLiteral("could not be written"));
    QVERIFY(failure);
    QVERIFY(failure->text().contains(server.SettingsFile()));
    failure->close();
    QVERIFY(server.currentSettings() == stored);
    QVERIFY(QFileInfo(server.SettingsFile()).isDir());
    QCOMPARE(QDir(desk.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System), folder);
    // No port opened or re-opened, no link marked up.
    QVERIFY(!server.isComOpen(2));
    QCOMPARE(logEntries(desk.path(), "Error"), logged);
    QCOMPARE(server.startupError(), startupError);
    QVERIFY(!server.routerLinks().isLinkUp(1, false));
    QVERIFY(!server.routerState(1).CommOK);
    QCOMPARE(openPortWindow(*desk.window), dialog);
}

void TestPortSettings::reopenedPortReachesTheRouterOnItsNewSettings()
{
    Desk desk;
    TestServer &server = desk.server();
    RouterConfig config;
    config.language = RouterLanguage::Leitch;
    config.transport = TransportKind::Pty;
    config.linkPath = desk.dir.filePath(QStringLiteral("COM3"));
    QStringList events; // before the router, which still reports while it stops
    SimulatedRouter router(config);
    connect(&router, &SimulatedRouter::event, this, [&events](const QString &line) { events.append(line); });
    QString error;
    QVERIFY2(router.start(&error), qPrintable(error));
    QVERIFY(!server.isComOpen(3));

    QWidget *dialog = openWindow(*desk.window, server, QStringLiteral("com"));
    for (const char *change : {"3:chkENABLE=1", "3:cmbBR=19200", "3:cmbID= 7", "3:cmbLevel= 2"})
        edit(dialog, QString::fromLatin1(change));
    button(dialog, "cmdOK")->click();
    QTRY_VERIFY(!openPortWindow(*desk.window));

    QVERIFY(server.isComOpen(3));
    QCOMPARE(server.startupError(), QString());
    QCOMPARE(lineSpeed(router.devicePath()), speed_t(B19200));
    // Router 7 is now reached through comm port 3, both ways.
    server.routerLinks().QueueComCommand(7, server.routerLinks().buildTakeCommand(7, "C 100000000003000500"));
    QTRY_VERIFY_WITH_TIMEOUT(events.join(QLatin1Char('\n')).contains(QStringLiteral("rx @ X:0/4,2")), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(server.routerState(7).CurrentSource[5], 3, 5000);
    QCOMPARE(router.source(5), 3);
}

// Line settings no serial line here can take (1.5 stop bits) are refused
// at the apply, with nothing saved, whether the port is open already, about
// to be opened, or disabled but edited.
void TestPortSettings::lineSettingsTheLineCannotTakeAreRefused_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QStringList>("edits");
    const QByteArray port3 = kNoCards + "[Com_Port_3]\r\nPort_Enable=1\r\nBaud_Rate=6\r\n";
    QTest::newRow("open port") << port3 << QStringList{QStringLiteral("3:cmbSB=1.5")};
    QTest::newRow("open port, stepped away")
        << port3 << QStringList{QStringLiteral("3:cmbSB=1.5"), QStringLiteral("3:cmbBR=19200"), QStringLiteral("7:chkDTR=1")};
    QTest::newRow("port enabled now")
        << kNoCards << QStringList{QStringLiteral("3:chkENABLE=1"), QStringLiteral("3:cmbSB=1.5")};
    QTest::newRow("disabled port edited") << kNoCards << QStringList{QStringLiteral("3:cmbSB=1.5")};
}

void TestPortSettings::lineSettingsTheLineCannotTakeAreRefused()
{
    QFETCH(QByteArray, ini);
    QFETCH(QStringList, edits);
    Desk desk(ini);
    TestServer &server = desk.server();
    PtyRouter device(desk.path(), 3);
    server.routerLinks().OpenCommPorts();
    const bool wasOpen = server.currentSettings().ComPorts[3].ComEnable;
    QCOMPARE(server.isComOpen(3), wasOpen);
    server.forgetStartupError(); // the start came before the device
    QVERIFY(SaveSettings(server.SettingsFile(), server.currentSettings()));
    const QByteArray before = readFile(server.SettingsFile());
    const Settings stored = server.currentSettings();
    const qsizetype logged = logEntries(desk.path(), "Error").size();

    QWidget *dialog = openWindow(*desk.window, server, QStringLiteral("com"));
    QVERIFY(dialog);
    for (const QString &change : edits)
        edit(dialog, change);
    button(dialog, "cmdOK")->click();
    const bool fast = edits.contains(QStringLiteral("3:cmbBR=19200"));
    expectRefusal(desk, QStringLiteral("Com port 3 cannot use the communication settings ")
                            + (fast ? QStringLiteral("19200") : QStringLiteral("9600"))
                            + QStringLiteral(",n,8,1.5: a serial line here has no 1.5 stop bits.  Please check your "
                                             "settings.  No settings have been saved."));
    QVERIFY(server.currentSettings() == stored);
    QCOMPARE(readFile(server.SettingsFile()), before);
    QCOMPARE(server.isComOpen(3), wasOpen);
    QCOMPARE(server.startupError(), QString());
    QCOMPARE(logEntries(desk.path(), "Error").size(), logged);
    QCOMPARE(openPortWindow(*desk.window), dialog);

    // Two stop bits are fine: saved, and the port re-opened on them.
    edit(dialog, QStringLiteral("3:cmbSB=2"));
    button(dialog, "cmdOK")->click();
    QTRY_VERIFY(!openPortWindow(*desk.window));
    QCOMPARE(server.currentSettings().ComPorts[3].ComStopBits, qint16(3));
    QCOMPARE(server.startupError(), QString());
    QCOMPARE(server.isComOpen(3), wasOpen || edits.contains(QStringLiteral("3:chkENABLE=1")));
}

// What the apply does not check, a disabled port the operator left as the
// file had it, the re-open still reports: logged, and shown once.
void TestPortSettings::reopenFailureIsLoggedAndShown()
{
    Desk desk(kNoCards + "[Com_Port_3]\r\nStop_Bits=2\r\n");
    TestServer &server = desk.server();
    const QString problem =
        QStringLiteral("There is a problem with the communication settings on port# 3.  Please check the communication settings.");
    // The start met it too.
    const qsizetype atStart = logEntries(desk.path(), "Error").count(problem.toLatin1());
    QCOMPARE(atStart, 1);
    server.forgetStartupError();
    QWidget *dialog = openWindow(*desk.window, server, QStringLiteral("com"));
    QVERIFY(dialog);
    edit(dialog, QStringLiteral("5:txtDesc=Studio"));
    button(dialog, "cmdOK")->click();
    QTRY_VERIFY(!openPortWindow(*desk.window));

    QCOMPARE(server.currentSettings().ComPorts[5].ComDescription, QStringLiteral("Studio"));
    QCOMPARE(server.startupError(), problem);
    QCOMPARE(logEntries(desk.path(), "Error").count(problem.toLatin1()), atStart + 1);
    QTRY_VERIFY_WITH_TIMEOUT(desk.box(problem), 5000);
    QCOMPARE(desk.box(problem)->windowTitle(), QStringLiteral("Error"));
}

void TestPortSettings::lostLinkIsUpAgainAfterApply_data()
{
    QTest::addColumn<QString>("which");
    QTest::addColumn<bool>("unservedUp");
    // The comm window marks up the routers its enabled ports serve; the
    // network window marks up every router.
    QTest::newRow("com") << QStringLiteral("com") << false;
    QTest::newRow("net") << QStringLiteral("net") << true;
}

void TestPortSettings::lostLinkIsUpAgainAfterApply()
{
    QFETCH(QString, which);
    QFETCH(bool, unservedUp);

    Desk desk(kNoCards + "[Com_Port_1]\r\nPort_Enable=1\r\nPort_Description=Silent\r\n");
    TestServer &server = desk.server();
    PtyRouter device(desk.path(), 1);
    server.routerLinks().OpenCommPorts();
    QVERIFY(server.isComOpen(1));
    // The checks are run here one at a time, as the link timer would.
    server.routerLinks().stopLinkChecks();
    const QByteArray lost = "Communication lost with Leitch Router on communication port 1 (Router_1) (Silent).";
    for (int i = 0; i < 10; ++i)
        server.routerLinks().comLinkPass();
    QCOMPARE(logEntries(desk.path(), "Error").count(lost), 1);
    QVERIFY(!server.routerLinks().isLinkUp(1, false));
    QVERIFY(!server.routerState(1).CommOK);
    server.asReported(40).CommOK = false; // a router no port serves

    QWidget *dialog = openWindow(*desk.window, desk.server(), which);
    QVERIFY(dialog);
    button(dialog, "cmdOK")->click();
    QTRY_VERIFY(!openPortWindow(*desk.window));
    QVERIFY(server.routerLinks().isLinkUp(1, false));
    // Marked up with its link, the router leaves "Problem Routers" and is
    // reported lost again, like its link, only if it stays silent.
    QVERIFY(server.routerState(1).CommOK);
    QVERIFY(!server.problemRouters().contains(1));
    QCOMPARE(server.routerState(40).CommOK, unservedUp);

    // Lost again only after ten more silent checks.
    for (int i = 0; i < 9; ++i)
        server.routerLinks().comLinkPass();
    QVERIFY(server.routerLinks().isLinkUp(1, false));
    QCOMPARE(logEntries(desk.path(), "Error").count(lost), 1);
    server.routerLinks().comLinkPass();
    QVERIFY(!server.routerLinks().isLinkUp(1, false));
    QVERIFY(!server.routerState(1).CommOK);
    QCOMPARE(logEntries(desk.path(), "Error").count(lost), 2);
}

void TestPortSettings::downNetworkLinkIsReportedAgainAfterApply()
{
    // A TCP router on a port nobody listens on.
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        closedPort = probe.serverPort();
    }
    Desk desk(kNoCards + "[Net_Port_2]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=127.0.0.1\r\nNetwork_Port="
              + QByteArray::number(closedPort) + "\r\nID_Number=6\r\nProtocol=1\r\n");
    TestServer &server = desk.server();
    server.routerLinks().stopLinkChecks(); // the checks run here one at a time
    // Half a minute without a word. The link never came up, so it was never
    // reported lost, and the router is still marked up from the start.
    for (int i = 0; i < 31; ++i)
        server.routerLinks().netLinkPass();
    const auto lostLines = [&] {
        qsizetype count = 0;
        for (const QByteArray &entry : logEntries(desk.path(), "Error"))
            count += entry.startsWith("Communication lost with Leitch Router on network port 2") ? 1 : 0;
        return count;
    };
    const qsizetype lostBefore = lostLines();

    QWidget *dialog = openWindow(*desk.window, server, QStringLiteral("net"));
    button(dialog, "cmdOK")->click();
    QTRY_VERIFY(!openPortWindow(*desk.window));
    QVERIFY(server.routerState(6).CommOK);
    // The next check finds the link still down and says so again.
    server.routerLinks().netLinkPass();
    QVERIFY(!server.routerState(6).CommOK);
    QVERIFY(server.problemRouters().contains(6));
    QCOMPARE(lostLines(), lostBefore + 1);
}

void TestPortSettings::portDeviceIsShown()
{
    Desk desk;
    PtyRouter device(desk.path(), 2);
    QFile::link(desk.dir.filePath(QStringLiteral("gone")), desk.dir.filePath(QStringLiteral("COM3")));
    auto *dialog = desk.window->openComPortSettings();
    QCOMPARE(dialog->lblDevice->text(), QStringLiteral("Device: /dev/ttyS0") + (QFileInfo::exists(QStringLiteral("/dev/ttyS0"))
                                                                          ? QStringLiteral("  (present)")
                                                                          : QStringLiteral("  (not present)")));
    stepTo(dialog, 2);
    QCOMPARE(dialog->lblDevice->text(), QStringLiteral("Device: ") + device.device() + QStringLiteral("  (present)"));
    stepTo(dialog, 3);
    QCOMPARE(dialog->lblDevice->text(),
             QStringLiteral("Device: ") + desk.dir.filePath(QStringLiteral("gone")) + QStringLiteral("  (not present)"));
}

QTEST_MAIN(TestPortSettings)
#include "tst_port_settings.moc"
