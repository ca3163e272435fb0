// marlin-panel: a client panel on the command line, for integrators checking
// a server on site and for tests that drive a server from outside.

#include "panel_client.h"
#include "panel_protocol.h"
#include "panel_report.h"

#include "core/process_signals.h"

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

const char *const kIntroduction =
    "A client panel for Marlin Server: speaks the panel protocol on a server's\n"
    "panel port, one request at a time, and prints what comes back.\n";

const char *const kClosing =
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

int runStatus(PanelClient &client, quint8 router, bool twoByte, bool all)
{
    const Drain drain = client.drainStatus(twoByte, router);
    int status = 0;
    int priority = 0;
    for (const Reply &reply : drain.replies)
        (reply.kind == ReplyKind::Priority ? priority : status) += 1;
    for (const QString &line : describeDrain(drain.replies, all))
        printLine(line);
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
        connect(&termination, &marlin::ProcessSignals::terminationRequested, this, [this] {
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
    marlin::ProcessSignals termination;
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

// Every option of the program; the command table names the ones each
// command takes.
struct Options {
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Displays this help.")};
    QCommandLineOption version{{QStringLiteral("v"), QStringLiteral("version")},
                               QStringLiteral("Displays version information.")};
    QCommandLineOption host{QStringLiteral("host"), QStringLiteral("Server address (default 127.0.0.1)."),
                            QStringLiteral("address"), QStringLiteral("127.0.0.1")};
    QCommandLineOption port{QStringLiteral("port"), QStringLiteral("Server's panel port (default 790)."),
                            QStringLiteral("port"), QStringLiteral("790")};
    QCommandLineOption router{QStringLiteral("router"),
                              QStringLiteral("Router byte of every request, 0..255 (default 1; routers are 1..96)."),
                              QStringLiteral("R"), QStringLiteral("1")};
    QCommandLineOption timeout{QStringLiteral("timeout"),
                               QStringLiteral("Wait for a reply this long before sending again once (default %1).")
                                   .arg(PanelClient::kDefaultReplyTimeoutMs),
                               QStringLiteral("ms"), QString::number(PanelClient::kDefaultReplyTimeoutMs)};
    QCommandLineOption verbose{QStringLiteral("verbose"), QStringLiteral("Show every request and reply in hex on stderr.")};
    QCommandLineOption twoByte{QStringLiteral("two-byte"),
                               QStringLiteral("status, refresh, watch: fetch with 0xA8, sources as two bytes (needed above 255).")};
    QCommandLineOption all{QStringLiteral("all"),
                           QStringLiteral("status, refresh: list all 96 routers, also those nothing was heard about.")};
    QCommandLineOption source{QStringLiteral("source"), QStringLiteral("take: source number, 1..9999."), QStringLiteral("S")};
    QCommandLineOption destination{QStringLiteral("destination"),
                                   QStringLiteral("take: destination number, 1..9999; hold: 0..255."), QStringLiteral("D")};
    QCommandLineOption levels{QStringLiteral("levels"),
                              QStringLiteral("take: the levels to switch as digits 0..7 (e.g. 01), or all (default)."),
                              QStringLiteral("levels"), QStringLiteral("all")};
    QCommandLineOption comment{QStringLiteral("comment"), QStringLiteral("take: comment for the server's switch log."),
                               QStringLiteral("text")};
    QCommandLineOption sourceLabel{QStringLiteral("source-label"),
                                   QStringLiteral("take: source label, up to 8 characters (default blank)."),
                                   QStringLiteral("label")};
    QCommandLineOption destLabel{QStringLiteral("dest-label"),
                                 QStringLiteral("take: destination label, up to 8 characters (default blank)."),
                                 QStringLiteral("label")};
    QCommandLineOption clear{QStringLiteral("clear"), QStringLiteral("hold: release the destination instead of holding it.")};
    QCommandLineOption interval{QStringLiteral("interval"),
                                QStringLiteral("watch: milliseconds between flag polls (default 500)."),
                                QStringLiteral("ms"), QStringLiteral("500")};

    // Options that only some commands take.
    QList<const QCommandLineOption *> commandSpecific() const
    {
        return {&twoByte, &all, &source, &destination, &levels, &comment, &sourceLabel, &destLabel, &clear, &interval};
    }
};

// What a command needs once connected, worked out before connecting so
// that a usage error never costs the server a panel place.
struct Request {
    quint8 command = 0;
    QByteArray payload;
    int interval = 0;
};

struct Context {
    PanelClient &client;
    const QCommandLineParser &parser;
    const Options &options;
    quint8 router;
    const Request &request;
};

// Checks the command's own options and arguments and fills the request;
// the usage error, or empty.
using Prepare = QString (*)(const QCommandLineParser &, const Options &, const QStringList &, Request &);
using Run = int (*)(Context &);

struct PanelCommand {
    const char *name;
    const char *usage;       // the name with its arguments, as the help shows it
    const char *help;        // lines of the help text, '\n' between them
    enum { NoArguments, OneArgument, SomeArguments } arguments;
    QList<QCommandLineOption Options::*> options;
    Prepare prepare;
    Run run;
};

QString noPreparation(const QCommandLineParser &, const Options &, const QStringList &, Request &) { return {}; }

QString prepareTake(const QCommandLineParser &parser, const Options &o, const QStringList &, Request &request)
{
    if (!parser.isSet(o.source) || !parser.isSet(o.destination))
        return QStringLiteral("take needs --source and --destination");
    QString error;
    const auto source = parseNumber(parser, o.source, 1, 9999, &error);
    if (!source)
        return error;
    const auto destination = parseNumber(parser, o.destination, 1, 9999, &error);
    if (!destination)
        return error;
    const auto levels = parseLevels(parser.value(o.levels), &error);
    if (!levels)
        return QStringLiteral("--levels: ") + error;
    TakeOrder take;
    take.source = *source;
    take.destination = *destination;
    take.levels = *levels;
    take.sourceLabel = parser.value(o.sourceLabel);
    take.destinationLabel = parser.value(o.destLabel);
    take.comment = parser.value(o.comment);
    const auto takeString = buildTakeString(take, &error);
    if (!takeString)
        return error;
    request.command = CommandTake;
    request.payload = *takeString;
    return {};
}

QString prepareHold(const QCommandLineParser &parser, const Options &o, const QStringList &, Request &request)
{
    if (!parser.isSet(o.destination))
        return QStringLiteral("hold needs --destination");
    bool ok = false;
    const int destination = parser.value(o.destination).toInt(&ok);
    if (!ok)
        return QStringLiteral("--destination takes a number, not \"%1\"").arg(parser.value(o.destination));
    QString error;
    const auto priority = buildPriorityPayload(destination, !parser.isSet(o.clear), &error);
    if (!priority)
        return error;
    request.command = CommandSetPriority;
    request.payload = *priority;
    return {};
}

QString prepareReload(const QCommandLineParser &, const Options &, const QStringList &args, Request &request)
{
    const QString &what = args.constFirst();
    if (what == QLatin1String("tables"))
        request.command = CommandReloadTables;
    else if (what == QLatin1String("settings"))
        request.command = CommandReloadSettings;
    else if (what == QLatin1String("users"))
        request.command = CommandReloadUsers;
    else
        return QStringLiteral("reload takes tables, settings or users, not \"%1\"").arg(what);
    return {};
}

QString prepareRaw(const QCommandLineParser &, const Options &, const QStringList &args, Request &request)
{
    QString error;
    const auto bytes = parseHex(args.join(QLatin1Char(' ')), &error);
    if (!bytes)
        return QStringLiteral("raw: ") + error;
    request.payload = *bytes;
    return {};
}

QString prepareWatch(const QCommandLineParser &parser, const Options &o, const QStringList &, Request &request)
{
    QString error;
    const auto value = parseNumber(parser, o.interval, 10, 3600000, &error);
    if (!value)
        return error;
    request.interval = *value;
    return {};
}

int runFlagsCommand(Context &c) { return runFlags(c.client, c.router); }

int runStatusCommand(Context &c)
{
    return runStatus(c.client, c.router, c.parser.isSet(c.options.twoByte), c.parser.isSet(c.options.all));
}

int runRefresh(Context &c)
{
    const Exchange refresh = c.client.exchange(CommandFullRefresh, c.router);
    if (!refresh.ok() || refresh.reply.kind != ReplyKind::Acknowledge)
        return reportFailure(refresh);
    return runStatusCommand(c);
}

int runAcknowledged(Context &c)
{
    return expectAcknowledge(c.client.exchange(c.request.command, c.router, c.request.payload));
}

int runRaw(Context &c)
{
    const Exchange exchange = c.client.exchangeRaw(c.request.payload);
    if (exchange.outcome != Exchange::Replied && exchange.outcome != Exchange::BadReply)
        return reportFailure(exchange);
    printLine(QStringLiteral("reply: ") + toHex(exchange.received));
    printLine(exchange.outcome == Exchange::BadReply ? QStringLiteral("(%1)").arg(exchange.error)
                                                     : QStringLiteral("(%1)").arg(describeKind(exchange.reply)));
    return ExitDone;
}

int runWatch(Context &c)
{
    Watch watch(c.client, c.router, c.parser.isSet(c.options.twoByte), c.request.interval);
    if (const QString problem = watch.watchSignals(); !problem.isEmpty()) {
        printError(QStringLiteral("cannot watch for Ctrl-C: ") + problem);
        return ExitNoAnswer;
    }
    return watch.run();
}

// Every command the panel knows: its help, the options it takes, what it
// checks before connecting and what it does once connected.
const QList<PanelCommand> &commands()
{
    static const QList<PanelCommand> table{
        {"flags", "flags",
         "Poll the change flags (0xA1) and print all eight by\n"
         "name: router pending, tables changed, settings changed,\n"
         "users changed, spare 5..8.",
         PanelCommand::NoArguments, {}, noPreparation, runFlagsCommand},
        {"status", "status",
         "Fetch every pending router (0xA6, or 0xA8 with\n"
         "--two-byte) until the server acknowledges that nothing\n"
         "is left. A new connection starts with every working\n"
         "router pending. Lists the routers something real is\n"
         "known about (a status report arrived, a comm port is\n"
         "their link port, or a destination is held); --all lists\n"
         "every router. Per router: status received, comm OK, link\n"
         "port, then destination=source for every destination\n"
         "with a known source; priority reports list the held\n"
         "destinations.",
         PanelCommand::NoArguments, {&Options::twoByte, &Options::all}, noPreparation, runStatusCommand},
        {"refresh", "refresh",
         "Mark every working router pending again (0x91), then\n"
         "fetch as status does.",
         PanelCommand::NoArguments, {&Options::twoByte, &Options::all}, noPreparation, runRefresh},
        {"take", "take",
         "Switch --source to --destination on --router (0xA5).\n"
         "The take string is \"C \", the level flags 0..7 as 1/0,\n"
         "source and destination as four digits, the two labels\n"
         "padded to 8 characters, then the comment.",
         PanelCommand::NoArguments,
         {&Options::source, &Options::destination, &Options::levels, &Options::comment, &Options::sourceLabel,
          &Options::destLabel},
         prepareTake, runAcknowledged},
        {"hold", "hold",
         "Hold --destination of --router at high priority (0xAA);\n"
         "with --clear, release it. The request carries the\n"
         "destination in one byte, so only 0..255 can be held.",
         PanelCommand::NoArguments, {&Options::destination, &Options::clear}, prepareHold, runAcknowledged},
        {"reload", "reload WHAT",
         "Make the server re-read its router tables, settings or\n"
         "users: WHAT is tables (0xA2), settings (0xA3) or users\n"
         "(0xA4).",
         PanelCommand::OneArgument, {}, prepareReload, runAcknowledged},
        {"watch", "watch",
         "Poll the flags every --interval ms; when a router is\n"
         "pending, fetch it and print only what changed (sources,\n"
         "holds, comm up/down), and print tables, settings and\n"
         "users changes when flagged. Runs until Ctrl-C.",
         PanelCommand::NoArguments, {&Options::twoByte, &Options::interval}, prepareWatch, runWatch},
        {"raw", "raw HEX...",
         "Send the given bytes after a fresh sequence and print\n"
         "the reply in hex, e.g. \"raw E1 A1 01\" polls the flags\n"
         "of router 1.",
         PanelCommand::SomeArguments, {}, prepareRaw, runRaw},
    };
    return table;
}

const PanelCommand *findCommand(const QString &name)
{
    for (const PanelCommand &command : commands()) {
        if (name == QLatin1String(command.name))
            return &command;
    }
    return nullptr;
}

QString description()
{
    QString text = QString::fromLatin1(kIntroduction) + QStringLiteral("\nCommands:\n");
    for (const PanelCommand &command : commands()) {
        const QStringList help = QString::fromLatin1(command.help).split(QLatin1Char('\n'));
        text += QStringLiteral("  ") + QString::fromLatin1(command.usage).leftJustified(18) + help.first() + QLatin1Char('\n');
        for (qsizetype i = 1; i < help.size(); ++i)
            text += QString(20, QLatin1Char(' ')) + help[i] + QLatin1Char('\n');
    }
    return text + QLatin1Char('\n') + QString::fromLatin1(kClosing);
}

QString commandNames()
{
    QStringList names;
    for (const PanelCommand &command : commands())
        names << QString::fromLatin1(command.name);
    const QString last = names.takeLast();
    return names.join(QStringLiteral(", ")) + QStringLiteral(" or ") + last;
}

// The usage error of the arguments after the command name, or empty.
QString checkArguments(const PanelCommand &command, const QStringList &args)
{
    switch (command.arguments) {
    case PanelCommand::NoArguments:
        return args.isEmpty() ? QString() : QStringLiteral("unexpected argument \"%1\"").arg(args.constFirst());
    case PanelCommand::OneArgument:
        return args.size() == 1 ? QString()
                                : QStringLiteral("%1 takes one argument: %2").arg(QLatin1String(command.name),
                                                                                 QLatin1String(command.usage));
    case PanelCommand::SomeArguments:
        return !args.isEmpty() ? QString()
                               : QStringLiteral("%1 needs its arguments: %2").arg(QLatin1String(command.name),
                                                                                 QLatin1String(command.usage));
    }
    return {};
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("marlin-panel"));
    QCoreApplication::setApplicationVersion(QStringLiteral(MARLIN_PANEL_VERSION));

    const Options o;
    QCommandLineParser parser;
    parser.setApplicationDescription(description());
    parser.addOptions({o.help, o.version, o.host, o.port, o.router, o.timeout, o.verbose, o.twoByte, o.all, o.source,
                       o.destination, o.levels, o.comment, o.sourceLabel, o.destLabel, o.clear, o.interval});
    parser.addPositionalArgument(QStringLiteral("command"), commandNames() + QLatin1Char('.'),
                                 QStringLiteral("<command> [args]"));

    if (!parser.parse(app.arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(o.help)) {
        printLine(parser.helpText());
        return ExitDone;
    }
    if (parser.isSet(o.version)) {
        printLine(QStringLiteral("marlin-panel ") + QCoreApplication::applicationVersion());
        return ExitDone;
    }

    QStringList args = parser.positionalArguments();
    if (args.isEmpty())
        return usageError(QStringLiteral("no command given"));
    const QString name = args.takeFirst();
    const PanelCommand *command = findCommand(name);
    if (!command)
        return usageError(QStringLiteral("unknown command \"%1\"").arg(name));

    // Options that mean something only to some commands are refused
    // elsewhere, so a mistyped command line does not half-run.
    for (const QCommandLineOption *option : o.commandSpecific()) {
        const bool allowed = std::any_of(command->options.cbegin(), command->options.cend(),
                                         [&](QCommandLineOption Options::*member) { return &(o.*member) == option; });
        if (parser.isSet(*option) && !allowed)
            return usageError(QStringLiteral("--%1 does not apply to %2").arg(option->names().constFirst(), name));
    }
    if (const QString error = checkArguments(*command, args); !error.isEmpty())
        return usageError(error);

    QString error;
    const auto port = parseNumber(parser, o.port, 1, 65535, &error);
    if (!port)
        return usageError(error);
    const auto routerValue = parseNumber(parser, o.router, 0, 255, &error);
    if (!routerValue)
        return usageError(error);
    const auto timeout = parseNumber(parser, o.timeout, 1, 600000, &error);
    if (!timeout)
        return usageError(error);

    Request request;
    if (const QString problem = command->prepare(parser, o, args, request); !problem.isEmpty())
        return usageError(problem);

    PanelClient client;
    client.setReplyTimeout(*timeout);
    if (parser.isSet(o.verbose)) {
        QObject::connect(&client, &PanelClient::requestSent, [](const QByteArray &bytes, int attempt) {
            printError(QStringLiteral("> %1%2").arg(toHex(bytes), attempt > 1 ? QStringLiteral("  (sent again)") : QString()));
        });
        QObject::connect(&client, &PanelClient::finished, [](const Exchange &result) {
            if (!result.received.isEmpty())
                printError(QStringLiteral("< ") + toHex(result.received));
        });
    }
    if (!client.connectToServer(parser.value(o.host), static_cast<quint16>(*port))) {
        printError(client.errorString());
        return ExitNoAnswer;
    }
    Context context{client, parser, o, static_cast<quint8>(*routerValue), request};
    return command->run(context);
}
