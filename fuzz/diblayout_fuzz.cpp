// Fuzz target for the DIB layout check and the row planner. The input is a
// block of exactly its own size holding a packed DIB. Besides crashes and
// sanitizer reports, the run stops on any broken promise the painter and the
// hosts rely on: for a drawn block, the header, the colour table or masks and
// every row handed to the drawing call lie inside the block; for a block
// kept undrawn (compressed or foreign), the header, the table or masks and
// the declared bits do; the fields agree with the header's bytes; a refused
// block is never planned for drawing.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "dibbytes.h"
#include "diblayout.h"
#include "require.h"

namespace {

// The painter copies the table or masks into room for 256 entries.
constexpr uint64_t PAINTER_TABLE_ROOM = 256 * 4;

int32_t Clamp32(int64_t v)
{
    return v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v);
}

bool SameLayout(const DibLayout &a, const DibLayout &b)
{
    return a.verdict == b.verdict && a.headerSize == b.headerSize && a.bitCount == b.bitCount &&
        a.compression == b.compression && a.width == b.width && a.rows == b.rows &&
        a.topDown == b.topDown && a.colourEntries == b.colourEntries &&
        a.tableOffset == b.tableOffset && a.tableBytes == b.tableBytes && a.stride == b.stride &&
        a.bitsOffset == b.bitsOffset;
}

struct RowRange {
    int32_t top, bottom, destinationHeight;
};
constexpr int MAX_RANGES = 16;

// Source row ranges and destination heights to plan: the ones the scroll
// arithmetic produces for this picture, the extremes, and one taken from
// header fields the check ignores (biXPelsPerMeter, biYPelsPerMeter,
// biClrImportant), so that the fuzzer steers it.
int RangesFor(const uint8_t *data, size_t size, int32_t rows, RowRange *out)
{
    const int64_t r = rows;
    const RowRange fixed[] = {
        {0, rows, rows},
        {0, Clamp32(r < 700 ? r : 700), 700},
        {Clamp32(r - 700), rows, 700},
        {Clamp32(r / 2), Clamp32(r / 2 + 700), 700},
        {-5, Clamp32(r - 5), rows},
        {Clamp32(r - 1), Clamp32(r + 699), 700},
        {rows, Clamp32(r + 1), 1},
        {0, 1, 1},
        {INT32_MIN, INT32_MAX, INT32_MAX},
        {INT32_MIN, Clamp32(INT32_MIN + r), rows},
        {Clamp32(INT32_MAX - r), INT32_MAX, rows},
        {3, 2, 5},
        {0, rows, 0},
        {0, rows, -1},
    };
    static_assert(sizeof fixed / sizeof fixed[0] + 2 <= MAX_RANGES, "room for every range");
    int n = 0;
    for (const RowRange &f : fixed) {
        out[n++] = f;
    }
    if (size >= 40) {
        const int32_t top = static_cast<int32_t>(ReadU32(data + 24));
        const int32_t height = static_cast<int32_t>(ReadU32(data + 28));
        const int32_t destination = static_cast<int32_t>(ReadU32(data + 36));
        out[n++] = {top, Clamp32(static_cast<int64_t>(top) + height), destination};
        out[n++] = {top, Clamp32(static_cast<int64_t>(top) + destination), destination};
    }
    return n;
}

// The layout a sound header describes, worked out from its bytes alone: a
// header the check is meant to keep (drawn, or kept undrawn), the fields it
// must give for it, and the bytes a block must hold for it.
struct SoundLayout {
    bool sound = false;
    bool drawable = false;
    DibLayout layout;
    uint64_t needed = 0;   // the smallest block that gives this layout
    uint64_t minimum = 0;  // the smallest block kept at all (a shorter one is corrupt)
};

