#include "port_settings.h"

#include "core/settings_check.h"

#include "config/convert.h"
#include "config/ini_file.h"
#include "core/console_actions.h"
#include "core/server.h"
#include "links/comm_settings.h"
#include "links/network_links.h"

#include <QFileInfo>
#include <QSerialPort>

namespace marlin {

namespace {

template <typename Port, typename Enabled, typename Key>
PortPair findDuplicate(const std::array<Port, kPortCount + 1> &ports, Enabled enabled, Key key)
{
    for (int i = 1; i <= kPortCount; ++i) {
        if (!enabled(ports[i]))
            continue;
        for (int j = 1; j <= kPortCount; ++j) {
            if (j != i && enabled(ports[j]) && key(ports[i]) == key(ports[j]))
                return {i, j};
        }
    }
    return {};
}

const QString kNothingSaved = QStringLiteral("  No settings have been saved.");
const QString kAddressField = QStringLiteral("\"Device IP Address\"");
const QString kPortField = QStringLiteral("\"Device Port #\"");
const QString kLocalPortField = QStringLiteral("\"Local UDP Port #\"");

QString deviceName(int port) { return QStringLiteral("Device %1").arg(port); }

// The local UDP port as typed: empty is 0 (any free port). Checked when the
// port is enabled or the text differs from what is stored.
QString localPortRefusal(int port, const NetPortSettings &stored, const NetPortSettings &edited, const QString &typed,
                         qint32 *value)
{
    const QString text = trimSpaces(typed);
    *value = stored.NetLocalPort;
    if (!edited.NetEnabled && text == QString::number(stored.NetLocalPort))
        return {};
    const qint32 number = text.isEmpty() ? 0 : (isDigits(text) && text.size() <= 5 ? text.toInt() : -1);
    if (number < 0 || number > 65535)
        return deviceName(port) + QStringLiteral(": the ") + kLocalPortField + QStringLiteral(" \"") + text
               + QStringLiteral("\" is not a port number.  Enter 0 for any free port, or a number from 1 to 65535.")
               + kNothingSaved;
    *value = number;
    return {};
}

// The comm links start again from "up" with a clean count of silent
// checks: a link reported lost before is reported lost again only after
// ten more of them, not at the first check after the apply. The routers
// they serve are marked up with them: a router left down beside a link
// marked up would stay in "Problem Routers" after it answers again, since
// its link would never change to report it restored.
PortSettingsOutcome notWritten(const QString &reason) { return {PortSettingsOutcome::NotWritten, reason, 0}; }
PortSettingsOutcome refused(const QString &text, int port = 0) { return {PortSettingsOutcome::Refused, text, port}; }

} // namespace

void Server::markComLinksUpAfresh()
{
    links.markComLinksUp();
    for (int r = 1; r <= kRouterCount; ++r) {
        if (links.portMap().isServed(r, false))
            RouterStates[r].CommOK = true;
    }
    RefreshProblemRouters();
}

void Server::reopenComPorts()
{
    StartupError.clear();
    const QStringList failures = links.OpenCommPorts();
    for (const QString &failure : failures)
        WriteErrorLog(failure);
    if (!failures.isEmpty()) {
        StartupError = failures.last();
        raiseStartupError();
    }
    RefreshRouterView();
}

PortPair FindDuplicateComID(const ComPortTable &ports)
{
    return findDuplicate(
        ports, [](const ComPortSettings &p) { return p.ComEnable; },
        [](const ComPortSettings &p) { return std::pair(p.ComDeviceType, p.ComIDNumber); });
}

PortPair FindDuplicateNetID(const NetPortTable &ports)
{
    return findDuplicate(
        ports, [](const NetPortSettings &p) { return p.NetEnabled; },
        [](const NetPortSettings &p) { return std::pair(p.NetDeviceType, p.NetIDNumber); });
}

QString duplicateIdText(int first, int second)
{
    return QStringLiteral("Com port") + Str(first) + QStringLiteral(" and com port") + Str(second)
           + QStringLiteral(" have the same ID#.  ID numbers must be unique for each equipment type.");
}

ComDevice comDevice(const Server &server, int port)
{
    ComDevice device;
    device.path = server.comDevicePath(port);
    device.exists = QFileInfo::exists(device.path);
    return device;
}

namespace {
QString lineSettingsText(const ComPortSettings &p)
{
    return BuildCommSettings(p.ComBaudRate, p.ComDataBits, p.ComParity, p.ComStopBits);
}
} // namespace

int FindUnusableLineSettings(const ComPortTable &stored, const ComPortTable &edited)
{
    for (int n = 1; n <= kPortCount; ++n) {
        const QString line = lineSettingsText(edited[n]);
        if ((edited[n].ComEnable || line != lineSettingsText(stored[n])) && !parseCommSettings(line))
            return n;
    }
    return 0;
}

QString unusableLineSettingsText(int port, const ComPortSettings &settings)
{
    return QStringLiteral("Com port") + Str(port) + QStringLiteral(" cannot use the communication settings ")
           + lineSettingsText(settings)
           + (settings.ComStopBits == 2 ? QStringLiteral(": a serial line here has no 1.5 stop bits.")
                                        : QStringLiteral(": a serial line here cannot take them."))
           + QStringLiteral("  Please check your settings.") + kNothingSaved;
}

int TestOpenComPorts(const Server &server, const ComPortTable &ports)
{
    for (int n = 1; n <= kPortCount; ++n) {
        const ComPortSettings &cfg = ports[n];
        if (!cfg.ComEnable || server.isComOpen(n))
            continue;
        QSerialPort serial(server.comDevicePath(n));
        // Settings a line cannot take were refused before the test-open;
        // here the device is in question.
        if (const auto line = parseCommSettings(
                BuildCommSettings(cfg.ComBaudRate, cfg.ComDataBits, cfg.ComParity, cfg.ComStopBits))) {
            serial.setBaudRate(line->baudRate);
            serial.setParity(line->parity);
            serial.setDataBits(line->dataBits);
            serial.setStopBits(line->stopBits);
        }
        if (!serial.open(QIODevice::ReadWrite))
            return n;
        serial.close();
    }
    return 0;
}

QString testOpenFailureText(int port)
{
    return QStringLiteral("Com port") + Str(port)
           + QStringLiteral(" is not working correctly or is not available.  Please check your settings.  No settings "
                            "have been saved.");
}

NetPortEdits netPortEdits(const Settings &settings)
{
    NetPortEdits edits;
    edits.ports = settings.NetPorts;
    for (int n = 1; n <= kPortCount; ++n) {
        edits.portText[n] = QString::number(settings.NetPorts[n].NetPort);
        edits.localPortText[n] = QString::number(settings.NetPorts[n].NetLocalPort);
    }
    return edits;
}

QString netPortFieldRefusal(int port, const NetPortSettings &stored, const NetPortSettings &edited,
                            const QString &portText, qint32 *value)
{
    const bool enabled = edited.NetEnabled;
    const QString address = trimSpaces(edited.NetIPAddress);
    if (enabled || address != trimSpaces(stored.NetIPAddress)) {
        const bool udp = edited.NetPortType != 0;
        if (address.isEmpty() && enabled)
            return deviceName(port) + QStringLiteral(" is enabled but has no ") + kAddressField
                   + QStringLiteral(".  Enter the IP address of the device to control.") + kNothingSaved;
        if (!address.isEmpty() && !isNetPortAddress(address, udp))
            return deviceName(port) + QStringLiteral(": the ") + kAddressField + QStringLiteral(" \"") + address
                   + (udp ? QStringLiteral("\" is not an IP address.  A UDP device needs four numbers from 0 to 255 "
                                           "separated by dots, such as 192.168.1.20.")
                          : QStringLiteral("\" is not an IP address or host name.  Enter four numbers from 0 to 255 "
                                           "separated by dots, such as 192.168.1.20, or a name such as "
                                           "router-1.studio.example."))
                   + kNothingSaved;
    }

    const QString text = trimSpaces(portText);
    qint32 number = stored.NetPort;
    if (enabled || text != QString::number(stored.NetPort)) {
        number = text.isEmpty() ? 0 : (isDigits(text) && text.size() <= 5 ? text.toInt() : -1);
        if (number == 0 && enabled)
            return deviceName(port) + QStringLiteral(" is enabled but has no ") + kPortField
                   + QStringLiteral(".  Enter a number from 1 to 65535.") + kNothingSaved;
        if (number < 0 || number > 65535)
            return deviceName(port) + QStringLiteral(": the ") + kPortField + QStringLiteral(" \"") + text
                   + QStringLiteral("\" is not a port number.  Enter a number from 1 to 65535.") + kNothingSaved;
    }
    if (value)
        *value = number;
    return {};
}

namespace {
// The first value the edit would make unusable, by the one settings check
// --check-config uses, as the refusal the windows show; empty when the edit
// adds no problem. What the file held wrong before is not the edit's doing
// and does not stop it.
QString newSettingsProblem(const Settings &stored, const Settings &edited)
{
    QStringList before;
    for (const SettingsProblem &problem : CheckSettingsValues(stored))
        before.append(problem.message());
    for (const SettingsProblem &problem : CheckSettingsValues(edited)) {
        if (problem.kind == SettingsProblem::Kind::Refusal && !before.contains(problem.message()))
            return QStringLiteral("These settings cannot be used: ") + problem.message() + QLatin1Char('.')
                   + kNothingSaved;
    }
    return {};
}
} // namespace

PortSettingsOutcome Server::apply(const ComPortsEdit &edit)
{
    const ComPortTable &edited = edit.ports;
    for (int n = 1; n <= kPortCount; ++n) {
        if (const QString r = ansiRefusal(QStringLiteral("Com port %1: the description").arg(n), edited[n].ComDescription);
            !r.isEmpty())
            return refused(r, n);
    }
    if (const PortPair pair = FindDuplicateComID(edited))
        return refused(duplicateIdText(pair.first, pair.second));
    // Open ports too: their re-open after the save would fail.
    if (const int port = FindUnusableLineSettings(settings.ComPorts, edited))
        return refused(unusableLineSettingsText(port, edited[port]), port);
    Settings next = settings;
    next.ComPorts = edited;
    if (const QString r = newSettingsProblem(settings, next); !r.isEmpty())
        return refused(r);
    if (const int port = TestOpenComPorts(*this, edited))
        return refused(testOpenFailureText(port));

    QString error;
    if (!apply(SettingsEdit{next}, &error))
        return notWritten(error);
    reopenComPorts();
    markComLinksUpAfresh();
    return {};
}

PortSettingsOutcome Server::apply(const NetPortsEdit &edit)
{
    const NetPortEdits &edited = edit.ports;
    for (int n = 1; n <= kPortCount; ++n) {
        const NetPortSettings &p = edited.ports[n];
        const std::pair<const char *, QString> fields[] = {
            {"description", p.NetDescription}, {"user name", p.NetUser}, {"password", p.NetPassword}};
        for (const auto &[field, text] : fields) {
            if (const QString r = ansiRefusal(deviceName(n) + QStringLiteral(": the ") + QLatin1String(field), text);
                !r.isEmpty())
                return refused(r, n);
        }
    }
    if (const PortPair pair = FindDuplicateNetID(edited.ports))
        return refused(duplicateIdText(pair.first, pair.second));

    Settings next = settings;
    for (int n = 1; n <= kPortCount; ++n) {
        NetPortSettings port = edited.ports[n];
        const QString refusal =
            netPortFieldRefusal(n, settings.NetPorts[n], port, edited.portText[n], &port.NetPort);
        if (!refusal.isEmpty())
            return refused(refusal, n);
        if (const QString r = localPortRefusal(n, settings.NetPorts[n], port, edited.localPortText[n],
                                               &port.NetLocalPort);
            !r.isEmpty())
            return refused(r, n);
        // Two enabled UDP ports on one local port: only one would receive.
        for (int m = 1; m < n; ++m) {
            const NetPortSettings &other = next.NetPorts[m];
            if (port.NetEnabled && port.NetPortType != 0 && port.NetLocalPort > 0 && other.NetEnabled
                && other.NetPortType != 0 && other.NetLocalPort == port.NetLocalPort)
                return refused(deviceName(m) + QStringLiteral(" and ") + deviceName(n) + QStringLiteral(" both use ")
                                   + kLocalPortField + QStringLiteral(" ") + QString::number(port.NetLocalPort)
                                   + QStringLiteral(": only one of them could receive.") + kNothingSaved,
                               n);
        }
        // Not edited here: the re-send interval stays as the file has it.
        port.NetRetryMS = settings.NetPorts[n].NetRetryMS;
        next.NetPorts[n] = port;
    }
    if (const QString r = newSettingsProblem(settings, next); !r.isEmpty())
        return refused(r);
    QString error;
    if (!apply(SettingsEdit{next}, &error))
        return notWritten(error);
    reopenComPorts();
    markComLinksUpAfresh();
    // Every router up, and the network links with them: a link still down
    // is then reported lost again by the next check instead of leaving
    // its router marked up for good.
    links.markNetLinksUp();
    for (int r = 1; r <= kRouterCount; ++r)
        RouterStates[r].CommOK = true;
    RefreshProblemRouters();
    return {};
}

} // namespace marlin
