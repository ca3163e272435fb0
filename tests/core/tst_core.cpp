#include "clients/client_server.h"
#include "config/ini_file.h"
#include "config/users.h"
#include "core/face.h"
#include "core/server.h"
#include "core/settings_check.h"
#include "core/single_instance.h"
#include "core/process_signals.h"
#include "test_server.h"
#include "pty_router.h"
#include "test_support.h"

#include <QDate>
#include <QDir>
#include <QImage>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QUdpSocket>
#include <QScopeGuard>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

#include <sys/resource.h>

using namespace marlin;
using namespace testsupport;

namespace {

// The whole lines (date and time included) of the same two files.
QList<QByteArray> serverLogLines(const QString &appDir)
{
    QList<QByteArray> lines;
    const QDate today = QDate::currentDate();
    for (const QDate &day : {today.addDays(-1), today}) {
        const QString path = appDir + QStringLiteral("/Logs/Error Log For %1.TXT").arg(day.toString(QStringLiteral("yyyyMMdd")));
        for (const QByteArray &line : readFile(path).split('\n')) {
            if (!line.isEmpty())
                lines.append(line.chopped(1));
        }
    }
    return lines;
}

// A copy of the real program in its own application folder, its panels
// served on the loopback address.
class Installation {
public:
    explicit Installation(const QByteArray &settings = loopbackCardSettings())
    {
        exe = dir.filePath(QStringLiteral("marlin-server"));
        QVERIFY(writeFile(dir.filePath(QStringLiteral("WREN.INI")), settings));
        QFile::copy(QStringLiteral(MARLIN_SERVER_EXE), exe);
        QFile::setPermissions(exe, QFile::ExeOwner | QFile::ReadOwner | QFile::WriteOwner);
    }
    // Runs headless unless extra says otherwise; an empty value in extra
    // removes that variable. openFileLimit: the most descriptors the program
    // may hold (0: as inherited).
    QProcess *start(const QStringList &arguments = {}, const QProcessEnvironment &extra = {}, rlim_t openFileLimit = 0)
    {
        auto *p = new QProcess;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.remove(QStringLiteral("MARLIN_APP_DIR"));
        for (const QString &key : extra.keys()) {
            if (extra.value(key).isEmpty())
                env.remove(key);
            else
                env.insert(key, extra.value(key));
        }
        p->setProcessEnvironment(env);
        if (openFileLimit > 0) {
            p->setChildProcessModifier([openFileLimit] {
                const rlimit limit{openFileLimit, openFileLimit};
                ::setrlimit(RLIMIT_NOFILE, &limit);
            });
        }
        p->start(exe, arguments);
        return p;
    }
    QString path() const { return QDir(dir.path()).canonicalPath(); }
    QString program() const { return exe; }

private:
    QTemporaryDir dir;
    QString exe;
};

// Collects what a process writes to stderr while tests wait on it.
struct Terminal {
    explicit Terminal(QProcess &process) : process(process) {}
    const QByteArray &text()
    {
        seen += process.readAllStandardError();
        return seen;
    }
    bool hasLine(const QByteArray &line) { return text().split('\n').contains(line); }
    QProcess &process;
    QByteArray seen;
};

} // namespace

// A face of the simplest kind: one TCP listener on the loopback address at
// a port it is given, as a face of a new protocol would have.
class LoopbackFace : public Face {
public:
    LoopbackFace(Server &server, quint16 port) : Face(server), port(port) {}
    bool isListening() const { return socket.isListening(); }
    int opens = 0;

protected:
    bool listen(bool report) override
    {
        if (socket.isListening())
            return true;
        ++opens;
        if (socket.listen(QHostAddress::LocalHost, port))
            return true;
        if (report)
            server.WriteErrorLog(QStringLiteral("test face could not listen"));
        return false;
    }
    void closeAll() override { socket.close(); }
    bool wanted() const override { return true; }

private:
    quint16 port;
    QTcpServer socket;
};

class TestCore : public QObject {
    Q_OBJECT

private slots:
    void startupFillsEveryTable();
    void startupErrorIsLoggedAndRaisedOnce();
    void everyStartupFailureIsLogged();
    void damagedUserFileLetsNobodyLogIn();
    void oneServerPerFolder_data();
    void oneServerPerFolder();
    void terminalTellsWhatHappens();
    void programStartsAndClosesOnTermination_data();
    void programStartsAndClosesOnTermination();
    void commandLineRefusalsStartNothing_data();
    void commandLineRefusalsStartNothing();
    void chosenFolderIsMadeAndUsed_data();
    void chosenFolderIsMadeAndUsed();
    void standbyServesOnlyOncePromoted();
    void promotionDuringStartupIsActedOnAfterIt();
    void promotionWaitsForTheAddress();
    void facesFollowTheServersRole_data();
    void facesFollowTheServersRole();
    void settingsValidator_data();
    void settingsValidator();
    void checkConfigTellsProblemsAndWritesNothing_data();
    void checkConfigTellsProblemsAndWritesNothing();
    void unreachableDisplayFallsBackToOffscreen();
    void secondCopyIsRefused();
    void processSignalsArriveOnTheEventLoop();
    void signalPairFailureIsReported();
    void badFilesNeverStopTheProgram();
    void panelsWaitWhileDescriptorsRunOut();
    void iconsAreLoadedByFileName();
};

