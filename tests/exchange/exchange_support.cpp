#include "exchange_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "hosts.h"
#include "iatpatch.h"
#include "resource.h"
#include "view.h"

static std::vector<HostEvent> events;
static void (*hostCopyHook)(const HostEvent &event);

void SetHostCopyHook(void (*hook)(const HostEvent &event)) { hostCopyHook = hook; }

std::vector<HostEvent> &Events() { return events; }

std::vector<HostEvent> CopyEvents(char who)
{
    std::vector<HostEvent> out;
    for (const HostEvent &e : events) {
        if (e.who == who && e.message == WM_COPYDATA) {
            out.push_back(e);
        }
    }
    return out;
}

std::string DescribeEvents()
{
    std::string out;
    for (const HostEvent &e : events) {
        char line[160];
        if (e.who == 'X') {
            snprintf(line, sizeof line, "free %p\n", reinterpret_cast<void *>(e.wParam));
        } else {
            snprintf(line, sizeof line, "%c msg=0x%X wParam=%lu lParam=%ld tag=0x%08lX cb=%lu\n", e.who,
                     e.message, static_cast<unsigned long>(e.wParam), static_cast<long>(e.lParam),
                     static_cast<unsigned long>(e.tag), static_cast<unsigned long>(e.cbData));
        }
        out += line;
    }
    return out.empty() ? "(no events)" : out;
}

static LRESULT CALLBACK HostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, char who)
{
    static const UINT deleteResource = RegisterWindowMessageA("WM_DELETE_RESOURCE");
    if (message == WM_COPYDATA) {
        const auto *record = reinterpret_cast<const COPYDATASTRUCT *>(lParam);
        HostEvent e;
        e.who = who;
        e.message = message;
        e.wParam = wParam;
        e.tag = record->dwData;
        e.cbData = record->cbData;
        e.lpData = record->lpData;
        const BYTE *data = static_cast<const BYTE *>(record->lpData);
        e.bytes.assign(data, data + record->cbData);
        e.clipboardOpenBy = GetOpenClipboardWindow();
        events.push_back(e);
        if (hostCopyHook != nullptr) {
            hostCopyHook(e);
        }
        return TRUE;
    }
    if (message == deleteResource) {
        HostEvent e;
        e.who = who;
        e.message = message;
        e.wParam = wParam;
        e.lParam = lParam;
        events.push_back(e);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

static LRESULT CALLBACK FrontEndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return HostProc(window, message, wParam, lParam, 'F');
}

static LRESULT CALLBACK PhotoServerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return HostProc(window, message, wParam, lParam, 'P');
}

static LRESULT CALLBACK PlainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcA(window, message, wParam, lParam);
}

void RegisterHostClasses()
{
    static bool done = false;
    if (done) {
        return;
    }
    WNDCLASSA wc = {};
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpfnWndProc = FrontEndProc;
    wc.lpszClassName = "TLumitaneWnd";
    RegisterClassA(&wc);
    wc.lpfnWndProc = PhotoServerProc;
    wc.lpszClassName = "PELK_FOTO_SERVER";
    RegisterClassA(&wc);
    wc.lpfnWndProc = PlainProc;
    wc.lpszClassName = "ExchangeTestPlain";
    RegisterClassA(&wc);
    done = true;
}

static HWND MakeTopLevel(const char *cls)
{
    RegisterHostClasses();
    return CreateWindowExA(0, cls, "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, GetModuleHandleA(nullptr),
                           nullptr);
}

HWND MakePlainWindow() { return MakeTopLevel("ExchangeTestPlain"); }

TestHosts::TestHosts(bool wantFrontEnd, bool wantPhotoServer)
{
    // Another program's host window would take the images meant for these.
    std::string open = OpenHostWindows();
    if (!open.empty()) {
        ADD_FAILURE() << HostWindowsLeftOpen(open);
    }
    events.clear();
    hostCopyHook = nullptr;
    if (wantFrontEnd) {
        frontEnd = MakeTopLevel("TLumitaneWnd");
    }
    if (wantPhotoServer) {
        photoServer = MakeTopLevel("PELK_FOTO_SERVER");
    }
}

TestHosts::~TestHosts()
{
    hostCopyHook = nullptr;
    if (frontEnd) DestroyWindow(frontEnd);
    if (photoServer) DestroyWindow(photoServer);
}

HGLOBAL MakeImageBlock(LONG width, LONG height, SIZE_T extra)
{
    SIZE_T stride = (static_cast<SIZE_T>(width) + 3) & ~static_cast<SIZE_T>(3);
    SIZE_T size = sizeof(BITMAPINFOHEADER) + 1024 + stride * static_cast<SIZE_T>(height) + extra;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    BYTE *p = static_cast<BYTE *>(GlobalLock(block));
    for (SIZE_T i = 0; i < size; ++i) {
        p[i] = static_cast<BYTE>(i * 7 + 3);
    }
    BITMAPINFOHEADER header = {};
    header.biSize = sizeof header;
    header.biWidth = width;
    header.biHeight = height;
    header.biPlanes = 1;
    header.biBitCount = 8;
    header.biCompression = BI_RGB;
    header.biSizeImage = static_cast<DWORD>(stride * height);
    memcpy(p, &header, sizeof header);
    RGBQUAD *table = reinterpret_cast<RGBQUAD *>(p + sizeof header);
    for (int i = 0; i < 256; ++i) {
        table[i].rgbRed = table[i].rgbGreen = table[i].rgbBlue = static_cast<BYTE>(i);
        table[i].rgbReserved = 0;
    }
    GlobalUnlock(block);
    return block;
}

