#pragma once

#include "router/router_table.h"

namespace marlin {

// What storing one reported crosspoint did, so the caller can log and tell
// the panels in the same way for every device language.
struct CrosspointChange {
    bool changed = false;      // CurrentSource took a new value
    bool holdDropped = false;  // a high-priority hold was overridden by another source
};

// Stores source s on destination d of a router's state. Numbers outside the
// tables (d outside 1..256, s outside 0..256) change nothing. A hold stays
// while the router reports its priority source; any other source drops it.
CrosspointChange ApplyCrosspoint(RouterState &state, int destination, int source);

} // namespace marlin
