// xraysim.dll: a simulated intra-oral X-ray sensor driver. It keeps the
// driver contract of xraydrv.h without hardware: XRAYOpen remembers the
// window, XRAYPrepareAcquisition arms one exposure, and a worker thread
// delivers each finished image as a WM_USER/XRAY_MSG_IMAGE message carrying a
// movable global block that holds a packed 8-bit DIB with a synthetic
// radiograph, or a replayed .bmp file. At each XRAYOpen it reads the
// station's "Synchro" switch from HKCR\VESTRA\ZRK, as a real driver does:
// "1" opens in HBX mode, where a generator triggers each exposure and no
// arming is needed; anything else, or no value, in standalone mode. Settings
// come from XRAYSIM_* environment variables read at each XRAYOpen (see
// README.md); XRAYSIM_MODE overrides the switch, and they can also
// make it behave like the faulty drivers met in the field: deliver nothing,
// bursts, events, SendMessageA from the worker, careless block layouts, and
// images every interval in synchronised mode.
//
// Threads: the caller's thread runs the exports; one worker per open waits
// for armed exposures and posts to the window. Only the SendMessageA fault
// sends; XRAYClose then joins the worker while it takes sent messages, so
// the join cannot deadlock with a send in progress.
// The worker holds a reference on this DLL, so a caller that frees the
// library without XRAYClose cannot pull the code out from under it.
#include <windows.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "crc32.h"
#include "xraydrv.h"

// ---------------------------------------------------------------------------
// Settings

constexpr int DEFAULT_MODE = XRAY_MODE_STANDALONE;
constexpr int DEFAULT_WIDTH = 512;
constexpr int DEFAULT_HEIGHT = 768;
constexpr int MIN_SIDE = 16;
constexpr int MAX_SIDE = 4096;  // standard size; high resolution doubles it
constexpr int DEFAULT_EXPOSURE_MS = 300;
constexpr int MAX_EXPOSURE_MS = 60000;
constexpr double DEFAULT_RESOLUTION_FIRST = 20.5;
constexpr double DEFAULT_RESOLUTION_SECOND = 10.0;
constexpr int MAX_EVENTS = 16;
constexpr int MAX_BURST = 1000;
constexpr int MIN_INTERVAL_MS = 20;
constexpr int MAX_INTERVAL_MS = 600000;
constexpr int DEFAULT_INTERVAL_MS = 5000;  // the generator's pace in HBX mode

// The station's switch: Opzioni > HBX writes "Synchro" here ("1" HBX, "2"
// standalone) before it reopens the driver.
constexpr char SENSOR_KEY[] = "VESTRA\\ZRK";
constexpr char SYNCHRO_VALUE[] = "Synchro";

// How each image is delivered: the contract, or one of the faults of a
// careless driver.
enum class Fault {
    None,
    Silent,       // arming is accepted, no image ever comes
    SendMessage,  // SendMessageA from the worker instead of PostMessageA
    TopDown,      // negative biHeight, first row in memory the top one
    Bits16,       // 16 bits a pixel (5-5-5), no colour table
    Bits24,       // 24 bits a pixel, no colour table
    ShortTable,   // 8 bits with a colour table of 16 entries
    ShortBlock,   // the block a few bytes shorter than its rows need
    OverClaim,    // the header claims twice the rows the block holds
};

struct FaultName {
    const char *name;
    Fault fault;
};
constexpr FaultName FAULT_NAMES[] = {
    {"none", Fault::None},           {"silent", Fault::Silent},         {"sendmessage", Fault::SendMessage},
    {"topdown", Fault::TopDown},     {"16bit", Fault::Bits16},          {"24bit", Fault::Bits24},
    {"shorttable", Fault::ShortTable}, {"shortblock", Fault::ShortBlock}, {"overclaim", Fault::OverClaim},
};
constexpr int SHORT_TABLE_ENTRIES = 16;
constexpr DWORD SHORT_BLOCK_MISSING = 6;

struct Settings {
    int mode;
    int width;  // standard resolution; high resolution is twice each side
    int height;
    int exposureMs;
    double resolutionFirst;
    double resolutionSecond;
    int eventCount;
    LPARAM events[MAX_EVENTS];
    char logPath[MAX_PATH];
    char replayPath[MAX_PATH];
    Fault fault;
    int burst;           // images per exposure
    int eventAfter;      // post eventAfterCode once after this many images (0: never)
    LPARAM eventAfterCode;
    int intervalMs;      // mode 1: an image every interval without arming
};

// Copies an environment variable; false when it is unset or too long.
// GetEnvironmentVariableA, not getenv: the C runtime keeps its own copy of
// the environment, which SetEnvironmentVariableA in the host does not reach.
static bool ReadVariable(const char *name, char *text, DWORD size)
{
    DWORD length = GetEnvironmentVariableA(name, text, size);
    return length > 0 && length < size;
}

