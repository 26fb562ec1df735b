// The .evtx reader against the real Windows 7 System log, copies of it with
// bytes changed where a rule can be seen, and records whose binary XML is
// written out here element by element.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "power/power_events.h"
#include "savedlog/saved_log.h"

#include <fcntl.h>
#include <unistd.h>

#ifndef TALLYVANE_DATA_DIR
#define TALLYVANE_DATA_DIR "samples"
#endif

namespace {

const std::string kRealLog = TALLYVANE_DATA_DIR "/System.evtx";
constexpr uint32_t kHeaderBlock = 0x1000;
constexpr uint32_t kChunkSize = 0x10000;
constexpr uint32_t kChunkHeader = 0x200;
constexpr uint32_t kBootMarker = 0x80001779;
constexpr uint32_t kBootWritten = 1435039248;  // 2015-06-23 06:00:48 UTC, when record 3 was written
constexpr uint32_t kRecordsInChunk0 = 158;     // ids 1..158
// Record 3, the worked example: where it lies in chunk 0 and where its values sit.
constexpr uint32_t kRecord3 = 0xC88;
constexpr uint32_t kRecord3Descriptors = kRecord3 + 0x2A;
constexpr uint32_t kRecord3Level = kRecord3 + 0x7A;
constexpr uint32_t kRecord3Keywords = kRecord3 + 0x82;
constexpr uint32_t kRecord3Definition = 0x99E;  // stored inline by record 2
constexpr uint32_t kRecord2 = 0x978;

uint32_t GetU32(const uint8_t* at)
{
    uint32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

void PutU16(std::vector<uint8_t>* bytes, size_t at, uint16_t value)
{
    std::memcpy(bytes->data() + at, &value, sizeof value);
}

void PutU32(std::vector<uint8_t>* bytes, size_t at, uint32_t value)
{
    std::memcpy(bytes->data() + at, &value, sizeof value);
}

void PutU64(std::vector<uint8_t>* bytes, size_t at, uint64_t value)
{
    std::memcpy(bytes->data() + at, &value, sizeof value);
}

// The real log's bytes, read once.
const std::vector<uint8_t>& RealImage()
{
    static std::vector<uint8_t> image;
    if (image.empty()) {
        std::FILE* file = std::fopen(kRealLog.c_str(), "rb");
        if (!file) {
            ADD_FAILURE() << "cannot open " << kRealLog;
            return image;
        }
        char block[65536];
        for (size_t got; (got = std::fread(block, 1, sizeof block, file)) > 0;)
            image.insert(image.end(), block, block + got);
        std::fclose(file);
    }
    return image;
}

// The file header and chunk slot 0 of the real log: chunk 0's offsets below
// are file offsets less kHeaderBlock.
std::vector<uint8_t> RealChunk0()
{
    const std::vector<uint8_t>& real = RealImage();
    return std::vector<uint8_t>(real.begin(), real.begin() + std::min<size_t>(real.size(), kHeaderBlock + kChunkSize));
}

struct Parsed {
    bool ok = false;
    RecordStream stream;
    SkippedParts skipped;
    std::string error;
};

Parsed Parse(const std::vector<uint8_t>& image)
{
    Parsed parsed;
    parsed.ok = ParseEvtxImage(image.data(), image.size(), &parsed.stream, &parsed.skipped, &parsed.error);
    return parsed;
}

// The synthesized records' fields, newest first.
struct Row {
    uint32_t number, generated, written, eventId, type;
    bool operator==(const Row& other) const
    {
        return number == other.number && generated == other.generated && written == other.written &&
               eventId == other.eventId && type == other.type;
    }
};

std::ostream& operator<<(std::ostream& out, const Row& row)
{
    char text[96];
    std::snprintf(text, sizeof text, "{#%u gen %u wr %u id 0x%08X type %u}", row.number, row.generated,
                  row.written, row.eventId, row.type);
    return out << text;
}

std::vector<Row> Rows(const RecordStream& stream)
{
    std::vector<Row> rows;
    for (const RecordSpan& span : stream.newestFirst) {
        const uint8_t* record = RecordBytes(stream, span);
        rows.push_back({GetU32(record + 8), GetU32(record + 12), GetU32(record + 16), GetU32(record + 20),
                        GetU32(record + 24) & 0xFFFF});
    }
    return rows;
}

// The row for record `number`, or a zero row.
Row RowOf(const std::vector<Row>& rows, uint32_t number)
{
    for (const Row& row : rows) {
        if (row.number == number)
            return row;
    }
    return Row{};
}

TEST(EvtxFileReal, ReadsEveryRecordNewestFirstAsWholeEventLogRecords)
{
    const Parsed parsed = Parse(RealImage());
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.skipped.chunks, 0u);
    EXPECT_EQ(parsed.skipped.records, 0u);
    ASSERT_EQ(parsed.stream.newestFirst.size(), 5009u);
    const uint8_t kEmptyNames[4] = {0, 0, 0, 0};
    for (size_t i = 0; i < parsed.stream.newestFirst.size(); ++i) {
        const RecordSpan& span = parsed.stream.newestFirst[i];
        ASSERT_EQ(span.size, 64u);
        ASSERT_LE(size_t{span.offset} + span.size, parsed.stream.bytes.size());
        const uint8_t* record = RecordBytes(parsed.stream, span);
        // Length, "LfLe", the number, then zeros but for the string and data offsets.
        EXPECT_EQ(GetU32(record), 64u);
        EXPECT_EQ(GetU32(record + 4), 0x654C664Cu);
        EXPECT_EQ(GetU32(record + 8), 5009 - i) << "position " << i;
        EXPECT_EQ(GetU32(record + 24) >> 16, 0u) << "NumStrings of record " << 5009 - i;
        for (uint32_t at : {28u, 32u, 40u, 44u, 48u})
            EXPECT_EQ(GetU32(record + at), 0u) << "offset " << at << " of record " << 5009 - i;
        EXPECT_EQ(GetU32(record + 36), 60u);
        EXPECT_EQ(GetU32(record + 52), 60u);
        EXPECT_EQ(std::memcmp(record + 56, kEmptyNames, 4), 0);
        EXPECT_EQ(GetU32(record + 60), 64u);
    }
}

// Record 3 uses a definition stored earlier in its chunk, by record 2 (whose
// own definition is inline), and record 273 in chunk 1 has its definition
// inline; all eight boot markers, and nothing else, read 0x80001779.
TEST(EvtxFileReal, GivesTheWorkedExampleAndExactlyTheEightBootMarkers)
{
    const Parsed parsed = Parse(RealImage());
    ASSERT_TRUE(parsed.ok) << parsed.error;
    const std::vector<Row> rows = Rows(parsed.stream);
    EXPECT_EQ(RowOf(rows, 3), (Row{3, kBootWritten, kBootWritten, kBootMarker, 4}));
    EXPECT_EQ(RowOf(rows, 2).eventId, 0x8000177Bu);
    EXPECT_EQ(RowOf(rows, 273).eventId, kBootMarker);
    std::vector<uint32_t> boots;
    for (const Row& row : rows) {
        if (row.eventId == kBootMarker)
            boots.push_back(row.number);
    }
    EXPECT_EQ(boots, (std::vector<uint32_t>{1042, 953, 733, 593, 430, 322, 273, 3}));

    // The newest boot record's machine, the zone of the newest uptime record,
    // held in a string array in a nested value; of chunk 0 alone, the first
    // boot's machine and zone.
    // Each boot record's own machine (records 273 and 3), and what a copy cut
    // short lacks of the 27 chunks its header counts; a live copy's header
    // that lags behind its chunks makes no cut.
    std::vector<uint8_t> cut(RealImage().begin(), RealImage().begin() + 1000000), lagging = RealImage();
    PutU16(&lagging, 0x2A, 20);
    struct Log {
        std::vector<uint8_t> image;
        LogFacts want;
        std::string bootHosts, cut;
        bool newestMissing;
    };
    const std::string hosts = "WIN-NBRJP24VCHB 37L4247F27-26";
    const Log logs[] = {
        {RealImage(), {"DC1.internal.greendale.edu", "0 Coordinated Universal Time", true, "", {}}, hosts, "", false},
        {RealChunk0(), {"37L4247F27-26", "", true, "", {}}, " 37L4247F27-26", "cut short: 26 of 27 chunks missing, about 4851 records", true},
        {cut, {"DC1.internal.greendale.edu", "0 Coordinated Universal Time", true, "", {}}, hosts,
         "cut short: 12 of 27 chunks missing, about 2048 records", true},
        {lagging, {"DC1.internal.greendale.edu", "0 Coordinated Universal Time", true, "", {}}, hosts, "", false},
    };
    for (const Log& log : logs) {
        RecordStream stream;
        SkippedParts skipped;
        std::string error;
        LogFacts facts;
        ASSERT_TRUE(ParseEvtxImage(log.image.data(), log.image.size(), &stream, &skipped, &error, &facts));
        std::string bootHosts[2];
        for (const BootHost& boot : facts.bootHosts)
            bootHosts[boot.number == 3] += boot.number == 273 || boot.number == 3 ? boot.host : "";
        EXPECT_EQ(std::tie(facts.host, facts.zoneText, facts.systemRecords, facts.holds),
                  std::tie(log.want.host, log.want.zoneText, log.want.systemRecords, log.want.holds));
        EXPECT_EQ(bootHosts[0] + " " + bootHosts[1], log.bootHosts);
        EXPECT_EQ(std::make_tuple(CutShortText(skipped), skipped.newestMissing), std::make_tuple(log.cut, log.newestMissing));
    }
}

// Chunk slots in any order, as after a wrap, and identifiers that repeat:
// newest first by identifier, and of equal ones the later in the file first.
// Record 5 is told apart from record 3 by its event ID.
TEST(EvtxFileOrder, SortsByIdentifierThenLaterInFileFirst)
{
    struct Case {
        const char* name;
        std::vector<std::pair<uint32_t, uint64_t>> ids;  // chunk-0 record offset, new identifier
        std::vector<uint32_t> newestSix;                  // the numbers of the first six rows
        uint32_t laterTwin;                               // event ID of the later of two records numbered 3, or 0
    };
    const Case cases[] = {
        {"already ordered", {}, {158, 157, 156, 155, 154, 153}, 0},
        {"tie in order, 4th record renumbered 3", {{0xDC0, 3}}, {158, 157, 156, 155, 154, 153}, 0x80001775},
        {"tie out of order, 5th record renumbered 3", {{0xEA8, 3}}, {158, 157, 156, 155, 154, 153}, 0x0000C767},
        {"oldest record renumbered past 2^32", {{0x200, 0x100000001ull}}, {1, 158, 157, 156, 155, 154}, 0},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> image = RealChunk0();
        uint64_t last = kRecordsInChunk0;
        for (const auto& [offset, id] : c.ids) {
            PutU64(&image, kHeaderBlock + offset + 8, id);
            last = std::max(last, id);
        }
        PutU64(&image, kHeaderBlock + 0x20, last);  // a header that covers the new identifiers
        const Parsed parsed = Parse(image);
        ASSERT_TRUE(parsed.ok) << c.name;
        EXPECT_EQ(parsed.skipped.records, 0u) << c.name;
        const std::vector<Row> rows = Rows(parsed.stream);
        ASSERT_EQ(rows.size(), size_t{kRecordsInChunk0}) << c.name;
        std::vector<uint32_t> newest;
        for (size_t i = 0; i < 6; ++i)
            newest.push_back(rows[i].number);
        EXPECT_EQ(newest, c.newestSix) << c.name;
        const bool renumbered = c.newestSix[0] == 1;
        EXPECT_EQ(rows.back().number, renumbered ? 2u : 1u) << c.name;
        if (c.laterTwin) {
            // ..., the later 3, record 3 itself, 2, 1.
            EXPECT_EQ(rows[rows.size() - 4].number, 3u) << c.name;
            EXPECT_EQ(rows[rows.size() - 4].eventId, c.laterTwin) << c.name;
            EXPECT_EQ(rows[rows.size() - 3].eventId, kBootMarker) << c.name;
        }
        for (size_t i = renumbered ? 2 : 1; i < rows.size(); ++i)
            EXPECT_GE(rows[i - 1].number, rows[i].number) << c.name << " at " << i;
    }

    // Chunk slots 0 and 1 swapped: the same rows as the file in order.
    const std::vector<uint8_t>& real = RealImage();
    std::vector<uint8_t> swapped = real;
    std::copy(real.begin() + kHeaderBlock, real.begin() + kHeaderBlock + kChunkSize,
              swapped.begin() + kHeaderBlock + kChunkSize);
    std::copy(real.begin() + kHeaderBlock + kChunkSize, real.begin() + kHeaderBlock + 2 * kChunkSize,
              swapped.begin() + kHeaderBlock);
    const Parsed inOrder = Parse(real), outOfOrder = Parse(swapped);
    ASSERT_TRUE(outOfOrder.ok);
    EXPECT_EQ(Rows(outOfOrder.stream), Rows(inOrder.stream));
}

// One table over record 3 in a one-chunk copy: its Level value byte, its
// Keywords value and the types of both descriptors, against the event type.
TEST(EvtxFileEventType, FollowsLevelThenAuditKeywords)
{
    constexpr uint64_t kSuccess = 0x0020000000000000ull, kFailure = 0x0010000000000000ull;
    constexpr uint64_t kClassic = 0x0080000000000000ull;  // what record 3 has
    struct Case {
        uint8_t level;
        uint64_t keywords;
        uint8_t levelType;  // 0x04 UInt8 as written; 0x00 NullType for no Level
        uint16_t expected;
    };
    const Case cases[] = {
        {1, kClassic, 0x04, 1},          {2, kSuccess, 0x04, 1},        {3, kClassic, 0x04, 2},
        {4, kFailure, 0x04, 4},          {5, kClassic, 0x04, 4},        {6, kClassic, 0x04, 4},
        {255, kClassic, 0x04, 4},        {0, kSuccess, 0x04, 8},        {0, kFailure, 0x04, 16},
        {0, kSuccess | kFailure, 0x04, 8}, {0, kClassic, 0x04, 0},      {0, 0, 0x04, 0},
        {2, kSuccess, 0x00, 8},          {2, kFailure, 0x00, 16},       {2, kClassic, 0x00, 0},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> image = RealChunk0();
        image[kHeaderBlock + kRecord3Level] = c.level;
        image[kHeaderBlock + kRecord3Descriptors + 2] = c.levelType;
        PutU64(&image, kHeaderBlock + kRecord3Keywords, c.keywords);
        const Parsed parsed = Parse(image);
        ASSERT_TRUE(parsed.ok);
        const Row row = RowOf(Rows(parsed.stream), 3);
        EXPECT_EQ(row.type, c.expected) << "level " << int{c.level} << " type " << int{c.levelType}
                                        << " keywords 0x" << std::hex << c.keywords;
        EXPECT_EQ(row.eventId, kBootMarker);
    }
}

// Record 3's typed values changed in place, size kept: NULL Qualifiers drop
// the high half; a SYSTEMTIME or a string serves as well as the usual types.
TEST(EvtxFileValues, ReadsEachValueTypeTheItemsCanHave)
{
    struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>*)> patch;
        Row expected;
    };
    const uint32_t record = kHeaderBlock + kRecord3;
    const uint32_t descriptors = kHeaderBlock + kRecord3Descriptors;
    // TimeCreated as a SYSTEMTIME of 2015-06-23 07:00:48 and `milliseconds`,
    // in the place of Keywords and its own value.
    const auto SystemTimeOverKeywords = [&](std::vector<uint8_t>* image, uint16_t milliseconds) {
        (*image)[descriptors + 4 * 6 + 2] = 0x12;
        PutU16(image, descriptors + 4 * 5, 0);
        PutU16(image, descriptors + 4 * 6, 16);
        const uint16_t when[8] = {2015, 6, 2, 23, 7, 0, 48, milliseconds};
        std::memcpy(image->data() + record + 0x82, when, sizeof when);
    };
    const Case cases[] = {
        {"as written", [](std::vector<uint8_t>*) {}, {3, kBootWritten, kBootWritten, kBootMarker, 4}},
        {"Qualifiers NULL", [&](std::vector<uint8_t>* image) { (*image)[descriptors + 4 * 4 + 2] = 0x00; },
         {3, kBootWritten, kBootWritten, 0x1779, 4}},
        // TimeCreated as a SYSTEMTIME of 2015-06-23 07:00:48 (a Tuesday) laid over
        // the bytes of Qualifiers and Keywords, whose sizes become 0.
        {"TimeCreated as SYSTEMTIME",
         [&](std::vector<uint8_t>* image) {
             (*image)[descriptors + 4 * 6 + 2] = 0x12;
             PutU16(image, descriptors + 4 * 4, 0);
             PutU16(image, descriptors + 4 * 5, 0);
             PutU16(image, descriptors + 4 * 6, 2 + 8 + 8);
             const uint16_t when[8] = {2015, 6, 2, 23, 7, 0, 48, 0};
             std::memcpy(image->data() + record + 0x80, when, sizeof when);
         },
         {3, kBootWritten + 3600, kBootWritten, 0x1779, 4}},
        // The same over Keywords alone, exactly 16 bytes, Qualifiers kept.
        {"TimeCreated as a SYSTEMTIME of exactly 16 bytes",
         [&](std::vector<uint8_t>* image) { SystemTimeOverKeywords(image, 999); },
         {3, kBootWritten + 3600, kBootWritten, kBootMarker, 4}},
        {"a SYSTEMTIME of 1000 milliseconds refused",
         [&](std::vector<uint8_t>* image) { SystemTimeOverKeywords(image, 1000); },
         {3, 0, kBootWritten, kBootMarker, 4}},
        // EventID as a SizeT of a 32-bit writer, over the bytes of Qualifiers.
        {"EventID as a 32-bit SizeT",
         [&](std::vector<uint8_t>* image) {
             (*image)[descriptors + 4 * 3 + 2] = 0x10;
             PutU16(image, descriptors + 4 * 3, 4);
             PutU16(image, descriptors + 4 * 4, 0);
             PutU32(image, record + 0x7E, 6006);
         },
         {3, kBootWritten, kBootWritten, 0x1776, 4}},
        {"EventID as a string",
         [&](std::vector<uint8_t>* image) {
             (*image)[descriptors + 4 * 3 + 2] = 0x01;  // a String of one unit, "7"
             (*image)[record + 0x7E] = '7';
             (*image)[record + 0x7F] = 0;
         },
         {3, kBootWritten, kBootWritten, 0x80000007, 4}},
        {"TimeCreated before 1970",
         [&](std::vector<uint8_t>* image) { PutU64(image, record + 0x8A, 116444736000000000ull - 1); },
         {3, 0, kBootWritten, kBootMarker, 4}},
        {"written time past 2106",
         [&](std::vector<uint8_t>* image) { PutU64(image, record + 0x10, 116444736000000000ull + (1ull << 32) * 10000000); },
         {3, kBootWritten, 0, kBootMarker, 4}},
        {"written time at the last second 32 bits hold",
         [&](std::vector<uint8_t>* image) {
             PutU64(image, record + 0x10, 116444736000000000ull + ((1ull << 32) - 1) * 10000000 + 9999999);
         },
         {3, kBootWritten, 0xFFFFFFFFu, kBootMarker, 4}},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> image = RealChunk0();
        c.patch(&image);
        const Parsed parsed = Parse(image);
        ASSERT_TRUE(parsed.ok) << c.name;
        EXPECT_EQ(parsed.skipped.records, 0u) << c.name;
        EXPECT_EQ(RowOf(Rows(parsed.stream), 3), c.expected) << c.name;
    }
}

