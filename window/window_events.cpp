// What the main window does with its messages: fill the list at start, sort
// it on a header click, and end on Close, Escape, Enter or the close command.

#include "window/main_window.h"

namespace {

constexpr DWORD kCycleListExtendedStylesMask = 0;  // 0: replace every extended style

// Columns, rows, then the extended styles, before the window is first shown.
void OnInitialise(HWND window)
{
    CreateCycleColumns(window);
    FillCycleList(window);
    SendMessageA(GetDlgItem(window, kCycleListId), LVM_SETEXTENDEDLISTVIEWSTYLE, kCycleListExtendedStylesMask,
                 kCycleListExtendedStyles);
}

// A header click of the list sorts its rows by that column, ascending.
void OnNotify(WPARAM controlId, const NMHDR* header)
{
    if (controlId != kCycleListId || header->code != static_cast<UINT>(LVN_COLUMNCLICK))
        return;
    const auto* click = reinterpret_cast<const NMLISTVIEW*>(header);
    HWND list = click->hdr.hwndFrom;
    SendMessageA(list, LVM_SORTITEMS, reinterpret_cast<WPARAM>(click), reinterpret_cast<LPARAM>(&CompareCycleRows));
    RenumberRowKeys(list);
}

}  // namespace

// The main window's own callback. It never reports a message as handled, so
// the default handling always follows (the initialisation excepted, which
// comes directly from ShowMainWindow).
int32_t MainWindowCallback(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        OnInitialise(window);
        break;
    case WM_NOTIFY:
        OnNotify(wParam, reinterpret_cast<const NMHDR*>(lParam));
        break;
    }
    return 0;
}

// The Close button's callback: a click ends the window. It is only ever given
// the button's own commands, so it does not look at the control ID.
int32_t CloseButtonCallback(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
        EndMainWindow(window);
        return 1;
    }
    return 0;
}

// The one way the window ends: it is told it is closing, then destroyed.
void EndMainWindow(HWND window)
{
    SendMessageA(window, WM_CLOSE, 0, 0);
    DestroyWindow(window);
}
