#pragma once

// The far end of a serial line for tests: a pseudo-terminal whose device the
// server finds as COM<n> in its application folder.

#include <QFile>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTest>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace testsupport {

// A router on a serial line: what the server writes collects in received,
// and send() answers as the router would. The line is raw (no echo, no
// line editing), as a real serial line is.
class PtyRouter : public QObject {
public:
    PtyRouter(const QString &appDir, int port) : link(appDir + QStringLiteral("/COM%1").arg(port)) { open(); }
    ~PtyRouter() override { close(); }

    void open()
    {
        char name[256] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
            qFatal("openpty failed");
        termios raw{};
        ::tcgetattr(slave, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(slave, TCSANOW, &raw);
        ::fcntl(master, F_SETFL, O_NONBLOCK);
        devicePath = QString::fromLocal8Bit(name);
        QFile::remove(link);
        QFile::link(devicePath, link);
        notifier = new QSocketNotifier(master, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this] {
            char buffer[512];
            for (;;) {
                const ssize_t n = ::read(master, buffer, sizeof buffer);
                if (n <= 0)
                    break;
                received.append(buffer, n);
            }
        });
    }
    // The device goes away, as an unplugged adapter does.
    void close()
    {
        delete notifier;
        notifier = nullptr;
        if (master >= 0)
            ::close(master);
        if (slave >= 0)
            ::close(slave);
        master = slave = -1;
    }
    // The link goes too, as when the simulator quits.
    void removeLink() { QFile::remove(link); }
    void send(const QByteArray &bytes) { QCOMPARE(::write(master, bytes.constData(), bytes.size()), bytes.size()); }
    // The pseudo-terminal's own device, which the COM<n> link points at.
    const QString &device() const { return devicePath; }

    QByteArray received;

private:
    QString link;
    QString devicePath;
    int master = -1;
    int slave = -1;
    QSocketNotifier *notifier = nullptr;
};

} // namespace testsupport
