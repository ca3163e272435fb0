// The WebSocket framing the event stream reads from its clients, over
// arbitrary bytes.
//
// Input: the bytes a client sent.
//
// Checked: whole frames are taken only from the start and never past the
// input; a close, if any, is the last frame; no frame is larger than the
// limit; a control frame is final and at most 125 bytes; what is taken
// read again gives the same frames; a frame the server makes of each
// payload carries it after a header of 2, 4 or 10 bytes.

#include "web/ws_frame.h"

#include <cstdint>
#include <cstdlib>

using namespace marlin;

namespace {
void check(bool condition)
{
    if (!condition)
        std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const WsFrames taken = takeFrames(data, size);
    check(taken.consumed <= size);
    check(taken.frames.empty() == (taken.consumed == 0));
    std::size_t payloads = 0;
    for (std::size_t i = 0; i < taken.frames.size(); ++i) {
        const WsFrame &frame = taken.frames[i];
        check(frame.payload.size() <= kWsLargestClientFrame);
        check(frame.opcode != WsClose || i + 1 == taken.frames.size());
        check(!(frame.opcode & 0x08) || (frame.fin && frame.payload.size() <= 125));
        payloads += frame.payload.size() + 6; // at least a 2-byte head and the mask
        const std::string made = makeFrame(frame.opcode, frame.payload.data(), frame.payload.size());
        const std::size_t head = made.size() - frame.payload.size();
        check(head == 2 || head == 4 || head == 10);
        check(made.compare(head, std::string::npos, frame.payload) == 0);
    }
    check(payloads <= taken.consumed);
    // The same bytes, up to what was taken, give the same frames.
    const WsFrames again = takeFrames(data, taken.consumed);
    check(again.frames.size() == taken.frames.size() && again.consumed == taken.consumed && !again.fault);
    return 0;
}
