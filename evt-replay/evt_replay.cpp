// evt-replay [OPTION]... FILE...: runs the program's own scan over saved
// System logs (.evt or .evtx) and prints what the window would show: its
// title, then one line per row with the six texts joined by tabs; or the
// cycles as CSV, JSON or JSON Lines, and an SVG timeline of them. Times are
// local to the TZ in force, or to the zone each log states. What damage in a
// file cost is said in one line on stderr. Several files are read in
// parallel, one worker per core, and written out in the order named.

#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "evt-replay/replay.h"

namespace {

// Exit status for any trouble, as grep has it: a file not read, a timeline
// not written, output lost, or a command line not understood.
constexpr int kTroubleStatus = 2;

constexpr const char* kUsage =
    "usage: evt-replay [OPTION]... FILE...\n"
    "Prints the boot cycles in each saved Windows System event log FILE (.evt\n"
    "or .evtx) as Tallyvane would list them on the machine that wrote it.\n"
    "With FILE -, reads standard input.\n"
    "\n"
    "  --format=text        the window's title, then its rows, texts joined by\n"
    "                       tabs (the default); a line \"==> FILE (HOST) <==\"\n"
    "                       before each file's block when there are several\n"
    "  --format=csv         one header row, then one row per cycle: file, index,\n"
    "                       start, stop, elapsed_seconds, state, host (of the\n"
    "                       cycle's boot record), zone_stated (the name a log\n"
    "                       states), zone_used, zone_bias (the minutes it\n"
    "                       states), log_end (the time of the log's newest\n"
    "                       record), died_after (the last moment a died cycle\n"
    "                       ran: 6008's time, else the last record before the\n"
    "                       next boot), damaged, cut (the file lacks what its\n"
    "                       header counts), system_log; a text cell that a\n"
    "                       spreadsheet would take for a formula (= + - @ tab\n"
    "                       CR first) gets a leading '\n"
    "  --format=json        an array with one object per file: file, host,\n"
    "                       zone_stated, zone_used, zone_bias, title, skipped\n"
    "                       (what damage cost: chunk headers unsound, records\n"
    "                       lost and recovered), log_end, damaged, cut (null, or\n"
    "                       chunks and records missing), system_log and cycles,\n"
    "                       with the fields of CSV's rows; a file that could not\n"
    "                       be read is an object with file and error\n"
    "  --format=jsonl       the same objects, one line each, each written as\n"
    "                       soon as its file is read\n"
    "  --utc                every time in UTC instead of the zone of TZ\n"
    "  --zone=log           each file's times in the zone its log states (its\n"
    "                       newest event 6013), or at the fixed offset it states\n"
    "                       when CLDR does not name its zone; TZ's for a log\n"
    "                       that states none (XP); either said on stderr\n"
    "  --zone=NAME          every time in the zone NAME, as with TZ=NAME; the\n"
    "                       last of --utc and --zone counts\n"
    "  --timeline=FILE.svg  also draw the cycles on a time axis, into FILE.svg;\n"
    "                       never over one of the logs read or another log, nor\n"
    "                       to standard output (-), which has the listing\n"
    "  --power              tell each log's power history instead: one entry\n"
    "                       per period on and awake, newest first, with start,\n"
    "                       end, began (boot, fast-startup, resume-hibernate,\n"
    "                       resume-sleep), ended (shutdown, restart,\n"
    "                       fast-startup, hibernate, sleep, died, running),\n"
    "                       on_seconds, last_known (died: the last moment known\n"
    "                       to run) and initiator (who asked for a shutdown),\n"
    "                       then the file's totals; the timeline draws on,\n"
    "                       asleep or hibernated, and off\n"
    "      --since=TIME     keep the cycles that run at or after TIME: a date\n"
    "                       YYYY-MM-DD or an ISO 8601 time (2015-08-25T13:41,\n"
    "                       seconds and an offset or Z optional), in the zone in\n"
    "                       force without one; also where the timeline starts\n"
    "      --until=TIME     keep the cycles that start before TIME, a date\n"
    "                       standing for the end of its day; where it ends\n"
    "      --summary        instead of the cycles, one row per machine: host,\n"
    "                       logs, cycles, died, up_seconds (known up, within the\n"
    "                       range), longest_seconds, first_seen, last_seen; a boot\n"
    "                       that several copies of a log hold counts once\n"
    "  -r, --recursive      read every .evt and .evtx file under each folder\n"
    "                       named, in sorted order; symbolic links met on the\n"
    "                       way are not followed, and FIFOs, sockets and\n"
    "                       devices are passed over with a note\n"
    "  -R, --dereference-recursive\n"
    "                       the same, following every symbolic link\n"
    "  -q, --quiet          no progress line and no notes; errors still shown\n"
    "  -j, --jobs=N         read N files at a time (default: one per core)\n"
    "  -h, --help           print this help and exit\n"
    "      --version        print the name and version and exit\n"
    "\n"
    "Times are local to TZ: give the zone of the machine that wrote the log, as\n"
    "in TZ=Europe/Berlin evt-replay System.evtx. TZ and NAME must name a zone:\n"
    "a zone file under TZDIR (else /usr/share/zoneinfo) or an absolute path to\n"
    "one, or a POSIX rule such as EST5EDT or <+0530>-5:30; TZ unset or empty\n"
    "is the system's zone or UTC. zone_used names the zone shown: TZ's value,\n"
    "or unset, the zone /etc/localtime links to. The state of a cycle is\n"
    "running, died (no orderly shutdown), stopped, or cut: the newest cycle of a\n"
    "log cut short after it, whose end is in the part missing.\n"
    "\n"
    "Exit status is 0 when every file was read, and 2 when a file could not be\n"
    "read, the timeline or the output could not be written, or the command line\n"
    "is wrong (the other files are still read); when no file at all was left to\n"
    "read; and, before any file is read, when TZ or NAME names no zone, - or a\n"
    "FIFO is named twice, or the timeline would land on a log or cannot be\n"
    "written.\n";

enum class Format { kText, kCsv, kJson, kJsonLines };

Format format = Format::kText;
const char* timelinePath = nullptr;
Recursion recursion = Recursion::kNone;
bool quiet = false;
int jobs = 0;  // 0: one per core
const char* zoneName = nullptr;  // --zone's value; null for TZ's zone, or with --utc
const char* sinceText = nullptr;
const char* untilText = nullptr;
bool summary = false;

// --zone's value for the zone each log states.
constexpr const char* kLogZone = "log";
// getopt's short options; the leading ':' tells a missing argument apart.
constexpr const char* kShortOptions = ":hrRqj:";

enum OptionCode { kFormatOption = 1, kUtcOption, kZoneOption, kTimelineOption, kVersionOption, kPowerOption, kSinceOption,
                  kUntilOption, kSummaryOption };

constexpr struct option kOptions[] = {
    {"format", required_argument, nullptr, kFormatOption},
    {"utc", no_argument, nullptr, kUtcOption},
    {"zone", required_argument, nullptr, kZoneOption},
    {"timeline", required_argument, nullptr, kTimelineOption},
    {"power", no_argument, nullptr, kPowerOption},
    {"since", required_argument, nullptr, kSinceOption},
    {"until", required_argument, nullptr, kUntilOption},
    {"summary", no_argument, nullptr, kSummaryOption},
    {"recursive", no_argument, nullptr, 'r'},
    {"dereference-recursive", no_argument, nullptr, 'R'},
    {"quiet", no_argument, nullptr, 'q'},
    {"jobs", required_argument, nullptr, 'j'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersionOption},
    {nullptr, 0, nullptr, 0},
};

// The inputs, and what the output so far has been.
std::vector<std::string> inputs;
int status = 0;
bool several = false;
bool anyBlock = false;
bool outputLost = false;  // stdout failed: nothing more is written to it
std::vector<ReplayFile> drawn;

// --- The progress line, on a terminal only, erased before anything else is written.

bool progressShown = false;
bool progressWanted = false;
std::chrono::steady_clock::time_point progressDrawn;
constexpr std::chrono::milliseconds kProgressInterval{100};

void EraseProgress()
{
    if (progressShown)
        std::fputs("\r\033[K", stderr);
    progressShown = false;
}

void DrawProgress(size_t done)
{
    const auto now = std::chrono::steady_clock::now();
    if (!progressWanted || (done < inputs.size() && now - progressDrawn < kProgressInterval))
        return;
    std::fprintf(stderr, "\r\033[Kevt-replay: %zu of %zu files read", done, inputs.size());
    std::fflush(stderr);
    progressShown = true;
    progressDrawn = now;
}

// Whether stdout goes to another program (a pipe or a socket), which may be
// writing to the same terminal as the progress line.
bool StdoutIsPipe()
{
    struct stat status {};
    return fstat(STDOUT_FILENO, &status) == 0 && (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode));
}

