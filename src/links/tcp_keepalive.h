#pragma once

#include <QtGlobal>

namespace marlin {

// How a TCP connection finds a peer that went away without closing (power
// lost, cable pulled): keepalive probes after 30 s without traffic, every
// 10 s, and 3 unanswered ones close it; data left unacknowledged for 60 s
// closes it too, since no probe is sent while data waits.
struct KeepaliveOptions {
    bool enabled = false;
    int idleSeconds = 0;
    int intervalSeconds = 0;
    int probes = 0;
    int userTimeoutMs = 0;
    bool operator==(const KeepaliveOptions &) const = default;
};

inline constexpr KeepaliveOptions kDeadPeerDetection{true, 30, 10, 3, 60000};

// Sets kDeadPeerDetection on a connected socket; false when the system
// refused one of the options.
bool EnableDeadPeerDetection(qintptr descriptor);
// What a socket has now, as the system reports it.
KeepaliveOptions ReadKeepaliveOptions(qintptr descriptor);

} // namespace marlin
