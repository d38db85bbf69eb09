// The DIB layout check and the rows handed to the drawing call, on values
// alone: no window.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "diblayout.h"
#include "dibbuilder.h"
#include "view.h"

static DibFields Fields(uint16_t bits, int32_t w, int32_t h, uint32_t table, uint32_t used = 0,
                    uint32_t compression = 0, uint32_t headerSize = 40)
{
    DibFields s;
    s.bitCount = bits, s.width = w, s.height = h, s.tableEntries = table, s.coloursUsed = used;
    s.compression = compression, s.headerSize = headerSize;
    return s;
}

// Compressed bits of `bytes` bytes, declared in biSizeImage.
static DibFields Compressed(DibFields s, uint32_t bytes)
{
    s.sizeImage = bytes;
    s.imageBytes = bytes;
    return s;
}

static int Verdict(const std::vector<uint8_t> &b, size_t size)
{
    return static_cast<int>(CheckDibLayout(size ? b.data() : nullptr, size).verdict);
}

TEST(CheckDibLayout, EveryCommonLayoutFitsAndNoShorterBlockDoes)
{
    // Bits offsets and strides worked out by hand.
    const struct {
        const char *what;
        DibFields fields;
        uint32_t bitsOffset, stride;
    } cases[] = {
        {"8-bit image block", Fields(8, 512, 768, 256), 1064, 512},
        {"8-bit top-down", Fields(8, 4, -3, 256), 1064, 4},
        {"8-bit, 252 colours", Fields(8, 10, 3, 252, 252), 1048, 12},
        {"8-bit, full table named", Fields(8, 10, 3, 256, 256), 1064, 12},
        {"4-bit, full table named", Fields(4, 3, 3, 16, 16), 104, 4},
        {"1-bit, full table named", Fields(1, 33, 2, 2, 2), 48, 8},
        {"8-bit, V3 header", Fields(8, 4, 2, 256, 0, 0, 56), 1080, 4},
        {"1-bit", Fields(1, 33, 2, 2), 48, 8},
        {"4-bit", Fields(4, 3, 3, 16), 104, 4},
        {"4-bit, 5 colours", Fields(4, 9, 2, 5, 5), 60, 8},
        {"16-bit", Fields(16, 3, 2, 0), 40, 8},
        {"16-bit bit fields", Fields(16, 2, 2, 0, 0, 3), 52, 4},
        {"16-bit bit fields, V2 header", Fields(16, 2, 2, 0, 0, 3, 52), 52, 4},
        {"24-bit", Fields(24, 5, -2, 0), 40, 16},
        {"24-bit, optional table", Fields(24, 5, 2, 3, 3), 52, 16},
        {"32-bit, V4 header", Fields(32, 3, 2, 0, 0, 0, 108), 108, 12},
        {"32-bit bit fields, V5 header", Fields(32, 3, -2, 0, 0, 3, 124), 124, 12},
        {"32-bit bit fields and a table", Fields(32, 3, 2, 2, 2, 3), 60, 12},
    };
    const int drawable = static_cast<int>(DibVerdict::Drawable);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> block = BuildDib(c.fields);
        DibLayout l = CheckDibLayout(block.data(), block.size());
        ASSERT_EQ(DibVerdict::Drawable, l.verdict);
        EXPECT_EQ(c.bitsOffset, l.bitsOffset);
        EXPECT_EQ(c.stride, l.stride);
        EXPECT_EQ(c.fields.height < 0, l.topDown);
        block.push_back(0);
        EXPECT_EQ(drawable, Verdict(block, block.size())) << "with a spare byte";
        block.pop_back();
        EXPECT_EQ(static_cast<int>(DibVerdict::ShortBits), Verdict(block, block.size() - 1));
        // Cut anywhere, copied to exactly that size while small.
        for (size_t size = 0; size < block.size(); ++size) {
            std::vector<uint8_t> cut(block.begin(),
                                     block.begin() + (block.size() < 4096 ? size : 0));
            ASSERT_NE(drawable, Verdict(cut.empty() ? block : cut, size)) << "size " << size;
        }
    }
}

