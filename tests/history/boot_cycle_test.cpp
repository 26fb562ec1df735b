// Elapsed texts of boot cycles and the six texts of a cycle's row.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "history/boot_history.h"

namespace {

// The elapsed text of a cycle that lasted `span` seconds, told through real
// date and time texts, so the day values take part as they do in the list.
std::string ElapsedTextOfSpan(int64_t span)
{
    const int64_t start = 12 * 3600;  // noon of the start day
    const int64_t stop = start + span;
    const int64_t stopDay = stop >= 0 ? stop / 86400 : -1 - (-stop - 1) / 86400;
    const int64_t stopSecond = stop - stopDay * 86400;
    char stopDate[40], stopTime[40];
    // Day 0 is 2024/01/01; every span here stays within 2023 to 2024.
    static const int kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int year = 2024, month = 1;
    int64_t day = stopDay;
    if (day < 0) {
        year = 2023;
        month = 12;
        day += 31;
    }
    while (year == 2024 && day >= kMonthDays[month - 1])
        day -= kMonthDays[month++ - 1];
    std::snprintf(stopDate, sizeof stopDate, "%04d/%02d/%02d", year, month, static_cast<int>(day) + 1);
    std::snprintf(stopTime, sizeof stopTime, "%02d:%02d:%02d", static_cast<int>(stopSecond / 3600),
                  static_cast<int>(stopSecond / 60 % 60), static_cast<int>(stopSecond % 60));
    return CycleElapsedText(3, "2024/01/01", "12:00:00", stopDate, stopTime);
}

TEST(CycleElapsedText, TellsTheSpanInBandsOfSixtyUnits)
{
    struct Case {
        int64_t span;
        const char* text;
    };
    static const Case kCases[] = {
        {0, " 0 seconds"},
        {45, " 45 seconds"},
        {59, " 59 seconds"},
        {60, " 1 minutes"},
        {61, " 1 minutes 1 seconds"},
        {3599, " 59 minutes 59 seconds"},
        {3600, " 60 minutes"},
        {3601, " 1 hours 1 seconds"},
        {3660, " 1 hours 1 minutes"},
        {3700, " 1 hours 1 minutes 40 seconds"},
        {86399, " 23 hours 59 minutes 59 seconds"},
        {86400, " 24 hours"},
        {86401, " 24 hours 1 seconds"},
        {90000, " 25 hours"},
        {90061, " 25 hours 1 minutes 1 seconds"},
        {200000, " 55 hours 33 minutes 20 seconds"},
        {215999, " 59 hours 59 minutes 59 seconds"},
        {216000, " 60 hours"},
        {216001, " 2 days 12 hours 1 seconds"},
        {259200, " 3 days"},
        {262800, " 3 days 60 minutes"},
        {300000, " 3 days 11 hours 20 minutes"},
        {5184000, " 60 days"},
        {5184001, ""},
        {61 * 86400, ""},
        {-1, "-1 seconds"},
        {-90, "-90 seconds"},
        {-86400, "-86400 seconds"},
    };
    for (const Case& c : kCases)
        EXPECT_EQ(ElapsedTextOfSpan(c.span), c.text) << "span " << c.span;
}

TEST(CycleElapsedText, CountsChangesOfDateMonthAndYear)
{
    EXPECT_EQ(CycleElapsedText(0, "2024/03/30", "23:00:00", "2024/03/31", "01:30:00"), " 2 hours 30 minutes");
    EXPECT_EQ(CycleElapsedText(0, "2023/12/31", "23:59:59", "2024/01/01", "00:00:00"), " 1 seconds");
    EXPECT_EQ(CycleElapsedText(0, "2024/02/28", "12:00:00", "2024/03/01", "12:00:00"), " 48 hours");
    EXPECT_EQ(CycleElapsedText(5, "2024/03/31", "01:30:00", "2024/03/31", "01:28:30"), "-90 seconds");
}

// Only a cycle with neither stop text has no stop. A stop time alone is a
// stop whose empty date reads as no date (0 s), so the span comes out negative.
TEST(CycleElapsedText, CycleWithoutStopIsRunningOnlyInTheNewestRow)
{
    const struct {
        int row;
        const char* stopDate;
        const char* stopTime;
        const char* text;
    } kCases[] = {
        {0, "", "", "System is running"},
        {1, "", "", "System died"},
        {9999, "", "", "System died"},
        {1, "", "01:00:00", "-13356309600 seconds"},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(CycleElapsedText(c.row, "2024/03/30", "23:00:00", c.stopDate, c.stopTime), c.text)
            << "row " << c.row << ", stop \"" << c.stopDate << "\" \"" << c.stopTime << '"';
}

TEST(ElapsedPiece, LeavesWhatIsStillToTell)
{
    struct Case {
        int64_t span;
        const char* piece;
        int64_t left;
    };
    static const Case kCases[] = {
        {59, " 59 seconds", 0},   {3600, " 60 minutes", 0},     {3601, " 1 hours", 1},
        {216001, " 2 days", 43201}, {262800, " 3 days", 3600},  {5184001, "", 0},
        {-5, "-5 seconds", 0},
    };
    for (const Case& c : kCases) {
        int64_t span = c.span;
        std::string text;
        ElapsedPiece(&span, &text);
        EXPECT_EQ(text, c.piece) << c.span;
        EXPECT_EQ(span, c.left) << c.span;
    }
}

EventTimeText Text(const char* chars)
{
    EventTimeText text{};
    std::snprintf(text.data(), text.size(), "%s", chars);
    return text;
}

TEST(FormCycleRow, SplitsTheTextsAndNumbersRowsFromOne)
{
    ResetBootEventTable();
    StoreBootStart(Text("2024/03/31 08:00:00"));
    StoreBootStop(Text("2024/03/30 23:59:00"));
    StoreBootStart(Text("2024/03/30 21:29:00"));
    StoreBootStart(Text("2024/01/01"));  // no blank: all date, no time
    for (int i = 3; i < 10; ++i)
        StoreBootStart(Text("2024/01/01 00:00:00"));

    const CycleRow running = FormCycleRow(0);
    EXPECT_EQ(running, (CycleRow{"0001", "2024/03/31", "08:00:00", "", "", "System is running"}));
    const CycleRow stopped = FormCycleRow(1);
    EXPECT_EQ(stopped, (CycleRow{"0002", "2024/03/30", "21:29:00", "2024/03/30", "23:59:00", " 2 hours 30 minutes"}));
    EXPECT_EQ(FormCycleRow(2), (CycleRow{"0003", "2024/01/01", "", "", "", "System died"}));
    EXPECT_EQ(FormCycleRow(9)[kIndexColumn], "0010");
    EXPECT_EQ(FormCycleRow(9)[kElapsedColumn], "System died");
}

TEST(FormCycleRow, IndexOfTheLastPossibleRowHasFiveDigits)
{
    ResetBootEventTable();
    for (int i = 0; i < kBootEventCapacity; ++i)
        StoreBootStart(Text("2024/01/01 00:00:00"));
    EXPECT_EQ(FormCycleRow(kBootEventCapacity - 1)[kIndexColumn], "10000");
    EXPECT_EQ(FormCycleRow(998)[kIndexColumn], "0999");
}

}  // namespace
