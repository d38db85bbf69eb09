// Shared test helpers: paths beside the test program, the registry key and
// "xray.ini" saved and restored around a test, message pumping, and the real
// main window created in-process.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "nocopy.h"

// Windows path of a file in the folder of the running test program.
std::string BinPath(const char *fileName);

// How long a test waits for an event (a message, a log line, a window, a
// program's end) before it fails: a guard against a hang only, never a speed
// asked for. Sized for the slowest place the suite runs, the i686 suite in
// the emulated Debian guest with the host's cores busy, where a Wine
// process takes seconds to start; a healthy wait there stays far under it.
constexpr DWORD EVENT_GUARD_MS = 120000;

// Runs the thread's queue until it is empty (and at least `ms` milliseconds).
void PumpMessages(DWORD ms = 0);
// A wait begun at `start` (GetTickCount) under a guard of `guardMs`: when it
// took a tenth of its guard or more it says so on stderr ("time: WHAT: N s
// of the G s guard"), for the stress rig's table of the waits that come
// near their guards.
void ReportWaitTime(const std::string &what, DWORD start, DWORD guardMs);
// The line ReportWaitTime prints for a wait of `elapsedMs`; empty when the
// wait stayed under a tenth of its guard.
std::string WaitTimeLine(const std::string &what, DWORD elapsedMs, DWORD guardMs);

// Keeps HKCR\VESTRA\ZRK as it was: existence and every value.
class RegistryGuard : NoCopy {
public:
    RegistryGuard();
    ~RegistryGuard();

private:
    bool existed;
    std::string saved;  // serialised values
};
bool CreateSensorKey();
void DeleteSensorKey();
// REG_SZ text of a value, with the data length (NUL counted) and type.
bool ReadSensorValue(const char *name, std::string *text, DWORD *type, DWORD *size);
void WriteSensorValue(const char *name, DWORD type, const void *data, DWORD size);
// The key created when missing and `name` set to a REG_SZ text, or removed
// when `text` is null.
void SetSensorText(const char *name, const char *text);

// Keeps "xray.ini" in the Windows folder as it was (content or absence).
class IniGuard : NoCopy {
public:
    IniGuard();
    ~IniGuard();

private:
    bool existed;
    std::string content;
};
std::string IniPath();
void RemoveIni();
void WriteDriverPath(const char *path);
std::string ReadDriverPath();

// The host windows (front end and photo server) of other programs open on
// the desktop now, one "class 0xHANDLE (process N, "title")" each; empty
// when there are none. A test's own host windows are not counted.
// A test that starts its own hosts, or needs none, checks it first:
// a window left by another program would take its images.
std::string OpenHostWindows();
// The failure message for such a window.
std::string HostWindowsLeftOpen(const std::string &windows);

// Registers CAPClass for this test program once and creates the main window
// (WM_CREATE runs inside, with whatever "xray.ini" says).
HWND CreateStationWindow();

// Runs a program of the bin folder with `arguments`, its standard output
// and error captured, and waits for it; returns its exit code, or -1 when
// it could not start or had not ended after `guardMs` (then it is ended).
// The guard only keeps a broken program from hanging the test; a run that
// took a tenth of it or more prints its time on stderr ("time: …"). With
// `boxes`, the message boxes the program shows meanwhile are recorded and
// answered there.
class ModalCatcher;
int RunProgram(const char *program, const std::string &arguments, std::string *output,
               DWORD guardMs = 3 * EVENT_GUARD_MS, ModalCatcher *boxes = nullptr);
// A file in the temporary folder (removed first when it exists).
std::string TempPath(const char *name);
// The whole of a file, or empty when it cannot be read.
std::string ReadWholeFile(const std::string &path);

// A folder of its own in the temporary folder for one test; what was copied
// into it is deleted with it at the end.
class TempFolder : NoCopy {
public:
    explicit TempFolder(const char *name);
    ~TempFolder();
    // Windows path, without a trailing backslash.
    const std::string &Path() const { return path; }
    // Copies a file of the bin folder (a path relative to it) in, as `name`.
    bool CopyFromBin(const char *binFile, const char *name);

private:
    std::string path;
    std::vector<std::string> files;
};

// The current directory set for one test and put back afterwards.
class CurrentDirectory : NoCopy {
public:
    explicit CurrentDirectory(const std::string &folder);
    ~CurrentDirectory();
    bool Changed() const { return changed; }

private:
    char saved[MAX_PATH] = "";
    bool changed = false;
};

// An environment variable set for one test and removed afterwards; child
// processes started meanwhile inherit it.
struct EnvVar : NoCopy {
    const char *name;
    EnvVar(const char *n, const char *value) : name(n) { SetEnvironmentVariableA(name, value); }
    ~EnvVar() { SetEnvironmentVariableA(name, nullptr); }
};


// Runs one case of this test program alone in a fresh process, through
// RunProgram; for state a process builds only once. InChildRun() is true
// inside such a process.
int RunCaseInChildProcess(const char *caseName, std::string *output);
bool InChildRun();
