// The cycles as JSON: an object per file, an element of one array or a line
// of its own (JSON Lines). Only built and dumped, with invalid UTF-8
// replaced, so nothing here throws.

#include <nlohmann/json.hpp>

#include "evt-replay/json_text.h"
#include "evt-replay/replay.h"

namespace {

using Json = nlohmann::ordered_json;  // fields in the order written, as a reader expects them

constexpr int kJsonIndent = 2;

// What the reader passed over in a damaged file, field for field of SkippedParts.
Json SkippedJson(const SkippedParts& skipped)
{
    return Json{{"chunks", skipped.chunks}, {"records", skipped.records}, {"recovered", skipped.recovered}};
}

// What the file's header says the file lacks, or null for a file not cut short.
Json CutJson(const SkippedParts& skipped)
{
    if (!skipped.cut)
        return nullptr;
    return Json{{"chunks_counted", skipped.chunksCounted},
                {"chunks_missing", skipped.chunksMissing},
                {"records_missing", skipped.recordsMissing}};
}

// A cycle without a stop has null stop and elapsed_seconds; its state says why.
// died_after is null but for a died cycle.
Json CycleJson(size_t index, const ReplayCycle& cycle, const std::string& logHost)
{
    const bool stopped = cycle.state == CycleState::kStopped;
    Json json{{"index", index},
              {"start", IsoTime(cycle.start)},
              {"stop", nullptr},
              {"elapsed_seconds", nullptr},
              {"state", CycleStateWord(cycle.state)},
              {"host", cycle.host.empty() ? logHost : cycle.host},
              {"died_after", nullptr}};
    if (stopped) {
        json["stop"] = IsoTime(cycle.stop);
        json["elapsed_seconds"] = cycle.stop - cycle.start;
    }
    if (cycle.state == CycleState::kDied)
        json["died_after"] = IsoTime(cycle.diedAfter);
    return json;
}

// The object dumped as one line, or indented as an element of the array.
// File names need not be UTF-8; their other bytes become U+FFFD.
std::string Dumped(const Json& object, bool oneLine)
{
    if (oneLine)
        return object.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
    const std::string text = object.dump(kJsonIndent, ' ', false, Json::error_handler_t::replace);
    std::string indented(kJsonIndent, ' ');
    for (char c : text) {
        indented += c;
        if (c == '\n')
            indented.append(kJsonIndent, ' ');
    }
    return indented;
}

}  // namespace

std::string DumpedJson(const nlohmann::ordered_json& object, bool oneLine)
{
    return Dumped(object, oneLine);
}

// The file's object, its cycles numbered from 1 in the text's order.
std::string JsonFileText(const ReplayFile& file, bool oneLine)
{
    Json cycles = Json::array();
    for (size_t i = 0; i < file.cycles.size(); ++i) {
        if (CycleInRange(file, i))
            cycles.push_back(CycleJson(i + 1, file.cycles[i], file.host));
    }
    const StatedZoneFields zone = ZoneFieldsOf(file);
    return Dumped(Json{{"file", file.path},
                       {"host", file.host},
                       {"zone_stated", zone.name},
                       {"zone_used", file.zoneUsed},
                       {"zone_bias", zone.biasStated ? Json(zone.bias) : Json(nullptr)},
                       {"title", file.title},
                       {"skipped", SkippedJson(file.skipped)},
                       {"log_end", file.anyRecord ? Json(IsoTime(file.logEnd)) : Json(nullptr)},
                       {"damaged", !SkippedPartsText(file.skipped).empty()},
                       {"cut", CutJson(file.skipped)},
                       {"system_log", file.systemLog},
                       {"cycles", std::move(cycles)}},
                  oneLine);
}

// A file that could not be read, and why, so that a reader of the output
// sees every file named.
std::string JsonErrorText(const std::string& path, const std::string& error, bool oneLine)
{
    return Dumped(Json{{"file", path}, {"error", error}}, oneLine);
}
