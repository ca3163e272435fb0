// Arbitrary bytes, delivered in pieces, into the Leitch reply decoder; the
// same bytes as a take string into the take builder. Nothing reported may
// lie above 640.

#include "decoder_harness.h"
#include "links/leitch.h"

using namespace marlin;
using fuzzing::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray input = fuzzing::runDecoder(
        data, size, '\r', [](QByteArray &buffer) { return DecodeLeitchReply(buffer); },
        [](int n) { return n <= 640; });

    const QByteArray take = BuildLeitchTake(input);
    check(take.isEmpty() || (take.startsWith("@ X:") && take.endsWith('\r') && take.count('\r') == 1));
    return 0;
}
