// evt-replay [OPTION]... FILE...: runs the program's own scan over saved
// System logs (.evt or .evtx) and prints what the window would show: its
// title, then one line per row with the six texts joined by tabs; or the
// cycles as CSV or JSON, and an SVG timeline of them. Times are local to the
// TZ in force, or to the zone each log states. What damage in a file cost is
// said in one line on stderr.

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tools/replay.h"

namespace {

// Exit status for any trouble, as grep has it: a file not read, a timeline
// not written, output lost, or a command line not understood.
constexpr int kTroubleStatus = 2;

constexpr const char* kUsage =
    "usage: evt-replay [OPTION]... FILE...\n"
    "Prints the boot cycles in each saved Windows System event log FILE (.evt\n"
    "or .evtx) as Tallyvane would list them on the machine that wrote it.\n"
    "\n"
    "  --format=text        the window's title, then its rows, texts joined by\n"
    "                       tabs (the default); a line \"==> FILE (HOST) <==\"\n"
    "                       before each file's block when there are several\n"
    "  --format=csv         one header row, then one row per cycle: file, index,\n"
    "                       start, stop, elapsed_seconds, state, host, zone_stated,\n"
    "                       zone_used; a text cell that a spreadsheet would take\n"
    "                       for a formula (= + - @ tab CR first) gets a leading '\n"
    "  --format=json        an array with one object per file: file, host,\n"
    "                       zone_stated, zone_used, title, skipped (what damage\n"
    "                       cost: chunk headers unsound, records lost and\n"
    "                       recovered) and cycles, with the fields of CSV's rows\n"
    "  --utc                every time in UTC instead of the zone of TZ\n"
    "  --zone=log           each file's times in the zone its log states (its\n"
    "                       newest event 6013), or at the fixed offset it states\n"
    "                       when CLDR does not name its zone; TZ's for a log\n"
    "                       that states none (XP); either said on stderr\n"
    "  --zone=NAME          every time in the zone NAME, as with TZ=NAME; the\n"
    "                       last of --utc and --zone counts\n"
    "  --timeline=FILE.svg  also draw the cycles on a time axis, into FILE.svg\n"
    "  -h, --help           print this help and exit\n"
    "      --version        print the name and version and exit\n"
    "\n"
    "Times are local to TZ: give the zone of the machine that wrote the log, as\n"
    "in TZ=Europe/Berlin evt-replay System.evtx. TZ and NAME must name a zone:\n"
    "a zone file under TZDIR (else /usr/share/zoneinfo) or an absolute path to\n"
    "one, or a POSIX rule such as EST5EDT or <+0530>-5:30; TZ unset or empty\n"
    "is the system's zone or UTC. zone_used names the zone shown: TZ's value,\n"
    "or unset, the zone /etc/localtime links to. The state of a cycle is\n"
    "running, died (no orderly shutdown) or stopped. Exit status 0; 2 when a\n"
    "file could not be read, the timeline could not be written or the command\n"
    "line is wrong (the other files are still read), and, before any file is\n"
    "read, when TZ or NAME names no zone.\n";

enum class Format { kText, kCsv, kJson };

Format format = Format::kText;
const char* timelinePath = nullptr;
const char* zoneName = nullptr;  // --zone's value; null for TZ's zone, or with --utc

// --zone's value for the zone each log states.
constexpr const char* kLogZone = "log";

enum OptionCode { kFormatOption = 1, kUtcOption, kZoneOption, kTimelineOption, kVersionOption };

constexpr struct option kOptions[] = {
    {"format", required_argument, nullptr, kFormatOption},
    {"utc", no_argument, nullptr, kUtcOption},
    {"zone", required_argument, nullptr, kZoneOption},
    {"timeline", required_argument, nullptr, kTimelineOption},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersionOption},
    {nullptr, 0, nullptr, 0},
};

// Says what is wrong with the command line, then the usage, both on stderr.
int CommandLineTrouble(const std::string& what)
{
    std::fprintf(stderr, "evt-replay: %s\n%s", what.c_str(), kUsage);
    return kTroubleStatus;
}

