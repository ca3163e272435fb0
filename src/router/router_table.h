#pragma once

#include <QString>
#include <QtGlobal>
#include <array>

namespace marlin {

constexpr int kRouterCount = 96;   // routers 1..96
constexpr int kPointCount = 256;   // sources and destinations 1..256
constexpr int kLevelCount = 8;     // levels 1..8 in tables, 0..7 on the wire

template <typename T>
using PointArray = std::array<T, kPointCount + 1>; // element 0 is never data

// One router's configuration, as the operator edits it. Field order is the
// order of the RTR<n>.BIN file.
struct RouterTable {
    QString Name;
    PointArray<bool> SourceVisible{};
    PointArray<qint16> SourcePhysical{};
    PointArray<QString> SourceLabel;
    PointArray<QString> SourceDescription;
    PointArray<QString> SourceIcon;
    PointArray<QString> SourceHyperLink;
    // SourceLevel[s][L] for levels L = 1..8; [s][0] is unused.
    PointArray<std::array<bool, kLevelCount + 1>> SourceLevel{};
    PointArray<bool> DestVisible{};
    PointArray<qint16> DestPhysical{};
    PointArray<QString> DestLabel;
    PointArray<QString> DestDescription;
    PointArray<QString> DestIcon;
    PointArray<QString> DestHyperLink;
    PointArray<qint16> DestDefaultSource{};

    bool operator==(const RouterTable &) const = default;

    // At least one visible source and one visible destination among 1..256.
    bool isUsable() const;
};

// What the server knows of a router right now; never saved.
struct RouterState {
    bool StatusReceived = false;
    bool CommOK = false;
    // 1 when no enabled port serves the router, so nothing watches its
    // communication and a take to it has nowhere to go; the status block
    // carries it to the panels in its first spare byte. Spare2 is never set.
    int Spare1 = 0;
    int Spare2 = 0;
    PointArray<int> CurrentSource{};   // 0 = not known
    PointArray<bool> HighPriority{};
    int PollIndex = 0;
    bool PollActive = false;
    PointArray<int> PrioritySource{};  // 0 = none
    int LinkPort = 0;                  // comm port 1..96 linking the router, 0 = none
};

using RouterTableArray = std::array<RouterTable, kRouterCount + 1>;
using RouterStateArray = std::array<RouterState, kRouterCount + 1>;

inline bool isRouterNumber(int r) { return r >= 1 && r <= kRouterCount; }
inline bool isPointNumber(int n) { return n >= 1 && n <= kPointCount; }

// Fills elements 1..256 of a table with the defaults of router r; element 0
// is left as it is.
void CreateDefaultRouterTable(RouterTable &table, int r);

// Numbers. A router's state (CurrentSource, HighPriority, PrioritySource)
// is kept in the router's own numbers: what the router reports and what
// panels read and send on the wire. The console and the web speak the
// table's numbers, and map through these functions, which are the only
// place the two numberings meet.
//
// Table source (destination) 1..256 to its physical number; 0 outside.
int PhysicalSource(const RouterTable &table, int source);
int PhysicalDestination(const RouterTable &table, int destination);
// A physical number to the table's number that carries it: the entry of
// the same number when it does, else the lowest that does; 0 when none does.
int TableSource(const RouterTable &table, int physical);
int TableDestination(const RouterTable &table, int physical);
// What table destination d shows of the state: the table number of its
// current source (0 when unknown or no table source carries it), and
// whether it is held.
int ShownSource(const RouterTable &table, const RouterState &state, int destination);
bool ShownHold(const RouterTable &table, const RouterState &state, int destination);

// The colour number (1..8 of the display settings) table destination d's
// cell is shown in, by every face that shows one: 4 when no source is
// known, 3 when it is held, 2 when its source is not its default, else 1.
int DestinationColor(const RouterTable &table, const RouterState &state, int destination);

// First source (or destination) 1..256 whose label equals label exactly, 0
// when none does. Visibility is not considered.
int FindLabel(const RouterTable &table, const QString &label, bool isDestination);

} // namespace marlin
