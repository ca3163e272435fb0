#include "core/server.h"
#include "ui/main_window.h"
#include "ui/settings/network_card_dialog.h"
#include "test_server.h"
#include "test_support.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QSpinBox>
#include <QApplication>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QPushButton>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPointer>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace marlin;

namespace {

QByteArray errorLog(const QString &appDir)
{
    return testsupport::logEntries(appDir, "Error").join("\n");
}

// Answers the message boxes the window is about to show, in order, and
// records their texts.
class Answerer : public QObject {
public:
    Answerer(QList<QMessageBox::StandardButton> answers) : answers(std::move(answers))
    {
        timer.setInterval(10);
        connect(&timer, &QTimer::timeout, this, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || this->answers.isEmpty())
                return;
            texts.append(box->text());
            titles.append(box->windowTitle());
            defaults.append(static_cast<QAbstractButton *>(box->defaultButton()) == box->button(QMessageBox::No));
            box->button(this->answers.takeFirst())->click();
        });
        timer.start();
    }
    QList<QMessageBox::StandardButton> answers;
    QStringList texts;
    QStringList titles;
    QList<bool> defaults;
    QTimer timer;
};

const QString kFirst = QStringLiteral("Are you sure you want to close the server down?");
const QString kSecond = QStringLiteral("Are you really sure you want to close the server down?");

} // namespace

class TestUi : public QObject {
    Q_OBJECT

private slots:
    void caption();
    void shutdownQuestions_data();
    void shutdownQuestions();
    void terminationClosesWithoutQuestions();
    void alertWindowFollowsTheLink();
    void networkCardSettings();
    void networkCardSettingsThatCannotBeSaved();
};

void TestUi::caption()
{
    QTemporaryDir app;
    testsupport::TestServer server(app.path());
    MDIMain window(server);
    const QString caption = QStringLiteral("Marlin Server Version %1.%2.%3")
                                .arg(MARLIN_VERSION_MAJOR).arg(MARLIN_VERSION_MINOR).arg(MARLIN_VERSION_PATCH);
    QCOMPARE(window.windowTitle(), caption);
    QVERIFY(!window.menuSettings->actions().isEmpty());
    for (QAction *a : window.menuSettings->actions())
        QVERIFY(!a->isEnabled());

    // A hot spare says so in the caption while it stands by.
    QVERIFY(testsupport::writeFile(app.filePath(QStringLiteral("WREN.INI")), "[Network_Settings]\r\nNetwork_Card_1_IP_Address=\r\n"));
    testsupport::TestServer spare(app.path());
    MDIMain spareWindow(spare);
    spare.Start(Server::Role::Standby);
    QCOMPARE(spareWindow.windowTitle(), caption + QStringLiteral(" - STANDBY"));
    spare.Promote();
    QCOMPARE(spareWindow.windowTitle(), caption);
    spare.Demote();
    QCOMPARE(spareWindow.windowTitle(), caption + QStringLiteral(" - STANDBY"));
}

void TestUi::shutdownQuestions_data()
{
    QTest::addColumn<QList<QMessageBox::StandardButton>>("answers");
    QTest::addColumn<QStringList>("asked");
    QTest::addColumn<bool>("closed");
    QTest::newRow("no") << QList<QMessageBox::StandardButton>{QMessageBox::No} << QStringList{kFirst} << false;
    QTest::newRow("yes, then no") << QList<QMessageBox::StandardButton>{QMessageBox::Yes, QMessageBox::No}
                                  << QStringList{kFirst, kSecond} << false;
    QTest::newRow("yes twice") << QList<QMessageBox::StandardButton>{QMessageBox::Yes, QMessageBox::Yes}
                               << QStringList{kFirst, kSecond} << true;
}

void TestUi::shutdownQuestions()
{
    QFETCH(QList<QMessageBox::StandardButton>, answers);
    QFETCH(QStringList, asked);
    QFETCH(bool, closed);

    QTemporaryDir app;
    testsupport::TestServer server(app.path());
    MDIMain window(server);
    window.show();
    server.Start();

    Answerer answerer(answers);
    window.close();
    QCOMPARE(answerer.texts, asked);
    QCOMPARE(answerer.titles, QStringList(asked.size(), QStringLiteral("Warning")));
    QVERIFY(!answerer.defaults.contains(false)); // No is the default button
    QCOMPARE(window.isVisible(), !closed);
    QCOMPARE(errorLog(app.path()).endsWith("Server Closed Down"), closed);
    QCOMPARE(errorLog(app.path()).count("Server Closed Down"), closed ? 1 : 0);
}

