// The registry settings, the boxes, menu states and titles for each driver
// mode, and the synchro and resolution switches.
#include <string>

#include "driver_test.h"
#include "loader.h"
#include "resource.h"
#include "settings.h"
#include "testdrv_client.h"

static const char RESTART[] = "For all the new choices to be effective, you must restart the system.";
static const char NOT_DECLARED[] = "XRAY board not declared";

static bool SensorKeyExists()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "VESTRA\\ZRK", 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

static void ExpectTextValue(const char *name, const char *text)
{
    std::string value;
    DWORD type = 0, size = 0;
    ASSERT_TRUE(ReadSensorValue(name, &value, &type, &size)) << name;
    EXPECT_EQ(text, value) << name;
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type) << name;
    EXPECT_EQ(strlen(text) + 1, size) << name;
}

TEST_F(DriverTest, StartWritesTheFixedValuesOnlyIntoAnExistingKey)
{
    TestDriver td("testdrv_full.dll");
    WriteDriverPath(td.path.c_str());
    DeleteSensorKey();
    Close(Open());
    EXPECT_FALSE(SensorKeyExists());

    CreateSensorKey();
    const DWORD nine = 9;
    WriteSensorValue("WithAEC", REG_DWORD, &nine, sizeof nine);
    Close(Open());
    ExpectTextValue("WithAEC", "1");
    ExpectTextValue("Contraste", "3");
    EXPECT_FALSE(ReadSensorValue("Synchro", nullptr, nullptr, nullptr));
}

TEST_F(DriverTest, SynchroIsReadWithinTheBufferWhateverItsTypeAndLength)
{
    HMENU menu = LoadMenuA(GetModuleHandleA(nullptr), "CapMenu");
    ASSERT_NE(nullptr, menu);
    const std::string longText = "1" + std::string(298, ' ');
    const struct {
        const char *what;
        DWORD type;
        std::string data;  // written with its size; an empty one is not written
        int setting;
    } cases[] = {
        {"no value", REG_SZ, "", 3},
        {"\"1\"", REG_SZ, std::string("1", 2), 1},
        {"300 bytes", REG_SZ, longText + '\0', 3},
        {"binary 1 without NUL", REG_BINARY, "1", 1},
        {"binary 256 bytes, 1 first", REG_BINARY, "1" + std::string(255, ' '), 1},
        // Cut at the last byte of the buffer: the trailing digit is not read.
        {"binary 256 digits", REG_BINARY, std::string(255, '0') + "1", 0},
    };
    for (const auto &c : cases) {
        DeleteSensorKey();
        CreateSensorKey();
        if (!c.data.empty()) {
            WriteSensorValue("Synchro", c.type, c.data.data(), static_cast<DWORD>(c.data.size()));
        }
        CheckMenuItem(menu, IDM_SYNCHRO, c.setting == 1 ? MF_UNCHECKED : MF_CHECKED);
        SensorSettingsOnCreate(menu);
        EXPECT_EQ(c.setting, SynchroSetting()) << c.what;
        EXPECT_EQ(c.setting == 1 ? static_cast<UINT>(MF_CHECKED) : 0u, ItemState(menu, IDM_SYNCHRO)) << c.what;
    }

    DeleteSensorKey();
    CheckMenuItem(menu, IDM_SYNCHRO, MF_CHECKED);
    SensorSettingsOnCreate(menu);
    EXPECT_EQ(3, SynchroSetting());
    EXPECT_EQ(0u, ItemState(menu, IDM_SYNCHRO));
    EXPECT_FALSE(SensorKeyExists());
    DestroyMenu(menu);
}

