// The .evtx file of Vista and later: a 4096-byte file header, then 64 KiB
// chunks whose records hold binary XML. Each record is turned into the
// 64-byte EVENTLOGRECORD the event log service would hand out for it, with
// no strings and no data: the scan needs only the number, times, ID and type.

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "savedlog/file_bytes.h"
#include "savedlog/saved_log.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace {

constexpr uint32_t kFileHeaderBlock = 0x1000;  // also where the first chunk slot starts
constexpr uint32_t kFileHeaderFields = 0x80;   // the part of the header block that says anything
constexpr uint32_t kMajorVersionAt = 0x26;
constexpr uint16_t kMajorVersion = 3;
constexpr uint32_t kChunkSize = 0x10000;
constexpr uint32_t kChunkHeaderSize = 0x200;  // also where the chunk's first record starts
constexpr uint32_t kChunkFirstIdAt = 0x18;
constexpr uint32_t kChunkLastIdAt = 0x20;
constexpr uint32_t kChunkFreeSpaceAt = 0x30;
constexpr uint32_t kChunkHeaderSizeAt = 0x28;
constexpr uint32_t kChunkHeaderSizeField = 128;  // what every chunk header says of its size
constexpr char kFileSignature[8] = {'E', 'l', 'f', 'F', 'i', 'l', 'e', '\0'};
constexpr char kChunkSignature[8] = {'E', 'l', 'f', 'C', 'h', 'n', 'k', '\0'};

constexpr uint32_t kRecordSignature = 0x00002A2A;
constexpr uint32_t kRecordHeaderSize = 0x18;  // signature, size, identifier, written time
constexpr uint32_t kRecordMinSize = 0x20;
constexpr uint32_t kMaxRecordsPerChunk = (kChunkSize - kChunkHeaderSize) / kRecordMinSize;

constexpr uint32_t kDefinitionHeaderSize = 24;  // next offset, GUID, data size
constexpr uint32_t kInstanceHeaderSize = 10;    // token, 1, template id, definition offset
constexpr uint32_t kFragmentHeaderSize = 4;
constexpr int kMaxDepth = 64;  // deeper element nesting is damage, and would exhaust the stack

// Binary XML tokens, without the 0x40 "more follows" / "has attributes" bit.
constexpr uint8_t kTokenFlag = 0x40;
constexpr uint8_t kEndOfStream = 0x00;
constexpr uint8_t kOpenStart = 0x01;
constexpr uint8_t kCloseStart = 0x02;
constexpr uint8_t kCloseEmpty = 0x03;
constexpr uint8_t kEndElement = 0x04;
constexpr uint8_t kValueText = 0x05;
constexpr uint8_t kAttribute = 0x06;
constexpr uint8_t kCData = 0x07;
constexpr uint8_t kCharReference = 0x08;
constexpr uint8_t kEntityReference = 0x09;
constexpr uint8_t kPiTarget = 0x0A;
constexpr uint8_t kPiData = 0x0B;
constexpr uint8_t kTemplateInstance = 0x0C;
constexpr uint8_t kSubstitution = 0x0D;
constexpr uint8_t kOptionalSubstitution = 0x0E;
constexpr uint8_t kFragmentHeader = 0x0F;

// Value types of substitution values.
constexpr uint8_t kTypeNull = 0x00;
constexpr uint8_t kTypeString = 0x01;
constexpr uint8_t kTypeSystemTime = 0x12;

// The synthesized record.
constexpr uint32_t kOutSize = 64;
constexpr uint32_t kOutSignature = 0x654C664C;  // "LfLe"
constexpr uint32_t kOutStringsAt = 60;  // where the (absent) strings and data would start
constexpr uint32_t kOutIdHighAt = 32;   // ClosingRecordNumber: the id's high half while sorting, then 0
constexpr uint32_t kOutIndexAt = 40;    // UserSidLength: the file position while sorting, then 0

