// Recording host windows, as Wine's message tests record a window
// procedure: a front end and a photo server of this thread that log every
// WM_COPYDATA and exit notice they get, in order, with the frees that the
// memory watch (memwatch.h) sees between them.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "nocopy.h"

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
// The CRC-32 of each image a host received, in the order it received them.
std::vector<uint32_t> ReceivedCrcs(char who);
std::string DescribeEvents();
// A block freed, recorded among the host events.
void RecordFree(HGLOBAL block);

// Called inside a host's handling of each WM_COPYDATA, once it is recorded:
// a host that is slow, or does work of its own before it answers. TestHosts
// clears it when made and when destroyed.
void SetHostCopyHook(void (*hook)(const HostEvent &event));

// Host windows of this thread, top-level and hidden, of the two host classes.
class TestHosts : NoCopy {
public:
    TestHosts(bool frontEnd, bool photoServer);
    ~TestHosts();
    HWND frontEnd = nullptr;
    HWND photoServer = nullptr;
};
void RegisterHostClasses();

// A plain hidden top-level window to own boxes and messages.
HWND MakePlainWindow();