// Sets the process-wide options from argv. Returns -1 to go on reading the
// files from argv[optind], or the exit status to end with at once.
int ReadOptions(int argc, char** argv)
{
    opterr = 0;  // our own messages, which name the program and not its path
    int code;
    while ((code = getopt_long(argc, argv, ":h", kOptions, nullptr)) != -1) {
        switch (code) {
        case kFormatOption:
            if (std::strcmp(optarg, "text") == 0)
                format = Format::kText;
            else if (std::strcmp(optarg, "csv") == 0)
                format = Format::kCsv;
            else if (std::strcmp(optarg, "json") == 0)
                format = Format::kJson;
            else
                return CommandLineTrouble(std::string("unknown format '") + optarg + "' (text, csv or json)");
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
            timelinePath = optarg;
            break;
        case 'h':
            std::fputs(kUsage, stdout);
            return 0;
        case kVersionOption:
            std::puts("evt-replay (Tallyvane) " TALLYVANE_VERSION);
            return 0;
        case ':':
            return CommandLineTrouble(std::string("option '") + argv[optind - 1] + "' needs a value");
        default:
            return CommandLineTrouble(std::string("unknown option '") + argv[optind - 1] + "'");
        }
    }
    if (optind == argc)
        return CommandLineTrouble("no FILE given");
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

// " (HOST)" for the line above a file's block, its control characters made
// '?' so that a log cannot drive the terminal; "" without a host.
std::string HostSuffix(const std::string& host)
{
    if (host.empty())
        return "";
    std::string suffix = " (" + host + ")";
    for (char& c : suffix)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return suffix;
}

// Writes the timeline of `files` to timelinePath; false, said on stderr, when it cannot be written.
bool WriteTimeline(const std::vector<ReplayFile>& files)
{
    FILE* out = std::fopen(timelinePath, "wb");
    if (!out) {
        std::fprintf(stderr, "evt-replay: cannot write %s: %s\n", timelinePath, std::strerror(errno));
        return false;
    }
    WriteTimelineSvg(out, files);
    const bool written = !std::ferror(out);
    if (std::fclose(out) != 0 || !written) {
        std::fprintf(stderr, "evt-replay: cannot write %s: %s\n", timelinePath, std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

// Reads every file named, writing each one's output as it goes (JSON and the
// timeline once all are read); the exit status is 2 if anything went wrong.
int main(int argc, char** argv)
{
    const int ended = ReadOptions(argc, argv);
    if (ended >= 0)
        return ended;
    const int refused = ChooseZone();
    if (refused >= 0)
        return refused;
    gatherCycles = format != Format::kText || timelinePath;
    const bool several = argc - optind > 1;
    int status = 0;
    bool firstBlock = true;
    std::vector<ReplayFile> drawn;
    if (format == Format::kCsv)
        WriteCsvHeader(stdout);
    for (int i = optind; i < argc; ++i) {
        ReplayFile file;
        std::string error;
        if (!ReplaySavedLog(argv[i], &file, &error)) {
            std::fprintf(stderr, "evt-replay: %s: %s\n", argv[i], error.c_str());
            status = kTroubleStatus;
            continue;
        }
        const std::string damage = SkippedPartsText(file.skipped);
        if (!damage.empty())
            std::fprintf(stderr, "evt-replay: %s: %s\n", argv[i], damage.c_str());
        std::fputs(file.notes.c_str(), stderr);
        switch (format) {
        case Format::kText:
            if (several)
                std::printf("%s==> %s%s <==\n", firstBlock ? "" : "\n", argv[i], HostSuffix(file.host).c_str());
            std::fwrite(file.text.data(), 1, file.text.size(), stdout);
            break;
        case Format::kCsv:
            WriteCsvRows(stdout, file);
            break;
        case Format::kJson:
            AddJsonFile(file);
            break;
        }
        firstBlock = false;
        if (timelinePath)
            drawn.push_back(std::move(file));
    }
    if (format == Format::kJson)
        WriteJsonDocument(stdout);
    if (timelinePath && !WriteTimeline(drawn))
        status = kTroubleStatus;
    // A full disk or a closed pipe must not pass for a complete listing.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "evt-replay: cannot write the output: %s\n", std::strerror(errno));
        status = kTroubleStatus;
    }
    return status;
}
