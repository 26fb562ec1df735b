// The .evt reader against a real System log, an independent exporter, and
// rings built here to put splits, filler and stale headers where we want them.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "replay/record_source.h"
#include "savedlog/saved_log.h"

#ifndef TALLYVANE_DATA_DIR
#define TALLYVANE_DATA_DIR "samples"
#endif

namespace {

const std::string kRealLog = TALLYVANE_DATA_DIR "/SysEvent.Evt";
constexpr uint32_t kSignature = 0x654C664C;
constexpr uint32_t kRingStart = 0x30;
constexpr uint32_t kMinRecordBytes = 0x38;  // the fixed part, before the source's name

// Host-order dword at any alignment; the records are little-endian, as are our hosts.
uint32_t GetU32(const uint8_t* at)
{
    uint32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// Overwrites the dword at offset `at` of `bytes`.
void PutU32(std::vector<uint8_t>* bytes, size_t at, uint32_t value)
{
    std::memcpy(bytes->data() + at, &value, sizeof value);
}

// The dword at `at` within the record `span` of `script`.
uint32_t Field(const EventLogScript& script, const RecordSpan& span, uint32_t at)
{
    return GetU32(script.bytes.data() + span.offset + at);
}

// Record `number` of `size` bytes: its fixed fields derive from its number and
// its body is a pattern of its own, so that misplaced bytes show.
std::vector<uint8_t> MakeRecord(uint32_t number, uint32_t size)
{
    std::vector<uint8_t> record(size);
    for (uint32_t i = 0; i < size; ++i)
        record[i] = static_cast<uint8_t>(number * 31 + i);
    const uint32_t fields[] = {size, kSignature, number, 1000 + number, 2000 + number, 0x1000 + number};
    for (uint32_t i = 0; i < 6; ++i)
        PutU32(&record, 4 * i, fields[i]);
    PutU32(&record, size - 4, size);
    return record;
}

struct Log {
    std::vector<uint8_t> image;
    uint32_t end;  // offset of the end-of-log record
    int splitRecords;
    int fillers;
};

// Writes `data` into the ring at `pos`, going on at 0x30 past the end of the
// file; returns the offset after it.
uint32_t WriteRing(std::vector<uint8_t>* image, uint32_t pos, const std::vector<uint8_t>& data)
{
    for (uint8_t byte : data) {
        (*image)[pos++] = byte;
        if (pos == image->size())
            pos = kRingStart;
    }
    return pos;
}

// Lays records numbered 1, 2, ... of the given sizes from `begin` on as the
// writer does, then the end-of-log record, under a clean header. With
// endAfterFiller, a tail too short for a record is filled before the
// end-of-log record too, so that it starts the ring.
Log BuildLog(uint32_t fileSize, uint32_t begin, const std::vector<uint32_t>& sizes, bool endAfterFiller = false)
{
    Log log{std::vector<uint8_t>(fileSize, 0xEE), 0, 0, 0};
    uint32_t pos = begin;
    const auto fillShortTail = [&] {
        if (fileSize - pos >= 0x38)
            return;
        for (; pos < fileSize; pos += 4)
            PutU32(&log.image, pos, 0x27);
        pos = kRingStart;
        ++log.fillers;
    };
    for (size_t i = 0; i < sizes.size(); ++i) {
        fillShortTail();
        log.splitRecords += pos + sizes[i] > fileSize;
        pos = WriteRing(&log.image, pos, MakeRecord(static_cast<uint32_t>(i + 1), sizes[i]));
    }
    if (endAfterFiller)
        fillShortTail();
    log.end = pos;
    const uint32_t next = static_cast<uint32_t>(sizes.size() + 1);
    const uint32_t eof[] = {0x28, 0x11111111, 0x22222222, 0x33333333, 0x44444444, begin, pos, next, 1, 0x28};
    std::vector<uint8_t> eofBytes(sizeof eof);
    std::memcpy(eofBytes.data(), eof, sizeof eof);
    WriteRing(&log.image, pos, eofBytes);
    const uint32_t header[] = {0x30, kSignature, 1, 1, begin, pos, next, 1, fileSize, 0, 0, 0x30};
    for (uint32_t i = 0; i < 12; ++i)
        PutU32(&log.image, 4 * i, header[i]);
    return log;
}

// The real log, read once for all the tests that look at it.
const EventLogScript& RealLog()
{
    static EventLogScript script;
    static SkippedParts skipped;
    static std::string error;
    static const bool loaded = LoadSavedLogCopied(kRealLog.c_str(), &script, &skipped, &error);
    if (!loaded)
        ADD_FAILURE() << error;
    return script;
}

// 7454 is the newest record number in the file's end-of-log record.
TEST(EvtFileReal, ReadsEveryRecordNewestFirstWithConsistentLengths)
{
    const EventLogScript& script = RealLog();
    ASSERT_EQ(script.newestFirst.size(), 6063u);
    EXPECT_EQ(Field(script, script.newestFirst.front(), 8), 7454u);
    for (size_t i = 0; i < script.newestFirst.size(); ++i) {
        const RecordSpan& span = script.newestFirst[i];
        ASSERT_LE(size_t{span.offset} + span.size, script.bytes.size()) << "record " << i;
        EXPECT_EQ(Field(script, span, 0), span.size) << "record " << i;
        EXPECT_EQ(Field(script, span, 4), kSignature) << "record " << i;
        EXPECT_EQ(Field(script, span, span.size - 4), span.size) << "record " << i;
        if (i > 0) {
            EXPECT_EQ(Field(script, span, 8) + 1, Field(script, script.newestFirst[i - 1], 8))
                << "record " << i;
        }
    }
}

// Loaded in place, the same records come from the mapped file; only the one
// record that the end of the file splits, 344 bytes, is copied. Its boot
// records name the machine; XP's log has no uptime record to name a zone.
TEST(EvtFileReal, InPlaceServesTheSameRecordsFromTheFile)
{
    const EventLogScript& copied = RealLog();
    EventLogScript script;
    SkippedParts skipped;
    std::string error;
    LogFacts facts;
    ASSERT_TRUE(LoadSavedLog(kRealLog.c_str(), &script, &skipped, &error, &facts)) << error;
    EXPECT_EQ(facts.host, "WKS-WINXP32BIT");
    EXPECT_EQ(facts.zoneText, "");
    EXPECT_TRUE(facts.systemRecords);
    EXPECT_EQ(CutShortText(skipped), "");
    // Cut short inside its ring, which wraps: its newest records are missing,
    // beyond the header's 6038 those read and lost account for.
    std::vector<uint8_t> image(1000000);
    std::FILE* file = std::fopen(kRealLog.c_str(), "rb");
    ASSERT_TRUE(file && std::fread(image.data(), 1, image.size(), file) == image.size());
    std::fclose(file);
    EventLogScript cut;
    SkippedParts cutSkipped;
    ASSERT_TRUE(ParseEvtImage(image.data(), image.size(), &cut, &cutSkipped, &error));
    EXPECT_EQ(cut.newestFirst.size() + cutSkipped.records + cutSkipped.recordsMissing, 6038u);
    EXPECT_EQ(std::make_tuple(CutShortText(cutSkipped), cutSkipped.newestMissing),
              std::make_tuple(std::string("cut short: about 3703 records missing"), true));
    ASSERT_EQ(script.newestFirst.size(), copied.newestFirst.size());
    for (size_t i = 0; i < script.newestFirst.size(); ++i) {
        const RecordSpan& span = script.newestFirst[i];
        ASSERT_EQ(span.size, copied.newestFirst[i].size) << "record " << i;
        EXPECT_EQ(std::memcmp(RecordBytes(script, span), RecordBytes(copied, copied.newestFirst[i]), span.size), 0)
            << "record " << i;
    }
    EXPECT_EQ(script.bytes.size(), 344u);
}

TEST(EvtFileReal, FindsTheBootAndStopMarkers)
{
    const EventLogScript& script = RealLog();
    int boots = 0, stops = 0;
    for (const RecordSpan& span : script.newestFirst) {
        const bool information = (Field(script, span, 24) & 0xFFFF) == 4;
        boots += information && Field(script, span, 20) == 0x80001779;
        stops += information && Field(script, span, 20) == 0x80001776;
    }
    EXPECT_EQ(boots, 24);
    EXPECT_EQ(stops, 18);
}

#ifndef _WIN32
// evtexport is a Linux program: the native build compares with it, and the
// Windows builds under Wine have none to run.
struct ExportedEvent {
    uint32_t number = 0;
    std::string written;  // "Jul 27, 2011 06:41:47 UTC"
    uint32_t type = 0;
    uint32_t id = 0;
};

// Runs evtexport on `path` and collects its events in its order (oldest first);
// `status` is the exit code of the shell that ran it, 127 where it is missing.
std::vector<ExportedEvent> RunEvtexport(const std::string& path, int* status)
{
    std::vector<ExportedEvent> events;
    *status = -1;
    std::FILE* pipe = popen(("evtexport '" + path + "' 2>/dev/null").c_str(), "r");
    if (!pipe)
        return events;
    std::string text;
    char chunk[65536];
    for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        text.append(chunk, got);
    const int waited = pclose(pipe);
    if (waited != -1 && WIFEXITED(waited))
        *status = WEXITSTATUS(waited);
    for (size_t start = 0, stop; start < text.size(); start = stop + 1) {
        stop = text.find('\n', start);
        if (stop == std::string::npos)
            stop = text.size();
        const std::string line = text.substr(start, stop - start);
        const size_t colon = line.find(": ");
        if (colon == std::string::npos)
            continue;
        const std::string value = line.substr(colon + 2);
        if (line.rfind("Event number", 0) == 0) {
            events.emplace_back();
            events.back().number = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
        } else if (events.empty()) {
            continue;
        } else if (line.rfind("Written time", 0) == 0) {
            events.back().written = value;
        } else if (line.rfind("Event type", 0) == 0 && value.rfind('(') != std::string::npos) {
            const char* number = value.c_str() + value.rfind('(') + 1;
            events.back().type = static_cast<uint32_t>(std::strtoul(number, nullptr, 10));
        } else if (line.rfind("Event identifier", 0) == 0) {
            events.back().id = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 16));
        }
    }
    return events;
}