// Says what is wrong with the command line in one line, and where help is.
int CommandLineTrouble(const std::string& what)
{
    std::fprintf(stderr, "evt-replay: %s\nTry 'evt-replay --help' for more information.\n", what.c_str());
    return kTroubleStatus;
}

// What getopt_long found wrong with the element it was reading, as getopt's
// own messages name it: a short option by its letter (a cluster such as
// -dash.evtx is not the element optind has moved to), a long one whole.
std::string OptionTrouble(int code, char** argv)
{
    const char* element = argv[optind - 1];
    const bool longOption = std::strncmp(element, "--", 2) == 0;
    const bool shortKnown = optopt > 0 && optopt < 128 && std::strchr(kShortOptions, optopt);
    if (code == ':') {
        if (!longOption)
            return std::string("option requires an argument -- '") + static_cast<char>(optopt) + "'";
        return std::string("option '") + element + "' requires an argument";
    }
    if (optopt == 0)
        return std::string("unrecognized option '") + element + "'";
    if (longOption && (optopt < ' ' || shortKnown))
        return "option '" + std::string(element, std::strcspn(element, "=")) + "' doesn't allow an argument";
    return std::string("invalid option -- '") + static_cast<char>(optopt) + "'";
}

// Sets the process-wide options from argv. Returns -1 to go on reading the
// files from argv[optind], or the exit status to end with at once.
int ReadOptions(int argc, char** argv)
{
    opterr = 0;  // our own messages, which name the program and not its path
    int code;
    while ((code = getopt_long(argc, argv, kShortOptions, kOptions, nullptr)) != -1) {
        switch (code) {
        case kFormatOption:
            if (std::strcmp(optarg, "text") == 0)
                format = Format::kText;
            else if (std::strcmp(optarg, "csv") == 0)
                format = Format::kCsv;
            else if (std::strcmp(optarg, "json") == 0)
                format = Format::kJson;
            else if (std::strcmp(optarg, "jsonl") == 0)
                format = Format::kJsonLines;
            else
                return CommandLineTrouble(std::string("unknown format '") + optarg + "' (text, csv, json or jsonl)");
            break;
        case kUtcOption:
            utcTimes = true;
            zoneName = nullptr;
            break;
        case kZoneOption:
            utcTimes = false;
            zoneName = optarg;
            break;
        case kTimelineOption:
            // Standard output carries the listing; a picture there would corrupt it.
            if (!*optarg || std::strcmp(optarg, "-") == 0)
                return CommandLineTrouble(std::string("--timeline needs a file name, not '") + optarg + "'");
            timelinePath = optarg;
            break;
        case kPowerOption:
            powerWanted = true;
            break;
        case kSinceOption:
            sinceText = optarg;
            break;
        case kUntilOption:
            untilText = optarg;
            break;
        case kSummaryOption:
            summary = true;
            break;
        case 'r':
            recursion = Recursion::kNoLinks;
            break;
        case 'R':
            recursion = Recursion::kFollowLinks;
            break;
        case 'q':
            quiet = true;
            break;
        case 'j': {
            char* end = nullptr;
            const long count = std::strtol(optarg, &end, 10);
            if (*optarg == '\0' || *end != '\0' || count < 1 || count > 1024)
                return CommandLineTrouble(std::string("invalid number of jobs '") + optarg + "'");
            jobs = static_cast<int>(count);
            break;
        }
        case 'h':
            std::fputs(kUsage, stdout);
            return 0;
        case kVersionOption:
            std::puts("evt-replay (Tallyvane) " TALLYVANE_VERSION);
            return 0;
        default:
            return CommandLineTrouble(OptionTrouble(code, argv));
        }
    }
    if (optind == argc)
        return CommandLineTrouble("no FILE given");
    // The summary and the range are made of boot cycles, which --power replaces.
    if (powerWanted && (summary || sinceText || untilText))
        return CommandLineTrouble("--power tells power periods, not boot cycles: it takes no --summary, --since or --until");
    return -1;
}

