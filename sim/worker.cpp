// The driver's state, guarded by one lock, and its worker thread, which
// makes each image when its exposure comes and hands it to the window.
//
// Threads: the caller's thread runs the exports; one worker per open waits
// for armed exposures and posts to the window. Only the SendMessageA fault
// sends; XRAYClose then joins the worker while it takes sent messages, so
// the join cannot deadlock with a send in progress.
// The worker holds a reference on this DLL, so a caller that frees the
// library without XRAYClose cannot pull the code out from under it.
#include "worker.h"

#include <cstdint>
#include <cstdio>

#include "crc32.h"
#include "imageblock.h"
#include "radiograph.h"
#include "xraydrv.h"

static CRITICAL_SECTION stateLock;  // guards everything below the worker reads
static HMODULE selfModule;
static HWND targetWindow;
static Settings settings;
static bool highResolution;
static int pendingExposures;  // armed and not yet delivered
static unsigned sequence;     // images made since the DLL was loaded
static int deliveredSinceOpen;  // counts towards XRAYSIM_EVENT_AFTER
static Picture replay;          // the replayed file, or empty
static HANDLE workerThread;
static HANDLE wakeEvent;  // auto-reset: an exposure was armed
static HANDLE stopEvent;  // manual-reset: XRAYClose wants the worker gone

static void CurrentSize(int *width, int *height)
{
    if (!replay.grey.empty()) {
        // A replayed file keeps its own size in both resolutions.
        *width = replay.width;
        *height = replay.height;
        return;
    }
    int factor = highResolution ? 2 : 1;
    *width = settings.width * factor;
    *height = settings.height * factor;
}

static void AppendLogLine(const char *path, unsigned seq, int width, int height, SIZE_T size,
                          uint32_t crc)
{
    FILE *log = fopen(path, "ab");
    if (log == nullptr) {
        return;
    }
    fprintf(log, "IMAGE seq=%u width=%d height=%d size=%lu crc32=0x%08lX\n", seq, width, height,
            static_cast<unsigned long>(size), static_cast<unsigned long>(crc));
    fclose(log);
}

// Hands a block to the window: posted, or sent from this thread under the
// SendMessageA fault. False when the window could not take it.
static bool HandOver(HWND window, HGLOBAL block, Fault fault)
{
    if (fault == Fault::SendMessage) {
        if (!IsWindow(window)) {
            return false;
        }
        SendMessageA(window, WM_USER, XRAY_MSG_IMAGE, reinterpret_cast<LPARAM>(block));
        return true;
    }
    return PostMessageA(window, WM_USER, XRAY_MSG_IMAGE, reinterpret_cast<LPARAM>(block)) != FALSE;
}

// Makes one image and hands it to the window. The block is checksummed
// before it is handed over: after that it belongs to the receiver.
static void DeliverImage()
{
    EnterCriticalSection(&stateLock);
    HWND window = targetWindow;
    Settings s = settings;
    if (s.fault == Fault::Silent) {
        LeaveCriticalSection(&stateLock);
        return;
    }
    unsigned seq = ++sequence;
    int width, height;
    CurrentSize(&width, &height);
    Picture picture = replay;
    LeaveCriticalSection(&stateLock);

    if (picture.grey.empty()) {
        picture = RenderRadiograph(width, height, seq);
    }
    HGLOBAL block = MakeImageBlock(picture, s.fault);
    if (block == nullptr) {
        return;
    }
    SIZE_T size = GlobalSize(block);
    uint32_t crc = 0;
    if (s.logPath[0] != '\0') {
        crc = Crc32(GlobalLock(block), size);
        GlobalUnlock(block);
    }
    // A close that came in while the image was being made wins: nothing is
    // handed over once XRAYClose has been called.
    if (WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0 || !HandOver(window, block, s.fault)) {
        GlobalFree(block);
        return;
    }
    if (s.logPath[0] != '\0') {
        AppendLogLine(s.logPath, seq, width, height, size, crc);
    }
    for (int i = 0; i < s.eventCount; ++i) {
        PostMessageA(window, WM_USER, XRAY_MSG_EVENT, s.events[i]);
    }
    EnterCriticalSection(&stateLock);
    bool eventNow = ++deliveredSinceOpen == s.eventAfter;
    LeaveCriticalSection(&stateLock);
    if (eventNow) {
        PostMessageA(window, WM_USER, XRAY_MSG_EVENT, s.eventAfterCode);
    }
}

// One exposure: the burst of images it makes, one after the other.
static bool DeliverExposure()
{
    EnterCriticalSection(&stateLock);
    int burst = settings.burst;
    LeaveCriticalSection(&stateLock);
    for (int i = 0; i < burst; ++i) {
        if (WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0) {
            return false;
        }
        DeliverImage();
    }
    return true;
}

