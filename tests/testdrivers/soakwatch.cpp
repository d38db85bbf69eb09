// What the soak driver sees of the station from inside its process: its
// block calls and paints, through its import table, and samples of its
// memory and objects.
// Blocks handed over are tracked through the station's import of
// GlobalFree; the import is put back before the library is unloaded.
#include "soakwatch.h"

#include <psapi.h>

#include <set>

#include "iatpatch.h"
#include "procmem.h"
#include "soak.h"

static HWND stationWindow;
static DWORD stationThread;

static CRITICAL_SECTION blockLock;
static std::set<HGLOBAL> handedOver;    // ours, not yet freed by the station
static std::set<HGLOBAL> stationOwned;  // allocated by the station, not yet freed or given away
static unsigned long blocksHanded;
static unsigned long blocksFreedByStation;
static void *originalGlobalFree;
static void *originalGlobalAlloc;
static void *originalSetClipboardData;
static void *originalEndPaint;
static volatile LONG paints;

static const char *gdiMethod = "GetGuiResources";
static const char *userMethod = "GetGuiResources";

void TrackStation(HWND window, DWORD thread)
{
    stationWindow = window;
    stationThread = thread;
    InitializeCriticalSection(&blockLock);
}

// --- The station's block calls, seen through its import table ------------

static HGLOBAL WINAPI WatchGlobalFree(HGLOBAL block)
{
    EnterCriticalSection(&blockLock);
    if (handedOver.erase(block) > 0) {
        ++blocksFreedByStation;
    }
    stationOwned.erase(block);
    LeaveCriticalSection(&blockLock);
    return reinterpret_cast<HGLOBAL(WINAPI *)(HGLOBAL)>(originalGlobalFree)(block);
}

static HGLOBAL WINAPI WatchGlobalAlloc(UINT flags, SIZE_T size)
{
    HGLOBAL block = reinterpret_cast<HGLOBAL(WINAPI *)(UINT, SIZE_T)>(originalGlobalAlloc)(flags, size);
    if (block != nullptr) {
        EnterCriticalSection(&blockLock);
        stationOwned.insert(block);
        LeaveCriticalSection(&blockLock);
    }
    return block;
}

// A block the clipboard accepts is the clipboard's from then on.
static HANDLE WINAPI WatchSetClipboardData(UINT format, HANDLE data)
{
    HANDLE taken = reinterpret_cast<HANDLE(WINAPI *)(UINT, HANDLE)>(originalSetClipboardData)(format, data);
    if (taken != nullptr) {
        EnterCriticalSection(&blockLock);
        stationOwned.erase(data);
        LeaveCriticalSection(&blockLock);
    }
    return taken;
}

static BOOL WINAPI WatchEndPaint(HWND window, const PAINTSTRUCT *paint)
{
    BOOL done = reinterpret_cast<BOOL(WINAPI *)(HWND, const PAINTSTRUCT *)>(originalEndPaint)(window, paint);
    if (window == stationWindow) {
        InterlockedIncrement(&paints);
    }
    return done;
}

void WatchStationImports()
{
    HMODULE station = GetModuleHandleA(nullptr);
    originalGlobalFree = PatchModuleImport(station, "kernel32.dll", "GlobalFree",
                                           reinterpret_cast<void *>(WatchGlobalFree));
    originalGlobalAlloc = PatchModuleImport(station, "kernel32.dll", "GlobalAlloc",
                                            reinterpret_cast<void *>(WatchGlobalAlloc));
    originalSetClipboardData = PatchModuleImport(station, "user32.dll", "SetClipboardData",
                                                 reinterpret_cast<void *>(WatchSetClipboardData));
    originalEndPaint = PatchModuleImport(station, "user32.dll", "EndPaint",
                                         reinterpret_cast<void *>(WatchEndPaint));
}

void RestoreStationImports()
{
    HMODULE station = GetModuleHandleA(nullptr);
    if (originalGlobalFree != nullptr) {
        PatchModuleImport(station, "kernel32.dll", "GlobalFree", originalGlobalFree);
    }
    if (originalGlobalAlloc != nullptr) {
        PatchModuleImport(station, "kernel32.dll", "GlobalAlloc", originalGlobalAlloc);
    }
    if (originalSetClipboardData != nullptr) {
        PatchModuleImport(station, "user32.dll", "SetClipboardData", originalSetClipboardData);
    }
    if (originalEndPaint != nullptr) {
        PatchModuleImport(station, "user32.dll", "EndPaint", originalEndPaint);
    }
}

void NoteHandedOver(HGLOBAL block)
{
    EnterCriticalSection(&blockLock);
    handedOver.insert(block);
    ++blocksHanded;
    LeaveCriticalSection(&blockLock);
}

void ForgetHandedOver(HGLOBAL block)
{
    EnterCriticalSection(&blockLock);
    handedOver.erase(block);
    --blocksHanded;
    LeaveCriticalSection(&blockLock);
}

BlockCounts CountBlocks()
{
    EnterCriticalSection(&blockLock);
    BlockCounts counts = {blocksHanded, blocksFreedByStation, handedOver.size()};
    LeaveCriticalSection(&blockLock);
    return counts;
}

LONG PaintsSoFar()
{
    return InterlockedCompareExchange(&paints, 0, 0);
}

// --- Measurements ---------------------------------------------------------

// GetGuiResources answers 0 under Wine. There a GDI handle whose high word
// is 0 matches the live object at that index of the handle table, so the
// live objects are counted by asking GetObjectType over all 65536 indices.
static unsigned GdiObjects()
{
    DWORD counted = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    if (counted != 0) {
        return counted;
    }
    gdiMethod = "GetObjectType over the handle table";
    unsigned live = 0;
    for (ULONG_PTR index = 1; index <= 0xFFFF; ++index) {
        if (GetObjectType(reinterpret_cast<HGDIOBJ>(index)) != 0) {
            ++live;
        }
    }
    return live;
}

static BOOL CALLBACK CountWindow(HWND window, LPARAM counter)
{
    ++*reinterpret_cast<unsigned *>(counter);
    EnumChildWindows(window, CountWindow, counter);
    return TRUE;
}

// Windows of the station's thread and all their descendants.
static unsigned UserObjects()
{
    DWORD counted = GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS);
    if (counted != 0) {
        return counted;
    }
    userMethod = "windows of the station's thread and their children";
    unsigned windows = 0;
    EnumThreadWindows(stationThread, CountWindow, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

Sample TakeSample()
{
    Sample sample = {};
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&counters),
                             sizeof counters)) {
        sample.privateUsage = counters.PrivateUsage;
    }
    sample.privateCommit = CommittedPrivateBytes();
    sample.heapBusy = HeapBusyBytes();
    HANDLE heaps[64];
    DWORD count = GetProcessHeaps(64, heaps);
    for (DWORD i = 0; i < count && i < 64; ++i) {
        sample.allHeapsBusy += HeapBusyBytes(heaps[i]);
    }
    sample.gdiObjects = GdiObjects();
    sample.userObjects = UserObjects();
    EnterCriticalSection(&blockLock);
    sample.stationBlocks = static_cast<unsigned>(stationOwned.size());
    LeaveCriticalSection(&blockLock);
    return sample;
}

const char *GdiMethod()
{
    return gdiMethod;
}

const char *UserMethod()
{
    return userMethod;
}
