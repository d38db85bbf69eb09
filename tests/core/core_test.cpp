// The core library on its own: the one narrowing of 64-bit results to int,
// and the duplicate of an image block.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>

#include "image.h"
#include "saturate.h"

TEST(SaturateToInt, KeepsWhatFitsAndStopsAtTheEndsOfTheRange)
{
    constexpr int64_t intMax = std::numeric_limits<int>::max();
    constexpr int64_t intMin = std::numeric_limits<int>::min();
    const struct {
        int64_t value;
        int expected;
    } cases[] = {
        {0, 0},
        {-5, -5},
        {intMax, INT32_MAX},
        {intMax + 1, INT32_MAX},
        {intMin, INT32_MIN},
        {intMin - 1, INT32_MIN},
        {std::numeric_limits<int64_t>::max(), INT32_MAX},
        {std::numeric_limits<int64_t>::min(), INT32_MIN},
        // What a scroll limit meets: an image extent far past a small client.
        {intMax - (-100), INT32_MAX},
        {intMin - 768, INT32_MIN},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.expected, SaturateToInt(c.value)) << "value " << c.value;
    }
}

TEST(DuplicateImageBlock, CopiesEveryByteIntoANewBlockAndRefusesNoBlock)
{
    EXPECT_EQ(nullptr, DuplicateImageBlock(nullptr));

    const SIZE_T size = 40 + 1024 + 7;
    HGLOBAL source = GlobalAlloc(GMEM_MOVEABLE, size);
    ASSERT_NE(nullptr, source);
    BYTE *bytes = static_cast<BYTE *>(GlobalLock(source));
    ASSERT_NE(nullptr, bytes);
    for (SIZE_T i = 0; i < size; ++i) {
        bytes[i] = static_cast<BYTE>(i * 7 + 3);
    }
    GlobalUnlock(source);

    HGLOBAL copy = DuplicateImageBlock(source);
    ASSERT_NE(nullptr, copy);
    EXPECT_NE(source, copy);
    EXPECT_EQ(size, GlobalSize(copy));
    const BYTE *from = static_cast<const BYTE *>(GlobalLock(source));
    const BYTE *to = static_cast<const BYTE *>(GlobalLock(copy));
    ASSERT_NE(nullptr, to);
    EXPECT_EQ(0, memcmp(from, to, size));
    GlobalUnlock(copy);
    GlobalUnlock(source);
    // Both blocks stay unlocked: the duplicate balanced its locks.
    EXPECT_EQ(0u, GlobalFlags(copy) & GMEM_LOCKCOUNT);
    EXPECT_EQ(0u, GlobalFlags(source) & GMEM_LOCKCOUNT);
    GlobalFree(copy);
    GlobalFree(source);
}
