#include "core/config_check.h"
#include "core/server.h"
#include "core/single_instance.h"
#include "core/process_signals.h"
#include "ui/main_window.h"
#include "web/web_server.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QTemporaryFile>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

namespace {

void say(const QString &line)
{
    std::fprintf(stderr, "marlin-server: %s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

// ---- Platform ---------------------------------------------------------------

enum class PlatformChoice { AsConfigured, Headless, FallbackAllowed };

// A rack machine has no display: run the same console on Qt's offscreen
// platform rather than refuse to start. A display that is named but cannot
// be reached (a stale DISPLAY after a remote session) would make Qt abort,
// so offscreen is listed as the platform to fall back to.
PlatformChoice choosePlatform()
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return PlatformChoice::AsConfigured;
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        say(QStringLiteral("no display found, running headless (offscreen platform)"));
        return PlatformChoice::Headless;
    }
    const bool wayland = qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland")
                         || qEnvironmentVariableIsEmpty("DISPLAY");
    qputenv("QT_QPA_PLATFORM", wayland ? "wayland;xcb;offscreen" : "xcb;offscreen");
    return PlatformChoice::FallbackAllowed;
}

QtMessageHandler qtHandler = nullptr;
bool tryingPlatforms = false;

// While the platforms are tried, the ones that cannot connect complain;
// the single line after the fallback says all the operator needs. The
// offscreen platform also warns about every window operation it has no
// use for, which tells a headless server nothing; so does the missing
// runtime folder below.
void filterPlatformMessages(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QLatin1String category(context.category ? context.category : "");
    if (tryingPlatforms && category.startsWith(QLatin1String("qt.qpa.")))
        return;
    if (message.startsWith(QLatin1String("This plugin does not support")))
        return;
    // A service manager or a plain terminal sets no XDG_RUNTIME_DIR; Qt then
    // makes a private folder of its own under /tmp, which is all a headless
    // console needs, so the warning tells the operator nothing.
    if (message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set")))
        return;
    qtHandler(type, context, message);
}

bool headless() { return QGuiApplication::platformName() == QLatin1String("offscreen"); }

// ---- Application folder ---------------------------------------------------

// A folder named on the command line or in MARLIN_APP_DIR is made when
// missing and must take files: a server that cannot write its settings,
// logs and lock would run blind. Empty when it can be used, else why not.
QString prepareChosenFolder(const QString &path)
{
    const QFileInfo info(path);
    if (info.exists() && !info.isDir())
        return QStringLiteral("it is a file, not a folder");
    if (!info.exists() && !QDir().mkpath(path))
        return QStringLiteral("the folder cannot be created");
    QTemporaryFile probe(QDir(path).filePath(QStringLiteral(".marlin-write-check-XXXXXX")));
    if (!probe.open())
        return QStringLiteral("nothing can be written in it (%1)").arg(probe.errorString());
    return {};
}

} // namespace

int main(int argc, char *argv[])
{
    // Outlives the signal watch below, whose notifier needs it.
    std::unique_ptr<QCoreApplication> application;
    // Caught before anything else: a failover manager may promote or demote
    // a spare that has only just been started, and a signal's default
    // action would end it. What arrives is held, in the order it came,
    // until the server has started and can act on it.
    marlin::ProcessSignals processSignals(nullptr, nullptr, marlin::ProcessSignals::Delivery::Held);
    processSignals.watchRoleSignals();

    QCoreApplication::setApplicationName(QStringLiteral("marlin-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral("%1.%2.%3")
                                                .arg(MARLIN_VERSION_MAJOR)
                                                .arg(MARLIN_VERSION_MINOR)
                                                .arg(MARLIN_VERSION_PATCH));

    // The command line is read before anything starts, so --help and
    // --version need neither a display nor an application folder.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Marlin Server: router control server.\n"
        "Settings, users, router tables and logs live in the application folder,\n"
        "by default %1.").arg(QStringLiteral(MARLIN_DEFAULT_APP_DIR).isEmpty() ? QStringLiteral("the folder of this program")
                                                                             : QStringLiteral(MARLIN_DEFAULT_APP_DIR)));
    // Not addHelpOption(): its --help-all lists the options of a QApplication
    // that does not exist yet.
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Displays help on commandline options."));
    parser.addOption(helpOption);
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption appDirOption(
        QStringLiteral("app-dir"),
        QStringLiteral("Use DIR as the application folder (made when missing). MARLIN_APP_DIR does the same; "
                       "this option wins."),
        QStringLiteral("DIR"));
    parser.addOption(appDirOption);
    const QCommandLineOption noConsoleOption(
        QStringLiteral("no-console"),
        QStringLiteral("Run without the console: no windows at all, nothing waits for a click. For a service."));
    parser.addOption(noConsoleOption);
    const QCommandLineOption standbyOption(
        QStringLiteral("standby"),
        QStringLiteral("Start as a hot spare: settings, users and tables loaded, but no router link and no panel "
                       "listener open until SIGUSR1 promotes it (SIGUSR2 demotes it again)."));
    parser.addOption(standbyOption);
    const QCommandLineOption checkConfigOption(
        QStringLiteral("check-config"),
        QStringLiteral("Read WREN.INI, USER.INI and the router tables of the application folder, print what they "
                       "hold and every problem, and exit: 0 when there is none, 1 otherwise. Opens no port, takes "
                       "no lock and writes nothing."));
    parser.addOption(checkConfigOption);
    if (!parser.parse(arguments)) {
        say(parser.errorText());
        say(QStringLiteral("see marlin-server --help"));
        return EXIT_FAILURE;
    }
    if (parser.isSet(helpOption)) {
        // Without an application object the parser cannot know the program's name.
        const QString help = parser.helpText().replace(QStringLiteral("<executable_name>"), QStringLiteral("marlin-server"));
        std::fputs(help.toLocal8Bit().constData(), stdout);
        return EXIT_SUCCESS;
    }
    if (parser.isSet(versionOption)) {
        std::printf("marlin-server %s\n", qPrintable(QCoreApplication::applicationVersion()));
        return EXIT_SUCCESS;
    }
    if (!parser.positionalArguments().isEmpty()) {
        say(QStringLiteral("unexpected argument %1; see marlin-server --help").arg(parser.positionalArguments().first()));
        return EXIT_FAILURE;
    }

