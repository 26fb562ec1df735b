// The event-log seam served from an EventLogScript: whole records, newest
// first, as many as fit in the caller's buffer, with scripted failures.

#include <cstring>
#include <utility>

#include "history/platform.h"
#include "test_support/record_source.h"

namespace {

constexpr uint32_t kRecordSignature = 0x654C664C;  // "LfLe"
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorInvalidHandle = 6;

EventLogScript script;
EventLogTrace trace;
size_t nextRecord = 0;  // index into script.newestFirst
uint32_t lastError = 0;
int handleToken = 0;  // the address handed out as the open log's handle

bool Fail(uint32_t code)
{
    lastError = code;
    trace.lastReadEnd = std::chrono::steady_clock::now();
    return false;
}

void PutU32(uint8_t* at, uint32_t value)
{
    std::memcpy(at, &value, sizeof value);
}

}  // namespace

void LoadEventLogScript(EventLogScript newScript)
{
    script = std::move(newScript);
    trace = EventLogTrace{};
    nextRecord = 0;
    lastError = 0;
}

const EventLogTrace& EventLogTraceSoFar()
{
    return trace;
}

// Lays out one record: Length, "LfLe", record number, both times, the ID and
// type, and the trailing copy of Length that ends every record.
void AppendRecord(EventLogScript* target, uint32_t timeWritten, uint32_t eventId, uint16_t eventType,
                  uint32_t size, uint32_t lengthField)
{
    const uint32_t offset = static_cast<uint32_t>(target->bytes.size());
    target->bytes.resize(offset + size);
    uint8_t* record = target->bytes.data() + offset;
    const uint32_t length = lengthField ? lengthField : size;
    PutU32(record + 0, length);
    PutU32(record + 4, kRecordSignature);
    PutU32(record + 8, static_cast<uint32_t>(target->newestFirst.size()) + 1);
    PutU32(record + 12, timeWritten - 60);  // generated a minute before it was written
    PutU32(record + 16, timeWritten);
    PutU32(record + 20, eventId);
    std::memcpy(record + 24, &eventType, sizeof eventType);
    PutU32(record + size - 4, length);
    target->newestFirst.push_back({offset, size});
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
    if (readNumber == script.failingRead)
        return Fail(script.failingReadCode);
    if (readNumber == script.bogusShortRead) {
        *bytesNeeded = script.bogusShortReadNeeded;
        return Fail(kErrorInsufficientBuffer);
    }
    if (nextRecord == script.newestFirst.size())
        return Fail(kErrorHandleEof);
    if (script.newestFirst[nextRecord].size > bufferSize) {
        *bytesNeeded = script.newestFirst[nextRecord].size;
        return Fail(kErrorInsufficientBuffer);
    }
    uint8_t* out = static_cast<uint8_t*>(buffer);
    uint32_t used = 0;
    while (nextRecord < script.newestFirst.size() && script.newestFirst[nextRecord].size <= bufferSize - used) {
        const RecordSpan& span = script.newestFirst[nextRecord++];
        std::memcpy(out + used, script.bytes.data() + span.offset, span.size);
        used += span.size;
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