void TestCore::startupFillsEveryTable()
{
    QTemporaryDir app;
    TestServer server(app.path());
    QSignalSpy raised(&server, &Server::startupErrorRaised);
    QSignalSpy login(&server, &Server::startedWithNobodyLoggedIn);
    QSignalSpy cardFailed(&server, &Server::networkCardFailedAtStart);
    const QDate before = QDate::currentDate();
    server.Start();

    // Card 1's default address is not one of this machine's: the bind
    // failure is the startup error, raised once, and the card's failure is told.
    const QByteArray bindFailure = cardBindFailureText(1).toLatin1();
    QCOMPARE(logEntries(app.path(), "Error"),
             (QList<QByteArray>{"Server Started", bindFailure,
                                "Network card #1 could not listen on 172.23.42.6 port 790: address not available."}));
    QCOMPARE(server.startupError(), QString::fromLatin1(bindFailure));
    QCOMPARE(cardFailed.size(), 1);
    QCOMPARE(raised.size(), 1);
    QCOMPARE(raised.first().first().toString(), QString::fromLatin1(bindFailure));
    QCOMPARE(server.currentSettings().Cards[1].CardIPAddress, QStringLiteral("172.23.42.6"));
    QCOMPARE(server.routerTable(96).Name, QStringLiteral("Router_96"));
    QCOMPARE(server.users()[1].UserName, QStringLiteral("admin"));
    QCOMPARE(login.size(), 1);
    for (int r = 1; r <= kRouterCount; ++r)
        QVERIFY(server.routerState(r).CommOK);
    QVERIFY(server.startDate() >= before && server.startDate() <= QDate::currentDate());

    // Nothing is written back at start: the tables stay defaults in memory.
    QVERIFY(!QFile::exists(app.filePath(QStringLiteral("RTR1.BIN"))));
    QVERIFY(!QFile::exists(app.filePath(QStringLiteral("WREN.INI"))));

    server.Shutdown();
    QCOMPARE(logEntries(app.path(), "Error").last(), QByteArray("Server Closed Down"));
}

// A user file that exists but holds nobody who can log in: the built-in
// account does not stand in for it, and the startup says so.
void TestCore::damagedUserFileLetsNobodyLogIn()
{
    QTemporaryDir app;
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")), loopbackCardSettings()));
    QVERIFY(writeFile(app.filePath(QStringLiteral("USER.INI")), "[USERS]\r\nUnicode=1\r\n"));
    TestServer server(app.path());
    server.Start();
    for (int i = 1; i <= kUserCount; ++i)
        QVERIFY(!canLogIn(server.users()[i]));
    const QString line = QStringLiteral("The user file %1/USER.INI holds no user who can log in. Nobody can log in; "
                                        "mend the file or delete it to get the built-in account back.")
                             .arg(app.path());
    QCOMPARE(server.startupError(), line);
    QVERIFY(logEntries(app.path(), "Error").contains(line.toLocal8Bit()));

    // Without the file, the built-in account is back at the next start.
    QVERIFY(QFile::remove(app.filePath(QStringLiteral("USER.INI"))));
    TestServer fresh(app.path());
    fresh.Start();
    QCOMPARE(fresh.users()[1].UserName, QStringLiteral("admin"));
    QVERIFY(canLogIn(fresh.users()[1]));
}

void TestCore::oneServerPerFolder_data()
{
    QTest::addColumn<bool>("diskFull");
    QTest::newRow("folder with room") << false;
    // A write of a single byte fails, as on a full disk (root included).
    QTest::newRow("nothing can be written") << true;
}

// The lock needs no disk space: the first server in a folder gets it, a
// second is refused while the first lives, and it is free again after.
void TestCore::oneServerPerFolder()
{
    QFETCH(bool, diskFull);
    QTemporaryDir app;
    QTemporaryDir other;
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    void (*previous)(int) = std::signal(SIGXFSZ, SIG_IGN);
    const auto restore = qScopeGuard([&] {
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
    });
    if (diskFull) {
        const rlimit none{0, saved.rlim_max};
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &none), 0);
        QFile probe(app.filePath(QStringLiteral("probe")));
        QVERIFY(probe.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        QCOMPARE(probe.write("x", 1), qint64(-1));
        probe.remove();
    }
    {
        SingleInstance first(app.path());
        QVERIFY(first.tryLock());
        SingleInstance second(app.path());
        QVERIFY(!second.tryLock());
        // Another installation beside it runs.
        SingleInstance elsewhere(other.path());
        QVERIFY(elsewhere.tryLock());
    }
    SingleInstance afterwards(app.path());
    QVERIFY(afterwards.tryLock());
    QCOMPARE(QDir(app.path()).entryList(QDir::Files), QStringList());
}

void TestCore::startupErrorIsLoggedAndRaisedOnce()
{
    QTemporaryDir app;
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")),
              "[Network_Settings]\r\nNetwork_Card_1_IP_Address=\r\nNetwork_Card_2_IP_Address=\r\n"
              "[Com_Port_2]\r\nBaud_Rate=99999\r\n[Com_Port_3]\r\nPort_Description=Studio C\r\n"));
    TestServer server(app.path());
    QSignalSpy raised(&server, &Server::startupErrorRaised);
    server.Start();

    // The ports after the overflowing key are read as written, so none of
    // them fails and hides the cause.
    const QString overflow = QStringLiteral("Overflow in [Com_Port_2] Baud_Rate");
    QCOMPARE(server.startupError(), overflow);
    QCOMPARE(server.currentSettings().ComPorts[2].ComBaudRate, qint16(6));
    QCOMPARE(server.currentSettings().ComPorts[3].ComDescription, QStringLiteral("Studio C"));
    QCOMPARE(logEntries(app.path(), "Error"), (QList<QByteArray>{"Server Started", overflow.toLatin1()}));
    // Raised once for the faces to show (the console's showing is tested
    // with the console), and logged once.
    QCOMPARE(raised.size(), 1);
    QCOMPARE(raised.first().first().toString(), overflow);
}

