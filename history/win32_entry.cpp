// The program's entry point. It takes nothing from its command line.

#include <windows.h>

#include "history/win32_startup.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    RunProgram();
}