// Binary XML written here: a fragment header and elements with inline names,
// as a record does without a template, or as a template definition holds them.
struct Xml {
    std::vector<uint8_t> bytes;
    uint32_t base;            // chunk offset of bytes[0]
    bool definition = false;  // inside a definition: element starts carry a dependency id
};

using Fill = std::function<void(Xml*)>;

void Raw(Xml* x, std::initializer_list<uint8_t> bytes)
{
    x->bytes.insert(x->bytes.end(), bytes);
}

void Raw32(Xml* x, uint32_t value)
{
    x->bytes.resize(x->bytes.size() + 4);
    PutU32(&x->bytes, x->bytes.size() - 4, value);
}

// A name stored right after its reference: next offset, hash, count, units, NUL.
void Name(Xml* x, const std::string& name)
{
    Raw32(x, x->base + static_cast<uint32_t>(x->bytes.size()) + 4);
    Raw32(x, 0);
    Raw(x, {0, 0, static_cast<uint8_t>(name.size()), 0});
    for (char c : name)
        Raw(x, {static_cast<uint8_t>(c), 0});
    Raw(x, {0, 0});
}

// A value-text token holding `text`.
void Text(Xml* x, const std::string& text)
{
    Raw(x, {0x05, 0x01, static_cast<uint8_t>(text.size()), 0});
    for (char c : text)
        Raw(x, {static_cast<uint8_t>(c), 0});
}

