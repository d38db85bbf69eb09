// The sensor settings under HKEY_CLASSES_ROOT\VESTRA\ZRK, the message boxes,
// menu states and window title for the driver mode, and the two switches of
// the menu: synchronised mode (which reopens the driver) and resolution.
// The key is opened for each use and never created: a station without it
// writes and reads nothing.
#include "settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "instance.h"
#include "loader.h"
#include "resource.h"
#include "xraydrv.h"

static constexpr char SENSOR_KEY[] = "VESTRA\\ZRK";
static constexpr char VALUE_WITH_AEC[] = "WithAEC";
static constexpr char VALUE_CONTRASTE[] = "Contraste";
static constexpr char VALUE_SYNCHRO[] = "Synchro";
static constexpr char WITH_AEC_TEXT[] = "1";
static constexpr char CONTRASTE_TEXT[] = "3";

static constexpr char ERROR_CAPTION[] = "Error";
static constexpr char RESTART_TEXT[] =
    "For all the new choices to be effective, you must restart the system.";
static constexpr char NOT_DECLARED_TEXT[] = "XRAY board not declared";
static constexpr char OPEN_RESULT_FORMAT[] = "XRAYOpen returns %d";

static constexpr char CREATION_TITLE_HBX[] = "CATTURA DA SENSORE - HBX version";
static constexpr char CREATION_TITLE_STANDALONE[] = "CATTURA DA SENSORE - Standalone version";
static constexpr char CREATION_TITLE_OTHER[] = "CATTURA DA SENSORE ";
static constexpr char OLD_DRIVER_SUFFIX[] = "- Old driver version";

static constexpr char REOPEN_TITLE_HBX[] = "XRAY CAPTURE - HBX version";
static constexpr char REOPEN_TITLE_STANDALONE[] = "XRAY CAPTURE - Standalone version";
static constexpr char REOPEN_TITLE_OTHER[] = "XRAY CAPTURE ";

static constexpr char RESOLUTION_CAPTION[] = "IDM_MODE";
static constexpr char HIGH_ON_TEXT[] = "High resolution activated";
static constexpr char HIGH_FAILED_TEXT[] = "High resolution not activated";
static constexpr char STANDARD_ON_TEXT[] = "Standard resolution activated";

// Registry texts and formatted messages share one buffer; the creation
// title is built in its own.
static char textBuffer[256];
static char titleBuffer[256];
static int synchroSetting;
static int highResolution;

static HKEY OpenSensorKey()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, SENSOR_KEY, 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS) {
        return nullptr;
    }
    return key;
}

// REG_SZ with the terminating NUL counted in the length.
static void WriteTextValue(HKEY key, const char *name)
{
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(textBuffer),
                   static_cast<DWORD>(strlen(textBuffer) + 1));
}

// "Synchro" is read whatever its type, so it may fill the whole buffer or
// carry no NUL at all: the text is cut at the last byte of the buffer so
// that atoi never reads past it. A failed read leaves the default text.
static void ReadSynchroText(HKEY key, const char *defaultText)
{
    DWORD size = sizeof textBuffer;
    if (RegQueryValueExA(key, VALUE_SYNCHRO, nullptr, nullptr, reinterpret_cast<BYTE *>(textBuffer),
                         &size) != ERROR_SUCCESS) {
        // A value too long for the buffer may have been copied in part.
        strcpy(textBuffer, defaultText);
        return;
    }
    textBuffer[size < sizeof textBuffer ? size : sizeof textBuffer - 1] = '\0';
}

static void CheckSynchroItem(HMENU menu)
{
    CheckMenuItem(menu, IDM_SYNCHRO, synchroSetting == 1 ? MF_CHECKED : MF_UNCHECKED);
}

static void ShowError(const char *text)
{
    MessageBoxA(nullptr, text, ERROR_CAPTION, MB_OK | MB_ICONERROR);
}

static void ShowOpenResult(int driverMode)
{
    sprintf(textBuffer, OPEN_RESULT_FORMAT, driverMode);
    ShowError(textBuffer);
}

void SensorSettingsOnCreate(HMENU menu)
{
    HKEY key = OpenSensorKey();
    strcpy(textBuffer, WITH_AEC_TEXT);
    if (key != nullptr) {
        WriteTextValue(key, VALUE_WITH_AEC);
    }
    strcpy(textBuffer, CONTRASTE_TEXT);
    if (key != nullptr) {
        WriteTextValue(key, VALUE_CONTRASTE);
        ReadSynchroText(key, CONTRASTE_TEXT);
    }
    synchroSetting = atoi(textBuffer);
    CheckSynchroItem(menu);
    if (key != nullptr) {
        RegCloseKey(key);
    }
}

bool CreationNoticeText(int driverMode, char *text, size_t size)
{
    switch (driverMode) {
    case XRAY_MODE_RESTART:
        snprintf(text, size, "%s", RESTART_TEXT);
        return true;
    case XRAY_MODE_NOT_DECLARED:
        snprintf(text, size, "%s", NOT_DECLARED_TEXT);
        return true;
    case XRAY_MODE_HBX:
    case XRAY_MODE_STANDALONE:
        return false;
    default:
        snprintf(text, size, OPEN_RESULT_FORMAT, driverMode);
        return true;
    }
}

