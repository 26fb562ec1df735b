// The .evtx file of Vista and later: a 4096-byte file header, then 64 KiB
// chunks whose records hold binary XML (binxml.cpp). Each record is turned
// into the 64-byte EVENTLOGRECORD the event log service would hand out for
// it, with no strings and no data: the scan needs only the number, times, ID
// and type. Damage is read round: every sound record is taken, and nothing a
// chunk no longer holds.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "savedlog/binxml.h"
#include "savedlog/evtx_walk.h"
#include "savedlog/file_bytes.h"
#include "savedlog/power_records.h"
#include "savedlog/saved_log.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace {

constexpr uint32_t kFileHeaderBlock = kEvtxHeaderBlock;  // also where the first chunk slot starts
constexpr uint32_t kFileHeaderFields = 0x80;   // the part of the header block that says anything
constexpr uint32_t kMinorVersionAt = 0x24;
constexpr uint32_t kMajorVersionAt = 0x26;
constexpr uint32_t kNextRecordIdAt = 0x18;
constexpr uint32_t kChunkCountAt = 0x2A;
constexpr uint16_t kMajorVersion = 3;
constexpr uint32_t kChunkSize = kEvtxChunkSize;
constexpr uint32_t kChunkHeaderSize = kEvtxFirstRecordAt;
constexpr uint32_t kChunkFirstIdAt = 0x18;
constexpr uint32_t kChunkLastIdAt = 0x20;
constexpr uint32_t kChunkHeaderSizeAt = 0x28;
constexpr uint32_t kChunkFreeSpaceAt = 0x30;
constexpr uint32_t kChunkHeaderSizeField = 128;  // what every chunk header says of its size
constexpr char kFileSignature[8] = {'E', 'l', 'f', 'F', 'i', 'l', 'e', '\0'};
constexpr char kChunkSignature[8] = {'E', 'l', 'f', 'C', 'h', 'n', 'k', '\0'};

constexpr uint32_t kRecordSignature = 0x00002A2A;
constexpr uint32_t kRecordSizeAt = 4;
constexpr uint32_t kRecordIdAt = 8;
constexpr uint32_t kRecordWrittenAt = 16;
constexpr uint32_t kRecordHeaderSize = 0x18;  // signature, size, identifier, written time
constexpr uint32_t kRecordMinSize = 0x20;     // the header, an end of stream and the size's copy
constexpr uint32_t kRecordAlignment = 8;      // every record starts on such a boundary
constexpr uint32_t kMaxRecordsPerChunk = (kChunkSize - kChunkHeaderSize) / kRecordMinSize;
static_assert(kRecordMinSize - kRecordHeaderSize - 4 >= kEvtxLeastXml, "every record holds the least binary XML");
// A guess at the records of a chunk without a sound header, to size the
// output once: the sample's average record is about 350 bytes.
constexpr uint32_t kGuessedRecordSize = 256;
// What reading one chunk may cost, in bytes of binary XML walked. A sound
// chunk walks each byte of its records once and of its definitions once:
// twice its size at most. The search past damage walks bytes again for each
// candidate it tries; past this, the rest of the chunk is counted lost
// rather than searched, so that no file can make the search quadratic.
constexpr uint64_t kChunkWorkBudget = 16 * uint64_t{kChunkSize};

// The synthesized record.
constexpr uint32_t kOutSize = 64;
constexpr uint32_t kOutSignature = 0x654C664C;  // "LfLe"
constexpr uint32_t kOutStringsAt = 60;  // where the (absent) strings and data would start
constexpr uint32_t kOutIdHighAt = 32;   // ClosingRecordNumber: the id's high half while sorting, then 0
constexpr uint32_t kOutIndexAt = 40;    // UserSidLength: the file position while sorting, then 0

// Records whose texts the log's facts take.
constexpr uint16_t kBootEventId = 6009;    // the event log service started: names the machine
constexpr uint16_t kUptimeEventId = 6013;  // the service's daily uptime record: names the zone

constexpr uint64_t kUnixEpochFileTime = 116444736000000000ull;
constexpr uint64_t kAuditSuccess = 0x0020000000000000ull;
constexpr uint64_t kAuditFailure = 0x0010000000000000ull;
constexpr uint16_t kEventTypeError = 1, kEventTypeWarning = 2, kEventTypeInformation = 4,
                   kEventTypeAuditSuccess = 8, kEventTypeAuditFailure = 16;

