// The zones evt-replay shows times in: which TZ values name a zone, the zone
// a log states in its event 6013, and the name of the zone in force.

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "evt-replay/replay.h"

namespace {

constexpr const char* kZoneFolder = "/usr/share/zoneinfo";  // glibc's, unless TZDIR names another
constexpr std::string_view kZoneFolderTail = "zoneinfo/";
constexpr const char* kLocalTime = "/etc/localtime";        // the system's zone when TZ is unset
constexpr std::string_view kTzifMagic = "TZif";
constexpr const char* kUtc = "UTC";
constexpr int kMinutesPerHour = 60;
// A POSIX rule's offsets, and the bias a log states, are at most a day.
constexpr int kLongestOffsetHours = 24;
// A rule's switch may be given at any hour of a week either side of its day.
constexpr int kLongestSwitchHours = 167;
constexpr int kLastDayOfYear = 365;
constexpr int kMonths = 12, kWeeksOfMonth = 5, kLastWeekday = 6;
// Etc/GMT+N (POSIX's sign: N hours behind UTC) exists from -14 to +12.
constexpr int kEtcEastmost = -14, kEtcWestmost = 12;
// The shortest zone abbreviation a POSIX rule may give.
constexpr size_t kShortestAbbreviation = 3;

// A Windows zone name with the zone CLDR gives for it in territory 001.
struct WindowsZone {
    std::string_view windows;
    std::string_view iana;
};

// Made from CLDR's windowsZones.xml at build time (evt-replay/windows_zones.cmake).
constexpr WindowsZone kWindowsZones[] = {
#include "windows_zones.inc"
};

// Whether `path` is a file that begins as a compiled zone (TZif) does.
bool IsZoneFile(const std::string& path)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return false;
    char magic[kTzifMagic.size()];
    const bool zone = std::fread(magic, 1, sizeof magic, file) == sizeof magic &&
                      std::string_view(magic, sizeof magic) == kTzifMagic;
    std::fclose(file);
    return zone;
}

// Takes a number of one to three digits, at most `largest`, off the front of *rule.
bool TakeNumber(std::string_view* rule, int largest, int smallest = 0)
{
    if (rule->empty() || !std::isdigit(static_cast<unsigned char>(rule->front())))
        return false;
    int value = 0;
    const char* end = rule->data() + std::min<size_t>(rule->size(), 3);
    const auto [stop, fault] = std::from_chars(rule->data(), end, value);
    if (fault != std::errc() || value < smallest || value > largest)
        return false;
    rule->remove_prefix(stop - rule->data());
    return true;
}

// Takes [+-]hh[:mm[:ss]] off the front of *rule, hours at most `hours`.
bool TakeClock(std::string_view* rule, int hours)
{
    if (!rule->empty() && (rule->front() == '+' || rule->front() == '-'))
        rule->remove_prefix(1);
    if (!TakeNumber(rule, hours))
        return false;
    for (int part = 0; part < 2 && !rule->empty() && rule->front() == ':'; ++part) {
        rule->remove_prefix(1);
        if (!TakeNumber(rule, kMinutesPerHour - 1))
            return false;
    }
    return true;
}

// Takes a zone abbreviation off the front of *rule: three letters or more,
// or <...> of letters, digits and signs.
bool TakeAbbreviation(std::string_view* rule)
{
    size_t length = 0;
    if (!rule->empty() && rule->front() == '<') {
        const size_t close = rule->find('>');
        if (close == std::string_view::npos || close - 1 < kShortestAbbreviation)
            return false;
        for (char c : rule->substr(1, close - 1))
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-')
                return false;
        length = close + 1;
    } else {
        while (length < rule->size() && std::isalpha(static_cast<unsigned char>((*rule)[length])))
            ++length;
        if (length < kShortestAbbreviation)
            return false;
    }
    rule->remove_prefix(length);
    return true;
}

// Takes ",Jn", ",n" or ",Mm.w.d", then an optional "/time", off the front of *rule.
bool TakeSwitch(std::string_view* rule)
{
    if (rule->empty() || rule->front() != ',')
        return false;
    rule->remove_prefix(1);
    bool read;
    if (!rule->empty() && rule->front() == 'J') {
        rule->remove_prefix(1);
        read = TakeNumber(rule, kLastDayOfYear, 1);
    } else if (!rule->empty() && rule->front() == 'M') {
        rule->remove_prefix(1);
        read = TakeNumber(rule, kMonths, 1) && !rule->empty() && rule->front() == '.' &&
               (rule->remove_prefix(1), TakeNumber(rule, kWeeksOfMonth, 1)) && !rule->empty() &&
               rule->front() == '.' && (rule->remove_prefix(1), TakeNumber(rule, kLastWeekday));
    } else {
        read = TakeNumber(rule, kLastDayOfYear - 1);
    }
    if (read && !rule->empty() && rule->front() == '/') {
        rule->remove_prefix(1);
        read = TakeClock(rule, kLongestSwitchHours);
    }
    return read;
}

