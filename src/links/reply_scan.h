#pragma once

// What the three device languages share: the crosspoints their decoders
// report and the cutting of replies into lines or frames.

#include "config/convert.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <algorithm>

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

} // namespace marlin
