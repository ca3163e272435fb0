#include "serial_links.h"

#include "config/convert.h"
#include "links/comm_settings.h"
#include "links/modem_lines.h"

#include <QFileInfo>
#include <QSerialPort>

namespace marlin {

struct SerialLinks::Channel {
    QSerialPort port;
    // Closed because the device went away: reopened by the link check.
    bool reopenWanted = false;
    // The system's reason when the last open failed.
    QString openProblem;
    // Opened through the COM<n> link of the application folder: the link
    // stays the port's device, even while it is missing, until the ports
    // are opened anew from the settings.
    bool throughLink = false;
};

namespace {

const QString kCheckSettings = QStringLiteral("Please check the communication settings.");

QString problemText(const char *what, int port, const QString &advice)
{
    return QLatin1String(what) + Str(port) + QStringLiteral(".  ") + advice;
}

} // namespace

SerialLinks::SerialLinks(const QString &appDir, const Settings &settings, PortTable &table, LinkEvents &events,
                         QObject *parent)
    : QObject(parent), applicationDir(appDir), settings(settings), table(table), events(events)
{
    for (int n = 1; n <= kPortCount; ++n) {
        timeCOM[n].setObjectName(QStringLiteral("timeCOM(%1)").arg(n));
        timeCOM[n].setInterval(kDefaultSpacingMs);
        timeCOM[n].setSingleShot(true);
        // A coarse timer may fire up to 5% early, and the spacing is a
        // minimum the routers rely on.
        timeCOM[n].setTimerType(Qt::PreciseTimer);
        // The end of the spacing lets the next queued command go at once.
        connect(&timeCOM[n], &QTimer::timeout, this, [this, n] { send(n); });
    }
}

SerialLinks::~SerialLinks() = default;

void SerialLinks::start()
{
    started = true;
    // What arrived or was queued before the start.
    receiveAll();
    sendAll();
}

void SerialLinks::closeAll()
{
    started = false;
    for (int n = 1; n <= kPortCount; ++n) {
        timeCOM[n].stop();
        if (!channels[n])
            continue;
        channels[n]->reopenWanted = false;
        if (channels[n]->port.isOpen())
            channels[n]->port.close();
        channels[n]->port.clearError();
    }
}

QString ComDevicePath(const QString &appDir, int port, bool keepsLink)
{
    const QFileInfo link(appDir + QStringLiteral("/COM%1").arg(port));
    // A link whose device is missing (adapter unplugged) still names the
    // port, and so does a link that vanished after the port had opened
    // through it (a simulator or a udev rule removes it): falling back to a
    // built-in serial line would send the router's commands to some other
    // device.
    if (!link.exists() && !link.isSymLink())
        return keepsLink ? link.absoluteFilePath() : QStringLiteral("/dev/ttyS%1").arg(port - 1);
    // The serial driver names its lock file after the device, so follow the
    // link: two installations with their own COM1 then never share a lock,
    // and a real device is locked under its own name.
    const QString target = link.canonicalFilePath();
    if (!target.isEmpty())
        return target;
    return link.isSymLink() ? link.symLinkTarget() : link.absoluteFilePath();
}

QString SerialLinks::devicePath(int port) const
{
    return ComDevicePath(applicationDir, port, opensThroughLink(port));
}

bool SerialLinks::hasLink(int port) const
{
    const QFileInfo link(applicationDir + QStringLiteral("/COM%1").arg(port));
    return link.exists() || link.isSymLink();
}

bool SerialLinks::isOpen(int port) const
{
    return isPortNumber(port) && channels[port] && channels[port]->port.isOpen();
}

bool SerialLinks::opensThroughLink(int port) const
{
    return isPortNumber(port) && channels[port] && channels[port]->throughLink;
}

QString SerialLinks::openProblem(int port) const
{
    return isPortNumber(port) && channels[port] ? channels[port]->openProblem : QString();
}

QStringList SerialLinks::open()
{
    QStringList failures;
    for (int n = 1; n <= kPortCount; ++n) {
        const ComPortSettings &cfg = settings.ComPorts[n];
        if (!channels[n]) {
            channels[n] = std::make_unique<Channel>();
            QSerialPort &serial = channels[n]->port;
            connect(&serial, &QSerialPort::readyRead, this, [this, n] {
                if (started)
                    receive(n);
            });
            connect(&serial, &QSerialPort::errorOccurred, this, [this, n](QSerialPort::SerialPortError e) {
                if (e == QSerialPort::ResourceError || e == QSerialPort::ReadError || e == QSerialPort::WriteError)
                    onError(n);
            });
        }
        Channel &ch = *channels[n];
        ch.reopenWanted = false;
        ch.openProblem.clear();
        // Opening from the settings looks at the folder afresh.
        ch.throughLink = hasLink(n);
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
            ch.port.setPortName(devicePath(n));
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
        const DeviceLanguage *language =
            cfg.ComDeviceType == kDeviceRouter ? LanguageFor(cfg.ComProtocol, false) : nullptr;
        timeCOM[n].setInterval(language ? language->sendSpacingMs() : kDefaultSpacingMs);
    }
    if (started)
        sendAll();
    return failures;
}

int SerialLinks::spacingMs(int port) const { return isPortNumber(port) ? timeCOM[port].interval() : 0; }

bool SerialLinks::sendWaits(int port) const { return isPortNumber(port) && timeCOM[port].isActive(); }

void SerialLinks::onError(int port)
{
    // A vanished device (adapter unplugged, far end of a pseudo-terminal
    // closed) reports errors over and over: close at the first one and let
    // the link check reopen the port when the device is back.
    Channel &ch = *channels[port];
    if (ch.port.isOpen()) {
        ch.port.close();
        ch.reopenWanted = true;
    }
    ch.port.clearError();
}

void SerialLinks::reopenFailed()
{
    for (int n = 1; n <= kPortCount; ++n) {
        if (!channels[n] || !channels[n]->reopenWanted || !settings.ComPorts[n].ComEnable)
            continue;
        Channel &ch = *channels[n];
        ch.port.setPortName(devicePath(n));
        if (ch.port.open(QIODevice::ReadWrite)) {
            ch.reopenWanted = false;
            ch.throughLink = ch.throughLink || hasLink(n);
            // Its lines were reported, if at all, when the port first opened.
            SerialModemLines lines(ch.port);
            ApplyModemLines(lines, n, settings.ComPorts[n].ComDTR, settings.ComPorts[n].ComRTS);
            if (started)
                send(n);
        }
        ch.port.clearError();
    }
}

void SerialLinks::sendAll()
{
    for (int n = 1; n <= kPortCount; ++n)
        send(n);
}

void SerialLinks::send(int n)
{
    const ComPortSettings &cfg = settings.ComPorts[n];
    if (!isOpen(n) || timeCOM[n].isActive() || cfg.ComDeviceType != kDeviceRouter
        || !isRouterNumber(cfg.ComIDNumber))
        return;
    const QByteArray command = table.ComTxQueue[cfg.ComIDNumber].takeHead();
    if (command.isEmpty())
        return;
    events.commandSent(n, false, command);
    channels[n]->port.write(command);
    // Onto the line now rather than on the next pass of the event loop.
    channels[n]->port.flush();
    timeCOM[n].start();
}

void SerialLinks::receiveAll()
{
    for (int n = 1; n <= kPortCount; ++n)
        receive(n);
}

void SerialLinks::receive(int n)
{
    const ComPortSettings &cfg = settings.ComPorts[n];
    if (!cfg.ComEnable || cfg.ComDeviceType != kDeviceRouter || !isRouterProtocol(cfg.ComProtocol) || !isOpen(n)
        || channels[n]->port.bytesAvailable() <= 0)
        return;
    events.bytesReceived(n, false, channels[n]->port.readAll());
}

} // namespace marlin
