#include "pty_transport.h"

#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// What a pty holds when nobody reads the other end is bounded; so is this.
constexpr qsizetype maxUnsentBytes = 64 * 1024;
constexpr int recreateDelayMs = 1000;

QString systemError(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

bool makeRaw(int fd)
{
    termios attributes{};
    if (tcgetattr(fd, &attributes) != 0)
        return false;
    cfmakeraw(&attributes);
    return tcsetattr(fd, TCSANOW, &attributes) == 0;
}

} // namespace

PtyTransport::PtyTransport(const QString &linkPath)
    : linkPath(QFileInfo(linkPath).absoluteFilePath())
{
    recreateTimer.setSingleShot(true);
    recreateTimer.setInterval(recreateDelayMs);
    connect(&recreateTimer, &QTimer::timeout, this, &PtyTransport::recreate);
}

PtyTransport::~PtyTransport()
{
    close();
}

bool PtyTransport::open(QString *error)
{
    if (!createPty(error))
        return false;
    if (!pointLink(error)) {
        closePty();
        return false;
    }
    return true;
}

void PtyTransport::close()
{
    recreateTimer.stop();
    closePty();
    removeLink();
}

bool PtyTransport::createPty(QString *error)
{
    int m = -1;
    int s = -1;
    if (openpty(&m, &s, nullptr, nullptr, nullptr) != 0) {
        if (error)
            *error = systemError("openpty");
        return false;
    }
    char name[PATH_MAX] = {};
    if (ttyname_r(s, name, sizeof name) != 0 || !makeRaw(m) || !makeRaw(s)) {
        if (error)
            *error = systemError("pty setup");
        ::close(m);
        ::close(s);
        return false;
    }
    fcntl(m, F_SETFD, FD_CLOEXEC);
    fcntl(s, F_SETFD, FD_CLOEXEC);
    fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);

    master = m;
    slave = s;
    device = QString::fromLocal8Bit(name);
    channel += 1;
    readNotifier = new QSocketNotifier(master, QSocketNotifier::Read, this);
    connect(readNotifier, &QSocketNotifier::activated, this, &PtyTransport::readMaster);
    writeNotifier = new QSocketNotifier(master, QSocketNotifier::Write, this);
    writeNotifier->setEnabled(false);
    connect(writeNotifier, &QSocketNotifier::activated, this, &PtyTransport::flush);
    return true;
}

void PtyTransport::closePty()
{
    if (master < 0)
        return;
    delete readNotifier;
    readNotifier = nullptr;
    delete writeNotifier;
    writeNotifier = nullptr;
    ::close(master);
    ::close(slave);
    master = -1;
    slave = -1;
    device.clear();
    unsent.clear();
    emit channelClosed(channel);
}

bool PtyTransport::pointLink(QString *error)
{
    const QByteArray path = QFile::encodeName(linkPath);
    struct stat info{};
    if (lstat(path.constData(), &info) == 0 && !S_ISLNK(info.st_mode)) {
        if (error)
            *error = QStringLiteral("%1 exists and is not a symbolic link; not replacing it").arg(linkPath);
        return false;
    }
    // A new link renamed over the old one: the server never finds the path missing.
    const QByteArray temporary = path + ".routersim-" + QByteArray::number(getpid());
    ::unlink(temporary.constData());
    if (symlink(QFile::encodeName(device).constData(), temporary.constData()) != 0
        || rename(temporary.constData(), path.constData()) != 0) {
        if (error)
            *error = systemError(("cannot link " + path).constData());
        ::unlink(temporary.constData());
        return false;
    }
    linkedDevice = device;
    return true;
}

void PtyTransport::removeLink()
{
    if (linkedDevice.isEmpty())
        return;
    // Only our own link goes: another simulator may have taken the path since.
    const QByteArray path = QFile::encodeName(linkPath);
    char target[PATH_MAX] = {};
    const ssize_t n = readlink(path.constData(), target, sizeof target - 1);
    if (n > 0 && QFile::decodeName(QByteArray(target, static_cast<qsizetype>(n))) == linkedDevice)
        ::unlink(path.constData());
    linkedDevice.clear();
}

void PtyTransport::readMaster()
{
    QByteArray bytes;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(master, chunk, sizeof chunk);
        if (n > 0) {
            bytes.append(chunk, static_cast<qsizetype>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        // The slave is held open, so this is unexpected; start afresh rather
        // than spin on a dead descriptor.
        emit notice(systemError("pty read failed"));
        if (!bytes.isEmpty())
            emit received(channel, bytes);
        drop();
        return;
    }
    if (!bytes.isEmpty())
        emit received(channel, bytes);
}

void PtyTransport::send(int to, const QByteArray &bytes)
{
    if (master < 0 || to != channel)
        return;
    if (unsent.size() + bytes.size() > maxUnsentBytes) {
        emit notice(QStringLiteral("pty full, %1 bytes not sent").arg(bytes.size()));
        return;
    }
    unsent += bytes;
    flush();
}

void PtyTransport::sendAll(const QByteArray &bytes)
{
    send(channel, bytes);
}

void PtyTransport::flush()
{
    while (master >= 0 && !unsent.isEmpty()) {
        const ssize_t n = ::write(master, unsent.constData(), static_cast<size_t>(unsent.size()));
        if (n > 0) {
            unsent.remove(0, static_cast<qsizetype>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    if (writeNotifier)
        writeNotifier->setEnabled(!unsent.isEmpty());
}

void PtyTransport::drop()
{
    if (master >= 0) {
        emit notice(QStringLiteral("pty %1 closed").arg(device));
        closePty();
    }
    recreateTimer.start();
}

void PtyTransport::recreate()
{
    QString error;
    if (!createPty(&error) || !pointLink(&error)) {
        emit notice(error);
        closePty();
        recreateTimer.start();
        return;
    }
    emit notice(QStringLiteral("new pty: %1").arg(where()));
}

QString PtyTransport::where() const
{
    return QStringLiteral("pty %1 -> %2").arg(linkPath, device.isEmpty() ? QStringLiteral("(none)") : device);
}
