// An image size and the bytes of its image block, as every file of
// bench.exe counts them.
#pragma once

#include <cstdint>

struct Size {
    int width;
    int height;
};

// Header, colour table and rows padded to four bytes.
inline uint32_t BlockBytes(Size size)
{
    return 40 + 1024 + ((size.width + 3u) & ~3u) * size.height;
}
