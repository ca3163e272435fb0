#include "switch_log.h"

namespace marlin {

void WriteSwitchLog(Logs &logs, const RouterTableArray &tables, bool isSwitchCommand, int router, int source,
                    int destination, const QString &comment)
{
    QString entry = isSwitchCommand ? QStringLiteral("Switch command sent.") : QStringLiteral("Status update.");
    const bool routerKnown = router >= 0 && router <= kRouterCount;
    if (routerKnown) {
        const RouterTable &t = tables[router];
        entry += QStringLiteral("\t Router = ") + logSafe(t.Name);
        if (source >= 0 && source <= kPointCount)
            entry += QStringLiteral("\t Source = ") + logSafe(t.SourceDescription[source]);
        if (destination >= 0 && destination <= kPointCount)
            entry += QStringLiteral("\t Destination = ") + logSafe(t.DestDescription[destination]);
    }
    if (isSwitchCommand)
        entry += QLatin1Char('\t') + logSafe(comment.left(Logs::kCommentLimit));
    logs.writeSwitchEntry(entry);
}

namespace {
int loggedNumber(int tableNumber, int physical)
{
    if (tableNumber > 0)
        return tableNumber;
    return isPointNumber(physical) ? 0 : physical;
}
} // namespace

void WriteSwitchLogByRouterNumbers(Logs &logs, const RouterTableArray &tables, bool isSwitchCommand, int router,
                                   int source, int destination, const QString &comment)
{
    if (!isRouterNumber(router)) {
        WriteSwitchLog(logs, tables, isSwitchCommand, router, source, destination, comment);
        return;
    }
    const RouterTable &table = tables[router];
    WriteSwitchLog(logs, tables, isSwitchCommand, router, loggedNumber(TableSource(table, source), source),
                   loggedNumber(TableDestination(table, destination), destination), comment);
}

} // namespace marlin
