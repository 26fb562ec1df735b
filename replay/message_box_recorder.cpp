// The failure message box for evt-replay and the tests.

#include <cstdio>

#include "history/platform.h"
#include "replay/message_box_recorder.h"

namespace {

std::vector<RecordedMessageBox> boxes;
bool silenced = false;

}  // namespace

const std::vector<RecordedMessageBox>& RecordedMessageBoxes()
{
    return boxes;
}

void ClearRecordedMessageBoxes()
{
    boxes.clear();
}

void SilenceMessageBoxes(bool silent)
{
    silenced = silent;
}

void PlatformMessageBox(const char* text, const char* caption, uint32_t style)
{
    boxes.push_back({text, caption, style});
    if (!silenced)
        std::fprintf(stderr, "%s: %s\n", caption, text);
}
