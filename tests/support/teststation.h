// The station harness: the real main window in this test program, on the
// driver "xray.ini" names (a scriptable test driver, loaded here too, or
// another DLL the station alone loads), with the registry key and "xray.ini"
// put back afterwards and every message box and dialog answered. Each
// window it made is destroyed at the end, and the current image freed.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fixtures.h"
#include "modal.h"
#include "nocopy.h"
#include "testdrv_client.h"

// How a TestStation starts; the default is the full test driver, the window
// made at once and left hidden.
struct StationOptions {
    // The DLL of the bin folder that "xray.ini" names; null: the file is
    // left as the test sets it.
    const char *driver = "testdrv_full.dll";
    // A scriptable test driver, loaded by the test too (TestDriver); false:
    // a DLL the station alone loads (xraysim.dll).
    bool scripted = true;
    bool sensorKey = false;      // the sensor's registry key made first
    bool setSynchro = false;     // its "Synchro" set to `synchro`, or removed when null
    const char *synchro = nullptr;
    bool open = true;            // the window made at once; false: by Open()
    bool shown = false;          // shown and painted, the queue run for 20 ms

    StationOptions &On(const char *dll) { driver = dll, scripted = true; return *this; }
    StationOptions &OnDll(const char *dll) { driver = dll, scripted = false; return *this; }
    StationOptions &NoDriver() { driver = nullptr; return *this; }
    StationOptions &WithSensorKey() { sensorKey = true; return *this; }
    StationOptions &WithSynchro(const char *value) { setSynchro = true, synchro = value; return *this; }
    StationOptions &Deferred() { open = false; return *this; }
    StationOptions &Shown() { shown = true; return *this; }
};

class TestStation : NoCopy {
public:
    explicit TestStation(const char *driverDll = "testdrv_full.dll");
    explicit TestStation(const StationOptions &options);
    ~TestStation();

    RegistryGuard registry;
    IniGuard ini;
    ModalCatcher modal;
    TestDriver driver;  // loaded when the options name a scripted driver
    HWND window = nullptr;  // the window made at the start, or the last Open()

    // Makes a main window (WM_CREATE loads the driver inside), runs the
    // queue, and destroys it at the end if the test has not.
    HWND Open();
    // Destroys a window if it still exists and runs the queue.
    static void Close(HWND window);
    // WM_COMMAND as an accelerator sends it.
    void Command(WORD id);
    // Delivers a new block of these bytes as the driver does; returns it.
    HGLOBAL Deliver(const std::vector<uint8_t> &bytes);
    // Resizes the frame until the client area, bars included, is w by h.
    bool SetClient(int w, int h);
    // Sends a scroll request as the bar does; true when it left the client
    // area to repaint.
    bool Scroll(int bar, WORD request, WORD thumb = 0);
    // The client area read back as 0xRRGGBB, top row first.
    std::vector<uint32_t> Capture(int *width);
    // Every box and dialog seen, for failure messages.
    std::string Boxes() const;
    // The path each first-run dialog showed, in order.
    std::vector<std::string> DialogTexts() const;

private:
    bool shown;
    std::vector<HWND> windows;
};

// A window's title.
std::string Title(HWND window);
// MF_GRAYED, MF_DISABLED and MF_CHECKED bits of a menu item.
UINT ItemState(HMENU menu, UINT id);

// Exactly one box was shown: caption "Errore", this text, owned by `owner`,
// OK alone and no icon.
void ExpectOneErrorBox(const ModalCatcher &modal, HWND owner, const char *text);

// Sets the current image for a test and frees whatever is current at the end.
class CurrentImage : NoCopy {
public:
    explicit CurrentImage(HGLOBAL image);
    ~CurrentImage();
};