// Seconds since 1970 as evtexport prints times: "Jul 27, 2011 06:41:47 UTC".
std::string FormatUtc(uint32_t seconds)
{
    const std::time_t when = seconds;
    char text[64];
    std::strftime(text, sizeof text, "%b %d, %Y %H:%M:%S UTC", std::gmtime(&when));
    return text;
}

// evtexport lists oldest first; we deliver newest first.
TEST(EvtFileReal, AgreesWithEvtexportRecordForRecord)
{
    int status = 0;
    const std::vector<ExportedEvent> exported = RunEvtexport(kRealLog, &status);
    if (status == 127)
        FAIL() << "needs evtexport: install libevt-utils";
    ASSERT_EQ(status, 0) << "evtexport failed";
    const EventLogScript& script = RealLog();
    ASSERT_EQ(script.newestFirst.size(), exported.size());
    const size_t count = exported.size();
    for (size_t i = 0; i < count; ++i) {
        const RecordSpan& span = script.newestFirst[count - 1 - i];
        const ExportedEvent& event = exported[i];
        ASSERT_EQ(Field(script, span, 8), event.number) << "oldest-first index " << i;
        EXPECT_EQ(FormatUtc(Field(script, span, 16)), event.written) << "record " << event.number;
        EXPECT_EQ(Field(script, span, 24) & 0xFFFF, event.type) << "record " << event.number;
        EXPECT_EQ(Field(script, span, 20), event.id) << "record " << event.number;
    }
}
#endif

