// Arbitrary bytes, delivered in pieces, into the Image Video 9540 reply
// decoder; the same bytes as a take string into the take builder.
//
// The first input byte sets the size of the pieces (0: one piece). Checked:
// after every call only the bytes after the last 254 remain, every number
// reported is 0..150, and the crosspoints do not depend on where the cuts
// fall.

#include "links/image_video.h"

#include <cstdlib>

using namespace marlin;

namespace {

constexpr char kEndOfFrame = char(254);

void check(bool condition)
{
    if (!condition)
        std::abort();
}

bool reportable(int n) { return n >= 0 && n <= kImageVideoPointCount; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const qsizetype piece = data[0] == 0 ? qsizetype(size) : qsizetype(data[0]);
    const QByteArray input(reinterpret_cast<const char *>(data) + 1, qsizetype(size) - 1);

    const QByteArray take = BuildImageVideoTake(input);
    check(take.isEmpty() || (take.size() == 7 && take.front() == char(193) && take.back() == kEndOfFrame));

    QByteArray fed;
    QByteArray buffer;
    QList<Crosspoint> chunked;
    for (qsizetype at = 0; at < input.size(); at += piece) {
        const QByteArray chunk = input.sliced(at, std::min(piece, input.size() - at));
        fed += chunk;
        buffer += chunk;
        const ReplyScan scan = DecodeImageVideoReply(buffer);
        check(!buffer.contains(kEndOfFrame));
        check(buffer == fed.sliced(fed.lastIndexOf(kEndOfFrame) + 1));
        check(scan.accepted || scan.reports.isEmpty());
        for (const Crosspoint &c : scan.reports)
            check(reportable(c.destination) && reportable(c.source));
        chunked += scan.reports;
    }

    QByteArray whole = input;
    check(DecodeImageVideoReply(whole).reports == chunked);
    check(whole == buffer);
    return 0;
}
