// Drives the real main window from inside its own message loop: the table it
// shows, real mouse and keyboard input, and what can be read back from it.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

// One boot cycle as the scan would store it; an empty stop means none was seen.
struct CycleTimes {
    const char* start;
    const char* stop;
};

// Empties the boot-event table and fills it with `cycles`, newest first.
void FillTable(const std::vector<CycleTimes>& cycles);

// How a run expects the window to end: the driver ends it after the action,
// or the action itself has made the window close (through input or a command)
// and the program's own loop must finish the job.
enum class Ending { ByDriver, ByAction };

// Runs ShowMainWindow and calls `action` once the window is shown. Records a
// failure if the window never shows, or is still open 3 s later.
void RunMainWindow(const std::function<void(HWND window)>& action, Ending ending = Ending::ByDriver);

// The thread's visible main window, or null.
HWND FindMainWindow();

// Dispatches the thread's messages the way the program's loop does, until one
// of kind `message` has been dispatched (true) or `milliseconds` have passed.
bool PumpUntil(HWND window, UINT message, DWORD milliseconds = 3000);

// A real left click at a screen point. The program's loop, or PumpUntil,
// handles it.
void ClickAt(POINT screen);
// Presses `keys` in order and releases them in reverse, as real input.
void PressKeys(std::initializer_list<WORD> keys);

// A real click on the header of list column `column`, wherever it is shown;
// returns once the button-up has been handled, and with it any sort.
bool ClickColumnHeader(HWND window, int column);

HWND CycleList(HWND window);
std::string WindowTitle(HWND window);
// Every row's six texts, top to bottom.
std::vector<std::vector<std::string>> ListRows(HWND window);
// Every row's key (its lParam), top to bottom.
std::vector<LPARAM> RowKeys(HWND window);
// A control's rectangle in the client coordinates of its parent.
RECT ChildRect(HWND control);
// A rectangle in dialog units converted to pixels for `window`'s font.
RECT DialogUnitsToPixels(HWND window, RECT dialogUnits);
