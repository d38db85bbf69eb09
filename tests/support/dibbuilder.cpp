#include "dibbuilder.h"

#include <cstring>

#include "crc32.h"

namespace {

// The parts of a DIB, as the fields lay them out. Nonsense header sizes and
// widths are written, but laid out as 40 and 0.
struct DibLayout {
    size_t header, masks, bits, stride, rows, laid;
};

DibLayout LayoutOf(const DibFields &s)
{
    DibLayout l;
    l.rows = s.height < 0 ? 0 - size_t(s.height) : size_t(s.height);
    l.header = s.headerSize >= 40 && s.headerSize <= 124 ? s.headerSize : 40;
    l.masks = s.compression == 3 && l.header == 40 ? 12 : 0;
    l.bits = l.header + l.masks + size_t(s.tableEntries) * 4;
    l.stride = s.width > 0 ? Stride(s.width, s.bitCount) : 0;
    const size_t image = s.imageBytes >= 0 ? size_t(s.imageBytes) : l.stride * l.rows;
    l.laid = l.bits + image;
    return l;
}

// Writes what fits of a little-endian value into `size` bytes.
void PutAt(uint8_t *out, size_t size, size_t at, uint32_t value)
{
    for (size_t i = 0; i < 4 && at + i < size; ++i) {
        out[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void LayHeader(const DibFields &s, const DibLayout &l, uint8_t *out, size_t size, const DibColour &colour)
{
    memset(out, 0, size < 40 ? size : 40);
    PutAt(out, size, 0, s.headerSize);
    PutAt(out, size, 4, uint32_t(s.width));
    PutAt(out, size, 8, uint32_t(s.height));
    PutAt(out, size, 12, s.planes | uint32_t(s.bitCount) << 16);
    PutAt(out, size, 16, s.compression);
    PutAt(out, size, 20, s.sizeImage);
    PutAt(out, size, 32, s.coloursUsed);
    if (s.compression == 3) {
        PutAt(out, size, 40, 0xFF0000), PutAt(out, size, 44, 0xFF00), PutAt(out, size, 48, 0xFF);
    }
    const size_t table = l.bits - size_t(s.tableEntries) * 4;
    for (uint32_t i = 0; i < s.tableEntries; ++i) {
        PutAt(out, size, table + 4 * i, colour ? colour(int(i)) : 0);
    }
}

void LayRows(const DibFields &s, const DibLayout &l, uint8_t *out, size_t size, const DibPixel &pixel)
{
    const size_t used = (size_t(s.width) * s.bitCount + 7) / 8;
    for (size_t y = 0; y < l.rows; ++y) {
        const size_t at = l.bits + l.stride * (s.height > 0 ? l.rows - 1 - y : y);
        if (at + used > size) {
            continue;
        }
        uint8_t *row = out + at;
        memset(row, 0, used);
        for (int32_t x = 0; x < s.width; ++x) {
            const uint32_t v = pixel(x, int(y));
            if (s.bitCount < 8) {
                const int perByte = 8 / s.bitCount;
                row[x / perByte] |= uint8_t(v << (8 - s.bitCount * (1 + x % perByte)));
            } else {
                memcpy(row + size_t(x) * s.bitCount / 8, &v, s.bitCount / 8);
            }
        }
    }
}

}  // namespace

size_t DibSize(const DibFields &fields)
{
    return fields.totalBytes >= 0 ? size_t(fields.totalBytes) : LayoutOf(fields).laid;
}

void LayDib(const DibFields &fields, uint8_t *out, size_t size, const DibPixel &pixel, const DibColour &colour,
            const DibFill &fill)
{
    const DibLayout layout = LayoutOf(fields);
    for (size_t at = 0; at < size; ++at) {
        out[at] = fill ? fill(at) : 0;
    }
    LayHeader(fields, layout, out, size, colour);
    if (pixel && fields.imageBytes < 0) {
        LayRows(fields, layout, out, size, pixel);
    }
}

std::vector<uint8_t> BuildDib(const DibFields &fields, const DibPixel &pixel, const DibColour &colour,
                              const DibFill &fill)
{
    std::vector<uint8_t> bytes(DibSize(fields));
    LayDib(fields, bytes.data(), bytes.size(), pixel, colour, fill);
    return bytes;
}

HGLOBAL MakeDibBlock(const DibFields &fields, const DibPixel &pixel, const DibColour &colour, const DibFill &fill)
{
    const size_t size = DibSize(fields);
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    uint8_t *bytes = block != nullptr ? static_cast<uint8_t *>(GlobalLock(block)) : nullptr;
    if (bytes == nullptr) {
        if (block != nullptr) {
            GlobalFree(block);
        }
        return nullptr;
    }
    LayDib(fields, bytes, size, pixel, colour, fill);
    GlobalUnlock(block);
    return block;
}

uint32_t GreyColour(int i)
{
    const uint32_t level = uint32_t(i) & 0xFF;
    return level << 16 | level << 8 | level;
}

uint8_t PatternByte(size_t offset)
{
    return static_cast<uint8_t>(offset * 7 + offset / 4099 + 3);
}

static DibFields GreyImageFields(LONG width, LONG height, SIZE_T extra)
{
    DibFields fields;
    fields.width = width;
    fields.height = height;
    fields.sizeImage = Stride(width, 8) * uint32_t(height);
    fields.imageBytes = int64_t(fields.sizeImage) + int64_t(extra);
    return fields;
}

std::vector<uint8_t> GreyImage(LONG width, LONG height, SIZE_T extra)
{
    return BuildDib(GreyImageFields(width, height, extra), nullptr, GreyColour, PatternByte);
}

std::vector<uint8_t> FlatGreyImage(LONG width, LONG height, uint8_t level)
{
    return BuildDib(GreyImageFields(width, height, 0), nullptr, GreyColour, [level](size_t) { return level; });
}

HGLOBAL MakeImageBlock(LONG width, LONG height, SIZE_T extra)
{
    return MakeDibBlock(GreyImageFields(width, height, extra), nullptr, GreyColour, PatternByte);
}

HGLOBAL MakeBlock(const std::vector<uint8_t> &bytes)
{
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
    if (block != nullptr && !bytes.empty()) {
        memcpy(GlobalLock(block), bytes.data(), bytes.size());
        GlobalUnlock(block);
    }
    return block;
}

std::vector<uint8_t> BlockBytes(HGLOBAL block)
{
    std::vector<uint8_t> out;
    if (block == nullptr) {
        return out;
    }
    const SIZE_T size = GlobalSize(block);
    const uint8_t *p = static_cast<const uint8_t *>(GlobalLock(block));
    if (p != nullptr) {
        out.assign(p, p + size);
        GlobalUnlock(block);
    }
    return out;
}

uint32_t BlockCrc(HGLOBAL block)
{
    const std::vector<uint8_t> bytes = BlockBytes(block);
    return Crc32(bytes.data(), bytes.size());
}

UINT LockCount(HGLOBAL block) { return GlobalFlags(block) & GMEM_LOCKCOUNT; }

void Put32(std::vector<uint8_t> &bytes, size_t at, uint32_t value)
{
    PutAt(bytes.data(), bytes.size(), at, value);
}

uint32_t Stride(int32_t width, uint16_t bits)
{
    return (uint32_t(width) * bits + 31) / 32 * 4;
}
