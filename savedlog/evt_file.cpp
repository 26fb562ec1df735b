// The legacy event log file (.evt): a 0x30-byte header, then the records as a
// ring that wraps from the end of the file back to offset 0x30, closed by a
// 0x28-byte end-of-log record. Listed in a record stream, newest first, in
// place in the file's image.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "savedlog/file_bytes.h"
#include "savedlog/power_records.h"
#include "savedlog/saved_log.h"

namespace {

constexpr uint32_t kHeaderSize = 0x30;  // also where the ring starts
constexpr uint32_t kSignature = 0x654C664C;  // "LfLe"
constexpr uint32_t kMinRecordSize = 0x38;  // the fixed part of a record
constexpr uint32_t kEofSize = 0x28;
constexpr uint32_t kEofMarks[4] = {0x11111111, 0x22222222, 0x33333333, 0x44444444};
constexpr uint32_t kFlagDirty = 1;
constexpr uint32_t kFlagWrapped = 2;
// Header fields: where the oldest record and the end-of-log record lie, the
// next record's number and the oldest's, the file's size, the flags.
constexpr uint32_t kStartOffsetAt = 16;
constexpr uint32_t kEndOffsetAt = 20;
constexpr uint32_t kNextNumberAt = 24;
constexpr uint32_t kOldestNumberAt = 28;
constexpr uint32_t kMaxSizeAt = 32;
constexpr uint32_t kFlagsAt = 36;
constexpr size_t kReadAhead = 4096;  // how far ahead of the walk bytes are asked for ...
constexpr size_t kReadAheadLines = 4;  // ... in this many 64-byte lines per record

// Record fields the log's facts read.
constexpr uint32_t kEventIdAt = 20;
constexpr uint32_t kNumStringsAt = 26;
constexpr uint32_t kStringOffsetAt = 36;
constexpr uint32_t kSourceNameAt = kMinRecordSize;  // then the computer's name, each ending in a NUL
constexpr uint16_t kBootEventId = 6009;    // the event log service started: names the machine
constexpr uint16_t kUptimeEventId = 6013;  // the service's uptime record
constexpr std::string_view kSystemSource = "EventLog";
static_assert((kBootEventId | kUptimeEventId) == kUptimeEventId, "a boot record's ID is the uptime record's less bits");  // the source of the System log's own records

// The file as a ring: record bytes live in [kHeaderSize, size) and a run that
// reaches `size` goes on at kHeaderSize.
struct Ring {
    const uint8_t* data;
    uint32_t size;
};

// Copies `count` bytes (at most the ring's length) from ring offset `pos`,
// which must lie in [kHeaderSize, size), wrapping as needed. Returns the ring
// offset just past them.
uint32_t RingCopy(const Ring& ring, uint32_t pos, uint32_t count, uint8_t* out)
{
    while (count > 0) {
        const uint32_t run = std::min(count, ring.size - pos);
        std::memcpy(out, ring.data + pos, run);
        out += run;
        count -= run;
        pos += run;
        if (pos == ring.size)
            pos = kHeaderSize;
    }
    return pos;
}

// As RingCopy, appending to `out`.
uint32_t RingAppend(const Ring& ring, uint32_t pos, uint32_t count, std::vector<uint8_t>* out)
{
    while (count > 0) {
        const uint32_t run = std::min(count, ring.size - pos);
        out->insert(out->end(), ring.data + pos, ring.data + pos + run);
        count -= run;
        pos += run;
        if (pos == ring.size)
            pos = kHeaderSize;
    }
    return pos;
}

// Reads the ten dwords of the end-of-log record at ring offset `pos` into
// `fields` and says whether they carry its length and markers.
bool ReadEofRecord(const Ring& ring, uint32_t pos, uint32_t fields[10])
{
    uint8_t raw[kEofSize];
    const uint8_t* at = ring.data + pos;
    if (ring.size - pos < kEofSize) {
        // Cheap rejection first: scans call this at every dword of the ring.
        if (ring.size - pos >= 4 && GetU32(at) != kEofSize)
            return false;
        RingCopy(ring, pos, kEofSize, raw);
        at = raw;
    } else if (GetU32(at) != kEofSize) {
        return false;
    }
    for (int i = 0; i < 10; ++i)
        fields[i] = GetU32(at + 4 * i);
    return fields[1] == kEofMarks[0] && fields[2] == kEofMarks[1] && fields[3] == kEofMarks[2] &&
           fields[4] == kEofMarks[3] && fields[9] == kEofSize;
}

// Looks for the end-of-log record at every dword of the ring, starting at
// `hint` (where a stale header last saw it) and wrapping once round. True with
// its offset and fields when found.
bool FindEofRecord(const Ring& ring, uint32_t hint, uint32_t* pos, uint32_t fields[10])
{
    const uint32_t slots = (ring.size - kHeaderSize + 3) / 4;
    // The log only grows after the header was last written, so the record is
    // usually a little past the hint.
    uint32_t at = hint >= kHeaderSize && hint < ring.size ? hint - (hint - kHeaderSize) % 4 : kHeaderSize;
    for (uint32_t i = 0; i < slots; ++i) {
        // The first marker alone rules out nearly every dword, cheaply.
        const bool candidate = ring.size - at < 8 || GetU32(ring.data + at + 4) == kEofMarks[0];
        if (candidate && ReadEofRecord(ring, at, fields)) {
            *pos = at;
            return true;
        }
        at += 4;
        if (at >= ring.size)
            at = kHeaderSize;
    }
    return false;
}

// The length of the sound record at ring offset `pos`, where at least the
// fixed part of a record fits before the end of the file and `left` bytes of
// the log remain: a length of at least the fixed part and at most `left`,
// the signature, and the same length trailing it, read round the ring's end
// when the record wraps. 0 otherwise.
uint32_t SoundRecordAt(const Ring& ring, uint32_t pos, uint32_t left)
{
    const uint8_t* at = ring.data + pos;
    // The signature first: it alone rules out nearly every offset a search tries.
    if (GetU32(at + 4) != kSignature)
        return 0;
    const uint32_t length = GetU32(at);
    if (length < kMinRecordSize || length > left)
        return 0;
    uint8_t trailing[4];
    const uint32_t room = ring.size - pos;
    const uint32_t back = length - 4;  // where the trailing length lies in the record
    if (length <= room)
        std::memcpy(trailing, at + back, 4);
    else
        RingCopy(ring, back < room ? pos + back : kHeaderSize + (back - room), 4, trailing);
    return GetU32(trailing) == length ? length : 0;
}

// String `index` (from 0) of the NUL-terminated UTF-16 strings laid from
// record offset `at`, all before the record's trailing length: where its
// units start and how many. False when it does not end there.
bool NthString(const uint8_t* record, uint32_t length, uint32_t at, uint32_t index, uint32_t* begin, uint32_t* count)
{
    const uint32_t end = length - 4;
    for (uint32_t i = 0;; ++i) {
        if (at > end)
            return false;  // an offset the record does not reach
        uint32_t unit = at;
        while (unit + 2 <= end && GetU16(record + unit) != 0)
            unit += 2;
        if (unit + 2 > end)
            return false;
        if (i == index) {
            *begin = at;
            *count = (unit - at) / 2;
            return true;
        }
        at = unit + 2;
    }
}

// String `index` of those from record offset `at`, as UTF-8; "" when it does not end in the record.
std::string RecordString(const uint8_t* record, uint32_t length, uint32_t at, uint32_t index)
{
    uint32_t begin, count;
    if (at < kSourceNameAt || !NthString(record, length, at, index, &begin, &count))
        return "";
    return Utf8FromUtf16(record + begin, count);
}

// What the records of a ring say of where the log comes from: `newest` the
// newest, `boot` the newest boot record and `uptime` the newest uptime
// record, each null when there is none.
void FillFacts(const uint8_t* newest, const uint8_t* boot, const uint8_t* uptime, bool systemRecords, LogFacts* facts)
{
    std::vector<PowerEvent>* power = facts->power;
    const bool crashesOnly = facts->crashesOnly;
    *facts = LogFacts{};
    facts->power = power;
    facts->crashesOnly = crashesOnly;
    facts->systemRecords = systemRecords;
    const uint8_t* named = boot ? boot : newest;
    if (named)
        facts->host = RecordString(named, GetU32(named), kSourceNameAt, 1);
    if (newest && !systemRecords)
        facts->holds = RecordString(newest, GetU32(newest), kSourceNameAt, 0);
    const uint16_t strings = uptime ? GetU16(uptime + kNumStringsAt) : 0;
    if (strings > 0) {
        std::string zone = RecordString(uptime, GetU32(uptime), GetU32(uptime + kStringOffsetAt), strings - 1u);
        if (IsZoneText(zone))
            facts->zoneText = std::move(zone);
    }
}

// Whether the record at `record` is of the System log's own source: its
// source's name, NUL and all, compared where it lies, as most names differ
// at their first unit.
bool OfSystemSource(const uint8_t* record)
{
    constexpr uint32_t kUnits = static_cast<uint32_t>(kSystemSource.size()) + 1;
    if (GetU32(record) < kSourceNameAt + 2 * kUnits + 4)  // the name, and the trailing length after it
        return false;
    for (uint32_t i = 0; i < kUnits; ++i) {
        const uint16_t want = i < kSystemSource.size() ? static_cast<uint8_t>(kSystemSource[i]) : 0;
        if (GetU16(record + kSourceNameAt + 2 * i) != want)
            return false;
    }
    return true;
}

// Where the walk of a ring starts and how far it may go: from the oldest
// record to the end-of-log record when one is found that knows its place,
// else once round the ring from where the header last saw the oldest record.
struct Extent {
    uint32_t begin;
    uint32_t length;
    bool known;
    uint32_t oldestNumber, nextNumber;  // known: the oldest record's number, and the next one's
};

// The extent of the records in the ring, by the end-of-log record, which is
// rewritten after every write and knows the oldest record's offset and its
// own: where a clean header says it is, else found by a search from there.
Extent FindExtent(const Ring& ring, const uint8_t* header)
{
    const auto inRing = [&](uint32_t offset) { return offset >= kHeaderSize && offset < ring.size; };
    const uint32_t headerBegin = GetU32(header + kStartOffsetAt), headerEnd = GetU32(header + kEndOffsetAt);
    uint32_t eof[10];
    uint32_t end = headerEnd;
    // A clean header says where the record is; a dirty one only hints.
    const bool clean = !(GetU32(header + kFlagsAt) & kFlagDirty);
    const bool whereSaid = clean && inRing(end) && ReadEofRecord(ring, end, eof);
    if ((whereSaid || FindEofRecord(ring, end, &end, eof)) && eof[6] == end && inRing(eof[5])) {
        const uint32_t begin = eof[5];
        const uint32_t length = end >= begin ? end - begin : (ring.size - begin) + (end - kHeaderSize);
        return {begin, length, true, eof[8], eof[7]};
    }
    return {inRing(headerBegin) ? headerBegin : kHeaderSize, ring.size - kHeaderSize, false, 0, 0};
}

// Whether the file is shorter than the log its header describes: smaller than
// the size the header gives, with the oldest record or the end-of-log record
// placed past its end, or its ring wrapped (a wrapped log fills that size).
// Then what is missing: the records numbered from the oldest to the next
// that were neither read (`read`, the newest numbered `newest`) nor counted lost.
void MeasureCut(const uint8_t* header, uint32_t size, const Extent& extent, size_t read, uint32_t newest,
                SkippedParts* damage)
{
    const uint32_t maxSize = GetU32(header + kMaxSizeAt);
    const bool beyond = GetU32(header + kStartOffsetAt) >= size || GetU32(header + kEndOffsetAt) + uint64_t{kEofSize} > size ||
                        (GetU32(header + kFlagsAt) & kFlagWrapped);
    if (size >= maxSize || !beyond)
        return;
    damage->cut = true;
    const uint32_t next = extent.known ? extent.nextNumber : GetU32(header + kNextNumberAt);
    const uint32_t oldest = extent.known ? extent.oldestNumber : GetU32(header + kOldestNumberAt);
    damage->newestMissing = read > 0 && next > newest + 1;
    const uint64_t numbered = next > oldest ? next - oldest : 0;
    const uint64_t known = read + damage->records;
    damage->recordsMissing = numbered > known ? numbered - known : 0;
}

}  // namespace

