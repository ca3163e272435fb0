#include "network_links.h"

#include "config/convert.h"
#include "config/ini_file.h"
#include "links/tcp_keepalive.h"

#include <QNetworkDatagram>
#include <QTcpSocket>
#include <QUdpSocket>

namespace marlin {

struct NetworkLinks::Channel {
    std::unique_ptr<QAbstractSocket> socket;
    bool udp = false;
    // A TCP error stays visible as the error state until the next pass
    // closes the socket, as the link pass expects.
    bool errorPending = false;
    // The TCP connection was up at the last pass.
    bool wasConnected = false;
    // The local port a UDP socket was bound for (0: any).
    int localPort = 0;
};

namespace {
constexpr int kConnectTickLimit = 60;
} // namespace

namespace {

bool isHostName(const QString &text)
{
    const QString name = text.endsWith(QLatin1Char('.')) ? text.chopped(1) : text;
    if (name.isEmpty() || name.size() > 253)
        return false;
    bool allNumbers = true;
    for (const QString &label : name.split(QLatin1Char('.'))) {
        if (label.isEmpty() || label.size() > 63 || label.startsWith(QLatin1Char('-'))
            || label.endsWith(QLatin1Char('-')))
            return false;
        for (const QChar c : label) {
            if (!(c.isDigit() || (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
                  || (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) || c == QLatin1Char('-'))
                || c.unicode() > 0x7F)
                return false;
        }
        allNumbers = allNumbers && isDigits(label);
    }
    // "10.1.1.300" or "10.1" is a mistyped address, not a name to look up.
    return !allNumbers;
}

} // namespace

bool isIPv4Address(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return false;
    for (const QString &part : parts) {
        if (!isDigits(part) || part.size() > 3 || part.toInt() > 255
            || (part.size() > 1 && part.startsWith(QLatin1Char('0'))))
            return false;
    }
    return true;
}

bool isNetPortAddress(const QString &address, bool udp)
{
    if (isIPv4Address(address))
        return true;
    if (udp)
        return false;
    if (address.contains(QLatin1Char(':')))
        return QHostAddress(address).protocol() == QAbstractSocket::IPv6Protocol;
    return isHostName(address);
}

NetworkLinks::NetworkLinks(const Settings &settings, const RouterTableArray &tables, PortTable &table,
                           LinkEvents &events, Logs &logs, QObject *parent)
    : QObject(parent), settings(settings), tables(tables), table(table), events(events), logs(logs)
{
    for (int n = 1; n <= kPortCount; ++n) {
        timeNetCTS[n].setObjectName(QStringLiteral("timeNetCTS(%1)").arg(n));
        connect(&timeNetCTS[n], &QTimer::timeout, this, [this, n] { onResendTick(n); });
    }
}

NetworkLinks::~NetworkLinks() = default;

void NetworkLinks::setUdpLocalEndpoint(const QHostAddress &address, quint16 port)
{
    udpLocalAddress = address;
    udpLocalPort = port;
}

void NetworkLinks::applyRetryIntervals()
{
    for (int n = 1; n <= kPortCount; ++n)
        timeNetCTS[n].setInterval(std::max<int>(settings.NetPorts[n].NetRetryMS, 0));
}

QAbstractSocket *NetworkLinks::socketFor(int port, bool udp)
{
    auto &ch = channels[port];
    if (!ch)
        ch = std::make_unique<Channel>();
    const qint32 configured = settings.NetPorts[port].NetLocalPort;
    const int localPort = configured >= 1 && configured <= kHighestPort ? configured : 0;
    if (ch->socket && ch->udp == udp && (!udp || ch->localPort == localPort))
        return ch->socket.get();

    // The transport or the local UDP port of a port changed (or it is first
    // used): a new socket.
    ch->socket.reset();
    ch->udp = udp;
    ch->localPort = localPort;
    ch->errorPending = false;
    if (udp) {
        auto *s = new QUdpSocket;
        if (!s->bind(udpLocalAddress, localPort > 0 ? quint16(localPort) : udpLocalPort)) {
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
    connect(s, &QAbstractSocket::readyRead, this, [this, port] { onData(port); });
    connect(s, &QAbstractSocket::errorOccurred, this, [this, port](QAbstractSocket::SocketError) {
        if (channels[port] && !channels[port]->udp)
            channels[port]->errorPending = true;
    });
    return s;
}

qintptr NetworkLinks::socketDescriptor(int port) const
{
    return isPortNumber(port) && channels[port] && channels[port]->socket ? channels[port]->socket->socketDescriptor()
                                                                           : -1;
}

NetSocketState NetworkLinks::socketState(int port) const
{
    if (!isPortNumber(port) || !channels[port] || !channels[port]->socket || channels[port]->udp)
        return NetSocketState::Closed;
    if (channels[port]->errorPending)
        return NetSocketState::Error;
    switch (channels[port]->socket->state()) {
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

NetworkLinks::PassResult NetworkLinks::pass(int n, const QString &host)
{
    const NetPortSettings &cfg = settings.NetPorts[n];
    PortRuntime &rt = table.ports[n];
    PassResult result;
    if (cfg.NetPortType != 0) {
        result.opened = !channels[n] || !channels[n]->socket || !channels[n]->udp;
        socketFor(n, true);
        send(n);
        return result;
    }

    auto *socket = static_cast<QTcpSocket *>(socketFor(n, false));
    Channel &ch = *channels[n];
    ++rt.NetConnectTicks;
    const NetSocketState state = socketState(n);
    if (state == NetSocketState::Connected) {
        result.opened = !ch.wasConnected;
        ch.wasConnected = true;
    } else if (ch.wasConnected) {
        result.dropped = true;
        ch.wasConnected = false;
    }
    switch (state) {
    case NetSocketState::Closed:
        socket->abort();
        ch.errorPending = false;
        socket->connectToHost(host, quint16(cfg.NetPort));
        rt.NetConnectTicks = 0;
        break;
    case NetSocketState::Connected:
        send(n);
        rt.NetConnectTicks = 0;
        break;
    case NetSocketState::Closing:
    case NetSocketState::Error:
        socket->abort();
        ch.errorPending = false;
        break;
    default:
        break;
    }
    if (rt.NetConnectTicks >= kConnectTickLimit) {
        rt.NetConnectTicks = 0;
        socket->abort();
        ch.errorPending = false;
    }
    return result;
}

void NetworkLinks::closeAll()
{
    for (int n = 1; n <= kPortCount; ++n) {
        timeNetCTS[n].stop();
        if (channels[n] && channels[n]->socket)
            channels[n]->socket->abort();
        channels[n].reset();
    }
}

void NetworkLinks::write(int n, const QByteArray &bytes)
{
    if (!channels[n] || !channels[n]->socket)
        return;
    const NetPortSettings &cfg = settings.NetPorts[n];
    if (channels[n]->udp) {
        const QHostAddress address(trimSpaces(cfg.NetIPAddress));
        if (!address.isNull() && cfg.NetPort >= 1 && cfg.NetPort <= kHighestPort) {
            events.commandSent(n, true, bytes);
            static_cast<QUdpSocket *>(channels[n]->socket.get())->writeDatagram(bytes, address, quint16(cfg.NetPort));
        }
    } else if (socketState(n) == NetSocketState::Connected) {
        events.commandSent(n, true, bytes);
        channels[n]->socket->write(bytes);
    }
}

void NetworkLinks::send(int n)
{
    const NetPortSettings &cfg = settings.NetPorts[n];
    if (cfg.NetDeviceType != kDeviceRouter || !isRouterNumber(cfg.NetIDNumber))
        return;
    const QByteArray command = table.NetTxQueue[cfg.NetIDNumber].takeHead();
    if (command.isEmpty())
        return;
    write(n, command);
    PortRuntime &rt = table.ports[n];
    rt.NetLastSent = command;
    rt.NetResendCount = 4;
    timeNetCTS[n].stop();
    // An interval of 0 or less means no re-sends, as a stopped timer would.
    if (timeNetCTS[n].interval() > 0)
        timeNetCTS[n].start();
}

void NetworkLinks::onResendTick(int n)
{
    PortRuntime &rt = table.ports[n];
    if (rt.NetResendCount == 0) {
        timeNetCTS[n].stop();
        return;
    }
    --rt.NetResendCount;
    write(n, rt.NetLastSent);
}

void NetworkLinks::onData(int n)
{
    if (!channels[n] || !channels[n]->socket)
        return;
    QByteArray bytes;
    if (channels[n]->udp) {
        // Anyone can send a datagram to the port; only the router's count.
        // The router is known by its address alone: a router may answer
        // from another port than the one its commands go to.
        auto *udp = static_cast<QUdpSocket *>(channels[n]->socket.get());
        const QHostAddress router(trimSpaces(settings.NetPorts[n].NetIPAddress));
        bool fromRouter = false;
        while (udp->hasPendingDatagrams()) {
            const QNetworkDatagram datagram = udp->receiveDatagram();
            if (!router.isNull() && datagram.senderAddress().isEqual(router, QHostAddress::ConvertV4MappedToIPv4)) {
                fromRouter = true;
                bytes += datagram.data();
            } else {
                refuse(n, router, datagram);
            }
        }
        if (!fromRouter)
            return;
    } else {
        bytes = channels[n]->socket->readAll();
    }
    // Any word from the router ends the re-sends.
    table.ports[n].NetResendCount = 0;
    timeNetCTS[n].stop();

    const NetPortSettings &cfg = settings.NetPorts[n];
    if (cfg.NetDeviceType != kDeviceRouter || !isRouterProtocol(cfg.NetProtocol))
        return;
    events.bytesReceived(n, true, bytes);
}

void NetworkLinks::refuse(int n, const QHostAddress &router, const QNetworkDatagram &datagram)
{
    ++refusedCount;
    ++refusedUnreported;
    if (refusalReported.isValid() && refusalReported.elapsed() < kRefusalReportMs)
        return;
    refusalReported.start();
    logs.WriteErrorLog(QStringLiteral("Network port") + Str(n) + QStringLiteral(": a datagram from ")
                       + datagram.senderAddress().toString() + QStringLiteral(" port ")
                       + QString::number(datagram.senderPort()) + QStringLiteral(" was refused: not the router's address (")
                       + (router.isNull() ? QStringLiteral("none") : router.toString())
                       + QStringLiteral("). Datagrams refused since the last report: ")
                       + QString::number(refusedUnreported) + QLatin1Char('.'));
    refusedUnreported = 0;
}

} // namespace marlin