// An element with at most one attribute (skipped when its value is null)
// and content (an empty element when null).
void Element(Xml* x, const std::string& name, const char* attribute, const Fill& value, const Fill& content)
{
    const bool attributed = attribute && value;
    Raw(x, {static_cast<uint8_t>(attributed ? 0x41 : 0x01)});
    if (x->definition)
        Raw(x, {0xFF, 0xFF});  // no value's NULL drops it
    const size_t sizeAt = x->bytes.size();
    Raw32(x, 0);
    Name(x, name);
    if (attributed) {
        const size_t listAt = x->bytes.size();
        Raw32(x, 0);
        Raw(x, {0x06});
        Name(x, attribute);
        value(x);
        PutU32(&x->bytes, listAt, static_cast<uint32_t>(x->bytes.size() - listAt - 4));
    }
    if (content) {
        Raw(x, {0x02});
        content(x);
        Raw(x, {0x04});
    } else {
        Raw(x, {0x03});
    }
    PutU32(&x->bytes, sizeAt, static_cast<uint32_t>(x->bytes.size() - sizeAt - 4));
}

// The same, its attribute's value a text.
void Element(Xml* x, const std::string& name, const char* attribute, const char* value, const Fill& content)
{
    Element(x, name, attribute, value ? Fill([value](Xml* x) { Text(x, value); }) : Fill(), content);
}

// A template instance in element content, its definition inline: a Data
// element whose text is the instance's one value, "A".
void NestedInstance(Xml* x)
{
    Raw(x, {0x0C, 0x01});
    Raw32(x, 7);  // template id
    const uint32_t definitionAt = x->base + static_cast<uint32_t>(x->bytes.size()) + 4;
    Raw32(x, definitionAt);
    Xml d{{}, definitionAt + 24, true};
    Raw(&d, {0x0F, 0x01, 0x01, 0x00});
    Element(&d, "Data", nullptr, nullptr, [](Xml* x) { Raw(x, {0x0E, 0x00, 0x00, 0x01}); });
    Raw(&d, {0x00});
    Raw32(x, 0);  // next definition
    Raw(x, {'n', 'e', 's', 't', 'e', 'd', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});  // GUID
    Raw32(x, static_cast<uint32_t>(d.bytes.size()));
    x->bytes.insert(x->bytes.end(), d.bytes.begin(), d.bytes.end());
    Raw32(x, 1);
    Raw(x, {0x02, 0x00, 0x01, 0x00, 'A', 0x00});
}

struct Written {
    const char* eventId;
    const char* qualifiers;  // null: no attribute
    const char* level;       // null: no element
    const char* keywords;
    const char* systemTime;
    const char* parent = "System";  // the element that holds the items
    const char* root = "Event";
    Fill more = nullptr;            // content after the items, inside their parent
    Fill data = nullptr;            // content of EventData
};

// The binary XML of an event written out, for a record at chunk offset `at`.
std::vector<uint8_t> WrittenEvent(uint32_t at, const Written& w)
{
    Xml x{{}, at + 0x18};
    Raw(&x, {0x0F, 0x01, 0x01, 0x00});
    const auto text = [](const char* value) { return [value](Xml* x) { Text(x, value); }; };
    Element(&x, w.root, nullptr, nullptr, [&](Xml* x) {
        Element(x, w.parent, nullptr, nullptr, [&](Xml* x) {
            Element(x, "Provider", "Name", "EventLog", nullptr);
            Element(x, "EventID", "Qualifiers", w.qualifiers, text(w.eventId));
            if (w.level)
                Element(x, "Level", nullptr, nullptr, text(w.level));
            Element(x, "Keywords", nullptr, nullptr, text(w.keywords));
            Element(x, "TimeCreated", "SystemTime", w.systemTime, nullptr);
            // What the reader must step over: CDATA, a character reference, a PI.
            Element(x, "Computer", nullptr, nullptr, [](Xml* x) {
                Raw(x, {0x07, 0x01, 0x00, 'A', 0, 0x08, 0x41, 0x00, 0x0B, 0x00, 0x00});
            });
            if (w.more)
                w.more(x);
        });
        Element(x, "EventData", nullptr, nullptr, w.data ? w.data : [](Xml*) {});
    });
    Raw(&x, {0x00});
    return x.bytes;
}

