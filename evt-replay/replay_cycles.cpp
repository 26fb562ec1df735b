// One saved log through the program's own scan, and its boot cycles with the
// event times behind the texts the window shows.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "history/platform.h"
#include "history/read_buffer_seam.h"
#include "replay/record_source.h"
#include "replay/window_recorder.h"
#include "evt-replay/replay.h"
#include "window/main_title.h"

#include <sys/mman.h>
#include <sys/stat.h>

namespace {

constexpr size_t kHugePage = size_t{2} << 20;
constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
// A zone's offset changes (summer time) at most a few times a year; a scan
// that straddles one is simply done again, and twice in a row cannot happen.
constexpr int kScanAttempts = 3;

// The program's read buffer on huge pages of its own: the records copied into
// it would otherwise fault in one small page at a time, which here costs
// about as much as the rest of a run over a 2 MB log.
void* HugePageReadBuffer(uint32_t size)
{
    const size_t length = (size_t{size} + kHugePage - 1) & ~(kHugePage - 1);
    void* buffer = std::aligned_alloc(kHugePage, length);
    if (buffer) {
        madvise(buffer, length, MADV_HUGEPAGE);
        std::memset(buffer, 0, size);
    }
    return buffer;
}

// The event time that the program's scan turned into the date and time texts
// given. FormatEventTime shifts every time by the same offset and keeps whole
// seconds, so reading its text back with the program's own helpers and
// taking that offset off gives the time exactly.
int64_t EventTimeOfTexts(std::string_view date, std::string_view time, int64_t offset)
{
    return DateTextToSeconds(date) + TimeTextToSeconds(time) - kSecondsFrom1601To1970 - offset;
}

// The cycles of the boot-event table as it stands, texts as the window forms them.
std::vector<ReplayCycle> TableCycles(int64_t offset)
{
    std::vector<ReplayCycle> cycles(bootEventCount);
    for (int r = 0; r < bootEventCount; ++r) {
        ReplayCycle& cycle = cycles[r];
        cycle.row = FormCycleRow(r);
        cycle.start = EventTimeOfTexts(cycle.row[kStartDateColumn], cycle.row[kStartTimeColumn], offset);
        // The window's own rule: no stop is a crash, unless it is the newest cycle.
        if (cycle.row[kStopDateColumn].empty())
            cycle.state = r == 0 ? CycleState::kRunning : CycleState::kDied;
        else
            cycle.stop = EventTimeOfTexts(cycle.row[kStopDateColumn], cycle.row[kStopTimeColumn], offset);
    }
    return cycles;
}

// Event IDs (with their qualifiers, as records carry them) written at a boot
// before or beside its boot record: the records of a boot that follows a
// crash, not of the cycle that died.
constexpr size_t kRecordNumberOffset = 8;
constexpr uint32_t kStartUpEventIds[] = {0x80001775, 0x80001778, 12, 20, 25, 27, 30, 32, 41};

// What the records say beyond the window's rows, read from the stream before
// the program takes it: the newest record's time, and for every boot marker
// (as the scan takes them, newest first) its number and the time of the last
// record of its cycle, should the cycle have died: the newest one delivered
// before the next boot marker, written no later than that boot and not by its
// start-up; its own boot's time when there is none.
struct BootMarker {
    uint32_t number;
    int64_t lastRecord;
};
struct RecordWalk {
    bool anyRecord = false;
    int64_t newest = 0;
    std::vector<BootMarker> boots;
};

uint32_t RecordField(const uint8_t* record, size_t offset)
{
    uint32_t value;
    std::memcpy(&value, record + offset, sizeof value);
    return value;
}

RecordWalk WalkRecords(const RecordStream& stream)
{
    RecordWalk walk;
    int64_t nextBoot = INT64_MAX;  // the time of the boot marker delivered before
    std::vector<uint32_t> stretch;  // the times of the records since that marker, newest first
    for (const RecordSpan& span : stream.newestFirst) {
        if (span.size < kRecordHeaderSize)
            continue;
        const uint8_t* record = RecordBytes(stream, span);
        const int64_t written = RecordField(record, kRecordTimeWrittenOffset);
        const uint32_t eventId = RecordField(record, kRecordEventIdOffset);
        if (!walk.anyRecord) {
            walk.anyRecord = true;
            walk.newest = written;
        }
        uint16_t type;
        std::memcpy(&type, record + kRecordEventTypeOffset, sizeof type);
        if (type == kInformationType && eventId == kBootMarkerId) {
            // The first record of the stretch not before this boot is its cycle's last.
            int64_t last = written;
            for (uint32_t time : stretch) {
                if (time >= written) {
                    last = time;
                    break;
                }
            }
            walk.boots.push_back({RecordField(record, kRecordNumberOffset), last});
            nextBoot = written;
            stretch.clear();
            continue;
        }
        const bool startUp =
            std::find(std::begin(kStartUpEventIds), std::end(kStartUpEventIds), eventId) != std::end(kStartUpEventIds);
        if (!walk.boots.empty() && !startUp && written <= nextBoot)
            stretch.push_back(static_cast<uint32_t>(written));
    }
    return walk;
}

// A record's number as the boot markers carry it: its identifier's low half.
int64_t MarkerNumber(const PowerEvent* event)
{
    return static_cast<uint32_t>(event->record);
}

// The event log service's 6008s that state a time, by record number: each
// is written among the start-up records of the boot after a crash.
std::vector<const PowerEvent*> StatedCrashes(const std::vector<PowerEvent>& events)
{
    std::vector<const PowerEvent*> crashes;
    for (const PowerEvent& event : events) {
        if (event.source == PowerSource::kEventLog && event.id == kPowerUnexpectedId && event.lastRunning > 0)
            crashes.push_back(&event);
    }
    std::sort(crashes.begin(), crashes.end(),
              [](const PowerEvent* a, const PowerEvent* b) { return MarkerNumber(a) < MarkerNumber(b); });
    return crashes;
}

// The last moment known to run that the 6008 of walk.boots[b] states: of the
// 6008 nearest that boot marker by record number, and nearer to it than to
// the markers beside it; 0 when there is none.
int64_t StatedLastRunning(const std::vector<BootMarker>& boots, size_t b, const std::vector<const PowerEvent*>& crashes)
{
    const int64_t number = boots[b].number;
    const auto gap = [](const PowerEvent* event, int64_t marker) { return std::abs(MarkerNumber(event) - marker); };
    const auto after = std::lower_bound(crashes.begin(), crashes.end(), number,
                                        [](const PowerEvent* event, int64_t n) { return MarkerNumber(event) < n; });
    const PowerEvent* nearest = after != crashes.end() ? *after : nullptr;
    if (after != crashes.begin() && (!nearest || gap(*(after - 1), number) < gap(nearest, number)))
        nearest = *(after - 1);
    if (!nearest || (b + 1 < boots.size() && gap(nearest, boots[b + 1].number) <= gap(nearest, number)) ||
        (b > 0 && gap(nearest, boots[b - 1].number) <= gap(nearest, number)))
        return 0;
    return nearest->lastRunning;
}

// Gives each cycle the machine its boot record names, and each died cycle the
// last moment known to run: what the next boot's 6008 states when that lies
// within the cycle, else the time of its last record.
void AddRecordFacts(const RecordWalk& walk, const LogFacts& facts, const std::vector<PowerEvent>& events,
                    std::vector<ReplayCycle>* cycles)
{
    const std::vector<const PowerEvent*> crashes = StatedCrashes(events);
    for (size_t r = 0; r < cycles->size() && r < walk.boots.size(); ++r) {
        ReplayCycle& cycle = (*cycles)[r];
        for (auto it = facts.bootHosts.rbegin(); it != facts.bootHosts.rend(); ++it) {
            if (it->number == walk.boots[r].number) {
                cycle.host = it->host;
                break;
            }
        }
        if (cycle.state != CycleState::kDied)
            continue;
        cycle.diedAfter = walk.boots[r].lastRecord;
        // A died cycle is never the newest: the next boot is the row before.
        const int64_t stated = r > 0 ? StatedLastRunning(walk.boots, r - 1, crashes) : 0;
        if (stated > 0 && stated >= cycle.start && stated <= (*cycles)[r - 1].start)
            cycle.diedAfter = stated;
    }
}

// Takes from the log what the outputs say of it, and with --zone=log makes
// the zone it states the one in force, adding a line to file->notes when
// that is only a fixed offset, or when TZ stands in for a zone not stated.
void UseFileZone(const char* path, const LogFacts& facts, ReplayFile* file)
{
    file->host = facts.host;
    file->zoneStated = facts.zoneText;
    if (zoneChoice.fromLog) {
        bool fixed = false;
        const std::string zone = StatedZone(facts.zoneText, &fixed);
        UseZone(zone.empty() ? zoneChoice.startTz : zone.c_str());
        const std::string stated = "the log states \"" + Printable(facts.zoneText) + "\"";
        std::string note;
        if (fixed)
            note = stated + ", a zone CLDR does not name: times at its fixed offset, " + zone + ", summer time unknown";
        else if (zone.empty())
            note = (facts.zoneText.empty() ? std::string("the log states no zone") : stated + ", no zone") +
                   ": times in TZ's, " + ZoneInForce();
        if (!note.empty())
            file->notes += "evt-replay: " + Printable(path) + ": " + note + "\n";
    }
    file->zoneUsed = ZoneInForce();
}

// The time of every record of `stream`, for the power history's died periods.
std::vector<int64_t> RecordTimes(const RecordStream& stream)
{
    constexpr uint32_t kTimeGeneratedAt = 12;
    std::vector<int64_t> times;
    times.reserve(stream.newestFirst.size());
    for (const RecordSpan& span : stream.newestFirst) {
        const uint8_t* record = RecordBytes(stream, span);
        uint32_t time;
        std::memcpy(&time, record + kTimeGeneratedAt, sizeof time);
        if (time != 0)
            times.push_back(time);
    }
    return times;
}

}  // namespace