constexpr uint64_t kUnixEpochFileTime = 116444736000000000ull;
constexpr uint64_t kTicksPerSecond = 10000000;
constexpr uint64_t kAuditSuccess = 0x0020000000000000ull;
constexpr uint64_t kAuditFailure = 0x0010000000000000ull;
constexpr uint16_t kEventTypeError = 1, kEventTypeWarning = 2, kEventTypeInformation = 4,
                   kEventTypeAuditSuccess = 8, kEventTypeAuditFailure = 16;

// What a record gives the scan, each found by element and attribute name
// under Event/System.
enum Item { kEventId, kQualifiers, kLevel, kKeywords, kSystemTime, kItemCount };

// Where a template definition puts an item: nowhere, in a substitution
// value of the instance, or in text of its own.
enum SourceKind : uint8_t { kAbsent, kFromValue, kLiteral };
struct Source {
    SourceKind kind;
    uint16_t index;    // kFromValue: the value's index
    uint64_t literal;  // kLiteral: the value, a FILETIME for kSystemTime
};

// A template definition reduced to what the records that use it need.
struct Plan {
    Source items[kItemCount];
    bool sound;
};

// Where in the document an element sits, as far as the items care.
enum Role : uint8_t { kOutside, kDocument, kEvent, kSystem, kEventIdElement, kLevelElement, kKeywordsElement,
                      kTimeCreatedElement };

// The chunk being read: its bytes, and how far they may be read.
struct Chunk {
    const uint8_t* base;
    uint32_t end;  // chunk offset past the last readable byte: the free space, or the file's end
};

// One walk over binary XML: inside a template definition element starts carry
// a dependency id and substitutions are allowed; found items go to `items`.
struct Walk {
    const Chunk* chunk;
    bool inDefinition;
    Source* items;
    int depth;
};

// Plans of the chunk being read, in the order first used, and a table of
// them keyed by definition offset. A slot counts only when it carries the
// current chunk's generation, so a new chunk needs no clearing; the table
// is kept small, as each page of it first touched costs microseconds.
struct PlanSlot {
    uint64_t generation;
    uint32_t offset;
    uint32_t plan;  // index into plans
};
// A power of two; each record adds at most one plan, so the table never fills.
constexpr uint32_t kPlanSlots = 2048;
static_assert(kPlanSlots > kMaxRecordsPerChunk, "a chunk's plans must fit");
std::array<PlanSlot, kPlanSlots> planSlots;
std::array<Plan, kPlanSlots> plans;
uint32_t planCount = 0;
uint64_t planGeneration = 0;

// Whether `count` bytes lie at `at` before `end`; `at` never passes `end`.
bool Has(uint32_t at, uint32_t end, uint32_t count)
{
    return end - at >= count;
}

// FILETIME ticks as whole seconds since 1970, or 0 when 32 bits cannot hold them.
uint32_t UnixSeconds(uint64_t fileTime)
{
    if (fileTime < kUnixEpochFileTime)
        return 0;
    const uint64_t seconds = (fileTime - kUnixEpochFileTime) / kTicksPerSecond;
    return seconds > UINT32_MAX ? 0 : static_cast<uint32_t>(seconds);
}

// Days from 1601-01-01 to the given date of the Gregorian calendar, which
// must be valid and from 1601 on.
uint64_t DaysSince1601(uint32_t year, uint32_t month, uint32_t day)
{
    const uint32_t y = year - (month <= 2) - 1600;  // years since March 1600
    const uint32_t era = y / 400, yearOfEra = y % 400;
    const uint32_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const uint64_t days1600 = uint64_t{era} * 146097 + yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return days1600 - 306;  // 1600-03-01 to 1601-01-01
}

