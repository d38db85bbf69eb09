// Loading and opening the driver, the wrappers and their defaults, arming,
// and closing: checked through the calls the test drivers record.
#include "driver_test.h"
#include "iatpatch.h"
#include "loader.h"
#include "resource.h"
#include "testdrv_client.h"

TEST(DriverWrappers, GiveTheirDefaultsWithNoLibrary)
{
    int width = -1, height = -1;
    GetSensorSize(&width, &height);
    EXPECT_EQ(512, width);
    EXPECT_EQ(768, height);
    double first = 0.0, second = 0.0;
    EXPECT_EQ(0, GetSensorResolution(&first, &second));
    EXPECT_EQ(0.0, first);
    EXPECT_EQ(0.0, second);
    EXPECT_EQ(0, ChangeBinningMode(1));
    EXPECT_EQ(0, HasBinningMode());
    BeepCounter beeps;
    StartAcquisition();
    EXPECT_EQ(0, beeps.Count());
    EXPECT_EQ(0, DriverMode());
    CloseDriver();
}

TEST_F(DriverTest, OpensWithTheMainWindowAndPassesWrappersThrough)
{
    TestDriver td("testdrv_full.dll");
    ASSERT_TRUE(td.Loaded());
    WriteDriverPath(td.path.c_str());
    HWND window = Open();
    EXPECT_TRUE(modal.records.empty()) << Boxes();
    EXPECT_EQ(2, DriverMode());
    EXPECT_EQ(window, td.OpenWindow());
    // The title step asks for the binning mode without calling the export.
    EXPECT_EQ("XRAYOpen(VESTRA,4711);", td.Calls());
    EXPECT_EQ(1, HasBinningMode());

    td.ClearLog();
    td.SetSize(1000, 1500);
    int width = 0, height = 0;
    GetSensorSize(&width, &height);
    EXPECT_EQ(1000, width);
    EXPECT_EQ(1500, height);
    td.SetResolution(11.5, 22.25);
    double first = 0.0, second = 0.0;
    EXPECT_EQ(1, GetSensorResolution(&first, &second));
    EXPECT_EQ(11.5, first);
    EXPECT_EQ(22.25, second);
    td.SetChangeBinningResult(5);
    EXPECT_EQ(5, ChangeBinningMode(0));
    EXPECT_EQ("XRAYSize();XRAYResolution(0,0);bXRAYChangeBinningMode(0);", td.Calls());

    // A driver that reports success without writing leaves the default,
    // whatever the caller's variables held.
    td.SetSizeWrites(0);
    width = height = -7;
    GetSensorSize(&width, &height);
    EXPECT_EQ(512, width);
    EXPECT_EQ(768, height);

    td.ClearLog();
    Close(window);
    EXPECT_EQ("XRAYClose();", td.Calls());
}

TEST_F(DriverTest, LibraryWithoutOpenStaysLoadedInModeZeroAndIsClosed)
{
    TestDriver td("testdrv_noopen.dll");
    WriteDriverPath(td.path.c_str());
    td.SetSize(640, 480);
    HWND window = Open();
    EXPECT_EQ(0, DriverMode());
    ASSERT_EQ(1u, modal.records.size()) << Boxes();
    EXPECT_EQ("XRAY board not declared", modal.records[0].text);
    // Its other exports still serve.
    int width = 0, height = 0;
    GetSensorSize(&width, &height);
    EXPECT_EQ(640, width);
    EXPECT_EQ(480, height);
    Close(window);
    EXPECT_EQ("XRAYSize();XRAYClose();", td.Calls());
}

TEST_F(DriverTest, StartAcquisitionArmsOnlyInStandaloneMode)
{
    TestDriver td("testdrv_full.dll");
    WriteDriverPath(td.path.c_str());
    BeepCounter beeps;
    ASSERT_TRUE(beeps.Installed());
    for (int mode : {1, -3, 7, 0}) {
        td.SetOpenResult(mode);
        HWND window = Open();
        td.ClearLog();
        StartAcquisition();
        EXPECT_EQ("", td.Calls()) << "mode " << mode;
        Close(window);
    }
    EXPECT_EQ(0, beeps.Count());

    td.SetOpenResult(2);
    HWND window = Open();
    td.ClearLog();
    StartAcquisition();
    EXPECT_EQ("XRAYPrepareAcquisition();", td.Calls());
    EXPECT_EQ(0, beeps.Count());
    // A failed arming beeps here, and the command beeps once more.
    td.SetPrepareResult(0);
    StartAcquisition();
    EXPECT_EQ(1, beeps.Count());
    EXPECT_EQ(0xFFFFFFFFu, beeps.LastType());
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDM_START, 0), 0);
    EXPECT_EQ(3, beeps.Count());
}