HGLOBAL MakeBlock(const std::vector<BYTE> &bytes)
{
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
    if (block != nullptr && !bytes.empty()) {
        memcpy(GlobalLock(block), bytes.data(), bytes.size());
        GlobalUnlock(block);
    }
    return block;
}

std::vector<BYTE> BlockBytes(HGLOBAL block)
{
    std::vector<BYTE> out;
    if (block == nullptr) {
        return out;
    }
    SIZE_T size = GlobalSize(block);
    const BYTE *p = static_cast<const BYTE *>(GlobalLock(block));
    if (p != nullptr) {
        out.assign(p, p + size);
        GlobalUnlock(block);
    }
    return out;
}

// Global memory watch. The station's code is linked into this program, so
// its calls go through the same import table.
static decltype(&GlobalAlloc) realGlobalAlloc;
static decltype(&GlobalFree) realGlobalFree;
static decltype(&GlobalLock) realGlobalLock;
static std::vector<HGLOBAL> allocated, freed;
static std::vector<UINT> allocationFlags;
static std::vector<HWND> openAtAllocation;
static std::vector<int> formatsAtAllocation;
static bool failAllocations, failLocks;

static HGLOBAL WINAPI WatchedGlobalAlloc(UINT flags, SIZE_T size)
{
    if (failAllocations) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HGLOBAL block = realGlobalAlloc(flags, size);
    allocated.push_back(block);
    allocationFlags.push_back(flags);
    openAtAllocation.push_back(GetOpenClipboardWindow());
    formatsAtAllocation.push_back(CountClipboardFormats());
    return block;
}

static HGLOBAL WINAPI WatchedGlobalFree(HGLOBAL block)
{
    freed.push_back(block);
    HostEvent e;
    e.who = 'X';
    e.wParam = reinterpret_cast<WPARAM>(block);
    events.push_back(e);
    return realGlobalFree(block);
}

static LPVOID WINAPI WatchedGlobalLock(HGLOBAL block)
{
    if (failLocks) {
        return nullptr;
    }
    return realGlobalLock(block);
}

static ImportPatch *allocPatch, *freePatch, *lockPatch;

MemoryWatch::MemoryWatch()
{
    Reset();
    allocPatch = new ImportPatch("kernel32.dll", "GlobalAlloc", reinterpret_cast<void *>(WatchedGlobalAlloc));
    realGlobalAlloc = reinterpret_cast<decltype(&GlobalAlloc)>(allocPatch->original);
    freePatch = new ImportPatch("kernel32.dll", "GlobalFree", reinterpret_cast<void *>(WatchedGlobalFree));
    realGlobalFree = reinterpret_cast<decltype(&GlobalFree)>(freePatch->original);
    lockPatch = new ImportPatch("kernel32.dll", "GlobalLock", reinterpret_cast<void *>(WatchedGlobalLock));
    realGlobalLock = reinterpret_cast<decltype(&GlobalLock)>(lockPatch->original);
}

MemoryWatch::~MemoryWatch()
{
    failAllocations = failLocks = false;
    delete lockPatch;
    delete freePatch;
    delete allocPatch;
    lockPatch = freePatch = allocPatch = nullptr;
}

bool MemoryWatch::Installed() const
{
    return realGlobalAlloc != nullptr && realGlobalFree != nullptr && realGlobalLock != nullptr;
}
int MemoryWatch::Allocations() const { return static_cast<int>(allocated.size()); }
std::vector<HGLOBAL> MemoryWatch::Allocated() const { return allocated; }
std::vector<HGLOBAL> MemoryWatch::Freed() const { return freed; }
std::vector<UINT> MemoryWatch::AllocationFlags() const { return allocationFlags; }
std::vector<HWND> MemoryWatch::ClipboardOpenAtAllocation() const { return openAtAllocation; }
std::vector<int> MemoryWatch::ClipboardFormatsAtAllocation() const { return formatsAtAllocation; }
void MemoryWatch::FailAllocations(bool fail) { failAllocations = fail; }
void MemoryWatch::FailLocks(bool fail) { failLocks = fail; }
void MemoryWatch::Reset()
{
    allocated.clear();
    allocationFlags.clear();
    openAtAllocation.clear();
    formatsAtAllocation.clear();
    freed.clear();
    failAllocations = failLocks = false;
}

