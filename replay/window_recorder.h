// The window for evt-replay and the tests: instead of showing the boot cycles
// it records what the window would show, as text.
#pragma once

#include <string>

struct RecordedWindow {
    int shows = 0;     // calls of ShowMainWindow since the last clear
    std::string text;  // the title, then one line per row: six texts joined by tabs
};

const RecordedWindow& RecordedWindowSoFar();
void ClearRecordedWindow();
// What the window shows for the table as it stands, in the form above.
std::string WindowText();
