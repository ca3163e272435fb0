#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <algorithm>
#include <optional>

namespace marlin {

// Every file the server owns (settings, users, router tables, logs) holds
// single-byte text in the Windows-1252 code page. These two convert at the
// file boundary; characters outside the code page are written as '?'.
QByteArray toAnsi(const QString &text);
QString fromAnsi(const QByteArray &bytes);
// The characters of a text the code page cannot hold, each once, in order;
// empty when the whole text can be stored.
QString charactersOutsideAnsi(const QString &text);
// The refusal of a field whose text the code page cannot hold, naming the
// field and the characters; empty when it can be stored.
QString ansiRefusal(const QString &field, const QString &text);

// The leading number of a text, as every number in the settings files and
// device replies is read: blanks, tabs and line feeds are skipped anywhere,
// an optional sign, digits with an optional fraction and exponent, or a
// hexadecimal number after "&H" (four digits or fewer read as a signed
// 16-bit value, up to eight as a signed 32-bit one). No number gives 0.
double Val(QByteArrayView text);
double Val(const QString &text);

// Characters first..first+count-1 (1-based) of a text, clipped to what is
// there: the fixed fields of take strings and router frames.
inline QByteArrayView TextField(QByteArrayView text, qsizetype first, qsizetype count)
{
    const qsizetype from = first - 1;
    if (from < 0 || from >= text.size() || count <= 0)
        return {};
    return text.sliced(from, std::min(count, text.size() - from));
}

// Rounds half to even and checks the range of a 16-bit or 32-bit field;
// nothing when the value does not fit (an overflow).
std::optional<qint16> toInt16(double value);
std::optional<qint32> toInt32(double value);

// n in decimal with a blank where a plus sign would go: " 12", "-5".
QString Str(qint64 n);
// Only the digits 0 to 9, at least one: no sign, no blanks, no hexadecimal.
bool isDigits(const QString &text);
// Upper-case hexadecimal without leading zeros: 0 -> "0", 255 -> "FF".
QByteArray Hex(quint32 n);

} // namespace marlin
