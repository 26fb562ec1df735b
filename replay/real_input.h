// Real input, as a user gives it: mouse and keyboard events through the
// window system's input queue (SendInput), not messages sent to a window.
// tallyvane-replay.exe clicks and closes with it, and so do the tests.
#pragma once

#include <windows.h>

#include <initializer_list>

// An absolute mouse event at a screen point.
INPUT MouseInput(POINT screen, DWORD flags);
// A key's press (flags 0) or release (KEYEVENTF_KEYUP).
INPUT KeyInput(WORD key, DWORD flags);
// A real left click at a screen point, left for whoever pumps next.
void ClickAt(POINT screen);
// Presses `keys` in order and releases them in reverse.
void PressKeys(std::initializer_list<WORD> keys);
