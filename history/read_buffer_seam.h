// Where the main procedure gets its read buffers: a seam so that tests can
// make any one allocation fail, which no log can bring about on demand, and
// evt-replay can put the buffer on huge pages.
#pragma once

#include <cstdint>

// Returns `size` zeroed bytes to release with std::free, or null when there is
// no memory. calloc's own unless a test or evt-replay puts another here.
extern void* (*readBufferAllocator)(uint32_t size);