struct RingCase {
    const char* name;
    uint32_t begin;
    std::vector<uint32_t> sizes;
    int splitRecords;
    int fillers;
    bool endAfterFiller = false;
    uint32_t fileSize = 0x230;  // 0x200 bytes of ring after the header
};

const RingCase kRingCases[] = {
    {"not wrapped", 0x30, {0x38, 0x100, 0x40}, 0, 0},
    {"record split across the end", 0x190, {0x48, 0x60, 0x58, 0x40}, 1, 0},
    {"only the trailing length wraps", 0x190, {0x48, 0x5c, 0x40}, 1, 0},
    {"split with exactly 0x38 bytes left", 0x190, {0x68, 0x40}, 1, 0},
    {"filler when 0x30 bytes are left", 0x190, {0x70, 0x40}, 0, 1},
    {"filler when 0x34 bytes are left", 0x190, {0x6c, 0x40}, 0, 1},
    {"filler just before an end-of-log record at 0x30", 0x190, {0x70}, 0, 1, true},
    {"record ends at the end of the file", 0x190, {0x50, 0x50, 0x40}, 0, 0},
    {"end-of-log record split", 0x190, {0x40, 0x40}, 0, 0},
    {"end-of-log record split after one dword", 0x190, {0x50, 0x4c}, 0, 0},
    {"empty log at the ring start", 0x30, {}, 0, 0},
    {"empty log mid-file", 0x100, {}, 0, 0},
    {"smallest log: the header and the end-of-log record", 0x30, {}, 0, 0, false, 0x58},
};