// Refuses, in one line on stderr, a zone that glibc would silently take for UTC.
int ZoneTrouble(const char* setting, const char* value)
{
    std::fprintf(stderr, "evt-replay: %s=%s names no zone: neither a zone file nor a POSIX rule\n", setting, value);
    return kTroubleStatus;
}

// Checks the zone asked for (--zone's, or TZ's where it is used) and sets it
// up: --utc's and --zone=NAME's as TZ, --zone=log's for each file as it is
// read (zoneChoice). Returns -1 to go on, or the exit status to end with.
int ChooseZone()
{
    const char* tz = std::getenv("TZ");
    const bool fromLog = zoneName && std::strcmp(zoneName, kLogZone) == 0;
    // An empty --zone would be UTC, as an empty TZ is, but names nothing.
    if (zoneName && !fromLog && (!*zoneName || !NamesZone(zoneName)))
        return ZoneTrouble("--zone", zoneName);
    if ((fromLog || (!zoneName && !utcTimes)) && !NamesZone(tz))
        return ZoneTrouble("TZ", tz);
    zoneChoice.fromLog = fromLog;
    zoneChoice.startTz = tz;
    // The program's texts follow the zone in force, so this makes them follow too.
    if (utcTimes)
        UseZone("UTC");
    else if (zoneName && !fromLog)
        UseZone(zoneName);
    return -1;
}

