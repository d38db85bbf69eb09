// The application shell: instance handle, window class, main window, loop.
#pragma once

#include <windows.h>

constexpr const char MAIN_CLASS[] = "CAPClass";
constexpr const char MAIN_TITLE[] = "CATTURA DA SENSORE";
constexpr const char MENU_NAME[] = "CapMenu";

void SetAppInstance(HINSTANCE instance);
HINSTANCE AppInstance();

// Registers CAPClass with the stored instance; 0 on failure.
ATOM RegisterMainClass();
// Creates the (hidden) main window; WM_CREATE runs inside.
HWND CreateMainWindow();
// The whole start-up and loop; WinMain returns its result.
int RunStation(HINSTANCE instance, HINSTANCE previous);
