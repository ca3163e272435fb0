#pragma once

#include <QObject>

class QSocketNotifier;

namespace marlin {

// Turns SIGTERM and SIGINT (a service manager, Ctrl-C) into a Qt signal on
// the event loop, so the server closes down in order and still logs it.
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

signals:
    void terminationRequested();

private:
    QSocketNotifier *notifier = nullptr;
};

} // namespace marlin