// A calendar date and time as FILETIME ticks; false when out of range.
bool CalendarFileTime(uint32_t year, uint32_t month, uint32_t day, uint32_t hour, uint32_t minute, uint32_t second,
                      uint64_t ticks, uint64_t* fileTime)
{
    static constexpr uint8_t kMonthDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    static constexpr uint32_t kLeast[6] = {1601, 1, 1, 0, 0, 0}, kMost[6] = {30827, 12, 31, 23, 59, 59};
    const uint32_t fields[6] = {year, month, day, hour, minute, second};
    for (int i = 0; i < 6; ++i) {
        if (fields[i] < kLeast[i] || fields[i] > kMost[i])
            return false;
    }
    if (day > kMonthDays[month - 1])
        return false;
    const uint64_t seconds = DaysSince1601(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    *fileTime = seconds * kTicksPerSecond + ticks;
    return true;
}

// Text of up to `capacity` - 1 ASCII characters from UTF-16LE units, with one
// trailing NUL and surrounding blanks dropped; false for longer or non-ASCII text.
bool AsciiText(const uint8_t* units, uint32_t count, char* text, uint32_t capacity, uint32_t* length)
{
    uint32_t first = 0;
    if (count > 0 && GetU16(units + 2 * (count - 1)) == 0)
        --count;
    while (first < count && GetU16(units + 2 * first) == ' ')
        ++first;
    while (count > first && GetU16(units + 2 * (count - 1)) == ' ')
        --count;
    if (count - first >= capacity)
        return false;
    for (uint32_t i = first; i < count; ++i) {
        const uint16_t unit = GetU16(units + 2 * i);
        if (unit == 0 || unit > 0x7F)
            return false;
        text[i - first] = static_cast<char>(unit);
    }
    *length = count - first;
    text[*length] = '\0';
    return true;
}

// A whole unsigned number in decimal, or in hex after 0x; false otherwise or on overflow.
bool ParseNumber(std::string_view text, uint64_t* value)
{
    uint64_t base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty())
        return false;
    uint64_t result = 0;
    for (const char c : text) {
        const char lower = static_cast<char>(c | 0x20);
        const uint64_t digit = c >= '0' && c <= '9' ? c - '0' : lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : 16;
        if (digit >= base || result > (UINT64_MAX - digit) / base)
            return false;
        result = result * base + digit;
    }
    *value = result;
    return true;
}

// "2015-06-23T06:00:48.1234567Z" (or a blank for the T; fraction and Z
// optional) as FILETIME ticks.
bool ParseIsoTime(std::string_view text, uint64_t* fileTime)
{
    static constexpr std::string_view kPattern = "0000-00-00T00:00:00";  // 0: a digit
    if (text.size() < kPattern.size())
        return false;
    for (size_t i = 0; i < kPattern.size(); ++i) {
        const char want = kPattern[i], c = text[i];
        const bool fits = want == '0' ? c >= '0' && c <= '9' : c == want || (want == 'T' && c == ' ');
        if (!fits)
            return false;
    }
    const auto number = [&](size_t at, size_t count) {
        uint32_t value = 0;
        for (size_t i = at; i < at + count; ++i)
            value = value * 10 + static_cast<uint32_t>(text[i] - '0');
        return value;
    };
    size_t at = kPattern.size();
    uint64_t ticks = 0;
    if (at < text.size() && text[at] == '.') {
        uint64_t scale = kTicksPerSecond;
        for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
            scale /= 10;
            ticks += scale * static_cast<uint64_t>(text[at] - '0');
        }
    }
    if (at < text.size() && text[at] == 'Z')
        ++at;
    if (at != text.size())
        return false;
    return CalendarFileTime(number(0, 4), number(5, 2), number(8, 2), number(11, 2), number(14, 2), number(17, 2),
                            ticks, fileTime);
}

// An item written as text: a number, or for kSystemTime a date and time.
bool ParseItemText(int item, const uint8_t* units, uint32_t count, uint64_t* value)
{
    char text[48];
    uint32_t length;
    if (!AsciiText(units, count, text, sizeof text, &length))
        return false;
    if (item == kSystemTime)
        return ParseIsoTime(std::string_view(text, length), value);
    return ParseNumber(std::string_view(text, length), value);
}

