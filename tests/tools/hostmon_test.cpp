// hostmon.exe run as a separate process, as the station meets it: its
// windows are found by class, WM_COPYDATA crosses the process boundary, and
// every line of its log is checked against what the test sent. Then the
// whole road from the simulated driver through a station window to hostmon.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "crc32.h"
#include "dibbuilder.h"
#include "hostproto.h"
#include "resource.h"
#include "teststation.h"
#include "wndproc.h"

namespace {

const char FRONT[] = "TLumitaneWnd";
const char PHOTO[] = "PELK_FOTO_SERVER";

std::vector<std::string> ReadLines(const std::string &path)
{
    std::vector<std::string> lines;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return lines;
    }
    std::string text;
    char buffer[4096];
    DWORD n;
    while (ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0) {
        text.append(buffer, n);
    }
    CloseHandle(file);
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

// One hostmon.exe with its own log; killed at the end if still running.
struct HostMon {
    PROCESS_INFORMATION process = {};
    std::string log;

    explicit HostMon(const char *options)
    {
        log = TempPath("hostmon_test.log");
        DeleteFileA(log.c_str());
        // Another program's host window would be found instead of ours.
        std::string open = OpenHostWindows();
        if (!open.empty()) {
            ADD_FAILURE() << HostWindowsLeftOpen(open);
            return;
        }
        std::string command = "\"" + BinPath("hostmon.exe") + "\" " + options + " --log \"" + log + "\"";
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        std::vector<char> line(command.begin(), command.end());
        line.push_back('\0');
        if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &process)) {
            process = {};
        }
    }
    ~HostMon()
    {
        if (process.hProcess != nullptr) {
            if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
                TerminateProcess(process.hProcess, 99);
                WaitForSingleObject(process.hProcess, EVENT_GUARD_MS);
            }
            CloseHandle(process.hProcess);
            CloseHandle(process.hThread);
        }
        DeleteFileA(log.c_str());
    }
    // Waits until the log has at least `count` lines; returns them.
    std::vector<std::string> Lines(size_t count, DWORD ms = EVENT_GUARD_MS) const
    {
        DWORD start = GetTickCount();
        std::vector<std::string> lines = ReadLines(log);
        while (process.hProcess != nullptr && lines.size() < count && GetTickCount() - start < ms) {
            Sleep(20);
            lines = ReadLines(log);
        }
        ReportWaitTime("hostmon's log of " + std::to_string(count) + " lines", start, ms);
        return lines;
    }
    bool Running() const { return WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT; }
    // Closes a window and returns the exit code, or -1 when it does not end.
    long CloseAndWait(HWND window) const
    {
        PostMessageA(window, WM_CLOSE, 0, 0);
        if (WaitForSingleObject(process.hProcess, EVENT_GUARD_MS) != WAIT_OBJECT_0) {
            return -1;
        }
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        return static_cast<long>(code);
    }
};

// Sends WM_COPYDATA as the station does and returns the window's answer, or
// -1 when the send failed or timed out.
LRESULT SendCopy(HWND to, ULONG_PTR tag, const std::vector<BYTE> &data, UINT flags = SMTO_NORMAL,
                 UINT timeout = 30000)
{
    COPYDATASTRUCT record = {};
    record.dwData = tag;
    record.cbData = static_cast<DWORD>(data.size());
    record.lpData = data.empty() ? nullptr : const_cast<BYTE *>(data.data());
    DWORD_PTR result = 0;
    HWND owner = GetDesktopWindow();
    if (!SendMessageTimeoutA(to, WM_COPYDATA, reinterpret_cast<WPARAM>(owner),
                             reinterpret_cast<LPARAM>(&record), flags, timeout, &result)) {
        return -1;
    }
    return static_cast<LRESULT>(result);
}

