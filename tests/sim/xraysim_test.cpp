// xraysim.dll loaded in-process: its exports, the messages it posts to a
// recording window, the image blocks it hands over, its settings and log.
// GlobalAlloc and GlobalFree are counted through the DLL's import table, so
// a block the driver keeps or leaks shows up.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "crc32.h"
#include "fixtures.h"
#include "iatpatch.h"
#include "memwatch.h"
#include "xraydrv.h"
#include "xrayexports.h"

namespace {

struct Posted {
    WPARAM wParam;
    LPARAM lParam;
    DWORD tick;
    bool sent;  // sent from another thread rather than posted
};
std::vector<Posted> posted;

LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_USER) {
        posted.push_back({wParam, lParam, GetTickCount(), InSendMessage() != FALSE});
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND MakeRecordingWindow()
{
    static ATOM atom;
    if (atom == 0) {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = RecordingProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "XraySimRecorder";
        atom = RegisterClassA(&wc);
    }
    posted.clear();
    return CreateWindowA("XraySimRecorder", "", 0, 0, 0, 10, 10, nullptr, nullptr,
                         GetModuleHandleA(nullptr), nullptr);
}

// How long a wait for the driver's next message may last before the case
// fails: a guard against a driver that stopped, never a speed the case
// asks for (an image takes seconds to make where the CPU is emulated).
constexpr DWORD GUARD_MS = EVENT_GUARD_MS;

// Pumps until `count` messages were recorded or `ms` have passed.
bool WaitForPosted(size_t count, DWORD ms = GUARD_MS)
{
    DWORD start = GetTickCount();
    while (posted.size() < count && GetTickCount() - start < ms) {
        PumpMessages(5);
    }
    ReportWaitTime("the driver's message " + std::to_string(count), start, ms);
    return posted.size() >= count;
}

// Everything the driver will ever post, recorded: XRAYClose joins its worker,
// so whatever it posted is in the queue when Close returns. What a case
// then counts does not depend on how fast the machine is.
template <typename Driver>
void CloseAndDrain(Driver &sim)
{
    sim.Close();
    PumpMessages();
}

// xraysim.dll loaded with its seven exports resolved and its global memory
// calls, from any of its threads, counted through its own import table;
// closed and unloaded at the end. The station's "Synchro"
// switch is absent (standalone) unless a case sets it, and is put back.
struct Sim {
    RegistryGuard registry;
    HMODULE module;
    XRAYOpenFn Open;
    XRAYCloseFn Close;
    XRAYPrepareAcquisitionFn Prepare;
    XRAYResolutionFn Resolution;
    XRAYSizeFn Size;
    bXRAYGetBinningModeFn GetBinning;
    bXRAYChangeBinningModeFn ChangeBinning;
    std::unique_ptr<MemoryWatch> memory;  // removed before the DLL is unloaded

    Sim()
    {
        SetSensorText("Synchro", nullptr);
        module = LoadLibraryA(BinPath("xraysim.dll").c_str());
        Resolve(XRAY_OPEN_EXPORT, &Open);
        Resolve(XRAY_CLOSE_EXPORT, &Close);
        Resolve(XRAY_PREPARE_ACQUISITION_EXPORT, &Prepare);
        Resolve(XRAY_RESOLUTION_EXPORT, &Resolution);
        Resolve(XRAY_SIZE_EXPORT, &Size);
        Resolve(XRAY_GET_BINNING_MODE_EXPORT, &GetBinning);
        Resolve(XRAY_CHANGE_BINNING_MODE_EXPORT, &ChangeBinning);
        memory = std::make_unique<MemoryWatch>(module);
    }
    ~Sim()
    {
        if (module != nullptr) {
            Close();
            memory.reset();
            FreeLibrary(module);
        }
    }
    template <typename F> void Resolve(const char *name, F *entry)
    {
        *entry = module ? reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(module, name))) : nullptr;
    }
    // Opens the driver on a new recording window, as the station would.
    HWND OpenOnNewWindow()
    {
        HWND window = MakeRecordingWindow();
        Open(window, XRAY_OPEN_VENDOR, XRAY_APPLICATION_CODE);
        return window;
    }
    bool Ready() const
    {
        return module && Open && Close && Prepare && Resolution && Size && GetBinning && ChangeBinning &&
               memory->Installed();
    }
};

