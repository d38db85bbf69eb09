// The simulator section: the simulated driver loaded in this process and
// timed from arming with a zero exposure to its image message arriving.
#include "benchmeasures.h"

#include <cstdio>
#include <string>
#include <vector>

#include "benchprograms.h"
#include "benchtable.h"
#include "xraydrv.h"
#include "xrayexports.h"

// Guards against a hang only; no figure depends on it.
static constexpr DWORD SIM_IMAGE_LIMIT_MS = 30000;

namespace {
struct SimExports {
    XRAYOpenFn open;
    XRAYCloseFn close;
    XRAYPrepareAcquisitionFn prepare;
    bXRAYChangeBinningModeFn binning;
};

struct Case {
    Size standard;
    int mode;
};
}  // namespace

static SimExports FindExports(HMODULE sim)
{
    SimExports driver;
    driver.open = reinterpret_cast<XRAYOpenFn>(reinterpret_cast<void *>(GetProcAddress(sim, XRAY_OPEN_EXPORT)));
    driver.close = reinterpret_cast<XRAYCloseFn>(reinterpret_cast<void *>(GetProcAddress(sim, XRAY_CLOSE_EXPORT)));
    driver.prepare = reinterpret_cast<XRAYPrepareAcquisitionFn>(
        reinterpret_cast<void *>(GetProcAddress(sim, XRAY_PREPARE_ACQUISITION_EXPORT)));
    driver.binning = reinterpret_cast<bXRAYChangeBinningModeFn>(
        reinterpret_cast<void *>(GetProcAddress(sim, XRAY_CHANGE_BINNING_MODE_EXPORT)));
    return driver;
}

// Standard 512 x 768 and its high resolution, then larger standard sizes.
static std::vector<Case> Cases(const Plan &plan)
{
    std::vector<Case> cases;
    for (Size size : plan.sizes) {
        if (size.width == 1024 && size.height == 1536) {
            cases.push_back({{512, 768}, 1});
        } else {
            cases.push_back({size, 0});
        }
    }
    return cases;
}

// Arms once and waits for the image at the sink; false when none came.
static bool TimeOneImage(const SimExports &driver, HWND sink, std::vector<double> *times)
{
    const int64_t start = Now();
    driver.prepare();
    const DWORD deadline = GetTickCount() + SIM_IMAGE_LIMIT_MS;
    bool got = false;
    while (!got && static_cast<LONG>(deadline - GetTickCount()) > 0) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
        MSG message;
        while (PeekMessageA(&message, sink, 0, 0, PM_REMOVE)) {
            if (message.message == WM_USER && message.wParam == XRAY_MSG_IMAGE) {
                times->push_back((Now() - start) * MsPerTick());
                GlobalFree(reinterpret_cast<HGLOBAL>(message.lParam));
                got = true;
            }
        }
    }
    return got;
}

static void TimeCase(const Plan &plan, const SimExports &driver, HWND sink, const Case &c)
{
    SetEnvironmentVariableA("XRAYSIM_WIDTH", std::to_string(c.standard.width).c_str());
    SetEnvironmentVariableA("XRAYSIM_HEIGHT", std::to_string(c.standard.height).c_str());
    driver.open(sink, XRAY_OPEN_VENDOR, XRAY_APPLICATION_CODE);
    driver.binning(c.mode);
    std::vector<double> times;
    for (int i = 0; i < plan.simRepeats; ++i) {
        if (!TimeOneImage(driver, sink, &times)) {
            fprintf(stderr, "bench: no image from the simulated driver\n");
            NoteFailure();
            break;
        }
    }
    driver.close();
    const Size made = {c.standard.width << c.mode, c.standard.height << c.mode};
    AddRow(Row{"simulator", made, c.mode ? "arm to image, high resolution" : "arm to image", "ms",
               Summarise(times), Figure(), Figure(), "no goal (xraysim.dll, zero exposure)"});
}

// The simulated driver in this process: arming with a zero exposure to its
// image message arriving here.
void SimulatorSpeed(const Plan &plan, const char *simPath)
{
    HMODULE sim = LoadLibraryA(simPath);
    if (sim == nullptr) {
        fprintf(stderr, "bench: cannot load %s (%lu)\n", simPath, GetLastError());
        NoteFailure();
        return;
    }
    const SimExports driver = FindExports(sim);
    HWND sink = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    if (driver.open == nullptr || driver.close == nullptr || driver.prepare == nullptr ||
        driver.binning == nullptr || sink == nullptr) {
        fprintf(stderr, "bench: the simulated driver lacks an export\n");
        NoteFailure();
        FreeLibrary(sim);
        return;
    }
    const std::vector<Case> cases = Cases(plan);
    SetEnvironmentVariableA("XRAYSIM_EXPOSURE_MS", "0");
    SetEnvironmentVariableA("XRAYSIM_LOG", nullptr);
    SetEnvironmentVariableA("XRAYSIM_EVENTS", nullptr);
    for (const Case &c : cases) {
        TimeCase(plan, driver, sink, c);
    }
    DestroyWindow(sink);
    FreeLibrary(sim);
}
