// Loading saved logs from disk: files of every size round the huge pages the
// loader reads into come through byte for byte, served in place or copied,
// into a fresh stream or one a load of the other kind filled before, and
// every load gives its memory back with the last stream that uses it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "replay/record_source.h"
#include "savedlog/saved_log.h"

#ifndef TALLYVANE_DATA_DIR
#define TALLYVANE_DATA_DIR "samples"
#endif

namespace {

constexpr uint32_t kSignature = 0x654C664C;  // "LfLe"
constexpr uint32_t kRingStart = 0x30;
constexpr uint32_t kEndRecordSize = 0x28;
constexpr uint32_t kMiB = 1u << 20;

void PutU32(std::vector<uint8_t>* bytes, size_t at, uint32_t value)
{
    std::memcpy(bytes->data() + at, &value, sizeof value);
}

// A clean .evt log of exactly `fileSize` bytes whose records, each with a
// body of its own, run from the ring's start to within `slack` bytes of the
// end-of-log record's end; the rest keeps a filler pattern.
std::vector<uint8_t> LinearLog(uint32_t fileSize, uint32_t recordSize, uint32_t slack)
{
    std::vector<uint8_t> image(fileSize);
    for (uint32_t i = 0; i < fileSize; ++i)
        image[i] = static_cast<uint8_t>(i * 13 + 5);
    const uint32_t count = (fileSize - kRingStart - kEndRecordSize - slack) / recordSize;
    uint32_t pos = kRingStart;
    for (uint32_t number = 1; number <= count; ++number, pos += recordSize) {
        const uint32_t fields[] = {recordSize, kSignature, number, 1000 + number, 2000 + number, 0x1000 + number};
        for (uint32_t i = 0; i < 6; ++i)
            PutU32(&image, pos + 4 * i, fields[i]);
        PutU32(&image, pos + recordSize - 4, recordSize);
    }
    const uint32_t eof[] = {kEndRecordSize, 0x11111111, 0x22222222, 0x33333333, 0x44444444,
                            kRingStart,     pos,        count + 1,  1,          kEndRecordSize};
    for (uint32_t i = 0; i < 10; ++i)
        PutU32(&image, pos + 4 * i, eof[i]);
    const uint32_t header[] = {kRingStart, kSignature, 1, 1, kRingStart, pos, count + 1, 1, fileSize, 0, 0, kRingStart};
    for (uint32_t i = 0; i < 12; ++i)
        PutU32(&image, 4 * i, header[i]);
    return image;
}

// Writes `bytes` to a new file of its own; "" when it cannot.
std::string WriteTemporaryFile(const std::vector<uint8_t>& bytes)
{
#ifdef _WIN32
    char* name = _tempnam(nullptr, "tvlog");
    if (!name)
        return "";
    const std::string path = name;
    std::free(name);
    std::FILE* file = std::fopen(path.c_str(), "wb");
#else
    char name[] = "/tmp/saved-log-test-XXXXXX";
    const int descriptor = mkstemp(name);
    if (descriptor < 0)
        return "";
    const std::string path = name;
    std::FILE* file = fdopen(descriptor, "wb");
#endif
    const bool written = file && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (file)
        std::fclose(file);
    return written ? path : "";
}

// The address space mapped outside the C library's heap, in kB, from /proc;
// -1 where there is none.
long MappedKilobytesOutsideTheHeap()
{
    std::FILE* maps = std::fopen("/proc/self/maps", "r");
    if (!maps)
        return -1;
    unsigned long long bytes = 0;
    char line[512];
    while (std::fgets(line, sizeof line, maps)) {
        unsigned long long start = 0, end = 0;
        if (std::sscanf(line, "%llx-%llx", &start, &end) == 2 && !std::strstr(line, "[heap]"))
            bytes += end - start;
    }
    std::fclose(maps);
    return static_cast<long>(bytes / 1024);
}

// How many of the records of `got` differ from those of `want`, each one
// against the one in its place there; all of them when their numbers differ.
size_t DifferingRecords(const RecordStream& got, const RecordStream& want)
{
    if (got.newestFirst.size() != want.newestFirst.size())
        return std::max(got.newestFirst.size(), want.newestFirst.size());
    size_t differing = 0;
    for (size_t i = 0; i < got.newestFirst.size(); ++i) {
        const RecordSpan& span = got.newestFirst[i];
        const RecordSpan& other = want.newestFirst[i];
        differing += span.size != other.size ||
                     std::memcmp(RecordBytes(got, span), RecordBytes(want, other), span.size) != 0;
    }
    return differing;
}

// Loads the file at `path` as `cat` pipes it, in pieces no regular file comes in.
bool LoadThroughPipe(const char* path, RecordStream* stream, SkippedParts* skipped, std::string* error, LogFacts* facts)
{
#ifdef _WIN32
    return LoadSavedLog(path, stream, skipped, error, facts);
#else
    std::FILE* pipe = popen((std::string("cat ") + path).c_str(), "r");
    if (!pipe)
        return false;
    const bool loaded = LoadSavedLogDescriptor(fileno(pipe), stream, skipped, error, facts);
    return pclose(pipe) == 0 && loaded;
#endif
}

}  // namespace