// With "Synchro" at "1" the item is checked before the open; modes 1 and 2
// then force it on and off, the others leave it.
TEST_F(DriverTest, EachDriverModeGetsItsBoxMenuAndTitle)
{
    const struct {
        int mode;
        const char *box;  // caption "Error", or null for none
        const char *title;
        bool suffixed;
        UINT start;
        UINT synchro;
    } cases[] = {
        {-3, RESTART, "CATTURA DA SENSORE", true, MF_GRAYED, MF_CHECKED},
        {0, NOT_DECLARED, "CATTURA DA SENSORE", false, 0, MF_CHECKED},
        {1, nullptr, "CATTURA DA SENSORE - HBX version", true, MF_GRAYED, MF_CHECKED},
        {2, nullptr, "CATTURA DA SENSORE - Standalone version", true, 0, 0},
        {7, "XRAYOpen returns 7", "CATTURA DA SENSORE ", true, 0, MF_CHECKED},
        {-1, "XRAYOpen returns -1", "CATTURA DA SENSORE ", true, 0, MF_CHECKED},
    };
    CreateSensorKey();
    WriteSensorValue("Synchro", REG_SZ, "1", 2);
    for (const char *variant : {"testdrv_full.dll", "testdrv_old.dll"}) {
        TestDriver td(variant);
        WriteDriverPath(td.path.c_str());
        const bool old = std::string(variant) == "testdrv_old.dll";
        for (const auto &c : cases) {
            const std::string where = std::string(variant) + " mode " + std::to_string(c.mode);
            td.SetOpenResult(c.mode);
            modal.records.clear();
            HWND window = Open();
            HMENU menu = GetMenu(window);
            EXPECT_EQ(std::string(c.title) + (old && c.suffixed ? "- Old driver version" : ""), Title(window))
                << where;
            EXPECT_EQ(c.start, ItemState(menu, IDM_START)) << where;
            EXPECT_EQ(c.synchro, ItemState(menu, IDM_SYNCHRO)) << where;
            EXPECT_EQ(0u, ItemState(menu, IDM_MODE)) << where;
            EXPECT_EQ(0u, ItemState(menu, IDM_EXIT)) << where;
            if (c.box == nullptr) {
                EXPECT_TRUE(modal.records.empty()) << where << "\n" << Boxes();
            } else {
                ASSERT_EQ(1u, modal.records.size()) << where << "\n" << Boxes();
                const ModalRecord &box = modal.records[0];
                EXPECT_EQ(c.box, box.text) << where;
                EXPECT_EQ("Error", box.caption) << where;
                EXPECT_EQ(LoadIconA(nullptr, IDI_HAND), box.icon) << where << ": not the error icon";
                EXPECT_EQ(nullptr, box.owner) << where;
                EXPECT_FALSE(box.hasCancel) << where;
            }
            Close(window);
        }
    }
}

// An old driver, so the reopen titles also show that no suffix is added.
TEST_F(DriverTest, ToggleSynchroFlipsTheSettingReopensAndRetitles)
{
    TestDriver td("testdrv_old.dll");
    WriteDriverPath(td.path.c_str());
    CreateSensorKey();
    HWND window = Open();
    HMENU menu = GetMenu(window);
    ASSERT_EQ(0u, ItemState(menu, IDM_SYNCHRO));
    const struct {
        int mode;
        const char *value;
        const char *box;
        const char *title;
        UINT start;
    } steps[] = {
        {-3, "1", RESTART, "XRAY CAPTURE ", MF_GRAYED},
        {1, "2", nullptr, "XRAY CAPTURE - HBX version", MF_GRAYED},
        {7, "1", "XRAYOpen returns 7", "XRAY CAPTURE ", MF_GRAYED},
        {2, "2", nullptr, "XRAY CAPTURE - Standalone version", 0},
    };
    for (const auto &s : steps) {
        const std::string where = "mode " + std::to_string(s.mode);
        td.SetOpenResult(s.mode);
        td.ClearLog();
        modal.records.clear();
        EXPECT_EQ(0, SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDM_SYNCHRO, 0), 0));
        ExpectTextValue("Synchro", s.value);
        const bool checked = s.value[0] == '1';
        EXPECT_EQ(checked ? 1 : 2, SynchroSetting()) << where;
        EXPECT_EQ(checked ? static_cast<UINT>(MF_CHECKED) : 0u, ItemState(menu, IDM_SYNCHRO)) << where;
        EXPECT_EQ("XRAYClose();XRAYOpen(VESTRA,4711);", td.Calls()) << where;
        EXPECT_EQ(s.title, Title(window)) << where;
        EXPECT_EQ(s.start, ItemState(menu, IDM_START)) << where;
        if (s.box == nullptr) {
            EXPECT_TRUE(modal.records.empty()) << where << "\n" << Boxes();
        } else {
            ASSERT_EQ(1u, modal.records.size()) << where << "\n" << Boxes();
            EXPECT_EQ(s.box, modal.records[0].text);
            EXPECT_EQ("Error", modal.records[0].caption);
            EXPECT_EQ(LoadIconA(nullptr, IDI_HAND), modal.records[0].icon) << where << ": not the error icon";
            EXPECT_EQ(nullptr, modal.records[0].owner);
        }
    }
}

