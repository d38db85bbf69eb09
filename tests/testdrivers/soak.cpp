// The soak plan of the test driver (variant testdrv_soak). Loaded into the
// real station, it delivers images from its own worker thread as a sensor
// driver does, and measures the station from inside its process:
//   paced:  one image at a time, the next only once the station has taken
//           the previous one and gone back to its message loop;
//   pairs:  a copy and a paste (WM_COMMAND 106, 107) at a time;
//   burst:  images posted back to back, then one wait.
// After each step it posts a marker (WM_USER with a wParam the station does
// not use). A WH_GETMESSAGE hook on the station's thread sees the marker
// taken from the queue: everything posted before it has been handled, and
// the station is between two messages. The hook then holds the station
// there while the worker samples memory, objects and lock counts, so no
// paint or send can run during a sample.
// What it sees of the station, and the samples, are in soakwatch.cpp.
//
// Settings (environment): SOAK_IMAGES, SOAK_PAIRS, SOAK_BURST, SOAK_WIDTH,
// SOAK_HEIGHT, SOAK_REPORT (key=value lines written at XRAYClose) and
// SOAK_EXPECT (the CRC-32 every host should receive, in order, one a line).
#include "soak.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "resource.h"
#include "soakimage.h"
#include "soakwatch.h"
#include "xraydrv.h"

static constexpr WPARAM SOAK_MARKER = 0x534B;
// Only a guard against a station that stopped answering: a marker normally
// comes back in milliseconds, a burst of large images in seconds.
static constexpr DWORD MARKER_DEADLINE_MS = 120000;
static constexpr int BASELINE_IMAGES = 100;
static constexpr int SERIES_STEP = 1000;
// A paint follows each paced image within milliseconds; past this the
// station is taken not to paint, and the plan stops waiting for paints.
static constexpr DWORD PAINT_DEADLINE_MS = 20000;

static HWND stationWindow;
static DWORD stationThread;
static HHOOK hook;
static HANDLE worker;
static HANDLE markerSeen;
static HANDLE sampleDone;
static volatile LONG awaitedMarker = -1;
static volatile LONG stopping;
static int imageWidth = 512;
static int imageHeight = 768;

static std::string report;
static std::vector<uint32_t> expected;
static bool stalled;
static unsigned maxLockCount;

static int EnvInt(const char *name, int fallback)
{
    char text[32];
    DWORD length = GetEnvironmentVariableA(name, text, sizeof text);
    if (length == 0 || length >= sizeof text) {
        return fallback;
    }
    return atoi(text);
}

static std::string EnvText(const char *name)
{
    char text[MAX_PATH];
    DWORD length = GetEnvironmentVariableA(name, text, sizeof text);
    return length > 0 && length < sizeof text ? std::string(text) : std::string();
}

static void Put(const char *key, unsigned long long value)
{
    char line[128];
    snprintf(line, sizeof line, "%s=%llu\n", key, value);
    report += line;
}

static void PutText(const char *key, const char *value)
{
    report += key;
    report += '=';
    report += value;
    report += '\n';
}

static void PutSample(const char *when, const Sample &sample)
{
    std::string prefix(when);
    Put((prefix + "_private_usage").c_str(), sample.privateUsage);
    Put((prefix + "_private_commit").c_str(), sample.privateCommit);
    Put((prefix + "_heap_busy").c_str(), sample.heapBusy);
    Put((prefix + "_all_heaps_busy").c_str(), sample.allHeapsBusy);
    Put((prefix + "_gdi_objects").c_str(), sample.gdiObjects);
    Put((prefix + "_user_objects").c_str(), sample.userObjects);
    Put((prefix + "_station_blocks").c_str(), sample.stationBlocks);
}

// --- The hook and the marker round trip -----------------------------------

static LRESULT CALLBACK MarkerHook(int code, WPARAM removal, LPARAM lParam)
{
    const MSG *msg = reinterpret_cast<const MSG *>(lParam);
    if (code == HC_ACTION && removal == PM_REMOVE && msg->message == WM_USER &&
        msg->wParam == SOAK_MARKER && msg->lParam == awaitedMarker) {
        // Held here, between two messages, until the worker has sampled.
        SetEvent(markerSeen);
        WaitForSingleObject(sampleDone, MARKER_DEADLINE_MS);
    }
    return CallNextHookEx(hook, code, removal, lParam);
}

