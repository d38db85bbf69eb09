// The station's instance handle, and the names its main window is known by.
#pragma once

#include <windows.h>

constexpr const char MAIN_CLASS[] = "CAPClass";
constexpr const char MAIN_TITLE[] = "CATTURA DA SENSORE";
constexpr const char MENU_NAME[] = "CapMenu";

void SetAppInstance(HINSTANCE instance);
HINSTANCE AppInstance();
