#include "iatpatch.h"

#include "xrayexports.h"

void *PatchModuleImport(HMODULE module, const char *dllName, const char *functionName, void *replacement)
{
    BYTE *base = reinterpret_cast<BYTE *>(module);
    auto *dos = reinterpret_cast<IMAGE_DOS_HEADER *>(base);
    auto *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0) {
        return nullptr;
    }
    auto *desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + dir.VirtualAddress);
    for (; desc->Name != 0; ++desc) {
        if (lstrcmpiA(reinterpret_cast<const char *>(base + desc->Name), dllName) != 0) {
            continue;
        }
        auto *names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + desc->OriginalFirstThunk);
        auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + desc->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                continue;
            }
            auto *byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            if (lstrcmpA(reinterpret_cast<const char *>(byName->Name), functionName) != 0) {
                continue;
            }
            DWORD oldProtect;
            VirtualProtect(&slots->u1.Function, sizeof(void *), PAGE_READWRITE, &oldProtect);
            void *previous = reinterpret_cast<void *>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof(void *), oldProtect, &oldProtect);
            return previous;
        }
    }
    return nullptr;
}

void *PatchImport(const char *dllName, const char *functionName, void *replacement)
{
    return PatchModuleImport(GetModuleHandleA(nullptr), dllName, functionName, replacement);
}

ImportPatch::ImportPatch(const char *dllName, const char *functionName, void *replacement)
    : original(PatchImport(dllName, functionName, replacement)), dll(dllName), function(functionName)
{
}

ImportPatch::~ImportPatch()
{
    if (original != nullptr) {
        PatchImport(dll, function, original);
    }
}

static int beepCount;
static UINT lastBeepType;

static BOOL WINAPI CountingMessageBeep(UINT type)
{
    ++beepCount;
    lastBeepType = type;
    return TRUE;
}

BeepCounter::BeepCounter()
{
    beepCount = 0;
    lastBeepType = 0;
    original = PatchImport("user32.dll", "MessageBeep", reinterpret_cast<void *>(CountingMessageBeep));
}

BeepCounter::~BeepCounter()
{
    if (original != nullptr) {
        PatchImport("user32.dll", "MessageBeep", original);
    }
}

int BeepCounter::Count() const { return beepCount; }

UINT BeepCounter::LastType() const { return lastBeepType; }

namespace {

constexpr int COUNTED_KINDS = 4;
int opened[COUNTED_KINDS], closed[COUNTED_KINDS];
UINT errorModeAtLoad;
void *realRegOpenKeyExA, *realRegCloseKey, *realLoadLibraryA, *realFreeLibrary, *realGetDC,
    *realReleaseDC, *realGetProcAddress;
// The driver's own XRAYOpen and XRAYClose behind the counting stand-ins.
void *driverOpen, *driverClose;

void Count(int *table, Counted what) { ++table[static_cast<int>(what)]; }

LONG WINAPI CountingRegOpenKeyExA(HKEY parent, LPCSTR name, DWORD options, REGSAM access, PHKEY key)
{
    const LONG result =
        reinterpret_cast<decltype(&RegOpenKeyExA)>(realRegOpenKeyExA)(parent, name, options, access, key);
    if (result == ERROR_SUCCESS) {
        Count(opened, Counted::RegistryKey);
    }
    return result;
}
LONG WINAPI CountingRegCloseKey(HKEY key)
{
    Count(closed, Counted::RegistryKey);
    return reinterpret_cast<decltype(&RegCloseKey)>(realRegCloseKey)(key);
}
HMODULE WINAPI CountingLoadLibraryA(LPCSTR name)
{
    // SetErrorMode is the one reader that every Windows version has.
    errorModeAtLoad = SetErrorMode(0);
    SetErrorMode(errorModeAtLoad);
    HMODULE module = reinterpret_cast<decltype(&LoadLibraryA)>(realLoadLibraryA)(name);
    if (module != nullptr) {
        Count(opened, Counted::Library);
    }
    return module;
}
BOOL WINAPI CountingFreeLibrary(HMODULE module)
{
    Count(closed, Counted::Library);
    return reinterpret_cast<decltype(&FreeLibrary)>(realFreeLibrary)(module);
}
HDC WINAPI CountingGetDC(HWND window)
{
    HDC dc = reinterpret_cast<decltype(&GetDC)>(realGetDC)(window);
    if (dc != nullptr) {
        Count(opened, Counted::WindowDC);
    }
    return dc;
}
int WINAPI CountingReleaseDC(HWND window, HDC dc)
{
    Count(closed, Counted::WindowDC);
    return reinterpret_cast<decltype(&ReleaseDC)>(realReleaseDC)(window, dc);
}
int __cdecl CountingXRAYOpen(HWND window, const char *vendor, int applicationCode)
{
    Count(opened, Counted::Driver);
    return reinterpret_cast<int(__cdecl *)(HWND, const char *, int)>(driverOpen)(window, vendor,
                                                                                applicationCode);
}
int __cdecl CountingXRAYClose(void)
{
    Count(closed, Counted::Driver);
    return reinterpret_cast<int(__cdecl *)(void)>(driverClose)();
}
FARPROC WINAPI CountingGetProcAddress(HMODULE module, LPCSTR name)
{
    FARPROC found = reinterpret_cast<decltype(&GetProcAddress)>(realGetProcAddress)(module, name);
    // A name below 0x10000 is an ordinal.
    if (found == nullptr || reinterpret_cast<ULONG_PTR>(name) < 0x10000) {
        return found;
    }
    if (lstrcmpA(name, XRAY_OPEN_EXPORT) == 0) {
        driverOpen = reinterpret_cast<void *>(found);
        return reinterpret_cast<FARPROC>(reinterpret_cast<void *>(CountingXRAYOpen));
    }
    if (lstrcmpA(name, XRAY_CLOSE_EXPORT) == 0) {
        driverClose = reinterpret_cast<void *>(found);
        return reinterpret_cast<FARPROC>(reinterpret_cast<void *>(CountingXRAYClose));
    }
    return found;
}

}  // namespace