// A one-chunk image of records whose binary XML `bodies` give for their
// chunk offsets, written at kBootWritten, with identifiers 1, 2, ... or
// those of `ids`, under a header whose range covers them; their chunk
// offsets go to *offsets when asked for.
std::vector<uint8_t> ImageOf(const std::vector<std::function<std::vector<uint8_t>(uint32_t)>>& bodies,
                             const std::vector<uint64_t>& ids = {}, std::vector<uint32_t>* offsets = nullptr)
{
    std::vector<uint8_t> image = RealChunk0();
    std::fill(image.begin() + kHeaderBlock + kChunkHeader, image.end(), 0);
    uint32_t at = kChunkHeader;
    uint64_t first = UINT64_MAX, last = 0;
    for (size_t i = 0; i < bodies.size(); ++i) {
        const std::vector<uint8_t> xml = bodies[i](at);
        const uint32_t size = (0x18 + static_cast<uint32_t>(xml.size()) + 4 + 7) / 8 * 8;
        const size_t record = kHeaderBlock + at;
        const uint64_t id = ids.empty() ? i + 1 : ids[i];
        PutU32(&image, record, 0x2A2A);
        PutU32(&image, record + 4, size);
        PutU64(&image, record + 8, id);
        PutU64(&image, record + 16, 116444736000000000ull + uint64_t{kBootWritten} * 10000000);
        std::copy(xml.begin(), xml.end(), image.begin() + record + 0x18);
        PutU32(&image, record + size - 4, size);
        if (offsets)
            offsets->push_back(at);
        first = std::min(first, id);
        last = std::max(last, id);
        at += size;
    }
    PutU64(&image, kHeaderBlock + 0x18, bodies.empty() ? 1 : first);
    PutU64(&image, kHeaderBlock + 0x20, bodies.empty() ? 0 : last);
    PutU32(&image, kHeaderBlock + 0x30, at);
    return image;
}

// Records without a template give the same fields from value texts as record
// 3 gives from its typed values, whatever the texts' forms.
TEST(EvtxFileWrittenOut, GivesTheFieldsOfItsTemplatedTwin)
{
    struct Case {
        const char* name;
        Written w;
        Row expected;
        uint32_t lost = 0;  // of the three records alike
        LogFacts facts = {};
    };
    const Row twin = RowOf(Rows(Parse(RealChunk0()).stream), 3);
    ASSERT_EQ(twin.eventId, kBootMarker);
    // The twin's texts, but for the time, or with more content after the items.
    const auto at = [](const char* time) { return Written{"6009", "32768", "4", "0x80000000000000", time}; };
    const auto with = [](Fill more) {
        return Written{"6009", "32768", "4", "0x80000000000000", "2015-06-23T06:00:48Z", "System", "Event", more};
    };
    const auto generated = [&](uint32_t time) { return Row{3, time, kBootWritten, kBootMarker, 4}; };
    const auto element = [](const char* name, const char* text) {
        return [=](Xml* x) { Element(x, name, nullptr, nullptr, [=](Xml* x) { Text(x, text); }); };
    };
    // An uptime record of EventLog, whose EventData `data` holds.
    const auto uptime = [](Fill data) {
        return Written{"6013", "32768", "4", "0x80000000000000", "2015-06-23T06:00:48Z", "System", "Event", nullptr,
                       data};
    };
    const Row uptimeRow{3, kBootWritten, kBootWritten, 0x8000177D, 4};
    const std::function<void(Xml*, int)> nest = [&nest](Xml* x, int depth) {
        if (depth > 0)
            Element(x, "D", nullptr, nullptr, [&nest, depth](Xml* x) { nest(x, depth - 1); });
    };
    const std::string longest = "2015-06-23T06:00:48." + std::string(26, '0') + "Z";  // 47 characters
    const std::string tooLong = "2015-06-23T06:00:48." + std::string(27, '0') + "Z";
    const Case cases[] = {
        {"the twin's texts", at("2015-06-23T06:00:48.6250000Z"), twin},
        {"no Qualifiers", {"6006", nullptr, "4", "0x80000000000000", "2015-06-23T06:00:48Z"},
         {3, kBootWritten, kBootWritten, 0x1776, 4}},
        {"blanks round the texts, Qualifiers in hex, a blank for the T, no Z",
         {" 6009 ", "0x8000", " 2 ", "0", "2015-06-23 06:00:48.5"}, {3, kBootWritten, kBootWritten, kBootMarker, 1}},
        {"before 1970", {"6009", "32768", "0", "0x20000000000000", "1969-12-31T23:59:59Z"},
         {3, 0, kBootWritten, kBootMarker, 8}},
        {"no Level, Keywords in decimal, the last second 32 bits hold",
         {"6009", "32768", nullptr, "4503599627370496", "2106-02-07T06:28:15Z"},  // 0x10000000000000
         {3, 0xFFFFFFFFu, kBootWritten, kBootMarker, 16}},
        {"a second past it, a Level that is no number",
         {"6009", "32768", "x", "0x20000000000000", "2106-02-07T06:28:16Z"}, {3, 0, kBootWritten, kBootMarker, 8}},
        {"an empty EventID, Qualifiers past 16 bits, 30 February",
         {"", "99999", "4", "0x80000000000000", "2015-02-30T06:00:48Z"}, {3, 0, kBootWritten, 0x869F0000u, 4}},
        {"items under UserData", {"6009", "32768", "4", "0x80000000000000", "2015-06-23T06:00:48Z", "UserData"},
         {3, 0, kBootWritten, 0, 0}},
        {"29 February of a leap year", at("2016-02-29T06:00:48Z"), generated(1456725648)},
        {"29 February of a common year refused", at("2015-02-29T06:00:48Z"), generated(0)},
        {"29 February of a year divisible by 400", at("2000-02-29T00:00:00Z"), generated(951782400)},
        {"29 February of a century not divisible by 400 refused", at("2100-02-29T00:00:00Z"), generated(0)},
        {"the last second of a year", at("2015-12-31T23:59:59Z"), generated(1451606399)},
        {"second 60 refused", at("2015-06-23T06:00:60Z"), generated(0)},
        {"text after the time refused", at("2015-06-23T06:00:48Zx"), generated(0)},
        {"a time text of 47 characters, the longest read", at(longest.c_str()), generated(kBootWritten)},
        {"a time text of 48 characters refused", at(tooLong.c_str()), generated(0)},
        {"a time text of 19 characters, no fraction and no Z", at("2015-06-23T06:00:48"), generated(kBootWritten)},
        {"upper-case hex digits", {"6009", "32768", "0", "0x0020FFFF00000000", "2015-06-23T06:00:48Z"},
         {3, kBootWritten, kBootWritten, kBootMarker, 8}},
        {"the largest 64-bit number", {"6009", "32768", "0", "18446744073709551615", "2015-06-23T06:00:48Z"},
         {3, kBootWritten, kBootWritten, kBootMarker, 8}},
        {"one past the largest 64-bit number refused",
         {"6009", "32768", "0", "18446744073709551616", "2015-06-23T06:00:48Z"},
         {3, kBootWritten, kBootWritten, kBootMarker, 0}},
        {"an EventID past 16 bits keeps its low 16",
         {"71545", "32768", "4", "0x80000000000000", "2015-06-23T06:00:48Z"}, twin},
        {"a parent named with a prefix of System",
         {"6009", "32768", "4", "0x80000000000000", "2015-06-23T06:00:48Z", "Syste"}, {3, 0, kBootWritten, 0, 0}},
        {"a root other than Event",
         {"6009", "32768", "4", "0x80000000000000", "2015-06-23T06:00:48Z", "System", "Other"},
         {3, 0, kBootWritten, 0, 0}},
        {"a Level given twice: the first counts",
         with([](Xml* x) { Element(x, "Level", nullptr, nullptr, [](Xml* x) { Text(x, "2"); }); }), twin},
        {"a template instance in content, stepped over",
         with([](Xml* x) { Element(x, "Data", nullptr, nullptr, NestedInstance); }), twin},
        {"elements 64 deep", with([&nest](Xml* x) { nest(x, 62); }), twin},
        {"elements 65 deep: unsound", with([&nest](Xml* x) { nest(x, 63); }), Row{}, 3},
        {"64 siblings, each with content",
         with([](Xml* x) {
             for (int i = 0; i < 64; ++i)
                 Element(x, "D", nullptr, nullptr, [](Xml* x) { Text(x, "1"); });
         }),
         twin},
        // What the records say of the log: the last Data item of the newest
        // uptime record, the channel, and the computer of the newest boot record.
        {"a Channel of System, a second Computer that names it",
         with([&](Xml* x) {
             element("Channel", "System")(x);
             element("Computer", "PC-7")(x);
         }),
         twin, 0, {"PC-7", "", true, "", {}}},
        {"a Channel of another log", with(element("Channel", "Security")), twin, 0, {"", "", false, "Security", {}}},
        {"an uptime record: its last Data item states the zone",
         uptime([&](Xml* x) {
             element("Data", "60")(x);
             element("Data", "-60 W. Europe Standard Time")(x);
         }),
         uptimeRow, 0, {"", "-60 W. Europe Standard Time", false, "", {}}},
        {"an uptime record whose last Data item is empty",
         uptime([&](Xml* x) {
             element("Data", "480 Pacific Standard Time")(x);
             Element(x, "Data", nullptr, nullptr, nullptr);
         }),
         uptimeRow},
        {"an uptime record stating no zone", uptime(element("Data", "86400")), uptimeRow},
    };
    for (const Case& c : cases) {
        const auto body = [&](uint32_t at) { return WrittenEvent(at, c.w); };
        const std::vector<uint8_t> image = ImageOf({body, body, body});
        Parsed parsed;
        LogFacts facts;
        parsed.ok = ParseEvtxImage(image.data(), image.size(), &parsed.stream, &parsed.skipped, &parsed.error, &facts);
        ASSERT_TRUE(parsed.ok) << c.name;
        EXPECT_EQ(parsed.skipped.records, c.lost) << c.name;
        EXPECT_EQ(RowOf(Rows(parsed.stream), 3), c.expected) << c.name;
        EXPECT_EQ(std::tie(facts.host, facts.zoneText, facts.systemRecords, facts.holds),
                  std::tie(c.facts.host, c.facts.zoneText, c.facts.systemRecords, c.facts.holds)) << c.name;
    }
}

