// The cycles as CSV (RFC 4180): one header row, then one row per cycle.

#include <initializer_list>
#include <string_view>

#include "evt-replay/replay.h"

namespace {

// The fields of today's scripts first, by position, then what names the log's machine and zones,
// then when the log ends and a died cycle last ran, and the log's soundness.
constexpr std::string_view kCsvHeader =
    "file,index,start,stop,elapsed_seconds,state,host,zone_stated,zone_used,zone_bias,log_end,died_after,damaged,cut,"
    "system_log";
constexpr std::string_view kCsvLineEnd = "\r\n";  // the RFC's record separator
// What a spreadsheet takes a cell for a formula by, when it comes first.
constexpr std::string_view kFormulaStarts = "=+-@\t\r";

}  // namespace

// Appends one text field (a name, never a time or number), quoted (quotes
// doubled) only when it holds a comma, a quote or a line break. One that a
// spreadsheet would run as a formula gets a leading ', as OWASP advises.
void AppendCsvText(std::string* line, std::string_view field)
{
    const bool formula = !field.empty() && kFormulaStarts.find(field.front()) != std::string_view::npos;
    if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
        *line += formula ? "'" : "";
        *line += field;
        return;
    }
    *line += formula ? "\"'" : "\"";
    for (char c : field) {
        if (c == '"')
            *line += '"';
        *line += c;
    }
    *line += '"';
}

// One text field as AppendCsvText writes it.
std::string CsvText(std::string_view field)
{
    std::string cell;
    AppendCsvText(&cell, field);
    return cell;
}

// The field names, once, before the rows of every file.
void WriteCsvHeader(FILE* out)
{
    std::fwrite(kCsvHeader.data(), 1, kCsvHeader.size(), out);
    std::fwrite(kCsvLineEnd.data(), 1, kCsvLineEnd.size(), out);
}

// A cycle without a stop has empty stop and elapsed fields; its state says why.
// Its host is its boot record's, the log's where that names none.
void WriteCsvRows(FILE* out, const ReplayFile& file)
{
    const StatedZoneFields zone = ZoneFieldsOf(file);
    const std::string bias = zone.biasStated ? std::to_string(zone.bias) : "";
    std::string line;
    for (size_t i = 0; i < file.cycles.size(); ++i) {
        const ReplayCycle& cycle = file.cycles[i];
        const bool stopped = cycle.state == CycleState::kStopped;
        if (!CycleInRange(file, i))
            continue;
        line.clear();
        AppendCsvText(&line, file.path);
        line += ',' + std::to_string(i + 1) + ',' + IsoTime(cycle.start) + ',';
        if (stopped)
            line += IsoTime(cycle.stop) + ',' + std::to_string(cycle.stop - cycle.start);
        else
            line += ',';
        line += ',';
        line += CycleStateWord(cycle.state);
        // The bias apart, so that the stated name is the data, not a cell made safe.
        const std::string& host = cycle.host.empty() ? file.host : cycle.host;
        for (std::string_view text : {std::string_view(host), zone.name, std::string_view(file.zoneUsed)}) {
            line += ',';
            AppendCsvText(&line, text);
        }
        line += ',' + bias;
        line += ',' + (file.anyRecord ? IsoTime(file.logEnd) : std::string()) + ',';
        if (cycle.state == CycleState::kDied)
            line += IsoTime(cycle.diedAfter);
        for (bool flag : {!SkippedPartsText(file.skipped).empty(), file.skipped.cut, file.systemLog})
            line += flag ? ",true" : ",false";
        line += kCsvLineEnd;
        std::fwrite(line.data(), 1, line.size(), out);
    }
}
