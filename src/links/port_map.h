#pragma once

#include "config/settings.h"
#include "links/device_language.h"
#include "router/router_table.h"

#include <QList>
#include <QString>
#include <array>

namespace marlin {

// Device type of a port that serves a router; ports of any other type are
// opened or connected but otherwise left alone.
constexpr int kDeviceRouter = 1;

// A port that serves a router: its kind and number, its Protocol number
// and, for a network port, the address it reaches the router at.
struct RouterPort {
    int number = 0;
    bool isNetwork = false;
    int protocol = ProtocolNone;
    QString address{};
};

// An enabled port that no router can use, and why (for the logs and the
// settings check).
struct UnusablePort {
    int number = 0;
    bool isNetwork = false;
    QString why;
};

// Which port serves which router, decided once from the settings and asked
// by everything that sends to a router or supervises its link.
//
// A port serves router r when it is enabled, its device type is a router
// and its ID number is r (1..96). Its Protocol does not decide whether it
// serves: a port without a language still takes the router's takes (as
// take strings). Of the ports serving one router, the one its takes are
// built for and that the faces show is the first: the lowest port number,
// and at one number the comm port before the network port. Every port
// serving the router still sends from the router's queue of its kind.
class PortMap {
public:
    PortMap() = default;
    explicit PortMap(const Settings &settings);

    // The first port serving a router; number 0 when none does or the
    // number is no router's.
    RouterPort servingPort(int router) const;
    // Every port of one kind serving a router, lowest number first.
    const QList<int> &ports(int router, bool isNetwork) const;
    bool isServed(int router, bool isNetwork) const { return !ports(router, isNetwork).isEmpty(); }
    // The router a port serves, 0 when it serves none.
    int routerOf(int port, bool isNetwork) const;
    // The language a serving port speaks, nullptr when it serves no router
    // or its Protocol names no language allowed on its kind of port.
    const DeviceLanguage *languageOf(int port, bool isNetwork) const;
    // Enabled ports that no router can use, comm ports first, each kind in
    // port order.
    const QList<UnusablePort> &unusablePorts() const { return unusable; }

private:
    struct Served {
        RouterPort first;
        QList<int> com;
        QList<int> net;
    };
    std::array<Served, kRouterCount + 1> routers;
    std::array<int, kPortCount + 1> comRouter{};
    std::array<int, kPortCount + 1> netRouter{};
    std::array<const DeviceLanguage *, kPortCount + 1> comLanguage{};
    std::array<const DeviceLanguage *, kPortCount + 1> netLanguage{};
    QList<UnusablePort> unusable;
};

} // namespace marlin