void TestCore::everyStartupFailureIsLogged()
{
    QTcpServer occupied;
    QVERIFY(occupied.listen(QHostAddress::LocalHost));
    QTemporaryDir app;
    // Two serial devices that are not there, a card whose port is taken and
    // a card without a usable address.
    QFile::link(app.filePath(QStringLiteral("gone-1")), app.filePath(QStringLiteral("COM1")));
    QFile::link(app.filePath(QStringLiteral("gone-2")), app.filePath(QStringLiteral("COM2")));
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")),
                      "[Network_Settings]\r\nNetwork_Card_1_IP_Address=127.0.0.1\r\nNetwork_Card_1_TCP_Port="
                          + QByteArray::number(occupied.serverPort())
                          + "\r\nNetwork_Card_2_IP_Address=no address\r\n"
                            "[Com_Port_1]\r\nPort_Enable=1\r\n[Com_Port_2]\r\nPort_Enable=1\r\n"));
    TestServer server(app.path());
    QSignalSpy raised(&server, &Server::startupErrorRaised);
    QSignalSpy cardFailed(&server, &Server::networkCardFailedAtStart);
    server.recordStartupFailure(QStringLiteral("met before the start"));
    server.Start();

    const QByteArray openFailure = " is a problem opening communication port # %1.  Please check the hardware is "
                                   "working and verify the communication settings.";
    const QList<QByteArray> failures{
        "met before the start",
        "There" + QByteArray(openFailure).replace("%1", "1"),
        "There" + QByteArray(openFailure).replace("%1", "2"),
        cardBindFailureText(1).toLatin1(),
        "Network card #1 could not listen on 127.0.0.1 port " + QByteArray::number(occupied.serverPort()) + ": address in use.",
        cardBindFailureText(2).toLatin1(),
        "Network card #2 could not listen on no address port 790: not an IP address.",
    };
    // Every failure once, in order, right after "Server Started"; the last
    // one is the one shown.
    QCOMPARE(logEntries(app.path(), "Error"), QList<QByteArray>{"Server Started"} + failures);
    QCOMPARE(server.startupError(), cardBindFailureText(2));
    QCOMPARE(cardFailed.size(), 1);
    QCOMPARE(raised.size(), 1);
    QCOMPARE(raised.first().first().toString(), cardBindFailureText(2));
    QCOMPARE(logEntries(app.path(), "Error").size(), failures.size() + 1);
}

void TestCore::terminalTellsWhatHappens()
{
    QTcpServer occupied;
    QVERIFY(occupied.listen(QHostAddress::LocalHost));
    QUdpSocket router;
    QVERIFY(router.bind(QHostAddress::LocalHost, 0));
    Installation install("[Network_Settings]\r\nNetwork_Card_1_IP_Address=127.0.0.1\r\nNetwork_Card_1_TCP_Port=0\r\n"
                         "Network_Card_2_IP_Address=127.0.0.1\r\nNetwork_Card_2_TCP_Port="
                         + QByteArray::number(occupied.serverPort())
                         + "\r\n[Com_Port_1]\r\nPort_Enable=1\r\n[Com_Port_3]\r\nPort_Enable=1\r\n"
                           "[Net_Port_2]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=127.0.0.1\r\nNetwork_Port_Type=1\r\n"
                           "Network_Port=" + QByteArray::number(router.localPort()) + "\r\n");
    const QString dir = install.path();
    PtyRouter silentRouter(dir, 1);
    QVERIFY(QFile::link(dir + QStringLiteral("/gone"), dir + QStringLiteral("/COM3")));

    std::unique_ptr<QProcess> server(install.start());
    Terminal terminal(*server);
    QTRY_VERIFY_WITH_TIMEOUT(recentLogEntries(dir, "Error").size() >= 4, 20000);
    const QByteArray prefix = "marlin-server: ";
    // The card lines come last of what the start tells; once the last one is
    // read, all the others are too.
    QTRY_VERIFY_WITH_TIMEOUT(terminal.hasLine(prefix + "network card 2: not listening on 127.0.0.1:"
                                              + QByteArray::number(occupied.serverPort()) + ": address in use"),
                             5000);
    QVERIFY(terminal.hasLine(prefix + "application folder " + dir.toLocal8Bit()));
    QVERIFY(terminal.hasLine(prefix + "logs in " + dir.toLocal8Bit() + "/Logs"));
    QVERIFY2(terminal.hasLine(prefix + "comm port 1: open on " + dir.toLocal8Bit() + "/COM1 -> " + silentRouter.device().toLocal8Bit()), terminal.text());
    QVERIFY2(terminal.hasLine(prefix + "comm port 3: cannot open " + dir.toLocal8Bit() + "/COM3 -> " + dir.toLocal8Bit()
                              + "/gone: No such file or directory"),
             terminal.text());
    QVERIFY(terminal.hasLine(prefix + "network port 2: UDP 127.0.0.1:" + QByteArray::number(router.localPort())));

    // The listener it names is the one that serves panels.
    const QByteArray listening = prefix + "network card 1: listening on 127.0.0.1:";
    const qsizetype at = terminal.text().indexOf(listening);
    QVERIFY2(at >= 0, terminal.text());
    const int port = terminal.text().mid(at + listening.size()).split('\n').first().toInt();
    QTcpSocket panel;
    panel.connectToHost(QHostAddress::LocalHost, quint16(port));
    QVERIFY(panel.waitForConnected(5000));

    server->terminate();
    QVERIFY(server->waitForFinished(20000));
    // Every line of the error log went to the terminal as well, in order.
    const QList<QByteArray> logged = serverLogLines(dir);
    QCOMPARE(logged.size(), 5); // started, two failures (port 3, card 2) with the card's detail, closed down
    QByteArray echoed;
    for (const QByteArray &line : terminal.text().split('\n')) {
        if (!line.startsWith(prefix) && logged.contains(line))
            echoed += line + '\n';
    }
    QCOMPARE(echoed, logged.join('\n') + '\n');
}

void TestCore::programStartsAndClosesOnTermination_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("platform");
    QTest::newRow("console") << QStringList() << QStringLiteral("offscreen");
    // A platform that does not exist would abort the moment a window were
    // made, so the service serves panels without one.
    QTest::newRow("--no-console") << QStringList{QStringLiteral("--no-console")} << QStringLiteral("no-such-platform");
}

void TestCore::programStartsAndClosesOnTermination()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, platform);
    Installation install;
    QProcessEnvironment env;
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    std::unique_ptr<QProcess> server(install.start(arguments, env));
    Terminal terminal(*server);
    QVERIFY(server->waitForStarted());
    QTRY_COMPARE_WITH_TIMEOUT(recentLogEntries(install.path(), "Error").value(0), QByteArray("Server Started"), 20000);
    const QByteArray listening = "marlin-server: network card 1: listening on 127.0.0.1:";
    QTRY_VERIFY_WITH_TIMEOUT(terminal.text().contains(listening), 5000);
    const int port = terminal.text().mid(terminal.text().indexOf(listening) + listening.size()).split('\n').first().toInt();
    Panel panel{quint16(port)};
    QCOMPARE(panel.ask(panelRequest(1, 0x84, 1), 7).mid(4), QByteArray("\x10\x01\x01"));

    server->terminate();
    QVERIFY(server->waitForFinished(20000));
    QCOMPARE(server->exitStatus(), QProcess::NormalExit);
    QCOMPARE(server->exitCode(), 0);
    QCOMPARE(recentLogEntries(install.path(), "Error"), (QList<QByteArray>{"Server Started", "Server Closed Down"}));
    QVERIFY(!QFile::exists(install.path() + QStringLiteral("/marlin-server.lock")));
}

