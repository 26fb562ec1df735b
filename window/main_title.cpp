// The main window's title. It needs no window, so native tools share it.

#include "history/boot_history.h"
#include "window/main_title.h"

namespace {

// The title shows only the major and minor parts of the program's version.
constexpr const char* kVersionText = "1.0.0.1";

}  // namespace

std::string MainWindowTitle(int cycleCount)
{
    std::string title = "Tallyvane Version";
    title.append(kVersionText, 3);
    title += " - Shows";
    AppendSignedNumber(&title, cycleCount);
    title += " items - Orvensmith: ";
    title += kMakerWebAddress;
    return title;
}
