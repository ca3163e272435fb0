// Arbitrary bytes, delivered in pieces, into the framed dialect's reply
// decoder with router 1's default table; the same bytes as a take string into
// the take builder. Every number reported is 0..255.

#include "decoder_harness.h"
#include "links/framed.h"

using namespace marlin;
using fuzzing::check;

namespace {

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
    const RouterTable &table = defaultTable();
    const QByteArray input = fuzzing::runDecoder(
        data, size, '\r', [&](QByteArray &buffer) { return DecodeFramedReply(buffer, table); },
        [](int n) { return n >= 0 && n < kPointCount; });

    const QByteArray take = BuildFramedTake(input);
    check(take.isEmpty() || (take.startsWith('\x16') && take.endsWith('\r') && take.count('\r') == 1));
    return 0;
}