struct Image {
    HGLOBAL block = nullptr;
    std::vector<BYTE> bytes;
    BITMAPINFOHEADER header = {};
    int stride = 0;
    // Grey level at (x, y), y counted from the top of the upright picture.
    int At(int x, int y) const
    {
        return bytes[40 + 1024 + static_cast<size_t>(header.biHeight - 1 - y) * stride + x];
    }
};

// Copies a delivered block and frees it, as the station would.
Image TakeImage(LPARAM lParam)
{
    Image image;
    image.block = reinterpret_cast<HGLOBAL>(lParam);
    SIZE_T size = GlobalSize(image.block);
    const BYTE *p = static_cast<const BYTE *>(GlobalLock(image.block));
    if (p != nullptr && size >= sizeof image.header) {
        image.bytes.assign(p, p + size);
        memcpy(&image.header, p, sizeof image.header);
        image.stride = (image.header.biWidth + 3) & ~3;
    }
    GlobalUnlock(image.block);
    GlobalFree(image.block);
    return image;
}

// Arms once and takes the one image that follows.
Image ArmAndTake(Sim &sim)
{
    size_t before = posted.size();
    EXPECT_EQ(1, sim.Prepare());
    EXPECT_TRUE(WaitForPosted(before + 1));
    if (posted.size() <= before || posted[before].wParam != XRAY_MSG_IMAGE) {
        ADD_FAILURE() << "no image message";
        return Image();
    }
    return TakeImage(posted[before].lParam);
}

// The line the simulator's log must hold for a delivered image.
std::string LogLine(int seq, const Image &image)
{
    char line[160];
    snprintf(line, sizeof line, "IMAGE seq=%d width=%ld height=%ld size=%u crc32=0x%08X\n", seq,
             static_cast<long>(image.header.biWidth), static_cast<long>(image.header.biHeight),
             static_cast<unsigned>(image.bytes.size()), Crc32(image.bytes.data(), image.bytes.size()));
    return line;
}

}  // namespace

TEST(Crc32, MatchesTheStandardCheckValueAndChains)
{
    const char text[] = "123456789";
    EXPECT_EQ(0xCBF43926u, Crc32(text, 9));
    EXPECT_EQ(0u, Crc32(text, 0));
    EXPECT_EQ(Crc32(text, 9), Crc32(text + 4, 5, Crc32(text, 4)));
}

TEST(XraySim, ExportsTheSevenEntryPointsByPlainName)
{
    Sim sim;
    ASSERT_NE(nullptr, sim.module) << GetLastError();
    EXPECT_TRUE(sim.Ready());
}

TEST(XraySim, OpenReturnsTheModeFromTheEnvironment)
{
    Sim sim;
    ASSERT_TRUE(sim.Ready());
    HWND window = MakeRecordingWindow();
    SetEnvironmentVariableA("XRAYSIM_MODE", nullptr);
    EXPECT_EQ(2, sim.Open(window, XRAY_OPEN_VENDOR, XRAY_APPLICATION_CODE));
    const struct {
        const char *text;
        int mode;
    } cases[] = {{"1", 1}, {"0", 0}, {"-3", -3}, {"7", 7}, {"abc", 2}, {"2x", 2}, {"", 2}, {"99999999999", 2}};
    for (const auto &c : cases) {
        EnvVar mode("XRAYSIM_MODE", c.text);
        // Opening again without a close starts afresh.
        EXPECT_EQ(c.mode, sim.Open(window, XRAY_OPEN_VENDOR, XRAY_APPLICATION_CODE)) << '"' << c.text << '"';
    }
    DestroyWindow(window);
}

// The registry keys the driver opens and closes, through its import table.
int keysOpened;
int keysClosed;
void *realOpenKey;
void *realCloseKey;

