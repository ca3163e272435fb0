#include "framed_dialect.h"

#include <optional>

namespace {

constexpr char syn = 22;
constexpr char stx = 2;
constexpr char etx = 3;
constexpr qsizetype nameSize = 6;

// Upper-case hex digits only, at least minDigits of them.
std::optional<uint> parseHexField(const QByteArray &text, qsizetype minDigits)
{
    if (text.size() < minDigits || text.size() > 8)
        return std::nullopt;
    uint value = 0;
    for (const char c : text) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return std::nullopt;
        value = value * 16 + static_cast<uint>(digit);
    }
    return value;
}

QByteArray name(const char *prefix, int number)
{
    return (QByteArray(prefix) + QByteArray::number(number - 1)).leftJustified(nameSize, ' ');
}

// A six-character name with the given prefix: the 1-based number, or nothing.
std::optional<int> parseName(const QByteArray &field, const char *prefix)
{
    if (field.size() != nameSize || !field.startsWith(prefix))
        return std::nullopt;
    const QByteArray digits = field.mid(qstrlen(prefix)).trimmed();
    if (digits.isEmpty() || digits.size() > 3)
        return std::nullopt;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
    }
    const int number = digits.toInt() + 1;
    if (!CrosspointTable::inRange(number) || name(prefix, number) != field)
        return std::nullopt;
    return number;
}

} // namespace

Exchange FramedDialect::answer(const QByteArray &line, CrosspointTable &table) const
{
    // Line noise before the SYN is dropped, as the routers do.
    const qsizetype start = line.indexOf(syn);
    if (start < 0)
        return ignoredCommand(line, QStringLiteral("no SYN"));
    const qsizetype bodyStart = line.indexOf(stx, start);
    const qsizetype bodyEnd = bodyStart < 0 ? -1 : line.indexOf(etx, bodyStart);
    if (bodyEnd < 0)
        return ignoredCommand(line, QStringLiteral("malformed frame"));

    const auto length = parseHexField(line.mid(start + 1, bodyStart - start - 1), 2);
    const QByteArray body = line.mid(bodyStart + 1, bodyEnd - bodyStart - 1);
    const auto checksum = parseHexField(line.mid(bodyEnd + 1, line.size() - bodyEnd - 2), 4);
    if (!length || !checksum)
        return ignoredCommand(line, QStringLiteral("malformed frame"));
    if (*length != static_cast<uint>(body.size()))
        return ignoredCommand(line, QStringLiteral("wrong length"));
    uint sum = 0;
    for (qsizetype i = start + 1; i <= bodyEnd; ++i)
        sum += static_cast<unsigned char>(line.at(i));
    if (sum != *checksum)
        return ignoredCommand(line, QStringLiteral("wrong checksum"));

    const QList<QByteArray> fields = body.split(',');
    if (fields.first() != "6")
        return ignoredCommand(line, QStringLiteral("unknown command"));
    if (fields.size() < 3)
        return ignoredCommand(line, QStringLiteral("malformed take"));
    const auto dest = parseName(fields.at(1), "O0");
    const auto src = parseName(fields.at(2), "I0");
    if (!dest || !src)
        return ignoredCommand(line, QStringLiteral("malformed take"));
    for (qsizetype i = 3; i < fields.size(); ++i) {
        if (fields.at(i) != fields.at(2))
            return ignoredCommand(line, QStringLiteral("sources differ"));
    }

    table.set(*dest, *src);
    Exchange exchange;
    exchange.command = line;
    exchange.understood = true;
    exchange.replies.append(statusReport(*dest, table.source(*dest)));
    return exchange;
}

QByteArray FramedDialect::frame(const QByteArray &body)
{
    QByteArray inner = QByteArray::number(body.size(), 16).toUpper().rightJustified(2, '0');
    inner += stx;
    inner += body;
    inner += etx;
    uint sum = 0;
    for (const char c : inner)
        sum += static_cast<unsigned char>(c);
    return syn + inner + QByteArray::number(sum, 16).toUpper().rightJustified(4, '0') + '\r';
}

QByteArray FramedDialect::destinationName(int destination)
{
    return name("O0", destination);
}

QByteArray FramedDialect::sourceName(int source)
{
    return name("I0", source);
}

QByteArray FramedDialect::statusReport(int destination, int source) const
{
    return frame("4," + destinationName(destination) + ',' + sourceName(source));
}

QString FramedDialect::display(const QByteArray &bytes) const
{
    return escapeBytes(bytes.endsWith('\r') ? bytes.chopped(1) : bytes);
}