// The line hostmon must write, worked out here from what was sent.
std::string Expected(const char *host, DWORD tag, const std::vector<BYTE> &data)
{
    long width = 0, height = 0;
    unsigned bits = 0;
    if (data.size() >= 40) {
        BITMAPINFOHEADER header;
        memcpy(&header, data.data(), sizeof header);
        width = header.biWidth;
        height = header.biHeight;
        bits = header.biBitCount;
    }
    char line[256];
    FormatCopyDataLine(line, sizeof line, host, tag, static_cast<uint32_t>(data.size()), width, height, bits,
                       Crc32(data.data(), data.size()));
    return line;
}

}  // namespace

TEST(HostMon, LogsEveryCopyDataForBothHostsAndExitsCleanly)
{
    HostMon mon("");
    ASSERT_NE(nullptr, mon.process.hProcess);
    std::vector<std::string> ready = mon.Lines(2);
    ASSERT_EQ(2u, ready.size());
    EXPECT_EQ("READY host=TLumitaneWnd", ready[0]);
    EXPECT_EQ("READY host=PELK_FOTO_SERVER", ready[1]);
    HWND front = FindWindowA(FRONT, nullptr);
    HWND photo = FindWindowA(PHOTO, nullptr);
    ASSERT_NE(nullptr, front);
    ASSERT_NE(nullptr, photo);

    std::vector<BYTE> dib = GreyImage(61, 48);
    std::vector<BYTE> shortData = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    std::vector<BYTE> empty;
    EXPECT_EQ(TRUE, SendCopy(front, 0x001401FF, dib));
    EXPECT_EQ(TRUE, SendCopy(photo, 0x000A0014, dib));
    EXPECT_EQ(TRUE, SendCopy(front, 0xFFFF8000, shortData));
    EXPECT_EQ(TRUE, SendCopy(photo, 0, empty));

    std::vector<std::string> lines = mon.Lines(6);
    ASSERT_EQ(6u, lines.size());
    EXPECT_EQ(Expected(FRONT, 0x001401FF, dib), lines[2]);
    EXPECT_EQ(Expected(PHOTO, 0x000A0014, dib), lines[3]);
    char shortLine[160];
    snprintf(shortLine, sizeof shortLine,
             "COPYDATA host=TLumitaneWnd dwData=0xFFFF8000 high=65535 low=32768 cbData=10 width=0 height=0 "
             "bits=0 crc32=0x%08X",
             Crc32(shortData.data(), shortData.size()));
    EXPECT_EQ(shortLine, lines[4]);
    EXPECT_EQ("COPYDATA host=PELK_FOTO_SERVER dwData=0x00000000 high=0 low=0 cbData=0 width=0 height=0 "
              "bits=0 crc32=0x00000000",
              lines[5]);

    EXPECT_EQ(0, mon.CloseAndWait(photo));
    EXPECT_EQ(nullptr, FindWindowA(FRONT, nullptr));
}

TEST(HostMon, TakesAnImageLargerThanFourMegabytesAcrossProcesses)
{
    HostMon mon("--front");
    ASSERT_EQ(1u, mon.Lines(1).size());
    HWND front = FindWindowA(FRONT, nullptr);
    ASSERT_NE(nullptr, front);
    std::vector<BYTE> big = GreyImage(2048, 2600);
    ASSERT_GT(big.size(), 5u * 1024 * 1024);
    EXPECT_EQ(TRUE, SendCopy(front, 0x001401FF, big));
    std::vector<std::string> lines = mon.Lines(2);
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(Expected(FRONT, 0x001401FF, big), lines[1]);
    EXPECT_TRUE(mon.Running());
    EXPECT_EQ(0, mon.CloseAndWait(front));
}

TEST(HostMon, PhotoServerAloneLogsTheDeleteResourceNotice)
{
    HostMon mon("--photo");
    std::vector<std::string> lines = mon.Lines(1);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("READY host=PELK_FOTO_SERVER", lines[0]);
    EXPECT_EQ(nullptr, FindWindowA(FRONT, nullptr));
    HWND photo = FindWindowA(PHOTO, nullptr);
    ASSERT_NE(nullptr, photo);
    UINT notice = RegisterWindowMessageA("WM_DELETE_RESOURCE");
    ASSERT_TRUE(PostMessageA(photo, notice, 2, 0));
    lines = mon.Lines(2);
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("DELETE_RESOURCE host=PELK_FOTO_SERVER wParam=2 lParam=0", lines[1]);
    // Once the program has ended its log is complete: one notice, one line.
    EXPECT_EQ(0, mon.CloseAndWait(photo));
    EXPECT_EQ(2u, mon.Lines(2).size());
}