TEST_F(DriverTest, FailedReopenNeverCallsTheFreedLibrary)
{
    TestDriver td("testdrv_full.dll");
    WriteDriverPath(td.path.c_str());
    td.SetSize(1000, 1500);
    HWND window = Open();
    ASSERT_EQ(2, DriverMode());

    // The station's FreeLibrary leaves the code mapped (the test holds a
    // reference), so any call through a stale pointer would be recorded.
    WriteDriverPath(BinPath("testdrv_missing.dll").c_str());
    td.ClearLog();
    BeepCounter beeps;
    td.SetPrepareResult(0);
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDM_SYNCHRO, 0), 0);
    // Board not declared after the reopen: the window is gone, and its
    // destruction closed the driver once more.
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ("XRAYClose();", td.Calls());

    int width = 0, height = 0;
    GetSensorSize(&width, &height);
    EXPECT_EQ(512, width);
    EXPECT_EQ(768, height);
    double first = 0.0, second = 0.0;
    EXPECT_EQ(0, GetSensorResolution(&first, &second));
    EXPECT_EQ(0, HasBinningMode());
    EXPECT_EQ(0, ChangeBinningMode(1));
    StartAcquisition();
    CloseDriver();
    EXPECT_EQ("XRAYClose();", td.Calls());
    EXPECT_EQ(0, beeps.Count());
}

// Start-up, activation, a switch of synchronised mode (a close and a reopen)
// and the exit: every key, library and window DC the station takes is given
// back, and the library stays loaded exactly while the window lives.
TEST_F(DriverTest, EveryKeyLibraryAndWindowDcTakenIsGivenBack)
{
    TestDriver td("testdrv_full.dll");
    ASSERT_TRUE(td.Loaded());
    CreateSensorKey();
    WriteDriverPath(td.path.c_str());
    OpenCloseCounter counter;
    ASSERT_TRUE(counter.Installed());

    HWND window = Open();
    EXPECT_GE(counter.Opened(Counted::RegistryKey), 1);
    EXPECT_EQ(counter.Opened(Counted::RegistryKey), counter.Closed(Counted::RegistryKey)) << "start-up";
    EXPECT_GE(counter.Opened(Counted::WindowDC), 1);
    EXPECT_EQ(counter.Opened(Counted::WindowDC), counter.Closed(Counted::WindowDC)) << "palette";
    EXPECT_EQ(1, counter.Opened(Counted::Library));
    EXPECT_EQ(0, counter.Closed(Counted::Library));

    SendMessageA(window, WM_ACTIVATE, MAKEWPARAM(WA_ACTIVE, 0), 0);
    SendMessageA(window, WM_COMMAND, IDM_SYNCHRO, 0);
    EXPECT_EQ(counter.Opened(Counted::RegistryKey), counter.Closed(Counted::RegistryKey)) << "mode switch";
    EXPECT_EQ(counter.Opened(Counted::WindowDC), counter.Closed(Counted::WindowDC)) << "activation";
    EXPECT_EQ(2, counter.Opened(Counted::Library));
    EXPECT_EQ(1, counter.Closed(Counted::Library)) << "the reopen frees the first load";

    Close(window);
    EXPECT_EQ(2, counter.Closed(Counted::Library)) << "the exit frees the library";
    EXPECT_EQ(counter.Opened(Counted::RegistryKey), counter.Closed(Counted::RegistryKey));
}

static std::string LoadedModulePath(const char *name)
{
    char path[MAX_PATH] = "";
    HMODULE module = GetModuleHandleA(name);
    if (module != nullptr) {
        GetModuleFileNameA(module, path, sizeof path);
    }
    return path;
}

// The folder the DLL search holds in place of the current directory, or
// empty; GetDllDirectoryA is looked up as the station looks up its setter.
static std::string DllDirectory()
{
    typedef DWORD(WINAPI * GetDllDirectoryAFn)(DWORD, LPSTR);
    auto get = reinterpret_cast<GetDllDirectoryAFn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetDllDirectoryA")));
    char folder[MAX_PATH] = "";
    if (get != nullptr) {
        get(sizeof folder, folder);
    }
    return folder;
}

static UINT CurrentErrorMode()
{
    const UINT mode = SetErrorMode(0);
    SetErrorMode(mode);
    return mode;
}