// An item held in a substitution value of the given type and size; false
// when the value is NULL or of a type that cannot hold it.
bool DecodeValue(int item, const uint8_t* value, uint32_t size, uint8_t type, uint64_t* out)
{
    // Byte widths of the integer types 0x03 (Int8) to 0x15 (HexInt64); 0 for the rest.
    static constexpr uint8_t kWidths[0x16] = {0, 0, 0, 1, 1, 2, 2, 4, 4, 8, 8, 0, 0, 4, 0, 0, 8, 8, 0, 0, 4, 8};
    if (type == kTypeString)
        return ParseItemText(item, value, size / 2, out);
    if (type == kTypeSystemTime) {
        if (size < 16)
            return false;
        return CalendarFileTime(GetU16(value), GetU16(value + 2), GetU16(value + 6), GetU16(value + 8),
                                GetU16(value + 10), GetU16(value + 12), uint64_t{GetU16(value + 14)} * 10000, out);
    }
    uint32_t width = type < sizeof kWidths ? kWidths[type] : 0;
    if (type == 0x10 && size == 4)  // SizeT takes the width of the writer's pointers
        width = 4;
    if (width == 0 || size < width)
        return false;
    uint64_t result = 0;
    std::memcpy(&result, value, width);
    *out = result;
    return true;
}

// Whether the `count` UTF-16 units at `units` spell `ascii`.
bool NameIs(const uint8_t* units, uint16_t count, std::string_view ascii)
{
    if (count != ascii.size())
        return false;
    for (uint16_t i = 0; i < count; ++i) {
        if (GetU16(units + 2 * i) != static_cast<uint8_t>(ascii[i]))
            return false;
    }
    return true;
}

// Which element a child named `units` of an element in role `parent` is.
Role ChildRole(Role parent, const uint8_t* units, uint16_t count)
{
    switch (parent) {
    case kDocument:
        return NameIs(units, count, "Event") ? kEvent : kOutside;
    case kEvent:
        return NameIs(units, count, "System") ? kSystem : kOutside;
    case kSystem:
        if (NameIs(units, count, "EventID"))
            return kEventIdElement;
        if (NameIs(units, count, "Level"))
            return kLevelElement;
        if (NameIs(units, count, "Keywords"))
            return kKeywordsElement;
        if (NameIs(units, count, "TimeCreated"))
            return kTimeCreatedElement;
        return kOutside;
    default:
        return kOutside;
    }
}

// The item that the attribute named `units` of an element in `role` gives, or -1.
int AttributeItem(Role role, const uint8_t* units, uint16_t count)
{
    if (role == kEventIdElement && NameIs(units, count, "Qualifiers"))
        return kQualifiers;
    if (role == kTimeCreatedElement && NameIs(units, count, "SystemTime"))
        return kSystemTime;
    return -1;
}

// The item that the text content of an element in `role` gives.
int ContentItem(Role role)
{
    switch (role) {
    case kEventIdElement:
        return kEventId;
    case kLevelElement:
        return kLevel;
    case kKeywordsElement:
        return kKeywords;
    default:
        return -1;
    }
}

// Reads the name reference at *at (stepping over a name stored inline right
// after it) and gives its units and count. False when the name does not lie
// whole in the readable chunk, or an inline one passes `end`.
bool ReadName(const Walk& walk, uint32_t* at, uint32_t end, const uint8_t** units, uint16_t* count)
{
    if (!Has(*at, end, 4))
        return false;
    const uint32_t name = GetU32(walk.chunk->base + *at);
    *at += 4;
    const bool inlineName = name == *at;
    const uint32_t limit = inlineName ? end : walk.chunk->end;
    if (name > limit || !Has(name, limit, 8))
        return false;
    *count = GetU16(walk.chunk->base + name + 6);
    const uint32_t size = 10 + 2 * uint32_t{*count};  // next offset, hash, count, units, NUL
    if (!Has(name, limit, size))
        return false;
    *units = walk.chunk->base + name + 8;
    if (inlineName)
        *at += size;
    return true;
}

