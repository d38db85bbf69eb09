#include "testhosts.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "crc32.h"
#include "fixtures.h"
#include "hostproto.h"

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

std::vector<uint32_t> ReceivedCrcs(char who)
{
    std::vector<uint32_t> out;
    for (const HostEvent &e : CopyEvents(who)) {
        out.push_back(Crc32(e.bytes.data(), e.bytes.size()));
    }
    return out;
}

void RecordFree(HGLOBAL block)
{
    HostEvent e;
    e.who = 'X';
    e.wParam = reinterpret_cast<WPARAM>(block);
    events.push_back(e);
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

static void RecordCopy(char who, WPARAM wParam, const COPYDATASTRUCT *record)
{
    HostEvent e;
    e.who = who;
    e.message = WM_COPYDATA;
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
}

static LRESULT CALLBACK HostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, char who)
{
    static const UINT deleteResource = RegisterWindowMessageA("WM_DELETE_RESOURCE");
    if (message == WM_COPYDATA) {
        RecordCopy(who, wParam, reinterpret_cast<const COPYDATASTRUCT *>(lParam));
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

static const char PLAIN_CLASS[] = "CapTestPlain";

void RegisterHostClasses()
{
    static bool done = false;
    if (done) {
        return;
    }
    WNDCLASSA wc = {};
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpfnWndProc = FrontEndProc;
    wc.lpszClassName = FRONT_END_CLASS;
    RegisterClassA(&wc);
    wc.lpfnWndProc = PhotoServerProc;
    wc.lpszClassName = PHOTO_SERVER_CLASS;
    RegisterClassA(&wc);
    wc.lpfnWndProc = PlainProc;
    wc.lpszClassName = PLAIN_CLASS;
    RegisterClassA(&wc);
    done = true;
}

static HWND MakeTopLevel(const char *cls)
{
    RegisterHostClasses();
    return CreateWindowExA(0, cls, "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, GetModuleHandleA(nullptr),
                           nullptr);
}

HWND MakePlainWindow() { return MakeTopLevel(PLAIN_CLASS); }

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
        frontEnd = MakeTopLevel(FRONT_END_CLASS);
    }
    if (wantPhotoServer) {
        photoServer = MakeTopLevel(PHOTO_SERVER_CLASS);
    }
}

TestHosts::~TestHosts()
{
    hostCopyHook = nullptr;
    if (frontEnd) DestroyWindow(frontEnd);
    if (photoServer) DestroyWindow(photoServer);
}
