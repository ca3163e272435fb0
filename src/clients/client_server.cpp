#include "client_server.h"

#include "config/convert.h"
#include "config/ini_file.h"
#include "links/tcp_keepalive.h"

#include <QHostAddress>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QElapsedTimer>
#include <algorithm>
#include <QTime>

#include <cerrno>
#include <cmath>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

namespace marlin {

struct ClientServer::Slot {
    // The connection's descriptor, -1 while the slot is free.
    int fd = -1;
    std::unique_ptr<QSocketNotifier> readable;
    // Enabled only while replies wait for room in the system's buffer.
    std::unique_ptr<QSocketNotifier> writable;
    // Replies the system has not taken yet.
    QByteArray unsent;
    RequestFramer framer;
    QTimer quiet;
    // Since when the bytes in the framer have waited for the rest of their
    // request; invalid while it holds none.
    QElapsedTimer partialSince;
    // Runs while the connection is not read because its replies pile up
    // unsent; when it fires, the connection is closed.
    QTimer stalled;
    // Taken once at accept: every request names its peer.
    QString peerIp;
    int peerPort = 0;
    // When the connection was last heard from (ClientServer::heard at its
    // accept or its last whole request), and whether it ever sent one.
    quint64 lastHeard = 0;
    bool requested = false;
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

// One read takes at most what the framer holds.
constexpr qsizetype kReadChunk = RequestFramer::kBufferLimit;

bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }
} // namespace

CardEndpoint cardEndpoint(const Settings &settings, int card)
{
    CardEndpoint endpoint;
    const QString address = trimSpaces(settings.Cards[card].CardIPAddress);
    if (address.isEmpty())
        return endpoint;
    endpoint.used = true;
    // Only digits name a port: text that merely starts with one, or none at
    // all, would otherwise read as a number and listen somewhere unasked.
    const QString portText = trimSpaces(settings.Cards[card].CardTCPPort);
    const bool digitsOnly = !portText.isEmpty()
                            && std::all_of(portText.begin(), portText.end(), [](QChar c) { return c.isDigit(); });
    const auto port = toInt32(Val(portText));
    endpoint.address = QHostAddress(address);
    if (!digitsOnly || !port || *port < 0 || *port > 65535)
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

void ClientServer::setClock(std::function<double()> next) { clock = std::move(next); }

QString ClientServer::listen(const Settings &settings, bool onlyMissing)
{
    QString failure;
    allowed = ParseAllowedNetworks(settings.Panels.PanelAllowedNetworks);
    perAddressLimit = settings.Panels.PanelConnectionsPerAddress;
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
    for (std::size_t k = 0; k < acceptedSlots.size(); ++k)
        closeSlot(int(k) + kFirstAcceptedSlot);
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
        adopt(descriptor);
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

ClientServer::Slot *ClientServer::slotAt(int index) const
{
    const auto i = std::size_t(index - kFirstAcceptedSlot);
    return index >= kFirstAcceptedSlot && i < acceptedSlots.size() ? acceptedSlots[i].get() : nullptr;
}

bool ClientServer::isConnected(int index) const
{
    const Slot *slot = slotAt(index);
    return slot && slot->fd >= 0;
}

int ClientServer::peerPort(int index) const
{
    const Slot *slot = slotAt(index);
    return slot ? slot->peerPort : 0;
}

qintptr ClientServer::socketDescriptor(int index) const
{
    const Slot *slot = slotAt(index);
    return slot ? slot->fd : -1;
}

qsizetype ClientServer::bufferedBytes(int index) const
{
    const Slot *slot = slotAt(index);
    return slot ? slot->framer.bufferedSize() : 0;
}

void ClientServer::adopt(int descriptor)
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    QHostAddress address;
    int port = 0;
    if (::getpeername(descriptor, reinterpret_cast<sockaddr *>(&peer), &length) == 0) {
        address = QHostAddress(reinterpret_cast<const sockaddr *>(&peer));
        port = peer.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6 *>(&peer)->sin6_port)
                                          : ntohs(reinterpret_cast<const sockaddr_in *>(&peer)->sin_port);
    }
    // Only the networks allowed, and no address beyond its share.
    const QString peerIp = address.toString();
    int fromPeer = 0;
    for (const auto &slot : acceptedSlots)
        fromPeer += slot->fd >= 0 && slot->peerIp == peerIp ? 1 : 0;
    if (!allowed.allows(address) || fromPeer >= perAddressLimit) {
        ::close(descriptor);
        return;
    }
    // The lowest closed slot, else a new one; past the cap, the slot of the
    // connection idle longest: one that never sent a whole request before
    // one that did, then the one heard from longest ago.
    std::size_t k = 0;
    while (k < acceptedSlots.size() && acceptedSlots[k]->fd >= 0)
        ++k;
    if (k == std::size_t(kAcceptedSlotLimit)) {
        std::size_t idlest = 0;
        for (std::size_t i = 1; i < acceptedSlots.size(); ++i) {
            const Slot &a = *acceptedSlots[i];
            const Slot &b = *acceptedSlots[idlest];
            if (std::pair(a.requested, a.lastHeard) < std::pair(b.requested, b.lastHeard))
                idlest = i;
        }
        closeSlot(int(idlest) + kFirstAcceptedSlot);
        k = idlest;
    }
    const int index = int(k) + kFirstAcceptedSlot;
    if (k == acceptedSlots.size()) {
        acceptedSlots.push_back(std::make_unique<Slot>());
        Slot &slot = *acceptedSlots.back();
        slot.quiet.setSingleShot(true);
        slot.quiet.setInterval(kQuietMs);
        slot.stalled.setSingleShot(true);
        slot.stalled.setInterval(kStallLimitMs);
        connect(&slot.quiet, &QTimer::timeout, this, [this, index] { onQuiet(index); });
        // Stuck with unsent replies for too long: closed.
        connect(&slot.stalled, &QTimer::timeout, this, [this, index] { closeSlot(index); });
    }
    Slot &slot = *acceptedSlots[k];
    slot.fd = descriptor;
    slot.framer.clear();
    slot.unsent.clear();
    slot.quiet.stop();
    slot.partialSince.invalidate();
    slot.stalled.stop();
    // Taken once: every request names its peer.
    slot.peerIp = peerIp;
    slot.peerPort = port;
    slot.lastHeard = ++heard;
    slot.requested = false;
    slot.readable = std::make_unique<QSocketNotifier>(descriptor, QSocketNotifier::Read);
    connect(slot.readable.get(), &QSocketNotifier::activated, this, [this, index] { onData(index); });
    slot.writable = std::make_unique<QSocketNotifier>(descriptor, QSocketNotifier::Write);
    slot.writable->setEnabled(false);
    connect(slot.writable.get(), &QSocketNotifier::activated, this, [this, index] { onWritable(index); });
}