// Steps over the template instance at *at (its definition included when it
// lies inline) and its values, and gives where its value count sits.
// False when any of it passes `end`.
bool SkipInstance(const Chunk& chunk, uint32_t* at, uint32_t end, uint32_t* definition, uint32_t* valueCount)
{
    if (!Has(*at, end, kInstanceHeaderSize))
        return false;
    *definition = GetU32(chunk.base + *at + 6);
    *at += kInstanceHeaderSize;
    if (*definition == *at) {
        if (!Has(*at, end, kDefinitionHeaderSize))
            return false;
        const uint32_t dataSize = GetU32(chunk.base + *at + 20);
        *at += kDefinitionHeaderSize;
        if (!Has(*at, end, dataSize))
            return false;
        *at += dataSize;
    }
    if (!Has(*at, end, 4))
        return false;
    *valueCount = *at;
    const uint32_t count = GetU32(chunk.base + *at);
    *at += 4;
    if (count > (end - *at) / 4)
        return false;
    uint32_t total = 0;
    for (uint32_t i = 0; i < count; ++i)
        total += GetU16(chunk.base + *at + 4 * i);
    *at += 4 * count;
    if (!Has(*at, end, total))
        return false;
    *at += total;
    return true;
}

bool WalkElement(Walk* walk, uint32_t* at, uint32_t end, Role parent);

// Walks one token of element content or of an attribute's value at *at,
// taking `item` from it when it gives one (the first that does counts).
bool WalkValue(Walk* walk, uint32_t* at, uint32_t end, int item)
{
    const uint8_t* base = walk->chunk->base;
    const uint8_t token = base[*at] & ~kTokenFlag;
    ++*at;
    Source* found = item >= 0 && walk->items[item].kind == kAbsent ? &walk->items[item] : nullptr;
    switch (token) {
    case kValueText: {
        if (!Has(*at, end, 3))
            return false;
        const uint32_t count = GetU16(base + *at + 1);
        *at += 3;
        if (!Has(*at, end, 2 * count))
            return false;
        uint64_t value;
        if (found && ParseItemText(item, base + *at, count, &value))
            *found = {kLiteral, 0, value};
        *at += 2 * count;
        return true;
    }
    case kSubstitution:
    case kOptionalSubstitution:
        if (!walk->inDefinition || !Has(*at, end, 3))
            return false;
        if (found)
            *found = {kFromValue, GetU16(base + *at), 0};
        *at += 3;
        return true;
    case kCData:
    case kPiData:
        if (!Has(*at, end, 2) || !Has(*at + 2, end, 2 * uint32_t{GetU16(base + *at)}))
            return false;
        *at += 2 + 2 * uint32_t{GetU16(base + *at)};
        return true;
    case kCharReference:
        if (!Has(*at, end, 2))
            return false;
        *at += 2;
        return true;
    case kEntityReference:
    case kPiTarget: {
        const uint8_t* units;
        uint16_t count;
        return ReadName(*walk, at, end, &units, &count);
    }
    case kTemplateInstance: {
        --*at;
        uint32_t definition, values;
        return SkipInstance(*walk->chunk, at, end, &definition, &values);
    }
    default:
        return false;
    }
}