// FILETIME ticks as whole seconds since 1970, or 0 when 32 bits cannot hold them.
uint32_t UnixSeconds(uint64_t fileTime)
{
    if (fileTime < kUnixEpochFileTime)
        return 0;
    const uint64_t seconds = (fileTime - kUnixEpochFileTime) / kFileTimeTicksPerSecond;
    return seconds > UINT32_MAX ? 0 : static_cast<uint32_t>(seconds);
}

// The event type the service gives a record of this level and these keywords.
uint16_t EventType(bool hasLevel, uint64_t level, uint64_t keywords)
{
    if (hasLevel && level != 0) {
        if (level <= 2)
            return kEventTypeError;
        if (level == 3)
            return kEventTypeWarning;
        return kEventTypeInformation;
    }
    if (keywords & kAuditSuccess)
        return kEventTypeAuditSuccess;
    if (keywords & kAuditFailure)
        return kEventTypeAuditFailure;
    return 0;
}

// Appends the 64-byte record for identifier `id` to `records`; the id's high
// half goes where the sort finds it.
void AppendRecord(std::vector<uint8_t>* records, uint64_t id, uint64_t written, const EventFields& fields)
{
    const size_t at = records->size();
    records->resize(at + kOutSize);
    uint8_t* out = records->data() + at;
    const uint32_t eventId = static_cast<uint32_t>(fields.found[kEventId] ? fields.values[kEventId] & 0xFFFF : 0) |
                             static_cast<uint32_t>(fields.found[kQualifiers] ? fields.values[kQualifiers] & 0xFFFF : 0)
                                 << 16;
    const uint16_t type = EventType(fields.found[kLevel], fields.values[kLevel],
                                    fields.found[kKeywords] ? fields.values[kKeywords] : 0);
    PutU32(out + 0, kOutSize);
    PutU32(out + 4, kOutSignature);
    PutU32(out + 8, static_cast<uint32_t>(id));
    PutU32(out + 12, fields.found[kSystemTime] ? UnixSeconds(fields.values[kSystemTime]) : 0);
    PutU32(out + 16, UnixSeconds(written));
    PutU32(out + 20, eventId);
    std::memcpy(out + 24, &type, sizeof type);
    PutU32(out + kOutIdHighAt, static_cast<uint32_t>(id >> 32));
    PutU32(out + 36, kOutStringsAt);
    PutU32(out + 52, kOutStringsAt);
    PutU32(out + 60, kOutSize);
}

// An empty block with room for `size` bytes of synthesized records, filled
// by appending: zeroing it first would cost a pass of its own. Each first
// touch of a 4 KiB page costs microseconds on a virtual machine, more than
// the walk spends on the records it holds: ask for huge pages where we can.
// Untouched, the room costs no memory; MakeRoom brings it in as it is needed.
std::vector<uint8_t> RecordBlock(size_t size)
{
    std::vector<uint8_t> block;
    block.reserve(size);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t kHugePage = uintptr_t{1} << 21;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(block.data()) + kHugePage - 1) & ~(kHugePage - 1);
    // A block too small to hold a whole huge page asks for none.
    const uintptr_t end = std::max(begin, (reinterpret_cast<uintptr_t>(block.data()) + size) & ~(kHugePage - 1));
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
    return block;
}

// Makes room in *block for `more` bytes past what it holds, moving it into a
// larger block when it has too little; appending them then lands in place.
void MakeRoom(std::vector<uint8_t>* block, size_t more)
{
    const size_t need = block->size() + more;
    if (need > block->capacity()) {
        std::vector<uint8_t> larger = RecordBlock(std::max(need, 2 * block->capacity()));
        larger.insert(larger.end(), block->begin(), block->end());
        block->swap(larger);
    }
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    // The small pages round the huge ones, brought in by one call rather than
    // a fault each. Only a hint: where it fails, the writes fault them in.
    constexpr uintptr_t kPage = 4096;
    const uintptr_t from = reinterpret_cast<uintptr_t>(block->data() + block->size());
    const uintptr_t first = (from + kPage - 1) & ~(kPage - 1);
    const uintptr_t last = std::max(first, (from + more) & ~(kPage - 1));
    if (last > first)
        madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#endif
}

// Whether all `count` bytes at `at` are zero.
bool AllZero(const uint8_t* at, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        if (at[i] != 0)
            return false;
    }
    return true;
}

