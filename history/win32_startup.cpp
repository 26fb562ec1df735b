// The process's start: COM and the common-control classes around the main
// procedure, which gets the arguments a GUI program's entry point is given.

#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include "history/boot_history.h"
#include "history/win32_startup.h"

namespace {

// All the common-control classes the program may draw, registered once at start.
constexpr DWORD kStartupControlClasses = 0x706F;

// The command line after the program's own name and the blanks that follow it.
char* CommandLineTail()
{
    char* text = GetCommandLineA();
    if (*text == '"') {
        ++text;
        while (*text && *text != '"')
            ++text;
        if (*text == '"')
            ++text;
    } else {
        while (*text && *text != ' ' && *text != '\t')
            ++text;
    }
    while (*text == ' ' || *text == '\t')
        ++text;
    return text;
}

}  // namespace

void RunProgram()
{
    CoInitialize(nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    const int showCommand = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
    char* commandTail = CommandLineTail();
    HINSTANCE instance = GetModuleHandleA(nullptr);

    INITCOMMONCONTROLSEX controls{sizeof controls, kStartupControlClasses};
    InitCommonControlsEx(&controls);

    const int result = TallyvaneMain(instance, nullptr, commandTail, showCommand);
    CoUninitialize();
    ExitProcess(result);
}
