#include "teststation.h"

#include <gtest/gtest.h>

#include "dibbuilder.h"
#include "image.h"
#include "xraydrv.h"

TestStation::TestStation(const char *driverDll) : TestStation(StationOptions().On(driverDll)) {}

TestStation::TestStation(const StationOptions &options)
    : driver(options.driver != nullptr && options.scripted ? options.driver : nullptr), shown(options.shown)
{
    if (options.sensorKey) {
        CreateSensorKey();
    }
    if (options.setSynchro) {
        SetSensorText("Synchro", options.synchro);
    }
    if (options.driver != nullptr) {
        WriteDriverPath(BinPath(options.driver).c_str());
    }
    if (options.open) {
        Open();
    }
}

TestStation::~TestStation()
{
    for (HWND made : windows) {
        if (IsWindow(made)) {
            DestroyWindow(made);
        }
    }
    PumpMessages();
    FreeImageBlock(GetCurrentImage());
    SetCurrentImage(nullptr);
}

HWND TestStation::Open()
{
    window = CreateStationWindow();
    windows.push_back(window);
    if (shown) {
        ShowWindow(window, SW_SHOWNORMAL);
        UpdateWindow(window);
    }
    PumpMessages(shown ? 20 : 0);
    return window;
}

void TestStation::Close(HWND window)
{
    if (IsWindow(window)) {
        DestroyWindow(window);
    }
    PumpMessages();
}

void TestStation::Command(WORD id)
{
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(id, 1), 0);
}

HGLOBAL TestStation::Deliver(const std::vector<uint8_t> &bytes)
{
    HGLOBAL block = MakeBlock(bytes);
    SendMessageA(window, WM_USER, XRAY_MSG_IMAGE, reinterpret_cast<LPARAM>(block));
    return block;
}

bool TestStation::SetClient(int w, int h)
{
    RECT c, f;
    for (int i = 0; i < 8 && GetClientRect(window, &c) && (c.right != w || c.bottom != h); ++i) {
        GetWindowRect(window, &f);
        SetWindowPos(window, nullptr, 0, 0, f.right - f.left + w - c.right, f.bottom - f.top + h - c.bottom,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        PumpMessages();
    }
    return c.right == w && c.bottom == h;
}

bool TestStation::Scroll(int bar, WORD request, WORD thumb)
{
    ValidateRect(window, nullptr);
    SendMessageA(window, bar == SB_HORZ ? WM_HSCROLL : WM_VSCROLL, MAKEWPARAM(request, thumb), 0);
    return GetUpdateRect(window, nullptr, FALSE) != FALSE;
}

std::vector<uint32_t> TestStation::Capture(int *width)
{
    RECT c;
    GetClientRect(window, &c);
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), c.right, -c.bottom, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void *bits = nullptr;
    HBITMAP dib = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC memory = CreateCompatibleDC(nullptr), dc = GetDC(window);
    HGDIOBJ old = SelectObject(memory, dib);
    BitBlt(memory, 0, 0, c.right, c.bottom, dc, 0, 0, SRCCOPY);
    GdiFlush();
    std::vector<uint32_t> pixels(static_cast<uint32_t *>(bits), static_cast<uint32_t *>(bits) + c.right * c.bottom);
    for (uint32_t &p : pixels) {
        p &= 0xFFFFFF;
    }
    ReleaseDC(window, dc);
    DeleteObject(SelectObject(memory, old));
    DeleteDC(memory);
    *width = c.right;
    return pixels;
}

std::string TestStation::Boxes() const { return Describe(modal.records); }

std::vector<std::string> TestStation::DialogTexts() const
{
    std::vector<std::string> texts;
    for (const ModalRecord &record : modal.records) {
        if (record.isDialog) {
            texts.push_back(record.text);
        }
    }
    return texts;
}

std::string Title(HWND window)
{
    char title[512] = "";
    GetWindowTextA(window, title, sizeof title);
    return title;
}

UINT ItemState(HMENU menu, UINT id)
{
    return GetMenuState(menu, id, MF_BYCOMMAND) & (MF_GRAYED | MF_DISABLED | MF_CHECKED);
}

void ExpectOneErrorBox(const ModalCatcher &modal, HWND owner, const char *text)
{
    ASSERT_EQ(1u, modal.records.size()) << Describe(modal.records);
    const ModalRecord &box = modal.records[0];
    EXPECT_EQ("Errore", box.caption);
    EXPECT_EQ(text, box.text);
    EXPECT_EQ(owner, box.owner);
    EXPECT_FALSE(box.hasCancel);
    EXPECT_EQ(nullptr, box.icon);
}

CurrentImage::CurrentImage(HGLOBAL image)
{
    FreeImageBlock(GetCurrentImage());
    SetCurrentImage(image);
}

CurrentImage::~CurrentImage()
{
    FreeImageBlock(GetCurrentImage());
    SetCurrentImage(nullptr);
}
