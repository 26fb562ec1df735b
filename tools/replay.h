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
#include "savedlog/saved_log.h"

enum class CycleState { kRunning, kDied, kStopped };

// One row of the window, with the event times (seconds since 1970 UTC) its
// start and stop texts were made from.
struct ReplayCycle {
    CycleRow row;
    int64_t start = 0;
    int64_t stop = 0;  // only when state is kStopped
    CycleState state = CycleState::kStopped;
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
    std::string notes;  // whole lines for stderr about the log beyond its damage: what it is not, say
    std::vector<ReplayCycle> cycles;  // in the window's order, newest first; see gatherCycles
};

// How times are written in CSV, JSON and the timeline: local to TZ, or UTC.
extern bool utcTimes;
// Whether ReplaySavedLog gathers ReplayFile::cycles: only CSV, JSON and the
// timeline need them, and over a long history they cost as much as the scan.
extern bool gatherCycles;

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
// "running", "died" or "stopped".
const char* CycleStateWord(CycleState state);

// --- zones.cpp
// Whether TZ=tz names a zone rather than falling back to UTC: unset (null)
// or empty; a compiled zone file (TZif), named under TZDIR, else
// /usr/share/zoneinfo, or by an absolute path; or a POSIX rule ("EST5EDT",
// "<+0530>-5:30"). A leading ':' is passed over, as glibc does.
bool NamesZone(const char* tz);
// The zone for the text a log's event 6013 states ("480 Pacific Standard
// Time"): CLDR's zone for the Windows name, else, with *fixed set, the fixed
// offset of the bias (summer time unknown); "" when it gives neither.
std::string StatedZone(std::string_view stated, bool* fixed);
// The name of the zone in force: TZ's value, or the system's zone.
std::string ZoneInForce();
// Makes `tz` (null: unset) the TZ in force.
void UseZone(const char* tz);

// --- iso_time.cpp
// "2015-08-25T13:41:19+02:00" in the zone of TZ with the offset in force at
// that time, or "2015-08-25T11:41:19Z" when utcTimes is set.
std::string IsoTime(int64_t eventTime);

// --- csv_output.cpp
// Writes the RFC 4180 header row to `out`.
void WriteCsvHeader(FILE* out);
// Writes one row per cycle of `file` to `out`.
void WriteCsvRows(FILE* out, const ReplayFile& file);

// --- json_output.cpp
// Adds `file` to the JSON document under way.
void AddJsonFile(const ReplayFile& file);
// Writes the document (an array of the files added) to `out`.
void WriteJsonDocument(FILE* out);

// --- timeline_svg.cpp
// Writes an SVG timeline of the cycles of `files` to `out`, one panel per file.
void WriteTimelineSvg(FILE* out, const std::vector<ReplayFile>& files);
