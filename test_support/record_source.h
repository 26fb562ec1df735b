// A System event log of our own for native builds and tests: records from
// memory or from a saved .evt file, delivered through the event-log seam as the
// platform does (whole records, newest first, 122 with the size needed for a
// record that does not fit, 38 at the end), with failures on demand.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Where one record lies: in EventLogScript::image below its imageSize, and in
// EventLogScript::bytes from imageSize on (see RecordBytes).
struct RecordSpan {
    uint32_t offset;
    uint32_t size;
};

struct EventLogScript {
    std::vector<uint8_t> bytes;           // the records' bytes, in any order
    std::vector<RecordSpan> newestFirst;  // the order of delivery
    uint32_t openError = 0;               // non-zero: the open fails with this code
    uint32_t failingRead = 0;             // 1-based read that fails; 0 for none
    uint32_t failingReadCode = 0;
    uint32_t bogusShortRead = 0;          // 1-based read that reports 122 ...
    uint32_t bogusShortReadNeeded = 0;    // ... with this size needed
    uint32_t emptyReadsFrom = 0;          // 1-based read from which every read succeeds with 0 bytes
    std::shared_ptr<const uint8_t> image;  // a file image whose records are served in place ...
    uint32_t imageSize = 0;                // ... and its size; 0 for records all in bytes
};

// The first byte of the record `span` of `script`.
const uint8_t* RecordBytes(const EventLogScript& script, const RecordSpan& span);

// What the program did with the log, for tests to check.
struct EventLogTrace {
    int opens = 0;
    int closes = 0;
    bool open = false;                   // a handle is outstanding
    std::vector<uint32_t> readSizes;     // buffer size of every read, in order
    std::vector<uint32_t> recordsBeforeRead;  // records delivered before each read began
    std::chrono::steady_clock::time_point lastReadEnd;  // when the latest read returned
};

// Makes `script` the log that the next open sees, and clears the trace. Any
// read past the 100,000th fails with 1460 (timeout), so that a program that
// never stops reading ends, and its test fails, instead of hanging.
void LoadEventLogScript(EventLogScript script);
const EventLogTrace& EventLogTraceSoFar();

// Appends a record in the EVENTLOGRECORD layout as the next older record.
// `size` is the whole record's length (at least 56, a multiple of 4); the
// record's own Length field says `lengthField`, or `size` when that is 0.
void AppendRecord(EventLogScript* script, uint32_t timeWritten, uint32_t eventId, uint16_t eventType,
                  uint32_t size = 56, uint32_t lengthField = 0);

// Reads a legacy .evt file (its ring unrolled, newest record first) into
// `script`. False with a one-line reason in *error when it is not such a log.
bool ParseEvtImage(const uint8_t* data, size_t size, EventLogScript* script, std::string* error);
bool LoadEvtFile(const char* path, EventLogScript* script, std::string* error);
// The same, with the records left in place in the image (or the file, mapped
// or read once), which the script shares: only a record that wraps round the
// end of the ring is copied, into script->bytes.
bool ParseEvtImageInPlace(std::shared_ptr<const uint8_t> image, size_t size, EventLogScript* script,
                          std::string* error);
bool LoadEvtFileInPlace(const char* path, EventLogScript* script, std::string* error);