// A whole decimal integer within [low, high], nothing else in the text.
static bool ParseInteger(const char *text, long long low, long long high, long long *value)
{
    char *end = nullptr;
    errno = 0;
    long long parsed = strtoll(text, &end, 10);
    if (end == text || errno == ERANGE || parsed < low || parsed > high) {
        return false;
    }
    while (*end == ' ') {
        ++end;
    }
    if (*end != '\0') {
        return false;
    }
    *value = parsed;
    return true;
}

static void ReadIntSetting(const char *name, long long low, long long high, int *value)
{
    char text[64];
    long long parsed;
    if (ReadVariable(name, text, sizeof text) && ParseInteger(text, low, high, &parsed)) {
        *value = static_cast<int>(parsed);
    }
}

// "first,second": two finite numbers; both or neither are taken.
static void ReadResolution(Settings *s)
{
    char text[128];
    if (!ReadVariable("XRAYSIM_RESOLUTION", text, sizeof text)) {
        return;
    }
    char *end = nullptr;
    double first = strtod(text, &end);
    if (end == text || *end != ',') {
        return;
    }
    const char *rest = end + 1;
    double second = strtod(rest, &end);
    if (end == rest || *end != '\0' || !std::isfinite(first) || !std::isfinite(second)) {
        return;
    }
    s->resolutionFirst = first;
    s->resolutionSecond = second;
}

// A comma list of event codes ("12" or "1,12"); any bad entry drops the list.
static void ReadEvents(Settings *s)
{
    char text[512];
    if (!ReadVariable("XRAYSIM_EVENTS", text, sizeof text)) {
        return;
    }
    LPARAM codes[MAX_EVENTS];
    int count = 0;
    char *item = text;
    for (;;) {
        char *comma = strchr(item, ',');
        if (comma != nullptr) {
            *comma = '\0';
        }
        long long code;
        // Codes travel in lParam: any 32-bit value, signed or unsigned.
        if (count == MAX_EVENTS || !ParseInteger(item, INT32_MIN, UINT32_MAX, &code)) {
            return;
        }
        codes[count++] = static_cast<LPARAM>(static_cast<uint32_t>(code));
        if (comma == nullptr) {
            break;
        }
        item = comma + 1;
    }
    memcpy(s->events, codes, sizeof codes);
    s->eventCount = count;
}

static void ReadFault(Settings *s)
{
    char text[32];
    if (!ReadVariable("XRAYSIM_FAULT", text, sizeof text)) {
        return;
    }
    for (const FaultName &f : FAULT_NAMES) {
        if (_stricmp(text, f.name) == 0) {
            s->fault = f.fault;
        }
    }
}

// "N,CODE": after the Nth image since the open, the event CODE, once.
static void ReadEventAfter(Settings *s)
{
    char text[64];
    if (!ReadVariable("XRAYSIM_EVENT_AFTER", text, sizeof text)) {
        return;
    }
    char *comma = strchr(text, ',');
    long long count, code;
    if (comma == nullptr) {
        return;
    }
    *comma = '\0';
    if (ParseInteger(text, 1, INT32_MAX, &count) && ParseInteger(comma + 1, INT32_MIN, UINT32_MAX, &code)) {
        s->eventAfter = static_cast<int>(count);
        s->eventAfterCode = static_cast<LPARAM>(static_cast<uint32_t>(code));
    }
}

// The mode the station's switch asks for: HBX when "Synchro" reads as 1, as
// the station reads it; standalone when it says anything else or is absent.
static int SynchroMode()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, SENSOR_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return DEFAULT_MODE;
    }
    char text[16] = "";
    DWORD size = sizeof text - 1;
    LONG read = RegQueryValueExA(key, SYNCHRO_VALUE, nullptr, nullptr, reinterpret_cast<BYTE *>(text), &size);
    RegCloseKey(key);
    return read == ERROR_SUCCESS && atoi(text) == 1 ? XRAY_MODE_HBX : DEFAULT_MODE;
}

static Settings ReadSettings()
{
    Settings s = {};
    s.mode = SynchroMode();
    s.width = DEFAULT_WIDTH;
    s.height = DEFAULT_HEIGHT;
    s.exposureMs = DEFAULT_EXPOSURE_MS;
    s.resolutionFirst = DEFAULT_RESOLUTION_FIRST;
    s.resolutionSecond = DEFAULT_RESOLUTION_SECOND;
    ReadIntSetting("XRAYSIM_MODE", INT32_MIN, INT32_MAX, &s.mode);
    ReadIntSetting("XRAYSIM_WIDTH", MIN_SIDE, MAX_SIDE, &s.width);
    ReadIntSetting("XRAYSIM_HEIGHT", MIN_SIDE, MAX_SIDE, &s.height);
    ReadIntSetting("XRAYSIM_EXPOSURE_MS", 0, MAX_EXPOSURE_MS, &s.exposureMs);
    ReadResolution(&s);
    ReadEvents(&s);
    if (!ReadVariable("XRAYSIM_LOG", s.logPath, sizeof s.logPath)) {
        s.logPath[0] = '\0';
    }
    if (!ReadVariable("XRAYSIM_REPLAY", s.replayPath, sizeof s.replayPath)) {
        s.replayPath[0] = '\0';
    }
    s.fault = Fault::None;
    ReadFault(&s);
    s.burst = 1;
    ReadIntSetting("XRAYSIM_BURST", 1, MAX_BURST, &s.burst);
    ReadEventAfter(&s);
    s.intervalMs = DEFAULT_INTERVAL_MS;
    ReadIntSetting("XRAYSIM_INTERVAL_MS", MIN_INTERVAL_MS, MAX_INTERVAL_MS, &s.intervalMs);
    return s;
}

