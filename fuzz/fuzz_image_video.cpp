// Arbitrary bytes, delivered in pieces, into the Image Video 9540 reply
// decoder; the same bytes as a take string into the take builder. Every
// number reported is 0..150.

#include "decoder_harness.h"
#include "links/image_video.h"

using namespace marlin;
using fuzzing::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    constexpr char kEndOfFrame = char(254);
    const QByteArray input = fuzzing::runDecoder(
        data, size, kEndOfFrame, [](QByteArray &buffer) { return DecodeImageVideoReply(buffer); },
        [](int n) { return n >= 0 && n <= kImageVideoPointCount; });

    const QByteArray take = BuildImageVideoTake(input);
    check(take.isEmpty() || (take.size() == 7 && take.front() == char(193) && take.back() == kEndOfFrame));
    return 0;
}
