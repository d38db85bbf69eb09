// The main window procedure against the real API: a real CAPClass window,
// real messages, and what came of them (boxes, beeps, driver calls, host
// messages, return values).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "dibbuilder.h"
#include "hosts.h"
#include "iatpatch.h"
#include "notices.h"
#include "palette.h"
#include "resource.h"
#include "shell.h"
#include "testhosts.h"
#include "teststation.h"
#include "view.h"
#include "wndproc.h"
#include "xraydrv.h"

TEST(EventNoticeText, EveryCodeHasItsText)
{
    const char *expected[] = {"I don't know",          "HBX is on again",          "No connected sensor",
                              "HBX is off",            "Sensor's mask failed",     "Driver internal error",
                              "I don't know",          "I don't know",             "Memory allocation error",
                              "New board, but old driver", "Time to take XRay is over", "USB board plugged off",
                              "USB board plugged on again"};
    for (unsigned code = 0; code < 13; ++code) {
        EXPECT_STREQ(expected[code], EventNoticeText(code)) << "code " << code;
    }
    EXPECT_STREQ("I don't know", EventNoticeText(13));
    EXPECT_STREQ("I don't know", EventNoticeText(0x7FFFFFFFu));
    EXPECT_STREQ("I don't know", EventNoticeText(0xFFFFFFFFu));
}

// A station window on the full test driver in mode 2, the sensor's key made
// first, with the registry key and "xray.ini" restored afterwards.
class Station : public ::testing::Test, protected TestStation {
protected:
    Station() : TestStation(StationOptions().WithSensorKey()) {}
    void SetUp() override
    {
        ASSERT_TRUE(driver.Loaded());
        ASSERT_NE(nullptr, window);
    }
};

TEST_F(Station, WindowIsCreatedHiddenWithClassAndStyle)
{
    EXPECT_FALSE(IsWindowVisible(window));
    char cls[32] = "";
    GetClassNameA(window, cls, sizeof cls);
    EXPECT_STREQ("CAPClass", cls);
    EXPECT_EQ(static_cast<LONG>(WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN),
              GetWindowLongA(window, GWL_STYLE) & static_cast<LONG>(WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN | WS_HSCROLL | WS_VSCROLL));
    EXPECT_EQ(static_cast<ULONG_PTR>(CS_HREDRAW | CS_VREDRAW), GetClassLongPtrA(window, GCL_STYLE));
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(GetStockObject(BLACK_BRUSH)), GetClassLongPtrA(window, GCLP_HBRBACKGROUND));
    EXPECT_NE(nullptr, GetMenu(window));
    RECT r;
    GetWindowRect(window, &r);
    EXPECT_EQ(560 + 2 * GetSystemMetrics(SM_CXFRAME), r.right - r.left);
    // The system clips a window to the largest it allows on this screen
    // (Wine under heavy load has come up with a 1024 by 768 screen).
    const int asked =
        768 + GetSystemMetrics(SM_CYCAPTION) - GetSystemMetrics(SM_CYBORDER) + 2 * GetSystemMetrics(SM_CYFRAME);
    EXPECT_EQ(std::min(asked, GetSystemMetrics(SM_CYMAXTRACK)), r.bottom - r.top)
        << "window at (" << r.left << ", " << r.top << "); screen " << GetSystemMetrics(SM_CXSCREEN) << " x "
        << GetSystemMetrics(SM_CYSCREEN) << ", largest track height " << GetSystemMetrics(SM_CYMAXTRACK)
        << ", maximised height " << GetSystemMetrics(SM_CYMAXIMIZED);
    // The creation steps built the palette and opened the driver with this window.
    EXPECT_NE(nullptr, GreyPalette());
    EXPECT_EQ(window, driver.OpenWindow());
    char title[128] = "";
    GetWindowTextA(window, title, sizeof title);
    EXPECT_STREQ("CATTURA DA SENSORE - Standalone version", title);
}

