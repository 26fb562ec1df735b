// The power history made of power records, a row per kind of transition and
// per pitfall of real logs; every row also holds the invariants: newest
// first, no period ending before it starts or after the next one starts.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "power/power_history.h"

namespace {

using S = PowerSource;
constexpr int64_t T = 1500000000;  // the rows' times are offsets from this

// A record: its source, identifier, time offset and data values (targetState
// doubles as bootType and shutdownAction; kPowerNoValue leaves it unsaid).
PowerEvent E(S source, uint16_t id, int64_t at, int32_t value = kPowerNoValue, int64_t sleep = 0, int64_t wake = 0)
{
    static uint64_t record = 0;
    PowerEvent e;
    e.source = source;
    e.id = id;
    e.record = ++record;
    e.time = at < 0 ? 0 : T + at;  // a negative offset: a record whose time is 0
    e.bootType = e.targetState = e.shutdownAction = value;
    e.effectiveState = value == 6 ? 5 : value;
    e.sleepTime = sleep ? T + sleep : 0;
    e.wakeTime = wake ? T + wake : 0;
    if (id == kPowerRequestId) {
        e.process = "shutdown.exe";
        e.user = "PC\\ann";
    }
    return e;
}
// A full boot: Kernel-General 12, Kernel-Boot 27, the boot marker 20 s on.
std::vector<PowerEvent> Boot(int64_t at, int32_t type = 0)
{
    return {E(S::kKernelGeneral, 12, at), E(S::kKernelBoot, 27, at, type), E(S::kEventLog, 6009, at + 20)};
}
std::vector<PowerEvent> Join(std::initializer_list<std::vector<PowerEvent>> parts)
{
    std::vector<PowerEvent> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// "began-ended start end" per period, oldest first, times as offsets.
std::string Told(const PowerHistory& history)
{
    std::string text;
    for (auto it = history.periods.rbegin(); it != history.periods.rend(); ++it)
        text += std::string(text.empty() ? "" : "; ") + PowerBeganWord(it->began) + "-" + PowerEndedWord(it->ended) +
                " " + std::to_string(it->start - T) + " " + std::to_string(it->end - T) +
                (it->initiator.empty() ? "" : " by " + it->initiator);
    return text;
}

TEST(PowerHistory, TellsEachTransitionOnceAtItsSeconds)
{
    struct Row {
        const char* name;
        std::vector<PowerEvent> events;
        std::string expected;
    };
    const std::vector<Row> rows = {
        {"restart: 109 and 13 written after the next boot marker",
         Join({Boot(0), {E(S::kUser32, 1074, 100), E(S::kEventLog, 6006, 101), E(S::kEventLog, 6009, 140),
                         E(S::kKernelPower, 109, 102, 5), E(S::kKernelGeneral, 13, 103)},
               {E(S::kKernelGeneral, 12, 120), E(S::kKernelBoot, 27, 120, 0)}}),
         "boot-restart 0 103 by shutdown.exe by PC\\ann; boot-running 120 140"},
        {"power off by 109, an hour off", Join({Boot(0), {E(S::kKernelPower, 109, 50, 6)}, Boot(3650)}),
         "boot-shutdown 0 50; boot-running 3650 3670"},
        {"6006 alone: a boot within seconds makes it a restart",
         {E(S::kEventLog, 6009, 0), E(S::kEventLog, 6006, 50), E(S::kEventLog, 6009, 100), E(S::kEventLog, 6006, 200),
          E(S::kEventLog, 6009, 4000)},
         "boot-restart 0 50; boot-shutdown 100 200; boot-running 4000 4000"},
        {"Fast Startup shutdown and boot, split at the stated seconds",
         Join({Boot(0), {E(S::kUser32, 1074, 99), E(S::kKernelPower, 42, 100, 6), E(S::kKernelBoot, 27, 5000, 1),
                         E(S::kTroubleshooter, 1, 5010, 6, 98, 4990)}}),
         "boot-fast-startup 0 98 by shutdown.exe by PC\\ann; fast-startup-running 4990 5010"},
        {"sleep: 107 stamped mid-sleep gives way to the stated wake",
         Join({Boot(0), {E(S::kKernelPower, 42, 100, 3), E(S::kKernelPower, 107, 900, 3),
                         E(S::kTroubleshooter, 1, 9000, 3, 99, 8990), E(S::kKernelPower, 42, 9500, 4)}}),
         "boot-sleep 0 99; resume-sleep-sleep 8990 9500"},
        {"sleep: 107 stamped as the sleep began, before the stated sleep time",
         Join({Boot(0), {E(S::kKernelPower, 42, 100, 4), E(S::kKernelPower, 107, 99, 4),
                         E(S::kTroubleshooter, 1, 9000, 4, 101, 8990)}}),
         "boot-sleep 0 101; resume-sleep-running 8990 9000"},
        {"hibernate: the record with equal sleep and wake is no stay; no 27 at resume",
         Join({Boot(0), {E(S::kKernelPower, 42, 100, 5), E(S::kTroubleshooter, 1, 101, 5, 100, 100),
                         E(S::kTroubleshooter, 1, 7000, 5, 100, 6990)}}),
         "boot-hibernate 0 100; resume-hibernate-running 6990 7000"},
        {"hibernate resume told by Kernel-Boot 27 as well",
         Join({Boot(0), {E(S::kKernelPower, 42, 100, 5), E(S::kKernelBoot, 27, 6980, 2),
                         E(S::kTroubleshooter, 1, 7000, 5, 100, 6990)}}),
         "boot-hibernate 0 100; resume-hibernate-running 6990 7000"},
        {"an odd return (state 0, sleep after wake) and a record of time 0 tell nothing",
         Join({Boot(0), {E(S::kTroubleshooter, 1, 300, 0, 500, 400), E(S::kKernelBoot, 27, -1, 0)}}),
         "boot-running 0 300"},
        {"modern standby", Join({Boot(0), {E(S::kKernelPower, 506, 100), E(S::kKernelPower, 507, 700)}}),
         "boot-sleep 0 100; resume-sleep-running 700 700"},
        {"died: 6008 states the last moment, else the last record before the next boot",
         Join({Boot(0), {E(S::kEventLog, 6013, 400)}, Boot(1000), {E(S::kKernelPower, 41, 1010)},
               {E(S::kEventLog, 6013, 1500)}, Boot(2000),
               {E(S::kEventLog, 6008, 2030)}}),
         "boot-died 0 400; boot-died 1000 1777; boot-running 2000 2030"},
        {"a log that starts mid-period: its first end starts nothing",
         {E(S::kKernelPower, 42, 100, 3), E(S::kTroubleshooter, 1, 500, 3, 99, 490), E(S::kEventLog, 6006, 900)},
         "resume-sleep-shutdown 490 900"},
    };
    for (const Row& row : rows) {
        std::vector<int64_t> times;
        for (const PowerEvent& e : row.events)
            times.push_back(e.time);
        std::vector<PowerEvent> events = row.events;
        if (row.expected.find("1777") != std::string::npos)
            events.back().lastRunning = T + 1777;
        const PowerHistory history = BuildPowerHistory(events, times);
        EXPECT_EQ(Told(history), row.expected) << row.name;
        for (size_t i = 0; i < history.periods.size(); ++i) {
            EXPECT_LE(history.periods[i].start, history.periods[i].end) << row.name;
            if (i > 0) {
                EXPECT_LE(history.periods[i].end, history.periods[i - 1].start) << row.name;
            }
        }
    }
}

}  // namespace
