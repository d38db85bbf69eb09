// benchdrv.dll: the sensor driver of the benchmark. The station and the
// floor program load it the same way ("xray.ini", [Dll] File) and it keeps
// the driver contract of xraydrv.h. Instead of a sensor it obeys bench.exe:
// a worker thread waits for commands in the shared mapping of benchshared.h
// and posts images, times paints or measures the process's memory.
//
// Posting: every image is a copy of one template block (a grey DIB of the
// size asked for) with its sequence number in the last four bytes, so its
// CRC-32 is the template's running CRC continued over those four bytes. The
// post is stamped with QueryPerformanceCounter just before PostMessageA.
//
// Paint timing has to run on the program's GUI thread, which the driver
// does not own: XRAYOpen subclasses the window it is given, and the worker
// sends it a registered message that the subclass answers by timing
// InvalidateRect + UpdateWindow (or a bare StretchDIBits) there. Every other
// message goes straight on to the program's own window procedure; XRAYClose
// puts that procedure back, and the library pins itself in the process.
// While paints are timed, the painting calls the program imports
// (BeginPaint, which erases, SelectPalette and RealizePalette, FillRect,
// StretchDIBits, EndPaint, and DefWindowProcA given WM_PAINT) are timed
// too, through its import table; so are, while it handles an image, its
// SendMessageTimeoutA calls and its memcpy calls of a whole block.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "benchshared.h"
#include "crc32.h"
#include "dibbytes.h"
#include "iatpatch.h"
#include "procmem.h"
#include "xraydrv.h"

#define BD_EXPORT extern "C" __declspec(dllexport)

// Without progress for this long a block is given up as lost; only a guard
// against hanging, far above any transfer time.
static constexpr DWORD STALL_LIMIT_MS = 20000;
static constexpr DWORD PAINT_REPLY_LIMIT_MS = 60000;
static constexpr DWORD SETTLE_MS = 30;

static int role = -1;
static HANDLE mapping;
static BenchShared *shared;
static HANDLE goEvent;
static HANDLE doneEvent;
static HANDLE stopEvent;
static HANDLE worker;
static HWND mainWindow;
static WNDPROC programProc;
static UINT paintMessage;
static volatile LONG painting;    // the program is inside its WM_PAINT
static volatile LONG insideRoad;  // the program is handling an image message

// What XRAYSize reports; the worker changes it only between images.
static volatile LONG sensorWidth = 512;
static volatile LONG sensorHeight = 768;

// The template block and the CRC-32 of all but its last four bytes.
static std::vector<BYTE> templateBlock;
static int templateWidth;
static int templateHeight;
static uint32_t templatePrefixCrc;

static void MakeTemplate(int width, int height)
{
    if (width == templateWidth && height == templateHeight) {
        return;
    }
    const size_t stride = (static_cast<size_t>(width) + 3u) & ~size_t{3};
    const size_t bitsSize = stride * static_cast<size_t>(height);
    templateBlock.assign(sizeof(BITMAPINFOHEADER) + COLOUR_TABLE_BYTES + bitsSize, 0);
    BITMAPINFOHEADER *header = reinterpret_cast<BITMAPINFOHEADER *>(templateBlock.data());
    header->biSize = sizeof(BITMAPINFOHEADER);
    header->biWidth = width;
    header->biHeight = height;
    header->biPlanes = 1;
    header->biBitCount = 8;
    header->biCompression = BI_RGB;
    header->biSizeImage = static_cast<DWORD>(bitsSize);
    RGBQUAD *table = reinterpret_cast<RGBQUAD *>(templateBlock.data() + sizeof(BITMAPINFOHEADER));
    for (int i = 0; i < 256; ++i) {
        table[i].rgbRed = table[i].rgbGreen = table[i].rgbBlue = static_cast<BYTE>(i);
    }
    BYTE *bits = templateBlock.data() + sizeof(BITMAPINFOHEADER) + COLOUR_TABLE_BYTES;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            bits[y * stride + x] = static_cast<BYTE>((x + 2 * y) ^ (y >> 3));
        }
    }
    templatePrefixCrc = Crc32(templateBlock.data(), templateBlock.size() - 4);
    templateWidth = width;
    templateHeight = height;
    InterlockedExchange(&sensorWidth, width);
    InterlockedExchange(&sensorHeight, height);
}

// Images posted in this command that have not yet reached both hosts.
static LONG Outstanding(LONG posted, const LONG base[HOST_COUNT])
{
    LONG least = posted;
    for (int host = 0; host < HOST_COUNT; ++host) {
        LONG got = shared->arrivals[host] - base[host];
        least = got < least ? got : least;
    }
    return posted - least;
}