TEST_F(Station, EventNoticesShowTheirTextOwnedByTheMainWindow)
{
    const struct { LPARAM code; const char *text; } cases[] = {
        {12, "USB board plugged on again"}, {3, "HBX is off"}, {0, "I don't know"},
        {6, "I don't know"},  {7, "I don't know"}, {13, "I don't know"}, {-1, "I don't know"}};
    char titleBefore[128] = "";
    GetWindowTextA(window, titleBefore, sizeof titleBefore);
    UINT checkBefore = GetMenuState(GetMenu(window), IDM_SYNCHRO, MF_BYCOMMAND);
    for (const auto &c : cases) {
        modal.records.clear();
        EXPECT_EQ(0, SendMessageA(window, WM_USER, XRAY_MSG_EVENT, c.code));
        ASSERT_EQ(1u, modal.records.size()) << "code " << c.code << "\n" << Boxes();
        const ModalRecord &box = modal.records[0];
        EXPECT_EQ(c.text, box.text) << "code " << c.code;
        EXPECT_EQ("Error or incoming event signalisation", box.caption);
        EXPECT_EQ(window, box.owner);
        EXPECT_EQ(nullptr, box.icon);
        EXPECT_FALSE(box.hasCancel);
    }
    char titleAfter[128] = "";
    GetWindowTextA(window, titleAfter, sizeof titleAfter);
    EXPECT_STREQ(titleBefore, titleAfter);
    EXPECT_EQ(checkBefore, GetMenuState(GetMenu(window), IDM_SYNCHRO, MF_BYCOMMAND));
}

static size_t mostWaiting;
static void SampleWaiting() { mostWaiting = std::max(mostWaiting, WaitingNoticeCount()); }

// A driver posting notices faster than anyone answers them: one box at a
// time, the rest waiting once per text, each text where it last came, so
// that the newest state is shown last.
TEST_F(Station, NoticeStormShowsOneBoxAtATimeAndLosesNoText)
{
    mostWaiting = 0;
    modal.onAnswer = SampleWaiting;
    // All 500 are posted before the first box opens; its own loop takes the
    // other 499 before the box is answered.
    std::vector<std::string> expected;
    for (int i = 0; i < 500; ++i) {
        const LPARAM code = (i * 7) % 15;
        const std::string text = EventNoticeText(static_cast<unsigned>(code));
        auto waiting = std::find(expected.begin() + (i == 0 ? 0 : 1), expected.end(), text);
        if (i != 0 && waiting != expected.end()) {
            expected.erase(waiting);
        }
        expected.push_back(text);
        PostMessageA(window, WM_USER, XRAY_MSG_EVENT, code);
    }
    PumpMessages();

    std::vector<std::string> shown;
    for (const ModalRecord &box : modal.records) {
        EXPECT_EQ(1, box.boxesOpen) << box.text;
        EXPECT_EQ("Error or incoming event signalisation", box.caption);
        EXPECT_EQ(window, box.owner);
        shown.push_back(box.text);
    }
    EXPECT_EQ(expected, shown) << Boxes();
    EXPECT_LE(mostWaiting, 13u);
    EXPECT_EQ(0u, WaitingNoticeCount());

    // Once the storm is over, a notice shows at once again.
    modal.records.clear();
    SendMessageA(window, WM_USER, XRAY_MSG_EVENT, 3);
    ASSERT_EQ(1u, modal.records.size()) << Boxes();
    EXPECT_EQ("HBX is off", modal.records[0].text);
}

