#pragma once

#include <QByteArray>

namespace marlin {

// What a port class tells the links as a whole: a command that left (for
// the send log) and bytes that arrived from a router (to be parsed into its
// state). The serial and network ports move bytes; what the bytes mean and
// whether a link is up is decided above them.
class LinkEvents {
public:
    virtual void commandSent(int port, bool isNetwork, const QByteArray &bytes) = 0;
    virtual void bytesReceived(int port, bool isNetwork, const QByteArray &bytes) = 0;

protected:
    ~LinkEvents() = default;
};

} // namespace marlin