// Header start/end as a dirty header may have left them; the end-of-log
// record alone knows the truth.
enum class Header {
    kClean,
    kDirtyAccurate,
    kDirtyStale,
    kDirtyEndPastEof,
    kDirtyEndMisaligned,
    kDirtyGarbage,
};
const std::pair<Header, const char*> kHeaders[] = {
    {Header::kClean, "clean"},
    {Header::kDirtyAccurate, "dirty, offsets right"},
    {Header::kDirtyStale, "dirty, offsets from when the log was empty"},
    {Header::kDirtyEndPastEof, "dirty, end just past the end-of-log record"},
    {Header::kDirtyEndMisaligned, "dirty, end two bytes before the end-of-log record"},
    {Header::kDirtyGarbage, "dirty, offsets outside the file"},
};

// Every layout, under every header, gives the records back intact, newest
// first, and leaves the script's other fields alone. In place, the records
// are the same, and only those split by the end of the file are copied.
TEST(EvtFileSynthetic, UnrollsEveryRingLayoutNewestFirst)
{
    for (const RingCase& c : kRingCases) {
        for (const auto& [header, headerName] : kHeaders) {
            SCOPED_TRACE(std::string(c.name) + "; " + headerName);
            Log log = BuildLog(c.fileSize, c.begin, c.sizes, c.endAfterFiller);
            ASSERT_EQ(log.splitRecords, c.splitRecords);
            ASSERT_EQ(log.fillers, c.fillers);
            if (header != Header::kClean)
                PutU32(&log.image, 36, 1 | 2);  // dirty, wrapped
            if (header == Header::kDirtyStale) {
                PutU32(&log.image, 16, 0x30);
                PutU32(&log.image, 20, c.begin);
            } else if (header == Header::kDirtyEndPastEof) {
                PutU32(&log.image, 20, log.end + 4 < c.fileSize ? log.end + 4 : 0x30);  // scan must go all round
            } else if (header == Header::kDirtyEndMisaligned) {
                PutU32(&log.image, 20, log.end - 2);
            } else if (header == Header::kDirtyGarbage) {
                PutU32(&log.image, 16, 0xFFFFFFFF);
                PutU32(&log.image, 20, 0xDEADBEEF);
            }

            EventLogScript script;
            script.newestFirst = {{0, 4}};
            script.openError = 5;
            script.failingRead = 2;
            SkippedParts skipped{7, 7, 7};
            std::string error;
            ASSERT_TRUE(ParseEvtImage(log.image.data(), log.image.size(), &script, &skipped, &error)) << error;
            EXPECT_EQ(SkippedPartsText(skipped), "");
            EXPECT_EQ(script.openError, 5u);
            EXPECT_EQ(script.failingRead, 2u);
            ASSERT_EQ(script.newestFirst.size(), c.sizes.size());
            EventLogScript inPlace;
            ASSERT_TRUE(ParseEvtImageInPlace({log.image.data(), [](const uint8_t*) {}}, log.image.size(), &inPlace,
                                             &skipped, &error)) << error;
            ASSERT_EQ(inPlace.newestFirst.size(), c.sizes.size());
            int copied = 0;
            size_t copiedBytes = 0;
            for (size_t i = 0; i < c.sizes.size(); ++i) {
                const uint32_t number = static_cast<uint32_t>(c.sizes.size() - i);
                const RecordSpan& span = script.newestFirst[i];
                ASSERT_EQ(span.size, c.sizes[number - 1]);
                ASSERT_LE(size_t{span.offset} + span.size, script.bytes.size());
                const std::vector<uint8_t> got(script.bytes.begin() + span.offset,
                                               script.bytes.begin() + span.offset + span.size);
                EXPECT_EQ(got, MakeRecord(number, span.size)) << "record " << number;
                const RecordSpan& placed = inPlace.newestFirst[i];
                const uint8_t* at = RecordBytes(inPlace, placed);
                ASSERT_EQ(placed.size, span.size);
                EXPECT_EQ(std::vector<uint8_t>(at, at + placed.size), got) << "record " << number << " in place";
                copied += placed.offset >= inPlace.imageSize;
                copiedBytes += placed.offset >= inPlace.imageSize ? placed.size : 0;
            }
            EXPECT_EQ(copied, c.splitRecords);
            EXPECT_EQ(inPlace.bytes.size(), copiedBytes);
        }
    }
}

