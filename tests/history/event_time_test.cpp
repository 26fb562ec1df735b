// Event times to local texts and texts back to seconds, in whatever zone the
// test process runs (see zone.h), against the platform's own conversions.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "history/boot_history.h"
#include "tests/history/zone.h"

namespace {

// Seconds since 1601 of a whole event-time text, read back with the
// program's own readers (whose absolute values are checked below).
int64_t TextSeconds(const EventTimeText& text)
{
    const std::string_view view(text.data());
    return DateTextToSeconds(view.substr(0, 10)) + TimeTextToSeconds(view.substr(11));
}

constexpr int64_t kSecondsFrom1601To1970 = 11644473600;

// The offset that FormatEventTime applied to event time t.
int64_t AppliedOffset(uint32_t t)
{
    return TextSeconds(FormatEventTime(t)) - (kSecondsFrom1601To1970 + t);
}

TEST(EventTimeText, AppliesAnOffsetTheZoneHas)
{
    const std::vector<int64_t> offsets = PossibleZoneOffsets();
    ASSERT_FALSE(offsets.empty()) << "unknown TZ '" << ZoneName() << "'";
    const int64_t applied = AppliedOffset(1000000000);
    EXPECT_NE(std::find(offsets.begin(), offsets.end(), applied), offsets.end())
        << "applied " << applied << " s in " << ZoneName();
}

// Winter and summer events, and events on both sides of the 2^31 boundary, are
// all shifted by the one offset in force now, whatever held on their own date.
TEST(EventTimeText, ShiftsEveryEventTimeByTheSameOffset)
{
    const uint32_t times[] = {0, 1704067200 /* 2024-01-01 */, 1719792000 /* 2024-07-01 */,
                              2147483647, 2147483648u, 4294967295u - 86400};
    const int64_t offset = AppliedOffset(times[0]);
    for (uint32_t t : times)
        EXPECT_EQ(AppliedOffset(t), offset) << "event time " << t;
}

TEST(EventTimeText, IsNineteenCharactersLaidOutAsYearFirstDateAndTime)
{
    for (uint32_t t : {0u, 951782400u, 4294967295u}) {
        const EventTimeText text = FormatEventTime(t);
        ASSERT_EQ(std::strlen(text.data()), 19u);
        for (int i = 0; i < 19; ++i) {
            const char expected = i == 4 || i == 7 ? '/' : i == 10 ? ' ' : i == 13 || i == 16 ? ':' : '#';
            if (expected == '#')
                EXPECT_TRUE(text[i] >= '0' && text[i] <= '9') << text.data();
            else
                EXPECT_EQ(text[i], expected) << text.data();
        }
    }
}

TEST(EventTimeText, MatchesKnownLocalTextsOfThisZone)
{
    struct Case {
        const char* zone;
        uint32_t eventTime;
        const char* text;
    };
    static const Case kCases[] = {
        {"UTC", 0, "1970/01/01 00:00:00"},
        {"UTC", 1000000000, "2001/09/09 01:46:40"},
        {"UTC", 4294967295u, "2106/02/07 06:28:15"},
        {"UTC", 951782400, "2000/02/29 00:00:00"},
        {"UTC", 1711839599, "2024/03/30 22:59:59"},
        {"Etc/GMT+5", 0, "1969/12/31 19:00:00"},
        {"Etc/GMT+5", 1000000000, "2001/09/08 20:46:40"},
        {"Etc/GMT+5", 4294967295u, "2106/02/07 01:28:15"},
        {"Etc/GMT-2", 1000000000, "2001/09/09 03:46:40"},
        {"Etc/GMT-2", 4294967295u, "2106/02/07 08:28:15"},
        {"Asia/Kolkata", 0, "1970/01/01 05:30:00"},
        {"Asia/Kolkata", 1000000000, "2001/09/09 07:16:40"},
    };
    int checked = 0;
    for (const Case& c : kCases) {
        if (std::strcmp(c.zone, ZoneName()) != 0)
            continue;
        EXPECT_STREQ(FormatEventTime(c.eventTime).data(), c.text) << c.eventTime << " in " << c.zone;
        ++checked;
    }
    if (checked == 0)
        GTEST_SKIP() << "no fixed texts for a zone with summer time";
}

TEST(DateTextToSeconds, CountsWholeDaysSince1601)
{
    struct Case {
        const char* text;
        int64_t seconds;
    };
    static const Case kCases[] = {
        {"1601/01/01", 0},
        {"1601/01/02", 86400},         // 0 above is also the refusal's value; this shows 1601 is taken
        {"1970/01/01", 11644473600},
        {"2024/02/29", 13353638400},
        {"2000/02/29", 12596256000},   // a leap day by the 400-year rule
        {"2000/03/01", 12596342400},
        {"9999/12/31", 265046688000},
        {"2024-02-29", 13353638400},   // separators are not looked at
        {"2024/02/ 9", 13351910400},   // blanks before a piece are skipped
        {"2024/\n3/05", 13354070400},  // and line feeds
        // no valid date
        {"", 0},
        {"1600/12/31", 0},
        {"2024/13/01", 0},
        {"2024/00/10", 0},
        {"2024/04/31", 0},
        {"2024/06/31", 0},
        {"2024/3/5", 0},               // the day piece "/5" holds no number
        {"abcd/ef/gh", 0},
    };
    for (const Case& c : kCases)
        EXPECT_EQ(DateTextToSeconds(c.text), c.seconds) << '"' << c.text << '"';
    // Wine 8 takes 29 February of any year as a valid date; Windows and our
    // native stand-in refuse it outside leap years. Event-time texts never
    // name such a date, so the difference cannot reach the list.
    if (!RunningUnderWine()) {
        EXPECT_EQ(DateTextToSeconds("2023/02/29"), 0);
        EXPECT_EQ(DateTextToSeconds("1900/02/29"), 0);
    }
    EXPECT_EQ(DateTextToSeconds("2024/02/29") - DateTextToSeconds("1970/01/01"), 19782 * 86400);
}

TEST(TimeTextToSeconds, ReadsEightCharactersAfterTrimmingBlanks)
{
    struct Case {
        const char* text;
        int64_t seconds;
    };
    static const Case kCases[] = {
        {"00:00:00", 0},
        {"23:59:59", 86399},
        {" 07:05:09 ", 25509},
        {"   07:05:09", 25509},
        {"12-34-56", 45296},     // separators are not looked at
        {"\t7:05:09", 25509},    // only blanks are trimmed; the tab is skipped inside the piece
        {"99:99:99", 362439},
        {"7:05:09", 0},
        {"07:05:090", 0},
        {"", 0},
        {"        ", 0},
    };
    for (const Case& c : kCases)
        EXPECT_EQ(TimeTextToSeconds(c.text), c.seconds) << '"' << c.text << '"';
}

}  // namespace