// Whether the chunk at `base`, `available` bytes of it in the file, has a
// header whose free-space offset and identifier range can be trusted.
bool HeaderIsSound(const uint8_t* base, uint32_t available)
{
    if (available < kChunkHeaderSize || std::memcmp(base, kChunkSignature, sizeof kChunkSignature) != 0)
        return false;
    const uint32_t freeSpace = GetU32(base + kChunkFreeSpaceAt);
    return GetU32(base + kChunkHeaderSizeAt) == kChunkHeaderSizeField && freeSpace >= kChunkHeaderSize &&
           freeSpace <= kChunkSize && GetU64(base + kChunkFirstIdAt) <= GetU64(base + kChunkLastIdAt);
}

// How many records a sound header claims, or 0 when the claim is more than
// the chunk could hold and so tells nothing.
uint64_t ClaimedRecords(const uint8_t* base)
{
    const uint64_t span = GetU64(base + kChunkLastIdAt) - GetU64(base + kChunkFirstIdAt);
    return span < kMaxRecordsPerChunk ? span + 1 : 0;
}

// How many records the chunk at `chunk`, `available` bytes of it in the
// file, is likely to hold: what a sound header claims, within what could
// fit; a guess when records start where its header should have said so.
size_t ExpectedRecords(const uint8_t* chunk, uint32_t available)
{
    if (available < kChunkHeaderSize + kRecordMinSize)
        return 0;
    const uint64_t room = (available - kChunkHeaderSize) / kRecordMinSize;
    if (HeaderIsSound(chunk, available))
        return static_cast<size_t>(std::min(GetU64(chunk + kChunkLastIdAt) - GetU64(chunk + kChunkFirstIdAt) + 1, room));
    return GetU32(chunk + kChunkHeaderSize) == kRecordSignature ? (available - kChunkHeaderSize) / kGuessedRecordSize : 0;
}

// The size of the record at `at` when its frame is sound: its signature, a
// size of at least the least record's that lies whole in the readable chunk,
// and that size's copy at its end. 0 otherwise.
uint32_t RecordFrame(const EvtxChunk& chunk, uint32_t at)
{
    if (!Has(at, chunk.end, kRecordMinSize) || GetU32(chunk.base + at) != kRecordSignature)
        return 0;
    const uint32_t size = GetU32(chunk.base + at + kRecordSizeAt);
    if (size < kRecordMinSize || !Has(at, chunk.end, size) || GetU32(chunk.base + at + size - 4) != size)
        return 0;
    return size;
}

// A record of one chunk, where it lies; none while its size is 0.
struct Taken {
    uint64_t id = 0;
    uint32_t at = 0, size = 0;
};

// Keeps the record `id` at `at` (`size` bytes) in *newest unless the one
// kept is newer: it lies later in the file, so an equal identifier makes it the newer.
void KeepNewer(Taken* newest, uint64_t id, uint32_t at, uint32_t size)
{
    if (id >= newest->id)
        *newest = {id, at, size};
}

// The text `which` of the record `taken` of `chunk`.
std::string TakenText(const EvtxChunk& chunk, const Taken& taken, EventText which)
{
    return ReadEventText(chunk, taken.at + kRecordHeaderSize, taken.at + taken.size - 4, which);
}

// Whether the chunk's newest record of a kind, `taken`, is newer than the
// newest of that kind in the chunks read before (*seen, *id); when it is,
// it becomes that.
bool NewerThanBefore(const Taken& taken, bool* seen, uint64_t* id)
{
    if (taken.size == 0 || (*seen && taken.id < *id))
        return false;
    *seen = true;
    *id = taken.id;
    return true;
}

// Takes into walk->facts the texts of the chunk's newest records of each
// kind, where they are newer than those of the chunks before.
void NoteChunkFacts(const EvtxChunk& chunk, const Taken& newest, const Taken& boot, const Taken& uptime,
                    FactsWalk* walk)
{
    LogFacts* facts = walk->facts;
    if (NewerThanBefore(boot, &walk->bootTaken, &walk->bootId))
        facts->host = TakenText(chunk, boot, kComputer);
    if (NewerThanBefore(uptime, &walk->uptimeTaken, &walk->uptimeId)) {
        facts->zoneText = TakenText(chunk, uptime, kLastData);
        if (!IsZoneText(facts->zoneText))
            facts->zoneText.clear();  // an uptime record that states no zone
    }
    if (NewerThanBefore(newest, &walk->anyTaken, &walk->newestId)) {
        if (!walk->bootTaken)
            facts->host = TakenText(chunk, newest, kComputer);
        if (!facts->systemRecords)
            facts->holds = TakenText(chunk, newest, kChannel);
    }
}

