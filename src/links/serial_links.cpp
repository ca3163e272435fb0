// Serial ports: the 96 comm ports, opened on their devices with their line
// settings, written to as their spacing allows and read as bytes arrive,
// and checked once a second.
#include "router_links.h"

#include "config/convert.h"
#include "links/comm_settings.h"
#include "links/link_channels.h"
#include "links/modem_lines.h"

#include <QFileInfo>
#include <QSerialPort>

namespace marlin {

namespace {

const QString kCheckSettings = QStringLiteral("Please check the communication settings.");

QString problemText(const char *what, int port, const QString &advice)
{
    return QLatin1String(what) + Str(port) + QStringLiteral(".  ") + advice;
}

} // namespace


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
        queueFirstRequests(n, false);
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

} // namespace marlin
