// hostmon.exe: a stand-in for the two host applications the station serves.
// It opens a window of class "TLumitaneWnd" (the front end), one of class
// "PELK_FOTO_SERVER" (the photo server), or both, and logs every WM_COPYDATA
// and every registered "WM_DELETE_RESOURCE" it receives, one flushed line
// each, in a fixed format that other tools parse. Each window shows the last
// image it was given, so a person can watch the hand-off.
//
//   hostmon.exe [--front] [--photo] --log FILE [--save DIR] [--delay MS | --hang] [--quiet]
//   hostmon.exe --help
// A bad command line shows the usage in a message box and exits with 2.
//
// The payload of WM_COPYDATA is valid only during the message: it is copied
// at once and every header field is checked against cbData before anything
// is read behind it. Wine puts a cross-process payload on the receiving
// thread's stack, hence the large stack this program is linked with.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "crc32.h"
#include "dibbytes.h"
#include "hostproto.h"

constexpr char WAITING_TEXT[] = "Waiting for an image";
constexpr char USAGE_TEXT[] =
    "usage: hostmon.exe [--front] [--photo] --log FILE [--save DIR] [--delay MS | --hang] [--quiet]\n";
constexpr char HELP_TEXT[] =
    "Stands in for the station's two host programs and logs what they receive.\n"
    "  --front       open the front end's window (class TLumitaneWnd)\n"
    "  --photo       open the photo server's window (class PELK_FOTO_SERVER); neither: both\n"
    "  --log FILE    append one line per image and per notice to FILE (required)\n"
    "  --save DIR    write each image as DIR\\YYYYMMDD-HHMMSS-mmm-HOST-N.bmp\n"
    "  --delay MS    answer each image only after MS milliseconds\n"
    "  --hang        never answer an image (the window stops responding)\n"
    "  --quiet       for long runs: keep only the counts and tags on screen, no pictures\n"
    "  --help        this text\n"
    "Exit code 0 when a window is closed, 2 for a bad command line or log.\n";
constexpr char USAGE_CAPTION[] = "hostmon";
constexpr char LOG_FAILED_TEXT[] = "Cannot open the log file ";
constexpr int EXIT_USAGE = 2;

constexpr LONG MAX_SIDE = 65536;

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

static Host hosts[2] = {
    {FRONT_END_CLASS, false, nullptr, 0, false, 0, false, {}, {}, {}},
    {PHOTO_SERVER_CLASS, false, nullptr, 0, false, 0, false, {}, {}, {}},
};
static FILE *logFile;
static const char *saveFolder;
static DWORD delayMs;
static bool hang;
static bool quiet;
static UINT deleteResourceMessage;

static void LogLine(const char *line)
{
    fputs(line, logFile);
    fputc('\n', logFile);
    fflush(logFile);
}

static Host *HostOf(HWND window)
{
    for (Host &host : hosts) {
        if (host.window == window) {
            return &host;
        }
    }
    return nullptr;
}

