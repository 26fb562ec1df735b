// A saved event log as the event log service would hand it out: whole records
// in the EVENTLOGRECORD layout, listed newest first. The readers of saved
// files fill one; the record source serves it through the event-log seam.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

// Where one record lies: in RecordStream::image below its imageSize, and in
// RecordStream::bytes from imageSize on (see RecordBytes).
struct RecordSpan {
    uint32_t offset;
    uint32_t size;
};

struct RecordStream {
    std::vector<uint8_t> bytes;            // the records' bytes, in any order
    std::vector<RecordSpan> newestFirst;   // the order of delivery
    std::shared_ptr<const uint8_t> image;  // a file image whose records are served in place ...
    uint32_t imageSize = 0;                // ... and its size; 0 for records all in bytes
};

// The first byte of the record `span` of `stream`.
const uint8_t* RecordBytes(const RecordStream& stream, const RecordSpan& span);
