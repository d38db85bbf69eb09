// The soak plan of the test driver variant testdrv_soak (see soak.cpp).
#pragma once

#include <windows.h>

// From XRAYOpen: takes the image size from the environment into the
// driver's size, and when SOAK_REPORT is set starts the plan on `window`.
void SoakOnOpen(HWND window, int *width, int *height);
// From XRAYClose: ends the plan and writes the report.
void SoakOnClose();

// Busy bytes of a heap (the process heap by default), walked under its
// lock. GlobalAlloc blocks live in the process heap too.
inline SIZE_T HeapBusyBytes(HANDLE heap = GetProcessHeap())
{
    SIZE_T total = 0;
    if (!HeapLock(heap)) {
        return 0;
    }
    PROCESS_HEAP_ENTRY entry = {};
    while (HeapWalk(heap, &entry)) {
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) {
            total += entry.cbData;
        }
    }
    HeapUnlock(heap);
    return total;
}