void TestCore::commandLineRefusalsStartNothing_data()
{
    // %1 stands for the installation's folder, where a file "WREN.INI" is.
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("appDirVariable");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("terminal");
    const QString version = QStringLiteral("marlin-server %1.%2.%3\n")
                                .arg(MARLIN_VERSION_MAJOR)
                                .arg(MARLIN_VERSION_MINOR)
                                .arg(MARLIN_VERSION_PATCH);
    QTest::newRow("help") << QStringList{"--help"} << QString() << 0 << "--app-dir <DIR>" << QString();
    QTest::newRow("version") << QStringList{"--version"} << QString() << 0 << version << QString();
    QTest::newRow("help wins over a bad folder")
        << QStringList{"--app-dir", "%1/WREN.INI", "-h"} << QString() << 0 << "Usage: marlin-server" << QString();
    QTest::newRow("unknown option") << QStringList{"--bogus"} << QString() << 1 << QString()
                                    << "marlin-server: Unknown option 'bogus'.";
    QTest::newRow("folder is a file")
        << QStringList{"--app-dir", "%1/WREN.INI"} << QString() << 1 << QString()
        << "marlin-server: cannot use %1/WREN.INI as the application folder: it is a file, not a folder";
    QTest::newRow("folder cannot be made")
        << QStringList{"--app-dir", "%1/WREN.INI/data"} << QString() << 1 << QString()
        << "marlin-server: cannot use %1/WREN.INI/data as the application folder: the folder cannot be created";
    QTest::newRow("variable names a file")
        << QStringList() << "%1/WREN.INI" << 1 << QString()
        << "marlin-server: cannot use %1/WREN.INI as the application folder: it is a file, not a folder";
}

void TestCore::commandLineRefusalsStartNothing()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, appDirVariable);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QFETCH(QString, terminal);
    Installation install;
    for (QString &argument : arguments)
        argument = argument.arg(install.path());
    QProcessEnvironment env;
    if (!appDirVariable.isEmpty())
        env.insert(QStringLiteral("MARLIN_APP_DIR"), appDirVariable.arg(install.path()));
    // Without a display, so nothing waits for one either.
    env.insert(QStringLiteral("DISPLAY"), QString());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QString());

    std::unique_ptr<QProcess> program(install.start(arguments, env));
    QVERIFY(program->waitForFinished(20000));
    QCOMPARE(program->exitStatus(), QProcess::NormalExit);
    QCOMPARE(program->exitCode(), exitCode);
    const QString out = QString::fromLocal8Bit(program->readAllStandardOutput());
    const QString err = QString::fromLocal8Bit(program->readAllStandardError());
    QVERIFY2(out.contains(output), qPrintable(out));
    if (!terminal.isEmpty())
        QVERIFY2(err.split(QLatin1Char('\n')).contains(terminal.arg(install.path())), qPrintable(err));
    // Nothing started: no log, no lock, no folder made.
    QVERIFY(!QFile::exists(install.path() + QStringLiteral("/Logs")));
    QVERIFY(!QFile::exists(install.path() + QStringLiteral("/marlin-server.lock")));
    QVERIFY(!QFile::exists(install.path() + QStringLiteral("/WREN.INI/data")));
}

void TestCore::chosenFolderIsMadeAndUsed_data()
{
    QTest::addColumn<bool>("byOption");
    QTest::addColumn<bool>("byVariable");
    QTest::newRow("--app-dir") << true << false;
    QTest::newRow("MARLIN_APP_DIR") << false << true;
    QTest::newRow("--app-dir wins over MARLIN_APP_DIR") << true << true;
}

void TestCore::chosenFolderIsMadeAndUsed()
{
    QFETCH(bool, byOption);
    QFETCH(bool, byVariable);
    Installation install;
    const QString chosen = install.path() + QStringLiteral("/var/lib/marlin");
    const QString other = install.path() + QStringLiteral("/elsewhere");
    QStringList arguments;
    QProcessEnvironment env;
    if (byOption)
        arguments << QStringLiteral("--app-dir") << chosen;
    if (byVariable)
        env.insert(QStringLiteral("MARLIN_APP_DIR"), byOption ? other : chosen);

    std::unique_ptr<QProcess> server(install.start(arguments, env));
    Terminal terminal(*server);
    QTRY_COMPARE_WITH_TIMEOUT(recentLogEntries(chosen, "Error").value(0), QByteArray("Server Started"), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(terminal.hasLine("marlin-server: application folder " + chosen.toLocal8Bit()), 5000);
    server->terminate();
    QVERIFY(server->waitForFinished(20000));
    QCOMPARE(server->exitCode(), 0);
    QCOMPARE(recentLogEntries(chosen, "Error").last(), QByteArray("Server Closed Down"));
    // The program's own folder and the folder that lost are left alone.
    QVERIFY(!QFile::exists(install.path() + QStringLiteral("/Logs")));
    QVERIFY(!QFile::exists(other));
}

void TestCore::standbyServesOnlyOncePromoted()
{
    quint16 port = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        port = probe.serverPort();
    }
    Installation install("[Network_Settings]\r\nNetwork_Card_1_IP_Address=127.0.0.1\r\nNetwork_Card_1_TCP_Port="
                         + QByteArray::number(port) + "\r\n");
    std::unique_ptr<QProcess> server(install.start({QStringLiteral("--no-console"), QStringLiteral("--standby")}));
    Terminal terminal(*server);
    QTRY_COMPARE_WITH_TIMEOUT(recentLogEntries(install.path(), "Error").value(0), QByteArray("Server Started"), 20000);
    QTRY_VERIFY(terminal.text().contains("standby: router links and panel listeners stay closed"));
    {
        QTcpSocket early;
        early.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(!early.waitForConnected(2000));
    }

    QCOMPARE(::kill(pid_t(server->processId()), SIGUSR1), 0);
    QTRY_VERIFY_WITH_TIMEOUT(recentLogEntries(install.path(), "Error").contains("Promoted to active"), 10000);
    QTRY_VERIFY(terminal.text().contains("network card 1: listening on 127.0.0.1:" + QByteArray::number(port)));
    Panel panel{port};
    QCOMPARE(panel.ask(panelRequest(1, 0x84, 1), 7).mid(4), QByteArray("\x10\x01\x01"));

    QCOMPARE(::kill(pid_t(server->processId()), SIGUSR2), 0);
    QTRY_VERIFY_WITH_TIMEOUT(recentLogEntries(install.path(), "Error").contains("Demoted to standby"), 10000);
    QTRY_COMPARE(panel.socket.state(), QAbstractSocket::UnconnectedState);

    server->terminate();
    QVERIFY(server->waitForFinished(20000));
    QCOMPARE(server->exitCode(), 0);
    QCOMPARE(recentLogEntries(install.path(), "Error"),
             (QList<QByteArray>{"Server Started", "Promoted to active", "Demoted to standby", "Server Closed Down"}));
}

