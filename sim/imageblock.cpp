// Image blocks: lays a grey picture out in a movable global block, as the
// contract has it (a packed 8-bit DIB) or as one of the careless drivers
// met in the field does.
#include "imageblock.h"

#include <cstring>

constexpr int SHORT_TABLE_ENTRIES = 16;
constexpr DWORD SHORT_BLOCK_MISSING = 6;

// Where each part of a block goes and how big the block is.
struct BlockLayout {
    int bits;          // bits a pixel
    DWORD entries;     // colour table entries
    DWORD stride;      // bytes a row, padded to four
    DWORD imageBytes;  // all the rows
    DWORD bitsOffset;  // where the rows begin
    DWORD total;       // the block's size
};

static BlockLayout LayOut(const Picture &picture, Fault fault)
{
    BlockLayout layout;
    layout.bits = 8;
    layout.entries = 256;
    if (fault == Fault::Bits16 || fault == Fault::Bits24) {
        layout.bits = fault == Fault::Bits16 ? 16 : 24;
        layout.entries = 0;
    } else if (fault == Fault::ShortTable) {
        layout.entries = SHORT_TABLE_ENTRIES;
    }
    layout.stride = (static_cast<DWORD>(picture.width) * layout.bits / 8 + 3u) & ~3u;
    layout.imageBytes = layout.stride * static_cast<DWORD>(picture.height);
    layout.bitsOffset = sizeof(BITMAPINFOHEADER) + layout.entries * sizeof(RGBQUAD);
    layout.total = layout.bitsOffset + layout.imageBytes;
    if (fault == Fault::ShortBlock) {
        layout.total -= SHORT_BLOCK_MISSING;
    }
    return layout;
}

// The header and the grey colour table; `step` is the grey levels one table
// entry spans.
static void WriteHeader(BYTE *base, const Picture &picture, const BlockLayout &layout, Fault fault, int step)
{
    const int height = picture.height;
    BITMAPINFOHEADER *header = reinterpret_cast<BITMAPINFOHEADER *>(base);
    header->biSize = sizeof(BITMAPINFOHEADER);
    header->biWidth = picture.width;
    header->biHeight = fault == Fault::TopDown ? -height : (fault == Fault::OverClaim ? 2 * height : height);
    header->biPlanes = 1;
    header->biBitCount = static_cast<WORD>(layout.bits);
    header->biCompression = BI_RGB;
    header->biSizeImage = layout.imageBytes;
    header->biClrUsed = fault == Fault::ShortTable ? SHORT_TABLE_ENTRIES : 0;
    RGBQUAD *table = reinterpret_cast<RGBQUAD *>(base + sizeof(BITMAPINFOHEADER));
    const DWORD entries = layout.entries;
    for (DWORD i = 0; i < entries; ++i) {
        BYTE level = static_cast<BYTE>(i * step + (step - 1) * i / (entries - 1));
        table[i].rgbBlue = table[i].rgbGreen = table[i].rgbRed = level;
    }
}

static void WriteRows(BYTE *base, const Picture &picture, const BlockLayout &layout, Fault fault, int step)
{
    const int width = picture.width;
    const int height = picture.height;
    const int bits = layout.bits;
    for (int row = 0; row < height; ++row) {
        // Bottom-up unless top-down: row 0 of the picture is the last in memory.
        const DWORD stored = fault == Fault::TopDown ? row : height - 1 - row;
        const DWORD at = layout.bitsOffset + stored * layout.stride;
        const BYTE *in = picture.grey.data() + static_cast<size_t>(row) * width;
        for (int x = 0; x < width; ++x) {
            BYTE *out = base + at + static_cast<DWORD>(x) * bits / 8;
            if (at + static_cast<DWORD>(x + 1) * bits / 8 > layout.total) {
                break;  // the short block: the last pixels do not fit
            }
            if (bits == 24) {
                out[0] = out[1] = out[2] = in[x];
            } else if (bits == 16) {
                WORD five = static_cast<WORD>(in[x] >> 3);
                WORD pixel = static_cast<WORD>((five << 10) | (five << 5) | five);
                memcpy(out, &pixel, sizeof pixel);
            } else {
                *out = layout.entries == 256 ? in[x] : static_cast<BYTE>(in[x] / step);
            }
        }
    }
}

// One block holding the picture: in the image block layout (header, grey
// table of 256, bottom-up 8-bit rows), or in a careless driver's layout.
// Zero-initialised, so row padding is defined. Null when out of memory.
HGLOBAL MakeImageBlock(const Picture &picture, Fault fault)
{
    const BlockLayout layout = LayOut(picture, fault);
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, layout.total);
    if (block == nullptr) {
        return nullptr;
    }
    BYTE *base = static_cast<BYTE *>(GlobalLock(block));
    if (base == nullptr) {
        GlobalFree(block);
        return nullptr;
    }
    const int step = 256 / static_cast<int>(layout.entries ? layout.entries : 1);
    WriteHeader(base, picture, layout, fault, step);
    WriteRows(base, picture, layout, fault, step);
    GlobalUnlock(block);
    return block;
}
