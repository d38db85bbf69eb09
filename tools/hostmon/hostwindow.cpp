// The two host windows: what each received, the log line of each message,
// the answer to WM_COPYDATA (at once, late or never), and the picture,
// count and tag each window shows.
#include "hostwindow.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "crc32.h"
#include "dibbytes.h"
#include "hostdib.h"
#include "hostproto.h"

namespace hostmon {

namespace {

constexpr char WAITING_TEXT[] = "Waiting for an image";

struct Host {
    const char *className;
    bool wanted;
    HWND window;
    unsigned received;
    bool lastShown;  // the last data received passed the check
    ULONG_PTR lastTag;
    // The last image that passed, laid out for StretchDIBits.
    bool drawable;
    BITMAPINFOHEADER header;
    RGBQUAD colours[256];
    std::vector<BYTE> bits;
};

Host hosts[2] = {
    {FRONT_END_CLASS, false, nullptr, 0, false, 0, false, {}, {}, {}},
    {PHOTO_SERVER_CLASS, false, nullptr, 0, false, 0, false, {}, {}, {}},
};
FILE *logFile;
HostSettings settings;
UINT deleteResourceMessage;

void LogLine(const char *line)
{
    fputs(line, logFile);
    fputc('\n', logFile);
    fflush(logFile);
}

Host *HostOf(HWND window)
{
    for (Host &host : hosts) {
        if (host.window == window) {
            return &host;
        }
    }
    return nullptr;
}

// The count and the last tag's halves: "3 received, tag 20/511".
void DescribeHost(const Host &host, char *text, size_t size)
{
    if (host.received == 0) {
        snprintf(text, size, "0 received");
        return;
    }
    snprintf(text, size, "%u received, tag %u/%u%s", host.received,
             static_cast<unsigned>((host.lastTag >> 16) & 0xFFFFu), static_cast<unsigned>(host.lastTag & 0xFFFFu),
             !host.lastShown && !settings.quiet ? ", last not shown" : "");
}

void UpdateTitle(const Host &host)
{
    char state[96];
    DescribeHost(host, state, sizeof state);
    char title[160];
    snprintf(title, sizeof title, "%s (hostmon) - %s", host.className, state);
    SetWindowTextA(host.window, title);
}

void ReceiveCopyData(Host *host, const COPYDATASTRUCT *record)
{
    // lpData lives only as long as this message: take a copy first.
    std::vector<BYTE> data;
    if (record->lpData != nullptr && record->cbData > 0) {
        const BYTE *source = static_cast<const BYTE *>(record->lpData);
        data.assign(source, source + record->cbData);
    }
    ++host->received;
    host->lastTag = record->dwData;

    BITMAPINFOHEADER header = {};
    LONG width = 0;
    LONG height = 0;
    unsigned bits = 0;
    if (data.size() >= sizeof header) {
        memcpy(&header, data.data(), sizeof header);
        width = header.biWidth;
        height = header.biHeight;
        bits = header.biBitCount;
    }
    char line[256];
    // The tag is a 32-bit value carried in a pointer-sized field.
    FormatCopyDataLine(line, sizeof line, host->className, static_cast<uint32_t>(record->dwData),
                       static_cast<uint32_t>(record->cbData), static_cast<long>(width), static_cast<long>(height),
                       bits, Crc32(data.data(), data.size()));
    LogLine(line);

    if (settings.saveFolder != nullptr) {
        SaveBitmap(settings.saveFolder, host->className, host->received, data.data(), data.size());
    }

    // Data that fails the check is logged but not shown; the window keeps
    // the last image it could show.
    size_t offset = 0;
    size_t size = 0;
    host->lastShown = CheckDib(data.data(), data.size(), &header, &offset, &size);
    if (host->lastShown && !settings.quiet) {
        // Drawn through a plain 40-byte header, whatever biSize said.
        host->drawable = true;
        host->header = header;
        host->header.biSize = sizeof(BITMAPINFOHEADER);
        host->header.biClrUsed = 0;
        host->header.biClrImportant = 0;
        host->header.biSizeImage = static_cast<DWORD>(size);
        memcpy(host->colours, data.data() + header.biSize, COLOUR_TABLE_BYTES);
        host->bits.assign(data.begin() + offset, data.begin() + offset + size);
    }
    UpdateTitle(*host);
    InvalidateRect(host->window, nullptr, TRUE);
}

void Paint(HWND window, const Host &host)
{
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    RECT client;
    GetClientRect(window, &client);
    FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    if (host.drawable) {
        // Fit the whole image into the window, keeping its proportions.
        LONG w = host.header.biWidth;
        LONG h = host.header.biHeight < 0 ? -host.header.biHeight : host.header.biHeight;
        LONG cw = client.right;
        LONG ch = client.bottom;
        LONG dw = cw;
        LONG dh = static_cast<LONG>(static_cast<int64_t>(h) * cw / w);
        if (dh > ch) {
            dh = ch;
            dw = static_cast<LONG>(static_cast<int64_t>(w) * ch / h);
        }
        struct {
            BITMAPINFOHEADER header;
            RGBQUAD colours[256];
        } info;
        info.header = host.header;
        memcpy(info.colours, host.colours, sizeof info.colours);
        // HALFTONE needs the brush origin set again after the mode.
        SetStretchBltMode(dc, HALFTONE);
        SetBrushOrgEx(dc, 0, 0, nullptr);
        StretchDIBits(dc, (cw - dw) / 2, (ch - dh) / 2, dw, dh, 0, 0, w, h, host.bits.data(),
                      reinterpret_cast<BITMAPINFO *>(&info), DIB_RGB_COLORS, SRCCOPY);
    } else if (host.received == 0) {
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, RGB(255, 255, 255));
        DrawTextA(dc, WAITING_TEXT, -1, &client, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    }
    // The count and the tag halves stay readable over any picture.
    char state[96];
    DescribeHost(host, state, sizeof state);
    SetBkMode(dc, OPAQUE);
    SetBkColor(dc, RGB(0, 0, 0));
    SetTextColor(dc, RGB(255, 255, 0));
    TextOutA(dc, 4, 4, state, static_cast<int>(strlen(state)));
    EndPaint(window, &ps);
}

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    Host *host = HostOf(window);
    if (host != nullptr && message == deleteResourceMessage && message != 0) {
        char line[160];
        snprintf(line, sizeof line, "DELETE_RESOURCE host=%s wParam=%lu lParam=%ld",
                 host->className, static_cast<unsigned long>(wParam), static_cast<long>(lParam));
        LogLine(line);
        return 0;
    }
    switch (message) {
    case WM_COPYDATA:
        if (host == nullptr || lParam == 0) {
            return FALSE;
        }
        ReceiveCopyData(host, reinterpret_cast<const COPYDATASTRUCT *>(lParam));
        if (settings.hang) {
            for (;;) {
                Sleep(INFINITE);
            }
        }
        if (settings.delayMs > 0) {
            Sleep(settings.delayMs);
        }
        return TRUE;
    case WM_PAINT:
        if (host == nullptr) {
            break;
        }
        Paint(window, *host);
        return 0;
    case WM_CLOSE:
        // Closing either window ends the program.
        for (Host &other : hosts) {
            if (other.window != nullptr) {
                DestroyWindow(other.window);
            }
        }
        return 0;
    case WM_DESTROY: {
        if (host != nullptr) {
            host->window = nullptr;
        }
        bool anyLeft = false;
        for (const Host &other : hosts) {
            anyLeft = anyLeft || other.window != nullptr;
        }
        if (!anyLeft) {
            PostQuitMessage(0);
        }
        return 0;
    }
    default:
        break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// Makes the window of one host `left` pixels from the screen's edge and
// logs that it is ready; false when it could not be made.
bool OpenHostWindow(HINSTANCE instance, Host &host, int left)
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = HostWindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.lpszClassName = host.className;
    RegisterClassA(&wc);
    host.window = CreateWindowA(host.className, host.className, WS_OVERLAPPEDWINDOW, left, 0,
                                560, 720, nullptr, nullptr, instance, nullptr);
    if (host.window == nullptr) {
        return false;
    }
    UpdateTitle(host);
    // Shown without taking the focus from the station it stands beside.
    ShowWindow(host.window, SW_SHOWNOACTIVATE);
    UpdateWindow(host.window);
    char line[64];
    snprintf(line, sizeof line, "READY host=%s", host.className);
    LogLine(line);
    return true;
}

}  // namespace

int RunHostWindows(HINSTANCE instance, const HostSettings &wanted, FILE *log)
{
    settings = wanted;
    logFile = log;
    hosts[0].wanted = settings.front;
    hosts[1].wanted = settings.photo;
    deleteResourceMessage = RegisterWindowMessageA(DELETE_RESOURCE_MESSAGE);

    int left = 0;
    for (Host &host : hosts) {
        if (host.wanted && OpenHostWindow(instance, host, left)) {
            left += 580;
        }
    }
    if (hosts[0].window == nullptr && hosts[1].window == nullptr) {
        return 1;
    }

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return static_cast<int>(msg.wParam);
}

}  // namespace hostmon
