// The bytes of a packed DIB as the programs read them: little-endian field
// readers that need no alignment, and the size of the colour table that
// every image block from a driver keeps. Header only and free of windows.h,
// so the pure checks use it on any host.
#pragma once

#include <cstdint>

// 256 colour entries (RGBQUAD) of four bytes each.
constexpr uint32_t COLOUR_TABLE_BYTES = 256 * 4;

inline uint16_t ReadU16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

inline uint32_t ReadU32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
        (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
