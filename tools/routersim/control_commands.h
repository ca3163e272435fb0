#pragma once

#include <QList>
#include <QString>

class SimulatedRouter;

// What one console line did.
struct ControlOutcome
{
    bool ok = true;
    bool quit = false;
    QString message;   // for people; empty when the event lines say it all
};

// One console line against the routers (router i is routers[i - 1]):
//   silent <i> on|off, drop <i>, garbage <i> on|off, set <i> <dest> <src>,
//   report <i>, status [<i>], help, quit
ControlOutcome runControlCommand(const QString &line, const QList<SimulatedRouter *> &routers);

QString controlHelp();