void TestCore::promotionDuringStartupIsActedOnAfterIt()
{
    // A failover manager's notify may reach a spare that has only just been
    // started. The folder's lock is taken before the server is built and
    // started, so the signal lands in the middle of the startup.
    Installation install;
    std::unique_ptr<QProcess> server(install.start({QStringLiteral("--no-console"), QStringLiteral("--standby")}));
    QVERIFY(server->waitForStarted(10000));
    const SingleInstance folder(install.path());
    QDeadlineTimer deadline(20000);
    while (folder.holder() != server->processId() && !deadline.hasExpired() && server->state() == QProcess::Running)
        QThread::yieldCurrentThread();
    QCOMPARE(::kill(pid_t(server->processId()), SIGUSR1), 0);

    QTRY_VERIFY_WITH_TIMEOUT(recentLogEntries(install.path(), "Error").contains("Promoted to active"), 20000);
    QCOMPARE(server->state(), QProcess::Running);
    server->terminate();
    QVERIFY(server->waitForFinished(20000));
    QCOMPARE(server->exitStatus(), QProcess::NormalExit);
    QCOMPARE(recentLogEntries(install.path(), "Error"),
             (QList<QByteArray>{"Server Started", "Promoted to active", "Server Closed Down"}));
}

void TestCore::promotionWaitsForTheAddress()
{
    // The floating address arrives a moment after the signal: here the
    // port is still taken when the spare is promoted, and freed after.
    auto taken = std::make_unique<QTcpServer>();
    QVERIFY(taken->listen(QHostAddress::LocalHost));
    const quint16 port = taken->serverPort();
    QTemporaryDir app;
    QVERIFY(writeFile(app.filePath(QStringLiteral("WREN.INI")),
                      "[Network_Settings]\r\nNetwork_Card_1_IP_Address=127.0.0.1\r\nNetwork_Card_1_TCP_Port="
                          + QByteArray::number(port) + "\r\n"));
    TestServer server(app.path());
    server.Start(Server::Role::Standby);
    QVERIFY(logEntries(app.path(), "Error").contains("Server Started"));
    server.Promote();
    QVERIFY(!server.isListening(1));
    taken.reset();
    QTRY_VERIFY_WITH_TIMEOUT(server.isListening(1), 5000);
    QCOMPARE(server.listeningPort(1), port);
    // Bound in time: no failure is reported.
    QCOMPARE(logEntries(app.path(), "Error"), (QList<QByteArray>{"Server Started", "Promoted to active"}));
}

// Each broken value of WREN.INI gives one message naming its section, its
// key and what is wrong; a name the server does not read is a warning. A
// disabled port's values are not looked at: it is not used.
void TestCore::settingsValidator_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("refusals");
    QTest::addColumn<QStringList>("warnings");

    const QByteArray udpRouter = "[Net_Port_3]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=127.0.0.1\r\nNetwork_Port=5003\r\n"
                                 "Network_Port_Type=1\r\nProtocol=3\r\n";
    QTest::newRow("fit") << udpRouter + "[Com_Port_1]\r\nPort_Enable=1\r\nBaud_Rate=13\r\nParity=3\r\n"
                         << QStringList() << QStringList();
    QTest::newRow("language 7")
        << QByteArray("[Com_Port_1]\r\nPort_Enable=1\r\nProtocol=7\r\n")
        << QStringList{"[Com_Port_1] Protocol: 7 is not a router language (1 Leitch, 2 Image Video 9540, 3 framed "
                       "dialect); nothing is sent on the port"}
        << QStringList();
    QTest::newRow("router 0") << QByteArray("[Com_Port_1]\r\nPort_Enable=1\r\nID_Number=0\r\n")
                              << QStringList{"[Com_Port_1] ID_Number: 0 is not a router number (1 to 96); the port "
                                             "serves no router"}
                              << QStringList();
    QTest::newRow("router 200") << udpRouter + "ID_Number=200\r\n"
                                << QStringList{"[Net_Port_3] ID_Number: 200 is not a router number (1 to 96); the port "
                                               "serves no router"}
                                << QStringList();
    QTest::newRow("two ports on one router")
        << udpRouter + "ID_Number=2\r\n[Com_Port_2]\r\nPort_Enable=1\r\n[Com_Port_5]\r\nPort_Enable=1\r\nID_Number=2\r\n"
        << QStringList{"[Com_Port_5] ID_Number: router 2 is served by [Com_Port_2] already, which its takes and polls "
                       "go to",
                       "[Net_Port_3] ID_Number: router 2 is served by [Com_Port_2] already, which its takes and polls "
                       "go to"}
        << QStringList();
    QTest::newRow("line codes")
        << QByteArray("[Com_Port_4]\r\nPort_Enable=1\r\nBaud_Rate=99\r\nData_Bits=0\r\nStop_Bits=4\r\nParity=9\r\n")
        << QStringList{"[Com_Port_4] Baud_Rate: 99 is not a baud rate code (1 to 13)",
                       "[Com_Port_4] Data_Bits: 0 is not a data bits code (1 to 4)",
                       "[Com_Port_4] Stop_Bits: 4 is not a stop bits code (1 to 3)",
                       "[Com_Port_4] Parity: 9 is not a parity code (1 to 3)"}
        << QStringList();
    QTest::newRow("udp router by host name")
        << QByteArray("[Net_Port_3]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=router.studio\r\nNetwork_Port=5003\r\n"
                      "Network_Port_Type=1\r\n")
        << QStringList{"[Net_Port_3] Network_IP_Address: \"router.studio\" is not an IP address (UDP sends to an "
                       "address only); the port is not used"}
        << QStringList();
    QTest::newRow("card port abc")
        << QByteArray("[Network_Settings]\r\nNetwork_Card_1_IP_Address=127.0.0.1\r\nNetwork_Card_1_TCP_Port=abc\r\n")
        << QStringList{"[Network_Settings] Network_Card_1_TCP_Port: \"abc\" is not a port number (0 to 65535); the "
                       "card does not listen"}
        << QStringList();
    QTest::newRow("misspelt names")
        << QByteArray("[Net_Prot_3]\r\nHardware_Enabled=1\r\n[General_Settings]\r\nColour_1=255\r\n; a comment=1\r\n"
                      "[com_port_1]\r\nport_enable=0\r\n")
        << QStringList()
        << QStringList{"[Net_Prot_3]: not a section the server reads; its keys are ignored (warning)",
                       "[General_Settings] Colour_1: not a key the server reads; it is ignored (warning)"};
    QTest::newRow("disabled port not looked at")
        << QByteArray("[Com_Port_1]\r\nPort_Enable=0\r\nBaud_Rate=99\r\nProtocol=7\r\nID_Number=0\r\n")
        << QStringList() << QStringList();
    QTest::newRow("colour out of range") << QByteArray("[General_Settings]\r\nColor_2=-5\r\nColor_3=1e300\r\n")
                                         << QStringList()
                                         << QStringList{"[General_Settings] Color_2: -5 is not a colour (0 to 16777215); "
                                                        "it shows black (warning)",
                                                        "[General_Settings] Color_3: 1e+300 is not a colour (0 to "
                                                        "16777215); it shows black (warning)"};
}

