// The throughput section: images back to back at one size, each program's
// rate against the floor's, what reached each host, and, at the memory
// size, the programs' committed memory as the images go through.
#include "benchmeasures.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "benchblocks.h"
#include "benchhosts.h"
#include "benchprograms.h"
#include "benchtable.h"

// Images in flight while posting back to back: the program always has the
// next one queued when it finishes one.
static constexpr int THROUGHPUT_OUTSTANDING = 3;

namespace {
// What the rounds at one size gather.
struct ThroughputRun {
    std::vector<double> rates[ROLE_COUNT];
    std::vector<double> ratios;
    std::vector<double> controlRatios;
    Tally tallies[ROLE_COUNT][HOST_COUNT];
    std::map<int, double> memory[ROLE_COUNT];
};
}  // namespace

static double ReadMemory(int role)
{
    return Command(role, CMD_MEMORY, 0, MEMORY_SIZE, 0) ? Shared()->roles[role].committed / 1048576.0 : 0.0;
}

static void ThroughputRounds(const Plan &plan, Size size, bool readMemory, ThroughputRun *run)
{
    int done[ROLE_COUNT] = {};
    if (readMemory) {
        for (int role = 0; role < ROLE_COUNT; ++role) {
            run->memory[role][0] = ReadMemory(role);
        }
    }
    for (size_t round = 0; round < plan.throughputBlocks.size(); ++round) {
        double rate[ROLE_COUNT] = {};
        for (int turn = 0; turn < ROLE_COUNT; ++turn) {
            const int role = RoleInTurn(static_cast<int>(round), turn);
            const Block block = PostBlock(role, plan.throughputBlocks[round], size, THROUGHPUT_OUTSTANDING);
            for (int host = 0; host < HOST_COUNT; ++host) {
                Account(block, host, true, &run->tallies[role][host]);
            }
            rate[role] = Rate(block);
            run->rates[role].push_back(rate[role]);
            done[role] += plan.throughputBlocks[round];
            if (readMemory && std::count(plan.memoryPoints.begin(), plan.memoryPoints.end(), done[role])) {
                run->memory[role][done[role]] = ReadMemory(role);
            }
        }
        run->ratios.push_back(rate[ROLE_STATION] > 0 ? rate[ROLE_FLOOR] / rate[ROLE_STATION] : 0.0);
        run->controlRatios.push_back(rate[ROLE_CONTROL] > 0 ? rate[ROLE_FLOOR] / rate[ROLE_CONTROL] : 0.0);
    }
}

static void AddRateRows(const Plan &plan, Size size, const ThroughputRun &run)
{
    int total = 0;
    for (int n : plan.throughputBlocks) {
        total += n;
    }
    Row row{"throughput", size, "images/s, " + std::to_string(total) + " back to back", "img/s",
            Summarise(run.rates[ROLE_STATION]), Summarise(run.rates[ROLE_FLOOR]), Summarise(PairedRatios(run.ratios)),
            ""};
    row.goal = Verdict(row.ratio, GOAL_RATIO) + " (ratio: floor rate / station rate)";
    AddRow(row);
    AddRow(Row{"throughput", size, "A/A: control floor vs floor", "img/s", Summarise(run.rates[ROLE_CONTROL]),
               Summarise(run.rates[ROLE_FLOOR]), Summarise(PairedRatios(run.controlRatios)),
               "noise (station column: a second floor program)"});
}

static void AddDeliveryRows(Size size, const ThroughputRun &run)
{
    for (int host = 0; host < HOST_COUNT; ++host) {
        const Tally &s = run.tallies[ROLE_STATION][host];
        const Tally &f = run.tallies[ROLE_FLOOR][host];
        const Tally &c = run.tallies[ROLE_CONTROL][host];
        char note[200];
        snprintf(note, sizeof note, "%s; lost/dup/reord/corrupt: station %d/%d/%d/%d, floor %d/%d/%d/%d of %d",
                 s.Faults() + f.Faults() + c.Faults() == 0 ? "met" : "MISSED", s.lost, s.duplicated, s.reordered,
                 s.corrupt, f.lost, f.duplicated, f.reordered, f.corrupt, s.posted);
        Row faults{"delivery", size, std::string("lost+dup+reord+corrupt at ") + HOST_NAMES[host], "images",
                   Summarise({static_cast<double>(s.Faults())}), Summarise({static_cast<double>(f.Faults())}),
                   Figure(), note};
        faults.station.samples = s.posted;
        AddRow(faults);
        if (s.Faults() + f.Faults() + c.Faults() != 0) {
            fprintf(stderr, "bench: images lost or mixed at the %s (control floor %d/%d/%d/%d)\n", HOST_NAMES[host],
                    c.lost, c.duplicated, c.reordered, c.corrupt);
            NoteFailure();
        }
    }
}

static void AddMemoryRows(const Plan &plan, Size size, const ThroughputRun &run)
{
    const double blockMb = BlockBytes(size) / 1048576.0;
    for (int point : plan.memoryPoints) {
        if (!run.memory[ROLE_STATION].count(point) || !run.memory[ROLE_FLOOR].count(point)) {
            continue;
        }
        const double s = run.memory[ROLE_STATION].at(point);
        const double f = run.memory[ROLE_FLOOR].at(point);
        Figure difference = Summarise({(s - f) / blockMb});
        Row row{"memory", size, "committed private after " + std::to_string(point) + " images", "MB",
                Summarise({s}), Summarise({f}), difference, ""};
        row.goal = std::string(!Judging() ? "not judged" : difference.median <= 1.0 ? "met" : "MISSED") +
                   " (ratio column: difference in blocks)";
        AddRow(row);
    }
}

void Throughput(const Plan &plan, Size size, bool readMemory)
{
    Shared()->wantCrc = 1;
    ThroughputRun run;
    ThroughputRounds(plan, size, readMemory, &run);
    AddRateRows(plan, size, run);
    AddDeliveryRows(size, run);
    if (readMemory) {
        AddMemoryRows(plan, size, run);
    }
}
