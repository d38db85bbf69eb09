// The committed private memory of this process, found by walking its
// address space: Wine leaves PrivateUsage of GetProcessMemoryInfo at 0.
// Used from inside the measured program by the soak's and the benchmark's
// drivers.
#pragma once

#include <windows.h>

inline SIZE_T CommittedPrivateBytes()
{
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION region;
    const BYTE *address = nullptr;
    while (VirtualQuery(address, &region, sizeof region) == sizeof region) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) {
            total += region.RegionSize;
        }
        const BYTE *next = static_cast<const BYTE *>(region.BaseAddress) + region.RegionSize;
        if (next <= address) {
            break;
        }
        address = next;
    }
    return total;
}
