// A System event log of our own for evt-replay, tallyvane-replay.exe and the
// tests: the records of a saved log file (savedlog/), or of records made by
// hand (test_support/), delivered through the event-log seam as the platform
// does (whole records, newest first, 122 with the size needed for a record
// that does not fit, 38 at the end), with failures on demand.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "savedlog/record_stream.h"

// A saved log to serve, with the failures to script into it.
struct EventLogScript : RecordStream {
    uint32_t openError = 0;               // non-zero: the open fails with this code
    uint32_t failingRead = 0;             // 1-based read that fails; 0 for none
    uint32_t failingReadCode = 0;
    uint32_t bogusShortRead = 0;          // 1-based read that reports 122 ...
    uint32_t bogusShortReadNeeded = 0;    // ... with this size needed
    uint32_t emptyReadsFrom = 0;          // 1-based read from which every read succeeds with 0 bytes
};

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
