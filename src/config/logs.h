#pragma once

#include "router/router_table.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <functional>
#include <utility>

namespace marlin {

// The two daily logs in the "Logs" folder beside the program. A line is
// written by opening the file, appending and closing it again, so an
// operator can read, rotate or delete a log while the server runs. Failures
// are swallowed: a lost log line must never disturb a switch, and the next
// line tries again.
class Logs {
public:
    using Clock = std::function<QDateTime()>;

    // Lines logged while a batch is alive are kept and written when the
    // outermost batch ends, with one open, append and close per file: a
    // router reporting every crosspoint at once costs one write, not 256.
    // Handlers of a burst of input hold one for the length of the handler,
    // so the lines are on disk before control returns to the event loop.
    class Batch {
    public:
        explicit Batch(Logs &logs);
        ~Batch();
        Batch(const Batch &) = delete;
        Batch &operator=(const Batch &) = delete;

    private:
        Logs &logs;
    };

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

    // Times a log file has been opened for appending so far.
    qint64 fileOpens() const { return opens; }

private:
    void append(const QString &fileName, const QDateTime &at, const QString &entry, bool echo);
    void write(const QString &path, const QByteArray &bytes);
    void flushBatch();

    QString logDir;
    const RouterTableArray &tables;
    Clock now;
    bool terminalEcho = false;
    int batchDepth = 0;
    // Files in the order their first line came, each with its lines.
    QList<std::pair<QString, QByteArray>> pending;
    qint64 opens = 0;
};

// A write past the process's file size limit then fails (and the line is
// dropped) instead of the system ending the whole server with SIGXFSZ.
void IgnoreFileSizeLimitSignal();

} // namespace marlin
