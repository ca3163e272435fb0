// The web face of the server built beside this benchmark, started as a
// child process (--no-console) on a scratch folder, with one Leitch router
// played by the benchmark over TCP:
//   1. API takes per second: keep-alive clients posting takes as fast as the
//      answers come;
//   2. event latency: one router report written to the line, until a
//      WebSocket client has the crosspoint change;
//   3. fan-out: 100 WebSocket clients, a burst of 1,000 crosspoint changes
//      reported in one write, until the last client has all of them; against
//      the same bytes written by this process to 100 plain TCP sockets and
//      read by 100 clients, in the same run.
//
//   bench_web [rounds]   (default 5 rounds of parts 2 and 3)

#include "config/users.h"

#include <QCoreApplication>
#include <QFile>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

// CPU time the process has used, in milliseconds (user and system).
double cpuMs(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) * 1000.0 / double(sysconf(_SC_CLK_TCK));
}

// Resident memory of the process in kB.
long rssKb(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return 0;
}

bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
    }
    return true;
}

QByteArray httpRequest(const QByteArray &method, const QByteArray &target, const QByteArray &body,
                       const QByteArray &token)
{
    QByteArray bytes = method + ' ' + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!token.isEmpty())
        bytes += "Authorization: Bearer " + token + "\r\n";
    if (!body.isEmpty())
        bytes += "Content-Type: application/json\r\n";
    bytes += "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    return bytes;
}

// Cuts whole HTTP responses off the front of pending; returns how many and
// the last body.
int takeResponses(QByteArray &pending, QByteArray *lastBody = nullptr, int *lastStatus = nullptr)
{
    int count = 0;
    for (;;) {
        const qsizetype end = pending.indexOf("\r\n\r\n");
        if (end < 0)
            return count;
        const qsizetype lengthAt = pending.left(end).toLower().indexOf("content-length:");
        const qsizetype length =
            lengthAt < 0 ? 0 : pending.mid(lengthAt + 15, pending.indexOf("\r\n", lengthAt) - lengthAt - 15).trimmed().toLongLong();
        if (pending.size() < end + 4 + length)
            return count;
        if (lastStatus)
            *lastStatus = pending.mid(9, 3).toInt();
        if (lastBody)
            *lastBody = pending.mid(end + 4, length);
        pending.remove(0, end + 4 + length);
        ++count;
    }
}

// A reader of WebSocket text frames (or of the same frames on a plain socket).
struct FrameReader {
    QTcpSocket socket;
    QByteArray pending;
    int messages = 0;
    bool upgraded = false;

    void read()
    {
        pending += socket.readAll();
        if (!upgraded) {
            const qsizetype end = pending.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            upgraded = pending.startsWith("HTTP/1.1 101");
            pending.remove(0, end + 4);
        }
        qsizetype at = 0;
        for (;;) {
            if (pending.size() - at < 2)
                break;
            quint64 length = quint8(pending[at + 1]) & 0x7F;
            qsizetype header = 2;
            if (length == 126) {
                if (pending.size() - at < 4)
                    break;
                length = (quint64(quint8(pending[at + 2])) << 8) | quint8(pending[at + 3]);
                header = 4;
            }
            if (quint64(pending.size() - at) < header + length)
                break;
            if ((quint8(pending[at]) & 0x0F) == 1)
                ++messages;
            at += header + qsizetype(length);
        }
        pending.remove(0, at);
    }
};