TEST(CheckDibLayout, UnsafeOrUndrawableHeadersAreRefused)
{
    using V = DibVerdict;
    auto header = [](uint32_t size) {
        DibFields s = Fields(8, 4, 4, 256);
        s.headerSize = size;
        return s;
    };
    auto planes = [](uint16_t n) {
        DibFields s = Fields(8, 4, 4, 256);
        s.planes = n;
        return s;
    };
    const struct {
        const char *what;
        DibFields fields;
        V verdict;
    } cases[] = {
        {"core header", header(12), V::BadHeaderSize},
        {"biSize 41", header(41), V::BadHeaderSize},
        {"biSize huge", header(0xFFFFFFF0u), V::BadHeaderSize},
        {"planes 2", planes(2), V::BadPlanes},
        {"width 0", Fields(8, 0, 4, 256), V::BadDimensions},
        {"width < 0", Fields(8, -4, 4, 256), V::BadDimensions},
        {"height 0", Fields(8, 4, 0, 256), V::BadDimensions},
        {"RLE8", Compressed(Fields(8, 4, 4, 256, 0, 1), 16), V::Unsupported},
        {"RLE4", Compressed(Fields(4, 4, 4, 16, 0, 2), 8), V::Unsupported},
        {"JPEG", Compressed(Fields(0, 4, 4, 0, 0, 4), 30), V::Unsupported},
        {"PNG", Compressed(Fields(0, 4, 4, 0, 0, 5), 30), V::Unsupported},
        {"2 bits", Fields(2, 4, 4, 4), V::Unsupported},
        {"bit fields at 24 bits", Fields(24, 4, 4, 0, 0, 3), V::Unsupported},
        {"8 bits, 257 colours", Fields(8, 4, 4, 256, 257), V::BadColourCount},
        {"4 bits, 17 colours", Fields(4, 4, 4, 17, 17), V::BadColourCount},
        {"24 bits, 2^32-1 colours", Fields(24, 4, 4, 0, 0xFFFFFFFFu), V::BadColourCount},
        {"table not in the block", Fields(8, 4, 4, 0), V::ShortTable},
        {"24 bits, 256 colours not in the block", Fields(24, 4, 4, 0, 256), V::ShortTable},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> block = BuildDib(c.fields);
        block.resize(block.size() + 64);
        EXPECT_EQ(static_cast<int>(c.verdict), Verdict(block, block.size())) << c.what;
        // Only a sound header that cannot be drawn is not corrupt.
        EXPECT_EQ(c.verdict != V::Unsupported, DibLayoutIsCorrupt(c.verdict)) << c.what;
    }
    EXPECT_FALSE(DibLayoutIsCorrupt(V::Drawable));
    EXPECT_TRUE(DibLayoutIsCorrupt(V::ShortHeader));
    EXPECT_TRUE(DibLayoutIsCorrupt(V::ShortBits));
    std::vector<uint8_t> masks = BuildDib(Fields(16, 2, 2, 0, 0, 3));
    EXPECT_EQ(static_cast<int>(V::ShortTable), Verdict(masks, 51)) << "masks past the block";

    // The check reads only the 40 header bytes itself, so a claimed size may
    // exceed the bytes behind it here.
    auto sized = [](int32_t w, int32_t h, uint64_t claimed) {
        std::vector<uint8_t> b = BuildDib(Fields(32, 1, 1, 0));
        Put32(b, 4, uint32_t(w));
        Put32(b, 8, uint32_t(h));
        return static_cast<int>(CheckDibLayout(b.data(), claimed).verdict);
    };
    const uint64_t huge = 0x1FFFFFFFFull;
    EXPECT_EQ(int(V::BadDimensions), sized(INT_MAX, 1, huge));
    EXPECT_EQ(int(V::BadDimensions), sized(1, INT_MIN, huge));
    EXPECT_EQ(int(V::BadDimensions), sized(4, 0x10000004, huge))
        << "16 * rows wraps to 64 in 32 bits";
    EXPECT_EQ(int(V::BadDimensions), sized(0x8000, -0x4000, huge)) << "2^31 bytes";
    EXPECT_EQ(int(V::Drawable), sized(4096, 4096, 40 + 4096ull * 4096 * 4));
    EXPECT_EQ(int(V::ShortBits), sized(4096, -4096, 40 + 4096ull * 4096 * 4 - 1));
}

