// The saved-log readers' entry points: an image in memory or a file on disk,
// its reader chosen by its signature, with the records served in place or
// copied into the stream.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "savedlog/saved_log.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

bool Fail(std::string* error, const std::string& text)
{
    *error = text;
    return false;
}

// Makes the stream hold all its records itself: the image's bytes go in front
// of stream->bytes, where the spans already place them, and the image is let go.
void CopyImageIntoBytes(RecordStream* stream)
{
    if (!stream->image)
        return;
    stream->bytes.insert(stream->bytes.begin(), stream->image.get(), stream->image.get() + stream->imageSize);
    stream->image.reset();
    stream->imageSize = 0;
}

constexpr char kEvtxSignature[8] = {'E', 'l', 'f', 'F', 'i', 'l', 'e', '\0'};

}  // namespace

// Parses the image at `data` in place, then copies it, so that the caller's
// bytes need not outlive the stream.
bool ParseEvtImage(const uint8_t* data, size_t size, RecordStream* stream, SkippedParts* skipped,
                   std::string* error, LogFacts* facts)
{
    const std::shared_ptr<const uint8_t> borrowed(data, [](const uint8_t*) {});
    if (!ParseEvtImageInPlace(borrowed, size, stream, skipped, error, facts))
        return false;
    CopyImageIntoBytes(stream);
    return true;
}

// An .evtx file begins with its own signature; anything else is offered to
// the .evt reader, whose checks give the reason when it is no log at all.
bool ParseSavedLogImage(std::shared_ptr<const uint8_t> image, size_t size, RecordStream* stream,
                        SkippedParts* skipped, std::string* error, LogFacts* facts)
{
    if (size >= sizeof kEvtxSignature && std::memcmp(image.get(), kEvtxSignature, sizeof kEvtxSignature) == 0)
        return ParseEvtxImage(image.get(), size, stream, skipped, error, facts);
    return ParseEvtImageInPlace(std::move(image), size, stream, skipped, error, facts);
}

// Loads the file at `path` in place, then copies its image into the stream.
bool LoadSavedLogCopied(const char* path, RecordStream* stream, SkippedParts* skipped, std::string* error, LogFacts* facts)
{
    if (!LoadSavedLog(path, stream, skipped, error, facts))
        return false;
    CopyImageIntoBytes(stream);
    return true;
}

std::string SkippedPartsText(const SkippedParts& skipped)
{
    struct Part {
        uint32_t count;
        const char* one;
        const char* many;
    };
    const Part parts[] = {{skipped.chunks, "chunk header unsound", "chunk headers unsound"},
                          {skipped.records, "record lost", "records lost"},
                          {skipped.recovered, "record recovered", "records recovered"}};
    std::string text;
    for (const Part& part : parts) {
        if (part.count == 0)
            continue;
        text += text.empty() ? "damaged: " : ", ";
        text += std::to_string(part.count) + " " + (part.count == 1 ? part.one : part.many);
    }
    return text;
}

#ifndef _WIN32
namespace {

constexpr size_t kHugePage = size_t{2} << 20;

// A mapping of fresh memory for `size` bytes, on a huge-page boundary and
// advised to be backed by huge pages. Here each small page costs a fault or a
// page-table write, and every walk over small pages misses the TLB at each;
// a huge page costs one. Its data is nullptr, with errno set, when no memory
// is to be had.
struct HugePageRegion {
    uint8_t* data = nullptr;
    size_t length = 0;  // whole huge pages
};

HugePageRegion MapHugePageRegion(size_t size)
{
    const size_t length = (size + kHugePage - 1) & ~(kHugePage - 1);
    // One huge page more than needed, so that a boundary lies within; the
    // slack on either side goes back at once.
    void* mapping = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED)
        return {};
    const uintptr_t start = reinterpret_cast<uintptr_t>(mapping);
    const uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
    if (aligned > start)
        munmap(mapping, aligned - start);
    munmap(reinterpret_cast<void*>(aligned + length), start + kHugePage - aligned);
    uint8_t* data = reinterpret_cast<uint8_t*>(aligned);
    madvise(data, length, MADV_HUGEPAGE);  // a hint: small pages work too
    return {data, length};
}

