// Event times as ISO 8601 texts for the machine-readable outputs.

#include <cstdio>
#include <ctime>

#include "evt-replay/replay.h"

namespace {

constexpr long kSecondsPerHour = 3600;
constexpr long kSecondsPerMinute = 60;

}  // namespace

// Unlike the window, which shifts every time by the offset in force now, each
// time gets the offset in force at that time, as a clock in that zone showed
// it: a spreadsheet or a log pipeline compares them with other records of the
// same moment. Offsets of whole minutes are written +HH:MM, any other (old
// local mean times) +HH:MM:SS.
std::string IsoTime(int64_t eventTime)
{
    const time_t when = static_cast<time_t>(eventTime);
    struct tm fields {};
    if (utcTimes)
        gmtime_r(&when, &fields);
    else
        localtime_r(&when, &fields);
    char text[40];
    int length = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", fields.tm_year + 1900,
                               fields.tm_mon + 1, fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec);
    if (utcTimes)
        return std::string(text, length) + "Z";
    const long offset = fields.tm_gmtoff;
    const long size = offset < 0 ? -offset : offset;
    length += std::snprintf(text + length, sizeof text - length, "%c%02ld:%02ld", offset < 0 ? '-' : '+',
                            size / kSecondsPerHour, size % kSecondsPerHour / kSecondsPerMinute);
    if (size % kSecondsPerMinute)
        length += std::snprintf(text + length, sizeof text - length, ":%02ld", size % kSecondsPerMinute);
    return std::string(text, length);
}
