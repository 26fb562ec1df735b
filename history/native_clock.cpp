// Time conversions for builds without kernel32: the same contract, with the
// local zone taken from the process's TZ, at the offset in force now.

#include <ctime>

#include "history/platform.h"

namespace {

constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kTicksPerDay = 86400 * kTicksPerSecond;
constexpr int64_t kDaysFrom1601To1970 = 134774;

int64_t ToTicks(const FileTime& fileTime)
{
    return static_cast<int64_t>((uint64_t{fileTime.high} << 32) | fileTime.low);
}

FileTime FromTicks(int64_t ticks)
{
    return {static_cast<uint32_t>(ticks), static_cast<uint32_t>(static_cast<uint64_t>(ticks) >> 32)};
}

bool IsLeapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month)
{
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days since 1970-01-01 of a Gregorian date (proleptic, any year).
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day)
{
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

// The Gregorian date of a count of days since 1970-01-01.
void CivilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day)
{
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
    *day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    *month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    *year = static_cast<int64_t>(yearOfEra) + era * 400 + (*month <= 2);
}

}  // namespace

// Adds the offset from UTC that TZ has in force now, summer time included.
bool PlatformFileTimeToLocalFileTime(const FileTime* utc, FileTime* local)
{
    const time_t now = time(nullptr);
    struct tm fields {};
    localtime_r(&now, &fields);
    *local = FromTicks(ToTicks(*utc) + fields.tm_gmtoff * kTicksPerSecond);
    return true;
}

// Splits a file time into calendar fields; file times past 2^63 ticks are refused.
bool PlatformFileTimeToSystemTime(const FileTime* fileTime, CalendarTime* fields)
{
    const int64_t ticks = ToTicks(*fileTime);
    if (ticks < 0)
        return false;
    const int64_t days = ticks / kTicksPerDay;
    int64_t rest = ticks % kTicksPerDay;
    int64_t year = 0;
    unsigned month = 0, day = 0;
    CivilFromDays(days - kDaysFrom1601To1970, &year, &month, &day);
    fields->year = static_cast<uint16_t>(year);
    fields->month = static_cast<uint16_t>(month);
    fields->day = static_cast<uint16_t>(day);
    fields->dayOfWeek = static_cast<uint16_t>((days + 1) % 7);  // 1601-01-01 was a Monday
    fields->milliseconds = static_cast<uint16_t>(rest % kTicksPerSecond / 10000);
    rest /= kTicksPerSecond;
    fields->second = static_cast<uint16_t>(rest % 60);
    fields->minute = static_cast<uint16_t>(rest / 60 % 60);
    fields->hour = static_cast<uint16_t>(rest / 3600);
    return true;
}

// Joins calendar fields into a file time with no zone shift. Refuses what the
// platform refuses: years outside 1601 to 30827, and fields out of their range.
bool PlatformSystemTimeToFileTime(const CalendarTime* fields, FileTime* fileTime)
{
    if (fields->year < 1601 || fields->year > 30827 || fields->month < 1 || fields->month > 12 ||
        fields->day < 1 || fields->day > DaysInMonth(fields->year, fields->month) || fields->hour > 23 ||
        fields->minute > 59 || fields->second > 59 || fields->milliseconds > 999)
        return false;
    const int64_t days = DaysFromCivil(fields->year, fields->month, fields->day) + kDaysFrom1601To1970;
    const int64_t seconds = days * 86400 + fields->hour * 3600 + fields->minute * 60 + fields->second;
    *fileTime = FromTicks(seconds * kTicksPerSecond + fields->milliseconds * 10000);
    return true;
}
