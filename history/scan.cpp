// The walk over the records of one event-log read.

#include <cstring>

#include "history/boot_history.h"

namespace {

template <typename T>
T ReadField(const uint8_t* record, size_t offset)
{
    T value;
    std::memcpy(&value, record + offset, sizeof value);
    return value;
}

}  // namespace

// Stores the boot and stop markers among the records of one successful read,
// newest first. A record whose Length is below the record header or runs past
// byteCount ends the walk there: the log handed us something that is not a
// whole record, and its fields cannot be trusted.
void ScanRecordBuffer(const uint8_t* start, uint32_t byteCount)
{
    uint32_t position = 0;
    while (byteCount - position >= kRecordHeaderSize) {
        const uint8_t* record = start + position;
        const uint32_t length = ReadField<uint32_t>(record, kRecordLengthOffset);
        if (length < kRecordHeaderSize || length > byteCount - position)
            return;
        if (ReadField<uint16_t>(record, kRecordEventTypeOffset) == kInformationType) {
            const uint32_t eventId = ReadField<uint32_t>(record, kRecordEventIdOffset);
            if (eventId == kBootMarkerId)
                StoreBootStart(FormatEventTime(ReadField<uint32_t>(record, kRecordTimeWrittenOffset)));
            else if (eventId == kStopMarkerId)
                StoreBootStop(FormatEventTime(ReadField<uint32_t>(record, kRecordTimeWrittenOffset)));
        }
        position += length;
    }
}
