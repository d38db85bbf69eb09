// The programs bench.exe drives (benchprograms.cpp): the shared mapping and
// the events they take commands through, starting and stopping them, their
// commands and blocks of posts, and their windows.
#pragma once

#include <windows.h>

#include "benchshared.h"
#include "benchsize.h"

inline constexpr const char *ROLE_NAMES[ROLE_COUNT] = {"station", "floor", "control floor"};

// Guards against a hang only; no figure depends on it.
constexpr DWORD START_LIMIT_MS = 60000;

// The mapping, the events and the clock's rate; false when one of them
// cannot be made.
bool StartShared();
BenchShared *Shared();
double MsPerTick();

bool StartProgram(int role, const char *path);
void StopPrograms();

// False, and noted as a failure, when the program did not carry it out.
bool Command(int role, BenchCommand command, int count, Size size, int outstanding);

// The posts of one command and the arrivals at each host while it ran.
struct Block {
    int role;
    LONG firstSeq;
    LONG endSeq;
    LONG firstArrival[HOST_COUNT];
    LONG endArrival[HOST_COUNT];
};

Block PostBlock(int role, int count, Size size, int outstanding);
int RoleInTurn(int round, int turn);

void AlignFloorWindow();
void RaiseStation();
