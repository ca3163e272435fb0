#pragma once

#include "crosspoint_table.h"
#include "router_config.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class RouterDialect;
class SimTransport;

// One router as the server sees it: a device language over a transport, a
// crosspoint table, and the faults an engineer wants to provoke while
// commissioning (silence, dropped links, line noise, changes at the router's
// own panel).
class SimulatedRouter : public QObject
{
    Q_OBJECT
public:
    explicit SimulatedRouter(const RouterConfig &config, QObject *parent = nullptr);
    ~SimulatedRouter() override;

    bool start(QString *error = nullptr);
    void stop();
    bool isRunning() const { return transport != nullptr; }

    const RouterConfig &config() const { return settings; }
    // "tcp 127.0.0.1:5001", "udp ...", "pty /path/COM1 -> /dev/pts/4"
    QString where() const;
    // tcp/udp: the port in use (the chosen one when the configuration said 0).
    quint16 localPort() const;
    // pty: the slave device behind the link now; empty while dropped.
    QString devicePath() const;
    // Parties talking to the router: connections, UDP senders, or the pty.
    int connectionCount() const;
    // Received bytes still waiting for the end of their command.
    int pendingBytes() const;
    // A one-line summary for the console.
    QString status() const;

    // 1-based; 0 outside 1..256.
    int source(int destination) const { return table.source(destination); }
    int reportedSize() const { return table.reportedSize(); }

    // Silent: commands are still carried out, but nothing is sent at all.
    void setSilent(bool on);
    bool isSilent() const { return silent; }
    // Garbage: every answer becomes random bytes that never hold a terminator,
    // and more of them arrive unasked, as from a wrong baud rate or a bad cable.
    void setGarbage(bool on);
    bool isGarbage() const { return garbage; }
    void drop();
    // A change made at the router's own panel: applied and reported unasked.
    bool setCrosspoint(int destination, int source);
    // Reports every destination of the report range unasked.
    void reportAll();

    // Longest command the router waits for; longer junk is thrown away.
    static constexpr int maxPendingBytes = 4096;

signals:
    // One readable line per thing that happened: "router 1 rx @ X:0/4,2".
    void event(const QString &line);

private:
    void onReceived(int channel, const QByteArray &bytes);
    // channel 0: to every party.
    void transmit(int channel, const QList<QByteArray> &lines);
    void injectNoise();
    QByteArray noise(int size) const;
    void say(const QString &text);

    RouterConfig settings;
    CrosspointTable table;
    std::unique_ptr<RouterDialect> dialect;
    std::unique_ptr<SimTransport> transport;
    QHash<int, QByteArray> buffers;
    bool silent = false;
    bool garbage = false;
    QTimer noiseTimer;
    QTimer reportTimer;
};
