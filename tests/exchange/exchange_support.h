// Helpers for the image exchange tests: recording host windows, image blocks,
// counting (or failing) the station's global memory calls and recording its
// scroll range calls through the test program's import table, the current
// image, the clipboard kept as found, and a station window with a test driver.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "fixtures.h"
#include "iatpatch.h"
#include "modal.h"
#include "testdrv_client.h"

// One message seen by a host window, or one freeing of a block (who = 'X').
struct HostEvent {
    char who = 0;  // 'F' front end, 'P' photo server, 'X' GlobalFree
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    ULONG_PTR tag = 0;
    DWORD cbData = 0;
    const void *lpData = nullptr;
    std::vector<BYTE> bytes;  // copied while the message was handled
    HWND clipboardOpenBy = nullptr;  // GetOpenClipboardWindow() during the message
};

// Everything the hosts and the free recorder saw, in order.
std::vector<HostEvent> &Events();
std::vector<HostEvent> CopyEvents(char who);  // WM_COPYDATA only
std::string DescribeEvents();

// Called inside a host's handling of each WM_COPYDATA, once it is recorded:
// a host that is slow, or does work of its own before it answers. TestHosts
// clears it when made and when destroyed.
void SetHostCopyHook(void (*hook)(const HostEvent &event));

// Host windows of this thread, top-level and hidden, of the two host classes.
class TestHosts {
public:
    TestHosts(bool frontEnd, bool photoServer);
    ~TestHosts();
    TestHosts(const TestHosts &) = delete;
    TestHosts &operator=(const TestHosts &) = delete;
    HWND frontEnd = nullptr;
    HWND photoServer = nullptr;
};
void RegisterHostClasses();

// An 8-bit bottom-up DIB with a 256-entry grey table and patterned bits, in a
// movable block of the DIB's size plus `extra` patterned bytes.
HGLOBAL MakeImageBlock(LONG width, LONG height, SIZE_T extra = 0);
// A block of exactly these bytes.
HGLOBAL MakeBlock(const std::vector<BYTE> &bytes);
std::vector<BYTE> BlockBytes(HGLOBAL block);

// Counts GlobalAlloc and records GlobalFree (as 'X' events); can make
// GlobalAlloc or GlobalLock fail.
class MemoryWatch {
public:
    MemoryWatch();
    ~MemoryWatch();
    MemoryWatch(const MemoryWatch &) = delete;
    MemoryWatch &operator=(const MemoryWatch &) = delete;
    bool Installed() const;
    int Allocations() const;
    std::vector<HGLOBAL> Allocated() const;
    std::vector<UINT> AllocationFlags() const;
    // The clipboard as each allocation found it: who had it open, and how
    // many formats it held.
    std::vector<HWND> ClipboardOpenAtAllocation() const;
    std::vector<int> ClipboardFormatsAtAllocation() const;
    std::vector<HGLOBAL> Freed() const;
    void FailAllocations(bool fail);
    void FailLocks(bool fail);
    void Reset();
};

// Records SetScrollRange calls with their nesting depth (0 = called from
// outside any other SetScrollRange).
struct RangeCall {
    int bar, minimum, maximum;
    BOOL redraw;
    int depth;
};
class RangeRecorder {
public:
    RangeRecorder();
    ~RangeRecorder();
    RangeRecorder(const RangeRecorder &) = delete;
    RangeRecorder &operator=(const RangeRecorder &) = delete;
    bool Installed() const;
    std::vector<RangeCall> TopLevel() const;
    std::vector<RangeCall> All() const;
};

// Sets the current image for a test and frees whatever is current at the end.
class CurrentImage {
public:
    explicit CurrentImage(HGLOBAL image);
    ~CurrentImage();
    CurrentImage(const CurrentImage &) = delete;
    CurrentImage &operator=(const CurrentImage &) = delete;
};

// Saves CF_TEXT and CF_DIB as found and puts them back (or leaves the
// clipboard empty) at the end.
class ClipboardGuard {
public:
    ClipboardGuard();
    ~ClipboardGuard();
    ClipboardGuard(const ClipboardGuard &) = delete;
    ClipboardGuard &operator=(const ClipboardGuard &) = delete;

private:
    bool hadText = false, hadDib = false;
    std::vector<BYTE> text, dib;
};
// Puts exactly one format on the clipboard, owned by `owner` (may be null).
bool PutOnClipboard(HWND owner, UINT format, const std::vector<BYTE> &bytes);
// The bytes of a format on the clipboard, or empty with *present false.
std::vector<BYTE> ReadClipboard(UINT format, bool *present, HGLOBAL *handle = nullptr);

// The real main window, driven by a test driver through "xray.ini"; the
// registry and the INI file are put back afterwards.
class Station {
public:
    explicit Station(const char *driverDll = "testdrv_full.dll");
    ~Station();
    Station(const Station &) = delete;
    Station &operator=(const Station &) = delete;
    void Command(WORD id);
    IniGuard ini;
    RegistryGuard registry;
    TestDriver driver;
    ModalCatcher modal;
    HWND window = nullptr;
};

// Has the station's driver (testdrv_thread.dll) deliver `blocks` from its own
// thread by SendMessageA and waits for that thread, handling the messages
// sent to this thread meanwhile, as any window procedure that waits on
// another thread does. False when the thread did not start or never ended.
bool DeliverFromDriverThread(const TestDriver &driver, const std::vector<HGLOBAL> &blocks);

// Exactly one box was shown: caption "Errore", this text, owned by `owner`,
// OK alone and no icon.
void ExpectOneErrorBox(const ModalCatcher &modal, HWND owner, const char *text);

// A plain hidden top-level window to own boxes and messages.
HWND MakePlainWindow();
