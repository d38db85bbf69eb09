// benchdrv.dll: the sensor driver of the benchmark. The station and the
// floor program load it the same way ("xray.ini", [Dll] File) and it keeps
// the driver contract of xraydrv.h. Instead of a sensor it obeys bench.exe:
// a worker thread waits for commands in the shared mapping of benchshared.h
// and posts images, times paints or measures the process's memory.
//
// This file holds the exports, the link to bench.exe's run (the mapping and
// the events) and the worker that carries out its commands; the images
// posted are in drvpost.cpp, the program's window and paint timing in
// drvwindow.cpp, the timed imports in drvsteps.cpp.
#include "benchdrv.h"

#include <cstdio>
#include <cstdlib>

#include "drvpost.h"
#include "drvwindow.h"
#include "procmem.h"
#include "xraydrv.h"

#define BD_EXPORT extern "C" __declspec(dllexport)

static int role = -1;
static HANDLE mapping;
static BenchShared *shared;
static HANDLE goEvent;
static HANDLE doneEvent;
static HANDLE stopEvent;
static HANDLE worker;

BenchShared *SharedState() { return shared; }

int OwnRole() { return role; }

BenchRoleState *OwnState() { return shared != nullptr ? &shared->roles[role] : nullptr; }

bool Stopping() { return WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0; }

static DWORD WINAPI CommandThread(LPVOID)
{
    HANDLE waits[2] = {stopEvent, goEvent};
    while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        BenchRoleState *command = &shared->roles[role];
        command->failed = 0;
        command->timeCount = 0;
        switch (command->command) {
        case CMD_POST:
            command->failed = !PostImages(*command);
            break;
        case CMD_PAINT:
        case CMD_PAINT_PALETTE:
        case CMD_BARE:
            command->failed = !TimePaintsOnGuiThread();
            break;
        case CMD_MEMORY:
            command->committed = CommittedPrivateBytes();
            break;
        default:
            command->failed = 1;
            break;
        }
        SetEvent(doneEvent);
    }
    return 0;
}

static void StopCommands()
{
    if (worker != nullptr) {
        SetEvent(stopEvent);
        WaitForSingleObject(worker, INFINITE);
        CloseHandle(worker);
        worker = nullptr;
    }
    for (HANDLE *handle : {&goEvent, &doneEvent, &stopEvent}) {
        if (*handle != nullptr) {
            CloseHandle(*handle);
            *handle = nullptr;
        }
    }
    if (shared != nullptr) {
        UnmapViewOfFile(shared);
        shared = nullptr;
    }
    if (mapping != nullptr) {
        CloseHandle(mapping);
        mapping = nullptr;
    }
    RestoreProgramWindow();
}

// Joins bench.exe's run when there is one; without it the driver only keeps
// the contract and never posts.
static void StartCommands(HWND window)
{
    char text[16];
    DWORD length = GetEnvironmentVariableA(BENCH_ROLE_VARIABLE, text, sizeof text);
    role = (length > 0 && length < sizeof text) ? atoi(text) : ROLE_STATION;
    if (role < 0 || role >= ROLE_COUNT) {
        return;
    }
    mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, BENCH_MAPPING_NAME);
    if (mapping == nullptr) {
        return;
    }
    shared = static_cast<BenchShared *>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(BenchShared)));
    char name[64];
    snprintf(name, sizeof name, BENCH_GO_EVENT, role);
    goEvent = OpenEventA(EVENT_ALL_ACCESS, FALSE, name);
    snprintf(name, sizeof name, BENCH_DONE_EVENT, role);
    doneEvent = OpenEventA(EVENT_ALL_ACCESS, FALSE, name);
    stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (shared == nullptr || goEvent == nullptr || doneEvent == nullptr || stopEvent == nullptr) {
        StopCommands();
        return;
    }
    if (!SubclassProgramWindow(window)) {
        StopCommands();
        return;
    }
    worker = CreateThread(nullptr, 0, CommandThread, nullptr, 0, nullptr);
    if (worker == nullptr) {
        StopCommands();
        return;
    }
    InterlockedExchange(&shared->roles[role].window, static_cast<LONG>(reinterpret_cast<LONG_PTR>(window)));
    InterlockedExchange(&shared->roles[role].opened, 1);
}

BD_EXPORT int __cdecl XRAYOpen(HWND window, const char *, int)
{
    StopCommands();
    StartCommands(window);
    return XRAY_MODE_STANDALONE;
}

BD_EXPORT int __cdecl XRAYClose(void)
{
    StopCommands();
    return 1;
}

BD_EXPORT int __cdecl XRAYPrepareAcquisition(void) { return 1; }

BD_EXPORT int __cdecl XRAYResolution(double *first, double *second)
{
    *first = 20.5;
    *second = 10.0;
    return 1;
}

BD_EXPORT int __cdecl XRAYSize(int *width, int *height)
{
    SensorSize(width, height);
    return 1;
}

BD_EXPORT int __cdecl bXRAYGetBinningMode(void) { return 0; }

BD_EXPORT int __cdecl bXRAYChangeBinningMode(int) { return 1; }
