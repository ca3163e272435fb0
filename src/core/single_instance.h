#pragma once

#include <QString>

namespace marlin {

// One running server per application folder, so two installations in two
// folders can run side by side. The lock is the system's own lock on the
// folder itself (flock), held as long as the process lives: taking it
// writes nothing, so a full disk or a folder the server cannot write to
// cannot keep a lone server down, and a server that dies (even by SIGKILL)
// lets it go with its descriptors. Only where the folder cannot be opened
// or locked does an abstract local socket named after the folder stand in.
class SingleInstance {
public:
    explicit SingleInstance(const QString &appDir);
    ~SingleInstance();
    SingleInstance(const SingleInstance &) = delete;
    SingleInstance &operator=(const SingleInstance &) = delete;

    // False only when another live server holds this folder.
    bool tryLock();

    static QString alreadyRunningTitle();
    static QString alreadyRunningText();

private:
    QString dir;
    int folder = -1;
    int socket = -1;
};

} // namespace marlin
