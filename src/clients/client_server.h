#pragma once

#include "clients/client_protocol.h"
#include "clients/request_framer.h"
#include "config/settings.h"

#include <QHostAddress>
#include <QObject>
#include <QTimer>
#include <array>
#include <functional>
#include <memory>
#include <vector>

class QSocketNotifier;
class QTcpServer;

namespace marlin {

// The panels' side of the server: one listening socket per network card and
// the accepted connections in socket slots 5 and up (a closed slot is
// reused, so the numbers the console shows stay true). Bytes only move here,
// straight between the system's sockets and the request framer, one recv()
// per wake-up and one send() per reply; what a request means is decided by
// HandleClientRequest.
class ClientServer : public QObject {
    Q_OBJECT

public:
    static constexpr int kFirstAcceptedSlot = 5;
    // Quiet time after which a partial request is handed over as it is.
    static constexpr int kQuietMs = 100;
    // How long a take or hold still lacking the bytes it runs on (or a header
    // that may become one) waits for them before it is answered not-handled:
    // well past TCP's retransmission delays for one or two lost segments.
    static constexpr int kIncompleteLimitMs = 2000;
    // Replies waiting unsent on one connection past which its requests are
    // no longer read, and how long it may stay so before it is closed.
    static constexpr qsizetype kUnsentLimit = 64 * 1024;
    static constexpr int kStallLimitMs = 30000;
    // Accepted connections at most. One more takes the place of the
    // connection idle longest: first those that never sent a whole request,
    // then those whose last request is oldest.
    static constexpr int kAcceptedSlotLimit = 256;

    ClientServer(ClientProtocolHost &host, QObject *parent = nullptr);
    ~ClientServer() override;

    // Binds and listens on every card with an address (onlyMissing: only
    // on those not listening yet); returns the failure text of the last card
    // that could not listen, empty when all could.
    QString listen(const Settings &settings, bool onlyMissing = false);
    // Closes every listener and every panel connection (standby).
    void closeAll();
    // Starts the sweep of dead sockets and client records.
    void start();

    // The clock requests are stamped with, in seconds since local midnight;
    // tests move it on instead of waiting. Empty: the local time.
    void setClock(std::function<double()> clock);

    // Closes accepted sockets in error and empties client records whose
    // connection is gone.
    void SweepClients();

    bool isListening(int card) const;
    // Why a card with an address is not listening, in the system's words
    // ("address not available", "address in use"); empty when it listens.
    QString listenProblem(int card) const;
    quint16 listeningPort(int card) const;
    // Accepted-socket slots created so far (the highest index minus 4).
    int acceptedSocketCount() const { return int(acceptedSlots.size()); }
    // Panel connections open now, and requests handled since the start.
    int connectedCount() const;
    quint64 requestsHandled() const { return requestCount; }
    // Whether slot index (5 and up) holds an open connection, its peer's
    // port, and its descriptor (-1 when closed).
    bool isConnected(int index) const;
    int peerPort(int index) const;
    qintptr socketDescriptor(int index) const;
    // Bytes of slot index that wait for the rest of their request.
    qsizetype bufferedBytes(int index) const;
    // Whether slot index is not read because its replies pile up unsent,
    // and how many bytes of replies wait.
    bool isReadingPaused(int index) const;
    qsizetype unsentBytes(int index) const;

    QTimer timeCPSSocketError;

private:
    struct Slot;

    void acceptPending(int card);
    void adopt(int descriptor);
    void resumeAccepting();
    void onData(int index);
    void onWritable(int index);
    void drain(int index, RequestFramer::Silence silence);
    void onQuiet(int index);
    void sendReply(int index, const QByteArray &reply);
    // Closes the connection of a slot and marks its client record closed.
    void closeSlot(int index);
    Slot *slotAt(int index) const;

    ClientProtocolHost &host;
    std::array<QTcpServer *, kCardCount + 1> wsPS{};
    std::array<QSocketNotifier *, kCardCount + 1> acceptNotifiers{};
    std::array<quint16, kCardCount + 1> cardPorts{};
    std::array<QString, kCardCount + 1> listenProblems;
    quint64 requestCount = 0;
    std::vector<std::unique_ptr<Slot>> acceptedSlots; // slot k lives at slots[k - 5]
    qint64 closings = 0;
    // Who may connect, and how many connections one address may hold, as
    // the settings said at the last listen().
    AllowedNetworks allowed{.networks = {}, .problems = {}, .any = true};
    int perAddressLimit = 64;
    std::function<double()> clock;
    // Ticks on with every accept and every whole request: the order in
    // which connections were last heard from.
    quint64 heard = 0;
};

// Where a network card listens as its settings say: used is false for a
// card without an address; problem names what makes the settings unusable
// ("not a port number", "not an IP address"), empty when they are usable.
struct CardEndpoint {
    bool used = false;
    QHostAddress address;
    quint16 port = 0;
    QString problem;
};
CardEndpoint cardEndpoint(const Settings &settings, int card);

// Failure text of a card whose listening socket could not be set up.
QString cardBindFailureText(int card);

} // namespace marlin
