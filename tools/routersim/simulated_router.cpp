#include "simulated_router.h"

#include "router_dialect.h"
#include "sim_transport.h"

#include <QRandomGenerator>

namespace {

constexpr int noiseIntervalMs = 200;
constexpr int maxNoiseBytes = 64;
constexpr int maxGarbageReplyBytes = 32;

} // namespace

SimulatedRouter::SimulatedRouter(const RouterConfig &config, QObject *parent)
    : QObject(parent),
      settings(config),
      table(config.size),
      dialect(makeDialect(config.language, config.prompt))
{
    for (auto it = config.initialSources.cbegin(); it != config.initialSources.cend(); ++it)
        table.set(it.key(), it.value());
    noiseTimer.setInterval(noiseIntervalMs);
    connect(&noiseTimer, &QTimer::timeout, this, &SimulatedRouter::injectNoise);
    reportTimer.setInterval(config.reportIntervalMs);
    connect(&reportTimer, &QTimer::timeout, this, [this] {
        // A UDP router knows the server only once it has heard from it.
        if (transport && transport->channelCount() > 0)
            reportAll();
    });
}

SimulatedRouter::~SimulatedRouter()
{
    stop();
}

bool SimulatedRouter::start(QString *error)
{
    if (transport)
        return true;
    auto candidate = makeTransport(settings);
    QString why;
    if (!candidate->open(&why)) {
        if (error)
            *error = why;
        say(QStringLiteral("cannot start: ") + why);
        return false;
    }
    transport = std::move(candidate);
    connect(transport.get(), &SimTransport::received, this, &SimulatedRouter::onReceived);
    connect(transport.get(), &SimTransport::channelClosed, this, [this](int channel) {
        buffers.remove(channel);
    });
    connect(transport.get(), &SimTransport::notice, this, &SimulatedRouter::say);
    if (garbage)
        noiseTimer.start();
    if (settings.language == RouterLanguage::Framed && settings.reportIntervalMs > 0)
        reportTimer.start();
    say(QStringLiteral("%1 on %2").arg(languageName(settings.language), where()));
    return true;
}

void SimulatedRouter::stop()
{
    if (!transport)
        return;
    noiseTimer.stop();
    reportTimer.stop();
    transport->disconnect(this);
    transport->close();
    transport.reset();
    buffers.clear();
    say(QStringLiteral("stopped"));
}

QString SimulatedRouter::where() const
{
    return transport ? transport->where() : QStringLiteral("%1 (stopped)").arg(transportName(settings.transport));
}

quint16 SimulatedRouter::localPort() const
{
    return transport ? transport->localPort() : settings.port;
}

QString SimulatedRouter::devicePath() const
{
    return transport ? transport->devicePath() : QString();
}

int SimulatedRouter::connectionCount() const
{
    return transport ? transport->channelCount() : 0;
}

int SimulatedRouter::pendingBytes() const
{
    qsizetype total = 0;
    for (const QByteArray &buffer : buffers)
        total += buffer.size();
    return static_cast<int>(total);
}

QString SimulatedRouter::status() const
{
    return QStringLiteral("%1 on %2, %3 connected, %4 bytes pending%5%6")
        .arg(languageName(settings.language), where())
        .arg(connectionCount())
        .arg(pendingBytes())
        .arg(silent ? QStringLiteral(", silent") : QString(),
             garbage ? QStringLiteral(", garbage") : QString());
}

void SimulatedRouter::setSilent(bool on)
{
    silent = on;
    say(on ? QStringLiteral("silent on") : QStringLiteral("silent off"));
}

void SimulatedRouter::setGarbage(bool on)
{
    garbage = on;
    if (on && transport)
        noiseTimer.start();
    else
        noiseTimer.stop();
    say(on ? QStringLiteral("garbage on") : QStringLiteral("garbage off"));
}

void SimulatedRouter::drop()
{
    buffers.clear();
    if (transport) {
        say(QStringLiteral("drop"));
        transport->drop();
    }
}

bool SimulatedRouter::setCrosspoint(int destination, int source)
{
    if (!table.set(destination, source))
        return false;
    say(QStringLiteral("panel set destination %1 to source %2").arg(destination).arg(source));
    transmit(0, {dialect->statusReport(destination, source)});
    return true;
}

void SimulatedRouter::reportAll()
{
    transmit(0, dialect->fullReport(table));
}

void SimulatedRouter::onReceived(int channel, const QByteArray &bytes)
{
    // The buffer is put back before anything is answered: whoever listens to
    // our events may drop the channel meanwhile.
    QByteArray buffer = buffers.take(channel) + bytes;
    const QList<Exchange> exchanges = dialect->consume(buffer, table);
    if (buffer.size() > maxPendingBytes) {
        say(QStringLiteral("rx overflow: %1 bytes without a command end thrown away").arg(buffer.size()));
        buffer.clear();
    }
    if (!buffer.isEmpty())
        buffers.insert(channel, buffer);

    for (const Exchange &exchange : exchanges) {
        QString line = QStringLiteral("rx ") + dialect->display(exchange.command);
        if (!exchange.understood)
            line += QStringLiteral("  (ignored: %1)").arg(exchange.note);
        else if (silent)
            line += QStringLiteral("  (silent)");
        say(line);
        transmit(channel, exchange.replies);
    }
}

void SimulatedRouter::transmit(int channel, const QList<QByteArray> &lines)
{
    if (!transport || silent || lines.isEmpty())
        return;
    const bool nobody = channel == 0 && transport->channelCount() == 0;
    // One write per answer: over UDP a whole answer travels in one datagram.
    QByteArray wire;
    for (const QByteArray &line : lines) {
        const QByteArray bytes = garbage
            ? noise(1 + static_cast<int>(QRandomGenerator::global()->bounded(maxGarbageReplyBytes)))
            : line;
        say(QStringLiteral("tx ") + dialect->display(bytes)
            + (nobody ? QStringLiteral("  (nobody to send to)") : QString()));
        wire += bytes;
    }
    if (nobody)
        return;
    if (channel == 0)
        transport->sendAll(wire);
    else
        transport->send(channel, wire);
}

void SimulatedRouter::injectNoise()
{
    if (!transport || silent || transport->channelCount() == 0)
        return;
    const QByteArray bytes = noise(1 + static_cast<int>(QRandomGenerator::global()->bounded(maxNoiseBytes)));
    say(QStringLiteral("tx noise, %1 bytes").arg(bytes.size()));
    transport->sendAll(bytes);
}

QByteArray SimulatedRouter::noise(int size) const
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes) {
        do {
            byte = static_cast<char>(QRandomGenerator::global()->bounded(256));
        } while (dialect->isTerminator(byte));
    }
    return bytes;
}

void SimulatedRouter::say(const QString &text)
{
    emit event(QStringLiteral("router %1 %2").arg(settings.index).arg(text));
}