// Events arriving while a box is open: the last one shown is the newest
// state, and the box already open is not touched.
TEST_F(Station, NoticesWaitingBehindAnOpenBoxEndWithTheNewestState)
{
    const struct {
        std::vector<LPARAM> codes;  // the first opens the box, the rest wait
        std::vector<std::string> shown;
    } cases[] = {
        {{3, 11, 12, 11}, {"HBX is off", "USB board plugged on again", "USB board plugged off"}},
        {{11, 12, 11}, {"USB board plugged off", "USB board plugged on again", "USB board plugged off"}},
        {{11, 12, 11, 12}, {"USB board plugged off", "USB board plugged off", "USB board plugged on again"}},
        {{3, 1, 3, 1, 3}, {"HBX is off", "HBX is on again", "HBX is off"}},
        {{2, 2, 2}, {"No connected sensor", "No connected sensor"}},
    };
    for (const auto &c : cases) {
        modal.records.clear();
        for (LPARAM code : c.codes) {
            PostMessageA(window, WM_USER, XRAY_MSG_EVENT, code);
        }
        PumpMessages();
        std::vector<std::string> shown;
        for (const ModalRecord &box : modal.records) {
            shown.push_back(box.text);
        }
        EXPECT_EQ(c.shown, shown) << "codes from " << c.codes[0] << "\n" << Boxes();
        EXPECT_EQ(0u, WaitingNoticeCount());
    }
}

// A notice whose owner is destroyed while it waits is dropped; the ones
// behind it are still shown.
static HWND doomedOwner;
static HWND stationOwner;
static int answersSeen;
static void QueueBehindTheFirstBox()
{
    if (++answersSeen != 1) {
        return;
    }
    ShowDriverNotice(doomedOwner, EventNoticeText(11), EVENT_CAPTION);
    ShowDriverNotice(stationOwner, EventNoticeText(12), EVENT_CAPTION);
    DestroyWindow(doomedOwner);
}

static void *realMessageBox;
static std::vector<HWND> boxOwners;
static int WINAPI RecordingMessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    boxOwners.push_back(owner);
    return reinterpret_cast<decltype(&MessageBoxA)>(realMessageBox)(owner, text, caption, type);
}

TEST_F(Station, WaitingNoticeOfADestroyedWindowIsNotShown)
{
    ImportPatch patch("user32.dll", "MessageBoxA", reinterpret_cast<void *>(RecordingMessageBoxA));
    realMessageBox = patch.original;
    ASSERT_NE(nullptr, realMessageBox);
    doomedOwner = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(nullptr, doomedOwner);
    stationOwner = window;
    answersSeen = 0;
    boxOwners.clear();
    modal.onAnswer = QueueBehindTheFirstBox;

    SendMessageA(window, WM_USER, XRAY_MSG_EVENT, 3);

    EXPECT_FALSE(IsWindow(doomedOwner));
    EXPECT_EQ((std::vector<HWND> {window, window}), boxOwners) << "a box was asked for the destroyed window";
    ASSERT_EQ(2u, modal.records.size()) << Boxes();
    EXPECT_EQ("HBX is off", modal.records[0].text);
    EXPECT_EQ("USB board plugged on again", modal.records[1].text);
    EXPECT_EQ(window, modal.records[1].owner);
    EXPECT_EQ(0u, WaitingNoticeCount());
}

// A notice arriving while the waiting ones are being shown, after the first
// box has closed, waits too: never a box over the one on screen.
static HWND noticeWindow;
static void EventBehindEachOfTheFirstTwoBoxes()
{
    if (++answersSeen <= 2) {
        SendMessageA(noticeWindow, WM_USER, XRAY_MSG_EVENT, answersSeen == 1 ? 11 : 12);
    }
}

TEST_F(Station, NoticeArrivingWhileTheQueueIsShownWaitsItsTurn)
{
    noticeWindow = window;
    answersSeen = 0;
    modal.onAnswer = EventBehindEachOfTheFirstTwoBoxes;

    SendMessageA(window, WM_USER, XRAY_MSG_EVENT, 3);

    ASSERT_EQ(3u, modal.records.size()) << Boxes();
    const char *texts[] = {"HBX is off", "USB board plugged off", "USB board plugged on again"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(texts[i], modal.records[i].text);
        EXPECT_EQ(1, modal.records[i].boxesOpen) << modal.records[i].text << " opened over another box";
    }
    EXPECT_EQ(0u, WaitingNoticeCount());
}

