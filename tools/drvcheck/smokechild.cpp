// The smoke child's run: loading the driver as the station does, its hidden
// window and the driver's messages to it, the calls and the wait for an
// image, closing and unloading.
#include "smokechild.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>
#include <vector>

#include "childreport.h"
#include "hosttag.h"
#include "imagecheck.h"
#include "loader.h"
#include "settings.h"
#include "stackprobe.h"
#include "station.h"
#include "wndproc.h"
#include "xraydrv.h"
#include "xrayexports.h"

namespace drvcheck {

namespace {

// A test switch, read from the environment: the child waits this long
// before its first report (a slow start).
constexpr char START_DELAY_VARIABLE[] = "DRVCHECK_TEST_START_DELAY_MS";

struct DriverMessage {
    WPARAM code;
    LPARAM value;
};
std::vector<DriverMessage> driverMessages;

LRESULT CALLBACK ChildWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_USER) {
        driverMessages.push_back({wParam, lParam});
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

struct Exports {
    XRAYOpenFn open;
    XRAYCloseFn close;
    XRAYPrepareAcquisitionFn prepare;
    XRAYResolutionFn resolution;
    XRAYSizeFn size;
    bXRAYGetBinningModeFn getBinning;
    bXRAYChangeBinningModeFn changeBinning;
};

// Takes the driver messages received so far; true once an image came.
bool TakeDriverMessages(int *images, int width, int height, const char *saveDir)
{
    bool image = false;
    std::vector<DriverMessage> messages;
    messages.swap(driverMessages);
    for (const DriverMessage &m : messages) {
        if (m.code == XRAY_MSG_IMAGE) {
            CheckImageBlock(++*images, m.value, width, height, saveDir);
            image = true;
        } else if (m.code == XRAY_MSG_EVENT) {
            ChildFinding(Level::Warn, "event %lld: the station shows \"%s\"", static_cast<long long>(m.value),
                         EventNoticeText(static_cast<unsigned>(m.value)));
        } else {
            ChildFinding(Level::Warn, "WM_USER with wParam %llu: the station ignores it",
                         static_cast<unsigned long long>(m.code));
        }
    }
    return image;
}

void PumpFor(DWORD ms)
{
    DWORD start = GetTickCount();
    do {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageA(&msg);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    } while (GetTickCount() - start < ms);
}

// Waits for the first image, reporting events on the way.
void WaitForImage(const Options &options, int width, int height)
{
    ChildStep("waiting for an image", true);
    int images = 0;
    DWORD start = GetTickCount();
    while (GetTickCount() - start < static_cast<DWORD>(options.timeoutS) * 1000u) {
        PumpFor(20);
        if (TakeDriverMessages(&images, width, height, options.saveDir)) {
            // Events a driver sends right after its image.
            PumpFor(300);
            TakeDriverMessages(&images, width, height, options.saveDir);
            ChildStepDone();
            return;
        }
    }
    ChildStepDone();
    ChildFinding(Level::Error, "no image within %d s: the driver never delivered (WM_USER 301)", options.timeoutS);
}

void ReportMode(int mode, bool oldDriver)
{
    char notice[256] = "";
    char title[256] = "";
    bool box = CreationNoticeText(mode, notice, sizeof notice);
    bool titled = CreationTitleText(mode, oldDriver ? 0 : 1, title, sizeof title);
    std::string shows;
    if (box) {
        shows += std::string("the box \"") + notice + "\"";
    }
    if (titled) {
        shows += std::string(box ? " and " : "") + "the title \"" + title + "\"";
    } else {
        shows += " and keeps the title it was created with";
    }
    switch (mode) {
    case XRAY_MODE_STANDALONE:
        ChildFinding(Level::Ok, "XRAYOpen returned 2 (standalone): the station shows %s", shows.c_str());
        break;
    case XRAY_MODE_HBX:
        ChildFinding(Level::Ok, "XRAYOpen returned 1 (synchronised with the generator): the station shows %s",
                     shows.c_str());
        break;
    case XRAY_MODE_RESTART:
        ChildFinding(Level::Warn, "XRAYOpen returned -3 (restart needed): the station shows %s", shows.c_str());
        break;
    default:
        ChildFinding(Level::Error, "XRAYOpen returned %d: the station shows %s", mode, shows.c_str());
        break;
    }
}

// The child's report file, no error boxes, a report of a crash, and the
// tests' slow start; false without a report file.
bool StartChild(const Options &options)
{
    if (!OpenChildReport(options.childReport)) {
        return false;
    }
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(ReportCrash);
    char delay[16] = "";
    if (GetEnvironmentVariableA(START_DELAY_VARIABLE, delay, sizeof delay) > 0) {
        Sleep(static_cast<DWORD>(strtoul(delay, nullptr, 10)));
    }
    return true;
}

// The driver loaded, or null when LoadLibrary failed, which is reported.
HMODULE LoadDriver(const char *driver)
{
    ChildStep("LoadLibrary");
    // With the station's own loading, whatever folder this child runs in:
    // the driver's folder as the DLL directory, kept until the driver is
    // freed, and no critical-error boxes for the load.
    HMODULE module = LoadDriverLibrary(driver);
    DWORD error = GetLastError();
    ChildStepDone();
    if (module == nullptr) {
        char why[64] = "";
        if (error == ERROR_MOD_NOT_FOUND) {
            snprintf(why, sizeof why, ": a DLL it needs is missing");
        } else if (error == ERROR_BAD_EXE_FORMAT) {
            snprintf(why, sizeof why, ": not a %d-bit DLL", STATION_BITS);
        }
        ChildFinding(Level::Error, "LoadLibrary failed with error %lu%s; the station would say \"Dll non trovata\"",
                     static_cast<unsigned long>(error), why);
        return nullptr;
    }
    ChildFinding(Level::Ok, "loaded with LoadLibrary, as the station loads it");
    return module;
}

Exports ResolveExports(HMODULE module)
{
    Exports e;
    // Through void*, as the station resolves them: FARPROC has another type.
    auto resolve = [&](auto *slot, const char *name) {
        *slot = reinterpret_cast<std::remove_pointer_t<decltype(slot)>>(
            reinterpret_cast<void *>(GetProcAddress(module, name)));
    };
    resolve(&e.open, XRAY_OPEN_EXPORT);
    resolve(&e.close, XRAY_CLOSE_EXPORT);
    resolve(&e.prepare, XRAY_PREPARE_ACQUISITION_EXPORT);
    resolve(&e.resolution, XRAY_RESOLUTION_EXPORT);
    resolve(&e.size, XRAY_SIZE_EXPORT);
    // Looked up only: its presence alone tells a current driver from an old
    // one, and its arguments are nobody's to guess.
    resolve(&e.getBinning, XRAY_GET_BINNING_MODE_EXPORT);
    resolve(&e.changeBinning, XRAY_CHANGE_BINNING_MODE_EXPORT);
    return e;
}

HWND MakeChildWindow()
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = ChildWindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "DrvCheckWindow";
    RegisterClassA(&wc);
    // Hidden: the driver gets a window to report to, nobody sees it.
    return CreateWindowA(wc.lpszClassName, XRAY_OPEN_VENDOR, WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                         nullptr, wc.hInstance, nullptr);
}

// XRAYOpen and what the station shows for the mode it returns.
int OpenDriver(const Exports &e, HWND window)
{
    int mode = XRAY_MODE_NOT_DECLARED;
    if (e.open != nullptr) {
        mode = CallExport(XRAY_OPEN_EXPORT, e.open, false, window, static_cast<const char *>(XRAY_OPEN_VENDOR),
                          XRAY_APPLICATION_CODE);
        ReportMode(mode, e.getBinning == nullptr);
    } else {
        char notice[256] = "";
        CreationNoticeText(mode, notice, sizeof notice);
        ChildFinding(Level::Error, "without XRAYOpen the driver mode stays 0: the station shows \"%s\"", notice);
    }
    return mode;
}

// XRAYSize and XRAYResolution, each where the driver has it.
void MeasureSensor(const Exports &e, int *width, int *height)
{
    // The station's default size, from its own wrapper with no driver bound.
    GetSensorSize(width, height);
    if (e.size != nullptr) {
        CallExport(XRAY_SIZE_EXPORT, e.size, true, width, height);
        ChildFinding(*width > 0 && *height > 0 ? Level::Ok : Level::Error, "XRAYSize: %d x %d", *width, *height);
    }
    double first = 0.0, second = 0.0;  // as the station sets them before the call
    if (e.resolution != nullptr) {
        CallExport(XRAY_RESOLUTION_EXPORT, e.resolution, true, &first, &second);
        ChildFinding(Level::Ok, "XRAYResolution: %g, %g; tags sent with each image: front end 0x%08lX, "
                                "photo server 0x%08lX",
                     first, second, static_cast<unsigned long>(FrontEndTag(first)),
                     static_cast<unsigned long>(PhotoServerTag(first, second)));
    }
}

// --arm: arms as the station would in the mode the driver chose, and waits
// for the image.
void Arm(const Options &options, const Exports &e, int mode, int width, int height)
{
    if (mode == XRAY_MODE_STANDALONE && e.prepare != nullptr) {
        int armed = CallExport(XRAY_PREPARE_ACQUISITION_EXPORT, e.prepare, false);
        if (armed == 0) {
            ChildFinding(Level::Error, "XRAYPrepareAcquisition returned 0: arming failed, the station beeps twice");
        } else {
            ChildFinding(Level::Ok, "XRAYPrepareAcquisition returned %d", armed);
            WaitForImage(options, width, height);
        }
    } else if (mode == XRAY_MODE_STANDALONE) {
        ChildFinding(Level::Error, "--arm: mode 2 but no XRAYPrepareAcquisition: F1 arms nothing");
    } else if (mode == XRAY_MODE_HBX) {
        ChildFinding(Level::Ok, "--arm: mode 1, the station does not arm; waiting for the generator's image");
        WaitForImage(options, width, height);
    } else {
        ChildFinding(Level::Warn, "--arm: the station arms only in mode 2 (standalone); nothing armed");
    }
}

void CloseAndUnload(const Exports &e, HWND window, HMODULE module)
{
    if (e.close != nullptr) {
        CallExport(XRAY_CLOSE_EXPORT, e.close, false);
        ChildFinding(Level::Ok, "XRAYClose returned");
    }
    // Whatever came after the wait belongs to nobody now: freed unchecked.
    PumpFor(0);
    for (const DriverMessage &m : driverMessages) {
        if (m.code == XRAY_MSG_IMAGE && m.value != 0) {
            GlobalFree(reinterpret_cast<HGLOBAL>(m.value));
        }
    }
    DestroyWindow(window);
    ChildStep("FreeLibrary");
    FreeDriverLibrary(module);
    ChildStepDone();
    ChildFinding(Level::Ok, "unloaded with FreeLibrary");
}

}  // namespace

int RunChild(const Options &options)
{
    if (!StartChild(options)) {
        return EXIT_ERRORS;
    }
    HMODULE module = LoadDriver(options.driver);
    if (module == nullptr) {
        ChildLine("done", "");
        return EXIT_CLEAN;
    }
    const Exports e = ResolveExports(module);
#if !DRVCHECK_WATCHES_STACK
    ChildFinding(Level::Ok, "the stack-pointer check does not apply to a %d-bit driver: x86-64 has one calling "
                            "convention",
                 STATION_BITS);
#endif
    HWND window = MakeChildWindow();
    const int mode = OpenDriver(e, window);
    int width = 0, height = 0;
    MeasureSensor(e, &width, &height);
    if (options.arm) {
        Arm(options, e, mode, width, height);
    }
    CloseAndUnload(e, window, module);
    ChildLine("done", "");
    CloseChildReport();
    return EXIT_CLEAN;
}

}  // namespace drvcheck