TEST(HostMon, DelayedHostAnswersLateAndHungHostTimesTheSenderOut)
{
    std::vector<BYTE> dib = FlatGreyImage(32, 32, 90);
    {
        HostMon mon("--front --delay 400");
        ASSERT_EQ(1u, mon.Lines(1).size());
        HWND front = FindWindowA(FRONT, nullptr);
        ASSERT_NE(nullptr, front);
        DWORD start = GetTickCount();
        EXPECT_EQ(TRUE, SendCopy(front, 0x001401FF, dib, SMTO_NORMAL, EVENT_GUARD_MS));
        DWORD elapsed = GetTickCount() - start;
        // The answer came, after the delay at least (however busy the machine).
        EXPECT_GE(elapsed, 380u);
        EXPECT_EQ(0, mon.CloseAndWait(front));
    }
    HostMon mon("--front --hang");
    ASSERT_EQ(1u, mon.Lines(1).size());
    HWND front = FindWindowA(FRONT, nullptr);
    ASSERT_NE(nullptr, front);
    DWORD start = GetTickCount();
    EXPECT_EQ(-1, SendCopy(front, 0x001401FF, dib, SMTO_ABORTIFHUNG, 500));
    DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 450u);
    // The data was logged before the host stopped answering.
    std::vector<std::string> lines = mon.Lines(2);
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(Expected(FRONT, 0x001401FF, dib), lines[1]);
    EXPECT_TRUE(mon.Running());
}

TEST(HostMon, SavesEachImageAsABitmapFile)
{
    char folder[MAX_PATH];
    GetTempPathA(sizeof folder, folder);
    std::string dir = std::string(folder) + "hostmon_test_save";
    CreateDirectoryA(dir.c_str(), nullptr);
    std::string command = "--front --save \"" + dir + "\"";
    HostMon mon(command.c_str());
    ASSERT_EQ(1u, mon.Lines(1).size());
    HWND front = FindWindowA(FRONT, nullptr);
    ASSERT_NE(nullptr, front);
    std::vector<BYTE> first = GreyImage(33, 20);
    std::vector<BYTE> second = FlatGreyImage(16, 16, 200);
    ASSERT_EQ(TRUE, SendCopy(front, 0x001401FF, first));
    ASSERT_EQ(TRUE, SendCopy(front, 0x001401FF, second));
    EXPECT_EQ(0, mon.CloseAndWait(front));

    // Named by time and host: YYYYMMDD-HHMMSS-mmm-HOST-N.bmp.
    const std::vector<BYTE> *sent[] = {&first, &second};
    for (int i = 0; i < 2; ++i) {
        std::string pattern = dir + "\\*-TLumitaneWnd-" + std::to_string(i + 1) + ".bmp";
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA(pattern.c_str(), &found);
        ASSERT_NE(INVALID_HANDLE_VALUE, search) << pattern;
        FindClose(search);
        std::string name = found.cFileName;
        EXPECT_EQ(strlen("20261208-225907-123-TLumitaneWnd-1.bmp"), name.size()) << name;
        EXPECT_EQ('-', name[8]) << name;
        EXPECT_EQ('-', name[15]) << name;
        std::string path = dir + "\\" + name;
        std::string text = ReadWholeFile(path);
        std::vector<BYTE> file(text.begin(), text.end());
        ASSERT_EQ(14 + sent[i]->size(), file.size()) << path;
        BITMAPFILEHEADER header;
        memcpy(&header, file.data(), sizeof header);
        EXPECT_EQ(0x4D42, header.bfType);
        EXPECT_EQ(file.size(), header.bfSize);
        EXPECT_EQ(14u + 40 + 1024, header.bfOffBits);
        EXPECT_TRUE(std::equal(sent[i]->begin(), sent[i]->end(), file.begin() + 14)) << path;
        DeleteFileA(path.c_str());
    }
    RemoveDirectoryA(dir.c_str());
}

