// The host windows: what the command line asks of them, and their run.
#pragma once

#include <windows.h>

#include <cstdio>

namespace hostmon {

struct HostSettings {
    bool front = false;  // the front end's window
    bool photo = false;  // the photo server's window
    const char *saveFolder = nullptr;
    DWORD delayMs = 0;
    bool hang = false;
    bool quiet = false;
};

// Opens the windows asked for, logging to `log`, and runs them until one is
// closed; the exit code, 1 when no window could be made.
int RunHostWindows(HINSTANCE instance, const HostSettings &settings, FILE *log);

}  // namespace hostmon
