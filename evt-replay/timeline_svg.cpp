// The SVG timeline: one panel per file, each cycle a bar on a time axis. A
// few cycles get a row each, labelled; many share calendar lanes (a day, a
// week, a month or a year a lane), so that a thousand still read at a glance.
// Dates and hours are those of the text output: the program's own times,
// shifted by the offset in force now (UTC with --utc).

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "evt-replay/replay.h"
#include "evt-replay/xml_text.h"

namespace {

constexpr double kWidth = 1200;
constexpr double kPlotLeft = 190;  // room for the row and lane labels
constexpr double kPlotRight = kWidth - 24;
constexpr double kPlotWidth = kPlotRight - kPlotLeft;
constexpr double kLegendHeight = 56;
constexpr double kPanelHeading = 44;  // file name and summary line
constexpr double kAxisHeight = 30;
constexpr double kPanelGap = 28;

// Up to this many cycles a panel gives each its own row.
constexpr size_t kRowLayoutLimit = 60;
constexpr double kRowHeight = 20;
constexpr double kRowBarHeight = 12;
// Lanes: at most this many, their height shrinking to fit about kLanesTall.
constexpr int kMaxLanes = 100;
constexpr double kLanesTall = 820;
constexpr double kMaxLaneHeight = 24;
constexpr double kMinLaneHeight = 7;
constexpr double kMinLabelledLaneHeight = 12;  // below this only some lanes are labelled

// The narrowest bar, so that a cycle of a minute still shows.
constexpr double kMinRowBarWidth = 2.5;
constexpr double kMinLaneBarWidth = 1.5;
constexpr double kDiedHeadWidth = 3;  // the solid mark at a died cycle's boot
constexpr double kMinTickSpacing = 84;
constexpr double kCharWidth = 6.4;  // of the 11 px labels, to see whether one fits

constexpr int64_t kHour = 3600;
constexpr int64_t kDay = 86400;
constexpr int64_t kWeek = 7 * kDay;
constexpr int64_t kMondayShift = 3 * kDay;  // 1970-01-01 was a Thursday

constexpr const char* kStoppedColour = "#3a6fb0";
constexpr const char* kDiedColour = kTimelineDiedColour;
constexpr const char* kDiedBodyColour = "#f0a8a8";
constexpr const char* kRunningColour = kTimelineOnColour;
constexpr const char* kCutColour = "#9aa3ad";
constexpr const char* kLaneColour = "#eef0f3";
constexpr const char* kDamageColour = "#e89a1c";
constexpr const char* kDamagedLaneColour = "#fbe7c6";
constexpr const char* kGridColour = "#d5d9de";
constexpr const char* kInkColour = "#222";
constexpr const char* kQuietInkColour = "#666";

constexpr const char* kWeekdays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr int kMonthStartDays[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

// Appends printf-style text; every number here is short, so one small buffer does.
void Append(std::string* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Append(std::string* out, const char* format, ...)
{
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    out->append(text, std::min<size_t>(length > 0 ? length : 0, sizeof text - 1));
}

// --- Picture time: seconds since 1970 on the clock the texts show.

int64_t pictureShift = 0;  // what the program's texts add to every event time

// An event time on the picture's clock.
int64_t PictureTime(int64_t eventTime)
{
    return eventTime + pictureShift;
}

// The calendar fields of a picture time.
struct tm Fields(int64_t pictureTime)
{
    const time_t when = static_cast<time_t>(pictureTime);
    struct tm fields {};
    gmtime_r(&when, &fields);
    return fields;
}

// The picture time of a calendar date; month and day may run past their range.
int64_t DateTime(int year, int month, int day)
{
    struct tm fields {};
    fields.tm_year = year - 1900;
    fields.tm_mon = month;
    fields.tm_mday = day;
    return static_cast<int64_t>(timegm(&fields));
}

// A picture time written with strftime's `format` (in the C locale: English names).
std::string DateText(int64_t pictureTime, const char* format)
{
    const struct tm fields = Fields(pictureTime);
    char text[32];
    const size_t length = std::strftime(text, sizeof text, format, &fields);
    return std::string(text, length);
}

// The greatest multiple of `step` (> 0) that is not above `value`.
int64_t FloorTo(int64_t value, int64_t step)
{
    return value - ((value % step) + step) % step;
}

// --- What is drawn of a cycle.

// A cycle's bar in picture time. A died cycle ended at some point before the
// next boot, so its bar runs to that boot, drawn light; the running one runs
// to the open end of its panel.
struct Bar {
    int64_t from;
    int64_t to;
    const ReplayCycle* cycle;
};

// The bars of `file` in the range kept, oldest first, and the span [*first, *last] they need,
// with room after the newest time for the running cycle's open end.
std::vector<Bar> Bars(const ReplayFile& file, int64_t openEnd, int64_t* first, int64_t* last)
{
    std::vector<Bar> bars;
    *first = INT64_MAX;
    *last = INT64_MIN;
    for (size_t i = file.cycles.size(); i-- > 0;) {
        const ReplayCycle& cycle = file.cycles[i];
        if (!CycleInRange(file, i))
            continue;
        Bar bar{PictureTime(cycle.start), PictureTime(cycle.start), &cycle};
        if (cycle.state == CycleState::kStopped)
            bar.to = PictureTime(cycle.stop);
        else if (cycle.state == CycleState::kDied)
            bar.to = std::max(bar.from, PictureTime(file.cycles[i - 1].start));
        else if (cycle.state == CycleState::kCut && file.anyRecord)
            bar.to = std::max(bar.from, PictureTime(file.logEnd));
        if (bar.to < bar.from)  // a stop before its boot: the clock was set back
            std::swap(bar.from, bar.to);
        *first = std::min(*first, bar.from);
        *last = std::max(*last, bar.to);
        bars.push_back(bar);
    }
    if (bars.empty())
        *first = *last = 0;
    *last += openEnd;
    for (Bar& bar : bars)
        if (bar.cycle->state == CycleState::kRunning)
            bar.to = *last;
    return bars;
}

// Opens a cycle's group, whose <title> is its row as the text shows it.
void OpenCycle(std::string* out, const Bar& bar)
{
    const CycleRow& row = bar.cycle->row;
    Append(out, "<g class=\"cycle %s\"><title>", CycleStateWord(bar.cycle->state));
    AppendXmlText(out, row[kIndexColumn] + "  " + row[kStartDateColumn] + " " + row[kStartTimeColumn]);
    if (!row[kStopDateColumn].empty())
        AppendXmlText(out, " to " + row[kStopDateColumn] + " " + row[kStopTimeColumn]);
    AppendXmlText(out, ": " + row[kElapsedColumn]);
    *out += "</title>";
}

// One rectangle of a bar. Its thin white edge keeps apart cycles that follow
// each other closely.
void BarRect(std::string* out, double x, double y, double width, double height, const char* fill)
{
    Append(out, "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"%s\" stroke=\"white\" "
                "stroke-width=\"0.5\"/>",
           x, y, width, height, fill);
}

// One piece of a cycle's bar; `head` marks the piece where the cycle began.
void BarPiece(std::string* out, const Bar& bar, double x0, double x1, double y, double height, bool head)
{
    const double width = x1 - x0;
    switch (bar.cycle->state) {
    case CycleState::kStopped:
        BarRect(out, x0, y, width, height, kStoppedColour);
        break;
    case CycleState::kDied:
        BarRect(out, x0, y, width, height, kDiedBodyColour);
        if (head)
            BarRect(out, x0, y, std::min(width, kDiedHeadWidth), height, kDiedColour);
        break;
    case CycleState::kRunning:
        BarRect(out, x0, y, width, height, "url(#open)");
        break;
    case CycleState::kCut:
        BarRect(out, x0, y, width, height, kCutColour);
        break;
    }
}

// A label centred on x, or moved in where it would run off the picture.
void AxisLabel(std::string* out, double x, double y, const char* colour, const std::string& text)
{
    const double half = kCharWidth * text.size() / 2;
    const char* anchor = x + half > kWidth - 2 ? "end" : "middle";
    Append(out, "<text x=\"%.1f\" y=\"%.1f\" font-size=\"11\" text-anchor=\"%s\" fill=\"%s\">%s</text>",
           x + half > kWidth - 2 ? kWidth - 2 : x, y, anchor, colour, text.c_str());
}

// The document's start, `height` pixels high: the svg element, the running
// bar's gradient and the white ground.
void DocumentHead(std::string* out, double height)
{
    Append(out,
           "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\" "
           "font-family=\"DejaVu Sans, Verdana, sans-serif\">\n",
           kWidth, height, kWidth, height);
    Append(out,
           "<defs><linearGradient id=\"open\"><stop offset=\"0\" stop-color=\"%s\"/>"
           "<stop offset=\"1\" stop-color=\"%s\" stop-opacity=\"0.08\"/></linearGradient></defs>\n",
           kRunningColour, kRunningColour);
    Append(out, "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n");
}

// --- The legend and the panels' headings.

// The picture's title, the clock its times are on (`clock`, after the count
// of cycles and files), and what each kind of bar means; `damage` adds the
// key of a damaged log's lane.
void Legend(std::string* out, const std::vector<ReplayFile>& files, const std::string& clock, bool damage)
{
    bool cut = false;
    for (const ReplayFile& file : files)
        cut = cut || std::any_of(file.cycles.begin(), file.cycles.end(),
                                 [](const ReplayCycle& cycle) { return cycle.state == CycleState::kCut; });
    size_t cycles = 0;
    for (const ReplayFile& file : files)
        cycles += file.cycles.size();
    Append(out, "<text x=\"16\" y=\"24\" font-size=\"16\" font-weight=\"bold\" fill=\"%s\">Boot cycles</text>",
           kInkColour);
    Append(out, "<text x=\"130\" y=\"24\" font-size=\"12\" fill=\"%s\">%zu in %zu file%s, %s</text>",
           kQuietInkColour, cycles, files.size(), files.size() == 1 ? "" : "s", clock.c_str());
    struct Key {
        const char* label;
        const char* fill;
        bool head;
    };
    constexpr Key kKeys[] = {{"stopped: orderly shutdown", kStoppedColour, false},
                             {"died: no shutdown, ended before the next boot", kDiedBodyColour, true},
                             {"running: still going", "url(#open)", false},
                             {"cut: log ends first", kCutColour, false},
                             {"damaged: not all read", kDamageColour, false}};
    double x = 16;
    for (const Key& key : kKeys) {
        if ((key.fill == kDamageColour && !damage) || (key.fill == kCutColour && !cut))
            continue;
        Append(out, "<rect x=\"%.1f\" y=\"36\" width=\"28\" height=\"11\" fill=\"%s\"/>", x, key.fill);
        if (key.head)
            Append(out, "<rect x=\"%.1f\" y=\"36\" width=\"%.1f\" height=\"11\" fill=\"%s\"/>", x, kDiedHeadWidth,
                   kDiedColour);
        Append(out, "<text x=\"%.1f\" y=\"46\" font-size=\"12\" fill=\"%s\">%s</text>", x + 34, kInkColour, key.label);
        x += 34 + kCharWidth * 1.05 * std::char_traits<char>::length(key.label) + 30;
    }
}

// "at UTC+02:00 as in the text output": the picture clock of `shift`.
std::string ClockText(int64_t shift)
{
    const int64_t offset = shift < 0 ? -shift : shift;
    char text[64];
    std::snprintf(text, sizeof text, "at UTC%c%02d:%02d as in the text output", shift < 0 ? '-' : '+',
                  static_cast<int>(offset / kHour), static_cast<int>(offset % kHour / 60));
    return text;
}

// A panel's file name, and its cycles counted by state, from the date of
// `first` to that of `last`, in the `layout` named.
void PanelHeading(std::string* out, const ReplayFile& file, int64_t first, int64_t last, const char* layout)
{
    size_t counts[4] = {};
    for (const ReplayCycle& cycle : file.cycles)
        ++counts[static_cast<int>(cycle.state)];
    Append(out, "<text x=\"16\" y=\"18\" font-size=\"14\" font-weight=\"bold\" fill=\"%s\">", kInkColour);
    AppendXmlText(out, file.path);
    *out += "</text>";
    Append(out, "<text x=\"16\" y=\"36\" font-size=\"12\" fill=\"%s\">%zu cycles: %zu stopped, %zu died, %zu "
                "running",
           kQuietInkColour, file.cycles.size(), counts[static_cast<int>(CycleState::kStopped)],
           counts[static_cast<int>(CycleState::kDied)], counts[static_cast<int>(CycleState::kRunning)]);
    if (counts[static_cast<int>(CycleState::kCut)])
        Append(out, ", 1 cut short: the log ends before it does");
    if (!file.cycles.empty())
        Append(out, ", %s to %s; %s", DateText(first, "%Y-%m-%d").c_str(), DateText(last, "%Y-%m-%d").c_str(),
               layout);
    *out += "</text>";
}

// --- A row per cycle, on one date axis.

struct TickStep {
    int64_t seconds;  // for a step of days or less
    int months;       // for a step of months or years
    const char* format;
};
constexpr TickStep kTickSteps[] = {
    {kHour, 0, "%H:%M"},      {3 * kHour, 0, "%H:%M"}, {6 * kHour, 0, "%H:%M"}, {12 * kHour, 0, "%H:%M"},
    {kDay, 0, "%Y-%m-%d"},    {2 * kDay, 0, "%Y-%m-%d"}, {kWeek, 0, "%Y-%m-%d"}, {2 * kWeek, 0, "%Y-%m-%d"},
    {0, 1, "%Y-%m"},          {0, 3, "%Y-%m"},          {0, 6, "%Y-%m"},          {0, 12, "%Y"},
    {0, 24, "%Y"},            {0, 60, "%Y"},            {0, 120, "%Y"},
};

// The ticks of a date axis over [first, last]: the first step, from an hour
// to ten years, that leaves them room on `plotWidth`; each at a whole hour, day, Monday,
// month or year.
std::vector<int64_t> Ticks(int64_t first, int64_t last, const TickStep** chosen, double plotWidth = kPlotWidth)
{
    const double fits = plotWidth / kMinTickSpacing;
    for (const TickStep& step : kTickSteps) {
        const double length = step.seconds ? step.seconds : step.months * 30.44 * kDay;
        if ((last - first) / length > fits && &step != std::end(kTickSteps) - 1)
            continue;
        *chosen = &step;
        std::vector<int64_t> ticks;
        if (step.seconds) {
            const int64_t shift = step.seconds >= kWeek ? kMondayShift : 0;
            for (int64_t t = FloorTo(first + shift, step.seconds) - shift; t <= last; t += step.seconds)
                if (t >= first)
                    ticks.push_back(t);
        } else {
            const struct tm start = Fields(first);
            int month = start.tm_year * 12 + start.tm_mon;
            month -= month % step.months;
            for (;; month += step.months) {
                const int64_t t = DateTime(1900 + month / 12, month % 12, 1);
                if (t > last)
                    break;
                if (t >= first)
                    ticks.push_back(t);
            }
        }
        return ticks;
    }
    return {};
}

// Draws `bars` a row each, oldest at the top, labelled with the text's index
// and start, on a date axis over [first, last] (first < last); returns the
// height drawn.
double RowsPanel(std::string* out, const std::vector<Bar>& bars, int64_t first, int64_t last)
{
    if (bars.empty())
        return kPanelHeading;
    const double top = kPanelHeading + kAxisHeight;
    const double bottom = top + bars.size() * kRowHeight;
    const auto x = [&](int64_t t) { return kPlotLeft + kPlotWidth * (t - first) / double(last - first); };
    const TickStep* step = nullptr;
    const std::vector<int64_t> ticks = Ticks(first, last, &step);
    std::string previousDate;
    for (int64_t t : ticks) {
        Append(out, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\"/>", x(t), top - 6, x(t),
               bottom, kGridColour);
        AxisLabel(out, x(t), top - 10, kInkColour, DateText(t, step->format));
        // Hours alone do not say which day: the date goes above each new one.
        const std::string date = DateText(t, "%Y-%m-%d");
        if (step->seconds && step->seconds < kDay && date != previousDate)
            AxisLabel(out, x(t), top - 22, kQuietInkColour, date);
        previousDate = date;
    }
    for (size_t i = 0; i < bars.size(); ++i) {
        const Bar& bar = bars[i];
        const double y = top + i * kRowHeight;
        const double barY = y + (kRowHeight - kRowBarHeight) / 2;
        if (i % 2 == 0)
            Append(out, "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"%s\" opacity=\"0.5\"/>",
                   kPlotLeft, y, kPlotWidth, kRowHeight, kLaneColour);
        const CycleRow& row = bar.cycle->row;
        Append(out, "<text x=\"16\" y=\"%.1f\" font-size=\"11\" font-family=\"DejaVu Sans Mono, monospace\" "
                    "fill=\"%s\">",
               barY + 10, kInkColour);
        AppendXmlText(out, row[kIndexColumn] + "  " + row[kStartDateColumn] + " " + row[kStartTimeColumn]);
        *out += "</text>";
        OpenCycle(out, bar);
        const double x0 = x(bar.from), x1 = std::max(x(bar.to), x0 + kMinRowBarWidth);
        BarPiece(out, bar, x0, x1, barY, kRowBarHeight, true);
        // The window's own elapsed text beside the bar, where there is room:
        // after it, else before it but clear of the row's label; never over a bar.
        // A cut cycle's row says "System is running" as the window does, which the log no longer shows.
        const std::string_view elapsed = bar.cycle->state == CycleState::kCut
                                             ? std::string_view("log cut short: its end unknown")
                                             : std::string_view(row[kElapsedColumn]).substr(row[kElapsedColumn][0] == ' ');
        const double width = kCharWidth * elapsed.size();
        const bool after = x1 + 6 + width <= kWidth - 4;
        if (after || x0 - 6 - width >= kPlotLeft) {
            Append(out, "<text x=\"%.1f\" y=\"%.1f\" font-size=\"11\" text-anchor=\"%s\" fill=\"%s\">",
                   after ? x1 + 6 : x0 - 6, barY + 10, after ? "start" : "end",
                   bar.cycle->state == CycleState::kDied ? kDiedColour : kQuietInkColour);
            AppendXmlText(out, elapsed);
            *out += "</text>";
        }
        *out += "</g>";
    }
    return bottom;
}

// --- Calendar lanes: many cycles, a period a lane.

enum class Period { kDay, kWeek, kMonth, kYear };
struct PeriodKind {
    Period period;
    int64_t nominal;  // the length a whole lane's width stands for
    const char* label;
    const char* name;
};
constexpr PeriodKind kPeriods[] = {
    {Period::kDay, kDay, "%Y-%m-%d %a", "a lane per day"},
    {Period::kWeek, kWeek, "%Y-%m-%d", "a lane per week, from Monday"},
    {Period::kMonth, 31 * kDay, "%Y-%m", "a lane per month"},
    {Period::kYear, 366 * kDay, "%Y", "a lane per year"},
};

// The start of the lane of `period` that holds t, and of the k-th after it.
int64_t LaneStart(const PeriodKind& kind, int64_t t, int k)
{
    switch (kind.period) {
    case Period::kDay:
        return FloorTo(t, kDay) + k * kDay;
    case Period::kWeek:
        return FloorTo(t + kMondayShift, kWeek) - kMondayShift + k * kWeek;
    case Period::kMonth: {
        const struct tm fields = Fields(t);
        return DateTime(1900 + fields.tm_year, fields.tm_mon + k, 1);
    }
    case Period::kYear:
        break;
    }
    return DateTime(1900 + Fields(t).tm_year + k, 0, 1);
}

// Which lane of `kind` holds t, counted from the lane that holds `first`.
int LaneOf(const PeriodKind& kind, int64_t first, int64_t t)
{
    const struct tm from = Fields(first), to = Fields(t);
    switch (kind.period) {
    case Period::kDay:
    case Period::kWeek:
        return static_cast<int>((LaneStart(kind, t, 0) - LaneStart(kind, first, 0)) / kind.nominal);
    case Period::kMonth:
        return (to.tm_year - from.tm_year) * 12 + to.tm_mon - from.tm_mon;
    case Period::kYear:
        break;
    }
    return to.tm_year - from.tm_year;
}

// The number of lanes of `kind` from the lane of `first` to that of `last`.
int LaneCount(const PeriodKind& kind, int64_t first, int64_t last)
{
    return LaneOf(kind, first, last) + 1;
}

// The ticks along a lane, each at its offset into the lane, and its label.
void LaneTicks(std::string* out, const PeriodKind& kind, double top, double bottom)
{
    const auto tick = [&](int64_t offset, const char* label, bool centred) {
        const double x = kPlotLeft + kPlotWidth * offset / double(kind.nominal);
        Append(out, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\"/>", x, top - 4, x, bottom,
               kGridColour);
        const double labelX = centred ? x + kPlotWidth * kDay / double(kind.nominal) / 2 : x;
        AxisLabel(out, labelX, top - 8, kInkColour, label);
    };
    char label[8];
    switch (kind.period) {
    case Period::kDay:
        for (int hour = 0; hour < 24; hour += 3) {
            std::snprintf(label, sizeof label, "%02d:00", hour);
            tick(hour * kHour, label, false);
        }
        break;
    case Period::kWeek:
        for (int day = 0; day < 7; ++day)
            tick(day * kDay, kWeekdays[day], true);
        break;
    case Period::kMonth:
        for (int day = 1; day <= 29; day += 7) {
            std::snprintf(label, sizeof label, "%d", day);
            tick((day - 1) * kDay, label, false);
        }
        break;
    case Period::kYear:
        for (int month = 0; month < 12; ++month)
            tick(kMonthStartDays[month] * kDay, kMonths[month], false);
        break;
    }
}

// Draws `bars` in lanes of `kind` from the one holding `first` to the one
// holding `last`, oldest at the top, each bar cut where it crosses into the
// next lane; returns the height drawn.
double LanesPanel(std::string* out, const std::vector<Bar>& bars, const PeriodKind& kind, int64_t first,
                  int64_t last)
{
    const int lanes = LaneCount(kind, first, last);
    const double laneHeight = std::clamp(kLanesTall / lanes, kMinLaneHeight, kMaxLaneHeight);
    const double barHeight = laneHeight - std::max(2.0, laneHeight / 5);
    const double top = kPanelHeading + kAxisHeight;
    const double bottom = top + lanes * laneHeight;
    const int64_t firstLane = LaneStart(kind, first, 0);
    const int labelEvery = static_cast<int>(std::ceil(kMinLabelledLaneHeight / laneHeight));
    for (int k = 0; k < lanes; ++k) {
        const int64_t start = LaneStart(kind, firstLane, k), end = LaneStart(kind, firstLane, k + 1);
        const double y = top + k * laneHeight;
        Append(out, "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"%s\"/>", kPlotLeft, y + 0.5,
               kPlotWidth * (end - start) / double(kind.nominal), laneHeight - 1, kLaneColour);
        if ((lanes - 1 - k) % labelEvery == 0)  // the newest lane always
            Append(out, "<text x=\"16\" y=\"%.1f\" font-size=\"%.0f\" font-family=\"DejaVu Sans Mono, monospace\" "
                        "fill=\"%s\">%s</text>",
                   y + laneHeight / 2 + 4, std::min(11.0, laneHeight * labelEvery - 1), kInkColour,
                   DateText(start, kind.label).c_str());
    }
    LaneTicks(out, kind, top, bottom);
    // A log whose clock was set back lists cycles out of time order, so each
    // bar finds its own lane.
    for (const Bar& bar : bars) {
        const int lane = LaneOf(kind, firstLane, bar.from);
        OpenCycle(out, bar);
        for (int k = lane; k < lanes; ++k) {
            const int64_t start = LaneStart(kind, firstLane, k), end = LaneStart(kind, firstLane, k + 1);
            if (start > bar.to || (start == bar.to && k > lane))
                break;
            const int64_t from = std::max(bar.from, start), to = std::min(bar.to, end);
            const double y = top + k * laneHeight + (laneHeight - barHeight) / 2;
            const double x0 = kPlotLeft + kPlotWidth * (from - start) / double(kind.nominal);
            const double x1 = kPlotLeft + kPlotWidth * (to - start) / double(kind.nominal);
            BarPiece(out, bar, x0, std::max(x1, x0 + kMinLaneBarWidth), y, barHeight, k == lane);
        }
        *out += "</g>";
    }
    return bottom;
}

// One file's panel at its own scale, a row per cycle or lanes of the shortest
// period that keeps them to kMaxLanes; returns its height.
double Panel(std::string* out, const ReplayFile& file)
{
    int64_t first, last;
    std::vector<Bar> bars = Bars(file, 0, &first, &last);
    const int64_t newest = last;
    const int64_t span = std::max<int64_t>(last - first, kHour);
    if (file.cycles.size() <= kRowLayoutLimit) {
        bars = Bars(file, std::max<int64_t>(span / 25, kHour), &first, &last);
        PanelHeading(out, file, first, newest, "a row per cycle, the oldest at the top");
        if (last == first)
            ++last;
        return RowsPanel(out, bars, first, last);
    }
    const PeriodKind* kind = &kPeriods[0];
    for (const PeriodKind& candidate : kPeriods) {
        kind = &candidate;
        if (LaneCount(candidate, first, last + candidate.nominal / 12) <= kMaxLanes)
            break;
    }
    bars = Bars(file, kind->nominal / 12, &first, &last);
    PanelHeading(out, file, first, newest, (std::string(kind->name) + ", the oldest at the top").c_str());
    return LanesPanel(out, bars, *kind, first, last);
}

// --- Several files: a lane per file on one time axis.

constexpr double kFleetPlotLeft = 330;  // room for the host and file labels
constexpr double kFleetPlotWidth = kPlotRight - kFleetPlotLeft;
constexpr double kFleetHeading = 26;     // the line saying how lanes are laid out
constexpr double kFleetLanesTall = 840;  // lanes shrink to fit this, down to kMinFleetLaneHeight
constexpr double kMaxFleetLaneHeight = 22;
// Each lane's label is legible down to this height, so that the picture grows
// with the machines rather than leaving some unlabelled.
constexpr double kMinFleetLaneHeight = 13;
// Lanes thinner still past this many pixels: rsvg-convert draws nothing over 32767.
constexpr double kMaxFleetLanesTall = 32000;
constexpr double kFleetAxisBelow = 40;      // the bottom axis's labels
constexpr double kFleetLabelLeft = 16;
constexpr double kMinFleetLabelSpacing = 13;  // labels closer than this run into each other
constexpr int kFleetLabelSteps[] = {1, 2, 5, 10, 20, 50, 100};  // label every k-th lane, k the first that fits
constexpr double kLeaderWidth = 4;          // the mark tying a thin lane to its label
constexpr double kDamageMarkWidth = 6;      // at the right of a damaged lane's label column
constexpr double kOpenWidth = 24;           // the running cycle's fading bar, in pixels
constexpr int kDiedMarkWidth = 2;           // whole pixels, across the whole lane

// Runs of whole pixels [from, to) of one colour in a lane, merged where they
// overlap or touch, as one path of strokes `height` high centred on y.
void RunsPath(std::string* out, std::vector<std::pair<int, int>>* runs, double y, double height, const char* colour,
              const char* kind)
{
    if (runs->empty())
        return;
    std::sort(runs->begin(), runs->end());
    Append(out, "<path class=\"%s\" stroke=\"%s\" stroke-width=\"%.1f\" d=\"", kind, colour, height);
    int from = (*runs)[0].first, to = (*runs)[0].second;
    const auto flush = [&] { Append(out, "M%d %.1fh%d", from, y, to - from); };
    for (const auto& [a, b] : *runs) {
        if (a > to) {
            flush();
            from = a;
        }
        to = std::max(to, b);
    }
    flush();
    *out += "\"/>";
}

// `path` shortened from the left, at a character's start, to about `chars`
// characters, with an ellipsis to say so: the file name is its end.
std::string ShortenedPath(const std::string& path, size_t chars)
{
    if (path.size() <= chars)
        return path;
    size_t cut = path.size() - (chars > 1 ? chars - 1 : 0);
    while (cut < path.size() && (static_cast<unsigned char>(path[cut]) & 0xC0) == 0x80)
        ++cut;
    return "\xE2\x80\xA6" + path.substr(cut);
}

// The geometry shared by every lane.
struct FleetGeometry {
    int64_t first, last;  // picture times at the plot's two ends
    double top;           // of the first lane
    double laneHeight;
    int labelEvery;  // only every k-th lane is labelled when lanes are thin
    double X(int64_t t) const { return kFleetPlotLeft + kFleetPlotWidth * (t - first) / double(last - first); }
};

// One machine's lane: the cycles in range that its boot records name, from
// every log that holds them.
struct MachineLane {
    std::string host;
    std::vector<const ReplayFile*> files;
    std::vector<Bar> bars;
    bool damaged = false;
    std::map<int64_t, size_t> starts;  // each bar's boot, and where the bar lies
};

// How much a state tells of a cycle's end, for the copies of one boot.
int Knowledge(CycleState state)
{
    constexpr CycleState kOrder[] = {CycleState::kCut, CycleState::kRunning, CycleState::kDied, CycleState::kStopped};
    return static_cast<int>(std::find(std::begin(kOrder), std::end(kOrder), state) - std::begin(kOrder));
}

// The machine a cycle of `file` ran on.
const std::string& CycleHost(const ReplayFile& file, const ReplayCycle& cycle)
{
    return cycle.host.empty() ? file.host : cycle.host;
}

// The lanes of `files`, in the order their machines first come, and the
// span their bars need; files without a cycle in range are counted in *bare.
std::vector<MachineLane> MachineLanes(const std::vector<ReplayFile>& files, int64_t* first, int64_t* last,
                                      size_t* bare)
{
    std::vector<MachineLane> lanes;
    *first = INT64_MAX;
    *last = INT64_MIN;
    *bare = 0;
    for (const ReplayFile& file : files) {
        int64_t from, to;
        bool drawn = false;
        for (const Bar& bar : Bars(file, 0, &from, &to)) {
            if (!CycleInRange(file, static_cast<size_t>(bar.cycle - file.cycles.data())))
                continue;
            const std::string& host = CycleHost(file, *bar.cycle);
            auto lane = std::find_if(lanes.begin(), lanes.end(), [&](const MachineLane& l) { return l.host == host; });
            if (lane == lanes.end())
                lane = lanes.insert(lanes.end(), MachineLane{host, {}, {}, false, {}});
            if (lane->files.empty() || lane->files.back() != &file)
                lane->files.push_back(&file);
            lane->damaged = lane->damaged || !SkippedPartsText(file.skipped).empty() || file.skipped.cut;
            // A boot that several copies of the log hold is drawn once, as the copy that knows most of it.
            const auto [kept, fresh] = lane->starts.emplace(bar.cycle->start, lane->bars.size());
            if (fresh)
                lane->bars.push_back(bar);
            else if (Knowledge(bar.cycle->state) > Knowledge(lane->bars[kept->second].cycle->state))
                lane->bars[kept->second] = bar;
            *first = std::min(*first, bar.from);
            *last = std::max(*last, bar.to);
            drawn = true;
        }
        *bare += !drawn;
    }
    return lanes;
}

// One machine's lane, the `index`-th: its label, its tooltip (host, files,
// cycles by state, span, damage) and its bars, a merged path per state,
// cut where they leave the plot.
void FleetLane(std::string* out, const MachineLane& lane, size_t index, const FleetGeometry& at)
{
    size_t counts[4] = {};
    int64_t first = INT64_MAX, last = INT64_MIN;
    for (const Bar& bar : lane.bars) {
        ++counts[static_cast<int>(bar.cycle->state)];
        first = std::min(first, bar.from);
        last = std::max(last, bar.to);
    }
    const double y = at.top + index * at.laneHeight;
    const double middle = y + at.laneHeight / 2;
    const double barHeight = at.laneHeight - std::max(1.0, at.laneHeight / 4);
    const std::string files = lane.files.size() == 1 ? lane.files[0]->path
                                                     : std::to_string(lane.files.size()) + " logs";

    *out += lane.damaged ? "<g class=\"lane damaged\"><title>" : "<g class=\"lane\"><title>";
    AppendXmlText(out, lane.host.empty() ? files : lane.host + "  " + files);
    Append(out, "\n%zu cycles: %zu stopped, %zu died, %zu running", lane.bars.size(),
           counts[static_cast<int>(CycleState::kStopped)], counts[static_cast<int>(CycleState::kDied)],
           counts[static_cast<int>(CycleState::kRunning)]);
    if (counts[static_cast<int>(CycleState::kCut)])
        Append(out, ", %zu cut", counts[static_cast<int>(CycleState::kCut)]);
    Append(out, "\n%s to %s", DateText(first, "%Y-%m-%d %H:%M").c_str(), DateText(last, "%Y-%m-%d %H:%M").c_str());
    for (const ReplayFile* file : lane.files) {
        const std::string trouble = SkippedPartsText(file->skipped) +
                                    (file->skipped.cut ? (file->skipped.records ? "; " : "") + CutShortText(file->skipped) : "");
        if (lane.files.size() > 1 || !trouble.empty())
            AppendXmlText(out, "\n" + file->path + (trouble.empty() ? "" : ": " + trouble));
    }
    *out += "</title>";
    // Every other lane shaded, so that thin ones can be followed across;
    // under the labels only when each lane has its own, or it would cover
    // the previous lane's label where that runs over.
    const double shadeLeft = at.labelEvery == 1 ? kFleetLabelLeft - 4 : kFleetPlotLeft;
    if (lane.damaged || index % 2 == 0)
        Append(out, "<rect x=\"%.1f\" y=\"%.2f\" width=\"%.1f\" height=\"%.2f\" fill=\"%s\"/>", shadeLeft, y,
               kPlotRight - shadeLeft, at.laneHeight, lane.damaged ? kDamagedLaneColour : kLaneColour);
    if (lane.damaged)
        Append(out, "<rect x=\"%.1f\" y=\"%.2f\" width=\"%.1f\" height=\"%.2f\" fill=\"%s\"/>",
               kFleetPlotLeft - kDamageMarkWidth - 4, y, kDamageMarkWidth, at.laneHeight, kDamageColour);
    if (index % at.labelEvery == 0) {
        const double size = std::min(11.0, at.laneHeight * at.labelEvery * 0.75);
        const double charWidth = kCharWidth * size / 11;
        const double room = kFleetPlotLeft - kFleetLabelLeft - kDamageMarkWidth - 10;
        Append(out, "<text x=\"%.1f\" y=\"%.2f\" font-size=\"%.1f\" fill=\"%s\">", kFleetLabelLeft,
               middle + size * 0.36, size, kInkColour);
        double used = 0;
        if (!lane.host.empty()) {
            *out += "<tspan font-weight=\"bold\">";
            AppendXmlText(out, lane.host);
            *out += "</tspan> ";
            used = (lane.host.size() + 1) * charWidth * 1.1;
        }
        const double left = std::max(0.0, room - used) / charWidth;
        AppendXmlText(out, ShortenedPath(files, static_cast<size_t>(left)));
        *out += "</text>";
        if (at.labelEvery > 1)
            Append(out, "<rect x=\"%.1f\" y=\"%.2f\" width=\"%.1f\" height=\"%.2f\" fill=\"%s\"/>",
                   kFleetPlotLeft - kLeaderWidth, y, kLeaderWidth, at.laneHeight, kQuietInkColour);
    }

    std::vector<std::pair<int, int>> runs[4], diedMarks;
    std::vector<double> openStarts;
    const auto pixel = [&](int64_t t) { return std::clamp(at.X(t), kFleetPlotLeft, kPlotRight); };
    for (const Bar& bar : lane.bars) {
        if (bar.to < at.first || bar.from > at.last)
            continue;
        const int x0 = static_cast<int>(std::floor(pixel(bar.from)));
        if (bar.cycle->state == CycleState::kRunning) {
            if (bar.from >= at.first)
                openStarts.push_back(pixel(bar.from));
            continue;
        }
        const int x1 = std::max(static_cast<int>(std::ceil(pixel(bar.to))), x0 + 1);
        runs[static_cast<int>(bar.cycle->state)].emplace_back(x0, x1);
        if (bar.cycle->state == CycleState::kDied && bar.from >= at.first)
            diedMarks.emplace_back(x0, x0 + kDiedMarkWidth);
    }
    // The died cycles' light bodies lie under the stopped ones; their marks
    // go over everything, across the whole lane, so that a short one shows.
    // A cut cycle that another copy of the log holds whole lies under what that copy knows.
    RunsPath(out, &runs[static_cast<int>(CycleState::kCut)], middle, barHeight, kCutColour, "cut");
    RunsPath(out, &runs[static_cast<int>(CycleState::kDied)], middle, barHeight, kDiedBodyColour, "died");
    RunsPath(out, &runs[static_cast<int>(CycleState::kStopped)], middle, barHeight, kStoppedColour, "stopped");
    for (double x : openStarts)
        Append(out, "<rect class=\"running\" x=\"%.1f\" y=\"%.2f\" width=\"%.1f\" height=\"%.2f\" fill=\"url(#open)\"/>",
               x, middle - barHeight / 2, std::min(kOpenWidth, kPlotRight - x), barHeight);
    RunsPath(out, &diedMarks, middle, at.laneHeight, kDiedColour, "died-mark");
    *out += "</g>\n";
}

// The shared axis's ticks, their lines across every lane and their labels
// above the first lane and below the last.
void FleetAxis(std::string* out, const FleetGeometry& at, double bottom)
{
    const TickStep* step = nullptr;
    const std::vector<int64_t> ticks = Ticks(at.first, at.last, &step, kFleetPlotWidth);
    std::string previousDate;
    for (int64_t t : ticks) {
        const double x = at.X(t);
        Append(out, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\"/>", x, at.top - 6, x,
               bottom + 6, kGridColour);
        const std::string label = DateText(t, step->format);
        AxisLabel(out, x, at.top - 10, kInkColour, label);
        AxisLabel(out, x, bottom + 18, kInkColour, label);
        // Hours alone do not say which day: the date goes beside each new one.
        const std::string date = DateText(t, "%Y-%m-%d");
        if (step->seconds && step->seconds < kDay && date != previousDate) {
            AxisLabel(out, x, at.top - 22, kQuietInkColour, date);
            AxisLabel(out, x, bottom + 30, kQuietInkColour, date);
        }
        previousDate = date;
    }
    *out += "\n";
}

// The picture of several files: a lane per machine, written to `out` a lane
// at a time. The axis spans the range asked for, else the cycles drawn.
void WriteFleetSvg(FILE* out, const std::vector<ReplayFile>& files)
{
    // Files shifted alike are drawn on their common clock; otherwise their
    // texts' clocks differ, and only UTC compares them as instants.
    const int64_t shift = files[0].textOffset;
    const bool oneClock = std::all_of(files.begin(), files.end(),
                                      [&](const ReplayFile& file) { return file.textOffset == shift; });
    pictureShift = oneClock ? shift : 0;
    FleetGeometry at{0, 0, 0, 0, 1};
    size_t bare = 0;
    const std::vector<MachineLane> lanes = MachineLanes(files, &at.first, &at.last, &bare);
    const bool damage = std::any_of(lanes.begin(), lanes.end(), [](const MachineLane& lane) { return lane.damaged; });
    if (lanes.empty())
        at.first = at.last = PictureTime(timeRange.since ? timeRange.sinceTime : 0);
    // Room at the right for the newest running cycle's fading bar.
    at.last += std::max<int64_t>(kHour, (at.last - at.first) * kOpenWidth / (kFleetPlotWidth - kOpenWidth));
    if (timeRange.since)
        at.first = PictureTime(timeRange.sinceTime);
    if (timeRange.until)
        at.last = PictureTime(timeRange.untilTime);
    if (at.last <= at.first)
        at.last = at.first + kHour;
    const size_t count = std::max<size_t>(lanes.size(), 1);
    at.laneHeight = std::min(std::clamp(kFleetLanesTall / count, kMinFleetLaneHeight, kMaxFleetLaneHeight),
                             kMaxFleetLanesTall / count);
    for (int every : kFleetLabelSteps) {
        at.labelEvery = every;
        if (every * at.laneHeight >= kMinFleetLabelSpacing)
            break;
    }
    at.top = kLegendHeight + kFleetHeading + kAxisHeight;
    const double bottom = at.top + lanes.size() * at.laneHeight;
    const double height = std::ceil(bottom + kFleetAxisBelow);

    std::string text;
    DocumentHead(&text, height);
    Legend(&text, files, oneClock ? ClockText(shift) : "in UTC, since their texts are at different offsets", damage);
    Append(&text, "<text x=\"16\" y=\"%.1f\" font-size=\"12\" fill=\"%s\">", kLegendHeight + 12, kQuietInkColour);
    const std::string every = at.labelEvery > 1 ? " (a label every " + std::to_string(at.labelEvery) + " lanes)" : "";
    const std::string span = "; " + DateText(at.first, "%Y-%m-%d") + " to " + DateText(at.last, "%Y-%m-%d");
    const std::string without = bare ? "; " + std::to_string(bare) + (bare == 1 ? " log" : " logs") +
                                           " without a cycle in range, not drawn"
                                     : "";
    Append(&text, "%zu machines, a lane each, in the order given, labelled with its machine and logs%s%s%s. A lane's "
                  "tooltip tells its cycles.</text>\n",
           lanes.size(), every.c_str(), span.c_str(), without.c_str());
    FleetAxis(&text, at, bottom);
    std::fwrite(text.data(), 1, text.size(), out);
    for (size_t i = 0; i < lanes.size(); ++i) {
        text.clear();
        FleetLane(&text, lanes[i], i, at);
        std::fwrite(text.data(), 1, text.size(), out);
    }
    std::fputs("</svg>\n", out);
}

}  // namespace

// One file gets a panel at its own scale, made first since the picture's
// height heads the document; several get a lane each on one axis.
void WriteTimelineSvg(FILE* out, const std::vector<ReplayFile>& files)
{
    if (files.size() > 1)
        return WriteFleetSvg(out, files);
    pictureShift = files.empty() ? ProgramTextOffset() : files[0].textOffset;
    std::string body;
    double y = kLegendHeight;
    for (const ReplayFile& file : files) {
        std::string panel;
        const double height = Panel(&panel, file);
        Append(&body, "<g class=\"file\" transform=\"translate(0,%.1f)\">", y);
        body += panel;
        body += "</g>\n";
        y += height + kPanelGap;
    }
    std::string svg;
    DocumentHead(&svg, y);
    Legend(&svg, files, ClockText(pictureShift), false);
    svg += "\n";
    svg += body;
    svg += "</svg>\n";
    std::fwrite(svg.data(), 1, svg.size(), out);
}

// Shares the date axis with the power timeline: the same ticks and labels.
void DrawTimelineAxis(std::string* out, int64_t shift, int64_t first, int64_t last, double left, double width,
                      double top, double bottom)
{
    pictureShift = shift;
    const TickStep* step = nullptr;
    const int64_t from = PictureTime(first), to = PictureTime(last);
    for (int64_t t : Ticks(from, to, &step, width)) {
        const double x = left + width * static_cast<double>(t - from) / static_cast<double>(std::max<int64_t>(1, to - from));
        Append(out, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\"/>", x, top - 6, x,
               bottom + 6, kGridColour);
        AxisLabel(out, x, top - 10, kInkColour, DateText(t, step->format));
        AxisLabel(out, x, bottom + 18, kInkColour, DateText(t, step->format));
    }
    *out += "\n";
}

// The clock the timeline's times are on, for the power timeline's legend.
std::string TimelineClockText(int64_t shift)
{
    return ClockText(shift);
}