void TestCore::settingsValidator()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, refusals);
    QFETCH(QStringList, warnings);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("WREN.INI"));
    QVERIFY(writeFile(path, file));
    Settings settings;
    QCOMPARE(LoadSettings(path, settings, LoadMode::Startup), QStringList());
    QStringList gotRefusals;
    QStringList gotWarnings;
    for (const SettingsProblem &problem : CheckSettingsValues(settings) + CheckSettingsNames(IniDocument::load(path)))
        (problem.kind == SettingsProblem::Kind::Warning ? gotWarnings : gotRefusals).append(problem.message());
    QCOMPARE(gotRefusals, refusals);
    QCOMPARE(gotWarnings, warnings);

    // The server's own load finds the same, keeps it for the faces and says
    // it in the error log right after "Server Started" (a card's problem is
    // said where the card is tried to listen instead).
    TestServer server(dir.path());
    server.Start(Server::Role::Standby);
    QStringList held;
    for (const SettingsProblem &problem : server.settingsProblems())
        held.append(problem.message());
    QCOMPARE(held, refusals + warnings);
    QList<QByteArray> expected{"Server Started"};
    for (const QString &message : refusals + warnings) {
        if (!message.startsWith(QLatin1String("[Network_Settings] Network_Card_")))
            expected.append("WREN.INI: " + message.toUtf8());
    }
    QCOMPARE(logEntries(dir.path(), "Error"), expected);
}

void TestCore::checkConfigTellsProblemsAndWritesNothing_data()
{
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<bool>("unreadableUsers");
    QTest::addColumn<QByteArray>("userFile"); // USER.INI, when not empty
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QList<QByteArray>>("expected"); // lines the output must hold

    const QByteArray card = loopbackCardSettings();
    QTest::newRow("fit to start") << card + "[Net_Port_3]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=127.0.0.1\r\n"
                                            "Network_Port=5001\r\nID_Number=3\r\nProtocol=2\r\n"
                                  << false << QByteArray() << 0
                                  << QList<QByteArray>{"  network card 1: panels on 127.0.0.1:0",
                                                       "  network port 3: router 3 \"Router_3\", Image Video 9540, TCP 127.0.0.1:5001",
                                                       "  web panel and API off", "problems: 0"};
    QTest::newRow("every kind of problem")
        << QByteArray("[Network_Settings]\r\nNetwork_Card_1_IP_Address=no.such.address\r\nNetwork_Card_1_TCP_Port=790\r\n"
                      "[Com_Port_2]\r\nPort_Enable=1\r\nID_Number=2\r\nProtocol=1\r\n"
                      "[Net_Port_4]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=127.0.0.1\r\nNetwork_Port=70000\r\n"
                      "[Net_Port_5]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=127.0.0.1\r\nNetwork_Port=5005\r\n"
                      "Network_Port_Type=1\r\nNetwork_Local_Port=70000\r\n"
                      "[Net_Port_6]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=127.0.0.1\r\nNetwork_Port=5006\r\n"
                      "Network_Port_Type=1\r\nNetwork_Local_Port=17999\r\n"
                      "[Net_Port_7]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=127.0.0.1\r\nNetwork_Port=5007\r\n"
                      "Network_Port_Type=1\r\nNetwork_Local_Port=17999\r\n"
                      "[Web_Settings]\r\nWeb_Enabled=1\r\nWeb_IP_Address=localhost\r\nWeb_TCP_Port=8080\r\n")
        << true << QByteArray() << 1
        << QList<QByteArray>{"problems: 7", "  [Network_Settings] Network_Card_1_IP_Address: \"no.such.address\" is not an IP address; the card "
                             "does not listen",
                             "  web panel and API on localhost:8080", "  [Web_Settings] Web_IP_Address: not an IP address; the web face does not listen",
                             "  comm port 2: its device %1/gone is not there",
                             "  [Net_Port_4] Network_Port: 70000 is not a port number (1 to 65535); the port is not used",
                             "  [Net_Port_5] Network_Local_Port: 70000 is not a port number (0 to 65535); any free port is "
                             "used",
                             "  [Net_Port_7] Network_Local_Port: local UDP port 17999 is [Net_Port_6]'s already; only one "
                             "of them can receive"};

    // The only Administrator's record is longer than a read returns, cut
    // where what is left still decodes: a shorter password, never the real one.
    QString password;
    for (int plain = 0; plain < 40 && password.isEmpty(); ++plain) {
        for (int capitals = 0; capitals < 8 && password.isEmpty(); ++capitals) {
            const QString tried = QString(plain, QLatin1Char('z')) + QString(capitals, QLatin1Char('A'));
            if (EncodeUserRecord(QStringLiteral("chief"), tried, Administrator).size() == kIniReadLimit)
                password = tried + QStringLiteral("zzzz");
        }
    }
    const QByteArray cutRecord = "[USERS]\r\nUnicode=1\r\nUser_1="
                                 + EncodeUserRecord(QStringLiteral("chief"), password, Administrator).toLatin1() + "\r\n";
    QTest::newRow("addresses and a cut user record")
        << card + "[Net_Port_1]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=router-1.studio.example\r\nNetwork_Port=23\r\n"
                  "[Net_Port_2]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=router-2.studio.example\r\nNetwork_Port=23\r\n"
                  "Network_Port_Type=1\r\nID_Number=4\r\n"
                  "[Net_Port_5]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=router_5\r\nNetwork_Port=23\r\nID_Number=6\r\n"
        << false << cutRecord << 1
        << QList<QByteArray>{"problems: 3",
                             "  [Net_Port_2] Network_IP_Address: \"router-2.studio.example\" is not an IP address (UDP sends "
                             "to an address only); the port is not used",
                             "  [Net_Port_5] Network_IP_Address: \"router_5\" is not an IP address or host name; the port is "
                             "not used",
                             "  The record of user 1 in %1/USER.INI is longer than the 254 characters a read returns: it "
                             "is read cut, and that user cannot log in.",
                             "users %1/USER.INI: 1 of 12, no administrator can log in at the console"};
}