// Power records written out: the named data of the service's 6008 and its
// Binary as hex text, the last moment known to run in its UTC half; records
// of other IDs are never looked at, and without a place asked for none is kept.
TEST(EvtxFileWrittenOut, HandsThePowerRecordsOverWhenAsked)
{
    const auto unexpected = [](const char* eventId, const char* binary) {
        return [=](uint32_t at) {
            return WrittenEvent(at, {eventId, "32768", "4", "0x80000000000000", "2015-06-23T06:00:48Z", "System",
                                     "Event", nullptr, [=](Xml* x) {
                                         Element(x, "Data", nullptr, nullptr, [](Xml* x) { Text(x, "06:00:00"); });
                                         Element(x, "Binary", nullptr, nullptr, [=](Xml* x) { Text(x, binary); });
                                     }});
        };
    };
    // 2015-06-23 08:00:00 local, then 06:00:00 UTC, as SYSTEMTIMEs.
    const char* kTwoTimes = "DF070600020017000800000000000000" "DF070600020017000600000000000000";
    const std::vector<uint8_t> image =
        ImageOf({unexpected("6008", kTwoTimes), unexpected("6013", kTwoTimes), unexpected("6008", "DF07")});
    std::vector<PowerEvent> power;
    LogFacts facts;
    facts.power = &power;
    RecordStream stream;
    SkippedParts skipped;
    std::string error;
    ASSERT_TRUE(ParseEvtxImage(image.data(), image.size(), &stream, &skipped, &error, &facts));
    ASSERT_EQ(power.size(), 2u);
    EXPECT_EQ(power[0].source, PowerSource::kEventLog);
    EXPECT_EQ(power[0].id, 6008);
    EXPECT_EQ(power[0].time, 1435039248);
    EXPECT_EQ(power[0].lastRunning, 1435039200);  // 2015-06-23T06:00:00Z, not the local half's 08:00
    EXPECT_EQ(power[1].lastRunning, 0);           // too short to hold a time
    LogFacts unasked;
    ASSERT_TRUE(ParseEvtxImage(image.data(), image.size(), &stream, &skipped, &error, &unasked));
    EXPECT_EQ(unasked.power, nullptr);
}

// Where a template definition puts the items: the index of the substitution
// value each takes, -1 for none.
struct Numbering {
    int eventId, qualifiers, level, keywords, systemTime;
};

// A definition laid at chunk offset `at`: next offset, GUID, data size, then
// Event > System with the items as optional substitutions.
std::vector<uint8_t> Definition(uint32_t at, const Numbering& n)
{
    const auto sub = [](int index, uint8_t type) {
        return Fill([=](Xml* x) {
            Raw(x, {0x0E, static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8), type});
        });
    };
    Xml x{{}, at + 24, true};
    Raw(&x, {0x0F, 0x01, 0x01, 0x00});
    Element(&x, "Event", nullptr, nullptr, [&](Xml* x) {
        Element(x, "System", nullptr, nullptr, [&](Xml* x) {
            if (n.eventId >= 0)
                Element(x, "EventID", n.qualifiers >= 0 ? "Qualifiers" : nullptr, sub(n.qualifiers, 0x06),
                        sub(n.eventId, 0x06));
            if (n.level >= 0)
                Element(x, "Level", nullptr, nullptr, sub(n.level, 0x04));
            if (n.keywords >= 0)
                Element(x, "Keywords", nullptr, nullptr, sub(n.keywords, 0x15));
            if (n.systemTime >= 0)
                Element(x, "TimeCreated", "SystemTime", sub(n.systemTime, 0x11), nullptr);
        });
    });
    Raw(&x, {0x00});
    Xml header{{}, at};
    Raw32(&header, 0);
    Raw(&header, {'d', 'e', 'f', 'i', 'n', 'i', 't', 'i', 'o', 'n', 0, 0, 0, 0, 0, 0});
    Raw32(&header, static_cast<uint32_t>(x.bytes.size()));
    header.bytes.insert(header.bytes.end(), x.bytes.begin(), x.bytes.end());
    return header.bytes;
}

// A substitution value: its type and bytes.
struct Value {
    uint8_t type;
    std::vector<uint8_t> bytes;
};

// The values of a boot record whose definition numbers them as `n`, with
// its own event ID and level; indices no item takes hold NULLs.
std::vector<Value> BootValues(const Numbering& n, uint16_t eventId, uint8_t level)
{
    const int count = std::max({n.eventId, n.qualifiers, n.level, n.keywords, n.systemTime}) + 1;
    std::vector<Value> values(count, Value{0x00, {}});
    const auto put = [&](int index, uint8_t type, uint64_t value, size_t width) {
        if (index >= 0) {
            values[index] = {type, std::vector<uint8_t>(width)};
            std::memcpy(values[index].bytes.data(), &value, width);
        }
    };
    put(n.eventId, 0x06, eventId, 2);
    put(n.qualifiers, 0x06, 0x8000, 2);
    put(n.level, 0x04, level, 1);
    put(n.keywords, 0x15, 0x80000000000000ull, 8);
    put(n.systemTime, 0x11, 116444736000000000ull + uint64_t{kBootWritten} * 10000000, 8);
    return values;
}

// A record's binary XML: an instance of the definition at `definition` with
// `values`, then `after`, bytes no descriptor covers, and the end of stream.
std::vector<uint8_t> InstanceXml(uint32_t definition, const std::vector<Value>& values,
                                 const std::vector<uint8_t>& after)
{
    Xml x{{}, 0};
    Raw(&x, {0x0F, 0x01, 0x01, 0x00, 0x0C, 0x01});
    Raw32(&x, 0x7E3A);  // template id
    Raw32(&x, definition);
    Raw32(&x, static_cast<uint32_t>(values.size()));
    for (const Value& value : values) {
        const size_t size = value.bytes.size();
        Raw(&x, {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8), value.type, 0});
    }
    for (const Value& value : values)
        x.bytes.insert(x.bytes.end(), value.bytes.begin(), value.bytes.end());
    x.bytes.insert(x.bytes.end(), after.begin(), after.end());
    Raw(&x, {0x00});
    return x.bytes;
}

// The slot of the reader's table of definitions that a definition at
// `offset` hashes to first; the table has 2048.
uint32_t PlanSlot(uint32_t offset)
{
    return (offset * 2654435761u) >> 21;
}

// Where a definition lies: past those before it in a slot none of them has,
// in the slot of the one before it, in the table's last slot, or in the
// chunk header's tables.
enum Placement { kOwnSlot, kSameSlot, kLastSlot, kInChunkHeader };

struct Laid {
    Placement where;
    Numbering numbering;
};

// A record: the definition it is an instance of, and the event ID and level
// of its boot values, or values and trailing bytes of its own.
struct Use {
    size_t definition;
    uint16_t eventId;
    uint8_t level;
    std::vector<Value> values = {};
    std::vector<uint8_t> after = {};
};

