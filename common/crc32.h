// CRC-32 as zlib computes it (IEEE 802.3, reflected polynomial 0xEDB88320,
// initial and final inversion). Shared by hostmon, the simulated driver and
// their tests, so every log line they write or check uses one routine.
// Header only and free of windows.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace crc32detail {
constexpr std::array<uint32_t, 256> MakeTable()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        table[n] = c;
    }
    return table;
}
constexpr std::array<uint32_t, 256> table = MakeTable();
}  // namespace crc32detail

// Continues a running CRC over `size` more bytes; start with crc 0, like
// zlib's crc32(0, data, size).
inline uint32_t Crc32(const void *data, size_t size, uint32_t crc = 0)
{
    const unsigned char *p = static_cast<const unsigned char *>(data);
    crc = ~crc;
    for (size_t i = 0; i < size; ++i) {
        crc = crc32detail::table[(crc ^ p[i]) & 0xFFu] ^ (crc >> 8);
    }
    return ~crc;
}
