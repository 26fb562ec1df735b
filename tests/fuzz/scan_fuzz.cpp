// Arbitrary bytes as one read's delivery: the walk must stay inside them and
// end, whatever their Lengths say, and the rows it stores must be formable.

#include <cstdint>
#include <cstring>
#include <memory>

#include "history/boot_history.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kInitialReadBufferSize)
        return 0;
    // An exact-size copy, so that reading one byte past the delivery is caught.
    std::unique_ptr<uint8_t[]> delivery(new uint8_t[size ? size : 1]);
    std::memcpy(delivery.get(), data, size);
    ResetBootEventTable();
    ScanRecordBuffer(delivery.get(), static_cast<uint32_t>(size));
    for (int r = 0; r < bootEventCount; ++r)
        FormCycleRow(r);
    return 0;
}
