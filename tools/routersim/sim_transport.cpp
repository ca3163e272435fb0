#include "sim_transport.h"

#include "pty_transport.h"

#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

namespace {

// A party that never reads must not make the simulator grow without end.
constexpr qint64 maxUnsentBytes = 1 << 20;
// Senders remembered at once; a flood of new ones starts the list afresh.
constexpr int maxPeers = 64;

QString endpoint(const QHostAddress &address, quint16 port)
{
    return QStringLiteral("%1:%2").arg(address.toString()).arg(port);
}

} // namespace

std::unique_ptr<SimTransport> makeTransport(const RouterConfig &config)
{
    switch (config.transport) {
    case TransportKind::Pty: return std::make_unique<PtyTransport>(config.linkPath);
    case TransportKind::Tcp: return std::make_unique<TcpTransport>(config.address, config.port);
    case TransportKind::Udp: return std::make_unique<UdpTransport>(config.address, config.port);
    }
    return nullptr;
}

TcpTransport::TcpTransport(const QHostAddress &address, quint16 port)
    : address(address), port(port)
{
}

TcpTransport::~TcpTransport()
{
    close();
}

bool TcpTransport::open(QString *error)
{
    server = new QTcpServer(this);
    if (!server->listen(address, port)) {
        if (error)
            *error = QStringLiteral("cannot listen on tcp %1: %2")
                         .arg(endpoint(address, port), server->errorString());
        delete server;
        server = nullptr;
        return false;
    }
    connect(server, &QTcpServer::newConnection, this, &TcpTransport::accept);
    return true;
}

void TcpTransport::close()
{
    drop();
    delete server;
    server = nullptr;
}

void TcpTransport::accept()
{
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        const int channel = nextChannel++;
        sockets.insert(channel, socket);
        emit notice(QStringLiteral("connection %1 from %2")
                        .arg(channel)
                        .arg(endpoint(socket->peerAddress(), socket->peerPort())));
        connect(socket, &QTcpSocket::readyRead, this, [this, channel, socket] {
            emit received(channel, socket->readAll());
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, channel] {
            emit notice(QStringLiteral("connection %1 closed").arg(channel));
            forget(channel);
        });
    }
}

void TcpTransport::forget(int channel)
{
    QTcpSocket *socket = sockets.take(channel);
    if (!socket)
        return;
    socket->disconnect(this);
    socket->deleteLater();
    emit channelClosed(channel);
}

void TcpTransport::send(int channel, const QByteArray &bytes)
{
    QTcpSocket *socket = sockets.value(channel);
    if (socket && socket->bytesToWrite() < maxUnsentBytes)
        socket->write(bytes);
}

void TcpTransport::sendAll(const QByteArray &bytes)
{
    for (auto it = sockets.cbegin(); it != sockets.cend(); ++it)
        send(it.key(), bytes);
}

void TcpTransport::drop()
{
    const QList<int> channels = sockets.keys();
    for (const int channel : channels) {
        QTcpSocket *socket = sockets.value(channel);
        socket->disconnect(this);
        socket->abort();
        emit notice(QStringLiteral("connection %1 dropped").arg(channel));
        forget(channel);
    }
}

quint16 TcpTransport::localPort() const
{
    return server ? server->serverPort() : port;
}

QString TcpTransport::where() const
{
    return QStringLiteral("tcp ") + endpoint(address, localPort());
}

UdpTransport::UdpTransport(const QHostAddress &address, quint16 port)
    : address(address), port(port)
{
}

UdpTransport::~UdpTransport()
{
    close();
}

bool UdpTransport::open(QString *error)
{
    socket = new QUdpSocket(this);
    if (!socket->bind(address, port)) {
        if (error)
            *error = QStringLiteral("cannot bind udp %1: %2")
                         .arg(endpoint(address, port), socket->errorString());
        delete socket;
        socket = nullptr;
        return false;
    }
    connect(socket, &QUdpSocket::readyRead, this, &UdpTransport::readDatagrams);
    return true;
}

void UdpTransport::close()
{
    drop();
    delete socket;
    socket = nullptr;
}

void UdpTransport::readDatagrams()
{
    while (socket && socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = socket->receiveDatagram();
        if (!datagram.isValid())
            continue;
        const QHostAddress from = datagram.senderAddress();
        const quint16 fromPort = static_cast<quint16>(datagram.senderPort());
        const QString key = endpoint(from, fromPort);
        int channel = channelOfPeer.value(key);
        if (channel == 0) {
            if (peers.size() >= maxPeers)
                drop();
            channel = nextChannel++;
            peers.insert(channel, Peer{from, fromPort});
            channelOfPeer.insert(key, channel);
            emit notice(QStringLiteral("sender %1 is %2").arg(channel).arg(key));
        }
        emit received(channel, datagram.data());
    }
}

void UdpTransport::send(int channel, const QByteArray &bytes)
{
    const auto it = peers.constFind(channel);
    if (socket && it != peers.cend())
        socket->writeDatagram(bytes, it->address, it->port);
}

void UdpTransport::sendAll(const QByteArray &bytes)
{
    for (auto it = peers.cbegin(); it != peers.cend(); ++it)
        send(it.key(), bytes);
}

void UdpTransport::drop()
{
    const QList<int> channels = peers.keys();
    peers.clear();
    channelOfPeer.clear();
    for (const int channel : channels)
        emit channelClosed(channel);
}

quint16 UdpTransport::localPort() const
{
    return socket ? socket->localPort() : port;
}

QString UdpTransport::where() const
{
    return QStringLiteral("udp ") + endpoint(address, localPort());
}
