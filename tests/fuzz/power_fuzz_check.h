// What the fuzz targets ask of the power history made of whatever records an
// input gave: newest first, no period ending before it starts or after the
// next one starts, its totals the sum of its periods.
#pragma once

#include <vector>

#include "power/power_history.h"

inline void CheckPowerHistory(const std::vector<PowerEvent>& events)
{
    std::vector<int64_t> times;
    for (const PowerEvent& event : events)
        times.push_back(event.time);
    const PowerHistory history = BuildPowerHistory(events, times);
    int64_t on = 0;
    for (size_t i = 0; i < history.periods.size(); ++i) {
        const PowerPeriod& period = history.periods[i];
        if (period.end < period.start || (period.ended == PowerEnded::kRunning && i != 0))
            __builtin_trap();
        on += period.end - period.start;
    }
    if (on != history.totals.onSeconds)
        __builtin_trap();
}
