#include "crosspoint.h"

namespace marlin {

CrosspointChange ApplyCrosspoint(RouterState &state, int d, int s)
{
    CrosspointChange change;
    if (!isPointNumber(d) || s < 0 || s > kPointCount || state.CurrentSource[d] == s)
        return change;
    state.CurrentSource[d] = s;
    state.StatusReceived = true;
    change.changed = true;
    if (state.HighPriority[d] && state.PrioritySource[d] != s) {
        state.PrioritySource[d] = 0;
        state.HighPriority[d] = false;
        change.holdDropped = true;
    }
    return change;
}

} // namespace marlin