// Reads --since's and --until's times in the zone now in force. Returns -1 to
// go on, or the exit status to end with.
int ChooseRange()
{
    const struct {
        const char* text;
        const char* option;
        bool* set;
        int64_t* when;
    } bounds[] = {{sinceText, "--since", &timeRange.since, &timeRange.sinceTime},
                  {untilText, "--until", &timeRange.until, &timeRange.untilTime}};
    for (const auto& bound : bounds) {
        if (!bound.text)
            continue;
        if (!ReadTimeArgument(bound.text, bound.set == &timeRange.until, bound.when))
            return CommandLineTrouble(std::string("invalid time '") + bound.text + "' for " + bound.option +
                                      " (a date YYYY-MM-DD or an ISO 8601 time)");
        *bound.set = true;
    }
    if (timeRange.since && timeRange.until && timeRange.untilTime <= timeRange.sinceTime)
        return CommandLineTrouble("--until is not after --since");
    return -1;
}

// " (HOST)" for the line above a file's block; "" without a host.
std::string HostSuffix(const std::string& host)
{
    return host.empty() ? "" : " (" + Printable(host) + ")";
}

// --- Reading one input, in whichever process reads it.

// The stderr line about `path`.
std::string Note(const std::string& path, const std::string& what)
{
    return "evt-replay: " + Printable(path) + ": " + what + "\n";
}

// The window's title and those of its rows whose cycles are in range.
std::string InRangeText(const ReplayFile& file)
{
    if (!timeRange.since && !timeRange.until)
        return file.text;
    std::string text;
    size_t line = 0;
    for (size_t at = 0; at < file.text.size(); ++line) {
        const size_t end = std::min(file.text.find('\n', at), file.text.size() - 1) + 1;
        if (line == 0 || (line - 1 < file.cycles.size() && CycleInRange(file, line - 1)))
            text.append(file.text, at, end - at);
        at = end;
    }
    return text;
}

