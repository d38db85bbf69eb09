// The view in the real main window under Xvfb: limits and bars, scroll
// requests, the intake of driver images, the grey palette, the locking of
// image blocks, and the picture read back pixel by pixel.
#include <gtest/gtest.h>

#include <string>

#include "dibbuilder.h"
#include "iatpatch.h"
#include "memwatch.h"
#include "palette.h"
#include "teststation.h"
#include "view.h"
#include "xraydrv.h"

namespace {

// Every table index its own colour: red carries the index.
uint32_t TableColour(int i)
{
    return uint32_t(i) << 16 | uint32_t(i * 3 & 255) << 8 | uint32_t(255 - i);
}
// A ramp whose top-left and bottom-right pixels carry indices found nowhere else.
uint32_t Ramp(int x, int y)
{
    return x + y == 0 ? 250 : x == 511 && y == 767 ? 251 : uint32_t(x + 3 * y) % 250;
}
uint32_t RampColour(int x, int y) { return TableColour(int(Ramp(x, y))); }
// A colour of its own for every pixel of 512 by 768, never black.
uint32_t Rgb(int x, int y)
{
    return uint32_t(x & 255) << 16 | uint32_t(y & 255) << 8 | 0x80 | x >> 8 | (y >> 8) << 1;
}
uint32_t Black(int, int) { return 0; }

int RangeMax(HWND w, int bar)
{
    int low = -1, high = -1;
    GetScrollRange(w, bar, &low, &high);
    return high;
}

// The stored limits and the bars' ranges fit the client area as it is now.
void ExpectLimits(HWND w, int width, int height)
{
    RECT c;
    GetClientRect(w, &c);
    SCOPED_TRACE("client " + std::to_string(c.right) + "x" + std::to_string(c.bottom));
    EXPECT_EQ(width - c.right, StoredScrollLimit(SB_HORZ));
    EXPECT_EQ(height - c.bottom, StoredScrollLimit(SB_VERT));
    EXPECT_EQ(width > c.right ? width - c.right : 0, RangeMax(w, SB_HORZ));
    EXPECT_EQ(height > c.bottom ? height - c.bottom : 0, RangeMax(w, SB_VERT));
}

// The client area against a picture pw by ph seen from the bars' offsets,
// black outside it.
std::string Compare(TestStation &s, uint32_t (*picture)(int, int), int pw = 512, int ph = 768)
{
    const int x0 = GetScrollPos(s.window, SB_HORZ), y0 = GetScrollPos(s.window, SB_VERT);
    int width = 0;
    std::vector<uint32_t> got = s.Capture(&width);
    int wrong = 0;
    char first[96] = "";
    for (size_t i = 0; i < got.size(); ++i) {
        const int x = int(i % width) + x0, y = int(i / width) + y0;
        const uint32_t expected = x < pw && y < ph ? picture(x, y) : 0;
        if (got[i] != expected && wrong++ == 0) {
            snprintf(first, sizeof first, "first at (%d,%d): %06X, not %06X", int(i % width),
                     int(i / width), unsigned(got[i]), unsigned(expected));
        }
    }
    if (got.empty() || wrong == 0) {
        return got.empty() ? "nothing captured" : "";
    }
    return "at offsets " + std::to_string(x0) + "," + std::to_string(y0) + ", " +
        std::to_string(wrong) + " pixels differ, " + first;
}

void ScrollTo(TestStation &s, int x, int y)
{
    SendMessageA(s.window, WM_HSCROLL, MAKEWPARAM(SB_THUMBPOSITION, x), 0);
    SendMessageA(s.window, WM_VSCROLL, MAKEWPARAM(SB_THUMBPOSITION, y), 0);
    UpdateWindow(s.window);
}

// Makes the block the current image as a paste does, and paints.
void ShowAsPasted(TestStation &s, const std::vector<uint8_t> &bytes)
{
    HGLOBAL old = GetCurrentImage();
    SetCurrentImage(MakeBlock(bytes));
    FreeImageBlock(old);
    InvalidateRect(s.window, nullptr, TRUE);
    UpdateWindow(s.window);
}

void *realCreatePalette, *realRealizePalette;
int creates, realizes;

HPALETTE WINAPI CountingCreatePalette(const LOGPALETTE *p)
{
    ++creates;
    return reinterpret_cast<HPALETTE(WINAPI *)(const LOGPALETTE *)>(realCreatePalette)(p);
}
UINT WINAPI CountingRealizePalette(HDC dc)
{
    ++realizes;
    return reinterpret_cast<UINT(WINAPI *)(HDC)>(realRealizePalette)(dc);
}

}  // namespace