void ClientServer::closeSlot(int index)
{
    Slot *slot = slotAt(index);
    if (!slot || slot->fd < 0)
        return;
    // The notifiers are switched off before their descriptor closes, and
    // deleted later: this may run inside one of their own signals.
    for (QSocketNotifier *notifier : {slot->readable.release(), slot->writable.release()}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    ::close(slot->fd);
    slot->fd = -1;
    slot->unsent.clear();
    slot->framer.clear();
    slot->quiet.stop();
    slot->partialSince.invalidate();
    slot->stalled.stop();
    // A closed connection gives its slot back at once; its client record
    // stays until the sweep, or until a new panel needs it when every
    // record is taken.
    MarkClientClosed(host.clientTable(), index, slot->peerIp, slot->peerPort, ++closings);
    resumeAccepting();
}

void ClientServer::onData(int index)
{
    Slot *slot = slotAt(index);
    if (!slot || slot->fd < 0)
        return;
    // Requests still waiting in the framer go first; new bytes are read
    // only once they are all answered.
    drain(index, RequestFramer::Silence::None);
    if (slot->stalled.isActive() || slot->fd < 0)
        return;
    char buffer[kReadChunk];
    ssize_t n = 0;
    do {
        n = ::recv(slot->fd, buffer, sizeof buffer, 0);
    } while (n < 0 && errno == EINTR);
    if (n == 0 || (n < 0 && !wouldBlock(errno))) {
        // The panel closed, or the connection failed.
        closeSlot(index);
        return;
    }
    if (n < 0)
        return;
    slot->framer.append(QByteArrayView(buffer, n));
    drain(index, RequestFramer::Silence::None);
}

void ClientServer::onWritable(int index)
{
    Slot *slot = slotAt(index);
    if (!slot || slot->fd < 0)
        return;
    while (!slot->unsent.isEmpty()) {
        const ssize_t n = ::send(slot->fd, slot->unsent.constData(), std::size_t(slot->unsent.size()),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            slot->unsent.remove(0, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && wouldBlock(errno))
            return;
        closeSlot(index);
        return;
    }
    slot->writable->setEnabled(false);
    // Replies drained below the cap: requests are taken again.
    if (slot->stalled.isActive()) {
        slot->stalled.stop();
        slot->readable->setEnabled(true);
        onData(index);
    }
}

// A reply goes out in one system call when nothing of an earlier one waits;
// what the system does not take waits in the slot for the socket to drain.
void ClientServer::sendReply(int index, const QByteArray &reply)
{
    Slot *slot = slotAt(index);
    qsizetype sent = 0;
    if (slot->unsent.isEmpty()) {
        ssize_t n = 0;
        do {
            n = ::send(slot->fd, reply.constData(), std::size_t(reply.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && !wouldBlock(errno)) {
            closeSlot(index);
            return;
        }
        sent = std::max<qsizetype>(n, 0);
    }
    if (sent < reply.size()) {
        slot->unsent.append(reply.constData() + sent, reply.size() - sent);
        slot->writable->setEnabled(true);
    }
}

bool ClientServer::isReadingPaused(int index) const
{
    const Slot *slot = slotAt(index);
    return slot && slot->stalled.isActive();
}

qsizetype ClientServer::unsentBytes(int index) const
{
    const Slot *slot = slotAt(index);
    return slot ? slot->unsent.size() : 0;
}

int ClientServer::connectedCount() const
{
    int n = 0;
    for (const auto &slot : acceptedSlots)
        n += slot && slot->fd >= 0 ? 1 : 0;
    return n;
}

void ClientServer::onQuiet(int index)
{
    const Slot *slot = slotAt(index);
    if (!slot)
        return;
    const bool expired = slot->partialSince.isValid() && slot->partialSince.elapsed() >= kIncompleteLimitMs;
    drain(index, expired ? RequestFramer::Silence::Long : RequestFramer::Silence::Quiet);
}

void ClientServer::drain(int index, RequestFramer::Silence silence)
{
    Slot *slot = slotAt(index);
    if (!slot || slot->fd < 0)
        return;
    host.holdLogLines();
    // A panel that sends and never reads would otherwise have the server
    // keep every reply: past the cap its requests wait, unread, until the
    // replies drain, and a connection stuck so for too long is closed.
    bool capped = false;
    bool took = false;
    while (slot->fd >= 0 && !(capped = slot->unsent.size() >= kUnsentLimit)) {
        const auto request = slot->framer.takeRequest(silence);
        if (!request)
            break;
        took = true;
        ++requestCount;
        slot->lastHeard = ++heard;
        slot->requested = true;
        const auto reply = HandleClientRequest(host, index, slot->peerIp, slot->peerPort, *request,
                                               clock ? clock() : secondsSinceMidnight());
        if (reply)
            sendReply(index, *reply);
    }
    host.writeHeldLogLines();
    if (slot->fd < 0)
        return;
    if (capped) {
        if (!slot->stalled.isActive())
            slot->stalled.start();
        // What the panel sends meanwhile stays with the system, and TCP
        // holds the panel back.
        slot->readable->setEnabled(false);
        slot->quiet.stop();
        return;
    }
    // The quiet timer runs only while part of a request waits; a complete
    // request never touches it.
    if (slot->framer.bufferedSize() == 0) {
        slot->partialSince.invalidate();
        if (slot->quiet.isActive())
            slot->quiet.stop();
        return;
    }
    if (took || !slot->partialSince.isValid())
        slot->partialSince.start();
    // Past the quiet time, what still waits is a take or a hold short of its
    // numbers: it waits out the rest of its limit, however the bytes trickle.
    const qint64 left = std::max<qint64>(kIncompleteLimitMs - slot->partialSince.elapsed(), 0);
    slot->quiet.start(int(silence == RequestFramer::Silence::None ? std::min<qint64>(kQuietMs, left) : left));
}

void ClientServer::SweepClients()
{
    // A failed connection is closed when the failure shows; here only the
    // client records whose connection is gone are emptied.
    ClientTable &clients = host.clientTable();
    for (int c = 1; c <= kClientCount; ++c) {
        ClientRecord &record = clients[c];
        if (!record.InUse)
            continue;
        // Address and port are compared, not the slot: a panel that came
        // back on another slot from the same address and port keeps its record.
        bool connected = false;
        for (const auto &slot : acceptedSlots) {
            if (slot->fd >= 0 && slot->peerIp == record.RemoteIP && slot->peerPort == record.RemotePort) {
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
