#pragma once

#include "config/settings.h"
#include "links/link_events.h"
#include "links/port_table.h"

#include <QObject>
#include <QStringList>
#include <QTimer>
#include <array>
#include <memory>

namespace marlin {

// The device comm port n opens: COM<n> in the application folder when it
// is there (followed to the device it names, even a missing one), or when
// keepsLink says the port opened through it since the ports were last
// opened from the settings; else /dev/ttyS<n-1>.
QString ComDevicePath(const QString &appDir, int port, bool keepsLink = false);

// The 96 comm ports: opened on their devices with their line settings,
// written to as their spacing allows, read as bytes arrive. A queued
// command goes out at once on a port that has been quiet for its spacing,
// else when the spacing runs out (one single-shot timer per port, running
// only after a send). Nothing here polls.
class SerialLinks : public QObject {
    Q_OBJECT

public:
    SerialLinks(const QString &appDir, const Settings &settings, PortTable &table, LinkEvents &events,
                QObject *parent = nullptr);
    ~SerialLinks() override;

    // (Re)opens every comm port from the settings; returns the text of every
    // failure in the order met.
    QStringList open();
    // Opens again the ports whose device went away or never opened, once
    // it is there.
    void reopenFailed();
    // From here on bytes are read as they arrive and queued commands sent.
    void start();
    // Closes every port and forgets the spacing: nothing is read or sent
    // until the ports are opened and started again.
    void closeAll();

    // Sends the head of the queue of the port's router when the spacing allows.
    void send(int port);
    void sendAll();
    // Hands what a port received to the links (the start does it for all).
    void receive(int port);
    void receiveAll();

    QString devicePath(int port) const;
    bool isOpen(int port) const;
    bool opensThroughLink(int port) const;
    QString openProblem(int port) const;
    int spacingMs(int port) const;
    bool sendWaits(int port) const;

private:
    struct Channel;

    bool hasLink(int port) const;
    void onError(int port);

    QString applicationDir;
    const Settings &settings;
    PortTable &table;
    LinkEvents &events;
    std::array<std::unique_ptr<Channel>, kPortCount + 1> channels;
    // timeCOM(n): the spacing after a send on port n.
    std::array<QTimer, kPortCount + 1> timeCOM;
    bool started = false;
};

} // namespace marlin
