// The legacy event log file (.evt): a 0x30-byte header, then the records as a
// ring that wraps from the end of the file back to offset 0x30, closed by a
// 0x28-byte end-of-log record. Listed in a record stream, newest first, in
// place in the file's image.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "savedlog/file_bytes.h"
#include "savedlog/saved_log.h"

namespace {

constexpr uint32_t kHeaderSize = 0x30;  // also where the ring starts
constexpr uint32_t kSignature = 0x654C664C;  // "LfLe"
constexpr uint32_t kMinRecordSize = 0x38;  // the fixed part of a record
constexpr uint32_t kEofSize = 0x28;
constexpr uint32_t kEofMarks[4] = {0x11111111, 0x22222222, 0x33333333, 0x44444444};
constexpr uint32_t kFlagDirty = 1;
constexpr size_t kReadAhead = 4096;  // how far ahead of the walk bytes are asked for ...
constexpr size_t kReadAheadLines = 4;  // ... in this many 64-byte lines per record

// The file as a ring: record bytes live in [kHeaderSize, size) and a run that
// reaches `size` goes on at kHeaderSize.
struct Ring {
    const uint8_t* data;
    uint32_t size;
};

// Copies `count` bytes (at most the ring's length) from ring offset `pos`,
// which must lie in [kHeaderSize, size), wrapping as needed. Returns the ring
// offset just past them.
uint32_t RingCopy(const Ring& ring, uint32_t pos, uint32_t count, uint8_t* out)
{
    while (count > 0) {
        const uint32_t run = std::min(count, ring.size - pos);
        std::memcpy(out, ring.data + pos, run);
        out += run;
        count -= run;
        pos += run;
        if (pos == ring.size)
            pos = kHeaderSize;
    }
    return pos;
}

// As RingCopy, appending to `out`.
uint32_t RingAppend(const Ring& ring, uint32_t pos, uint32_t count, std::vector<uint8_t>* out)
{
    while (count > 0) {
        const uint32_t run = std::min(count, ring.size - pos);
        out->insert(out->end(), ring.data + pos, ring.data + pos + run);
        count -= run;
        pos += run;
        if (pos == ring.size)
            pos = kHeaderSize;
    }
    return pos;
}

// Reads the ten dwords of the end-of-log record at ring offset `pos` into
// `fields` and says whether they carry its length and markers.
bool ReadEofRecord(const Ring& ring, uint32_t pos, uint32_t fields[10])
{
    uint8_t raw[kEofSize];
    const uint8_t* at = ring.data + pos;
    if (ring.size - pos < kEofSize) {
        // Cheap rejection first: scans call this at every dword of the ring.
        if (ring.size - pos >= 4 && GetU32(at) != kEofSize)
            return false;
        RingCopy(ring, pos, kEofSize, raw);
        at = raw;
    } else if (GetU32(at) != kEofSize) {
        return false;
    }
    for (int i = 0; i < 10; ++i)
        fields[i] = GetU32(at + 4 * i);
    return fields[1] == kEofMarks[0] && fields[2] == kEofMarks[1] && fields[3] == kEofMarks[2] &&
           fields[4] == kEofMarks[3] && fields[9] == kEofSize;
}

// Looks for the end-of-log record at every dword of the ring, starting at
// `hint` (where a stale header last saw it) and wrapping once round. True with
// its offset and fields when found.
bool FindEofRecord(const Ring& ring, uint32_t hint, uint32_t* pos, uint32_t fields[10])
{
    const uint32_t slots = (ring.size - kHeaderSize + 3) / 4;
    // The log only grows after the header was last written, so the record is
    // usually a little past the hint.
    uint32_t at = hint >= kHeaderSize && hint < ring.size ? hint - (hint - kHeaderSize) % 4 : kHeaderSize;
    for (uint32_t i = 0; i < slots; ++i) {
        // The first marker alone rules out nearly every dword, cheaply.
        const bool candidate = ring.size - at < 8 || GetU32(ring.data + at + 4) == kEofMarks[0];
        if (candidate && ReadEofRecord(ring, at, fields)) {
            *pos = at;
            return true;
        }
        at += 4;
        if (at >= ring.size)
            at = kHeaderSize;
    }
    return false;
}

}  // namespace

