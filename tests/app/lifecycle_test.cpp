// The main window's life against the real API: its creation runs once, once
// its destruction has begun nothing the driver sends is taken in, and an
// open or a reopen that the station was closed from inside loads nothing.
#include <gtest/gtest.h>

#include <string>

#include "dibbuilder.h"
#include "iatpatch.h"
#include "loader.h"
#include "memwatch.h"
#include "resource.h"
#include "shell.h"
#include "testhosts.h"
#include "teststation.h"
#include "view.h"
#include "xraydrv.h"

// What a driver may send from inside XRAYClose, while the window is being
// destroyed: a new image and an event.
static HWND closingStation;
static HGLOBAL lateImage;

static void __cdecl SendWhileClosing()
{
    lateImage = MakeImageBlock(16, 16);
    SendMessageA(closingStation, WM_USER, XRAY_MSG_IMAGE, reinterpret_cast<LPARAM>(lateImage));
    SendMessageA(closingStation, WM_USER, XRAY_MSG_EVENT, 3);
}

TEST(StationLifecycle, ImageAndNoticeSentFromInsideTheCloseAreFreedAndGoNowhere)
{
    const UINT deleteResource = RegisterWindowMessageA("WM_DELETE_RESOURCE");
    TestHosts hosts(true, true);
    TestStation station;
    ASSERT_TRUE(IsWindow(station.window));
    HGLOBAL current = MakeImageBlock(16, 16);
    SendMessageA(station.window, WM_USER, XRAY_MSG_IMAGE, reinterpret_cast<LPARAM>(current));
    ASSERT_EQ(current, GetCurrentImage());
    ASSERT_EQ(1u, CopyEvents('F').size()) << DescribeEvents();
    ASSERT_EQ(1u, CopyEvents('P').size()) << DescribeEvents();

    Events().clear();
    MemoryWatch memory;
    ASSERT_TRUE(memory.Installed());
    closingStation = station.window;
    lateImage = nullptr;
    station.driver.SetCloseHook(SendWhileClosing);
    station.driver.ClearLog();
    DestroyWindow(station.window);
    station.driver.SetCloseHook(nullptr);
    PumpMessages();

    EXPECT_EQ("XRAYClose();", station.driver.Calls());
    ASSERT_NE(nullptr, lateImage);
    // The current image first, by the destruction; the late one at once.
    ASSERT_EQ(2u, memory.Freed().size()) << DescribeEvents();
    EXPECT_EQ(current, memory.Freed()[0]);
    EXPECT_EQ(lateImage, memory.Freed()[1]);
    EXPECT_EQ(nullptr, GetCurrentImage());
    EXPECT_TRUE(CopyEvents('F').empty()) << DescribeEvents();
    EXPECT_TRUE(CopyEvents('P').empty()) << DescribeEvents();
    EXPECT_TRUE(station.modal.records.empty()) << Describe(station.modal.records);
    int notices = 0;
    for (const HostEvent &e : Events()) {
        notices += e.who == 'P' && e.message == deleteResource;
    }
    EXPECT_EQ(1, notices) << DescribeEvents();
}

static void *realDefWindowProc;
static int defaultCreates;

static LRESULT WINAPI CountingDefWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CREATE) {
        ++defaultCreates;
    }
    return reinterpret_cast<decltype(&DefWindowProcA)>(realDefWindowProc)(window, message, wParam, lParam);
}

// Anyone can send WM_CREATE to the window again, another process too.
TEST(StationLifecycle, ASecondCreateMessageGoesToTheDefaultProcedureAndOpensNothing)
{
    OpenCloseCounter counter;
    ASSERT_TRUE(counter.Installed());
    TestStation station;
    ASSERT_TRUE(IsWindow(station.window));
    const int loads = counter.Opened(Counted::Library);
    EXPECT_EQ(1, counter.Opened(Counted::Driver));
    station.modal.records.clear();

    ImportPatch patch("user32.dll", "DefWindowProcA", reinterpret_cast<void *>(CountingDefWindowProc));
    realDefWindowProc = patch.original;
    ASSERT_NE(nullptr, realDefWindowProc);
    defaultCreates = 0;
    CREATESTRUCTA create = {};
    create.hInstance = GetModuleHandleA(nullptr);
    create.lpszClass = MAIN_CLASS;
    create.lpszName = MAIN_TITLE;
    EXPECT_EQ(0, SendMessageA(station.window, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create)));
    EXPECT_EQ(1, defaultCreates);
    EXPECT_EQ(loads, counter.Opened(Counted::Library));
    EXPECT_EQ(1, counter.Opened(Counted::Driver));
    EXPECT_TRUE(station.modal.records.empty()) << Describe(station.modal.records);

    DestroyWindow(station.window);
    PumpMessages();
    EXPECT_EQ(1, counter.Closed(Counted::Library));
    EXPECT_EQ(1, counter.Closed(Counted::Driver));
}

