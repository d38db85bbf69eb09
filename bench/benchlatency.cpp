// The latency section: images one at a time, the time from each post to
// its arrival at each host against the floor's, and the image road's steps
// inside each program.
#include "benchmeasures.h"

#include <string>
#include <vector>

#include "benchblocks.h"
#include "benchhosts.h"
#include "benchprograms.h"
#include "benchtable.h"

namespace {
// What the rounds at one size gather.
struct LatencyRun {
    std::vector<double> all[ROLE_COUNT][HOST_COUNT];
    std::vector<double> ratios[HOST_COUNT];
    std::vector<double> controlRatios[HOST_COUNT];
    Tally tallies[ROLE_COUNT][HOST_COUNT];
    std::vector<double> steps[ROLE_COUNT][4];
};
}  // namespace

// The image road of the program's last block, per image.
static void NoteRoad(int role, Size size, std::vector<double> steps[4])
{
    const BenchRoleState &state = Shared()->roles[role];
    if (state.handled > 0) {
        const double road = state.roadTicks * MsPerTick() / state.handled;
        const double send = state.sendTicks * MsPerTick() / state.handled;
        steps[0].push_back(road);
        steps[1].push_back(send);
        steps[2].push_back(road - send);
        steps[3].push_back(static_cast<double>(state.copiedBytes) / BlockBytes(size) / state.handled);
    }
}

static void LatencyRound(const Plan &plan, Size size, int round, LatencyRun *run)
{
    double blockMedian[ROLE_COUNT][HOST_COUNT] = {};
    for (int turn = 0; turn < ROLE_COUNT; ++turn) {
        const int role = RoleInTurn(round, turn);
        const Block block = PostBlock(role, plan.latencyBlock, size, 1);
        NoteRoad(role, size, run->steps[role]);
        for (int host = 0; host < HOST_COUNT; ++host) {
            Account(block, host, false, &run->tallies[role][host]);
            std::vector<double> times = Latencies(block, host);
            if (!times.empty()) {
                blockMedian[role][host] = Median(times);
                run->all[role][host].insert(run->all[role][host].end(), times.begin(), times.end());
            }
        }
    }
    for (int host = 0; host < HOST_COUNT; ++host) {
        run->ratios[host].push_back(blockMedian[ROLE_FLOOR][host] > 0
                                        ? blockMedian[ROLE_STATION][host] / blockMedian[ROLE_FLOOR][host]
                                        : 0.0);
        run->controlRatios[host].push_back(blockMedian[ROLE_FLOOR][host] > 0
                                               ? blockMedian[ROLE_CONTROL][host] / blockMedian[ROLE_FLOOR][host]
                                               : 0.0);
    }
}

static void AddLatencyRows(Size size, const LatencyRun &run)
{
    for (int host = 0; host < HOST_COUNT; ++host) {
        Row row{"latency", size, std::string("post to ") + HOST_NAMES[host], "ms",
                Summarise(run.all[ROLE_STATION][host]), Summarise(run.all[ROLE_FLOOR][host]),
                Summarise(PairedRatios(run.ratios[host])), ""};
        row.goal = Verdict(row.ratio, GOAL_RATIO);
        for (int role = 0; role < ROLE_COUNT; ++role) {
            if (run.tallies[role][host].Faults() != 0) {
                row.goal += std::string("; ") + ROLE_NAMES[role] + " lost or mixed images";
                NoteFailure();
            }
        }
        AddRow(row);
        AddRow(Row{"latency", size, std::string("A/A: post to ") + HOST_NAMES[host], "ms",
                   Summarise(run.all[ROLE_CONTROL][host]), Summarise(run.all[ROLE_FLOOR][host]),
                   Summarise(PairedRatios(run.controlRatios[host])), "noise (station column: a second floor program)"});
    }
}

static void AddRoadRows(Size size, const LatencyRun &run)
{
    // Inside each program, per image: its handling of the image message, the
    // part spent in SendMessageTimeoutA, the rest, and whole-block copies.
    static const char *const ROAD_STEPS[4] = {"road: image message handled", "road: in SendMessageTimeoutA",
                                              "road: own work (handled - sends)", "road: blocks copied by memcpy"};
    static const char *const ROAD_UNITS[4] = {"ms", "ms", "ms", "blocks"};
    for (int step = 0; step < 4; ++step) {
        Row row{"latency", size, ROAD_STEPS[step], ROAD_UNITS[step], Summarise(run.steps[ROLE_STATION][step]),
                Summarise(run.steps[ROLE_FLOOR][step]), Figure(), "no goal"};
        if (row.station.present && row.floor.present && row.floor.median > 0) {
            row.ratio = Summarise({row.station.median / row.floor.median});
        }
        AddRow(row);
    }
}

void Latency(const Plan &plan, Size size)
{
    Shared()->wantCrc = 0;
    LatencyRun run;
    for (int round = 0; round < plan.latencyRounds; ++round) {
        LatencyRound(plan, size, round, &run);
    }
    AddLatencyRows(size, run);
    AddRoadRows(size, run);
}
