// The main window: built hidden from an in-memory dialog template, given its
// list and Close button, initialised, shown, and run by a polling loop until
// it has been destroyed.

#include <objbase.h>

#include <cstring>
#include <string>
#include <vector>

#include "history/boot_history.h"
#include "window/main_title.h"
#include "window/main_window.h"

namespace {

// The window's template: a captioned, centred dialog with a system menu and
// no sizing border, in Comic Sans MS 8 pt, its size in dialog units.
constexpr DWORD kMainWindowStyle = WS_CAPTION | WS_SYSMENU | DS_CENTER | DS_SETFONT | DS_NOFAILCREATE | DS_3DLOOK;
constexpr DWORD kMainWindowExStyle = WS_EX_CONTROLPARENT;
constexpr short kMainWindowWidth = 360;
constexpr short kMainWindowHeight = 235;
// The template's coordinates are 16-bit: CW_USEDEFAULT keeps its low half,
// 0, and DS_CENTER then places the window in the middle of the work area.
constexpr short kDefaultPosition = static_cast<short>(CW_USEDEFAULT & 0xFFFF);
constexpr WORD kFontPoints = 8;
constexpr WORD kFontWeight = FW_NORMAL;
constexpr wchar_t kFontFace[] = L"Comic Sans MS";

struct ChildControl {
    const char* windowClass;
    int id;
    const char* text;
    RECT rect;  // in dialog units: left, top, right, bottom
    DWORD style;
    WindowCallback callback;
};
const ChildControl kChildControls[] = {
    {"syslistview32", kCycleListId, "", {10, 10, 350, 210}, WS_CHILD | WS_VISIBLE | LVS_REPORT, nullptr},
    {"BUTTON", kCloseButtonId, "Close", {148, 215, 208, 229}, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
     &CloseButtonCallback},
};

// Controls with a callback of their own, which see their commands first.
struct ControlCallback {
    HWND control;
    WindowCallback callback;
};
std::vector<ControlCallback> controlCallbacks;

template <typename T>
void Put(std::vector<BYTE>* bytes, const T& value)
{
    const auto* first = reinterpret_cast<const BYTE*>(&value);
    bytes->insert(bytes->end(), first, first + sizeof value);
}

// The extended dialog template: no menu, the system's dialog class, an empty
// caption (set afterwards), no controls, and the font.
std::vector<BYTE> MainWindowTemplate()
{
    std::vector<BYTE> bytes;
    Put<WORD>(&bytes, 1);       // dlgVer
    Put<WORD>(&bytes, 0xFFFF);  // signature of the extended form
    Put<DWORD>(&bytes, 0);      // helpID
    Put<DWORD>(&bytes, kMainWindowExStyle);
    Put<DWORD>(&bytes, kMainWindowStyle);
    Put<WORD>(&bytes, 0);  // no controls: they are made with CreateWindowExA
    Put<short>(&bytes, kDefaultPosition);
    Put<short>(&bytes, kDefaultPosition);
    Put<short>(&bytes, kMainWindowWidth);
    Put<short>(&bytes, kMainWindowHeight);
    Put<WORD>(&bytes, 0);  // menu
    Put<WORD>(&bytes, 0);  // class
    Put<WORD>(&bytes, 0);  // caption
    Put<WORD>(&bytes, kFontPoints);
    Put<WORD>(&bytes, kFontWeight);
    Put<BYTE>(&bytes, FALSE);  // italic
    Put<BYTE>(&bytes, ANSI_CHARSET);
    for (wchar_t c : kFontFace)
        Put<WORD>(&bytes, static_cast<WORD>(c));
    bytes.resize((bytes.size() + 3) & ~size_t{3});
    return bytes;
}

// Gives a WM_COMMAND to the callback of the control that sent it.
bool RouteToControl(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!GetDlgItem(window, LOWORD(wParam)))
        return false;
    for (const ControlCallback& entry : controlCallbacks)
        if (entry.control == reinterpret_cast<HWND>(lParam))
            return entry.callback(window, message, wParam, lParam) != 0;
    return false;
}