void TestCore::checkConfigTellsProblemsAndWritesNothing()
{
    QFETCH(QByteArray, userFile);
    QFETCH(QByteArray, settings);
    QFETCH(bool, unreadableUsers);
    QFETCH(int, exitCode);
    QFETCH(QList<QByteArray>, expected);
    Installation install(settings);
    const QString dir = install.path();
    // Comm port 2 names a link whose device has gone.
    QVERIFY(QFile::link(dir + QStringLiteral("/gone"), dir + QStringLiteral("/COM2")));
    if (unreadableUsers)
        QVERIFY(QDir(dir).mkdir(QStringLiteral("USER.INI")));
    if (!userFile.isEmpty())
        QVERIFY(writeFile(dir + QStringLiteral("/USER.INI"), userFile));
    const QStringList before = QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);

    std::unique_ptr<QProcess> check(install.start({QStringLiteral("--check-config"), QStringLiteral("--app-dir"), dir}));
    QVERIFY(check->waitForFinished(30000));
    QCOMPARE(check->exitStatus(), QProcess::NormalExit);
    const QByteArray out = check->readAllStandardOutput();
    QCOMPARE(check->exitCode(), exitCode);
    const QList<QByteArray> lines = out.split('\n');
    for (QByteArray line : expected) {
        line.replace("%1", dir.toLocal8Bit());
        QVERIFY2(lines.contains(line), (line + "\n--- not in ---\n" + out).constData());
    }
    if (unreadableUsers)
        QVERIFY2(out.contains("  The user file " + dir.toLocal8Bit() + "/USER.INI could not be read"), out.constData());
    // No log, no lock, nothing else.
    QCOMPARE(QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System), before);
}

void TestCore::unreachableDisplayFallsBackToOffscreen()
{
    Installation install;
    QProcessEnvironment env;
    env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":987"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QString());
    env.insert(QStringLiteral("WAYLAND_DISPLAY"), QString());
    env.insert(QStringLiteral("XDG_SESSION_TYPE"), QString());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), QString()); // as under a service manager
    std::unique_ptr<QProcess> server(install.start({}, env));
    Terminal terminal(*server);
    QTRY_COMPARE_WITH_TIMEOUT(recentLogEntries(install.path(), "Error").value(0), QByteArray("Server Started"), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(terminal.hasLine("marlin-server: application folder " + install.path().toLocal8Bit()), 5000);
    server->terminate();
    QVERIFY(server->waitForFinished(20000));
    QCOMPARE(server->exitStatus(), QProcess::NormalExit);
    QCOMPARE(server->exitCode(), 0);
    QCOMPARE(recentLogEntries(install.path(), "Error").last(), QByteArray("Server Closed Down"));

    // One line says so; neither the platform that failed nor the offscreen
    // platform adds its own complaints.
    const QByteArray text = terminal.text();
    QCOMPARE(text.count("display"), 1);
    QVERIFY2(terminal.hasLine("marlin-server: cannot connect to display :987, running headless (offscreen platform)"), text);
    QVERIFY2(!text.contains("qt.qpa") && !text.contains("does not support") && !text.contains("xcb")
                 && !text.contains("XDG_RUNTIME_DIR"),
             text);
}

void TestCore::secondCopyIsRefused()
{
    Installation install;
    std::unique_ptr<QProcess> first(install.start());
    QTRY_COMPARE_WITH_TIMEOUT(recentLogEntries(install.path(), "Error").size(), 1, 20000);

    std::unique_ptr<QProcess> second(install.start());
    QVERIFY(second->waitForFinished(20000));
    QCOMPARE(second->exitCode(), 1);
    const QByteArray said = second->readAllStandardError();
    QVERIFY2(said.contains("This program is already running.  Please check if it has been minimized."), said);
    // The terminal also names the folder and the server that holds it.
    const QByteArray holder = "marlin-server: another server (process " + QByteArray::number(first->processId())
                              + ") is running on " + install.path().toLocal8Bit();
    QVERIFY2(said.contains(holder), said);
    QCOMPARE(first->state(), QProcess::Running);
    QCOMPARE(recentLogEntries(install.path(), "Error").size(), 1);

    first->terminate();
    QVERIFY(first->waitForFinished(20000));
}

