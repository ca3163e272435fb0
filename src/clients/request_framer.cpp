#include "request_framer.h"

#include "clients/client_protocol.h"

namespace marlin {

qsizetype requestFrameLength(QByteArrayView buffer, bool quietTimeout)
{
    const qsizetype size = buffer.size();
    if (size == 0)
        return 0;
    if (size < kRequestHeaderSize)
        return quietTimeout ? size : 0;
    const RequestExtent extent = requestExtent(static_cast<unsigned char>(buffer[4]),
                                               static_cast<unsigned char>(buffer[5]));
    if (size < extent.minimumSize)
        return quietTimeout ? size : 0;
    return extent.runsToEnd ? size : extent.minimumSize;
}

bool canStartRequest(QByteArrayView bytes)
{
    return bytes.size() >= kRequestHeaderSize && static_cast<unsigned char>(bytes[4]) >= kLowestRequestClass
           && isKnownCommand(static_cast<unsigned char>(bytes[5]));
}

void RequestFramer::append(QByteArrayView bytes)
{
    if (head > 0) {
        buffer.remove(0, head);
        head = 0;
    }
    if (bytes.size() >= kBufferLimit) {
        buffer = bytes.last(kBufferLimit).toByteArray();
        return;
    }
    const qsizetype excess = buffer.size() + bytes.size() - kBufferLimit;
    if (excess > 0)
        buffer.remove(0, excess);
    buffer.append(bytes);
}

std::optional<QByteArray> RequestFramer::takeRequest(bool quietTimeout)
{
    const QByteArrayView waiting = QByteArrayView(buffer).sliced(head);
    const qsizetype length = requestFrameLength(waiting, quietTimeout);
    if (length == 0)
        return std::nullopt;
    QByteArray request = waiting.first(length).toByteArray();
    const QByteArrayView rest = waiting.sliced(length);
    head += length;
    // Whatever is still buffered arrived in the read that completed this
    // request: the requests before it were taken when their reads came in.
    if (!rest.isEmpty() && !canStartRequest(rest)) {
        dropped += rest.size();
        clear();
    } else if (rest.isEmpty()) {
        // Keeps its capacity for the next read.
        buffer.resize(0);
        head = 0;
    }
    return request;
}

} // namespace marlin
