// evt-replay's own pieces: the boot cycles of one saved log as the program's
// scan finds them, with the event times behind their texts, and the outputs
// made of them (CSV, JSON, the SVG timeline).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "history/boot_history.h"
#include "power/power_history.h"
#include "savedlog/saved_log.h"

// kCut: the newest cycle without a stop, in a log cut short after it: whether
// it ran on, stopped or died is in the part of the log that is missing.
enum class CycleState { kRunning, kDied, kStopped, kCut };

// One row of the window, with the event times (seconds since 1970 UTC) its
// start and stop texts were made from.
struct ReplayCycle {
    CycleRow row;
    int64_t start = 0;
    int64_t stop = 0;  // only when state is kStopped
    CycleState state = CycleState::kStopped;
    std::string host;        // the Computer its boot record names
    int64_t diedAfter = 0;   // a died cycle's last record: it ran at least until then
};

// What evt-replay made of one saved log.
struct ReplayFile {
    std::string path;
    std::string host;        // the computer that wrote the log: its newest boot record's
    std::string zoneStated;  // the zone the log's newest event 6013 states, as it states it; "" without one
    std::string zoneUsed;    // the zone its times are shown in: an IANA name, or the TZ in force
    int64_t textOffset = 0;  // what the program's texts added to every event time (see ProgramTextOffset)
    std::string text;  // the window's title and rows, exactly as the plain output prints them
    std::string title;
    SkippedParts skipped;
    bool systemLog = true;   // false when it holds records, none of them the System log's
    bool anyRecord = false;
    int64_t logEnd = 0;      // with anyRecord, the time of its newest record
    std::string notes;  // whole lines for stderr about the log beyond its damage: what it is not, say
    std::vector<ReplayCycle> cycles;  // in the window's order, newest first; see gatherCycles
    PowerHistory power;               // with powerWanted only
};

// What reading one input gave, made where it was read and written out in
// argument order, so that the output is the same whoever read it.
struct InputResult {
    std::string error;   // why the input could not be read; "" when it was
    std::string notes;   // whole lines for stderr: what damage cost, what the log is not
    std::string output;  // its part of stdout: its text block, CSV rows, JSON object or JSON line
    ReplayFile file;     // without text; with cycles only where the timeline needs them
};

// How times are written in CSV, JSON and the timeline: local to TZ, or UTC.
extern bool utcTimes;
// Whether ReplaySavedLog gathers ReplayFile::cycles: only CSV, JSON and the
// timeline need them, and over a long history they cost as much as the scan.
extern bool gatherCycles;
// Whether ReplaySavedLog tells the power history (ReplayFile::power) instead
// of running the program's scan: only --power asks for it.
extern bool powerWanted;

// Which zone each file's times are shown in: the TZ in force (the user's,
// or that of --zone=NAME or --utc), or with fromLog the zone each log
// states, falling back for a log that states none to the TZ the program
// was started with, which startTz holds (null when it was unset).
struct ZoneChoice {
    bool fromLog = false;
    const char* startTz = nullptr;
};
extern ZoneChoice zoneChoice;

// --- replay_cycles.cpp
// Reads the saved log at `path` through the program's own scan into *file.
// False, with a one-line reason naming the path in *error, when it is unreadable.
bool ReplaySavedLog(const char* path, ReplayFile* file, std::string* error);
// The offset from UTC, in seconds, that the program's texts are shifted by:
// the local zone's offset in force now.
int64_t ProgramTextOffset();
// A text a log holds, fit for a line on a terminal: its control characters
// become '?', so that a made log cannot drive the terminal it is read on.
std::string Printable(std::string text);
// "running", "died", "stopped" or "cut".
const char* CycleStateWord(CycleState state);

