#pragma once

#include "config/logs.h"
#include "config/settings.h"
#include "links/port_table.h"
#include "links/reply_scan.h"
#include "router/router_table.h"

#include <QObject>
#include <QTimer>
#include <array>
#include <memory>

class QAbstractSocket;
class QSerialPort;

namespace marlin {

// Every link to the routers: the 96 comm ports and 96 network ports, the
// per-router command queues, the send spacing and re-sends, the reply
// parsing into the router states, and the supervision that notices lost and
// restored links. Everything runs on the event loop, driven by the timers
// below; the rest of the server hears of changes through the signals.
class RouterLinks : public QObject {
    Q_OBJECT

public:
    RouterLinks(const QString &appDir, const Settings &settings, RouterTableArray &tables,
                RouterStateArray &states, Logs &logs, QObject *parent = nullptr);
    ~RouterLinks() override;

    // Startup steps, in the order the server runs them.
    void applyNetRetryIntervals();
    // (Re)opens every comm port with its line settings; returns the text of
    // every failure in the order met, empty when every step worked.
    QStringList OpenCommPorts();
    void markComLinksUp();
    void RequestAllStatus();
    // Starts the link timers; nothing is sent or checked before this.
    void start();

    void QueueComCommand(int router, const QByteArray &command);
    void QueueNetCommand(int router, const QByteArray &command);
    int FindRouterProtocol(int deviceType, int router) const;
    // The take command for a router in the language of the first port that
    // serves it; empty when no port serves it or the language is not allowed.
    QByteArray buildTakeCommand(int router, const QByteArray &takeString, bool allowFramed = true) const;

    // Serial passes (one tick of timeComPort is SendComQueues then
    // receiveComPorts; one tick of timeOnLine is comLinkPass).
    void SendComQueues();
    void receiveComPorts();
    void comLinkPass();
    bool CheckComLink(int port);

    // Network passes (one tick of timeNetPort is netLinkPass).
    void netLinkPass();
    bool CheckNetLink(int port);
    void SendNetQueue(int port);
    // The connection state of a network port in the numbers the link pass
    // tests: 0 closed, 7 connected, 8 closing, 9 error, others waiting.
    int netSocketState(int port) const;

    // Hands the port's receive buffer to the parser of its language; true
    // when the router answered with a status report.
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

    PortTable table;
    QString AlertText;

    QTimer timeComPort;
    QTimer timeOnLine;
    QTimer timeNetPort;
    std::array<QTimer, kPortCount + 1> timeCOM;
    std::array<QTimer, kPortCount + 1> timeNetCTS;

signals:
    // A router's status (priority false) or high-priority flags (true) changed.
    void routerChanged(int router, bool priority);
    // A reply stored a new crosspoint: the view refreshes after the burst.
    void crosspointStored(int router);
    void routerViewRefreshRequested();
    void problemRoutersRefreshRequested();
    // The alert window of a port number opens with text, or closes.
    void alertRaised(int port, const QString &text);
    void alertCleared(int port);

private:
    struct ComChannel;
    struct NetChannel;

    void reportLinkChange(int port, bool isNetwork, bool ok, bool commOK);
    void applyReports(int router, const ReplyScan &scan);
    void queueFollowUp(int port, bool isNetwork);
    QByteArray nextPoll(int port, bool isNetwork);
    void reopenFailedComPorts();
    bool hasComLink(int port) const;
    void onComError(int port);
    void onNetData(int port);
    void onResendTick(int port);
    void sendOnNetPort(int port, const QByteArray &bytes);
    QAbstractSocket *netSocket(int port, bool udp);

    QString applicationDir;
    const Settings &settings;
    RouterTableArray &tables;
    RouterStateArray &states;
    Logs &logs;
    std::array<std::unique_ptr<ComChannel>, kPortCount + 1> com;
    std::array<std::unique_ptr<NetChannel>, kPortCount + 1> net;
};

} // namespace marlin