// What a ring's records say of the log: the machine of the newest boot
// record, else of the newest record; the zone that the last string of the
// newest uptime record states; whether a record is of EventLog, else what
// source the newest is of. Records are given oldest first.
TEST(EvtFileSynthetic, SaysWhereTheLogComesFrom)
{
    struct Named {
        uint32_t eventId;
        std::vector<std::string> texts;  // source, computer, then the record's strings
    };
    struct Case {
        const char* name;
        std::vector<Named> records;
        LogFacts facts;
    };
    const Named boot1{0x80001779, {"EventLog", "PC-1", "5.01.", "2600"}}, boot2{0x80001779, {"EventLog", "PC-2"}};
    const Named service{0x40001B7B, {"Service Control Manager", "PC-3"}};
    const Case cases[] = {
        {"the newest boot record names the machine", {boot1, boot2, service}, {"PC-2", "", true, "", {{1, "PC-1"}, {2, "PC-2"}}}},
        {"no boot record: the newest record does", {service, {7035, {"Print", "PC-4"}}}, {"PC-4", "", false, "Print", {}}},
        {"another log's records", {{4624, {"Security", "PC-5"}}}, {"PC-5", "", false, "Security", {}}},
        {"the newest uptime record's zone",
         {{0x8000177D, {"EventLog", "PC-1", "86400", "60", "-300 Eastern Standard Time"}},
          {0x8000177D, {"EventLog", "PC-1", "86400", "60", "480 Pacific Standard Time"}}},
         {"PC-1", "480 Pacific Standard Time", true, "", {}}},
        {"an uptime record stating no zone", {{0x8000177D, {"EventLog", "PC-1", "86400"}}}, {"PC-1", "", true, "", {}}},
        {"a computer's name running to the record's end", {{0x80001779, {"EventLog"}}}, {"", "", true, "", {}}},
    };
    for (const Case& c : cases) {
        std::vector<uint32_t> sizes;
        for (const Named& record : c.records) {
            uint32_t size = kMinRecordBytes + 4;
            for (const std::string& text : record.texts)
                size += 2 * static_cast<uint32_t>(text.size() + 1);
            sizes.push_back((size + 7) / 8 * 8);
        }
        Log log = BuildLog(0x1000, kRingStart, sizes);
        uint32_t at = kRingStart;
        for (size_t i = 0; i < c.records.size(); ++i) {
            const Named& record = c.records[i];
            PutU32(&log.image, at + 20, record.eventId);
            PutU32(&log.image, at + 24, static_cast<uint32_t>(std::max<size_t>(record.texts.size(), 2) - 2) << 16);
            uint32_t unit = at + kMinRecordBytes;
            for (size_t t = 0; t < record.texts.size(); ++t) {
                if (t == 2)
                    PutU32(&log.image, at + 36, unit - at);  // where the strings start
                for (const char ch : record.texts[t] + '\0') {
                    log.image[unit++] = static_cast<uint8_t>(ch);
                    log.image[unit++] = 0;
                }
            }
            at += sizes[i];
        }
        EventLogScript script;
        SkippedParts skipped;
        std::string error;
        LogFacts facts;
        ASSERT_TRUE(ParseEvtImage(log.image.data(), log.image.size(), &script, &skipped, &error, &facts)) << c.name;
        EXPECT_EQ(std::tie(facts.host, facts.zoneText, facts.systemRecords, facts.holds),
                  std::tie(c.facts.host, c.facts.zoneText, c.facts.systemRecords, c.facts.holds)) << c.name;
        const auto named = [](const LogFacts& f) {
            std::string hosts;
            for (const BootHost& boot : f.bootHosts)
                hosts += boot.host + ";";
            return hosts;
        };
        if (!c.facts.bootHosts.empty()) {
            EXPECT_EQ(named(facts), named(c.facts)) << c.name;
        }
    }
}

