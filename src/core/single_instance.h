#pragma once

#include <QLockFile>
#include <QString>
#include <memory>

namespace marlin {

// One running server per application folder: a lock file beside the
// program, so two installations in two folders can run side by side. A lock
// left by a crashed server is taken over.
class SingleInstance {
public:
    explicit SingleInstance(const QString &appDir);
    // False only when another server in this folder holds the lock.
    bool tryLock();

    static QString alreadyRunningTitle();
    static QString alreadyRunningText();

private:
    std::unique_ptr<QLockFile> lock;
};

} // namespace marlin
