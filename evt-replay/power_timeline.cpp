// The power timeline: a lane per file on one time axis, each period on and
// awake a solid bar, the time after it asleep or hibernated, or off, in a
// colour of its own, and a mark across the lane where a machine died, since
// a crash's few minutes off would not show; before a log's first period
// nothing is known and nothing is drawn. Several machines' real use
// compares at a glance.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "evt-replay/replay.h"
#include "evt-replay/xml_text.h"

namespace {

constexpr double kWidth = 1200;
constexpr double kPlotLeft = 220;  // room for the lane labels
constexpr double kPlotWidth = kWidth - 24 - kPlotLeft;
constexpr double kTop = 96;        // legend, then the axis labels
constexpr double kLaneHeight = 26;
constexpr double kBarHeight = 16;
constexpr double kBelow = 44;      // the lower axis labels
constexpr double kMinWidth = 0.6;  // so that a minute still shows
constexpr double kDiedWidth = 2.5;
constexpr size_t kLabelChars = 30;

// The states drawn, and how.
struct State {
    const char* name;
    const char* colour;
    const char* label;
};
constexpr State kOn = {"on", kTimelineOnColour, "on and awake"};
constexpr State kAsleep = {"asleep", "#8e7cc3", "asleep or hibernated"};
constexpr State kOff = {"off", "#c9ccd1", "off (shut down, restarting, or died)"};
constexpr State kDied = {"died", kTimelineDiedColour, "died: a crash, reset or power loss"};
constexpr const char* kInk = "#222";
constexpr const char* kQuietInk = "#666";

// A span of one state, in event times, with its tooltip.
struct Piece {
    int64_t from, to;
    const State* state;
    std::string tip;
};

// The pieces of a file's lane: each period on, then asleep or off up to the next.
std::vector<Piece> Pieces(const PowerHistory& power)
{
    std::vector<Piece> pieces;
    const std::vector<PowerPeriod>& periods = power.periods;  // newest first
    for (size_t i = periods.size(); i-- > 0;) {
        const PowerPeriod& p = periods[i];
        pieces.push_back({p.start, p.end, &kOn,
                          IsoTime(p.start) + " " + PowerBeganWord(p.began) + " to " + IsoTime(p.end) + " " +
                              PowerEndedWord(p.ended)});
        if (i == 0)
            break;
        const bool asleep = p.ended == PowerEnded::kSleep || p.ended == PowerEnded::kHibernate;
        pieces.push_back({p.end, periods[i - 1].start, asleep ? &kAsleep : &kOff,
                          std::string(PowerEndedWord(p.ended)) + " until " + IsoTime(periods[i - 1].start)});
    }
    return pieces;
}

// The first characters of a long label, marked as cut.
std::string Shortened(const std::string& text)
{
    return text.size() <= kLabelChars ? text : text.substr(0, kLabelChars - 1) + "…";
}

}  // namespace

// Written a lane at a time, as the boot-cycle fleet picture is.
void WritePowerTimelineSvg(FILE* out, const std::vector<ReplayFile>& files)
{
    const int64_t shift = files.empty() ? ProgramTextOffset() : files[0].textOffset;
    int64_t first = INT64_MAX, last = INT64_MIN;
    for (const ReplayFile& file : files) {
        if (file.power.periods.empty())
            continue;
        first = std::min(first, file.power.periods.back().start);
        last = std::max(last, file.power.periods.front().end);
    }
    if (first >= last) {
        first = std::min(first, last);
        last = first + 3600;
    }
    if (first == INT64_MAX)
        first = 0, last = 3600;
    const double bottom = kTop + files.size() * kLaneHeight;
    const double height = std::ceil(bottom + kBelow);
    const auto x = [&](int64_t t) { return kPlotLeft + kPlotWidth * static_cast<double>(t - first) / (last - first); };

    std::string text;
    char buffer[512];
    std::snprintf(buffer, sizeof buffer,
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                  "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\" "
                  "font-family=\"DejaVu Sans, Verdana, sans-serif\">\n<rect width=\"100%%\" height=\"100%%\" "
                  "fill=\"white\"/>\n",
                  kWidth, height, kWidth, height);
    text += buffer;
    std::snprintf(buffer, sizeof buffer,
                  "<text x=\"16\" y=\"22\" font-size=\"15\" font-weight=\"bold\" fill=\"%s\">Power history of %zu "
                  "file%s, %s</text>\n",
                  kInk, files.size(), files.size() == 1 ? "" : "s", TimelineClockText(shift).c_str());
    text += buffer;
    double legendX = 16;
    for (const State* state : {&kOn, &kAsleep, &kOff, &kDied}) {
        const bool mark = state == &kDied;
        std::snprintf(buffer, sizeof buffer,
                      "<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"%s\"/><text x=\"%.1f\" "
                      "y=\"45\" font-size=\"12\" fill=\"%s\">%s</text>\n",
                      legendX + (mark ? 11 : 0), mark ? 31 : 34, mark ? kDiedWidth : 24.0, mark ? 18 : 12,
                      state->colour, legendX + 30, kInk, state->label);
        text += buffer;
        legendX += 60 + 7 * std::char_traits<char>::length(state->label);
    }
    std::snprintf(buffer, sizeof buffer,
                  "<text x=\"16\" y=\"64\" font-size=\"12\" fill=\"%s\">A lane per file, in the order given; blank "
                  "where the log tells nothing. A bar's tooltip tells its period.</text>\n",
                  kQuietInk);
    text += buffer;
    DrawTimelineAxis(&text, shift, first, last, kPlotLeft, kPlotWidth, kTop, bottom);
    std::fwrite(text.data(), 1, text.size(), out);
    for (size_t i = 0; i < files.size(); ++i) {
        const ReplayFile& file = files[i];
        const double top = kTop + i * kLaneHeight;
        text.clear();
        std::snprintf(buffer, sizeof buffer, "<g class=\"lane\"><text x=\"%.1f\" y=\"%.1f\" font-size=\"11\" "
                                             "text-anchor=\"end\" fill=\"%s\">",
                      kPlotLeft - 8, top + kLaneHeight / 2 + 4, kInk);
        text += buffer;
        const std::string name = file.path.substr(file.path.find_last_of('/') + 1);
        AppendXmlText(&text, Shortened(name + (file.host.empty() ? "" : " (" + file.host + ")")));
        text += "</text>\n";
        for (const Piece& piece : Pieces(file.power)) {
            const double from = x(piece.from), width = std::max(kMinWidth, x(piece.to) - from);
            std::snprintf(buffer, sizeof buffer,
                          "<rect class=\"%s\" x=\"%.2f\" y=\"%.1f\" width=\"%.2f\" height=\"%.1f\" fill=\"%s\"><title>",
                          piece.state->name, from, top + (kLaneHeight - kBarHeight) / 2, width, kBarHeight,
                          piece.state->colour);
            text += buffer;
            AppendXmlText(&text, piece.tip);
            text += "</title></rect>\n";
        }
        for (const PowerPeriod& p : file.power.periods) {
            if (p.ended != PowerEnded::kDied)
                continue;
            std::snprintf(buffer, sizeof buffer,
                          "<rect class=\"%s\" x=\"%.2f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"%s\"><title>",
                          kDied.name, x(p.end) - kDiedWidth / 2, top + 1, kDiedWidth, kLaneHeight - 2, kDied.colour);
            text += buffer;
            AppendXmlText(&text, "died, last known to run " + IsoTime(p.end));
            text += "</title></rect>\n";
        }
        text += "</g>\n";
        std::fwrite(text.data(), 1, text.size(), out);
    }
    std::fputs("</svg>\n", out);
}