// A one-chunk image of records, each of `uses` an instance of one of
// `definitions`. Those not in the chunk header lie in the first record, past
// its own binary XML, at the first offsets their placements allow.
std::vector<uint8_t> TemplateImage(const std::vector<Laid>& definitions, const std::vector<Use>& uses)
{
    const auto valuesOf = [&](const Use& use) {
        return use.values.empty() ? BootValues(definitions[use.definition].numbering, use.eventId, use.level)
                                  : use.values;
    };
    const uint32_t firstXml = kChunkHeader + 0x18;
    uint32_t end = firstXml + static_cast<uint32_t>(InstanceXml(0, valuesOf(uses[0]), uses[0].after).size());
    std::vector<uint32_t> offsets;
    for (const Laid& laid : definitions) {
        uint32_t at = end;
        const auto slotTaken = [&](uint32_t offset) {
            return std::any_of(offsets.begin(), offsets.end(),
                               [&](uint32_t other) { return PlanSlot(other) == PlanSlot(offset); });
        };
        switch (laid.where) {
        case kOwnSlot:
            while (slotTaken(at))
                ++at;
            break;
        case kSameSlot:
            while (PlanSlot(at) != PlanSlot(offsets.back()))
                ++at;
            break;
        case kLastSlot:
            while (PlanSlot(at) != 2047)
                ++at;
            break;
        case kInChunkHeader:
            at = 0x80;
            break;
        }
        if (laid.where != kInChunkHeader)
            end = at + static_cast<uint32_t>(Definition(at, laid.numbering).size());
        offsets.push_back(at);
    }
    std::vector<std::function<std::vector<uint8_t>(uint32_t)>> bodies;
    for (size_t i = 0; i < uses.size(); ++i) {
        bodies.push_back([&, i](uint32_t) {
            std::vector<uint8_t> xml = InstanceXml(offsets[uses[i].definition], valuesOf(uses[i]), uses[i].after);
            if (i == 0) {
                xml.resize(end - firstXml);
                for (size_t d = 0; d < definitions.size(); ++d) {
                    if (definitions[d].where != kInChunkHeader) {
                        const std::vector<uint8_t> bytes = Definition(offsets[d], definitions[d].numbering);
                        std::copy(bytes.begin(), bytes.end(), xml.begin() + (offsets[d] - firstXml));
                    }
                }
            }
            return xml;
        });
    }
    std::vector<uint8_t> image = ImageOf(bodies);
    for (size_t d = 0; d < definitions.size(); ++d) {
        if (definitions[d].where == kInChunkHeader) {
            const std::vector<uint8_t> bytes = Definition(offsets[d], definitions[d].numbering);
            EXPECT_LE(offsets[d] + bytes.size(), kChunkHeader) << "a definition too large for the chunk header";
            std::copy(bytes.begin(), bytes.end(), image.begin() + kHeaderBlock + offsets[d]);
        }
    }
    return image;
}

// Records of templates built here, each definition numbering the items in
// its own way: every record takes its items where its own definition says,
// wherever the definitions lie and however they share the table of them.
TEST(EvtxFileTemplates, EachRecordTakesItsItemsWhereItsOwnDefinitionPutsThem)
{
    struct Case {
        const char* name;
        std::vector<Laid> definitions;
        std::vector<Use> uses;  // one record each, numbered 1, 2, ...
        std::vector<Row> expected;  // newest first
        SkippedParts skipped;
    };
    const Numbering usual{1, 2, 0, 3, 4}, other{0, 4, 1, 2, 3}, eventIdOnly{0, -1, -1, -1, -1},
        eventIdSecond{1, -1, -1, -1, -1};
    // Records of the two definitions in turn, each with an event ID and level of its own.
    const std::vector<Use> inTurn = {{0, 6009, 4}, {1, 6006, 2}, {0, 6005, 4}, {1, 6013, 3}};
    const std::vector<Row> inTurnRows = {{4, kBootWritten, kBootWritten, 0x8000177D, 2},
                                         {3, kBootWritten, kBootWritten, 0x80001775, 4},
                                         {2, kBootWritten, kBootWritten, 0x80001776, 1},
                                         {1, kBootWritten, kBootWritten, kBootMarker, 4}};
    const Case cases[] = {
        {"two definitions numbering the items differently, their records in turn",
         {{kOwnSlot, usual}, {kOwnSlot, other}}, inTurn, inTurnRows, {0, 0, 0}},
        {"two definitions in one slot of the table", {{kOwnSlot, usual}, {kSameSlot, other}}, inTurn, inTurnRows,
         {0, 0, 0}},
        {"two definitions in the table's last slot", {{kLastSlot, usual}, {kLastSlot, other}}, inTurn, inTurnRows,
         {0, 0, 0}},
        {"a definition in the chunk header refused", {{kOwnSlot, usual}, {kInChunkHeader, eventIdOnly}},
         {{1, 6009, 4}, {0, 6006, 2}}, {{2, kBootWritten, kBootWritten, 0x80001776, 1}}, {0, 1, 1}},
        // Were index 1 read, its descriptor would be the first value's bytes,
        // a UInt16 of 2 bytes, and its value the two bytes after: 6009.
        {"an item numbered one past the values gives nothing", {{kOwnSlot, eventIdSecond}},
         {{0, 0, 0, {{0x0E, {0x02, 0x00, 0x06, 0x00}}}, {0x79, 0x17}}}, {{1, 0, kBootWritten, 0, 0}}, {0, 0, 0}},
    };
    for (const Case& c : cases) {
        const Parsed parsed = Parse(TemplateImage(c.definitions, c.uses));
        ASSERT_TRUE(parsed.ok) << c.name;
        EXPECT_EQ(Rows(parsed.stream), c.expected) << c.name;
        EXPECT_EQ(SkippedPartsText(parsed.skipped), SkippedPartsText(c.skipped)) << c.name;
    }
}

// Identifiers `last` down to 1 of chunk 0, but for those in `except`.
std::vector<uint32_t> Kept(uint32_t last, std::initializer_list<uint32_t> except = {})
{
    std::vector<uint32_t> kept;
    for (uint32_t id = last; id >= 1; --id) {
        if (std::find(except.begin(), except.end(), id) == except.end())
            kept.push_back(id);
    }
    return kept;
}

// Damage the file-level table over evt-replay cannot count exactly: what is
// refused, which records are read, and the counts of what was lost and
// recovered, each case against chunk 0 of the real log (ids 1..158).
#ifndef _WIN32
// Loads `image` from a pipe it was written to whole; false, not a hang, when it cannot hold it.
bool LoadThroughPipe(const std::vector<uint8_t>& image, RecordStream* stream, SkippedParts* skipped,
                     std::string* error)
{
    int ends[2];
    if (pipe2(ends, O_NONBLOCK) != 0)
        return false;
    fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(image.size()));
    const bool written = write(ends[1], image.data(), image.size()) == static_cast<ssize_t>(image.size());
    close(ends[1]);
    const bool loaded = written && LoadSavedLogDescriptor(ends[0], stream, skipped, error);
    close(ends[0]);
    return loaded;
}
#endif

