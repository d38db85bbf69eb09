// Not built yet: placeholder.
#include "palette.h"
void RealizeGreyPalette(HWND) {}
HPALETTE GreyPalette() { return nullptr; }
