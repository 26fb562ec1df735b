// A log's power history: the periods in which the machine was on and awake,
// how each began and ended, and what the log says of the time between them.
// Made of the power records alone (power_events.h), free of any platform.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "power/power_events.h"

// How a period began, and how it ended. The words of each (PowerBeganWord,
// PowerEndedWord) are fixed: scripts rely on them.
enum class PowerBegan : uint8_t { kBoot, kFastStartup, kResumeHibernate, kResumeSleep };
enum class PowerEnded : uint8_t { kShutdown, kRestart, kFastStartup, kHibernate, kSleep, kDied, kRunning };
constexpr size_t kPowerBeganKinds = 4;
constexpr size_t kPowerEndedKinds = 7;

// One period on and awake. Times are seconds since 1970 UTC. A running
// period's end is the log's newest record; a died one's is its lastKnown.
struct PowerPeriod {
    int64_t start = 0, end = 0;
    PowerBegan began = PowerBegan::kBoot;
    PowerEnded ended = PowerEnded::kRunning;
    int64_t lastKnown = 0;  // died: the last moment the system was known to run
    std::string initiator;  // shutdown, restart, fast-startup: "PROCESS by USER" as User32 says; "" unsaid
};

// Seconds on, asleep or hibernated, and off between the first period's
// start and the last one's end, and how many periods began and ended each way.
struct PowerTotals {
    int64_t onSeconds = 0, asleepSeconds = 0, offSeconds = 0;
    std::array<uint32_t, kPowerBeganKinds> began{};
    std::array<uint32_t, kPowerEndedKinds> ended{};
};

struct PowerHistory {
    std::vector<PowerPeriod> periods;  // newest first
    PowerTotals totals;
};

// The history the records tell, in any order. `recordTimes` are the times of
// all the log's records, in any order (0 for none): a died period ends at the
// last of them before the next start where no 6008 states its end. A period
// the log does not show beginning is left out, never guessed.
PowerHistory BuildPowerHistory(std::vector<PowerEvent> events, std::vector<int64_t> recordTimes);

// "boot", "fast-startup", ...; "shutdown", "restart", ...: the outputs' fixed words.
const char* PowerBeganWord(PowerBegan began);
const char* PowerEndedWord(PowerEnded ended);
