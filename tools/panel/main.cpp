// marlin-panel: a client panel on the command line, for integrators checking
// a server on site and for tests that drive a server from outside.

#include "panel_client.h"
#include "panel_protocol.h"
#include "panel_report.h"

#include "core/termination_signals.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QEventLoop>
#include <QHash>
#include <QTime>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <optional>

using namespace marlin::panel;

namespace {

enum ExitCode {
    ExitDone = 0,
    ExitNoAnswer = 1,   // no reply, or no connection
    ExitUsage = 2,
    ExitRefused = 3,    // not handled, or a reply that is not valid
};

const char *const kDescription =
    "A client panel for Marlin Server: speaks the panel protocol on a server's\n"
    "panel port, one request at a time, and prints what comes back.\n"
    "\n"
    "Commands:\n"
    "  flags             Poll the change flags (0xA1) and print all eight by\n"
    "                    name: router pending, tables changed, settings changed,\n"
    "                    users changed, spare 5..8.\n"
    "  status            Fetch every pending router (0xA6, or 0xA8 with\n"
    "                    --two-byte) until the server acknowledges that nothing\n"
    "                    is left. Per router: status received, comm OK, link\n"
    "                    port, then destination=source for every destination\n"
    "                    with a known source; priority reports list the held\n"
    "                    destinations. A new connection starts with every working\n"
    "                    router pending, so one run shows the whole state.\n"
    "  refresh           Mark every working router pending again (0x91), then\n"
    "                    fetch as status does.\n"
    "  take              Switch --source to --destination on --router (0xA5).\n"
    "                    The take string is \"C \", the level flags 0..7 as 1/0,\n"
    "                    source and destination as four digits, the two labels\n"
    "                    padded to 8 characters, then the comment.\n"
    "  hold              Hold --destination of --router at high priority (0xAA);\n"
    "                    with --clear, release it. The request carries the\n"
    "                    destination in one byte, so only 0..255 can be held.\n"
    "  reload WHAT       Make the server re-read its router tables, settings or\n"
    "                    users: WHAT is tables (0xA2), settings (0xA3) or users\n"
    "                    (0xA4).\n"
    "  watch             Poll the flags every --interval ms; when a router is\n"
    "                    pending, fetch it and print only what changed (sources,\n"
    "                    holds, comm up/down), and print tables, settings and\n"
    "                    users changes when flagged. Runs until Ctrl-C.\n"
    "  raw HEX...        Send the given bytes after a fresh sequence and print\n"
    "                    the reply in hex, e.g. \"raw E1 A1 01\" polls the flags\n"
    "                    of router 1.\n"
    "\n"
    "Every request carries class 0xE1 and the --router byte (default 1). A reply\n"
    "that has not come within --timeout ms is asked for again once with the same\n"
    "sequence, which the server answers without running the request twice; after\n"
    "that the panel reports \"no reply\". The server answers no panel beyond its\n"
    "64th, and keeps a panel's place for up to a minute after it disconnects, so\n"
    "a burst of short runs can fill it.\n"
    "\n"
    "Examples:\n"
    "  marlin-panel --host 10.1.1.5 status\n"
    "  marlin-panel --router 2 take --source 3 --destination 5 --levels 01 --comment \"test\"\n"
    "  marlin-panel --router 2 hold --destination 5 --clear\n"
    "\n"
    "Exit codes: 0 done; 1 no reply or no connection; 2 usage error; 3 the server\n"
    "did not handle the request or sent a reply that is not valid.";

void printLine(const QString &line)
{
    std::fputs(line.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void printError(const QString &line)
{
    std::fputs(("marlin-panel: " + line).toLocal8Bit().constData(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

int usageError(const QString &message)
{
    printError(message);
    printError(QStringLiteral("see marlin-panel --help"));
    return ExitUsage;
}

QString timeStamp() { return QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz")); }

// The end of an exchange that did not bring the answer the command needs.
int reportFailure(const Exchange &exchange)
{
    switch (exchange.outcome) {
    case Exchange::Replied:
        if (exchange.reply.kind == ReplyKind::NotHandled) {
            printLine(QStringLiteral("not handled"));
            return ExitRefused;
        }
        printError(QStringLiteral("unexpected reply: ") + toHex(exchange.received));
        return ExitRefused;
    case Exchange::BadReply:
        printError(QStringLiteral("bad reply (%1): %2").arg(exchange.error, toHex(exchange.received)));
        return ExitRefused;
    case Exchange::NoReply:
        printError(exchange.error);
        return ExitNoAnswer;
    case Exchange::ConnectionLost:
        printError(QStringLiteral("connection lost: ") + exchange.error);
        return ExitNoAnswer;
    case Exchange::Cancelled:
        return ExitDone;
    case Exchange::NotSent:
        printError(exchange.error);
        return ExitNoAnswer;
    }
    return ExitNoAnswer;
}

int expectAcknowledge(const Exchange &exchange)
{
    if (exchange.ok() && exchange.reply.kind == ReplyKind::Acknowledge) {
        printLine(QStringLiteral("acknowledged (router %1)").arg(exchange.reply.router));
        return ExitDone;
    }
    return reportFailure(exchange);
}

int runFlags(PanelClient &client, quint8 router)
{
    const Exchange exchange = client.exchange(CommandPollFlags, router);
    if (!exchange.ok() || exchange.reply.kind != ReplyKind::Flags)
        return reportFailure(exchange);
    for (const QString &line : describeFlags(exchange.reply.flags))
        printLine(line);
    return ExitDone;
}

int runStatus(PanelClient &client, quint8 router, bool twoByte)
{
    const Drain drain = client.drainStatus(twoByte, router);
    int status = 0;
    int priority = 0;
    for (const Reply &reply : drain.replies) {
        (reply.kind == ReplyKind::Priority ? priority : status) += 1;
        for (const QString &line : describeStatus(reply))
            printLine(line);
    }
    if (drain.notHandled > 0) {
        printLine(QStringLiteral("not handled: %1 status request(s)%2").arg(drain.notHandled)
                      .arg(twoByte ? QString()
                                   : QStringLiteral(" (a router with a source above 255 cannot be sent in the one-byte form; use --two-byte)")));
    }
    if (!drain.complete) {
        if (drain.last.ok()) {
            printError(drain.last.error);
            return ExitRefused;
        }
        return reportFailure(drain.last);
    }
    printLine(QStringLiteral("end of status: %1 status and %2 priority report(s)").arg(status).arg(priority));
    return drain.notHandled > 0 ? ExitRefused : ExitDone;
}

class Watch : public QObject {
public:
    Watch(PanelClient &client, quint8 router, bool twoByte, int intervalMs)
        : client(client), router(router), twoByte(twoByte), intervalMs(intervalMs)
    {
    }

    // SIGINT and SIGTERM stop a watch, so the panel leaves its event loop
    // the ordinary way. The reason when they cannot be caught; empty when they can.
    QString watchSignals()
    {
        if (!termination.isWatching())
            return termination.problem();
        connect(&termination, &marlin::TerminationSignals::terminationRequested, this, [this] {
            stop = true;
            client.cancel();
            if (waiting)
                waiting->quit();
        });
        return {};
    }

    int run()
    {
        bool warnedOneByte = false;
        while (!stop) {
            const Exchange poll = client.exchange(CommandPollFlags, router);
            if (stop)
                break;
            if (!poll.ok() || poll.reply.kind != ReplyKind::Flags) {
                if (poll.outcome == Exchange::ConnectionLost || poll.outcome == Exchange::NotSent)
                    return reportFailure(poll);
                // A full server or a glitch: say so and keep polling, since
                // the server frees places by itself.
                printLine(stamped(poll.outcome == Exchange::NoReply ? QStringLiteral("no reply to the flag poll")
                                                                     : QStringLiteral("flag poll failed: ") + poll.error));
            } else {
                for (const QString &line : WatchState::describeChangedFlags(poll.reply.flags))
                    printLine(stamped(line));
                if (poll.reply.flags.at(FlagRouterPending) != 0) {
                    const int code = drain(warnedOneByte);
                    if (code != ExitDone)
                        return code;
                }
            }
            if (!stop)
                waitInterval();
        }
        return ExitDone;
    }

private:
    int drain(bool &warnedOneByte)
    {
        const Drain result = client.drainStatus(twoByte, router);
        for (const Reply &reply : result.replies) {
            for (const QString &line : state.apply(reply))
                printLine(stamped(line));
        }
        if (result.notHandled > 0 && !twoByte && !warnedOneByte) {
            printLine(stamped(QStringLiteral("a status request was not handled; a router with a source above 255 "
                                             "needs --two-byte")));
            warnedOneByte = true;
        }
        if (stop)
            return ExitDone;
        if (!result.complete && !result.last.ok()) {
            if (result.last.outcome == Exchange::ConnectionLost || result.last.outcome == Exchange::NotSent)
                return reportFailure(result.last);
            printLine(stamped(QStringLiteral("status fetch interrupted: ") + result.last.error));
        }
        if (!state.hasBaseline()) {
            state.baselineComplete();
            printLine(stamped(QStringLiteral("watching %1 router(s)").arg(state.routersSeen())));
        }
        return ExitDone;
    }

    void waitInterval()
    {
        QEventLoop loop;
        QTimer::singleShot(intervalMs, &loop, &QEventLoop::quit);
        waiting = &loop;
        loop.exec();
        waiting = nullptr;
    }

    static QString stamped(const QString &line) { return timeStamp() + QLatin1Char(' ') + line; }

    PanelClient &client;
    quint8 router;
    bool twoByte;
    int intervalMs;
    bool stop = false;
    QEventLoop *waiting = nullptr;
    marlin::TerminationSignals termination;
    WatchState state;
};

std::optional<int> parseNumber(const QCommandLineParser &parser, const QCommandLineOption &option, int low,
                               int high, QString *error)
{
    bool ok = false;
    const QString text = parser.value(option);
    const int value = text.toInt(&ok);
    if (!ok || value < low || value > high) {
        *error = QStringLiteral("--%1 takes %2..%3, not \"%4\"").arg(option.names().constFirst()).arg(low).arg(high).arg(text);
        return std::nullopt;
    }
    return value;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("marlin-panel"));
    QCoreApplication::setApplicationVersion(QStringLiteral(MARLIN_PANEL_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption hostOption(QStringLiteral("host"),
        QStringLiteral("Server address (default 127.0.0.1)."), QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(QStringLiteral("port"),
        QStringLiteral("Server's panel port (default 790)."), QStringLiteral("port"), QStringLiteral("790"));
    const QCommandLineOption routerOption(QStringLiteral("router"),
        QStringLiteral("Router byte of every request, 0..255 (default 1; routers are 1..96)."),
        QStringLiteral("R"), QStringLiteral("1"));
    const QCommandLineOption timeoutOption(QStringLiteral("timeout"),
        QStringLiteral("Wait for a reply this long before sending again once (default %1).")
            .arg(PanelClient::kDefaultReplyTimeoutMs),
        QStringLiteral("ms"), QString::number(PanelClient::kDefaultReplyTimeoutMs));
    const QCommandLineOption verboseOption(QStringLiteral("verbose"),
        QStringLiteral("Show every request and reply in hex on stderr."));
    const QCommandLineOption twoByteOption(QStringLiteral("two-byte"),
        QStringLiteral("status, refresh, watch: fetch with 0xA8, sources as two bytes (needed above 255)."));
    const QCommandLineOption sourceOption(QStringLiteral("source"),
        QStringLiteral("take: source number, 1..9999."), QStringLiteral("S"));
    const QCommandLineOption destinationOption(QStringLiteral("destination"),
        QStringLiteral("take: destination number, 1..9999; hold: 0..255."), QStringLiteral("D"));
    const QCommandLineOption levelsOption(QStringLiteral("levels"),
        QStringLiteral("take: the levels to switch as digits 0..7 (e.g. 01), or all (default)."),
        QStringLiteral("levels"), QStringLiteral("all"));
    const QCommandLineOption commentOption(QStringLiteral("comment"),
        QStringLiteral("take: comment for the server's switch log."), QStringLiteral("text"));
    const QCommandLineOption sourceLabelOption(QStringLiteral("source-label"),
        QStringLiteral("take: source label, up to 8 characters (default blank)."), QStringLiteral("label"));
    const QCommandLineOption destLabelOption(QStringLiteral("dest-label"),
        QStringLiteral("take: destination label, up to 8 characters (default blank)."), QStringLiteral("label"));
    const QCommandLineOption clearOption(QStringLiteral("clear"),
        QStringLiteral("hold: release the destination instead of holding it."));
    const QCommandLineOption intervalOption(QStringLiteral("interval"),
        QStringLiteral("watch: milliseconds between flag polls (default 500)."), QStringLiteral("ms"),
        QStringLiteral("500"));
    parser.addOptions({hostOption, portOption, routerOption, timeoutOption, verboseOption, twoByteOption,
                       sourceOption, destinationOption, levelsOption, commentOption, sourceLabelOption,
                       destLabelOption, clearOption, intervalOption});
    parser.addPositionalArgument(QStringLiteral("command"),
        QStringLiteral("flags, status, refresh, take, hold, reload, watch or raw."),
        QStringLiteral("<command> [args]"));

    if (!parser.parse(app.arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(helpOption)) {
        printLine(parser.helpText());
        return ExitDone;
    }
    if (parser.isSet(versionOption)) {
        printLine(QStringLiteral("marlin-panel ") + QCoreApplication::applicationVersion());
        return ExitDone;
    }

    QStringList args = parser.positionalArguments();
    if (args.isEmpty())
        return usageError(QStringLiteral("no command given"));
    const QString command = args.takeFirst();

    // Options that mean something only to some commands are refused
    // elsewhere, so a mistyped command line does not half-run.
    const QHash<QString, QList<QCommandLineOption>> commandOptions{
        {QStringLiteral("flags"), {}},
        {QStringLiteral("status"), {twoByteOption}},
        {QStringLiteral("refresh"), {twoByteOption}},
        {QStringLiteral("take"), {sourceOption, destinationOption, levelsOption, commentOption, sourceLabelOption,
                                  destLabelOption}},
        {QStringLiteral("hold"), {destinationOption, clearOption}},
        {QStringLiteral("reload"), {}},
        {QStringLiteral("watch"), {twoByteOption, intervalOption}},
        {QStringLiteral("raw"), {}},
    };
    if (!commandOptions.contains(command))
        return usageError(QStringLiteral("unknown command \"%1\"").arg(command));
    const QList<QCommandLineOption> specific{twoByteOption, sourceOption, destinationOption, levelsOption,
                                             commentOption, sourceLabelOption, destLabelOption, clearOption,
                                             intervalOption};
    for (const QCommandLineOption &option : specific) {
        const QString name = option.names().constFirst();
        const bool allowed = std::any_of(commandOptions[command].cbegin(), commandOptions[command].cend(),
                                         [&](const QCommandLineOption &o) { return o.names() == option.names(); });
        if (parser.isSet(option) && !allowed)
            return usageError(QStringLiteral("--%1 does not apply to %2").arg(name, command));
    }
    if (command == QLatin1String("reload")) {
        if (args.size() != 1)
            return usageError(QStringLiteral("reload takes one of tables, settings, users"));
    } else if (command == QLatin1String("raw")) {
        if (args.isEmpty())
            return usageError(QStringLiteral("raw needs the bytes to send, in hex"));
    } else if (!args.isEmpty()) {
        return usageError(QStringLiteral("unexpected argument \"%1\"").arg(args.constFirst()));
    }

    QString error;
    const auto port = parseNumber(parser, portOption, 1, 65535, &error);
    if (!port)
        return usageError(error);
    const auto routerValue = parseNumber(parser, routerOption, 0, 255, &error);
    if (!routerValue)
        return usageError(error);
    const auto timeout = parseNumber(parser, timeoutOption, 1, 600000, &error);
    if (!timeout)
        return usageError(error);
    const auto router = static_cast<quint8>(*routerValue);
    const bool twoByte = parser.isSet(twoByteOption);

    // Everything that can be refused is refused before connecting, so a
    // usage error never costs the server a panel place.
    quint8 requestCommand = 0;
    QByteArray payload;
    QByteArray rawBytes;
    int interval = 0;
    if (command == QLatin1String("take")) {
        if (!parser.isSet(sourceOption) || !parser.isSet(destinationOption))
            return usageError(QStringLiteral("take needs --source and --destination"));
        TakeOrder take;
        const auto source = parseNumber(parser, sourceOption, 1, 9999, &error);
        if (!source)
            return usageError(error);
        const auto destination = parseNumber(parser, destinationOption, 1, 9999, &error);
        if (!destination)
            return usageError(error);
        const auto levels = parseLevels(parser.value(levelsOption), &error);
        if (!levels)
            return usageError(QStringLiteral("--levels: ") + error);
        take.source = *source;
        take.destination = *destination;
        take.levels = *levels;
        take.sourceLabel = parser.value(sourceLabelOption);
        take.destinationLabel = parser.value(destLabelOption);
        take.comment = parser.value(commentOption);
        const auto takeString = buildTakeString(take, &error);
        if (!takeString)
            return usageError(error);
        requestCommand = CommandTake;
        payload = *takeString;
    } else if (command == QLatin1String("hold")) {
        if (!parser.isSet(destinationOption))
            return usageError(QStringLiteral("hold needs --destination"));
        bool ok = false;
        const int destination = parser.value(destinationOption).toInt(&ok);
        if (!ok)
            return usageError(QStringLiteral("--destination takes a number, not \"%1\"").arg(parser.value(destinationOption)));
        const auto priority = buildPriorityPayload(destination, !parser.isSet(clearOption), &error);
        if (!priority)
            return usageError(error);
        requestCommand = CommandSetPriority;
        payload = *priority;
    } else if (command == QLatin1String("reload")) {
        const QString what = args.constFirst();
        if (what == QLatin1String("tables"))
            requestCommand = CommandReloadTables;
        else if (what == QLatin1String("settings"))
            requestCommand = CommandReloadSettings;
        else if (what == QLatin1String("users"))
            requestCommand = CommandReloadUsers;
        else
            return usageError(QStringLiteral("reload takes tables, settings or users, not \"%1\"").arg(what));
    } else if (command == QLatin1String("raw")) {
        const auto bytes = parseHex(args.join(QLatin1Char(' ')), &error);
        if (!bytes)
            return usageError(QStringLiteral("raw: ") + error);
        rawBytes = *bytes;
    } else if (command == QLatin1String("watch")) {
        const auto value = parseNumber(parser, intervalOption, 10, 3600000, &error);
        if (!value)
            return usageError(error);
        interval = *value;
    }

    PanelClient client;
    client.setReplyTimeout(*timeout);
    if (parser.isSet(verboseOption)) {
        QObject::connect(&client, &PanelClient::requestSent, [](const QByteArray &bytes, int attempt) {
            printError(QStringLiteral("> %1%2").arg(toHex(bytes), attempt > 1 ? QStringLiteral("  (sent again)") : QString()));
        });
        QObject::connect(&client, &PanelClient::finished, [](const Exchange &result) {
            if (!result.received.isEmpty())
                printError(QStringLiteral("< ") + toHex(result.received));
        });
    }
    if (!client.connectToServer(parser.value(hostOption), static_cast<quint16>(*port))) {
        printError(client.errorString());
        return ExitNoAnswer;
    }

    if (command == QLatin1String("flags"))
        return runFlags(client, router);
    if (command == QLatin1String("status"))
        return runStatus(client, router, twoByte);
    if (command == QLatin1String("refresh")) {
        const Exchange refresh = client.exchange(CommandFullRefresh, router);
        if (!refresh.ok() || refresh.reply.kind != ReplyKind::Acknowledge)
            return reportFailure(refresh);
        return runStatus(client, router, twoByte);
    }
    if (command == QLatin1String("raw")) {
        const Exchange exchange = client.exchangeRaw(rawBytes);
        if (exchange.outcome != Exchange::Replied && exchange.outcome != Exchange::BadReply)
            return reportFailure(exchange);
        printLine(QStringLiteral("reply: ") + toHex(exchange.received));
        printLine(exchange.outcome == Exchange::BadReply ? QStringLiteral("(%1)").arg(exchange.error)
                                                         : QStringLiteral("(%1)").arg(describeKind(exchange.reply)));
        return ExitDone;
    }
    if (command == QLatin1String("watch")) {
        Watch watch(client, router, twoByte, interval);
        if (const QString problem = watch.watchSignals(); !problem.isEmpty()) {
            printError(QStringLiteral("cannot watch for Ctrl-C: ") + problem);
            return ExitNoAnswer;
        }
        return watch.run();
    }
    return expectAcknowledge(client.exchange(requestCommand, router, payload));
}