// Waits until at most `limit` images are outstanding; false when nothing
// moved for STALL_LIMIT_MS or the driver is closing.
static bool WaitOutstanding(LONG posted, const LONG base[HOST_COUNT], LONG limit)
{
    LONG last = Outstanding(posted, base);
    DWORD since = GetTickCount();
    while (last > limit) {
        if (WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0) {
            return false;
        }
        Sleep(1);
        LONG now = Outstanding(posted, base);
        if (now != last) {
            last = now;
            since = GetTickCount();
        } else if (GetTickCount() - since > STALL_LIMIT_MS) {
            return false;
        }
    }
    return true;
}

// Images one at a time, and repaints, stand for an operator's acquisitions
// and scroll steps, seconds apart. For an image:
// the program is left to finish what the previous image caused (its
// repaint) first, and SETTLE_MS more for the X server to draw that repaint;
// without the pause, a station that repainted measured 1.1 to 1.6 times the
// floor at the smaller sizes, all of it inside its SendMessageTimeoutA calls,
// and so did a floor made to show scroll bars and repaint like it.
static void WaitProgramIdle()
{
    DWORD start = GetTickCount();
    // The update region first: once BeginPaint has emptied it, `painting`
    // is already set.
    while (GetUpdateRect(mainWindow, nullptr, FALSE) || painting || insideRoad) {
        if (GetTickCount() - start > STALL_LIMIT_MS) {
            return;
        }
        Sleep(1);
    }
    Sleep(SETTLE_MS);
}

static bool PostOne()
{
    const size_t size = templateBlock.size();
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    if (block == nullptr) {
        return false;
    }
    BYTE *data = static_cast<BYTE *>(GlobalLock(block));
    if (data == nullptr) {
        GlobalFree(block);
        return false;
    }
    const LONG seq = InterlockedIncrement(&shared->nextSeq);
    const uint32_t seqBytes = static_cast<uint32_t>(seq);
    memcpy(data, templateBlock.data(), size - 4);
    memcpy(data + size - 4, &seqBytes, 4);
    GlobalUnlock(block);
    BenchPost post = {};
    post.crc = Crc32(&seqBytes, 4, templatePrefixCrc);
    post.size = static_cast<uint32_t>(GlobalSize(block));
    post.role = role;
    if (seq >= MAX_POSTS) {
        GlobalFree(block);
        return false;
    }
    post.stamp = Now();
    shared->posts[seq] = post;
    if (!PostMessageA(mainWindow, WM_USER, XRAY_MSG_IMAGE, reinterpret_cast<LPARAM>(block))) {
        GlobalFree(block);
        return false;
    }
    return true;
}

static bool PostImages(BenchRoleState &command)
{
    MakeTemplate(command.width, command.height);
    command.roadTicks = command.sendTicks = command.copiedBytes = 0;
    command.copies = command.handled = 0;
    LONG base[HOST_COUNT];
    for (int host = 0; host < HOST_COUNT; ++host) {
        base[host] = shared->arrivals[host];
    }
    const LONG limit = command.outstanding > 0 ? command.outstanding : 1;
    for (LONG posted = 0; posted < command.count; ++posted) {
        if (!WaitOutstanding(posted, base, limit - 1)) {
            return false;
        }
        if (limit == 1) {
            WaitProgramIdle();
        }
        if (!PostOne()) {
            return false;
        }
    }
    if (!WaitOutstanding(command.count, base, 0)) {
        return false;
    }
    // The last host has answered; the program finishes its handling (frees
    // the duplicate) before the command is over, so that what it counts is
    // this command's.
    const DWORD start = GetTickCount();
    while ((command.handled < command.count || insideRoad) && GetTickCount() - start < STALL_LIMIT_MS) {
        Sleep(1);
    }
    return true;
}

// The program's painting imports, timed while `timingSteps` is set. They
// run on the GUI thread only.
static volatile LONG timingSteps;
static decltype(&BeginPaint) realBeginPaint;
static decltype(&EndPaint) realEndPaint;
static decltype(&FillRect) realFillRect;
static decltype(&SelectPalette) realSelectPalette;
static decltype(&RealizePalette) realRealizePalette;
static decltype(&StretchDIBits) realStretchDIBits;
static decltype(&DefWindowProcA) realDefWindowProc;

static void AddStep(BenchStep step, int64_t start)
{
    if (shared != nullptr) {
        shared->roles[role].stepTicks[step] += Now() - start;
    }
}

