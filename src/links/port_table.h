#pragma once

#include "config/settings.h"
#include "links/device_language.h"
#include "links/port_map.h"
#include "router/router_table.h"

#include <QByteArray>
#include <array>

namespace marlin {

inline bool isPortNumber(int n) { return n >= 1 && n <= kPortCount; }

// The commands waiting for one router: slot 0 is the next to go out,
// enqueueing fills entries 1..10 and overwrites slot 10 when all are taken, so
// a router that cannot be reached never holds more than ten commands.
class CommandQueue {
public:
    static constexpr int kSlots = 11;

    // A command that is empty or only spaces is not queued. True when the
    // queue was full and the command took the place of the last one waiting.
    bool enqueue(const QByteArray &command);
    // The command to send, or an empty array when nothing waits.
    QByteArray takeHead();

    const QByteArray &slot(int i) const { return entries[i]; }
    bool isEmpty() const;
    // Every waiting place is taken: the next command would take the last one's.
    bool isFull() const;
    // Commands waiting.
    int size() const;

private:
    std::array<QByteArray, kSlots> entries;
};

using RouterQueues = std::array<CommandQueue, kRouterCount + 1>;

// Newest bytes a receive buffer keeps: a router that sends without ever
// ending a line must not grow memory without bound.
constexpr qsizetype kRxBufferLimit = 64 * 1024;

// What the links know of each port number at run time.
struct PortRuntime {
    int ComMissCount = 0;
    bool ComLinkOK = true;
    int NetMissCount = 0;
    int NetConnectTicks = 0;
    // Up, unreported, until the router's silence or a dropped connection
    // says otherwise, as for a comm link.
    bool NetLinkOK = true;
    int NetResendCount = 0;
    QByteArray NetLastSent;
    // What comm port n and network port n received and their language has
    // not taken yet, one buffer each: two routers served on one port number
    // never see each other's bytes.
    QByteArray RxBuffer;
    QByteArray NetRxBuffer;
};

struct PortTable {
    std::array<PortRuntime, kPortCount + 1> ports;
    RouterQueues ComTxQueue;
    RouterQueues NetTxQueue;
};

// Appends received bytes, keeping only the newest kRxBufferLimit.
void appendReceived(QByteArray &buffer, const QByteArray &bytes);

// The port serving a router by the settings as they are (PortMap's rules);
// number 0 when none. Only routers are mapped: another device type has no
// serving port.
RouterPort FindRouterPort(const Settings &settings, int deviceType, int router);
// That port's protocol; 0 when none.
int FindRouterProtocol(const Settings &settings, int deviceType, int router);

} // namespace marlin
