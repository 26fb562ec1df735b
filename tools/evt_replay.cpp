// evt-replay FILE: runs the program's own scan over a saved System log and
// prints what the window would show: its title, then one line per row with
// the six texts joined by tabs. Times are local to the TZ in force.

#include <cstdio>
#include <string>
#include <utility>

#include "history/boot_history.h"
#include "test_support/record_source.h"
#include "test_support/window_recorder.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: evt-replay FILE.evt\n");
        return 2;
    }
    EventLogScript script;
    std::string error;
    if (!LoadEvtFileInPlace(argv[1], &script, &error)) {
        std::fprintf(stderr, "evt-replay: %s: %s\n", argv[1], error.c_str());
        return 2;
    }
    LoadEventLogScript(std::move(script));
    char noArguments[] = "";
    TallyvaneMain(nullptr, nullptr, noArguments, 10);
    const std::string& text = RecordedWindowSoFar().text;
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}
