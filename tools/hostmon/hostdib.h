// The data a host window receives: its check against the station's image
// layout, and its copy saved with --save.
#pragma once

#include <windows.h>

#include <cstddef>

namespace hostmon {

// True when the data has the station's image layout; then `header`,
// `bitsOffset` and `bitsSize` describe it.
bool CheckDib(const BYTE *data, size_t size, BITMAPINFOHEADER *header, size_t *bitsOffset, size_t *bitsSize);
// Writes the data as a .bmp file in `folder`, named by the local time, the
// host's class and `count`.
void SaveBitmap(const char *folder, const char *className, unsigned count, const BYTE *data, size_t size);

}  // namespace hostmon
