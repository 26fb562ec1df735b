// The saved-log readers' entry points: an image in memory or a file on disk,
// its reader chosen by its signature, with the records served in place or
// copied into the stream.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "savedlog/evtx_walk.h"
#include "savedlog/saved_log.h"

#include <sys/stat.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
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
constexpr size_t kEvtSignatureAt = 4;
constexpr uint8_t kEvtSignature[4] = {'L', 'f', 'L', 'e'};

}  // namespace

SavedLogKind SavedLogKindOf(const uint8_t* head, size_t size)
{
    if (size >= sizeof kEvtxSignature && std::memcmp(head, kEvtxSignature, sizeof kEvtxSignature) == 0)
        return SavedLogKind::kEvtx;
    if (size >= kEvtSignatureAt + sizeof kEvtSignature &&
        std::memcmp(head + kEvtSignatureAt, kEvtSignature, sizeof kEvtSignature) == 0)
        return SavedLogKind::kEvt;
    return SavedLogKind::kNone;
}

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
    if (SavedLogKindOf(image.get(), size) == SavedLogKind::kEvtx)
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

// Counts missing are the header's, so a chunk partly read counts as missing;
// records counted lost to damage are not counted again.
std::string CutShortText(const SkippedParts& skipped)
{
    if (!skipped.cut)
        return "";
    std::string text = "cut short: ";
    if (skipped.chunksMissing)
        text += std::to_string(skipped.chunksMissing) + " of " + std::to_string(skipped.chunksCounted) + " chunks missing";
    if (skipped.recordsMissing)
        text += std::string(skipped.chunksMissing ? ", " : "") + "about " + std::to_string(skipped.recordsMissing) +
                (skipped.recordsMissing == 1 ? " record" : " records") + (skipped.chunksMissing ? "" : " missing");
    else if (!skipped.chunksMissing)
        text += "its newest records missing";
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

// Reads from `file` into `into` until `capacity` bytes came or the input
// ended; *got says how many came. False, with errno set, when a read fails.
bool ReadFully(int file, uint8_t* into, size_t capacity, size_t* got)
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

bool FailWithErrno(std::string* error, int number)
{
    return Fail(error, std::strerror(number));
}

constexpr char kTooLarge[] = "file is too large for an event log file";

// Walks an .evtx file chunk slot by chunk slot as they are read, through one
// slot's buffer; `header` holds the first `got` bytes, already read. `limit`
// is the size of a regular file, read no further; 0 for a stream.
bool LoadEvtxDescriptor(int file, const uint8_t* header, size_t got, uint64_t limit, RecordStream* stream,
                        SkippedParts* skipped, std::string* error, LogFacts* facts)
{
    EvtxWalk walk;
    if (!BeginEvtxWalk(header, got, limit, GuessedEvtxRecords(limit), &walk, error, facts))
        return false;
    if (got == kEvtxHeaderBlock) {
        const std::unique_ptr<uint8_t[]> chunk(new uint8_t[kEvtxChunkSize]);
        uint64_t read = got;
        for (;;) {
            const size_t want = limit ? static_cast<size_t>(std::min<uint64_t>(kEvtxChunkSize, limit - read)) : kEvtxChunkSize;
            size_t slot = 0;
            if (!ReadFully(file, chunk.get(), want, &slot))
                return FailWithErrno(error, errno);
            read += slot;
            if (read > kEvtxMaxFileSize)
                return Fail(error, kTooLarge);
            // A slot cut by the end of the input is walked as far as it goes.
            if (slot > 0)
                WalkEvtxChunk(&walk, chunk.get(), static_cast<uint32_t>(slot));
            if (slot < kEvtxChunkSize)
                break;
        }
    }
    EndEvtxWalk(&walk, stream, skipped);
    return true;
}

// Reads a regular .evt file whole, `size` bytes at most, into one region of
// huge pages and parses it in place; the region lives as long as the last
// copy of the stream that needs it. A mapping of the file itself would cost
// a page-table write for every 4 KB, and a TLB miss at each in every walk.
bool LoadEvtFile(int file, const uint8_t* head, size_t got, size_t size, RecordStream* stream, SkippedParts* skipped,
                 std::string* error, LogFacts* facts)
{
    const HugePageRegion region = MapHugePageRegion(size);
    if (!region.data)
        return FailWithErrno(error, errno);
    std::memcpy(region.data, head, got);
    size_t rest = 0;
    if (!ReadFully(file, region.data + got, size - got, &rest)) {
        const int readErrno = errno;
        munmap(region.data, region.length);
        return FailWithErrno(error, readErrno);
    }
    const size_t length = region.length;
    const std::shared_ptr<const uint8_t> owner(region.data,
                                               [length](const uint8_t* at) { munmap(const_cast<uint8_t*>(at), length); });
    // A file cut short while read is parsed as far as it went; one grown
    // since, as far as it was.
    return ParseSavedLogImage(std::move(owner), got + rest, stream, skipped, error, facts);
}

// Reads an .evt log from a stream to its end, growing as it comes, and parses
// it in place; the stream shares the block read.
bool LoadEvtStream(int file, const uint8_t* head, size_t got, RecordStream* stream, SkippedParts* skipped,
                   std::string* error, LogFacts* facts)
{
    constexpr size_t kReadStep = size_t{1} << 16;
    std::vector<uint8_t> image(head, head + got);
    for (;;) {
        const size_t old = image.size();
        if (old > UINT32_MAX)
            return Fail(error, kTooLarge);
        image.resize(old + kReadStep);
        size_t more = 0;
        const bool read = ReadFully(file, image.data() + old, kReadStep, &more);
        image.resize(old + more);
        if (!read)
            return FailWithErrno(error, errno);
        if (more < kReadStep)
            break;
    }
    const auto owner = std::make_shared<const std::vector<uint8_t>>(std::move(image));
    return ParseSavedLogImage(std::shared_ptr<const uint8_t>(owner, owner->data()), owner->size(), stream, skipped,
                              error, facts);
}

}  // namespace

