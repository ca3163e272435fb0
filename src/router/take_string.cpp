#include "take_string.h"

#include "config/convert.h"

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

} // namespace marlin
