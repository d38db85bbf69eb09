// Packed DIBs built byte by byte, and the movable blocks that carry them:
// any header length, depth, table length and row order, pixels given top
// row first, and the bytes nothing else sets given by their offset. Free of
// GoogleTest, so that the test drivers and the soak's programs use it too.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

struct DibFields {
    int32_t width = 512;
    int32_t height = 768;  // negative: top-down
    uint16_t bitCount = 8;
    uint32_t tableEntries = 256;  // written after the header (and the masks)
    uint32_t coloursUsed = 0;
    uint32_t compression = 0;  // 3: bit fields, masks 0xFF0000, 0xFF00, 0xFF
    uint32_t headerSize = 40;
    uint16_t planes = 1;
    uint32_t sizeImage = 0;     // biSizeImage
    int64_t imageBytes = -1;    // bytes laid after the table; -1: the rows the header names
    int64_t totalBytes = -1;    // the whole cut or lengthened to this; -1: as laid
};

// pixel(x, y): the index up to 8 bits, else 0xRRGGBB; y from the top row.
using DibPixel = std::function<uint32_t(int, int)>;
// colour(i): table entry i as 0xRRGGBB.
using DibColour = std::function<uint32_t(int)>;
// fill(offset): each byte that the header, masks, table and pixels leave
// (the rest of a longer header, row padding, bytes past the rows); 0 if none.
using DibFill = std::function<uint8_t(size_t)>;

// The length of the DIB these fields lay out.
size_t DibSize(const DibFields &fields);
// Lays the DIB into `size` bytes (DibSize(fields)).
void LayDib(const DibFields &fields, uint8_t *out, size_t size, const DibPixel &pixel = nullptr,
            const DibColour &colour = nullptr, const DibFill &fill = nullptr);
std::vector<uint8_t> BuildDib(const DibFields &fields, const DibPixel &pixel = nullptr,
                              const DibColour &colour = nullptr, const DibFill &fill = nullptr);
// The same laid straight into a new movable block; null when out of memory.
HGLOBAL MakeDibBlock(const DibFields &fields, const DibPixel &pixel = nullptr, const DibColour &colour = nullptr,
                     const DibFill &fill = nullptr);

// A grey table entry: i in red, green and blue.
uint32_t GreyColour(int i);
// A byte that differs from its neighbours and, unlike a short cycle, from
// the bytes 256 or 4096 places away.
uint8_t PatternByte(size_t offset);

// The image a driver delivers: an 8-bit bottom-up DIB with its biSizeImage
// and a 256-entry grey table, rows and `extra` bytes after them patterned.
std::vector<uint8_t> GreyImage(LONG width, LONG height, SIZE_T extra = 0);
// The same with every byte after the table at `level`.
std::vector<uint8_t> FlatGreyImage(LONG width, LONG height, uint8_t level);
// GreyImage in a movable block.
HGLOBAL MakeImageBlock(LONG width, LONG height, SIZE_T extra = 0);

// A movable block of exactly these bytes.
HGLOBAL MakeBlock(const std::vector<uint8_t> &bytes);
// The whole of a block; empty for null or a block that cannot be locked.
std::vector<uint8_t> BlockBytes(HGLOBAL block);
uint32_t BlockCrc(HGLOBAL block);
UINT LockCount(HGLOBAL block);

// Little-endian 32-bit value at `at`, for a test that spoils one field.
void Put32(std::vector<uint8_t> &bytes, size_t at, uint32_t value);
// Bytes in one row of `width` pixels of `bits` each, rounded up to 4.
uint32_t Stride(int32_t width, uint16_t bits);