// --- workers.cpp
// Reads input `index` into *result.
using InputReader = void (*)(size_t index, InputResult* result);
// Takes the result of input `index`; false to read no further.
using ResultSink = bool (*)(size_t index, InputResult&& result);
// Input `index` as a message names it.
using InputName = std::string (*)(size_t index);
// One worker per core.
int WorkersForThisMachine();
// Reads inputs 0 to count - 1 with up to `workers` processes (in this one
// when 1), and hands each result to `sink` in index order, each as soon as
// all before it are handed on. A worker that dies while reading an input
// gives that input an error; false, with the reason naming the input, when
// the workers could not be started, or one died after its last result or
// sent what none writes. Workers end with the main process.
bool ReadInputs(size_t count, int workers, InputReader read, ResultSink sink, InputName name, std::string* error);

// --- inputs.cpp
// How folders named are walked: not at all (they are refused as folders),
// without following symbolic links met on the way (-r), or following them (-R).
enum class Recursion { kNone, kNoLinks, kFollowLinks };
// What walking the folders met, one line each with its path made printable:
// troubles (a folder that could not be read) make the run fail, notes do not.
struct WalkNotes {
    std::vector<std::string> troubles;
    std::vector<std::string> notes;
    int linksPassed = 0;  // symbolic links not followed
};
// The files named on the command line, with `recursion` folders replaced by
// the .evt and .evtx files under them, in sorted order; a folder that holds
// none is noted.
std::vector<std::string> ExpandInputs(char** names, int count, Recursion recursion, WalkNotes* notes);
// The first of `inputs` that is a pipe (standard input, "-", among them)
// named before, by any name: it can be read only once. "" when none is.
std::string ReadOnceTwice(const std::vector<std::string>& inputs);
// Whether `path` names a folder.
bool IsFolder(const std::string& path);
// Why the timeline must not be written to `path`: it is one of `inputs`, or a
// file that holds an event log. "" when it may.
std::string TimelineHazard(const std::string& path, const std::vector<std::string>& inputs);
// Why the timeline cannot be written to `path` (a folder missing or
// read-only, say), as strerror gives it; "" when it can.
std::string TimelineUnwritable(const std::string& path);
// A file written under a temporary name beside `path`, renamed to it only
// once whole, so that a failure leaves no half file; a device or a pipe is
// written in place.
struct PendingFile {
    FILE* out = nullptr;
    std::string temporary;  // "" when written in place
    std::string path;
};
// Opens the temporary file; false, with the reason, when it cannot.
bool BeginReplacing(const std::string& path, PendingFile* file, std::string* error);
// Closes it and renames it to its path when every write went through, or
// removes it; false, with the reason, in that case.
bool FinishReplacing(PendingFile* file, std::string* error);

// --- zones.cpp
// Whether TZ=tz names a zone rather than falling back to UTC: unset (null)
// or empty; a compiled zone file (TZif), named under TZDIR, else
// /usr/share/zoneinfo, or by an absolute path; or a POSIX rule ("EST5EDT",
// "<+0530>-5:30"). A leading ':' is passed over, as glibc does.
bool NamesZone(const char* tz);
// Whether `rule` is a whole POSIX TZ rule (posix_rule.cpp).
bool IsPosixRule(std::string_view rule);
// The zone for the text a log's event 6013 states ("480 Pacific Standard
// Time"): CLDR's zone for the Windows name, else, with *fixed set, the fixed
// offset of the bias (summer time unknown); "" when it gives neither.
std::string StatedZone(std::string_view stated, bool* fixed);
// A stated zone's bias, minutes behind UTC, and its name ("Pacific Standard
// Time"); false, with the whole text as its name, when it begins with none.
bool SplitStatedZone(std::string_view stated, int* bias, std::string_view* name);
// A file's stated zone as the outputs give it: its name, and its bias apart
// where it states one, so that no cell begins with a sign.
struct StatedZoneFields {
    std::string_view name;
    bool biasStated = false;
    int bias = 0;
};
StatedZoneFields ZoneFieldsOf(const ReplayFile& file);
// The name of the zone in force: TZ's value, or the system's zone.
std::string ZoneInForce();
// Makes `tz` (null: unset) the TZ in force.
void UseZone(const char* tz);

