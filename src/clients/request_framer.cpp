#include "request_framer.h"

#include "clients/client_protocol.h"

namespace marlin {

bool lacksRunnableBytes(QByteArrayView buffer)
{
    const qsizetype size = buffer.size();
    // Class and command still to come: it may be anything.
    if (size <= 4)
        return true;
    const int requestClass = static_cast<unsigned char>(buffer[4]);
    if (requestClass < kMinimumRunClass)
        return false;
    if (size == 5)
        return true;
    return size < requestExtent(requestClass, static_cast<unsigned char>(buffer[5])).runnableSize;
}

qsizetype requestFrameLength(QByteArrayView buffer, RequestFramer::Silence silence)
{
    using Silence = RequestFramer::Silence;
    const qsizetype size = buffer.size();
    if (size == 0)
        return 0;
    const RequestExtent extent = size < kRequestHeaderSize
                                     ? RequestExtent{}
                                     : requestExtent(static_cast<unsigned char>(buffer[4]),
                                                     static_cast<unsigned char>(buffer[5]));
    if (size < extent.minimumSize) {
        if (silence == Silence::None || (silence == Silence::Quiet && lacksRunnableBytes(buffer)))
            return 0;
        return size;
    }
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

std::optional<QByteArray> RequestFramer::takeRequest(Silence silence)
{
    const QByteArrayView waiting = QByteArrayView(buffer).sliced(head);
    const qsizetype length = requestFrameLength(waiting, silence);
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
