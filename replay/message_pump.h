// The main window's messages dispatched as the program's own loop does, for
// the drivers that act on the window from its thread: the window tests and
// tallyvane-replay.exe.
#pragma once

#include <windows.h>

#include <functional>

// Dispatches the thread's messages the way the program's loop does, until
// `done` holds for one just dispatched (true) or `milliseconds` have passed.
// With `dispatchMs`, stores how long that last message took to handle.
bool PumpUntil(HWND window, const std::function<bool(const MSG&)>& done, DWORD milliseconds = 3000,
               double* dispatchMs = nullptr);

// A real click on the middle of the header of list column `column`, wherever
// the header shows it; returns once the button-up, and with it any sort, has
// been handled (false if it was not within `milliseconds`). With
// `sortMs`, stores how long handling the button-up took.
bool ClickColumnHeader(HWND window, int column, DWORD milliseconds = 3000, double* sortMs = nullptr);
