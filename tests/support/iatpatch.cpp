#include "iatpatch.h"

void *PatchModuleImport(HMODULE module, const char *dllName, const char *functionName, void *replacement)
{
    BYTE *base = reinterpret_cast<BYTE *>(module);
    auto *dos = reinterpret_cast<IMAGE_DOS_HEADER *>(base);
    auto *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0) {
        return nullptr;
    }
    auto *desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + dir.VirtualAddress);
    for (; desc->Name != 0; ++desc) {
        if (lstrcmpiA(reinterpret_cast<const char *>(base + desc->Name), dllName) != 0) {
            continue;
        }
        auto *names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + desc->OriginalFirstThunk);
        auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + desc->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                continue;
            }
            auto *byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            if (lstrcmpA(reinterpret_cast<const char *>(byName->Name), functionName) != 0) {
                continue;
            }
            DWORD oldProtect;
            VirtualProtect(&slots->u1.Function, sizeof(void *), PAGE_READWRITE, &oldProtect);
            void *previous = reinterpret_cast<void *>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof(void *), oldProtect, &oldProtect);
            return previous;
        }
    }
    return nullptr;
}

void *PatchImport(const char *dllName, const char *functionName, void *replacement)
{
    return PatchModuleImport(GetModuleHandleA(nullptr), dllName, functionName, replacement);
}

ImportPatch::ImportPatch(const char *dllName, const char *functionName, void *replacement)
    : original(PatchImport(dllName, functionName, replacement)), dll(dllName), function(functionName)
{
}

ImportPatch::~ImportPatch()
{
    if (original != nullptr) {
        PatchImport(dll, function, original);
    }
}

static int beepCount;
static UINT lastBeepType;

static BOOL WINAPI CountingMessageBeep(UINT type)
{
    ++beepCount;
    lastBeepType = type;
    return TRUE;
}

BeepCounter::BeepCounter()
{
    beepCount = 0;
    lastBeepType = 0;
    original = PatchImport("user32.dll", "MessageBeep", reinterpret_cast<void *>(CountingMessageBeep));
}

BeepCounter::~BeepCounter()
{
    if (original != nullptr) {
        PatchImport("user32.dll", "MessageBeep", original);
    }
}

int BeepCounter::Count() const { return beepCount; }

UINT BeepCounter::LastType() const { return lastBeepType; }