// Walks the element starting at *at, which lies inside an element in role
// `parent`, and its whole content; false when its binary XML is unsound.
bool WalkElement(Walk* walk, uint32_t* at, uint32_t end, Role parent)
{
    if (walk->depth >= kMaxDepth)
        return false;
    const uint8_t* base = walk->chunk->base;
    const bool hasAttributes = base[*at] & kTokenFlag;
    // Token, dependency id (the optional substitutions say all it would), data size.
    const uint32_t header = walk->inDefinition ? 7 : 5;
    if (!Has(*at, end, header))
        return false;
    const uint32_t dataSize = GetU32(base + *at + header - 4);
    *at += header;
    if (!Has(*at, end, dataSize))
        return false;
    const uint32_t elementEnd = *at + dataSize;
    const uint8_t* units;
    uint16_t count;
    if (!ReadName(*walk, at, elementEnd, &units, &count))
        return false;
    const Role role = ChildRole(parent, units, count);
    if (hasAttributes) {
        if (!Has(*at, elementEnd, 4))
            return false;
        *at += 4;
        while (Has(*at, elementEnd, 1) && (base[*at] & ~kTokenFlag) == kAttribute) {
            ++*at;
            if (!ReadName(*walk, at, elementEnd, &units, &count))
                return false;
            const int item = AttributeItem(role, units, count);
            while (Has(*at, elementEnd, 1) && (base[*at] & ~kTokenFlag) != kAttribute && base[*at] != kCloseStart &&
                   base[*at] != kCloseEmpty) {
                if (!WalkValue(walk, at, elementEnd, item))
                    return false;
            }
        }
    }
    if (!Has(*at, elementEnd, 1))
        return false;
    const uint8_t close = base[(*at)++];
    if (close == kCloseEmpty)
        return true;
    if (close != kCloseStart)
        return false;
    const int item = ContentItem(role);
    ++walk->depth;
    for (;;) {
        if (!Has(*at, elementEnd, 1))
            return false;
        const uint8_t token = base[*at];
        if (token == kEndElement) {
            ++*at;
            break;
        }
        const bool sound = (token & ~kTokenFlag) == kOpenStart ? WalkElement(walk, at, elementEnd, role)
                                                                : WalkValue(walk, at, elementEnd, item);
        if (!sound)
            return false;
    }
    --walk->depth;
    return true;
}

// Walks a binary XML document from *at to its end-of-stream token, which
// must come before `end`; false when it is unsound.
bool WalkDocument(Walk* walk, uint32_t* at, uint32_t end)
{
    const uint8_t* base = walk->chunk->base;
    for (;;) {
        if (!Has(*at, end, 1))
            return false;
        const uint8_t token = base[*at];
        bool sound = true;
        if (token == kEndOfStream) {
            ++*at;
            return true;
        } else if (token == kFragmentHeader) {
            sound = Has(*at, end, kFragmentHeaderSize);
            *at += sound ? kFragmentHeaderSize : 0;
        } else if ((token & ~kTokenFlag) == kOpenStart) {
            sound = WalkElement(walk, at, end, kDocument);
        } else if (token == kTemplateInstance || token == kPiTarget || token == kPiData) {
            sound = WalkValue(walk, at, end, -1);
        } else {
            sound = false;
        }
        if (!sound)
            return false;
    }
}

// The plan of the definition at chunk offset `definition`, made on first use
// in the chunk; its `sound` is false when the definition does not lie whole
// in the readable chunk or its binary XML is unsound.
const Plan& PlanAt(const Chunk& chunk, uint32_t definition)
{
    uint32_t slot = (definition * 2654435761u) >> 21;  // Fibonacci hashing into kPlanSlots
    while (planSlots[slot].generation == planGeneration) {
        if (planSlots[slot].offset == definition)
            return plans[planSlots[slot].plan];
        slot = (slot + 1) & (kPlanSlots - 1);
    }
    planSlots[slot] = {planGeneration, definition, planCount};
    Plan& plan = plans[planCount++];
    plan = Plan{};
    plan.sound = false;
    if (definition < kChunkHeaderSize || definition > chunk.end || !Has(definition, chunk.end, kDefinitionHeaderSize))
        return plan;
    uint32_t at = definition + kDefinitionHeaderSize;
    const uint32_t dataSize = GetU32(chunk.base + definition + 20);
    if (!Has(at, chunk.end, dataSize))
        return plan;
    Walk walk{&chunk, true, plan.items, 0};
    plan.sound = WalkDocument(&walk, &at, at + dataSize);
    return plan;
}

// What one record gives the synthesized record.
struct Fields {
    bool found[kItemCount];
    uint64_t values[kItemCount];
};

