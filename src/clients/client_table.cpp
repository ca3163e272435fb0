#include "client_table.h"

#include <cmath>

namespace marlin {

namespace {
// Seconds from then to now, both since midnight, across midnight too.
double secondsSince(double then, double now) { return std::fmod(now - then + 86400.0, 86400.0); }
} // namespace

void clearClientRecord(ClientRecord &record) { record = ClientRecord{}; }

int FindOrCreateClient(ClientTable &clients, const RouterStateArray &states, int socketIndex,
                       const QString &peerIp, int peerPort, double now)
{
    for (int c = 1; c <= kClientCount; ++c) {
        ClientRecord &record = clients[c];
        if (record.InUse && record.SocketIndex == socketIndex && record.RemoteIP == peerIp
            && record.RemotePort == peerPort) {
            record.LastReceived = now;
            record.ClosedOrder = 0;
            return c;
        }
    }
    int free = 0;
    for (int c = 1; c <= kClientCount && free == 0; ++c) {
        if (!clients[c].InUse)
            free = c;
    }
    if (free == 0) {
        for (int c = 1; c <= kClientCount; ++c) {
            const qint64 closed = clients[c].ClosedOrder;
            if (closed > 0 && (free == 0 || closed < clients[free].ClosedOrder))
                free = c;
        }
        // Every record held by an open connection: the one whose connection
        // has sent nothing for longest, once that is over kIdleRecordSeconds.
        const bool noneClosed = free == 0;
        for (int c = 1; c <= kClientCount && noneClosed; ++c) {
            const double idle = secondsSince(clients[c].LastReceived, now);
            if (idle > kIdleRecordSeconds && (free == 0 || idle > secondsSince(clients[free].LastReceived, now)))
                free = c;
        }
        if (free != 0)
            clearClientRecord(clients[free]);
    }
    if (free == 0)
        return 0;
    ClientRecord &record = clients[free];
    record.InUse = true;
    record.LastReceived = now;
    record.SocketIndex = socketIndex;
    record.RemoteIP = peerIp;
    record.RemotePort = peerPort;
    for (int r = 1; r <= kRouterCount; ++r) {
        if (states[r].CommOK) {
            record.StatusChanged[r] = true;
            record.PriorityChanged[r] = true;
        }
    }
    setPendingFlag(record, FlagRouterPending, true);
    return free;
}

void MarkClientClosed(ClientTable &clients, int socketIndex, const QString &peerIp, int peerPort, qint64 order)
{
    for (int c = 1; c <= kClientCount; ++c) {
        ClientRecord &record = clients[c];
        if (record.InUse && record.SocketIndex == socketIndex && record.RemoteIP == peerIp
            && record.RemotePort == peerPort && record.ClosedOrder == 0)
            record.ClosedOrder = order;
    }
}

int LiveClientCount(const ClientTable &clients)
{
    int count = 0;
    for (int c = 1; c <= kClientCount; ++c) {
        if (clients[c].InUse && !clients[c].RemoteIP.trimmed().isEmpty())
            ++count;
    }
    return count;
}

bool NotifyRouterChanged(ClientTable &clients, int router, bool priority)
{
    if (router < 0 || router > kRouterCount)
        return false;
    for (int c = 1; c <= kClientCount; ++c) {
        ClientRecord &record = clients[c];
        if (!record.InUse)
            continue;
        if (router > 0)
            (priority ? record.PriorityChanged : record.StatusChanged)[router] = true;
        setPendingFlag(record, FlagRouterPending, true);
    }
    return true;
}

namespace {
void raiseForLiveClients(ClientTable &clients, PendingFlag flag)
{
    for (int c = 1; c <= kClientCount; ++c) {
        if (clients[c].InUse)
            setPendingFlag(clients[c], flag, true);
    }
}
} // namespace

void NotifyTablesChanged(ClientTable &clients) { raiseForLiveClients(clients, FlagTablesChanged); }

void NotifySettingsChanged(ClientTable &clients)
{
    raiseForLiveClients(clients, FlagSettingsChanged);
}

void NotifyUsersChanged(ClientTable &clients) { raiseForLiveClients(clients, FlagUsersChanged); }

bool MarkAllRoutersChanged(ClientTable &clients, const RouterStateArray &states, int client)
{
    if (!isClientNumber(client))
        return false;
    ClientRecord &record = clients[client];
    for (int r = 1; r <= kRouterCount; ++r) {
        if (states[r].CommOK) {
            record.StatusChanged[r] = true;
            record.PriorityChanged[r] = true;
        }
    }
    return true;
}

int NextChangedRouter(ClientTable &clients, int client, bool priority)
{
    if (!isClientNumber(client))
        return 0;
    auto &flags = priority ? clients[client].PriorityChanged : clients[client].StatusChanged;
    for (int r = 1; r <= kRouterCount; ++r) {
        if (flags[r]) {
            flags[r] = false;
            return r;
        }
    }
    return 0;
}

} // namespace marlin