// Reads `file` from its start into `into`, which has room for `capacity`
// bytes, until the end of the file or of the room; *got says how many came.
// False, with errno set, when a read fails.
bool ReadWhole(int file, uint8_t* into, size_t capacity, size_t* got)
{
    *got = 0;
    while (*got < capacity) {
        const ssize_t n = read(file, into + *got, capacity - *got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        *got += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

// Reads the whole file at `path` once, sequentially, into one region of huge
// pages and parses it in place; the region lives as long as the last copy of
// the stream that needs it. A mapping of the file itself would cost a
// page-table write for every 4 KB, and a TLB miss at each in every walk. An
// unreadable file gives false with the reason in *error.
bool LoadSavedLog(const char* path, RecordStream* stream, SkippedParts* skipped, std::string* error, LogFacts* facts)
{
    const int file = open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0)
        return Fail(error, std::string("cannot open ") + path + ": " + std::strerror(errno));
    struct stat status {};
    if (fstat(file, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(file);
        return Fail(error, std::string(path) + " is not a regular file");
    }
    const size_t size = static_cast<size_t>(status.st_size);
    if (size == 0) {
        close(file);
        return ParseSavedLogImage(nullptr, 0, stream, skipped, error, facts);
    }
    if (size > UINT32_MAX) {
        close(file);
        return Fail(error, std::string(path) + " is too large for an event log file");
    }
    const HugePageRegion region = MapHugePageRegion(size);
    if (!region.data) {
        const int mapErrno = errno;
        close(file);
        return Fail(error, std::string("cannot read ") + path + ": " + std::strerror(mapErrno));
    }
    size_t got = 0;
    const bool read = ReadWhole(file, region.data, size, &got);
    const int readErrno = errno;
    close(file);
    if (!read) {
        munmap(region.data, region.length);
        return Fail(error, std::string("cannot read ") + path + ": " + std::strerror(readErrno));
    }
    const size_t length = region.length;
    const std::shared_ptr<const uint8_t> owner(region.data,
                                               [length](const uint8_t* at) { munmap(const_cast<uint8_t*>(at), length); });
    // A file cut short while read is parsed as far as it went; one grown
    // since, as far as it was.
    return ParseSavedLogImage(std::move(owner), got < size ? got : size, stream, skipped, error, facts);
}
#else
constexpr uint32_t kReadChunk = 1u << 16;

// Reads the whole file at `path` once and parses it in place; the stream
// shares the block read. An unreadable file gives false with the reason in
// *error.
bool LoadSavedLog(const char* path, RecordStream* stream, SkippedParts* skipped, std::string* error, LogFacts* facts)
{
    std::FILE* file = std::fopen(path, "rb");
    if (!file)
        return Fail(error, std::string("cannot open ") + path + ": " + std::strerror(errno));
    std::vector<uint8_t> image;
    // The size is only a hint for one allocation; the reads decide.
    if (std::fseek(file, 0, SEEK_END) == 0) {
        const long hint = std::ftell(file);
        if (hint > 0 && hint <= (1L << 30))
            image.reserve(static_cast<size_t>(hint) + kReadChunk);  // room for the read that sees EOF
        std::rewind(file);
    }
    bool failed = false;
    for (;;) {
        const size_t old = image.size();
        if (old > UINT32_MAX) {
            std::fclose(file);
            return Fail(error, std::string(path) + " is too large for an event log file");
        }
        image.resize(old + kReadChunk);
        const size_t got = std::fread(image.data() + old, 1, kReadChunk, file);
        image.resize(old + got);
        if (got < kReadChunk) {
            failed = std::ferror(file) != 0;
            break;
        }
    }
    const int readErrno = errno;
    std::fclose(file);
    if (failed)
        return Fail(error, std::string("cannot read ") + path + ": " + std::strerror(readErrno));
    const auto owner = std::make_shared<const std::vector<uint8_t>>(std::move(image));
    return ParseSavedLogImage(std::shared_ptr<const uint8_t>(owner, owner->data()), owner->size(), stream, skipped,
                              error, facts);
}
#endif
