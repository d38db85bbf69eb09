// The application shell: instance handle, window class, main window, loop.
#pragma once

#include <windows.h>

#include "instance.h"


// Registers CAPClass with the stored instance; 0 on failure.
ATOM RegisterMainClass();
// Creates the (hidden) main window; WM_CREATE runs inside.
HWND CreateMainWindow();
// The whole start-up and loop; WinMain returns its result.
int RunStation(HINSTANCE instance, HINSTANCE previous);
