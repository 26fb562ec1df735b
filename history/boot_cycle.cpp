// Boot cycles: the six texts of a cycle's list row, and how long it lasted,
// told in days, hours, minutes and seconds.

#include "history/boot_history.h"

namespace {

constexpr int64_t kMinute = 60;
constexpr int64_t kHour = 3600;
constexpr int64_t kDay = 86400;

// Bands of ElapsedPiece: a span up to `limit` is told in `unit`s. Each limit
// is 60 of its unit and belongs to that unit, not to the next larger one.
struct ElapsedBand {
    int64_t limit;
    int64_t unit;
    const char* word;
};
constexpr ElapsedBand kElapsedBands[] = {
    {kMinute - 1, 1, " seconds"},
    {60 * kMinute, kMinute, " minutes"},
    {60 * kHour, kHour, " hours"},
    {60 * kDay, kDay, " days"},
};

// Splits an event-time text at its first blank into date and time texts;
// a text without a blank is all date.
void SplitEventTimeText(std::string_view text, std::string_view* date, std::string_view* time)
{
    const size_t blank = text.find(' ');
    *date = text.substr(0, blank);
    *time = blank == std::string_view::npos ? std::string_view{} : text.substr(blank + 1);
}

}  // namespace

// Writes n in decimal, zero-padded to at least `digits` digits, never cut.
void AppendPaddedNumber(std::string* text, int64_t n, int digits)
{
    const std::string number = std::to_string(n);
    if (static_cast<int>(number.size()) < digits)
        text->append(digits - number.size(), '0');
    *text += number;
}

// Writes n as the plain number-to-text conversion does: a blank in place of
// the sign when n is not negative, "-" when it is.
void AppendSignedNumber(std::string* text, int64_t n)
{
    if (n >= 0)
        *text += ' ';
    *text += std::to_string(n);
}

// Appends the next piece of an elapsed text for *span and leaves in *span
// what is left to tell: 0 once nothing is. A span past 60 days gives the empty
// piece; a negative span is told in seconds in one piece.
void ElapsedPiece(int64_t* span, std::string* text)
{
    for (const ElapsedBand& band : kElapsedBands) {
        if (*span <= band.limit) {
            AppendSignedNumber(text, *span / band.unit);
            *text += band.word;
            *span %= band.unit;
            return;
        }
    }
    *span = 0;
}

// The "Elapsed Time" text of row r. A cycle without a stop is still running
// only when it is the newest (row 0); any older one died without a shutdown.
std::string CycleElapsedText(int r, std::string_view startDate, std::string_view startTime,
                             std::string_view stopDate, std::string_view stopTime)
{
    if (stopDate.empty() && stopTime.empty())
        return r == 0 ? "System is running" : "System died";

    int64_t span = DateTextToSeconds(stopDate) + TimeTextToSeconds(stopTime) -
                   (DateTextToSeconds(startDate) + TimeTextToSeconds(startTime));
    std::string text;
    do
        ElapsedPiece(&span, &text);
    while (span > 0);
    return text;
}

// The six texts of table row r: its index from 1, zero-padded to four digits,
// the start and stop texts split into date and time, and the elapsed text.
CycleRow FormCycleRow(int r)
{
    const BootEventRow& row = bootEventTable[r];
    std::string_view startDate, startTime, stopDate, stopTime;
    SplitEventTimeText(row.startText.data(), &startDate, &startTime);
    SplitEventTimeText(row.stopText.data(), &stopDate, &stopTime);

    CycleRow texts;
    AppendPaddedNumber(&texts[kIndexColumn], int64_t{r} + 1, 4);
    texts[kStartDateColumn] = startDate;
    texts[kStartTimeColumn] = startTime;
    texts[kStopDateColumn] = stopDate;
    texts[kStopTimeColumn] = stopTime;
    texts[kElapsedColumn] = CycleElapsedText(r, startDate, startTime, stopDate, stopTime);
    return texts;
}
