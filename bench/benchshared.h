// What the benchmark's processes share: one named file mapping that
// bench.exe creates and the bench driver maps in the station and in the
// floor program, plus two named auto-reset events per role (a command is
// ready, the command is done). Times are QueryPerformanceCounter ticks,
// one clock for every process on the machine.
#pragma once

#include <windows.h>

#include <cstdint>

// The clock every process of the benchmark stamps with.
inline int64_t Now()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

constexpr char BENCH_MAPPING_NAME[] = "CapBenchShared";
constexpr char BENCH_GO_EVENT[] = "CapBenchGo%d";
constexpr char BENCH_DONE_EVENT[] = "CapBenchDone%d";
constexpr char BENCH_ROLE_VARIABLE[] = "CAPBENCH_ROLE";
// Registered window message the bench driver handles in the program's own
// window procedure (a subclass) to time painting on the GUI thread.
constexpr char BENCH_PAINT_MESSAGE[] = "CapBenchPaint";
// Registered window message that turns the floor's palette step on
// (wParam 1) or off (wParam 0).
constexpr char BENCH_FLOOR_PALETTE_MESSAGE[] = "CapBenchFloorPalette";

// The control is a second floor program: the floor against itself shows how
// far two equal programs drift apart under the machine's load.
enum BenchRole { ROLE_STATION = 0, ROLE_FLOOR = 1, ROLE_CONTROL = 2, ROLE_COUNT = 3 };
enum BenchHost { HOST_FRONT_END = 0, HOST_PHOTO_SERVER = 1, HOST_COUNT = 2 };

enum BenchCommand : int32_t {
    CMD_NONE = 0,
    CMD_POST = 1,    // post count images of width x height, at most window outstanding
    CMD_PAINT = 2,   // time count repaints of the program's window
    CMD_BARE = 3,    // time count bare StretchDIBits of the driver's image into the window
    CMD_MEMORY = 4,  // committed private bytes of the process
    CMD_PAINT_PALETTE = 5,  // as CMD_PAINT, the floor realising a grey palette in each paint
};

// Steps of a repaint, timed through the program's import table while the
// bench driver times paints.
enum BenchStep {
    STEP_BEGIN_PAINT,
    STEP_PALETTE,
    STEP_FILL,
    STEP_DRAW,
    STEP_END_PAINT,
    STEP_DEFAULT_PAINT,  // WM_PAINT handed on to DefWindowProcA after the program's own
    STEP_COUNT
};

constexpr int MAX_POSTS = 8192;
constexpr int MAX_TIMES = 64;

struct BenchPost {
    int64_t stamp;  // just before PostMessageA
    uint32_t crc;   // CRC-32 of the whole block
    uint32_t size;  // GlobalSize of the block
    int32_t role;
};

struct BenchArrival {
    int64_t stamp;  // as WM_COPYDATA entered the host's window procedure
    uint32_t seq;   // the sequence number the driver wrote in the last 4 bytes
    uint32_t crc;   // CRC-32 of the cbData bytes, when asked for
    uint32_t size;  // cbData
    int32_t role;   // the program the bench was driving when it came
};

struct BenchRoleState {
    volatile LONG opened;   // XRAYOpen has run
    volatile LONG window;   // the window XRAYOpen was given
    // The command, written by bench.exe before it sets the go event.
    int32_t command;
    int32_t count;
    int32_t width;
    int32_t height;
    int32_t outstanding;  // most images posted and not yet at both hosts
    // Results, valid once the done event is set.
    int32_t failed;          // the command could not be carried out
    int32_t timeCount;
    int64_t times[MAX_TIMES];  // ticks of each timed paint
    int64_t stepTicks[STEP_COUNT];  // summed over the timed paints
    // The image road inside the program, summed over one post command:
    // its handling of the driver's image message, the part of it spent in
    // SendMessageTimeoutA, and the memcpy calls of a block's size or more.
    int64_t roadTicks;
    int64_t sendTicks;
    int64_t copiedBytes;
    int32_t copies;
    int32_t handled;
    int64_t committed;         // bytes
};

struct BenchShared {
    volatile LONG nextSeq;      // sequence numbers handed out, the first is 1
    volatile LONG currentRole;  // whose images the hosts are getting now
    volatile LONG wantCrc;      // hosts checksum what they get
    volatile LONG arrivals[HOST_COUNT];
    BenchRoleState roles[ROLE_COUNT];
    BenchPost posts[MAX_POSTS];  // by sequence number
    BenchArrival received[HOST_COUNT][MAX_POSTS];
};
