// The readers' side of the power history: a record that may be a power
// record (MayBePowerEvent) read closer, and appended as a PowerEvent when it is one.
#pragma once

#include <cstdint>
#include <vector>

#include "power/power_events.h"
#include "savedlog/binxml.h"

// The .evtx record `record` whose binary XML lies in [at, end) of `chunk`,
// and whose items ReadEventFields gave as `fields`.
void NoteEvtxPowerEvent(const EvtxChunk& chunk, uint32_t at, uint32_t end, uint64_t record,
                        const EventFields& fields, std::vector<PowerEvent>* events);
// The whole .evt record at `record`, `size` bytes: the event log service's
// own 6005, 6006, 6008 and 6009 are the power records such a log holds;
// with crashesOnly, only its 6008.
void NoteEvtPowerEvent(const uint8_t* record, uint32_t size, bool crashesOnly, std::vector<PowerEvent>* events);
