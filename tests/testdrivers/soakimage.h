// The images the soak driver delivers (soakimage.cpp).
#pragma once

#include <windows.h>

#include <cstdint>

// A packed 8-bit DIB of width by height in a new movable block, unique for
// `serial`, and its CRC-32 in *crc; null when out of memory.
HGLOBAL MakeSoakImage(int width, int height, unsigned serial, uint32_t *crc);
