#include "port_map.h"

#include "config/ini_file.h"

namespace marlin {

namespace {

const QList<int> kNoPorts;

} // namespace

PortMap::PortMap(const Settings &settings)
{
    // The tie-break lives in this order alone: port numbers upwards, and at
    // one number the comm port before the network port.
    for (int n = 1; n <= kPortCount; ++n) {
        for (const bool isNetwork : {false, true}) {
            const ComPortSettings &c = settings.ComPorts[n];
            const NetPortSettings &p = settings.NetPorts[n];
            const bool enabled = isNetwork ? p.NetEnabled : c.ComEnable;
            const int deviceType = isNetwork ? p.NetDeviceType : c.ComDeviceType;
            const int router = isNetwork ? p.NetIDNumber : c.ComIDNumber;
            const int protocol = isNetwork ? p.NetProtocol : c.ComProtocol;
            if (!enabled)
                continue;
            if (deviceType != kDeviceRouter) {
                unusable.append({n, isNetwork, QStringLiteral("device type %1 is not a router").arg(deviceType)});
                continue;
            }
            if (!isRouterNumber(router)) {
                unusable.append({n, isNetwork,
                                 QStringLiteral("ID number %1 names no router table (1 to %2)").arg(router).arg(kRouterCount)});
                continue;
            }
            const DeviceLanguage *language = LanguageFor(protocol, isNetwork);
            if (!language && LanguageFor(protocol))
                unusable.append({n, isNetwork, QStringLiteral("protocol %1 cannot run on a %2 port")
                                                   .arg(protocol)
                                                   .arg(isNetwork ? QStringLiteral("network") : QStringLiteral("comm"))});
            Served &served = routers[router];
            if (served.first.number == 0)
                served.first = {n, isNetwork, protocol, isNetwork ? trimSpaces(p.NetIPAddress) : QString()};
            (isNetwork ? served.net : served.com).append(n);
            (isNetwork ? netRouter : comRouter)[n] = router;
            (isNetwork ? netLanguage : comLanguage)[n] = language;
        }
    }
}

RouterPort PortMap::servingPort(int router) const
{
    return isRouterNumber(router) ? routers[router].first : RouterPort{};
}

const QList<int> &PortMap::ports(int router, bool isNetwork) const
{
    if (!isRouterNumber(router))
        return kNoPorts;
    return isNetwork ? routers[router].net : routers[router].com;
}

int PortMap::routerOf(int port, bool isNetwork) const
{
    if (port < 1 || port > kPortCount)
        return 0;
    return isNetwork ? netRouter[port] : comRouter[port];
}

const DeviceLanguage *PortMap::languageOf(int port, bool isNetwork) const
{
    if (port < 1 || port > kPortCount)
        return nullptr;
    return isNetwork ? netLanguage[port] : comLanguage[port];
}

} // namespace marlin
