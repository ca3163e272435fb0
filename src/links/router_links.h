#pragma once

#include "config/logs.h"
#include "config/settings.h"
#include "links/link_events.h"
#include "links/device_language.h"
#include "links/network_links.h"
#include "links/port_map.h"
#include "links/port_table.h"
#include "links/reply_scan.h"
#include "links/serial_links.h"
#include "router/router_table.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTimer>
#include <bitset>
#include <deque>

namespace marlin {

// One command as it left for a router, with the monotonic time it left.
struct SentCommand {
    int port = 0;
    bool isNetwork = false;
    qint64 atNs = 0;
    QByteArray bytes;
};

// Every link to the routers, in three parts:
//   - SerialLinks moves bytes on the 96 comm ports (opening, spacing, reading);
//   - NetworkLinks moves bytes on the 96 network ports (connecting, sending,
//     re-sending, reading);
//   - this class holds what both share and decides: the port map (which
//     port serves which router, in what language), the per-router command
//     queues, the send log, the supervision that counts silence, polls
//     silent routers and reports lost and restored links (the link
//     passes), and the one step that applies reported crosspoints to the
//     router states. What a command looks like and what a router's bytes
//     mean is asked of the port's DeviceLanguage; nothing here knows a
//     language.
// Everything runs on the event loop, driven by the ports' own events and
// the link-pass timers; the rest of the server hears of changes through
// the signals.
class RouterLinks : public QObject, private LinkEvents {
    Q_OBJECT

public:
    RouterLinks(const QString &appDir, const Settings &settings, RouterTableArray &tables,
                RouterStateArray &states, Logs &logs, QObject *parent = nullptr);
    ~RouterLinks() override;

    // Startup steps, in the order the server runs them.
    // Called after every load of the settings: the port map is built anew,
    // and what is wrong in them is logged once per load, not at every link
    // pass.
    void settingsLoaded();
    void applyNetRetryIntervals();
    // (Re)opens every comm port with its line settings, the port map built
    // anew from the settings as they are; returns the text of every failure
    // in the order met, empty when every step worked.
    QStringList OpenCommPorts();
    // Links start again from "up", to be reported lost again by the checks
    // that follow: comm links after ten more silent checks (their count
    // starts again), network links at the next check that finds them down.
    void markComLinksUp();
    void markNetLinksUp();
    void RequestAllStatus();
    // Starts the link timers; nothing is sent or checked before this.
    void start();
    // Standby: every port closed, every queue and receive buffer emptied,
    // the link passes stopped, and nothing queued until resume. The
    // supervision of the links starts again from the beginning when the
    // server opens them again (OpenCommPorts, markComLinksUp,
    // RequestAllStatus, start, as at startup).
    void suspend();
    void resume();

    // Each returns true when the queue was full and the command took the
    // place of the last one waiting.
    bool QueueComCommand(int router, const QByteArray &command);
    bool QueueNetCommand(int router, const QByteArray &command);
    // A take command on both queues, as every face queues one: true when it
    // displaced a command waiting for a port that serves the router (a queue
    // no port serves is never sent, so what it holds is not counted).
    bool QueueTake(int router, const QByteArray &command);
    // Which port serves which router, as the last settings load or opening
    // of the ports found it.
    const PortMap &portMap() const { return map; }
    RouterPort servingPort(int router) const;
    // Whether an enabled router port of that kind serves the router.
    bool isServed(int router, bool isNetwork) const;
    int FindRouterProtocol(int deviceType, int router) const;
    // The take command for a router in the language of the first port that
    // serves it; empty when no port serves it, it speaks no language, or
    // the language cannot carry the take (which is logged when the
    // language says why).
    QByteArray buildTakeCommand(int router, const QByteArray &takeString) const;

    // Serial links are driven by their own events: a queued command goes
    // out at once on a port whose spacing has run out, or when it runs out;
    // received bytes are parsed as they arrive. This reads every port at
    // once (the start does, after the ports open).
    void receiveComPorts();
    // One tick of timeOnLine.
    void comLinkPass();
    // The link verdict of a comm port from its silence count; a silent
    // router whose language polls is also polled here (checkSilenceAndPoll).
    bool CheckComLink(int port);
    // The least time between two sends on a comm port (its language's), and
    // whether a command queued now would wait for it.
    int comSendSpacingMs(int port) const;
    bool comSendWaits(int port) const;

    // Network passes (one tick of timeNetPort is netLinkPass).
    void netLinkPass();
    // The same verdict, and the same poll, for a network port.
    bool CheckNetLink(int port);
    void SendNetQueue(int port);
    NetSocketState netSocketState(int port) const;
    // The system's descriptor of a network port's socket, -1 when it has none.
    qintptr netSocketDescriptor(int port) const;
    // Datagrams the UDP ports refused: not from the router's address.
    quint64 refusedDatagrams() const { return network.refusedDatagrams(); }