// Reads the items of the binary XML in [at, end) of the chunk, a template
// instance or elements written out; false when it is unsound.
bool ReadItems(const Chunk& chunk, uint32_t at, uint32_t end, Fields* fields)
{
    const uint8_t* base = chunk.base;
    static_assert(kRecordMinSize - kRecordHeaderSize - 4 >= kFragmentHeaderSize, "a fragment header fits any record");
    if (base[at] == kFragmentHeader)
        at += kFragmentHeaderSize;
    *fields = Fields{};
    if (!Has(at, end, 1) || base[at] != kTemplateInstance) {
        Source items[kItemCount] = {};
        Walk walk{&chunk, false, items, 0};
        if (!WalkDocument(&walk, &at, end))
            return false;
        for (int i = 0; i < kItemCount; ++i) {
            fields->found[i] = items[i].kind == kLiteral;
            fields->values[i] = items[i].literal;
        }
        return true;
    }
    uint32_t definition, valueCount;
    if (!SkipInstance(chunk, &at, end, &definition, &valueCount))
        return false;
    const Plan& plan = PlanAt(chunk, definition);
    if (!plan.sound)
        return false;
    const uint32_t count = GetU32(base + valueCount);
    const uint8_t* descriptors = base + valueCount + 4;
    const uint8_t* values = descriptors + 4 * count;
    for (int i = 0; i < kItemCount; ++i) {
        const Source& source = plan.items[i];
        if (source.kind == kLiteral) {
            fields->found[i] = true;
            fields->values[i] = source.literal;
        } else if (source.kind == kFromValue && source.index < count) {
            uint32_t offset = 0;
            for (uint32_t k = 0; k < source.index; ++k)
                offset += GetU16(descriptors + 4 * k);
            const uint8_t* descriptor = descriptors + 4 * source.index;
            fields->found[i] = descriptor[2] != kTypeNull &&
                               DecodeValue(i, values + offset, GetU16(descriptor), descriptor[2], &fields->values[i]);
        }
    }
    return true;
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
void AppendRecord(std::vector<uint8_t>* records, uint64_t id, uint64_t written, const Fields& fields)
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
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    // The small pages round the huge ones, brought in by one call rather than
    // a fault each. Only a hint: where it fails, the writes fault them in.
    constexpr uintptr_t kPage = 4096;
    const uintptr_t first = (reinterpret_cast<uintptr_t>(block.data()) + kPage - 1) & ~(kPage - 1);
    const uintptr_t last = std::max(first, (reinterpret_cast<uintptr_t>(block.data()) + size) & ~(kPage - 1));
    madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#endif
    return block;
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

// Records a chunk whose walk stopped early lost: those its header claims
// beyond the ones read, and at least one.
uint32_t LostRecords(const uint8_t* chunk, uint32_t read)
{
    const uint64_t first = GetU64(chunk + kChunkFirstIdAt), last = GetU64(chunk + kChunkLastIdAt);
    const uint64_t claimed = last >= first && last - first < kMaxRecordsPerChunk ? last - first + 1 : 0;
    return claimed > read ? static_cast<uint32_t>(claimed - read) : 1;
}

// How many records the chunk at `chunk`, `available` bytes of it in the
// file, is likely to hold: what its header claims, within what could fit.
size_t ExpectedRecords(const uint8_t* chunk, uint32_t available)
{
    if (available < kChunkHeaderSize || std::memcmp(chunk, kChunkSignature, sizeof kChunkSignature) != 0)
        return 0;
    const uint64_t first = GetU64(chunk + kChunkFirstIdAt), last = GetU64(chunk + kChunkLastIdAt);
    const uint64_t room = (available - kChunkHeaderSize) / kRecordMinSize;
    return last >= first ? static_cast<size_t>(std::min(last - first + 1, room)) : 0;
}

// Appends the records of the chunk at `base` (`available` bytes of it in the
// file) to `out`, counting what it passes over in *skipped; *ordered stays
// true while identifiers never fall, *lastId being the latest.
void ReadChunk(const uint8_t* base, uint32_t available, std::vector<uint8_t>* out,
               SkippedParts* skipped, uint64_t* lastId, bool* ordered)
{
    if (available < kChunkHeaderSize || std::memcmp(base, kChunkSignature, sizeof kChunkSignature) != 0) {
        if (!AllZero(base, available))
            ++skipped->chunks;
        return;
    }
    const uint32_t freeSpace = GetU32(base + kChunkFreeSpaceAt);
    if (GetU32(base + kChunkHeaderSizeAt) != kChunkHeaderSizeField || freeSpace < kChunkHeaderSize ||
        freeSpace > kChunkSize) {
        ++skipped->chunks;
        return;
    }
    ++planGeneration;  // 64 bits: never wraps round to a generation still in the table
    planCount = 0;
    const Chunk chunk{base, std::min(freeSpace, available)};
    uint32_t at = kChunkHeaderSize;
    uint32_t read = 0;
    Fields fields;
    while (at < freeSpace) {
        bool sound = Has(at, chunk.end, kRecordHeaderSize) && GetU32(base + at) == kRecordSignature;
        const uint32_t size = sound ? GetU32(base + at + 4) : 0;
        sound = sound && size >= kRecordMinSize && Has(at, chunk.end, size) &&
                GetU32(base + at + size - 4) == size &&
                ReadItems(chunk, at + kRecordHeaderSize, at + size - 4, &fields);
        if (!sound) {
            skipped->records += LostRecords(base, read);
            return;
        }
        const uint64_t id = GetU64(base + at + 8);
        AppendRecord(out, id, GetU64(base + at + 16), fields);
        *ordered = *ordered && id >= *lastId;
        *lastId = id;
        ++read;
        at += size;
    }
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

}  // namespace

// Reads every chunk slot of the .evtx image into synthesized records, newest
// first, all in stream->bytes. Only an image without an .evtx file header is
// refused (stream unchanged); damage inside is passed over and counted.
bool ParseEvtxImage(const uint8_t* data, size_t size, RecordStream* stream, SkippedParts* skipped,
                    std::string* error)
{
    if (size < kFileHeaderFields)
        return FailWithReason(error, "file is %u bytes, too short for an .evtx header", static_cast<unsigned>(size));
    if (std::memcmp(data, kFileSignature, sizeof kFileSignature) != 0)
        return FailWithReason(error, "bad .evtx file signature");
    if (GetU16(data + kMajorVersionAt) != kMajorVersion)
        return FailWithReason(error, "unsupported .evtx version %u.%u", GetU16(data + kMajorVersionAt),
                    GetU16(data + kMajorVersionAt - 2));
    // Each record becomes 64 bytes and takes at least 32: offsets into the
    // records stay below 4 GiB.
    if (size > UINT32_MAX / 2)
        return FailWithReason(error, "file is too large for an event log file");

    *skipped = SkippedParts{};
    const size_t slots = size > kFileHeaderBlock ? (size - kFileHeaderBlock + kChunkSize - 1) / kChunkSize : 0;
    const auto slotAt = [&](size_t i) { return kFileHeaderBlock + i * kChunkSize; };
    const auto slotBytes = [&](size_t i) { return static_cast<uint32_t>(std::min<size_t>(kChunkSize, size - slotAt(i))); };
    // The writes below land in place: sized from the chunk headers, the
    // records need no copy as they grow, unless the headers understate them.
    size_t expected = 0;
    for (size_t i = 0; i < slots; ++i)
        expected += ExpectedRecords(data + slotAt(i), slotBytes(i));
    std::vector<uint8_t> bytes = RecordBlock(expected * kOutSize);
    uint64_t lastId = 0;
    bool ordered = true;
    for (size_t i = 0; i < slots; ++i)
        ReadChunk(data + slotAt(i), slotBytes(i), &bytes, skipped, &lastId, &ordered);

    const size_t count = bytes.size() / kOutSize;
    OrderNewestFirst(reinterpret_cast<OutRecord*>(bytes.data()), count, ordered);
    std::vector<RecordSpan> spans(count);
    for (size_t i = 0; i < count; ++i)
        spans[i] = {static_cast<uint32_t>(i * kOutSize), kOutSize};
    stream->bytes.swap(bytes);
    stream->newestFirst.swap(spans);
    stream->image.reset();
    stream->imageSize = 0;
    return true;
}
