// Sensor settings in the registry, the title and menu for the driver mode,
// and the two mode switches of the menu.
#pragma once

#include <windows.h>

void SensorSettingsOnCreate(HMENU menu);
void ApplyDriverModeOnCreate(HWND mainWindow, HMENU menu, int driverMode);
void ToggleSynchro(HWND mainWindow);
void ToggleResolution();

// The synchro setting read at start or set by ToggleSynchro.
int SynchroSetting();
// The high-resolution flag, 0 or 1.
int HighResolutionFlag();
