#pragma once

#include <QString>
#include <QStringList>

namespace marlin {

// What the server would start with in an application folder, read the way
// the start reads it but without opening a port, taking the lock or writing
// a log: the settings, the users and the router tables, and every problem
// the start would meet with them.
struct ConfigurationCheck {
    QStringList found;    // one line for each thing read, in reading order
    QStringList problems; // empty when the folder is fit to start from
    QStringList warnings; // reported, but the folder starts as it is
};

ConfigurationCheck CheckConfiguration(const QString &appDir);

} // namespace marlin
