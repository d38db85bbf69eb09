// Replay of a .bmp file: XRAYSIM_REPLAY names a file whose picture, made
// grey, is delivered instead of the synthetic radiograph.
#include "replay.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "settings.h"

// The grey level of a colour, as ITU-R BT.601 weighs it, rounded.
static BYTE GreyOf(BYTE red, BYTE green, BYTE blue)
{
    return static_cast<BYTE>((299u * red + 587u * green + 114u * blue + 500u) / 1000u);
}

// Reads an uncompressed 8-bit (with its colour table) or 24-bit .bmp file
// into a grey picture; false for anything else, or a file cut short.
bool ReadReplayBitmap(const char *path, Picture *picture)
{
    std::vector<BYTE> file;
    if (FILE *f = fopen(path, "rb")) {
        BYTE buffer[65536];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, f)) > 0 && file.size() < (256u << 20)) {
            file.insert(file.end(), buffer, buffer + n);
        }
        fclose(f);
    }
    BITMAPFILEHEADER fileHeader;
    BITMAPINFOHEADER header;
    if (file.size() < sizeof fileHeader + sizeof header) {
        return false;
    }
    memcpy(&fileHeader, file.data(), sizeof fileHeader);
    memcpy(&header, file.data() + sizeof fileHeader, sizeof header);
    const bool topDown = header.biHeight < 0;
    const int64_t width = header.biWidth;
    const int64_t height = topDown ? -static_cast<int64_t>(header.biHeight) : header.biHeight;
    if (fileHeader.bfType != 0x4D42 || header.biSize < sizeof header || header.biPlanes != 1 ||
        header.biCompression != BI_RGB || (header.biBitCount != 8 && header.biBitCount != 24) || width < 1 ||
        width > 2 * MAX_SIDE || height < 1 || height > 2 * MAX_SIDE) {
        return false;
    }
    const uint64_t tableAt = sizeof fileHeader + static_cast<uint64_t>(header.biSize);
    const uint32_t entries = header.biBitCount == 8 ? (header.biClrUsed ? header.biClrUsed : 256) : 0;
    const uint64_t stride = (static_cast<uint64_t>(width) * header.biBitCount / 8 + 3) & ~uint64_t{3};
    if (entries > 256 || tableAt + 4ull * entries > file.size() || fileHeader.bfOffBits > file.size() ||
        stride * height > file.size() - fileHeader.bfOffBits) {
        return false;
    }
    BYTE levels[256] = {};
    for (uint32_t i = 0; i < entries; ++i) {
        const BYTE *q = file.data() + tableAt + 4 * i;  // blue, green, red, reserved
        levels[i] = GreyOf(q[2], q[1], q[0]);
    }
    picture->width = static_cast<int>(width);
    picture->height = static_cast<int>(height);
    picture->grey.resize(static_cast<size_t>(width * height));
    for (int64_t row = 0; row < height; ++row) {
        const int64_t stored = topDown ? row : height - 1 - row;
        const BYTE *in = file.data() + fileHeader.bfOffBits + stored * stride;
        BYTE *out = picture->grey.data() + row * width;
        for (int64_t x = 0; x < width; ++x) {
            out[x] = header.biBitCount == 8 ? levels[in[x]] : GreyOf(in[3 * x + 2], in[3 * x + 1], in[3 * x]);
        }
    }
    return true;
}