TEST(ViewWindow, LimitsFollowTheExtentAndTheClientArea)
{
    TestStation s(StationOptions().Shown());
    ASSERT_TRUE(s.SetClient(1000, 700));
    EXPECT_EQ(-488, StoredScrollLimit(SB_HORZ));
    EXPECT_EQ(68, StoredScrollLimit(SB_VERT));
    ExpectLimits(s.window, 512, 768);

    // From 400x800 to 400x700: the vertical bar appears inside the vertical
    // range call; the horizontal range set afterwards must be the limit the
    // nested resize stored for the narrower client area.
    ASSERT_TRUE(s.SetClient(400, 800));
    EXPECT_EQ(112, RangeMax(s.window, SB_HORZ));
    RECT f, c;
    GetWindowRect(s.window, &f);
    SetWindowPos(s.window, nullptr, 0, 0, f.right - f.left, f.bottom - f.top - 100, SWP_NOZORDER);
    GetClientRect(s.window, &c);
    EXPECT_LT(c.right, 400);
    ExpectLimits(s.window, 512, 768);

    ShowWindow(s.window, SW_MINIMIZE);
    GetClientRect(s.window, &c);
    ASSERT_EQ(0, c.right + c.bottom) << "not minimised";
    EXPECT_EQ(512, StoredScrollLimit(SB_HORZ));
    EXPECT_EQ(768, StoredScrollLimit(SB_VERT));
}

TEST(ViewWindow, ScrollRequestsStepClampAndRepaintOnlyOnChange)
{
    TestStation s(StationOptions().Shown());
    ASSERT_TRUE(s.SetClient(400, 500));
    EXPECT_FALSE(s.Scroll(SB_VERT, SB_PAGEDOWN)) << "no image yet";
    EXPECT_EQ(0, StoredScrollPosition(SB_VERT));
    s.Deliver(BuildDib(DibFields()));
    const struct {
        int bar;
        WORD request, thumb;
        int position;
        bool repaints;
    } steps[] = {
        {SB_VERT, SB_LINEUP, 0, 0, false},           {SB_VERT, SB_PAGEUP, 0, 0, false},
        {SB_VERT, SB_PAGEDOWN, 0, 100, true},        {SB_VERT, SB_PAGEDOWN, 0, 200, true},
        {SB_VERT, SB_PAGEDOWN, 0, 268, true},        {SB_VERT, SB_PAGEDOWN, 0, 268, false},
        {SB_VERT, SB_LINEDOWN, 0, 268, false},       {SB_VERT, SB_LINEUP, 0, 267, true},
        {SB_VERT, SB_THUMBTRACK, 150, 267, false},   {SB_VERT, SB_THUMBPOSITION, 150, 150, true},
        {SB_VERT, SB_THUMBPOSITION, 999, 268, true}, {SB_VERT, SB_PAGEUP, 0, 168, true},
        {SB_HORZ, SB_PAGERIGHT, 0, 100, true},       {SB_HORZ, SB_LINERIGHT, 30, 101, true},
        {SB_HORZ, SB_PAGERIGHT, 0, 112, true},       {SB_HORZ, SB_TOP, 0, 112, false},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE("bar " + std::to_string(step.bar) + " request " +
                     std::to_string(step.request));
        EXPECT_EQ(step.repaints, s.Scroll(step.bar, step.request, step.thumb));
        EXPECT_EQ(step.position, StoredScrollPosition(step.bar));
        EXPECT_EQ(step.position, GetScrollPos(s.window, step.bar));
    }
    EXPECT_EQ(168, StoredScrollPosition(SB_VERT));

    // A resize lowers the limit but leaves the position; any request, even
    // SB_ENDSCROLL, clamps it, and sets a bar that disagrees.
    ASSERT_TRUE(s.SetClient(400, 740));
    EXPECT_EQ(168, StoredScrollPosition(SB_VERT));
    s.Scroll(SB_VERT, SB_ENDSCROLL);
    EXPECT_EQ(28, StoredScrollPosition(SB_VERT));
    SetScrollPos(s.window, SB_VERT, 10, TRUE);
    EXPECT_TRUE(s.Scroll(SB_VERT, SB_ENDSCROLL));
    EXPECT_EQ(28, GetScrollPos(s.window, SB_VERT));

    ASSERT_TRUE(s.SetClient(1000, 700));
    for (WORD request : {SB_LINELEFT, SB_PAGERIGHT, SB_THUMBPOSITION}) {
        s.Scroll(SB_HORZ, request, 5);
        EXPECT_EQ(-488, StoredScrollPosition(SB_HORZ))
            << "a negative limit wins, request " << request;
        EXPECT_EQ(0, GetScrollPos(s.window, SB_HORZ));
    }
}