SoundLayout Describe(const uint8_t *data, size_t size)
{
    SoundLayout s;
    if (size < 40) {
        return s;
    }
    DibLayout &l = s.layout;
    l.headerSize = ReadU32(data);
    const int32_t width = static_cast<int32_t>(ReadU32(data + 4));
    const int32_t height = static_cast<int32_t>(ReadU32(data + 8));
    l.bitCount = ReadU16(data + 14);
    l.compression = ReadU32(data + 16);
    const uint32_t sizeImage = ReadU32(data + 20);
    const uint32_t used = ReadU32(data + 32);
    const bool bitFields = l.compression == 3;
    // Anything but plain rows and bit fields is compressed: its bits reach
    // as far as biSizeImage says, and it must say.
    const bool compressed = l.compression != 0 && !bitFields;
    const bool knownHeader = l.headerSize == 40 || l.headerSize == 52 || l.headerSize == 56 ||
        l.headerSize == 108 || l.headerSize == 124;
    const bool drawable = (l.compression == 0 &&
                           (l.bitCount == 1 || l.bitCount == 4 || l.bitCount == 8 ||
                            l.bitCount == 16 || l.bitCount == 24 || l.bitCount == 32)) ||
        (bitFields && (l.bitCount == 16 || l.bitCount == 32));
    if (!knownHeader || l.headerSize > size || ReadU16(data + 12) != 1 || width <= 0 ||
        height == 0 || height == INT32_MIN) {
        return s;
    }
    // From 1 to 8 bits a table of biClrUsed entries, all of them when 0, at
    // most as many as the pixels can index; otherwise an optional table GDI
    // skips. Masks of bit fields come first, after a 40-byte header.
    const bool indexed = l.bitCount >= 1 && l.bitCount <= 8;
    const uint32_t maxUsed = indexed ? 1u << l.bitCount : 256;
    if (used > maxUsed) {
        return s;
    }
    l.width = width;
    l.rows = height < 0 ? -height : height;
    l.topDown = height < 0;
    const uint32_t masks = bitFields && l.headerSize == 40 ? 12 : 0;
    if (indexed) {
        l.colourEntries = used != 0 ? used : maxUsed;
        l.tableOffset = l.headerSize + masks;
        l.tableBytes = 4 * l.colourEntries;
    } else if (bitFields) {
        l.tableOffset = 40;  // the masks: after a 40-byte header, inside a longer one
        l.tableBytes = 12;
    }
    const uint64_t bitsOffset =
        static_cast<uint64_t>(l.headerSize) + masks + 4ull * (indexed ? l.colourEntries : used);
    l.bitsOffset = static_cast<uint32_t>(bitsOffset);
    if (compressed) {
        if (sizeImage == 0) {
            return s;
        }
        l.verdict = DibVerdict::Unsupported;
        s.needed = bitsOffset + sizeImage;
        s.minimum = s.needed;
        s.sound = true;
        return s;
    }
    const uint64_t rowBits = static_cast<uint64_t>(width) * l.bitCount;
    const uint64_t stride = (rowBits + 31) / 32 * 4;
    // GDI works out row and image sizes in signed 32 bits.
    if (rowBits + 31 > INT32_MAX || stride * static_cast<uint64_t>(l.rows) > INT32_MAX) {
        return s;
    }
    l.stride = static_cast<uint32_t>(stride);
    l.verdict = drawable ? DibVerdict::Drawable : DibVerdict::Unsupported;
    s.needed = bitsOffset + stride * static_cast<uint64_t>(l.rows);
    s.minimum = s.needed;
    // An 8-bit block naming fewer than 256 colours that still holds a whole
    // 1024-byte table before its rows is a driver's image block.
    const uint64_t blockBits = static_cast<uint64_t>(l.headerSize) + 1024;
    if (l.bitCount == 8 && l.compression == 0 && used != 0 && used < 256 &&
        blockBits + stride * static_cast<uint64_t>(l.rows) <= size) {
        l.bitsOffset = static_cast<uint32_t>(blockBits);
        s.needed = blockBits + stride * static_cast<uint64_t>(l.rows);
    }
    s.sound = true;
    s.drawable = drawable;
    return s;
}

// What is kept of a block the view cannot draw, stated on its own terms: the
// header, the table or masks and the declared bits (biSizeImage, never 0,
// when compressed; the rows otherwise) all inside the block, in that order.
void CheckKeptBounds(const uint8_t *data, size_t size, const DibLayout &l)
{
    REQUIRE(l.headerSize >= 40 && l.headerSize <= size);
    REQUIRE(static_cast<uint64_t>(l.tableOffset) + l.tableBytes <= l.bitsOffset);
    REQUIRE(l.bitsOffset >= l.headerSize && l.bitsOffset <= size);
    const bool compressed = l.compression != 0 && l.compression != 3;
    const uint64_t declared = compressed
        ? ReadU32(data + 20)
        : static_cast<uint64_t>(l.stride) * static_cast<uint64_t>(l.rows);
    REQUIRE(!compressed || declared != 0);
    REQUIRE(l.bitsOffset + declared <= size);
}

// What the painter reads of an accepted block, stated on its own terms: the
// 40 header bytes it copies, the table or masks it copies into room for 256
// entries, and the image's rows, all inside the block and in that order.
void CheckPainterBounds(size_t size, const DibLayout &l)
{
    REQUIRE(l.headerSize >= 40 && l.headerSize <= size);
    const uint64_t tableEnd = static_cast<uint64_t>(l.tableOffset) + l.tableBytes;
    REQUIRE(l.tableBytes <= PAINTER_TABLE_ROOM);
    REQUIRE(l.tableBytes == 0 || l.tableOffset >= 40);
    REQUIRE(tableEnd <= size);
    REQUIRE(l.bitsOffset >= l.headerSize && l.bitsOffset >= tableEnd);
    REQUIRE(l.width > 0 && l.rows > 0);
    const uint64_t rowBits = static_cast<uint64_t>(l.width) * l.bitCount;
    REQUIRE(l.stride % 4 == 0 && 8ull * l.stride >= rowBits && 8ull * l.stride < rowBits + 32);
    const uint64_t imageBytes = static_cast<uint64_t>(l.stride) * static_cast<uint64_t>(l.rows);
    REQUIRE(imageBytes <= INT32_MAX);
    REQUIRE(l.bitsOffset + imageBytes <= size);
}