// ---------------------------------------------------------------------------
// The synthetic radiograph
//
// The scene is laid out in design units on a 512 x 768 portrait sensor,
// y growing downwards as the picture is seen upright: three lower teeth with
// their crowns up, roots down into the alveolar bone, and a periapical
// lesion at the middle tooth's root tip. Every pixel maps to design units,
// so other sizes show the same picture scaled. Whatever depends on one
// coordinate only is worked out once per row or per column.

constexpr float DESIGN_WIDTH = 512.0f;
constexpr float DESIGN_HEIGHT = 768.0f;
constexpr BYTE MARKER_LEVEL = 255;
constexpr float BRIGHTEST_ANATOMY = 240.0f;  // the marker alone reaches 255

struct Tooth {
    float centre;     // x of the long axis at the neck
    float tilt;       // x shift per unit of y
    float top;        // incisal or occlusal edge
    float neck;       // cemento-enamel junction
    float apex;       // root tip
    float halfWidth;  // widest half-width of the crown
};

constexpr int TOOTH_COUNT = 3;
constexpr Tooth TEETH[TOOTH_COUNT] = {
    {104.0f, -0.05f, 150.0f, 330.0f, 640.0f, 68.0f},
    {262.0f, 0.02f, 135.0f, 325.0f, 675.0f, 72.0f},
    {418.0f, 0.06f, 158.0f, 335.0f, 630.0f, 66.0f},
};
constexpr int LESION_TOOTH = 1;
constexpr float LESION_RADIUS = 34.0f;

// Grey levels added by each tissue over the air in front of the teeth.
constexpr float AIR_LEVEL = 22.0f;
constexpr float SOFT_TISSUE = 30.0f;
constexpr float BONE = 80.0f;
constexpr float DENTINE = 135.0f;
constexpr float ENAMEL = 75.0f;
constexpr float PULP = -65.0f;
constexpr float NOISE_SPREAD = 4.0f;

// The orientation mark: an upright "L" in the top-left corner, so a viewer
// can tell a flipped or mirrored picture at a glance.
static bool InMarker(float x, float y)
{
    bool stem = x >= 16.0f && x < 28.0f && y >= 16.0f && y < 80.0f;
    bool foot = x >= 16.0f && x < 56.0f && y >= 68.0f && y < 80.0f;
    return stem || foot;
}

static float Clamp01(float v)
{
    return v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v);
}

// 1 well inside a half-width, 0 outside, a soft edge about two units wide;
// nothing at all for a width of zero.
static float Inside(float halfWidth, float distance)
{
    return halfWidth > 0.0f ? Clamp01((halfWidth - distance) * 0.5f + 0.5f) : 0.0f;
}

static uint32_t Hash(uint32_t x, uint32_t y)
{
    uint32_t h = x * 374761393u + y * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return h ^ (h >> 16);
}

// Smooth value noise in [0, 1) on a lattice of `cell` design units over the
// whole sensor: the trabecular pattern of the bone. Fixed, like the anatomy
// it stands for, and tabulated once per image.
struct NoiseGrid {
    float cell;
    int columns;
    std::vector<float> values;
};

static NoiseGrid MakeNoiseGrid(float cell, uint32_t salt)
{
    NoiseGrid grid;
    grid.cell = cell;
    grid.columns = static_cast<int>(DESIGN_WIDTH / cell) + 2;
    int rows = static_cast<int>(DESIGN_HEIGHT / cell) + 2;
    grid.values.resize(static_cast<size_t>(grid.columns) * rows);
    for (int j = 0; j < rows; ++j) {
        for (int i = 0; i < grid.columns; ++i) {
            grid.values[static_cast<size_t>(j) * grid.columns + i] =
                static_cast<float>(Hash(i + salt, j) >> 8) * (1.0f / 16777216.0f);
        }
    }
    return grid;
}

static float SampleNoise(const NoiseGrid &grid, float x, float y)
{
    float fx = x / grid.cell;
    float fy = y / grid.cell;
    int ix = static_cast<int>(fx);  // x and y are never negative
    int iy = static_cast<int>(fy);
    float tx = fx - static_cast<float>(ix);
    float ty = fy - static_cast<float>(iy);
    tx = tx * tx * (3.0f - 2.0f * tx);
    ty = ty * ty * (3.0f - 2.0f * ty);
    const float *p = &grid.values[static_cast<size_t>(iy) * grid.columns + ix];
    float top = p[0] + (p[1] - p[0]) * tx;
    float bottom = p[grid.columns] + (p[grid.columns + 1] - p[grid.columns]) * tx;
    return top + (bottom - top) * ty;
}