TEST(HostMon, ShowsTheLastGoodImageAndSurvivesMalformedData)
{
    HostMon mon("--front");
    ASSERT_EQ(1u, mon.Lines(1).size());
    HWND front = FindWindowA(FRONT, nullptr);
    ASSERT_NE(nullptr, front);
    // On top of whatever else is on the shared display, for the read-back.
    SetWindowPos(front, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    ASSERT_EQ(TRUE, SendCopy(front, 0x001401FF, FlatGreyImage(40, 30, 200)));

    // Headers that promise more than the data holds, or nonsense.
    std::vector<std::vector<BYTE>> bad;
    auto withHeader = [](std::vector<BYTE> dib, void (*edit)(BITMAPINFOHEADER *)) {
        BITMAPINFOHEADER header;
        memcpy(&header, dib.data(), sizeof header);
        edit(&header);
        memcpy(dib.data(), &header, sizeof header);
        return dib;
    };
    bad.push_back(withHeader(FlatGreyImage(40, 30, 10), [](BITMAPINFOHEADER *h) { h->biHeight = 4000; }));
    bad.push_back(withHeader(FlatGreyImage(40, 30, 10), [](BITMAPINFOHEADER *h) { h->biWidth = 0x7FFFFFFF; }));
    bad.push_back(withHeader(FlatGreyImage(40, 30, 10), [](BITMAPINFOHEADER *h) { h->biSize = 0xFFFFFFF0; }));
    bad.push_back(withHeader(FlatGreyImage(40, 30, 10), [](BITMAPINFOHEADER *h) { h->biWidth = -40; }));
    bad.push_back(withHeader(FlatGreyImage(40, 30, 10), [](BITMAPINFOHEADER *h) { h->biHeight = INT_MIN; }));
    std::vector<BYTE> headerOnly = FlatGreyImage(40, 30, 10);
    headerOnly.resize(500);  // the colour table is cut short
    bad.push_back(headerOnly);
    for (const auto &data : bad) {
        EXPECT_EQ(TRUE, SendCopy(front, 0x001401FF, data));
    }
    std::vector<std::string> lines = mon.Lines(2 + bad.size());
    ASSERT_EQ(2 + bad.size(), lines.size());
    for (size_t i = 0; i < bad.size(); ++i) {
        EXPECT_EQ(Expected(FRONT, 0x001401FF, bad[i]), lines[2 + i]);
    }
    EXPECT_TRUE(mon.Running());

    // The window still shows the good image, scaled to fill its middle.
    RECT client;
    GetClientRect(front, &client);
    POINT middle = {client.right / 2, client.bottom / 2};
    ClientToScreen(front, &middle);
    COLORREF seen = CLR_INVALID;
    for (DWORD start = GetTickCount(); seen != RGB(200, 200, 200) && GetTickCount() - start < EVENT_GUARD_MS;) {
        Sleep(50);
        HDC screen = GetDC(nullptr);
        seen = GetPixel(screen, middle.x, middle.y);
        ReleaseDC(nullptr, screen);
    }
    EXPECT_EQ(RGB(200, 200, 200), seen);
    char title[256] = "";
    GetWindowTextA(front, title, sizeof title);
    EXPECT_NE(nullptr, strstr(title, "7 received")) << title;
    EXPECT_EQ(0, mon.CloseAndWait(front));
}

TEST(HostMon, HelpAndAQuietWindowWithTheCountAndTheTagHalves)
{
    std::string output;
    EXPECT_EQ(0, RunProgram("hostmon.exe", "--help", &output));
    EXPECT_NE(std::string::npos, output.find("  --quiet ")) << output;

    HostMon mon("--front --quiet");
    ASSERT_EQ(1u, mon.Lines(1).size());
    HWND front = FindWindowA(FRONT, nullptr);
    ASSERT_NE(nullptr, front);
    char title[256] = "";
    GetWindowTextA(front, title, sizeof title);
    EXPECT_STREQ("TLumitaneWnd (hostmon) - 0 received", title);
    std::vector<BYTE> dib = GreyImage(24, 16);
    const DWORD tags[] = {0x001401FF, 0x000A0014};
    for (DWORD tag : tags) {
        ASSERT_EQ(TRUE, SendCopy(front, tag, dib));
    }
    GetWindowTextA(front, title, sizeof title);
    EXPECT_STREQ("TLumitaneWnd (hostmon) - 2 received, tag 10/20", title);
    EXPECT_EQ(0, mon.CloseAndWait(front));
    // One line per image.
    std::vector<std::string> lines = mon.Lines(3);
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(Expected(FRONT, tags[1], dib), lines[2]);
}

TEST(HostMon, BadCommandLineShowsTheUsageInABoxAndExitsWithTwo)
{
    const char usage[] = "usage: hostmon.exe [--front] [--photo] --log FILE [--save DIR] [--delay MS | --hang] [--quiet]\n";
    const std::string log = TempPath("hostmon_usage.log");
    const std::string noFolder = TempPath("hostmon_no_folder") + "\\hostmon.log";
    const struct {
        std::string arguments;
        std::string problem;  // the box's first line, before the usage
    } cases[] = {
        {"", ""},
        {"--front --photo", ""},
        {"--log", ""},
        {"--help --front", ""},
        {"--bogus --log \"" + log + "\"", ""},
        {"--delay 10 --hang --log \"" + log + "\"", ""},
        {"--delay soon --log \"" + log + "\"", ""},
        {"--log \"" + noFolder + "\"", "Cannot open the log file " + noFolder + ".\n\n"},
    };
    for (const auto &c : cases) {
        ModalCatcher boxes;
        std::string output;
        EXPECT_EQ(2, RunProgram("hostmon.exe", c.arguments, &output, 3 * EVENT_GUARD_MS, &boxes)) << c.arguments;
        ASSERT_EQ(1u, boxes.records.size()) << c.arguments << "\n" << Describe(boxes.records);
        const ModalRecord &box = boxes.records[0];
        EXPECT_EQ("hostmon", box.caption) << c.arguments;
        EXPECT_EQ(0u, box.text.find(c.problem + usage)) << c.arguments << "\n" << box.text;
        EXPECT_NE(std::string::npos, box.text.find("  --log FILE    append one line")) << box.text;
        EXPECT_NE(nullptr, box.icon) << c.arguments;
        EXPECT_FALSE(box.hasCancel) << c.arguments;
        // The error stream has the usage line too, for a script.
        EXPECT_EQ(usage, output) << c.arguments;
        EXPECT_EQ(nullptr, FindWindowA(FRONT, nullptr)) << c.arguments;
    }
    // Asked for, with somewhere to print it: no box.
    ModalCatcher boxes;
    std::string output;
    EXPECT_EQ(0, RunProgram("hostmon.exe", "--help", &output, 3 * EVENT_GUARD_MS, &boxes));
    EXPECT_TRUE(boxes.records.empty()) << Describe(boxes.records);
    EXPECT_EQ(0u, output.find(usage)) << output;
    DeleteFileA(log.c_str());
}

// ---------------------------------------------------------------------------
// The whole road: xraysim.dll in a station window of this process, hostmon
// in its own, as an integrator runs them.

namespace {

BYTE Grey(BYTE red, BYTE green, BYTE blue)
{
    return static_cast<BYTE>((299u * red + 587u * green + 114u * blue + 500u) / 1000u);
}

// A .bmp file of `bits` 8 (with a coloured table) or 24, rows stored
// top-down or bottom-up, and the image block the simulator must make of it.
struct Replay {
    std::vector<BYTE> file;
    std::vector<BYTE> block;
};

// The picture of a replay: indices through a coloured table at 8 bits, else
// colours; y from the top.
uint32_t ReplayPixel(int bits, int x, int y)
{
    if (bits == 8) {
        return uint8_t(x * 7 + y * 13);
    }
    return uint32_t(uint8_t(x + y)) << 16 | uint32_t(uint8_t(y * 3)) << 8 | uint8_t(x * 5);
}
uint32_t ReplayColour(int i) { return uint32_t(i) << 16 | uint32_t(uint8_t(i * 3)) << 8 | uint8_t(255 - i); }

Replay MakeReplay(int width, int height, int bits, bool topDown)
{
    DibFields picture;
    picture.width = width;
    picture.height = topDown ? -height : height;
    picture.bitCount = static_cast<uint16_t>(bits);
    picture.tableEntries = bits == 8 ? 256 : 0;
    auto pixel = [bits](int x, int y) { return ReplayPixel(bits, x, y); };
    const std::vector<BYTE> dib = BuildDib(picture, pixel, ReplayColour);
    BITMAPFILEHEADER fileHeader = {};
    fileHeader.bfType = 0x4D42;
    fileHeader.bfOffBits = sizeof fileHeader + 40 + 4 * picture.tableEntries;
    fileHeader.bfSize = static_cast<DWORD>(sizeof fileHeader + dib.size());
    Replay r;
    r.file.resize(sizeof fileHeader);
    memcpy(r.file.data(), &fileHeader, sizeof fileHeader);
    r.file.insert(r.file.end(), dib.begin(), dib.end());
    // The block: header, grey table, bottom-up grey rows.
    DibFields grey;
    grey.width = width;
    grey.height = height;
    grey.sizeImage = Stride(width, 8) * height;
    auto level = [bits](int x, int y) {
        const uint32_t c = bits == 8 ? ReplayColour(int(ReplayPixel(8, x, y))) : ReplayPixel(bits, x, y);
        return uint32_t(Grey(uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c)));
    };
    r.block = BuildDib(grey, level, GreyColour);
    return r;
}

// A station window on xraysim.dll, started with the HBX switch "Synchro" at
// `synchro` (none: absent, standalone).
StationOptions OnSimulator(const char *synchro = nullptr)
{
    return StationOptions().OnDll("xraysim.dll").WithSynchro(synchro);
}

// The simulator's image size and its log file for one case, unset at its end.
struct SimImages {
    EnvVar width, height, log;
    SimImages(const char *w, const char *h, const std::string &logPath)
        : width("XRAYSIM_WIDTH", w), height("XRAYSIM_HEIGHT", h), log("XRAYSIM_LOG", logPath.c_str())
    {
    }
};

// Pumps the station's thread until hostmon has logged `count` lines, under
// a guard against a road that stops.
std::vector<std::string> WaitForLines(const HostMon &mon, size_t count, DWORD guardMs = EVENT_GUARD_MS)
{
    DWORD start = GetTickCount();
    std::vector<std::string> lines = ReadLines(mon.log);
    while (lines.size() < count && GetTickCount() - start < guardMs) {
        PumpMessages(20);
        lines = ReadLines(mon.log);
    }
    ReportWaitTime("station to hostmon, " + std::to_string(count) + " log lines", start, guardMs);
    return lines;
}

// COPYDATA lines: two for each image, one at each host.
size_t CountCopies(const std::vector<std::string> &lines)
{
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [](const std::string &line) {
        return line.compare(0, 9, "COPYDATA ") == 0;
    }));
}

}  // namespace

