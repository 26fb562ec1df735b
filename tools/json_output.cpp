// The cycles as one JSON document: an array with one object per file read.
// Only built and dumped, with invalid UTF-8 replaced, so nothing here throws.

#include <nlohmann/json.hpp>

#include "tools/replay.h"

namespace {

using Json = nlohmann::ordered_json;  // fields in the order written, as a reader expects them

constexpr int kJsonIndent = 2;

Json document = Json::array();

// What the reader passed over in a damaged file, field for field of SkippedParts.
Json SkippedJson(const SkippedParts& skipped)
{
    return Json{{"chunks", skipped.chunks}, {"records", skipped.records}, {"recovered", skipped.recovered}};
}

// A cycle without a stop has null stop and elapsed_seconds; its state says why.
Json CycleJson(size_t index, const ReplayCycle& cycle)
{
    const bool stopped = cycle.state == CycleState::kStopped;
    Json json{{"index", index},
              {"start", IsoTime(cycle.start)},
              {"stop", nullptr},
              {"elapsed_seconds", nullptr},
              {"state", CycleStateWord(cycle.state)}};
    if (stopped) {
        json["stop"] = IsoTime(cycle.stop);
        json["elapsed_seconds"] = cycle.stop - cycle.start;
    }
    return json;
}

}  // namespace

// Appends the file's object, its cycles numbered from 1 in the text's order.
void AddJsonFile(const ReplayFile& file)
{
    Json cycles = Json::array();
    for (size_t i = 0; i < file.cycles.size(); ++i)
        cycles.push_back(CycleJson(i + 1, file.cycles[i]));
    document.push_back(Json{{"file", file.path},
                            {"host", file.host},
                            {"zone_stated", file.zoneStated},
                            {"zone_used", file.zoneUsed},
                            {"title", file.title},
                            {"skipped", SkippedJson(file.skipped)},
                            {"cycles", std::move(cycles)}});
}

// File names need not be UTF-8; their other bytes become U+FFFD.
void WriteJsonDocument(FILE* out)
{
    const std::string text = document.dump(kJsonIndent, ' ', false, Json::error_handler_t::replace) + "\n";
    std::fwrite(text.data(), 1, text.size(), out);
}
