// A read failure at every possible read of a log that needs many reads and
// regrows its buffer: one message with the right code, and exactly the rows
// of the records delivered before the failure, no more and no fewer.

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "history/boot_history.h"
#include "replay/message_box_recorder.h"
#include "replay/record_source.h"
#include "replay/window_recorder.h"
#include "test_support/record_builder.h"

namespace {

// About 3,000 records of 96 to 400 bytes, boot cycles among them, and every
// 700th record larger than the first read buffer, so the buffer grows twice.
EventLogScript ManyReadsLog()
{
    EventLogScript script;
    uint32_t seed = 2024;
    for (uint32_t i = 0; i < 3000; ++i) {
        seed = seed * 1103515245 + 12345;
        uint32_t size = 96 + (seed >> 16) % 304 / 4 * 4;
        if (i % 700 == 350)
            size = kInitialReadBufferSize + 4096 * (i / 700 + 1);
        const uint32_t eventId = i % 40 == 0 ? kStopMarkerId : i % 40 == 20 ? kBootMarkerId : 0x40000000 + i;
        AppendRecord(&script, 1600000000 - 90 * i, eventId, 4, size);
    }
    return script;
}

// Runs the program over `script`; returns what the window would show.
std::string RunProgram(EventLogScript script)
{
    LoadEventLogScript(std::move(script));
    ClearRecordedMessageBoxes();
    ClearRecordedWindow();
    SilenceMessageBoxes(true);
    char noArguments[] = "";
    TallyvaneMain(nullptr, nullptr, noArguments, 10);
    return RecordedWindowSoFar().text;
}

TEST(FaultInjection, EveryReadThatFailsKeepsExactlyTheRecordsBeforeIt)
{
    const EventLogScript full = ManyReadsLog();
    RunProgram(full);
    const EventLogTrace fullTrace = EventLogTraceSoFar();
    const size_t reads = fullTrace.readSizes.size();
    ASSERT_GE(reads, 8u) << "the log must need several reads";
    ASSERT_GT(fullTrace.readSizes.back(), kInitialReadBufferSize) << "the buffer must have grown";

    const struct {
        uint32_t code;
        const char* text;
    } kCodes[] = {
        {1503, "Failed to read event log! 1503"},
        {5, "Failed to read event log! 5"},
        {1500, "Failed to read event log! 1500"},
        {0x80000005, "Failed to read event log! 2147483653"},
    };
    for (size_t k = 1; k <= reads; ++k) {
        EventLogScript cut = full;
        cut.newestFirst.resize(fullTrace.recordsBeforeRead[k - 1]);
        const std::string expected = RunProgram(std::move(cut));
        for (const auto& c : kCodes) {
            EventLogScript failing = full;
            failing.failingRead = static_cast<uint32_t>(k);
            failing.failingReadCode = c.code;
            const std::string shown = RunProgram(std::move(failing));
            ASSERT_EQ(RecordedMessageBoxes().size(), 1u) << "read " << k;
            EXPECT_EQ(RecordedMessageBoxes()[0].text, c.text) << "read " << k;
            EXPECT_EQ(RecordedWindowSoFar().shows, 1) << "read " << k;
            EXPECT_EQ(shown, expected) << "read " << k << " failed with " << c.code;
            EXPECT_EQ(EventLogTraceSoFar().closes, 1);
            EXPECT_FALSE(EventLogTraceSoFar().open);
        }
    }
}

}  // namespace
