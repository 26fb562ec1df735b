// The .evtx reader fed one chunk slot at a time, so that a file read from a
// descriptor needs only one slot in memory besides the records it yields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "savedlog/saved_log.h"

constexpr uint32_t kEvtxHeaderBlock = 0x1000;  // the file header's block; the first chunk slot follows
constexpr uint32_t kEvtxChunkSize = 0x10000;   // every chunk slot's size
// Each record becomes 64 bytes and takes at least 32: offsets into the
// records stay below 4 GiB.
constexpr uint64_t kEvtxMaxFileSize = UINT32_MAX / 2;

// What the records read so far say of where the log comes from, carried
// from one chunk to the next: the identifiers of the newest record, of the
// newest boot record and of the newest uptime record taken, newest as the
// records are delivered: by identifier, and of equal ones the later in the file.
struct FactsWalk {
    LogFacts* facts = nullptr;
    bool anyTaken = false, bootTaken = false, uptimeTaken = false;
    uint64_t newestId = 0, bootId = 0, uptimeId = 0;
};

// What a walk has gathered so far: the synthesized records in file order and
// what the ordering and the damage counts need across chunks.
struct EvtxWalk {
    std::vector<uint8_t> records;
    SkippedParts skipped;
    uint64_t previousId = 0;
    bool ordered = true;
    FactsWalk factsWalk;     // its facts point at the caller's, or at unwantedFacts
    LogFacts unwantedFacts;
    // What the file header counts, against which a file cut short is measured.
    uint32_t chunksCounted = 0;
    uint64_t nextId = 0;
    uint32_t wholeSlots = 0;
    bool partialSlot = false;  // the file ends inside a slot
};

// Checks the file header, `size` bytes at `header`: the whole header block, or
// the whole file when shorter. `fileSize` is the file's size when known, else
// 0; the record block is made ready for `expectedRecords`. False with a
// one-line reason when the file is no .evtx log.
bool BeginEvtxWalk(const uint8_t* header, size_t size, uint64_t fileSize, size_t expectedRecords, EvtxWalk* walk,
                   std::string* error, LogFacts* facts);
// Walks the chunk slot at `chunk`, `available` bytes of it read (fewer than a
// slot only at the end of the file), appending its records.
void WalkEvtxChunk(EvtxWalk* walk, const uint8_t* chunk, uint32_t available);
// Hands the records, newest first, and the damage counts over.
void EndEvtxWalk(EvtxWalk* walk, RecordStream* stream, SkippedParts* skipped);
// How many records a slot is likely to hold, judged from the file's size alone.
size_t GuessedEvtxRecords(uint64_t fileSize);