// The layout the station sends: a header of at least 40 bytes, always a
// 1024-byte colour table, then 8-bit rows padded to four bytes. On success
// `bitsOffset` and `bitsSize` locate the rows inside the `size` bytes.
static bool CheckDib(const BYTE *data, size_t size, BITMAPINFOHEADER *header, size_t *bitsOffset,
                     size_t *bitsSize)
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
static void SaveBitmap(const Host &host, const BYTE *data, size_t size)
{
    // Named by local time and host, so the images of several runs sort in
    // the order they came and never overwrite each other.
    SYSTEMTIME now;
    GetLocalTime(&now);
    char path[MAX_PATH];
    snprintf(path, sizeof path, "%s\\%04u%02u%02u-%02u%02u%02u-%03u-%s-%u.bmp", saveFolder, now.wYear, now.wMonth,
             now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, host.className, host.received);
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

// The count and the last tag's halves: "3 received, tag 20/511".
static void DescribeHost(const Host &host, char *text, size_t size)
{
    if (host.received == 0) {
        snprintf(text, size, "0 received");
        return;
    }
    snprintf(text, size, "%u received, tag %u/%u%s", host.received,
             static_cast<unsigned>((host.lastTag >> 16) & 0xFFFFu), static_cast<unsigned>(host.lastTag & 0xFFFFu),
             !host.lastShown && !quiet ? ", last not shown" : "");
}

static void UpdateTitle(const Host &host)
{
    char state[96];
    DescribeHost(host, state, sizeof state);
    char title[160];
    snprintf(title, sizeof title, "%s (hostmon) - %s", host.className, state);
    SetWindowTextA(host.window, title);
}

static void ReceiveCopyData(Host *host, const COPYDATASTRUCT *record)
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

    if (saveFolder != nullptr) {
        SaveBitmap(*host, data.data(), data.size());
    }

    // Data that fails the check is logged but not shown; the window keeps
    // the last image it could show.
    size_t offset = 0;
    size_t size = 0;
    host->lastShown = CheckDib(data.data(), data.size(), &header, &offset, &size);
    if (host->lastShown && !quiet) {
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

static void Paint(HWND window, const Host &host)
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

static LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
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
        if (hang) {
            for (;;) {
                Sleep(INFINITE);
            }
        }
        if (delayMs > 0) {
            Sleep(delayMs);
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

// A whole decimal number of milliseconds.
static bool ParseMilliseconds(const char *text, DWORD *value)
{
    char *end = nullptr;
    unsigned long parsed = strtoul(text, &end, 10);
    if (end == text || *end != '\0' || text[0] == '-' || parsed > 0x7FFFFFFFul) {
        return false;
    }
    *value = static_cast<DWORD>(parsed);
    return true;
}

// The Start-menu shortcut names the log %TEMP%\hostmon.log: a shortcut's
// arguments reach the program unexpanded, so the paths are expanded here.
static const char *ExpandPath(const char *path, char *buffer, DWORD size)
{
    DWORD length = ExpandEnvironmentStringsA(path, buffer, size);
    return length == 0 || length > size ? path : buffer;
}

static bool ParseArguments(int argc, char **argv, const char **logPath)
{
    static char logBuffer[MAX_PATH];
    static char saveBuffer[MAX_PATH];
    bool delaySet = false;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (strcmp(arg, "--front") == 0) {
            hosts[0].wanted = true;
        } else if (strcmp(arg, "--photo") == 0) {
            hosts[1].wanted = true;
        } else if (strcmp(arg, "--log") == 0 && hasValue) {
            *logPath = ExpandPath(argv[++i], logBuffer, sizeof logBuffer);
        } else if (strcmp(arg, "--save") == 0 && hasValue) {
            saveFolder = ExpandPath(argv[++i], saveBuffer, sizeof saveBuffer);
        } else if (strcmp(arg, "--delay") == 0 && hasValue) {
            if (!ParseMilliseconds(argv[++i], &delayMs)) {
                return false;
            }
            delaySet = true;
        } else if (strcmp(arg, "--hang") == 0) {
            hang = true;
        } else if (strcmp(arg, "--quiet") == 0) {
            quiet = true;
        } else {
            return false;
        }
    }
    if (!hosts[0].wanted && !hosts[1].wanted) {
        hosts[0].wanted = hosts[1].wanted = true;
    }
    return *logPath != nullptr && !(delaySet && hang);
}

static void Print(DWORD stream, const char *text)
{
    HANDLE out = GetStdHandle(stream);
    if (out != nullptr && out != INVALID_HANDLE_VALUE) {
        DWORD written;
        WriteFile(out, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
    }
}

static bool HasHandle(DWORD stream)
{
    HANDLE handle = GetStdHandle(stream);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// A program without a console: whoever started it wrongly, from a shortcut
// or Explorer, sees the usage in a box; a script that captured the error
// stream finds the usage line there as well.
static int RefuseCommandLine(const char *problem)
{
    Print(STD_ERROR_HANDLE, USAGE_TEXT);
    std::string text = problem;
    text += USAGE_TEXT;
    text += HELP_TEXT;
    MessageBoxA(nullptr, text.c_str(), USAGE_CAPTION, MB_OK | MB_ICONERROR);
    return EXIT_USAGE;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    const char *logPath = nullptr;
    if (__argc == 2 && strcmp(__argv[1], "--help") == 0) {
        if (HasHandle(STD_OUTPUT_HANDLE)) {
            Print(STD_OUTPUT_HANDLE, USAGE_TEXT);
            Print(STD_OUTPUT_HANDLE, HELP_TEXT);
        } else {
            std::string text = std::string(USAGE_TEXT) + HELP_TEXT;
            MessageBoxA(nullptr, text.c_str(), USAGE_CAPTION, MB_OK | MB_ICONINFORMATION);
        }
        return 0;
    }
    if (!ParseArguments(__argc, __argv, &logPath)) {
        return RefuseCommandLine("");
    }
    // Binary append: lines end in a bare "\n" and earlier runs are kept.
    logFile = fopen(logPath, "ab");
    if (logFile == nullptr) {
        std::string problem = std::string(LOG_FAILED_TEXT) + logPath + ".\n\n";
        return RefuseCommandLine(problem.c_str());
    }
    deleteResourceMessage = RegisterWindowMessageA(DELETE_RESOURCE_MESSAGE);

    int left = 0;
    for (Host &host : hosts) {
        if (!host.wanted) {
            continue;
        }
        WNDCLASSA wc = {};
        wc.lpfnWndProc = HostWindowProc;
        wc.hInstance = instance;
        wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
        wc.lpszClassName = host.className;
        RegisterClassA(&wc);
        host.window = CreateWindowA(host.className, host.className, WS_OVERLAPPEDWINDOW, left, 0,
                                    560, 720, nullptr, nullptr, instance, nullptr);
        if (host.window == nullptr) {
            continue;
        }
        UpdateTitle(host);
        // Shown without taking the focus from the station it stands beside.
        ShowWindow(host.window, SW_SHOWNOACTIVATE);
        UpdateWindow(host.window);
        char line[64];
        snprintf(line, sizeof line, "READY host=%s", host.className);
        LogLine(line);
        left += 580;
    }
    if (hosts[0].window == nullptr && hosts[1].window == nullptr) {
        fclose(logFile);
        return 1;
    }

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    fclose(logFile);
    return static_cast<int>(msg.wParam);
}
