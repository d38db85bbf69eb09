// The global memory calls watched through an import table: the test
// program's own, which the station's code linked into it shares, or a loaded
// DLL's (a driver's, from any of its threads). GlobalAlloc is counted with
// the clipboard as it found it, GlobalFree recorded (and, on the thread
// that made the watch, put among the host events as 'X'), and either can be
// made to fail, GlobalLock too. One watch at a time.
#pragma once

#include <windows.h>

#include <vector>

#include "nocopy.h"

class MemoryWatch : NoCopy {
public:
    MemoryWatch();
    explicit MemoryWatch(HMODULE module);
    ~MemoryWatch();
    bool Installed() const;
    int Allocations() const;
    std::vector<HGLOBAL> Allocated() const;
    std::vector<UINT> AllocationFlags() const;
    // The clipboard as each allocation found it: who had it open, and how
    // many formats it held.
    std::vector<HWND> ClipboardOpenAtAllocation() const;
    std::vector<int> ClipboardFormatsAtAllocation() const;
    std::vector<HGLOBAL> Freed() const;
    // The blocks allocated and never freed while watched.
    std::vector<HGLOBAL> Unfreed() const;
    void FailAllocations(bool fail);
    void FailLocks(bool fail);
    // Only the nth GlobalLock from now (from 1) fails; 0: none.
    void FailLock(int nth);
    // Forgets what was recorded and fails nothing.
    void Reset();

private:
    HMODULE module;
};

// Each block allocated while watched was freed; a failure lists the others.
void ExpectEveryAllocationFreed(const MemoryWatch &memory);
