// clipcycle.exe: the clipboard calls of one copy and paste, and nothing
// else, so that the soak can tell what the platform's clipboard keeps per
// cycle from what the station keeps. Each cycle, with a window of its own:
//   copy:  OpenClipboard, EmptyClipboard, a duplicate block handed over
//          with SetClipboardData(CF_DIB), CloseClipboard;
//   paste: OpenClipboard, GetClipboardData(CF_DIB), a duplicate of it,
//          CloseClipboard; the previous pasted block freed.
// The queue is emptied after each step, as the station's loop does.
//   clipcycle.exe CYCLES WIDTH HEIGHT [GETS]
// GETS (default 1) is how many times the paste calls GetClipboardData; with
// 0 it reads nothing and keeps its block. Prints key=value lines: the
// process heap's busy bytes after a warm-up of 20 cycles and after CYCLES
// more, and the growth per cycle.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dibbuilder.h"
#include "soak.h"

static constexpr int WARM_UP_CYCLES = 20;

static HGLOBAL Duplicate(HGLOBAL source)
{
    SIZE_T size = source != nullptr ? GlobalSize(source) : 0;
    HGLOBAL copy = size != 0 ? GlobalAlloc(GMEM_MOVEABLE, size) : nullptr;
    if (copy == nullptr) {
        return nullptr;
    }
    void *to = GlobalLock(copy);
    const void *from = GlobalLock(source);
    if (to != nullptr && from != nullptr) {
        memcpy(to, from, size);
    }
    GlobalUnlock(source);
    GlobalUnlock(copy);
    return copy;
}

static void Drain()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageA(&msg);
    }
}

static int getsPerPaste = 1;

static HGLOBAL Cycle(HWND window, HGLOBAL image)
{
    if (OpenClipboard(window)) {
        EmptyClipboard();
        HGLOBAL copy = Duplicate(image);
        if (copy != nullptr && SetClipboardData(CF_DIB, copy) == nullptr) {
            GlobalFree(copy);
        }
        CloseClipboard();
    }
    Drain();
    HGLOBAL pasted = nullptr;
    if (OpenClipboard(window)) {
        for (int i = 0; i < getsPerPaste; ++i) {
            HGLOBAL copy = Duplicate(GetClipboardData(CF_DIB));
            if (pasted != nullptr) {
                GlobalFree(pasted);
            }
            pasted = copy;
        }
        CloseClipboard();
    }
    Drain();
    if (pasted == nullptr) {
        return image;
    }
    GlobalFree(image);
    return pasted;
}

int main(int argc, char **argv)
{
    if (argc != 4 && argc != 5) {
        fputs("usage: clipcycle.exe CYCLES WIDTH HEIGHT [GETS]\n", stderr);
        return 2;
    }
    const int cycles = atoi(argv[1]);
    const int width = atoi(argv[2]);
    const int height = atoi(argv[3]);
    getsPerPaste = argc == 5 ? atoi(argv[4]) : 1;
    // An 8-bit DIB of the station's images' size, table and rows all 0.
    DibFields fields;
    fields.width = width;
    fields.height = height;
    const SIZE_T size = DibSize(fields);

    HWND window = CreateWindowA("STATIC", "clipcycle", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
    HGLOBAL image = MakeDibBlock(fields);
    if (window == nullptr || image == nullptr) {
        fputs("clipcycle: no window or no block\n", stderr);
        return 1;
    }

    for (int i = 0; i < WARM_UP_CYCLES; ++i) {
        image = Cycle(window, image);
    }
    const SIZE_T before = HeapBusyBytes();
    for (int i = 0; i < cycles; ++i) {
        image = Cycle(window, image);
    }
    const SIZE_T after = HeapBusyBytes();
    int completed = GlobalSize(image) == size ? cycles : -1;

    if (OpenClipboard(window)) {
        EmptyClipboard();
        CloseClipboard();
    }
    GlobalFree(image);
    DestroyWindow(window);
    printf("clip_cycles=%d\n", completed);
    printf("clip_gets_per_paste=%d\n", getsPerPaste);
    printf("clip_heap_before=%lu\n", static_cast<unsigned long>(before));
    printf("clip_heap_after=%lu\n", static_cast<unsigned long>(after));
    printf("clip_heap_per_cycle=%.1f\n",
           cycles > 0 ? (static_cast<double>(after) - static_cast<double>(before)) / cycles : 0.0);
    return completed == cycles ? 0 : 1;
}