// Quantum noise: xorshift32 seeded by the image's sequence number.
static uint32_t NextRandom(uint32_t *state)
{
    uint32_t x = *state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    *state = x;
    return x;
}

// Roughly Gaussian, mean 0, about one unit of spread.
static float NoiseSample(uint32_t *state)
{
    float sum = 0.0f;
    for (int i = 0; i < 3; ++i) {
        sum += static_cast<float>(NextRandom(state) >> 8) * (1.0f / 16777216.0f);
    }
    return (sum - 1.5f) * 2.0f;
}

// Half-widths of one tooth's outline, dentine core and pulp at a row.
struct ToothRow {
    bool present;  // the row crosses the tooth
    bool root;     // below the neck: the root sits in bone
    float axis;    // x of the long axis at this row
    float outer;   // outline
    float core;    // dentine under the enamel cap
    float pulp;    // pulp chamber or root canal
};

static ToothRow MeasureTooth(const Tooth &t, float y)
{
    ToothRow r = {};
    r.axis = t.centre + t.tilt * (y - t.neck);
    if (y < t.top || y > t.apex) {
        return r;
    }
    r.present = true;
    if (y <= t.neck) {
        // Crown: rounded at the biting edge, widest a third of the way
        // down, narrowing to the neck; the dentine under the enamel is a
        // dome.
        float u = (y - t.top) / (t.neck - t.top);
        float edge = 1.0f - u / 0.3f;
        float narrowing = (u - 0.3f) / 0.7f;
        float shape = u < 0.3f ? std::sqrt(1.0f - edge * edge) : 1.0f - 0.3f * narrowing * narrowing;
        r.outer = t.halfWidth * shape;
        float enamel = 13.0f * (1.0f - u) + 2.0f;
        r.core = (r.outer - enamel) * std::sqrt(Clamp01((y - t.top - 12.0f) / 30.0f));
        if (u > 0.45f) {
            r.pulp = 20.0f * std::sqrt(std::sin((u - 0.45f) / 0.55f * 1.5708f));
        }
    } else {
        // Root: tapering from the neck to a rounded tip, the canal with it.
        float u = (y - t.neck) / (t.apex - t.neck);
        r.root = true;
        r.outer = 0.7f * t.halfWidth * std::pow(1.0f - u, 0.6f);
        r.core = r.outer;
        if (u < 0.95f) {
            r.pulp = 14.0f * (1.0f - u) * (1.0f - u) + 2.5f * (1.0f - u / 0.95f) + 1.5f;
        }
        if (u < 0.1f) {
            r.pulp += (20.0f - r.pulp) * (1.0f - u / 0.1f);
        }
    }
    return r;
}

// Per column: where the gum and the bone begin, and the lens fall-off.
struct Column {
    float x;
    float gum;
    float crest;
    float falloff;
};

// Grey level of one pixel in design units, before noise and fall-off.
static float SceneLevel(const Column &c, float y, const ToothRow rows[], const NoiseGrid &coarse,
                        const NoiseGrid &fine)
{
    float level = AIR_LEVEL + SOFT_TISSUE * Clamp01((y - c.gum) * 0.1f);
    float bone = Clamp01((y - c.crest) * 0.15f);
    if (bone > 0.0f) {
        bone *= (0.75f + 0.5f * SampleNoise(coarse, c.x, y)) * (0.8f + 0.4f * SampleNoise(fine, c.x, y));
    }
    float tooth = 0.0f;
    float enamel = 0.0f;
    float pulp = 0.0f;
    float ligament = 0.0f;
    float lamina = 0.0f;
    for (int i = 0; i < TOOTH_COUNT; ++i) {
        const ToothRow &r = rows[i];
        float d = std::fabs(c.x - r.axis);
        if (!r.present || d > r.outer + 9.0f) {
            continue;
        }
        float in = Inside(r.outer, d);
        tooth += in;
        enamel += in - Inside(r.core, d);
        pulp += Inside(r.pulp, d);
        if (r.root) {
            // The periodontal ligament space, then the lamina dura around it.
            float ring = Inside(r.outer + 3.0f, d);
            ligament += ring - in;
            lamina += Inside(r.outer + 6.0f, d) - ring;
        }
    }
    tooth = Clamp01(tooth);
    if (bone > 0.0f) {
        // The root takes the place of the bone it sits in.
        bone *= 1.0f - 0.9f * tooth - 0.8f * Clamp01(ligament) + 0.35f * Clamp01(lamina);
        const Tooth &sick = TEETH[LESION_TOOTH];
        float ax = c.x - (sick.centre + sick.tilt * (sick.apex - sick.neck));
        float ay = (y - sick.apex - 8.0f) * 0.85f;
        if (std::fabs(ax) < LESION_RADIUS && std::fabs(ay) < LESION_RADIUS) {
            float distance = std::sqrt(ax * ax + ay * ay);
            bone *= 0.3f + 0.7f * Clamp01((distance - LESION_RADIUS * 0.6f) / (LESION_RADIUS * 0.4f));
        }
    }
    level += BONE * bone + DENTINE * tooth + ENAMEL * Clamp01(enamel) + PULP * Clamp01(pulp) * tooth;
    return level;
}