    QString chosenDir = parser.value(appDirOption);
    if (chosenDir.isEmpty())
        chosenDir = qEnvironmentVariable("MARLIN_APP_DIR");
    // An installed program has a folder of its own for its files.
    if (chosenDir.isEmpty())
        chosenDir = QStringLiteral(MARLIN_DEFAULT_APP_DIR);
    if (!chosenDir.isEmpty())
        chosenDir = QDir::cleanPath(QDir::current().absoluteFilePath(chosenDir));
    if (parser.isSet(checkConfigOption)) {
        QCoreApplication app(argc, argv);
        // Nothing is made or written: a folder that is not there is a problem.
        const QString dir = chosenDir.isEmpty() ? QCoreApplication::applicationDirPath() : chosenDir;
        if (!QFileInfo(dir).isDir()) {
            std::printf("application folder %s\nproblems: 1\n  the application folder is not there\n", qPrintable(dir));
            return EXIT_FAILURE;
        }
        const marlin::ConfigurationCheck check = marlin::CheckConfiguration(QFileInfo(dir).canonicalFilePath());
        for (const QString &line : check.found)
            std::printf("%s\n", line.toLocal8Bit().constData());
        std::printf("problems: %d\n", int(check.problems.size()));
        for (const QString &problem : check.problems)
            std::printf("  %s\n", problem.toLocal8Bit().constData());
        if (!check.warnings.isEmpty())
            std::printf("warnings: %d\n", int(check.warnings.size()));
        for (const QString &warning : check.warnings)
            std::printf("  %s\n", warning.toLocal8Bit().constData());
        return check.problems.isEmpty() ? EXIT_SUCCESS : EXIT_FAILURE;
    }
    if (!chosenDir.isEmpty()) {
        const QString problem = prepareChosenFolder(chosenDir);
        if (!problem.isEmpty()) {
            say(QStringLiteral("cannot use %1 as the application folder: %2").arg(chosenDir, problem));
            return EXIT_FAILURE;
        }
    }

