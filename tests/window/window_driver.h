// Drives the real main window from inside its own message loop: the table it
// shows, real mouse and keyboard input, and what can be read back from it.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "replay/message_pump.h"
#include "replay/real_input.h"

// One boot cycle as the scan would store it; an empty stop means none was seen.
struct CycleTimes {
    const char* start;
    const char* stop;
};

// Empties the boot-event table and fills it with `cycles`, newest first.
void FillTable(const std::vector<CycleTimes>& cycles);

// How a run expects the window to end: the driver ends it after the action,
// or the action has made it close and the program's own loop must finish.
enum class Ending { ByDriver, ByAction };

// Runs ShowMainWindow and calls `action` once the window is shown. Records a
// failure if the window never shows, or is still open 3 s later.
void RunMainWindow(const std::function<void(HWND window)>& action, Ending ending = Ending::ByDriver);

// A real drag with the left button between two screen points; returns once
// the button-up has been handled.
bool DragMouse(HWND window, POINT from, POINT to);

HWND CycleList(HWND window);
HWND CycleListHeader(HWND window);
std::string WindowTitle(HWND window);
// Every row's six texts, top to bottom.
std::vector<std::vector<std::string>> ListRows(HWND window);
// The pixels the list shows below its header, as they are on the screen now.
std::vector<uint32_t> ListRowPixels(HWND window);

// Rectangles compared and printed as a failing check shows them.
inline bool operator==(const RECT& a, const RECT& b)
{
    return EqualRect(&a, &b);
}
inline void PrintTo(const RECT& r, std::ostream* out)
{
    *out << "{" << r.left << ", " << r.top << ", " << r.right << ", " << r.bottom << "}";
}
