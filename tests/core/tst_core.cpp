#include "clients/client_server.h"
#include "core/server.h"
#include "test_server.h"
#include "test_support.h"

#include <QDate>
#include <QDir>
#include <QImage>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace marlin;
using namespace testsupport;

namespace {

// A copy of the real program in its own application folder, its panels
// served on the loopback address.
class Installation {
public:
    Installation()
    {
        exe = dir.filePath(QStringLiteral("marlin-server"));
        QVERIFY(writeFile(dir.filePath(QStringLiteral("WREN.INI")), loopbackCardSettings()));
        QFile::copy(QStringLiteral(MARLIN_SERVER_EXE), exe);
        QFile::setPermissions(exe, QFile::ExeOwner | QFile::ReadOwner | QFile::WriteOwner);
    }
    QProcess *start()
    {
        auto *p = new QProcess;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        p->setProcessEnvironment(env);
        p->start(exe, {});
        return p;
    }
    QString path() const { return dir.path(); }

private:
    QTemporaryDir dir;
    QString exe;
};

} // namespace

class TestCore : public QObject {
    Q_OBJECT

private slots:
    void startupFillsEveryTable();
    void startupErrorIsLoggedAndShownOnce();
    void programStartsAndClosesOnTermination();
    void secondCopyIsRefused();
    void badFilesNeverStopTheProgram();
    void iconsAreLoadedByFileName();
};

void TestCore::startupFillsEveryTable()
{
    QTemporaryDir app;
    TestServer server(app.path());
    QSignalSpy shown(&server, &Server::startupErrorDue);
    QSignalSpy login(&server, &Server::loginRequested);
    QSignalSpy settingsWindow(&server, &Server::networkCardSettingsRequested);
    const QDate before = QDate::currentDate();
    server.Start();

    // Card 1's default address is not one of this machine's: the bind
    // failure is the startup error, and the card settings window is asked for.
    const QByteArray bindFailure = cardBindFailureText(1).toLatin1();
    QCOMPARE(logEntries(app.path(), "Error"), (QList<QByteArray>{"Server Started", bindFailure}));
    QCOMPARE(server.StartupError, QString::fromLatin1(bindFailure));
    QCOMPARE(settingsWindow.size(), 1);
    QVERIFY(shown.wait(3000));
    QCOMPARE(server.settings.Cards[1].CardIPAddress, QStringLiteral("172.23.42.6"));
    QCOMPARE(server.RouterTables[96].Name, QStringLiteral("Router_96"));
    QCOMPARE(server.Users[1].UserName, QStringLiteral("admin"));
    QCOMPARE(login.size(), 1);
    for (int r = 1; r <= kRouterCount; ++r)
        QVERIFY(server.RouterStates[r].CommOK);
    QVERIFY(server.startDate() >= before && server.startDate() <= QDate::currentDate());

    // Nothing is written back at start: the tables stay defaults in memory.
    QVERIFY(!QFile::exists(app.filePath(QStringLiteral("RTR1.BIN"))));
    QVERIFY(!QFile::exists(app.filePath(QStringLiteral("WREN.INI"))));

    server.Shutdown();
    QCOMPARE(logEntries(app.path(), "Error").last(), QByteArray("Server Closed Down"));
}

void TestCore::startupErrorIsLoggedAndShownOnce()
{
    QTemporaryDir app;
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")),
              "[Network_Settings]\r\nNetwork_Card_1_IP_Address=\r\nNetwork_Card_2_IP_Address=\r\n"
              "[Com_Port_2]\r\nBaud_Rate=99999\r\n[Com_Port_3]\r\nPort_Description=Studio C\r\n"));
    TestServer server(app.path());
    QSignalSpy shown(&server, &Server::startupErrorDue);
    server.Start();

    // The ports after the overflowing key are read as written, so none of
    // them fails and hides the cause.
    const QString overflow = QStringLiteral("Overflow in [Com_Port_2] Baud_Rate");
    QCOMPARE(server.StartupError, overflow);
    QCOMPARE(server.settings.ComPorts[2].ComBaudRate, qint16(6));
    QCOMPARE(server.settings.ComPorts[3].ComDescription, QStringLiteral("Studio C"));
    QCOMPARE(logEntries(app.path(), "Error"), (QList<QByteArray>{"Server Started", overflow.toLatin1()}));
    QVERIFY(shown.wait(3000));
    QCOMPARE(shown.first().first().toString(), overflow);
    // Shown once: three more of its intervals pass without another showing,
    // and the failure is not logged again.
    QVERIFY(!shown.wait(3000));
    QCOMPARE(shown.size(), 1);
    QCOMPARE(logEntries(app.path(), "Error"), (QList<QByteArray>{"Server Started", overflow.toLatin1()}));
}