TEST(SimRoad, StationOpensTheSimulatorInTheModeTheSwitchAsksUnlessItIsForced)
{
    // No generator image during the case.
    EnvVar interval("XRAYSIM_INTERVAL_MS", "600000");
    const char *const standalone = "CATTURA DA SENSORE - Standalone version";
    const char *const hbx = "CATTURA DA SENSORE - HBX version";
    const struct {
        const char *synchro;  // "Synchro" at start, or none
        const char *forced;   // XRAYSIM_MODE, or unset
        const char *title;
    } cases[] = {
        {nullptr, nullptr, standalone}, {"2", nullptr, standalone}, {"1", nullptr, hbx},
        {"1", "2", standalone},         {"2", "1", hbx},
    };
    for (const auto &c : cases) {
        SetEnvironmentVariableA("XRAYSIM_MODE", c.forced);
        TestStation station(OnSimulator(c.synchro));
        const bool isHbx = c.title == hbx;
        std::string label = std::string("Synchro ") + (c.synchro ? c.synchro : "(none)") + ", XRAYSIM_MODE " +
                            (c.forced ? c.forced : "(unset)");
        EXPECT_EQ(c.title, Title(station.window)) << label;
        EXPECT_EQ(isHbx, (ItemState(GetMenu(station.window), IDM_START) & MF_GRAYED) != 0) << label;
        EXPECT_EQ(isHbx, (ItemState(GetMenu(station.window), IDM_SYNCHRO) & MF_CHECKED) != 0) << label;
        EXPECT_TRUE(station.modal.records.empty()) << label << "\n" << Describe(station.modal.records);
    }
    SetEnvironmentVariableA("XRAYSIM_MODE", nullptr);
}