// The handling that follows when no callback has handled a message: the close
// command ends the window, everything else is the platform's.
INT_PTR DefaultHandling(HWND window, UINT message, WPARAM wParam)
{
    if (message == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_CLOSE) {
        EndMainWindow(window);
        return TRUE;
    }
    return FALSE;
}

// The window's message procedure: control callbacks first for commands, then
// MainWindowCallback, then the default handling. The platform's own
// initialisation and activation messages are not passed on.
INT_PTR CALLBACK MainWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_ACTIVATE:
    case WM_ACTIVATEAPP:
    case WM_NCACTIVATE:
        return FALSE;
    case WM_COMMAND:
        if (RouteToControl(window, message, wParam, lParam))
            return TRUE;
        break;
    }
    MainWindowCallback(window, message, wParam, lParam);
    return DefaultHandling(window, message, wParam);
}
static_assert(std::is_same_v<decltype(&MainWindowProcedure), DLGPROC>, "MainWindowProcedure must be a DLGPROC");

// Creates a child control at its rectangle in dialog units, in the window's font.
HWND AddChildControl(HWND window, HFONT font, const ChildControl& control)
{
    RECT rect = control.rect;
    MapDialogRect(window, &rect);
    HWND child = CreateWindowExA(0, control.windowClass, control.text, control.style, rect.left, rect.top,
                                 rect.right - rect.left, rect.bottom - rect.top, window,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(control.id)),
                                 GetModuleHandleA(nullptr), nullptr);
    SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    if (control.callback)
        controlCallbacks.push_back({child, control.callback});
    return child;
}

// The big and the small icon from the icon group; no small one without a big one.
void SetWindowIcons(HWND window)
{
    HINSTANCE instance = GetModuleHandleA(nullptr);
    HANDLE big = LoadImageA(instance, "APPICON", IMAGE_ICON, 32, 32, 0);
    if (!big)
        return;
    SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    HANDLE small = LoadImageA(instance, "APPICON", IMAGE_ICON, 16, 16, 0);
    if (small)
        SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
}

// Runs the window until it has been destroyed. The loop polls, so it never
// waits on a message; a quit message does not end it.
void RunMessageLoop(HWND window)
{
    MSG message;
    for (;;) {
        if (!PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            Sleep(1);
            continue;
        }
        if (!IsWindow(window) || !IsDialogMessageA(window, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        if (!IsWindow(window))
            return;
    }
}

}  // namespace

// Builds the window, initialises it while still hidden, shows it and runs it
// until it has been destroyed.
void ShowMainWindow()
{
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);

    const std::string title = MainWindowTitle(bootEventCount);
    const std::vector<BYTE> dialogTemplate = MainWindowTemplate();
    HWND window = CreateDialogIndirectParamA(GetModuleHandleA(nullptr),
                                             reinterpret_cast<LPCDLGTEMPLATEA>(dialogTemplate.data()), nullptr,
                                             &MainWindowProcedure, 0);
    SetWindowTextA(window, title.c_str());
    HFONT font = reinterpret_cast<HFONT>(SendMessageA(window, WM_GETFONT, 0, 0));

    controlCallbacks.clear();
    for (const ChildControl& control : kChildControls)
        AddChildControl(window, font, control);
    SendMessageA(window, DM_SETDEFID, kCloseButtonId, 0);
    SetWindowIcons(window);

    MainWindowCallback(window, WM_INITDIALOG, reinterpret_cast<WPARAM>(window), 0);
    RECT client{};
    GetClientRect(window, &client);
    MainWindowCallback(window, WM_SIZE, SIZE_RESTORED, MAKELPARAM(client.right, client.bottom));
    ShowWindow(window, SW_SHOW);
    RunMessageLoop(window);

    controlCallbacks.clear();
    CoUninitialize();
}