// Chooses the reader by the first bytes read. A directory is refused; any
// other file that is not regular (a pipe, a terminal, a device) is read as a
// stream, to its end.
bool LoadSavedLogDescriptor(int file, RecordStream* stream, SkippedParts* skipped, std::string* error, LogFacts* facts)
{
    struct stat status {};
    if (fstat(file, &status) != 0)
        return FailWithErrno(error, errno);
    if (S_ISDIR(status.st_mode))
        return FailWithErrno(error, EISDIR);
    const bool regular = S_ISREG(status.st_mode);
    const uint64_t size = regular ? static_cast<uint64_t>(status.st_size) : 0;
    if (size > UINT32_MAX)
        return Fail(error, kTooLarge);
    uint8_t head[kEvtxHeaderBlock];
    size_t got = 0;
    if (!ReadFully(file, head, regular ? std::min<uint64_t>(size, sizeof head) : sizeof head, &got))
        return FailWithErrno(error, errno);
    const SavedLogKind kind = SavedLogKindOf(head, got);
    if (kind == SavedLogKind::kEvtx)
        return LoadEvtxDescriptor(file, head, got, size, stream, skipped, error, facts);
    // Without either signature the .evt reader refuses the file from its
    // header alone: the rest, which a device may never end, is not read.
    if (kind == SavedLogKind::kNone)
        return ParseSavedLogImage({head, [](const uint8_t*) {}}, got, stream, skipped, error, facts);
    if (regular)
        return LoadEvtFile(file, head, got, static_cast<size_t>(size), stream, skipped, error, facts);
    return LoadEvtStream(file, head, got, stream, skipped, error, facts);
}

// Opens the file at `path` and reads it through its descriptor.
bool LoadSavedLog(const char* path, RecordStream* stream, SkippedParts* skipped, std::string* error, LogFacts* facts)
{
    const int file = open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0)
        return FailWithErrno(error, errno);
    const bool loaded = LoadSavedLogDescriptor(file, stream, skipped, error, facts);
    close(file);
    return loaded;
}
#else
constexpr uint32_t kReadChunk = 1u << 16;

// Reads the whole file at `path` once and parses it in place; the stream
// shares the block read. An unreadable file gives false with the reason in
// *error. Windows refuses to open a folder as "Permission denied"; it is
// told as what it is, as on Linux.
bool LoadSavedLog(const char* path, RecordStream* stream, SkippedParts* skipped, std::string* error, LogFacts* facts)
{
    struct stat status {};
    if (stat(path, &status) == 0 && S_ISDIR(status.st_mode))
        return Fail(error, std::strerror(EISDIR));
    std::FILE* file = std::fopen(path, "rb");
    if (!file)
        return Fail(error, std::strerror(errno));
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
            return Fail(error, "file is too large for an event log file");
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
        return Fail(error, std::strerror(readErrno));
    const auto owner = std::make_shared<const std::vector<uint8_t>>(std::move(image));
    return ParseSavedLogImage(std::shared_ptr<const uint8_t>(owner, owner->data()), owner->size(), stream, skipped,
                              error, facts);
}
#endif
