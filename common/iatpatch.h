// Replaces an imported function in the test program's own import table, so
// that a test can count calls the station makes to the platform (MessageBeep,
// say) without changing the station's code. The station's libraries are
// linked statically into the test program, so they share that table.
#pragma once

#include <windows.h>

// Returns the previous target, or null when the import was not found.
void *PatchImport(const char *dllName, const char *functionName, void *replacement);
// The same in the import table of another loaded module (a driver DLL).
void *PatchModuleImport(HMODULE module, const char *dllName, const char *functionName, void *replacement);

// Replaces one import of the test program for its lifetime.
class ImportPatch {
public:
    ImportPatch(const char *dll, const char *function, void *replacement);
    ~ImportPatch();
    ImportPatch(const ImportPatch &) = delete;
    ImportPatch &operator=(const ImportPatch &) = delete;
    void *original;

private:
    const char *dll;
    const char *function;
};

// Counts MessageBeep calls for the life of the object and makes no sound.
class BeepCounter {
public:
    BeepCounter();
    ~BeepCounter();
    BeepCounter(const BeepCounter &) = delete;
    BeepCounter &operator=(const BeepCounter &) = delete;
    int Count() const;
    UINT LastType() const;
    bool Installed() const { return original != nullptr; }

private:
    void *original;
};

// Counts what the station opens against what it closes, through the test
// program's import table: registry keys (RegOpenKeyExA / RegCloseKey),
// libraries (LoadLibraryA / FreeLibrary) and window DCs (GetDC / ReleaseDC).
// Only successful opens count. Calls made by the test itself while the
// object lives count too, so keep it around the station's work alone.
// Driver counts every call of XRAYOpen against every call of XRAYClose: the
// two exports, as GetProcAddress finds them while the object lives, are
// handed out behind counting stand-ins (__cdecl drivers only).
enum class Counted { RegistryKey, Library, WindowDC, Driver };

class OpenCloseCounter {
public:
    OpenCloseCounter();
    ~OpenCloseCounter();
    OpenCloseCounter(const OpenCloseCounter &) = delete;
    OpenCloseCounter &operator=(const OpenCloseCounter &) = delete;
    bool Installed() const;
    int Opened(Counted what) const;
    int Closed(Counted what) const;
    // The process's error mode while the last LoadLibraryA ran.
    UINT ErrorModeAtLoad() const;
};
