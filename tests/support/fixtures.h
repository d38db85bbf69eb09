// Shared test helpers: paths beside the test program, the registry key and
// "xray.ini" saved and restored around a test, message pumping, and the real
// main window created in-process.
#pragma once

#include <windows.h>

#include <string>

// Windows path of a file in the folder of the running test program.
std::string BinPath(const char *fileName);

// Runs the thread's queue until it is empty (and at least `ms` milliseconds).
void PumpMessages(DWORD ms = 0);

// Keeps HKCR\VESTRA\ZRK as it was: existence and every value.
class RegistryGuard {
public:
    RegistryGuard();
    ~RegistryGuard();
    RegistryGuard(const RegistryGuard &) = delete;
    RegistryGuard &operator=(const RegistryGuard &) = delete;

private:
    bool existed;
    std::string saved;  // serialised values
};
bool CreateSensorKey();
void DeleteSensorKey();
// REG_SZ text of a value, with the data length (NUL counted) and type.
bool ReadSensorValue(const char *name, std::string *text, DWORD *type, DWORD *size);
void WriteSensorValue(const char *name, DWORD type, const void *data, DWORD size);

// Keeps "xray.ini" in the Windows folder as it was (content or absence).
class IniGuard {
public:
    IniGuard();
    ~IniGuard();
    IniGuard(const IniGuard &) = delete;
    IniGuard &operator=(const IniGuard &) = delete;

private:
    bool existed;
    std::string content;
};
std::string IniPath();
void RemoveIni();
void WriteDriverPath(const char *path);
std::string ReadDriverPath();

// Registers CAPClass for this test program once and creates the main window
// (WM_CREATE runs inside, with whatever "xray.ini" says).
HWND CreateStationWindow();

// Runs one case of this test program alone in a fresh process and returns
// its exit code (0: passed); for state a process builds only once.
// InChildRun() is true inside such a process.
DWORD RunCaseInChildProcess(const char *caseName);
bool InChildRun();