bool utcTimes = false;
bool gatherCycles = false;
bool powerWanted = false;

std::string Printable(std::string text)
{
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    }
    return text;
}
ZoneChoice zoneChoice;

// The offset that PlatformFileTimeToLocalFileTime, and so FormatEventTime,
// adds to every event time now.
int64_t ProgramTextOffset()
{
    // Any time will do, the shift does not depend on it; 1970 keeps clear of
    // both ends of the tick range.
    const uint64_t ticks = kSecondsFrom1601To1970 * kTicksPerSecond;
    const FileTime utc{static_cast<uint32_t>(ticks), static_cast<uint32_t>(ticks >> 32)};
    FileTime local{};
    PlatformFileTimeToLocalFileTime(&utc, &local);
    const int64_t utcTicks = static_cast<int64_t>((uint64_t{utc.high} << 32) | utc.low);
    const int64_t localTicks = static_cast<int64_t>((uint64_t{local.high} << 32) | local.low);
    return (localTicks - utcTicks) / kTicksPerSecond;
}

// Loads the file as the record source's log, runs the whole program over it
// (read loop, scan, table, the window's texts) in the zone chosen for it, and
// keeps what it showed.
bool ReplaySavedLog(const char* path, ReplayFile* file, std::string* error)
{
    readBufferAllocator = HugePageReadBuffer;
    const char* source = std::strcmp(path, "-") == 0 ? "/dev/stdin" : path;
    // A pipe can be read only once: its scan is not done again.
    struct stat status {};
    const bool rereadable = stat(source, &status) == 0 && S_ISREG(status.st_mode);
    LogFacts facts;
    // The cycles take from the power records only what 6008 states of a crash.
    std::vector<PowerEvent> powerEvents;
    facts.power = powerWanted || gatherCycles ? &powerEvents : nullptr;
    facts.crashesOnly = !powerWanted;
    for (int attempt = 0; attempt < (rereadable ? kScanAttempts : 1); ++attempt) {
        // Loaded afresh each time: the record source takes the stream over.
        EventLogScript script;
        powerEvents.clear();
        if (!LoadSavedLog(source, &script, &file->skipped, error, &facts))
            return false;
        if (attempt == 0)
            UseFileZone(path, facts, file);
        const int64_t offset = ProgramTextOffset();
        file->textOffset = offset;
        // The power history needs no scan, and its times are shown as they are.
        if (powerWanted) {
            file->power = BuildPowerHistory(std::move(powerEvents), RecordTimes(script));
            break;
        }
        const RecordWalk walk = gatherCycles ? WalkRecords(script) : RecordWalk{};
        file->anyRecord = walk.anyRecord;
        file->logEnd = walk.newest;
        LoadEventLogScript(std::move(script));
        char noArguments[] = "";
        TallyvaneMain(nullptr, nullptr, noArguments, 10);
        // Let the log go now: a worker reading the next one would otherwise hold both.
        LoadEventLogScript(EventLogScript{});
        file->text = RecordedWindowSoFar().text;
        if (gatherCycles) {
            file->cycles = TableCycles(offset);
            AddRecordFacts(walk, facts, powerEvents, &file->cycles);
            // Cut short after its newest cycle, the log no longer says how that cycle ended.
            if (file->skipped.newestMissing && !file->cycles.empty() &&
                file->cycles[0].state == CycleState::kRunning)
                file->cycles[0].state = CycleState::kCut;
        }
        if (ProgramTextOffset() == offset)
            break;
    }
    file->path = path;
    file->title = MainWindowTitle(bootEventCount);
    file->host = facts.host;
    file->systemLog = facts.systemRecords || facts.holds.empty();
    const std::string cut = CutShortText(file->skipped);
    if (!cut.empty())
        file->notes += "evt-replay: " + Printable(path) + ": " + cut +
                       (file->skipped.newestMissing && bootEventCount > 0 && FormCycleRow(0)[kStopDateColumn].empty()
                            ? "; how its newest cycle ended is among them: it is not known to be running\n"
                            : "\n");
    // A log of no records at all (cleared, or never written) shows as much in its title.
    if (!facts.systemRecords && !facts.holds.empty())
        file->notes += "evt-replay: " + Printable(path) + ": holds no System log records; its newest record is of " +
                       Printable(facts.holds) + "\n";
    return true;
}

// The word CSV, JSON and the timeline's classes use for a state.
const char* CycleStateWord(CycleState state)
{
    switch (state) {
    case CycleState::kRunning:
        return "running";
    case CycleState::kDied:
        return "died";
    case CycleState::kCut:
        return "cut";
    case CycleState::kStopped:
        break;
    }
    return "stopped";
}
