#include "ws_frame.h"

#include <algorithm>

namespace marlin {

std::string makeFrame(std::uint8_t opcode, const char *data, std::size_t size)
{
    std::string frame;
    frame.reserve(size + 10);
    frame.push_back(char(0x80 | (opcode & 0x0F)));
    if (size < 126) {
        frame.push_back(char(size));
    } else if (size <= 0xFFFF) {
        frame.push_back(char(126));
        frame.push_back(char(size >> 8));
        frame.push_back(char(size & 0xFF));
    } else {
        frame.push_back(char(127));
        for (int shift = 56; shift >= 0; shift -= 8)
            frame.push_back(char((std::uint64_t(size) >> shift) & 0xFF));
    }
    if (size > 0)
        frame.append(data, size);
    return frame;
}

std::string makeCloseFrame(std::uint16_t status, const std::string &reason)
{
    std::string payload;
    payload.push_back(char(status >> 8));
    payload.push_back(char(status & 0xFF));
    payload.append(reason, 0, std::min<std::size_t>(reason.size(), 123));
    return makeFrame(WsClose, payload.data(), payload.size());
}

WsFrames takeFrames(const unsigned char *bytes, std::size_t size, std::size_t largestFrame)
{
    WsFrames out;
    std::size_t at = 0;
    for (;;) {
        const std::size_t left = size - at;
        if (left < 2)
            break;
        const unsigned char *frame = bytes + at;
        const bool fin = frame[0] & 0x80;
        const std::uint8_t opcode = frame[0] & 0x0F;
        const bool masked = frame[1] & 0x80;
        std::uint64_t length = frame[1] & 0x7F;
        std::size_t header = 2;
        if (length == 126) {
            if (left < 4)
                break;
            length = (std::uint64_t(frame[2]) << 8) | frame[3];
            header = 4;
        } else if (length == 127) {
            if (left < 10)
                break;
            length = 0;
            for (int i = 2; i < 10; ++i)
                length = (length << 8) | frame[i];
            header = 10;
        }
        const bool control = opcode & 0x08;
        // Clients mask every frame, use no extension, and send nothing large.
        if (!masked || (frame[0] & 0x70) != 0 || length > largestFrame || (control && (!fin || length > 125))) {
            out.fault = true;
            break;
        }
        header += 4;
        if (left < header + length)
            break;
        WsFrame taken;
        taken.opcode = opcode;
        taken.fin = fin;
        taken.payload.assign(reinterpret_cast<const char *>(frame + header), std::size_t(length));
        const unsigned char *mask = frame + header - 4;
        for (std::size_t i = 0; i < taken.payload.size(); ++i)
            taken.payload[i] = char(taken.payload[i] ^ mask[i % 4]);
        at += header + std::size_t(length);
        out.frames.push_back(std::move(taken));
        if (opcode == WsClose)
            break;
    }
    out.consumed = at;
    return out;
}

} // namespace marlin
