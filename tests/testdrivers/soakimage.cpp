// The images the soak driver delivers: 8-bit grey DIBs in movable blocks,
// each one different, and the CRC-32 of each.
#include "soakimage.h"

#include <cstring>

#include "crc32.h"
#include "dibbuilder.h"

HGLOBAL MakeSoakImage(int width, int height, unsigned serial, uint32_t *crc)
{
    constexpr size_t ROWS_AT = sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD);
    DibFields fields;
    fields.width = width;
    fields.height = height;
    // A diagonal ramp shifted by the serial, the serial itself in the first
    // four pixels: every image differs from every other. Laid in place: the
    // driver takes nothing from the heap of the station it runs in.
    const DWORD stride = Stride(width, 8);
    HGLOBAL block = MakeDibBlock(fields, nullptr, GreyColour, [stride, serial](size_t at) {
        const size_t i = at - ROWS_AT;
        return static_cast<uint8_t>(i % stride + i / stride + serial);
    });
    BYTE *bytes = block != nullptr ? static_cast<BYTE *>(GlobalLock(block)) : nullptr;
    if (bytes == nullptr) {
        if (block != nullptr) {
            GlobalFree(block);
        }
        return nullptr;
    }
    memcpy(bytes + ROWS_AT, &serial, sizeof serial);
    *crc = Crc32(bytes, DibSize(fields));
    GlobalUnlock(block);
    return block;
}
