// Throughput of the three reply decoders on streams of realistic status
// replies, delivered in read-sized pieces the way the serial and network
// links hand them over. Prints the best of five rounds per language.
//
//   bench_parsers [megabytes per language, default 4] [bytes per read, default 64]

#include "links/framed.h"
#include "links/image_video.h"
#include "links/leitch.h"
#include "router/router_table.h"

#include <QByteArray>
#include <QRandomGenerator>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>

using namespace marlin;

namespace {

struct Stream {
    QByteArray bytes;
    qsizetype replies = 0;
};

// A full status dump as a Leitch router answers "@ ?": mostly prompted status
// lines, now and then an LF left over from the router's line ending.
Stream leitchStream(qsizetype size, QRandomGenerator &random)
{
    Stream s;
    while (s.bytes.size() < size) {
        if (random.bounded(8) == 0)
            s.bytes += '\n';
        s.bytes += ">S:" + QByteArray::number(random.bounded(8)) + Hex(random.bounded(256)) + ',' +
                   Hex(random.bounded(256)) + '\r';
        ++s.replies;
    }
    return s;
}

// Status reports of a 9540 answering a full poll, with the occasional byte of
// line noise in front.
Stream imageVideoStream(qsizetype size, QRandomGenerator &random)
{
    Stream s;
    while (s.bytes.size() < size) {
        if (random.bounded(16) == 0)
            s.bytes += char(random.bounded(200));
        s.bytes += char(201);
        s.bytes += char(random.bounded(150));
        s.bytes += char(random.bounded(150));
        s.bytes += char(254);
        ++s.replies;
    }
    return s;
}

QByteArray paddedName(const char *prefix, int number)
{
    return (prefix + QByteArray::number(number)).leftJustified(6, ' ');
}

// The framed dialect's status reports, naming ports by the router's own
// names, which the table carries as labels; now and then a "2" body.
Stream framedStream(qsizetype size, QRandomGenerator &random)
{
    Stream s;
    while (s.bytes.size() < size) {
        const QByteArray body = random.bounded(10) == 0
            ? QByteArray("2,000000")
            : "4," + paddedName("O0", random.bounded(150)) + ',' + paddedName("I0", random.bounded(150));
        s.bytes += '\x16' + Hex(quint32(body.size())).rightJustified(2, '0') + '\x02' + body + '\x03' + "0000\r";
        ++s.replies;
    }
    return s;
}

RouterTable framedTable()
{
    RouterTable table;
    CreateDefaultRouterTable(table, 1);
    for (int n = 1; n <= kPointCount; ++n) {
        table.DestLabel[n] = QStringLiteral("O0%1").arg(n - 1);
        table.SourceLabel[n] = QStringLiteral("I0%1").arg(n - 1);
    }
    return table;
}

// Best of a few rounds, so that a busy machine shows the decoders' own pace.
void run(const char *name, const Stream &stream, qsizetype readSize,
         const std::function<ReplyScan(QByteArray &)> &decode)
{
    constexpr int kRounds = 5;
    double best = 0.0;
    qsizetype reports = 0;
    for (int round = 0; round < kRounds; ++round) {
        QByteArray buffer;
        reports = 0;
        const auto start = std::chrono::steady_clock::now();
        for (qsizetype at = 0; at < stream.bytes.size(); at += readSize) {
            buffer += QByteArrayView(stream.bytes).sliced(at, std::min(readSize, stream.bytes.size() - at));
            reports += decode(buffer).reports.size();
        }
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        if (round == 0 || elapsed.count() < best)
            best = elapsed.count();
        if (!buffer.isEmpty())
            std::printf("%s: %lld bytes left undecoded\n", name, static_cast<long long>(buffer.size()));
    }
    const double megabytes = double(stream.bytes.size()) / 1e6;
    std::printf("%-11s %6.2f MB  %8.4f s  %8.1f MB/s  %11.0f replies/s  (%lld replies, %lld crosspoints)\n",
                name, megabytes, best, megabytes / best, double(stream.replies) / best,
                static_cast<long long>(stream.replies), static_cast<long long>(reports));
}

} // namespace

int main(int argc, char **argv)
{
    const qsizetype megabytes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 4;
    const qsizetype readSize = argc > 2 ? std::max(1, std::atoi(argv[2])) : 64;
    const qsizetype size = megabytes * 1000 * 1000;
    QRandomGenerator random(7);

    std::printf("%lld MB per language, %lld bytes per read\n", static_cast<long long>(megabytes),
                static_cast<long long>(readSize));
    const RouterTable table = framedTable();
    run("Leitch", leitchStream(size, random), readSize, [](QByteArray &b) { return DecodeLeitchReply(b); });
    run("ImageVideo", imageVideoStream(size, random), readSize,
        [](QByteArray &b) { return DecodeImageVideoReply(b); });
    run("Framed", framedStream(size, random), readSize,
        [&table](QByteArray &b) { return DecodeFramedReply(b, table); });
    return 0;
}
