#pragma once

#include "router/router_table.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <array>

namespace marlin {

constexpr int kClientCount = 64;    // client records 1..64
constexpr int kPendingFlagCount = 8;
constexpr double kIdleRecordSeconds = 60;

// Positions in PendingFlags, counted from 1 as the panels count them on the
// wire. Positions 5..8 exist on the wire but nothing ever sets them.
enum PendingFlag : int {
    FlagRouterPending = 1,   // a router's status or priority waits to be fetched
    FlagTablesChanged = 2,
    FlagSettingsChanged = 3,
    FlagUsersChanged = 4,
};

// One panel connection as the server sees it, from its first request until
// the sweep finds its socket gone.
struct ClientRecord {
    bool InUse = false;
    QString RemoteIP;
    qint32 RemotePort = 0;
    int SocketIndex = 0;
    double LastReceived = 0;     // seconds since midnight
    QByteArray LastSequence;
    QByteArray ReplySequence;
    QByteArray LastReply;
    // Each byte is 0 or 1 and goes to the panel as it is; index 0 holds
    // position 1.
    std::array<char, kPendingFlagCount> PendingFlags{};
    std::array<bool, kRouterCount + 1> StatusChanged{};   // routers 1..96
    std::array<bool, kRouterCount + 1> PriorityChanged{}; // routers 1..96
    // 0 while the record's connection is open; once it has closed, the
    // order of closing (1 for the first connection ever to close), so a
    // full table gives up the longest-closed record first.
    qint64 ClosedOrder = 0;

    bool operator==(const ClientRecord &) const = default;
};

// Element 0 exists and always stays empty.
using ClientTable = std::array<ClientRecord, kClientCount + 1>;

inline bool isClientNumber(int c) { return c >= 1 && c <= kClientCount; }

inline bool pendingFlag(const ClientRecord &record, PendingFlag flag)
{
    return record.PendingFlags[flag - 1] != 0;
}
inline void setPendingFlag(ClientRecord &record, PendingFlag flag, bool set)
{
    record.PendingFlags[flag - 1] = set ? 1 : 0;
}

// Back to the state every record has at start: not in use, no texts, no
// flags.
void clearClientRecord(ClientRecord &record);

// The record of the connection (socketIndex, peerIp, peerPort), found by an
// exact match of all three on a live record or else made in the first free
// one. A new record starts with every router whose communication is up
// pending in both kinds and position 1 set, so the panel's first drain gives
// it the whole working state. When all 64 are taken, the record whose
// connection closed longest ago is made new at once rather than at the next
// sweep: after a network blip, reconnecting panels are not locked out. When
// all 64 belong to open connections, the record of the connection that has
// sent no request for longest is given up, once that is more than
// kIdleRecordSeconds (a panel polls far more often): connections that went
// quiet cannot hold every record. Returns 1..64, or 0 when all 64 are taken
// by connections heard from within kIdleRecordSeconds. now and LastReceived
// count seconds since midnight; the difference is taken across midnight.
int FindOrCreateClient(ClientTable &clients, const RouterStateArray &states, int socketIndex,
                       const QString &peerIp, int peerPort, double now);

// The connection of the record (socketIndex, peerIp, peerPort), if any, has
// closed; order says when, counting up.
void MarkClientClosed(ClientTable &clients, int socketIndex, const QString &peerIp, int peerPort, qint64 order);

// Live records with an address: the connection count the console shows.
int LiveClientCount(const ClientTable &clients);

// Change notifications: each sets a level flag in every live record; the
// panels find them by polling. A router outside 0..96 changes nothing and
// gives false, so a caller serving a request can count it as a failure.
// Router 0 only raises position 1, since no panel can fetch router 0.
bool NotifyRouterChanged(ClientTable &clients, int router, bool priority);
void NotifyTablesChanged(ClientTable &clients);
void NotifySettingsChanged(ClientTable &clients);
void NotifyUsersChanged(ClientTable &clients);

// Marks every router whose communication is up as pending in both kinds for
// one client, without touching PendingFlags. False for a client outside
// 1..64.
bool MarkAllRoutersChanged(ClientTable &clients, const RouterStateArray &states, int client);

// Takes the lowest pending router of one kind off a client's list: clears
// its flag and returns its number, or 0 when none is pending (or the client
// is outside 1..64).
int NextChangedRouter(ClientTable &clients, int client, bool priority);

} // namespace marlin
