#include "take_string.h"

#include "config/convert.h"
#include "config/ini_file.h"

namespace marlin {

namespace {

std::optional<int> number(QByteArrayView text)
{
    if (const auto n = toInt16(Val(text)))
        return *n;
    return std::nullopt;
}

} // namespace

TakeString ParseTakeString(QByteArrayView take)
{
    TakeString parsed;
    for (int level = 0; level < kTakeLevelCount; ++level)
        parsed.levels[level] = Val(TextField(take, 3 + level, 1)) == 1.0;
    parsed.source = number(TextField(take, 11, 4));
    parsed.destination = number(TextField(take, 15, 4));

    QByteArrayView comment = take.size() > kTakeStringSize ? take.sliced(kTakeStringSize) : QByteArrayView();
    while (comment.startsWith(' '))
        comment = comment.sliced(1);
    while (comment.endsWith(' '))
        comment.chop(1);
    parsed.comment = fromAnsi(comment.toByteArray());
    return parsed;
}

QByteArray ZeroPad(int n, int width) { return QByteArray::number(n).rightJustified(width, '0'); }

QByteArray LabelOf(const QString &text)
{
    QString label = trimSpaces(text);
    const qsizetype close = label.indexOf(QLatin1Char(')'));
    if (close >= 2)
        label = trimSpaces(label.mid(1, close - 1));
    return toAnsi(label).leftJustified(8, ' ', true);
}

QByteArray MakeTakeString(const std::array<bool, kTakeLevelCount> &levels, int sourcePhysical,
                          int destinationPhysical, const QString &sourceLabel, const QString &destinationLabel)
{
    QByteArray take = "C ";
    for (const bool level : levels)
        take += level ? '1' : '0';
    return take + ZeroPad(sourcePhysical, 4) + ZeroPad(destinationPhysical, 4) + LabelOf(sourceLabel)
           + LabelOf(destinationLabel);
}

} // namespace marlin