TEST(ViewWindow, DriverImagesReplaceTheCurrentOneAtTheSameOffsets)
{
    TestStation s(StationOptions().Shown());
    ASSERT_TRUE(s.SetClient(400, 500));
    const std::vector<uint8_t> bytes = BuildDib(DibFields(), Ramp, TableColour);
    HGLOBAL first = s.Deliver(bytes);
    ScrollTo(s, 30, 40);
    MemoryWatch memory;
    ASSERT_TRUE(memory.Installed());
    ValidateRect(s.window, nullptr);
    HGLOBAL second = s.Deliver(bytes);
    EXPECT_EQ(second, GetCurrentImage());
    EXPECT_EQ(std::vector<HGLOBAL> {first}, memory.Freed());
    EXPECT_TRUE(GetUpdateRect(s.window, nullptr, FALSE));
    EXPECT_EQ(30, GetScrollPos(s.window, SB_HORZ));
    EXPECT_EQ(40, GetScrollPos(s.window, SB_VERT));
    EXPECT_EQ(40, StoredScrollPosition(SB_VERT));

    // A null handle, and the current block delivered again: both ignored,
    // and the current block stays whole and live.
    memory.Reset();
    ValidateRect(s.window, nullptr);
    EXPECT_EQ(0, SendMessageA(s.window, WM_USER, XRAY_MSG_IMAGE, 0));
    EXPECT_EQ(0, SendMessageA(s.window, WM_USER, XRAY_MSG_IMAGE, reinterpret_cast<LPARAM>(second)));
    EXPECT_TRUE(memory.Freed().empty());
    EXPECT_FALSE(GetUpdateRect(s.window, nullptr, FALSE));
    EXPECT_EQ(second, GetCurrentImage());
    ASSERT_EQ(bytes.size(), GlobalSize(second));
    EXPECT_EQ(0, memcmp(GlobalLock(second), bytes.data(), bytes.size()));
    GlobalUnlock(second);
    HGLOBAL other = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
    EXPECT_NE(second, other);
    GlobalFree(other);
    EXPECT_EQ("", Compare(s, RampColour));

    // The extent is the driver's, asked afresh each time.
    s.driver.SetSize(2000, 1500);
    s.Deliver(bytes);
    ExpectLimits(s.window, 2000, 1500);
    s.driver.SetSize(300, 200);
    s.Deliver(bytes);
    ExpectLimits(s.window, 300, 200);
    s.Scroll(SB_VERT, SB_LINEDOWN);
    EXPECT_EQ(StoredScrollLimit(SB_VERT), StoredScrollPosition(SB_VERT));
}