struct BadCase {
    const char* name;
    void (*spoil)(Log*);
    const char* reason;  // a fragment of the expected error ...
    bool wholeMessage = false;  // ... or, when set, all of it
};

// Files that are no .evt log at all, made from the "record split across the
// end" log.
const BadCase kBadCases[] = {
    {"empty file", [](Log* l) { l->image.clear(); }, "too short"},
    {"shorter than the header", [](Log* l) { l->image.resize(0x2c); }, "too short"},
    {"header only", [](Log* l) { l->image.resize(0x30); }, "file is 48 bytes, too short for the end-of-log record",
     true},
    {"wrong signature", [](Log* l) { PutU32(&l->image, 4, 0x654C664D); }, "bad header signature"},
    {"wrong header size", [](Log* l) { PutU32(&l->image, 44, 0x34); }, "header size"},
    {"wrong header size at the start", [](Log* l) { PutU32(&l->image, 0, 0x34); }, "bad header size 52/48"},
    {"wrong version", [](Log* l) { PutU32(&l->image, 8, 2); }, "version"},
    {"wrong minor version", [](Log* l) { PutU32(&l->image, 12, 2); }, "unsupported version 1.2"},
};

// Each bad image fails for the reason planted, in one line, and the script
// keeps what it had.
TEST(EvtFileSynthetic, RejectsBadImagesWithAReasonAndNoChange)
{
    for (const BadCase& c : kBadCases) {
        SCOPED_TRACE(c.name);
        Log log = BuildLog(0x230, 0x190, {0x48, 0x60, 0x58, 0x40});
        c.spoil(&log);
        EventLogScript script;
        script.bytes = {1, 2, 3, 4};
        script.newestFirst = {{0, 4}};
        SkippedParts skipped;
        std::string error;
        EXPECT_FALSE(ParseEvtImage(log.image.data(), log.image.size(), &script, &skipped, &error));
        if (c.wholeMessage)
            EXPECT_EQ(error, c.reason);
        else
            EXPECT_NE(error.find(c.reason), std::string::npos) << "error: " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << "error: " << error;
        EXPECT_EQ(script.bytes, (std::vector<uint8_t>{1, 2, 3, 4}));
        EXPECT_EQ(script.newestFirst.size(), 1u);
    }
}

