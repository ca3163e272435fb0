// marlin-routersim: plays routers for commissioning without hardware and for
// end-to-end tests. Events go to stdout one line each; control lines come
// from stdin.

#include "control_commands.h"
#include "router_config.h"
#include "simulated_router.h"

#include "core/process_signals.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

void printLine(const QString &line)
{
    std::fputs(line.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void printError(const QString &line)
{
    std::fputs(("marlin-routersim: " + line).toLocal8Bit().constData(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

// Reads control lines from stdin. At end of input the routers keep running:
// a simulator started in the background with no console lives until signalled.
class ConsoleReader : public QObject
{
public:
    ConsoleReader(QList<SimulatedRouter *> routers, QCoreApplication &app)
        : routers(std::move(routers)), app(app)
    {
        notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, &ConsoleReader::read);
    }

private:
    void read()
    {
        char chunk[4096];
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                return;
            notifier->setEnabled(false);
            return;
        }
        pending.append(chunk, static_cast<qsizetype>(n));
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QString line = QString::fromLocal8Bit(pending.left(end)).trimmed();
            pending.remove(0, end + 1);
            const ControlOutcome outcome = runControlCommand(line, routers);
            if (!outcome.message.isEmpty())
                printLine(outcome.message);
            if (outcome.quit) {
                app.quit();
                return;
            }
        }
        if (pending.size() > 4096)
            pending.clear();
    }

    QList<SimulatedRouter *> routers;
    QCoreApplication &app;
    QSocketNotifier *notifier;
    QByteArray pending;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("marlin-routersim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Plays video routers for Marlin Server.\n"
        "Router: <language>:<transport>, language leitch, iv or framed, transport\n"
        "pty:<link path>, tcp:<port> or udp:<port> (port 0 picks a free one).\n"
        "Console (stdin): ") + controlHelp().replace(QLatin1Char('\n'), QStringLiteral(", ")));
    parser.addHelpOption();
    const QCommandLineOption routerOption(QStringLiteral("router"),
        QStringLiteral("A router to play; repeat for more. Numbered from 1 in this order."),
        QStringLiteral("language:transport:where"));
    const QCommandLineOption sizeOption(QStringLiteral("size"),
        QStringLiteral("Destinations in a full status report, 1..256 (default 32)."),
        QStringLiteral("N"), QStringLiteral("32"));
    const QCommandLineOption promptOption(QStringLiteral("prompt"),
        QStringLiteral("Leitch: lead every reply with LF and '>' as the routers' prompts do."));
    const QCommandLineOption addressOption(QStringLiteral("address"),
        QStringLiteral("Address for tcp and udp routers (default 127.0.0.1)."),
        QStringLiteral("ip"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption initialOption(QStringLiteral("initial"),
        QStringLiteral("Starting crosspoints: \"identity\" or dest=src,dest=src,... (default source 1 everywhere)."),
        QStringLiteral("crosspoints"));
    const QCommandLineOption reportOption(QStringLiteral("framed-report-every"),
        QStringLiteral("Framed routers send a full status report to everyone they have heard from every S seconds, "
                       "unasked, as such routers do (default 10; 0 never)."),
        QStringLiteral("S"), QStringLiteral("10"));
    parser.addOptions({routerOption, sizeOption, promptOption, addressOption, initialOption, reportOption});
    parser.process(app);

    RouterConfig base;
    bool sizeOk = false;
    base.size = parser.value(sizeOption).toInt(&sizeOk);
    if (!sizeOk || base.size < 1 || base.size > 256) {
        printError(QStringLiteral("--size takes 1..256"));
        return 2;
    }
    base.prompt = parser.isSet(promptOption);
    bool reportOk = false;
    const int reportSeconds = parser.value(reportOption).toInt(&reportOk);
    if (!reportOk || reportSeconds < 0 || reportSeconds > 3600) {
        printError(QStringLiteral("--framed-report-every takes 0..3600"));
        return 2;
    }
    base.reportIntervalMs = reportSeconds * 1000;
    if (!base.address.setAddress(parser.value(addressOption))) {
        printError(QStringLiteral("--address: not an IP address"));
        return 2;
    }
    if (parser.isSet(initialOption)) {
        QString error;
        const auto initial = parseInitialSources(parser.value(initialOption), &error);
        if (!initial) {
            printError(QStringLiteral("--initial: ") + error);
            return 2;
        }
        base.initialSources = *initial;
    }
    const QStringList arguments = parser.values(routerOption);
    if (arguments.isEmpty()) {
        printError(QStringLiteral("give at least one --router (see --help)"));
        return 2;
    }

    std::vector<std::unique_ptr<SimulatedRouter>> routers;
    QList<SimulatedRouter *> handles;
    for (const QString &argument : arguments) {
        QString error;
        base.index = static_cast<int>(routers.size()) + 1;
        const auto config = parseRouterArgument(argument, base, &error);
        if (!config) {
            printError(QStringLiteral("--router %1: %2").arg(argument, error));
            return 2;
        }
        routers.push_back(std::make_unique<SimulatedRouter>(*config));
        handles.append(routers.back().get());
        QObject::connect(routers.back().get(), &SimulatedRouter::event, printLine);
    }

    // SIGINT and SIGTERM end the event loop, so the routers are stopped on
    // the normal path and their pty links removed.
    marlin::ProcessSignals termination;
    if (!termination.isWatching()) {
        printError(QStringLiteral("cannot watch signals: ") + termination.problem());
        return 1;
    }
    QObject::connect(&termination, &marlin::ProcessSignals::terminationRequested, &app, &QCoreApplication::quit);
    for (const auto &router : routers) {
        QString error;
        if (!router->start(&error)) {
            printError(QStringLiteral("router %1: %2").arg(router->config().index).arg(error));
            return 1;   // the routers' destructors remove the links already made
        }
    }

    ConsoleReader console(handles, app);
    const int code = app.exec();
    routers.clear();
    printLine(QStringLiteral("marlin-routersim stopped"));
    return code;
}