// Lists a .evt image's records newest first, in place in `image`, which the stream
// shares; only a record that wraps round the ring is copied, into stream->bytes.
// A bad image gives false, a one-line reason, and no change.
bool ParseEvtImageInPlace(std::shared_ptr<const uint8_t> image, size_t size, RecordStream* stream,
                          std::string* error)
{
    const uint8_t* data = image.get();
    if (size < kHeaderSize)
        return FailWithReason(error, "file is %u bytes, too short for the header", static_cast<unsigned>(size));
    if (size > UINT32_MAX)
        return FailWithReason(error, "file is too large for 32-bit offsets");
    if (GetU32(data + 4) != kSignature)
        return FailWithReason(error, "bad header signature");
    if (GetU32(data) != kHeaderSize || GetU32(data + 44) != kHeaderSize)
        return FailWithReason(error, "bad header size %u/%u", GetU32(data), GetU32(data + 44));
    if (GetU32(data + 8) != 1 || GetU32(data + 12) != 1)
        return FailWithReason(error, "unsupported version %u.%u", GetU32(data + 8), GetU32(data + 12));

    const Ring ring = {data, static_cast<uint32_t>(size)};
    if (ring.size - kHeaderSize < kEofSize)
        return FailWithReason(error, "file is %u bytes, too short for the end-of-log record", ring.size);
    const auto inRing = [&](uint32_t offset) { return offset >= kHeaderSize && offset < ring.size; };

    const uint32_t flags = GetU32(data + 36);
    uint32_t begin = GetU32(data + 16);
    uint32_t end = GetU32(data + 20);
    uint32_t eof[10];
    if (flags & kFlagDirty) {
        // The header was not rewritten after the last writes; the end-of-log
        // record was, and it knows the real extent of the records.
        if (!FindEofRecord(ring, end, &end, eof))
            return FailWithReason(error, "dirty log without an end-of-log record");
        begin = eof[5];
    } else {
        if (!inRing(end))
            return FailWithReason(error, "end offset 0x%x is outside the file", end);
        if (!ReadEofRecord(ring, end, eof))
            return FailWithReason(error, "no end-of-log record at end offset 0x%x", end);
    }
    if (eof[6] != end)
        return FailWithReason(error, "end-of-log record at offset 0x%x gives its offset as 0x%x", end, eof[6]);
    if (!inRing(begin))
        return FailWithReason(error, "start offset 0x%x is outside the file", begin);

    // Bytes from the oldest record round to the end-of-log record, including
    // any filler at the end of the file: the walk must use up exactly these.
    const uint32_t extent = end >= begin ? end - begin : (ring.size - begin) + (end - kHeaderSize);
    std::vector<uint8_t> wrapped;  // records split by the end of the file, each made whole
    std::vector<RecordSpan> spans;
    spans.reserve(extent / kMinRecordSize);

    uint32_t pos = begin;
    uint32_t left = extent;
    while (left > 0) {
        const uint32_t room = ring.size - pos;
        if (room < kMinRecordSize) {
            // Too little room for a record's fixed part: the writer filled the
            // tail of the file and put the next record at the ring's start.
            if (room > left)
                return FailWithReason(error, "end offset 0x%x lies in the filler at the end of the file", end);
            left -= room;
            pos = kHeaderSize;
            continue;
        }
        // Each hop of the walk waits on bytes that nothing has read yet; asking
        // for those a page ahead lets the waits overlap.
        for (size_t line = 0; line < kReadAheadLines; ++line)
            __builtin_prefetch(data + std::min<size_t>(pos + kReadAhead + 64 * line, ring.size - 1));
        const uint32_t length = GetU32(data + pos);
        if (length < kMinRecordSize)
            return FailWithReason(error, "record at offset 0x%x has length %u", pos, length);
        if (length > left)
            return FailWithReason(error, "record at offset 0x%x has length %u, past the end of the log", pos, length);
        // A record that ends at the end of the file leaves pos at ring.size,
        // which the next turn treats as filler of no bytes.
        uint32_t offset = pos;
        uint32_t next = pos + length;
        const uint8_t* record = data + pos;
        if (length > room) {
            offset = ring.size + static_cast<uint32_t>(wrapped.size());
            next = RingAppend(ring, pos, length, &wrapped);
            record = wrapped.data() + wrapped.size() - length;
        }
        if (GetU32(record + 4) != kSignature)
            return FailWithReason(error, "record at offset 0x%x has a bad signature", pos);
        const uint32_t trailing = GetU32(record + length - 4);
        if (trailing != length)
            return FailWithReason(error, "record at offset 0x%x has length %u but trailing length %u", pos, length,
                        trailing);
        spans.push_back({offset, length});
        left -= length;
        pos = next;
    }

    std::reverse(spans.begin(), spans.end());
    stream->bytes.swap(wrapped);
    stream->newestFirst.swap(spans);
    stream->image = std::move(image);
    stream->imageSize = ring.size;
    return true;
}