TEST(SimRoad, HbxSwitchReopensTheSimulatorWithTheGeneratorOrWithF1)
{
    std::string simLog = TempPath("simroad_hbx.log");
    SimImages images("64", "64", simLog);
    HostMon mon("");
    ASSERT_EQ(2u, mon.Lines(2).size());
    TestStation station(OnSimulator());
    ASSERT_EQ("CATTURA DA SENSORE - Standalone version", Title(station.window));

    // HBX: the generator's image comes at its default pace, with no F1.
    EXPECT_TRUE(MainCommand(station.window, IDM_SYNCHRO));
    std::string synchro;
    EXPECT_TRUE(ReadSensorValue("Synchro", &synchro, nullptr, nullptr));
    EXPECT_EQ("1", synchro);
    EXPECT_EQ("XRAY CAPTURE - HBX version", Title(station.window));
    EXPECT_TRUE(ItemState(GetMenu(station.window), IDM_START) & MF_GRAYED);
    EXPECT_TRUE(ItemState(GetMenu(station.window), IDM_SYNCHRO) & MF_CHECKED);
    std::vector<std::string> lines = WaitForLines(mon, 2 + 2);
    ASSERT_EQ(2u, CountCopies(lines)) << ReadWholeFile(simLog);

    // Standalone: the generator stops; twenty of its intervals pass with
    // nothing, then F1's exposure gives one image.
    EnvVar interval("XRAYSIM_INTERVAL_MS", "50");
    EXPECT_TRUE(MainCommand(station.window, IDM_SYNCHRO));
    EXPECT_TRUE(ReadSensorValue("Synchro", &synchro, nullptr, nullptr));
    EXPECT_EQ("2", synchro);
    EXPECT_EQ("XRAY CAPTURE - Standalone version", Title(station.window));
    EXPECT_FALSE(ItemState(GetMenu(station.window), IDM_START) & MF_GRAYED);
    EXPECT_FALSE(ItemState(GetMenu(station.window), IDM_SYNCHRO) & MF_CHECKED);
    // XRAYClose joined the worker: nothing more is made in HBX mode.
    const std::string madeInHbx = ReadWholeFile(simLog);
    PumpMessages(1000);
    EXPECT_EQ(madeInHbx, ReadWholeFile(simLog)) << "made with nothing armed";
    EXPECT_TRUE(MainCommand(station.window, IDM_START));
    // Until the simulator has handed over one more image (a guard only).
    std::string made;
    DWORD start = GetTickCount();
    do {
        PumpMessages(20);
        made = ReadWholeFile(simLog);
    } while (made.size() == madeInHbx.size() && GetTickCount() - start < EVENT_GUARD_MS);
    ReportWaitTime("the simulator's image after the switch", start, EVENT_GUARD_MS);
    ASSERT_EQ(0u, made.find(madeInHbx));
    made.erase(0, madeInHbx.size());
    EXPECT_EQ(1, std::count(made.begin(), made.end(), '\n')) << "made after the switch:\n" << made;
    EXPECT_TRUE(station.modal.records.empty()) << Describe(station.modal.records);
    DeleteFileA(simLog.c_str());
}

