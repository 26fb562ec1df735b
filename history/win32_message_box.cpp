// The failure message box over user32.

#include <windows.h>

#include "history/platform.h"

void PlatformMessageBox(const char* text, const char* caption, uint32_t style)
{
    MessageBoxA(nullptr, text, caption, style);
}