QByteArray wsFrame(const QByteArray &text)
{
    QByteArray frame;
    frame.append(char(0x81));
    if (text.size() < 126) {
        frame.append(char(text.size()));
    } else {
        frame.append(char(126)).append(char(text.size() >> 8)).append(char(text.size() & 0xFF));
    }
    return frame + text;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(p * double(values.size() - 1) + 0.5))];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 5;

    // The router the server connects to.
    QTcpServer routerLine;
    routerLine.listen(QHostAddress::LocalHost);
    QTemporaryDir dir;
    {
        QFile ini(dir.filePath(QStringLiteral("WREN.INI")));
        ini.open(QIODevice::WriteOnly);
        ini.write("[Network_Settings]\r\nNetwork_Card_1_IP_Address=127.0.0.1\r\nNetwork_Card_1_TCP_Port=0\r\n"
                  "[Net_Port_1]\r\nHardware_Enabled=1\r\nNetwork_IP_Address=127.0.0.1\r\nNetwork_Port="
                  + QByteArray::number(routerLine.serverPort())
                  + "\r\nNetwork_Port_Type=0\r\nProtocol=1\r\n"
                    "[Web_Settings]\r\nWeb_Enabled=1\r\nWeb_IP_Address=127.0.0.1\r\nWeb_TCP_Port=0\r\n");
    }
    // Users for the fan-out: one session holds at most 4 event streams and
    // one user 16, so 100 readers log in as several users.
    marlin::UserTable users{};
    for (int u = 1; u <= marlin::kUserCount; ++u)
        users[u] = {u == 1 ? QStringLiteral("admin") : QStringLiteral("reader%1").arg(u), QStringLiteral("marlin"),
                    u == 1 ? marlin::Administrator : marlin::Operator};
    marlin::SaveUsers(dir.filePath(QStringLiteral("USER.INI")), users);
    QProcess server;
    server.setProcessChannelMode(QProcess::SeparateChannels);
    server.start(QStringLiteral(MARLIN_SERVER_EXE),
                 {QStringLiteral("--no-console"), QStringLiteral("--app-dir"), dir.path()});
    quint16 webPort = 0;
    QByteArray serverErr;
    waitFor([&] {
        serverErr += server.readAllStandardError();
        const qsizetype at = serverErr.indexOf("web listening on 127.0.0.1:");
        if (at >= 0 && serverErr.indexOf('\n', at) > 0)
            webPort = quint16(serverErr.mid(at + 27, serverErr.indexOf('\n', at) - at - 27).toInt());
        return webPort != 0;
    }, 10000);
    if (!webPort) {
        std::fprintf(stderr, "bench_web: the server did not say where the web face listens:\n%s\n", serverErr.constData());
        return 1;
    }
    std::unique_ptr<QTcpSocket> router;
    waitFor([&] { return routerLine.hasPendingConnections(); }, 10000);
    router.reset(routerLine.nextPendingConnection());
    QObject::connect(router.get(), &QTcpSocket::readyRead, router.get(), [&] { router->readAll(); });

    QTcpSocket loginSocket;
    loginSocket.connectToHost(QHostAddress::LocalHost, webPort);
    loginSocket.waitForConnected(5000);
    loginSocket.write(httpRequest("POST", "/api/v1/login", R"({"user":"admin","password":"marlin"})", {}));
    QByteArray pending;
    QByteArray body;
    waitFor([&] {
        pending += loginSocket.readAll();
        return takeResponses(pending, &body) > 0;
    }, 5000);
    const QByteArray token = QJsonDocument::fromJson(body).object().value(QStringLiteral("token")).toString().toLatin1();
    if (token.isEmpty()) {
        std::fprintf(stderr, "bench_web: no login\n");
        return 1;
    }

    const long rssAtStart = rssKb(server.processId());
    // 1. Takes per second.
    {
        constexpr int kClients = 8;
        constexpr int kSeconds = 3;
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        std::vector<QByteArray> buffers(kClients);
        int answered = 0;
        int refused = 0;
        bool running = true;
        for (int c = 0; c < kClients; ++c) {
            clients.push_back(std::make_unique<QTcpSocket>());
            clients.back()->connectToHost(QHostAddress::LocalHost, webPort);
            clients.back()->waitForConnected(5000);
        }
        auto takeRequest = [&](int c, int n) {
            const QByteArray takeBody = "{\"source\":" + QByteArray::number(1 + n % 16) + ",\"destination\":"
                                        + QByteArray::number(1 + c) + ",\"comment\":\"bench\"}";
            return httpRequest("POST", "/api/v1/routers/2/take", takeBody, token);
        };
        std::vector<int> sent(kClients, 0);
        for (int c = 0; c < kClients; ++c) {
            QObject::connect(clients[std::size_t(c)].get(), &QTcpSocket::readyRead, [&, c] {
                QByteArray &buffer = buffers[std::size_t(c)];
                buffer += clients[std::size_t(c)]->readAll();
                int status = 0;
                const int got = takeResponses(buffer, nullptr, &status);
                answered += status == 202 ? got : 0;
                refused += status == 202 ? 0 : got;
                if (got && running)
                    clients[std::size_t(c)]->write(takeRequest(c, ++sent[std::size_t(c)]));
            });
            clients[std::size_t(c)]->write(takeRequest(c, 0));
        }
        QElapsedTimer timer;
        timer.start();
        waitFor([&] { return timer.elapsed() >= kSeconds * 1000; }, kSeconds * 1000 + 1000);
        running = false;
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        std::printf("API takes: %d answered 202 in %.2f s by %d keep-alive clients: %.0f takes/s (%d refused); "
                    "server RSS %ld kB before, %ld kB after\n",
                    answered, seconds, kClients, answered / seconds, refused, rssAtStart, rssKb(server.processId()));
        waitFor([] { return false; }, 300);
    }

    // Router reports for destinations 1..250, each a change.
    int sourceFlip = 0;
    auto reportBurst = [&](int changes) {
        QByteArray lines;
        for (int i = 0; i < changes; ++i) {
            const int d = i % 250;
            if (d == 0)
                sourceFlip ^= 1;
            lines += "S:0" + QByteArray::number(d, 16) + ',' + QByteArray::number(2 + sourceFlip, 16) + '\r';
        }
        return lines;
    };
    auto openEvents = [&](FrameReader &reader, const QByteArray &token, const QHostAddress &from = {}) {
        if (!from.isNull())
            reader.socket.bind(from);
        reader.socket.connectToHost(QHostAddress::LocalHost, webPort);
        reader.socket.waitForConnected(5000);
        QObject::connect(&reader.socket, &QTcpSocket::readyRead, [&reader] { reader.read(); });
        reader.socket.write("GET /api/v1/events?token=" + token
                            + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
    };

    // 2. One change, from the router's line to a WebSocket client.
    {
        FrameReader reader;
        openEvents(reader, token);
        waitFor([&] { return reader.upgraded; }, 5000);
        std::vector<double> latencies;
        for (int i = 0; i < 20 * rounds; ++i) {
            const int before = reader.messages;
            QElapsedTimer timer;
            timer.start();
            router->write(reportBurst(1));
            router->flush();
            if (!waitFor([&] { return reader.messages > before; }, 5000))
                break;
            latencies.push_back(double(timer.nsecsElapsed()) / 1e6);
        }
        std::printf("event latency, router report to WebSocket client (%zu changes): p50 %.2f ms, p99 %.2f ms, worst "
                    "%.2f ms\n",
                    latencies.size(), percentile(latencies, 0.5), percentile(latencies, 0.99),
                    percentile(latencies, 1.0));
    }

    // 3. Fan-out against plain sockets.
    constexpr int kClients = 100;
    constexpr int kChanges = 1000;
    std::vector<std::unique_ptr<FrameReader>> readers;
    // A session per 4 readers, 4 sessions per user, 25 readers per address.
    QByteArray readerToken;
    QTcpSocket readerLogin;
    readerLogin.connectToHost(QHostAddress::LocalHost, webPort);
    readerLogin.waitForConnected(5000);
    for (int c = 0; c < kClients; ++c) {
        if (c % 4 == 0) {
            const QByteArray user = "reader" + QByteArray::number(2 + c / 16);
            readerLogin.write(httpRequest("POST", "/api/v1/login",
                                          "{\"user\":\"" + user + "\",\"password\":\"marlin\"}", {}));
            QByteArray answer;
            waitFor([&] {
                pending += readerLogin.readAll();
                return takeResponses(pending, &answer) > 0;
            }, 5000);
            readerToken = QJsonDocument::fromJson(answer).object().value(QStringLiteral("token")).toString().toLatin1();
        }
        readers.push_back(std::make_unique<FrameReader>());
        openEvents(*readers.back(), readerToken, QHostAddress(QStringLiteral("127.0.1.%1").arg(1 + c / 25)));
    }
    waitFor([&] { return std::all_of(readers.begin(), readers.end(), [](auto &r) { return r->upgraded; }); }, 10000);

    // The plain sockets: this process writes, 100 clients read.
    QTcpServer plain;
    plain.listen(QHostAddress::LocalHost);
    std::vector<std::unique_ptr<FrameReader>> plainReaders;
    std::vector<std::unique_ptr<QTcpSocket>> plainWriters;
    for (int c = 0; c < kClients; ++c) {
        plainReaders.push_back(std::make_unique<FrameReader>());
        FrameReader &reader = *plainReaders.back();
        reader.upgraded = true;
        reader.socket.connectToHost(QHostAddress::LocalHost, plain.serverPort());
        QObject::connect(&reader.socket, &QTcpSocket::readyRead, [&reader] { reader.read(); });
    }
    waitFor([&] {
        while (plain.hasPendingConnections())
            plainWriters.emplace_back(plain.nextPendingConnection());
        return int(plainWriters.size()) == kClients;
    }, 10000);
    QByteArray sameBytes;
    for (int i = 0; i < kChanges; ++i)
        sameBytes += wsFrame(R"({"destination":)" + QByteArray::number(1 + i % 250)
                             + R"(,"router":1,"source":3,"type":"crosspoint"})");

    std::vector<double> fanOut;
    std::vector<double> firstDone;
    std::vector<double> plainTimes;
    double serverCpu = 0;
    for (int round = 0; round < rounds; ++round) {
        std::vector<int> before;
        for (auto &r : readers)
            before.push_back(r->messages);
        const double cpuBefore = cpuMs(server.processId());
        QElapsedTimer timer;
        timer.start();
        router->write(reportBurst(kChanges));
        router->flush();
        double first = 0;
        const bool all = waitFor([&] {
            int done = 0;
            for (std::size_t c = 0; c < readers.size(); ++c)
                done += readers[c]->messages - before[c] >= kChanges ? 1 : 0;
            if (done > 0 && first == 0)
                first = double(timer.nsecsElapsed()) / 1e6;
            return done == int(readers.size());
        }, 60000);
        serverCpu += cpuMs(server.processId()) - cpuBefore;
        firstDone.push_back(first);
        if (!all) {
            std::fprintf(stderr, "bench_web: not every client had the burst\n");
            break;
        }
        fanOut.push_back(double(timer.nsecsElapsed()) / 1e6);

        std::vector<int> plainBefore;
        for (auto &r : plainReaders)
            plainBefore.push_back(r->messages);
        QElapsedTimer plainTimer;
        plainTimer.start();
        for (auto &w : plainWriters)
            w->write(sameBytes);
        waitFor([&] {
            for (std::size_t c = 0; c < plainReaders.size(); ++c) {
                if (plainReaders[c]->messages - plainBefore[c] < kChanges)
                    return false;
            }
            return true;
        }, 60000);
        plainTimes.push_back(double(plainTimer.nsecsElapsed()) / 1e6);
        waitFor([] { return false; }, 200);
    }
    std::printf("fan-out, %d WebSocket clients, a burst of %d changes (%lld bytes to each): median %.1f ms, worst "
                "%.1f ms until the last client had all\n",
                kClients, kChanges, static_cast<long long>(sameBytes.size()), percentile(fanOut, 0.5),
                percentile(fanOut, 1.0));
    std::printf("  the first client had all after %.1f ms (median); the server used %.0f ms of CPU per burst\n",
                percentile(firstDone, 0.5), serverCpu / std::max<std::size_t>(1, fanOut.size()));
    std::printf("same bytes written by this process to %d plain TCP sockets: median %.1f ms, worst %.1f ms; "
                "ratio %.2f\n",
                kClients, percentile(plainTimes, 0.5), percentile(plainTimes, 1.0),
                percentile(fanOut, 0.5) / std::max(0.001, percentile(plainTimes, 0.5)));

    std::printf("server RSS at the end: %ld kB\n", rssKb(server.processId()));
    server.terminate();
    server.waitForFinished(10000);
    return 0;
}