// Scroll range recorder.
static decltype(&SetScrollRange) realSetScrollRange;
static std::vector<RangeCall> rangeCalls;
static int rangeDepth;
static ImportPatch *rangePatch;

static BOOL WINAPI RecordingSetScrollRange(HWND window, int bar, int minimum, int maximum, BOOL redraw)
{
    rangeCalls.push_back({bar, minimum, maximum, redraw, rangeDepth});
    ++rangeDepth;
    BOOL result = realSetScrollRange(window, bar, minimum, maximum, redraw);
    --rangeDepth;
    return result;
}

RangeRecorder::RangeRecorder()
{
    rangeCalls.clear();
    rangeDepth = 0;
    rangePatch = new ImportPatch("user32.dll", "SetScrollRange", reinterpret_cast<void *>(RecordingSetScrollRange));
    realSetScrollRange = reinterpret_cast<decltype(&SetScrollRange)>(rangePatch->original);
}

RangeRecorder::~RangeRecorder()
{
    delete rangePatch;
    rangePatch = nullptr;
}

bool RangeRecorder::Installed() const { return realSetScrollRange != nullptr; }

std::vector<RangeCall> RangeRecorder::TopLevel() const
{
    std::vector<RangeCall> out;
    for (const RangeCall &c : rangeCalls) {
        if (c.depth == 0) {
            out.push_back(c);
        }
    }
    return out;
}

std::vector<RangeCall> RangeRecorder::All() const { return rangeCalls; }

CurrentImage::CurrentImage(HGLOBAL image)
{
    FreeImageBlock(GetCurrentImage());
    SetCurrentImage(image);
}

CurrentImage::~CurrentImage()
{
    FreeImageBlock(GetCurrentImage());
    SetCurrentImage(nullptr);
}

std::vector<BYTE> ReadClipboard(UINT format, bool *present, HGLOBAL *handle)
{
    std::vector<BYTE> out;
    *present = false;
    if (handle) *handle = nullptr;
    if (!OpenClipboard(nullptr)) {
        return out;
    }
    HGLOBAL data = GetClipboardData(format);
    if (data != nullptr) {
        *present = true;
        out = BlockBytes(data);
        if (handle) *handle = data;
    }
    CloseClipboard();
    return out;
}

bool PutOnClipboard(HWND owner, UINT format, const std::vector<BYTE> &bytes)
{
    if (!OpenClipboard(owner)) {
        return false;
    }
    EmptyClipboard();
    bool ok = SetClipboardData(format, MakeBlock(bytes)) != nullptr;
    CloseClipboard();
    return ok;
}

ClipboardGuard::ClipboardGuard()
{
    text = ReadClipboard(CF_TEXT, &hadText);
    dib = ReadClipboard(CF_DIB, &hadDib);
}

ClipboardGuard::~ClipboardGuard()
{
    if (!OpenClipboard(nullptr)) {
        return;
    }
    EmptyClipboard();
    if (hadText) SetClipboardData(CF_TEXT, MakeBlock(text));
    if (hadDib) SetClipboardData(CF_DIB, MakeBlock(dib));
    CloseClipboard();
}

Station::Station(const char *driverDll) : driver(driverDll)
{
    if (driver.Loaded()) {
        WriteDriverPath(driver.path.c_str());
    }
    window = CreateStationWindow();
}

Station::~Station()
{
    if (window != nullptr && IsWindow(window)) {
        DestroyWindow(window);
    }
    PumpMessages();
    FreeImageBlock(GetCurrentImage());
    SetCurrentImage(nullptr);
}

void Station::Command(WORD id)
{
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(id, 1), 0);
}

bool DeliverFromDriverThread(const TestDriver &driver, const std::vector<HGLOBAL> &blocks)
{
    using DeliverFn = HANDLE(__cdecl *)(const HGLOBAL *, int);
    auto deliver = reinterpret_cast<DeliverFn>(
        reinterpret_cast<void *>(GetProcAddress(driver.module, "TD_DeliverFromThread")));
    HANDLE thread = deliver != nullptr
        ? deliver(blocks.data(), static_cast<int>(blocks.size()))
        : nullptr;
    if (thread == nullptr) {
        return false;
    }
    // The guard only ends a broken run: each wait ends with a sent message
    // or with the thread.
    MSG msg;
    while (MsgWaitForMultipleObjects(1, &thread, FALSE, 60000, QS_SENDMESSAGE) == WAIT_OBJECT_0 + 1) {
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    const bool ended = WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
    CloseHandle(thread);
    return ended;
}

void ExpectOneErrorBox(const ModalCatcher &modal, HWND owner, const char *text)
{
    ASSERT_EQ(1u, modal.records.size()) << Describe(modal.records);
    const ModalRecord &box = modal.records[0];
    EXPECT_EQ("Errore", box.caption);
    EXPECT_EQ(text, box.text);
    EXPECT_EQ(owner, box.owner);
    EXPECT_FALSE(box.hasCancel);
    EXPECT_EQ(nullptr, box.icon);
}
