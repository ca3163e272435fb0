#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <optional>

namespace marlin {

// Cuts client requests out of the byte stream of one panel connection.
//
// Requests carry no length and panels expect all bytes of one read to be one
// request. TCP does not keep reads apart, though: a request may arrive in two
// pieces (one lost segment is enough, and the least retransmission delay is
// 200 ms), and a retransmission may arrive glued to the request before it.
// The framer keeps what has arrived and decides, from the header alone, how
// much of it is one request:
//
//  - fewer than 7 bytes: wait for more. Once the line has been quiet for a
//    while (Silence::Quiet), a remainder below class 0xE1 is handed over as
//    it is; being short, it gets the not-handled reply. A remainder that may
//    still be a request that runs waits longer (below).
//  - class 0xE1 or above and a command whose payload has a known size
//    (0x91, 0xA1..0xA4, 0xA6, 0xA8: none; 0xAA: two bytes): exactly that
//    many bytes; the rest stays for the next request.
//  - a take (0xA5): its take string must be complete (7 + 34 bytes) before
//    it is handed over, else it waits for more or for the quiet time;
//    then everything buffered goes with it, since the comment runs to the
//    end of what the panel sent.
//  - anything else (no-ops, unknown commands, a class below 0xE1): the
//    whole buffer, as panels send it.
//
// A take runs on numbers, and a number cut in half is another number: a
// take whose first 18 characters (levels, source, destination) have not all
// arrived, a hold without both payload bytes, or a header that may still
// become one of them (class unknown yet, or from 0xE1 up without its
// router byte), is never handed over at the quiet time. It waits for the
// rest until the connection's incomplete-request limit (Silence::Long), and
// is then handed over as it is, to be answered not-handled and logged as
// too short.
//
// Panels wait for a reply before they send again, so what follows a request
// of known size in the same read is either a retransmission joined to it or
// padding. Only bytes that can start a request (a whole header, a class from
// 0xE0 up and a command the server knows) are kept; padding is dropped, so a
// panel that pads its requests still gets exactly one reply to each.
//
// A connection that floods the server cannot grow the buffer past
// kBufferLimit: the oldest bytes are dropped.
class RequestFramer {
public:
    static constexpr qsizetype kBufferLimit = 64 * 1024;

    // How long the line has been silent when a request is asked for.
    enum class Silence {
        None,  // bytes have just arrived
        Quiet, // the quiet time passed without a byte
        Long,  // the incomplete part has waited its whole limit
    };

    void append(QByteArrayView bytes);
    // The next request, or nothing while the buffer waits for more bytes.
    std::optional<QByteArray> takeRequest(Silence silence = Silence::None);

    qsizetype bufferedSize() const { return buffer.size() - head; }
    // Bytes dropped as padding so far.
    qsizetype paddingDropped() const { return dropped; }
    void clear()
    {
        buffer.clear();
        head = 0;
    }

private:
    // Requests are taken by moving head; the bytes before it are dropped
    // once per append rather than once per request, so a burst of small
    // requests is not moved down the buffer again and again.
    QByteArray buffer;
    qsizetype head = 0;
    qsizetype dropped = 0;
};

// The length of the first request in buffer, or 0 while it is incomplete.
qsizetype requestFrameLength(QByteArrayView buffer, RequestFramer::Silence silence);

// Whether buffer, the start of a request, lacks bytes a take or a hold
// cannot run without (or may still become such a request).
bool lacksRunnableBytes(QByteArrayView buffer);

// Whether bytes begin with something a panel could have sent as a request.
bool canStartRequest(QByteArrayView bytes);

} // namespace marlin
