// The programs bench.exe drives, the station and two floors: the shared
// mapping and the per-role events that carry their commands, starting and
// stopping them, a command and a block of posts, and where their windows
// lie.
#include "benchprograms.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "benchtable.h"

// Guards against a hang only; no figure depends on it.
static constexpr DWORD COMMAND_LIMIT_MS = 300000;

static BenchShared *shared;
static HANDLE goEvents[ROLE_COUNT];
static HANDLE doneEvents[ROLE_COUNT];
static HWND programWindows[ROLE_COUNT];
static PROCESS_INFORMATION programs[ROLE_COUNT];
static double msPerTick;

BenchShared *Shared() { return shared; }

double MsPerTick() { return msPerTick; }

bool StartShared()
{
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(BenchShared),
                                        BENCH_MAPPING_NAME);
    if (mapping == nullptr) {
        return false;
    }
    shared = static_cast<BenchShared *>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(BenchShared)));
    if (shared == nullptr) {
        return false;
    }
    memset(shared, 0, sizeof(BenchShared));
    for (int role = 0; role < ROLE_COUNT; ++role) {
        char name[64];
        snprintf(name, sizeof name, BENCH_GO_EVENT, role);
        goEvents[role] = CreateEventA(nullptr, FALSE, FALSE, name);
        snprintf(name, sizeof name, BENCH_DONE_EVENT, role);
        doneEvents[role] = CreateEventA(nullptr, FALSE, FALSE, name);
        if (goEvents[role] == nullptr || doneEvents[role] == nullptr) {
            return false;
        }
    }
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    msPerTick = 1000.0 / frequency.QuadPart;
    return true;
}

bool StartProgram(int role, const char *path)
{
    SetEnvironmentVariableA(BENCH_ROLE_VARIABLE, std::to_string(role).c_str());
    std::string commandLine = std::string("\"") + path + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &programs[role])) {
        fprintf(stderr, "bench: cannot start %s (%lu)\n", path, GetLastError());
        return false;
    }
    const DWORD start = GetTickCount();
    for (;;) {
        HWND window = reinterpret_cast<HWND>(static_cast<LONG_PTR>(shared->roles[role].window));
        if (shared->roles[role].opened && window != nullptr && IsWindowVisible(window)) {
            programWindows[role] = window;
            return true;
        }
        if (GetTickCount() - start > START_LIMIT_MS ||
            WaitForSingleObject(programs[role].hProcess, 0) == WAIT_OBJECT_0) {
            fprintf(stderr, "bench: %s did not open the bench driver on a visible window\n", path);
            return false;
        }
        Sleep(20);
    }
}

void StopPrograms()
{
    for (int role = 0; role < ROLE_COUNT; ++role) {
        if (programs[role].hProcess == nullptr) {
            continue;
        }
        if (programWindows[role] != nullptr) {
            PostMessageA(programWindows[role], WM_CLOSE, 0, 0);
        }
        if (WaitForSingleObject(programs[role].hProcess, 30000) != WAIT_OBJECT_0) {
            fprintf(stderr, "bench: %s did not close; ended\n", ROLE_NAMES[role]);
            TerminateProcess(programs[role].hProcess, 1);
            NoteFailure();
        }
        DWORD code = 0;
        if (GetExitCodeProcess(programs[role].hProcess, &code) && code != 0) {
            fprintf(stderr, "bench: %s ended with code %lu\n", ROLE_NAMES[role], code);
            NoteFailure();
        }
        CloseHandle(programs[role].hProcess);
        CloseHandle(programs[role].hThread);
    }
}

bool Command(int role, BenchCommand command, int count, Size size, int outstanding)
{
    BenchRoleState &state = shared->roles[role];
    state.command = command;
    state.count = count;
    state.width = size.width;
    state.height = size.height;
    state.outstanding = outstanding;
    InterlockedExchange(&shared->currentRole, role);
    SetEvent(goEvents[role]);
    if (WaitForSingleObject(doneEvents[role], COMMAND_LIMIT_MS) != WAIT_OBJECT_0 || state.failed) {
        fprintf(stderr, "bench: %s: command %d failed\n", ROLE_NAMES[role], command);
        NoteFailure();
        return false;
    }
    return true;
}

Block PostBlock(int role, int count, Size size, int outstanding)
{
    Block block;
    block.role = role;
    block.firstSeq = shared->nextSeq + 1;
    for (int host = 0; host < HOST_COUNT; ++host) {
        block.firstArrival[host] = shared->arrivals[host];
    }
    Command(role, CMD_POST, count, size, outstanding);
    block.endSeq = std::min<LONG>(shared->nextSeq + 1, MAX_POSTS);
    for (int host = 0; host < HOST_COUNT; ++host) {
        block.endArrival[host] = std::min<LONG>(LONG{shared->arrivals[host]}, MAX_POSTS);
    }
    return block;
}

// Even rounds run station, floor, control; odd rounds the reverse.
int RoleInTurn(int round, int turn) { return round % 2 == 0 ? turn : ROLE_COUNT - 1 - turn; }

// Lays the floors' windows over the station's client area, the same size,
// so all paint the same region; the station then goes back on top.
void AlignFloorWindow()
{
    HWND station = programWindows[ROLE_STATION];
    RECT client;
    GetClientRect(station, &client);
    POINT origin = {0, 0};
    ClientToScreen(station, &origin);
    for (int role : {ROLE_FLOOR, ROLE_CONTROL}) {
        HWND floor = programWindows[role];
        RECT frame = {origin.x, origin.y, origin.x + client.right, origin.y + client.bottom};
        AdjustWindowRectEx(&frame, GetWindowLongA(floor, GWL_STYLE), FALSE, GetWindowLongA(floor, GWL_EXSTYLE));
        SetWindowPos(floor, nullptr, frame.left, frame.top, frame.right - frame.left, frame.bottom - frame.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
    RaiseStation();
}

void RaiseStation()
{
    SetWindowPos(programWindows[ROLE_STATION], HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}
