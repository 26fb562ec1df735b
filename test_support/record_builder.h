// Records made by hand for the tests and benchmarks, in the layout the event
// log service delivers, for the cases no real log holds.
#pragma once

#include <cstdint>

#include "replay/record_source.h"

// Appends a record in the EVENTLOGRECORD layout as the next older record.
// `size` is the whole record's length (at least 56, a multiple of 4); the
// record's own Length field says `lengthField`, or `size` when that is 0.
void AppendRecord(EventLogScript* script, uint32_t timeWritten, uint32_t eventId, uint16_t eventType,
                  uint32_t size = 56, uint32_t lengthField = 0);
