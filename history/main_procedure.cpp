// The main procedure: read the System log once, newest first, into the
// boot-event table, then hand over to the window.

#include <cstdlib>
#include <memory>
#include <string>

#include "history/boot_history.h"
#include "history/platform.h"
#include "history/read_buffer_seam.h"

namespace {

// What readBufferAllocator starts as.
void* CallocReadBuffer(uint32_t size)
{
    return std::calloc(size, 1);
}

struct FreeDeleter {
    void operator()(uint8_t* block) const { std::free(block); }
};
using ReadBuffer = std::unique_ptr<uint8_t, FreeDeleter>;

// Shows an event-log failure: the literal followed at once by the code.
void ReportLogFailure(const char* literal, int64_t code)
{
    std::string text = literal;
    AppendSignedNumber(&text, code);
    PlatformMessageBox(text.c_str(), kProgramName, kErrorBoxStyle);
}

// Reads the whole log into the table. Ends quietly at the end of the log;
// any other failure is shown once and ends the reading with what was gathered.
// Regrowth that cannot help (no larger size, or no memory for it) is such a
// failure, since repeating the same read would loop for ever.
void ReadWholeLog(EventLogHandle log)
{
    uint32_t bufferSize = kInitialReadBufferSize;
    ReadBuffer readBuffer(static_cast<uint8_t*>(readBufferAllocator(bufferSize)));
    if (!readBuffer) {
        ReportLogFailure("Failed to read event log!", kErrorInsufficientBuffer);
        return;
    }
    for (;;) {
        uint32_t bytesRead = 0;
        uint32_t bytesNeeded = 0;
        if (PlatformReadEventLog(log, kBackwardsSequentialRead, 0, readBuffer.get(), bufferSize,
                                 &bytesRead, &bytesNeeded)) {
            // A read that delivers nothing would be repeated for ever.
            if (bytesRead == 0)
                return;
            ScanRecordBuffer(readBuffer.get(), bytesRead < bufferSize ? bytesRead : bufferSize);
            continue;
        }
        const uint32_t code = PlatformLastError();
        if (code == kErrorHandleEof)
            return;
        if (code == kErrorInsufficientBuffer && bytesNeeded > bufferSize) {
            ReadBuffer larger(static_cast<uint8_t*>(readBufferAllocator(bytesNeeded)));
            if (larger) {
                readBuffer = std::move(larger);
                bufferSize = bytesNeeded;
                continue;
            }
        }
        ReportLogFailure("Failed to read event log!", code);
        return;
    }
}

}  // namespace

// The seam of read_buffer_seam.h, plain calloc until a test replaces it.
void* (*readBufferAllocator)(uint32_t size) = CallocReadBuffer;

// Reads the System log into the table and shows the window. None of the four
// arguments is used; the result is always 0.
int TallyvaneMain(void*, void*, char*, int)
{
    EventLogHandle log = PlatformOpenEventLog("System");
    if (!log) {
        ReportLogFailure("Can't open event log!", static_cast<int32_t>(PlatformLastError()));
        return 0;
    }
    ResetBootEventTable();
    ReadWholeLog(log);
    PlatformCloseEventLog(log);
    ShowMainWindow();
    return 0;
}
