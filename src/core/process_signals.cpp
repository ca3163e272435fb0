#include "process_signals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace marlin {

namespace {
// The write end the handler uses; -1 while nothing watches.
volatile sig_atomic_t writeEnd = -1;

void onSignal(int number)
{
    const int savedErrno = errno;
    // The signal's number tells the event loop which one came.
    const char byte = char(number);
    // Only async-signal-safe work here: the event loop does the rest.
    if (writeEnd >= 0) {
        [[maybe_unused]] const auto n = ::write(writeEnd, &byte, 1);
    }
    errno = savedErrno;
}

void catchSignal(int number)
{
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(number, &action, nullptr);
}

int makeSocketPair(int fds[2]) { return ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds); }
} // namespace

ProcessSignals::ProcessSignals(QObject *parent, PairMaker makePair, Delivery delivery) : QObject(parent)
{
    if ((makePair ? makePair : makeSocketPair)(fds) != 0) {
        failure = QString::fromLocal8Bit(std::strerror(errno));
        fds[0] = fds[1] = -1;
        return;
    }
    // A burst of signals must never block the handler.
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    writeEnd = fds[0];
    catchSignal(SIGTERM);
    catchSignal(SIGINT);
    if (delivery == Delivery::AtOnce)
        startDelivery();
}

void ProcessSignals::startDelivery()
{
    if (!isWatching() || notifier)
        return;
    // Whatever is already waiting in the pair makes the notifier fire at
    // the next pass of the event loop.
    notifier = new QSocketNotifier(fds[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char buffer[16];
        bool terminate = false;
        ssize_t n = 0;
        while ((n = ::recv(fds[1], buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] == SIGUSR1)
                    emit promotionRequested();
                else if (buffer[i] == SIGUSR2)
                    emit demotionRequested();
                else
                    terminate = true;
            }
        }
        if (terminate)
            emit terminationRequested();
    });
}

void ProcessSignals::watchRoleSignals()
{
    if (!isWatching())
        return;
    catchSignal(SIGUSR1);
    catchSignal(SIGUSR2);
    roleSignals = true;
}

ProcessSignals::~ProcessSignals()
{
    if (!isWatching())
        return;
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    if (roleSignals) {
        ::signal(SIGUSR1, SIG_DFL);
        ::signal(SIGUSR2, SIG_DFL);
    }
    writeEnd = -1;
    delete notifier;
    ::close(fds[0]);
    ::close(fds[1]);
}

} // namespace marlin