TEST_F(Station, OtherDriverCodesAndNullImagesAreIgnored)
{
    driver.ClearLog();
    EXPECT_EQ(0, SendMessageA(window, WM_USER, 302, 12));
    EXPECT_EQ(0, SendMessageA(window, WM_USER, 304, 12));
    EXPECT_EQ(0, SendMessageA(window, WM_USER, XRAY_MSG_IMAGE, 0));
    // wParam is compared whole: 301 in the low word alone is not an image.
    EXPECT_EQ(0, SendMessageA(window, WM_USER, MAKEWPARAM(XRAY_MSG_IMAGE, 1), 0));
    EXPECT_TRUE(modal.records.empty()) << Boxes();
    EXPECT_EQ(nullptr, GetCurrentImage());
    EXPECT_EQ("", driver.Calls());
}

TEST_F(Station, StartBeepsOnceFromMenuAndFromAccelerator)
{
    BeepCounter beeps;
    ASSERT_TRUE(beeps.Installed());
    driver.ClearLog();
    EXPECT_EQ(0, SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDM_START, 0), 0));
    EXPECT_EQ(1, beeps.Count());
    EXPECT_EQ(0xFFFFFFFFu, beeps.LastType());
    EXPECT_EQ(0, SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDM_START, 1), 0));
    EXPECT_EQ(2, beeps.Count());
    EXPECT_EQ("XRAYPrepareAcquisition();XRAYPrepareAcquisition();", driver.Calls());
    // A failed arming beeps once more.
    driver.SetPrepareResult(0);
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDM_START, 0), 0);
    EXPECT_EQ(4, beeps.Count());
}

TEST_F(Station, CommandsOutsideTheTableAndScrollsWithoutImageDoNothing)
{
    BeepCounter beeps;
    driver.ClearLog();
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(100, 0), 0);
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(108, 1), 0);
    EXPECT_EQ(0, SendMessageA(window, WM_HSCROLL, MAKEWPARAM(SB_PAGEDOWN, 0), 0));
    EXPECT_EQ(0, SendMessageA(window, WM_VSCROLL, MAKEWPARAM(SB_THUMBPOSITION, 50), 0));
    EXPECT_EQ(0, GetScrollPos(window, SB_HORZ));
    EXPECT_EQ(0, GetScrollPos(window, SB_VERT));
    EXPECT_EQ(0, beeps.Count());
    EXPECT_TRUE(modal.records.empty()) << Boxes();
    EXPECT_TRUE(IsWindow(window));
    EXPECT_EQ("", driver.Calls());
}

TEST_F(Station, SendWithoutImageFromMenuOrAcceleratorShowsTheSameBox)
{
    for (WORD source = 0; source <= 1; ++source) {
        modal.records.clear();
        EXPECT_EQ(0, SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDM_SEND, source), 0));
        ASSERT_EQ(1u, modal.records.size()) << Boxes();
        EXPECT_EQ("Immagine non acquisita", modal.records[0].text);
        EXPECT_EQ("Errore", modal.records[0].caption);
        EXPECT_EQ(window, modal.records[0].owner);
    }
}

// The default procedure answers these messages with 0, so it is replaced by
// one that answers with a value of its own: the station must hand each of
// the messages it handles and passes on (WM_SIZE, WM_ACTIVATE, WM_PAINT) to
// it unchanged and return whatever comes back.
struct DefaultCall {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};
static void *realDefWindowProc;
static std::vector<DefaultCall> defaultCalls;
static LRESULT MarkOf(UINT message, WPARAM wParam)
{
    return 0x5A000000 ^ (static_cast<LRESULT>(message) << 20) ^ static_cast<LRESULT>(wParam);
}
static LRESULT WINAPI MarkingDefWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    const LRESULT result =
        reinterpret_cast<decltype(&DefWindowProcA)>(realDefWindowProc)(window, message, wParam, lParam);
    if (message != WM_ACTIVATE && message != WM_SIZE && message != WM_PAINT) {
        return result;
    }
    defaultCalls.push_back({message, wParam, lParam});
    return MarkOf(message, wParam);
}

