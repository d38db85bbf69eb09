// Sensor settings in the registry, the title and menu for the driver mode,
// and the two mode switches of the menu.
#pragma once

#include <windows.h>

#include <cstddef>

void SensorSettingsOnCreate(HMENU menu);
void ApplyDriverModeOnCreate(HWND mainWindow, HMENU menu, int driverMode);
void ToggleSynchro(HWND mainWindow);
void ToggleResolution();

// The synchro setting read at start or set by ToggleSynchro.
int SynchroSetting();
// The high-resolution flag, 0 or 1.
int HighResolutionFlag();

// What the creation message shows for a driver mode, for tools that report
// it: the error box text (false when there is no box) and the window title
// (false for mode 0, which leaves the title as the window was created).
bool CreationNoticeText(int driverMode, char *text, size_t size);
bool CreationTitleText(int driverMode, int hasBinningMode, char *title, size_t size);
