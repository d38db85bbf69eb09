// Paint timing has to run on the program's GUI thread, which the driver
// does not own: XRAYOpen subclasses the window it is given, and the worker
// sends it a registered message that the subclass answers by timing
// InvalidateRect + UpdateWindow (or a bare StretchDIBits) there. Every other
// message goes straight on to the program's own window procedure; XRAYClose
// puts that procedure back, and the library pins itself in the process.
// The worker also asks here whether the program is still busy with an
// image or a repaint before it posts the next image.
#include "drvwindow.h"

#include <cstdint>

#include "benchdrv.h"
#include "dibbytes.h"
#include "drvpost.h"
#include "drvsteps.h"
#include "xraydrv.h"

static constexpr DWORD PAINT_REPLY_LIMIT_MS = 60000;
static constexpr DWORD SETTLE_MS = 30;

static HWND mainWindow;
static WNDPROC programProc;
static UINT paintMessage;
static volatile LONG painting;    // the program is inside its WM_PAINT
static volatile LONG insideRoad;  // the program is handling an image message

HWND ProgramWindow() { return mainWindow; }

bool InsideRoad() { return insideRoad != 0; }

// Images one at a time, and repaints, stand for an operator's acquisitions
// and scroll steps, seconds apart. For an image:
// the program is left to finish what the previous image caused (its
// repaint) first, and SETTLE_MS more for the X server to draw that repaint;
// without the pause, a station that repainted measured 1.1 to 1.6 times the
// floor at the smaller sizes, all of it inside its SendMessageTimeoutA calls,
// and so did a floor made to show scroll bars and repaint like it.
void WaitProgramIdle()
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

// InvalidateRect + UpdateWindow: the program's own WM_PAINT, its steps
// timed through its imports.
static void TimeRepaints(HWND window, BenchRoleState *command, int count)
{
    const UINT paletteMessage = RegisterWindowMessageA(BENCH_FLOOR_PALETTE_MESSAGE);
    const bool palette = command->command == CMD_PAINT_PALETTE;
    if (palette) {
        SendMessageA(window, paletteMessage, 1, 0);
    }
    for (int64_t &ticks : command->stepTicks) {
        ticks = 0;
    }
    TimeSteps(true);
    for (int i = 0; i < count; ++i) {
        // Each repaint starts with the X server done with the last one.
        TimeSteps(false);
        Sleep(SETTLE_MS);
        TimeSteps(true);
        int64_t start = Now();
        InvalidateRect(window, nullptr, TRUE);
        UpdateWindow(window);
        command->times[i] = Now() - start;
    }
    TimeSteps(false);
    if (palette) {
        SendMessageA(window, paletteMessage, 0, 0);
    }
}

// The visible part of the driver's own template, one to one.
static void TimeBareDraws(HWND window, BenchRoleState *command, int count)
{
    const int templateWidth = TemplateWidth();
    const int templateHeight = TemplateHeight();
    RECT client;
    GetClientRect(window, &client);
    int width = templateWidth < client.right ? templateWidth : client.right;
    int height = templateHeight < client.bottom ? templateHeight : client.bottom;
    const BYTE *block = TemplateBlock().data();
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

// On the GUI thread, inside the program's window procedure chain.
static void TimePaints(HWND window, BenchRoleState *command)
{
    // The program measured is the one on top; what raising it or the last
    // image left to paint is painted before the clock starts.
    SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    UpdateWindow(window);
    const int count = command->count < MAX_TIMES ? command->count : MAX_TIMES;
    if (command->command == CMD_PAINT || command->command == CMD_PAINT_PALETTE) {
        TimeRepaints(window, command, count);
    } else {
        TimeBareDraws(window, command, count);
    }
    command->timeCount = count;
}

static LRESULT CALLBACK BenchSubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == paintMessage && paintMessage != 0 && OwnState() != nullptr) {
        TimePaints(window, OwnState());
        return 0;
    }
    if (message == WM_USER && wParam == XRAY_MSG_IMAGE && OwnState() != nullptr) {
        const int64_t start = Now();
        InterlockedExchange(&insideRoad, 1);
        LRESULT result = CallWindowProcA(programProc, window, message, wParam, lParam);
        InterlockedExchange(&insideRoad, 0);
        BenchRoleState &state = *OwnState();
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

bool TimePaintsOnGuiThread()
{
    DWORD_PTR ignored;
    return SendMessageTimeoutA(mainWindow, paintMessage, 0, 0, SMTO_NORMAL, PAINT_REPLY_LIMIT_MS, &ignored) != 0;
}

bool SubclassProgramWindow(HWND window)
{
    // The program's window procedure runs inside the subclass, and the
    // program frees the library from inside it (WM_CLOSE, WM_DESTROY,
    // XRAYClose, FreeLibrary): the library stays loaded for good once it
    // has subclassed, so that those calls return into loaded code.
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                            reinterpret_cast<LPCSTR>(&BenchSubclassProc), &self)) {
        return false;
    }
    mainWindow = window;
    paintMessage = RegisterWindowMessageA(BENCH_PAINT_MESSAGE);
    PatchPaintingImports();
    programProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(BenchSubclassProc)));
    return true;
}

void RestoreProgramWindow()
{
    if (mainWindow != nullptr && programProc != nullptr &&
        reinterpret_cast<WNDPROC>(GetWindowLongPtrA(mainWindow, GWLP_WNDPROC)) == BenchSubclassProc) {
        SetWindowLongPtrA(mainWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(programProc));
    }
    programProc = nullptr;
    mainWindow = nullptr;
    UnpatchPaintingImports();
}
