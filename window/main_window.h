// The main window: its controls, its callbacks and the boot-cycle list.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <type_traits>

// Control IDs: the list, and the Close button, which is also the cancel ID
// that Escape reaches.
constexpr int kCycleListId = 100;
constexpr int kCloseButtonId = IDCANCEL;

// The list's extended styles: grid lines, draggable headers, full-row
// selection, flat scroll bars.
constexpr DWORD kCycleListExtendedStyles = 0x131;

// Every text handed to or read from the list goes through a buffer this big.
constexpr int kListTextBufferSize = 1040;

struct CycleColumnHeader {
    const char* title;
    int width;
};
constexpr CycleColumnHeader kCycleColumns[] = {
    {"Index", 50},     {"Start Date", 80}, {"Start Time", 70},
    {"Stop Date", 80}, {"Stop Time", 70},  {"Elapsed Time", 228},
};

// A window callback: nonzero means the message was handled.
using WindowCallback = int32_t (*)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// --- window_events.cpp
int32_t MainWindowCallback(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
int32_t CloseButtonCallback(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void EndMainWindow(HWND window);

// --- cycle_list.cpp
void CreateCycleColumns(HWND window);
void FillCycleList(HWND window);
int CALLBACK CompareCycleRows(LPARAM key1, LPARAM key2, LPARAM sortParameter);
void RenumberRowKeys(HWND list);

// The comparison is called by the list view with the convention it expects;
// on 32-bit x86 a mismatch would corrupt the stack on every comparison.
static_assert(std::is_same_v<decltype(&CompareCycleRows), PFNLVCOMPARE>, "CompareCycleRows must be a PFNLVCOMPARE");
// Addresses travel in message parameters.
static_assert(sizeof(WPARAM) == sizeof(void*) && sizeof(LPARAM) == sizeof(void*),
              "message parameters must hold a pointer");
