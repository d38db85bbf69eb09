// The two hosts bench.exe stands in for: a window of each host class on a
// thread of its own, which stamps every WM_COPYDATA as it enters the window
// procedure and answers at once.
#include "benchhosts.h"

#include <cstring>

#include "benchprograms.h"
#include "crc32.h"
#include "hostproto.h"

static const char *const HOST_CLASSES[HOST_COUNT] = {FRONT_END_CLASS, PHOTO_SERVER_CLASS};

static HWND hostWindows[HOST_COUNT];

static LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != WM_COPYDATA) {
        return DefWindowProcA(window, message, wParam, lParam);
    }
    const int64_t stamp = Now();
    BenchShared *shared = Shared();
    const COPYDATASTRUCT *record = reinterpret_cast<const COPYDATASTRUCT *>(lParam);
    const int host = window == hostWindows[HOST_FRONT_END] ? HOST_FRONT_END : HOST_PHOTO_SERVER;
    BenchArrival arrival = {};
    arrival.stamp = stamp;
    arrival.role = shared->currentRole;
    arrival.size = record->cbData;
    const BYTE *data = static_cast<const BYTE *>(record->lpData);
    if (data != nullptr && record->cbData >= 4) {
        memcpy(&arrival.seq, data + record->cbData - 4, 4);
    }
    if (shared->wantCrc && data != nullptr) {
        // The sender goes on at once; the payload stays ours until we return.
        ReplyMessage(TRUE);
        arrival.crc = Crc32(data, record->cbData);
    }
    const LONG index = shared->arrivals[host];
    if (index < MAX_POSTS) {
        shared->received[host][index] = arrival;
    }
    InterlockedIncrement(&shared->arrivals[host]);
    return TRUE;
}

static DWORD WINAPI HostThread(LPVOID parameter)
{
    const int host = static_cast<int>(reinterpret_cast<INT_PTR>(parameter));
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = HostWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = HOST_CLASSES[host];
    RegisterClassA(&windowClass);
    // Never shown: the hosts must not cover the programs' windows.
    HWND window = CreateWindowExA(0, HOST_CLASSES[host], HOST_NAMES[host], WS_OVERLAPPED, 0, 0,
                                  100, 100, nullptr, nullptr, windowClass.hInstance, nullptr);
    InterlockedExchangePointer(reinterpret_cast<void **>(&hostWindows[host]), window);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        DispatchMessageA(&message);
    }
    return 0;
}

bool StartHosts()
{
    for (int host = 0; host < HOST_COUNT; ++host) {
        HANDLE thread = CreateThread(nullptr, 0, HostThread, reinterpret_cast<LPVOID>(static_cast<INT_PTR>(host)),
                                     0, nullptr);
        if (thread == nullptr) {
            return false;
        }
        CloseHandle(thread);
    }
    const DWORD start = GetTickCount();
    while (hostWindows[HOST_FRONT_END] == nullptr || hostWindows[HOST_PHOTO_SERVER] == nullptr) {
        if (GetTickCount() - start > START_LIMIT_MS) {
            return false;
        }
        Sleep(10);
    }
    return true;
}
