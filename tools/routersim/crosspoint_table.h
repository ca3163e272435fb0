#pragma once

#include <array>

// Which source is on each destination. One table serves every level: the
// simulated routers switch all levels together.
class CrosspointTable
{
public:
    static constexpr int capacity = 256;

    explicit CrosspointTable(int reportedSize = 32);

    static bool inRange(int number) { return number >= 1 && number <= capacity; }

    // Destinations 1..reportedSize() make up a full status report.
    int reportedSize() const { return reported; }

    // 1-based; 0 for a destination outside the table.
    int source(int destination) const;
    // False (and nothing changed) when either number is outside 1..256.
    bool set(int destination, int source);

private:
    int reported;
    std::array<int, capacity + 1> sources{};
};