// A grey picture, rows from the top as the picture is seen upright.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<BYTE> grey;
};

// The synthetic radiograph, deterministic for a given size and sequence
// number.
static Picture RenderRadiograph(int width, int height, unsigned sequence)
{
    Picture picture;
    picture.width = width;
    picture.height = height;
    picture.grey.resize(static_cast<size_t>(width) * height);

    const NoiseGrid coarse = MakeNoiseGrid(22.0f, 0);
    const NoiseGrid fine = MakeNoiseGrid(6.0f, 7919);
    const float xScale = DESIGN_WIDTH / static_cast<float>(width);
    const float yScale = DESIGN_HEIGHT / static_cast<float>(height);
    std::vector<Column> columns(static_cast<size_t>(width));
    for (int col = 0; col < width; ++col) {
        Column &c = columns[col];
        c.x = (static_cast<float>(col) + 0.5f) * xScale;
        c.gum = 295.0f + 8.0f * std::sin(c.x * 0.03f + 1.0f);
        c.crest = 352.0f + 12.0f * std::sin(c.x * 0.045f);
        float dx = c.x / DESIGN_WIDTH - 0.5f;
        c.falloff = 0.25f * dx * dx;
    }
    uint32_t random = 0x9E3779B9u ^ (sequence * 2654435761u);
    if (random == 0) {
        random = 1;
    }
    for (int row = 0; row < height; ++row) {
        BYTE *line = picture.grey.data() + static_cast<size_t>(row) * width;
        float y = (static_cast<float>(row) + 0.5f) * yScale;
        ToothRow rows[TOOTH_COUNT];
        for (int i = 0; i < TOOTH_COUNT; ++i) {
            rows[i] = MeasureTooth(TEETH[i], y);
        }
        float dy = y / DESIGN_HEIGHT - 0.5f;
        float rowFalloff = 1.0f - 0.25f * dy * dy;
        for (int col = 0; col < width; ++col) {
            const Column &c = columns[col];
            float noise = NOISE_SPREAD * NoiseSample(&random);
            if (InMarker(c.x, y)) {
                line[col] = MARKER_LEVEL;
                continue;
            }
            float level = SceneLevel(c, y, rows, coarse, fine) * (rowFalloff - c.falloff) + noise;
            level = level < 0.0f ? 0.0f : (level > BRIGHTEST_ANATOMY ? BRIGHTEST_ANATOMY : level);
            line[col] = static_cast<BYTE>(level + 0.5f);
        }
    }
    return picture;
}

// ---------------------------------------------------------------------------
// Replay of a .bmp file

// The grey level of a colour, as ITU-R BT.601 weighs it, rounded.
static BYTE GreyOf(BYTE red, BYTE green, BYTE blue)
{
    return static_cast<BYTE>((299u * red + 587u * green + 114u * blue + 500u) / 1000u);
}

