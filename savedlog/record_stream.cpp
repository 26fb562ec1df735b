// Where a stream's records lie.

#include "savedlog/record_stream.h"

// Offsets below imageSize lie in the image; the rest index bytes after it.
const uint8_t* RecordBytes(const RecordStream& stream, const RecordSpan& span)
{
    if (span.offset < stream.imageSize)
        return stream.image.get() + span.offset;
    return stream.bytes.data() + (span.offset - stream.imageSize);
}
