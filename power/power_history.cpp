// The power history as a walk over marks in the order the records were
// written: each power record becomes marks that a period starts, or ends, at
// a time; marks of one start (Kernel-General 12, Kernel-Boot 27 and 6009 of a
// boot; 27 and Power-Troubleshooter 1 of a Fast Startup boot) merge, as do
// the marks of one end (1074, 6006, 109, 13 of a shutdown), and the most
// precise time of each wins. Written order, not time order: providers' clocks
// can disagree by hours in one log, and the kernel's shutdown records are
// written at the next boot, which their times before its start tell.

#include <algorithm>
#include <utility>

#include "power/power_history.h"

namespace {

// Which start marks of one kind may merge, and how far apart they may lie:
// the boot marker can come minutes after the kernel's start.
enum class Family : uint8_t { kFull, kFastStartup, kHibernate, kSleep };
constexpr int64_t kStartCluster = 600;
// A full shutdown followed this soon by a full boot was a restart, where the
// log says nothing better (a localised 1074 text, no 109).
constexpr int64_t kRestartGap = 90;

// How much a mark's time is worth: a marker written at some point of the
// transition, one written by the kernel as it happened, or one that states
// the very moment (Power-Troubleshooter's SleepTime and WakeTime).
enum Rank : uint8_t { kWeak, kStrong, kPrecise };

// What an end mark says of how the period ended.
enum class EndKind : uint8_t { kFull, kFastStartup, kHibernate, kSleep };

// Bits naming the start marks a period has taken, so that a second of the
// same kind is a new start, not part of this one.
enum StartBit : uint16_t {
    kBit6009 = 1, kBit6005 = 2, kBit6008 = 4, kBit41 = 8, kBit12 = 16, kBit27 = 32, kBitReturned = 64,
    kBit107 = 128, kBit507 = 256
};

enum class MarkType : uint8_t { kStart, kEnd, kRequest };

struct Mark {
    int64_t time;
    uint64_t record;
    MarkType type;
    Rank rank;
    Family family;    // kStart
    uint16_t bit;     // kStart
    bool died;        // kStart: says the period before ended without an orderly shutdown
    EndKind endKind;  // kEnd
    int8_t restart;   // kEnd of a full shutdown: 1 restart, 0 power off, -1 unsaid
    const PowerEvent* event;
};

// Family of the sleep states 2 to 4, hibernate 5 and shutdown 6; false for others.
bool StateFamily(int32_t state, Family* family)
{
    if (state >= 2 && state <= 4)
        *family = Family::kSleep;
    else if (state == 5)
        *family = Family::kHibernate;
    else if (state == 6)
        *family = Family::kFastStartup;
    else
        return false;
    return true;
}

// How a period ends when the machine goes into the state of `family`.
EndKind EndOfFamily(Family family)
{
    switch (family) {
    case Family::kFastStartup:
        return EndKind::kFastStartup;
    case Family::kHibernate:
        return EndKind::kHibernate;
    case Family::kSleep:
        return EndKind::kSleep;
    case Family::kFull:
        break;
    }
    return EndKind::kFull;
}

// Appends the marks of one record to *marks; records that say nothing of a
// transition, or whose data do not read, give none.
void AddMarks(const PowerEvent& event, std::vector<Mark>* marks)
{
    const auto start = [&](int64_t time, Rank rank, Family family, uint16_t bit, bool died = false) {
        if (time > 0)
            marks->push_back({time, event.record, MarkType::kStart, rank, family, bit, died, EndKind::kFull, -1, &event});
    };
    const auto end = [&](int64_t time, Rank rank, EndKind kind, int8_t restart = -1) {
        if (time > 0)
            marks->push_back({time, event.record, MarkType::kEnd, rank, Family::kFull, 0, false, kind, restart, &event});
    };
    Family family;
    switch (event.source) {
    case PowerSource::kEventLog:
        if (event.id == kPowerBootMarkerId)
            start(event.time, kWeak, Family::kFull, kBit6009);
        else if (event.id == kPowerServiceStartId)
            start(event.time, kWeak, Family::kFull, kBit6005);
        else if (event.id == kPowerUnexpectedId)
            start(event.time, kWeak, Family::kFull, kBit6008, true);
        else if (event.id == kPowerServiceStopId)
            end(event.time, kWeak, EndKind::kFull);
        break;
    case PowerSource::kKernelGeneral:
        if (event.id == kPowerStartedId)
            start(event.time, kStrong, Family::kFull, kBit12);
        else if (event.id == kPowerStoppingId)
            end(event.time, kStrong, EndKind::kFull);
        break;
    case PowerSource::kKernelBoot:
        if (event.id == kPowerBootTypeId && event.bootType >= 0 && event.bootType <= 2) {
            static constexpr Family kBootFamilies[3] = {Family::kFull, Family::kFastStartup, Family::kHibernate};
            start(event.time, kStrong, kBootFamilies[event.bootType], kBit27);
        }
        break;
    case PowerSource::kKernelPower:
        if (event.id == kPowerUncleanId) {
            start(event.time, kWeak, Family::kFull, kBit41, true);
        } else if (event.id == kPowerEnteringId && StateFamily(event.targetState, &family)) {
            // A shutdown whose kernel session is not hibernated is a full one.
            const bool full = family == Family::kFastStartup && event.effectiveState != kPowerNoValue &&
                              event.effectiveState != 5;
            end(event.time, kStrong, full ? EndKind::kFull : EndOfFamily(family));
        } else if (event.id == kPowerResumedId) {
            if (!StateFamily(event.targetState, &family) || family == Family::kFastStartup)
                family = Family::kSleep;
            start(event.time, kWeak, family, kBit107);
        } else if (event.id == kPowerShutdownId) {
            const int32_t action = event.shutdownAction;
            end(event.time, kStrong, EndKind::kFull, action == 5 ? 1 : action == 4 || action == 6 ? 0 : -1);
        } else if (event.id == kPowerStandbyInId) {
            end(event.time, kStrong, EndKind::kSleep);
        } else if (event.id == kPowerStandbyOutId) {
            start(event.time, kWeak, Family::kSleep, kBit507);
        }
        break;
    case PowerSource::kTroubleshooter:
        // Only a stay that took time: the record written before a hibernate
        // says sleep and wake at the same moment, and an odd one wakes before it slept.
        if (event.id == kPowerReturnedId && StateFamily(event.targetState, &family) && event.sleepTime > 0 &&
            event.wakeTime > event.sleepTime) {
            end(event.sleepTime, kPrecise, EndOfFamily(family));
            start(event.wakeTime, kPrecise, family, kBitReturned);
        }
        break;
    case PowerSource::kUser32:
        if (event.id == kPowerRequestId && event.time > 0)
            marks->push_back({event.time, event.record, MarkType::kRequest, kWeak, Family::kFull, 0, false,
                              EndKind::kFull, -1, &event});
        break;
    }
}

// How a period begins that a start mark of `family` starts.
PowerBegan BeganOf(Family family)
{
    switch (family) {
    case Family::kFastStartup:
        return PowerBegan::kFastStartup;
    case Family::kHibernate:
        return PowerBegan::kResumeHibernate;
    case Family::kSleep:
        return PowerBegan::kResumeSleep;
    case Family::kFull:
        break;
    }
    return PowerBegan::kBoot;
}

// A period while it is being built, oldest first.
struct Building {
    PowerPeriod period;
    Family family;
    Rank startRank;
    uint16_t bits = 0;
    bool familyFromBootType = false;
    bool ending = false;  // an end mark came: no more start marks merge
    Rank endRank = kWeak;
    bool anyEnd[4] = {};
    int8_t restart = -1;
    int64_t statedEnd = 0;  // 6008's time, for a died period
};

// Whether start marks of the two families may tell one start: a resume is
// told as from sleep by one record and from hibernation by another.
bool Compatible(Family a, Family b)
{
    const auto resume = [](Family f) { return f == Family::kHibernate || f == Family::kSleep; };
    return a == b || (resume(a) && resume(b));
}

// Whether start mark `mark` is part of the start of `open`, which no end has reached.
bool MergesInto(const Building& open, const Mark& mark)
{
    if (open.ending || (open.bits & mark.bit) || !Compatible(open.family, mark.family))
        return false;
    // A resume stamped at the wrong time (107) gives way to the stated wake, however late.
    if (open.startRank == kWeak && open.family != Family::kFull && mark.rank == kPrecise)
        return true;
    return mark.time - open.period.start <= kStartCluster;
}

// Takes start mark `mark` into `open`: its family where it knows best, its
// time where it is more precise.
void Merge(Building* open, const Mark& mark)
{
    open->bits |= mark.bit;
    const bool bootType = mark.bit == kBit27;
    if (bootType || (!open->familyFromBootType && mark.rank > open->startRank))
        open->family = mark.family;
    open->familyFromBootType = open->familyFromBootType || bootType;
    if (mark.rank > open->startRank) {
        open->period.start = mark.time;
        open->startRank = mark.rank;
    }
}

// How the end marks of `b` say it ended.
PowerEnded EndedOf(const Building& b)
{
    if (b.anyEnd[static_cast<int>(EndKind::kFastStartup)])
        return PowerEnded::kFastStartup;
    if (b.anyEnd[static_cast<int>(EndKind::kFull)])
        return b.restart == 1 ? PowerEnded::kRestart : PowerEnded::kShutdown;
    if (b.anyEnd[static_cast<int>(EndKind::kHibernate)])
        return PowerEnded::kHibernate;
    return PowerEnded::kSleep;
}

// Whether an initiator belongs to this way of ending.
bool Requested(PowerEnded ended)
{
    return ended == PowerEnded::kShutdown || ended == PowerEnded::kRestart || ended == PowerEnded::kFastStartup;
}

}  // namespace

