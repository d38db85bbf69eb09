// A scriptable sensor driver for the tests. One source, built into several
// DLLs whose compile-time options choose which of the seven exports exist.
// Every call is recorded; the results are set by the test through the TD_*
// control exports. A test keeps its own LoadLibrary reference so that the
// recorded state survives the station's FreeLibrary.
//
// Further options build the broken drivers met in the field, for the
// driver checker: TD_STDCALL (callee-cleans exports), TD_MISSING_DEPENDENCY
// (imports a DLL that is not there), TD_DELIVER_CORRUPT (arming posts a
// block whose header claims more rows than the block holds), TD_CRASH_OPEN
// and TD_HANG_OPEN. TD_BINNING_TRAP gives bXRAYGetBinningMode
// an argument and crashes when it is called at all.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "xraydrv.h"
#ifdef TD_SOAK
#include "soak.h"
#endif

#define TD_EXPORT extern "C" __declspec(dllexport)
// The calling convention of the seven driver exports.
#ifdef TD_STDCALL
#define TD_CALL __stdcall
#else
#define TD_CALL __cdecl
#endif

#ifdef TD_MISSING_DEPENDENCY
extern "C" __declspec(dllimport) int __cdecl TD_Dependency(void);
TD_EXPORT int __cdecl TD_CallDependency(void) { return TD_Dependency(); }
#endif

static std::string callLog;
static int openResult = XRAY_MODE_STANDALONE;
static int sizeWidth = 512;
static int sizeHeight = 768;
static bool sizeWrites = true;
static bool resolutionSet = false;
static double resolutionFirst = 0.0;
static double resolutionSecond = 0.0;
static int prepareResult = 1;
static int changeResult = 1;
static HWND openWindow = nullptr;
static void(__cdecl *closeHook)(void) = nullptr;
static void(__cdecl *openHook)(HWND) = nullptr;

[[maybe_unused]] static void Record(const char *entry)
{
#ifdef TD_SOAK
    // The soak's driver keeps no log: it would grow with every image inside
    // the very process whose memory the soak measures.
    (void)entry;
#else
    callLog += entry;
    callLog += ';';
#endif
}

TD_EXPORT void __cdecl TD_Reset(void)
{
    callLog.clear();
    openResult = XRAY_MODE_STANDALONE;
    sizeWidth = 512;
    sizeHeight = 768;
    sizeWrites = true;
    resolutionSet = false;
    resolutionFirst = resolutionSecond = 0.0;
    prepareResult = 1;
    changeResult = 1;
    openWindow = nullptr;
    closeHook = nullptr;
    openHook = nullptr;
}
TD_EXPORT void __cdecl TD_SetOpenResult(int result) { openResult = result; }
TD_EXPORT void __cdecl TD_SetSize(int width, int height) { sizeWidth = width; sizeHeight = height; }
// 0: XRAYSize returns success without writing its outputs.
TD_EXPORT void __cdecl TD_SetSizeWrites(int writes) { sizeWrites = writes != 0; }
TD_EXPORT void __cdecl TD_SetResolution(double first, double second)
{
    resolutionSet = true;
    resolutionFirst = first;
    resolutionSecond = second;
}
TD_EXPORT void __cdecl TD_SetPrepareResult(int result) { prepareResult = result; }
TD_EXPORT void __cdecl TD_SetChangeBinningResult(int result) { changeResult = result; }
TD_EXPORT void __cdecl TD_SetCloseHook(void(__cdecl *hook)(void)) { closeHook = hook; }
TD_EXPORT void __cdecl TD_SetOpenHook(void(__cdecl *hook)(HWND)) { openHook = hook; }
TD_EXPORT const char *__cdecl TD_Log(void) { return callLog.c_str(); }
TD_EXPORT void __cdecl TD_ClearLog(void) { callLog.clear(); }
TD_EXPORT HWND __cdecl TD_OpenWindow(void) { return openWindow; }

// The binding's own cases. TD_PREPARE_LOOP: XRAYPrepareAcquisition shows a
// box of the driver's own, with no owner so the main window stays enabled,
// and so runs a message loop inside the call; once the box is closed it
// records its return, from code that must still be loaded.
// TD_PROVIDE_DEPENDENCY: the DLL that exports TD_Dependency, for a driver
// built with TD_MISSING_DEPENDENCY against it, found only beside the driver.
#ifdef TD_PREPARE_LOOP
#define TD_NO_PREPARE
TD_EXPORT int TD_CALL XRAYPrepareAcquisition(void)
{
    Record("XRAYPrepareAcquisition()");
    MessageBoxA(nullptr, "Sensor busy", "testdrv", MB_OK);
    Record("XRAYPrepareAcquisition:returns");
    return prepareResult;
}
#endif
#ifdef TD_PROVIDE_DEPENDENCY
TD_EXPORT int __cdecl TD_Dependency(void) { return 1; }
#endif

#ifndef TD_NO_OPEN
TD_EXPORT int TD_CALL XRAYOpen(HWND window, const char *vendor, int applicationCode)
{
    char entry[128];
    snprintf(entry, sizeof entry, "XRAYOpen(%s,%d)", vendor ? vendor : "(null)", applicationCode);
    Record(entry);
#ifdef TD_CRASH_OPEN
    static volatile uintptr_t nowhere = 0;
    *reinterpret_cast<volatile int *>(nowhere) = 1;
#endif
#ifdef TD_HANG_OPEN
    Sleep(INFINITE);
#endif
    openWindow = window;
#ifdef TD_SOAK
    SoakOnOpen(window, &sizeWidth, &sizeHeight);
#endif
    if (openHook != nullptr) {
        openHook(window);
    }
    return openResult;
}
#endif

