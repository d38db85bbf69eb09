// The seven exports of xraysim.dll and its DllMain; the rest of the driver
// is in settings.cpp, radiograph.cpp, replay.cpp, imageblock.cpp and
// worker.cpp.
//
// xraysim.dll: a simulated intra-oral X-ray sensor driver. It keeps the
// driver contract of xraydrv.h without hardware: XRAYOpen remembers the
// window, XRAYPrepareAcquisition arms one exposure, and a worker thread
// delivers each finished image as a WM_USER/XRAY_MSG_IMAGE message carrying a
// movable global block that holds a packed 8-bit DIB with a synthetic
// radiograph, or a replayed .bmp file. At each XRAYOpen it reads the
// station's "Synchro" switch from HKCR\VESTRA\ZRK, as a real driver does:
// "1" opens in HBX mode, where a generator triggers each exposure and no
// arming is needed; anything else, or no value, in standalone mode. Settings
// come from XRAYSIM_* environment variables read at each XRAYOpen (see
// README.md); XRAYSIM_MODE overrides the switch, and they can also
// make it behave like the faulty drivers met in the field: deliver nothing,
// bursts, events, SendMessageA from the worker, careless block layouts, and
// images every interval in synchronised mode.
#include <windows.h>

#include "picture.h"
#include "replay.h"
#include "settings.h"
#include "worker.h"
#include "xraydrv.h"

extern "C" int __cdecl XRAYOpen(HWND window, const char *, int)
{
    // A second open without a close starts afresh.
    StopWorker();
    Settings fresh = ReadSettings();
    Picture file;
    if (fresh.replayPath[0] != '\0' && !ReadReplayBitmap(fresh.replayPath, &file)) {
        file = Picture();
    }
    BeginSession(window, fresh, file);
    StartWorker();
    return fresh.mode;
}

extern "C" int __cdecl XRAYClose(void)
{
    // Joining the worker is what guarantees that nothing is posted after
    // this returns; an exposure still pending is dropped unmade.
    StopWorker();
    EndSession();
    return 1;
}

// Each call arms one more exposure; the worker takes them in turn.
extern "C" int __cdecl XRAYPrepareAcquisition(void)
{
    return ArmExposure() ? 1 : 0;
}

extern "C" int __cdecl XRAYResolution(double *first, double *second)
{
    double a, b;
    ResolutionInForce(&a, &b);
    if (first != nullptr) {
        *first = a;
    }
    if (second != nullptr) {
        *second = b;
    }
    return 1;
}

extern "C" int __cdecl XRAYSize(int *width, int *height)
{
    int w, h;
    SizeInForce(&w, &h);
    if (width != nullptr) {
        *width = w;
    }
    if (height != nullptr) {
        *height = h;
    }
    return 1;
}

extern "C" int __cdecl bXRAYGetBinningMode(void)
{
    return HighResolution() ? 1 : 0;
}

// Mode 1: high resolution, twice the standard size each way; 0: standard.
// An exposure already armed is made at the size in force when it is taken.
extern "C" int __cdecl bXRAYChangeBinningMode(int mode)
{
    if (mode != 0 && mode != 1) {
        return 0;
    }
    SetHighResolution(mode == 1);
    return 1;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        AttachDriverState(instance);
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        // Unloaded by FreeLibrary: the worker, which holds a reference, is
        // gone, so nobody can be inside the lock.
        DetachDriverState();
    }
    return TRUE;
}