TEST(EvtxFileDamage, ReadsEverySoundRecordAndCountsTheRest)
{
    struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>*)> damage;
        const char* refusal;  // the whole reason when refused, else null
        std::vector<uint32_t> kept;
        SkippedParts skipped;
    };
    const size_t chunk = kHeaderBlock;
    const std::vector<uint32_t> all = Kept(kRecordsInChunk0), none;
    const auto claimLast = [&](uint64_t last) {
        return [=](std::vector<uint8_t>* image) {
            PutU64(image, chunk + 0x20, last);
            image->resize(kHeaderBlock + kRecord3 + 100);
        };
    };
    const Case cases[] = {
        {"sound", [](std::vector<uint8_t>*) {}, nullptr, all, {0, 0, 0}},
        {"header only", [](std::vector<uint8_t>* image) { image->resize(kHeaderBlock); }, nullptr, none, {0, 0, 0}},
        {"just the header's fields", [](std::vector<uint8_t>* image) { image->resize(0x80); }, nullptr, none,
         {0, 0, 0}},
        {"too short for a header", [](std::vector<uint8_t>* image) { image->resize(0x7F); },
         "file is 127 bytes, too short for an .evtx header", none, {}},
        {"bad file signature", [](std::vector<uint8_t>* image) { (*image)[3] = 'f'; }, "bad .evtx file signature",
         none, {}},
        {"major version 2, minor 7",
         [](std::vector<uint8_t>* image) {
             (*image)[0x26] = 2;
             (*image)[0x24] = 7;
         },
         "unsupported .evtx version 2.7", none, {}},
        {"file header checksum wrong", [](std::vector<uint8_t>* image) { (*image)[0x7C] ^= 1; }, nullptr, all,
         {0, 0, 0}},
        {"chunk checksums wrong",
         [&](std::vector<uint8_t>* image) {
             (*image)[chunk + 0x34] ^= 1;
             (*image)[chunk + 0x7C] ^= 1;
         },
         nullptr, all, {0, 0, 0}},
        {"an all-zero slot, and a partial one, after the chunk",
         [](std::vector<uint8_t>* image) { image->resize(image->size() + kChunkSize + 1000); }, nullptr, all,
         {0, 0, 0}},
        {"a slot cut inside its header",
         [](std::vector<uint8_t>* image) {
             const std::vector<uint8_t> head(image->begin() + kHeaderBlock, image->begin() + kHeaderBlock + 0x100);
             image->insert(image->end(), head.begin(), head.end());
         },
         nullptr, all, {1, 0, 0}},
        // Its header is whole, and claims records 1..158 that the file's end cut off.
        {"a slot cut right after its header",
         [](std::vector<uint8_t>* image) {
             const std::vector<uint8_t> head(image->begin() + kHeaderBlock,
                                             image->begin() + kHeaderBlock + kChunkHeader);
             image->insert(image->end(), head.begin(), head.end());
         },
         nullptr, all, {0, kRecordsInChunk0, 0}},
        // Headers that cannot be trusted: the records are read all the same.
        {"chunk header size not 128", [&](std::vector<uint8_t>* image) { PutU32(image, chunk + 0x28, 0x1234); },
         nullptr, all, {1, 0, kRecordsInChunk0}},
        {"free space past the slot", [&](std::vector<uint8_t>* image) { PutU32(image, chunk + 0x30, kChunkSize + 8); },
         nullptr, all, {1, 0, kRecordsInChunk0}},
        {"free space inside the header", [&](std::vector<uint8_t>* image) { PutU32(image, chunk + 0x30, 0x1FF); },
         nullptr, all, {1, 0, kRecordsInChunk0}},
        {"first identifier above the last", [&](std::vector<uint8_t>* image) { PutU64(image, chunk + 0x18, 159); },
         nullptr, all, {1, 0, kRecordsInChunk0}},
        // A sound header's free space is believed at both ends of its range.
        {"free space at the first record slot", [&](std::vector<uint8_t>* image) { PutU32(image, chunk + 0x30, 0x200); },
         nullptr, none, {0, 0, 0}},
        {"free space at the slot's end, over leftovers",
         [&](std::vector<uint8_t>* image) { PutU32(image, chunk + 0x30, kChunkSize); }, nullptr, all, {0, 1, 0}},
        // Record 158, at 0xFBD8, grown to fill the slot.
        {"a full chunk, its last record ending at the slot's end",
         [&](std::vector<uint8_t>* image) {
             const uint32_t size = kChunkSize - 0xFBD8;
             PutU32(image, chunk + 0xFBD8 + 4, size);
             PutU32(image, chunk + kChunkSize - 4, size);
             PutU32(image, chunk + 0x30, kChunkSize);
         },
         nullptr, all, {0, 0, 0}},
        // Record 159 at the free space: its header, an end of stream, its size's copy.
        {"a record of the least size",
         [&](std::vector<uint8_t>* image) {
             const size_t at = chunk + 0xFDD0;
             std::fill(image->begin() + at, image->begin() + at + 0x20, 0);
             PutU32(image, at, 0x2A2A);
             PutU32(image, at + 4, 0x20);
             PutU64(image, at + 8, 159);
             std::copy(image->begin() + chunk + kRecord3 + 16, image->begin() + chunk + kRecord3 + 24,
                       image->begin() + at + 16);
             PutU32(image, at + 0x1C, 0x20);
             PutU64(image, chunk + 0x20, 159);
             PutU32(image, chunk + 0x30, 0xFDD0 + 0x20);
         },
         nullptr, Kept(159), {0, 0, 0}},
        // Unsound records, passed over: the walk goes on at the next sound one.
        {"definition offset past the chunk",
         [&](std::vector<uint8_t>* image) { PutU32(image, chunk + kRecord3 + 0x22, 0x20000); }, nullptr, Kept(158, {3}),
         {0, 1, 155}},
        {"definition offset in the chunk header",
         [&](std::vector<uint8_t>* image) { PutU32(image, chunk + kRecord3 + 0x22, 0x80); }, nullptr, Kept(158, {3}),
         {0, 1, 155}},
        // Records 2 (which holds it inline), 3 and 4 use the definition at 0x99E.
        {"definition's binary XML unsound",
         [&](std::vector<uint8_t>* image) { (*image)[chunk + kRecord3Definition + 24 + 4] = 0x77; }, nullptr,
         Kept(158, {2, 3, 4}), {0, 3, 154}},
        {"definition's element larger than the definition",
         [&](std::vector<uint8_t>* image) { PutU32(image, chunk + kRecord3Definition + 24 + 7, 0x1000); }, nullptr,
         Kept(158, {2, 3, 4}), {0, 3, 154}},
        // Past the free space lie leftovers: a name there is no name of the chunk's.
        {"definition's element name stored past the free space",
         [&](std::vector<uint8_t>* image) {
             std::copy(image->begin() + chunk + 0x24D, image->begin() + chunk + 0x24D + 20,
                       image->begin() + chunk + 0xFE00);  // "Event"
             PutU32(image, chunk + kRecord3Definition + 24 + 11, 0xFE00);
         },
         nullptr, Kept(158, {2, 3, 4}), {0, 3, 154}},
        {"inline definition running past the chunk's end",
         [&](std::vector<uint8_t>* image) { PutU32(image, chunk + kRecord3Definition + 20, 0x10000); }, nullptr,
         Kept(158, {2, 3, 4}), {0, 3, 154}},
        // Record 2 cannot step over it, but record 3 reads it where it lies.
        {"inline definition larger than its record",
         [&](std::vector<uint8_t>* image) { PutU32(image, chunk + kRecord3Definition + 20, 0x1000); }, nullptr,
         Kept(158, {2}), {0, 1, 156}},
        {"nested BinXml value larger than what is left of the record",
         [&](std::vector<uint8_t>* image) { PutU16(image, chunk + kRecord3Descriptors + 4 * 19, 139 + 8); }, nullptr,
         Kept(158, {3}), {0, 1, 155}},
        {"value count beyond the record",
         [&](std::vector<uint8_t>* image) { PutU32(image, chunk + kRecord3 + 0x26, 0x10000); }, nullptr,
         Kept(158, {3}), {0, 1, 155}},
        {"record 2 bigger than the chunk's records",
         [&](std::vector<uint8_t>* image) { PutU32(image, chunk + kRecord2 + 4, 0x10000); }, nullptr,
         Kept(158, {2}), {0, 1, 156}},
        {"record size too small", [&](std::vector<uint8_t>* image) { PutU32(image, chunk + kRecord3 + 4, 0x10); },
         nullptr, Kept(158, {3}), {0, 1, 155}},
        // Record 2 taken four bytes short: the search finds record 3 on the next 8-byte boundary.
        {"record 2's size four short of the next record",
         [&](std::vector<uint8_t>* image) {
             PutU32(image, chunk + kRecord2 + 4, 0x30C);
             PutU32(image, chunk + kRecord2 + 0x308, 0x30C);
         },
         nullptr, all, {0, 1, 156}},
        // Free space past the last record, over leftovers: all 158 are read,
        // yet the walk fails there, and that counts one.
        {"free space past the last record",
         [&](std::vector<uint8_t>* image) { PutU32(image, chunk + 0x30, 0xFDD0 + 0x100); }, nullptr, all, {0, 1, 0}},
        // The file's end: what it cuts is lost, what it spares is not.
        {"file cut at the free space", [](std::vector<uint8_t>* image) { image->resize(kHeaderBlock + 0xFDD0); },
         nullptr, all, {0, 0, 0}},
        {"file cut right after record 3", [](std::vector<uint8_t>* image) { image->resize(kHeaderBlock + 0xDC0); },
         nullptr, Kept(3), {0, 155, 0}},
        {"file cut inside record 3", [](std::vector<uint8_t>* image) { image->resize(kHeaderBlock + kRecord3 + 100); },
         nullptr, Kept(2), {0, 156, 0}},
        {"file cut inside record 3, chunk header claiming as many as a chunk can hold", claimLast(2032), nullptr,
         Kept(2), {0, 2030, 0}},
        {"file cut inside record 3, chunk header claiming one more than a chunk can hold", claimLast(2033), nullptr,
         Kept(2), {0, 1, 0}},
        {"file cut inside record 3, chunk header claiming too many to count", claimLast(1ull << 40), nullptr, Kept(2),
         {0, 1, 0}},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> image = RealChunk0();
        c.damage(&image);
        RecordStream stream;
        stream.newestFirst.push_back({1, 2});  // a refusal must leave it be
        SkippedParts skipped{7, 7, 7};
        std::string error;
        const bool accepted = ParseEvtxImage(image.data(), image.size(), &stream, &skipped, &error);
        ASSERT_EQ(accepted, c.refusal == nullptr) << c.name << ": " << error;
#ifndef _WIN32
        // Read chunk by chunk from a pipe, the same image gives the same;
        // one of another signature goes to the other reader, as in memory.
        RecordStream piped, chosen;
        SkippedParts pipedSkipped, chosenSkipped;
        std::string pipedError, chosenError;
        EXPECT_EQ(LoadThroughPipe(image, &piped, &pipedSkipped, &pipedError), accepted) << c.name;
        ParseSavedLogImage({image.data(), [](const uint8_t*) {}}, image.size(), &chosen, &chosenSkipped, &chosenError);
        EXPECT_EQ(pipedError, chosenError) << c.name;
        EXPECT_EQ(piped.bytes, accepted ? stream.bytes : std::vector<uint8_t>{}) << c.name;
        EXPECT_EQ(SkippedPartsText(pipedSkipped), accepted ? SkippedPartsText(skipped) : "") << c.name;
#endif
        if (!accepted) {
            EXPECT_EQ(error, c.refusal) << c.name;
            EXPECT_EQ(stream.newestFirst.size(), 1u) << c.name;
            continue;
        }
        std::vector<uint32_t> numbers;
        for (const Row& row : Rows(stream))
            numbers.push_back(row.number);
        EXPECT_EQ(numbers, c.kept) << c.name;
        EXPECT_EQ(skipped.chunks, c.skipped.chunks) << c.name;
        EXPECT_EQ(skipped.records, c.skipped.records) << c.name;
        EXPECT_EQ(skipped.recovered, c.skipped.recovered) << c.name;
    }
}

