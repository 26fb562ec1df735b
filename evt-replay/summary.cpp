// The time range that --since and --until keep, and the summary per machine:
// what an administrator asks of a fleet without a spreadsheet.

#include <algorithm>
#include <cstring>
#include <ctime>
#include <map>
#include <utility>

#include <nlohmann/json.hpp>

#include "evt-replay/replay.h"

namespace {

constexpr int64_t kDay = 86400;
constexpr int64_t kEndless = INT64_MAX;

// The digits of `text` from `at`, `count` of them, as a number; -1 when they are not all digits.
int Digits(const char* text, size_t at, size_t count)
{
    int value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// Reads "+HH:MM", "+HHMM", "+HH" or "Z" from `zone` into *offset (seconds east of UTC).
bool ReadOffset(const char* zone, long* offset)
{
    if (std::strcmp(zone, "Z") == 0) {
        *offset = 0;
        return true;
    }
    const size_t length = std::strlen(zone);
    if ((zone[0] != '+' && zone[0] != '-') || (length != 3 && length != 5 && length != 6))
        return false;
    const int hours = Digits(zone, 1, 2);
    const int minutes = length == 3 ? 0 : Digits(zone, length == 6 ? 4 : 3, 2);
    if (hours < 0 || hours > 23 || minutes < 0 || minutes > 59 || (length == 6 && zone[3] != ':'))
        return false;
    *offset = (zone[0] == '-' ? -1 : 1) * (hours * 3600L + minutes * 60L);
    return true;
}

// The known end of cycle i of `file`: its stop; a died one's next boot, before
// which it ended; none yet for the running one, nor for one cut off.
int64_t CycleEnd(const ReplayFile& file, size_t i)
{
    const ReplayCycle& cycle = file.cycles[i];
    switch (cycle.state) {
    case CycleState::kStopped:
        return cycle.stop;
    case CycleState::kDied:
        return i > 0 ? std::max(cycle.start, file.cycles[i - 1].start) : cycle.start;
    case CycleState::kRunning:
    case CycleState::kCut:
        break;
    }
    return kEndless;
}

// Until when cycle i is known to have run: its stop, its last record when it
// died, the log's end when it runs on or is cut off.
int64_t KnownUntil(const ReplayFile& file, size_t i)
{
    const ReplayCycle& cycle = file.cycles[i];
    return cycle.state == CycleState::kStopped ? cycle.stop
           : cycle.state == CycleState::kDied  ? cycle.diedAfter
                                               : std::max(cycle.start, file.logEnd);
}

struct Machine {
    size_t logs = 0;
    std::map<int64_t, std::pair<int64_t, bool>> cycles;  // start: (known until, died), once per boot
};

}  // namespace

TimeRange timeRange;

// Fields are checked for their ranges, and a day its month lacks is refused
// rather than carried into the next month as mktime would.
bool ReadTimeArgument(const char* text, bool dayEnd, int64_t* when)
{
    const size_t length = std::strlen(text);
    struct tm fields {};
    fields.tm_isdst = -1;
    if (length < 10 || text[4] != '-' || text[7] != '-')
        return false;
    fields.tm_year = Digits(text, 0, 4) - 1900;
    fields.tm_mon = Digits(text, 5, 2) - 1;
    fields.tm_mday = Digits(text, 8, 2);
    const char* zone = "";
    bool date = length == 10;
    if (!date) {
        if ((text[10] != 'T' && text[10] != ' ') || length < 16 || text[13] != ':')
            return false;
        fields.tm_hour = Digits(text, 11, 2);
        fields.tm_min = Digits(text, 14, 2);
        size_t at = 16;
        if (length >= 19 && text[16] == ':') {
            fields.tm_sec = Digits(text, 17, 2);
            at = 19;
        }
        zone = text + at;
        if (fields.tm_hour < 0 || fields.tm_hour > 23 || fields.tm_min < 0 || fields.tm_min > 59 || fields.tm_sec < 0 ||
            fields.tm_sec > 59)
            return false;
    }
    if (fields.tm_year < 0 || fields.tm_mon < 0 || fields.tm_mon > 11 || fields.tm_mday < 1 || fields.tm_mday > 31)
        return false;
    const struct tm asked = fields;
    long offset = 0;
    time_t seconds;
    if (*zone) {
        if (!ReadOffset(zone, &offset))
            return false;
        seconds = timegm(&fields) - offset;
    } else {
        seconds = utcTimes ? timegm(&fields) : mktime(&fields);
    }
    // A day past its month's end comes back as another date.
    if (fields.tm_mday != asked.tm_mday && *zone == '\0')
        return false;
    *when = static_cast<int64_t>(seconds) + (date && dayEnd ? kDay : 0);
    return true;
}

// A cycle overlaps the range when it started before its end and had not
// ended before its start: a died one ended by the next boot, a running or cut one not yet.
bool CycleInRange(const ReplayFile& file, size_t i)
{
    if (!timeRange.since && !timeRange.until)
        return true;
    const int64_t start = file.cycles[i].start;
    return (!timeRange.until || start < timeRange.untilTime) && (!timeRange.since || CycleEnd(file, i) >= timeRange.sinceTime);
}

// A cycle is the same boot in every copy of a machine's log that holds it:
// its host and start. Of its copies the one known to run longest counts.
std::string SummaryText(const std::vector<ReplayFile>& files, SummaryFormat format)
{
    std::map<std::string, Machine> machines;
    for (const ReplayFile& file : files) {
        std::vector<std::string> hosts;
        for (size_t i = 0; i < file.cycles.size(); ++i) {
            if (!CycleInRange(file, i))
                continue;
            const std::string& host = file.cycles[i].host.empty() ? file.host : file.cycles[i].host;
            if (std::find(hosts.begin(), hosts.end(), host) == hosts.end())
                hosts.push_back(host);
            const int64_t until = KnownUntil(file, i);
            auto& known = machines[host].cycles[file.cycles[i].start];
            known = {std::max(known.first, until), known.second || file.cycles[i].state == CycleState::kDied};
        }
        if (hosts.empty())
            hosts.push_back(file.host);
        for (const std::string& host : hosts)
            ++machines[host].logs;
    }
    using Json = nlohmann::ordered_json;
    Json rows = Json::array();
    std::string text = format == SummaryFormat::kCsv    ? "host,logs,cycles,died,up_seconds,longest_seconds,first_seen,last_seen\r\n"
                       : format == SummaryFormat::kText ? "host\tlogs\tcycles\tdied\tup_seconds\tlongest_seconds\tfirst_seen\tlast_seen\n"
                                                        : "";
    for (const auto& [host, machine] : machines) {
        int64_t up = 0, longest = 0, died = 0, first = kEndless, last = 0;
        for (const auto& [start, known] : machine.cycles) {
            const int64_t from = timeRange.since ? std::max(start, timeRange.sinceTime) : start;
            const int64_t to = timeRange.until ? std::min(known.first, timeRange.untilTime) : known.first;
            up += std::max<int64_t>(0, to - from);
            longest = std::max(longest, known.first - start);
            died += known.second;
            first = std::min(first, start);
            last = std::max(last, known.first);
        }
        const bool seen = !machine.cycles.empty();
        Json row{{"host", host}, {"logs", machine.logs}, {"cycles", machine.cycles.size()}, {"died", died},
                 {"up_seconds", up}, {"longest_seconds", longest},
                 {"first_seen", seen ? Json(IsoTime(first)) : Json(nullptr)},
                 {"last_seen", seen ? Json(IsoTime(last)) : Json(nullptr)}};
        if (format == SummaryFormat::kJsonLines) {
            text += row.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
            continue;
        }
        if (format == SummaryFormat::kJson) {
            rows.push_back(std::move(row));
            continue;
        }
        const char separator = format == SummaryFormat::kCsv ? ',' : '\t';
        std::string line = format == SummaryFormat::kCsv ? CsvText(host) : Printable(host);
        for (int64_t number : {static_cast<int64_t>(machine.logs), static_cast<int64_t>(machine.cycles.size()), died, up,
                               longest})
            line += separator + std::to_string(number);
        line += separator + (seen ? IsoTime(first) : "") + separator + (seen ? IsoTime(last) : "");
        text += line + (format == SummaryFormat::kCsv ? "\r\n" : "\n");
    }
    if (format == SummaryFormat::kJson)
        return rows.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
    return text;
}
