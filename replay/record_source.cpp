// The event-log seam served from an EventLogScript: whole records, newest
// first, as many as fit in the caller's buffer, with scripted failures
// (tallyvane-replay.exe's --open-fails and --read-fails, and the tests').

#include <cstring>
#include <utility>

#include "history/platform.h"
#include "replay/record_source.h"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorTimeout = 1460;
constexpr uint32_t kReadLimit = 100000;  // far more reads than any log here needs

EventLogScript script;
EventLogTrace trace;
size_t nextRecord = 0;  // index into script.newestFirst
uint32_t lastError = 0;
int handleToken = 0;  // the address handed out as the open log's handle
const void* preparedBuffer = nullptr;  // the caller's buffer whose pages were brought in

bool Fail(uint32_t code)
{
    lastError = code;
    trace.lastReadEnd = std::chrono::steady_clock::now();
    return false;
}

// Brings in the pages under [at, at + size) writable in one call; the copy
// into a fresh buffer would otherwise fault on each page in turn, which costs
// the kernel about twice as much. Only a hint: no byte changes.
void PrepareForWriting(uint8_t* at, uint32_t size)
{
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t first = reinterpret_cast<uintptr_t>(at) & ~(page - 1);
    madvise(reinterpret_cast<void*>(first), reinterpret_cast<uintptr_t>(at) + size - first, MADV_POPULATE_WRITE);
#else
    (void)at;
    (void)size;
#endif
}

}  // namespace

void LoadEventLogScript(EventLogScript newScript)
{
    script = std::move(newScript);
    trace = EventLogTrace{};
    nextRecord = 0;
    lastError = 0;
    preparedBuffer = nullptr;
}

const EventLogTrace& EventLogTraceSoFar()
{
    return trace;
}

EventLogHandle PlatformOpenEventLog(const char* sourceName)
{
    ++trace.opens;
    if (script.openError || std::strcmp(sourceName, "System") != 0) {
        Fail(script.openError ? script.openError : kErrorInvalidParameter);
        return nullptr;
    }
    trace.open = true;
    return &handleToken;
}

// Delivers the next records newest first. Scripted failures come before the
// real contract so that any read, the first included, can be made to fail.
bool PlatformReadEventLog(EventLogHandle log, uint32_t flags, uint32_t recordOffset, void* buffer,
                          uint32_t bufferSize, uint32_t* bytesRead, uint32_t* bytesNeeded)
{
    *bytesRead = 0;
    *bytesNeeded = 0;
    trace.readSizes.push_back(bufferSize);
    trace.recordsBeforeRead.push_back(static_cast<uint32_t>(nextRecord));
    const uint32_t readNumber = static_cast<uint32_t>(trace.readSizes.size());
    if (log != &handleToken || !trace.open)
        return Fail(kErrorInvalidHandle);
    if (flags != 9 || recordOffset != 0)
        return Fail(kErrorInvalidParameter);
    if (readNumber > kReadLimit)
        return Fail(kErrorTimeout);
    if (readNumber == script.failingRead)
        return Fail(script.failingReadCode);
    if (readNumber == script.bogusShortRead) {
        *bytesNeeded = script.bogusShortReadNeeded;
        return Fail(kErrorInsufficientBuffer);
    }
    if (script.emptyReadsFrom && readNumber >= script.emptyReadsFrom) {
        trace.lastReadEnd = std::chrono::steady_clock::now();
        return true;
    }
    if (nextRecord == script.newestFirst.size())
        return Fail(kErrorHandleEof);
    if (script.newestFirst[nextRecord].size > bufferSize) {
        *bytesNeeded = script.newestFirst[nextRecord].size;
        return Fail(kErrorInsufficientBuffer);
    }
    // What fits is counted first, so that a buffer new to us can have the
    // pages it is about to take brought in at once.
    size_t end = nextRecord;
    uint32_t used = 0;
    while (end < script.newestFirst.size() && script.newestFirst[end].size <= bufferSize - used)
        used += script.newestFirst[end++].size;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    if (buffer != preparedBuffer) {
        PrepareForWriting(out, used);
        preparedBuffer = buffer;
    }
    for (; nextRecord < end; ++nextRecord) {
        const RecordSpan& span = script.newestFirst[nextRecord];
        std::memcpy(out, RecordBytes(script, span), span.size);
        out += span.size;
    }
    *bytesRead = used;
    trace.lastReadEnd = std::chrono::steady_clock::now();
    return true;
}

void PlatformCloseEventLog(EventLogHandle log)
{
    if (log == &handleToken && trace.open) {
        trace.open = false;
        ++trace.closes;
    }
}

uint32_t PlatformLastError()
{
    return lastError;
}
