#pragma once

#include "sim_transport.h"

#include <QTimer>

class QSocketNotifier;

// A pseudo-terminal standing in for a serial line. The server opens the
// slave through a symbolic link (e.g. COM1 beside the server), exactly as it
// opens a real adapter's device.
class PtyTransport : public SimTransport
{
    Q_OBJECT
public:
    explicit PtyTransport(const QString &linkPath);
    ~PtyTransport() override;

    bool open(QString *error) override;
    void close() override;
    void send(int channel, const QByteArray &bytes) override;
    void sendAll(const QByteArray &bytes) override;
    // Closes the master so the device dies under the server, then a second
    // later puts a fresh pty behind the same link, like a replugged adapter.
    void drop() override;
    int channelCount() const override { return master >= 0 ? 1 : 0; }
    QString devicePath() const override { return device; }
    QString where() const override;

private:
    bool createPty(QString *error);
    void closePty();
    bool pointLink(QString *error);
    void removeLink();
    void readMaster();
    void flush();
    void recreate();

    QString linkPath;
    QString device;          // the live slave, or empty while dropped
    QString linkedDevice;    // what the link points to now
    int master = -1;
    // Held open so the master never sees a hang-up while the server has the
    // device closed; the server's own opens and closes then come and go freely.
    int slave = -1;
    int channel = 0;
    QSocketNotifier *readNotifier = nullptr;
    QSocketNotifier *writeNotifier = nullptr;
    QByteArray unsent;
    QTimer recreateTimer;
};
