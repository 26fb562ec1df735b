// evt-replay FILE: runs the program's own scan over a saved System log (.evt
// or .evtx) and prints what the window would show: its title, then one line
// per row with the six texts joined by tabs. Times are local to the TZ in
// force. What a damaged file made it skip is said in one line on stderr.

#include <cstdio>
#include <string>
#include <utility>

#include "history/boot_history.h"
#include "savedlog/saved_log.h"
#include "test_support/record_source.h"
#include "test_support/window_recorder.h"

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
    char noArguments[] = "";
    TallyvaneMain(nullptr, nullptr, noArguments, 10);
    const std::string& text = RecordedWindowSoFar().text;
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}
