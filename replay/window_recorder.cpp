// ShowMainWindow for evt-replay and the tests.

#include "history/boot_history.h"
#include "replay/window_recorder.h"
#include "window/main_title.h"

namespace {

RecordedWindow window;

}  // namespace

const RecordedWindow& RecordedWindowSoFar()
{
    return window;
}

void ClearRecordedWindow()
{
    window = RecordedWindow{};
}

std::string WindowText()
{
    std::string text = MainWindowTitle(bootEventCount);
    text += '\n';
    for (int r = 0; r < bootEventCount; ++r) {
        const CycleRow row = FormCycleRow(r);
        for (int column = 0; column < kCycleColumnCount; ++column) {
            if (column)
                text += '\t';
            text += row[column];
        }
        text += '\n';
    }
    return text;
}

void ShowMainWindow()
{
    ++window.shows;
    window.text = WindowText();
}
