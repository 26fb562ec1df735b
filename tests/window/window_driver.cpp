// The window driver. ShowMainWindow only returns once its window is gone, so
// everything here runs from thread timers that the program's own loop
// dispatches.

#include "tests/window/window_driver.h"

#include <gtest/gtest.h>

#include <cstring>

#include "history/boot_history.h"
#include "window/main_window.h"

namespace {

constexpr UINT kWatchdogMilliseconds = 3000;

// The run in progress: what to do, and what happened so far.
struct Run {
    std::function<void(HWND)> action;
    Ending ending = Ending::ByDriver;
    HWND window = nullptr;
    bool acted = false;
    bool watchdogFired = false;
} run;

// Copies "YYYY/MM/DD HH:MM:SS" (or "") into the table's text form.
EventTimeText ToEventTimeText(const char* text)
{
    EventTimeText result{};
    std::strncpy(result.data(), text, result.size() - 1);
    return result;
}

// Acts on the window once it is up; a timer tick before that is ignored.
void CALLBACK DriveOnce(HWND, UINT, UINT_PTR timer, DWORD)
{
    HWND window = FindMainWindow();
    if (run.acted || !window)
        return;
    KillTimer(nullptr, timer);
    run.acted = true;
    run.window = window;
    run.action(window);
    if (run.ending == Ending::ByDriver && IsWindow(window))
        EndMainWindow(window);
}

// Ends a window that outlived its run, so that a failing test cannot hang.
void CALLBACK Watchdog(HWND, UINT, UINT_PTR timer, DWORD)
{
    KillTimer(nullptr, timer);
    run.watchdogFired = true;
    if (HWND window = FindMainWindow())
        EndMainWindow(window);
}

// An absolute mouse event at a screen point.
INPUT MouseInput(POINT screen, DWORD flags)
{
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dx = screen.x * 65535 / (GetSystemMetrics(SM_CXSCREEN) - 1);
    input.mi.dy = screen.y * 65535 / (GetSystemMetrics(SM_CYSCREEN) - 1);
    input.mi.dwFlags = flags | MOUSEEVENTF_ABSOLUTE;
    return input;
}

}  // namespace

void FillTable(const std::vector<CycleTimes>& cycles)
{
    ResetBootEventTable();
    for (const CycleTimes& cycle : cycles) {
        StoreBootStop(ToEventTimeText(cycle.stop));
        StoreBootStart(ToEventTimeText(cycle.start));
    }
}

void RunMainWindow(const std::function<void(HWND)>& action, Ending ending)
{
    run = Run{action, ending};
    const UINT_PTR drive = SetTimer(nullptr, 0, 10, &DriveOnce);
    const UINT_PTR watchdog = SetTimer(nullptr, 0, kWatchdogMilliseconds, &Watchdog);
    ShowMainWindow();
    KillTimer(nullptr, drive);
    KillTimer(nullptr, watchdog);
    EXPECT_TRUE(run.acted) << "the main window was never shown";
    EXPECT_FALSE(run.watchdogFired) << "the main window was still open after " << kWatchdogMilliseconds << " ms";
    EXPECT_FALSE(IsWindow(run.window)) << "ShowMainWindow returned with its window still there";
}

HWND FindMainWindow()
{
    HWND found = nullptr;
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND window, LPARAM context) -> BOOL {
            char title[32] = "";
            GetWindowTextA(window, title, sizeof title);
            if (!IsWindowVisible(window) || std::strncmp(title, "Tallyvane Version", 17) != 0)
                return TRUE;
            *reinterpret_cast<HWND*>(context) = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

bool PumpUntil(HWND window, UINT message, DWORD milliseconds)
{
    const DWORD start = GetTickCount();
    MSG msg;
    while (GetTickCount() - start < milliseconds) {
        if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            Sleep(1);
            continue;
        }
        if (!IsWindow(window) || !IsDialogMessageA(window, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (msg.message == message)
            return true;
    }
    return false;
}

void ClickAt(POINT screen)
{
    INPUT inputs[] = {MouseInput(screen, MOUSEEVENTF_MOVE), MouseInput(screen, MOUSEEVENTF_LEFTDOWN),
                      MouseInput(screen, MOUSEEVENTF_LEFTUP)};
    SendInput(3, inputs, sizeof inputs[0]);
}

void PressKeys(std::initializer_list<WORD> keys)
{
    std::vector<INPUT> inputs;
    for (WORD key : keys) {
        INPUT input{};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = key;
        inputs.push_back(input);
    }
    for (auto key = keys.end(); key != keys.begin();) {
        INPUT input{};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = *--key;
        input.ki.dwFlags = KEYEVENTF_KEYUP;
        inputs.push_back(input);
    }
    SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof inputs[0]);
}

bool ClickColumnHeader(HWND window, int column)
{
    HWND header = reinterpret_cast<HWND>(SendMessageA(CycleList(window), LVM_GETHEADER, 0, 0));
    RECT item{};
    SendMessageA(header, HDM_GETITEMRECT, column, reinterpret_cast<LPARAM>(&item));
    POINT middle{(item.left + item.right) / 2, (item.top + item.bottom) / 2};
    ClientToScreen(header, &middle);
    ClickAt(middle);
    return PumpUntil(window, WM_LBUTTONUP);
}

HWND CycleList(HWND window)
{
    return GetDlgItem(window, kCycleListId);
}

std::string WindowTitle(HWND window)
{
    char title[256] = "";
    GetWindowTextA(window, title, sizeof title);
    return title;
}

std::vector<std::vector<std::string>> ListRows(HWND window)
{
    HWND list = CycleList(window);
    std::vector<std::vector<std::string>> rows(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    for (size_t row = 0; row < rows.size(); ++row) {
        for (int column = 0; column < kCycleColumnCount; ++column) {
            char text[kListTextBufferSize] = "";
            LVITEMA cell{};
            cell.iSubItem = column;
            cell.pszText = text;
            cell.cchTextMax = sizeof text;
            SendMessageA(list, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&cell));
            rows[row].push_back(text);
        }
    }
    return rows;
}

std::vector<LPARAM> RowKeys(HWND window)
{
    HWND list = CycleList(window);
    std::vector<LPARAM> keys(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    for (size_t row = 0; row < keys.size(); ++row) {
        LVITEMA item{};
        item.mask = LVIF_PARAM;
        item.iItem = static_cast<int>(row);
        item.lParam = -1;
        SendMessageA(list, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
        keys[row] = item.lParam;
    }
    return keys;
}

RECT ChildRect(HWND control)
{
    RECT rect{};
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

RECT DialogUnitsToPixels(HWND window, RECT dialogUnits)
{
    MapDialogRect(window, &dialogUnits);
    return dialogUnits;
}
