// The images the soak driver delivers: 8-bit grey DIBs in movable blocks,
// each one different, and the CRC-32 of each.
#include "soakimage.h"

#include <cstring>

#include "crc32.h"

HGLOBAL MakeSoakImage(int width, int height, unsigned serial, uint32_t *crc)
{
    const DWORD stride = (static_cast<DWORD>(width) + 3u) & ~3u;
    const DWORD size = sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD) + stride * height;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    BYTE *bytes = block != nullptr ? static_cast<BYTE *>(GlobalLock(block)) : nullptr;
    if (bytes == nullptr) {
        if (block != nullptr) {
            GlobalFree(block);
        }
        return nullptr;
    }
    BITMAPINFOHEADER header = {};
    header.biSize = sizeof header;
    header.biWidth = width;
    header.biHeight = height;
    header.biPlanes = 1;
    header.biBitCount = 8;
    header.biCompression = BI_RGB;
    memcpy(bytes, &header, sizeof header);
    RGBQUAD *table = reinterpret_cast<RGBQUAD *>(bytes + sizeof header);
    for (int i = 0; i < 256; ++i) {
        table[i] = {static_cast<BYTE>(i), static_cast<BYTE>(i), static_cast<BYTE>(i), 0};
    }
    // A diagonal ramp shifted by the serial, the serial itself in the first
    // four pixels: every image differs from every other.
    BYTE *rows = bytes + sizeof header + 256 * sizeof(RGBQUAD);
    for (int y = 0; y < height; ++y) {
        for (DWORD x = 0; x < stride; ++x) {
            rows[y * stride + x] = static_cast<BYTE>(x + y + serial);
        }
    }
    memcpy(rows, &serial, sizeof serial);
    *crc = Crc32(bytes, size);
    GlobalUnlock(block);
    return block;
}