TEST(SimRoad, ReplayedBitmapArrivesAtBothHostsByteExact)
{
    const struct {
        int width, height, bits;
        bool topDown;
    } cases[] = {{61, 40, 8, false}, {64, 33, 24, true}, {17, 90, 24, false}};
    EnvVar exposure("XRAYSIM_EXPOSURE_MS", "0");
    for (const auto &c : cases) {
        Replay replay = MakeReplay(c.width, c.height, c.bits, c.topDown);
        std::string path = TempPath("simroad.bmp");
        if (FILE *f = fopen(path.c_str(), "wb")) {
            fwrite(replay.file.data(), 1, replay.file.size(), f);
            fclose(f);
        }
        EnvVar file("XRAYSIM_REPLAY", path.c_str());
        HostMon mon("");
        ASSERT_EQ(2u, mon.Lines(2).size());
        TestStation station(OnSimulator());
        EXPECT_TRUE(MainCommand(station.window, IDM_START));
        std::vector<std::string> lines = WaitForLines(mon, 4);
        ASSERT_EQ(4u, lines.size()) << c.width << "x" << c.height;
        EXPECT_EQ(Expected(FRONT, 0x001401FF, replay.block), lines[2]);
        EXPECT_EQ(Expected(PHOTO, 0x000A0014, replay.block), lines[3]);
        printf("replayed %d-bit %dx%d: %s\n", c.bits, c.width, c.height, lines[3].c_str());
        EXPECT_TRUE(station.modal.records.empty()) << Describe(station.modal.records);
        DeleteFileA(path.c_str());
    }
}

