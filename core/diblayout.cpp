// The DIB layout check. All sizes are worked out in 64 bits and compared
// against the block before anything past the header is trusted.
#include "diblayout.h"

#include "dibbytes.h"

namespace {

constexpr uint32_t INFO_HEADER_SIZE = 40;
constexpr uint32_t MASKS_SIZE = 12;
constexpr uint32_t COMPRESSION_RGB = 0;
constexpr uint32_t COMPRESSION_BITFIELDS = 3;
constexpr uint32_t MAX_TABLE_ENTRIES = 256;
// GDI works out row and image sizes in signed 32-bit arithmetic.
constexpr int64_t GDI_SIZE_LIMIT = 0x7FFFFFFF;

bool KnownHeaderSize(uint32_t size)
{
    // BITMAPINFOHEADER, the V2 and V3 extensions, BITMAPV4HEADER, BITMAPV5HEADER.
    return size == 40 || size == 52 || size == 56 || size == 108 || size == 124;
}

bool Drawable(uint16_t bitCount, uint32_t compression)
{
    if (compression == COMPRESSION_RGB) {
        return bitCount == 1 || bitCount == 4 || bitCount == 8 || bitCount == 16 ||
            bitCount == 24 || bitCount == 32;
    }
    if (compression == COMPRESSION_BITFIELDS) {
        return bitCount == 16 || bitCount == 32;
    }
    return false;
}

// Everything but plain rows and bit fields: run lengths, JPEG, PNG and any
// value GDI does not know.
bool Compressed(uint32_t compression)
{
    return compression != COMPRESSION_RGB && compression != COMPRESSION_BITFIELDS;
}

DibLayout Refuse(DibLayout layout, DibVerdict verdict)
{
    layout.verdict = verdict;
    return layout;
}

bool Fail(DibLayout *layout, DibVerdict verdict)
{
    layout->verdict = verdict;
    return false;
}

}  // namespace

bool DibLayoutIsCorrupt(DibVerdict verdict)
{
    return verdict != DibVerdict::Drawable && verdict != DibVerdict::Unsupported;
}

namespace {

// The header's own fields: its length, planes and dimensions. False, with
// the verdict set, when they are impossible or the header runs past the block.
bool CheckHeader(const uint8_t *bytes, uint64_t blockSize, DibLayout *layout)
{
    layout->headerSize = ReadU32(bytes);
    const int32_t width = static_cast<int32_t>(ReadU32(bytes + 4));
    const int32_t height = static_cast<int32_t>(ReadU32(bytes + 8));
    const uint16_t planes = ReadU16(bytes + 12);
    layout->bitCount = ReadU16(bytes + 14);
    layout->compression = ReadU32(bytes + 16);

    if (!KnownHeaderSize(layout->headerSize)) {
        return Fail(layout, DibVerdict::BadHeaderSize);
    }
    if (layout->headerSize > blockSize) {
        return Fail(layout, DibVerdict::ShortHeader);
    }
    if (planes != 1) {
        return Fail(layout, DibVerdict::BadPlanes);
    }
    const int64_t rows = height < 0 ? -static_cast<int64_t>(height) : height;
    if (width <= 0 || rows == 0 || rows > GDI_SIZE_LIMIT) {
        return Fail(layout, DibVerdict::BadDimensions);
    }
    layout->width = width;
    layout->rows = static_cast<int32_t>(rows);
    layout->topDown = height < 0;
    return true;
}

// What follows the header: the three masks of bit fields, which sit right
// after a 40-byte header and inside any longer one; then for 1 to 8 bits the
// colour table GDI reads, otherwise an optional table of biClrUsed entries
// that GDI skips. A layout that cannot be drawn is laid out the same way, so
// that it too is shown to fit its block. Sets *bitsOffset past them; false,
// with the verdict set, when they do not fit.
bool CheckTable(uint32_t coloursUsed, uint64_t blockSize, DibLayout *layout, uint64_t *bitsOffset)
{
    const uint32_t masksBytes =
        layout->compression == COMPRESSION_BITFIELDS && layout->headerSize == INFO_HEADER_SIZE
        ? MASKS_SIZE
        : 0;
    *bitsOffset = static_cast<uint64_t>(layout->headerSize) + masksBytes;
    if (layout->bitCount >= 1 && layout->bitCount <= 8) {
        const uint32_t maxEntries = 1u << layout->bitCount;
        if (coloursUsed > maxEntries) {
            return Fail(layout, DibVerdict::BadColourCount);
        }
        layout->colourEntries = coloursUsed != 0 ? coloursUsed : maxEntries;
        layout->tableOffset = static_cast<uint32_t>(*bitsOffset);
        layout->tableBytes = layout->colourEntries * 4;
        *bitsOffset += layout->tableBytes;
    } else {
        if (coloursUsed > MAX_TABLE_ENTRIES) {
            return Fail(layout, DibVerdict::BadColourCount);
        }
        if (layout->compression == COMPRESSION_BITFIELDS) {
            layout->tableOffset = INFO_HEADER_SIZE;
            layout->tableBytes = MASKS_SIZE;
        }
        *bitsOffset += static_cast<uint64_t>(coloursUsed) * 4;
    }
    if (*bitsOffset > blockSize) {
        return Fail(layout, DibVerdict::ShortTable);
    }
    layout->bitsOffset = static_cast<uint32_t>(*bitsOffset);
    return true;
}

// The rows of uncompressed bits from bitsOffset on. False, with the verdict
// set, when a row or the image is too large for GDI or runs past the block.
bool CheckRows(uint32_t coloursUsed, uint64_t blockSize, uint64_t bitsOffset, DibLayout *layout)
{
    const int64_t rowBits = static_cast<int64_t>(layout->width) * layout->bitCount;
    if (rowBits + 31 > GDI_SIZE_LIMIT) {
        return Fail(layout, DibVerdict::BadDimensions);
    }
    const int64_t stride = (rowBits + 31) / 32 * 4;
    // stride < 2^28 and rows < 2^31: the product cannot overflow.
    const int64_t imageBytes = stride * layout->rows;
    if (imageBytes > GDI_SIZE_LIMIT) {
        return Fail(layout, DibVerdict::BadDimensions);
    }
    layout->stride = static_cast<uint32_t>(stride);
    // A driver's image block keeps the whole 1024-byte table and its rows
    // after it, whatever biClrUsed says (a 7-bit sensor names 128 colours).
    // A block that holds that layout is read so; the header's own table
    // length counts only for a block that does not (a pasted DIB).
    const uint64_t imageBlockBits = static_cast<uint64_t>(layout->headerSize) + COLOUR_TABLE_BYTES;
    if (layout->bitCount == 8 && layout->compression == COMPRESSION_RGB && coloursUsed != 0 &&
        coloursUsed < MAX_TABLE_ENTRIES && imageBlockBits <= blockSize &&
        static_cast<uint64_t>(imageBytes) <= blockSize - imageBlockBits) {
        bitsOffset = imageBlockBits;
        layout->bitsOffset = static_cast<uint32_t>(bitsOffset);
    }
    if (static_cast<uint64_t>(imageBytes) > blockSize - bitsOffset) {
        return Fail(layout, DibVerdict::ShortBits);
    }
    return true;
}

}  // namespace