    // Without the console the program is a plain event loop: no display is
    // looked for and no platform plugin is loaded.
    const bool noConsole = parser.isSet(noConsoleOption);
    if (noConsole) {
        application = std::make_unique<QCoreApplication>(argc, argv);
    } else {
        const PlatformChoice display = choosePlatform();
        qtHandler = qInstallMessageHandler(filterPlatformMessages);
        tryingPlatforms = true;
        auto gui = std::make_unique<QApplication>(argc, argv);
        tryingPlatforms = false;
        if (display == PlatformChoice::FallbackAllowed && headless()) {
            const QString name = qEnvironmentVariableIsEmpty("DISPLAY") ? qEnvironmentVariable("WAYLAND_DISPLAY")
                                                                         : qEnvironmentVariable("DISPLAY");
            say(QStringLiteral("cannot connect to display %1, running headless (offscreen platform)").arg(name));
        }
        gui->setQuitOnLastWindowClosed(false);
        application = std::move(gui);
    }
    // The program's own folder is used as it is: nothing there stops the start.
    const QString appDir = chosenDir.isEmpty() ? QCoreApplication::applicationDirPath()
                                               : QFileInfo(chosenDir).canonicalFilePath();

    marlin::SingleInstance instance(appDir);
    if (!instance.tryLock()) {
        // Nobody could answer a message box on a headless server, and a
        // copy waiting for an answer must not linger.
        if (noConsole || headless()) {
            std::fprintf(stderr, "%s\n", qPrintable(marlin::SingleInstance::alreadyRunningText()));
            // A service has no window to minimise: say which server holds the folder.
            const qint64 pid = instance.holder();
            say(pid > 0 ? QStringLiteral("another server (process %1) is running on %2").arg(pid).arg(appDir)
                        : QStringLiteral("another server is running on %1").arg(appDir));
        } else {
            QMessageBox::information(nullptr, marlin::SingleInstance::alreadyRunningTitle(),
                                     marlin::SingleInstance::alreadyRunningText(), QMessageBox::Ok);
        }
        return EXIT_FAILURE;
    }

    // A full log under a file size limit costs log lines, never the server.
    marlin::IgnoreFileSizeLimitSignal();
    marlin::Server server(appDir);
    server.echoToTerminal(true);
    server.tellTerminal(QStringLiteral("application folder ") + appDir);
    server.tellTerminal(QStringLiteral("logs in ") + server.logFiles().logFolder());
    if (!processSignals.isWatching()) {
        // Otherwise a service manager's stop would end the server without a
        // trace, and nobody would know why the log never says it closed.
        server.recordStartupFailure(
            QStringLiteral("SIGTERM and SIGINT cannot be caught (no signal pipe: %1); they will end the server "
                           "without \"Server Closed Down\".")
                .arg(processSignals.problem()));
    }
    // A failover manager promotes and demotes with SIGUSR1 and SIGUSR2,
    // whichever role the server started in.
    QObject::connect(&processSignals, &marlin::ProcessSignals::promotionRequested, &server, &marlin::Server::Promote);
    QObject::connect(&processSignals, &marlin::ProcessSignals::demotionRequested, &server, &marlin::Server::Demote);
    const auto role = parser.isSet(standbyOption) ? marlin::Server::Role::Standby : marlin::Server::Role::Active;
    // The web face registers with the server, which opens it at the end of
    // its start (when active) and at a promotion, and closes it at a demotion.
    marlin::WebServer web(server);
    if (noConsole) {
        // What the console would show in a message box goes to the
        // terminal, a second later as the console shows it.
        QObject::connect(&server, &marlin::Server::startupErrorRaised, &server, [&server](const QString &text) {
            QTimer::singleShot(1000, &server, [text] { say(text); });
        });
        QObject::connect(&processSignals, &marlin::ProcessSignals::terminationRequested, &server, [&server] {
            server.Shutdown();
            QCoreApplication::quit();
        });
        server.Start(role);
        processSignals.startDelivery();
        return application->exec();
    }
    marlin::MDIMain window(server);
    QObject::connect(&processSignals, &marlin::ProcessSignals::terminationRequested, &window,
                     &marlin::MDIMain::closeWithoutQuestions);
    window.show();
    server.Start(role);
    processSignals.startDelivery();
    return application->exec();
}
