// While paints are timed, the painting calls the program imports
// (BeginPaint, which erases, SelectPalette and RealizePalette, FillRect,
// StretchDIBits, EndPaint, and DefWindowProcA given WM_PAINT) are timed
// too, through its import table; so are, while it handles an image, its
// SendMessageTimeoutA calls and its memcpy calls of a whole block.
#include "drvsteps.h"

#include <windows.h>

#include <cstdint>

#include "benchdrv.h"
#include "drvpost.h"
#include "drvwindow.h"
#include "iatpatch.h"

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

void TimeSteps(bool on) { InterlockedExchange(&timingSteps, on ? 1 : 0); }

static void AddStep(BenchStep step, int64_t start)
{
    if (BenchRoleState *state = OwnState()) {
        state->stepTicks[step] += Now() - start;
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
    BenchRoleState *state = OwnState();
    if (InsideRoad() && state != nullptr) {
        state->sendTicks += Now() - start;
    }
    return sent;
}

static void *__cdecl CountedMemcpy(void *to, const void *from, size_t size)
{
    BenchRoleState *state = OwnState();
    if (InsideRoad() && state != nullptr && TemplateWidth() > 0 && size >= TemplateBlock().size()) {
        state->copiedBytes += size;
        ++state->copies;
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

void PatchPaintingImports()
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

void UnpatchPaintingImports()
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
