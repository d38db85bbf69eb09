// Helpers for the view's tests: packed DIBs built byte by byte (any header
// length, depth, table length, row order; pixels given top row first), the
// real main window opened on a test driver, and its client area read back.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "fixtures.h"
#include "modal.h"
#include "testdrv_client.h"
#include "xraydrv.h"

struct DibFields {
    int32_t width = 512;
    int32_t height = 768;  // negative: top-down
    uint16_t bitCount = 8;
    uint32_t tableEntries = 256;  // written after the header (and the masks)
    uint32_t coloursUsed = 0;
    uint32_t compression = 0;  // 3: bit fields, masks 0xFF0000, 0xFF00, 0xFF
    uint32_t headerSize = 40;
    uint16_t planes = 1;
    uint32_t sizeImage = 0;     // biSizeImage
    int64_t imageBytes = -1;    // bytes laid after the table; -1: the rows the header names
};

inline void Put32(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

inline uint32_t Stride(int32_t width, uint16_t bits)
{
    return (uint32_t(width) * bits + 31) / 32 * 4;
}

// pixel: the index up to 8 bits, else 0xRRGGBB; colour: table entry -> 0xRRGGBB.
inline std::vector<uint8_t> BuildDib(const DibFields &s,
                                     const std::function<uint32_t(int, int)> &pixel = nullptr,
                                     const std::function<uint32_t(int)> &colour = nullptr)
{
    // Nonsense header sizes and widths are written, but laid out as 40 and 0.
    const int32_t rows = s.height < 0 ? -s.height : s.height;
    const size_t header = s.headerSize >= 40 && s.headerSize <= 124 ? s.headerSize : 40;
    const size_t masks = s.compression == 3 && header == 40 ? 12 : 0;
    const size_t bits = header + masks + s.tableEntries * 4;
    const size_t stride = s.width > 0 ? Stride(s.width, s.bitCount) : 0;
    const size_t image = s.imageBytes >= 0 ? size_t(s.imageBytes) : stride * rows;
    std::vector<uint8_t> b(bits + image, 0);
    Put32(b, 0, s.headerSize);
    Put32(b, 4, uint32_t(s.width));
    Put32(b, 8, uint32_t(s.height));
    Put32(b, 12, s.planes | uint32_t(s.bitCount) << 16);
    Put32(b, 16, s.compression);
    Put32(b, 20, s.sizeImage);
    Put32(b, 32, s.coloursUsed);
    if (s.compression == 3) {
        Put32(b, 40, 0xFF0000), Put32(b, 44, 0xFF00), Put32(b, 48, 0xFF);
    }
    for (uint32_t i = 0; i < s.tableEntries; ++i) {
        Put32(b, bits - s.tableEntries * 4 + 4 * i, colour ? colour(int(i)) : 0);
    }
    for (int32_t y = 0; pixel && s.imageBytes < 0 && y < rows; ++y) {
        uint8_t *row = &b[bits + stride * (s.height > 0 ? rows - 1 - y : y)];
        for (int32_t x = 0; x < s.width; ++x) {
            const uint32_t v = pixel(x, y);
            if (s.bitCount < 8) {
                const int perByte = 8 / s.bitCount;
                row[x / perByte] |= uint8_t(v << (8 - s.bitCount * (1 + x % perByte)));
            } else {
                memcpy(row + x * s.bitCount / 8, &v, s.bitCount / 8);
            }
        }
    }
    return b;
}

inline HGLOBAL MakeBlock(const std::vector<uint8_t> &bytes)
{
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
    memcpy(GlobalLock(block), bytes.data(), bytes.size());
    GlobalUnlock(block);
    return block;
}

inline UINT LockCount(HGLOBAL block) { return GlobalFlags(block) & GMEM_LOCKCOUNT; }

// The main window on a test driver, shown; "xray.ini" and the registry are
// restored and every message box is answered.
struct Station {
    RegistryGuard registry;
    IniGuard ini;
    ModalCatcher modal;
    TestDriver driver;
    HWND window;

    explicit Station(const char *dll = "testdrv_full.dll")
        : driver(dll)
    {
        WriteDriverPath(driver.path.c_str());
        window = CreateStationWindow();
        ShowWindow(window, SW_SHOWNORMAL);
        UpdateWindow(window);
        PumpMessages(20);
    }
    ~Station()
    {
        DestroyWindow(window);
        PumpMessages();
    }
    // Resizes the frame until the client area, bars included, is w by h.
    bool SetClient(int w, int h)
    {
        RECT c, f;
        for (int i = 0; i < 8 && GetClientRect(window, &c) && (c.right != w || c.bottom != h);
             ++i) {
            GetWindowRect(window, &f);
            SetWindowPos(window, nullptr, 0, 0, f.right - f.left + w - c.right,
                         f.bottom - f.top + h - c.bottom, SWP_NOZORDER | SWP_NOACTIVATE);
            PumpMessages();
        }
        return c.right == w && c.bottom == h;
    }
    HGLOBAL Deliver(const std::vector<uint8_t> &bytes)
    {
        HGLOBAL block = MakeBlock(bytes);
        SendMessageA(window, WM_USER, XRAY_MSG_IMAGE, reinterpret_cast<LPARAM>(block));
        return block;
    }
    // Sends a scroll request as the bar does; true when it left the client
    // area to repaint.
    bool Scroll(int bar, WORD request, WORD thumb = 0)
    {
        ValidateRect(window, nullptr);
        SendMessageA(window, bar == SB_HORZ ? WM_HSCROLL : WM_VSCROLL, MAKEWPARAM(request, thumb),
                     0);
        return GetUpdateRect(window, nullptr, FALSE) != FALSE;
    }
    // The client area as 0xRRGGBB, top row first.
    std::vector<uint32_t> Capture(int *width)
    {
        RECT c;
        GetClientRect(window, &c);
        BITMAPINFO info = {};
        info.bmiHeader = {
            sizeof(BITMAPINFOHEADER), c.right, -c.bottom, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        void *bits = nullptr;
        HBITMAP dib = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        HDC memory = CreateCompatibleDC(nullptr), dc = GetDC(window);
        HGDIOBJ old = SelectObject(memory, dib);
        BitBlt(memory, 0, 0, c.right, c.bottom, dc, 0, 0, SRCCOPY);
        GdiFlush();
        std::vector<uint32_t> pixels(static_cast<uint32_t *>(bits),
                                     static_cast<uint32_t *>(bits) + c.right * c.bottom);
        for (uint32_t &p : pixels) {
            p &= 0xFFFFFF;
        }
        ReleaseDC(window, dc);
        DeleteObject(SelectObject(memory, old));
        DeleteDC(memory);
        *width = c.right;
        return pixels;
    }
};