LONG WINAPI CountingOpenKey(HKEY parent, LPCSTR name, DWORD options, REGSAM access, PHKEY key)
{
    LONG rc = reinterpret_cast<decltype(&RegOpenKeyExA)>(realOpenKey)(parent, name, options, access, key);
    keysOpened += rc == ERROR_SUCCESS;
    return rc;
}

LONG WINAPI CountingCloseKey(HKEY key)
{
    ++keysClosed;
    return reinterpret_cast<decltype(&RegCloseKey)>(realCloseKey)(key);
}

TEST(XraySim, OpenFollowsTheSynchroSwitchUnlessTheModeIsForced)
{
    EnvVar interval("XRAYSIM_INTERVAL_MS", "600000");
    Sim sim;
    ASSERT_TRUE(sim.Ready());
    realOpenKey = PatchModuleImport(sim.module, "advapi32.dll", "RegOpenKeyExA", reinterpret_cast<void *>(CountingOpenKey));
    realCloseKey = PatchModuleImport(sim.module, "advapi32.dll", "RegCloseKey", reinterpret_cast<void *>(CountingCloseKey));
    ASSERT_NE(nullptr, realOpenKey);
    ASSERT_NE(nullptr, realCloseKey);
    keysOpened = keysClosed = 0;
    HWND window = MakeRecordingWindow();
    const struct {
        bool key;             // HKCR\VESTRA\ZRK exists
        const char *synchro;  // its "Synchro" text, or none
        const char *forced;   // XRAYSIM_MODE, or unset
        int mode;
    } cases[] = {
        {false, nullptr, nullptr, 2}, {true, nullptr, nullptr, 2}, {true, "1", nullptr, 1},
        {true, "2", nullptr, 2},      {true, "3", nullptr, 2},     {true, "", nullptr, 2},
        {true, "1", "2", 2},          {true, "2", "1", 1},         {true, "1", "0", 0},
        {true, "1", "-3", -3},        {true, "1", "abc", 1},       {false, nullptr, "1", 1},
    };
    for (const auto &c : cases) {
        DeleteSensorKey();
        if (c.key) {
            SetSensorText("Synchro", c.synchro);
        }
        SetEnvironmentVariableA("XRAYSIM_MODE", c.forced);
        EXPECT_EQ(c.mode, sim.Open(window, XRAY_OPEN_VENDOR, XRAY_APPLICATION_CODE))
            << "key " << c.key << ", Synchro " << (c.synchro ? c.synchro : "(none)") << ", XRAYSIM_MODE "
            << (c.forced ? c.forced : "(unset)");
    }
    SetEnvironmentVariableA("XRAYSIM_MODE", nullptr);
    // Every key opened is closed again.
    EXPECT_GT(keysOpened, 0);
    EXPECT_EQ(keysOpened, keysClosed);
    DestroyWindow(window);
}

TEST(XraySim, HbxModeDeliversAtTheIntervalWithoutArmingAndStandaloneWaitsForIt)
{
    EnvVar interval("XRAYSIM_INTERVAL_MS", "50");
    EnvVar exposure("XRAYSIM_EXPOSURE_MS", "0");
    EnvVar width("XRAYSIM_WIDTH", "64");
    EnvVar height("XRAYSIM_HEIGHT", "64");
    Sim sim;
    ASSERT_TRUE(sim.Ready());
    HWND window = MakeRecordingWindow();
    SetSensorText("Synchro", "1");
    ASSERT_EQ(1, sim.Open(window, XRAY_OPEN_VENDOR, XRAY_APPLICATION_CODE));
    // The generator fires on its own: nothing is armed.
    ASSERT_TRUE(WaitForPosted(3));
    sim.Close();
    PumpMessages();
    for (const Posted &p : posted) {
        ASSERT_EQ(XRAY_MSG_IMAGE, p.wParam);
        EXPECT_EQ(64, TakeImage(p.lParam).header.biWidth);
    }

    // Standalone: twenty intervals pass and nothing comes until it is armed.
    SetSensorText("Synchro", "2");
    ASSERT_EQ(2, sim.Open(window, XRAY_OPEN_VENDOR, XRAY_APPLICATION_CODE));
    posted.clear();
    PumpMessages(1000);
    EXPECT_TRUE(posted.empty()) << posted.size() << " images unarmed";
    Image armed = ArmAndTake(sim);
    EXPECT_EQ(64, armed.header.biWidth);
    // Closing joins the worker: whatever it made unarmed is counted too.
    CloseAndDrain(sim);
    EXPECT_EQ(1u, posted.size());
    for (size_t i = 1; i < posted.size(); ++i) {
        TakeImage(posted[i].lParam);
    }
    DestroyWindow(window);
}

