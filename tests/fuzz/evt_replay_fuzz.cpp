// Arbitrary file bytes through the .evt reader and, when it accepts them, the
// whole replay: read loop, walk, table and the texts the window would show.

#include <cstdint>
#include <string>
#include <utility>

#include "history/boot_history.h"
#include "replay/message_box_recorder.h"
#include "replay/record_source.h"
#include "power/power_history.h"
#include "savedlog/saved_log.h"
#include "tests/fuzz/power_fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    SilenceMessageBoxes(true);
    EventLogScript script;
    SkippedParts skipped;
    std::string error;
    // Facts asked for or not, by the input's length.
    LogFacts facts;
    LogFacts* wanted = size % 2 ? &facts : nullptr;
    // With the facts, the power records too, and the history made of them.
    std::vector<PowerEvent> power;
    facts.power = &power;
    // In place, as evt-replay reads: the input outlives the replay.
    if (!ParseEvtImageInPlace({data, [](const uint8_t*) {}}, size, &script, &skipped, &error, wanted))
        return 0;
    if (wanted)
        CheckPowerHistory(power);
    LoadEventLogScript(std::move(script));
    ClearRecordedMessageBoxes();
    char noArguments[] = "";
    TallyvaneMain(nullptr, nullptr, noArguments, 10);
    return 0;
}