// A vendor's driver whose own DLL lies beside it, in a folder that is neither
// the station's nor the current directory; a DLL of the same name planted in
// the current directory must not be the one the driver gets.
TEST_F(DriverTest, DriverFindsItsOwnDllsBesideItAndNotInTheCurrentDirectory)
{
    for (bool planted : {false, true}) {
        SCOPED_TRACE(planted ? "a tddep.dll planted in the current directory" : "no other tddep.dll");
        TempFolder sensor(planted ? "capst_sensor_planted" : "capst_sensor"),
            elsewhere(planted ? "capst_elsewhere_planted" : "capst_elsewhere");
        ASSERT_TRUE(sensor.CopyFromBin("withdep\\testdrv_withdep.dll", "testdrv_withdep.dll"));
        ASSERT_TRUE(sensor.CopyFromBin("withdep\\tddep.dll", "tddep.dll"));
        if (planted) {
            ASSERT_TRUE(elsewhere.CopyFromBin("withdep\\tddep.dll", "tddep.dll"));
        }
        ASSERT_EQ(nullptr, GetModuleHandleA("tddep.dll"));
        CurrentDirectory directory(elsewhere.Path());
        ASSERT_TRUE(directory.Changed());
        WriteDriverPath((sensor.Path() + "\\testdrv_withdep.dll").c_str());
        const UINT errorMode = CurrentErrorMode();
        modal.records.clear();
        {
            OpenCloseCounter counter;
            ASSERT_TRUE(counter.Installed());
            HWND window = Open();
            EXPECT_TRUE(modal.records.empty()) << Boxes();
            EXPECT_EQ(2, DriverMode());
            EXPECT_EQ(sensor.Path() + "\\tddep.dll", LoadedModulePath("tddep.dll"));
            // Kept while the driver is bound: drivers load DLLs later too.
            EXPECT_EQ(sensor.Path(), DllDirectory());
            // No critical-error box for the load; the old mode is back after it.
            EXPECT_EQ(static_cast<UINT>(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX),
                      counter.ErrorModeAtLoad());
            EXPECT_EQ(errorMode, CurrentErrorMode());

            Close(window);
            EXPECT_EQ("", DllDirectory());
            EXPECT_EQ(1, counter.Opened(Counted::Library));
            EXPECT_EQ(1, counter.Closed(Counted::Library));
            EXPECT_EQ(1, counter.Opened(Counted::Driver));
            EXPECT_EQ(1, counter.Closed(Counted::Driver));
        }
        EXPECT_EQ(nullptr, GetModuleHandleA("tddep.dll")) << "freed with the driver";
    }
}

// A driver path whose file is not there, in a folder that is: the folder
// does not stay the DLL directory after the failed load.
TEST(LoadDriverLibrary, FailedLoadLeavesNoDllDirectory)
{
    TempFolder sensor("capst_sensor_empty");
    const std::string path = sensor.Path() + "\\xray.dll";
    HMODULE library = LoadDriverLibrary(path.c_str());
    const DWORD error = GetLastError();
    EXPECT_EQ(nullptr, library);
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), error);
    EXPECT_EQ("", DllDirectory());
    if (library != nullptr) {
        FreeDriverLibrary(library);
    }
}

// XRAYClose runs a message loop too (a driver waiting for its thread), and
// from inside it, as the station closes, the operator switches HBX: the
// switch is refused like any other asked for inside a driver call.
static HWND stationInClose;
static TestDriver *driverInClose;
static BeepCounter *beepsInClose;
static int beepsInsideClose;
static std::string callsInClose;

static void __cdecl SwitchHbxInsideClose()
{
    if (stationInClose == nullptr) {
        return;
    }
    HWND window = stationInClose;
    stationInClose = nullptr;
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDM_SYNCHRO, 0), 0);
    beepsInsideClose = beepsInClose->Count();
    callsInClose = driverInClose->Calls();
}

TEST_F(DriverTest, HbxSwitchFromInsideXRAYCloseIsRefused)
{
    TestDriver td("testdrv_full.dll");
    ASSERT_TRUE(td.Loaded());
    CreateSensorKey();
    WriteDriverPath(td.path.c_str());
    OpenCloseCounter counter;
    BeepCounter beeps;
    HWND window = Open();
    ASSERT_EQ(2, DriverMode());
    std::string synchroBefore, synchroAfter;
    const bool hadSynchro = ReadSensorValue("Synchro", &synchroBefore, nullptr, nullptr);
    td.ClearLog();
    stationInClose = window;
    driverInClose = &td;
    beepsInClose = &beeps;
    beepsInsideClose = -1;
    td.SetCloseHook(SwitchHbxInsideClose);

    Close(window);
    td.SetCloseHook(nullptr);

    EXPECT_EQ(nullptr, stationInClose) << "XRAYClose was never called";
    EXPECT_EQ(1, beepsInsideClose);
    EXPECT_EQ("XRAYClose();", callsInClose);
    EXPECT_EQ("XRAYClose();", td.Calls());
    EXPECT_EQ(hadSynchro, ReadSensorValue("Synchro", &synchroAfter, nullptr, nullptr));
    EXPECT_EQ(synchroBefore, synchroAfter);
    EXPECT_EQ(1, counter.Opened(Counted::Library));
    EXPECT_EQ(1, counter.Closed(Counted::Library));
}