OpenCloseCounter::OpenCloseCounter()
{
    for (int i = 0; i < COUNTED_KINDS; ++i) {
        opened[i] = closed[i] = 0;
    }
    errorModeAtLoad = 0;
    realRegOpenKeyExA = PatchImport("advapi32.dll", "RegOpenKeyExA", reinterpret_cast<void *>(CountingRegOpenKeyExA));
    realRegCloseKey = PatchImport("advapi32.dll", "RegCloseKey", reinterpret_cast<void *>(CountingRegCloseKey));
    realLoadLibraryA = PatchImport("kernel32.dll", "LoadLibraryA", reinterpret_cast<void *>(CountingLoadLibraryA));
    realFreeLibrary = PatchImport("kernel32.dll", "FreeLibrary", reinterpret_cast<void *>(CountingFreeLibrary));
    realGetDC = PatchImport("user32.dll", "GetDC", reinterpret_cast<void *>(CountingGetDC));
    realReleaseDC = PatchImport("user32.dll", "ReleaseDC", reinterpret_cast<void *>(CountingReleaseDC));
    realGetProcAddress =
        PatchImport("kernel32.dll", "GetProcAddress", reinterpret_cast<void *>(CountingGetProcAddress));
}

OpenCloseCounter::~OpenCloseCounter()
{
    const struct {
        const char *dll, *function;
        void *original;
    } patches[] = {
        {"advapi32.dll", "RegOpenKeyExA", realRegOpenKeyExA}, {"advapi32.dll", "RegCloseKey", realRegCloseKey},
        {"kernel32.dll", "LoadLibraryA", realLoadLibraryA},  {"kernel32.dll", "FreeLibrary", realFreeLibrary},
        {"user32.dll", "GetDC", realGetDC},                  {"user32.dll", "ReleaseDC", realReleaseDC},
        {"kernel32.dll", "GetProcAddress", realGetProcAddress},
    };
    for (const auto &patch : patches) {
        if (patch.original != nullptr) {
            PatchImport(patch.dll, patch.function, patch.original);
        }
    }
}

bool OpenCloseCounter::Installed() const
{
    return realRegOpenKeyExA && realRegCloseKey && realLoadLibraryA && realFreeLibrary && realGetDC &&
        realReleaseDC && realGetProcAddress;
}

int OpenCloseCounter::Opened(Counted what) const { return opened[static_cast<int>(what)]; }

int OpenCloseCounter::Closed(Counted what) const { return closed[static_cast<int>(what)]; }

UINT OpenCloseCounter::ErrorModeAtLoad() const { return errorModeAtLoad; }
