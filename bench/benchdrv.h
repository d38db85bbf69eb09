// What the bench driver's files ask of its link to bench.exe's run
// (benchdrv.cpp), and the guard against a stall they share.
#pragma once

#include <windows.h>

#include "benchshared.h"

// Without progress for this long a block is given up as lost; only a guard
// against hanging, far above any transfer time.
constexpr DWORD STALL_LIMIT_MS = 20000;

// Null while the driver is not in a run.
BenchShared *SharedState();
int OwnRole();
BenchRoleState *OwnState();
// XRAYClose or a new XRAYOpen is stopping the worker.
bool Stopping();
