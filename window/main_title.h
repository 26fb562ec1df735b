// The main window's title, which tells how many boot cycles are listed.
#pragma once

#include <string>

constexpr const char* kMakerWebAddress = "https://www.orvensmith.com";

// "Tallyvane Version1.0 - Shows N items - Orvensmith: <web address>".
std::string MainWindowTitle(int cycleCount);
