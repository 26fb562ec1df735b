// Arbitrary file bytes through the .evtx reader and, when it accepts them,
// the program's scan over what it made, delivered as the reads would deliver
// it, and the texts of every row the window would show. The read loop and
// the event-log seam in between are the .evt replay's (evt_replay_fuzz): the
// stream they serve is the same, and going through them here would cost a
// fresh huge-page buffer per input, a twentieth of the speed.

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "history/boot_history.h"
#include "power/power_history.h"
#include "savedlog/saved_log.h"
#include "tests/fuzz/power_fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    RecordStream stream;
    SkippedParts skipped;
    std::string error;
    // Facts asked for or not, by the input's length.
    LogFacts facts;
    LogFacts* wanted = size % 2 ? &facts : nullptr;
    // With the facts, the power records too, and the history made of them.
    std::vector<PowerEvent> power;
    facts.power = &power;
    if (!ParseEvtxImage(data, size, &stream, &skipped, &error, wanted))
        return 0;
    // Every input also takes the power path, which facts not asked for would pass by.
    if (!wanted) {
        RecordStream again;
        ParseEvtxImage(data, size, &again, &skipped, &error, &facts);
    }
    CheckPowerHistory(power);
    // Asked for the crash records alone, the reader keeps exactly those of the full list.
    LogFacts crashFacts;
    std::vector<PowerEvent> crashes;
    crashFacts.power = &crashes;
    crashFacts.crashesOnly = true;
    RecordStream crashStream;
    ParseEvtxImage(data, size, &crashStream, &skipped, &error, &crashFacts);
    size_t nextCrash = 0;
    for (const PowerEvent& event : power) {
        if (event.id != kPowerUnexpectedId)
            continue;
        if (nextCrash >= crashes.size() || crashes[nextCrash].record != event.record ||
            crashes[nextCrash].lastRunning != event.lastRunning)
            __builtin_trap();
        ++nextCrash;
    }
    if (nextCrash != crashes.size())
        __builtin_trap();
    // Every record is one whole 64-byte record, laid newest first.
    for (size_t i = 0; i < stream.newestFirst.size(); ++i) {
        const RecordSpan& span = stream.newestFirst[i];
        if (span.size != 64 || span.offset != i * 64 || size_t{span.offset} + span.size > stream.bytes.size())
            __builtin_trap();
    }
    // Each read holds as many whole records as fit, in an exact-size copy so
    // that reading a byte past it is caught.
    constexpr uint32_t kPerRead = kInitialReadBufferSize / 64 * 64;
    ResetBootEventTable();
    for (size_t at = 0; at < stream.bytes.size(); at += kPerRead) {
        const uint32_t count = static_cast<uint32_t>(std::min<size_t>(kPerRead, stream.bytes.size() - at));
        std::unique_ptr<uint8_t[]> delivery(new uint8_t[count]);
        std::memcpy(delivery.get(), stream.bytes.data() + at, count);
        ScanRecordBuffer(delivery.get(), count);
    }
    for (int r = 0; r < bootEventCount; ++r)
        FormCycleRow(r);
    return 0;
}
