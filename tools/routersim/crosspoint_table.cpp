#include "crosspoint_table.h"

#include <algorithm>

CrosspointTable::CrosspointTable(int reportedSize)
    : reported(std::clamp(reportedSize, 1, capacity))
{
    sources.fill(1);
    sources[0] = 0;
}

int CrosspointTable::source(int destination) const
{
    return inRange(destination) ? sources[static_cast<size_t>(destination)] : 0;
}

bool CrosspointTable::set(int destination, int source)
{
    if (!inRange(destination) || !inRange(source))
        return false;
    sources[static_cast<size_t>(destination)] = source;
    return true;
}
