// The power history of a log as text, CSV, JSON and JSON Lines: one entry per
// period on and awake, newest first, then the file's totals. The words for
// how a period began and ended are the power history's own, fixed.

#include <cinttypes>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "evt-replay/json_text.h"
#include "evt-replay/replay.h"

namespace {

using Json = nlohmann::ordered_json;

constexpr std::string_view kPowerCsvHeader =
    "file,index,start,end,began,ended,on_seconds,last_known,initiator,host,zone_stated,zone_used,zone_bias,asleep_seconds,"
    "off_seconds";
constexpr std::string_view kCsvLineEnd = "\r\n";
constexpr std::string_view kTotalsIndex = "totals";  // the index of a file's totals row

// "3 d 04:05:06" or "04:05:06": a span a person reads at a glance.
std::string SpanText(int64_t seconds)
{
    char text[48];
    const int64_t days = seconds / 86400, rest = seconds % 86400;
    if (days > 0)
        std::snprintf(text, sizeof text, "%" PRId64 " d %02d:%02d:%02d", days, static_cast<int>(rest / 3600),
                      static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
    else
        std::snprintf(text, sizeof text, "%02d:%02d:%02d", static_cast<int>(rest / 3600),
                      static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
    return text;
}

// The time a period ended, for the outputs: none while it runs.
bool HasEnd(const PowerPeriod& period)
{
    return period.ended != PowerEnded::kRunning;
}

// The first period's start and the newest one's end (or the log's newest record).
void Span(const PowerHistory& power, int64_t* first, int64_t* last)
{
    *first = power.periods.empty() ? 0 : power.periods.back().start;
    *last = power.periods.empty() ? 0 : power.periods.front().end;
}

}  // namespace

// A running period's end shows as "-"; a died one's is the last moment known to run.
std::string PowerFileText(const ReplayFile& file)
{
    const PowerHistory& power = file.power;
    std::string text = "Power history: " + std::to_string(power.periods.size()) + " periods on, newest first\n";
    for (const PowerPeriod& period : power.periods) {
        text += IsoTime(period.start) + '\t' + (HasEnd(period) ? IsoTime(period.end) : "-") + '\t' +
                PowerBeganWord(period.began) + '\t' + PowerEndedWord(period.ended) + '\t' +
                SpanText(period.end - period.start);
        if (!period.initiator.empty())
            text += '\t' + Printable(period.initiator);
        text += '\n';
    }
    const PowerTotals& totals = power.totals;
    text += "Totals: on " + SpanText(totals.onSeconds) + ", asleep or hibernated " + SpanText(totals.asleepSeconds) +
            ", off " + SpanText(totals.offSeconds) + "\nBegan:";
    for (size_t i = 0; i < kPowerBeganKinds; ++i)
        text += std::string(i ? ", " : " ") + PowerBeganWord(static_cast<PowerBegan>(i)) + ' ' +
                std::to_string(totals.began[i]);
    text += "\nEnded:";
    for (size_t i = 0; i < kPowerEndedKinds; ++i)
        text += std::string(i ? ", " : " ") + PowerEndedWord(static_cast<PowerEnded>(i)) + ' ' +
                std::to_string(totals.ended[i]);
    return text + '\n';
}

// The field names, once, before the rows of every file.
void WritePowerCsvHeader(FILE* out)
{
    std::fwrite(kPowerCsvHeader.data(), 1, kPowerCsvHeader.size(), out);
    std::fwrite(kCsvLineEnd.data(), 1, kCsvLineEnd.size(), out);
}

// The totals row has the index "totals", the span of the history as its
// start and end, the seconds on in on_seconds, and alone fills the last two fields.
void WritePowerCsvRows(FILE* out, const ReplayFile& file)
{
    const StatedZoneFields zone = ZoneFieldsOf(file);
    const std::string bias = zone.biasStated ? std::to_string(zone.bias) : "";
    std::string line;
    const auto tail = [&](const std::string& lastFields) {
        for (std::string_view text : {std::string_view(file.host), zone.name, std::string_view(file.zoneUsed)}) {
            line += ',';
            AppendCsvText(&line, text);
        }
        line += ',' + bias;
        line += lastFields;
        line += kCsvLineEnd;
        std::fwrite(line.data(), 1, line.size(), out);
    };
    for (size_t i = 0; i < file.power.periods.size(); ++i) {
        const PowerPeriod& period = file.power.periods[i];
        line.clear();
        AppendCsvText(&line, file.path);
        line += ',' + std::to_string(i + 1) + ',' + IsoTime(period.start) + ',' +
                (HasEnd(period) ? IsoTime(period.end) : "") + ',' + PowerBeganWord(period.began) + ',' +
                PowerEndedWord(period.ended) + ',' + std::to_string(period.end - period.start) + ',' +
                (period.lastKnown ? IsoTime(period.lastKnown) : "") + ',';
        AppendCsvText(&line, period.initiator);
        tail(",,");
    }
    if (file.power.periods.empty())
        return;
    int64_t first, last;
    Span(file.power, &first, &last);
    const PowerTotals& totals = file.power.totals;
    line.clear();
    AppendCsvText(&line, file.path);
    line += ',' + std::string(kTotalsIndex) + ',' + IsoTime(first) + ',' + IsoTime(last) + ",,," +
            std::to_string(totals.onSeconds) + ",,";
    tail(',' + std::to_string(totals.asleepSeconds) + ',' + std::to_string(totals.offSeconds));
}

// A period without an end (running) has a null end; last_known and
// initiator are null where the log says nothing.
std::string PowerJsonText(const ReplayFile& file, bool oneLine)
{
    Json periods = Json::array();
    for (size_t i = 0; i < file.power.periods.size(); ++i) {
        const PowerPeriod& period = file.power.periods[i];
        periods.push_back(Json{{"index", i + 1},
                               {"start", IsoTime(period.start)},
                               {"end", HasEnd(period) ? Json(IsoTime(period.end)) : Json(nullptr)},
                               {"began", PowerBeganWord(period.began)},
                               {"ended", PowerEndedWord(period.ended)},
                               {"on_seconds", period.end - period.start},
                               {"last_known", period.lastKnown ? Json(IsoTime(period.lastKnown)) : Json(nullptr)},
                               {"initiator", period.initiator.empty() ? Json(nullptr) : Json(period.initiator)}});
    }
    const PowerTotals& totals = file.power.totals;
    Json began = Json::object(), ended = Json::object();
    for (size_t i = 0; i < kPowerBeganKinds; ++i)
        began[PowerBeganWord(static_cast<PowerBegan>(i))] = totals.began[i];
    for (size_t i = 0; i < kPowerEndedKinds; ++i)
        ended[PowerEndedWord(static_cast<PowerEnded>(i))] = totals.ended[i];
    const StatedZoneFields zone = ZoneFieldsOf(file);
    return DumpedJson(Json{{"file", file.path},
                           {"host", file.host},
                           {"zone_stated", zone.name},
                           {"zone_used", file.zoneUsed},
                           {"zone_bias", zone.biasStated ? Json(zone.bias) : Json(nullptr)},
                           {"skipped", Json{{"chunks", file.skipped.chunks},
                                            {"records", file.skipped.records},
                                            {"recovered", file.skipped.recovered}}},
                           {"periods", std::move(periods)},
                           {"totals", Json{{"on_seconds", totals.onSeconds},
                                           {"asleep_seconds", totals.asleepSeconds},
                                           {"off_seconds", totals.offSeconds},
                                           {"began", std::move(began)},
                                           {"ended", std::move(ended)}}}},
                      oneLine);
}

// Fixed-size fields in the host's order, as workers.cpp sends its own: both
// ends are this program. Initiators are not drawn, so not sent.
std::string PowerBytes(const PowerHistory& power)
{
    std::string bytes;
    const auto put = [&](const void* value, size_t size) { bytes.append(static_cast<const char*>(value), size); };
    for (const PowerPeriod& period : power.periods) {
        put(&period.start, sizeof period.start);
        put(&period.end, sizeof period.end);
        put(&period.began, sizeof period.began);
        put(&period.ended, sizeof period.ended);
    }
    put(&power.totals, sizeof power.totals);
    return bytes;
}

// Refuses bytes of another length, or a kind of start or end out of range.
bool PowerFromBytes(const std::string& bytes, PowerHistory* power)
{
    constexpr size_t kPeriodSize = 2 * sizeof(int64_t) + sizeof(PowerBegan) + sizeof(PowerEnded);
    if (bytes.size() < sizeof(PowerTotals) || (bytes.size() - sizeof(PowerTotals)) % kPeriodSize != 0)
        return false;
    const char* at = bytes.data();
    const auto get = [&](void* value, size_t size) {
        std::memcpy(value, at, size);
        at += size;
    };
    power->periods.resize((bytes.size() - sizeof(PowerTotals)) / kPeriodSize);
    for (PowerPeriod& period : power->periods) {
        get(&period.start, sizeof period.start);
        get(&period.end, sizeof period.end);
        get(&period.began, sizeof period.began);
        get(&period.ended, sizeof period.ended);
        if (static_cast<size_t>(period.began) >= kPowerBeganKinds || static_cast<size_t>(period.ended) >= kPowerEndedKinds)
            return false;
    }
    get(&power->totals, sizeof power->totals);
    return true;
}
