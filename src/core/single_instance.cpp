#include "single_instance.h"

#include <QCryptographicHash>
#include <QFileInfo>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace marlin {

SingleInstance::SingleInstance(const QString &appDir) : dir(appDir) {}

SingleInstance::~SingleInstance()
{
    if (folder >= 0)
        ::close(folder);
    if (socket >= 0)
        ::close(socket);
}

bool SingleInstance::tryLock()
{
    if (folder >= 0 || socket >= 0)
        return true;
    const QByteArray path = QFile::encodeName(dir);
    folder = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        int result = 0;
        do {
            result = ::flock(folder, LOCK_EX | LOCK_NB);
        } while (result != 0 && errno == EINTR);
        if (result == 0)
            return true;
        const bool held = errno == EWOULDBLOCK;
        ::close(folder);
        folder = -1;
        if (held)
            return false;
    }
    // The folder cannot be opened or locked here: an abstract socket (no
    // file, no disk) named after the folder's canonical path.
    const QString canonical = QFileInfo(dir).canonicalFilePath();
    const QByteArray name = "marlin-server:"
                            + QCryptographicHash::hash(QFile::encodeName(canonical.isEmpty() ? dir : canonical),
                                                       QCryptographicHash::Sha256)
                                  .toHex();
    socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0)
        return true; // nothing can tell: a lone server must not stay down
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.constData(), std::size_t(name.size()));
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + std::size_t(name.size()));
    if (::bind(socket, reinterpret_cast<const sockaddr *>(&address), length) == 0)
        return true;
    const bool held = errno == EADDRINUSE;
    ::close(socket);
    socket = -1;
    return !held;
}

QString SingleInstance::alreadyRunningTitle() { return QStringLiteral("Program already running"); }

QString SingleInstance::alreadyRunningText()
{
    return QStringLiteral("This program is already running.  Please check if it has been minimized.");
}

} // namespace marlin
