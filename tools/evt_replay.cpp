// evt-replay FILE: runs the program's own scan over a saved System log (.evt
// or .evtx) and prints what the window would show: its title, then one line
// per row with the six texts joined by tabs. Times are local to the TZ in
// force. What a damaged file made it skip is said in one line on stderr.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "history/boot_history.h"
#include "history/read_buffer_seam.h"
#include "savedlog/saved_log.h"
#include "test_support/record_source.h"
#include "test_support/window_recorder.h"

#include <sys/mman.h>

namespace {

constexpr size_t kHugePage = size_t{2} << 20;

// The program's read buffer on huge pages of its own: the records copied into
// it would otherwise fault in one small page at a time, which here costs
// about as much as the rest of a run over a 2 MB log.
void* HugePageReadBuffer(uint32_t size)
{
    const size_t length = (size_t{size} + kHugePage - 1) & ~(kHugePage - 1);
    void* buffer = std::aligned_alloc(kHugePage, length);
    if (buffer) {
        madvise(buffer, length, MADV_HUGEPAGE);
        std::memset(buffer, 0, size);
    }
    return buffer;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: evt-replay FILE.evt|FILE.evtx\n");
        return 2;
    }
    EventLogScript script;
    SkippedParts skipped;
    std::string error;
    if (!LoadSavedLog(argv[1], &script, &skipped, &error)) {
        std::fprintf(stderr, "evt-replay: %s: %s\n", argv[1], error.c_str());
        return 2;
    }
    const std::string damage = SkippedPartsText(skipped);
    if (!damage.empty())
        std::fprintf(stderr, "evt-replay: %s: %s\n", argv[1], damage.c_str());
    LoadEventLogScript(std::move(script));
    readBufferAllocator = HugePageReadBuffer;
    char noArguments[] = "";
    TallyvaneMain(nullptr, nullptr, noArguments, 10);
    const std::string& text = RecordedWindowSoFar().text;
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}
