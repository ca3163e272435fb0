#include "control_commands.h"

#include "simulated_router.h"

#include <QRegularExpression>
#include <QStringList>

#include <optional>

namespace {

ControlOutcome failure(const QString &text)
{
    return ControlOutcome{false, false, QStringLiteral("error: ") + text};
}

std::optional<bool> onOff(const QString &word)
{
    if (word.compare(QLatin1String("on"), Qt::CaseInsensitive) == 0)
        return true;
    if (word.compare(QLatin1String("off"), Qt::CaseInsensitive) == 0)
        return false;
    return std::nullopt;
}

struct Arity
{
    const char *name;
    int words;            // including the command itself
    const char *usage;
};

constexpr Arity commands[] = {
    {"silent", 3, "silent <router> on|off"},
    {"drop", 2, "drop <router>"},
    {"garbage", 3, "garbage <router> on|off"},
    {"set", 4, "set <router> <dest> <src>"},
    {"report", 2, "report <router>"},
};

} // namespace

QString controlHelp()
{
    QStringList lines;
    for (const Arity &command : commands)
        lines.append(QLatin1String(command.usage));
    lines.append(QStringLiteral("status [<router>]"));
    lines.append(QStringLiteral("crosspoints <router>"));
    lines.append(QStringLiteral("help"));
    lines.append(QStringLiteral("quit"));
    return lines.join(QLatin1Char('\n'));
}

ControlOutcome runControlCommand(const QString &line, const QList<SimulatedRouter *> &routers)
{
    const QStringList words = line.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    if (words.isEmpty())
        return {};
    const QString verb = words.first().toLower();

    if (verb == QLatin1String("quit"))
        return ControlOutcome{true, true, {}};
    if (verb == QLatin1String("help"))
        return ControlOutcome{true, false, controlHelp()};

    auto routerAt = [&](const QString &word) -> SimulatedRouter * {
        bool ok = false;
        const int index = word.toInt(&ok);
        return ok && index >= 1 && index <= routers.size() ? routers.at(index - 1) : nullptr;
    };

    if (verb == QLatin1String("status")) {
        if (words.size() > 2)
            return failure(QStringLiteral("usage: status [<router>]"));
        QStringList lines;
        for (qsizetype i = 0; i < routers.size(); ++i) {
            if (words.size() == 2 && routerAt(words.at(1)) != routers.at(i))
                continue;
            lines.append(QStringLiteral("router %1 %2").arg(i + 1).arg(routers.at(i)->status()));
        }
        if (lines.isEmpty())
            return failure(QStringLiteral("no router %1").arg(words.value(1)));
        return ControlOutcome{true, false, lines.join(QLatin1Char('\n'))};
    }

    // The source on every destination of a full report, so a script can
    // compare the router with what the server shows.
    if (verb == QLatin1String("crosspoints")) {
        SimulatedRouter *router = words.size() == 2 ? routerAt(words.at(1)) : nullptr;
        if (!router)
            return failure(QStringLiteral("usage: crosspoints <router> (1..%1)").arg(routers.size()));
        QStringList pairs;
        for (int d = 1; d <= router->reportedSize(); ++d)
            pairs.append(QStringLiteral("%1=%2").arg(d).arg(router->source(d)));
        return ControlOutcome{true, false,
                              QStringLiteral("router %1 crosspoints %2").arg(words.at(1).toInt()).arg(pairs.join(QLatin1Char(',')))};
    }

    const Arity *command = nullptr;
    for (const Arity &candidate : commands) {
        if (verb == QLatin1String(candidate.name))
            command = &candidate;
    }
    if (!command)
        return failure(QStringLiteral("unknown command \"%1\"; try help").arg(words.first()));
    if (words.size() != command->words)
        return failure(QStringLiteral("usage: ") + QLatin1String(command->usage));
    SimulatedRouter *router = routerAt(words.at(1));
    if (!router)
        return failure(QStringLiteral("no router %1 (1..%2)").arg(words.at(1)).arg(routers.size()));

    if (verb == QLatin1String("silent") || verb == QLatin1String("garbage")) {
        const auto on = onOff(words.at(2));
        if (!on)
            return failure(QStringLiteral("usage: ") + QLatin1String(command->usage));
        if (verb == QLatin1String("silent"))
            router->setSilent(*on);
        else
            router->setGarbage(*on);
        return {};
    }
    if (verb == QLatin1String("drop")) {
        router->drop();
        return {};
    }
    if (verb == QLatin1String("report")) {
        router->reportAll();
        return {};
    }
    // set
    bool destOk = false;
    bool srcOk = false;
    const int dest = words.at(2).toInt(&destOk);
    const int src = words.at(3).toInt(&srcOk);
    if (!destOk || !srcOk || !router->setCrosspoint(dest, src))
        return failure(QStringLiteral("destination and source are 1..256"));
    return {};
}
