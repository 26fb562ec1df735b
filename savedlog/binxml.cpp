// The binary XML walk: names, values and their texts, template instances,
// and the definitions they use, each reduced once per chunk to a plan of
// where the items and the texts sit.

#include <array>
#include <cstring>
#include <string_view>

#include "savedlog/binxml.h"
#include "savedlog/file_bytes.h"

uint64_t definitionBytesWalked = 0;

namespace {

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
constexpr uint8_t kTypeBinXml = 0x21;
constexpr uint8_t kTypeStringArray = 0x81;

// What a walk looks for: the items, then the texts, then the substitution
// in Event's own content, where a record keeps its EventData as a nested
// binary XML value.
constexpr int kTextSlot = kItemCount;
constexpr int kPayloadSlot = kTextSlot + kTextCount;
constexpr int kSlotCount = kPayloadSlot + 1;
constexpr int kMostNesting = 1;  // EventData one binary XML value down is as deep as it is looked for

// Where a template definition puts an item: nowhere, in a substitution
// value of the instance, or in text of its own.
enum SourceKind : uint8_t { kAbsent, kFromValue, kLiteral };
// A text's literal is where its UTF-16 units lie: chunk offset << 32 | count.
struct Source {
    SourceKind kind;
    uint16_t index;    // kFromValue: the value's index
    uint64_t literal;  // kLiteral: the value, a FILETIME for kSystemTime
};

// How a definition names the channel: as text that says "System" or not,
// or through a value each record gives.
enum ChannelKind : uint8_t { kChannelOther, kChannelSystem, kChannelFromValue };

// A template definition reduced to what the records that use it need. What
// every record reads comes first, so that it fills as few cache lines as can be.
struct Plan {
    bool sound;
    ChannelKind channel;
    Source items[kSlotCount];
};

// Where in the document an element sits, as far as the items and texts care.
enum Role : uint8_t { kOutside, kDocument, kEvent, kSystem, kEventIdElement, kLevelElement, kKeywordsElement,
                      kTimeCreatedElement, kChannelElement, kComputerElement, kEventDataElement, kDataElement };

constexpr std::string_view kSystemChannel = "System";

// One walk over binary XML: inside a template definition element starts carry
// a dependency id and substitutions are allowed; found items go to `items`.
struct Walk {
    const EvtxChunk* chunk;
    bool inDefinition;
    Source* items;
    int depth;
};

// Plans of the chunk being read, in the order first made, and a table of
// them keyed by definition offset. A slot counts only when it carries the
// current generation, so forgetting them all needs no clearing; the table
// is kept small, as each page of it first touched costs microseconds.
struct PlanSlot {
    uint64_t generation;
    uint32_t offset;
    uint32_t plan;  // index into plans
};
// A power of two, twice the plans kept, so that probes stay short. A sound
// chunk holds a few dozen definitions.
constexpr uint32_t kPlanSlots = 2048;
constexpr uint32_t kMostPlans = kPlanSlots / 2;
std::array<PlanSlot, kPlanSlots> planSlots;
std::array<Plan, kMostPlans> plans;
uint32_t planCount = 0;
uint64_t planGeneration = 0;

// Drops every plan. 64 bits of generations never wrap round to one still in the table.
void ForgetPlans()
{
    ++planGeneration;
    planCount = 0;
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

// A calendar date and time, `ticks` into its second, as FILETIME ticks;
// false when out of range or no such date.
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
    const bool leapYear = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    if (day > kMonthDays[month - 1] || (month == 2 && day == 29 && !leapYear))
        return false;
    // A SYSTEMTIME's milliseconds can say up to 65535: past 999 is no time.
    if (ticks >= kFileTimeTicksPerSecond)
        return false;
    const uint64_t seconds = DaysSince1601(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    *fileTime = seconds * kFileTimeTicksPerSecond + ticks;
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
        uint64_t scale = kFileTimeTicksPerSecond;
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

// Whether the text a kLiteral source locates spells `ascii`.
bool LiteralIs(const EvtxChunk& chunk, const Source& source, std::string_view ascii)
{
    return source.kind == kLiteral &&
           NameIs(chunk.base + (source.literal >> 32), static_cast<uint16_t>(source.literal), ascii);
}

// Which element a child named `units` of an element in role `parent` is.
Role ChildRole(Role parent, const uint8_t* units, uint16_t count)
{
    switch (parent) {
    case kDocument:
        // EventData heads the binary XML value that holds it.
        if (NameIs(units, count, "EventData"))
            return kEventDataElement;
        return NameIs(units, count, "Event") ? kEvent : kOutside;
    case kEvent:
        if (NameIs(units, count, "EventData"))
            return kEventDataElement;
        return NameIs(units, count, "System") ? kSystem : kOutside;
    case kEventDataElement:
        return NameIs(units, count, "Data") ? kDataElement : kOutside;
    case kSystem:
        if (NameIs(units, count, "EventID"))
            return kEventIdElement;
        if (NameIs(units, count, "Level"))
            return kLevelElement;
        if (NameIs(units, count, "Keywords"))
            return kKeywordsElement;
        if (NameIs(units, count, "TimeCreated"))
            return kTimeCreatedElement;
        if (NameIs(units, count, "Channel"))
            return kChannelElement;
        if (NameIs(units, count, "Computer"))
            return kComputerElement;
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

// The slot that the content of an element in `role` fills.
int ContentItem(Role role)
{
    switch (role) {
    case kEventIdElement:
        return kEventId;
    case kLevelElement:
        return kLevel;
    case kKeywordsElement:
        return kKeywords;
    case kChannelElement:
        return kTextSlot + kChannel;
    case kComputerElement:
        return kTextSlot + kComputer;
    case kDataElement:
        return kTextSlot + kLastData;
    case kEvent:
        return kPayloadSlot;
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
bool SkipInstance(const EvtxChunk& chunk, uint32_t* at, uint32_t end, uint32_t* definition, uint32_t* valueCount)
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
        if (found && item >= kTextSlot)
            *found = {kLiteral, 0, uint64_t{*at} << 32 | count};
        else if (found && ParseItemText(item, base + *at, count, &value))
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
    if (role == kDataElement)
        walk->items[kTextSlot + kLastData] = Source{};  // the last Data element counts, even an empty one
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

// Makes in *plan the plan of the definition at chunk offset `definition`;
// its `sound` is false when the definition does not lie whole in the
// readable chunk or its binary XML is unsound. Once per definition and
// chunk: kept out of line, so that the lookup before it stays small.
__attribute__((noinline)) void MakePlan(const EvtxChunk& chunk, uint32_t definition, Plan* plan)
{
    *plan = Plan{};
    plan->sound = false;
    if (definition < kEvtxFirstRecordAt || definition > chunk.end || !Has(definition, chunk.end, kDefinitionHeaderSize))
        return;
    uint32_t at = definition + kDefinitionHeaderSize;
    const uint32_t dataSize = GetU32(chunk.base + definition + 20);
    if (!Has(at, chunk.end, dataSize))
        return;
    definitionBytesWalked += dataSize;
    Walk walk{&chunk, true, plan->items, 0};
    plan->sound = WalkDocument(&walk, &at, at + dataSize);
    const Source& channel = plan->items[kTextSlot + kChannel];
    plan->channel = channel.kind == kFromValue ? kChannelFromValue
                    : LiteralIs(chunk, channel, kSystemChannel) ? kChannelSystem
                                                                 : kChannelOther;
}

// The plan of the definition at chunk offset `definition`, made on first use
// in the chunk. Every record looks one up: inline.
__attribute__((always_inline)) inline const Plan& PlanAt(const EvtxChunk& chunk, uint32_t definition)
{
    const uint32_t home = (definition * 2654435761u) >> 21;  // Fibonacci hashing into kPlanSlots
    uint32_t slot = home;
    while (planSlots[slot].generation == planGeneration) {
        if (planSlots[slot].offset == definition)
            return plans[planSlots[slot].plan];
        slot = (slot + 1) & (kPlanSlots - 1);
    }
    if (planCount == kMostPlans) {
        // Only the search past damage, or a file made to slow us, asks for
        // more; starting afresh costs a walk per plan made again.
        ForgetPlans();
        slot = home;
    }
    planSlots[slot] = {planGeneration, definition, planCount};
    Plan& plan = plans[planCount++];
    MakePlan(chunk, definition, &plan);
    return plan;
}

// A substitution value of a template instance: its bytes, size and type.
struct Value {
    const uint8_t* bytes;
    uint32_t size;
    uint8_t type;
};

// Value `index` of the instance whose value count lies at chunk offset
// `valueCount`, which SkipInstance found whole; NULL when there is no such value.
Value ValueOf(const EvtxChunk& chunk, uint32_t valueCount, uint16_t index)
{
    const uint32_t count = GetU32(chunk.base + valueCount);
    if (index >= count)
        return {nullptr, 0, kTypeNull};
    const uint8_t* descriptors = chunk.base + valueCount + 4;
    uint32_t offset = 0;
    for (uint32_t k = 0; k < index; ++k)
        offset += GetU16(descriptors + 4 * k);
    const uint8_t* descriptor = descriptors + 4 * index;
    return {descriptors + 4 * count + offset, GetU16(descriptor), descriptor[2]};
}

// A String or string array value as UTF-8: of an array, its last string.
std::string ValueText(const Value& value)
{
    if (value.type != kTypeString && value.type != kTypeStringArray)
        return "";
    uint32_t count = value.size / 2;
    if (count > 0 && GetU16(value.bytes + 2 * (count - 1)) == 0)
        --count;  // the terminating NUL
    uint32_t first = count;
    while (first > 0 && GetU16(value.bytes + 2 * (first - 1)) != 0)
        --first;
    return Utf8FromUtf16(value.bytes + 2 * first, count - first);
}

// Whether a String value spells `ascii`, with or without a NUL after it.
bool ValueIs(const Value& value, std::string_view ascii)
{
    if (value.type != kTypeString)
        return false;
    uint16_t count = static_cast<uint16_t>(value.size / 2);
    if (count == ascii.size() + 1 && GetU16(value.bytes + 2 * ascii.size()) == 0)
        --count;
    return NameIs(value.bytes, count, ascii);
}

// The text in [at, end), a template instance's or written out, that
// `slot` names; through a nested binary XML value `depth` deep.
std::string TextAt(const EvtxChunk& chunk, uint32_t at, uint32_t end, int slot, int depth)
{
    const uint8_t* base = chunk.base;
    if (Has(at, end, kFragmentHeaderSize) && base[at] == kFragmentHeader)
        at += kFragmentHeaderSize;
    Source items[kSlotCount] = {};
    const Source* found = items;
    uint32_t definition, valueCount = 0;
    if (Has(at, end, 1) && base[at] == kTemplateInstance) {
        if (!SkipInstance(chunk, &at, end, &definition, &valueCount))
            return "";
        const Plan& plan = PlanAt(chunk, definition);
        if (!plan.sound)
            return "";
        found = plan.items;
    } else {
        Walk walk{&chunk, false, items, 0};
        if (!WalkDocument(&walk, &at, end))
            return "";
    }
    const Source& source = found[slot];
    if (source.kind == kLiteral)
        return Utf8FromUtf16(base + (source.literal >> 32), static_cast<uint32_t>(source.literal));
    if (source.kind == kFromValue)
        return ValueText(ValueOf(chunk, valueCount, source.index));
    // EventData kept in a nested binary XML value of the instance.
    const Source& payload = found[kPayloadSlot];
    if (slot != kTextSlot + kLastData || payload.kind != kFromValue || depth >= kMostNesting)
        return "";
    const Value value = ValueOf(chunk, valueCount, payload.index);
    if (value.type != kTypeBinXml || value.size == 0)
        return "";
    const uint32_t valueAt = static_cast<uint32_t>(value.bytes - base);
    return TextAt(chunk, valueAt, valueAt + value.size, slot, depth + 1);
}

}  // namespace

void BeginTemplateChunk()
{
    ForgetPlans();
    definitionBytesWalked = 0;
}

bool ReadEventFields(const EvtxChunk& chunk, uint32_t at, uint32_t end, EventFields* fields)
{
    const uint8_t* base = chunk.base;
    static_assert(kEvtxLeastXml >= kFragmentHeaderSize, "a fragment header fits any record");
    if (base[at] == kFragmentHeader)
        at += kFragmentHeaderSize;
    *fields = EventFields{};
    if (!Has(at, end, 1) || base[at] != kTemplateInstance) {
        Source items[kSlotCount] = {};
        Walk walk{&chunk, false, items, 0};
        if (!WalkDocument(&walk, &at, end))
            return false;
        for (int i = 0; i < kItemCount; ++i) {
            fields->found[i] = items[i].kind == kLiteral;
            fields->values[i] = items[i].literal;
        }
        fields->systemChannel = LiteralIs(chunk, items[kTextSlot + kChannel], kSystemChannel);
        return true;
    }
    uint32_t definition, valueCount;
    if (!SkipInstance(chunk, &at, end, &definition, &valueCount))
        return false;
    const Plan& plan = PlanAt(chunk, definition);
    if (!plan.sound)
        return false;
    fields->systemChannel = plan.channel == kChannelSystem ||
                            (plan.channel == kChannelFromValue &&
                             ValueIs(ValueOf(chunk, valueCount, plan.items[kTextSlot + kChannel].index), kSystemChannel));
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

std::string ReadEventText(const EvtxChunk& chunk, uint32_t at, uint32_t end, EventText which)
{
    return TextAt(chunk, at, end, kTextSlot + which, 0);
}

// --- Every value of a record, for the few records whose data matter.

namespace {

constexpr uint8_t kTypeAnsiString = 0x02;
constexpr uint8_t kTypeBinary = 0x0E;
constexpr uint8_t kTypeFileTime = 0x11;
constexpr uint8_t kTypeHexInt32 = 0x14;
constexpr uint8_t kTypeHexInt64 = 0x15;
// Template instances and nested values one record may expand, and how deep
// in elements and expansions a value may be expanded: a definition that names
// itself must not make a record's walk endless, nor its nesting exhaust the
// stack. One past these bounds is passed over.
constexpr int kMostExpansions = 64;

// Where an element sits, as far as the values care.
enum class ValueRole : uint8_t { kOther, kDocument, kEvent, kSystem, kProvider, kEventData, kData, kBinary };

// One walk for the values, over binary XML that the record walk read as sound
// first: it steps as that walk did, so it checks no bound again. Inside a
// definition, substitutions take the values of the instance whose value
// count lies at valueCount.
struct ValueWalk {
    const EvtxChunk* chunk;
    bool inDefinition;
    uint32_t valueCount;  // chunk offset of the instance's value count, inside a definition
    EventValueSink sink;
    void* context;
    int* expansions;
    int depth;  // elements and expansions around the walk
};

// Which element a child named `units` of an element in role `parent` is.
ValueRole ValueChildRole(ValueRole parent, const uint8_t* units, uint16_t count)
{
    switch (parent) {
    case ValueRole::kDocument:
        if (NameIs(units, count, "EventData"))
            return ValueRole::kEventData;
        return NameIs(units, count, "Event") ? ValueRole::kEvent : ValueRole::kOther;
    case ValueRole::kEvent:
        if (NameIs(units, count, "EventData"))
            return ValueRole::kEventData;
        return NameIs(units, count, "System") ? ValueRole::kSystem : ValueRole::kOther;
    case ValueRole::kSystem:
        return NameIs(units, count, "Provider") ? ValueRole::kProvider : ValueRole::kOther;
    case ValueRole::kEventData:
        if (NameIs(units, count, "Data"))
            return ValueRole::kData;
        return NameIs(units, count, "Binary") ? ValueRole::kBinary : ValueRole::kOther;
    default:
        return ValueRole::kOther;
    }
}

// Whether the document in [at, end), outside any definition, reads as sound
// to the record walk, which ends at its end-of-stream token.
bool DocumentSound(const EvtxChunk& chunk, uint32_t at, uint32_t end)
{
    Source ignored[kSlotCount] = {};
    Walk proof{&chunk, false, ignored, 0};
    return WalkDocument(&proof, &at, end);
}

// Whether `walk` may expand one more instance or nested value, counting it.
bool MayExpand(const ValueWalk& walk)
{
    return walk.depth < kMaxDepth && ++*walk.expansions <= kMostExpansions;
}

void WalkValueDocument(const ValueWalk& walk, uint32_t* at, uint32_t end, ValueRole parent);

// Steps over the template instance at *at, which lies whole before `end`,
// walking its definition when that reads as sound; the definition's
// substitutions take the instance's values.
void WalkValueInstance(const ValueWalk& walk, uint32_t* at, uint32_t end, ValueRole parent)
{
    const EvtxChunk& chunk = *walk.chunk;
    uint32_t definition, valueCount;
    SkipInstance(chunk, at, end, &definition, &valueCount);  // whole, as the record walk found it
    if (!MayExpand(walk) || !PlanAt(chunk, definition).sound)
        return;
    uint32_t from = definition + kDefinitionHeaderSize;
    ValueWalk inner = walk;
    inner.inDefinition = true;
    inner.valueCount = valueCount;
    inner.depth = walk.depth + 1;
    WalkValueDocument(inner, &from, from + GetU32(chunk.base + definition + 20), parent);
}

// Steps over one token of content or of an attribute's value at *at; hands a
// value on as `part` when `wanted`, gives its text in *text when asked, and
// walks a nested binary XML value as content of an element in `role`.
void WalkValueToken(const ValueWalk& walk, uint32_t* at, uint32_t end, bool wanted, EventValuePart part,
                    const std::string& name, ValueRole role, std::string* text)
{
    const EvtxChunk& chunk = *walk.chunk;
    const uint8_t* base = chunk.base;
    const uint8_t token = base[*at] & ~kTokenFlag;
    switch (token) {
    case kValueText: {
        const uint32_t count = GetU16(base + *at + 2);
        *at += 4;
        if (text)
            *text = Utf8FromUtf16(base + *at, count);
        if (wanted)
            walk.sink(walk.context, EventValue{part, name, kTypeString, base + *at, 2 * count});
        *at += 2 * count;
        return;
    }
    case kSubstitution:
    case kOptionalSubstitution: {
        const Value value = ValueOf(chunk, walk.valueCount, GetU16(base + *at + 1));
        *at += 4;
        if (value.type == kTypeNull)
            return;
        if (value.type == kTypeBinXml) {
            uint32_t from = static_cast<uint32_t>(value.bytes - base);
            // A nested value that does not read spoils only itself.
            if (!MayExpand(walk) || !DocumentSound(chunk, from, from + value.size))
                return;
            ValueWalk nested = walk;
            nested.inDefinition = false;
            nested.depth = walk.depth + 1;
            WalkValueDocument(nested, &from, from + value.size,
                              role == ValueRole::kEvent ? ValueRole::kDocument : role);
            return;
        }
        EventValue found{part, name, value.type, value.bytes, value.size};
        if (text)
            *text = EventValueText(found);
        if (wanted)
            walk.sink(walk.context, found);
        return;
    }
    case kTemplateInstance:
        WalkValueInstance(walk, at, end, role);
        return;
    default: {
        // Character and entity references, CDATA, processing instructions: no value of ours.
        Source ignored[kSlotCount] = {};
        Walk skip{walk.chunk, walk.inDefinition, ignored, 0};
        WalkValue(&skip, at, end, -1);
    }
    }
}

// Steps over the element at *at, inside an element in role `parent`, and its content.
void WalkValueElement(const ValueWalk& walk, uint32_t* at, ValueRole parent)
{
    const uint8_t* base = walk.chunk->base;
    const bool hasAttributes = base[*at] & kTokenFlag;
    const uint32_t header = walk.inDefinition ? 7 : 5;
    const uint32_t elementEnd = *at + header + GetU32(base + *at + header - 4);
    *at += header;
    Walk names{walk.chunk, walk.inDefinition, nullptr, 0};
    const uint8_t* units;
    uint16_t count;
    ReadName(names, at, elementEnd, &units, &count);
    const ValueRole role = ValueChildRole(parent, units, count);
    std::string dataName;
    if (hasAttributes) {
        *at += 4;
        while ((base[*at] & ~kTokenFlag) == kAttribute) {
            ++*at;
            ReadName(names, at, elementEnd, &units, &count);
            const bool isName = NameIs(units, count, "Name");
            const bool provider = isName && role == ValueRole::kProvider;
            std::string* text = isName && role == ValueRole::kData ? &dataName : nullptr;
            while ((base[*at] & ~kTokenFlag) != kAttribute && base[*at] != kCloseStart && base[*at] != kCloseEmpty)
                WalkValueToken(walk, at, elementEnd, provider, EventValuePart::kProvider, "", ValueRole::kOther, text);
        }
    }
    if (base[(*at)++] == kCloseEmpty)
        return;
    const bool wanted = role == ValueRole::kData || role == ValueRole::kBinary;
    const EventValuePart part = role == ValueRole::kBinary ? EventValuePart::kBinary : EventValuePart::kData;
    ValueWalk inner = walk;
    inner.depth = walk.depth + 1;
    while (base[*at] != kEndElement) {
        if ((base[*at] & ~kTokenFlag) == kOpenStart)
            WalkValueElement(inner, at, role);
        else
            WalkValueToken(inner, at, elementEnd, wanted, part, dataName, role, nullptr);
    }
    ++*at;
}

// Steps over a document from *at to its end-of-stream token, which lies before `end`.
void WalkValueDocument(const ValueWalk& walk, uint32_t* at, uint32_t end, ValueRole parent)
{
    const uint8_t* base = walk.chunk->base;
    for (uint8_t token = base[*at]; token != kEndOfStream; token = base[*at]) {
        if (token == kFragmentHeader)
            *at += kFragmentHeaderSize;
        else if ((token & ~kTokenFlag) == kOpenStart)
            WalkValueElement(walk, at, parent);
        else  // a template instance or a processing instruction
            WalkValueToken(walk, at, end, false, EventValuePart::kData, "", parent, nullptr);
    }
}

// The bytes the hex digits of `text` spell, two to a byte, blanks passed over; "" for other text.
std::string HexBytes(std::string_view text)
{
    std::string bytes;
    int high = -1;
    for (const char c : text) {
        const char lower = static_cast<char>(c | 0x20);
        const int digit = c >= '0' && c <= '9' ? c - '0' : lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
        if (digit < 0) {
            if (c == ' ')
                continue;
            return "";
        }
        if (high < 0) {
            high = digit;
        } else {
            bytes += static_cast<char>(high << 4 | digit);
            high = -1;
        }
    }
    return bytes;
}

}  // namespace

bool ReadEventValues(const EvtxChunk& chunk, uint32_t at, uint32_t end, EventValueSink sink, void* context)
{
    if (!DocumentSound(chunk, at, end))
        return false;
    int expansions = 0;
    const ValueWalk walk{&chunk, false, 0, sink, context, &expansions, 0};
    WalkValueDocument(walk, &at, end, ValueRole::kDocument);
    return true;
}

std::string EventValueText(const EventValue& value)
{
    if (value.type == kTypeString || value.type == kTypeStringArray) {
        uint32_t count = value.size / 2;
        while (count > 0 && GetU16(value.bytes + 2 * (count - 1)) == 0)
            --count;
        return Utf8FromUtf16(value.bytes, count);
    }
    if (value.type == kTypeAnsiString) {
        std::string text(reinterpret_cast<const char*>(value.bytes), value.size);
        return text.substr(0, text.find('\0'));
    }
    uint64_t number;
    if (value.type == kTypeHexInt32 || value.type == kTypeHexInt64 || !EventValueNumber(value, &number))
        return "";
    return std::to_string(number);
}

bool EventValueNumber(const EventValue& value, uint64_t* number)
{
    return DecodeValue(kEventId, value.bytes, value.size, value.type, number);
}

bool EventValueTime(const EventValue& value, uint64_t* fileTime)
{
    if (value.type == kTypeFileTime && value.size >= 8) {
        *fileTime = GetU64(value.bytes);
        return true;
    }
    return DecodeValue(kSystemTime, value.bytes, value.size, value.type, fileTime);
}

std::string EventValueBytes(const EventValue& value)
{
    if (value.type == kTypeBinary)
        return std::string(reinterpret_cast<const char*>(value.bytes), value.size);
    return value.type == kTypeString ? HexBytes(EventValueText(value)) : "";
}