// Posts a marker and waits until the station takes it. On return the station
// is held between messages until Release().
static bool AwaitStation()
{
    static LONG serial;
    LONG marker = ++serial;
    InterlockedExchange(&awaitedMarker, marker);
    if (!PostMessageA(stationWindow, WM_USER, SOAK_MARKER, marker) ||
        WaitForSingleObject(markerSeen, MARKER_DEADLINE_MS) != WAIT_OBJECT_0) {
        stalled = true;
        return false;
    }
    return true;
}

static void Release() { SetEvent(sampleDone); }

// Waits until the station has painted since `before` paints.
static bool AwaitPaint(LONG before)
{
    for (DWORD waited = 0; waited < PAINT_DEADLINE_MS; waited += 2) {
        if (PaintsSoFar() != before || stopping) {
            return true;
        }
        Sleep(2);
    }
    return false;
}

// --- Images ---------------------------------------------------------------

static HGLOBAL lastHanded;

static bool Deliver(unsigned serial)
{
    uint32_t crc = 0;
    HGLOBAL block = MakeSoakImage(imageWidth, imageHeight, serial, &crc);
    if (block == nullptr) {
        return false;
    }
    NoteHandedOver(block);
    if (!PostMessageA(stationWindow, WM_USER, XRAY_MSG_IMAGE, reinterpret_cast<LPARAM>(block))) {
        ForgetHandedOver(block);
        GlobalFree(block);
        return false;
    }
    lastHanded = block;
    expected.push_back(crc);
    return true;
}

// The lock count of the last block handed over, while it is the current
// image and the station is between messages.
static void CheckLockCount()
{
    UINT flags = GlobalFlags(lastHanded);
    if (flags != GMEM_INVALID_HANDLE && (flags & GMEM_LOCKCOUNT) > maxLockCount) {
        maxLockCount = flags & GMEM_LOCKCOUNT;
    }
}

// --- The plan -------------------------------------------------------------

// How far the plan got, and the samples it took on the way.
struct Progress {
    unsigned serial = 0;
    int paced = 0;
    int pairsDone = 0;
    int burstDone = 0;
    int unpainted = 0;
    Sample baseline = {}, pacedEnd = {}, pairsStart = {}, pairsEnd = {}, end = {};
    bool ok = true;
    std::string series;
};

// One paced image; false when it could not be delivered or the station
// stopped answering.
static bool PacedImage(int images, bool *awaitPaints, Progress *p)
{
    // Taken, painted, then sampled between two messages: a lock the
    // paint leaves behind shows in the sample.
    LONG paintsBefore = PaintsSoFar();
    if (!(Deliver(++p->serial) && AwaitStation())) {
        return false;
    }
    Release();
    if (*awaitPaints && !AwaitPaint(paintsBefore)) {
        ++p->unpainted;
        *awaitPaints = false;
    }
    if (!AwaitStation()) {
        return false;
    }
    CheckLockCount();
    const int paced = p->paced;
    if (paced + 1 == BASELINE_IMAGES || (images < BASELINE_IMAGES && paced == 0)) {
        p->baseline = TakeSample();
    }
    if (paced + 1 == images) {
        p->pacedEnd = TakeSample();
    }
    if ((paced + 1) % SERIES_STEP == 0) {
        char figure[32];
        Sample now = TakeSample();
        snprintf(figure, sizeof figure, "%s%lu/%lu", p->series.empty() ? "" : ",",
                 static_cast<unsigned long>(now.privateCommit), static_cast<unsigned long>(now.allHeapsBusy));
        p->series += figure;
    }
    Release();
    return true;
}

static void RunPaced(int images, Progress *p)
{
    bool awaitPaints = true;
    for (; p->ok && p->paced < images && !stopping; ++p->paced) {
        p->ok = PacedImage(images, &awaitPaints, p);
        if (!p->ok) {
            break;
        }
    }
}

