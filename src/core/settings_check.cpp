#include "settings_check.h"

#include "clients/client_server.h"
#include "config/convert.h"
#include "links/device_language.h"
#include "links/network_links.h"
#include "links/port_table.h"

#include <cmath>

namespace marlin {

namespace {

constexpr int kBaudCodes = 13;    // the baud list of the Communication Settings window
constexpr int kDataBitCodes = 4;
constexpr int kStopBitCodes = 3;
constexpr int kParityCodes = 3;

class Problems {
public:
    void refuse(const QString &section, const QString &key, const QString &text)
    {
        list.append({SettingsProblem::Kind::Refusal, section, key, text});
    }
    void warn(const QString &section, const QString &key, const QString &text)
    {
        list.append({SettingsProblem::Kind::Warning, section, key, text});
    }
    // A code of a list: 1..count.
    void code(const QString &section, const QString &key, int value, int count, const QString &what)
    {
        if (value < 1 || value > count)
            refuse(section, key, QStringLiteral("%1 is not a %2 code (1 to %3)").arg(value).arg(what).arg(count));
    }

    QList<SettingsProblem> list;
};

QString comSection(int n) { return QStringLiteral("Com_Port_%1").arg(n); }
QString netSection(int n) { return QStringLiteral("Net_Port_%1").arg(n); }

// The port, as its section, that serves a router first: the lowest port
// number, a comm port before the network port of the same number.
QString sectionOf(const RouterPort &port)
{
    return port.isNetwork ? netSection(port.number) : comSection(port.number);
}

// What every enabled port shares: it serves a router (device type 1) with
// a number 1..96 in a language the server speaks, and no port before it
// serves the same router.
void checkServedRouter(Problems &out, const Settings &settings, const QString &section, int deviceType, int router,
                       int protocol, const RouterPort &self)
{
    if (deviceType != kDeviceRouter) {
        out.warn(section, QStringLiteral("Device_Type"),
                 QStringLiteral("%1 is not a router (1): the port serves no router").arg(deviceType));
        return;
    }
    if (!isRouterNumber(router))
        out.refuse(section, QStringLiteral("ID_Number"),
                   QStringLiteral("%1 is not a router number (1 to %2); the port serves no router")
                       .arg(router)
                       .arg(kRouterCount));
    if (!isRouterProtocol(protocol))
        out.refuse(section, QStringLiteral("Protocol"),
                   QStringLiteral("%1 is not a router language (%2); nothing is sent on the port")
                       .arg(protocol)
                       .arg(LanguageList()));
    if (!isRouterNumber(router))
        return;
    const RouterPort first = FindRouterPort(settings, kDeviceRouter, router);
    if (first.number != 0 && (first.number != self.number || first.isNetwork != self.isNetwork))
        out.refuse(section, QStringLiteral("ID_Number"),
                   QStringLiteral("router %1 is served by [%2] already, which its takes and polls go to")
                       .arg(router)
                       .arg(sectionOf(first)));
}

} // namespace

QString SettingsProblem::message() const
{
    const QString where = key.isEmpty() ? QStringLiteral("[%1]").arg(section)
                                        : QStringLiteral("[%1] %2").arg(section, key);
    return where + QStringLiteral(": ") + text + (kind == Kind::Warning ? QStringLiteral(" (warning)") : QString());
}

QList<SettingsProblem> CheckSettingsValues(const Settings &settings)
{
    Problems out;
    const QString network = QStringLiteral("Network_Settings");
    for (int k = 1; k <= kCardCount; ++k) {
        const CardEndpoint endpoint = cardEndpoint(settings, k);
        if (!endpoint.used)
            continue;
        const QString port = trimSpaces(settings.Cards[k].CardTCPPort);
        const QString portKey = QStringLiteral("Network_Card_%1_TCP_Port").arg(k);
        if (endpoint.problem == QLatin1String("not a port number"))
            out.refuse(network, portKey,
                       QStringLiteral("\"%1\" is not a port number (0 to 65535); the card does not listen").arg(port));
        else if (!endpoint.problem.isEmpty())
            out.refuse(network, QStringLiteral("Network_Card_%1_IP_Address").arg(k),
                       QStringLiteral("\"%1\" is %2; the card does not listen")
                           .arg(trimSpaces(settings.Cards[k].CardIPAddress), endpoint.problem));
    }
    for (const QString &problem : ParseAllowedNetworks(settings.Panels.PanelAllowedNetworks).problems)
        out.refuse(network, QStringLiteral("Panel_Allowed_Networks"), problem);
    if (settings.Panels.PanelConnectionsPerAddress < 1)
        out.refuse(network, QStringLiteral("Panel_Connections_Per_Address"),
                   QStringLiteral("%1 is below 1: no panel can connect").arg(settings.Panels.PanelConnectionsPerAddress));

    for (int n = 1; n <= kPortCount; ++n) {
        const ComPortSettings &p = settings.ComPorts[n];
        if (!p.ComEnable)
            continue;
        const QString s = comSection(n);
        checkServedRouter(out, settings, s, p.ComDeviceType, p.ComIDNumber, p.ComProtocol, RouterPort{n, false});
        out.code(s, QStringLiteral("Baud_Rate"), p.ComBaudRate, kBaudCodes, QStringLiteral("baud rate"));
        out.code(s, QStringLiteral("Data_Bits"), p.ComDataBits, kDataBitCodes, QStringLiteral("data bits"));
        out.code(s, QStringLiteral("Stop_Bits"), p.ComStopBits, kStopBitCodes, QStringLiteral("stop bits"));
        out.code(s, QStringLiteral("Parity"), p.ComParity, kParityCodes, QStringLiteral("parity"));
    }
    for (int n = 1; n <= kPortCount; ++n) {
        const NetPortSettings &p = settings.NetPorts[n];
        if (!p.NetEnabled)
            continue;
        const QString s = netSection(n);
        const bool udp = p.NetPortType != 0;
        checkServedRouter(out, settings, s, p.NetDeviceType, p.NetIDNumber, p.NetProtocol, RouterPort{n, true});
        const QString host = trimSpaces(p.NetIPAddress);
        if (host.isEmpty())
            out.refuse(s, QStringLiteral("Network_IP_Address"), QStringLiteral("no address; the port is not used"));
        else if (!isNetPortAddress(host, udp))
            out.refuse(s, QStringLiteral("Network_IP_Address"),
                       QStringLiteral("\"%1\" is not %2; the port is not used")
                           .arg(host, udp ? QStringLiteral("an IP address (UDP sends to an address only)")
                                          : QStringLiteral("an IP address or host name")));
        if (p.NetPort < 1 || p.NetPort > NetworkLinks::kHighestPort)
            out.refuse(s, QStringLiteral("Network_Port"),
                       QStringLiteral("%1 is not a port number (1 to 65535); the port is not used").arg(p.NetPort));
        if (!udp)
            continue;
        if (p.NetLocalPort < 0 || p.NetLocalPort > NetworkLinks::kHighestPort)
            out.refuse(s, QStringLiteral("Network_Local_Port"),
                       QStringLiteral("%1 is not a port number (0 to 65535); any free port is used").arg(p.NetLocalPort));
        for (int m = 1; m < n && p.NetLocalPort > 0; ++m) {
            const NetPortSettings &q = settings.NetPorts[m];
            if (q.NetEnabled && q.NetPortType != 0 && q.NetLocalPort == p.NetLocalPort)
                out.refuse(s, QStringLiteral("Network_Local_Port"),
                           QStringLiteral("local UDP port %1 is [%2]'s already; only one of them can receive")
                               .arg(p.NetLocalPort)
                               .arg(netSection(m)));
        }
    }

    const QString general = QStringLiteral("General_Settings");
    for (int c = 1; c <= kColorCount; ++c) {
        const double value = settings.Colors[c];
        if (!std::isfinite(value) || value < 0 || value > 16777215.0)
            out.warn(general, QStringLiteral("Color_%1").arg(c),
                     QStringLiteral("%1 is not a colour (0 to 16777215); it shows black").arg(value));
    }
    const WebSettings &web = settings.Web;
    if (web.WebEnabled) {
        const QString problem = WebEndpointProblem(web);
        if (!problem.isEmpty())
            out.refuse(QStringLiteral("Web_Settings"),
                       problem.startsWith(QLatin1String("port")) ? QStringLiteral("Web_TCP_Port")
                                                                 : QStringLiteral("Web_IP_Address"),
                       problem + QStringLiteral("; the web face does not listen"));
    }
    return out.list;
}

QList<SettingsProblem> CheckSettingsNames(const IniDocument &doc)
{
    Problems out;
    const QHash<QString, QSet<QString>> &known = SettingsKeyNames();
    for (const IniDocument::Outline &section : doc.outline()) {
        const auto keys = known.constFind(section.section.toLower());
        if (keys == known.constEnd()) {
            out.warn(section.section, {}, QStringLiteral("not a section the server reads; its keys are ignored"));
            continue;
        }
        for (const QString &key : section.keys) {
            if (!keys->contains(key.toLower()))
                out.warn(section.section, key, QStringLiteral("not a key the server reads; it is ignored"));
        }
    }
    return out.list;
}

} // namespace marlin
