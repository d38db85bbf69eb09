// The soak plan of the test driver (variant testdrv_soak). Loaded into the
// real station, it delivers images from its own worker thread as a sensor
// driver does, and measures the station from inside its process:
//   paced:  one image at a time, the next only once the station has taken
//           the previous one and gone back to its message loop;
//   pairs:  a copy and a paste (WM_COMMAND 106, 107) at a time;
//   burst:  images posted back to back, then one wait.
// After each step it posts a marker (WM_USER with a wParam the station does
// not use). A WH_GETMESSAGE hook on the station's thread sees the marker
// taken from the queue: everything posted before it has been handled, and
// the station is between two messages. The hook then holds the station
// there while the worker samples memory, objects and lock counts, so no
// paint or send can run during a sample.
// Blocks handed over are tracked through the station's import of
// GlobalFree; the import is put back before the library is unloaded.
//
// Settings (environment): SOAK_IMAGES, SOAK_PAIRS, SOAK_BURST, SOAK_WIDTH,
// SOAK_HEIGHT, SOAK_REPORT (key=value lines written at XRAYClose) and
// SOAK_EXPECT (the CRC-32 every host should receive, in order, one a line).
#include "soak.h"

#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "crc32.h"
#include "iatpatch.h"
#include "procmem.h"
#include "resource.h"
#include "xraydrv.h"

static constexpr WPARAM SOAK_MARKER = 0x534B;
// Only a guard against a station that stopped answering: a marker normally
// comes back in milliseconds, a burst of large images in seconds.
static constexpr DWORD MARKER_DEADLINE_MS = 120000;
static constexpr int BASELINE_IMAGES = 100;
static constexpr int SERIES_STEP = 1000;
// A paint follows each paced image within milliseconds; past this the
// station is taken not to paint, and the plan stops waiting for paints.
static constexpr DWORD PAINT_DEADLINE_MS = 20000;

struct Sample {
    SIZE_T privateUsage;   // GetProcessMemoryInfo, PROCESS_MEMORY_COUNTERS_EX
    SIZE_T privateCommit;  // committed MEM_PRIVATE pages, by VirtualQuery
    SIZE_T heapBusy;       // busy bytes of the process heap, by HeapWalk
    SIZE_T allHeapsBusy;   // busy bytes of every heap of the process
    unsigned gdiObjects;
    unsigned userObjects;
    unsigned stationBlocks;  // blocks the station allocated and still holds
};

static HWND stationWindow;
static DWORD stationThread;
static HHOOK hook;
static HANDLE worker;
static HANDLE markerSeen;
static HANDLE sampleDone;
static volatile LONG awaitedMarker = -1;
static volatile LONG stopping;
static int imageWidth = 512;
static int imageHeight = 768;

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

static std::string report;
static std::vector<uint32_t> expected;
static bool stalled;
static unsigned maxLockCount;
static const char *gdiMethod = "GetGuiResources";
static const char *userMethod = "GetGuiResources";

static int EnvInt(const char *name, int fallback)
{
    char text[32];
    DWORD length = GetEnvironmentVariableA(name, text, sizeof text);
    if (length == 0 || length >= sizeof text) {
        return fallback;
    }
    return atoi(text);
}

static std::string EnvText(const char *name)
{
    char text[MAX_PATH];
    DWORD length = GetEnvironmentVariableA(name, text, sizeof text);
    return length > 0 && length < sizeof text ? std::string(text) : std::string();
}

static void Put(const char *key, unsigned long long value)
{
    char line[128];
    snprintf(line, sizeof line, "%s=%llu\n", key, value);
    report += line;
}

