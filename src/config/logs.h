#pragma once

#include "router/router_table.h"

#include <QDateTime>
#include <QString>
#include <functional>

namespace marlin {

// The two daily logs in the "Logs" folder beside the program. Each call
// opens, appends one line and closes, so an operator can read a log in a
// text editor while the server runs. Failures are swallowed: a lost log
// line must never disturb a switch.
class Logs {
public:
    using Clock = std::function<QDateTime()>;

    Logs(const QString &appDir, const RouterTableArray &tables);

    void WriteErrorLog(const QString &text);
    void WriteSwitchLog(bool isSwitchCommand, int router, int source, int destination,
                        const QString &comment);

    // The program turns this on so that a terminal or a service manager's
    // journal sees every error log line as it is written, and what the
    // server tells about itself at start. Off by default, which keeps tests
    // that run a server in-process quiet.
    void setTerminalEcho(bool on) { terminalEcho = on; }
    bool echoesToTerminal() const { return terminalEcho; }
    // A line for the terminal only (when the echo is on), never for a file.
    void tellTerminal(const QString &line) const;

    QString logFolder() const { return logDir; }

    QString errorLogPath(const QDate &date) const;
    QString switchLogPath(const QDate &date) const;

    // Tests set a clock to write lines on either side of midnight.
    void setClock(Clock clock) { now = std::move(clock); }

private:
    void append(const QString &fileName, const QDateTime &at, const QString &entry, bool echo);

    QString logDir;
    const RouterTableArray &tables;
    Clock now;
    bool terminalEcho = false;
};

} // namespace marlin
