#include "router_links.h"

#include "config/convert.h"
#include "links/comm_settings.h"
#include "links/crosspoint.h"
#include "links/framed.h"
#include "links/image_video.h"
#include "links/leitch.h"
#include "links/link_channels.h"
#include "links/modem_lines.h"
#include "router/take_string.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QSerialPort>
#include <QTcpSocket>
#include <QUdpSocket>

namespace marlin {

namespace {

const QString kCheckSettings = QStringLiteral("Please check the communication settings.");

QString problemText(const char *what, int port, const QString &advice)
{
    return QLatin1String(what) + Str(port) + QStringLiteral(".  ") + advice;
}

QString linkPhrase(int protocol, bool ok, bool isNetwork)
{
    const QString router = protocol == ProtocolLeitch ? QStringLiteral("Leitch Router") : QStringLiteral("Image Video Router");
    const QString where = isNetwork ? QStringLiteral("network port") : QStringLiteral("communication port");
    return (ok ? QStringLiteral("Communication restored with ") : QStringLiteral("Communication lost with "))
           + router + QStringLiteral(" on ") + where;
}

} // namespace

RouterLinks::RouterLinks(const QString &appDir, const Settings &settings, RouterTableArray &tables,
                         RouterStateArray &states, Logs &logs, QObject *parent)
    : QObject(parent), applicationDir(appDir), settings(settings), tables(tables), states(states), logs(logs)
{
    timeOnLine.setObjectName(QStringLiteral("timeOnLine"));
    timeOnLine.setInterval(5000);
    connect(&timeOnLine, &QTimer::timeout, this, &RouterLinks::comLinkPass);

    timeNetPort.setObjectName(QStringLiteral("timeNetPort"));
    timeNetPort.setInterval(1000);
    connect(&timeNetPort, &QTimer::timeout, this, &RouterLinks::netLinkPass);

    for (int n = 1; n <= kPortCount; ++n) {
        timeCOM[n].setObjectName(QStringLiteral("timeCOM(%1)").arg(n));
        timeCOM[n].setInterval(kSpacingMs);
        timeCOM[n].setSingleShot(true);
        // A coarse timer may fire up to 5% early, and the spacing is a
        // minimum the routers rely on.
        timeCOM[n].setTimerType(Qt::PreciseTimer);
        // The end of the spacing lets the next queued command go at once.
        connect(&timeCOM[n], &QTimer::timeout, this, [this, n] { sendComQueue(n); });
        timeNetCTS[n].setObjectName(QStringLiteral("timeNetCTS(%1)").arg(n));
        connect(&timeNetCTS[n], &QTimer::timeout, this, [this, n] { onResendTick(n); });
    }
}

RouterLinks::~RouterLinks() = default;

void RouterLinks::start()
{
    started = true;
    timeOnLine.start(5000);
    timeNetPort.start();
    // What arrived or was queued before the start.
    receiveComPorts();
    SendComQueues();
}

void RouterLinks::QueueComCommand(int router, const QByteArray &command)
{
    if (!isRouterNumber(router))
        return;
    table.ComTxQueue[router].enqueue(command);
    if (!started)
        return;
    // A port that has been quiet for its spacing sends it now.
    for (int n = 1; n <= kPortCount; ++n) {
        if (settings.ComPorts[n].ComIDNumber == router)
            sendComQueue(n);
    }
}

void RouterLinks::QueueNetCommand(int router, const QByteArray &command)
{
    if (isRouterNumber(router))
        table.NetTxQueue[router].enqueue(command);
}

int RouterLinks::FindRouterProtocol(int deviceType, int router) const
{
    return marlin::FindRouterProtocol(settings, deviceType, router);
}

QByteArray RouterLinks::buildTakeCommand(int router, const QByteArray &takeString, bool allowFramed) const
{
    switch (FindRouterProtocol(kDeviceRouter, router)) {
    case ProtocolLeitch: return BuildLeitchTake(takeString);
    case ProtocolImageVideo: {
        const QByteArray command = BuildImageVideoTake(takeString);
        if (command.isEmpty())
            logImageVideoRefusal(router, takeString);
        return command;
    }
    case ProtocolFramed: return allowFramed ? BuildFramedTake(takeString) : QByteArray();
    default: return {};
    }
}

void RouterLinks::logImageVideoRefusal(int router, const QByteArray &takeString) const
{
    // 255 is the one number inside the tables a frame cannot carry: its byte
    // is the terminator, and the router would act on half a take.
    const TakeString take = ParseTakeString(takeString);
    for (const auto &[what, number] : {std::pair{"source", take.source}, std::pair{"destination", take.destination}}) {
        if (number == 255 && isRouterNumber(router)) {
            logs.WriteErrorLog(QStringLiteral("Take not sent to Image Video Router") + Str(router) + QStringLiteral(" (")
                               + tables[router].Name + QStringLiteral("): ") + QLatin1String(what)
                               + QStringLiteral(" 255 cannot be carried in a frame."));
        }
    }
}

// ---- Serial ports ---------------------------------------------------------

QString RouterLinks::comDevicePath(int port) const
{
    const QFileInfo link(applicationDir + QStringLiteral("/COM%1").arg(port));
    // A link whose device is missing (adapter unplugged) still names the
    // port, and so does a link that vanished after the port had opened
    // through it (a simulator or a udev rule removes it): falling back to a
    // built-in serial line would send the router's commands to some other
    // device.
    if (!link.exists() && !link.isSymLink()) {
        const bool keepsLink = isPortNumber(port) && com[port] && com[port]->throughLink;
        return keepsLink ? link.absoluteFilePath() : QStringLiteral("/dev/ttyS%1").arg(port - 1);
    }
    // The serial driver names its lock file after the device, so follow the
    // link: two installations with their own COM1 then never share a lock,
    // and a real device is locked under its own name.
    const QString target = link.canonicalFilePath();
    if (!target.isEmpty())
        return target;
    return link.isSymLink() ? link.symLinkTarget() : link.absoluteFilePath();
}

bool RouterLinks::hasComLink(int port) const
{
    const QFileInfo link(applicationDir + QStringLiteral("/COM%1").arg(port));
    return link.exists() || link.isSymLink();
}

bool RouterLinks::isComOpen(int port) const
{
    return isPortNumber(port) && com[port] && com[port]->port.isOpen();
}

bool RouterLinks::opensThroughLink(int port) const
{
    return isPortNumber(port) && com[port] && com[port]->throughLink;
}

QString RouterLinks::comOpenProblem(int port) const
{
    return isPortNumber(port) && com[port] ? com[port]->openProblem : QString();
}

QStringList RouterLinks::OpenCommPorts()
{
    QStringList failures;
    for (int n = 1; n <= kPortCount; ++n) {
        const ComPortSettings &cfg = settings.ComPorts[n];
        if (!com[n]) {
            com[n] = std::make_unique<ComChannel>();
            QSerialPort &serial = com[n]->port;
            connect(&serial, &QSerialPort::readyRead, this, [this, n] {
                if (started)
                    receiveComPort(n);
            });
            connect(&serial, &QSerialPort::errorOccurred, this, [this, n](QSerialPort::SerialPortError e) {
                if (e == QSerialPort::ResourceError || e == QSerialPort::ReadError || e == QSerialPort::WriteError)
                    onComError(n);
            });
        }
        ComChannel &ch = *com[n];
        ch.reopenWanted = false;
        ch.openProblem.clear();
        // Opening from the settings looks at the folder afresh.
        ch.throughLink = hasComLink(n);
        if (ch.port.isOpen())
            ch.port.close();

        const auto line = parseCommSettings(BuildCommSettings(cfg.ComBaudRate, cfg.ComDataBits, cfg.ComParity, cfg.ComStopBits));
        if (line) {
            ch.port.setBaudRate(line->baudRate);
            ch.port.setParity(line->parity);
            ch.port.setDataBits(line->dataBits);
            ch.port.setStopBits(line->stopBits);
        } else {
            failures.append(problemText("There is a problem with the communication settings on port#", n, kCheckSettings));
        }

        if (cfg.ComEnable) {
            ch.port.setPortName(comDevicePath(n));
            if (ch.port.open(QIODevice::ReadWrite)) {
                SerialModemLines lines(ch.port);
                failures += ApplyModemLines(lines, n, cfg.ComDTR, cfg.ComRTS);
                ch.port.clearError();
            } else {
                ch.openProblem = ch.port.errorString();
                ch.port.clearError();
                failures.append(problemText("There is a problem opening communication port #", n,
                                      QStringLiteral("Please check the hardware is working and verify the communication settings.")));
                // An adapter plugged in later comes up by itself, as one
                // that was unplugged and plugged back does.
                ch.reopenWanted = line.has_value();
            }
        }

        // Set on every opening: a port changed to another language takes
        // that language's spacing.
        const bool slowRouter = cfg.ComDeviceType == kDeviceRouter
                                && (cfg.ComProtocol == ProtocolLeitch || cfg.ComProtocol == ProtocolImageVideo);
        timeCOM[n].setInterval(slowRouter ? kSlowRouterSpacingMs : kSpacingMs);
    }
    if (started)
        SendComQueues();
    return failures;
}

int RouterLinks::comSendSpacingMs(int port) const { return isPortNumber(port) ? timeCOM[port].interval() : 0; }

bool RouterLinks::comSendWaits(int port) const { return isPortNumber(port) && timeCOM[port].isActive(); }

void RouterLinks::onComError(int port)
{
    // A vanished device (adapter unplugged, far end of a pseudo-terminal
    // closed) reports errors over and over: close at the first one and let
    // the link check reopen the port when the device is back.
    ComChannel &ch = *com[port];
    if (ch.port.isOpen()) {
        ch.port.close();
        ch.reopenWanted = true;
    }
    ch.port.clearError();
}

void RouterLinks::reopenFailedComPorts()
{
    for (int n = 1; n <= kPortCount; ++n) {
        if (!com[n] || !com[n]->reopenWanted || !settings.ComPorts[n].ComEnable)
            continue;
        ComChannel &ch = *com[n];
        ch.port.setPortName(comDevicePath(n));
        if (ch.port.open(QIODevice::ReadWrite)) {
            ch.reopenWanted = false;
            ch.throughLink = ch.throughLink || hasComLink(n);
            // Its lines were reported, if at all, when the port first opened.
            SerialModemLines lines(ch.port);
            ApplyModemLines(lines, n, settings.ComPorts[n].ComDTR, settings.ComPorts[n].ComRTS);
            if (started)
                sendComQueue(n);
        }
        ch.port.clearError();
    }
}

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

void RouterLinks::RequestAllStatus()
{
    for (int n = 1; n <= kPortCount; ++n) {
        const ComPortSettings &cfg = settings.ComPorts[n];
        const int r = cfg.ComIDNumber;
        if (cfg.ComDeviceType != kDeviceRouter || !cfg.ComEnable || !isRouterNumber(r))
            continue;
        states[r].LinkPort = n;
        if (cfg.ComProtocol == ProtocolLeitch) {
            QueueComCommand(r, LeitchStatusRequest());
            QueueComCommand(r, LeitchLevelStatusRequest(cfg.ComLevel));
        } else if (cfg.ComProtocol == ProtocolImageVideo) {
            states[r].PollIndex = 0;
            states[r].PollActive = true;
            QueueComCommand(r, NextImageVideoPoll(states[r], tables[r]));
        }
    }
}

void RouterLinks::SendComQueues()
{
    for (int n = 1; n <= kPortCount; ++n)
        sendComQueue(n);
}

void RouterLinks::sendComQueue(int n)
{
    const ComPortSettings &cfg = settings.ComPorts[n];
    if (!isComOpen(n) || timeCOM[n].isActive() || cfg.ComDeviceType != kDeviceRouter
        || !isRouterNumber(cfg.ComIDNumber))
        return;
    const QByteArray command = table.ComTxQueue[cfg.ComIDNumber].takeHead();
    if (command.isEmpty())
        return;
    recordSend(n, false, command);
    com[n]->port.write(command);
    // Onto the line now rather than on the next pass of the event loop.
    com[n]->port.flush();
    timeCOM[n].start();
}

void RouterLinks::receiveComPorts()
{
    for (int n = 1; n <= kPortCount; ++n)
        receiveComPort(n);
}

void RouterLinks::receiveComPort(int n)
{
    const ComPortSettings &cfg = settings.ComPorts[n];
    if (!cfg.ComEnable || cfg.ComDeviceType != kDeviceRouter || !isRouterProtocol(cfg.ComProtocol)
        || !isComOpen(n) || com[n]->port.bytesAvailable() <= 0)
        return;
    appendReceived(table.ports[n].RxBuffer, com[n]->port.readAll());
    if (parseReply(n, false))
        table.ports[n].ComMissCount = 0;
}

bool RouterLinks::CheckComLink(int n)
{
    PortRuntime &rt = table.ports[n];
    const ComPortSettings &cfg = settings.ComPorts[n];
    rt.ComMissCount = std::min(rt.ComMissCount, 10);
    const bool ok = rt.ComMissCount < 10;
    if (rt.ComMissCount > 3 && cfg.ComDeviceType == kDeviceRouter && isRouterNumber(cfg.ComIDNumber)
        && (cfg.ComProtocol == ProtocolLeitch || cfg.ComProtocol == ProtocolImageVideo))
        QueueComCommand(cfg.ComIDNumber, nextPoll(n, false));
    return ok;
}

void RouterLinks::comLinkPass()
{
    reopenFailedComPorts();
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
    return isPortNumber(port) ? table.ports[port].RxBuffer.size() : 0;
}

void RouterLinks::recordSend(int port, bool isNetwork, const QByteArray &bytes)
{
    if (sent.size() >= std::size_t(kSendLogLimit))
        sent.pop_front();
    sent.push_back({port, isNetwork, QDeadlineTimer::current(Qt::PreciseTimer).deadlineNSecs(), bytes});
}

QByteArray RouterLinks::nextPoll(int port, bool isNetwork)
{
    const int r = isNetwork ? settings.NetPorts[port].NetIDNumber : settings.ComPorts[port].ComIDNumber;
    const int protocol = isNetwork ? settings.NetPorts[port].NetProtocol : settings.ComPorts[port].ComProtocol;
    const int level = isNetwork ? settings.NetPorts[port].NetLevel : settings.ComPorts[port].ComLevel;
    if (!isRouterNumber(r))
        return {};
    if (protocol == ProtocolLeitch)
        return NextLeitchPoll(states[r], tables[r], level);
    if (protocol == ProtocolImageVideo)
        return NextImageVideoPoll(states[r], tables[r]);
    return {};
}

void RouterLinks::queueFollowUp(int port, bool isNetwork)
{
    const int r = isNetwork ? settings.NetPorts[port].NetIDNumber : settings.ComPorts[port].ComIDNumber;
    const int protocol = isNetwork ? settings.NetPorts[port].NetProtocol : settings.ComPorts[port].ComProtocol;
    const int level = isNetwork ? settings.NetPorts[port].NetLevel : settings.ComPorts[port].ComLevel;
    const auto queue = [&](const QByteArray &command) {
        isNetwork ? QueueNetCommand(r, command) : QueueComCommand(r, command);
    };
    if (protocol == ProtocolLeitch) {
        queue(LeitchStatusRequest());
        queue(LeitchLevelStatusRequest(level));
    } else if (protocol == ProtocolImageVideo) {
        states[r].PollIndex = 0;
        states[r].PollActive = true;
        queue(NextImageVideoPoll(states[r], tables[r]));
    }
}

void RouterLinks::reportLinkChange(int port, bool isNetwork, bool ok, bool commOK)
{
    const int r = isNetwork ? settings.NetPorts[port].NetIDNumber : settings.ComPorts[port].ComIDNumber;
    const int protocol = isNetwork ? settings.NetPorts[port].NetProtocol : settings.ComPorts[port].ComProtocol;
    // Ports serving no router table (ID numbers above 96) are left alone.
    if (!isRouterProtocol(protocol) || !isRouterNumber(r))
        return;
    states[r].CommOK = commOK;
    const QString description = isNetwork ? settings.NetPorts[port].NetDescription : settings.ComPorts[port].ComDescription;
    const QString text = linkPhrase(protocol, ok, isNetwork) + Str(port) + QStringLiteral(" (") + tables[r].Name
                         + QStringLiteral(") (") + description + QStringLiteral(").");
    logs.WriteErrorLog(text);
    if (!ok) {
        AlertText = text;
        emit alertRaised(port, text);
    } else {
        queueFollowUp(port, isNetwork);
        emit alertCleared(port);
    }
    emit routerViewRefreshRequested();
    emit routerChanged(r, false);
    emit routerChanged(r, true);
    emit problemRoutersRefreshRequested();
}

void RouterLinks::applyReports(int r, const ReplyScan &scan)
{
    for (const Crosspoint &x : scan.reports) {
        const CrosspointChange change = ApplyCrosspoint(states[r], x.destination, x.source);
        if (!change.changed)
            continue;
        logs.WriteSwitchLog(false, r, x.source, x.destination, QString());
        emit crosspointStored(r);
        if (change.holdDropped)
            emit routerChanged(r, true);
        emit routerChanged(r, false);
    }
}

bool RouterLinks::parseReply(int port, bool isNetwork)
{
    // A restored router may report every crosspoint in one read.
    Logs::Batch batch(logs);
    QByteArray &buffer = table.ports[port].RxBuffer;
    const int r = isNetwork ? settings.NetPorts[port].NetIDNumber : settings.ComPorts[port].ComIDNumber;
    const int protocol = isNetwork ? settings.NetPorts[port].NetProtocol : settings.ComPorts[port].ComProtocol;
    if (!isRouterNumber(r)) {
        // No table to apply the replies to: drop them rather than let them pile up.
        buffer.clear();
        return false;
    }
    ReplyScan scan;
    switch (protocol) {
    case ProtocolLeitch: scan = DecodeLeitchReply(buffer); break;
    case ProtocolImageVideo: scan = DecodeImageVideoReply(buffer); break;
    case ProtocolFramed: scan = DecodeFramedReply(buffer, tables[r]); break;
    default: return false;
    }
    applyReports(r, scan);

    if (protocol == ProtocolImageVideo && scan.accepted && states[r].PollActive) {
        // The full status poll advances one destination per report.
        const auto pollNext = [this](int router) { return NextImageVideoPoll(states[router], tables[router]); };
        const int comRouter = settings.ComPorts[port].ComIDNumber;
        const int netRouter = settings.NetPorts[port].NetIDNumber;
        if (settings.ComPorts[port].ComEnable && isRouterNumber(comRouter))
            QueueComCommand(comRouter, pollNext(comRouter));
        if (settings.NetPorts[port].NetEnabled && isRouterNumber(netRouter))
            QueueNetCommand(netRouter, pollNext(netRouter));
    }
    return scan.accepted;
}

} // namespace marlin