TEST(XraySim, ArmingDeliversOneWellFormedRadiograph)
{
    EnvVar exposure("XRAYSIM_EXPOSURE_MS", "50");
    Sim sim;
    ASSERT_TRUE(sim.Ready());
    HWND window = MakeRecordingWindow();
    ASSERT_EQ(2, sim.Open(window, XRAY_OPEN_VENDOR, XRAY_APPLICATION_CODE));
    int width = 0, height = 0;
    sim.Size(&width, &height);
    EXPECT_EQ(512, width);
    EXPECT_EQ(768, height);

    ASSERT_EQ(1, sim.Prepare());
    ASSERT_TRUE(WaitForPosted(1));
    CloseAndDrain(sim);
    ASSERT_EQ(1u, posted.size());
    ASSERT_EQ(XRAY_MSG_IMAGE, posted[0].wParam);
    HGLOBAL block = reinterpret_cast<HGLOBAL>(posted[0].lParam);
    // Movable: the handle is not the address of the memory.
    void *address = GlobalLock(block);
    ASSERT_NE(nullptr, address);
    EXPECT_NE(static_cast<void *>(block), address);
    EXPECT_EQ(block, GlobalHandle(address));
    GlobalUnlock(block);

    Image image = TakeImage(posted[0].lParam);
    const int stride = (width + 3) & ~3;
    ASSERT_EQ(static_cast<size_t>(40 + 1024 + stride * height), image.bytes.size());
    EXPECT_EQ(40u, image.header.biSize);
    EXPECT_EQ(width, image.header.biWidth);
    EXPECT_EQ(height, image.header.biHeight);
    EXPECT_EQ(1, image.header.biPlanes);
    EXPECT_EQ(8, image.header.biBitCount);
    EXPECT_EQ(static_cast<DWORD>(BI_RGB), image.header.biCompression);
    EXPECT_EQ(static_cast<DWORD>(stride * height), image.header.biSizeImage);
    for (int i = 0; i < 256; ++i) {
        const BYTE *entry = &image.bytes[40 + 4 * i];
        ASSERT_TRUE(entry[0] == i && entry[1] == i && entry[2] == i && entry[3] == 0) << "entry " << i;
    }

    // The "L" in the top-left corner: its stem and foot are full white, and
    // no mirrored or flipped copy of it is.
    const int stemX = width * 22 / 512, stemY = height * 40 / 768;
    const int footX = width * 48 / 512, footY = height * 74 / 768;
    EXPECT_EQ(255, image.At(stemX, stemY));
    EXPECT_EQ(255, image.At(footX, footY));
    EXPECT_NE(255, image.At(width - 1 - stemX, stemY));
    EXPECT_NE(255, image.At(stemX, height - 1 - stemY));
    EXPECT_NE(255, image.At(width - 1 - footX, footY));
    EXPECT_NE(255, image.At(footX, height - 1 - footY));
    EXPECT_NE(255, image.At(width * 8 / 512, footY));  // the foot points right

    // Anatomy: dark air above the teeth, three separate crowns across one
    // row, bone below; every anatomical level under the marker's white.
    EXPECT_LT(image.At(width / 2, height * 60 / 768), 50);
    int crowns = 0, run = 0;
    for (int x = 0; x < width; ++x) {
        run = image.At(x, height * 200 / 768) > 100 ? run + 1 : 0;
        crowns += run == width * 40 / 512;
    }
    EXPECT_EQ(3, crowns);
    std::set<int> levels;
    int white = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            levels.insert(image.At(x, y));
            white += image.At(x, y) == 255;
        }
    }
    EXPECT_GT(levels.size(), 150u);
    const int markerPixels = (12 * 64 + 28 * 12) * width * height / (512 * 768);
    EXPECT_NEAR(markerPixels, white, markerPixels / 10);
    DestroyWindow(window);
}