DibLayout CheckDibLayout(const void *block, uint64_t blockSize)
{
    DibLayout layout;
    const uint8_t *bytes = static_cast<const uint8_t *>(block);
    if (bytes == nullptr || blockSize < INFO_HEADER_SIZE) {
        return Refuse(layout, DibVerdict::ShortHeader);
    }
    const uint32_t coloursUsed = ReadU32(bytes + 32);
    uint64_t bitsOffset = 0;
    if (!CheckHeader(bytes, blockSize, &layout) ||
        !CheckTable(coloursUsed, blockSize, &layout, &bitsOffset)) {
        return layout;
    }
    // Compressed bits have no rows to count: biSizeImage is all that says
    // how far they reach, so without it they cannot be shown to fit.
    if (Compressed(layout.compression)) {
        const uint32_t imageSize = ReadU32(bytes + 20);
        if (imageSize == 0 || imageSize > blockSize - bitsOffset) {
            return Refuse(layout, DibVerdict::ShortBits);
        }
        return Refuse(layout, DibVerdict::Unsupported);
    }
    if (!CheckRows(coloursUsed, blockSize, bitsOffset, &layout)) {
        return layout;
    }
    layout.verdict = Drawable(layout.bitCount, layout.compression) ? DibVerdict::Drawable
                                                                    : DibVerdict::Unsupported;
    return layout;
}

DibSourceRows PlanDibSourceRows(const DibLayout &layout, int32_t top, int32_t bottom,
                                int32_t destinationHeight)
{
    DibSourceRows plan;
    if (layout.verdict != DibVerdict::Drawable || destinationHeight <= 0) {
        return plan;
    }
    if (!layout.topDown) {
        const int64_t sourceY = static_cast<int64_t>(layout.rows) - bottom;
        const int64_t sourceHeight = static_cast<int64_t>(bottom) - top;
        if (sourceHeight <= 0 || sourceY < INT32_MIN || sourceY > INT32_MAX ||
            sourceHeight > INT32_MAX) {
            return plan;
        }
        plan.bitsOffset = layout.bitsOffset;
        plan.headerHeight = layout.rows;
        plan.sourceY = static_cast<int32_t>(sourceY);
        plan.sourceHeight = static_cast<int32_t>(sourceHeight);
        plan.destinationHeight = destinationHeight;
        plan.draw = true;
        return plan;
    }

    const int64_t first = top < 0 ? 0 : top;
    const int64_t last = bottom < layout.rows ? bottom : layout.rows;
    const int64_t skip = first - top;
    int64_t count = last - first;
    if (count > destinationHeight - skip) {
        count = destinationHeight - skip;
    }
    if (count <= 0) {
        return plan;
    }
    // first * stride lies inside the image, which the check kept below 2^31.
    plan.bitsOffset = layout.bitsOffset + static_cast<uint32_t>(first * layout.stride);
    plan.headerHeight = -static_cast<int32_t>(count);
    plan.sourceY = 0;
    plan.sourceHeight = static_cast<int32_t>(count);
    plan.destinationSkip = static_cast<int32_t>(skip);
    plan.destinationHeight = static_cast<int32_t>(count);
    plan.draw = true;
    return plan;
}