TEST(ViewWindow, WithoutXRAYSizeTheExtentIs512By768)
{
    TestStation s(StationOptions().On("testdrv_nosize.dll").Shown());
    ASSERT_TRUE(s.SetClient(400, 500));
    EXPECT_EQ(112, StoredScrollLimit(SB_HORZ));
    EXPECT_EQ(268, StoredScrollLimit(SB_VERT));
}

TEST(GreyPalette, GreyRampThenBlackAllReservedBuiltOnce)
{
    realCreatePalette =
        PatchImport("gdi32.dll", "CreatePalette", reinterpret_cast<void *>(CountingCreatePalette));
    realRealizePalette = PatchImport("gdi32.dll", "RealizePalette",
                                     reinterpret_cast<void *>(CountingRealizePalette));
    {
        TestStation s(StationOptions().Shown());
        ASSERT_TRUE(s.SetClient(400, 500));
        HPALETTE palette = GreyPalette();
        PALETTEENTRY e[257] = {};
        ASSERT_EQ(256u, GetPaletteEntries(palette, 0, 257, e));
        for (int i = 0; i < 256; ++i) {
            const int level = i < 128 ? 2 * i : 0;
            ASSERT_EQ((std::vector<int> {level, level, level, PC_RESERVED}),
                      (std::vector<int> {e[i].peRed, e[i].peGreen, e[i].peBlue, e[i].peFlags}))
                << "entry " << i;
        }
        s.Deliver(BuildDib(DibFields()));
        const int created = creates;
        EXPECT_LE(created, 1);
        realizes = 0;
        SendMessageA(s.window, WM_ACTIVATE, MAKEWPARAM(WA_INACTIVE, 0), 0);
        EXPECT_EQ(0, realizes) << "deactivation";
        for (int i = 0; i < 10; ++i) {
            SendMessageA(s.window, WM_ACTIVATE,
                         MAKEWPARAM(i & 1 ? WA_ACTIVE : WA_CLICKACTIVE, i & 2), 0);
            InvalidateRect(s.window, nullptr, TRUE);
            UpdateWindow(s.window);
        }
        EXPECT_EQ(20, realizes) << "each activation and each paint realises it";
        EXPECT_EQ(created, creates);
        EXPECT_EQ(palette, GreyPalette());
    }
    PatchImport("gdi32.dll", "CreatePalette", realCreatePalette);
    PatchImport("gdi32.dll", "RealizePalette", realRealizePalette);
    EXPECT_EQ(DWORD(OBJ_PAL), GetObjectType(GreyPalette())) << "never deleted";
}

// The palette is built once per process: when an earlier case of this
// process has built it, the case runs again alone in a fresh one.
TEST(GreyPalette, FailedAllocationLeavesItNull)
{
    if (GreyPalette() != nullptr) {
        ASSERT_FALSE(InChildRun()) << "a fresh process already has a palette";
        std::string output;
        EXPECT_EQ(0, RunCaseInChildProcess("GreyPalette.FailedAllocationLeavesItNull", &output)) << output;
        return;
    }
    HWND w =
        CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 9, 9, nullptr, nullptr, nullptr, nullptr);
    MemoryWatch memory;
    ASSERT_TRUE(memory.Installed());
    memory.FailAllocations(true);
    RealizeGreyPalette(w);
    memory.FailAllocations(false);
    RealizeGreyPalette(w);
    EXPECT_EQ(nullptr, GreyPalette()) << "tried once, whatever the outcome";
    DestroyWindow(w);
}

