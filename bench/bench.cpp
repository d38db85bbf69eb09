// bench.exe: measures the station's image road, paint and memory against
// the floor program, and the simulated driver's image making.
//
//   bench.exe STATION.exe FLOOR.exe XRAYSIM.dll CSV [--smoke | --only=SECTION]
//
// Three programs run: the station, the floor and a second floor, the
// control, whose distance from the floor shows what the machine's load alone
// does to a ratio (A/A rows).
// It stands in for the two host applications itself: one window of each
// host class, each on its own thread of this process, which stamp every
// WM_COPYDATA as it enters the window procedure and answer at once (the
// CRC-32 of the payload, when wanted, is taken after ReplyMessage). Both
// programs run side by side, each with benchdrv.dll, and take turns: every
// comparison alternates blocks of the two, swapping which goes first, and is
// reported as the median of the per-round ratios with their min and max.
// This program links with a 64 MB stack: Wine copies a cross-process
// WM_COPYDATA payload onto the receiving thread's stack.
//
// This file holds the plan of a run and the order of its sections; the
// hosts (benchhosts.cpp), the programs driven (benchprograms.cpp), what a
// block delivered (benchblocks.cpp), the table (benchtable.cpp) and each
// section (benchmeasures.h) have files of their own.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include "benchhosts.h"
#include "benchmeasures.h"
#include "benchprograms.h"
#include "benchtable.h"

static const Size SIZES[] = {{512, 768}, {1024, 1536}, {1500, 2000}, {2048, 3072}};

static Plan PlanOfRun(bool smoke)
{
    if (smoke) {
        return Plan{{SIZES[0]}, {1}, {0, 1}, 1, 1, 1, 1, 1};
    }
    return Plan{std::vector<Size>(std::begin(SIZES), std::end(SIZES)), std::vector<int>(30, 10), {0, 10, 100, 300},
                20, 2, 12, 6, 5};
}

static bool Wanted(const char *only, const char *section) { return only == nullptr || strcmp(only, section) == 0; }

// The sections that measure the programs, while they run.
static void MeasurePrograms(const Plan &plan, Size memorySize, const char *only)
{
    // Memory is read from fresh programs, so the largest size comes first.
    if (Wanted(only, "throughput")) {
        Throughput(plan, memorySize, true);
        for (Size size : plan.sizes) {
            if (size.width != memorySize.width || size.height != memorySize.height) {
                Throughput(plan, size, false);
            }
        }
    }
    for (Size size : plan.sizes) {
        if (Wanted(only, "latency")) {
            Latency(plan, size);
        }
    }
    for (Size size : plan.sizes) {
        if (Wanted(only, "paint")) {
            Paint(plan, size);
        }
    }
}

int main(int argc, char **argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: bench.exe STATION.exe FLOOR.exe XRAYSIM.dll CSV [--smoke | --only=SECTION]\n");
        return 2;
    }
    const bool smoke = argc > 5 && strcmp(argv[5], "--smoke") == 0;
    // --only=SECTION runs one section (throughput, latency, paint,
    // simulator) of the full plan, for looking into one figure.
    const char *only = argc > 5 && strncmp(argv[5], "--only=", 7) == 0 ? argv[5] + 7 : nullptr;
    const Plan plan = PlanOfRun(smoke);
    const Size memorySize = smoke ? SIZES[0] : MEMORY_SIZE;
    SetJudging(!smoke);

    if (!StartShared() || !StartHosts()) {
        fprintf(stderr, "bench: cannot set up the shared state or the host windows\n");
        return 1;
    }
    const int64_t begin = Now();
    if (!StartProgram(ROLE_STATION, argv[1]) || !StartProgram(ROLE_FLOOR, argv[2]) ||
        !StartProgram(ROLE_CONTROL, argv[2])) {
        StopPrograms();
        return 1;
    }
    AlignFloorWindow();
    PrintHeading();
    MeasurePrograms(plan, memorySize, only);
    StopPrograms();
    if (Wanted(only, "simulator")) {
        SimulatorSpeed(plan, argv[3]);
    }

    WriteCsv(argv[4]);
    printf("bench: %s run in %.0f s%s\n", smoke ? "smoke" : "full", (Now() - begin) * MsPerTick() / 1000.0,
           AnyFailure() ? "; FAILURES above" : "");
    fflush(stdout);
    // The host threads are still pumping: leave without waiting for them.
    ExitProcess(AnyFailure() ? 1 : 0);
}
