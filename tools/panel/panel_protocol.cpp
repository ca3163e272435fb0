#include "panel_protocol.h"

#include <QRegularExpression>
#include <QStringList>

namespace marlin::panel {

namespace {

constexpr quint8 kBodyAcknowledge = 0x10;
constexpr quint8 kBodyNotHandled = 0x11;
constexpr quint8 kBodyCoded = 0xFF;

quint8 byteAt(const QByteArray &bytes, qsizetype i) { return static_cast<quint8>(bytes.at(i)); }

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

// Body length of a coded reply (0xFF code ...), 0 for an unknown code.
qsizetype codedBodyLength(quint8 code)
{
    switch (code) {
    case CodeFlags:
        return 3 + kFlagCount;
    case CodeStatusOneByte:
    case CodePriorityOneByte:
    case CodePriorityTwoByte:   // priority entries are one byte in both forms
        return 3 + kOneByteBlockSize;
    case CodeStatusTwoByte:
        return 3 + kTwoByteBlockSize;
    default:
        return 0;
    }
}

bool isBooleanByte(quint8 b) { return b == 0 || b == 1; }

// The block after "FF code r": five header bytes, then the entries.
std::optional<StatusBlock> decodeBlock(const QByteArray &block, bool twoByteEntries, bool priority, QString *error)
{
    StatusBlock out;
    const quint8 received = byteAt(block, 0);
    const quint8 comm = byteAt(block, 1);
    if (!isBooleanByte(received) || !isBooleanByte(comm)) {
        setError(error, QStringLiteral("status header flags are not 0 or 1"));
        return std::nullopt;
    }
    out.statusReceived = received == 1;
    out.commOK = comm == 1;
    out.linkPort = byteAt(block, 2);
    if (out.linkPort > kRouterCount) {
        setError(error, QStringLiteral("link port %1 is beyond %2").arg(out.linkPort).arg(kRouterCount));
        return std::nullopt;
    }
    out.spare1 = byteAt(block, 3);
    out.spare2 = byteAt(block, 4);
    out.entries.reserve(kDestinationCount);
    for (int d = 0; d < kDestinationCount; ++d) {
        int value;
        if (twoByteEntries)
            value = byteAt(block, kBlockHeaderSize + 2 * d) * 256 + byteAt(block, kBlockHeaderSize + 2 * d + 1);
        else
            value = byteAt(block, kBlockHeaderSize + d);
        if (priority && !isBooleanByte(static_cast<quint8>(value))) {
            setError(error, QStringLiteral("priority of destination %1 is %2, not 0 or 1").arg(d + 1).arg(value));
            return std::nullopt;
        }
        out.entries.append(value);
    }
    return out;
}

// Windows-1252 puts printable characters where Latin-1 has C1 controls.
char windows1252Special(char32_t c)
{
    static constexpr char32_t kTable[32] = {
        0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
        0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0, 0x017D, 0,
        0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
        0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178,
    };
    for (int i = 0; i < 32; ++i) {
        if (kTable[i] != 0 && kTable[i] == c)
            return static_cast<char>(0x80 + i);
    }
    return '?';
}

std::optional<int> checkedFourDigits(int n, const char *what, QString *error)
{
    if (n < 1 || n > 9999) {
        setError(error, QStringLiteral("%1 %2 does not fit the take (1..9999)").arg(QLatin1String(what)).arg(n));
        return std::nullopt;
    }
    return n;
}

std::optional<QByteArray> paddedLabel(const QString &label, const char *what, QString *error)
{
    QByteArray bytes = toWindows1252(label);
    if (bytes.size() > 8) {
        setError(error, QStringLiteral("%1 label \"%2\" is longer than 8 characters").arg(QLatin1String(what), label));
        return std::nullopt;
    }
    return bytes.leftJustified(8, ' ');
}

} // namespace

QByteArray sequenceBytes(quint32 sequence)
{
    QByteArray out(kSequenceSize, '\0');
    for (int i = 0; i < kSequenceSize; ++i)
        out[i] = static_cast<char>((sequence >> (8 * (kSequenceSize - 1 - i))) & 0xFF);
    return out;
}

QByteArray buildRequest(quint32 sequence, quint8 command, quint8 router, const QByteArray &payload)
{
    QByteArray out = sequenceBytes(sequence);
    out.append(static_cast<char>(kClassByte));
    out.append(static_cast<char>(command));
    out.append(static_cast<char>(router));
    out.append(payload);
    return out;
}

QByteArray toWindows1252(const QString &text)
{
    QByteArray out;
    for (char32_t c : text.toUcs4()) {
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
            out.append(static_cast<char>(c));
        else
            out.append(windows1252Special(c));
    }
    return out;
}

std::optional<QByteArray> buildTakeString(const TakeOrder &take, QString *error)
{
    const auto source = checkedFourDigits(take.source, "source", error);
    if (!source)
        return std::nullopt;
    const auto destination = checkedFourDigits(take.destination, "destination", error);
    if (!destination)
        return std::nullopt;
    const auto sourceLabel = paddedLabel(take.sourceLabel, "source", error);
    if (!sourceLabel)
        return std::nullopt;
    const auto destinationLabel = paddedLabel(take.destinationLabel, "destination", error);
    if (!destinationLabel)
        return std::nullopt;

    QByteArray out("C ");
    for (bool level : take.levels)
        out.append(level ? '1' : '0');
    out.append(QByteArray::number(*source).rightJustified(4, '0'));
    out.append(QByteArray::number(*destination).rightJustified(4, '0'));
    out.append(*sourceLabel);
    out.append(*destinationLabel);
    out.append(toWindows1252(take.comment));
    return out;
}

std::optional<std::array<bool, 8>> parseLevels(const QString &text, QString *error)
{
    std::array<bool, 8> levels{};
    if (text.compare(QLatin1String("all"), Qt::CaseInsensitive) == 0) {
        levels.fill(true);
        return levels;
    }
    if (text.isEmpty()) {
        setError(error, QStringLiteral("no level given (digits 0..7 or \"all\")"));
        return std::nullopt;
    }
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('7')) {
            setError(error, QStringLiteral("level \"%1\" is not a digit 0..7").arg(c));
            return std::nullopt;
        }
        levels[static_cast<size_t>(c.unicode() - '0')] = true;
    }
    return levels;
}