TEST(XraySim, HighResolutionDoublesTheReportedAndDeliveredSize)
{
    EnvVar exposure("XRAYSIM_EXPOSURE_MS", "0");
    Sim sim;
    ASSERT_TRUE(sim.Ready());
    HWND window = sim.OpenOnNewWindow();
    EXPECT_EQ(0, sim.GetBinning());
    EXPECT_EQ(1, sim.ChangeBinning(1));
    EXPECT_EQ(1, sim.GetBinning());
    int width = 0, height = 0;
    sim.Size(&width, &height);
    EXPECT_EQ(1024, width);
    EXPECT_EQ(1536, height);
    Image high = ArmAndTake(sim);
    EXPECT_EQ(1024, high.header.biWidth);
    EXPECT_EQ(1536, high.header.biHeight);
    EXPECT_EQ(static_cast<size_t>(40 + 1024 + 1024 * 1536), high.bytes.size());

    EXPECT_EQ(0, sim.ChangeBinning(5));  // unknown modes change nothing
    EXPECT_EQ(1, sim.GetBinning());
    sim.ChangeBinning(0);
    sim.Size(&width, &height);
    EXPECT_EQ(512, width);
    EXPECT_EQ(768, height);
    Image standard = ArmAndTake(sim);
    EXPECT_EQ(512, standard.header.biWidth);
    EXPECT_EQ(768, standard.header.biHeight);
    DestroyWindow(window);
}

TEST(XraySim, CloseWithAnExposurePendingPostsNothingAndLeaksNothing)
{
    // An exposure far longer than the test's CTest timeout: a close that
    // waited for it would hang the test until CTest ends it.
    EnvVar exposure("XRAYSIM_EXPOSURE_MS", "60000");
    Sim sim;
    ASSERT_TRUE(sim.Ready());
    HWND window = sim.OpenOnNewWindow();
    ASSERT_EQ(1, sim.Prepare());
    CloseAndDrain(sim);
    EXPECT_TRUE(posted.empty());
    EXPECT_EQ(sim.memory->Allocated().size(), sim.memory->Freed().size());
    // Closing again, and arming after the close, are harmless.
    sim.Close();
    EXPECT_EQ(0, sim.Prepare());
    CloseAndDrain(sim);
    EXPECT_TRUE(posted.empty());
    DestroyWindow(window);
}

TEST(XraySim, CloseWhileAnImageIsBeingMadeFreesItOrDeliversIt)
{
    EnvVar exposure("XRAYSIM_EXPOSURE_MS", "0");
    Sim sim;
    ASSERT_TRUE(sim.Ready());
    HWND window = MakeRecordingWindow();
    // Closes at ever later points of the making; on a machine too busy to
    // start making an image within the first waits, the waits go on growing
    // until one was started, so the case always sees the race it is about.
    for (DWORD wait = 0; wait < 60 || (sim.memory->Allocations() == 0 && wait < GUARD_MS);
         wait += wait < 60 ? 6 : wait) {
        sim.Open(window, XRAY_OPEN_VENDOR, XRAY_APPLICATION_CODE);
        sim.ChangeBinning(1);
        sim.Prepare();
        Sleep(wait);
        sim.Close();
    }
    PumpMessages();
    for (const Posted &p : posted) {
        ASSERT_EQ(XRAY_MSG_IMAGE, p.wParam);
        TakeImage(p.lParam);
    }
    // Every block made was either handed over or freed by the driver: one
    // freed as well as posted, or neither, breaks the count. (Handle values
    // are reused at once, so they cannot be told apart by value; the test's
    // own frees go through its own import table and are not counted.)
    EXPECT_EQ(sim.memory->Allocated().size(), posted.size() + sim.memory->Freed().size());
    EXPECT_GT(sim.memory->Allocated().size(), 0u);
    printf("%u images delivered, %u freed unposted\n", static_cast<unsigned>(posted.size()),
           static_cast<unsigned>(sim.memory->Freed().size()));
    DestroyWindow(window);
}

