// The zones evt-replay shows times in: which TZ values name a zone, the zone
// a log states in its event 6013, and the name of the zone in force.

#include <unistd.h>

#include <algorithm>
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
// The bias a log states is at most a day.
constexpr int kLongestOffsetHours = 24;
// Etc/GMT+N (POSIX's sign: N hours behind UTC) exists from -14 to +12.
constexpr int kEtcEastmost = -14, kEtcWestmost = 12;

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
bool SplitStatedZone(std::string_view stated, int* bias, std::string_view* name)
{
    *bias = 0;
    const size_t space = stated.find(' ');
    const std::string_view number = stated.substr(0, space);
    const auto [stop, fault] = std::from_chars(number.data(), number.data() + number.size(), *bias);
    const bool biasRead = space != std::string_view::npos && fault == std::errc() &&
                          stop == number.data() + number.size() &&
                          std::abs(*bias) <= kLongestOffsetHours * kMinutesPerHour;
    *name = biasRead ? stated.substr(space + 1) : stated;
    if (!biasRead)
        *bias = 0;
    return biasRead;
}

StatedZoneFields ZoneFieldsOf(const ReplayFile& file)
{
    StatedZoneFields fields;
    fields.biasStated = SplitStatedZone(file.zoneStated, &fields.bias, &fields.name);
    return fields;
}

std::string StatedZone(std::string_view stated, bool* fixed)
{
    *fixed = false;
    int bias = 0;
    std::string_view name;
    const bool biasRead = SplitStatedZone(stated, &bias, &name);
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
