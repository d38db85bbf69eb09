// The test side of the scriptable test drivers: loads one variant from the
// folder of the test program and resolves its control exports. Holding this
// reference keeps the driver's recorded state alive across the station's
// FreeLibrary.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "nocopy.h"

struct TestDriver : NoCopy {
    HMODULE module = nullptr;
    std::string path;  // Windows path, as written to "xray.ini"
    void(__cdecl *Reset)(void) = nullptr;
    void(__cdecl *SetOpenResult)(int) = nullptr;
    void(__cdecl *SetSize)(int, int) = nullptr;
    void(__cdecl *SetSizeWrites)(int) = nullptr;
    void(__cdecl *SetResolution)(double, double) = nullptr;
    void(__cdecl *SetPrepareResult)(int) = nullptr;
    void(__cdecl *SetChangeBinningResult)(int) = nullptr;
    void(__cdecl *SetCloseHook)(void(__cdecl *)(void)) = nullptr;
    void(__cdecl *SetOpenHook)(void(__cdecl *)(HWND)) = nullptr;
    const char *(__cdecl *Log)(void) = nullptr;
    void(__cdecl *ClearLog)(void) = nullptr;
    HWND(__cdecl *OpenWindow)(void) = nullptr;

    // Variants: "testdrv_full.dll" (all seven exports), "testdrv_none.dll"
    // (none), "testdrv_closeonly.dll" (XRAYClose only), "testdrv_noopen.dll",
    // "testdrv_noprepare.dll", "testdrv_old.dll" (no bXRAYGetBinningMode),
    // "testdrv_nochange.dll" (no bXRAYChangeBinningMode),
    // "testdrv_nosize.dll", "testdrv_noresolution.dll". Null: none is
    // loaded, and path stays empty.
    explicit TestDriver(const char *dllName);
    ~TestDriver()
    {
        if (module != nullptr) {
            FreeLibrary(module);
        }
    }

    bool Loaded() const { return module != nullptr; }
    std::string Calls() const { return Log ? Log() : std::string("(not loaded)"); }

    // Has the driver (testdrv_thread.dll) deliver `blocks` from its own
    // thread by SendMessageA and waits for that thread, handling the
    // messages sent to this thread meanwhile, as any window procedure that
    // waits on another thread does. False when the thread did not start or
    // never ended.
    bool DeliverFromThread(const std::vector<HGLOBAL> &blocks) const;

private:
    template <typename F>
    void Resolve(F &slot, const char *name)
    {
        slot = reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(module, name)));
    }
};