// Whether `rule` is a whole POSIX TZ rule: std offset [dst [offset] [,start[/time],end[/time]]].
bool IsPosixRule(std::string_view rule)
{
    if (!TakeAbbreviation(&rule) || !TakeClock(&rule, kLongestOffsetHours))
        return false;
    if (rule.empty())
        return true;
    if (!TakeAbbreviation(&rule))
        return false;
    if (!rule.empty() && rule.front() != ',' && !TakeClock(&rule, kLongestOffsetHours))
        return false;
    // Summer time without its switches takes glibc's default ones.
    return rule.empty() || (TakeSwitch(&rule) && TakeSwitch(&rule) && rule.empty());
}

// The zone of a fixed offset, `bias` minutes behind UTC: Etc/UTC or
// Etc/GMT+8 where the zone data has it, else a POSIX rule ("<+0530>-5:30").
std::string FixedOffsetZone(int bias)
{
    const int hours = bias / kMinutesPerHour;
    if (bias % kMinutesPerHour == 0 && hours >= kEtcEastmost && hours <= kEtcWestmost) {
        const std::string etc = hours == 0 ? std::string("Etc/UTC")
                                           : std::string("Etc/GMT") + (hours > 0 ? "+" : "") + std::to_string(hours);
        if (NamesZone(etc.c_str()))
            return etc;
    }
    const int size = std::abs(bias);
    char rule[32];
    std::snprintf(rule, sizeof rule, "<%c%02d%02d>%s%d:%02d", bias > 0 ? '-' : '+', size / kMinutesPerHour,
                  size % kMinutesPerHour, bias < 0 ? "-" : "", size / kMinutesPerHour, size % kMinutesPerHour);
    return rule;
}

}  // namespace

// glibc reads TZ as a compiled zone file if it finds one, else as a POSIX
// rule; what is neither it takes silently for UTC, which is what this refuses.
bool NamesZone(const char* tz)
{
    if (!tz)
        return true;
    std::string_view name = tz;
    if (!name.empty() && name.front() == ':')
        name.remove_prefix(1);
    if (name.empty())
        return true;
    if (name.front() == '/')
        return IsZoneFile(std::string(name));
    const char* folder = std::getenv("TZDIR");
    if (!folder || !*folder)
        folder = kZoneFolder;
    return IsZoneFile(std::string(folder) + "/" + std::string(name)) || IsPosixRule(name);
}

// A bias ("480 Pacific Standard Time") is whole minutes, UTC = local + bias.
std::string StatedZone(std::string_view stated, bool* fixed)
{
    *fixed = false;
    int bias = 0;
    const size_t space = stated.find(' ');
    const std::string_view number = stated.substr(0, space);
    const auto [stop, fault] = std::from_chars(number.data(), number.data() + number.size(), bias);
    const bool biasRead = space != std::string_view::npos && fault == std::errc() &&
                          stop == number.data() + number.size() &&
                          std::abs(bias) <= kLongestOffsetHours * kMinutesPerHour;
    const std::string_view name = biasRead ? stated.substr(space + 1) : stated;
    const auto known = std::find_if(std::begin(kWindowsZones), std::end(kWindowsZones),
                                    [name](const WindowsZone& zone) { return zone.windows == name; });
    // A zone this machine's data lacks would read as UTC.
    if (known != std::end(kWindowsZones) && NamesZone(std::string(known->iana).c_str()))
        return std::string(known->iana);
    if (!biasRead)
        return "";
    *fixed = true;
    return FixedOffsetZone(bias);
}

// Unset, the zone /etc/localtime links to, named as under the zone folder;
// "/etc/localtime" itself when it is a copy, and UTC without it. Empty, UTC.
std::string ZoneInForce()
{
    const char* tz = std::getenv("TZ");
    if (tz)
        return *tz ? tz : kUtc;
    char target[4096];
    const ssize_t length = readlink(kLocalTime, target, sizeof target);
    if (length > 0 && static_cast<size_t>(length) < sizeof target) {
        const std::string_view link(target, length);
        const size_t tail = link.rfind(kZoneFolderTail);
        return std::string(tail == std::string_view::npos ? link : link.substr(tail + kZoneFolderTail.size()));
    }
    return access(kLocalTime, R_OK) == 0 ? kLocalTime : kUtc;
}

// Sets TZ to `tz`, or unsets it for null, and makes the C library follow.
void UseZone(const char* tz)
{
    if (tz)
        setenv("TZ", tz, 1);
    else
        unsetenv("TZ");
    tzset();
}
