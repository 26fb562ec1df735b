// The failure message box for evt-replay and the tests: "caption: text" on
// stderr, and a record of every box for tests to check.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RecordedMessageBox {
    std::string text;
    std::string caption;
    uint32_t style;
};

// The boxes shown since the last ClearRecordedMessageBoxes, in order.
const std::vector<RecordedMessageBox>& RecordedMessageBoxes();
void ClearRecordedMessageBoxes();
// Stops the boxes from being echoed on stderr (fuzzing shows thousands).
void SilenceMessageBoxes(bool silent);
