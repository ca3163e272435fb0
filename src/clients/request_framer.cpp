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
    const qsizetype length = requestFrameLength(buffer, quietTimeout);
    if (length == 0)
        return std::nullopt;
    QByteArray request = buffer.left(length);
    buffer.remove(0, length);
    // Whatever is still buffered arrived in the read that completed this
    // request: the requests before it were taken when their reads came in.
    if (!buffer.isEmpty() && !canStartRequest(buffer)) {
        dropped += buffer.size();
        buffer.clear();
    }
    return request;
}

} // namespace marlin