// The waits of these cases report their time once it reaches a tenth of
// their guard, in whole seconds, as the stress rig's table reads it.
TEST(WaitTimes, ReportedFromATenthOfTheirGuard)
{
    const struct {
        DWORD elapsedMs, guardMs;
        const char *line;
    } cases[] = {
        {0, 120000, ""},
        {11999, 120000, ""},
        {12000, 120000, "time: the driver's message 3: 12 s of the 120 s guard\n"},
        {19500, 120000, "time: the driver's message 3: 19 s of the 120 s guard\n"},
        {120000, 120000, "time: the driver's message 3: 120 s of the 120 s guard\n"},
        {999, 1000, ""},
        {1000, 1000, "time: the driver's message 3: 1 s of the 1 s guard\n"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.line, WaitTimeLine("the driver's message 3", c.elapsedMs, c.guardMs)) << c.elapsedMs;
    }
}

TEST(XraySim, CloseWithoutOpenIsHarmless)
{
    Sim sim;
    ASSERT_TRUE(sim.Ready());
    sim.Close();
    sim.Close();
    EXPECT_EQ(0, sim.Prepare());
    int width = 0, height = 0;
    sim.Size(&width, &height);
    EXPECT_EQ(512, width);
    EXPECT_EQ(768, height);
}

TEST(XraySim, ImageTheWindowCannotTakeIsFreedByTheDriver)
{
    EnvVar exposure("XRAYSIM_EXPOSURE_MS", "0");
    Sim sim;
    ASSERT_TRUE(sim.Ready());
    HWND window = sim.OpenOnNewWindow();
    DestroyWindow(window);
    ASSERT_EQ(1, sim.Prepare());
    DWORD start = GetTickCount();
    while (sim.memory->Freed().empty() && GetTickCount() - start < GUARD_MS) {
        Sleep(10);
    }
    ReportWaitTime("the driver's free of the refused image", start, GUARD_MS);
    sim.Close();
    ASSERT_EQ(1u, sim.memory->Allocated().size());
    ASSERT_EQ(1u, sim.memory->Freed().size());
    EXPECT_EQ(sim.memory->Allocated()[0], sim.memory->Freed()[0]);
}

TEST(XraySim, LogLineCarriesTheSizeAndCrcOfEachDeliveredBlock)
{
    std::string path = TempPath("xraysim_test.log");
    if (FILE *f = fopen(path.c_str(), "wb")) {
        fputs("earlier run\n", f);
        fclose(f);
    }
    EnvVar exposure("XRAYSIM_EXPOSURE_MS", "0");
    EnvVar log("XRAYSIM_LOG", path.c_str());
    Sim sim;
    ASSERT_TRUE(sim.Ready());
    HWND window = sim.OpenOnNewWindow();
    std::string expected = "earlier run\n";
    for (int seq = 1; seq <= 2; ++seq) {
        Image image = ArmAndTake(sim);
        ASSERT_FALSE(image.bytes.empty());
        EXPECT_EQ(512, image.header.biWidth);
        EXPECT_EQ(768, image.header.biHeight);
        expected += LogLine(seq, image);
    }
    sim.Close();
    EXPECT_EQ(expected, ReadWholeFile(path));
    DeleteFileA(path.c_str());
    DestroyWindow(window);
}

