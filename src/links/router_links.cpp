// The links to the routers as a whole: the per-router queues, the take
// commands in each language, the parsing of replies into the router states,
// and the link passes that notice lost and restored links. The bytes move
// in serial_links.cpp and network_links.cpp.
#include "router_links.h"

#include "config/convert.h"
#include "config/ini_file.h"
#include "links/crosspoint.h"
#include "router/switch_log.h"

#include <QDeadlineTimer>

#include <algorithm>

namespace marlin {

namespace {

// Link checks a router may stay silent before its link is reported lost:
// a comm or TCP link ten, a UDP link thirty.
constexpr int kComMissLimit = 10;
constexpr int kNetMissLimit = 30;

QString linkPhrase(const DeviceLanguage &language, bool ok, bool isNetwork)
{
    const QString router = language.routerName();
    const QString where = isNetwork ? QStringLiteral("network port") : QStringLiteral("communication port");
    return (ok ? QStringLiteral("Communication restored with ") : QStringLiteral("Communication lost with "))
           + router + QStringLiteral(" on ") + where;
}

} // namespace

RouterLinks::RouterLinks(const QString &appDir, const Settings &settings, RouterTableArray &tables,
                         RouterStateArray &states, Logs &logs, QObject *parent)
    : QObject(parent),
      settings(settings),
      tables(tables),
      states(states),
      logs(logs),
      serial(appDir, settings, table, *this),
      network(settings, tables, table, *this, logs)
{
    timeOnLine.setObjectName(QStringLiteral("timeOnLine"));
    timeOnLine.setInterval(5000);
    connect(&timeOnLine, &QTimer::timeout, this, &RouterLinks::comLinkPass);

    timeNetPort.setObjectName(QStringLiteral("timeNetPort"));
    timeNetPort.setInterval(1000);
    connect(&timeNetPort, &QTimer::timeout, this, &RouterLinks::netLinkPass);
}

RouterLinks::~RouterLinks() = default;

void RouterLinks::start()
{
    started = true;
    timeOnLine.start(5000);
    timeNetPort.start();
    serial.start();
}

void RouterLinks::suspend()
{
    suspended = true;
    started = false;
    timeOnLine.stop();
    timeNetPort.stop();
    serial.closeAll();
    network.closeAll();
    // Nothing stale may go out when the links open again.
    table = PortTable{};
    pollOwed.reset();
}

void RouterLinks::resume() { suspended = false; }

// ---- The ports, as their classes show them ----------------------------------

void RouterLinks::settingsLoaded()
{
    map = PortMap(settings);
}
void RouterLinks::applyNetRetryIntervals() { network.applyRetryIntervals(); }
QStringList RouterLinks::OpenCommPorts()
{
    // The ports are opened from the settings as they are now, which an
    // apply of the port windows has just replaced.
    map = PortMap(settings);
    return serial.open();
}
void RouterLinks::receiveComPorts() { serial.receiveAll(); }
int RouterLinks::comSendSpacingMs(int port) const { return serial.spacingMs(port); }
bool RouterLinks::comSendWaits(int port) const { return serial.sendWaits(port); }
QString RouterLinks::comDevicePath(int port) const { return serial.devicePath(port); }
bool RouterLinks::isComOpen(int port) const { return serial.isOpen(port); }
bool RouterLinks::opensThroughLink(int port) const { return serial.opensThroughLink(port); }
QString RouterLinks::comOpenProblem(int port) const { return serial.openProblem(port); }
void RouterLinks::SendNetQueue(int port) { network.send(port); }
NetSocketState RouterLinks::netSocketState(int port) const { return network.socketState(port); }
qintptr RouterLinks::netSocketDescriptor(int port) const { return network.socketDescriptor(port); }
void RouterLinks::setUdpLocalEndpoint(const QHostAddress &address, quint16 port)
{
    network.setUdpLocalEndpoint(address, port);
}

// ---- Queues and takes -------------------------------------------------------

bool RouterLinks::QueueComCommand(int router, const QByteArray &command)
{
    if (!isRouterNumber(router) || suspended)
        return false;
    const bool displaced = table.ComTxQueue[router].enqueue(command);
    if (!started)
        return displaced;
    // A port that has been quiet for its spacing sends it now.
    for (const int n : map.ports(router, false))
        serial.send(n);
    return displaced;
}

bool RouterLinks::QueueNetCommand(int router, const QByteArray &command)
{
    if (!isRouterNumber(router) || suspended)
        return false;
    return table.NetTxQueue[router].enqueue(command);
}

bool RouterLinks::QueueTake(int router, const QByteArray &command)
{
    const bool comDisplaced = QueueComCommand(router, command);
    const bool netDisplaced = QueueNetCommand(router, command);
    return (comDisplaced && isServed(router, false)) || (netDisplaced && isServed(router, true));
}

bool RouterLinks::isServed(int router, bool isNetwork) const { return map.isServed(router, isNetwork); }

quint64 RouterLinks::repliesReceived(int router) const { return isRouterNumber(router) ? replyCounts[router] : 0; }

quint64 RouterLinks::commandsSent(int router) const { return isRouterNumber(router) ? sentCounts[router] : 0; }

int RouterLinks::queueDepth(int router) const
{
    if (!isRouterNumber(router))
        return 0;
    return (isServed(router, false) ? table.ComTxQueue[router].size() : 0)
           + (isServed(router, true) ? table.NetTxQueue[router].size() : 0);
}

int RouterLinks::FindRouterProtocol(int deviceType, int router) const
{
    return deviceType == kDeviceRouter ? map.servingPort(router).protocol : int(ProtocolNone);
}

RouterPort RouterLinks::servingPort(int router) const { return map.servingPort(router); }

QByteArray RouterLinks::buildTakeCommand(int router, const QByteArray &takeString) const
{
    const RouterPort port = map.servingPort(router);
    const DeviceLanguage *language = map.languageOf(port.number, port.isNetwork);
    if (!language)
        return {};
    const QByteArray command = language->buildTake(takeString);
    if (command.isEmpty()) {
        for (const QString &why : language->takeRefusals(takeString))
            logs.WriteErrorLog(QStringLiteral("Take not sent to ") + language->routerName() + Str(router)
                               + QStringLiteral(" (") + tables[router].Name + QStringLiteral("): ") + why);
    }
    return command;
}

// ---- Shared by both kinds of port ----------------------------------------

QList<QByteArray> RouterLinks::queuedCommands(int router, bool isNetwork) const
{
    QList<QByteArray> commands;
    if (!isRouterNumber(router))
        return commands;
    const CommandQueue &queue = isNetwork ? table.NetTxQueue[router] : table.ComTxQueue[router];
    for (int i = 0; i < CommandQueue::kSlots; ++i) {
        if (!queue.slot(i).trimmed().isEmpty())
            commands.append(queue.slot(i));
    }
    return commands;
}

bool RouterLinks::isLinkUp(int port, bool isNetwork) const
{
    if (!isPortNumber(port))
        return false;
    return isNetwork ? table.ports[port].NetLinkOK : table.ports[port].ComLinkOK;
}

void RouterLinks::stopLinkChecks()
{
    timeOnLine.stop();
    timeNetPort.stop();
}

int RouterLinks::resendsLeft(int port) const
{
    return isPortNumber(port) ? table.ports[port].NetResendCount : 0;
}

int RouterLinks::silentTicks(int port, bool isNetwork) const
{
    if (!isPortNumber(port))
        return 0;
    return isNetwork ? table.ports[port].NetMissCount : table.ports[port].ComMissCount;
}

qsizetype RouterLinks::pendingReplyBytes(int port) const
{
    return isPortNumber(port) ? table.ports[port].RxBuffer.size() + table.ports[port].NetRxBuffer.size() : 0;
}

RouterLinks::PortView RouterLinks::portView(int port, bool isNetwork) const
{
    PortView view;
    view.isNetwork = isNetwork;
    view.router = map.routerOf(port, isNetwork);
    view.language = map.languageOf(port, isNetwork);
    view.level = isNetwork ? settings.NetPorts[port].NetLevel : settings.ComPorts[port].ComLevel;
    view.description = isNetwork ? settings.NetPorts[port].NetDescription : settings.ComPorts[port].ComDescription;
    return view;
}

void RouterLinks::queueOn(const PortView &view, const QByteArray &command)
{
    if (view.isNetwork)
        QueueNetCommand(view.router, command);
    else
        QueueComCommand(view.router, command);
}

// What a router is asked when its link starts or comes back, in its language.
void RouterLinks::queueFirstRequests(int port, bool isNetwork)
{
    const PortView view = portView(port, isNetwork);
    const int r = view.router;
    if (!isRouterNumber(r) || !view.language)
        return;
    for (const QByteArray &request : view.language->firstRequests(states[r], tables[r], view.level))
        queueOn(view, request);
}

void RouterLinks::reportLinkChange(int port, bool isNetwork, bool ok, bool commOK)
{
    const PortView view = portView(port, isNetwork);
    const int r = view.router;
    // Ports serving no router table (ID numbers above 96) are left alone.
    if (!view.language || !isRouterNumber(r))
        return;
    states[r].CommOK = commOK;
    const QString text = linkPhrase(*view.language, ok, isNetwork) + Str(port) + QStringLiteral(" (") + tables[r].Name
                         + QStringLiteral(") (") + view.description + QStringLiteral(").");
    logs.WriteErrorLog(text);
    if (!ok) {
        emit alertRaised(port, text);
    } else {
        queueFirstRequests(port, isNetwork);
        emit alertCleared(port);
    }
    emit routerViewRefreshRequested();
    emit routerChanged(r, false);
    emit routerChanged(r, true);
    emit problemRoutersRefreshRequested();
    emit linkChanged(r, ok);
}

void RouterLinks::applyReports(int r, const ReplyScan &scan)
{
    for (const Crosspoint &x : scan.reports) {
        const CrosspointChange change = ApplyCrosspoint(states[r], x.destination, x.source);
        if (!change.changed)
            continue;
        WriteSwitchLogByRouterNumbers(logs, tables, false, r, x.source, x.destination, QString());
        emit crosspointChanged(r, x.destination, x.source);
        if (change.holdDropped) {
            emit holdDropped(r, x.destination);
            emit routerChanged(r, true);
        }
        emit routerChanged(r, false);
    }
}

bool RouterLinks::parseReply(int port, bool isNetwork)
{
    // A restored router may report every crosspoint in one read.
    Logs::Batch batch(logs);
    QByteArray &buffer = isNetwork ? table.ports[port].NetRxBuffer : table.ports[port].RxBuffer;
    const PortView view = portView(port, isNetwork);
    const int r = view.router;
    if (!isRouterNumber(r)) {
        // No table to apply the replies to: drop them rather than let them pile up.
        buffer.clear();
        return false;
    }
    if (!view.language)
        return false;
    const DeviceLanguage &language = *view.language;
    const ReplyScan scan = language.decode(buffer, tables[r]);
    if (scan.accepted)
        ++replyCounts[r];
    applyReports(r, scan);

    if (language.walkLength() > 0 && states[r].PollActive) {
        // The full status poll advances one destination per answer to its
        // own query. Reports of takes on the way are not answers to it: were
        // they to advance it too, several queries would wait at once, and a
        // full queue would put each in the place of the one before.
        RouterState &state = states[r];
        const int asked = state.PollIndex >= language.walkLength() ? 1 : state.PollIndex;
        const bool answered = std::any_of(scan.reports.begin(), scan.reports.end(),
                                          [asked](const Crosspoint &x) { return x.destination == asked; });
        if (answered)
            pollOwed.set(std::size_t(r));
        const RouterQueues &queues = isNetwork ? table.NetTxQueue : table.ComTxQueue;
        // A take into a full queue may have taken the place of the query:
        // neither waiting nor the last sent on this port, it is asked again.
        const QByteArray query = language.statusQuery(asked);
        const auto lastSent = std::find_if(sent.rbegin(), sent.rend(), [&](const SentCommand &c) {
            return c.port == port && c.isNetwork == isNetwork;
        });
        const bool waiting = queuedCommands(r, isNetwork).contains(query);
        if (!answered && !pollOwed.test(std::size_t(r)) && !waiting
            && (lastSent == sent.rend() || lastSent->bytes != query) && !queues[r].isFull())
            queueOn(view, query);
        if (pollOwed.test(std::size_t(r)) && scan.accepted && !queues[r].isFull()) {
            pollOwed.reset(std::size_t(r));
            queueOn(view, language.nextPoll(state, tables[r], view.level));
        }
    }
    return scan.accepted;
}

// ---- What the ports report ------------------------------------------------

void RouterLinks::commandSent(int port, bool isNetwork, const QByteArray &bytes)
{
    if (sent.size() >= std::size_t(kSendLogLimit))
        sent.pop_front();
    sent.push_back({port, isNetwork, QDeadlineTimer::current(Qt::PreciseTimer).deadlineNSecs(), bytes});
    const int r = portView(port, isNetwork).router;
    if (isRouterNumber(r))
        ++sentCounts[r];
}


void RouterLinks::bytesReceived(int port, bool isNetwork, const QByteArray &bytes)
{
    PortRuntime &rt = table.ports[port];
    appendReceived(isNetwork ? rt.NetRxBuffer : rt.RxBuffer, bytes);
    // A link counts as heard from only when the router made sense: noise, or
    // a connection that stays open without a word, is silence.
    if (parseReply(port, isNetwork))
        (isNetwork ? rt.NetMissCount : rt.ComMissCount) = 0;
}

// ---- Link passes --------------------------------------------------------------

void RouterLinks::markComLinksUp()
{
    for (int n = 1; n <= kPortCount; ++n) {
        table.ports[n].ComLinkOK = true;
        table.ports[n].ComMissCount = 0;
    }
}

void RouterLinks::markNetLinksUp()
{
    // The silence count stays: a router that has said nothing for long is
    // reported down with its link at the next check.
    for (int n = 1; n <= kPortCount; ++n)
        table.ports[n].NetLinkOK = true;
}

int RouterLinks::missLimit(int port, bool isNetwork) const
{
    return isNetwork && settings.NetPorts[port].NetPortType != 0 ? kNetMissLimit : kComMissLimit;
}

void RouterLinks::RequestAllStatus()
{
    for (int n = 1; n <= kPortCount; ++n) {
        const int r = map.routerOf(n, false);
        if (r == 0)
            continue;
        states[r].LinkPort = n;
        queueFirstRequests(n, false);
    }
}

// The silence verdict of a port: up while it has missed fewer checks than
// its limit; a router whose language polls, silent for more than three, is
// polled once a check.
bool RouterLinks::checkSilenceAndPoll(int n, bool isNetwork)
{
    PortRuntime &rt = table.ports[n];
    int &misses = isNetwork ? rt.NetMissCount : rt.ComMissCount;
    const int limit = missLimit(n, isNetwork);
    const PortView view = portView(n, isNetwork);
    misses = std::min(misses, limit);
    const bool ok = misses < limit;
    if (misses > 3 && isRouterNumber(view.router) && view.language && view.language->pollsWhenSilent())
        queueOn(view, view.language->nextPoll(states[view.router], tables[view.router], view.level));
    return ok;
}

bool RouterLinks::CheckComLink(int n) { return checkSilenceAndPoll(n, false); }

bool RouterLinks::CheckNetLink(int n) { return checkSilenceAndPoll(n, true); }

void RouterLinks::comLinkPass()
{
    // A standby server supervises nothing: no polls, no loss reports.
    if (suspended)
        return;
    serial.reopenFailed();
    for (int n = 1; n <= kPortCount; ++n) {
        const ComPortSettings &cfg = settings.ComPorts[n];
        if (!cfg.ComEnable)
            continue;
        PortRuntime &rt = table.ports[n];
        ++rt.ComMissCount;
        const bool ok = CheckComLink(n);
        if (ok == rt.ComLinkOK)
            continue;
        rt.ComLinkOK = ok;
        if (cfg.ComDeviceType == kDeviceRouter)
            reportLinkChange(n, false, ok, ok);
    }
    timeOnLine.setInterval(1000);
}

void RouterLinks::netLinkPass()
{
    if (suspended)
        return;
    for (int n = 1; n <= kPortCount; ++n) {
        const NetPortSettings &cfg = settings.NetPorts[n];
        if (!cfg.NetEnabled)
            continue;
        const QString host = trimSpaces(cfg.NetIPAddress);
        if (host.isEmpty() || cfg.NetPort < 1)
            continue;
        // An address the links cannot use, or a port number beyond 65535
        // (which would wrap to another port on TCP): the port is not used.
        // The settings validator says so in the error log at each load.
        if (!isNetPortAddress(host, cfg.NetPortType != 0) || cfg.NetPort > NetworkLinks::kHighestPort)
            continue;
        PortRuntime &rt = table.ports[n];
        ++rt.NetMissCount;
        CheckNetLink(n);
        const NetworkLinks::PassResult result = network.pass(n, host);
        const bool routerPort = cfg.NetDeviceType == kDeviceRouter && map.languageOf(n, true) != nullptr;
        // A dropped connection is the whole silence at once.
        if (result.dropped)
            rt.NetMissCount = missLimit(n, true);
        // A link still up asks for the whole status when its transport
        // opens; a link reported lost is polled, and asks once restored.
        if (result.opened && rt.NetLinkOK && routerPort)
            queueFirstRequests(n, true);
        const bool link = rt.NetMissCount < missLimit(n, true);
        if (link == rt.NetLinkOK)
            continue;
        rt.NetLinkOK = link;
        if (routerPort)
            reportLinkChange(n, true, link, link);
    }
}

} // namespace marlin
