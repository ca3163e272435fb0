// Network ports: TCP links the server connects to and UDP links it sends
// datagrams to, checked, sent to and re-sent to once a second.
#include "router_links.h"

#include "config/convert.h"
#include "config/ini_file.h"
#include "links/link_channels.h"
#include "links/tcp_keepalive.h"

#include <QHostAddress>
#include <QNetworkDatagram>
#include <QTcpSocket>
#include <QUdpSocket>

namespace marlin {


namespace {
constexpr int kConnectTickLimit = 60;
constexpr int kNetMissLimit = 30;
constexpr qint32 kHighestPort = 65535;
constexpr int kSilentReportSeconds = 60;
} // namespace

void RouterLinks::settingsLoaded() { portRangeLogged.reset(); }

void RouterLinks::setUdpLocalEndpoint(const QHostAddress &address, quint16 port)
{
    udpLocalAddress = address;
    udpLocalPort = port;
}

void RouterLinks::applyNetRetryIntervals()
{
    for (int n = 1; n <= kPortCount; ++n)
        timeNetCTS[n].setInterval(std::max<int>(settings.NetPorts[n].NetRetryMS, 0));
}

QAbstractSocket *RouterLinks::netSocket(int port, bool udp)
{
    auto &ch = net[port];
    if (!ch)
        ch = std::make_unique<NetChannel>();
    if (ch->socket && ch->udp == udp)
        return ch->socket.get();

    // The transport of a port changed (or it is first used): a new socket.
    ch->socket.reset();
    ch->udp = udp;
    ch->errorPending = false;
    if (udp) {
        auto *s = new QUdpSocket;
        if (!s->bind(udpLocalAddress, udpLocalPort)) {
            logs.WriteErrorLog(QStringLiteral("Network port") + Str(port)
                               + QStringLiteral(": the UDP socket could not be bound (") + s->errorString()
                               + QStringLiteral(")."));
        }
        ch->socket.reset(s);
    } else {
        auto *s = new QTcpSocket;
        // A router that lost power shows up as closed within about a
        // minute, and the link is reported lost as for any closed one.
        connect(s, &QTcpSocket::connected, this, [s] { EnableDeadPeerDetection(s->socketDescriptor()); });
        ch->socket.reset(s);
    }
    QAbstractSocket *s = ch->socket.get();
    connect(s, &QAbstractSocket::readyRead, this, [this, port] { onNetData(port); });
    connect(s, &QAbstractSocket::errorOccurred, this, [this, port](QAbstractSocket::SocketError) {
        if (net[port] && !net[port]->udp)
            net[port]->errorPending = true;
    });
    return s;
}

qintptr RouterLinks::netSocketDescriptor(int port) const
{
    return isPortNumber(port) && net[port] && net[port]->socket ? net[port]->socket->socketDescriptor() : -1;
}

NetSocketState RouterLinks::netSocketState(int port) const
{
    if (!isPortNumber(port) || !net[port] || !net[port]->socket || net[port]->udp)
        return NetSocketState::Closed;
    if (net[port]->errorPending)
        return NetSocketState::Error;
    switch (net[port]->socket->state()) {
    case QAbstractSocket::UnconnectedState: return NetSocketState::Closed;
    case QAbstractSocket::HostLookupState: return NetSocketState::ResolvingHost;
    case QAbstractSocket::ConnectingState: return NetSocketState::Connecting;
    case QAbstractSocket::ConnectedState: return NetSocketState::Connected;
    case QAbstractSocket::BoundState: return NetSocketState::Open;
    case QAbstractSocket::ListeningState: return NetSocketState::Listening;
    case QAbstractSocket::ClosingState: return NetSocketState::Closing;
    }
    return NetSocketState::Closed;
}

bool RouterLinks::CheckNetLink(int n)
{
    PortRuntime &rt = table.ports[n];
    const NetPortSettings &cfg = settings.NetPorts[n];
    rt.NetMissCount = std::min(rt.NetMissCount, kNetMissLimit);
    const bool ok = rt.NetMissCount < kNetMissLimit;
    if (rt.NetMissCount > 3 && cfg.NetDeviceType == kDeviceRouter && isRouterNumber(cfg.NetIDNumber)
        && (cfg.NetProtocol == ProtocolLeitch || cfg.NetProtocol == ProtocolImageVideo))
        QueueNetCommand(cfg.NetIDNumber, nextPoll(n, true));
    return ok;
}

void RouterLinks::netLinkPass()
{
    for (int n = 1; n <= kPortCount; ++n) {
        const NetPortSettings &cfg = settings.NetPorts[n];
        if (!cfg.NetEnabled)
            continue;
        const QString host = trimSpaces(cfg.NetIPAddress);
        if (host.isEmpty() || cfg.NetPort < 1)
            continue;
        if (cfg.NetPort > kHighestPort) {
            // A larger number would wrap to another port on TCP.
            if (!portRangeLogged.test(std::size_t(n))) {
                portRangeLogged.set(std::size_t(n));
                logs.WriteErrorLog(QStringLiteral("Network port") + Str(n) + QStringLiteral(": Network_Port ")
                                   + QString::number(cfg.NetPort)
                                   + QStringLiteral(" is not a port number (1 to 65535); the port is not used."));
            }
            continue;
        }
        PortRuntime &rt = table.ports[n];
        ++rt.NetMissCount;
        const bool verdict = CheckNetLink(n);
        bool link = false;

        if (cfg.NetPortType != 0) {
            netSocket(n, true);
            SendNetQueue(n);
            link = verdict;
        } else {
            auto *socket = static_cast<QTcpSocket *>(netSocket(n, false));
            ++rt.NetConnectTicks;
            switch (netSocketState(n)) {
            case NetSocketState::Closed:
                net[n]->silentSeconds = 0;
                socket->abort();
                net[n]->errorPending = false;
                socket->connectToHost(host, quint16(cfg.NetPort));
                rt.NetConnectTicks = 0;
                break;
            case NetSocketState::Connected:
                link = true;
                SendNetQueue(n);
                rt.NetConnectTicks = 0;
                // Connected is up whatever the router says; a router that
                // says nothing is at least visible in the log.
                if (++net[n]->silentSeconds % kSilentReportSeconds == 0 && isRouterNumber(cfg.NetIDNumber)) {
                    logs.WriteErrorLog(QStringLiteral("Router = ") + tables[cfg.NetIDNumber].Name
                                       + QStringLiteral(" connected but silent for ")
                                       + QString::number(net[n]->silentSeconds) + QStringLiteral(" s"));
                }
                break;
            case NetSocketState::Closing:
            case NetSocketState::Error:
                socket->abort();
                net[n]->errorPending = false;
                break;
            default:
                break;
            }
            if (rt.NetConnectTicks >= kConnectTickLimit) {
                rt.NetConnectTicks = 0;
                socket->abort();
                net[n]->errorPending = false;
            }
        }

        if (link == rt.NetLinkOK)
            continue;
        rt.NetLinkOK = link;
        if (cfg.NetDeviceType == kDeviceRouter && isRouterProtocol(cfg.NetProtocol)) {
            // The router's state follows the silence count even where the
            // report was caused by the connection.
            reportLinkChange(n, true, link, verdict);
        }
    }
}

void RouterLinks::sendOnNetPort(int n, const QByteArray &bytes)
{
    if (!net[n] || !net[n]->socket)
        return;
    const NetPortSettings &cfg = settings.NetPorts[n];
    if (net[n]->udp) {
        const QHostAddress address(trimSpaces(cfg.NetIPAddress));
        if (!address.isNull() && cfg.NetPort >= 1 && cfg.NetPort <= kHighestPort) {
            recordSend(n, true, bytes);
            static_cast<QUdpSocket *>(net[n]->socket.get())->writeDatagram(bytes, address, quint16(cfg.NetPort));
        }
    } else if (netSocketState(n) == NetSocketState::Connected) {
        recordSend(n, true, bytes);
        net[n]->socket->write(bytes);
    }
}

void RouterLinks::SendNetQueue(int n)
{
    const NetPortSettings &cfg = settings.NetPorts[n];
    if (cfg.NetDeviceType != kDeviceRouter || !isRouterNumber(cfg.NetIDNumber))
        return;
    const QByteArray command = table.NetTxQueue[cfg.NetIDNumber].takeHead();
    if (command.isEmpty())
        return;
    sendOnNetPort(n, command);
    PortRuntime &rt = table.ports[n];
    rt.NetLastSent = command;
    rt.NetResendCount = 4;
    timeNetCTS[n].stop();
    // An interval of 0 or less means no re-sends, as a stopped timer would.
    if (timeNetCTS[n].interval() > 0)
        timeNetCTS[n].start();
}

void RouterLinks::onResendTick(int n)
{
    PortRuntime &rt = table.ports[n];
    if (rt.NetResendCount == 0) {
        timeNetCTS[n].stop();
        return;
    }
    --rt.NetResendCount;
    sendOnNetPort(n, rt.NetLastSent);
}

void RouterLinks::onNetData(int n)
{
    if (!net[n] || !net[n]->socket)
        return;
    QByteArray bytes;
    if (net[n]->udp) {
        auto *udp = static_cast<QUdpSocket *>(net[n]->socket.get());
        while (udp->hasPendingDatagrams())
            bytes += udp->receiveDatagram().data();
    } else {
        bytes = net[n]->socket->readAll();
    }
    PortRuntime &rt = table.ports[n];
    rt.NetResendCount = 0;
    net[n]->silentSeconds = 0;
    timeNetCTS[n].stop();

    const NetPortSettings &cfg = settings.NetPorts[n];
    if (cfg.NetDeviceType != kDeviceRouter || !isRouterProtocol(cfg.NetProtocol))
        return;
    appendReceived(rt.RxBuffer, bytes);
    parseReply(n, true);
    rt.NetMissCount = 0;
}

} // namespace marlin
