#pragma once

#include "config/logs.h"
#include "router/router_table.h"

namespace marlin {

// Writes a switch log line: "Switch command sent." for a take, with its
// comment, or "Status update." for what a router reported, naming the
// router, source and destination from the router's table. A number outside
// the tables drops only the part of the line that needs it.
void WriteSwitchLog(Logs &logs, const RouterTableArray &tables, bool isSwitchCommand, int router, int source,
                    int destination, const QString &comment);
// The same for a source and destination in the router's own numbers (a
// panel's take, a router's report): the line names the table entries that
// carry them. A number no entry carries names none, and one beyond the
// table drops its part of the line.
void WriteSwitchLogByRouterNumbers(Logs &logs, const RouterTableArray &tables, bool isSwitchCommand, int router,
                                   int source, int destination, const QString &comment);

} // namespace marlin
