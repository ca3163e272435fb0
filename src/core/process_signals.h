#pragma once

#include <QObject>
#include <QString>

class QSocketNotifier;

namespace marlin {

// Turns the process signals a program acts on into Qt signals on the event
// loop: SIGTERM and SIGINT (a service manager, Ctrl-C), so a program closes
// down in order (the server still logs "Server Closed Down", the router
// simulator removes its links, a panel watch ends its loop), and, when asked
// for, SIGUSR1 and SIGUSR2 (a failover manager's promote and demote). The
// handler only writes one byte into a socket pair; everything else happens
// on the event loop. One instance at a time.
//
// A program catches them first thing, before it has an application object:
// what arrives meanwhile waits in the socket pair, in the order it came,
// until delivery starts.
//
// Built as a library of its own on QtCore alone, so the companion tools use
// it without linking the engine.
class ProcessSignals : public QObject {
    Q_OBJECT
public:
    // Makes the socket pair the handler writes into; socketpair() unless a
    // test makes it fail. Returns 0 on success, -1 with errno set.
    using PairMaker = int (*)(int fds[2]);

    // At once: emitted on the event loop from now on (an application object
    // must exist). Held: kept until startDelivery(), so what arrives while a
    // program starts is acted on once it can.
    enum class Delivery { AtOnce, Held };

    explicit ProcessSignals(QObject *parent = nullptr, PairMaker makePair = nullptr,
                                Delivery delivery = Delivery::AtOnce);
    ~ProcessSignals() override;

    // False when the signals could not be caught: they then end the program
    // at once, as if nothing watched them.
    bool isWatching() const { return fds[1] >= 0; }
    // Why the signals are not watched, in the system's words; empty when they are.
    const QString &problem() const { return failure; }
    // Also turns SIGUSR1 and SIGUSR2 (a failover manager's promote and
    // demote) into signals, in the order they arrived. Nothing without a
    // watch.
    void watchRoleSignals();
    // Emits what arrived while delivery was held, in order, on the event
    // loop, and from then on what arrives. Needs the application object;
    // nothing when delivery has started or nothing is watched.
    void startDelivery();

signals:
    void terminationRequested();
    void promotionRequested();
    void demotionRequested();

private:
    QSocketNotifier *notifier = nullptr;
    QString failure;
    int fds[2] = {-1, -1};
    bool roleSignals = false;
};

} // namespace marlin
