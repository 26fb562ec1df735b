// The .evt reader's entry points over evt_file.cpp: an image in memory or a
// file on disk, with the records served in place or copied into the script.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "test_support/record_source.h"

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

// Makes the script hold all its records itself: the image's bytes go in front
// of script->bytes, where the spans already place them, and the image is let go.
void CopyImageIntoBytes(EventLogScript* script)
{
    script->bytes.insert(script->bytes.begin(), script->image.get(), script->image.get() + script->imageSize);
    script->image.reset();
    script->imageSize = 0;
}

}  // namespace

// Parses the image at `data` in place, then copies it, so that the caller's
// bytes need not outlive the script.
bool ParseEvtImage(const uint8_t* data, size_t size, EventLogScript* script, std::string* error)
{
    const std::shared_ptr<const uint8_t> borrowed(data, [](const uint8_t*) {});
    if (!ParseEvtImageInPlace(borrowed, size, script, error))
        return false;
    CopyImageIntoBytes(script);
    return true;
}

// Loads the file at `path` in place, then copies its image into the script.
bool LoadEvtFile(const char* path, EventLogScript* script, std::string* error)
{
    if (!LoadEvtFileInPlace(path, script, error))
        return false;
    CopyImageIntoBytes(script);
    return true;
}

#ifndef _WIN32
// Maps the whole file at `path` and parses it in place; the mapping lives as
// long as the last copy of the script, and spares copying the file into fresh
// memory. An unreadable file gives false with the reason in *error.
bool LoadEvtFileInPlace(const char* path, EventLogScript* script, std::string* error)
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
        return ParseEvtImageInPlace(nullptr, 0, script, error);
    }
    void* image = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, file, 0);
    const int mapErrno = errno;
    close(file);
    if (image == MAP_FAILED)
        return Fail(error, std::string("cannot read ") + path + ": " + std::strerror(mapErrno));
    std::shared_ptr<const uint8_t> mapping(static_cast<const uint8_t*>(image),
                                           [size](const uint8_t* at) { munmap(const_cast<uint8_t*>(at), size); });
    return ParseEvtImageInPlace(std::move(mapping), size, script, error);
}
#else
constexpr uint32_t kReadChunk = 1u << 16;

// Reads the whole file at `path` once and parses it in place; the script
// shares the block read. An unreadable file gives false with the reason in
// *error.
bool LoadEvtFileInPlace(const char* path, EventLogScript* script, std::string* error)
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
    return ParseEvtImageInPlace(std::shared_ptr<const uint8_t>(owner, owner->data()), owner->size(), script, error);
}
#endif