// The station closed (WM_CLOSE, as the close box gives it) from inside the
// modal window numbered `closeAt` (from 1; 0 for none); `storePath` is put
// in "xray.ini" first, as the operator's OK would.
static ModalCatcher *closingCatcher;
static size_t closeAt;
static std::string storePath;

static BOOL CALLBACK FindStation(HWND window, LPARAM found)
{
    char cls[32] = "";
    GetClassNameA(window, cls, sizeof cls);
    if (lstrcmpA(cls, MAIN_CLASS) == 0) {
        *reinterpret_cast<HWND *>(found) = window;
        return FALSE;
    }
    return TRUE;
}

static void CloseStation()
{
    if (!storePath.empty()) {
        WriteDriverPath(storePath.c_str());
    }
    // During creation CreateWindowExA has not yet returned the handle.
    HWND station = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), FindStation, reinterpret_cast<LPARAM>(&station));
    ASSERT_NE(nullptr, station);
    SendMessageA(station, WM_CLOSE, 0, 0);
}

static void CloseStationFromTheModal()
{
    if (closingCatcher->records.size() == closeAt) {
        CloseStation();
    }
}

// The same from inside XRAYClose, at the close that comes before a reopen.
static void __cdecl CloseStationFromXRAYClose() { CloseStation(); }

TEST(StationLifecycle, ClosedFromInsideAnOpenNothingIsLoadedOrShownAfter)
{
    const char LOAD_FAILURE_TEXT[] = "Dll non trovata\r\nSpecificare la dll e riavviare l'applicazione";
    enum class ClosedFrom { PathDialog, FailureBox, DriverClose };
    const struct {
        const char *name;
        bool reopen;  // at IDM_SYNCHRO's reopen rather than at the start
        ClosedFrom from;
    } cases[] = {
        {"first-run dialog at the start", false, ClosedFrom::PathDialog},
        {"load failure box at the start", false, ClosedFrom::FailureBox},
        {"load failure box at the HBX reopen", true, ClosedFrom::FailureBox},
        {"XRAYClose before the HBX reopen", true, ClosedFrom::DriverClose},
    };
    RegistryGuard registry;
    IniGuard ini;
    TestDriver driver("testdrv_full.dll");
    ASSERT_TRUE(driver.Loaded());
    const std::string missing = BinPath("testdrv_missing.dll");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ModalCatcher modal;
        OpenCloseCounter counter;
        ASSERT_TRUE(counter.Installed());
        closingCatcher = &modal;
        const bool pathDialog = c.from == ClosedFrom::PathDialog;
        storePath = pathDialog ? driver.path : "";
        closeAt = c.reopen ? 0 : 1;
        modal.onAnswer = CloseStationFromTheModal;
        WriteDriverPath(pathDialog ? "" : c.reopen ? driver.path.c_str() : missing.c_str());

        HWND window = CreateStationWindow();
        if (c.reopen) {
            ASSERT_TRUE(IsWindow(window));
            ASSERT_EQ(1, counter.Opened(Counted::Driver));
            if (c.from == ClosedFrom::DriverClose) {
                driver.SetCloseHook(CloseStationFromXRAYClose);
            } else {
                WriteDriverPath(missing.c_str());
                closeAt = 1;
            }
            SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDM_SYNCHRO, 0), 0);
            driver.SetCloseHook(nullptr);
        }
        modal.onAnswer = nullptr;
        PumpMessages();

        EXPECT_FALSE(IsWindow(window));
        if (c.from == ClosedFrom::DriverClose) {
            EXPECT_TRUE(modal.records.empty()) << Describe(modal.records);
        } else {
            ASSERT_EQ(1u, modal.records.size()) << Describe(modal.records);
            EXPECT_EQ(pathDialog, modal.records[0].isDialog);
            if (!pathDialog) {
                EXPECT_EQ(LOAD_FAILURE_TEXT, modal.records[0].text);
            }
        }
        EXPECT_EQ(counter.Opened(Counted::Library), counter.Closed(Counted::Library));
        EXPECT_EQ(c.reopen ? 1 : 0, counter.Opened(Counted::Driver));
        EXPECT_EQ(counter.Opened(Counted::Driver), counter.Closed(Counted::Driver));
    }
}
