#include "single_instance.h"

namespace marlin {

SingleInstance::SingleInstance(const QString &appDir)
    : lock(std::make_unique<QLockFile>(appDir + QStringLiteral("/marlin-server.lock")))
{
    lock->setStaleLockTime(0); // only a dead owner makes a lock stale
}

bool SingleInstance::tryLock()
{
    // Only another live server holding the lock refuses the start; a folder
    // where no lock can be written must not keep the server down.
    return lock->tryLock(0) || lock->error() != QLockFile::LockFailedError;
}

QString SingleInstance::alreadyRunningTitle() { return QStringLiteral("Program already running"); }

QString SingleInstance::alreadyRunningText()
{
    return QStringLiteral("This program is already running.  Please check if it has been minimized.");
}

} // namespace marlin
