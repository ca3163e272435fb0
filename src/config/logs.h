#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <functional>
#include <utility>

namespace marlin {

// The two daily logs in the "Logs" folder beside the program. A line is
// written by opening the file, appending and closing it again, so an
// operator can read, rotate or delete a log while the server runs. A failed
// write never disturbs a switch, and the next line tries again; but it is
// counted, and the first failure after a success is said once (on the
// terminal and to whoever set a problem handler), as is the recovery.
//
// Every text from outside reaches a line only through logSafe, so a
// comment, name, label or address cannot start a line of its own or forge
// a field: see logSafe (switch lines are built by WriteSwitchLog, in
// router/switch_log.h, which names the router from its table). Switch
// comments are cut at kCommentLimit characters, and a flood of one
// identical error line is collapsed (see WriteErrorLog).
class Logs {
public:
    using Clock = std::function<QDateTime()>;
    // Characters of a switch comment kept in the log; the take dialog's
    // comment box takes fewer, so its "User = ...   Comment = ..." fits.
    static constexpr int kCommentLimit = 255;
    // Identical error lines in a row written as they come; further ones
    // within kRepeatWindowMs of the first are counted, and written as one
    // line "<text> [repeated N more times]" when another line comes or the
    // window has passed.
    static constexpr int kRepeatsWritten = 5;
    static constexpr int kRepeatWindowMs = 60000;

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

    explicit Logs(const QString &appDir);

    void WriteErrorLog(const QString &text);
    // Appends a switch log line as built: every text from outside in it
    // has been through logSafe.
    void writeSwitchEntry(const QString &entry);

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

    // Appends to a log file that failed (each append may carry several
    // lines), and what is wrong now: empty while the logs are written.
    quint64 writeFailures() const { return failures; }
    QString writeProblem() const { return problem; }
    // Called with the problem when writing starts to fail, and with an
    // empty text when it works again.
    void setProblemHandler(std::function<void(const QString &)> handler) { onProblem = std::move(handler); }

private:
    void append(const QString &fileName, const QDateTime &at, const QString &entry, bool echo);
    void write(const QString &path, const QByteArray &bytes);
    void flushBatch();
    void writeFailed(const QString &path, const QString &reason);
    void writeWorked();
    // Writes the count of the collapsed run of error lines, if any.
    void flushRepeats(const QDateTime &at);

    QString logDir;
    Clock now;
    bool terminalEcho = false;
    int batchDepth = 0;
    // Files in the order their first line came, each with its lines.
    QList<std::pair<QString, QByteArray>> pending;
    qint64 opens = 0;
    quint64 failures = 0;
    quint64 failuresInRun = 0;
    QString problem;
    QDateTime failingSince;
    std::function<void(const QString &)> onProblem;
    // The run of identical error lines now being logged.
    struct Repeats {
        QString entry;
        int written = 0;
        quint64 suppressed = 0;
        QElapsedTimer since;
    } repeats;
};

// text with every control character (U+0000..U+001F, U+007F..U+009F: line
// ends, tabs, NUL, escapes) written as "\xHH", its code in two hexadecimal
// digits, so it can neither end a line nor forge a field; every other
// character stays as it is.
QString logSafe(const QString &text);

// A write past the process's file size limit then fails (and the line is
// dropped) instead of the system ending the whole server with SIGXFSZ.
void IgnoreFileSizeLimitSignal();

} // namespace marlin
