// Event times as local date and time texts, and those texts read back as
// second counts for the elapsed time of a boot cycle.

#include "history/boot_history.h"
#include "history/platform.h"

namespace {

constexpr uint64_t kTicksPerSecond = 10000000;
constexpr uint64_t kTicksFrom1601To1970 = 116444736000000000;

// Writes the last `digits` digits of n (0 <= n < 10^digits) at out.
void WriteDigits(char* out, unsigned n, int digits)
{
    for (int i = digits - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + n % 10);
        n /= 10;
    }
}

// Reads a decimal number the way the texts' pieces are read: leading blanks,
// tabs and line feeds skipped, an optional sign, digits up to the first other
// character. No digits read as 0.
int64_t ReadPiece(std::string_view piece)
{
    size_t i = 0;
    while (i < piece.size() && (piece[i] == ' ' || piece[i] == '\t' || piece[i] == '\n'))
        ++i;
    bool negative = false;
    if (i < piece.size() && (piece[i] == '-' || piece[i] == '+'))
        negative = piece[i++] == '-';
    int64_t value = 0;
    for (; i < piece.size() && piece[i] >= '0' && piece[i] <= '9'; ++i)
        value = value * 10 + (piece[i] - '0');
    return negative ? -value : value;
}

// Characters [first, first + count) of text, clipped to the text like a
// substring of a shorter text would be.
std::string_view Middle(std::string_view text, size_t first, size_t count)
{
    if (first >= text.size())
        return {};
    return text.substr(first, count);
}

// The last `count` characters of text, or all of it when shorter.
std::string_view Last(std::string_view text, size_t count)
{
    return text.size() <= count ? text : text.substr(text.size() - count);
}

}  // namespace

// The local "YYYY/MM/DD HH:MM:SS" text of an event time. Every event time is
// shifted by the offset in force now, so differences of texts are true spans.
// For every 32-bit event time the year has four digits.
EventTimeText FormatEventTime(uint32_t eventTime)
{
    const uint64_t ticks = eventTime * kTicksPerSecond + kTicksFrom1601To1970;
    const FileTime utc{static_cast<uint32_t>(ticks), static_cast<uint32_t>(ticks >> 32)};
    FileTime local{};
    CalendarTime fields{};
    PlatformFileTimeToLocalFileTime(&utc, &local);
    PlatformFileTimeToSystemTime(&local, &fields);

    EventTimeText text{};
    char* out = text.data();
    WriteDigits(out, fields.year, 4);
    out[4] = '/';
    WriteDigits(out + 5, fields.month, 2);
    out[7] = '/';
    WriteDigits(out + 8, fields.day, 2);
    out[10] = ' ';
    WriteDigits(out + 11, fields.hour, 2);
    out[13] = ':';
    WriteDigits(out + 14, fields.minute, 2);
    out[16] = ':';
    WriteDigits(out + 17, fields.second, 2);
    return text;
}

// Whole days from 1601-01-01 to the date of a "YYYY/MM/DD" text, times 86,400.
// The separators are not looked at; a text that names no valid date gives 0.
int64_t DateTextToSeconds(std::string_view dateText)
{
    CalendarTime fields{};
    fields.year = static_cast<uint16_t>(ReadPiece(Middle(dateText, 0, 4)));
    fields.month = static_cast<uint16_t>(ReadPiece(Middle(dateText, 5, 2)));
    fields.day = static_cast<uint16_t>(ReadPiece(Last(dateText, 2)));
    fields.second = 1;  // keeps the file time of 1601-01-01 itself non-zero
    FileTime fileTime{};
    if (!PlatformSystemTimeToFileTime(&fields, &fileTime))
        return 0;
    const uint64_t ticks = (uint64_t{fileTime.high} << 32) | fileTime.low;
    return static_cast<int64_t>((ticks - kTicksPerSecond) / kTicksPerSecond);
}

// Seconds since midnight of an "HH:MM:SS" text after trimming blanks at both
// ends; any other length gives 0. The separators are not looked at.
int64_t TimeTextToSeconds(std::string_view timeText)
{
    const size_t first = timeText.find_first_not_of(' ');
    if (first == std::string_view::npos)
        return 0;
    timeText = timeText.substr(first, timeText.find_last_not_of(' ') - first + 1);
    if (timeText.size() != 8)
        return 0;
    return 3600 * ReadPiece(timeText.substr(0, 2)) + 60 * ReadPiece(timeText.substr(3, 2)) +
           ReadPiece(timeText.substr(6, 2));
}
