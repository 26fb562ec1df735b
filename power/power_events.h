// The few records of a System log that tell when the machine went on, off,
// to sleep or into hibernation, reduced to the data values that say so. The
// saved-log readers fill them; power_history.h makes periods of them.
#pragma once

#include <cstdint>
#include <string>

// Who wrote a power record, by its provider (or, in a .evt log, its source).
enum class PowerSource : uint8_t { kEventLog, kKernelGeneral, kKernelBoot, kKernelPower, kTroubleshooter, kUser32 };

// Event identifiers of the power records, each meaningful only with its source.
constexpr uint16_t kPowerReturnedId = 1;          // Power-Troubleshooter: back from a low power state
constexpr uint16_t kPowerStartedId = 12;          // Kernel-General: the system started (full boot)
constexpr uint16_t kPowerStoppingId = 13;         // Kernel-General: the system is shutting down
constexpr uint16_t kPowerBootTypeId = 27;         // Kernel-Boot: the boot type
constexpr uint16_t kPowerUncleanId = 41;          // Kernel-Power: rebooted without a clean shutdown
constexpr uint16_t kPowerEnteringId = 42;         // Kernel-Power: entering sleep, hibernate or Fast Startup
constexpr uint16_t kPowerResumedId = 107;         // Kernel-Power: resumed
constexpr uint16_t kPowerShutdownId = 109;        // Kernel-Power: a shutdown transition began
constexpr uint16_t kPowerStandbyInId = 506;       // Kernel-Power: modern standby entered
constexpr uint16_t kPowerStandbyOutId = 507;      // Kernel-Power: modern standby left
constexpr uint16_t kPowerRequestId = 1074;        // User32: a process asked for a shutdown or restart
constexpr uint16_t kPowerServiceStartId = 6005;   // EventLog: the service started
constexpr uint16_t kPowerServiceStopId = 6006;    // EventLog: the service stopped (orderly shutdown)
constexpr uint16_t kPowerUnexpectedId = 6008;     // EventLog: the previous shutdown was unexpected
constexpr uint16_t kPowerBootMarkerId = 6009;     // EventLog: the boot marker

constexpr int32_t kPowerNoValue = -1;

// One power record. Times are seconds since 1970 UTC, 0 where the record
// gives none; numbers are kPowerNoValue where it gives none.
struct PowerEvent {
    PowerSource source = PowerSource::kEventLog;
    uint16_t id = 0;
    uint64_t record = 0;   // its record number, which orders records of one second
    int64_t time = 0;      // when it was written (TimeCreated)
    int32_t bootType = kPowerNoValue;        // Kernel-Boot 27
    int32_t targetState = kPowerNoValue;     // SYSTEM_POWER_STATE: 2-4 sleep, 5 hibernate, 6 shutdown
    int32_t effectiveState = kPowerNoValue;
    int32_t shutdownAction = kPowerNoValue;  // POWER_ACTION of Kernel-Power 109
    int64_t sleepTime = 0, wakeTime = 0;     // Power-Troubleshooter 1
    int64_t lastRunning = 0;                 // 6008: the last moment known to run
    std::string process, user;               // User32 1074
};

// Whether a record with this identifier may be a power record: the readers
// look closer only at these.
inline bool MayBePowerEvent(uint16_t id)
{
    switch (id) {
    case kPowerReturnedId: case kPowerStartedId: case kPowerStoppingId: case kPowerBootTypeId:
    case kPowerUncleanId: case kPowerEnteringId: case kPowerResumedId: case kPowerShutdownId:
    case kPowerStandbyInId: case kPowerStandbyOutId: case kPowerRequestId: case kPowerServiceStartId:
    case kPowerServiceStopId: case kPowerUnexpectedId: case kPowerBootMarkerId:
        return true;
    default:
        return false;
    }
}