TEST(ImageBlocks, BitsFromTheBlocksOwnHeaderAndNoLockLeftBehind)
{
    EXPECT_EQ(nullptr, GetImageBits(nullptr));
    DibFields fields;
    fields.width = fields.height = 16;
    HGLOBAL good = MakeBlock(BuildDib(
        fields, [](int, int) { return 200u; }, TableColour));
    BYTE *base = static_cast<BYTE *>(GlobalLock(good));
    EXPECT_EQ(base + 1064, GetImageBits(good));
    EXPECT_EQ(2u, LockCount(good));
    GlobalUnlock(good), GlobalUnlock(good);
    fields.tableEntries = fields.coloursUsed = 16;
    HGLOBAL shortTable = MakeBlock(BuildDib(fields));
    base = static_cast<BYTE *>(GlobalLock(shortTable));
    EXPECT_EQ(base + 104, GetImageBits(shortTable));
    GlobalUnlock(shortTable), GlobalUnlock(shortTable);
    std::vector<uint8_t> cut = BuildDib(fields);
    cut.pop_back();
    HGLOBAL bad = MakeBlock(cut);
    EXPECT_EQ(nullptr, GetImageBits(bad));

    // Painting into a memory bitmap: lit pixels, and either lock failing.
    HDC screen = GetDC(nullptr), dc = CreateCompatibleDC(screen);
    HGDIOBJ old = SelectObject(dc, CreateCompatibleBitmap(screen, 16, 16));
    auto paint = [dc](HGLOBAL block) {
        RECT all = {0, 0, 16, 16};
        FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
        PaintImageRegion(dc, block, &all, &all);
        return GetPixel(dc, 15, 15) & 0xFFFFFF;
    };
    EXPECT_EQ(RGB(200, 88, 55), paint(good)) << "table entry 200";
    EXPECT_EQ(0u, paint(bad));
    {
        MemoryWatch memory;
        ASSERT_TRUE(memory.Installed());
        for (int failing = 1; failing <= 2; ++failing) {
            memory.FailLock(failing);
            EXPECT_EQ(0u, paint(good)) << "lock " << failing << " failed";
        }
    }
    for (HGLOBAL block : {good, shortTable, bad}) {
        EXPECT_EQ(0u, LockCount(block));
        GlobalFree(block);
    }
    DeleteObject(SelectObject(dc, old));
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
}

TEST(ViewPixels, ImageDrawnOneToOneFromTheTopLeftAndFollowsTheThumb)
{
    TestStation s(StationOptions().Shown());
    ASSERT_TRUE(s.SetClient(400, 500));
    s.Deliver(BuildDib(DibFields(), Ramp, TableColour));
    for (auto p : {std::make_pair(0, 0), {30, 40}, {112, 268}}) {
        ScrollTo(s, p.first, p.second);
        ASSERT_EQ(p.second, GetScrollPos(s.window, SB_VERT));
        EXPECT_EQ("", Compare(s, RampColour));
    }
    // Wider than the image: black beside it; 68 rows to scroll.
    ASSERT_TRUE(s.SetClient(1000, 700));
    ScrollTo(s, 0, 0);
    EXPECT_EQ("", Compare(s, RampColour));
    ScrollTo(s, 0, 68);
    EXPECT_EQ("", Compare(s, RampColour));
}