// Reads an uncompressed 8-bit (with its colour table) or 24-bit .bmp file
// into a grey picture; false for anything else, or a file cut short.
static bool ReadReplayBitmap(const char *path, Picture *picture)
{
    std::vector<BYTE> file;
    if (FILE *f = fopen(path, "rb")) {
        BYTE buffer[65536];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, f)) > 0 && file.size() < (256u << 20)) {
            file.insert(file.end(), buffer, buffer + n);
        }
        fclose(f);
    }
    BITMAPFILEHEADER fileHeader;
    BITMAPINFOHEADER header;
    if (file.size() < sizeof fileHeader + sizeof header) {
        return false;
    }
    memcpy(&fileHeader, file.data(), sizeof fileHeader);
    memcpy(&header, file.data() + sizeof fileHeader, sizeof header);
    const bool topDown = header.biHeight < 0;
    const int64_t width = header.biWidth;
    const int64_t height = topDown ? -static_cast<int64_t>(header.biHeight) : header.biHeight;
    if (fileHeader.bfType != 0x4D42 || header.biSize < sizeof header || header.biPlanes != 1 ||
        header.biCompression != BI_RGB || (header.biBitCount != 8 && header.biBitCount != 24) || width < 1 ||
        width > 2 * MAX_SIDE || height < 1 || height > 2 * MAX_SIDE) {
        return false;
    }
    const uint64_t tableAt = sizeof fileHeader + static_cast<uint64_t>(header.biSize);
    const uint32_t entries = header.biBitCount == 8 ? (header.biClrUsed ? header.biClrUsed : 256) : 0;
    const uint64_t stride = (static_cast<uint64_t>(width) * header.biBitCount / 8 + 3) & ~uint64_t{3};
    if (entries > 256 || tableAt + 4ull * entries > file.size() || fileHeader.bfOffBits > file.size() ||
        stride * height > file.size() - fileHeader.bfOffBits) {
        return false;
    }
    BYTE levels[256] = {};
    for (uint32_t i = 0; i < entries; ++i) {
        const BYTE *q = file.data() + tableAt + 4 * i;  // blue, green, red, reserved
        levels[i] = GreyOf(q[2], q[1], q[0]);
    }
    picture->width = static_cast<int>(width);
    picture->height = static_cast<int>(height);
    picture->grey.resize(static_cast<size_t>(width * height));
    for (int64_t row = 0; row < height; ++row) {
        const int64_t stored = topDown ? row : height - 1 - row;
        const BYTE *in = file.data() + fileHeader.bfOffBits + stored * stride;
        BYTE *out = picture->grey.data() + row * width;
        for (int64_t x = 0; x < width; ++x) {
            out[x] = header.biBitCount == 8 ? levels[in[x]] : GreyOf(in[3 * x + 2], in[3 * x + 1], in[3 * x]);
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Image blocks

// One block holding the picture: in the image block layout (header, grey
// table of 256, bottom-up 8-bit rows), or in a careless driver's layout.
// Zero-initialised, so row padding is defined. Null when out of memory.
static HGLOBAL MakeImageBlock(const Picture &picture, Fault fault)
{
    const int width = picture.width;
    const int height = picture.height;
    int bits = 8;
    DWORD entries = 256;
    if (fault == Fault::Bits16 || fault == Fault::Bits24) {
        bits = fault == Fault::Bits16 ? 16 : 24;
        entries = 0;
    } else if (fault == Fault::ShortTable) {
        entries = SHORT_TABLE_ENTRIES;
    }
    const DWORD stride = (static_cast<DWORD>(width) * bits / 8 + 3u) & ~3u;
    const DWORD imageBytes = stride * static_cast<DWORD>(height);
    const DWORD bitsOffset = sizeof(BITMAPINFOHEADER) + entries * sizeof(RGBQUAD);
    DWORD total = bitsOffset + imageBytes;
    if (fault == Fault::ShortBlock) {
        total -= SHORT_BLOCK_MISSING;
    }
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, total);
    if (block == nullptr) {
        return nullptr;
    }
    BYTE *base = static_cast<BYTE *>(GlobalLock(block));
    if (base == nullptr) {
        GlobalFree(block);
        return nullptr;
    }
    BITMAPINFOHEADER *header = reinterpret_cast<BITMAPINFOHEADER *>(base);
    header->biSize = sizeof(BITMAPINFOHEADER);
    header->biWidth = width;
    header->biHeight = fault == Fault::TopDown ? -height : (fault == Fault::OverClaim ? 2 * height : height);
    header->biPlanes = 1;
    header->biBitCount = static_cast<WORD>(bits);
    header->biCompression = BI_RGB;
    header->biSizeImage = imageBytes;
    header->biClrUsed = fault == Fault::ShortTable ? SHORT_TABLE_ENTRIES : 0;
    RGBQUAD *table = reinterpret_cast<RGBQUAD *>(base + sizeof(BITMAPINFOHEADER));
    const int step = 256 / static_cast<int>(entries ? entries : 1);
    for (DWORD i = 0; i < entries; ++i) {
        BYTE level = static_cast<BYTE>(i * step + (step - 1) * i / (entries - 1));
        table[i].rgbBlue = table[i].rgbGreen = table[i].rgbRed = level;
    }
    for (int row = 0; row < height; ++row) {
        // Bottom-up unless top-down: row 0 of the picture is the last in memory.
        const DWORD stored = fault == Fault::TopDown ? row : height - 1 - row;
        const DWORD at = bitsOffset + stored * stride;
        const BYTE *in = picture.grey.data() + static_cast<size_t>(row) * width;
        for (int x = 0; x < width; ++x) {
            BYTE *out = base + at + static_cast<DWORD>(x) * bits / 8;
            if (at + static_cast<DWORD>(x + 1) * bits / 8 > total) {
                break;  // the short block: the last pixels do not fit
            }
            if (bits == 24) {
                out[0] = out[1] = out[2] = in[x];
            } else if (bits == 16) {
                WORD five = static_cast<WORD>(in[x] >> 3);
                WORD pixel = static_cast<WORD>((five << 10) | (five << 5) | five);
                memcpy(out, &pixel, sizeof pixel);
            } else {
                *out = entries == 256 ? in[x] : static_cast<BYTE>(in[x] / step);
            }
        }
    }
    GlobalUnlock(block);
    return block;
}

// ---------------------------------------------------------------------------
// Driver state and the worker

static CRITICAL_SECTION stateLock;  // guards everything below the worker reads
static HMODULE selfModule;
static HWND targetWindow;
static Settings settings;
static bool highResolution;
static int pendingExposures;  // armed and not yet delivered
static unsigned sequence;     // images made since the DLL was loaded
static int deliveredSinceOpen;  // counts towards XRAYSIM_EVENT_AFTER
static Picture replay;          // the replayed file, or empty
static HANDLE workerThread;
static HANDLE wakeEvent;  // auto-reset: an exposure was armed
static HANDLE stopEvent;  // manual-reset: XRAYClose wants the worker gone

static void CurrentSize(int *width, int *height)
{
    if (!replay.grey.empty()) {
        // A replayed file keeps its own size in both resolutions.
        *width = replay.width;
        *height = replay.height;
        return;
    }
    int factor = highResolution ? 2 : 1;
    *width = settings.width * factor;
    *height = settings.height * factor;
}

static void AppendLogLine(const char *path, unsigned seq, int width, int height, SIZE_T size,
                          uint32_t crc)
{
    FILE *log = fopen(path, "ab");
    if (log == nullptr) {
        return;
    }
    fprintf(log, "IMAGE seq=%u width=%d height=%d size=%lu crc32=0x%08lX\n", seq, width, height,
            static_cast<unsigned long>(size), static_cast<unsigned long>(crc));
    fclose(log);
}

// Hands a block to the window: posted, or sent from this thread under the
// SendMessageA fault. False when the window could not take it.
static bool HandOver(HWND window, HGLOBAL block, Fault fault)
{
    if (fault == Fault::SendMessage) {
        if (!IsWindow(window)) {
            return false;
        }
        SendMessageA(window, WM_USER, XRAY_MSG_IMAGE, reinterpret_cast<LPARAM>(block));
        return true;
    }
    return PostMessageA(window, WM_USER, XRAY_MSG_IMAGE, reinterpret_cast<LPARAM>(block)) != FALSE;
}

// Makes one image and hands it to the window. The block is checksummed
// before it is handed over: after that it belongs to the receiver.
static void DeliverImage()
{
    EnterCriticalSection(&stateLock);
    HWND window = targetWindow;
    Settings s = settings;
    if (s.fault == Fault::Silent) {
        LeaveCriticalSection(&stateLock);
        return;
    }
    unsigned seq = ++sequence;
    int width, height;
    CurrentSize(&width, &height);
    Picture picture = replay;
    LeaveCriticalSection(&stateLock);

    if (picture.grey.empty()) {
        picture = RenderRadiograph(width, height, seq);
    }
    HGLOBAL block = MakeImageBlock(picture, s.fault);
    if (block == nullptr) {
        return;
    }
    SIZE_T size = GlobalSize(block);
    uint32_t crc = 0;
    if (s.logPath[0] != '\0') {
        crc = Crc32(GlobalLock(block), size);
        GlobalUnlock(block);
    }
    // A close that came in while the image was being made wins: nothing is
    // handed over once XRAYClose has been called.
    if (WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0 || !HandOver(window, block, s.fault)) {
        GlobalFree(block);
        return;
    }
    if (s.logPath[0] != '\0') {
        AppendLogLine(s.logPath, seq, width, height, size, crc);
    }
    for (int i = 0; i < s.eventCount; ++i) {
        PostMessageA(window, WM_USER, XRAY_MSG_EVENT, s.events[i]);
    }
    EnterCriticalSection(&stateLock);
    bool eventNow = ++deliveredSinceOpen == s.eventAfter;
    LeaveCriticalSection(&stateLock);
    if (eventNow) {
        PostMessageA(window, WM_USER, XRAY_MSG_EVENT, s.eventAfterCode);
    }
}

// One exposure: the burst of images it makes, one after the other.
static bool DeliverExposure()
{
    EnterCriticalSection(&stateLock);
    int burst = settings.burst;
    LeaveCriticalSection(&stateLock);
    for (int i = 0; i < burst; ++i) {
        if (WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0) {
            return false;
        }
        DeliverImage();
    }
    return true;
}

// Serves armed exposures one after another; false when told to stop.
static bool ServeExposures()
{
    for (;;) {
        EnterCriticalSection(&stateLock);
        bool armed = pendingExposures > 0;
        DWORD exposure = static_cast<DWORD>(settings.exposureMs);
        LeaveCriticalSection(&stateLock);
        if (!armed) {
            return true;
        }
        if (WaitForSingleObject(stopEvent, exposure) != WAIT_TIMEOUT) {
            return false;
        }
        EnterCriticalSection(&stateLock);
        --pendingExposures;
        LeaveCriticalSection(&stateLock);
        if (!DeliverExposure()) {
            return false;
        }
    }
}

// In synchronised mode the generator fires on its own, every interval.
static DWORD GeneratorInterval()
{
    EnterCriticalSection(&stateLock);
    DWORD interval = settings.mode == XRAY_MODE_HBX ? static_cast<DWORD>(settings.intervalMs) : INFINITE;
    LeaveCriticalSection(&stateLock);
    return interval;
}

static DWORD WINAPI ExposureThread(LPVOID)
{
    HANDLE waits[2] = {stopEvent, wakeEvent};
    const DWORD interval = GeneratorInterval();
    for (;;) {
        DWORD woken = WaitForMultipleObjects(2, waits, FALSE, interval);
        bool goOn = woken == WAIT_OBJECT_0 + 1 ? ServeExposures() : woken == WAIT_TIMEOUT && DeliverExposure();
        if (!goOn) {
            break;
        }
    }
    // Drops the reference taken when the thread was started.
    FreeLibraryAndExitThread(selfModule, 0);
    return 0;
}

static void StopWorker()
{
    if (workerThread == nullptr) {
        return;
    }
    SetEvent(stopEvent);
    // A worker that delivers with SendMessageA may be sending to this very
    // thread: take sent messages while waiting, or the two wait for ever.
    // MWMO_INPUTAVAILABLE: a send already waiting counts too, even when the
    // thread has looked at its queue since it came.
    while (MsgWaitForMultipleObjectsEx(1, &workerThread, INFINITE, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE) ==
           WAIT_OBJECT_0 + 1) {
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    CloseHandle(workerThread);
    CloseHandle(wakeEvent);
    CloseHandle(stopEvent);
    workerThread = wakeEvent = stopEvent = nullptr;
}

static bool StartWorker()
{
    HMODULE reference = nullptr;
    wakeEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // The thread keeps the DLL loaded until it has returned.
    if (wakeEvent != nullptr && stopEvent != nullptr &&
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                           reinterpret_cast<LPCSTR>(&ExposureThread), &reference)) {
        workerThread = CreateThread(nullptr, 0, ExposureThread, nullptr, 0, nullptr);
        if (workerThread != nullptr) {
            return true;
        }
        FreeLibrary(reference);
    }
    if (wakeEvent != nullptr) {
        CloseHandle(wakeEvent);
    }
    if (stopEvent != nullptr) {
        CloseHandle(stopEvent);
    }
    wakeEvent = stopEvent = nullptr;
    return false;
}

// ---------------------------------------------------------------------------
// The seven exports

extern "C" int __cdecl XRAYOpen(HWND window, const char *, int)
{
    // A second open without a close starts afresh.
    StopWorker();
    Settings fresh = ReadSettings();
    Picture file;
    if (fresh.replayPath[0] != '\0' && !ReadReplayBitmap(fresh.replayPath, &file)) {
        file = Picture();
    }
    EnterCriticalSection(&stateLock);
    settings = fresh;
    replay = file;
    deliveredSinceOpen = 0;
    targetWindow = window;
    highResolution = false;
    pendingExposures = 0;
    LeaveCriticalSection(&stateLock);
    StartWorker();
    return fresh.mode;
}

extern "C" int __cdecl XRAYClose(void)
{
    // Joining the worker is what guarantees that nothing is posted after
    // this returns; an exposure still pending is dropped unmade.
    StopWorker();
    EnterCriticalSection(&stateLock);
    targetWindow = nullptr;
    pendingExposures = 0;
    LeaveCriticalSection(&stateLock);
    return 1;
}

// Each call arms one more exposure; the worker takes them in turn.
extern "C" int __cdecl XRAYPrepareAcquisition(void)
{
    if (workerThread == nullptr) {
        return 0;
    }
    EnterCriticalSection(&stateLock);
    ++pendingExposures;
    LeaveCriticalSection(&stateLock);
    SetEvent(wakeEvent);
    return 1;
}

extern "C" int __cdecl XRAYResolution(double *first, double *second)
{
    EnterCriticalSection(&stateLock);
    double a = workerThread != nullptr ? settings.resolutionFirst : DEFAULT_RESOLUTION_FIRST;
    double b = workerThread != nullptr ? settings.resolutionSecond : DEFAULT_RESOLUTION_SECOND;
    LeaveCriticalSection(&stateLock);
    if (first != nullptr) {
        *first = a;
    }
    if (second != nullptr) {
        *second = b;
    }
    return 1;
}

extern "C" int __cdecl XRAYSize(int *width, int *height)
{
    int w, h;
    EnterCriticalSection(&stateLock);
    if (workerThread != nullptr) {
        CurrentSize(&w, &h);
    } else {
        w = DEFAULT_WIDTH;
        h = DEFAULT_HEIGHT;
    }
    LeaveCriticalSection(&stateLock);
    if (width != nullptr) {
        *width = w;
    }
    if (height != nullptr) {
        *height = h;
    }
    return 1;
}

extern "C" int __cdecl bXRAYGetBinningMode(void)
{
    EnterCriticalSection(&stateLock);
    int mode = highResolution ? 1 : 0;
    LeaveCriticalSection(&stateLock);
    return mode;
}

// Mode 1: high resolution, twice the standard size each way; 0: standard.
// An exposure already armed is made at the size in force when it is taken.
extern "C" int __cdecl bXRAYChangeBinningMode(int mode)
{
    if (mode != 0 && mode != 1) {
        return 0;
    }
    EnterCriticalSection(&stateLock);
    highResolution = mode == 1;
    LeaveCriticalSection(&stateLock);
    return 1;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        selfModule = instance;
        DisableThreadLibraryCalls(instance);
        InitializeCriticalSection(&stateLock);
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        // Unloaded by FreeLibrary: the worker, which holds a reference, is
        // gone, so nobody can be inside the lock.
        DeleteCriticalSection(&stateLock);
    }
    return TRUE;
}
