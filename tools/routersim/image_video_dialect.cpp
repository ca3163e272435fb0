#include "image_video_dialect.h"

#include <QStringList>

namespace {

constexpr unsigned char takeByte = 193;
constexpr unsigned char queryByte = 192;
constexpr unsigned char reportByte = 201;
constexpr unsigned char takeTrailer = 159;
constexpr unsigned char endByte = 254;
constexpr qsizetype takeSize = 7;
constexpr qsizetype querySize = 3;

unsigned char at(const QByteArray &bytes, qsizetype i)
{
    return static_cast<unsigned char>(bytes.at(i));
}

} // namespace

QList<Exchange> ImageVideoDialect::consume(QByteArray &buffer, CrosspointTable &table) const
{
    QList<Exchange> exchanges;
    while (!buffer.isEmpty()) {
        const unsigned char first = at(buffer, 0);
        Exchange exchange;

        if (first == takeByte) {
            if (buffer.size() < takeSize)
                break;
            if (at(buffer, 5) == takeTrailer && at(buffer, 6) == endByte
                && at(buffer, 2) == at(buffer, 3) && at(buffer, 3) == at(buffer, 4)) {
                const int dest = at(buffer, 1) + 1;
                const int src = at(buffer, 2) + 1;
                table.set(dest, src);
                exchange.command = buffer.left(takeSize);
                exchange.understood = true;
                exchange.replies.append(statusReport(dest, table.source(dest)));
                buffer.remove(0, takeSize);
                exchanges.append(exchange);
                continue;
            }
        } else if (first == queryByte) {
            if (buffer.size() < querySize)
                break;
            if (at(buffer, 2) == endByte) {
                const int dest = at(buffer, 1) + 1;
                exchange.command = buffer.left(querySize);
                exchange.understood = true;
                exchange.replies.append(statusReport(dest, table.source(dest)));
                buffer.remove(0, querySize);
                exchanges.append(exchange);
                continue;
            }
        }

        // Not a frame we know: skip it, up to and including its 254.
        const qsizetype end = buffer.indexOf(static_cast<char>(endByte));
        if (end < 0)
            break;
        exchange.command = buffer.left(end + 1);
        exchange.note = QStringLiteral("unknown frame");
        buffer.remove(0, end + 1);
        exchanges.append(exchange);
    }
    return exchanges;
}

QByteArray ImageVideoDialect::statusReport(int destination, int source) const
{
    QByteArray frame;
    frame.append(static_cast<char>(reportByte));
    frame.append(static_cast<char>(destination - 1));
    frame.append(static_cast<char>(source - 1));
    frame.append(static_cast<char>(endByte));
    return frame;
}

QString ImageVideoDialect::display(const QByteArray &bytes) const
{
    QStringList numbers;
    for (const char c : bytes)
        numbers.append(QString::number(static_cast<unsigned char>(c)));
    return numbers.join(QLatin1Char(','));
}