void CheckPlan(size_t size, const DibLayout &l, const RowRange &range)
{
    const DibSourceRows p = PlanDibSourceRows(l, range.top, range.bottom, range.destinationHeight);
    const int64_t top = range.top, bottom = range.bottom, destination = range.destinationHeight;
    const int64_t rows = l.rows;
    if (l.verdict != DibVerdict::Drawable || destination <= 0) {
        REQUIRE(!p.draw);
        return;
    }
    if (!p.draw) {
        // Nothing visible, or nothing the call could be given: never a
        // picture that has rows to show in a destination that has room.
        if (!l.topDown) {
            const int64_t sourceY = rows - bottom;
            REQUIRE(bottom <= top || sourceY < INT32_MIN || sourceY > INT32_MAX ||
                    bottom - top > INT32_MAX);
        } else {
            const int64_t first = top < 0 ? 0 : top;
            const int64_t last = bottom < rows ? bottom : rows;
            REQUIRE(last <= first || destination <= first - top);
        }
        return;
    }

    // Every row handed to the call lies inside the image and the block.
    REQUIRE(p.headerHeight != 0 && p.sourceHeight > 0 && p.destinationHeight > 0);
    const uint64_t handedRows =
        p.headerHeight < 0 ? -static_cast<int64_t>(p.headerHeight) : p.headerHeight;
    REQUIRE(p.bitsOffset >= l.bitsOffset);
    const uint64_t skippedBytes = p.bitsOffset - l.bitsOffset;
    REQUIRE(l.stride != 0 && skippedBytes % l.stride == 0);
    const uint64_t firstRow = skippedBytes / l.stride;
    REQUIRE(firstRow + handedRows <= static_cast<uint64_t>(rows));
    REQUIRE(p.bitsOffset + handedRows * l.stride <= size);

    if (!l.topDown) {
        REQUIRE(p.bitsOffset == l.bitsOffset && p.headerHeight == l.rows);
        REQUIRE(p.sourceY == rows - bottom && p.sourceHeight == bottom - top);
        REQUIRE(p.destinationSkip == 0 && p.destinationHeight == destination);
    } else {
        // A block of its own starting at the first visible row, drawn one to
        // one below the rows above the picture.
        const int64_t count = -static_cast<int64_t>(p.headerHeight);
        REQUIRE(p.headerHeight < 0 && p.sourceY == 0);
        REQUIRE(p.sourceHeight == count && p.destinationHeight == count);
        REQUIRE(p.destinationSkip >= 0 && p.destinationSkip + count <= destination);
        REQUIRE(static_cast<int64_t>(firstRow) == top + p.destinationSkip);
        REQUIRE(static_cast<int64_t>(firstRow) >= top);
        REQUIRE(static_cast<int64_t>(firstRow) + count <= bottom);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    REQUIRE(CheckDibLayout(nullptr, size).verdict == DibVerdict::ShortHeader);
    const DibLayout layout = CheckDibLayout(size != 0 ? data : nullptr, size);
    const SoundLayout expected = Describe(data, size);
    const bool fits = expected.sound && expected.minimum <= size;
    // Kept exactly when the header is sound and the block holds it all;
    // drawn exactly when GDI can draw it too.
    REQUIRE(!DibLayoutIsCorrupt(layout.verdict) == fits);
    REQUIRE((layout.verdict == DibVerdict::Drawable) == (fits && expected.drawable));
    if (!DibLayoutIsCorrupt(layout.verdict)) {
        REQUIRE(layout.verdict == DibVerdict::Drawable || layout.verdict == DibVerdict::Unsupported);
        REQUIRE(SameLayout(layout, expected.layout));
        if (layout.verdict == DibVerdict::Drawable) {
            CheckPainterBounds(size, layout);
        } else {
            CheckKeptBounds(data, size, layout);
        }
        // The same bytes in a block of just the size needed give the same
        // layout; below the smallest block kept they are corrupt.
        REQUIRE(SameLayout(layout, CheckDibLayout(data, expected.needed)));
        REQUIRE(DibLayoutIsCorrupt(CheckDibLayout(data, expected.minimum - 1).verdict));
    } else if (size != 0) {
        // What does not fit a block does not fit a shorter one either.
        REQUIRE(DibLayoutIsCorrupt(CheckDibLayout(data, size - 1).verdict));
    }
    RowRange ranges[MAX_RANGES];
    const int count = RangesFor(data, size, layout.rows > 0 ? layout.rows : 1, ranges);
    for (int i = 0; i < count; ++i) {
        CheckPlan(size, layout, ranges[i]);
    }
    return 0;
}
