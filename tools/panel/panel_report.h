#pragma once

#include "panel_protocol.h"

#include <QStringList>

#include <array>

namespace marlin::panel {

// Text for people: what the panel prints.

// One line per change flag: its name and "set" or "clear".
QStringList describeFlags(const QByteArray &flags);
// A status reply: the header line, then the destinations that have a
// source as destination=source pairs. A priority reply: one line with the
// held destinations.
QStringList describeStatus(const Reply &reply);
// A drained status: every status and priority reply of the routers the
// panel has heard something real about (a status report arrived, a comm
// port is its link port, or a destination is held), or of all routers,
// then a closing line that says how many were left out.
QStringList describeDrain(const QList<Reply> &replies, bool all);
// "link port 3 (comm port 3)"; port 0 in words.
QString describeLinkPort(int linkPort);
// One line naming the kind of a reply, e.g. "acknowledge, router 2".
QString describeKind(const Reply &reply);

// What a watching panel has seen of each router, so that every further
// status or priority reply can be told as the changes it brings.
class WatchState {
public:
    // Lines for what changed; nothing for the first report of a router
    // in the first drain, which sets the baseline.
    QStringList apply(const Reply &reply);
    // Lines for the tables, settings and users flags that are set.
    static QStringList describeChangedFlags(const QByteArray &flags);
    // After the first drain, a router reporting for the first time is
    // announced instead of taken in silently.
    void baselineComplete() { baselineDone = true; }
    bool hasBaseline() const { return baselineDone; }
    int routersSeen() const;

private:
    struct Seen {
        bool status = false;
        bool priority = false;
        bool commKnown = false;
        bool commOK = false;
        QList<int> sources;
        QList<int> holds;
    };
    std::array<Seen, kRouterCount + 1> routers;
    bool baselineDone = false;
};

} // namespace marlin::panel
