#pragma once

// What every reply decoder must hold to, whatever bytes a router sends and
// however they are cut into reads: after each call only the bytes after the
// last terminator remain, every number reported is in the language's range,
// and the crosspoints found do not depend on where the cuts fall.

#include "links/reply_scan.h"

#include <QByteArray>
#include <cstdint>
#include <cstdlib>

namespace fuzzing {

inline void check(bool condition)
{
    if (!condition)
        std::abort();
}

// The first input byte sets the size of the pieces (0: one piece); the rest
// is what the router sent. Returns that rest, for the take builder.
template <typename Decode, typename Reportable>
QByteArray runDecoder(const uint8_t *data, size_t size, char terminator, Decode decode, Reportable reportable)
{
    const qsizetype piece = data[0] == 0 ? qsizetype(size) : qsizetype(data[0]);
    const QByteArray input(reinterpret_cast<const char *>(data) + 1, qsizetype(size) - 1);

    QByteArray fed;
    QByteArray buffer;
    QList<marlin::Crosspoint> chunked;
    for (qsizetype at = 0; at < input.size(); at += piece) {
        const QByteArray chunk = input.sliced(at, std::min(piece, input.size() - at));
        fed += chunk;
        buffer += chunk;
        const marlin::ReplyScan scan = decode(buffer);
        check(!buffer.contains(terminator));
        check(buffer == fed.sliced(fed.lastIndexOf(terminator) + 1));
        check(scan.accepted || scan.reports.isEmpty());
        for (const marlin::Crosspoint &c : scan.reports)
            check(reportable(c.destination) && reportable(c.source));
        chunked += scan.reports;
    }

    QByteArray whole = input;
    check(decode(whole).reports == chunked);
    check(whole == buffer);
    return input;
}

} // namespace fuzzing
