// One saved log through the program's own scan, and its boot cycles with the
// event times behind the texts the window shows.

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
    std::vector<PowerEvent> powerEvents;
    facts.power = powerWanted ? &powerEvents : nullptr;
    for (int attempt = 0; attempt < (rereadable ? kScanAttempts : 1); ++attempt) {
        // Loaded afresh each time: the record source takes the stream over.
        EventLogScript script;
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
        LoadEventLogScript(std::move(script));
        char noArguments[] = "";
        TallyvaneMain(nullptr, nullptr, noArguments, 10);
        // Let the log go now: a worker reading the next one would otherwise hold both.
        LoadEventLogScript(EventLogScript{});
        file->text = RecordedWindowSoFar().text;
        if (gatherCycles)
            file->cycles = TableCycles(offset);
        if (ProgramTextOffset() == offset)
            break;
    }
    file->path = path;
    file->title = MainWindowTitle(bootEventCount);
    file->host = facts.host;
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
    case CycleState::kStopped:
        break;
    }
    return "stopped";
}
