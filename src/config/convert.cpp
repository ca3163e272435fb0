#include "convert.h"

#include <array>
#include <cfenv>
#include <cmath>

namespace marlin {

namespace {

// Code points of bytes 0x80..0x9F in Windows-1252; 0 marks the five bytes
// the code page leaves undefined, which map to the C1 control of that value.
constexpr std::array<char16_t, 32> kHighTable = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char encodeChar(char16_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return static_cast<char>(c);
    for (std::size_t i = 0; i < kHighTable.size(); ++i) {
        const char16_t mapped = kHighTable[i] ? kHighTable[i] : char16_t(0x80 + i);
        if (mapped == c)
            return static_cast<char>(0x80 + i);
    }
    return '?';
}

bool isSkipped(char c) { return c == ' ' || c == '\t' || c == '\n'; }

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

double readHex(QByteArrayView text, qsizetype pos)
{
    quint64 value = 0;
    int digits = 0;
    for (; pos < text.size(); ++pos) {
        const char c = text[pos];
        if (isSkipped(c))
            continue;
        const int d = hexDigit(c);
        if (d < 0)
            break;
        if (digits == 0 && d == 0 && value == 0) {
            continue; // leading zeros do not count towards the width
        }
        value = value * 16 + quint64(d);
        if (++digits > 8)
            return 1e18; // too wide for any field: every range check rejects it
    }
    if (digits <= 4)
        return double(qint16(quint16(value)));
    return double(qint32(quint32(value)));
}

} // namespace

QByteArray toAnsi(const QString &text)
{
    QByteArray out;
    out.reserve(text.size());
    for (QChar c : text)
        out.append(encodeChar(c.unicode()));
    return out;
}

QString fromAnsi(const QByteArray &bytes)
{
    QString out;
    out.reserve(bytes.size());
    for (char b : bytes) {
        const auto u = static_cast<unsigned char>(b);
        if (u >= 0x80 && u < 0xA0 && kHighTable[u - 0x80])
            out.append(QChar(kHighTable[u - 0x80]));
        else
            out.append(QChar(u));
    }
    return out;
}

double Val(QByteArrayView text)
{
    qsizetype pos = 0;
    auto skip = [&] {
        while (pos < text.size() && isSkipped(text[pos]))
            ++pos;
    };
    skip();
    if (pos + 1 < text.size() && text[pos] == '&' && (text[pos + 1] == 'H' || text[pos + 1] == 'h'))
        return readHex(text, pos + 2);

    std::string number;
    if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) {
        number += text[pos++];
        skip();
    }
    bool anyDigit = false;
    bool seenPoint = false;
    for (; pos < text.size(); ++pos) {
        const char c = text[pos];
        if (isSkipped(c))
            continue;
        if (c >= '0' && c <= '9') {
            number += c;
            anyDigit = true;
        } else if (c == '.' && !seenPoint) {
            number += c;
            seenPoint = true;
        } else {
            break;
        }
    }
    if (!anyDigit)
        return 0.0;
    if (pos < text.size() && (text[pos] == 'E' || text[pos] == 'e' || text[pos] == 'D' || text[pos] == 'd')) {
        std::string exponent;
        qsizetype p = pos + 1;
        if (p < text.size() && (text[p] == '-' || text[p] == '+'))
            exponent += text[p++];
        while (p < text.size() && ((text[p] >= '0' && text[p] <= '9') || isSkipped(text[p]))) {
            if (!isSkipped(text[p]))
                exponent += text[p];
            ++p;
        }
        if (!exponent.empty() && exponent.back() >= '0' && exponent.back() <= '9')
            number += 'e' + exponent;
    }
    return std::strtod(number.c_str(), nullptr);
}

double Val(const QString &text) { return Val(QByteArrayView(toAnsi(text))); }

namespace {
std::optional<double> roundEven(double value, double lo, double hi)
{
    if (!std::isfinite(value))
        return std::nullopt;
    const int oldMode = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double rounded = std::nearbyint(value);
    std::fesetround(oldMode);
    if (rounded < lo || rounded > hi)
        return std::nullopt;
    return rounded;
}
} // namespace

std::optional<qint16> toInt16(double value)
{
    if (auto r = roundEven(value, -32768.0, 32767.0))
        return static_cast<qint16>(*r);
    return std::nullopt;
}

std::optional<qint32> toInt32(double value)
{
    if (auto r = roundEven(value, -2147483648.0, 2147483647.0))
        return static_cast<qint32>(*r);
    return std::nullopt;
}

QString Str(qint64 n)
{
    return n < 0 ? QString::number(n) : QLatin1Char(' ') + QString::number(n);
}

QByteArray Hex(quint32 n) { return QByteArray::number(n, 16).toUpper(); }

QString charactersOutsideAnsi(const QString &text)
{
    QString outside;
    for (const QChar c : text) {
        if (c != QLatin1Char('?') && encodeChar(c.unicode()) == '?' && !outside.contains(c))
            outside.append(c);
    }
    return outside;
}

QString ansiRefusal(const QString &field, const QString &text)
{
    const QString outside = charactersOutsideAnsi(text);
    if (outside.isEmpty())
        return {};
    return field + QStringLiteral(" holds characters the file cannot store (it holds Windows-1252 text, Western "
                                  "European letters): \"") + outside
           + QStringLiteral("\".  They would be stored as \"?\".  Nothing was saved.");
}

bool isDigits(const QString &text)
{
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

} // namespace marlin
