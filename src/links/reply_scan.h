#pragma once

// What the three device languages share: the crosspoints their decoders
// report and the reading of the take string their builders start from.

#include "config/convert.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <algorithm>
#include <optional>

namespace marlin {

// One crosspoint as a router reported it: 1-based numbers, exactly as the
// device language yields them. Numbers outside the router tables (0, negative,
// above 256) do occur and are left for the state update to ignore, so every
// language is judged by the same rule there.
struct Crosspoint {
    int destination = 0;
    int source = 0;

    bool operator==(const Crosspoint &) const = default;
};

// What one pass of a reply decoder found in a receive buffer. accepted says
// that the router answered with a status report, which is what keeps a link
// alive, even when the report carried nothing usable or nothing new.
struct ReplyScan {
    bool accepted = false;
    QList<Crosspoint> reports;
};

// Hands each piece of rxBuffer up to and including a terminator to decode,
// in order, then cuts them all off the front in one go; what follows the last
// terminator is an incomplete piece and stays for the next call.
template <typename Decode>
void CutTerminated(QByteArray &rxBuffer, char terminator, Decode decode)
{
    qsizetype start = 0;
    for (;;) {
        const qsizetype end = rxBuffer.indexOf(terminator, start);
        if (end < 0)
            break;
        decode(QByteArrayView(rxBuffer).sliced(start, end + 1 - start));
        start = end + 1;
    }
    rxBuffer.remove(0, start);
}

// A take string is "C ", eight level flags (levels 0..7), the source and the
// destination as four decimal digits each (1-based), then labels and a
// comment that no router command uses. Panels build it, so it may be short or
// carry anything; characters it lacks read as empty.

// Characters first..first+count-1 (1-based) of a text, clipped to what is
// there.
inline QByteArrayView TextField(QByteArrayView text, qsizetype first, qsizetype count)
{
    const qsizetype from = first - 1;
    if (from < 0 || from >= text.size() || count <= 0)
        return {};
    return text.sliced(from, std::min(count, text.size() - from));
}

// Level k (0..7) is switched when its flag reads as the number 1.
inline bool TakeLevelSelected(QByteArrayView take, int level)
{
    return Val(TextField(take, 3 + level, 1)) == 1.0;
}

// The 0-based numbers the routers count in.
struct TakeNumbers {
    int source = 0;
    int destination = 0;
};

// Each number minus one, rounded the way an integer field takes a decimal
// value; nothing when either does not fit a 16-bit field ("9E99"): there is
// no sensible command to build from such a take.
inline std::optional<TakeNumbers> ReadTakeNumbers(QByteArrayView take)
{
    const auto source = toInt16(Val(TextField(take, 11, 4)) - 1.0);
    const auto destination = toInt16(Val(TextField(take, 15, 4)) - 1.0);
    if (!source || !destination)
        return std::nullopt;
    return TakeNumbers{*source, *destination};
}

} // namespace marlin
