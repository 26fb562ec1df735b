// The .evtx file of Vista and later (placeholder until the reader lands).

#include "savedlog/saved_log.h"

bool ParseEvtxImage(const uint8_t*, size_t, RecordStream*, SkippedParts*, std::string* error)
{
    *error = "unsupported";
    return false;
}