    // Where the UDP sockets of network ports are bound: any address and a
    // port the system picks, unless this says otherwise.
    void setUdpLocalEndpoint(const QHostAddress &address, quint16 port);

    // Hands the port's receive buffer to its language; true when the router
    // answered in it (the link evidence).
    bool parseReply(int port, bool isNetwork);

    // The device a comm port opens: COM<n> in the application folder when it
    // is there (followed to the device it names, even a missing one), or when
    // the port has opened through it since the ports were last opened from
    // the settings; else /dev/ttyS<n-1>.
    QString comDevicePath(int port) const;
    bool isComOpen(int port) const;
    // True when the port's device is its COM<n> link rather than a built-in line.
    bool opensThroughLink(int port) const;
    // Why the last attempt to open an enabled comm port failed, in the
    // system's words; empty when it opened.
    QString comOpenProblem(int port) const;

    // What waits in a router's comm or network queue, the next to go first.
    QList<QByteArray> queuedCommands(int router, bool isNetwork) const;
    // Re-sends of the last command still to come on a network port.
    int resendsLeft(int port) const;
    // Link-check ticks since the port last heard a reply its parser
    // accepted from its router.
    int silentTicks(int port, bool isNetwork) const;
    // Bytes received on a port number (its comm and network port together)
    // that their parsers have not taken yet.
    qsizetype pendingReplyBytes(int port) const;

    // The newest sends on every port, oldest first: the spacing and re-send
    // timing can be checked from when the commands really left.
    static constexpr int kSendLogLimit = 256;
    QList<SentCommand> sendLog() const { return QList<SentCommand>(sent.begin(), sent.end()); }

    // Counters since the start, per router: status replies accepted and
    // commands sent on any port serving it; and the commands waiting in the
    // queues that its ports send from.
    quint64 repliesReceived(int router) const;
    quint64 commandsSent(int router) const;
    int queueDepth(int router) const;

    // Whether the last link check found a port's link up.
    bool isLinkUp(int port, bool isNetwork) const;
    // Stops the periodic link checks; comLinkPass and netLinkPass still run
    // when called, one at a time.
    void stopLinkChecks();

signals:
    // A router's status (priority false) or high-priority flags (true) changed.
    void routerChanged(int router, bool priority);
    // A reply stored a new crosspoint.
    void crosspointChanged(int router, int destination, int source);
    // A reply switched a held destination elsewhere, and its hold dropped.
    void holdDropped(int router, int destination);
    // A router's communication was reported lost (false) or restored (true).
    void linkChanged(int router, bool up);
    void routerViewRefreshRequested();
    void problemRoutersRefreshRequested();
    // The alert window of a port number opens with text, or closes.
    void alertRaised(int port, const QString &text);
    void alertCleared(int port);

private:
    // A port as the links use it, whichever kind it is: the router it
    // serves (0: none) and its language by the port map, its level and
    // description by the settings.
    struct PortView {
        bool isNetwork = false;
        int router = 0;
        const DeviceLanguage *language = nullptr;
        int level = 0;
        QString description;
    };
    PortView portView(int port, bool isNetwork) const;

    // LinkEvents: what the port classes report.
    void commandSent(int port, bool isNetwork, const QByteArray &bytes) override;
    void bytesReceived(int port, bool isNetwork, const QByteArray &bytes) override;

    void reportLinkChange(int port, bool isNetwork, bool ok, bool commOK);
    void applyReports(int router, const ReplyScan &scan);
    void queueOn(const PortView &view, const QByteArray &command);
    bool checkSilenceAndPoll(int port, bool isNetwork);
    int missLimit(int port, bool isNetwork) const;
    void queueFirstRequests(int port, bool isNetwork);

    const Settings &settings;
    RouterTableArray &tables;
    RouterStateArray &states;
    Logs &logs;
    PortMap map;
    PortTable table;
    SerialLinks serial;
    NetworkLinks network;
    // The link passes: comm ports once a second (the first after 5 s),
    // network ports once a second.
    QTimer timeOnLine;
    QTimer timeNetPort;
    // Routers whose full status poll had its answer but could not queue the
    // next query yet (the queue was full).
    std::bitset<kRouterCount + 1> pollOwed;
    std::deque<SentCommand> sent;
    std::array<quint64, kRouterCount + 1> replyCounts{};
    std::array<quint64, kRouterCount + 1> sentCounts{};
    bool started = false;
    bool suspended = false;
};

} // namespace marlin