#ifndef TD_NO_CLOSE
TD_EXPORT int TD_CALL XRAYClose(void)
{
    Record("XRAYClose()");
#ifdef TD_SOAK
    SoakOnClose();
#endif
    if (closeHook != nullptr) {
        closeHook();
    }
    return 1;
}
#endif

#ifdef TD_DELIVER_CORRUPT
// A 512 x 768 header over a block that holds only 16 rows.
static void PostCorruptImage()
{
    const DWORD rows = 16;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(BITMAPINFOHEADER) + 1024 + 512 * rows);
    BITMAPINFOHEADER *header = static_cast<BITMAPINFOHEADER *>(GlobalLock(block));
    if (header == nullptr) {
        return;
    }
    header->biSize = sizeof *header;
    header->biWidth = 512;
    header->biHeight = 768;
    header->biPlanes = 1;
    header->biBitCount = 8;
    GlobalUnlock(block);
    PostMessageA(openWindow, WM_USER, XRAY_MSG_IMAGE, reinterpret_cast<LPARAM>(block));
}
#endif

#ifndef TD_NO_PREPARE
TD_EXPORT int TD_CALL XRAYPrepareAcquisition(void)
{
    Record("XRAYPrepareAcquisition()");
#ifdef TD_DELIVER_CORRUPT
    PostCorruptImage();
#endif
    return prepareResult;
}
#endif

#ifndef TD_NO_RESOLUTION
TD_EXPORT int TD_CALL XRAYResolution(double *first, double *second)
{
    char entry[128];
    snprintf(entry, sizeof entry, "XRAYResolution(%g,%g)", *first, *second);
    Record(entry);
    if (resolutionSet) {
        *first = resolutionFirst;
        *second = resolutionSecond;
    }
    return 1;
}
#endif

#ifdef TD_DELIVER_FROM_THREAD
static void DeliverInsideSize();
#endif

#ifndef TD_NO_SIZE
TD_EXPORT int TD_CALL XRAYSize(int *width, int *height)
{
    Record("XRAYSize()");
#ifdef TD_DELIVER_FROM_THREAD
    DeliverInsideSize();
#endif
    if (sizeWrites) {
        *width = sizeWidth;
        *height = sizeHeight;
    }
    return 1;
}
#endif

#if defined(TD_BINNING_TRAP)
// Its presence alone counts, and nobody knows its arguments: a caller that
// guesses them is wrong, so any call at all ends here.
TD_EXPORT int TD_CALL bXRAYGetBinningMode(int *mode)
{
    static volatile uintptr_t nowhere = 0;
    *reinterpret_cast<volatile int *>(nowhere) = mode != nullptr ? *mode : 0;
    return 0;
}
#elif !defined(TD_NO_GETBINNING)
TD_EXPORT int TD_CALL bXRAYGetBinningMode(void)
{
    Record("bXRAYGetBinningMode()");
    return 0;
}
#endif

#ifndef TD_NO_CHANGEBINNING
TD_EXPORT int TD_CALL bXRAYChangeBinningMode(int mode)
{
    char entry[64];
    snprintf(entry, sizeof entry, "bXRAYChangeBinningMode(%d)", mode);
    Record(entry);
    return changeResult;
}
#endif

#ifdef TD_DELIVER_FROM_THREAD
// A driver whose acquisition runs on a thread of its own: the blocks a test
// hands over are delivered from that thread by SendMessageA, one after the
// other, each send returning once the station has handled it. The station's
// thread takes them in whenever it handles sent messages, also while it
// waits on a host.
constexpr int TD_MAX_THREAD_BLOCKS = 128;
static HGLOBAL threadBlocks[TD_MAX_THREAD_BLOCKS];
static int threadBlockCount;

static DWORD WINAPI DeliveryThread(void *)
{
    for (int i = 0; i < threadBlockCount; ++i) {
        SendMessageA(openWindow, WM_USER, XRAY_MSG_IMAGE, reinterpret_cast<LPARAM>(threadBlocks[i]));
    }
    return 0;
}

// Starts delivering `count` blocks (at most 128) to the window of the last
// XRAYOpen; returns the thread, which the caller waits for and closes, or
// null when nothing was started.
TD_EXPORT HANDLE __cdecl TD_DeliverFromThread(const HGLOBAL *blocks, int count)
{
    if (openWindow == nullptr || count < 1 || count > TD_MAX_THREAD_BLOCKS) {
        return nullptr;
    }
    for (int i = 0; i < count; ++i) {
        threadBlocks[i] = blocks[i];
    }
    threadBlockCount = count;
    return CreateThread(nullptr, 0, DeliveryThread, nullptr, 0, nullptr);
}

// A driver whose XRAYSize waits on its acquisition thread: the block armed
// here is delivered from that thread by SendMessageA inside the next call,
// which handles the messages sent to it until the thread has ended.
static HGLOBAL sizeBlock;

TD_EXPORT void __cdecl TD_DeliverInsideSize(HGLOBAL block) { sizeBlock = block; }

static void DeliverInsideSize()
{
    if (sizeBlock == nullptr) {
        return;
    }
    HGLOBAL block = sizeBlock;
    sizeBlock = nullptr;
    HANDLE thread = TD_DeliverFromThread(&block, 1);
    if (thread == nullptr) {
        return;
    }
    // The guard only ends a broken run: each wait ends with a sent message
    // or with the thread.
    MSG msg;
    while (MsgWaitForMultipleObjects(1, &thread, FALSE, 60000, QS_SENDMESSAGE) == WAIT_OBJECT_0 + 1) {
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    CloseHandle(thread);
    Record("XRAYSize:delivered");
}
#endif
