// A stand-in for the program when testing its resources on their own: it
// uses the same system DLLs, so the import checks see the DLLs the real
// executable imports (if not the same functions).
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include <string>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);
    CoInitialize(nullptr);
    HANDLE log = OpenEventLogW(nullptr, L"System");
    if (log != nullptr)
        CloseEventLog(log);
    HICON icon = LoadIconW(instance, L"APPICON");
    std::wstring title = L"probe";
    CoUninitialize();
    return icon != nullptr && !title.empty() ? 0 : 1;
}