TEST(XraySim, EventCodesFollowEachImage)
{
    EnvVar exposure("XRAYSIM_EXPOSURE_MS", "0");
    EnvVar events("XRAYSIM_EVENTS", "12,1");
    Sim sim;
    ASSERT_TRUE(sim.Ready());
    HWND window = sim.OpenOnNewWindow();
    sim.Prepare();
    sim.Prepare();
    ASSERT_TRUE(WaitForPosted(6));
    CloseAndDrain(sim);
    ASSERT_EQ(6u, posted.size());
    const WPARAM kinds[] = {XRAY_MSG_IMAGE, XRAY_MSG_EVENT, XRAY_MSG_EVENT,
                            XRAY_MSG_IMAGE, XRAY_MSG_EVENT, XRAY_MSG_EVENT};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(kinds[i], posted[i].wParam) << "message " << i;
        if (kinds[i] == XRAY_MSG_IMAGE) {
            TakeImage(posted[i].lParam);
        } else {
            EXPECT_EQ(i % 3 == 1 ? 12 : 1, posted[i].lParam) << "message " << i;
        }
    }

    // One bad entry drops the whole list.
    EnvVar bad("XRAYSIM_EVENTS", "12,x");
    sim.Open(window, XRAY_OPEN_VENDOR, XRAY_APPLICATION_CODE);
    posted.clear();
    ArmAndTake(sim);
    CloseAndDrain(sim);
    EXPECT_EQ(1u, posted.size());
    DestroyWindow(window);
}

TEST(XraySim, SettingsFromTheEnvironmentFallBackWhenBad)
{
    EnvVar exposure("XRAYSIM_EXPOSURE_MS", "0");
    Sim sim;
    ASSERT_TRUE(sim.Ready());
    HWND window = MakeRecordingWindow();
    {
        EnvVar width("XRAYSIM_WIDTH", "301");
        EnvVar height("XRAYSIM_HEIGHT", "200");
        EnvVar resolution("XRAYSIM_RESOLUTION", "15.5,7.25");
        sim.Open(window, XRAY_OPEN_VENDOR, XRAY_APPLICATION_CODE);
        int w = 0, h = 0;
        sim.Size(&w, &h);
        EXPECT_EQ(301, w);
        EXPECT_EQ(200, h);
        double first = 0.0, second = 0.0;
        sim.Resolution(&first, &second);
        EXPECT_EQ(15.5, first);
        EXPECT_EQ(7.25, second);
        Image odd = ArmAndTake(sim);  // a width that needs row padding
        EXPECT_EQ(301, odd.header.biWidth);
        EXPECT_EQ(static_cast<size_t>(40 + 1024 + 304 * 200), odd.bytes.size());
    }
    const char *badSides[] = {"abc", "0", "-512", "99999", "512px"};
    const char *badResolutions[] = {"15.5", "x,1", "1,", "nan,1", "1,inf", "1;2"};
    for (int i = 0; i < 5; ++i) {
        EnvVar width("XRAYSIM_WIDTH", badSides[i]);
        EnvVar height("XRAYSIM_HEIGHT", badSides[(i + 1) % 5]);
        EnvVar resolution("XRAYSIM_RESOLUTION", badResolutions[i]);
        EnvVar exposureBad("XRAYSIM_EXPOSURE_MS", "-1");
        sim.Open(window, XRAY_OPEN_VENDOR, XRAY_APPLICATION_CODE);
        int w = 0, h = 0;
        sim.Size(&w, &h);
        EXPECT_EQ(512, w) << badSides[i];
        EXPECT_EQ(768, h) << badSides[(i + 1) % 5];
        double first = 0.0, second = 0.0;
        sim.Resolution(&first, &second);
        EXPECT_EQ(20.5, first) << badResolutions[i];
        EXPECT_EQ(10.0, second) << badResolutions[i];
    }
    DestroyWindow(window);
}