TEST_F(Station, SizeActivationAndPaintReturnWhatTheDefaultProcedureReturns)
{
    ImportPatch patch("user32.dll", "DefWindowProcA", reinterpret_cast<void *>(MarkingDefWindowProc));
    realDefWindowProc = patch.original;
    ASSERT_NE(nullptr, realDefWindowProc);
    const DefaultCall cases[] = {
        {WM_ACTIVATE, MAKEWPARAM(WA_INACTIVE, 0), 0},
        {WM_ACTIVATE, MAKEWPARAM(WA_INACTIVE, 1), 0},
        {WM_ACTIVATE, MAKEWPARAM(WA_ACTIVE, 0), 0},
        {WM_ACTIVATE, MAKEWPARAM(WA_ACTIVE, 1), 0},
        {WM_ACTIVATE, MAKEWPARAM(WA_CLICKACTIVE, 0), 0},
        {WM_ACTIVATE, MAKEWPARAM(WA_CLICKACTIVE, 1), 0},
        {WM_SIZE, SIZE_RESTORED, MAKELPARAM(300, 200)},
        {WM_SIZE, SIZE_MAXIMIZED, MAKELPARAM(1280, 990)},
        {WM_SIZE, SIZE_MINIMIZED, 0},
        {WM_SIZE, SIZE_RESTORED, MAKELPARAM(1, 1)},
        {WM_PAINT, 0, 0},
    };
    for (const DefaultCall &c : cases) {
        defaultCalls.clear();
        EXPECT_EQ(MarkOf(c.message, c.wParam), SendMessageA(window, c.message, c.wParam, c.lParam))
            << "message 0x" << std::hex << c.message << ", wParam 0x" << c.wParam;
        // A nested WM_SIZE from a scroll bar shown or hidden comes first; the
        // message itself is handed on last.
        ASSERT_FALSE(defaultCalls.empty()) << "message 0x" << std::hex << c.message;
        EXPECT_EQ(c.message, defaultCalls.back().message);
        EXPECT_EQ(c.wParam, defaultCalls.back().wParam);
        EXPECT_EQ(c.lParam, defaultCalls.back().lParam);
    }
}

// Records, at the moment the driver is closed, what the destruction steps
// have already done.
static HWND photoServer;
static HGLOBAL imageAtClose;
static bool noticeQueuedAtClose;
static bool imageFreedAtClose;
static bool quitQueuedAtClose;

static void __cdecl OnDriverClose()
{
    MSG msg;
    noticeQueuedAtClose =
        PeekMessageA(&msg, photoServer, DeleteResourceMessage(), DeleteResourceMessage(), PM_NOREMOVE) != 0;
    imageFreedAtClose = GlobalFlags(imageAtClose) == GMEM_INVALID_HANDLE;
    quitQueuedAtClose = PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE) != 0;
}

TEST_F(Station, ExitCommandRunsTheDestructionStepsInOrder)
{
    TestHosts hosts(false, true);
    photoServer = hosts.photoServer;
    ASSERT_NE(nullptr, photoServer);

    DibFields small;
    small.width = small.height = 16;
    imageAtClose = MakeDibBlock(small);
    SendMessageA(window, WM_USER, XRAY_MSG_IMAGE, reinterpret_cast<LPARAM>(imageAtClose));
    ASSERT_EQ(imageAtClose, GetCurrentImage());
    driver.SetCloseHook(OnDriverClose);
    driver.ClearLog();

    EXPECT_EQ(0, SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDM_EXIT, 0), 0));
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ("XRAYClose();", driver.Calls());
    EXPECT_TRUE(noticeQueuedAtClose) << "the photo server is told before the driver closes";
    EXPECT_TRUE(imageFreedAtClose) << "the image is freed before the driver closes";
    EXPECT_FALSE(quitQueuedAtClose) << "the quit message comes last";
    EXPECT_EQ(nullptr, GetCurrentImage());

    MSG msg;
    bool quit = false;
    int exitCode = -1;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            quit = true;
            exitCode = static_cast<int>(msg.wParam);
        } else {
            DispatchMessageA(&msg);
        }
    }
    EXPECT_TRUE(quit);
    EXPECT_EQ(0, exitCode);
    ASSERT_GE(Events().size(), 1u);
    EXPECT_EQ(std::make_tuple(DeleteResourceMessage(), WPARAM(2), LPARAM(0)),
              std::make_tuple(Events().back().message, Events().back().wParam, Events().back().lParam))
        << DescribeEvents();
}

