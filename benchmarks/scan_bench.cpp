// Speed of the record walk over one full first read (0x7FFFF bytes): the
// newest records of the real XP System log, and a synthetic log of the same
// mix. Reproduce with: build/native/benchmarks/scan_bench

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "history/boot_history.h"
#include "history/platform.h"
#include "replay/record_source.h"
#include "savedlog/saved_log.h"
#include "test_support/record_builder.h"

#ifndef TALLYVANE_DATA_DIR
#define TALLYVANE_DATA_DIR "samples"
#endif

namespace {

// The bytes of the first read of `script`, as the program's read loop gets them.
std::vector<uint8_t> FirstRead(EventLogScript script)
{
    LoadEventLogScript(std::move(script));
    std::vector<uint8_t> buffer(kInitialReadBufferSize);
    EventLogHandle log = PlatformOpenEventLog("System");
    uint32_t bytesRead = 0, bytesNeeded = 0;
    if (!PlatformReadEventLog(log, kBackwardsSequentialRead, 0, buffer.data(), kInitialReadBufferSize, &bytesRead,
                              &bytesNeeded))
        std::abort();
    PlatformCloseEventLog(log);
    buffer.resize(bytesRead);
    return buffer;
}

void ScanBuffer(benchmark::State& state, const std::vector<uint8_t>& buffer)
{
    ResetBootEventTable();
    for (auto _ : state) {
        ScanRecordBuffer(buffer.data(), static_cast<uint32_t>(buffer.size()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(buffer.size()));
}

void ScanRealLog(benchmark::State& state)
{
    EventLogScript script;
    SkippedParts skipped;
    std::string error;
    if (!LoadSavedLogCopied(TALLYVANE_DATA_DIR "/SysEvent.Evt", &script, &skipped, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    ScanBuffer(state, FirstRead(std::move(script)));
}

// Records of 96 to 400 bytes, one marker in about 250 as in the real log.
void ScanSyntheticLog(benchmark::State& state)
{
    EventLogScript script;
    uint32_t seed = 12345;
    for (uint32_t i = 0; script.bytes.size() < kInitialReadBufferSize; ++i) {
        seed = seed * 1103515245 + 12345;
        const uint32_t size = 96 + (seed >> 16) % 304 / 4 * 4;
        const uint32_t eventId = i % 250 == 0 ? kBootMarkerId : i % 250 == 125 ? kStopMarkerId : 0x40000000 + i % 97;
        AppendRecord(&script, 1300000000 - i * 60, eventId, static_cast<uint16_t>(1 << (i % 3)) | 4 * (i % 5 == 0),
                     size);
    }
    ScanBuffer(state, FirstRead(std::move(script)));
}

}  // namespace

BENCHMARK(ScanRealLog);
BENCHMARK(ScanSyntheticLog);
BENCHMARK_MAIN();