TEST(XraySim, ArmingsQueueOneImageEachAndSequenceNumbersRepeatTheImage)
{
    EnvVar exposure("XRAYSIM_EXPOSURE_MS", "60");
    std::vector<BYTE> first, second;
    {
        Sim sim;
        ASSERT_TRUE(sim.Ready());
        HWND window = sim.OpenOnNewWindow();
        DWORD start = GetTickCount();
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(1, sim.Prepare());
        }
        ASSERT_TRUE(WaitForPosted(3));
        CloseAndDrain(sim);
        ASSERT_EQ(3u, posted.size());
        // One exposure after the other.
        EXPECT_GE(posted[2].tick - start, 170u);
        for (const Posted &p : posted) {
            EXPECT_EQ(XRAY_MSG_IMAGE, p.wParam);
        }
        first = TakeImage(posted[0].lParam).bytes;
        second = TakeImage(posted[1].lParam).bytes;
        TakeImage(posted[2].lParam);
        DestroyWindow(window);
    }
    // Same scene, fresh noise.
    ASSERT_EQ(first.size(), second.size());
    EXPECT_NE(first, second);
    long long difference = 0;
    for (size_t i = 40 + 1024; i < first.size(); ++i) {
        difference += std::abs(first[i] - second[i]);
    }
    EXPECT_LT(difference / static_cast<long long>(first.size() - 1064), 8);

    // A fresh load numbers from 1 again and makes the very same image.
    Sim again;
    ASSERT_TRUE(again.Ready());
    HWND window = MakeRecordingWindow();
    again.Open(window, XRAY_OPEN_VENDOR, XRAY_APPLICATION_CODE);
    EXPECT_EQ(first, ArmAndTake(again).bytes);
    DestroyWindow(window);
}

TEST(XraySim, ImagesArriveInOrderWithTheBytesTheLogRecordsInBothResolutions)
{
    // How fast they are made is measured in bench/, not asserted here.
    std::string path = TempPath("xraysim_order.log");
    EnvVar exposure("XRAYSIM_EXPOSURE_MS", "0");
    EnvVar log("XRAYSIM_LOG", path.c_str());
    Sim sim;
    ASSERT_TRUE(sim.Ready());
    HWND window = sim.OpenOnNewWindow();
    std::string expected;
    int seq = 0;
    for (int mode = 0; mode <= 1; ++mode) {
        sim.ChangeBinning(mode);
        for (int i = 0; i < 3; ++i) {
            Image image = ArmAndTake(sim);
            ASSERT_FALSE(image.bytes.empty());
            EXPECT_EQ(512 << mode, image.header.biWidth);
            EXPECT_EQ(768 << mode, image.header.biHeight);
            expected += LogLine(++seq, image);
        }
    }
    sim.Close();
    EXPECT_EQ(expected, ReadWholeFile(path));
    DeleteFileA(path.c_str());
    DestroyWindow(window);
}

TEST(XraySim, SendMessageDeliveryCannotDeadlockTheClose)
{
    // The close comes while the worker is inside SendMessageA to this very
    // thread; a close that only waited for the worker would wait for ever,
    // and CTest's timeout would end the test.
    EnvVar exposure("XRAYSIM_EXPOSURE_MS", "0");
    EnvVar fault("XRAYSIM_FAULT", "sendmessage");
    EnvVar burst("XRAYSIM_BURST", "1000");
    EnvVar width("XRAYSIM_WIDTH", "64");
    EnvVar height("XRAYSIM_HEIGHT", "64");
    Sim sim;
    ASSERT_TRUE(sim.Ready());
    HWND window = sim.OpenOnNewWindow();
    ASSERT_EQ(1, sim.Prepare());
    ASSERT_TRUE(WaitForPosted(1));
    // Until the next image waits in a send to this thread (not taken: only
    // looked at); the deadline only guards against a driver that stopped.
    DWORD start = GetTickCount();
    while (!(HIWORD(GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE) && GetTickCount() - start < GUARD_MS) {
        Sleep(1);
    }
    ASSERT_TRUE(HIWORD(GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE);
    sim.Close();
    ASSERT_FALSE(posted.empty());
    EXPECT_LT(posted.size(), 1000u);
    for (const Posted &p : posted) {
        EXPECT_EQ(XRAY_MSG_IMAGE, p.wParam);
        EXPECT_TRUE(p.sent);
        TakeImage(p.lParam);
    }
    EXPECT_EQ(sim.memory->Allocated().size(), posted.size() + sim.memory->Freed().size());
    DestroyWindow(window);
}