void TestUi::terminationClosesWithoutQuestions()
{
    QTemporaryDir app;
    testsupport::TestServer server(app.path());
    MDIMain window(server);
    window.show();
    server.Start();
    window.closeWithoutQuestions();
    QVERIFY(!window.isVisible());
    QVERIFY(errorLog(app.path()).endsWith("Server Closed Down"));
}

void TestUi::alertWindowFollowsTheLink()
{
    QTemporaryDir app;
    testsupport::TestServer server(app.path());
    MDIMain window(server);
    window.show();

    const QString text = QStringLiteral("Communication lost with Leitch Router on communication port 3 (Router_1) (Studio A).");
    emit server.alertRaised(3, text);
    QPointer<frmPROBLEM> alert = window.alertWindow(3);
    QVERIFY(alert);
    QVERIFY(alert->isVisible());
    QCOMPARE(alert->lblPROBLEM->text(), QStringLiteral("Communication Problem"));
    QCOMPARE(alert->lblHEAD->text(), text);
    QCOMPARE(alert->timePROBLEM.interval(), 500);
    const bool red = alert->showingRed();
    QTRY_COMPARE(alert->showingRed(), !red);
    QCOMPARE(alert->palette().color(QPalette::Window), alert->showingRed() ? QColor(255, 0, 0) : QColor(0, 0, 255));

    // A second loss of the same port keeps the one window; another port gets its own.
    emit server.alertRaised(3, text);
    QCOMPARE(window.alertWindow(3), alert.data());
    emit server.alertRaised(4, QStringLiteral("other"));
    QVERIFY(window.alertWindow(4) && window.alertWindow(4) != alert.data());

    // The restoration closes the window; OK closes one as well.
    emit server.alertCleared(3);
    QTRY_VERIFY(!alert);
    QPointer<frmPROBLEM> other = window.alertWindow(4);
    other->cmdOK->click();
    QTRY_VERIFY(!other);
    emit server.alertRaised(4, QStringLiteral("again"));
    QVERIFY(window.alertWindow(4));
    QCOMPARE(window.alertWindow(4)->lblHEAD->text(), QStringLiteral("again"));
}

