// xraysim.dll: a simulated intra-oral X-ray sensor driver. It keeps the
// driver contract of xraydrv.h without hardware: XRAYOpen remembers the
// window, XRAYPrepareAcquisition arms one exposure, and a worker thread
// delivers each finished image as a WM_USER/XRAY_MSG_IMAGE message carrying a
// movable global block that holds a packed 8-bit DIB with a synthetic
// radiograph. Settings come from XRAYSIM_* environment variables read at each
// XRAYOpen (see README.md).
//
// Threads: the caller's thread runs the exports; one worker per open waits
// for armed exposures and only ever posts to the window, never sends, so
// XRAYClose can join it from the window's own thread without a deadlock.
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

static Settings ReadSettings()
{
    Settings s = {};
    s.mode = DEFAULT_MODE;
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
constexpr int COLOUR_TABLE_BYTES = 256 * sizeof(RGBQUAD);
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

// Allocates and fills one image block: header, grey table, bottom-up rows.
// Deterministic for a given size and sequence number. Null when out of
// memory.
static HGLOBAL RenderRadiograph(int width, int height, unsigned sequence)
{
    const DWORD stride = (static_cast<DWORD>(width) + 3u) & ~3u;
    const DWORD imageBytes = stride * static_cast<DWORD>(height);
    const DWORD total = sizeof(BITMAPINFOHEADER) + COLOUR_TABLE_BYTES + imageBytes;
    // Zero-initialised so the padding at the end of each row is defined too.
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
    header->biHeight = height;
    header->biPlanes = 1;
    header->biBitCount = 8;
    header->biCompression = BI_RGB;
    header->biSizeImage = imageBytes;
    RGBQUAD *table = reinterpret_cast<RGBQUAD *>(base + sizeof(BITMAPINFOHEADER));
    for (int i = 0; i < 256; ++i) {
        table[i].rgbBlue = table[i].rgbGreen = table[i].rgbRed = static_cast<BYTE>(i);
    }
    BYTE *bits = base + sizeof(BITMAPINFOHEADER) + COLOUR_TABLE_BYTES;

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
        // Row 0 of the picture as seen upright is the last row in memory.
        BYTE *line = bits + static_cast<size_t>(height - 1 - row) * stride;
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
static HANDLE workerThread;
static HANDLE wakeEvent;  // auto-reset: an exposure was armed
static HANDLE stopEvent;  // manual-reset: XRAYClose wants the worker gone

static void CurrentSize(int *width, int *height)
{
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

// Makes one image and hands it to the window. The block is checksummed
// before the post: once posted it belongs to the receiver.
static void DeliverImage()
{
    EnterCriticalSection(&stateLock);
    HWND window = targetWindow;
    unsigned seq = ++sequence;
    int width, height;
    CurrentSize(&width, &height);
    Settings s = settings;
    LeaveCriticalSection(&stateLock);

    HGLOBAL block = RenderRadiograph(width, height, seq);
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
    // posted once XRAYClose has been called.
    if (WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0 ||
        !PostMessageA(window, WM_USER, XRAY_MSG_IMAGE, reinterpret_cast<LPARAM>(block))) {
        GlobalFree(block);
        return;
    }
    if (s.logPath[0] != '\0') {
        AppendLogLine(s.logPath, seq, width, height, size, crc);
    }
    for (int i = 0; i < s.eventCount; ++i) {
        PostMessageA(window, WM_USER, XRAY_MSG_EVENT, s.events[i]);
    }
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
        DeliverImage();
    }
}

static DWORD WINAPI ExposureThread(LPVOID)
{
    HANDLE waits[2] = {stopEvent, wakeEvent};
    while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        if (!ServeExposures()) {
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
    WaitForSingleObject(workerThread, INFINITE);
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
    EnterCriticalSection(&stateLock);
    settings = fresh;
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
