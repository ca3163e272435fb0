#include "client_server.h"

#include "config/convert.h"
#include "config/ini_file.h"
#include "links/tcp_keepalive.h"

#include <QHostAddress>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QElapsedTimer>
#include <QTime>

#include <cerrno>
#include <cmath>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace marlin {

struct ClientServer::Slot {
    std::unique_ptr<QTcpSocket> socket;
    RequestFramer framer;
    QTimer quiet;
    // Runs while the connection is not read because its replies pile up
    // unsent; when it fires, the connection is closed.
    QTimer stalled;
    // Taken once at accept: every request names its peer.
    QString peerIp;
    int peerPort = 0;
};

namespace {
QString listenErrorText(const QTcpServer &server)
{
    switch (server.serverError()) {
    case QAbstractSocket::SocketAddressNotAvailableError: return QStringLiteral("address not available");
    case QAbstractSocket::AddressInUseError: return QStringLiteral("address in use");
    case QAbstractSocket::SocketAccessError: return QStringLiteral("permission denied (ports below 1024 need root)");
    default: return server.errorString();
    }
}

// Seconds since local midnight for the request path. The local time is
// looked up at most once a second (each lookup consults the time zone); in
// between, the monotonic clock carries it on.
double secondsSinceMidnight()
{
    static QElapsedTimer since;
    static double base = 0;
    if (!since.isValid() || since.elapsed() >= 1000) {
        base = QTime::currentTime().msecsSinceStartOfDay() / 1000.0;
        since.start();
        return base;
    }
    return std::fmod(base + double(since.elapsed()) / 1000.0, 86400.0);
}

// A reply goes out in one system call when nothing of an earlier one waits;
// only what the kernel did not take is left to the socket's own buffer.
void sendReply(QTcpSocket &socket, const QByteArray &reply)
{
    qsizetype sent = 0;
    if (socket.bytesToWrite() == 0) {
        const ssize_t n = ::send(int(socket.socketDescriptor()), reply.constData(), std::size_t(reply.size()),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        // On failure the socket finds the error itself when it writes.
        if (n > 0)
            sent = qsizetype(n);
    }
    if (sent < reply.size())
        socket.write(reply.constData() + sent, reply.size() - sent);
}
} // namespace

CardEndpoint cardEndpoint(const Settings &settings, int card)
{
    CardEndpoint endpoint;
    const QString address = trimSpaces(settings.Cards[card].CardIPAddress);
    if (address.isEmpty())
        return endpoint;
    endpoint.used = true;
    const auto port = toInt32(Val(settings.Cards[card].CardTCPPort));
    endpoint.address = QHostAddress(address);
    if (!port || *port < 0 || *port > 65535)
        endpoint.problem = QStringLiteral("not a port number");
    else if (endpoint.address.isNull())
        endpoint.problem = QStringLiteral("not an IP address");
    else
        endpoint.port = quint16(*port);
    return endpoint;
}

QString cardBindFailureText(int card)
{
    return QStringLiteral("There is a problem binding the port number for network card #") + Str(card)
           + QStringLiteral(".  Please check the IP address.  Also check the Marlin Server is not already running "
                            "as well as the network cards are connected to the network.");
}

ClientServer::ClientServer(ClientProtocolHost &host, QObject *parent) : QObject(parent), host(host)
{
    timeCPSSocketError.setObjectName(QStringLiteral("timeCPSSocketError"));
    timeCPSSocketError.setInterval(60000);
    connect(&timeCPSSocketError, &QTimer::timeout, this, &ClientServer::SweepClients);
}

ClientServer::~ClientServer() = default;

void ClientServer::start() { timeCPSSocketError.start(); }

QString ClientServer::listen(const Settings &settings, bool onlyMissing)
{
    QString failure;
    for (int k = 1; k <= kCardCount; ++k) {
        const CardEndpoint endpoint = cardEndpoint(settings, k);
        if (!endpoint.used || (onlyMissing && isListening(k)))
            continue;
        if (!wsPS[k])
            wsPS[k] = new QTcpServer(this);
        delete acceptNotifiers[k];
        acceptNotifiers[k] = nullptr;
        wsPS[k]->close();
        listenProblems[k] = endpoint.problem;
        if (!endpoint.problem.isEmpty() || !wsPS[k]->listen(endpoint.address, endpoint.port)) {
            failure = cardBindFailureText(k);
            if (listenProblems[k].isEmpty())
                listenProblems[k] = listenErrorText(*wsPS[k]);
            continue;
        }
        cardPorts[k] = endpoint.port;
        // Connections are taken here rather than by the listener itself: it
        // keeps retrying a listening socket it cannot accept from (out of
        // descriptors) in a busy loop, and says nothing.
        wsPS[k]->pauseAccepting();
        acceptNotifiers[k] = new QSocketNotifier(wsPS[k]->socketDescriptor(), QSocketNotifier::Read, this);
        connect(acceptNotifiers[k], &QSocketNotifier::activated, this, [this, k] { acceptPending(k); });
    }
    return failure;
}

void ClientServer::closeAll()
{
    for (int k = 1; k <= kCardCount; ++k) {
        delete acceptNotifiers[k];
        acceptNotifiers[k] = nullptr;
        if (wsPS[k])
            wsPS[k]->close();
        listenProblems[k].clear();
    }
    for (auto &slot : acceptedSlots) {
        slot->quiet.stop();
        slot->stalled.stop();
        slot->framer.clear();
        if (slot->socket)
            slot->socket->abort();
    }
}

void ClientServer::acceptPending(int card)
{
    const int listener = int(wsPS[card]->socketDescriptor());
    for (;;) {
        const int descriptor = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (descriptor < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            // Out of descriptors or memory: wait until a connection closes or
            // the sweep runs rather than wake again at once.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                acceptNotifiers[card]->setEnabled(false);
            return;
        }
        // Replies are small and each one is awaited: no coalescing delay.
        const int one = 1;
        ::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // A panel that lost power shows up as closed within about a minute.
        EnableDeadPeerDetection(descriptor);
        auto *socket = new QTcpSocket;
        if (!socket->setSocketDescriptor(descriptor)) {
            ::close(descriptor);
            delete socket;
            continue;
        }
        adopt(socket);
    }
}

void ClientServer::resumeAccepting()
{
    for (int k = 1; k <= kCardCount; ++k) {
        if (acceptNotifiers[k] && isListening(k))
            acceptNotifiers[k]->setEnabled(true);
    }
}

bool ClientServer::isListening(int card) const
{
    return card >= 1 && card <= kCardCount && wsPS[card] && wsPS[card]->isListening();
}

QString ClientServer::listenProblem(int card) const
{
    return card >= 1 && card <= kCardCount ? listenProblems[card] : QString();
}

quint16 ClientServer::listeningPort(int card) const
{
    return isListening(card) ? wsPS[card]->serverPort() : 0;
}

QTcpSocket *ClientServer::socketAt(int index) const
{
    const auto i = std::size_t(index - kFirstAcceptedSlot);
    return index >= kFirstAcceptedSlot && i < acceptedSlots.size() ? acceptedSlots[i]->socket.get() : nullptr;
}

qsizetype ClientServer::bufferedBytes(int index) const
{
    const auto i = std::size_t(index - kFirstAcceptedSlot);
    return index >= kFirstAcceptedSlot && i < acceptedSlots.size() ? acceptedSlots[i]->framer.bufferedSize() : 0;
}

void ClientServer::adopt(QTcpSocket *incoming)
{
    // The lowest closed slot, else a new one; past the cap, none: the
    // connection is closed at once, and those already served go on.
    std::size_t k = 0;
    while (k < acceptedSlots.size() && acceptedSlots[k]->socket && acceptedSlots[k]->socket->state() != QAbstractSocket::UnconnectedState)
        ++k;
    if (k == std::size_t(kAcceptedSlotLimit)) {
        incoming->abort();
        delete incoming;
        return;
    }
    if (k == acceptedSlots.size()) {
        acceptedSlots.push_back(std::make_unique<Slot>());
        Slot &slot = *acceptedSlots.back();
        slot.quiet.setSingleShot(true);
        slot.quiet.setInterval(kQuietMs);
        slot.stalled.setSingleShot(true);
        slot.stalled.setInterval(kStallLimitMs);
        const int index = int(k) + kFirstAcceptedSlot;
        connect(&slot.quiet, &QTimer::timeout, this, [this, index] { drain(index, true); });
        connect(&slot.stalled, &QTimer::timeout, this, [this, index] {
            if (QTcpSocket *socket = acceptedSlots[std::size_t(index - kFirstAcceptedSlot)]->socket.get())
                socket->abort();
        });
    }
    Slot &slot = *acceptedSlots[k];
    const int index = int(k) + kFirstAcceptedSlot;
    slot.framer.clear();
    slot.quiet.stop();
    slot.stalled.stop();
    slot.socket.reset(incoming);
    slot.peerIp = incoming->peerAddress().toString();
    slot.peerPort = incoming->peerPort();
    incoming->setParent(nullptr);
    // What the socket holds unread is bounded too: while its replies wait,
    // the rest stays with the system and TCP holds the panel back.
    incoming->setReadBufferSize(kUnsentLimit);
    connect(incoming, &QTcpSocket::readyRead, this, [this, index] { onData(index); });
    // Replies drained below the cap: requests are taken again.
    connect(incoming, &QTcpSocket::bytesWritten, this, [this, index] {
        Slot &s = *acceptedSlots[std::size_t(index - kFirstAcceptedSlot)];
        if (s.stalled.isActive() && s.socket && s.socket->bytesToWrite() < kUnsentLimit)
            onData(index);
    });
    // A closed or failed connection gives its slot back at once; its
    // client record stays until the sweep, or until a new panel needs it
    // when every record is taken.
    connect(incoming, &QTcpSocket::disconnected, this, [this, index] {
        const Slot &closed = *acceptedSlots[std::size_t(index - kFirstAcceptedSlot)];
        MarkClientClosed(host.clientTable(), index, closed.peerIp, closed.peerPort, ++closings);
        resumeAccepting();
    });
    connect(incoming, &QTcpSocket::errorOccurred, incoming, [incoming](QAbstractSocket::SocketError) {
        incoming->abort();
    });
}

void ClientServer::onData(int index)
{
    Slot &slot = *acceptedSlots[std::size_t(index - kFirstAcceptedSlot)];
    // Requests still waiting in the framer go first; new bytes are read
    // only once they are all answered.
    drain(index, false);
    if (slot.stalled.isActive() || !slot.socket)
        return;
    slot.framer.append(slot.socket->readAll());
    drain(index, false);
}

bool ClientServer::isReadingPaused(int index) const
{
    const auto i = std::size_t(index - kFirstAcceptedSlot);
    return index >= kFirstAcceptedSlot && i < acceptedSlots.size() && acceptedSlots[i]->stalled.isActive();
}

qsizetype ClientServer::unsentBytes(int index) const
{
    const QTcpSocket *socket = socketAt(index);
    return socket ? socket->bytesToWrite() : 0;
}

void ClientServer::drain(int index, bool quietTimeout)
{
    Slot &slot = *acceptedSlots[std::size_t(index - kFirstAcceptedSlot)];
    QTcpSocket *socket = slot.socket.get();
    if (!socket)
        return;
    host.holdLogLines();
    // A panel that sends and never reads would otherwise have the server
    // keep every reply: past the cap its requests wait, unread, until the
    // replies drain, and a connection stuck so for too long is closed.
    bool capped = false;
    while (!(capped = socket->bytesToWrite() >= kUnsentLimit)) {
        const auto request = slot.framer.takeRequest(quietTimeout);
        if (!request)
            break;
        const auto reply = HandleClientRequest(host, index, slot.peerIp, slot.peerPort, *request,
                                               secondsSinceMidnight());
        if (reply && socket->state() == QAbstractSocket::ConnectedState)
            sendReply(*socket, *reply);
    }
    host.writeHeldLogLines();
    if (capped) {
        if (!slot.stalled.isActive())
            slot.stalled.start();
        slot.quiet.stop();
        return;
    }
    slot.stalled.stop();
    // The quiet timer runs only while part of a request waits; a complete
    // request never touches it.
    if (slot.framer.bufferedSize() > 0)
        slot.quiet.start();
    else if (slot.quiet.isActive())
        slot.quiet.stop();
}

void ClientServer::SweepClients()
{
    for (auto &slot : acceptedSlots) {
        if (slot->socket && slot->socket->error() != QAbstractSocket::UnknownSocketError
            && slot->socket->state() != QAbstractSocket::ConnectedState)
            slot->socket->abort();
    }
    ClientTable &clients = host.clientTable();
    for (int c = 1; c <= kClientCount; ++c) {
        ClientRecord &record = clients[c];
        if (!record.InUse)
            continue;
        // Address and port are compared, not the slot: a panel that came
        // back on another slot from the same address and port keeps its record.
        bool connected = false;
        for (const auto &slot : acceptedSlots) {
            const QTcpSocket *s = slot->socket.get();
            if (s && s->state() == QAbstractSocket::ConnectedState && s->peerAddress().toString() == record.RemoteIP
                && s->peerPort() == record.RemotePort) {
                connected = true;
                break;
            }
        }
        if (!connected)
            clearClientRecord(record);
    }
    resumeAccepting();
}

} // namespace marlin
