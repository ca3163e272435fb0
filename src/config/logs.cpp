#include "logs.h"

#include "convert.h"

#include <QDir>
#include <QFile>

#include <algorithm>

#include <csignal>
#include <cstdio>

namespace marlin {

namespace {
QString fileName(const char *prefix, const QDate &date)
{
    return QLatin1String(prefix) + date.toString(QStringLiteral("yyyyMMdd")) + QStringLiteral(".TXT");
}
} // namespace

Logs::Logs(const QString &appDir)
    : logDir(appDir + QStringLiteral("/Logs")), now(&QDateTime::currentDateTime)
{
}

QString Logs::errorLogPath(const QDate &date) const
{
    return logDir + QLatin1Char('/') + fileName("Error Log For ", date);
}

QString Logs::switchLogPath(const QDate &date) const
{
    return logDir + QLatin1Char('/') + fileName("Switch Log For ", date);
}

QString logSafe(const QString &text)
{
    const auto isControl = [](QChar c) { return c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() <= 0x9F); };
    if (std::none_of(text.begin(), text.end(), isControl))
        return text;
    QString safe;
    safe.reserve(text.size() + 16);
    for (const QChar c : text) {
        if (isControl(c))
            safe += QStringLiteral("\\x") + QString::number(c.unicode(), 16).toUpper().rightJustified(2, QLatin1Char('0'));
        else
            safe += c;
    }
    return safe;
}

void Logs::WriteErrorLog(const QString &text)
{
    const QDateTime at = now();
    const QString entry = logSafe(text);
    if (entry == repeats.entry && repeats.since.isValid()) {
        if (repeats.since.elapsed() < kRepeatWindowMs) {
            if (repeats.written < kRepeatsWritten) {
                ++repeats.written;
                append(errorLogPath(at.date()), at, entry, terminalEcho);
            } else {
                ++repeats.suppressed;
            }
            return;
        }
        // A flood that lasts: one line a minute counts it.
        if (repeats.suppressed > 0) {
            ++repeats.suppressed;
            flushRepeats(at);
            repeats.since.start();
            return;
        }
    }
    flushRepeats(at);
    repeats.entry = entry;
    repeats.written = 1;
    repeats.suppressed = 0;
    repeats.since.start();
    append(errorLogPath(at.date()), at, entry, terminalEcho);
}

void Logs::flushRepeats(const QDateTime &at)
{
    if (repeats.suppressed == 0)
        return;
    const QString line = repeats.entry + QStringLiteral(" [repeated %1 more times]").arg(repeats.suppressed);
    repeats.suppressed = 0;
    append(errorLogPath(at.date()), at, line, terminalEcho);
}

void Logs::tellTerminal(const QString &line) const
{
    if (!terminalEcho)
        return;
    std::fprintf(stderr, "marlin-server: %s\n", logSafe(line).toLocal8Bit().constData());
    std::fflush(stderr);
}

void Logs::writeSwitchEntry(const QString &entry)
{
    const QDateTime at = now();
    append(switchLogPath(at.date()), at, entry, false);
}

void Logs::append(const QString &path, const QDateTime &at, const QString &entry, bool echo)
{
    const QString line = at.toString(QStringLiteral("MM-dd-yyyy  HH:mm:ss ")) + entry + QStringLiteral("\r\n");
    if (echo) {
        // The line as the file gets it, so the terminal and the file agree;
        // it is echoed even when the file cannot be written.
        std::fprintf(stderr, "%s\n", line.chopped(2).toLocal8Bit().constData());
        std::fflush(stderr);
    }
    const QByteArray bytes = toAnsi(line);
    if (batchDepth == 0) {
        write(path, bytes);
        return;
    }
    for (auto &[file, lines] : pending) {
        if (file == path) {
            lines += bytes;
            return;
        }
    }
    pending.append({path, bytes});
}

void Logs::write(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ++opens;
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        if (!QDir().mkpath(logDir) || !file.open(QIODevice::WriteOnly | QIODevice::Append)) {
            writeFailed(path, file.errorString());
            return;
        }
    }
    // A full disk takes nothing: the bytes that did not fit are the failure.
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        writeFailed(path, file.errorString());
        return;
    }
    writeWorked();
}

void Logs::writeFailed(const QString &path, const QString &reason)
{
    ++failures;
    ++failuresInRun;
    if (!problem.isEmpty())
        return;
    failingSince = now();
    problem = QStringLiteral("The logs cannot be written (%1: %2); switching goes on, its log lines are lost.")
                  .arg(path, reason);
    tellTerminal(problem);
    if (onProblem)
        onProblem(problem);
}

void Logs::writeWorked()
{
    if (problem.isEmpty())
        return;
    problem.clear();
    const quint64 lost = std::exchange(failuresInRun, 0);
    tellTerminal(QStringLiteral("the logs are written again"));
    if (onProblem)
        onProblem(QString());
    WriteErrorLog(QStringLiteral("The logs could not be written from %1 on; %2 writes were lost.")
                      .arg(failingSince.toString(QStringLiteral("MM-dd-yyyy HH:mm:ss")))
                      .arg(lost));
}

void Logs::flushBatch()
{
    // Taken first: a line logged while writing starts a batch of its own.
    const auto batch = std::exchange(pending, {});
    for (const auto &[path, bytes] : batch)
        write(path, bytes);
}

Logs::Batch::Batch(Logs &logs) : logs(logs) { ++logs.batchDepth; }

Logs::Batch::~Batch()
{
    if (--logs.batchDepth == 0)
        logs.flushBatch();
}

void IgnoreFileSizeLimitSignal() { std::signal(SIGXFSZ, SIG_IGN); }

} // namespace marlin
