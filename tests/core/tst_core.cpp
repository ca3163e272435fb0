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
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>

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
    // openFileLimit: the most descriptors the program may hold (0: as inherited).
    QProcess *start(rlim_t openFileLimit = 0)
    {
        auto *p = new QProcess;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        p->setProcessEnvironment(env);
        if (openFileLimit > 0) {
            p->setChildProcessModifier([openFileLimit] {
                const rlimit limit{openFileLimit, openFileLimit};
                ::setrlimit(RLIMIT_NOFILE, &limit);
            });
        }
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
    void panelsWaitWhileDescriptorsRunOut();
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
              "[Network_Settings]\r\nNetwork_Card_1_IP_Address=\r\n[General_Settings]\r\nColumn_2_Position=99999\r\n"));
    TestServer server(app.path());
    QSignalSpy shown(&server, &Server::startupErrorDue);
    server.Start();

    QCOMPARE(server.StartupError, QStringLiteral("Overflow"));
    QCOMPARE(logEntries(app.path(), "Error"), (QList<QByteArray>{"Server Started", "Overflow"}));
    QVERIFY(shown.wait(3000));
    QCOMPARE(shown.first().first().toString(), QStringLiteral("Overflow"));
    // Shown once: three more of its intervals pass without another showing,
    // and the failure is not logged again.
    QVERIFY(!shown.wait(3000));
    QCOMPARE(shown.size(), 1);
    QCOMPARE(logEntries(app.path(), "Error"), (QList<QByteArray>{"Server Started", "Overflow"}));
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
    QTRY_COMPARE_WITH_TIMEOUT(recentLogEntries(install.path(), "Error"), (QList<QByteArray>{"Server Started", "Overflow"}), 20000);
    server->terminate();
    QVERIFY(server->waitForFinished(20000));
    QCOMPARE(server->exitCode(), 0);
    QCOMPARE(recentLogEntries(install.path(), "Error").last(), QByteArray("Server Closed Down"));
}

void TestCore::panelsWaitWhileDescriptorsRunOut()
{
    quint16 port = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        port = probe.serverPort();
    }
    Installation install;
    QVERIFY(writeFile(install.path() + QStringLiteral("/WREN.INI"),
                      "[Network_Settings]\r\nNetwork_Card_1_IP_Address=127.0.0.1\r\nNetwork_Card_1_TCP_Port="
                          + QByteArray::number(port) + "\r\n"));
    std::unique_ptr<QProcess> server(install.start(48));
    QTRY_COMPARE_WITH_TIMEOUT(recentLogEntries(install.path(), "Error").value(0), QByteArray("Server Started"), 20000);

    // The sanitizer build checks the type of the first socket the program
    // deletes through a pipe of its own, which it cannot open once out of
    // descriptors: let it reuse a closed socket's slot while it still can.
    quint32 sequence = 1;
    for (int i = 0; i < 2; ++i) {
        Panel early(port);
        QCOMPARE(early.ask(panelRequest(sequence++, 0x84, 1), 7).size(), 7);
        early.socket.disconnectFromHost();
        QTRY_COMPARE(early.socket.state(), QAbstractSocket::UnconnectedState);
    }

    // Panels connect until the program has no descriptor left for the next
    // one: that one's connection waits, unaccepted, with its request.
    std::vector<std::unique_ptr<Panel>> served;
    std::unique_ptr<Panel> waiting;
    while (!waiting && served.size() < 100) {
        auto panel = std::make_unique<Panel>(port);
        QCOMPARE(panel->socket.state(), QAbstractSocket::ConnectedState);
        panel->socket.write(panelRequest(sequence++, 0x84, 1));
        if (panel->await(7, 2000).size() == 7)
            served.push_back(std::move(panel));
        else
            waiting = std::move(panel);
    }
    QVERIFY2(waiting, "the descriptors never ran out");
    QVERIFY(served.size() >= 5);

    // Out of descriptors, the connected panels are still served.
    QCOMPARE(served.front()->ask(panelRequest(sequence++, 0x85, 2), 7).mid(4), QByteArray("\x10\x01\x02"));

    // A panel leaves; its descriptor lets the waiting one in, long before
    // the minute's sweep, and its request is answered.
    served.back().reset();
    served.pop_back();
    QCOMPARE(waiting->await(7, 10000).mid(4), QByteArray("\x10\x01\x01"));
    QCOMPARE(server->state(), QProcess::Running);

    // With the panels gone it has room again, also to close down cleanly.
    served.clear();
    waiting.reset();
    Panel last(port);
    QCOMPARE(last.ask(panelRequest(sequence++, 0x84, 3), 7).mid(4), QByteArray("\x10\x01\x03"));
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
