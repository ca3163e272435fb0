#pragma once

// Small fixtures shared by the test areas: files in a temporary application
// folder, log entries, byte strings, and a panel on a real TCP connection.

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QFile>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QTcpSocket>
#include <QTest>

#include <initializer_list>

namespace testsupport {

// Bytes written as numbers, for protocols where most bytes are not text.
inline QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(static_cast<char>(v));
    return out;
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// The day a server in the test's own process writes its logs on (see
// TestServer): a test that runs across midnight still finds every line in one file.
inline QDate logDay() { return QDate(2026, 3, 4); }

// A clock for the logs that keeps the time of day but not the date.
inline QDateTime onLogDay() { return QDateTime(logDay(), QTime::currentTime()); }

// The entries of the "Error" or "Switch" log of one day, without date and time.
inline QList<QByteArray> logEntries(const QString &appDir, const char *kind, const QDate &day = logDay())
{
    const QString path = appDir + QStringLiteral("/Logs/%1 Log For %2.TXT")
                                      .arg(QLatin1String(kind), day.toString(QStringLiteral("yyyyMMdd")));
    QList<QByteArray> entries;
    for (const QByteArray &line : readFile(path).split('\n')) {
        if (line.size() > 21)
            entries.append(line.mid(21).chopped(1));
    }
    return entries;
}

// The entries a server in another process wrote on its own clock, which may
// have passed midnight since it started: yesterday's, then today's.
inline QList<QByteArray> recentLogEntries(const QString &appDir, const char *kind)
{
    const QDate today = QDate::currentDate();
    return logEntries(appDir, kind, today.addDays(-1)) + logEntries(appDir, kind, today);
}

// Settings that serve panels on the loopback address at a free port.
inline QByteArray loopbackCardSettings()
{
    return "[Network_Settings]\r\nNetwork_Card_1_IP_Address=127.0.0.1\r\nNetwork_Card_1_TCP_Port=0\r\n";
}

// A panel request: sequence, class, command, router, payload.
inline QByteArray panelRequest(quint32 sequence, int command, int router, const QByteArray &payload = {},
                               int requestClass = 0xE1)
{
    QByteArray r;
    r.append(char(sequence >> 24)).append(char(sequence >> 16)).append(char(sequence >> 8)).append(char(sequence));
    r.append(char(requestClass)).append(char(command)).append(char(router));
    return r + payload;
}

// A panel on its own TCP connection to a server in the same process, so
// every wait keeps the event loop running; from is the local address to
// connect from (any 127.x.y.z address reaches the loopback listener).
class Panel {
public:
    // A connection that is not made within 5 s fails the test that asked
    // for it.
    explicit Panel(quint16 port, const QHostAddress &from = {})
    {
        if (!from.isNull())
            socket.bind(from);
        socket.connectToHost(QHostAddress::LocalHost, port);
        const bool made = QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::ConnectedState; }, 5000);
        if (!made)
            QTest::qFail(qPrintable(QStringLiteral("Panel could not connect to port %1: %2")
                                        .arg(port)
                                        .arg(socket.errorString())),
                         __FILE__, __LINE__);
    }
    QByteArray ask(const QByteArray &bytes, int replyLength)
    {
        socket.write(bytes);
        return await(replyLength);
    }
    // Gives up after timeoutMs with what came.
    QByteArray await(int replyLength, int timeoutMs = 5000)
    {
        [[maybe_unused]] const bool complete = QTest::qWaitFor([&] {
            pending += socket.readAll();
            return pending.size() >= replyLength;
        }, timeoutMs);
        const QByteArray reply = pending.left(replyLength);
        pending.remove(0, replyLength);
        return reply;
    }

    QTcpSocket socket;
    QByteArray pending;
};

} // namespace testsupport
