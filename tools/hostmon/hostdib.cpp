// Checking the data a host receives against the station's image layout
// before anything behind the header is read, and saving it as a .bmp file.
#include "hostdib.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "dibbytes.h"

namespace hostmon {

namespace {

constexpr LONG MAX_SIDE = 65536;

}  // namespace

// The layout the station sends: a header of at least 40 bytes, always a
// 1024-byte colour table, then 8-bit rows padded to four bytes. On success
// `bitsOffset` and `bitsSize` locate the rows inside the `size` bytes.
bool CheckDib(const BYTE *data, size_t size, BITMAPINFOHEADER *header, size_t *bitsOffset, size_t *bitsSize)
{
    if (size < sizeof(BITMAPINFOHEADER)) {
        return false;
    }
    memcpy(header, data, sizeof *header);
    if (header->biSize < sizeof(BITMAPINFOHEADER) || header->biSize > size ||
        size - header->biSize < COLOUR_TABLE_BYTES) {
        return false;
    }
    if (header->biPlanes != 1 || header->biBitCount != 8 || header->biCompression != BI_RGB ||
        header->biClrUsed > 256) {
        return false;
    }
    // Negative heights are top-down rows; -INT_MIN does not fit a LONG.
    int64_t rows = header->biHeight < 0 ? -static_cast<int64_t>(header->biHeight) : header->biHeight;
    if (header->biWidth <= 0 || header->biWidth > MAX_SIDE || rows <= 0 || rows > MAX_SIDE) {
        return false;
    }
    uint64_t stride = (static_cast<uint64_t>(header->biWidth) + 3u) & ~uint64_t{3};
    uint64_t need = stride * static_cast<uint64_t>(rows);
    size_t offset = header->biSize + COLOUR_TABLE_BYTES;
    if (need > size - offset) {
        return false;
    }
    *bitsOffset = offset;
    *bitsSize = static_cast<size_t>(need);
    return true;
}

// Writes the DIB as a .bmp file: a file header, then the bytes as received.
void SaveBitmap(const char *folder, const char *className, unsigned count, const BYTE *data, size_t size)
{
    // Named by local time and host, so the images of several runs sort in
    // the order they came and never overwrite each other.
    SYSTEMTIME now;
    GetLocalTime(&now);
    char path[MAX_PATH];
    snprintf(path, sizeof path, "%s\\%04u%02u%02u-%02u%02u%02u-%03u-%s-%u.bmp", folder, now.wYear, now.wMonth,
             now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, className, count);
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;  // "BM"
    file.bfSize = static_cast<DWORD>(sizeof file + size);
    // Where the rows start when the data has the station's layout; never
    // past the end of the file.
    size_t offset = sizeof(BITMAPINFOHEADER) + COLOUR_TABLE_BYTES;
    if (size >= sizeof(BITMAPINFOHEADER)) {
        DWORD headerSize;
        memcpy(&headerSize, data, sizeof headerSize);
        if (headerSize >= sizeof(BITMAPINFOHEADER) && headerSize <= size) {
            offset = headerSize + COLOUR_TABLE_BYTES;
        }
    }
    if (offset > size) {
        offset = size;
    }
    file.bfOffBits = static_cast<DWORD>(sizeof file + offset);
    HANDLE out = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written;
    WriteFile(out, &file, sizeof file, &written, nullptr);
    if (size > 0) {
        WriteFile(out, data, static_cast<DWORD>(size), &written, nullptr);
    }
    CloseHandle(out);
}

}  // namespace hostmon