// --- summary.cpp
// The range --since and --until keep, in seconds since 1970 UTC; untilTime is
// the first second past it.
struct TimeRange {
    bool since = false, until = false;
    int64_t sinceTime = 0, untilTime = 0;
};
extern TimeRange timeRange;
// Reads a date (2015-08-25) or an ISO 8601 time (2015-08-25T13:41, seconds
// and an offset or Z optional) into *when; without an offset it is in the
// zone in force. With dayEnd a date stands for the end of its day. False
// when `text` is neither.
bool ReadTimeArgument(const char* text, bool dayEnd, int64_t* when);
// Whether cycle i of `file` overlaps the range kept (every cycle without one).
bool CycleInRange(const ReplayFile& file, size_t i);
enum class SummaryFormat { kText, kCsv, kJson, kJsonLines };
// One row per machine of the cycles of `files` in range, each boot counted
// once however many copies of its log hold it: logs read, cycles, died, time
// known up, the longest cycle, first and last seen.
std::string SummaryText(const std::vector<ReplayFile>& files, SummaryFormat format);

// --- iso_time.cpp
// "2015-08-25T13:41:19+02:00" in the zone of TZ with the offset in force at
// that time, or "2015-08-25T11:41:19Z" when utcTimes is set.
std::string IsoTime(int64_t eventTime);

// --- csv_output.cpp
// Appends one CSV text field, quoted where it must be, defused where a
// spreadsheet would take it for a formula.
void AppendCsvText(std::string* line, std::string_view field);
// Writes the RFC 4180 header row to `out`.
void WriteCsvHeader(FILE* out);
// A text field as a CSV cell: quoted where it must be, defused where a spreadsheet would run it.
std::string CsvText(std::string_view field);
// Writes one row per cycle of `file` to `out`.
void WriteCsvRows(FILE* out, const ReplayFile& file);

// --- json_output.cpp
// The object of `file`, as one line ending in a line break (JSON Lines), or
// indented as an element of the document's array, without a line break.
std::string JsonFileText(const ReplayFile& file, bool oneLine);
// The same for a file that could not be read: its name and why.
std::string JsonErrorText(const std::string& path, const std::string& error, bool oneLine);

// --- power_output.cpp
// The power history of `file` as text: a title, a line per period, the totals.
std::string PowerFileText(const ReplayFile& file);
void WritePowerCsvHeader(FILE* out);
// One row per period of `file`, then its totals row.
void WritePowerCsvRows(FILE* out, const ReplayFile& file);
// The object of `file` with its periods and totals, as JsonFileText gives it.
std::string PowerJsonText(const ReplayFile& file, bool oneLine);
// The periods as bytes a worker sends back, and read back; false when they do not read.
std::string PowerBytes(const PowerHistory& power);
bool PowerFromBytes(const std::string& bytes, PowerHistory* power);

// --- power_timeline.cpp
// Writes an SVG timeline of the power histories of `files`, a lane each on one time axis.
void WritePowerTimelineSvg(FILE* out, const std::vector<ReplayFile>& files);

// --- timeline_svg.cpp
// Colours both timelines draw with: a machine on (a running cycle), and the
// mark of one that died.
constexpr const char* kTimelineOnColour = "#2e9d46";
constexpr const char* kTimelineDiedColour = "#c62828";
// Writes an SVG timeline of the cycles of `files` to `out`: one file's in a
// panel, several files' a lane each on one time axis, written as it goes.
void WriteTimelineSvg(FILE* out, const std::vector<ReplayFile>& files);
// Appends the timeline's date axis over event times [first, last], on the
// clock shifted by `shift`, to a plot `width` wide from x = `left`: its
// lines from `top` to `bottom`, its labels above and below them.
void DrawTimelineAxis(std::string* out, int64_t shift, int64_t first, int64_t last, double left, double width,
                      double top, double bottom);
// "at UTC+02:00 as in the text output": the picture clock of `shift`.
std::string TimelineClockText(int64_t shift);