// XRAYPrepareAcquisition runs a message loop of the driver's own (its box),
// and from inside it the operator closes the station or switches HBX.
static HWND stationInLoop;
static UINT messageInLoop;
static WPARAM wParamInLoop;
static OpenCloseCounter *countsInLoop;
static BeepCounter *beepsInLoop;
static TestDriver *driverInLoop;
static int freesInLoop, beepsInsideLoop;
static std::string callsInLoop;

static void ActInsideTheDriverLoop()
{
    if (stationInLoop == nullptr) {
        return;
    }
    HWND window = stationInLoop;
    stationInLoop = nullptr;
    SendMessageA(window, messageInLoop, wParamInLoop, 0);
    freesInLoop = countsInLoop->Closed(Counted::Library);
    beepsInsideLoop = beepsInLoop->Count();
    callsInLoop = driverInLoop->Calls();
}

TEST_F(DriverTest, LibraryIsFreedOnlyAfterTheDriverCallInProgressReturns)
{
    const struct {
        const char *name;
        UINT message;
        WPARAM wParam;
        const char *callsInside;  // once the message has been handled
        int beepsInside;
        bool windowLives;
        int frees;  // once the call has returned
    } cases[] = {
        // The driver is told to stop at once; its library goes when the call
        // it is still in returns.
        {"close", WM_CLOSE, 0, "XRAYPrepareAcquisition();XRAYClose();", 0, false, 1},
        // Refused with the simple beep: nothing is closed or reopened.
        {"HBX", WM_COMMAND, MAKEWPARAM(IDM_SYNCHRO, 0), "XRAYPrepareAcquisition();", 1, true, 0},
    };
    TestDriver td("testdrv_prepareloop.dll");
    ASSERT_TRUE(td.Loaded());
    CreateSensorKey();
    WriteDriverPath(td.path.c_str());
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        OpenCloseCounter counter;
        BeepCounter beeps;
        ASSERT_TRUE(counter.Installed());
        HWND window = Open();
        ASSERT_EQ(2, DriverMode());
        const UINT checkBefore = ItemState(GetMenu(window), IDM_SYNCHRO);
        std::string synchroBefore;
        const bool hadSynchro = ReadSensorValue("Synchro", &synchroBefore, nullptr, nullptr);
        td.ClearLog();
        modal.records.clear();
        stationInLoop = window;
        messageInLoop = c.message;
        wParamInLoop = c.wParam;
        countsInLoop = &counter;
        beepsInLoop = &beeps;
        driverInLoop = &td;
        freesInLoop = beepsInsideLoop = -1;
        modal.onAnswer = ActInsideTheDriverLoop;

        SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDM_START, 0), 0);
        modal.onAnswer = nullptr;

        ASSERT_EQ(1u, modal.records.size()) << Boxes();
        EXPECT_EQ("testdrv", modal.records[0].caption);
        EXPECT_EQ(c.callsInside, callsInLoop);
        EXPECT_EQ(0, freesInLoop) << "freed while the driver was still inside its call";
        EXPECT_EQ(c.beepsInside, beepsInsideLoop);
        EXPECT_EQ(c.windowLives, IsWindow(window) != FALSE);
        EXPECT_EQ(c.frees, counter.Closed(Counted::Library));
        EXPECT_EQ(std::string(c.callsInside) + "XRAYPrepareAcquisition:returns;", td.Calls());
        if (c.windowLives) {
            EXPECT_EQ(checkBefore, ItemState(GetMenu(window), IDM_SYNCHRO));
            std::string synchroAfter;
            EXPECT_EQ(hadSynchro, ReadSensorValue("Synchro", &synchroAfter, nullptr, nullptr));
            EXPECT_EQ(synchroBefore, synchroAfter);
            Close(window);
        }
        EXPECT_EQ(1, counter.Opened(Counted::Library));
        EXPECT_EQ(1, counter.Closed(Counted::Library));
        EXPECT_EQ(1, counter.Opened(Counted::Driver));
        EXPECT_EQ(1, counter.Closed(Counted::Driver));
    }
}