void TestCore::processSignalsArriveOnTheEventLoop()
{
    {
        ProcessSignals termination;
        QVERIFY(termination.isWatching());
        QCOMPARE(termination.problem(), QString());
        QSignalSpy requested(&termination, &ProcessSignals::terminationRequested);
        QCOMPARE(::raise(SIGTERM), 0);
        QVERIFY(requested.wait(5000));
        QCOMPARE(::raise(SIGINT), 0);
        QTRY_COMPARE(requested.size(), 2);

        // A failover manager's promote and demote, in the order they came.
        termination.watchRoleSignals();
        QList<QByteArray> roles;
        connect(&termination, &ProcessSignals::promotionRequested, this, [&] { roles.append("promote"); });
        connect(&termination, &ProcessSignals::demotionRequested, this, [&] { roles.append("demote"); });
        QCOMPARE(::raise(SIGUSR2), 0);
        QCOMPARE(::raise(SIGUSR1), 0);
        QCOMPARE(::raise(SIGUSR2), 0);
        QTRY_COMPARE(roles, (QList<QByteArray>{"demote", "promote", "demote"}));
        QCOMPARE(requested.size(), 2);
    }
    {
        // Held while a program starts: kept in the order they came, and
        // emitted once delivery starts.
        ProcessSignals termination(nullptr, nullptr, ProcessSignals::Delivery::Held);
        termination.watchRoleSignals();
        QList<QByteArray> seen;
        connect(&termination, &ProcessSignals::promotionRequested, this, [&] { seen.append("promote"); });
        connect(&termination, &ProcessSignals::demotionRequested, this, [&] { seen.append("demote"); });
        connect(&termination, &ProcessSignals::terminationRequested, this, [&] { seen.append("terminate"); });
        QCOMPARE(::raise(SIGUSR1), 0);
        QCOMPARE(::raise(SIGUSR2), 0);
        QCOMPARE(::raise(SIGTERM), 0);
        QCOMPARE(::raise(SIGUSR1), 0);
        QCoreApplication::processEvents();
        QCOMPARE(seen, QList<QByteArray>{});
        termination.startDelivery();
        QTRY_COMPARE(seen, (QList<QByteArray>{"promote", "demote", "promote", "terminate"}));
    }
    // Once nobody watches, the signals have their default effect again.
    struct sigaction current = {};
    QCOMPARE(::sigaction(SIGTERM, nullptr, &current), 0);
    QVERIFY(current.sa_handler == SIG_DFL);
    QCOMPARE(::sigaction(SIGUSR1, nullptr, &current), 0);
    QVERIFY(current.sa_handler == SIG_DFL);
}

void TestCore::signalPairFailureIsReported()
{
    ProcessSignals termination(nullptr, [](int *) {
        errno = EMFILE;
        return -1;
    });
    QVERIFY(!termination.isWatching());
    QCOMPARE(termination.problem(), QString::fromLocal8Bit(std::strerror(EMFILE)));
    // Nothing half-installed: a signal would end the program as before.
    struct sigaction current = {};
    QCOMPARE(::sigaction(SIGTERM, nullptr, &current), 0);
    QVERIFY(current.sa_handler == SIG_DFL);
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
    // The noise is reported as names the server does not read: warnings,
    // escaped, each on a line of its own.
    const auto withoutWarnings = [&install] {
        QList<QByteArray> lines;
        for (const QByteArray &line : recentLogEntries(install.path(), "Error")) {
            if (!line.startsWith("WREN.INI: "))
                lines.append(line);
        }
        return lines;
    };
    QTRY_COMPARE_WITH_TIMEOUT(withoutWarnings(),
                              (QList<QByteArray>{"Server Started", "Overflow in [General_Settings] Column_1_Position"}),
                              20000);
    int warnings = 0;
    for (const QByteArray &line : recentLogEntries(install.path(), "Error")) {
        if (!line.startsWith("WREN.INI: "))
            continue;
        ++warnings;
        QVERIFY2(line.endsWith(" (warning)"), line.constData());
        for (const char c : line)
            QVERIFY2(uchar(c) >= 0x20 && uchar(c) != 0x7F, line.constData());
    }
    QVERIFY(warnings > 0);
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
    std::unique_ptr<QProcess> server(install.start({}, {}, 48));
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

// Every face registered with the server follows its role: opened at the end
// of an active start and at a promotion, closed at a demotion, never open on
// a standby; a listener the old active still holds is tried again after a
// promotion until it binds, and its failure is not reported meanwhile.
void TestCore::facesFollowTheServersRole_data()
{
    QTest::addColumn<bool>("startStandby");
    QTest::newRow("started active") << false;
    QTest::newRow("started standby") << true;
}

void TestCore::facesFollowTheServersRole()
{
    QFETCH(bool, startStandby);
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("WREN.INI")), loopbackCardSettings()));
    auto holder = std::make_unique<QTcpServer>();
    QVERIFY(holder->listen(QHostAddress::LocalHost));
    const quint16 port = holder->serverPort();
    holder->close();

    TestServer server(dir.path());
    LoopbackFace face(server, port);
    server.Start(startStandby ? Server::Role::Standby : Server::Role::Active);
    QCOMPARE(face.isListening(), !startStandby);
    if (!startStandby) {
        server.Demote();
        QVERIFY(!face.isListening());
    }
    // The old active still holds the port when the promotion comes.
    QVERIFY(holder->listen(QHostAddress::LocalHost, port));
    const int opensBefore = face.opens;
    server.Promote();
    QVERIFY(!face.isListening());
    QTRY_VERIFY(face.opens >= opensBefore + 2);   // tried again, a second later
    holder.reset();
    QTRY_VERIFY_WITH_TIMEOUT(face.isListening(), 5000);
    QVERIFY(!logEntries(dir.path(), "Error").contains("test face could not listen"));
    server.Demote();
    QVERIFY(!face.isListening());
}

QTEST_GUILESS_MAIN(TestCore)
#include "tst_core.moc"
