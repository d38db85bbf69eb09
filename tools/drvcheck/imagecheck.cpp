// The image blocks a driver delivers in the smoke run: the station's layout
// check of each, its size against XRAYSize, the layout the station expects,
// and the copy saved with --save.
#include "imagecheck.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "childreport.h"
#include "diblayout.h"
#include "station.h"

namespace drvcheck {

namespace {

const char *VerdictText(DibVerdict verdict)
{
    switch (verdict) {
    case DibVerdict::Drawable: return "drawable";
    case DibVerdict::ShortHeader: return "the block ends inside the header";
    case DibVerdict::BadHeaderSize: return "biSize is not a header length GDI knows";
    case DibVerdict::BadPlanes: return "biPlanes is not 1";
    case DibVerdict::BadDimensions: return "the width or height is not possible";
    case DibVerdict::Unsupported: return "a bit count and compression that cannot be drawn";
    case DibVerdict::BadColourCount: return "biClrUsed is larger than a colour table can be";
    case DibVerdict::ShortTable: return "the colour table runs past the end of the block";
    case DibVerdict::ShortBits: return "the pixel rows run past the end of the block";
    }
    return "?";
}

void SaveBlock(const char *dir, int number, const BYTE *bytes, SIZE_T size, const DibLayout &layout)
{
    char path[MAX_PATH];
    snprintf(path, sizeof path, "%s\\drvcheck-%d.bmp", dir, number);
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;  // "BM"
    file.bfSize = static_cast<DWORD>(sizeof file + size);
    file.bfOffBits = static_cast<DWORD>(sizeof file + (layout.verdict == DibVerdict::Drawable ? layout.bitsOffset : 0));
    FILE *out = fopen(path, "wb");
    if (out == nullptr || fwrite(&file, sizeof file, 1, out) != 1 || fwrite(bytes, 1, size, out) != size) {
        ChildFinding(Level::Error, "image %d: could not write %s", number, path);
    } else {
        ChildFinding(Level::Ok, "image %d: saved as %s", number, path);
    }
    if (out != nullptr) {
        fclose(out);
    }
}

// The station's layout check, and the size it finds against XRAYSize's.
void ReportStationCheck(int number, const DibLayout &layout, int width, int height)
{
    if (layout.verdict == DibVerdict::Drawable) {
        ChildFinding(Level::Ok, "image %d: the station's layout check passes it (pixels at offset %lu)", number,
                     static_cast<unsigned long>(layout.bitsOffset));
        if (layout.width == width && layout.rows == height) {
            ChildFinding(Level::Ok, "image %d: %ld x %ld, the size XRAYSize reports", number,
                         static_cast<long>(layout.width), static_cast<long>(layout.rows));
        } else {
            ChildFinding(Level::Error,
                         "image %d: %ld x %ld, but XRAYSize reports %d x %d; the station sizes its view "
                         "by XRAYSize",
                         number, static_cast<long>(layout.width), static_cast<long>(layout.rows), width, height);
        }
    } else {
        ChildFinding(Level::Error, "image %d: the station's layout check refuses it: %s", number,
                     VerdictText(layout.verdict));
    }
}

// The image block layout: 8 bits, a 256-entry table after the header,
// rows bottom-up, all inside the block.
void ReportBlockLayout(int number, const DibLayout &layout)
{
    std::string differences;
    if (layout.verdict != DibVerdict::Drawable) {
        differences += ", not drawable";
    } else {
        if (layout.bitCount != 8 || layout.compression != BI_RGB) {
            differences += ", " + std::to_string(layout.bitCount) + " bits a pixel";
        }
        if (layout.bitCount == 8 && layout.colourEntries != 256) {
            differences += ", a colour table of " + std::to_string(layout.colourEntries) + " entries";
        }
        if (layout.topDown) {
            differences += ", top-down rows";
        }
    }
    if (differences.empty()) {
        ChildFinding(Level::Ok, "image %d: image block layout: yes (8 bits, 256 colours, bottom-up)", number);
    } else {
        ChildFinding(Level::Warn, "image %d: image block layout: no (%s)", number, differences.c_str() + 2);
    }
}

}  // namespace

// What the station does with one image block: its layout check, its size
// against XRAYSize, and whether it is the layout the station expects.
void CheckImageBlock(int number, LPARAM value, int width, int height, const char *saveDir)
{
    HGLOBAL block = reinterpret_cast<HGLOBAL>(value);
    if (block == nullptr) {
        ChildFinding(Level::Warn, "image %d: lParam is 0; the station ignores such a message", number);
        return;
    }
    SIZE_T size = GlobalSize(block);
    const BYTE *bytes = size != 0 ? static_cast<const BYTE *>(GlobalLock(block)) : nullptr;
    if (bytes == nullptr) {
        ChildFinding(Level::Error, "image %d: lParam 0x%0*llX is not a global memory block", number, ADDRESS_DIGITS,
                     static_cast<unsigned long long>(value));
        return;
    }
    BITMAPINFOHEADER header = {};
    memcpy(&header, bytes, size < sizeof header ? size : sizeof header);
    ChildFinding(Level::Ok,
                 "image %d: block of %lu bytes; header: biSize %lu, biWidth %ld, biHeight %ld, biPlanes %u, "
                 "biBitCount %u, biCompression %lu, biSizeImage %lu, biClrUsed %lu",
                 number, static_cast<unsigned long>(size), static_cast<unsigned long>(header.biSize),
                 static_cast<long>(header.biWidth), static_cast<long>(header.biHeight), header.biPlanes,
                 header.biBitCount, static_cast<unsigned long>(header.biCompression),
                 static_cast<unsigned long>(header.biSizeImage), static_cast<unsigned long>(header.biClrUsed));
    DibLayout layout = CheckDibLayout(bytes, size);
    ReportStationCheck(number, layout, width, height);
    ReportBlockLayout(number, layout);
    if (saveDir != nullptr) {
        SaveBlock(saveDir, number, bytes, size, layout);
    }
    GlobalUnlock(block);
    GlobalFree(block);
}

}  // namespace drvcheck
