#pragma once

// Times work runs times and prints the median, the fastest and the slowest.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

inline void report(const char *what, int runs, const std::function<void()> &work)
{
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%-52s median %8.3f ms   min %8.3f ms   max %8.3f ms   (%d runs)\n", what, ms[ms.size() / 2],
                ms.front(), ms.back(), runs);
}