TEST(ViewPixels, PastedLayoutsDrawnRightSideUpAndUnsafeOnesNotAtAll)
{
    TestStation s(StationOptions().Shown());
    ASSERT_TRUE(s.SetClient(400, 500));
    auto fields = [](uint16_t bits, int height, uint32_t table, uint32_t compression,
                   uint32_t header) {
        DibFields d;
        d.bitCount = bits, d.height = height, d.tableEntries = table, d.compression = compression;
        d.coloursUsed = table == 256 || bits > 8 ? 0 : table, d.headerSize = header;
        return d;
    };
    const struct {
        const char *what;
        DibFields fields;
        bool trueColour;
    } layouts[] = {
        {"8-bit top-down", fields(8, -768, 256, 0, 40), false},
        {"8-bit, 252 colours, top-down", fields(8, -768, 252, 0, 40), false},
        {"8-bit, V5 header", fields(8, 768, 256, 0, 124), false},
        {"24-bit", fields(24, 768, 0, 0, 40), true},
        {"24-bit top-down", fields(24, -768, 0, 0, 40), true},
        {"32-bit bit fields, V5 header, top-down", fields(32, -768, 0, 3, 124), true},
        {"32-bit bit fields", fields(32, 768, 0, 3, 40), true},
    };
    for (const auto &l : layouts) {
        SCOPED_TRACE(l.what);
        ShowAsPasted(s, l.trueColour ? BuildDib(l.fields, Rgb) : BuildDib(l.fields, Ramp, TableColour));
        for (auto p : {std::make_pair(0, 0), {30, 40}, {112, 268}}) {
            ScrollTo(s, p.first, p.second);
            EXPECT_EQ("", Compare(s, l.trueColour ? Rgb : RampColour));
        }
    }
    // Smaller than the sensor's extent: top-left, on black.
    for (int height : {300, -300}) {
        DibFields small = fields(24, height, 0, 0, 40);
        small.width = 200;
        ShowAsPasted(s, BuildDib(small, Rgb));
        ScrollTo(s, 30, 40);
        EXPECT_EQ("", Compare(s, Rgb, 200, 300)) << "height " << height;
    }

    std::vector<std::vector<uint8_t>> unsafe(5, BuildDib(DibFields(), Ramp, TableColour));
    unsafe[0].pop_back();                 // one byte short
    Put32(unsafe[1], 0, 0x7FFFFF00);      // biSize huge
    Put32(unsafe[2], 16, 1);              // RLE8
    Put32(unsafe[3], 8, uint32_t(-769));  // one row more than the block holds, top-down
    Put32(unsafe[4], 16, 3), Put32(unsafe[4], 14, 32);  // bit fields with no masks, 32 bits
    for (size_t i = 0; i < unsafe.size(); ++i) {
        ShowAsPasted(s, unsafe[i]);
        EXPECT_EQ("", Compare(s, Black, 0, 0)) << "unsafe block " << i;
    }
    EXPECT_TRUE(s.modal.records.empty()) << Describe(s.modal.records);

    ShowAsPasted(s, BuildDib(DibFields(), Ramp, TableColour));
    {
        MemoryWatch memory;
        memory.FailLocks(true);
        InvalidateRect(s.window, nullptr, TRUE);
        UpdateWindow(s.window);
    }
    EXPECT_EQ("", Compare(s, Black, 0, 0)) << "a block that cannot be locked";
}

// Indices below 128, for a 7-bit sensor that names 128 colours.
uint32_t Ramp7(int x, int y) { return Ramp(x, y) % 128; }
uint32_t Ramp7Colour(int x, int y) { return TableColour(int(Ramp7(x, y))); }

// biClrUsed 128 over the driver's whole 1024-byte table: the rows start after
// that table. The same header over a table of its own 128 entries (a pasted
// DIB) keeps its own rows' start.
TEST(ViewPixels, ShortColourCountDrawsFromTheWholeTableOnlyWhereTheBlockHoldsIt)
{
    TestStation s(StationOptions().Shown());
    ASSERT_TRUE(s.SetClient(400, 500));
    const struct {
        const char *what;
        uint32_t tableEntries;
        bool fromDriver;
    } cases[] = {
        {"driver image, 1024-byte table", 256, true},
        {"pasted DIB, 128-entry table", 128, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        DibFields fields;
        fields.tableEntries = c.tableEntries;
        fields.coloursUsed = 128;
        const std::vector<uint8_t> bytes = BuildDib(fields, Ramp7, TableColour);
        if (c.fromDriver) {
            HGLOBAL delivered = s.Deliver(bytes);
            ASSERT_EQ(delivered, GetCurrentImage());
        } else {
            ShowAsPasted(s, bytes);
        }
        for (auto p : {std::make_pair(0, 0), {112, 268}}) {
            ScrollTo(s, p.first, p.second);
            EXPECT_EQ("", Compare(s, Ramp7Colour));
        }
    }
}
