// The host programs' side of the image transfer: the window classes the
// station finds the front end and the photo server by, the name of the
// message it posts the photo server when it closes, and the line hostmon,
// standing in for both, logs for each image it receives. Free of windows.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr const char FRONT_END_CLASS[] = "TLumitaneWnd";
constexpr const char PHOTO_SERVER_CLASS[] = "PELK_FOTO_SERVER";
// Registered with RegisterWindowMessageA by both sides.
constexpr const char DELETE_RESOURCE_MESSAGE[] = "WM_DELETE_RESOURCE";

// hostmon's line for one WM_COPYDATA: the tag and its two words, the byte
// count, the width, height and bit count of the header at the start of the
// data (0 when the data is shorter than a header) and the CRC-32 of the data.
inline void FormatCopyDataLine(char *line, size_t size, const char *host, uint32_t tag, uint32_t bytes, long width,
                               long height, unsigned bits, uint32_t crc)
{
    snprintf(line, size,
             "COPYDATA host=%s dwData=0x%08lX high=%u low=%u cbData=%lu width=%ld height=%ld "
             "bits=%u crc32=0x%08lX",
             host, static_cast<unsigned long>(tag), static_cast<unsigned>(tag >> 16),
             static_cast<unsigned>(tag & 0xFFFFu), static_cast<unsigned long>(bytes), width, height, bits,
             static_cast<unsigned long>(crc));
}