// Lists a .evt image's records newest first, in place in `image`, which the stream
// shares; only a record that wraps round the ring is copied, into stream->bytes.
// A file that is no .evt log gives false, a one-line reason, and no change;
// damage inside one is read round and counted in *skipped.
//
// How the ring is searched past damage, and why that takes no stale record:
// with the end-of-log record found, the walk covers only the bytes from the
// oldest record to it, all of them the live log's (the writer drops the
// oldest records before it writes over them), and a record found past
// damage must number above the last one taken, so that an old record held in
// another's data is not taken either. Without it the extent is unknown: the
// walk goes once round the ring from the header's start offset, every record
// must number above the one before, and it ends at the first that does not,
// or at an end-of-log record: what an earlier pass left numbers below what
// has overwritten it. Candidates are tried at every dword past damage, so
// the search looks at each byte of the ring a bounded number of times.
bool ParseEvtImageInPlace(std::shared_ptr<const uint8_t> image, size_t size, RecordStream* stream,
                          SkippedParts* skipped, std::string* error, LogFacts* facts)
{
    const uint8_t* data = image.get();
    if (size < kHeaderSize)
        return FailWithReason(error, "file is %u bytes, too short for the header", static_cast<unsigned>(size));
    if (size > UINT32_MAX)
        return FailWithReason(error, "file is too large for 32-bit offsets");
    if (GetU32(data + 4) != kSignature)
        return FailWithReason(error, "bad header signature");
    if (GetU32(data) != kHeaderSize || GetU32(data + 44) != kHeaderSize)
        return FailWithReason(error, "bad header size %u/%u", GetU32(data), GetU32(data + 44));
    if (GetU32(data + 8) != 1 || GetU32(data + 12) != 1)
        return FailWithReason(error, "unsupported version %u.%u", GetU32(data + 8), GetU32(data + 12));

    // Facts not wanted are found all the same, as the .evtx reader does.
    LogFacts unwanted;
    if (!facts)
        facts = &unwanted;
    const Ring ring = {data, static_cast<uint32_t>(size)};
    if (ring.size - kHeaderSize < kEofSize)
        return FailWithReason(error, "file is %u bytes, too short for the end-of-log record", ring.size);
    const Extent extent = FindExtent(ring, data);
    // Records lost to damage before the record numbered `number`: those
    // numbered in between, where the numbers say, and at least one.
    const uint32_t plausibleGap = (ring.size - kHeaderSize) / kMinRecordSize;
    uint32_t newest = 0;  // the number of the last record taken
    std::vector<RecordSpan> spans;
    const auto lostBefore = [&](uint32_t number) {
        if (spans.empty() && !extent.known)
            return 1u;
        const uint32_t gap = number - (spans.empty() ? extent.oldestNumber : newest + 1);
        return gap >= 1 && gap < plausibleGap ? gap : 1u;
    };

    std::vector<uint8_t> wrapped;  // records split by the end of the file, each made whole
    spans.reserve(extent.length / kMinRecordSize);
    SkippedParts damage;
    bool searching = false, damaged = false;
    // The facts' records, as indices into spans; none while -1.
    ptrdiff_t bootAt = -1, uptimeAt = -1;
    bool systemRecords = false;
    std::vector<BootHost> bootHosts;
    const auto recordAt = [&](uint32_t offset) {
        return offset < ring.size ? data + offset : wrapped.data() + (offset - ring.size);
    };

    uint32_t pos = extent.begin;
    uint32_t left = extent.length;
    while (left > 0) {
        const uint32_t room = ring.size - pos;
        if (room < kMinRecordSize) {
            // Too little room for a record's fixed part: the writer filled the
            // tail of the file and put the next record at the ring's start.
            // An end-of-log record it names inside that filler, not at its
            // start, is out of place, and what it hides is lost.
            if (room >= left) {
                searching = searching || room > left;
                break;
            }
            left -= room;
            pos = kHeaderSize;
            continue;
        }
        // Each hop of the walk waits on bytes that nothing has read yet; asking
        // for those a page ahead lets the waits overlap.
        for (size_t line = 0; line < kReadAheadLines; ++line)
            __builtin_prefetch(data + std::min<size_t>(pos + kReadAhead + 64 * line, ring.size - 1));
        uint32_t eof[10];
        if (!extent.known && ReadEofRecord(ring, pos, eof))
            break;
        const uint32_t length = SoundRecordAt(ring, pos, left);
        const uint32_t number = length ? GetU32(data + pos + 8) : 0;
        const bool rises = spans.empty() || number > newest;
        if (length && !rises && !extent.known)
            break;  // an earlier pass
        if (!length || (!rises && searching)) {
            damaged = true;
            searching = true;
            const uint32_t step = std::min<uint32_t>(4, left);
            pos += step;
            left -= step;
            continue;
        }
        if (searching)
            damage.records += lostBefore(number);
        searching = false;
        damage.recovered += damaged;
        // A record that ends at the end of the file leaves pos at ring.size,
        // which the next turn treats as filler of no bytes.
        uint32_t offset = pos;
        uint32_t next = pos + length;
        if (length > room) {
            offset = ring.size + static_cast<uint32_t>(wrapped.size());
            next = RingAppend(ring, pos, length, &wrapped);
        }
        spans.push_back({offset, length});
        // The fixed part lies whole at pos, a split record's too; one test
        // passes over every record that is neither of the two kinds.
        const uint16_t eventId = GetU16(data + pos + kEventIdAt);
        if ((eventId | kUptimeEventId) == kUptimeEventId) {
            bootAt = eventId == kBootEventId ? static_cast<ptrdiff_t>(spans.size() - 1) : bootAt;
            if (eventId == kBootEventId)
                bootHosts.push_back({number, RecordString(recordAt(offset), length, kSourceNameAt, 1)});
            uptimeAt = eventId == kUptimeEventId ? static_cast<ptrdiff_t>(spans.size() - 1) : uptimeAt;
        }
        if (!systemRecords)
            systemRecords = OfSystemSource(recordAt(offset));
        newest = number;
        left -= length;
        pos = next;
    }
    if (searching && extent.known)
        damage.records += lostBefore(extent.nextNumber);  // damage up to the end-of-log record
    if (!extent.known)
        ++damage.records;  // the end of the log, and what its last write held

    const auto recordOf = [&](ptrdiff_t i) { return i < 0 ? nullptr : recordAt(spans[i].offset); };
    FillFacts(recordOf(static_cast<ptrdiff_t>(spans.size()) - 1), recordOf(bootAt), recordOf(uptimeAt),
              systemRecords, facts);
    if (facts->power) {
        for (const RecordSpan& span : spans)
            NoteEvtPowerEvent(recordAt(span.offset), span.size, facts->crashesOnly, facts->power);
    }
    facts->bootHosts = std::move(bootHosts);
    MeasureCut(data, ring.size, extent, spans.size(), newest, &damage);
    std::reverse(spans.begin(), spans.end());
    stream->bytes.swap(wrapped);
    stream->newestFirst.swap(spans);
    stream->image = std::move(image);
    stream->imageSize = ring.size;
    *skipped = damage;
    return true;
}
