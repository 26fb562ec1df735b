// Power records as the readers find them: the provider and the named data
// values of an .evtx record, the source and data of a .evt record.

#include <algorithm>
#include <string>
#include <string_view>

#include "savedlog/file_bytes.h"
#include "savedlog/power_records.h"

namespace {

constexpr uint64_t kUnixEpochTicks = 116444736000000000ull;  // 1970-01-01 as FILETIME
constexpr uint64_t kTicksPerSecond = 10000000;
// 6008's Binary: the last moment known to run as two SYSTEMTIMEs, local then UTC.
constexpr uint32_t kSystemTimeSize = 16;
constexpr uint32_t kUnexpectedUtcAt = kSystemTimeSize;

// .evt record fields.
constexpr uint32_t kEvtRecordNumberAt = 8;
constexpr uint32_t kEvtTimeGeneratedAt = 12;
constexpr uint32_t kEvtEventIdAt = 20;
constexpr uint32_t kEvtDataLengthAt = 48;
constexpr uint32_t kEvtDataOffsetAt = 52;
constexpr uint32_t kEvtSourceAt = 56;
constexpr uint32_t kEvtFixedSize = 56;
constexpr std::string_view kEventLogSource = "EventLog";

struct Provider {
    std::string_view name;
    PowerSource source;
};
constexpr Provider kProviders[] = {
    {"EventLog", PowerSource::kEventLog},
    {"Microsoft-Windows-Kernel-General", PowerSource::kKernelGeneral},
    {"Microsoft-Windows-Kernel-Boot", PowerSource::kKernelBoot},
    {"Microsoft-Windows-Kernel-Power", PowerSource::kKernelPower},
    {"Microsoft-Windows-Power-Troubleshooter", PowerSource::kTroubleshooter},
    {"User32", PowerSource::kUser32},
};

// FILETIME ticks as seconds since 1970; 0 before it.
int64_t UnixSeconds(uint64_t fileTime)
{
    return fileTime > kUnixEpochTicks ? static_cast<int64_t>((fileTime - kUnixEpochTicks) / kTicksPerSecond) : 0;
}

// A SYSTEMTIME (year, month, weekday, day, hour, minute, second, ms) as
// seconds since 1970; 0 when it is no time.
int64_t SystemTimeSeconds(const uint8_t* at)
{
    const int64_t year = GetU16(at), month = GetU16(at + 2), day = GetU16(at + 6);
    const int64_t hour = GetU16(at + 8), minute = GetU16(at + 10), second = GetU16(at + 12);
    if (year < 1970 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
        second > 59)
        return 0;
    // Days from the civil date, as in the proleptic Gregorian calendar.
    const int64_t y = year - (month <= 2);
    const int64_t era = y / 400, yearOfEra = y - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t days = era * 146097 + yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear - 719468;
    return days * 86400 + hour * 3600 + minute * 60 + second;
}

// The source a provider's name names; false for another.
bool SourceOf(const std::string& name, PowerSource* source)
{
    for (const Provider& provider : kProviders) {
        // User32 is also written USER32.
        const auto sameLetter = [](char a, char b) { return (a | 0x20) == (b | 0x20); };
        if (std::equal(name.begin(), name.end(), provider.name.begin(), provider.name.end(), sameLetter)) {
            *source = provider.source;
            return true;
        }
    }
    return false;
}

// The event one record makes, and whether its provider is one of the power records'.
struct Gathered {
    PowerEvent event;
    bool known = false;
};

// A small whole number, given as an integer or as text; kPowerNoValue otherwise.
int32_t SmallNumber(const EventValue& value)
{
    uint64_t number;
    return EventValueNumber(value, &number) && number <= INT32_MAX ? static_cast<int32_t>(number) : kPowerNoValue;
}

// A time value as seconds since 1970; 0 when it is none.
int64_t TimeValue(const EventValue& value)
{
    uint64_t fileTime;
    return EventValueTime(value, &fileTime) ? UnixSeconds(fileTime) : 0;
}

// Takes one value of the record into the event it makes.
void TakeValue(void* context, const EventValue& value)
{
    Gathered& gathered = *static_cast<Gathered*>(context);
    PowerEvent& event = gathered.event;
    if (value.part == EventValuePart::kProvider) {
        gathered.known = SourceOf(EventValueText(value), &event.source);
        return;
    }
    if (value.part == EventValuePart::kBinary) {
        const std::string bytes = EventValueBytes(value);
        if (bytes.size() >= kUnexpectedUtcAt + kSystemTimeSize)
            event.lastRunning = SystemTimeSeconds(reinterpret_cast<const uint8_t*>(bytes.data()) + kUnexpectedUtcAt);
        return;
    }
    const std::string& name = value.name;
    if (name == "BootType")
        event.bootType = SmallNumber(value);
    else if (name == "TargetState")
        event.targetState = SmallNumber(value);
    else if (name == "EffectiveState")
        event.effectiveState = SmallNumber(value);
    else if (name == "ShutdownActionType")
        event.shutdownAction = SmallNumber(value);
    else if (name == "SleepTime")
        event.sleepTime = TimeValue(value);
    else if (name == "WakeTime")
        event.wakeTime = TimeValue(value);
    else if (name == "param1")
        event.process = EventValueText(value);
    else if (name == "param7")
        event.user = EventValueText(value);
}

}  // namespace

// Records of other providers with the same identifiers are passed over.
void NoteEvtxPowerEvent(const EvtxChunk& chunk, uint32_t at, uint32_t end, uint64_t record,
                        const EventFields& fields, std::vector<PowerEvent>* events)
{
    Gathered gathered;
    PowerEvent& event = gathered.event;
    event.id = static_cast<uint16_t>(fields.values[kEventId]);
    event.record = record;
    event.time = fields.found[kSystemTime] ? UnixSeconds(fields.values[kSystemTime]) : 0;
    if (!ReadEventValues(chunk, at, end, TakeValue, &gathered) || !gathered.known)
        return;
    events->push_back(std::move(event));
}

// Only the event log service's own records count; 6008's data, where the
// record holds them, give the last moment known to run.
void NoteEvtPowerEvent(const uint8_t* record, uint32_t size, bool crashesOnly, std::vector<PowerEvent>* events)
{
    if (size < kEvtFixedSize + 2 * (kEventLogSource.size() + 1))
        return;
    const uint16_t id = GetU16(record + kEvtEventIdAt);
    if (id != kPowerServiceStartId && id != kPowerServiceStopId && id != kPowerUnexpectedId && id != kPowerBootMarkerId)
        return;
    if (crashesOnly && id != kPowerUnexpectedId)
        return;
    for (size_t i = 0; i <= kEventLogSource.size(); ++i) {
        const uint16_t want = i < kEventLogSource.size() ? static_cast<uint8_t>(kEventLogSource[i]) : 0;
        if (GetU16(record + kEvtSourceAt + 2 * i) != want)
            return;
    }
    PowerEvent event;
    event.source = PowerSource::kEventLog;
    event.id = id;
    event.record = GetU32(record + kEvtRecordNumberAt);
    event.time = GetU32(record + kEvtTimeGeneratedAt);
    const uint32_t dataLength = GetU32(record + kEvtDataLengthAt), dataAt = GetU32(record + kEvtDataOffsetAt);
    if (id == kPowerUnexpectedId && dataLength >= kUnexpectedUtcAt + kSystemTimeSize && dataAt >= kEvtFixedSize &&
        dataAt <= size && size - dataAt >= dataLength)
        event.lastRunning = SystemTimeSeconds(record + dataAt + kUnexpectedUtcAt);
    events->push_back(std::move(event));
}
