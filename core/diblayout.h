// The layout check of a packed DIB held in a memory block: whether its
// header, colour table or masks and pixel bits all lie inside the block, and
// where its bits start. A layout that cannot be drawn is checked as closely
// as one that can: only a block that fits whole may be kept. Pure: bytes in,
// verdict out, no platform headers, so it can be checked on any host.
#pragma once

#include <cstdint>

enum class DibVerdict {
    Drawable,
    ShortHeader,     // the block ends inside the 40-byte header
    BadHeaderSize,   // biSize is not one of the header lengths GDI knows
    BadPlanes,       // biPlanes is not 1
    BadDimensions,   // width not positive, height 0, or a row or image too large
    Unsupported,     // fits the block, but GDI cannot draw its bit count and compression
    BadColourCount,  // biClrUsed larger than a colour table can be
    ShortTable,      // masks or colour table run past the block
    ShortBits,       // pixel rows run past the block, or compressed bits declare
                     // no size (biSizeImage 0) or one past the block
};

struct DibLayout {
    DibVerdict verdict = DibVerdict::ShortHeader;
    uint32_t headerSize = 0;
    uint16_t bitCount = 0;
    uint32_t compression = 0;
    int32_t width = 0;
    int32_t rows = 0;            // the height without its sign
    bool topDown = false;        // negative biHeight: first row in memory is the top one
    uint32_t colourEntries = 0;  // colour table entries GDI reads (0 above 8 bits)
    uint32_t tableOffset = 0;    // where what GDI reads after the header starts:
    uint32_t tableBytes = 0;     // the colour entries, or the three masks
    uint32_t stride = 0;         // bytes per row, rounded up to 4 (0 when compressed)
    uint32_t bitsOffset = 0;     // first pixel byte, from the start of the block
};

// A block whose layout cannot be shown to fit: it runs short, or its header
// length or dimensions are impossible. A sound header the drawing call cannot
// use (a compression it does not draw) is not corrupt when its table and its
// declared bits lie inside the block.
bool DibLayoutIsCorrupt(DibVerdict verdict);

// Checks the DIB at the start of `block`, `blockSize` bytes long. A null block
// or any size is safe; nothing past blockSize is read.
DibLayout CheckDibLayout(const void *block, uint64_t blockSize);

// Which rows to hand to the drawing call for the source rows [top, bottom) of
// the picture (y growing downward) drawn one to one at destination rows
// [destinationTop, destinationTop + destinationHeight).
struct DibSourceRows {
    bool draw = false;
    uint32_t bitsOffset = 0;   // bits start handed to the call
    int32_t headerHeight = 0;  // biHeight handed to the call
    int32_t sourceY = 0;
    int32_t sourceHeight = 0;
    int32_t destinationSkip = 0;  // rows to move the destination down
    int32_t destinationHeight = 0;
};

// Bottom-up: the bits and height as they are, source y = biHeight - bottom.
// Top-down: the drawing call counts source y from the top only when it is 0,
// so the visible rows are handed on as a top-down block of their own that
// starts at the first visible row, with source y 0.
DibSourceRows PlanDibSourceRows(const DibLayout &layout, int32_t top, int32_t bottom,
                                int32_t destinationHeight);
