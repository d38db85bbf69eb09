// The binding to the sensor driver library: the library handle, the table of
// its seven entry points and the driver mode of the last open. Nothing else
// in the station calls into the library; every wrapper here tests its entry
// point and falls back to a fixed default when the export is missing.
// Freeing the library also empties the table, so no pointer into a freed
// library survives to be called.
//
// A driver call can run a message loop of its own (a message box of the
// driver's), inside which the station can be closed: the calls in progress
// are counted, and the library is freed only once the outermost has
// returned, so that no driver code runs after FreeLibrary.
#include "loader.h"

#include <cstring>

#include "pathdlg.h"
#include "xraydrv.h"
#include "xrayexports.h"

struct DriverEntryPoints {
    XRAYOpenFn open;
    XRAYCloseFn close;
    XRAYPrepareAcquisitionFn prepareAcquisition;
    XRAYResolutionFn resolution;
    XRAYSizeFn size;
    bXRAYGetBinningModeFn getBinningMode;
    bXRAYChangeBinningModeFn changeBinningMode;
};

static HMODULE driverLibrary;
static DriverEntryPoints entryPoints;
static int driverMode;
// Calls into the driver that have not yet returned, and a library closed
// meanwhile whose FreeLibrary waits for the outermost of them.
static int callsInProgress;
static HMODULE libraryToFree;

static constexpr int DEFAULT_SENSOR_WIDTH = 512;
static constexpr int DEFAULT_SENSOR_HEIGHT = 768;

template <typename Fn>
static void ResolveExport(Fn *slot, const char *name)
{
    // Through void*: GetProcAddress's FARPROC has a different signature.
    *slot = reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(driverLibrary, name)));
}

typedef BOOL(WINAPI *SetDllDirectoryAFn)(LPCSTR folder);

// SetDllDirectoryA exists from Windows XP SP1 on. It is looked up rather than
// imported, so the station still starts on a kernel32 without it (the driver's
// own DLLs are then searched as before) and the rest of the station keeps
// building against the XP headers.
static void SetDriverDllDirectory(const char *folder)
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (kernel == nullptr) {
        return;
    }
    auto setDllDirectory = reinterpret_cast<SetDllDirectoryAFn>(
        reinterpret_cast<void *>(GetProcAddress(kernel, "SetDllDirectoryA")));
    if (setDllDirectory != nullptr) {
        setDllDirectory(folder);
    }
}

// The full path of the folder a driver path names, without a trailing
// backslash except at a drive's root; false for a bare file name, which
// names no folder and is searched for as it is.
bool DriverFolder(const char *path, char *folder, DWORD size)
{
    if (strpbrk(path, "\\/:") == nullptr) {
        return false;
    }
    char *filePart = nullptr;
    const DWORD length = GetFullPathNameA(path, size, folder, &filePart);
    if (length == 0 || length >= size || filePart == nullptr || filePart == folder) {
        return false;
    }
    *filePart = '\0';
    const size_t end = strlen(folder);
    if (end > 1 && folder[end - 1] == '\\' && folder[end - 2] != ':') {
        folder[end - 1] = '\0';
    }
    return true;
}

// LoadLibraryA searches a driver's own imports in the station's folder, the
// system folders, the current directory and PATH, never in the driver's
// folder: that folder takes the current directory's place in the search
// from just before the load for as long as the driver stays bound, since
// drivers load DLLs of their own later too. Critical-error boxes are off for
// the load, so that a path on an empty removable drive fails quietly.
HMODULE LoadDriverLibrary(const char *path)
{
    char folder[MAX_PATH];
    if (DriverFolder(path, folder, sizeof folder)) {
        SetDriverDllDirectory(folder);
    }
    const UINT oldMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE library = LoadLibraryA(path);
    const DWORD error = GetLastError();
    SetErrorMode(oldMode);
    if (library == nullptr) {
        SetDriverDllDirectory(nullptr);
    }
    // The caller may report why the load failed.
    SetLastError(error);
    return library;
}

void FreeDriverLibrary(HMODULE library)
{
    FreeLibrary(library);
    SetDriverDllDirectory(nullptr);
}

// Every call into the driver goes through here.
template <typename Fn, typename... Args>
static int CallDriver(Fn entry, Args... args)
{
    ++callsInProgress;
    const int result = entry(args...);
    if (--callsInProgress == 0 && libraryToFree != nullptr) {
        HMODULE library = libraryToFree;
        libraryToFree = nullptr;
        FreeDriverLibrary(library);
    }
    return result;
}

