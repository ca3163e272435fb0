#pragma once

#include "config/logs.h"
#include "config/settings.h"
#include "links/link_events.h"
#include "links/port_table.h"
#include "router/router_table.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTimer>
#include <array>
#include <memory>

class QAbstractSocket;
class QNetworkDatagram;

namespace marlin {

// The connection state of a network port, numbered as the link pass has
// always tested it: closed, connected, closing and error decide; every other
// state is waited out.
enum class NetSocketState : int {
    Closed = 0,
    Open = 1,
    Listening = 2,
    ConnectionPending = 3,
    ResolvingHost = 4,
    HostResolved = 5,
    Connecting = 6,
    Connected = 7,
    Closing = 8,
    Error = 9,
};

// Four decimal numbers 0..255 joined by dots, without leading zeros (a
// leading zero reads as octal to some resolvers: 010 would be 8).
bool isIPv4Address(const QString &text);
// What a network port's address may be, one rule for the links, the
// Network Device Settings window and --check-config. TCP connects to an IPv4
// or IPv6 address or to a host name it looks up (letters, digits and "-" in
// dot-separated labels of up to 63 characters, not starting or ending with
// "-", at most 253 characters in all, not all numbers). UDP sends datagrams
// to an address and looks up no names: only an IPv4 address, which its
// socket can reach.
bool isNetPortAddress(const QString &address, bool udp);

// The 96 network ports: TCP links the server connects to and UDP links it
// sends datagrams to. Each link pass (once a second) connects what is
// closed and sends one queued command; the last command is re-sent on the
// port's retry interval until the router says anything.
class NetworkLinks : public QObject {
    Q_OBJECT

public:
    // The largest number a network port may name; a larger one would wrap
    // to another port on TCP.
    static constexpr qint32 kHighestPort = 65535;

    NetworkLinks(const Settings &settings, const RouterTableArray &tables, PortTable &table, LinkEvents &events,
                 Logs &logs, QObject *parent = nullptr);
    ~NetworkLinks() override;

    void applyRetryIntervals();
    void setUdpLocalEndpoint(const QHostAddress &address, quint16 port);

    // What one link pass found of a port's transport. opened: the UDP
    // socket was made, or the TCP connection came up, at this pass. dropped:
    // a TCP connection that was up is gone.
    struct PassResult {
        bool opened = false;
        bool dropped = false;
    };
    // One link pass of an enabled port with an address: connects what is
    // closed and sends the head of the router's queue. Whether the link is
    // up is decided above, from what the router says.
    PassResult pass(int port, const QString &host);
    // Sends the head of the port's router queue.
    void send(int port);
    // Closes every socket and stops the re-sends; the next pass opens anew.
    void closeAll();

    NetSocketState socketState(int port) const;
    qintptr socketDescriptor(int port) const;

    // Datagrams a UDP port refused because they did not come from the
    // address the port is configured for.
    quint64 refusedDatagrams() const { return refusedCount; }
    // At most one error log line a minute tells of refused datagrams.
    static constexpr int kRefusalReportMs = 60000;

private:
    struct Channel;

    QAbstractSocket *socketFor(int port, bool udp);
    void write(int port, const QByteArray &bytes);
    void onData(int port);
    void onResendTick(int port);
    void refuse(int port, const QHostAddress &router, const QNetworkDatagram &datagram);

    const Settings &settings;
    const RouterTableArray &tables;
    PortTable &table;
    LinkEvents &events;
    Logs &logs;
    std::array<std::unique_ptr<Channel>, kPortCount + 1> channels;
    // timeNetCTS(n): the re-sends of port n.
    std::array<QTimer, kPortCount + 1> timeNetCTS;
    QHostAddress udpLocalAddress{QHostAddress::AnyIPv4};
    quint16 udpLocalPort = 0;
    quint64 refusedCount = 0;
    quint64 refusedUnreported = 0;
    QElapsedTimer refusalReported;
};

} // namespace marlin
