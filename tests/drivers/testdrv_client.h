// The test side of the scriptable test drivers: loads one variant from the
// folder of the test program and resolves its control exports. Holding this
// reference keeps the driver's recorded state alive across the station's
// FreeLibrary.
#pragma once

#include <windows.h>

#include <string>

#include "fixtures.h"

struct TestDriver {
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
    // "testdrv_nosize.dll", "testdrv_noresolution.dll".
    explicit TestDriver(const char *dllName)
    {
        path = BinPath(dllName);
        module = LoadLibraryA(path.c_str());
        if (module == nullptr) {
            return;
        }
        Resolve(Reset, "TD_Reset");
        Resolve(SetOpenResult, "TD_SetOpenResult");
        Resolve(SetSize, "TD_SetSize");
        Resolve(SetSizeWrites, "TD_SetSizeWrites");
        Resolve(SetResolution, "TD_SetResolution");
        Resolve(SetPrepareResult, "TD_SetPrepareResult");
        Resolve(SetChangeBinningResult, "TD_SetChangeBinningResult");
        Resolve(SetCloseHook, "TD_SetCloseHook");
        Resolve(SetOpenHook, "TD_SetOpenHook");
        Resolve(Log, "TD_Log");
        Resolve(ClearLog, "TD_ClearLog");
        Resolve(OpenWindow, "TD_OpenWindow");
        Reset();
    }
    ~TestDriver()
    {
        if (module != nullptr) {
            FreeLibrary(module);
        }
    }
    TestDriver(const TestDriver &) = delete;
    TestDriver &operator=(const TestDriver &) = delete;

    bool Loaded() const { return module != nullptr; }
    std::string Calls() const { return Log ? Log() : std::string("(not loaded)"); }

private:
    template <typename F>
    void Resolve(F &slot, const char *name)
    {
        slot = reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(module, name)));
    }
};