static void PutText(const char *key, const char *value)
{
    report += key;
    report += '=';
    report += value;
    report += '\n';
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

static void WatchStationImports()
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

static void RestoreStationImports()
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

static Sample TakeSample()
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

static void PutSample(const char *when, const Sample &sample)
{
    std::string prefix(when);
    Put((prefix + "_private_usage").c_str(), sample.privateUsage);
    Put((prefix + "_private_commit").c_str(), sample.privateCommit);
    Put((prefix + "_heap_busy").c_str(), sample.heapBusy);
    Put((prefix + "_all_heaps_busy").c_str(), sample.allHeapsBusy);
    Put((prefix + "_gdi_objects").c_str(), sample.gdiObjects);
    Put((prefix + "_user_objects").c_str(), sample.userObjects);
    Put((prefix + "_station_blocks").c_str(), sample.stationBlocks);
}

// --- The hook and the marker round trip -----------------------------------

static LRESULT CALLBACK MarkerHook(int code, WPARAM removal, LPARAM lParam)
{
    const MSG *msg = reinterpret_cast<const MSG *>(lParam);
    if (code == HC_ACTION && removal == PM_REMOVE && msg->message == WM_USER &&
        msg->wParam == SOAK_MARKER && msg->lParam == awaitedMarker) {
        // Held here, between two messages, until the worker has sampled.
        SetEvent(markerSeen);
        WaitForSingleObject(sampleDone, MARKER_DEADLINE_MS);
    }
    return CallNextHookEx(hook, code, removal, lParam);
}

// Posts a marker and waits until the station takes it. On return the station
// is held between messages until Release().
static bool AwaitStation()
{
    static LONG serial;
    LONG marker = ++serial;
    InterlockedExchange(&awaitedMarker, marker);
    if (!PostMessageA(stationWindow, WM_USER, SOAK_MARKER, marker) ||
        WaitForSingleObject(markerSeen, MARKER_DEADLINE_MS) != WAIT_OBJECT_0) {
        stalled = true;
        return false;
    }
    return true;
}

static void Release() { SetEvent(sampleDone); }

// Waits until the station has painted since `before` paints.
static bool AwaitPaint(LONG before)
{
    for (DWORD waited = 0; waited < PAINT_DEADLINE_MS; waited += 2) {
        if (InterlockedCompareExchange(&paints, 0, 0) != before || stopping) {
            return true;
        }
        Sleep(2);
    }
    return false;
}

// --- Images ---------------------------------------------------------------

static HGLOBAL MakeImage(unsigned serial, uint32_t *crc)
{
    const DWORD stride = (static_cast<DWORD>(imageWidth) + 3u) & ~3u;
    const DWORD size = sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD) + stride * imageHeight;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    BYTE *bytes = block != nullptr ? static_cast<BYTE *>(GlobalLock(block)) : nullptr;
    if (bytes == nullptr) {
        if (block != nullptr) {
            GlobalFree(block);
        }
        return nullptr;
    }
    BITMAPINFOHEADER header = {};
    header.biSize = sizeof header;
    header.biWidth = imageWidth;
    header.biHeight = imageHeight;
    header.biPlanes = 1;
    header.biBitCount = 8;
    header.biCompression = BI_RGB;
    memcpy(bytes, &header, sizeof header);
    RGBQUAD *table = reinterpret_cast<RGBQUAD *>(bytes + sizeof header);
    for (int i = 0; i < 256; ++i) {
        table[i] = {static_cast<BYTE>(i), static_cast<BYTE>(i), static_cast<BYTE>(i), 0};
    }
    // A diagonal ramp shifted by the serial, the serial itself in the first
    // four pixels: every image differs from every other.
    BYTE *rows = bytes + sizeof header + 256 * sizeof(RGBQUAD);
    for (int y = 0; y < imageHeight; ++y) {
        for (DWORD x = 0; x < stride; ++x) {
            rows[y * stride + x] = static_cast<BYTE>(x + y + serial);
        }
    }
    memcpy(rows, &serial, sizeof serial);
    *crc = Crc32(bytes, size);
    GlobalUnlock(block);
    return block;
}

static HGLOBAL lastHanded;

static bool Deliver(unsigned serial)
{
    uint32_t crc = 0;
    HGLOBAL block = MakeImage(serial, &crc);
    if (block == nullptr) {
        return false;
    }
    EnterCriticalSection(&blockLock);
    handedOver.insert(block);
    ++blocksHanded;
    LeaveCriticalSection(&blockLock);
    if (!PostMessageA(stationWindow, WM_USER, XRAY_MSG_IMAGE, reinterpret_cast<LPARAM>(block))) {
        EnterCriticalSection(&blockLock);
        handedOver.erase(block);
        --blocksHanded;
        LeaveCriticalSection(&blockLock);
        GlobalFree(block);
        return false;
    }
    lastHanded = block;
    expected.push_back(crc);
    return true;
}

// The lock count of the last block handed over, while it is the current
// image and the station is between messages.
static void CheckLockCount()
{
    UINT flags = GlobalFlags(lastHanded);
    if (flags != GMEM_INVALID_HANDLE && (flags & GMEM_LOCKCOUNT) > maxLockCount) {
        maxLockCount = flags & GMEM_LOCKCOUNT;
    }
}