static HDC WINAPI TimedBeginPaint(HWND window, PAINTSTRUCT *paint)
{
    const int64_t start = Now();
    HDC result = realBeginPaint(window, paint);
    if (timingSteps) {
        AddStep(STEP_BEGIN_PAINT, start);
    }
    return result;
}

static BOOL WINAPI TimedEndPaint(HWND window, const PAINTSTRUCT *paint)
{
    const int64_t start = Now();
    BOOL result = realEndPaint(window, paint);
    if (timingSteps) {
        AddStep(STEP_END_PAINT, start);
    }
    return result;
}

static int WINAPI TimedFillRect(HDC dc, const RECT *rect, HBRUSH brush)
{
    const int64_t start = Now();
    int result = realFillRect(dc, rect, brush);
    if (timingSteps) {
        AddStep(STEP_FILL, start);
    }
    return result;
}

static HPALETTE WINAPI TimedSelectPalette(HDC dc, HPALETTE palette, BOOL background)
{
    const int64_t start = Now();
    HPALETTE result = realSelectPalette(dc, palette, background);
    if (timingSteps) {
        AddStep(STEP_PALETTE, start);
    }
    return result;
}

static UINT WINAPI TimedRealizePalette(HDC dc)
{
    const int64_t start = Now();
    UINT result = realRealizePalette(dc);
    if (timingSteps) {
        AddStep(STEP_PALETTE, start);
    }
    return result;
}

static int WINAPI TimedStretchDIBits(HDC dc, int x, int y, int width, int height, int sourceX, int sourceY,
                                     int sourceWidth, int sourceHeight, const VOID *bits, const BITMAPINFO *info,
                                     UINT usage, DWORD rop)
{
    const int64_t start = Now();
    int result = realStretchDIBits(dc, x, y, width, height, sourceX, sourceY, sourceWidth, sourceHeight, bits, info,
                                   usage, rop);
    if (timingSteps) {
        AddStep(STEP_DRAW, start);
    }
    return result;
}

static LRESULT WINAPI TimedDefWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    const int64_t start = Now();
    LRESULT result = realDefWindowProc(window, message, wParam, lParam);
    if (timingSteps && message == WM_PAINT) {
        AddStep(STEP_DEFAULT_PAINT, start);
    }
    return result;
}

// The image road's calls, counted whenever a post command runs.
static decltype(&SendMessageTimeoutA) realSendMessageTimeout;
static void *(__cdecl *realMemcpy)(void *, const void *, size_t);

static LRESULT WINAPI TimedSendMessageTimeout(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT flags,
                                              UINT timeout, PDWORD_PTR result)
{
    const int64_t start = Now();
    LRESULT sent = realSendMessageTimeout(window, message, wParam, lParam, flags, timeout, result);
    if (insideRoad && shared != nullptr) {
        shared->roles[role].sendTicks += Now() - start;
    }
    return sent;
}

static void *__cdecl CountedMemcpy(void *to, const void *from, size_t size)
{
    if (insideRoad && shared != nullptr && templateWidth > 0 && size >= templateBlock.size()) {
        shared->roles[role].copiedBytes += size;
        ++shared->roles[role].copies;
    }
    return realMemcpy(to, from, size);
}

template <typename F>
static void Patch(const char *dll, const char *name, F replacement, F *original)
{
    HMODULE program = GetModuleHandleA(nullptr);
    if (*original == nullptr) {
        *original = reinterpret_cast<F>(PatchModuleImport(program, dll, name, reinterpret_cast<void *>(replacement)));
    }
}

template <typename F>
static void Unpatch(const char *dll, const char *name, F *original)
{
    if (*original != nullptr) {
        PatchModuleImport(GetModuleHandleA(nullptr), dll, name, reinterpret_cast<void *>(*original));
        *original = nullptr;
    }
}

static void PatchPaintingImports()
{
    Patch("user32.dll", "BeginPaint", TimedBeginPaint, &realBeginPaint);
    Patch("user32.dll", "EndPaint", TimedEndPaint, &realEndPaint);
    Patch("user32.dll", "FillRect", TimedFillRect, &realFillRect);
    Patch("gdi32.dll", "SelectPalette", TimedSelectPalette, &realSelectPalette);
    Patch("gdi32.dll", "RealizePalette", TimedRealizePalette, &realRealizePalette);
    Patch("gdi32.dll", "StretchDIBits", TimedStretchDIBits, &realStretchDIBits);
    Patch("user32.dll", "DefWindowProcA", TimedDefWindowProc, &realDefWindowProc);
    Patch("user32.dll", "SendMessageTimeoutA", TimedSendMessageTimeout, &realSendMessageTimeout);
    Patch("msvcrt.dll", "memcpy", CountedMemcpy, &realMemcpy);
}

