#include "memwatch.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "iatpatch.h"
#include "testhosts.h"

namespace {

decltype(&GlobalAlloc) realGlobalAlloc;
decltype(&GlobalFree) realGlobalFree;
decltype(&GlobalLock) realGlobalLock;

// What the watch saw; the lock guards it against a driver's threads.
struct Record {
    std::vector<HGLOBAL> allocated, freed;
    std::vector<UINT> allocationFlags;
    std::vector<HWND> openAtAllocation;
    std::vector<int> formatsAtAllocation;
    bool failAllocations = false, failLocks = false;
    int failLockAt = 0, locks = 0;
    DWORD thread = 0;
};
Record record;

CRITICAL_SECTION &Guard()
{
    static CRITICAL_SECTION guard;
    static bool ready = false;
    if (!ready) {
        InitializeCriticalSection(&guard);
        ready = true;
    }
    return guard;
}

struct Held {
    Held() { EnterCriticalSection(&Guard()); }
    ~Held() { LeaveCriticalSection(&Guard()); }
};

HGLOBAL WINAPI WatchedGlobalAlloc(UINT flags, SIZE_T size)
{
    if (record.failAllocations) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HGLOBAL block = realGlobalAlloc(flags, size);
    HWND openBy = GetOpenClipboardWindow();
    int formats = CountClipboardFormats();
    Held held;
    record.allocated.push_back(block);
    record.allocationFlags.push_back(flags);
    record.openAtAllocation.push_back(openBy);
    record.formatsAtAllocation.push_back(formats);
    return block;
}

HGLOBAL WINAPI WatchedGlobalFree(HGLOBAL block)
{
    {
        Held held;
        record.freed.push_back(block);
        if (GetCurrentThreadId() == record.thread) {
            RecordFree(block);
        }
    }
    return realGlobalFree(block);
}

LPVOID WINAPI WatchedGlobalLock(HGLOBAL block)
{
    bool fail;
    {
        Held held;
        fail = record.failLocks || ++record.locks == record.failLockAt;
    }
    return fail ? nullptr : realGlobalLock(block);
}

template <typename F>
void Patch(HMODULE module, const char *name, F *real, F replacement)
{
    *real = reinterpret_cast<F>(
        PatchModuleImport(module, "kernel32.dll", name, reinterpret_cast<void *>(replacement)));
}

template <typename F>
void Restore(HMODULE module, const char *name, F *real)
{
    if (*real != nullptr) {
        PatchModuleImport(module, "kernel32.dll", name, reinterpret_cast<void *>(*real));
    }
    *real = nullptr;
}

}  // namespace

MemoryWatch::MemoryWatch() : MemoryWatch(GetModuleHandleA(nullptr)) {}

MemoryWatch::MemoryWatch(HMODULE watched) : module(watched)
{
    Reset();
    record.thread = GetCurrentThreadId();
    if (module == nullptr) {
        return;
    }
    Patch(module, "GlobalAlloc", &realGlobalAlloc, WatchedGlobalAlloc);
    Patch(module, "GlobalFree", &realGlobalFree, WatchedGlobalFree);
    Patch(module, "GlobalLock", &realGlobalLock, WatchedGlobalLock);
}

MemoryWatch::~MemoryWatch()
{
    if (module != nullptr) {
        Restore(module, "GlobalLock", &realGlobalLock);
        Restore(module, "GlobalFree", &realGlobalFree);
        Restore(module, "GlobalAlloc", &realGlobalAlloc);
    }
    Held held;
    record.failAllocations = record.failLocks = false;
    record.failLockAt = 0;
}

bool MemoryWatch::Installed() const
{
    return realGlobalAlloc != nullptr && realGlobalFree != nullptr && realGlobalLock != nullptr;
}

// A copy of one record, taken while no driver thread adds to it.
template <typename T>
static std::vector<T> Copy(const std::vector<T> &recorded)
{
    Held held;
    return recorded;
}

int MemoryWatch::Allocations() const { return static_cast<int>(Allocated().size()); }
std::vector<HGLOBAL> MemoryWatch::Allocated() const { return Copy(record.allocated); }
std::vector<UINT> MemoryWatch::AllocationFlags() const { return Copy(record.allocationFlags); }
std::vector<HWND> MemoryWatch::ClipboardOpenAtAllocation() const { return Copy(record.openAtAllocation); }
std::vector<int> MemoryWatch::ClipboardFormatsAtAllocation() const { return Copy(record.formatsAtAllocation); }
std::vector<HGLOBAL> MemoryWatch::Freed() const { return Copy(record.freed); }

std::vector<HGLOBAL> MemoryWatch::Unfreed() const
{
    Held held;
    std::vector<HGLOBAL> unfreed;
    for (HGLOBAL block : record.allocated) {
        if (std::find(record.freed.begin(), record.freed.end(), block) == record.freed.end()) {
            unfreed.push_back(block);
        }
    }
    return unfreed;
}

void MemoryWatch::FailAllocations(bool fail) { record.failAllocations = fail; }
void MemoryWatch::FailLocks(bool fail) { record.failLocks = fail; }

void MemoryWatch::FailLock(int nth)
{
    Held held;
    record.locks = 0;
    record.failLockAt = nth;
}

void MemoryWatch::Reset()
{
    Held held;
    const DWORD thread = record.thread;
    record = Record();
    record.thread = thread;
}

void ExpectEveryAllocationFreed(const MemoryWatch &memory)
{
    EXPECT_EQ(std::vector<HGLOBAL>(), memory.Unfreed()) << "leaked";
}