static DWORD WINAPI SoakWorker(void *)
{
    const int images = EnvInt("SOAK_IMAGES", 300);
    const int pairs = EnvInt("SOAK_PAIRS", 100);
    const int burst = EnvInt("SOAK_BURST", 100);
    unsigned serial = 0;
    int paced = 0;
    int pairsDone = 0;
    int burstDone = 0;
    Sample baseline = {}, pacedEnd = {}, pairsStart = {}, pairsEnd = {}, end = {};
    bool ok = true;
    // Reserved up front so that the driver's own bookkeeping does not grow
    // the memory it measures.
    expected.reserve(static_cast<size_t>(images) + pairs + burst);
    std::string series;

    bool awaitPaints = true;
    int unpainted = 0;
    for (; ok && paced < images && !stopping; ++paced) {
        // Taken, painted, then sampled between two messages: a lock the
        // paint leaves behind shows in the sample.
        LONG paintsBefore = InterlockedCompareExchange(&paints, 0, 0);
        ok = Deliver(++serial) && AwaitStation();
        if (!ok) {
            break;
        }
        Release();
        if (awaitPaints && !AwaitPaint(paintsBefore)) {
            ++unpainted;
            awaitPaints = false;
        }
        ok = AwaitStation();
        if (!ok) {
            break;
        }
        CheckLockCount();
        if (paced + 1 == BASELINE_IMAGES || (images < BASELINE_IMAGES && paced == 0)) {
            baseline = TakeSample();
        }
        if (paced + 1 == images) {
            pacedEnd = TakeSample();
        }
        if ((paced + 1) % SERIES_STEP == 0) {
            char figure[32];
            Sample now = TakeSample();
            snprintf(figure, sizeof figure, "%s%lu/%lu", series.empty() ? "" : ",",
                     static_cast<unsigned long>(now.privateCommit), static_cast<unsigned long>(now.allHeapsBusy));
            series += figure;
        }
        Release();
    }
    for (; ok && pairsDone < pairs && !stopping; ++pairsDone) {
        PostMessageA(stationWindow, WM_COMMAND, IDM_COPY, 0);
        PostMessageA(stationWindow, WM_COMMAND, IDM_PASTE, 0);
        ok = AwaitStation();
        if (!ok) {
            break;
        }
        // The paste sends the image it took back from the clipboard: the
        // same bytes as the one before.
        if (!expected.empty()) {
            expected.push_back(expected.back());
        }
        // From the first pair on, the clipboard holds a block of its own.
        if (pairsDone == 0) {
            pairsStart = TakeSample();
        }
        if (pairsDone + 1 == pairs) {
            pairsEnd = TakeSample();
        }
        Release();
    }
    for (; ok && burstDone < burst && !stopping; ++burstDone) {
        ok = Deliver(++serial);
    }
    if (ok && AwaitStation()) {
        CheckLockCount();
        end = TakeSample();
        Release();
    }

    Put("images_paced", paced);
    Put("pairs", pairsDone);
    Put("images_burst", burstDone);
    Put("image_width", imageWidth);
    Put("image_height", imageHeight);
    Put("stalled", stalled ? 1 : 0);
    Put("paints", paints);
    Put("paced_unpainted", unpainted);
    PutSample("after100", baseline);
    PutSample("paced_end", pacedEnd);
    PutSample("pairs_start", pairsStart);
    PutSample("pairs_end", pairsEnd);
    PutSample("end", end);
    PutText("paced_private_commit_every_1000", series.c_str());
    Put("lock_count_max", maxLockCount);
    PutText("gdi_method", gdiMethod);
    PutText("user_method", userMethod);
    PostMessageA(stationWindow, WM_CLOSE, 0, 0);
    return 0;
}

// --- Open and close -------------------------------------------------------

void SoakOnOpen(HWND window, int *width, int *height)
{
    imageWidth = EnvInt("SOAK_WIDTH", 512);
    imageHeight = EnvInt("SOAK_HEIGHT", 768);
    *width = imageWidth;
    *height = imageHeight;
    if (worker != nullptr || EnvText("SOAK_REPORT").empty()) {
        return;
    }
    stationWindow = window;
    stationThread = GetCurrentThreadId();
    InitializeCriticalSection(&blockLock);
    markerSeen = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    sampleDone = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    WatchStationImports();
    hook = SetWindowsHookExA(WH_GETMESSAGE, MarkerHook, nullptr, stationThread);
    worker = CreateThread(nullptr, 0, SoakWorker, nullptr, 0, nullptr);
}

void SoakOnClose()
{
    if (worker == nullptr) {
        return;
    }
    // The station frees its current image before it closes the driver: by
    // now every block handed over should have come back through GlobalFree.
    // A worker still waiting for a marker is woken: none will come now.
    InterlockedExchange(&stopping, 1);
    SetEvent(markerSeen);
    SetEvent(sampleDone);
    WaitForSingleObject(worker, MARKER_DEADLINE_MS);
    CloseHandle(worker);
    worker = nullptr;
    UnhookWindowsHookEx(hook);
    RestoreStationImports();

    EnterCriticalSection(&blockLock);
    Put("blocks_handed", blocksHanded);
    Put("blocks_freed_by_station", blocksFreedByStation);
    Put("blocks_leaked", handedOver.size());
    LeaveCriticalSection(&blockLock);

    FILE *out = fopen(EnvText("SOAK_REPORT").c_str(), "wb");
    if (out != nullptr) {
        fputs(report.c_str(), out);
        fclose(out);
    }
    out = fopen(EnvText("SOAK_EXPECT").c_str(), "wb");
    if (out != nullptr) {
        for (uint32_t crc : expected) {
            fprintf(out, "0x%08lX\n", static_cast<unsigned long>(crc));
        }
        fclose(out);
    }
}