static void UnpatchPaintingImports()
{
    Unpatch("user32.dll", "BeginPaint", &realBeginPaint);
    Unpatch("user32.dll", "EndPaint", &realEndPaint);
    Unpatch("user32.dll", "FillRect", &realFillRect);
    Unpatch("gdi32.dll", "SelectPalette", &realSelectPalette);
    Unpatch("gdi32.dll", "RealizePalette", &realRealizePalette);
    Unpatch("gdi32.dll", "StretchDIBits", &realStretchDIBits);
    Unpatch("user32.dll", "DefWindowProcA", &realDefWindowProc);
    Unpatch("user32.dll", "SendMessageTimeoutA", &realSendMessageTimeout);
    Unpatch("msvcrt.dll", "memcpy", &realMemcpy);
}

// On the GUI thread, inside the program's window procedure chain.
static void TimePaints(HWND window, BenchRoleState *command)
{
    // The program measured is the one on top; what raising it or the last
    // image left to paint is painted before the clock starts.
    SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    UpdateWindow(window);
    const int count = command->count < MAX_TIMES ? command->count : MAX_TIMES;
    if (command->command == CMD_PAINT || command->command == CMD_PAINT_PALETTE) {
        const UINT paletteMessage = RegisterWindowMessageA(BENCH_FLOOR_PALETTE_MESSAGE);
        const bool palette = command->command == CMD_PAINT_PALETTE;
        if (palette) {
            SendMessageA(window, paletteMessage, 1, 0);
        }
        for (int64_t &ticks : command->stepTicks) {
            ticks = 0;
        }
        InterlockedExchange(&timingSteps, 1);
        for (int i = 0; i < count; ++i) {
            // Each repaint starts with the X server done with the last one.
            InterlockedExchange(&timingSteps, 0);
            Sleep(SETTLE_MS);
            InterlockedExchange(&timingSteps, 1);
            int64_t start = Now();
            InvalidateRect(window, nullptr, TRUE);
            UpdateWindow(window);
            command->times[i] = Now() - start;
        }
        InterlockedExchange(&timingSteps, 0);
        if (palette) {
            SendMessageA(window, paletteMessage, 0, 0);
        }
    } else {
        // The visible part of the driver's own template, one to one.
        RECT client;
        GetClientRect(window, &client);
        int width = templateWidth < client.right ? templateWidth : client.right;
        int height = templateHeight < client.bottom ? templateHeight : client.bottom;
        const BYTE *block = templateBlock.data();
        HDC dc = GetDC(window);
        SetStretchBltMode(dc, COLORONCOLOR);
        for (int i = 0; i < count; ++i) {
            Sleep(SETTLE_MS);
            int64_t start = Now();
            StretchDIBits(dc, 0, 0, width, height, 0, templateHeight - height, width, height,
                          block + sizeof(BITMAPINFOHEADER) + COLOUR_TABLE_BYTES,
                          reinterpret_cast<const BITMAPINFO *>(block), DIB_RGB_COLORS, SRCCOPY);
            command->times[i] = Now() - start;
        }
        ReleaseDC(window, dc);
    }
    command->timeCount = count;
}

static LRESULT CALLBACK BenchSubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == paintMessage && paintMessage != 0 && shared != nullptr) {
        TimePaints(window, &shared->roles[role]);
        return 0;
    }
    if (message == WM_USER && wParam == XRAY_MSG_IMAGE && shared != nullptr) {
        const int64_t start = Now();
        InterlockedExchange(&insideRoad, 1);
        LRESULT result = CallWindowProcA(programProc, window, message, wParam, lParam);
        InterlockedExchange(&insideRoad, 0);
        BenchRoleState &state = shared->roles[role];
        state.roadTicks += Now() - start;
        ++state.handled;
        return result;
    }
    if (message == WM_PAINT) {
        InterlockedExchange(&painting, 1);
        LRESULT result = CallWindowProcA(programProc, window, message, wParam, lParam);
        InterlockedExchange(&painting, 0);
        return result;
    }
    return CallWindowProcA(programProc, window, message, wParam, lParam);
}