TEST(SimRoad, BurstOfFiftyArrivesCompleteAndInOrderThroughTheStation)
{
    std::string simLog = TempPath("simroad_burst.log");
    EnvVar exposure("XRAYSIM_EXPOSURE_MS", "0");
    EnvVar burst("XRAYSIM_BURST", "50");
    SimImages images("128", "96", simLog);
    HostMon mon("");
    ASSERT_EQ(2u, mon.Lines(2).size());
    TestStation station(OnSimulator());
    EXPECT_TRUE(MainCommand(station.window, IDM_START));
    // Fifty images in one wait: up to a minute in the emulated guest under
    // load, so a guard of its own.
    std::vector<std::string> lines = WaitForLines(mon, 2 + 100, 5 * EVENT_GUARD_MS);
    ASSERT_EQ(102u, lines.size());
    // The simulator's log gives each image's checksum in the order made.
    std::vector<std::string> made;
    std::string text = ReadWholeFile(simLog);
    for (size_t at = 0; (at = text.find("crc32=", at)) != std::string::npos; at += 6) {
        made.push_back(text.substr(at, 16));
    }
    ASSERT_EQ(50u, made.size()) << text;
    for (size_t i = 0; i < 50; ++i) {
        // Front end first, then the photo server, image after image.
        const std::string &front = lines[2 + 2 * i];
        const std::string &photo = lines[3 + 2 * i];
        EXPECT_EQ(0u, front.find("COPYDATA host=TLumitaneWnd ")) << i << ": " << front;
        EXPECT_EQ(0u, photo.find("COPYDATA host=PELK_FOTO_SERVER ")) << i << ": " << photo;
        EXPECT_NE(std::string::npos, front.find(made[i])) << i << ": " << front;
        EXPECT_NE(std::string::npos, photo.find(made[i])) << i << ": " << photo;
    }
    EXPECT_TRUE(station.modal.records.empty()) << Describe(station.modal.records);
    DeleteFileA(simLog.c_str());
}