// The fixed words of the outputs.
const char* PowerBeganWord(PowerBegan began)
{
    static constexpr const char* kWords[kPowerBeganKinds] = {"boot", "fast-startup", "resume-hibernate",
                                                             "resume-sleep"};
    return kWords[static_cast<size_t>(began)];
}

const char* PowerEndedWord(PowerEnded ended)
{
    static constexpr const char* kWords[kPowerEndedKinds] = {"shutdown", "restart", "fast-startup", "hibernate",
                                                             "sleep",    "died",    "running"};
    return kWords[static_cast<size_t>(ended)];
}

// Walks the marks in time order, then settles what only the next period
// tells: a died period's end, a full shutdown that was a restart.
PowerHistory BuildPowerHistory(std::vector<PowerEvent> events, std::vector<int64_t> recordTimes)
{
    std::vector<Mark> marks;
    marks.reserve(events.size() * 2);
    for (const PowerEvent& event : events)
        AddMarks(event, &marks);
    std::stable_sort(marks.begin(), marks.end(), [](const Mark& a, const Mark& b) { return a.record < b.record; });
    std::vector<Building> built;
    bool open = false;  // the last of `built` is on, or ending
    for (const Mark& mark : marks) {
        Building* last = open ? &built.back() : nullptr;
        if (mark.type == MarkType::kRequest) {
            if (last) {
                last->period.initiator = mark.event->process;
                if (!mark.event->user.empty())
                    last->period.initiator += (mark.event->process.empty() ? "" : " by ") + mark.event->user;
            }
            continue;
        }
        if (mark.type == MarkType::kEnd) {
            // The kernel's shutdown records are written at the next boot, and
            // the wake's record after the resume it states: stamped before the
            // open period began, they are the period before's. The event log
            // service's own are never late: before the start, the clock was set back.
            // A resume stamped as its sleep began opens a period the wake's
            // record has not yet placed: the sleep it states is the one before.
            const bool unplacedResume = last && last->startRank == kWeak && last->family != Family::kFull &&
                                        mark.rank == kPrecise && mark.time - last->period.start <= kStartCluster;
            if (last && !last->ending && mark.rank != kWeak && (mark.time < last->period.start || unplacedResume))
                last = built.size() > 1 ? &built[built.size() - 2] : nullptr;
            if (!last)
                continue;  // the log starts after the period began
            if (!last->ending || mark.rank > last->endRank || (mark.rank == last->endRank && mark.rank != kPrecise)) {
                last->period.end = mark.time;
                last->endRank = std::max(last->endRank, mark.rank);
            }
            last->ending = true;
            last->anyEnd[static_cast<int>(mark.endKind)] = true;
            if (mark.restart >= 0)
                last->restart = mark.restart;
            continue;
        }
        if (last && MergesInto(*last, mark)) {
            Merge(last, mark);
            if (mark.died && built.size() > 1 && mark.event->lastRunning > 0)
                built[built.size() - 2].statedEnd = mark.event->lastRunning;
            continue;
        }
        // A resume while awake is a stale stamp, not a start.
        if (last && !last->ending && mark.rank == kWeak && mark.family != Family::kFull)
            continue;
        Building next;
        next.family = mark.family;
        next.startRank = kWeak;
        Merge(&next, mark);
        // A resume stamped before its sleep began starts when the sleep did.
        next.period.start = mark.rank == kWeak && mark.family != Family::kFull && last && last->ending
                                ? std::max(mark.time, last->period.end)
                                : mark.time;
        next.startRank = mark.rank;
        if (mark.died && last && mark.event->lastRunning > 0)
            last->statedEnd = mark.event->lastRunning;
        built.push_back(std::move(next));
        open = true;
    }
    std::sort(recordTimes.begin(), recordTimes.end());
    const int64_t newest = recordTimes.empty() ? 0 : recordTimes.back();
    PowerHistory history;
    for (size_t i = 0; i < built.size(); ++i) {
        Building& b = built[i];
        PowerPeriod& p = b.period;
        p.began = BeganOf(b.family);
        const bool last = i + 1 == built.size();
        // A clock set back between two periods leaves the next start no bound.
        const int64_t nextStart = last || built[i + 1].period.start < p.start ? INT64_MAX : built[i + 1].period.start;
        p.ended = b.ending ? EndedOf(b) : last ? PowerEnded::kRunning : PowerEnded::kDied;
        if (p.ended == PowerEnded::kRunning)
            p.end = std::max(p.start, newest);
        if (p.ended == PowerEnded::kDied) {
            if (b.statedEnd >= p.start && b.statedEnd <= nextStart) {
                p.lastKnown = b.statedEnd;
            } else if (nextStart == INT64_MAX) {
                p.lastKnown = p.start;
            } else {
                const auto after = std::lower_bound(recordTimes.begin(), recordTimes.end(), nextStart);
                p.lastKnown = after == recordTimes.begin() ? p.start : std::max(p.start, *(after - 1));
            }
            p.end = p.lastKnown;
        }
        if (p.ended == PowerEnded::kShutdown && b.restart < 0 && !last && built[i + 1].family == Family::kFull &&
            nextStart - p.end <= kRestartGap)
            p.ended = PowerEnded::kRestart;
        if (!Requested(p.ended))
            p.initiator.clear();
        p.end = std::max(p.start, std::min(p.end, nextStart));
        p.lastKnown = p.ended == PowerEnded::kDied ? p.end : 0;
        PowerTotals& t = history.totals;
        t.onSeconds += p.end - p.start;
        ++t.began[static_cast<size_t>(p.began)];
        ++t.ended[static_cast<size_t>(p.ended)];
        if (!last && nextStart != INT64_MAX) {
            const int64_t gap = std::max<int64_t>(0, nextStart - p.end);
            (p.ended == PowerEnded::kSleep || p.ended == PowerEnded::kHibernate ? t.asleepSeconds : t.offSeconds) += gap;
        }
    }
    history.periods.reserve(built.size());
    for (auto it = built.rbegin(); it != built.rend(); ++it)
        history.periods.push_back(std::move(it->period));
    return history;
}