static void RunPairs(int pairs, Progress *p)
{
    for (; p->ok && p->pairsDone < pairs && !stopping; ++p->pairsDone) {
        PostMessageA(stationWindow, WM_COMMAND, IDM_COPY, 0);
        PostMessageA(stationWindow, WM_COMMAND, IDM_PASTE, 0);
        p->ok = AwaitStation();
        if (!p->ok) {
            break;
        }
        // The paste sends the image it took back from the clipboard: the
        // same bytes as the one before.
        if (!expected.empty()) {
            expected.push_back(expected.back());
        }
        // From the first pair on, the clipboard holds a block of its own.
        if (p->pairsDone == 0) {
            p->pairsStart = TakeSample();
        }
        if (p->pairsDone + 1 == pairs) {
            p->pairsEnd = TakeSample();
        }
        Release();
    }
}

static void RunBurst(int burst, Progress *p)
{
    for (; p->ok && p->burstDone < burst && !stopping; ++p->burstDone) {
        p->ok = Deliver(++p->serial);
    }
    if (p->ok && AwaitStation()) {
        CheckLockCount();
        p->end = TakeSample();
        Release();
    }
}

static void PutProgress(const Progress &p)
{
    Put("images_paced", p.paced);
    Put("pairs", p.pairsDone);
    Put("images_burst", p.burstDone);
    Put("image_width", imageWidth);
    Put("image_height", imageHeight);
    Put("stalled", stalled ? 1 : 0);
    Put("paints", PaintsSoFar());
    Put("paced_unpainted", p.unpainted);
    PutSample("after100", p.baseline);
    PutSample("paced_end", p.pacedEnd);
    PutSample("pairs_start", p.pairsStart);
    PutSample("pairs_end", p.pairsEnd);
    PutSample("end", p.end);
    PutText("paced_private_commit_every_1000", p.series.c_str());
    Put("lock_count_max", maxLockCount);
    PutText("gdi_method", GdiMethod());
    PutText("user_method", UserMethod());
}

static DWORD WINAPI SoakWorker(void *)
{
    const int images = EnvInt("SOAK_IMAGES", 300);
    const int pairs = EnvInt("SOAK_PAIRS", 100);
    const int burst = EnvInt("SOAK_BURST", 100);
    // Reserved up front so that the driver's own bookkeeping does not grow
    // the memory it measures.
    expected.reserve(static_cast<size_t>(images) + pairs + burst);
    Progress progress;
    RunPaced(images, &progress);
    RunPairs(pairs, &progress);
    RunBurst(burst, &progress);
    PutProgress(progress);
    PostMessageA(stationWindow, WM_CLOSE, 0, 0);
    return 0;
}

// --- Open and close -------------------------------------------------------

void SoakOnOpen(HWND window, int *width, int *height)
{
    imageWidth = EnvInt("SOAK_WIDTH", 512);
    imageHeight = EnvInt("SOAK_HEIGHT", 768);
    *width = imageWidth;
    *height = imageHeight;
    if (worker != nullptr || EnvText("SOAK_REPORT").empty()) {
        return;
    }
    stationWindow = window;
    stationThread = GetCurrentThreadId();
    TrackStation(window, stationThread);
    markerSeen = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    sampleDone = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    WatchStationImports();
    hook = SetWindowsHookExA(WH_GETMESSAGE, MarkerHook, nullptr, stationThread);
    worker = CreateThread(nullptr, 0, SoakWorker, nullptr, 0, nullptr);
}

void SoakOnClose()
{
    if (worker == nullptr) {
        return;
    }
    // The station frees its current image before it closes the driver: by
    // now every block handed over should have come back through GlobalFree.
    // A worker still waiting for a marker is woken: none will come now.
    InterlockedExchange(&stopping, 1);
    SetEvent(markerSeen);
    SetEvent(sampleDone);
    WaitForSingleObject(worker, MARKER_DEADLINE_MS);
    CloseHandle(worker);
    worker = nullptr;
    UnhookWindowsHookEx(hook);
    RestoreStationImports();

    const BlockCounts blocks = CountBlocks();
    Put("blocks_handed", blocks.handed);
    Put("blocks_freed_by_station", blocks.freedByStation);
    Put("blocks_leaked", blocks.leaked);

    FILE *out = fopen(EnvText("SOAK_REPORT").c_str(), "wb");
    if (out != nullptr) {
        fputs(report.c_str(), out);
        fclose(out);
    }
    out = fopen(EnvText("SOAK_EXPECT").c_str(), "wb");
    if (out != nullptr) {
        for (uint32_t crc : expected) {
            fprintf(out, "0x%08lX\n", static_cast<unsigned long>(crc));
        }
        fclose(out);
    }
}
