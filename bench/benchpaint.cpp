// The paint section: the station's repaint timed on its GUI thread against
// the floor's (plain, with the grey palette, a bare StretchDIBits) and the
// control's, and where the time of a repaint goes, step by step.
#include "benchmeasures.h"

#include <vector>

#include "benchprograms.h"
#include "benchtable.h"

namespace {
struct Kind {
    int role;
    BenchCommand command;
};
// Five kinds, in one order in even rounds and the reverse in odd ones.
constexpr int KINDS = 5;
const Kind kinds[KINDS] = {{ROLE_STATION, CMD_PAINT},
                           {ROLE_FLOOR, CMD_PAINT},
                           {ROLE_FLOOR, CMD_PAINT_PALETTE},
                           {ROLE_FLOOR, CMD_BARE},
                           {ROLE_CONTROL, CMD_PAINT}};

// What the rounds at one size gather, by kind.
struct PaintRun {
    std::vector<double> all[KINDS];
    std::vector<double> ratios[KINDS];
    std::vector<double> steps[KINDS][STEP_COUNT + 1];
};
}  // namespace

static std::vector<double> PaintTimes(int role, BenchCommand command, int count)
{
    std::vector<double> times;
    if (Command(role, command, count, Size{0, 0}, 0)) {
        const BenchRoleState &state = Shared()->roles[role];
        for (int i = 0; i < state.timeCount; ++i) {
            times.push_back(state.times[i] * MsPerTick());
        }
    }
    return times;
}

// Mean time per paint of each step in this block, and of the rest.
static void NoteSteps(int k, const std::vector<double> &times, PaintRun *run)
{
    double rest = 0.0;
    for (double t : times) {
        rest += t;
    }
    for (int step = 0; step < STEP_COUNT; ++step) {
        const double each = Shared()->roles[kinds[k].role].stepTicks[step] * MsPerTick() / times.size();
        run->steps[k][step].push_back(each);
        rest -= each * times.size();
    }
    run->steps[k][STEP_COUNT].push_back(rest / times.size());
}

static void PaintRound(const Plan &plan, int round, PaintRun *run)
{
    double median[KINDS] = {};
    for (int turn = 0; turn < KINDS; ++turn) {
        const int k = round % 2 == 0 ? turn : KINDS - 1 - turn;
        std::vector<double> times = PaintTimes(kinds[k].role, kinds[k].command, plan.paintBlock);
        if (!times.empty()) {
            median[k] = Median(times);
            run->all[k].insert(run->all[k].end(), times.begin(), times.end());
            NoteSteps(k, times, run);
        }
    }
    for (int other = 1; other < KINDS - 1; ++other) {
        run->ratios[other].push_back(median[other] > 0 ? median[0] / median[other] : 0.0);
    }
    run->ratios[KINDS - 1].push_back(median[1] > 0 ? median[KINDS - 1] / median[1] : 0.0);
}

static void AddPaintRows(Size size, const PaintRun &run)
{
    Row versusFloor{"paint", size, "repaint vs floor erase+fill+draw", "ms", Summarise(run.all[0]),
                    Summarise(run.all[1]), Summarise(PairedRatios(run.ratios[1])), ""};
    versusFloor.goal = Verdict(versusFloor.ratio, GOAL_RATIO);
    AddRow(versusFloor);
    Row withPalette{"paint", size, "repaint vs floor +palette", "ms", Summarise(run.all[0]), Summarise(run.all[2]),
                    Summarise(PairedRatios(run.ratios[2])), ""};
    withPalette.goal = Verdict(withPalette.ratio, GOAL_RATIO) + " (floor also realises the grey palette)";
    AddRow(withPalette);
    AddRow(Row{"paint", size, "repaint vs bare StretchDIBits", "ms", Summarise(run.all[0]), Summarise(run.all[3]),
               Summarise(PairedRatios(run.ratios[3])), "no goal (floor column: bare StretchDIBits)"});
    AddRow(Row{"paint", size, "A/A: control floor vs floor", "ms", Summarise(run.all[4]), Summarise(run.all[1]),
               Summarise(PairedRatios(run.ratios[4])), "noise (station column: a second floor program)"});
}

static void AddStepRows(Size size, const PaintRun &run)
{
    // Where the time goes: the station's steps against the floor's with the
    // palette, per paint (ratio of the medians).
    static const char *const STEP_NAMES[STEP_COUNT + 1] = {
        "step BeginPaint (erases)", "step SelectPalette+RealizePalette", "step FillRect", "step StretchDIBits",
        "step EndPaint", "step DefWindowProcA(WM_PAINT)", "step rest of the repaint"};
    for (int step = 0; step <= STEP_COUNT; ++step) {
        Row row{"paint", size, STEP_NAMES[step], "ms", Summarise(run.steps[0][step]), Summarise(run.steps[2][step]),
                Figure(), "no goal (floor column: floor +palette)"};
        if (row.station.present && row.floor.present && row.floor.median > 0) {
            row.ratio = Summarise({row.station.median / row.floor.median});
        }
        AddRow(row);
    }
}

void Paint(const Plan &plan, Size size)
{
    Shared()->wantCrc = 0;
    for (int role = 0; role < ROLE_COUNT; ++role) {
        PostBlock(role, 1, size, 1);
    }
    AlignFloorWindow();
    PaintRun run;
    for (int round = 0; round < plan.paintRounds; ++round) {
        PaintRound(plan, round, &run);
    }
    // The station goes back on top for what follows.
    RaiseStation();
    AddPaintRows(size, run);
    AddStepRows(size, run);
}
