#include "port_table.h"

namespace marlin {

namespace {
bool onlySpaces(const QByteArray &bytes)
{
    for (char c : bytes) {
        if (c != ' ')
            return false;
    }
    return true;
}
} // namespace

bool CommandQueue::enqueue(const QByteArray &command)
{
    if (onlySpaces(command))
        return false;
    for (int i = 1; i < kSlots; ++i) {
        if (onlySpaces(entries[i])) {
            entries[i] = command;
            return false;
        }
    }
    entries[kSlots - 1] = command;
    return true;
}

bool CommandQueue::isFull() const
{
    for (int i = 1; i < kSlots; ++i) {
        if (onlySpaces(entries[i]))
            return false;
    }
    return true;
}

QByteArray CommandQueue::takeHead()
{
    for (int shifts = 0; shifts < kSlots - 1 && onlySpaces(entries[0]); ++shifts) {
        for (int k = 0; k < kSlots - 1; ++k)
            entries[k] = entries[k + 1];
        entries[kSlots - 1].clear();
    }
    if (onlySpaces(entries[0]))
        return {};
    QByteArray head;
    head.swap(entries[0]);
    return head;
}

int CommandQueue::size() const
{
    int n = 0;
    for (const QByteArray &s : entries)
        n += onlySpaces(s) ? 0 : 1;
    return n;
}

bool CommandQueue::isEmpty() const
{
    for (const QByteArray &s : entries) {
        if (!onlySpaces(s))
            return false;
    }
    return true;
}

void appendReceived(QByteArray &buffer, const QByteArray &bytes)
{
    buffer.append(bytes);
    if (buffer.size() > kRxBufferLimit)
        buffer.remove(0, buffer.size() - kRxBufferLimit);
}

RouterPort FindRouterPort(const Settings &settings, int deviceType, int router)
{
    if (deviceType != kDeviceRouter)
        return {};
    return PortMap(settings).servingPort(router);
}

int FindRouterProtocol(const Settings &settings, int deviceType, int router)
{
    return FindRouterPort(settings, deviceType, router).protocol;
}

} // namespace marlin
