// Records in the EVENTLOGRECORD layout, laid out by hand for the tests.

#include "test_support/record_builder.h"

#include <cstring>

namespace {

constexpr uint32_t kRecordSignature = 0x654C664C;  // "LfLe"

// Stores `value` at `at` in the machine's byte order, as the records hold it.
void PutU32(uint8_t* at, uint32_t value)
{
    std::memcpy(at, &value, sizeof value);
}

}  // namespace

// Lays out one record: Length, "LfLe", record number, both times, the ID and
// type, and the trailing copy of Length that ends every record.
void AppendRecord(EventLogScript* target, uint32_t timeWritten, uint32_t eventId, uint16_t eventType,
                  uint32_t size, uint32_t lengthField)
{
    const uint32_t offset = static_cast<uint32_t>(target->bytes.size());
    target->bytes.resize(offset + size);
    uint8_t* record = target->bytes.data() + offset;
    const uint32_t length = lengthField ? lengthField : size;
    PutU32(record + 0, length);
    PutU32(record + 4, kRecordSignature);
    PutU32(record + 8, static_cast<uint32_t>(target->newestFirst.size()) + 1);
    PutU32(record + 12, timeWritten - 60);  // generated a minute before it was written
    PutU32(record + 16, timeWritten);
    PutU32(record + 20, eventId);
    std::memcpy(record + 24, &eventType, sizeof eventType);
    PutU32(record + size - 4, length);
    target->newestFirst.push_back({target->imageSize + offset, size});
}
