#pragma once

#include "clients/client_table.h"
#include "router/router_table.h"
#include "router/take_string.h"

#include <QByteArray>
#include <QString>
#include <array>
#include <optional>

namespace marlin {

// Client request, as panels send it (no length, terminator or checksum):
//
//   bytes 1-4  sequence   chosen by the panel; a retransmission repeats it
//   byte  5    class      commands run only from 0xE1 up
//   byte  6    command
//   byte  7    router     1..96, echoed by the acknowledge reply
//   bytes 8..  payload    command-specific, may be empty
//
// Reply: the four sequence bytes of the request answered, then one body:
//
//   acknowledge   0x10 0x01 router
//   not handled   0x11 0x12
//   change flags  0xFF 0xA1 router, then the 8 PendingFlags bytes
//   status        0xFF code router, then the router's status block
constexpr int kRequestHeaderSize = 7;
constexpr int kMinimumRunClass = 0xE1;
// Class 0xE0 is still a panel's request (it is answered not-handled); bytes
// below it are not.
constexpr int kLowestRequestClass = 0xE0;

struct ClientRequest {
    QByteArray sequence;   // as many of bytes 1-4 as arrived
    int requestClass = 0;  // missing header bytes read as 0
    int command = 0;
    int router = 0;
    QByteArray payload;
    bool complete = false; // all seven header bytes arrived
};

ClientRequest splitClientRequest(const QByteArray &request);

// How much a request with this class and command occupies in a stream of
// bytes: it is not whole before minimumSize bytes, and when runsToEnd is set
// its payload is everything that follows (a take's comment, or a command
// whose payload the server cannot size). Below runnableSize it never runs:
// a take needs the first 18 characters of its take string, a hold its two
// payload bytes.
struct RequestExtent {
    int minimumSize = kRequestHeaderSize;
    bool runsToEnd = true;
    int runnableSize = kRequestHeaderSize;
};
RequestExtent requestExtent(int requestClass, int command);
// Whether command is one of the server's command codes.
bool isKnownCommand(int command);

// A step of a request that could not be carried out. The request goes on
// with its next step; the last failure is written to the error log after the
// reply. The numbers are part of the error log's vocabulary and stay stable:
//
//   1 Request too short      fewer than 7 header bytes, or a payload byte
//                            a command needs is missing (the command is
//                            then not run)
//   2 Router out of range    a router number outside the tables (0..96)
//   3 Destination out of range   a take's destination below 0 (numbers
//                            past 256 are sent, logged and not recorded)
//   4 Value does not fit in a byte   a status block field outside 0..255
//                            (0..65535 in the two-byte form)
//   5 Number does not fit    a take's source or destination field that is
//                            no 16-bit number
//   6 Reload incomplete      re-reading tables, settings or users met a
//                            failure (an undecodable user record)
struct ClientFailure {
    int number = 0;
    const char *description = "";
};

namespace ClientFailures {
constexpr ClientFailure RequestTooShort{1, "Request too short"};
constexpr ClientFailure RouterOutOfRange{2, "Router out of range"};
constexpr ClientFailure DestinationOutOfRange{3, "Destination out of range"};
constexpr ClientFailure ValueDoesNotFit{4, "Value does not fit in a byte"};
constexpr ClientFailure NumberDoesNotFit{5, "Number does not fit"};
constexpr ClientFailure ReloadIncomplete{6, "Reload incomplete"};
} // namespace ClientFailures

// "Data Arrival Error." followed by the description, a space and the number.
QString dataArrivalErrorText(const ClientFailure &failure);
// The error log's line for a panel's take that had nowhere to go:
// "Take not sent: no port serves Router_<n> (<name>)."; without the name
// for a router outside the tables.
QString takeNotSentText(int router, const QString &name);

// The status block of one router: StatusReceived, CommOK, LinkPort, Spare1,
// Spare2 as one byte each, then one entry per destination 1..256. With
// priority the entry is 1 or 0 for HighPriority (261 bytes in both forms);
// otherwise it is CurrentSource, as one byte (261 bytes) or as two, high
// byte first (517 bytes). A value that does not fit fails the whole block:
// ok false and an empty result.
QByteArray BuildStatusOneByte(const RouterState &state, bool priority, bool *ok = nullptr);
QByteArray BuildStatusTwoByte(const RouterState &state, bool priority, bool *ok = nullptr);

QByteArray acknowledgeReply(int router);
QByteArray notHandledReply();
QByteArray changeFlagsReply(int router, const ClientRecord &record);

// A take as a panel sends it: the router byte, the whole take string, and
// the numbers and comment read from it (the router's own numbers, passed on
// whatever the table holds).
struct PanelTake {
    int router = 0;
    QByteArray takeString;
    int source = 0;
    int destination = 0;
    std::array<bool, kTakeLevelCount> levels{};
    QString comment;
    QString address;   // the panel's, for the logs
};

// What request handling needs from the rest of the server. The server
// object implements it over its own tables, links and logs.
class ClientProtocolHost {
public:
    virtual ~ClientProtocolHost() = default;
    virtual ClientTable &clientTable() = 0;
    virtual RouterStateArray &routerStates() = 0;
    // A panel's take, handed to the server, which carries it out by the
    // rules of every take. False when the server takes nothing now (a
    // standby server): the request is then answered not-handled.
    virtual bool take(const PanelTake &take) = 0;
    virtual void writeErrorLog(const QString &text) = 0;
    // Each reload returns false when one of its steps failed; the request
    // then counts a failure but still acknowledges.
    virtual bool reloadRouterTables() = 0;  // icons, router tables, router view
    virtual bool reloadSettings() = 0;      // settings, router view
    virtual bool reloadUsers() = 0;         // user table, as at startup
    virtual void refreshRouterView() = 0;
    // A hold was set or cleared: other faces hear of it.
    virtual void holdChanged(int /*router*/, int /*destination*/, bool /*hold*/) {}
    // Log lines between these two calls are written together at the end
    // (one read of a connection may hold many requests).
    virtual void holdLogLines() {}
    virtual void writeHeldLogLines() {}
};

// Handles one whole request from a panel connection and returns the bytes to
// send back on the same socket (reply sequence and body), or nothing when no
// client record is free. A request repeating the client's last sequence runs
// nothing and gets the previous reply again, byte for byte.
std::optional<QByteArray> HandleClientRequest(ClientProtocolHost &host, int socketIndex,
                                              const QString &peerIp, int peerPort,
                                              const QByteArray &request, double now);

} // namespace marlin