std::optional<QByteArray> buildPriorityPayload(int destination, bool hold, QString *error)
{
    if (destination < 0 || destination > 255) {
        setError(error, QStringLiteral("destination %1 cannot be held from a panel: "
                                       "the request carries it in one byte (0..255)").arg(destination));
        return std::nullopt;
    }
    QByteArray out;
    out.append(static_cast<char>(destination));
    out.append(static_cast<char>(hold ? 1 : 0));
    return out;
}

std::optional<QByteArray> parseHex(const QString &text, QString *error)
{
    QString digits;
    const QStringList parts = text.split(QRegularExpression(QStringLiteral("[\\s:,\\-]+")), Qt::SkipEmptyParts);
    for (QString part : parts) {
        if (part.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
            part = part.mid(2);
        digits += part;
    }
    if (digits.isEmpty()) {
        setError(error, QStringLiteral("no bytes given"));
        return std::nullopt;
    }
    for (QChar c : digits) {
        if (!c.isDigit() && !(c.toLower() >= QLatin1Char('a') && c.toLower() <= QLatin1Char('f'))) {
            setError(error, QStringLiteral("\"%1\" is not a hexadecimal digit").arg(c));
            return std::nullopt;
        }
    }
    if (digits.size() % 2 != 0) {
        setError(error, QStringLiteral("odd number of hexadecimal digits"));
        return std::nullopt;
    }
    return QByteArray::fromHex(digits.toLatin1());
}

QString hexByte(quint8 b)
{
    return QStringLiteral("0x") + QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0')).toUpper();
}

QString toHex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

ReplyFrame frameReply(const QByteArray &buffer)
{
    if (buffer.size() <= kSequenceSize)
        return {};
    qsizetype body = 0;
    switch (byteAt(buffer, kSequenceSize)) {
    case kBodyAcknowledge:
        body = 3;
        break;
    case kBodyNotHandled:
        body = 2;
        break;
    case kBodyCoded:
        if (buffer.size() <= kSequenceSize + 1)
            return {};
        body = codedBodyLength(byteAt(buffer, kSequenceSize + 1));
        if (body == 0)
            return {ReplyFrame::Unrecognised, 0};
        break;
    default:
        return {ReplyFrame::Unrecognised, 0};
    }
    const qsizetype length = kSequenceSize + body;
    if (buffer.size() < length)
        return {};
    return {ReplyFrame::Complete, length};
}

std::optional<Reply> decodeReply(const QByteArray &frame, QString *error)
{
    const ReplyFrame framed = frameReply(frame);
    if (framed.status != ReplyFrame::Complete || framed.length != frame.size()) {
        setError(error, QStringLiteral("not one complete reply"));
        return std::nullopt;
    }
    Reply reply;
    reply.sequence = frame.left(kSequenceSize);
    reply.body = frame.mid(kSequenceSize);
    const QByteArray &body = reply.body;

    switch (byteAt(body, 0)) {
    case kBodyAcknowledge:
        if (byteAt(body, 1) != 0x01) {
            setError(error, QStringLiteral("acknowledge reply without its 0x01"));
            return std::nullopt;
        }
        reply.kind = ReplyKind::Acknowledge;
        reply.router = byteAt(body, 2);
        return reply;
    case kBodyNotHandled:
        if (byteAt(body, 1) != 0x12) {
            setError(error, QStringLiteral("not-handled reply without its 0x12"));
            return std::nullopt;
        }
        reply.kind = ReplyKind::NotHandled;
        return reply;
    default:
        break;
    }

    reply.code = byteAt(body, 1);
    reply.router = byteAt(body, 2);
    if (reply.code == CodeFlags) {
        reply.kind = ReplyKind::Flags;
        reply.flags = body.mid(3, kFlagCount);
        for (char f : reply.flags) {
            if (!isBooleanByte(static_cast<quint8>(f))) {
                setError(error, QStringLiteral("change flag byte %1 is not 0 or 1").arg(static_cast<quint8>(f)));
                return std::nullopt;
            }
        }
        return reply;
    }

    if (reply.router < 1 || reply.router > kRouterCount) {
        setError(error, QStringLiteral("status of router %1, outside 1..%2").arg(reply.router).arg(kRouterCount));
        return std::nullopt;
    }
    const bool priority = reply.code == CodePriorityOneByte || reply.code == CodePriorityTwoByte;
    reply.kind = priority ? ReplyKind::Priority : ReplyKind::Status;
    reply.twoByte = reply.code == CodeStatusTwoByte;
    auto block = decodeBlock(body.mid(3), reply.twoByte, priority, error);
    if (!block)
        return std::nullopt;
    reply.block = *block;
    return reply;
}

QString replyMismatch(quint8 command, quint8 router, const Reply &reply)
{
    switch (reply.kind) {
    case ReplyKind::NotHandled:
        return {};   // any request can be refused
    case ReplyKind::Acknowledge:
        if (command == CommandPollFlags)
            return QStringLiteral("acknowledge reply to a flag poll");
        if (reply.router != router)
            return QStringLiteral("acknowledge names router %1, the request router %2").arg(reply.router).arg(router);
        return {};
    case ReplyKind::Flags:
        if (command != CommandPollFlags)
            return QStringLiteral("change-flags reply to command %1").arg(hexByte(command));
        if (reply.router != router)
            return QStringLiteral("change flags name router %1, the request router %2").arg(reply.router).arg(router);
        return {};
    case ReplyKind::Status:
    case ReplyKind::Priority: {
        // The router of a status reply is the pending one, not the request's.
        const bool oneByteCode = reply.code == CodeStatusOneByte || reply.code == CodePriorityOneByte;
        if (command == CommandStatusOneByte && oneByteCode)
            return {};
        if (command == CommandStatusTwoByte && !oneByteCode)
            return {};
        return QStringLiteral("status code %1 in reply to command %2").arg(hexByte(reply.code), hexByte(command));
    }
    }
    return {};
}

} // namespace marlin::panel
