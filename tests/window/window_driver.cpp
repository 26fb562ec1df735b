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
    bool watchdogFired = false;
} run;

// Stops the enumeration at the visible main window and stores it in *context.
// A named CALLBACK, not a lambda: on 32-bit x86 a lambda is not stdcall.
BOOL CALLBACK TakeMainWindow(HWND window, LPARAM context)
{
    char title[32] = "";
    GetWindowTextA(window, title, sizeof title);
    if (!IsWindowVisible(window) || std::strncmp(title, "Tallyvane Version", 17) != 0)
        return TRUE;
    *reinterpret_cast<HWND*>(context) = window;
    return FALSE;
}

// The thread's visible main window, or null.
HWND FindMainWindow()
{
    HWND found = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), &TakeMainWindow, reinterpret_cast<LPARAM>(&found));
    return found;
}

// Acts on the window once it is up; a tick before that, or after, does nothing.
void CALLBACK DriveOnce(HWND, UINT, UINT_PTR timer, DWORD)
{
    HWND window = FindMainWindow();
    if (run.window || !window)
        return;
    KillTimer(nullptr, timer);
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

}  // namespace

void FillTable(const std::vector<CycleTimes>& cycles)
{
    ResetBootEventTable();
    for (const CycleTimes& cycle : cycles) {
        EventTimeText start{}, stop{};
        std::strncpy(start.data(), cycle.start, start.size() - 1);
        std::strncpy(stop.data(), cycle.stop, stop.size() - 1);
        StoreBootStop(stop);
        StoreBootStart(start);
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
    EXPECT_TRUE(run.window) << "the main window was never shown";
    EXPECT_FALSE(run.watchdogFired) << "the main window was still open after " << kWatchdogMilliseconds << " ms";
    EXPECT_FALSE(IsWindow(run.window)) << "ShowMainWindow returned with its window still there";
}

bool DragMouse(HWND window, POINT from, POINT to)
{
    INPUT start = MouseInput(from, MOUSEEVENTF_MOVE);
    SendInput(1, &start, sizeof start);
    const POINT half{(from.x + to.x) / 2, (from.y + to.y) / 2};
    const struct {
        POINT at;
        DWORD flags;
        UINT handled;
    } steps[] = {{from, MOUSEEVENTF_LEFTDOWN, WM_LBUTTONDOWN}, {half, MOUSEEVENTF_MOVE, WM_MOUSEMOVE},
                 {to, MOUSEEVENTF_MOVE, WM_MOUSEMOVE}, {to, MOUSEEVENTF_LEFTUP, WM_LBUTTONUP}};
    for (const auto& step : steps) {
        INPUT input = MouseInput(step.at, step.flags);
        SendInput(1, &input, sizeof input);
        if (!PumpUntil(window, [&](const MSG& msg) { return msg.message == step.handled; }))
            return false;
    }
    return true;
}

HWND CycleList(HWND window)
{
    return GetDlgItem(window, kCycleListId);
}

HWND CycleListHeader(HWND window)
{
    return reinterpret_cast<HWND>(SendMessageA(CycleList(window), LVM_GETHEADER, 0, 0));
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

std::vector<uint32_t> ListRowPixels(HWND window)
{
    HWND list = CycleList(window);
    RECT header{}, client{};
    GetWindowRect(CycleListHeader(window), &header);
    MapWindowPoints(nullptr, list, reinterpret_cast<POINT*>(&header), 2);
    GetClientRect(list, &client);
    const int width = client.right, height = client.bottom - header.bottom;
    BITMAPINFO format{};
    format.bmiHeader = {sizeof format.bmiHeader, width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HDC screen = GetDC(list);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateDIBSection(memory, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, 0, header.bottom, SRCCOPY);
    const auto* first = static_cast<const uint32_t*>(bits);
    std::vector<uint32_t> pixels(first, first + size_t(width) * height);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(list, screen);
    return pixels;
}
