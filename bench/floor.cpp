// floor.exe: the least a program can do for the station's image contract,
// the yardstick the benchmark holds the station to. It loads the driver the
// station loads ("xray.ini", [Dll] File), opens it on its window, and for
// each image the driver posts it only frees the previous block, keeps the
// new one, finds the two host windows, duplicates the block with one
// GlobalAlloc and one copy, sends it to each host with the station's
// SendMessageTimeoutA call and frees the duplicate. It never invalidates its
// window for an image; when asked to repaint it does the station's erase,
// fill and StretchDIBits of the visible part, one to one, and, while the
// benchmark has turned it on, realises a grey palette first as the station
// does in every paint.
#include <windows.h>

#include <cstdint>
#include <cstring>

#include "benchshared.h"
#include "dibbytes.h"
#include "hostproto.h"
#include "xraydrv.h"
#include "xrayexports.h"

static const char FLOOR_CLASS[] = "CapBenchFloor";
static constexpr UINT HOST_REPLY_TIMEOUT_MS = 5000;

static HMODULE driver;
static XRAYOpenFn driverOpen;
static XRAYCloseFn driverClose;
static XRAYResolutionFn driverResolution;
static HGLOBAL currentImage;
static HPALETTE greyPalette;
static bool withPalette;
static const UINT paletteMessage = RegisterWindowMessageA(BENCH_FLOOR_PALETTE_MESSAGE);

static uint32_t Low16(double value) { return static_cast<uint16_t>(static_cast<int64_t>(value)); }

static void SendToHost(HWND host, HWND owner, COPYDATASTRUCT *record)
{
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(host, WM_COPYDATA, reinterpret_cast<WPARAM>(owner),
                        reinterpret_cast<LPARAM>(record), SMTO_NORMAL | SMTO_ABORTIFHUNG,
                        HOST_REPLY_TIMEOUT_MS, &ignored);
}

static void ReceiveImage(HWND window, HGLOBAL image)
{
    if (currentImage != nullptr) {
        GlobalFree(currentImage);
    }
    currentImage = image;
    HWND frontEnd = FindWindowA(FRONT_END_CLASS, nullptr);
    HWND photoServer = FindWindowA(PHOTO_SERVER_CLASS, nullptr);
    if (frontEnd == nullptr && photoServer == nullptr) {
        return;
    }
    const SIZE_T size = GlobalSize(image);
        HGLOBAL duplicate = GlobalAlloc(GMEM_MOVEABLE, size);
    if (duplicate == nullptr) {
        return;
    }
    void *to = GlobalLock(duplicate);
    const void *from = GlobalLock(image);
    if (to == nullptr || from == nullptr) {
        GlobalFree(duplicate);
        return;
    }
    memcpy(to, from, size);
    GlobalUnlock(image);

    double first = 0.0;
    double second = 0.0;
    if (driverResolution != nullptr) {
        driverResolution(&first, &second);
    }
    COPYDATASTRUCT record = {};
    record.lpData = to;
    record.cbData = static_cast<DWORD>(size);
    if (frontEnd != nullptr) {
        record.dwData = (Low16(first) << 16) | 0x01FF;
        SendToHost(frontEnd, window, &record);
    }
    if (photoServer != nullptr) {
        record.dwData = (Low16(second) << 16) | Low16(first);
        SendToHost(photoServer, window, &record);
    }
    GlobalUnlock(duplicate);
    GlobalFree(duplicate);
}

static void PaintImage(HWND window)
{
    RECT client;
    GetClientRect(window, &client);
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    if (withPalette && greyPalette != nullptr) {
        SelectPalette(dc, greyPalette, FALSE);
        RealizePalette(dc);
    }
    const BYTE *block = static_cast<const BYTE *>(GlobalLock(currentImage));
    if (block != nullptr) {
        const BITMAPINFOHEADER *header = reinterpret_cast<const BITMAPINFOHEADER *>(block);
        const int width = header->biWidth < client.right ? header->biWidth : client.right;
        const int height = header->biHeight < client.bottom ? header->biHeight : client.bottom;
        RECT destination = {0, 0, width, height};
        FillRect(dc, &destination, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
        SetStretchBltMode(dc, COLORONCOLOR);
        StretchDIBits(dc, 0, 0, width, height, 0, header->biHeight - height, width, height,
                      block + header->biSize + COLOUR_TABLE_BYTES,
                      reinterpret_cast<const BITMAPINFO *>(block), DIB_RGB_COLORS, SRCCOPY);
        GlobalUnlock(currentImage);
    }
    EndPaint(window, &ps);
}

// The station's grey palette: 128 levels 0, 2, ... 254, the rest black.
static HPALETTE MakeGreyPalette()
{
    struct {
        WORD version;
        WORD entries;
        PALETTEENTRY entry[256];
    } palette = {0x300, 256, {}};
    for (int i = 0; i < 256; ++i) {
        const BYTE level = i < 128 ? static_cast<BYTE>(2 * i) : 0;
        palette.entry[i] = {level, level, level, PC_RESERVED};
    }
    return CreatePalette(reinterpret_cast<const LOGPALETTE *>(&palette));
}

static LRESULT CALLBACK FloorWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == paletteMessage && paletteMessage != 0) {
        withPalette = wParam != 0;
        return 0;
    }
    switch (message) {
    case WM_USER:
        if (wParam == XRAY_MSG_IMAGE && lParam != 0 &&
            reinterpret_cast<HGLOBAL>(lParam) != currentImage) {
            ReceiveImage(window, reinterpret_cast<HGLOBAL>(lParam));
        }
        return 0;
    case WM_PAINT:
        if (currentImage == nullptr) {
            break;
        }
        PaintImage(window);
        return 0;
    case WM_DESTROY:
        if (currentImage != nullptr) {
            GlobalFree(currentImage);
            currentImage = nullptr;
        }
        if (driverClose != nullptr) {
            driverClose();
        }
        PostQuitMessage(0);
        return 0;
    default:
        break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

static bool OpenDriver(HWND window)
{
    char path[MAX_PATH] = "";
    GetPrivateProfileStringA("Dll", "File", "", path, sizeof path, "xray.ini");
    driver = LoadLibraryA(path);
    if (driver == nullptr) {
        return false;
    }
    driverOpen = reinterpret_cast<XRAYOpenFn>(reinterpret_cast<void *>(GetProcAddress(driver, XRAY_OPEN_EXPORT)));
    driverClose = reinterpret_cast<XRAYCloseFn>(reinterpret_cast<void *>(GetProcAddress(driver, XRAY_CLOSE_EXPORT)));
    driverResolution =
        reinterpret_cast<XRAYResolutionFn>(reinterpret_cast<void *>(GetProcAddress(driver, XRAY_RESOLUTION_EXPORT)));
    return driverOpen != nullptr && driverOpen(window, XRAY_OPEN_VENDOR, XRAY_APPLICATION_CODE) == XRAY_MODE_STANDALONE;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = FloorWindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    windowClass.lpszClassName = FLOOR_CLASS;
    greyPalette = MakeGreyPalette();
    if (!RegisterClassA(&windowClass)) {
        return 1;
    }
    HWND window = CreateWindowExA(0, FLOOR_CLASS, "floor", WS_OVERLAPPEDWINDOW, 0, 0, 800, 600,
                                  nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        return 1;
    }
    if (!OpenDriver(window)) {
        DestroyWindow(window);
        return 1;
    }
    ShowWindow(window, SW_SHOW);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    if (driver != nullptr) {
        FreeLibrary(driver);
    }
    return 0;
}