// Serves armed exposures one after another; false when told to stop.
static bool ServeExposures()
{
    for (;;) {
        EnterCriticalSection(&stateLock);
        bool armed = pendingExposures > 0;
        DWORD exposure = static_cast<DWORD>(settings.exposureMs);
        LeaveCriticalSection(&stateLock);
        if (!armed) {
            return true;
        }
        if (WaitForSingleObject(stopEvent, exposure) != WAIT_TIMEOUT) {
            return false;
        }
        EnterCriticalSection(&stateLock);
        --pendingExposures;
        LeaveCriticalSection(&stateLock);
        if (!DeliverExposure()) {
            return false;
        }
    }
}

// In synchronised mode the generator fires on its own, every interval.
static DWORD GeneratorInterval()
{
    EnterCriticalSection(&stateLock);
    DWORD interval = settings.mode == XRAY_MODE_HBX ? static_cast<DWORD>(settings.intervalMs) : INFINITE;
    LeaveCriticalSection(&stateLock);
    return interval;
}

static DWORD WINAPI ExposureThread(LPVOID)
{
    HANDLE waits[2] = {stopEvent, wakeEvent};
    const DWORD interval = GeneratorInterval();
    for (;;) {
        DWORD woken = WaitForMultipleObjects(2, waits, FALSE, interval);
        bool goOn = woken == WAIT_OBJECT_0 + 1 ? ServeExposures() : woken == WAIT_TIMEOUT && DeliverExposure();
        if (!goOn) {
            break;
        }
    }
    // Drops the reference taken when the thread was started.
    FreeLibraryAndExitThread(selfModule, 0);
    return 0;
}

void StopWorker()
{
    if (workerThread == nullptr) {
        return;
    }
    SetEvent(stopEvent);
    // A worker that delivers with SendMessageA may be sending to this very
    // thread: take sent messages while waiting, or the two wait for ever.
    // MWMO_INPUTAVAILABLE: a send already waiting counts too, even when the
    // thread has looked at its queue since it came.
    while (MsgWaitForMultipleObjectsEx(1, &workerThread, INFINITE, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE) ==
           WAIT_OBJECT_0 + 1) {
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    CloseHandle(workerThread);
    CloseHandle(wakeEvent);
    CloseHandle(stopEvent);
    workerThread = wakeEvent = stopEvent = nullptr;
}

bool StartWorker()
{
    HMODULE reference = nullptr;
    wakeEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // The thread keeps the DLL loaded until it has returned.
    if (wakeEvent != nullptr && stopEvent != nullptr &&
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                           reinterpret_cast<LPCSTR>(&ExposureThread), &reference)) {
        workerThread = CreateThread(nullptr, 0, ExposureThread, nullptr, 0, nullptr);
        if (workerThread != nullptr) {
            return true;
        }
        FreeLibrary(reference);
    }
    if (wakeEvent != nullptr) {
        CloseHandle(wakeEvent);
    }
    if (stopEvent != nullptr) {
        CloseHandle(stopEvent);
    }
    wakeEvent = stopEvent = nullptr;
    return false;
}

void AttachDriverState(HMODULE self)
{
    selfModule = self;
    InitializeCriticalSection(&stateLock);
}

void DetachDriverState()
{
    DeleteCriticalSection(&stateLock);
}

void BeginSession(HWND window, const Settings &fresh, const Picture &file)
{
    EnterCriticalSection(&stateLock);
    settings = fresh;
    replay = file;
    deliveredSinceOpen = 0;
    targetWindow = window;
    highResolution = false;
    pendingExposures = 0;
    LeaveCriticalSection(&stateLock);
}

void EndSession()
{
    EnterCriticalSection(&stateLock);
    targetWindow = nullptr;
    pendingExposures = 0;
    LeaveCriticalSection(&stateLock);
}

bool ArmExposure()
{
    if (workerThread == nullptr) {
        return false;
    }
    EnterCriticalSection(&stateLock);
    ++pendingExposures;
    LeaveCriticalSection(&stateLock);
    SetEvent(wakeEvent);
    return true;
}

void ResolutionInForce(double *first, double *second)
{
    EnterCriticalSection(&stateLock);
    *first = workerThread != nullptr ? settings.resolutionFirst : DEFAULT_RESOLUTION_FIRST;
    *second = workerThread != nullptr ? settings.resolutionSecond : DEFAULT_RESOLUTION_SECOND;
    LeaveCriticalSection(&stateLock);
}

void SizeInForce(int *width, int *height)
{
    EnterCriticalSection(&stateLock);
    if (workerThread != nullptr) {
        CurrentSize(width, height);
    } else {
        *width = DEFAULT_WIDTH;
        *height = DEFAULT_HEIGHT;
    }
    LeaveCriticalSection(&stateLock);
}

bool HighResolution()
{
    EnterCriticalSection(&stateLock);
    bool high = highResolution;
    LeaveCriticalSection(&stateLock);
    return high;
}

void SetHighResolution(bool high)
{
    EnterCriticalSection(&stateLock);
    highResolution = high;
    LeaveCriticalSection(&stateLock);
}
