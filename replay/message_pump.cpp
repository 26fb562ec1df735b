// Message dispatch and header clicks shared by the window tests and the
// replay driver.

#include "replay/message_pump.h"

#include <commctrl.h>

#include <chrono>

#include "replay/real_input.h"
#include "window/main_window.h"

bool PumpUntil(HWND window, const std::function<bool(const MSG&)>& done, DWORD milliseconds, double* dispatchMs)
{
    const DWORD start = GetTickCount();
    MSG msg;
    while (GetTickCount() - start < milliseconds) {
        if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            Sleep(1);
            continue;
        }
        const auto dispatched = std::chrono::steady_clock::now();
        if (!IsWindow(window) || !IsDialogMessageA(window, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (done(msg)) {
            if (dispatchMs)
                *dispatchMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - dispatched)
                                  .count();
            return true;
        }
    }
    return false;
}

// A header click sorts the list while its button-up is handled, so once that
// has been dispatched the sort is over.
bool ClickColumnHeader(HWND window, int column, DWORD milliseconds, double* sortMs)
{
    HWND header = reinterpret_cast<HWND>(SendMessageA(GetDlgItem(window, kCycleListId), LVM_GETHEADER, 0, 0));
    RECT item{};
    SendMessageA(header, HDM_GETITEMRECT, column, reinterpret_cast<LPARAM>(&item));
    POINT middle{(item.left + item.right) / 2, (item.top + item.bottom) / 2};
    ClientToScreen(header, &middle);
    ClickAt(middle);
    return PumpUntil(window, [](const MSG& msg) { return msg.message == WM_LBUTTONUP; }, milliseconds, sortMs);
}
