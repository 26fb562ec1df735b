// The cycles as CSV (RFC 4180): one header row, then one row per cycle.

#include <string_view>

#include "tools/replay.h"

namespace {

constexpr std::string_view kCsvHeader = "file,index,start,stop,elapsed_seconds,state";
constexpr std::string_view kCsvLineEnd = "\r\n";  // the RFC's record separator

// Appends one field, quoted (quotes doubled) only when it holds a comma, a
// quote or a line break: only a file name can.
void AppendCsvField(std::string* line, std::string_view field)
{
    if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
        *line += field;
        return;
    }
    *line += '"';
    for (char c : field) {
        if (c == '"')
            *line += '"';
        *line += c;
    }
    *line += '"';
}

}  // namespace

// The field names, once, before the rows of every file.
void WriteCsvHeader(FILE* out)
{
    std::fwrite(kCsvHeader.data(), 1, kCsvHeader.size(), out);
    std::fwrite(kCsvLineEnd.data(), 1, kCsvLineEnd.size(), out);
}

// A cycle without a stop has empty stop and elapsed fields; its state says why.
void WriteCsvRows(FILE* out, const ReplayFile& file)
{
    std::string line;
    for (size_t i = 0; i < file.cycles.size(); ++i) {
        const ReplayCycle& cycle = file.cycles[i];
        const bool stopped = cycle.state == CycleState::kStopped;
        line.clear();
        AppendCsvField(&line, file.path);
        line += ',' + std::to_string(i + 1) + ',' + IsoTime(cycle.start) + ',';
        if (stopped)
            line += IsoTime(cycle.stop) + ',' + std::to_string(cycle.stop - cycle.start);
        else
            line += ',';
        line += ',';
        line += CycleStateWord(cycle.state);
        line += kCsvLineEnd;
        std::fwrite(line.data(), 1, line.size(), out);
    }
}
