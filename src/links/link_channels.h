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
};

struct RouterLinks::NetChannel {
    std::unique_ptr<QAbstractSocket> socket;
    bool udp = false;
    // A TCP error stays visible as the error state until the next tick
    // closes the socket, as the link pass expects.
    bool errorPending = false;
};

} // namespace marlin