// Records lost to a stretch of damage in a chunk without a sound header,
// found again at a record numbered `id`: those numbered in between, when
// the numbers say, and at least the one the damage began with.
uint32_t LostInStretch(bool anyTaken, uint64_t newest, uint64_t id)
{
    const uint64_t gap = anyTaken ? id - newest - 1 : 0;
    return gap >= 1 && gap < kMaxRecordsPerChunk ? static_cast<uint32_t>(gap) : 1;
}

// Appends the sound records of the chunk at `base` (`available` bytes of it
// in the file) to `out` and counts the damage in *skipped; *ordered stays
// true while identifiers never fall, *previousId being the latest. What the
// records taken say of the log goes to *facts.
//
// With a sound header a record must lie before the free-space offset, as the
// records were packed, and carry an identifier in the header's range:
// whatever lies past the free space, or carries another identifier, is left
// over from before and never taken. An unsound record does not end the walk:
// it goes on at the next record boundary where a sound record lies, whose
// identifier also rises above the last taken. Without a sound header the
// same walk covers the whole slot, with no range to trust: each record must
// rise above the one before, and where one falls back the rest of the slot
// is an earlier pass, and the walk ends.
void ReadChunk(const uint8_t* base, uint32_t available, std::vector<uint8_t>* out, SkippedParts* skipped,
               uint64_t* previousId, bool* ordered, FactsWalk* facts)
{
    const bool headed = HeaderIsSound(base, available);
    if (!headed) {
        if (AllZero(base, available))
            return;  // a slot never used
        ++skipped->chunks;
    }
    const uint64_t firstId = headed ? GetU64(base + kChunkFirstIdAt) : 0;
    const uint64_t lastId = headed ? GetU64(base + kChunkLastIdAt) : UINT64_MAX;
    const uint32_t regionEnd = headed ? GetU32(base + kChunkFreeSpaceAt) : kChunkSize;
    const EvtxChunk chunk{base, std::min(regionEnd, available)};
    BeginTemplateChunk();
    uint64_t work = 0;     // bytes of records walked as binary XML
    uint32_t taken = 0;
    uint64_t newest = 0;   // the identifier of the last record taken
    uint32_t stretches = 0, recovered = 0, lost = 0;
    bool searching = false;
    bool exhausted = false;
    EventFields fields;
    Taken newestTaken, bootTaken, uptimeTaken;
    uint32_t at = kChunkHeaderSize;
    while (at < chunk.end) {
        const uint32_t size = RecordFrame(chunk, at);
        const uint64_t id = size ? GetU64(base + at + kRecordIdAt) : 0;
        const bool rises = taken == 0 || id > newest;
        // Past damage a headed chunk's search takes only a rising identifier;
        // a chunk without a header reads any, then ends where one falls back.
        const bool candidate = size != 0 && id >= firstId && id <= lastId && (rises || !searching || !headed);
        bool sound = false;
        if (candidate) {
            work += size;
            if (work + definitionBytesWalked > kChunkWorkBudget) {
                exhausted = true;
                break;
            }
            sound = ReadEventFields(chunk, at + kRecordHeaderSize, at + size - 4, &fields);
        }
        if (sound && !headed && !rises)
            break;  // an earlier pass of this slot
        if (!sound) {
            stretches += !searching;
            searching = true;
            at = (at + kRecordAlignment) & ~(kRecordAlignment - 1);
            continue;
        }
        if (searching && !headed)
            lost += LostInStretch(taken > 0, newest, id);
        searching = false;
        recovered += !headed || stretches > 0;
        AppendRecord(out, id, GetU64(base + at + kRecordWrittenAt), fields);
        const uint64_t eventId = fields.found[kEventId] ? fields.values[kEventId] & 0xFFFF : 0;
        KeepNewer(&newestTaken, id, at, size);
        if (eventId == kBootEventId) {
            KeepNewer(&bootTaken, id, at, size);
            facts->facts->bootHosts.push_back({static_cast<uint32_t>(id), TakenText(chunk, {id, at, size}, kComputer)});
        }
        if (eventId == kUptimeEventId)
            KeepNewer(&uptimeTaken, id, at, size);
        if (facts->facts->power && MayBePowerEvent(static_cast<uint16_t>(eventId)) &&
            (!facts->facts->crashesOnly || eventId == kPowerUnexpectedId))
            NoteEvtxPowerEvent(chunk, at + kRecordHeaderSize, at + size - 4, id, fields, facts->facts->power);
        if (fields.systemChannel && !facts->facts->systemRecords) {
            facts->facts->systemRecords = true;
            facts->facts->holds.clear();
        }
        *ordered = *ordered && id >= *previousId;
        *previousId = id;
        newest = id;
        ++taken;
        at += size;
    }
    // A walk that ended short of a sound header's free space, at the file's
    // end or out of budget, lost what the header claims past it.
    if (headed && at < regionEnd)
        stretches += !searching;
    if (headed && stretches > 0) {
        const uint64_t claimed = ClaimedRecords(base);
        lost = claimed > taken ? static_cast<uint32_t>(claimed - taken) : 1;
    } else if (exhausted) {
        ++lost;
    }
    skipped->records += std::min(lost, kMaxRecordsPerChunk);
    skipped->recovered += recovered;
    NoteChunkFacts(chunk, newestTaken, bootTaken, uptimeTaken, facts);
}

