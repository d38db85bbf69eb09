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
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "benchshared.h"
#include "crc32.h"
#include "hostproto.h"
#include "xraydrv.h"
#include "xrayexports.h"

static const char *const HOST_CLASSES[HOST_COUNT] = {FRONT_END_CLASS, PHOTO_SERVER_CLASS};
static const char *const HOST_NAMES[HOST_COUNT] = {"front end", "photo server"};
static const char *const ROLE_NAMES[ROLE_COUNT] = {"station", "floor", "control floor"};

// Guards against a hang only; no figure depends on them.
static constexpr DWORD COMMAND_LIMIT_MS = 300000;
static constexpr DWORD START_LIMIT_MS = 60000;
static constexpr DWORD SIM_IMAGE_LIMIT_MS = 30000;
// Images in flight while posting back to back: the program always has the
// next one queued when it finishes one.
static constexpr int THROUGHPUT_OUTSTANDING = 3;
static constexpr double GOAL_RATIO = 1.10;

struct Size {
    int width;
    int height;
};
static const Size SIZES[] = {{512, 768}, {1024, 1536}, {1500, 2000}, {2048, 3072}};
static const Size MEMORY_SIZE = {2048, 3072};

struct Plan {
    std::vector<Size> sizes;
    std::vector<int> throughputBlocks;  // per program, alternating; they add up to the run
    std::vector<int> memoryPoints;      // images of MEMORY_SIZE after which memory is read
    int latencyRounds;
    int latencyBlock;
    int paintRounds;
    int paintBlock;
    int simRepeats;
};

static BenchShared *shared;
static HANDLE goEvents[ROLE_COUNT];
static HANDLE doneEvents[ROLE_COUNT];
static HWND programWindows[ROLE_COUNT];
static PROCESS_INFORMATION programs[ROLE_COUNT];
static HWND hostWindows[HOST_COUNT];
static double msPerTick;
static bool failures;
static bool judging = true;  // a smoke run's single samples are not held to the goals

static uint32_t BlockBytes(Size size)
{
    return 40 + 1024 + ((size.width + 3u) & ~3u) * size.height;
}

// ---------------------------------------------------------------------------
// The hosts

static LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != WM_COPYDATA) {
        return DefWindowProcA(window, message, wParam, lParam);
    }
    const int64_t stamp = Now();
    const COPYDATASTRUCT *record = reinterpret_cast<const COPYDATASTRUCT *>(lParam);
    const int host = window == hostWindows[HOST_FRONT_END] ? HOST_FRONT_END : HOST_PHOTO_SERVER;
    BenchArrival arrival = {};
    arrival.stamp = stamp;
    arrival.role = shared->currentRole;
    arrival.size = record->cbData;
    const BYTE *data = static_cast<const BYTE *>(record->lpData);
    if (data != nullptr && record->cbData >= 4) {
        memcpy(&arrival.seq, data + record->cbData - 4, 4);
    }
    if (shared->wantCrc && data != nullptr) {
        // The sender goes on at once; the payload stays ours until we return.
        ReplyMessage(TRUE);
        arrival.crc = Crc32(data, record->cbData);
    }
    const LONG index = shared->arrivals[host];
    if (index < MAX_POSTS) {
        shared->received[host][index] = arrival;
    }
    InterlockedIncrement(&shared->arrivals[host]);
    return TRUE;
}

