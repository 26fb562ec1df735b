// close-window.exe TITLE escape|button: closes another program's window the
// way a user would. Waits up to a minute for a shown top-level window whose
// title starts with TITLE, prints its whole title, then brings it to the front
// and presses Escape or clicks the middle of its Close button (control
// IDCANCEL) with real input. Exits 0 once the input is sent, 1 if no such
// window appeared, 2 for a usage error.

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "replay/real_input.h"

namespace {

constexpr DWORD kWaitMilliseconds = 60000;

struct WindowSearch {
    const char* titleStart;
    HWND found;
};

// Stops the enumeration at the first shown window whose title starts as asked.
// A named CALLBACK, not a lambda: on 32-bit x86 a lambda is not stdcall.
BOOL CALLBACK TakeTitledWindow(HWND window, LPARAM context)
{
    auto* search = reinterpret_cast<WindowSearch*>(context);
    char title[256] = "";
    GetWindowTextA(window, title, sizeof title);
    if (!IsWindowVisible(window) || std::strncmp(title, search->titleStart, std::strlen(search->titleStart)) != 0)
        return TRUE;
    search->found = window;
    return FALSE;
}

// The first shown top-level window titled as asked, waiting for it to appear; null if it never does.
HWND WaitForWindow(const char* titleStart)
{
    const DWORD start = GetTickCount();
    do {
        WindowSearch search{titleStart, nullptr};
        EnumWindows(&TakeTitledWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found)
            return search.found;
        Sleep(50);
    } while (GetTickCount() - start < kWaitMilliseconds);
    return nullptr;
}

// A click at a user's pace: the pointer comes to rest on the point, then the
// button goes down and, a moment later, up. Wine matches its own pointer
// moves with the X server's, and a click sent in one go can reach a window
// that has only just appeared before that has settled, and be lost.
void ClickSlowlyAt(POINT screen)
{
    const DWORD steps[] = {MOUSEEVENTF_MOVE, MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP};
    for (DWORD step : steps) {
        INPUT input = MouseInput(screen, step);
        SendInput(1, &input, sizeof input);
        Sleep(step == MOUSEEVENTF_MOVE ? 300 : 100);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3 || (std::strcmp(argv[2], "escape") != 0 && std::strcmp(argv[2], "button") != 0)) {
        std::fprintf(stderr, "usage: close-window TITLE escape|button\n");
        return 2;
    }
    HWND window = WaitForWindow(argv[1]);
    if (!window) {
        std::fprintf(stderr, "close-window: no window titled \"%s...\" appeared\n", argv[1]);
        return 1;
    }
    char title[256] = "";
    GetWindowTextA(window, title, sizeof title);
    std::printf("%s\n", title);
    std::fflush(stdout);
    SetForegroundWindow(window);
    if (std::strcmp(argv[2], "escape") == 0) {
        PressKeys({VK_ESCAPE});
    } else {
        RECT button{};
        GetWindowRect(GetDlgItem(window, IDCANCEL), &button);
        ClickSlowlyAt({(button.left + button.right) / 2, (button.top + button.bottom) / 2});
    }
    return 0;
}