// What a file yields for the format chosen.
std::string FileOutput(const ReplayFile& file)
{
    if (summary)
        return "";
    if (powerWanted && format != Format::kCsv)
        return format == Format::kText ? PowerFileText(file) : PowerJsonText(file, format == Format::kJsonLines);
    switch (format) {
    case Format::kText:
        return InRangeText(file);
    case Format::kJson:
        return JsonFileText(file, false);
    case Format::kJsonLines:
        return JsonFileText(file, true);
    case Format::kCsv:
        break;
    }
    char* rows = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&rows, &size);
    if (!out)
        return "";
    if (powerWanted)
        WritePowerCsvRows(out, file);
    else
        WriteCsvRows(out, file);
    std::fclose(out);
    std::string text(rows, size);
    std::free(rows);
    return text;
}

// Reads inputs[index] into *result: its part of the output in the format
// chosen and its notes, or why it could not be read.
void ReadInput(size_t index, InputResult* result)
{
    const std::string& path = inputs[index];
    if (IsFolder(path)) {
        result->error = "Is a directory";
        return;
    }
    ReplayFile& file = result->file;
    if (!ReplaySavedLog(path.c_str(), &file, &result->error)) {
        file.path = path;
        return;
    }
    const std::string damage = SkippedPartsText(file.skipped);
    if (!damage.empty())
        result->notes += Note(path, damage);
    result->notes += file.notes;
    result->output = FileOutput(file);
    file.text.clear();
    if (!timelinePath && !summary) {
        file.cycles.clear();
        file.power = PowerHistory{};
    }
}

// --- Writing out, in the order named.

// Input `index` as a message on the terminal names it.
std::string NameOfInput(size_t index)
{
    return Printable(inputs[index]);
}

// Writes `bytes` to stdout unless it has failed before. A reader that went
// away (head -1) ends the listing but not the timeline.
void Emit(const std::string& bytes)
{
    if (outputLost || bytes.empty())
        return;
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size()) {
        outputLost = true;
        status = kTroubleStatus;
        if (errno != EPIPE)
            std::fprintf(stderr, "evt-replay: cannot write the output: %s\n", std::strerror(errno));
    }
}

bool TakeResult(size_t index, InputResult&& result)
{
    EraseProgress();
    const std::string& path = inputs[index];
    if (!result.error.empty()) {
        std::fputs(Note(path, result.error).c_str(), stderr);
        status = kTroubleStatus;
        if (format == Format::kJson && !summary)
            Emit(std::string(anyBlock ? ",\n" : "[\n") + JsonErrorText(path, result.error, false));
        else if (format == Format::kJsonLines && !summary)
            Emit(JsonErrorText(path, result.error, true));
        anyBlock = anyBlock || format == Format::kJson;
    } else {
        if (!quiet)
            std::fputs(result.notes.c_str(), stderr);
        if (summary) {
            // The summary is written once every file is read.
        } else if (format == Format::kText && several) {
            Emit(std::string(anyBlock ? "\n" : "") + "==> " + Printable(path) + HostSuffix(result.file.host) + " <==\n");
        } else if (format == Format::kJson) {
            Emit(anyBlock ? ",\n" : "[\n");
        }
        Emit(result.output);
        anyBlock = true;
        if (timelinePath || summary)
            drawn.push_back(std::move(result.file));
    }
    if (format == Format::kJsonLines && !outputLost && std::fflush(stdout) != 0) {
        outputLost = true;
        status = kTroubleStatus;
    }
    DrawProgress(index + 1);
    return !outputLost || timelinePath;
}

// Writes the timeline of what was read to timelinePath; false, said on stderr, when it cannot be written.
bool WriteTimeline()
{
    PendingFile pending;
    std::string error;
    if (BeginReplacing(timelinePath, &pending, &error)) {
        if (powerWanted)
            WritePowerTimelineSvg(pending.out, drawn);
        else
            WriteTimelineSvg(pending.out, drawn);
        if (FinishReplacing(&pending, &error))
            return true;
    }
    std::fprintf(stderr, "evt-replay: cannot write %s: %s\n", Printable(timelinePath).c_str(), error.c_str());
    return false;
}

}  // namespace