// Damage inside records written out: each record is passed over, and the
// walk goes on at the next.
TEST(EvtxFileDamage, UnsoundWrittenOutRecordIsPassedOver)
{
    const Written boot{"6009", "32768", "4", "0x80000000000000", "2015-06-23T06:00:48Z"};
    struct Case {
        const char* name;
        size_t at;  // offset in the second record's binary XML ...
        std::vector<uint8_t> bytes;  // ... overwritten with these
    };
    // Event starts at 4: token, data size at 5, name offset at 9, inline name at 13.
    const Case cases[] = {
        {"name offset past the chunk", 9, {0x00, 0x00, 0x02, 0x00}},
        {"name longer than its element", 13 + 6, {0xFF, 0x00}},
        {"element data size past the record", 5, {0xFF, 0xFF, 0x00, 0x00}},
        {"unknown token in content", 13 + 10 + 2 * 5 + 1, {0x7F}},
        {"substitution outside a template", 13 + 10 + 2 * 5 + 1, {0x0E}},
        {"no end of stream", 0, {}},  // the record's last byte of XML is cut off below
    };
    for (const Case& c : cases) {
        const auto good = [&](uint32_t at) { return WrittenEvent(at, boot); };
        const auto bad = [&](uint32_t at) {
            std::vector<uint8_t> xml = WrittenEvent(at, boot);
            if (c.bytes.empty())
                xml.back() = 0x01;  // an element start where the end of stream was
            std::copy(c.bytes.begin(), c.bytes.end(), xml.begin() + c.at);
            return xml;
        };
        const Parsed parsed = Parse(ImageOf({good, bad, good}));
        ASSERT_TRUE(parsed.ok) << c.name;
        const std::vector<Row> rows = Rows(parsed.stream);
        ASSERT_EQ(rows.size(), 2u) << c.name;
        EXPECT_EQ(rows[0].number, 3u) << c.name;
        EXPECT_EQ(rows[1].number, 1u) << c.name;
        EXPECT_EQ(SkippedPartsText(parsed.skipped), "damaged: 1 record lost, 1 record recovered") << c.name;
    }
}

// The walk past damage over chunks of boot records written out: which
// identifiers it takes, with a sound header and without one, and what it
// counts lost and recovered.
TEST(EvtxFileRecovery, TakesEverySoundRecordAndNothingStale)
{
    struct Case {
        const char* name;
        bool headed;                 // else the chunk header is all zeros
        std::vector<uint64_t> ids;   // in file order; a sound header claims their least to their most
        std::vector<size_t> spoilt;  // which of them lose their signature
        std::vector<uint32_t> kept;  // newest first
        SkippedParts skipped;
        uint64_t claimedLast = 0;    // a header claiming up to this instead
    };
    const Case cases[] = {
        {"headed: a spoilt record passed over", true, {1, 2, 3, 4}, {1}, {4, 3, 1}, {0, 1, 2}},
        {"headed: two spoilt records in a row, one stretch", true, {1, 2, 3, 4}, {1, 2}, {4, 1}, {0, 2, 1}},
        {"headed: past damage, a record not above the last taken is passed over", true, {1, 2, 3, 2, 4}, {2},
         {4, 2, 1}, {0, 1, 1}},
        {"headed: past damage, a record outside the header's range is passed over", true, {1, 2, 3, 4, 3}, {1},
         {3, 1}, {0, 1, 1}, 3},
        {"headed: a record outside the header's range is never taken", true, {1, 9, 2}, {}, {2, 1}, {0, 1, 1}, 2},
        {"headed: before damage the range alone decides", true, {1, 3, 2}, {}, {3, 2, 1}, {0, 0, 0}},
        {"headed: a header claiming records never written", true, {1, 2}, {}, {2, 1}, {0, 0, 0}, 5},
        {"no header: every sound record, each above the one before", false, {5, 6, 7}, {}, {7, 6, 5}, {1, 0, 3}},
        {"no header: a stretch of damage counts the identifiers it hides", false, {5, 6, 7, 8, 9}, {1, 2},
         {9, 8, 5}, {1, 2, 3}},
        {"no header: damage at the first record slot counts one", false, {5, 6}, {0}, {6}, {1, 1, 1}},
        {"no header: where an identifier falls back the rest is an earlier pass", false, {5, 6, 3, 9}, {},
         {6, 5}, {1, 0, 2}},
        {"no header: an equal identifier falls back too", false, {5, 6, 6, 9}, {}, {6, 5}, {1, 0, 2}},
        {"no header: past damage, falling back ends the chunk", false, {5, 6, 7, 2, 9}, {2}, {6, 5}, {1, 0, 2}},
        {"no header: spoilt records only", false, {5, 6}, {0, 1}, {}, {1, 0, 0}},
        {"no header: a gap of as many records as a chunk holds tells nothing", false, {5, 6, 2038}, {1}, {2038, 5},
         {1, 1, 2}},
    };
    const Written boot{"6009", "32768", "4", "0x80000000000000", "2015-06-23T06:00:48Z"};
    const auto body = [&](uint32_t at) { return WrittenEvent(at, boot); };
    for (const Case& c : cases) {
        std::vector<uint32_t> offsets;
        std::vector<uint8_t> image = ImageOf(std::vector<std::function<std::vector<uint8_t>(uint32_t)>>(c.ids.size(), body),
                                             c.ids, &offsets);
        for (size_t i : c.spoilt)
            image[kHeaderBlock + offsets[i]] = 'X';
        if (c.claimedLast)
            PutU64(&image, kHeaderBlock + 0x20, c.claimedLast);
        if (!c.headed)
            std::fill(image.begin() + kHeaderBlock, image.begin() + kHeaderBlock + kChunkHeader, 0);
        const Parsed parsed = Parse(image);
        ASSERT_TRUE(parsed.ok) << c.name;
        std::vector<uint32_t> numbers;
        for (const Row& row : Rows(parsed.stream))
            numbers.push_back(row.number);
        EXPECT_EQ(numbers, c.kept) << c.name;
        EXPECT_EQ(SkippedPartsText(parsed.skipped), SkippedPartsText(c.skipped)) << c.name;
    }
}

}  // namespace
