#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace marlin {

// The WebSocket framing the event stream uses, as pure functions over
// bytes: what the server sends (whole, unmasked frames) and what it reads
// from a client (masked frames, of which it acts on ping and close).

enum WsOpcode : std::uint8_t {
    WsContinuation = 0x0,
    WsText = 0x1,
    WsBinary = 0x2,
    WsClose = 0x8,
    WsPing = 0x9,
    WsPong = 0xA,
};

// A whole frame as the server sends it: FIN, the opcode, the length in 7,
// 16 or 64 bits as it needs, the payload; servers never mask.
std::string makeFrame(std::uint8_t opcode, const char *data, std::size_t size);
// A close frame with a status code and a short reason (cut to fit 125 bytes).
std::string makeCloseFrame(std::uint16_t status, const std::string &reason = {});

struct WsFrame {
    std::uint8_t opcode = 0;
    bool fin = true;
    std::string payload; // unmasked
};

// The largest client frame the server reads; a client has nothing large to say.
constexpr std::size_t kWsLargestClientFrame = 4096;

struct WsFrames {
    std::vector<WsFrame> frames; // whole frames, in order; a close ends the list
    std::size_t consumed = 0;    // bytes they took; the rest waits for more
    // The client broke the rules: an unmasked frame, reserved bits set, a
    // frame larger than the limit, or a control frame that is fragmented
    // or longer than 125 bytes. The connection ends.
    bool fault = false;
};

// Reads the whole frames at the start of data; stops after a close frame.
WsFrames takeFrames(const unsigned char *data, std::size_t size,
                    std::size_t largestFrame = kWsLargestClientFrame);

} // namespace marlin