// A synthesized record, as one block the sort can move.
struct OutRecord {
    uint8_t bytes[kOutSize];
};

// A synthesized record's whole identifier, while its high half is kept for the sort.
uint64_t SortId(const OutRecord& record)
{
    return uint64_t{GetU32(record.bytes + kOutIdHighAt)} << 32 | GetU32(record.bytes + 8);
}

// Puts the `count` records at `records`, written in file order, newest first:
// identifiers descending, and of equal ones the later in the file first.
// Clears the fields that held sort keys.
void OrderNewestFirst(OutRecord* records, size_t count, bool ordered)
{
    if (ordered) {
        std::reverse(records, records + count);
    } else {
        for (size_t i = 0; i < count; ++i)
            PutU32(records[i].bytes + kOutIndexAt, static_cast<uint32_t>(i));
        std::sort(records, records + count, [](const OutRecord& a, const OutRecord& b) {
            const uint64_t idA = SortId(a), idB = SortId(b);
            if (idA != idB)
                return idA > idB;
            return GetU32(a.bytes + kOutIndexAt) > GetU32(b.bytes + kOutIndexAt);
        });
    }
    for (size_t i = 0; i < count; ++i) {
        PutU32(records[i].bytes + kOutIdHighAt, 0);
        PutU32(records[i].bytes + kOutIndexAt, 0);
    }
}

// Whether the file holds fewer whole chunk slots than its header counts, and
// what is then missing: the records numbered between the oldest read and the
// header's next that were neither read nor counted lost; at least the share
// of the records read that the chunks wholly absent held.
void MeasureCut(const EvtxWalk& walk, const OutRecord* records, size_t count, SkippedParts* skipped)
{
    skipped->chunksCounted = walk.chunksCounted;
    if (walk.wholeSlots >= walk.chunksCounted)
        return;
    skipped->cut = true;
    skipped->chunksMissing = walk.chunksCounted - walk.wholeSlots;
    uint64_t oldest = UINT64_MAX;
    for (size_t i = 0; i < count; ++i)
        oldest = std::min(oldest, SortId(records[i]));
    const uint64_t newest = walk.factsWalk.newestId;
    skipped->newestMissing = count > 0 && walk.nextId > newest + 1;
    // With no record read, the header's numbering is all there is to go by.
    const uint64_t numbered = count == 0 ? (walk.nextId > 1 ? walk.nextId - 1 : 0) : walk.nextId > oldest ? walk.nextId - oldest : 0;
    const uint64_t known = count + skipped->records;
    const uint32_t absent = skipped->chunksMissing - (walk.partialSlot ? 1 : 0);
    const uint64_t share = walk.wholeSlots ? count * absent / walk.wholeSlots : 0;
    skipped->recordsMissing = std::max(numbered > known ? numbered - known : 0, share);
}

}  // namespace

size_t GuessedEvtxRecords(uint64_t fileSize)
{
    return static_cast<size_t>(fileSize / kGuessedRecordSize);
}