static DWORD WINAPI CommandThread(LPVOID)
{
    HANDLE waits[2] = {stopEvent, goEvent};
    while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        BenchRoleState *command = &shared->roles[role];
        command->failed = 0;
        command->timeCount = 0;
        switch (command->command) {
        case CMD_POST:
            command->failed = !PostImages(*command);
            break;
        case CMD_PAINT:
        case CMD_PAINT_PALETTE:
        case CMD_BARE: {
            DWORD_PTR ignored;
            command->failed = !SendMessageTimeoutA(mainWindow, paintMessage, 0, 0, SMTO_NORMAL,
                                                   PAINT_REPLY_LIMIT_MS, &ignored);
            break;
        }
        case CMD_MEMORY:
            command->committed = CommittedPrivateBytes();
            break;
        default:
            command->failed = 1;
            break;
        }
        SetEvent(doneEvent);
    }
    return 0;
}

static void StopCommands()
{
    if (worker != nullptr) {
        SetEvent(stopEvent);
        WaitForSingleObject(worker, INFINITE);
        CloseHandle(worker);
        worker = nullptr;
    }
    for (HANDLE *handle : {&goEvent, &doneEvent, &stopEvent}) {
        if (*handle != nullptr) {
            CloseHandle(*handle);
            *handle = nullptr;
        }
    }
    if (shared != nullptr) {
        UnmapViewOfFile(shared);
        shared = nullptr;
    }
    if (mapping != nullptr) {
        CloseHandle(mapping);
        mapping = nullptr;
    }
    if (mainWindow != nullptr && programProc != nullptr &&
        reinterpret_cast<WNDPROC>(GetWindowLongPtrA(mainWindow, GWLP_WNDPROC)) == BenchSubclassProc) {
        SetWindowLongPtrA(mainWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(programProc));
    }
    programProc = nullptr;
    mainWindow = nullptr;
    UnpatchPaintingImports();
}

// Joins bench.exe's run when there is one; without it the driver only keeps
// the contract and never posts.
static void StartCommands(HWND window)
{
    char text[16];
    DWORD length = GetEnvironmentVariableA(BENCH_ROLE_VARIABLE, text, sizeof text);
    role = (length > 0 && length < sizeof text) ? atoi(text) : ROLE_STATION;
    if (role < 0 || role >= ROLE_COUNT) {
        return;
    }
    mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, BENCH_MAPPING_NAME);
    if (mapping == nullptr) {
        return;
    }
    shared = static_cast<BenchShared *>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(BenchShared)));
    char name[64];
    snprintf(name, sizeof name, BENCH_GO_EVENT, role);
    goEvent = OpenEventA(EVENT_ALL_ACCESS, FALSE, name);
    snprintf(name, sizeof name, BENCH_DONE_EVENT, role);
    doneEvent = OpenEventA(EVENT_ALL_ACCESS, FALSE, name);
    stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (shared == nullptr || goEvent == nullptr || doneEvent == nullptr || stopEvent == nullptr) {
        StopCommands();
        return;
    }
    // The program's window procedure runs inside the subclass, and the
    // program frees the library from inside it (WM_CLOSE, WM_DESTROY,
    // XRAYClose, FreeLibrary): the library stays loaded for good once it
    // has subclassed, so that those calls return into loaded code.
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                            reinterpret_cast<LPCSTR>(&BenchSubclassProc), &self)) {
        StopCommands();
        return;
    }
    mainWindow = window;
    paintMessage = RegisterWindowMessageA(BENCH_PAINT_MESSAGE);
    PatchPaintingImports();
    programProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(BenchSubclassProc)));
    worker = CreateThread(nullptr, 0, CommandThread, nullptr, 0, nullptr);
    if (worker == nullptr) {
        StopCommands();
        return;
    }
    InterlockedExchange(&shared->roles[role].window, static_cast<LONG>(reinterpret_cast<LONG_PTR>(window)));
    InterlockedExchange(&shared->roles[role].opened, 1);
}

BD_EXPORT int __cdecl XRAYOpen(HWND window, const char *, int)
{
    StopCommands();
    StartCommands(window);
    return XRAY_MODE_STANDALONE;
}

BD_EXPORT int __cdecl XRAYClose(void)
{
    StopCommands();
    return 1;
}

BD_EXPORT int __cdecl XRAYPrepareAcquisition(void) { return 1; }

BD_EXPORT int __cdecl XRAYResolution(double *first, double *second)
{
    *first = 20.5;
    *second = 10.0;
    return 1;
}

BD_EXPORT int __cdecl XRAYSize(int *width, int *height)
{
    *width = sensorWidth;
    *height = sensorHeight;
    return 1;
}

BD_EXPORT int __cdecl bXRAYGetBinningMode(void) { return 0; }

BD_EXPORT int __cdecl bXRAYChangeBinningMode(int) { return 1; }