void TestCore::programStartsAndClosesOnTermination()
{
    Installation install;
    std::unique_ptr<QProcess> server(install.start());
    QVERIFY(server->waitForStarted());
    QTRY_COMPARE_WITH_TIMEOUT(recentLogEntries(install.path(), "Error").value(0), QByteArray("Server Started"), 20000);

    server->terminate();
    QVERIFY(server->waitForFinished(20000));
    QCOMPARE(server->exitStatus(), QProcess::NormalExit);
    QCOMPARE(server->exitCode(), 0);
    QCOMPARE(recentLogEntries(install.path(), "Error"), (QList<QByteArray>{"Server Started", "Server Closed Down"}));
    QVERIFY(!QFile::exists(install.path() + QStringLiteral("/marlin-server.lock")));
}

void TestCore::secondCopyIsRefused()
{
    Installation install;
    std::unique_ptr<QProcess> first(install.start());
    QTRY_COMPARE_WITH_TIMEOUT(recentLogEntries(install.path(), "Error").size(), 1, 20000);

    std::unique_ptr<QProcess> second(install.start());
    QVERIFY(second->waitForFinished(20000));
    QCOMPARE(second->exitCode(), 1);
    QVERIFY(second->readAllStandardError().contains(
        "This program is already running.  Please check if it has been minimized."));
    QCOMPARE(first->state(), QProcess::Running);
    QCOMPARE(recentLogEntries(install.path(), "Error").size(), 1);

    first->terminate();
    QVERIFY(first->waitForFinished(20000));
}

void TestCore::badFilesNeverStopTheProgram()
{
    Installation install;
    QByteArray noise;
    for (int i = 0; i < 3000; ++i)
        noise.append(char((i * 131 + 7) % 256));
    QVERIFY(writeFile(install.path() + QStringLiteral("/WREN.INI"),
              loopbackCardSettings() + noise + "\n[General_Settings]\nColumn_1_Position=1e9\n"));
    QVERIFY(writeFile(install.path() + QStringLiteral("/USER.INI"), noise));
    QVERIFY(writeFile(install.path() + QStringLiteral("/RTR1.BIN"), noise));
    QVERIFY(writeFile(install.path() + QStringLiteral("/RTR2.BIN"), QByteArray()));

    std::unique_ptr<QProcess> server(install.start());
    QTRY_COMPARE_WITH_TIMEOUT(recentLogEntries(install.path(), "Error"), (QList<QByteArray>{"Server Started", "Overflow in [General_Settings] Column_1_Position"}), 20000);
    server->terminate();
    QVERIFY(server->waitForFinished(20000));
    QCOMPARE(server->exitCode(), 0);
    QCOMPARE(recentLogEntries(install.path(), "Error").last(), QByteArray("Server Closed Down"));
}

void TestCore::iconsAreLoadedByFileName()
{
    QTemporaryDir app;
    QVERIFY(QDir(app.path()).mkdir(QStringLiteral("ICONS")));
    QImage picture(16, 16, QImage::Format_ARGB32);
    picture.fill(Qt::red);
    QVERIFY(picture.save(app.filePath(QStringLiteral("ICONS/CAM1.ICO")), "ICO"));
    picture.fill(Qt::blue);
    QVERIFY(picture.save(app.filePath(QStringLiteral("ICONS/vtr.ico")), "ICO"));
    QVERIFY(writeFile(app.filePath(QStringLiteral("ICONS/BROKEN.ICO")), "not a picture"));
    QVERIFY(writeFile(app.filePath(QStringLiteral("ICONS/notes.txt")), "not an icon"));

    IconList icons;
    icons.add(QStringLiteral("stale"), QImage());
    LoadIcons(app.path(), icons);
    QCOMPARE(icons.size(), 2);
    QVERIFY(icons.contains(QStringLiteral("CAM1.ICO")));
    QVERIFY(icons.contains(QStringLiteral("vtr.ico")));
    QCOMPARE(icons.imageFor(QStringLiteral("vtr.ico")).pixelColor(0, 0), QColor(Qt::blue));
    // An unknown key shows the first picture.
    QCOMPARE(icons.imageFor(QStringLiteral("missing.ICO")), icons.all().first().image);

    // No folder: an empty list, nothing reported.
    QTemporaryDir bare;
    LoadIcons(bare.path(), icons);
    QCOMPARE(icons.size(), 0);
    QVERIFY(icons.imageFor(QStringLiteral("CAM1.ICO")).isNull());
}

QTEST_GUILESS_MAIN(TestCore)
#include "tst_core.moc"