bool CreationTitleText(int driverMode, int hasBinningMode, char *title, size_t size)
{
    const char *base;
    switch (driverMode) {
    case XRAY_MODE_RESTART:
        base = MAIN_TITLE;
        break;
    case XRAY_MODE_NOT_DECLARED:
        return false;
    case XRAY_MODE_HBX:
        base = CREATION_TITLE_HBX;
        break;
    case XRAY_MODE_STANDALONE:
        base = CREATION_TITLE_STANDALONE;
        break;
    default:
        base = CREATION_TITLE_OTHER;
        break;
    }
    // An old driver's suffix follows with no separator of its own.
    snprintf(title, size, "%s%s", base, hasBinningMode == 0 ? OLD_DRIVER_SUFFIX : "");
    return true;
}

void ApplyDriverModeOnCreate(HWND mainWindow, HMENU menu, int driverMode)
{
    // Every box comes before the menu changes and the title.
    if (CreationNoticeText(driverMode, textBuffer, sizeof textBuffer)) {
        ShowError(textBuffer);
    }
    switch (driverMode) {
    case XRAY_MODE_RESTART:
        EnableMenuItem(menu, IDM_START, MF_GRAYED);
        break;
    case XRAY_MODE_NOT_DECLARED:
        // The window keeps its creation title and the menu is left alone.
        return;
    case XRAY_MODE_HBX:
        EnableMenuItem(menu, IDM_START, MF_GRAYED);
        CheckMenuItem(menu, IDM_SYNCHRO, MF_CHECKED);
        break;
    case XRAY_MODE_STANDALONE:
        CheckMenuItem(menu, IDM_SYNCHRO, MF_UNCHECKED);
        break;
    default:
        break;
    }
    CreationTitleText(driverMode, HasBinningMode(), titleBuffer, sizeof titleBuffer);
    SetWindowTextA(mainWindow, titleBuffer);
}

void ToggleSynchro(HWND mainWindow)
{
    // From a message loop the driver runs inside one of its calls, the
    // library cannot be closed and opened again under that call: the switch
    // is refused with the simple beep, and nothing changes.
    if (DriverCallInProgress()) {
        MessageBeep(0xFFFFFFFF);
        return;
    }
    HMENU menu = GetMenu(mainWindow);
    HKEY key = OpenSensorKey();
    DWORD previous = CheckMenuItem(menu, IDM_SYNCHRO, MF_UNCHECKED);
    sprintf(textBuffer, "%d", previous == MF_CHECKED ? 2 : 1);
    synchroSetting = atoi(textBuffer);
    if (key != nullptr) {
        WriteTextValue(key, VALUE_SYNCHRO);
        RegCloseKey(key);
    }
    CheckSynchroItem(menu);

    // XRAYClose, the dialogs and XRAYOpen all dispatch messages, so the
    // station may have been closed meanwhile: then nothing is reopened or
    // shown for the window that is gone.
    CloseDriver();
    if (!IsWindow(mainWindow)) {
        return;
    }
    int driverMode = LoadDriver(mainWindow);
    if (!IsWindow(mainWindow)) {
        return;
    }
    switch (driverMode) {
    case XRAY_MODE_RESTART:
        ShowError(RESTART_TEXT);
        EnableMenuItem(menu, IDM_START, MF_GRAYED);
        SetWindowTextA(mainWindow, REOPEN_TITLE_OTHER);
        break;
    case XRAY_MODE_NOT_DECLARED:
        // Without a declared board the station ends: the destruction
        // message closes the driver and quits the loop.
        ShowError(NOT_DECLARED_TEXT);
        DestroyWindow(mainWindow);
        break;
    case XRAY_MODE_HBX:
        EnableMenuItem(menu, IDM_START, MF_GRAYED);
        SetWindowTextA(mainWindow, REOPEN_TITLE_HBX);
        break;
    case XRAY_MODE_STANDALONE:
        EnableMenuItem(menu, IDM_START, MF_ENABLED);
        SetWindowTextA(mainWindow, REOPEN_TITLE_STANDALONE);
        break;
    default:
        ShowOpenResult(driverMode);
        EnableMenuItem(menu, IDM_START, MF_GRAYED);
        SetWindowTextA(mainWindow, REOPEN_TITLE_OTHER);
        break;
    }
}

void ToggleResolution()
{
    if (highResolution == 0) {
        if (ChangeBinningMode(1) == 1) {
            highResolution = 1;
            MessageBoxA(nullptr, HIGH_ON_TEXT, RESOLUTION_CAPTION, MB_OK);
        } else {
            MessageBoxA(nullptr, HIGH_FAILED_TEXT, RESOLUTION_CAPTION, MB_OK);
        }
        return;
    }
    ChangeBinningMode(0);
    MessageBoxA(nullptr, STANDARD_ON_TEXT, RESOLUTION_CAPTION, MB_OK);
    highResolution = 0;
}

int SynchroSetting() { return synchroSetting; }

int HighResolutionFlag() { return highResolution; }