TEST_F(DriverTest, ToggleSynchroEndsTheStationWhenTheBoardIsNotDeclared)
{
    TestDriver td("testdrv_full.dll");
    WriteDriverPath(td.path.c_str());
    DeleteSensorKey();
    HWND window = Open();
    td.SetOpenResult(0);
    td.ClearLog();
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDM_SYNCHRO, 0), 0);
    ASSERT_EQ(1u, modal.records.size()) << Boxes();
    EXPECT_EQ(NOT_DECLARED, modal.records[0].text);
    EXPECT_EQ("Error", modal.records[0].caption);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ("XRAYClose();XRAYOpen(VESTRA,4711);XRAYClose();", td.Calls());
    // Without the key the check still flipped, and nothing was created.
    EXPECT_EQ(1, SynchroSetting());
    EXPECT_FALSE(SensorKeyExists());
}

TEST_F(DriverTest, ToggleResolutionAsksTheDriverAndReports)
{
    const struct {
        int driverResult;
        const char *box;
        int flag;
        const char *call;
    } steps[] = {
        {1, "High resolution activated", 1, "bXRAYChangeBinningMode(1);"},
        {0, "Standard resolution activated", 0, "bXRAYChangeBinningMode(0);"},
        {0, "High resolution not activated", 0, "bXRAYChangeBinningMode(1);"},
        {2, "High resolution not activated", 0, "bXRAYChangeBinningMode(1);"},
    };
    TestDriver td("testdrv_full.dll");
    WriteDriverPath(td.path.c_str());
    // In mode -3 too: the command works whatever the driver mode.
    td.SetOpenResult(-3);
    HWND window = Open();
    for (const auto &s : steps) {
        td.SetChangeBinningResult(s.driverResult);
        td.ClearLog();
        modal.records.clear();
        EXPECT_EQ(0, SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDM_MODE, 0), 0));
        ASSERT_EQ(1u, modal.records.size()) << Boxes();
        EXPECT_EQ(s.box, modal.records[0].text);
        EXPECT_EQ("IDM_MODE", modal.records[0].caption);
        EXPECT_EQ(nullptr, modal.records[0].icon);
        EXPECT_EQ(nullptr, modal.records[0].owner);
        EXPECT_FALSE(modal.records[0].hasCancel);
        EXPECT_EQ(s.flag, HighResolutionFlag()) << s.box;
        EXPECT_EQ(s.call, td.Calls());
    }
    Close(window);

    TestDriver noChange("testdrv_nochange.dll");
    WriteDriverPath(noChange.path.c_str());
    window = Open();
    modal.records.clear();
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDM_MODE, 0), 0);
    ASSERT_EQ(1u, modal.records.size()) << Boxes();
    EXPECT_EQ("High resolution not activated", modal.records[0].text);
    EXPECT_EQ(0, HighResolutionFlag());
}
