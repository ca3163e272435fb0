// Arbitrary bytes, delivered in pieces, into the framed dialect's reply
// decoder with router 1's default table; the same bytes as a take string into
// the take builder.
//
// The first input byte sets the size of the pieces (0: one piece). Checked:
// after every call only the bytes after the last CR remain, every number
// reported is 0..255, and the crosspoints do not depend on where the cuts
// fall.

#include "links/image_video.h"

#include <cstdlib>

using namespace marlin;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

bool reportable(int n) { return n >= 0 && n < kPointCount; }

const RouterTable &defaultTable()
{
    static const RouterTable table = [] {
        RouterTable t;
        CreateDefaultRouterTable(t, 1);
        return t;
    }();
    return table;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const qsizetype piece = data[0] == 0 ? qsizetype(size) : qsizetype(data[0]);
    const QByteArray input(reinterpret_cast<const char *>(data) + 1, qsizetype(size) - 1);
    const RouterTable &table = defaultTable();

    const QByteArray take = BuildFramedTake(input);
    check(take.isEmpty() || (take.startsWith('\x16') && take.endsWith('\r') && take.count('\r') == 1));

    QByteArray fed;
    QByteArray buffer;
    QList<Crosspoint> chunked;
    for (qsizetype at = 0; at < input.size(); at += piece) {
        const QByteArray chunk = input.sliced(at, std::min(piece, input.size() - at));
        fed += chunk;
        buffer += chunk;
        const ReplyScan scan = DecodeFramedReply(buffer, table);
        check(!buffer.contains('\r'));
        check(buffer == fed.sliced(fed.lastIndexOf('\r') + 1));
        check(scan.accepted || scan.reports.isEmpty());
        for (const Crosspoint &c : scan.reports)
            check(reportable(c.destination) && reportable(c.source));
        chunked += scan.reports;
    }

    QByteArray whole = input;
    check(DecodeFramedReply(whole, table).reports == chunked);
    check(whole == buffer);
    return 0;
}
