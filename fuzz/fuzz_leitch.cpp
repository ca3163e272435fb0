// Arbitrary bytes, delivered in pieces, into the Leitch reply decoder; the
// same bytes as a take string into the take builder.
//
// The first input byte sets the size of the pieces (0: one piece). Checked:
// after every call only the bytes after the last CR remain, nothing reported
// lies above 640, and the crosspoints do not depend on where the cuts fall.

#include "links/leitch.h"

#include <cstdlib>

using namespace marlin;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const qsizetype piece = data[0] == 0 ? qsizetype(size) : qsizetype(data[0]);
    const QByteArray input(reinterpret_cast<const char *>(data) + 1, qsizetype(size) - 1);

    const QByteArray take = BuildLeitchTake(input);
    check(take.isEmpty() || (take.startsWith("@ X:") && take.endsWith('\r') && take.count('\r') == 1));

    QByteArray fed;
    QByteArray buffer;
    QList<Crosspoint> chunked;
    for (qsizetype at = 0; at < input.size(); at += piece) {
        const QByteArray chunk = input.sliced(at, std::min(piece, input.size() - at));
        fed += chunk;
        buffer += chunk;
        const ReplyScan scan = DecodeLeitchReply(buffer);
        check(!buffer.contains('\r'));
        check(buffer == fed.sliced(fed.lastIndexOf('\r') + 1));
        check(scan.accepted || scan.reports.isEmpty());
        for (const Crosspoint &c : scan.reports)
            check(c.destination <= 640 && c.source <= 640);
        chunked += scan.reports;
    }

    QByteArray whole = input;
    check(DecodeLeitchReply(whole).reports == chunked);
    check(whole == buffer);
    return 0;
}
