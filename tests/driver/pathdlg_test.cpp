// The "xray.ini" entry, the first-run dialog and the load failure message,
// on their own and inside the opening of the driver.
#include "driver_test.h"
#include "loader.h"
#include "pathdlg.h"
#include "resource.h"
#include "testdrv_client.h"

static const char SUGGESTED[] = "c:\\windows\\xray.dll";
static const char LOAD_FAILURE[] = "Dll non trovata\r\nSpecificare la dll e riavviare l'applicazione";

static INT_PTR RunDialog()
{
    return DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_DRIVERPATH), nullptr,
                           DriverPathDialogProc, 0);
}

static bool IniExists()
{
    return GetFileAttributesA(IniPath().c_str()) != INVALID_FILE_ATTRIBUTES;
}

TEST_F(DriverTest, DialogSuggestsAPathAndStoresOnlyWhatOkConfirms)
{
    RemoveIni();
    // Annulla and an emptied box write nothing, not even the file.
    modal.QueueDialog(IDCANCEL, "d:\\typed.dll");
    EXPECT_EQ(0, RunDialog());
    modal.QueueDialog(IDOK, "");
    EXPECT_EQ(1, RunDialog());
    EXPECT_FALSE(IniExists());
    // OK on the unchanged suggestion stores it.
    EXPECT_EQ(1, RunDialog());
    EXPECT_EQ(SUGGESTED, ReadDriverPath());
    ASSERT_EQ(3u, modal.records.size()) << Boxes();
    for (const ModalRecord &r : modal.records) {
        EXPECT_TRUE(IsPathDialog(r)) << Boxes();
    }
    EXPECT_EQ(std::vector<std::string>(3, SUGGESTED), DialogTexts());
    const std::vector<std::string> statics = {
        "E' la prima volta che si avvia l'interfaccia per il sensore Vestra",
        "Specificare il percorso della dll d'interfacciamento",
        "(es: c:\\windows\\xray.dll)",
    };
    EXPECT_EQ(statics, modal.records[0].statics);
}

// Annulla, or OK on an emptied box: the second read is empty too, the empty
// path fails as a load, and the message (empty caption) and the dialog follow.
TEST_F(DriverTest, FirstRunWithoutAPathReportsAnEmptyLoadFailure)
{
    for (int button : {IDCANCEL, IDOK}) {
        RemoveIni();
        modal.records.clear();
        modal.QueueDialog(button, button == IDOK ? "" : nullptr);
        modal.Queue(ModalAnswer());
        modal.QueueDialog(IDCANCEL);
        HWND window = Open();
        ASSERT_EQ(4u, modal.records.size()) << Boxes();
        EXPECT_TRUE(IsPathDialog(modal.records[0]));
        EXPECT_EQ("", modal.records[1].caption);
        EXPECT_EQ(LOAD_FAILURE, modal.records[1].text);
        EXPECT_TRUE(IsPathDialog(modal.records[2]));
        EXPECT_EQ(std::vector<std::string>(2, SUGGESTED), DialogTexts());
        EXPECT_EQ("XRAY board not declared", modal.records[3].text);
        EXPECT_FALSE(IniExists());
        EXPECT_EQ(0, DriverMode());
        EXPECT_EQ("CATTURA DA SENSORE", Title(window));
        Close(window);
    }
}

TEST_F(DriverTest, LoadFailureMessageIsOwnedByTheFocusWindowThenTheDialogShowsThePath)
{
    const std::string missing = BinPath("no_such_driver.dll");
    WriteDriverPath(missing.c_str());
    HWND focus = CreateWindowExA(0, "STATIC", "focus", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50, nullptr,
                                 nullptr, GetModuleHandleA(nullptr), nullptr);
    SetForegroundWindow(focus);
    SetFocus(focus);
    ASSERT_EQ(focus, GetFocus());

    HWND window = Open();
    DestroyWindow(focus);
    ASSERT_EQ(3u, modal.records.size()) << Boxes();
    const ModalRecord &box = modal.records[0];
    EXPECT_EQ(missing, box.caption);
    EXPECT_EQ(LOAD_FAILURE, box.text);
    EXPECT_EQ(focus, box.owner);
    EXPECT_EQ(nullptr, box.icon);
    EXPECT_FALSE(box.hasCancel);
    // The dialog follows, owned by the main window, showing the stored path;
    // the path is not read again, so the driver stays unbound.
    EXPECT_TRUE(IsPathDialog(modal.records[1]));
    EXPECT_EQ(window, modal.records[1].owner);
    EXPECT_EQ(std::vector<std::string>{missing}, DialogTexts());
    EXPECT_EQ("XRAY board not declared", modal.records[2].text);
    EXPECT_EQ(0, DriverMode());
}

TEST_F(DriverTest, PathOfTwoHundredFiftyNineCharactersIsStoredAndLoadedWhole)
{
    // A copy of the full test driver in a folder beside the test program
    // whose name brings the path to 259 characters, the most a MAX_PATH
    // buffer holds. Cut to 255, the path would name no file (LoadLibraryA
    // would look for "sensor_drive.dll").
    const char copyName[] = "sensor_driver.bin";
    const size_t folderLength = 259 - BinPath("").size() - 1 - strlen(copyName);
    const std::string folder(folderLength, 'd');
    const std::string relative = folder + "\\" + copyName;
    ASSERT_TRUE(CreateDirectoryA(BinPath(folder.c_str()).c_str(), nullptr) ||
                GetLastError() == ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(CopyFileA(BinPath("testdrv_full.dll").c_str(), BinPath(relative.c_str()).c_str(), FALSE));
    {
        TestDriver td(relative.c_str());
        ASSERT_TRUE(td.Loaded());
        ASSERT_EQ(259u, td.path.size());
        RemoveIni();
        modal.QueueDialog(IDOK, td.path.c_str());
        HWND window = Open();
        ASSERT_EQ(1u, modal.records.size()) << Boxes();
        EXPECT_EQ(td.path, ReadDriverPath());
        EXPECT_EQ("XRAYOpen(VESTRA,4711);", td.Calls());

        // Shown whole by the dialog when asked again.
        modal.QueueDialog(IDCANCEL);
        RunDialog();
        EXPECT_EQ(td.path, DialogTexts().back());
        Close(window);
    }
    DeleteFileA(BinPath(relative.c_str()).c_str());
    RemoveDirectoryA(BinPath(folder.c_str()).c_str());
}