TEST(SavedLogFile, LoadsFilesOfEverySizeRoundAHugePageByteForByte)
{
    const struct {
        const char* name;
        uint32_t fileSize;
        uint32_t recordSize;
        uint32_t slack;
    } kSizes[] = {
        {"one page", 0x1000, 0x100, 0x80},
        {"a page short of 2 MiB", 2 * kMiB - 0x1000, 0x1F8, 0x40},
        {"2 MiB, the last record ending at the end-of-log record", 2 * kMiB, 0x400, 0},
        {"a record past 2 MiB", 2 * kMiB + 0x400, 0x7F8, 0},
        {"over 6 MiB", 6 * kMiB + 0x2340, 0x1000, 0x100},
        // Many huge pages; the last disk block read directly is only partly file.
        {"over 16 MiB, not a whole number of blocks", 16 * kMiB + 0x1234 / 4 * 4, 0x7F8, 0x10},
    };
    // Between the loads of each size, one stream and one set of counts take
    // a damaged .evtx log before it and a file of the .evtx signature alone
    // after it, as a program that opens one log after another keeps them:
    // each load replaces all that the one before left, of either kind, and a
    // refusal leaves it. The .evtx log is chunk 0 of the real one, its header spoilt.
    std::vector<uint8_t> damagedEvtx;
    {
        std::FILE* file = std::fopen(TALLYVANE_DATA_DIR "/System.evtx", "rb");
        ASSERT_TRUE(file);
        damagedEvtx.resize(0x1000 + 0x10000);
        ASSERT_EQ(std::fread(damagedEvtx.data(), 1, damagedEvtx.size(), file), damagedEvtx.size());
        std::fclose(file);
        PutU32(&damagedEvtx, 0x1000 + 0x28, 0x1234);  // a chunk header size other than 128
    }
    RecordStream evtxRecords;
    SkippedParts evtxSkipped;
    std::string error;
    ASSERT_TRUE(ParseEvtxImage(damagedEvtx.data(), damagedEvtx.size(), &evtxRecords, &evtxSkipped, &error));
    ASSERT_EQ(SkippedPartsText(evtxSkipped), "damaged: 1 chunk header unsound, 158 records recovered");
    const std::string evtxPath = WriteTemporaryFile(damagedEvtx);
    const std::string signaturePath = WriteTemporaryFile({'E', 'l', 'f', 'F', 'i', 'l', 'e', 0});
    ASSERT_FALSE(evtxPath.empty() || signaturePath.empty());
    EventLogScript reused;
    SkippedParts reusedSkipped;

    for (const auto& c : kSizes) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> image = LinearLog(c.fileSize, c.recordSize, c.slack);
        EventLogScript expected;
        SkippedParts damage;
        LogFacts expectedFacts;
        ASSERT_TRUE(ParseEvtImage(image.data(), image.size(), &expected, &damage, &error, &expectedFacts)) << error;
        ASSERT_GT(expected.newestFirst.size(), 10u);
        const std::string path = WriteTemporaryFile(image);
        ASSERT_FALSE(path.empty());
        for (const auto load : {LoadSavedLog, LoadSavedLogCopied, LoadThroughPipe}) {
            EventLogScript script;
            SkippedParts skipped;
            LogFacts facts{"left from before", "60 W. Europe Standard Time", true, "Security", {{1, "old"}}};
            error.clear();
            ASSERT_TRUE(load(path.c_str(), &script, &skipped, &error, &facts)) << error;
            EXPECT_EQ(DifferingRecords(script, expected), 0u) << "records that differ from the file's";
            EXPECT_EQ(facts.host, expectedFacts.host);
            EXPECT_EQ(facts.holds, expectedFacts.holds);
            EXPECT_EQ(facts.bootHosts.size(), expectedFacts.bootHosts.size());
            EXPECT_EQ(facts.zoneText, "");
            EXPECT_FALSE(facts.systemRecords);
            if (script.image) {
                EXPECT_EQ(script.imageSize, c.fileSize);
                EXPECT_EQ(std::memcmp(script.image.get(), image.data(), image.size()), 0);
            }
        }

        LogFacts evtxFacts;
        ASSERT_TRUE(LoadSavedLog(evtxPath.c_str(), &reused, &reusedSkipped, &error, &evtxFacts)) << error;
        EXPECT_EQ(evtxFacts.host, "37L4247F27-26");
        EXPECT_TRUE(evtxFacts.systemRecords);
        // Its records lie in the stream's bytes alone: a size left from an
        // image before would send reads to an image that is gone.
        ASSERT_FALSE(reused.image);
        ASSERT_EQ(reused.imageSize, 0u);
        EXPECT_EQ(DifferingRecords(reused, evtxRecords), 0u) << "records of the .evtx load";
        EXPECT_EQ(SkippedPartsText(reusedSkipped), SkippedPartsText(evtxSkipped));
        ASSERT_TRUE(LoadSavedLog(path.c_str(), &reused, &reusedSkipped, &error)) << error;
        EXPECT_EQ(DifferingRecords(reused, expected), 0u) << "records of the .evt load after the .evtx";
        EXPECT_EQ(SkippedPartsText(reusedSkipped), "");
        EXPECT_FALSE(LoadSavedLog(signaturePath.c_str(), &reused, &reusedSkipped, &error));
        EXPECT_EQ(error, "file is 8 bytes, too short for an .evtx header");
        EXPECT_EQ(DifferingRecords(reused, expected), 0u) << "records kept through a refusal";
        std::remove(path.c_str());
    }
    std::remove(evtxPath.c_str());
    std::remove(signaturePath.c_str());
}

// Loads and drops the real log many times: the address space it takes must
// not grow with the number of loads. How much a leak would keep depends on
// where each load lands, so the count starts before the first.
TEST(SavedLogFile, GivesBackTheMemoryOfEveryLoad)
{
#if defined(__SANITIZE_ADDRESS__) || defined(_WIN32)
    GTEST_SKIP() << "the allocator here keeps what is freed, and grows the address space by itself";
#endif
    const std::string path = TALLYVANE_DATA_DIR "/SysEvent.Evt";
    const long before = MappedKilobytesOutsideTheHeap();
    if (before < 0)
        GTEST_SKIP() << "no /proc/self/maps";
    constexpr int kLoads = 8;
    for (int i = 0; i < kLoads; ++i) {
        EventLogScript script;
        SkippedParts skipped;
        std::string error;
        EXPECT_TRUE(LoadSavedLog(path.c_str(), &script, &skipped, &error)) << error;
        EXPECT_TRUE(script.image);
    }
    EXPECT_LT(MappedKilobytesOutsideTheHeap() - before, 64) << "address space kept after " << kLoads << " loads";
}
