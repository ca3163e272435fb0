#include "leitch_dialect.h"

#include <optional>

namespace {

// -1 for anything but a hexadecimal digit.
int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool isHexDigit(char c)
{
    return hexValue(c) >= 0;
}

char upper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// 0-based hex number as the routers write it: one or two digits, nothing else.
std::optional<int> parseNumber(const QByteArray &text)
{
    if (text.isEmpty() || text.size() > 2)
        return std::nullopt;
    int value = 0;
    for (const char c : text) {
        if (!isHexDigit(c))
            return std::nullopt;
        value = value * 16 + hexValue(c);
    }
    return value;
}

QByteArray hex(int value)
{
    return QByteArray::number(value, 16).toUpper();
}

} // namespace

Exchange LeitchDialect::answer(const QByteArray &line, CrosspointTable &table) const
{
    // An LF left over from a CR LF sender, or stray spaces, are not errors.
    const QByteArray text = line.trimmed();
    if (!text.startsWith('@'))
        return ignoredCommand(line, QStringLiteral("not a command"));
    const QByteArray command = text.mid(1).trimmed();

    Exchange exchange;
    exchange.command = line;

    if (command == "?") {
        exchange.understood = true;
        exchange.replies.append(prompt ? QByteArray("\n>\r") : QByteArray(">\r"));
        return exchange;
    }

    if (command.startsWith("X:")) {
        const QByteArray body = command.mid(2);
        const qsizetype slash = body.indexOf('/');
        const qsizetype comma = body.indexOf(',');
        if (slash < 0 || comma < slash)
            return ignoredCommand(line, QStringLiteral("malformed take"));
        const QByteArray levels = body.left(slash);
        const auto dest = parseNumber(body.mid(slash + 1, comma - slash - 1));
        const auto src = parseNumber(body.mid(comma + 1));
        if (!dest || !src)
            return ignoredCommand(line, QStringLiteral("malformed take"));
        for (const char level : levels) {
            if (!isHexDigit(level))
                return ignoredCommand(line, QStringLiteral("bad level"));
        }
        exchange.understood = true;
        // A take that names no level switches nothing, so it reports nothing.
        if (levels.isEmpty())
            return exchange;
        table.set(*dest + 1, *src + 1);
        QByteArray reported;
        for (const char level : levels) {
            const char name = upper(level);
            if (reported.contains(name))
                continue;
            reported.append(name);
            exchange.replies.append(statusLine(name, *dest + 1, table.source(*dest + 1)));
        }
        return exchange;
    }

    if (command.startsWith("X?")) {
        const QByteArray body = command.mid(2);
        if (body.size() < 2 || !isHexDigit(body.at(0)))
            return ignoredCommand(line, QStringLiteral("malformed query"));
        const auto dest = parseNumber(body.mid(1));
        if (!dest)
            return ignoredCommand(line, QStringLiteral("malformed query"));
        exchange.understood = true;
        exchange.replies.append(statusLine(upper(body.at(0)), *dest + 1, table.source(*dest + 1)));
        return exchange;
    }

    if (command.startsWith("S?")) {
        const QByteArray body = command.mid(2);
        if (body.size() != 1 || !isHexDigit(body.at(0)))
            return ignoredCommand(line, QStringLiteral("malformed level status request"));
        exchange.understood = true;
        const char level = upper(body.at(0));
        for (int d = 1; d <= table.reportedSize(); ++d)
            exchange.replies.append(statusLine(level, d, table.source(d)));
        return exchange;
    }

    return ignoredCommand(line, QStringLiteral("unknown command"));
}

QByteArray LeitchDialect::statusLine(char level, int destination, int source) const
{
    QByteArray line = prompt ? QByteArray("\n>") : QByteArray();
    line += "S:";
    line += level;
    line += hex(destination - 1);
    line += ',';
    line += hex(source - 1);
    line += '\r';
    return line;
}

QByteArray LeitchDialect::statusReport(int destination, int source) const
{
    return statusLine('0', destination, source);
}

QString LeitchDialect::display(const QByteArray &bytes) const
{
    return escapeBytes(bytes.endsWith('\r') ? bytes.chopped(1) : bytes);
}
