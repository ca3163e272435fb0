#include "logs.h"

#include "convert.h"

#include <QDir>
#include <QFile>

#include <csignal>
#include <cstdio>

namespace marlin {

namespace {
QString fileName(const char *prefix, const QDate &date)
{
    return QLatin1String(prefix) + date.toString(QStringLiteral("yyyyMMdd")) + QStringLiteral(".TXT");
}
} // namespace

Logs::Logs(const QString &appDir, const RouterTableArray &tables)
    : logDir(appDir + QStringLiteral("/Logs")), tables(tables), now(&QDateTime::currentDateTime)
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

void Logs::WriteErrorLog(const QString &text)
{
    const QDateTime at = now();
    append(errorLogPath(at.date()), at, text, terminalEcho);
}

void Logs::tellTerminal(const QString &line) const
{
    if (!terminalEcho)
        return;
    std::fprintf(stderr, "marlin-server: %s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

void Logs::WriteSwitchLog(bool isSwitchCommand, int router, int source, int destination,
                          const QString &comment)
{
    QString entry = isSwitchCommand ? QStringLiteral("Switch command sent.") : QStringLiteral("Status update.");
    // A number outside the tables drops only the part of the line that needs it.
    const bool routerKnown = router >= 0 && router <= kRouterCount;
    if (routerKnown) {
        const RouterTable &t = tables[router];
        entry += QStringLiteral("\t Router = ") + t.Name;
        if (source >= 0 && source <= kPointCount)
            entry += QStringLiteral("\t Source = ") + t.SourceDescription[source];
        if (destination >= 0 && destination <= kPointCount)
            entry += QStringLiteral("\t Destination = ") + t.DestDescription[destination];
    }
    if (isSwitchCommand)
        entry += QLatin1Char('\t') + comment;
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
        if (!QDir().mkpath(logDir) || !file.open(QIODevice::WriteOnly | QIODevice::Append))
            return;
    }
    file.write(bytes);
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
