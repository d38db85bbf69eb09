// What the soak driver sees of the station from inside its process
// (soakwatch.cpp): the blocks it allocates, frees and gives the clipboard,
// its paints, and samples of its memory and objects.
#pragma once

#include <windows.h>

struct Sample {
    SIZE_T privateUsage;   // GetProcessMemoryInfo, PROCESS_MEMORY_COUNTERS_EX
    SIZE_T privateCommit;  // committed MEM_PRIVATE pages, by VirtualQuery
    SIZE_T heapBusy;       // busy bytes of the process heap, by HeapWalk
    SIZE_T allHeapsBusy;   // busy bytes of every heap of the process
    unsigned gdiObjects;
    unsigned userObjects;
    unsigned stationBlocks;  // blocks the station allocated and still holds
};

// The blocks handed to the station, and how many of them it freed.
struct BlockCounts {
    unsigned long handed;
    unsigned long freedByStation;
    unsigned long long leaked;  // handed over and never freed
};

// Starts the block bookkeeping for the station's window and thread.
void TrackStation(HWND window, DWORD thread);
// Puts the station's imports of GlobalFree, GlobalAlloc, SetClipboardData
// and EndPaint through the watch, and back.
void WatchStationImports();
void RestoreStationImports();

// A block of ours posted to the station, or taken back when the post failed.
void NoteHandedOver(HGLOBAL block);
void ForgetHandedOver(HGLOBAL block);
BlockCounts CountBlocks();

// The station's paints of its window so far.
LONG PaintsSoFar();

Sample TakeSample();
// How the GDI and USER objects were counted.
const char *GdiMethod();
const char *UserMethod();
