// The grey palette: built once, on the first realisation, and never deleted.
// Nothing else in the station creates or changes a palette.
#include "palette.h"

#include <cstddef>

static constexpr int GREY_LEVELS = 128;
static constexpr int PALETTE_ENTRIES = 256;

static HPALETTE greyPalette;
static int palettePending = 1;

// The LOGPALETTE is filled in a temporary zero-filled block; only the
// palette handle outlives the call. A failed allocation or lock leaves the
// palette null, as a failed CreatePalette does.
static HPALETTE BuildGreyPalette()
{
    const SIZE_T size = offsetof(LOGPALETTE, palPalEntry) + PALETTE_ENTRIES * sizeof(PALETTEENTRY);
    HGLOBAL block = GlobalAlloc(GMEM_ZEROINIT, size);
    if (block == nullptr) {
        return nullptr;
    }
    LOGPALETTE *logPalette = static_cast<LOGPALETTE *>(GlobalLock(block));
    if (logPalette == nullptr) {
        GlobalFree(block);
        return nullptr;
    }
    logPalette->palNumEntries = PALETTE_ENTRIES;
    logPalette->palVersion = 0x300;
    for (int i = 0; i < PALETTE_ENTRIES; ++i) {
        BYTE level = i < GREY_LEVELS ? static_cast<BYTE>(2 * i) : 0;
        logPalette->palPalEntry[i].peRed = level;
        logPalette->palPalEntry[i].peGreen = level;
        logPalette->palPalEntry[i].peBlue = level;
        logPalette->palPalEntry[i].peFlags = PC_RESERVED;
    }
    HPALETTE palette = CreatePalette(logPalette);
    GlobalUnlock(block);
    GlobalFree(block);
    return palette;
}

void RealizeGreyPalette(HWND mainWindow)
{
    HDC dc = GetDC(mainWindow);
    // Cleared before the build: creation is tried once, whatever its outcome.
    if (palettePending) {
        palettePending = 0;
        greyPalette = BuildGreyPalette();
    }
    if (greyPalette != nullptr) {
        SelectPalette(dc, greyPalette, FALSE);
    }
    RealizePalette(dc);
    ReleaseDC(mainWindow, dc);
}

HPALETTE GreyPalette() { return greyPalette; }
