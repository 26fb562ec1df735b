// The walk over one read's records: which records are markers, and what a
// malformed record does to the walk.

#include <gtest/gtest.h>

#include <cstring>

#include "history/boot_history.h"
#include "replay/record_source.h"
#include "test_support/record_builder.h"

namespace {

constexpr uint32_t kTime = 1000000000;

// Scans the records of `script` as one read would deliver them.
void ScanAll(const EventLogScript& script, uint32_t byteCount)
{
    ResetBootEventTable();
    ScanRecordBuffer(script.bytes.data(), byteCount);
}

void ScanAll(const EventLogScript& script)
{
    ScanAll(script, static_cast<uint32_t>(script.bytes.size()));
}

TEST(ScanRecordBuffer, KeepsOnlyInformationRecordsWithAWholeMarkerId)
{
    struct Case {
        const char* what;
        uint32_t eventId;
        uint16_t eventType;
        bool isBoot;
    };
    static const Case kCases[] = {
        {"boot marker", kBootMarkerId, 4, true},
        {"boot id as a warning", kBootMarkerId, 2, false},
        {"boot id as an error", kBootMarkerId, 1, false},
        {"boot id with the type's high byte set", kBootMarkerId, 0x0104, false},
        {"low 16 bits only", 0x00001779, 4, false},
        {"other qualifier bits", 0xC0001779, 4, false},
        {"neighbouring id", 0x8000177A, 4, false},
    };
    for (const Case& c : kCases) {
        EventLogScript script;
        AppendRecord(&script, kTime, c.eventId, c.eventType);
        ScanAll(script);
        EXPECT_EQ(bootEventCount, c.isBoot ? 1 : 0) << c.what;
    }
}

TEST(ScanRecordBuffer, StoresTimeWrittenOfStopsAndBootsNewestFirst)
{
    EventLogScript script;
    AppendRecord(&script, kTime + 500, kBootMarkerId, 4, 120);
    AppendRecord(&script, kTime + 400, 0x12345678, 4, 200);
    AppendRecord(&script, kTime + 300, kStopMarkerId, 4, 64);
    AppendRecord(&script, kTime + 250, kStopMarkerId, 2);
    AppendRecord(&script, kTime + 200, kBootMarkerId, 4);
    ScanAll(script);
    ASSERT_EQ(bootEventCount, 2);
    // The record's TimeGenerated differs from TimeWritten; the text is TimeWritten's.
    EXPECT_STREQ(bootEventTable[0].startText.data(), FormatEventTime(kTime + 500).data());
    EXPECT_STREQ(bootEventTable[0].stopText.data(), "");
    EXPECT_STREQ(bootEventTable[1].startText.data(), FormatEventTime(kTime + 200).data());
    EXPECT_STREQ(bootEventTable[1].stopText.data(), FormatEventTime(kTime + 300).data());
}

// A record that cannot be whole ends the walk; markers before it stay.
TEST(ScanRecordBuffer, StopsAtARecordWhoseLengthCannotBeTrusted)
{
    struct Case {
        const char* what;
        uint32_t lengthField;
        uint32_t size = 64;  // of the middle record, between two of 56 bytes
    };
    static const Case kCases[] = {
        {"Length 0", 0xFFFFFFFF},  // 0 is spelled as all ones below, then patched
        {"Length below the header", 12},
        {"Length of 55", 55},
        {"Length past the delivered bytes", 4096},
        {"Length that wraps the position", 0xFFFFFFF0},
        // 120 bytes from the middle record's start lie within the whole read
        // but past what is left of it there.
        {"Length past the bytes left, within the read", 120, 56},
    };
    for (const Case& c : kCases) {
        EventLogScript script;
        AppendRecord(&script, kTime, kBootMarkerId, 4);
        AppendRecord(&script, kTime, kBootMarkerId, 4, c.size, c.lengthField);
        AppendRecord(&script, kTime, kBootMarkerId, 4);
        if (c.lengthField == 0xFFFFFFFF)
            std::memset(script.bytes.data() + 56, 0, 4);
        ScanAll(script);
        EXPECT_EQ(bootEventCount, 1) << c.what;
    }
}

TEST(ScanRecordBuffer, WalksOnlyTheBytesTheReadDelivered)
{
    EventLogScript script;
    AppendRecord(&script, kTime, kBootMarkerId, 4);
    AppendRecord(&script, kTime, kBootMarkerId, 4);
    AppendRecord(&script, kTime, kBootMarkerId, 4);
    const struct {
        uint32_t byteCount;
        int boots;
    } kCases[] = {{0, 0}, {55, 0}, {56, 1}, {111, 1}, {112, 2}, {168, 3}};
    for (const auto& c : kCases) {
        ScanAll(script, c.byteCount);
        EXPECT_EQ(bootEventCount, c.boots) << c.byteCount << " bytes";
    }
}

}  // namespace
