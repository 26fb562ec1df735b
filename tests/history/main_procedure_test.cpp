// The main procedure end to end over our record source: the read loop, its
// regrowth, its failure messages, and what reaches the window.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>

#include "history/boot_history.h"
#include "history/read_buffer_seam.h"
#include "replay/message_box_recorder.h"
#include "replay/record_source.h"
#include "replay/window_recorder.h"
#include "test_support/record_builder.h"

namespace {

constexpr uint32_t kTime = 1700000000;
constexpr uint32_t kBigRecord = 200000;  // two fit into the first buffer

void RunProgram(EventLogScript script)
{
    LoadEventLogScript(std::move(script));
    ClearRecordedMessageBoxes();
    ClearRecordedWindow();
    SilenceMessageBoxes(true);
    char noArguments[] = "";
    EXPECT_EQ(TallyvaneMain(nullptr, nullptr, noArguments, 10), 0);
}

void ExpectOneBox(const std::string& text)
{
    ASSERT_EQ(RecordedMessageBoxes().size(), 1u);
    EXPECT_EQ(RecordedMessageBoxes()[0].text, text);
    EXPECT_EQ(RecordedMessageBoxes()[0].caption, "Tallyvane");
    EXPECT_EQ(RecordedMessageBoxes()[0].style, 0x10u);
}

// Boot cycles, newest first, each of big records so that a log of a few
// cycles needs several reads: stop, filler, boot.
EventLogScript CyclesOfBigRecords(int cycles)
{
    EventLogScript script;
    for (int i = 0; i < cycles; ++i) {
        const uint32_t start = kTime - 100000 * (i + 1);
        AppendRecord(&script, start + 5000 + i, kStopMarkerId, 4, kBigRecord);
        AppendRecord(&script, start + 10, 0x40000001, 4, kBigRecord);
        AppendRecord(&script, start, kBootMarkerId, 4, kBigRecord);
    }
    return script;
}

// The end of the log, and a read that succeeds but delivers nothing (which,
// read again, would deliver nothing for ever), both end the reading quietly.
TEST(MainProcedure, LogThatDeliversNoMoreEndsQuietlyWithWhatWasGathered)
{
    const struct {
        const char* what;
        int cycles;
        uint32_t emptyReadsFrom;
        size_t reads;
        int rows;
    } kCases[] = {
        {"empty log", 0, 0, 1, 0},
        {"first read empty", 2, 1, 1, 0},
        {"third read empty", 2, 3, 3, 1},  // the first two held cycle 1 and cycle 2's stop
    };
    for (const auto& c : kCases) {
        EventLogScript script = CyclesOfBigRecords(c.cycles);
        script.emptyReadsFrom = c.emptyReadsFrom;
        RunProgram(std::move(script));
        EXPECT_TRUE(RecordedMessageBoxes().empty()) << c.what;
        EXPECT_EQ(RecordedWindowSoFar().shows, 1) << c.what;
        EXPECT_EQ(bootEventCount, c.rows) << c.what;
        EXPECT_EQ(EventLogTraceSoFar().readSizes.size(), c.reads) << c.what;
        EXPECT_EQ(EventLogTraceSoFar().closes, 1) << c.what;
        EXPECT_FALSE(EventLogTraceSoFar().open) << c.what;
    }
}

TEST(MainProcedure, OpenFailureShowsItsCodeAsSignedAndNoWindow)
{
    const struct {
        uint32_t code;
        const char* text;
    } kCases[] = {
        {5, "Can't open event log! 5"},
        {0x80000005, "Can't open event log!-2147483643"},
    };
    for (const auto& c : kCases) {
        EventLogScript script = CyclesOfBigRecords(1);
        script.openError = c.code;
        RunProgram(std::move(script));
        ExpectOneBox(c.text);
        EXPECT_EQ(RecordedWindowSoFar().shows, 0);
        EXPECT_TRUE(EventLogTraceSoFar().readSizes.empty());
    }
}

// The last read holds one record where earlier ones held two; the bytes of
// the previous read left behind it (a boot) must not be walked again.
TEST(MainProcedure, ReadsEveryRecordOnceAcrossSeveralReads)
{
    EventLogScript script = CyclesOfBigRecords(4);
    AppendRecord(&script, kTime - 500000, kBootMarkerId, 4, kBigRecord);
    RunProgram(std::move(script));
    EXPECT_TRUE(RecordedMessageBoxes().empty());
    ASSERT_EQ(bootEventCount, 5);
    for (int r = 0; r < 4; ++r) {
        const uint32_t start = kTime - 100000 * (r + 1);
        EXPECT_STREQ(bootEventTable[r].startText.data(), FormatEventTime(start).data());
        EXPECT_STREQ(bootEventTable[r].stopText.data(), FormatEventTime(start + 5000 + r).data());
    }
    EXPECT_STREQ(bootEventTable[4].startText.data(), FormatEventTime(kTime - 500000).data());
    EXPECT_STREQ(bootEventTable[4].stopText.data(), "");
    const EventLogTrace& trace = EventLogTraceSoFar();
    EXPECT_EQ(trace.readSizes.size(), 8u);  // six reads of two records, one of one, then the end
    for (uint32_t size : trace.readSizes)
        EXPECT_EQ(size, kInitialReadBufferSize);
    EXPECT_EQ(RecordedWindowSoFar().shows, 1);
}

TEST(MainProcedure, RecordLargerThanTheBufferGrowsItAndIsRead)
{
    EventLogScript script;
    AppendRecord(&script, kTime, kBootMarkerId, 4);
    AppendRecord(&script, kTime - 50, kStopMarkerId, 4, kInitialReadBufferSize + 101);
    AppendRecord(&script, kTime - 100, kBootMarkerId, 4);
    RunProgram(std::move(script));
    EXPECT_TRUE(RecordedMessageBoxes().empty());
    ASSERT_EQ(bootEventCount, 2);
    EXPECT_STREQ(bootEventTable[1].stopText.data(), FormatEventTime(kTime - 50).data());
    // The first read stops short of the big record, the second reports its size,
    // and every later read, the end included, uses the grown buffer.
    const uint32_t grown = kInitialReadBufferSize + 101;
    const std::vector<uint32_t> sizes = {kInitialReadBufferSize, kInitialReadBufferSize, grown, grown, grown};
    EXPECT_EQ(EventLogTraceSoFar().readSizes, sizes);
}

// Reporting 122 with a size no larger than the buffer would repeat the same
// read for ever; it is shown as a read failure instead.
TEST(MainProcedure, RegrowthThatCannotHelpIsAReadFailure)
{
    for (uint32_t needed : {0u, 56u, kInitialReadBufferSize}) {
        EventLogScript script = CyclesOfBigRecords(2);
        script.bogusShortRead = 2;
        script.bogusShortReadNeeded = needed;
        RunProgram(std::move(script));
        ExpectOneBox("Failed to read event log! 122");
        EXPECT_EQ(EventLogTraceSoFar().readSizes.size(), 2u) << needed;
        EXPECT_EQ(bootEventCount, 0) << "the first read held a stop and a filler only";
        EXPECT_EQ(RecordedWindowSoFar().shows, 1);
    }
}

int allocationsBeforeFailure = 0;

// A read-buffer allocator under which allocationsBeforeFailure allocations
// succeed and the next one fails.
void* FailingAllocator(uint32_t size)
{
    if (allocationsBeforeFailure-- == 0)
        return nullptr;
    return std::calloc(size, 1);
}

// No memory for a read buffer, the first or a grown one, is a read failure
// with the too-small-buffer code; the rows gathered so far are shown.
TEST(MainProcedure, ReadBufferThatCannotBeAllocatedIsAReadFailure)
{
    const struct {
        const char* what;
        int allocationsBeforeFailure;
        size_t reads;
        int rows;
    } kCases[] = {
        {"first buffer", 0, 0, 0},
        {"buffer grown for the big record", 1, 2, 1},  // the first read held the newest boot
    };
    for (const auto& c : kCases) {
        EventLogScript script;
        AppendRecord(&script, kTime, kBootMarkerId, 4);
        AppendRecord(&script, kTime - 50, kStopMarkerId, 4, kInitialReadBufferSize + 101);
        AppendRecord(&script, kTime - 100, kBootMarkerId, 4);
        void* (*const saved)(uint32_t) = readBufferAllocator;
        readBufferAllocator = FailingAllocator;
        allocationsBeforeFailure = c.allocationsBeforeFailure;
        RunProgram(std::move(script));
        readBufferAllocator = saved;
        SCOPED_TRACE(c.what);
        ExpectOneBox("Failed to read event log! 122");
        EXPECT_EQ(EventLogTraceSoFar().readSizes.size(), c.reads);
        ASSERT_EQ(bootEventCount, c.rows);
        if (c.rows == 1) {
            EXPECT_STREQ(bootEventTable[0].startText.data(), FormatEventTime(kTime).data());
            EXPECT_STREQ(bootEventTable[0].stopText.data(), "");
        }
        EXPECT_EQ(RecordedWindowSoFar().shows, 1);
        EXPECT_EQ(EventLogTraceSoFar().closes, 1);
        EXPECT_FALSE(EventLogTraceSoFar().open);
    }
}

TEST(MainProcedure, TitleCountsTheCyclesShown)
{
    RunProgram(CyclesOfBigRecords(3));
    const std::string& text = RecordedWindowSoFar().text;
    EXPECT_EQ(text.substr(0, text.find('\n')),
              "Tallyvane Version1.0 - Shows 3 items - Orvensmith: https://www.orvensmith.com");
}

TEST(MainProcedure, MoreBootsThanTheTableHoldsKeepsTheNewest)
{
    EventLogScript script;
    for (int i = 0; i < kBootEventCapacity + 5; ++i) {
        AppendRecord(&script, kTime - 600 * i - 1, kStopMarkerId, 4);
        AppendRecord(&script, kTime - 600 * i - 300, kBootMarkerId, 4);
    }
    RunProgram(std::move(script));
    ASSERT_EQ(bootEventCount, kBootEventCapacity);
    EXPECT_STREQ(bootEventTable[kBootEventCapacity - 1].startText.data(),
                 FormatEventTime(kTime - 600 * (kBootEventCapacity - 1) - 300).data());
    EXPECT_STREQ(bootEventTable[kBootEventCapacity - 1].stopText.data(),
                 FormatEventTime(kTime - 600 * (kBootEventCapacity - 1) - 1).data());
}

}  // namespace
