#pragma once

#include "router_links.h"

#include <QAbstractSocket>
#include <QSerialPort>
#include <memory>

namespace marlin {

struct RouterLinks::ComChannel {
    QSerialPort port;
    // Closed because the device went away: reopened by the link check.
    bool reopenWanted = false;
    // The system's reason when the last open failed.
    QString openProblem;
    // Opened through the COM<n> link of the application folder: the link
    // stays the port's device, even while it is missing, until the ports
    // are opened anew from the settings.
    bool throughLink = false;
};

struct RouterLinks::NetChannel {
    std::unique_ptr<QAbstractSocket> socket;
    bool udp = false;
    // A TCP error stays visible as the error state until the next tick
    // closes the socket, as the link pass expects.
    bool errorPending = false;
    // Link passes the TCP connection has been up without a byte from the
    // router.
    int silentSeconds = 0;
};

} // namespace marlin