// Refuses a header that is too short, of another signature or version, or a
// file too large; otherwise starts the walk afresh, its counts at 0.
bool BeginEvtxWalk(const uint8_t* header, size_t size, uint64_t fileSize, size_t expectedRecords, EvtxWalk* walk,
                   std::string* error, LogFacts* facts)
{
    if (size < kFileHeaderFields)
        return FailWithReason(error, "file is %u bytes, too short for an .evtx header", static_cast<unsigned>(size));
    if (std::memcmp(header, kFileSignature, sizeof kFileSignature) != 0)
        return FailWithReason(error, "bad .evtx file signature");
    if (GetU16(header + kMajorVersionAt) != kMajorVersion)
        return FailWithReason(error, "unsupported .evtx version %u.%u", GetU16(header + kMajorVersionAt),
                              GetU16(header + kMinorVersionAt));
    if (fileSize > kEvtxMaxFileSize)
        return FailWithReason(error, "file is too large for an event log file");
    *walk = EvtxWalk{};
    // Facts not wanted are found all the same: they cost little, and a walk
    // that always finds them is the walk that is tested.
    walk->factsWalk.facts = facts ? facts : &walk->unwantedFacts;
    std::vector<PowerEvent>* power = walk->factsWalk.facts->power;
    const bool crashesOnly = walk->factsWalk.facts->crashesOnly;
    *walk->factsWalk.facts = LogFacts{};
    walk->factsWalk.facts->power = power;
    walk->factsWalk.facts->crashesOnly = crashesOnly;
    walk->records = RecordBlock(expectedRecords * kOutSize);
    walk->chunksCounted = GetU16(header + kChunkCountAt);
    walk->nextId = GetU64(header + kNextRecordIdAt);
    return true;
}

// The records land in place while the expected room holds them; a chunk that
// holds more than expected moves them once into a larger block.
void WalkEvtxChunk(EvtxWalk* walk, const uint8_t* chunk, uint32_t available)
{
    MakeRoom(&walk->records, ExpectedRecords(chunk, available) * kOutSize);
    if (available < kChunkSize)
        walk->partialSlot = true;  // only the last slot can be
    else
        ++walk->wholeSlots;
    ReadChunk(chunk, available, &walk->records, &walk->skipped, &walk->previousId, &walk->ordered,
              &walk->factsWalk);
}

// Orders the records newest first, lists their spans, and hands both over,
// replacing whatever the stream held.
void EndEvtxWalk(EvtxWalk* walk, RecordStream* stream, SkippedParts* skipped)
{
    std::vector<uint8_t>& bytes = walk->records;
    const size_t count = bytes.size() / kOutSize;
    MeasureCut(*walk, reinterpret_cast<const OutRecord*>(bytes.data()), count, &walk->skipped);
    OrderNewestFirst(reinterpret_cast<OutRecord*>(bytes.data()), count, walk->ordered);
    std::vector<RecordSpan> spans(count);
    for (size_t i = 0; i < count; ++i)
        spans[i] = {static_cast<uint32_t>(i * kOutSize), kOutSize};
    stream->bytes.swap(bytes);
    stream->newestFirst.swap(spans);
    stream->image.reset();
    stream->imageSize = 0;
    *skipped = walk->skipped;
}

// Reads every chunk slot of the .evtx image into synthesized records, newest
// first, all in stream->bytes. Only an image without an .evtx file header is
// refused (stream unchanged); damage inside is read round and counted.
bool ParseEvtxImage(const uint8_t* data, size_t size, RecordStream* stream, SkippedParts* skipped,
                    std::string* error, LogFacts* facts)
{
    const size_t slots = size > kFileHeaderBlock ? (size - kFileHeaderBlock + kChunkSize - 1) / kChunkSize : 0;
    const auto slotAt = [&](size_t i) { return kFileHeaderBlock + i * kChunkSize; };
    const auto slotBytes = [&](size_t i) { return static_cast<uint32_t>(std::min<size_t>(kChunkSize, size - slotAt(i))); };
    // The writes below land in place: sized from the chunk headers, the
    // records need no copy as they grow, unless the headers understate them.
    size_t expected = 0;
    if (size >= kFileHeaderFields && size <= kEvtxMaxFileSize) {
        for (size_t i = 0; i < slots; ++i)
            expected += ExpectedRecords(data + slotAt(i), slotBytes(i));
    }
    EvtxWalk walk;
    if (!BeginEvtxWalk(data, std::min<size_t>(size, kFileHeaderBlock), size, expected, &walk, error, facts))
        return false;
    for (size_t i = 0; i < slots; ++i)
        WalkEvtxChunk(&walk, data + slotAt(i), slotBytes(i));
    EndEvtxWalk(&walk, stream, skipped);
    return true;
}