TEST_F(Station, CloseCommandDestroysThroughTheSameSteps)
{
    driver.ClearLog();
    SendMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ("XRAYClose();", driver.Calls());
}

static int windowCreations;

static HWND WINAPI FailingCreateWindowExA(DWORD, LPCSTR, LPCSTR, DWORD, int, int, int, int, HWND, HMENU,
                                          HINSTANCE, LPVOID)
{
    ++windowCreations;
    return nullptr;
}

// Start-up ends with 0 at once, never entering a loop with no window to end
// it, when the main window cannot be created...
TEST(RunStation, EndsAtOnceWhenTheWindowCannotBeCreated)
{
    UnregisterClassA(MAIN_CLASS, GetModuleHandleA(nullptr));
    windowCreations = 0;
    ImportPatch failing("user32.dll", "CreateWindowExA", reinterpret_cast<void *>(FailingCreateWindowExA));
    ASSERT_NE(nullptr, failing.original);
    EXPECT_EQ(0, RunStation(GetModuleHandleA(nullptr), nullptr));
    EXPECT_EQ(1, windowCreations);
}

// ... and, without creating anything, when the class cannot be registered.
TEST(RunStation, EndsAtOnceWhenTheClassCannotBeRegistered)
{
    SetAppInstance(GetModuleHandleA(nullptr));
    RegisterMainClass();  // a second registration of CAPClass fails
    windowCreations = 0;
    ImportPatch failing("user32.dll", "CreateWindowExA", reinterpret_cast<void *>(FailingCreateWindowExA));
    EXPECT_EQ(0, RunStation(GetModuleHandleA(nullptr), nullptr));
    EXPECT_EQ(0, windowCreations);
}

// What the creation steps have done by the time the driver is opened.
static bool paletteAtOpen;
static bool settingsAtOpen;
static bool visibleAtOpen;
static std::string titleAtOpen;

static void __cdecl OnDriverOpen(HWND window)
{
    paletteAtOpen = GreyPalette() != nullptr;
    std::string withAec, contraste;
    settingsAtOpen = ReadSensorValue("WithAEC", &withAec, nullptr, nullptr) &&
                     ReadSensorValue("Contraste", &contraste, nullptr, nullptr) && withAec == "1" &&
                     contraste == "3";
    visibleAtOpen = IsWindowVisible(window) != FALSE;
    char title[128] = "";
    GetWindowTextA(window, title, sizeof title);
    titleAtOpen = title;
}

TEST(StationCreation, PaletteAndSettingsComeBeforeTheOpenAndTheTitleAfter)
{
    TestStation station(StationOptions().Deferred());
    TestDriver &driver = station.driver;
    const ModalCatcher &modal = station.modal;
    ASSERT_TRUE(driver.Loaded());
    DeleteSensorKey();
    ASSERT_TRUE(CreateSensorKey());
    driver.SetOpenHook(OnDriverOpen);

    HWND window = station.Open();
    ASSERT_NE(nullptr, window);
    EXPECT_EQ("XRAYOpen(VESTRA,4711);", driver.Calls());
    EXPECT_TRUE(paletteAtOpen);
    EXPECT_TRUE(settingsAtOpen);
    EXPECT_FALSE(visibleAtOpen);
    EXPECT_EQ("CATTURA DA SENSORE", titleAtOpen);
    EXPECT_EQ("CATTURA DA SENSORE - Standalone version", Title(window));
    EXPECT_TRUE(modal.records.empty()) << Describe(modal.records);
}