// Reads every file named, writing each one's output in the order named as
// soon as it and those before it are read (the timeline once all are); the
// exit status is 2 if anything went wrong.
int main(int argc, char** argv)
{
    const int ended = ReadOptions(argc, argv);
    if (ended >= 0)
        return ended;
    const int refused = ChooseZone();
    if (refused >= 0)
        return refused;
    const int outOfRange = ChooseRange();
    if (outOfRange >= 0)
        return outOfRange;
    WalkNotes walked;
    inputs = ExpandInputs(argv + optind, argc - optind, recursion, &walked);
    // A pipe read by two workers would be split between them.
    const std::string twice = ReadOnceTwice(inputs);
    if (!twice.empty()) {
        std::fprintf(stderr, "evt-replay: %s: named more than once, but standard input or a pipe can be read only once\n",
                     Printable(twice).c_str());
        return kTroubleStatus;
    }
    for (const std::string& trouble : walked.troubles) {
        std::fprintf(stderr, "evt-replay: %s\n", trouble.c_str());
        status = kTroubleStatus;
    }
    for (const std::string& note : walked.notes) {
        if (!quiet)
            std::fprintf(stderr, "evt-replay: %s\n", note.c_str());
    }
    // Nothing read is no answer: it must not pass for "no cycles anywhere".
    if (inputs.empty()) {
        std::fputs("evt-replay: no .evt or .evtx file to read\n", stderr);
        status = kTroubleStatus;
    }
    // Refused before anything is read: a log is evidence, and a long run
    // should not end in a picture that cannot be written.
    if (timelinePath) {
        const std::string hazard = TimelineHazard(timelinePath, inputs);
        if (!hazard.empty()) {
            std::fprintf(stderr, "evt-replay: refusing to write the timeline to %s: %s\n",
                         Printable(timelinePath).c_str(), hazard.c_str());
            return kTroubleStatus;
        }
        const std::string unwritable = TimelineUnwritable(timelinePath);
        if (!unwritable.empty()) {
            std::fprintf(stderr, "evt-replay: cannot write %s: %s\n", Printable(timelinePath).c_str(), unwritable.c_str());
            return kTroubleStatus;
        }
    }
    // A closed pipe shows as a failed write, so that the timeline is still drawn.
    signal(SIGPIPE, SIG_IGN);
    gatherCycles = format != Format::kText || timelinePath || summary || timeRange.since || timeRange.until;
    several = inputs.size() > 1 || recursion != Recursion::kNone;
    progressWanted = !quiet && inputs.size() > 1 && isatty(STDERR_FILENO) && !StdoutIsPipe();
    if (format == Format::kCsv && !summary) {
        std::string header;
        char* text = nullptr;
        size_t size = 0;
        if (FILE* out = open_memstream(&text, &size)) {
            if (powerWanted)
                WritePowerCsvHeader(out);
            else
                WriteCsvHeader(out);
            std::fclose(out);
            header.assign(text, size);
            std::free(text);
        }
        Emit(header);
    }
    std::string error;
    if (!ReadInputs(inputs.size(), jobs ? jobs : WorkersForThisMachine(), ReadInput, TakeResult, NameOfInput, &error)) {
        EraseProgress();
        std::fprintf(stderr, "evt-replay: %s\n", error.c_str());
        status = kTroubleStatus;
    }
    EraseProgress();
    if (summary) {
        constexpr SummaryFormat kForms[] = {SummaryFormat::kText, SummaryFormat::kCsv, SummaryFormat::kJson,
                                            SummaryFormat::kJsonLines};
        Emit(SummaryText(drawn, kForms[static_cast<int>(format)]));
    } else if (format == Format::kJson) {
        Emit(anyBlock ? "\n]\n" : "[]\n");
    }
    if (timelinePath && !WriteTimeline())
        status = kTroubleStatus;
    // A full disk or a closed pipe must not pass for a complete listing.
    if (!outputLost && (std::fflush(stdout) != 0 || std::ferror(stdout))) {
        if (errno != EPIPE)
            std::fprintf(stderr, "evt-replay: cannot write the output: %s\n", std::strerror(errno));
        status = kTroubleStatus;
    }
    return status;
}