void TestUi::networkCardSettings()
{
    QTemporaryDir app;
    QVERIFY(testsupport::writeFile(app.filePath(QStringLiteral("WREN.INI")),
                                   "[Network_Settings]\r\nNetwork_Card_1_IP_Address=127.0.0.1\r\nNetwork_Card_1_TCP_Port=0\r\n"
                                   "Network_Card_2_IP_Address=203.0.113.9\r\nNetwork_Card_2_TCP_Port=7001\r\n"));
    testsupport::TestServer server(app.path());
    MDIMain window(server);
    window.show();
    server.Start(); // card 2's address is not this machine's: the window opens by itself

    auto *nic = window.findChild<frmSetNic *>();
    QVERIFY(nic);
    QCOMPARE(nic->windowTitle(), QStringLiteral("Network Settings"));
    QCOMPARE(nic->txtIP[2]->text(), QStringLiteral("203.0.113.9"));
    QCOMPARE(window.openNetworkCardSettings(), nic); // one window, brought forward

    nic->txtIP[1]->setText(QStringLiteral("  127.0.0.1  "));
    nic->txtIP[2]->clear();
    nic->txtIP[4]->setText(QStringLiteral("10.9.8.7"));
    // The web face's group: off, on 127.0.0.1:8080 until edited.
    QVERIFY(!nic->chkWebEnabled->isChecked());
    QCOMPARE(nic->txtWebIP->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(nic->txtWebPort->value(), 8080);
    nic->chkWebEnabled->setChecked(true);
    nic->txtWebIP->setText(QStringLiteral("localhost"));
    // Saving needs an Administrator logged in, even in the window the start
    // opened: refused, nothing saved, the window closed with its edits.
    nic->cmdOK->click();
    QTRY_VERIFY(!window.findChild<frmSetNic *>());
    QVERIFY(server.currentSettings().Cards[4].CardIPAddress.isEmpty());
    for (auto *box : window.findChildren<QMessageBox *>())
        box->close();
    server.logIn(1); // the built-in Administrator
    nic = qobject_cast<frmSetNic *>(window.openNetworkCardSettings());
    nic->txtIP[1]->setText(QStringLiteral("  127.0.0.1  "));
    nic->txtIP[2]->clear();
    nic->txtIP[4]->setText(QStringLiteral("10.9.8.7"));
    nic->chkWebEnabled->setChecked(true);
    nic->txtWebIP->setText(QStringLiteral("localhost"));
    nic->cmdOK->click();
    // Not an address: said so, and nothing saved.
    QTRY_VERIFY(window.findChild<QMessageBox *>());
    window.findChild<QMessageBox *>()->close();
    QVERIFY(!server.currentSettings().Web.WebEnabled);
    QVERIFY(server.currentSettings().Cards[4].CardIPAddress.isEmpty());
    nic->txtWebIP->setText(QStringLiteral(" 0.0.0.0 "));
    nic->txtWebPort->setValue(8443);
    nic->cmdOK->click();
    QTRY_VERIFY(!window.findChild<frmSetNic *>());
    QCOMPARE(server.currentSettings().Cards[1].CardIPAddress, QStringLiteral("127.0.0.1"));
    QCOMPARE(server.currentSettings().Cards[4].CardIPAddress, QStringLiteral("10.9.8.7"));
    QVERIFY(server.currentSettings().Web.WebEnabled);
    QCOMPARE(server.currentSettings().Web.WebIPAddress, QStringLiteral("0.0.0.0"));
    QCOMPARE(server.currentSettings().Web.WebTCPPort, 8443);
    const QByteArray ini = testsupport::readFile(app.filePath(QStringLiteral("WREN.INI")));
    QVERIFY(ini.contains("Network_Card_2_IP_Address=\r\n"));
    QVERIFY(ini.contains("Network_Card_2_TCP_Port=7001\r\n"));
    QVERIFY(ini.contains("[Web_Settings]\r\nWeb_Enabled=1\r\nWeb_IP_Address=0.0.0.0\r\nWeb_TCP_Port=8443\r\n"));
    // The running server keeps listening where it started.
    QVERIFY(server.isListening(1));
    QVERIFY(!server.isListening(4));

    // Cancel, and any other window becoming active, drop the edits.
    auto *again = qobject_cast<frmSetNic *>(window.openNetworkCardSettings());
    again->txtIP[1]->setText(QStringLiteral("1.1.1.1"));
    again->cmdCancel->click();
    QTRY_VERIFY(!window.findChild<frmSetNic *>());
    auto *third = qobject_cast<frmSetNic *>(window.openNetworkCardSettings());
    third->txtIP[1]->setText(QStringLiteral("2.2.2.2"));
    QMdiSubWindow *other = window.mdiArea()->addSubWindow(new QLabel(QStringLiteral("other")));
    other->show();
    window.mdiArea()->setActiveSubWindow(other);
    QTRY_VERIFY(!window.findChild<frmSetNic *>());
    QCOMPARE(server.currentSettings().Cards[1].CardIPAddress, QStringLiteral("127.0.0.1"));
}

// A folder in place of WREN.INI: the server starts on the defaults, card 1's
// address is not this machine's, and the window opens by itself.
void TestUi::networkCardSettingsThatCannotBeSaved()
{
    QTemporaryDir app;
    QVERIFY(QDir().mkpath(app.filePath(QStringLiteral("WREN.INI"))));
    testsupport::TestServer server(app.path());
    MDIMain window(server);
    window.show();
    server.Start();

    auto *nic = window.findChild<frmSetNic *>();
    QVERIFY(nic);
    server.logIn(1); // the built-in Administrator
    nic->txtIP[1]->setText(QStringLiteral("127.0.0.1"));
    nic->cmdOK->click();

    // The startup error has a box of its own a second after the start.
    const auto saveFailureBox = [&window]() -> QMessageBox * {
        for (auto *box : window.findChildren<QMessageBox *>()) {
            if (box->isVisible() && box->text().contains(QStringLiteral("could not be written")))
                return box;
        }
        return nullptr;
    };
    QTRY_VERIFY(saveFailureBox());
    QMessageBox *box = saveFailureBox();
    QCOMPARE(box->windowTitle(), QStringLiteral("Error"));
    box->button(QMessageBox::Ok)->click();
    // The edits stay in the window, and the model holds only what is on disk.
    QCOMPARE(window.findChild<frmSetNic *>(), nic);
    QCOMPARE(nic->txtIP[1]->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(server.currentSettings().Cards[1].CardIPAddress, QStringLiteral("172.23.42.6"));
    QVERIFY(QFileInfo(app.filePath(QStringLiteral("WREN.INI"))).isDir());
}

QTEST_MAIN(TestUi)
#include "tst_ui.moc"
