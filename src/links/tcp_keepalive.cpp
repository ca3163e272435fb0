#include "tcp_keepalive.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace marlin {

namespace {
bool set(qintptr descriptor, int level, int name, int value)
{
    return ::setsockopt(int(descriptor), level, name, &value, sizeof value) == 0;
}

int get(qintptr descriptor, int level, int name)
{
    int value = 0;
    socklen_t size = sizeof value;
    return ::getsockopt(int(descriptor), level, name, &value, &size) == 0 ? value : -1;
}
} // namespace

bool EnableDeadPeerDetection(qintptr descriptor)
{
    const KeepaliveOptions &o = kDeadPeerDetection;
    bool ok = set(descriptor, SOL_SOCKET, SO_KEEPALIVE, 1);
    ok = set(descriptor, IPPROTO_TCP, TCP_KEEPIDLE, o.idleSeconds) && ok;
    ok = set(descriptor, IPPROTO_TCP, TCP_KEEPINTVL, o.intervalSeconds) && ok;
    ok = set(descriptor, IPPROTO_TCP, TCP_KEEPCNT, o.probes) && ok;
    ok = set(descriptor, IPPROTO_TCP, TCP_USER_TIMEOUT, o.userTimeoutMs) && ok;
    return ok;
}

KeepaliveOptions ReadKeepaliveOptions(qintptr descriptor)
{
    return {get(descriptor, SOL_SOCKET, SO_KEEPALIVE) > 0, get(descriptor, IPPROTO_TCP, TCP_KEEPIDLE),
            get(descriptor, IPPROTO_TCP, TCP_KEEPINTVL), get(descriptor, IPPROTO_TCP, TCP_KEEPCNT),
            get(descriptor, IPPROTO_TCP, TCP_USER_TIMEOUT)};
}

} // namespace marlin
