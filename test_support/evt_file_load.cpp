// Loading a legacy .evt file from disk for the reader in evt_file.cpp.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
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

}  // namespace

#ifndef _WIN32
// Maps the whole file at `path` and parses it with ParseEvtImage; an
// unreadable file gives false with the reason in *error. Mapping, with the
// pages brought in at once, spares a copy and the zeroing of a read buffer.
bool LoadEvtFile(const char* path, EventLogScript* script, std::string* error)
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
        return ParseEvtImage(nullptr, 0, script, error);
    }
    void* image = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, file, 0);
    const int mapErrno = errno;
    close(file);
    if (image == MAP_FAILED)
        return Fail(error, std::string("cannot read ") + path + ": " + std::strerror(mapErrno));
    const bool parsed = ParseEvtImage(static_cast<const uint8_t*>(image), size, script, error);
    munmap(image, size);
    return parsed;
}
#else
constexpr uint32_t kReadChunk = 1u << 16;

// Reads the whole file at `path` and parses it with ParseEvtImage; an
// unreadable file gives false with the reason in *error.
bool LoadEvtFile(const char* path, EventLogScript* script, std::string* error)
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
    return ParseEvtImage(image.data(), image.size(), script, error);
}
#endif