// A header the view cannot draw is still kept, and handed to the hosts, only
// when its table or masks and its bits lie inside the block: compressed bits
// as far as biSizeImage says, which must say something; other bits by rows.
TEST(CheckDibLayout, UndrawableLayoutsAreKeptOnlyWhenTheyFitTheirBlock)
{
    using V = DibVerdict;
    auto huge = [](uint16_t bits, uint32_t compression, uint32_t table) {
        return Fields(bits, 4096, 4096, table, 0, compression);
    };
    auto rowless = [](DibFields s) {
        s.imageBytes = 0;
        return s;
    };
    const struct {
        const char *what;
        DibFields fields;
        size_t blockSize;  // 0: the block as built
        V verdict;
    } cases[] = {
        {"RLE8 4096 x 4096 in 40 bytes", huge(8, 1, 0), 40, V::ShortTable},
        {"RLE4 4096 x 4096 in 40 bytes", huge(4, 2, 0), 40, V::ShortTable},
        {"JPEG 4096 x 4096 in 40 bytes", huge(0, 4, 0), 40, V::ShortBits},
        {"PNG 4096 x 4096 in 40 bytes, 1 byte declared", Compressed(huge(0, 5, 0), 1), 40,
         V::ShortBits},
        {"RLE8 with its table, nothing declared", Compressed(huge(8, 1, 256), 0), 0, V::ShortBits},
        {"RLE8, declared one byte past the block", Compressed(huge(8, 1, 256), 301), 1064 + 300,
         V::ShortBits},
        {"RLE8 of 4096 x 4096 in 300 declared bytes", Compressed(huge(8, 1, 256), 300), 0,
         V::Unsupported},
        {"RLE8, 257 colours", Compressed(Fields(8, 4, 4, 256, 257, 1), 16), 0, V::BadColourCount},
        {"JPEG, a table of 3 past the block", Compressed(Fields(0, 4, 4, 0, 3, 4), 0), 48,
         V::ShortTable},
        {"JPEG, a table of 3 and 20 bytes", Compressed(Fields(0, 4, 4, 3, 3, 4), 20), 0,
         V::Unsupported},
        {"a compression no GDI knows", Compressed(Fields(8, 4, 4, 256, 0, 0x1234), 9), 0,
         V::Unsupported},
        {"the same, nothing declared", Compressed(Fields(8, 4, 4, 256, 0, 0x1234), 0), 0,
         V::ShortBits},
        {"2 bits, rows past the block", rowless(Fields(2, 4096, 4096, 4)), 1024, V::ShortBits},
        {"2 bits, 5 colours", Fields(2, 4, 4, 5, 5), 0, V::BadColourCount},
        {"bit fields at 24 bits, masks past the block", Fields(24, 4, 4, 0, 0, 3), 51,
         V::ShortTable},
        {"bit fields at 24 bits, rows of 2^31 bits", rowless(Fields(24, 0x7FFFFFF0, 1, 0, 0, 3)), 52,
         V::BadDimensions},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> block = BuildDib(c.fields);
        const size_t size = c.blockSize != 0 ? c.blockSize : block.size();
        block.resize(size);
        const DibLayout l = CheckDibLayout(block.data(), block.size());
        EXPECT_EQ(static_cast<int>(c.verdict), static_cast<int>(l.verdict));
        EXPECT_EQ(c.verdict != V::Unsupported, DibLayoutIsCorrupt(l.verdict));
        if (c.verdict == V::Unsupported) {
            // Kept exactly as long as every declared byte is there.
            EXPECT_EQ(block.size() - c.fields.sizeImage, l.bitsOffset);
            EXPECT_TRUE(DibLayoutIsCorrupt(CheckDibLayout(block.data(), size - 1).verdict));
        }
    }
}

TEST(PlanDibSourceRows, BottomUpCountsFromTheBottomTopDownIsRebased)
{
    // The default extent in a 1000 by 700 client, bars at 0 then at 0 and 68.
    RECT s, d;
    ComputePaintRectangles(512, 768, RECT {0, 0, 1000, 700}, 0, 0, &s, &d);
    EXPECT_EQ(
        (std::vector<LONG> {0, 0, 512, 700, 0, 0, 512, 700}),
        (std::vector<LONG> {s.left, s.top, s.right, s.bottom, d.left, d.top, d.right, d.bottom}));
    std::vector<uint8_t> up = BuildDib(Fields(8, 512, 768, 256));
    DibLayout l = CheckDibLayout(up.data(), up.size());
    DibSourceRows r = PlanDibSourceRows(l, s.top, s.bottom, d.bottom);
    EXPECT_TRUE(r.draw);
    EXPECT_EQ(68, r.sourceY);  // 768 - 700
    EXPECT_EQ(700, r.sourceHeight);
    EXPECT_EQ(768, r.headerHeight);
    EXPECT_EQ(1064u, r.bitsOffset);
    ComputePaintRectangles(512, 768, RECT {0, 0, 1000, 700}, 0, 68, &s, &d);
    EXPECT_EQ(768, s.bottom);
    EXPECT_EQ(0, PlanDibSourceRows(l, s.top, s.bottom, d.bottom).sourceY)
        << "the first row in memory";
    EXPECT_FALSE(PlanDibSourceRows(CheckDibLayout(up.data(), up.size() - 1), 0, 700, 700).draw);

    // Top-down: the visible rows become a block of their own, source y 0.
    std::vector<uint8_t> down = BuildDib(Fields(8, 512, -768, 256));
    l = CheckDibLayout(down.data(), down.size());
    r = PlanDibSourceRows(l, 68, 768, 700);
    EXPECT_EQ(1064u + 68 * 512, r.bitsOffset);
    EXPECT_EQ(-700, r.headerHeight);
    EXPECT_EQ(0, r.sourceY);
    r = PlanDibSourceRows(l, 700, 1400, 700);
    EXPECT_EQ(-68, r.headerHeight) << "only the rows that exist";
    EXPECT_EQ(68, r.destinationHeight);
    r = PlanDibSourceRows(l, -5, 695, 700);
    EXPECT_EQ(5, r.destinationSkip);
    EXPECT_EQ(1064u, r.bitsOffset);
    EXPECT_FALSE(PlanDibSourceRows(l, 768, 1468, 700).draw);
    EXPECT_FALSE(PlanDibSourceRows(l, INT_MIN, INT_MIN + 700, 700).draw);
}