// In the order of the table; a missing export stays null.
static void ResolveEntryPoints()
{
    ResolveExport(&entryPoints.open, XRAY_OPEN_EXPORT);
    ResolveExport(&entryPoints.close, XRAY_CLOSE_EXPORT);
    ResolveExport(&entryPoints.prepareAcquisition, XRAY_PREPARE_ACQUISITION_EXPORT);
    ResolveExport(&entryPoints.resolution, XRAY_RESOLUTION_EXPORT);
    ResolveExport(&entryPoints.size, XRAY_SIZE_EXPORT);
    ResolveExport(&entryPoints.getBinningMode, XRAY_GET_BINNING_MODE_EXPORT);
    ResolveExport(&entryPoints.changeBinningMode, XRAY_CHANGE_BINNING_MODE_EXPORT);
}

int LoadDriver(HWND mainWindow)
{
    driverMode = 0;
    // MAX_PATH, as the dialog stores it, so a stored path is loaded whole.
    char path[MAX_PATH] = "";
    ReadDriverPathEntry(path, sizeof path);
    // Both modal windows dispatch messages, and a WM_CLOSE among them
    // destroys the main window: nothing is then loaded or opened for it.
    if (path[0] == '\0') {
        ShowDriverPathDialog(mainWindow);
        if (!IsWindow(mainWindow)) {
            return driverMode;
        }
        ReadDriverPathEntry(path, sizeof path);
    }

    // An empty path is a failed load; it is never handed to LoadLibraryA.
    driverLibrary = path[0] != '\0' ? LoadDriverLibrary(path) : nullptr;
    if (driverLibrary == nullptr) {
        // The path is not read again: the driver stays unbound until the
        // next open.
        ShowDriverLoadFailure(path);
        if (IsWindow(mainWindow)) {
            ShowDriverPathDialog(mainWindow);
        }
        return driverMode;
    }

    ResolveEntryPoints();
    if (entryPoints.open != nullptr) {
        driverMode = CallDriver(entryPoints.open, mainWindow, XRAY_OPEN_VENDOR, XRAY_APPLICATION_CODE);
    }
    return driverMode;
}

void CloseDriver()
{
    // The handle and XRAYClose are taken out first, so a close asked for
    // from inside XRAYClose neither closes nor frees a second time; the
    // other wrappers still reach the driver until XRAYClose has returned.
    const XRAYCloseFn close = entryPoints.close;
    HMODULE library = driverLibrary;
    entryPoints.close = nullptr;
    driverLibrary = nullptr;
    if (close != nullptr) {
        CallDriver(close);
    }
    // Whether or not a following open succeeds, nothing may call into the
    // library being freed. The driver mode keeps its value until that open.
    entryPoints = DriverEntryPoints{};
    if (library == nullptr) {
        return;
    }
    if (callsInProgress > 0) {
        // The driver stops now; its code goes when the call it is still in
        // returns (CallDriver).
        libraryToFree = library;
        return;
    }
    FreeDriverLibrary(library);
}

bool DriverCallInProgress() { return callsInProgress > 0; }

int DriverMode() { return driverMode; }

void StartAcquisition()
{
    if (driverMode != XRAY_MODE_STANDALONE || entryPoints.prepareAcquisition == nullptr) {
        return;
    }
    if (CallDriver(entryPoints.prepareAcquisition) == 0) {
        MessageBeep(0xFFFFFFFF);
    }
}

int GetSensorResolution(double *first, double *second)
{
    if (entryPoints.resolution == nullptr) {
        return 0;
    }
    return CallDriver(entryPoints.resolution, first, second);
}

void GetSensorSize(int *width, int *height)
{
    // A driver that returns without writing its outputs leaves the default.
    *width = DEFAULT_SENSOR_WIDTH;
    *height = DEFAULT_SENSOR_HEIGHT;
    if (entryPoints.size != nullptr) {
        CallDriver(entryPoints.size, width, height);
    }
}

// bXRAYGetBinningMode is never called: only its presence tells a current
// driver from an old one.
int HasBinningMode() { return entryPoints.getBinningMode != nullptr ? 1 : 0; }

int ChangeBinningMode(int mode)
{
    if (entryPoints.changeBinningMode == nullptr) {
        return 0;
    }
    return CallDriver(entryPoints.changeBinningMode, mode);
}