static DWORD WINAPI HostThread(LPVOID parameter)
{
    const int host = static_cast<int>(reinterpret_cast<INT_PTR>(parameter));
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = HostWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = HOST_CLASSES[host];
    RegisterClassA(&windowClass);
    // Never shown: the hosts must not cover the programs' windows.
    HWND window = CreateWindowExA(0, HOST_CLASSES[host], HOST_NAMES[host], WS_OVERLAPPED, 0, 0,
                                  100, 100, nullptr, nullptr, windowClass.hInstance, nullptr);
    InterlockedExchangePointer(reinterpret_cast<void **>(&hostWindows[host]), window);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        DispatchMessageA(&message);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Driving the programs

static bool Command(int role, BenchCommand command, int count, Size size, int outstanding)
{
    BenchRoleState &state = shared->roles[role];
    state.command = command;
    state.count = count;
    state.width = size.width;
    state.height = size.height;
    state.outstanding = outstanding;
    InterlockedExchange(&shared->currentRole, role);
    SetEvent(goEvents[role]);
    if (WaitForSingleObject(doneEvents[role], COMMAND_LIMIT_MS) != WAIT_OBJECT_0 || state.failed) {
        fprintf(stderr, "bench: %s: command %d failed\n", ROLE_NAMES[role], command);
        failures = true;
        return false;
    }
    return true;
}

struct Block {
    int role;
    LONG firstSeq;
    LONG endSeq;
    LONG firstArrival[HOST_COUNT];
    LONG endArrival[HOST_COUNT];
};

static Block PostBlock(int role, int count, Size size, int outstanding)
{
    Block block;
    block.role = role;
    block.firstSeq = shared->nextSeq + 1;
    for (int host = 0; host < HOST_COUNT; ++host) {
        block.firstArrival[host] = shared->arrivals[host];
    }
    Command(role, CMD_POST, count, size, outstanding);
    block.endSeq = std::min<LONG>(shared->nextSeq + 1, MAX_POSTS);
    for (int host = 0; host < HOST_COUNT; ++host) {
        block.endArrival[host] = std::min<LONG>(LONG{shared->arrivals[host]}, MAX_POSTS);
    }
    return block;
}

// What reached one host against what was posted: by CRC-32 of the whole
// payload when the hosts took it, else by the sequence number and size.
struct Tally {
    int posted = 0;
    int lost = 0;
    int duplicated = 0;
    int reordered = 0;
    int corrupt = 0;
    int Faults() const { return lost + duplicated + reordered + corrupt; }
};

static void Account(const Block &block, int host, bool byCrc, Tally *tally)
{
    const LONG count = block.endSeq - block.firstSeq;
    std::map<uint32_t, LONG> byChecksum;
    for (LONG seq = block.firstSeq; seq < block.endSeq; ++seq) {
        byChecksum[shared->posts[seq].crc] = seq;
    }
    std::vector<int> seen(count > 0 ? count : 0, 0);
    LONG latest = 0;
    for (LONG k = block.firstArrival[host]; k < block.endArrival[host]; ++k) {
        const BenchArrival &arrival = shared->received[host][k];
        LONG seq = 0;
        if (byCrc) {
            auto found = byChecksum.find(arrival.crc);
            seq = found != byChecksum.end() ? found->second : 0;
        } else if (static_cast<LONG>(arrival.seq) >= block.firstSeq &&
                   static_cast<LONG>(arrival.seq) < block.endSeq) {
            seq = arrival.seq;
        }
        if (seq == 0 || arrival.size != shared->posts[seq].size) {
            ++tally->corrupt;
            continue;
        }
        if (seen[seq - block.firstSeq]++ != 0) {
            ++tally->duplicated;
        } else if (seq < latest) {
            ++tally->reordered;
        }
        latest = std::max(latest, seq);
    }
    tally->posted += count;
    tally->lost += static_cast<int>(std::count(seen.begin(), seen.end(), 0));
}

// Milliseconds from each post to its arrival at the host.
static std::vector<double> Latencies(const Block &block, int host)
{
    std::vector<double> result;
    for (LONG k = block.firstArrival[host]; k < block.endArrival[host]; ++k) {
        const BenchArrival &arrival = shared->received[host][k];
        const LONG seq = arrival.seq;
        if (seq >= block.firstSeq && seq < block.endSeq) {
            result.push_back((arrival.stamp - shared->posts[seq].stamp) * msPerTick);
        }
    }
    return result;
}

// Images per second from the first post to the last arrival at the host
// served last.
static double Rate(const Block &block)
{
    const LONG count = block.endSeq - block.firstSeq;
    const LONG last = block.endArrival[HOST_PHOTO_SERVER] - 1;
    if (count <= 0 || last < block.firstArrival[HOST_PHOTO_SERVER]) {
        return 0.0;
    }
    const int64_t ticks = shared->received[HOST_PHOTO_SERVER][last].stamp - shared->posts[block.firstSeq].stamp;
    return ticks > 0 ? count / (ticks * msPerTick / 1000.0) : 0.0;
}

// ---------------------------------------------------------------------------
// Figures and the table

struct Figure {
    bool present = false;
    double median = 0.0;
    double min = 0.0;
    double max = 0.0;
    int samples = 0;
};

static double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

static Figure Summarise(const std::vector<double> &values)
{
    Figure figure;
    if (values.empty()) {
        return figure;
    }
    figure.present = true;
    figure.median = Median(values);
    figure.min = *std::min_element(values.begin(), values.end());
    figure.max = *std::max_element(values.begin(), values.end());
    figure.samples = static_cast<int>(values.size());
    return figure;
}

struct Row {
    std::string section;
    Size size;
    std::string measure;
    std::string unit;
    Figure station;
    Figure floor;
    Figure ratio;
    std::string goal;
};
static std::vector<Row> rows;

static std::string Verdict(const Figure &ratio, double limit)
{
    if (!ratio.present) {
        return "-";
    }
    if (!judging) {
        return "not judged";
    }
    return ratio.median <= limit ? "met" : "MISSED";
}

static std::string Cell(const Figure &figure)
{
    if (!figure.present) {
        return "";
    }
    char text[96];
    int digits = figure.max >= 1000 ? 0 : (figure.max >= 10 ? 1 : (figure.max >= 1 ? 2 : 3));
    snprintf(text, sizeof text, "%.*f [%.*f..%.*f]", digits, figure.median, digits, figure.min, digits,
             figure.max);
    return text;
}

static void PrintRow(const Row &row)
{
    char size[32];
    snprintf(size, sizeof size, "%dx%d", row.size.width, row.size.height);
    printf("%-10s %-10s %-34s %-7s %-28s %-28s %-24s %s\n", row.section.c_str(), size, row.measure.c_str(),
           row.unit.c_str(), Cell(row.station).c_str(), Cell(row.floor).c_str(), Cell(row.ratio).c_str(),
           row.goal.c_str());
    fflush(stdout);
}

static void AddRow(const Row &row)
{
    rows.push_back(row);
    PrintRow(row);
}

static void PrintHeading()
{
    printf("%-10s %-10s %-34s %-7s %-28s %-28s %-24s %s\n", "section", "size", "measure", "unit",
           "station median [min..max]", "floor median [min..max]", "station/floor [min..max]", "goal");
}

// A text field, quoted: measures and notes hold commas.
static std::string CsvText(const std::string &text)
{
    std::string quoted = "\"";
    for (char c : text) {
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return quoted + "\"";
}

static void WriteCsv(const char *path)
{
    FILE *file = fopen(path, "w");
    if (file == nullptr) {
        fprintf(stderr, "bench: cannot write %s\n", path);
        failures = true;
        return;
    }
    fprintf(file, "section,width,height,bytes,measure,unit,station_median,station_min,station_max,"
                  "floor_median,floor_min,floor_max,ratio_median,ratio_min,ratio_max,samples,goal\n");
    for (const Row &row : rows) {
        fprintf(file, "%s,%d,%d,%u,%s,%s", row.section.c_str(), row.size.width, row.size.height,
                BlockBytes(row.size), CsvText(row.measure).c_str(), CsvText(row.unit).c_str());
        for (const Figure *figure : {&row.station, &row.floor, &row.ratio}) {
            if (figure->present) {
                fprintf(file, ",%.4f,%.4f,%.4f", figure->median, figure->min, figure->max);
            } else {
                fprintf(file, ",,,");
            }
        }
        fprintf(file, ",%d,%s\n", row.station.samples, CsvText(row.goal).c_str());
    }
    fclose(file);
}

// ---------------------------------------------------------------------------
// The measurements

// Even rounds run station, floor, control; odd rounds the reverse.
static int RoleInTurn(int round, int turn) { return round % 2 == 0 ? turn : ROLE_COUNT - 1 - turn; }

// Rounds 2k and 2k+1 run any two programs in opposite orders; the geometric
// mean of their two ratios cancels whatever going first or second does to a
// block (A B B A). A single round stands alone.
static std::vector<double> PairedRatios(const std::vector<double> &perRound)
{
    if (perRound.size() == 1) {
        return perRound[0] > 0 ? perRound : std::vector<double>();
    }
    std::vector<double> paired;
    for (size_t i = 0; i + 1 < perRound.size(); i += 2) {
        if (perRound[i] > 0 && perRound[i + 1] > 0) {
            paired.push_back(std::sqrt(perRound[i] * perRound[i + 1]));
        }
    }
    return paired;
}

static double ReadMemory(int role)
{
    return Command(role, CMD_MEMORY, 0, MEMORY_SIZE, 0) ? shared->roles[role].committed / 1048576.0 : 0.0;
}

static void Throughput(const Plan &plan, Size size, bool readMemory)
{
    shared->wantCrc = 1;
    std::vector<double> rates[ROLE_COUNT];
    std::vector<double> ratios;
    std::vector<double> controlRatios;
    Tally tallies[ROLE_COUNT][HOST_COUNT];
    std::map<int, double> memory[ROLE_COUNT];
    int done[ROLE_COUNT] = {};
    if (readMemory) {
        for (int role = 0; role < ROLE_COUNT; ++role) {
            memory[role][0] = ReadMemory(role);
        }
    }
    for (size_t round = 0; round < plan.throughputBlocks.size(); ++round) {
        double rate[ROLE_COUNT] = {};
        for (int turn = 0; turn < ROLE_COUNT; ++turn) {
            const int role = RoleInTurn(static_cast<int>(round), turn);
            const Block block = PostBlock(role, plan.throughputBlocks[round], size, THROUGHPUT_OUTSTANDING);
            for (int host = 0; host < HOST_COUNT; ++host) {
                Account(block, host, true, &tallies[role][host]);
            }
            rate[role] = Rate(block);
            rates[role].push_back(rate[role]);
            done[role] += plan.throughputBlocks[round];
            if (readMemory && std::count(plan.memoryPoints.begin(), plan.memoryPoints.end(), done[role])) {
                memory[role][done[role]] = ReadMemory(role);
            }
        }
        ratios.push_back(rate[ROLE_STATION] > 0 ? rate[ROLE_FLOOR] / rate[ROLE_STATION] : 0.0);
        controlRatios.push_back(rate[ROLE_CONTROL] > 0 ? rate[ROLE_FLOOR] / rate[ROLE_CONTROL] : 0.0);
    }
    int total = 0;
    for (int n : plan.throughputBlocks) {
        total += n;
    }
    Row row{"throughput", size, "images/s, " + std::to_string(total) + " back to back", "img/s",
            Summarise(rates[ROLE_STATION]), Summarise(rates[ROLE_FLOOR]), Summarise(PairedRatios(ratios)), ""};
    row.goal = Verdict(row.ratio, GOAL_RATIO) + " (ratio: floor rate / station rate)";
    AddRow(row);
    AddRow(Row{"throughput", size, "A/A: control floor vs floor", "img/s", Summarise(rates[ROLE_CONTROL]),
               Summarise(rates[ROLE_FLOOR]), Summarise(PairedRatios(controlRatios)),
               "noise (station column: a second floor program)"});
    for (int host = 0; host < HOST_COUNT; ++host) {
        const Tally &s = tallies[ROLE_STATION][host];
        const Tally &f = tallies[ROLE_FLOOR][host];
        const Tally &c = tallies[ROLE_CONTROL][host];
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
            failures = true;
        }
    }
    if (!readMemory) {
        return;
    }
    const double blockMb = BlockBytes(size) / 1048576.0;
    for (int point : plan.memoryPoints) {
        if (!memory[ROLE_STATION].count(point) || !memory[ROLE_FLOOR].count(point)) {
            continue;
        }
        const double s = memory[ROLE_STATION][point];
        const double f = memory[ROLE_FLOOR][point];
        Figure difference = Summarise({(s - f) / blockMb});
        Row row{"memory", size, "committed private after " + std::to_string(point) + " images", "MB",
                Summarise({s}), Summarise({f}), difference, ""};
        row.goal = std::string(!judging ? "not judged" : difference.median <= 1.0 ? "met" : "MISSED") +
                   " (ratio column: difference in blocks)";
        AddRow(row);
    }
}

static void Latency(const Plan &plan, Size size)
{
    shared->wantCrc = 0;
    std::vector<double> all[ROLE_COUNT][HOST_COUNT];
    std::vector<double> ratios[HOST_COUNT];
    std::vector<double> controlRatios[HOST_COUNT];
    Tally tallies[ROLE_COUNT][HOST_COUNT];
    std::vector<double> steps[ROLE_COUNT][4];
    for (int round = 0; round < plan.latencyRounds; ++round) {
        double blockMedian[ROLE_COUNT][HOST_COUNT] = {};
        for (int turn = 0; turn < ROLE_COUNT; ++turn) {
            const int role = RoleInTurn(round, turn);
            const Block block = PostBlock(role, plan.latencyBlock, size, 1);
            const BenchRoleState &state = shared->roles[role];
            if (state.handled > 0) {
                const double road = state.roadTicks * msPerTick / state.handled;
                const double send = state.sendTicks * msPerTick / state.handled;
                steps[role][0].push_back(road);
                steps[role][1].push_back(send);
                steps[role][2].push_back(road - send);
                steps[role][3].push_back(static_cast<double>(state.copiedBytes) / BlockBytes(size) / state.handled);
            }
            for (int host = 0; host < HOST_COUNT; ++host) {
                Account(block, host, false, &tallies[role][host]);
                std::vector<double> times = Latencies(block, host);
                if (!times.empty()) {
                    blockMedian[role][host] = Median(times);
                    all[role][host].insert(all[role][host].end(), times.begin(), times.end());
                }
            }
        }
        for (int host = 0; host < HOST_COUNT; ++host) {
            ratios[host].push_back(blockMedian[ROLE_FLOOR][host] > 0
                                       ? blockMedian[ROLE_STATION][host] / blockMedian[ROLE_FLOOR][host]
                                       : 0.0);
            controlRatios[host].push_back(blockMedian[ROLE_FLOOR][host] > 0
                                              ? blockMedian[ROLE_CONTROL][host] / blockMedian[ROLE_FLOOR][host]
                                              : 0.0);
        }
    }
    for (int host = 0; host < HOST_COUNT; ++host) {
        Row row{"latency", size, std::string("post to ") + HOST_NAMES[host], "ms", Summarise(all[ROLE_STATION][host]),
                Summarise(all[ROLE_FLOOR][host]), Summarise(PairedRatios(ratios[host])), ""};
        row.goal = Verdict(row.ratio, GOAL_RATIO);
        for (int role = 0; role < ROLE_COUNT; ++role) {
            if (tallies[role][host].Faults() != 0) {
                row.goal += std::string("; ") + ROLE_NAMES[role] + " lost or mixed images";
                failures = true;
            }
        }
        AddRow(row);
        AddRow(Row{"latency", size, std::string("A/A: post to ") + HOST_NAMES[host], "ms",
                   Summarise(all[ROLE_CONTROL][host]), Summarise(all[ROLE_FLOOR][host]),
                   Summarise(PairedRatios(controlRatios[host])), "noise (station column: a second floor program)"});
    }
    // Inside each program, per image: its handling of the image message, the
    // part spent in SendMessageTimeoutA, the rest, and whole-block copies.
    static const char *const ROAD_STEPS[4] = {"road: image message handled", "road: in SendMessageTimeoutA",
                                              "road: own work (handled - sends)", "road: blocks copied by memcpy"};
    static const char *const ROAD_UNITS[4] = {"ms", "ms", "ms", "blocks"};
    for (int step = 0; step < 4; ++step) {
        Row row{"latency", size, ROAD_STEPS[step], ROAD_UNITS[step], Summarise(steps[ROLE_STATION][step]),
                Summarise(steps[ROLE_FLOOR][step]), Figure(), "no goal"};
        if (row.station.present && row.floor.present && row.floor.median > 0) {
            row.ratio = Summarise({row.station.median / row.floor.median});
        }
        AddRow(row);
    }
}

// Lays the floors' windows over the station's client area, the same size,
// so all paint the same region; the station then goes back on top.
static void AlignFloorWindow()
{
    HWND station = programWindows[ROLE_STATION];
    RECT client;
    GetClientRect(station, &client);
    POINT origin = {0, 0};
    ClientToScreen(station, &origin);
    for (int role : {ROLE_FLOOR, ROLE_CONTROL}) {
        HWND floor = programWindows[role];
        RECT frame = {origin.x, origin.y, origin.x + client.right, origin.y + client.bottom};
        AdjustWindowRectEx(&frame, GetWindowLongA(floor, GWL_STYLE), FALSE, GetWindowLongA(floor, GWL_EXSTYLE));
        SetWindowPos(floor, nullptr, frame.left, frame.top, frame.right - frame.left, frame.bottom - frame.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
    SetWindowPos(station, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

static std::vector<double> PaintTimes(int role, BenchCommand command, int count)
{
    std::vector<double> times;
    if (Command(role, command, count, Size{0, 0}, 0)) {
        const BenchRoleState &state = shared->roles[role];
        for (int i = 0; i < state.timeCount; ++i) {
            times.push_back(state.times[i] * msPerTick);
        }
    }
    return times;
}

static void Paint(const Plan &plan, Size size)
{
    shared->wantCrc = 0;
    for (int role = 0; role < ROLE_COUNT; ++role) {
        PostBlock(role, 1, size, 1);
    }
    AlignFloorWindow();
    // Five kinds, in one order in even rounds and the reverse in odd ones.
    struct Kind {
        int role;
        BenchCommand command;
    };
    constexpr int KINDS = 5;
    const Kind kinds[KINDS] = {{ROLE_STATION, CMD_PAINT},
                               {ROLE_FLOOR, CMD_PAINT},
                               {ROLE_FLOOR, CMD_PAINT_PALETTE},
                               {ROLE_FLOOR, CMD_BARE},
                               {ROLE_CONTROL, CMD_PAINT}};
    std::vector<double> all[KINDS];
    std::vector<double> ratios[KINDS];
    std::vector<double> steps[KINDS][STEP_COUNT + 1];
    for (int round = 0; round < plan.paintRounds; ++round) {
        double median[KINDS] = {};
        for (int turn = 0; turn < KINDS; ++turn) {
            const int k = round % 2 == 0 ? turn : KINDS - 1 - turn;
            std::vector<double> times = PaintTimes(kinds[k].role, kinds[k].command, plan.paintBlock);
            if (!times.empty()) {
                median[k] = Median(times);
                all[k].insert(all[k].end(), times.begin(), times.end());
                // Mean time per paint of each step in this block, and of the rest.
                double rest = 0.0;
                for (double t : times) {
                    rest += t;
                }
                for (int step = 0; step < STEP_COUNT; ++step) {
                    const double each = shared->roles[kinds[k].role].stepTicks[step] * msPerTick / times.size();
                    steps[k][step].push_back(each);
                    rest -= each * times.size();
                }
                steps[k][STEP_COUNT].push_back(rest / times.size());
            }
        }
        for (int other = 1; other < KINDS - 1; ++other) {
            ratios[other].push_back(median[other] > 0 ? median[0] / median[other] : 0.0);
        }
        ratios[KINDS - 1].push_back(median[1] > 0 ? median[KINDS - 1] / median[1] : 0.0);
    }
    // The station goes back on top for what follows.
    SetWindowPos(programWindows[ROLE_STATION], HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    Row versusFloor{"paint", size, "repaint vs floor erase+fill+draw", "ms", Summarise(all[0]), Summarise(all[1]),
                    Summarise(PairedRatios(ratios[1])), ""};
    versusFloor.goal = Verdict(versusFloor.ratio, GOAL_RATIO);
    AddRow(versusFloor);
    Row withPalette{"paint", size, "repaint vs floor +palette", "ms", Summarise(all[0]), Summarise(all[2]),
                    Summarise(PairedRatios(ratios[2])), ""};
    withPalette.goal = Verdict(withPalette.ratio, GOAL_RATIO) + " (floor also realises the grey palette)";
    AddRow(withPalette);
    AddRow(Row{"paint", size, "repaint vs bare StretchDIBits", "ms", Summarise(all[0]), Summarise(all[3]),
               Summarise(PairedRatios(ratios[3])), "no goal (floor column: bare StretchDIBits)"});
    AddRow(Row{"paint", size, "A/A: control floor vs floor", "ms", Summarise(all[4]), Summarise(all[1]),
               Summarise(PairedRatios(ratios[4])), "noise (station column: a second floor program)"});
    // Where the time goes: the station's steps against the floor's with the
    // palette, per paint (ratio of the medians).
    static const char *const STEP_NAMES[STEP_COUNT + 1] = {
        "step BeginPaint (erases)", "step SelectPalette+RealizePalette", "step FillRect", "step StretchDIBits",
        "step EndPaint", "step DefWindowProcA(WM_PAINT)", "step rest of the repaint"};
    for (int step = 0; step <= STEP_COUNT; ++step) {
        Row row{"paint", size, STEP_NAMES[step], "ms", Summarise(steps[0][step]), Summarise(steps[2][step]),
                Figure(), "no goal (floor column: floor +palette)"};
        if (row.station.present && row.floor.present && row.floor.median > 0) {
            row.ratio = Summarise({row.station.median / row.floor.median});
        }
        AddRow(row);
    }
}

// The simulated driver in this process: arming with a zero exposure to its
// image message arriving here.
static void SimulatorSpeed(const Plan &plan, const char *simPath)
{
    HMODULE sim = LoadLibraryA(simPath);
    if (sim == nullptr) {
        fprintf(stderr, "bench: cannot load %s (%lu)\n", simPath, GetLastError());
        failures = true;
        return;
    }
    auto open = reinterpret_cast<XRAYOpenFn>(reinterpret_cast<void *>(GetProcAddress(sim, XRAY_OPEN_EXPORT)));
    auto close = reinterpret_cast<XRAYCloseFn>(reinterpret_cast<void *>(GetProcAddress(sim, XRAY_CLOSE_EXPORT)));
    auto prepare = reinterpret_cast<XRAYPrepareAcquisitionFn>(
        reinterpret_cast<void *>(GetProcAddress(sim, XRAY_PREPARE_ACQUISITION_EXPORT)));
    auto binning = reinterpret_cast<bXRAYChangeBinningModeFn>(
        reinterpret_cast<void *>(GetProcAddress(sim, XRAY_CHANGE_BINNING_MODE_EXPORT)));
    HWND sink = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    if (open == nullptr || close == nullptr || prepare == nullptr || binning == nullptr || sink == nullptr) {
        fprintf(stderr, "bench: the simulated driver lacks an export\n");
        failures = true;
        FreeLibrary(sim);
        return;
    }
    // Standard 512 x 768 and its high resolution, then larger standard sizes.
    struct Case {
        Size standard;
        int mode;
    };
    std::vector<Case> cases;
    for (Size size : plan.sizes) {
        if (size.width == 1024 && size.height == 1536) {
            cases.push_back({{512, 768}, 1});
        } else {
            cases.push_back({size, 0});
        }
    }
    SetEnvironmentVariableA("XRAYSIM_EXPOSURE_MS", "0");
    SetEnvironmentVariableA("XRAYSIM_LOG", nullptr);
    SetEnvironmentVariableA("XRAYSIM_EVENTS", nullptr);
    for (const Case &c : cases) {
        SetEnvironmentVariableA("XRAYSIM_WIDTH", std::to_string(c.standard.width).c_str());
        SetEnvironmentVariableA("XRAYSIM_HEIGHT", std::to_string(c.standard.height).c_str());
        open(sink, XRAY_OPEN_VENDOR, XRAY_APPLICATION_CODE);
        binning(c.mode);
        std::vector<double> times;
        for (int i = 0; i < plan.simRepeats; ++i) {
            const int64_t start = Now();
            prepare();
            const DWORD deadline = GetTickCount() + SIM_IMAGE_LIMIT_MS;
            bool got = false;
            while (!got && static_cast<LONG>(deadline - GetTickCount()) > 0) {
                MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
                MSG message;
                while (PeekMessageA(&message, sink, 0, 0, PM_REMOVE)) {
                    if (message.message == WM_USER && message.wParam == XRAY_MSG_IMAGE) {
                        times.push_back((Now() - start) * msPerTick);
                        GlobalFree(reinterpret_cast<HGLOBAL>(message.lParam));
                        got = true;
                    }
                }
            }
            if (!got) {
                fprintf(stderr, "bench: no image from the simulated driver\n");
                failures = true;
                break;
            }
        }
        close();
        const Size made = {c.standard.width << c.mode, c.standard.height << c.mode};
        AddRow(Row{"simulator", made, c.mode ? "arm to image, high resolution" : "arm to image", "ms",
                   Summarise(times), Figure(), Figure(), "no goal (xraysim.dll, zero exposure)"});
    }
    DestroyWindow(sink);
    FreeLibrary(sim);
}

// ---------------------------------------------------------------------------
// Set-up

static bool StartProgram(int role, const char *path)
{
    SetEnvironmentVariableA(BENCH_ROLE_VARIABLE, std::to_string(role).c_str());
    std::string commandLine = std::string("\"") + path + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &programs[role])) {
        fprintf(stderr, "bench: cannot start %s (%lu)\n", path, GetLastError());
        return false;
    }
    const DWORD start = GetTickCount();
    for (;;) {
        HWND window = reinterpret_cast<HWND>(static_cast<LONG_PTR>(shared->roles[role].window));
        if (shared->roles[role].opened && window != nullptr && IsWindowVisible(window)) {
            programWindows[role] = window;
            return true;
        }
        if (GetTickCount() - start > START_LIMIT_MS ||
            WaitForSingleObject(programs[role].hProcess, 0) == WAIT_OBJECT_0) {
            fprintf(stderr, "bench: %s did not open the bench driver on a visible window\n", path);
            return false;
        }
        Sleep(20);
    }
}

static void StopPrograms()
{
    for (int role = 0; role < ROLE_COUNT; ++role) {
        if (programs[role].hProcess == nullptr) {
            continue;
        }
        if (programWindows[role] != nullptr) {
            PostMessageA(programWindows[role], WM_CLOSE, 0, 0);
        }
        if (WaitForSingleObject(programs[role].hProcess, 30000) != WAIT_OBJECT_0) {
            fprintf(stderr, "bench: %s did not close; ended\n", ROLE_NAMES[role]);
            TerminateProcess(programs[role].hProcess, 1);
            failures = true;
        }
        DWORD code = 0;
        if (GetExitCodeProcess(programs[role].hProcess, &code) && code != 0) {
            fprintf(stderr, "bench: %s ended with code %lu\n", ROLE_NAMES[role], code);
            failures = true;
        }
        CloseHandle(programs[role].hProcess);
        CloseHandle(programs[role].hThread);
    }
}

static bool StartShared()
{
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(BenchShared),
                                        BENCH_MAPPING_NAME);
    if (mapping == nullptr) {
        return false;
    }
    shared = static_cast<BenchShared *>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(BenchShared)));
    if (shared == nullptr) {
        return false;
    }
    memset(shared, 0, sizeof(BenchShared));
    for (int role = 0; role < ROLE_COUNT; ++role) {
        char name[64];
        snprintf(name, sizeof name, BENCH_GO_EVENT, role);
        goEvents[role] = CreateEventA(nullptr, FALSE, FALSE, name);
        snprintf(name, sizeof name, BENCH_DONE_EVENT, role);
        doneEvents[role] = CreateEventA(nullptr, FALSE, FALSE, name);
        if (goEvents[role] == nullptr || doneEvents[role] == nullptr) {
            return false;
        }
    }
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    msPerTick = 1000.0 / frequency.QuadPart;
    return true;
}

static bool StartHosts()
{
    for (int host = 0; host < HOST_COUNT; ++host) {
        HANDLE thread = CreateThread(nullptr, 0, HostThread, reinterpret_cast<LPVOID>(static_cast<INT_PTR>(host)),
                                     0, nullptr);
        if (thread == nullptr) {
            return false;
        }
        CloseHandle(thread);
    }
    const DWORD start = GetTickCount();
    while (hostWindows[HOST_FRONT_END] == nullptr || hostWindows[HOST_PHOTO_SERVER] == nullptr) {
        if (GetTickCount() - start > START_LIMIT_MS) {
            return false;
        }
        Sleep(10);
    }
    return true;
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
    auto wanted = [only](const char *section) { return only == nullptr || strcmp(only, section) == 0; };
    Plan plan;
    if (smoke) {
        plan = Plan{{SIZES[0]}, {1}, {0, 1}, 1, 1, 1, 1, 1};
    } else {
        plan = Plan{std::vector<Size>(std::begin(SIZES), std::end(SIZES)), std::vector<int>(30, 10), {0, 10, 100, 300},
                    20, 2, 12, 6, 5};
    }
    const Size memorySize = smoke ? SIZES[0] : MEMORY_SIZE;
    judging = !smoke;

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

    // Memory is read from fresh programs, so the largest size comes first.
    if (wanted("throughput")) {
        Throughput(plan, memorySize, true);
        for (Size size : plan.sizes) {
            if (size.width != memorySize.width || size.height != memorySize.height) {
                Throughput(plan, size, false);
            }
        }
    }
    for (Size size : plan.sizes) {
        if (wanted("latency")) {
            Latency(plan, size);
        }
    }
    for (Size size : plan.sizes) {
        if (wanted("paint")) {
            Paint(plan, size);
        }
    }
    StopPrograms();
    if (wanted("simulator")) {
        SimulatorSpeed(plan, argv[3]);
    }

    WriteCsv(argv[4]);
    printf("bench: %s run in %.0f s%s\n", smoke ? "smoke" : "full", (Now() - begin) * msPerTick / 1000.0,
           failures ? "; FAILURES above" : "");
    fflush(stdout);
    // The host threads are still pumping: leave without waiting for them.
    ExitProcess(failures ? 1 : 0);
}