// Damage inside a ring: every sound record is read, newest first, intact,
// and what was lost and recovered is counted. Most spoil the "record split
// across the end" log: records 1 at 0x190, 2 at 0x1d8 (its last 8 bytes at
// 0x30), 3 at 0x38 and 4 at 0x90, and the end-of-log record at 0xd0.
TEST(EvtFileSynthetic, ReadsEverySoundRecordOfADamagedRing)
{
    struct Case {
        const char* name;
        void (*spoil)(Log*);
        std::vector<uint32_t> kept;  // record numbers, newest first
        SkippedParts skipped;
    };
    const Case cases[] = {
        {"first record's length 0", [](Log* l) { PutU32(&l->image, 0x190, 0); }, {4, 3, 2}, {0, 1, 3}},
        {"first record's length below 0x38", [](Log* l) { PutU32(&l->image, 0x190, 0x34); }, {4, 3, 2}, {0, 1, 3}},
        {"a length past the ring", [](Log* l) { PutU32(&l->image, 0x38, 0x1000); }, {4, 2, 1}, {0, 1, 1}},
        {"the last record overruns the end-of-log record", [](Log* l) { PutU32(&l->image, 0x90, 0x44); }, {3, 2, 1},
         {0, 1, 0}},
        {"a split record's signature", [](Log* l) { PutU32(&l->image, 0x1d8 + 4, 0); }, {4, 3, 1}, {0, 1, 2}},
        {"a split record's trailing length, past the ring's end", [](Log* l) { PutU32(&l->image, 0x34, 0x64); },
         {4, 3, 1}, {0, 1, 2}},
        {"two records in a row", [](Log* l) {
             PutU32(&l->image, 0x1d8, 0);
             PutU32(&l->image, 0x38 + 4, 0);
         },
         {4, 1}, {0, 2, 1}},
        {"past damage, a record not above the last taken",
         [](Log* l) {
             PutU32(&l->image, 0x1d8 + 4, 0);
             PutU32(&l->image, 0x38 + 8, 1);  // record 3 numbered 1
         },
         {4, 1}, {0, 2, 1}},
        {"truncated inside the split record", [](Log* l) { l->image.resize(0x200); }, {4, 3, 1}, {0, 1, 2}},
        // The header's offsets are hints: the end-of-log record knows the extent.
        {"start outside the file", [](Log* l) { PutU32(&l->image, 16, 0x10); }, {4, 3, 2, 1}, {0, 0, 0}},
        {"end outside the file", [](Log* l) { PutU32(&l->image, 20, 0x400); }, {4, 3, 2, 1}, {0, 0, 0}},
        // Without an end-of-log record the walk goes once round from the
        // header's start, and the log's last write counts as lost.
        {"no end-of-log record", [](Log* l) { PutU32(&l->image, 0xd0 + 4, 0); }, {4, 3, 2, 1}, {0, 1, 0}},
        {"end-of-log record with a wrong third marker", [](Log* l) { PutU32(&l->image, 0xd0 + 12, 0); },
         {4, 3, 2, 1}, {0, 1, 0}},
        {"end-of-log record without its closing length", [](Log* l) { PutU32(&l->image, 0xd0 + 36, 0); },
         {4, 3, 2, 1}, {0, 1, 0}},
        {"dirty, no end-of-log record",
         [](Log* l) {
             PutU32(&l->image, 36, 1);
             PutU32(&l->image, 0xd0 + 16, 0);
         },
         {4, 3, 2, 1}, {0, 1, 0}},
        {"dirty, no end-of-log record, the first record's length 0",
         [](Log* l) {
             PutU32(&l->image, 36, 1);
             PutU32(&l->image, 0xd0 + 16, 0);
             PutU32(&l->image, 0x190, 0);
         },
         {4, 3, 2}, {0, 2, 3}},
        {"dirty, an end-of-log record that names another offset",
         [](Log* l) {
             PutU32(&l->image, 36, 1);
             PutU32(&l->image, 0xd0 + 24, 0xd4);
         },
         {4, 3, 2, 1}, {0, 1, 0}},
        // Record 2 after 4: where the numbers fall back lies an earlier pass.
        {"dirty, no end-of-log record, then an earlier pass's record and a later one",
         [](Log* l) {
             *l = BuildLog(0x230, 0x30, {0x40, 0x40, 0x40, 0x40});
             PutU32(&l->image, 36, 1);
             PutU32(&l->image, l->end + 4, 0);
             const std::vector<uint8_t> earlier = MakeRecord(2, 0x40), later = MakeRecord(9, 0x40);
             std::copy(earlier.begin(), earlier.end(), l->image.begin() + l->end + 0x28);
             std::copy(later.begin(), later.end(), l->image.begin() + l->end + 0x68);
         },
         {4, 3, 2, 1}, {0, 1, 0}},
        {"end-of-log record inside the filler at the end of the file",
         [](Log* l) {
             *l = BuildLog(0x230, 0x190, {0x70, 0x40});  // filler from 0x200
             std::memmove(&l->image[0x208], &l->image[l->end], 0x28);
             PutU32(&l->image, 0x208 + 24, 0x208);
             PutU32(&l->image, 20, 0x208);
         },
         {1}, {0, 1, 0}},
        {"end-of-log record with a wrong second marker", [](Log* l) { PutU32(&l->image, 0xd0 + 8, 0); },
         {4, 3, 2, 1}, {0, 1, 0}},
        {"end-of-log record naming an oldest record outside the file",
         [](Log* l) { PutU32(&l->image, 0xd0 + 20, 0xFFFFFF00); }, {4, 3, 2, 1}, {0, 1, 0}},
        {"no end-of-log record, the header's start outside the file",
         [](Log* l) {
             PutU32(&l->image, 0xd0 + 4, 0);
             PutU32(&l->image, 16, 0xDEADBEEF);
         },
         {4, 3}, {0, 2, 2}},
        // A size not a multiple of 4 leaves a last, partial dword for the search.
        {"dirty, the end-of-log record in the last dword searched",
         [](Log* l) {
             *l = BuildLog(0x231, 0x30, {0x40, 0x40});
             PutU32(&l->image, 36, 1);
             PutU32(&l->image, 20, l->end + 4);
         },
         {2, 1}, {0, 0, 0}},
        // The search looks at dwords only: a dirty header's odd end is no place.
        {"dirty, an old end-of-log record where the header's misaligned end says",
         [](Log* l) {
             *l = BuildLog(0x230, 0x30, {0x40, 0x40});
             PutU32(&l->image, 36, 1);
             std::memmove(&l->image[0x102], &l->image[l->end], 0x28);
             PutU32(&l->image, 0x102 + 24, 0x102);
             PutU32(&l->image, 20, 0x102);
         },
         {2, 1}, {0, 0, 0}},
        // The end-of-log record numbers the oldest record 1, so both are lost.
        {"the first two records", [](Log* l) {
             PutU32(&l->image, 0x190, 0);
             PutU32(&l->image, 0x1d8 + 4, 0);
         },
         {4, 3}, {0, 2, 2}},
        {"past damage, a record numbered right after the last taken: one lost still",
         [](Log* l) {
             PutU32(&l->image, 0x1d8 + 4, 0);
             const std::vector<uint8_t> second = MakeRecord(2, 0x58);
             std::copy(second.begin(), second.end(), l->image.begin() + 0x38);  // over record 3
         },
         {4, 2, 1}, {0, 1, 2}},
        {"an old end-of-log record over record 3, inside the extent",
         [](Log* l) { std::memmove(&l->image[0x38], &l->image[0xd0], 0x28); }, {4, 2, 1}, {0, 1, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Log log = BuildLog(0x230, 0x190, {0x48, 0x60, 0x58, 0x40});
        c.spoil(&log);
        EventLogScript script;
        SkippedParts skipped{7, 7, 7};
        std::string error;
        ASSERT_TRUE(ParseEvtImage(log.image.data(), log.image.size(), &script, &skipped, &error)) << error;
        std::vector<uint32_t> numbers;
        for (const RecordSpan& span : script.newestFirst) {
            const uint32_t number = Field(script, span, 8);
            numbers.push_back(number);
            ASSERT_LE(size_t{span.offset} + span.size, script.bytes.size());
            const std::vector<uint8_t> got(script.bytes.begin() + span.offset,
                                           script.bytes.begin() + span.offset + span.size);
            EXPECT_EQ(got, MakeRecord(number, span.size)) << "record " << number;
        }
        EXPECT_EQ(numbers, c.kept);
        EXPECT_EQ(SkippedPartsText(skipped), SkippedPartsText(c.skipped));
    }
}

TEST(EvtFileLoad, ReportsFilesItCannotRead)
{
    // The system's own words; the caller names the file.
    const struct {
        std::string path;
        const char* reason;
    } kFiles[] = {
        {TALLYVANE_DATA_DIR "/no-such-log.evt", "No such file or directory"},
        {TALLYVANE_DATA_DIR, "Is a directory"},
    };
    for (const auto& f : kFiles) {
        for (const auto load : {LoadSavedLog, LoadSavedLogCopied}) {
            SCOPED_TRACE(f.path);
            EventLogScript script;
            SkippedParts skipped;
            std::string error;
            EXPECT_FALSE(load(f.path.c_str(), &script, &skipped, &error, nullptr));
            EXPECT_EQ(error, f.reason);
        }
    }
}

}  // namespace
