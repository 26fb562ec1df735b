// Speed of the .evtx reader: ParseEvtxImage over a whole large log held in
// memory, every record turned into an EVENTLOGRECORD, in bytes of file per
// second. The log is the one scripts/bench makes with make_big_evtx.py:
//   build/native/benchmarks/evtx_bench FILE.evtx   (or TALLYVANE_BIG_EVTX=FILE.evtx)

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "savedlog/saved_log.h"

namespace {

const char* gLogPath = nullptr;

// The whole file at `path`, or an empty vector when it cannot be read.
std::vector<uint8_t> ReadWholeFile(const char* path)
{
    std::vector<uint8_t> image;
    std::FILE* file = std::fopen(path, "rb");
    if (!file)
        return image;
    uint8_t block[1 << 16];
    for (size_t got; (got = std::fread(block, 1, sizeof block, file)) > 0;)
        image.insert(image.end(), block, block + got);
    std::fclose(file);
    return image;
}

// Each iteration fills a fresh stream, as evt-replay's one run does, so that
// growing the stream's buffers is counted too, and asks for the log's facts
// as evt-replay does.
void ParseBigEvtx(benchmark::State& state)
{
    if (!gLogPath) {
        state.SkipWithError("no log: give FILE.evtx or set TALLYVANE_BIG_EVTX");
        return;
    }
    const std::vector<uint8_t> image = ReadWholeFile(gLogPath);
    if (image.empty()) {
        state.SkipWithError((std::string("cannot read ") + gLogPath).c_str());
        return;
    }
    size_t records = 0;
    for (auto _ : state) {
        RecordStream stream;
        SkippedParts skipped;
        std::string error;
        LogFacts facts;
        if (!ParseEvtxImage(image.data(), image.size(), &stream, &skipped, &error, &facts)) {
            state.SkipWithError(error.c_str());
            return;
        }
        records = stream.newestFirst.size();
        benchmark::DoNotOptimize(stream.bytes.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(image.size()));
    state.counters["records"] = static_cast<double>(records);
}

}  // namespace

BENCHMARK(ParseBigEvtx)->Unit(benchmark::kMillisecond);

// The log's path is the one argument Google Benchmark leaves, else TALLYVANE_BIG_EVTX.
int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    gLogPath = argc > 1 ? argv[1] : std::getenv("TALLYVANE_BIG_EVTX");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
