// How boot and stop markers met newest first land in the table's rows.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "history/boot_history.h"

namespace {

EventTimeText Text(const std::string& chars)
{
    EventTimeText text{};
    std::snprintf(text.data(), text.size(), "%s", chars.c_str());
    return text;
}

// Stores a newest-first sequence such as "B:A S:B B:C" (B = boot, S = stop).
void StoreSequence(const std::vector<std::string>& markers)
{
    ResetBootEventTable();
    for (const std::string& marker : markers) {
        if (marker[0] == 'B')
            StoreBootStart(Text(marker.substr(2)));
        else
            StoreBootStop(Text(marker.substr(2)));
    }
}

struct Row {
    std::string start;
    std::string stop;
    bool operator==(const Row& other) const { return start == other.start && stop == other.stop; }
};

std::vector<Row> FilledRows()
{
    std::vector<Row> rows;
    for (int r = 0; r < bootEventCount; ++r)
        rows.push_back({bootEventTable[r].startText.data(), bootEventTable[r].stopText.data()});
    return rows;
}

TEST(BootEventTable, PairsEachBootWithTheStopsMetBeforeIt)
{
    struct Case {
        const char* what;
        std::vector<std::string> markers;
        std::vector<Row> rows;
    };
    const Case kCases[] = {
        {"no markers", {}, {}},
        {"running, then a stopped cycle", {"B:A", "S:B", "B:C"}, {{"A", ""}, {"C", "B"}}},
        {"two stops: the older stands", {"S:B1", "S:B2", "B:C"}, {{"C", "B2"}}},
        {"two boots without a stop", {"B:A1", "B:A2"}, {{"A1", ""}, {"A2", ""}}},
        {"oldest marker is a stop", {"B:A", "S:B"}, {{"A", ""}}},
    };
    for (const Case& c : kCases) {
        StoreSequence(c.markers);
        EXPECT_EQ(FilledRows(), c.rows) << c.what;
    }
}

TEST(BootEventTable, StopOlderThanEveryBootWaitsInTheFirstFreeRow)
{
    StoreSequence({"B:A", "S:B"});
    EXPECT_EQ(bootEventCount, 1);
    EXPECT_STREQ(bootEventTable[1].stopText.data(), "B");
    EXPECT_STREQ(bootEventTable[1].startText.data(), "");
}

TEST(BootEventTable, ResetEmptiesRowsLeftByAnEarlierScan)
{
    StoreSequence({"S:X", "B:Y", "S:Z"});
    ResetBootEventTable();
    EXPECT_EQ(bootEventCount, 0);
    EXPECT_STREQ(bootEventTable[0].startText.data(), "");
    EXPECT_STREQ(bootEventTable[1].stopText.data(), "");
}

// A full table ignores further starts and stops alike: the count stops at
// the capacity and the last row keeps what it had. (The sanitized build
// would report a write past the last row.)
TEST(BootEventTable, FullTableIgnoresFurtherStartsAndStops)
{
    ResetBootEventTable();
    for (int i = 0; i < kBootEventCapacity; ++i) {
        StoreBootStop(Text("stop " + std::to_string(i)));
        StoreBootStart(Text("boot " + std::to_string(i)));
    }
    ASSERT_EQ(bootEventCount, kBootEventCapacity);
    StoreBootStop(Text("late stop"));
    StoreBootStart(Text("late boot"));
    StoreBootStop(Text("later stop"));
    EXPECT_EQ(bootEventCount, kBootEventCapacity);
    EXPECT_STREQ(bootEventTable[kBootEventCapacity - 1].startText.data(), "boot 9999");
    EXPECT_STREQ(bootEventTable[kBootEventCapacity - 1].stopText.data(), "stop 9999");
}

}  // namespace
