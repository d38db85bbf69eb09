// The station's one logical palette: 128 grey levels, then 128 black entries.
#pragma once

#include <windows.h>

// Builds the palette on the first call; on every call selects it into the
// window's DC as a foreground palette and realises it.
void RealizeGreyPalette(HWND mainWindow);
// The palette handle, or null before the first call (or if creation failed).
HPALETTE GreyPalette();
