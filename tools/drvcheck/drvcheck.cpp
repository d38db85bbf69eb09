// drvcheck.exe: checks a sensor driver DLL against the station's driver
// contract and says, one finding a line, what is right and what is wrong:
//
//   drvcheck PATH\TO\DRIVER.dll [--arm] [--timeout SECONDS] [--save DIR] [--json FILE]
//
// First the file itself (a PE DLL of the station's bitness: 32-bit x86 in
// the i686 product, 64-bit x64 in the x86_64 test flavour; the DLLs it
// imports, its exports), read without loading it. Then a smoke run in a
// child process of this program (started again with a hidden flag), which
// loads the driver as the station does, opens it on a hidden window and
// calls it (on i686 through a thunk that watches the stack pointer); a
// driver that hangs or crashes takes only the child with it, and the parent
// reports where it stopped.
//
// The station's own code decides what the station would do: its wrappers'
// defaults, its titles and boxes for the driver mode, its host tags, its
// layout check of an image block and its event notice texts are called from
// the station's libraries, never copied here.
#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "diblayout.h"
#include "hosttag.h"
#include "loader.h"
#include "peimage.h"
#include "settings.h"
#include "wndproc.h"
#include "xraydrv.h"
#include "xrayexports.h"

namespace {

constexpr int EXIT_CLEAN = 0;
constexpr int EXIT_ERRORS = 1;
constexpr int EXIT_USAGE = 2;
constexpr int DEFAULT_TIMEOUT_S = 20;
constexpr int MAX_TIMEOUT_S = 3600;
// What the smoke run does outside the driver's calls (starting, making its
// window, reading an image) is this program's own time, never charged to the
// driver: it has a bound of its own, far above any healthy run, even on a
// PC where every new process is scanned first.
constexpr int OWN_WORK_LIMIT_S = 120;
// Test switches, read from the environment: the child waits this long
// before its first report (a slow start), and the parent's bound above.
constexpr char START_DELAY_VARIABLE[] = "DRVCHECK_TEST_START_DELAY_MS";
constexpr char OWN_LIMIT_VARIABLE[] = "DRVCHECK_TEST_OWN_LIMIT_S";
constexpr char CHILD_FLAG[] = "--smoke-child";
constexpr char USAGE_TEXT[] =
    "usage: drvcheck DRIVER.dll [--arm] [--timeout SECONDS] [--save DIR] [--json FILE]\n";
// The wrong bitness: the file's, then the station's twice.
constexpr char WRONG_BITNESS_DLL[] =
    "this is a %d-bit DLL; the station is a %d-bit program and can only load %d-bit drivers";
constexpr char WRONG_BITNESS_EXE[] =
    "this is a %d-bit program (EXE), not a driver DLL; the station is a %d-bit program and can only "
    "load %d-bit DLLs";
constexpr char EXE_NOT_DLL[] =
    "this is a program (EXE), not a DLL; the station loads its driver with LoadLibrary and needs a DLL";

enum class Level { Ok, Warn, Error };

struct Finding {
    Level level;
    std::string text;
};

const char *LevelName(Level level)
{
    return level == Level::Ok ? "ok" : (level == Level::Warn ? "warn" : "error");
}

struct Options {
    const char *driver = nullptr;
    bool arm = false;
    int timeoutS = DEFAULT_TIMEOUT_S;
    const char *saveDir = nullptr;
    const char *jsonPath = nullptr;
    const char *childReport = nullptr;  // set only in the child
};

std::string Format(const char *format, va_list args)
{
    char text[1024];
    vsnprintf(text, sizeof text, format, args);
    return text;
}

// ---------------------------------------------------------------------------
// The station's bitness, from the build: drvcheck is built in the station's
// flavour and checks drivers the station of that flavour could load.

#if defined(__i386__) || defined(_M_IX86)
#define DRVCHECK_WATCHES_STACK 1
constexpr uint16_t STATION_MACHINE = PE_MACHINE_I386;
constexpr char STATION_MACHINE_NAME[] = "x86";
#elif defined(__x86_64__) || defined(_M_X64)
// x86-64 has one calling convention: no callee takes its caller's arguments
// off the stack, so there is nothing for a thunk to measure.
#define DRVCHECK_WATCHES_STACK 0
constexpr uint16_t STATION_MACHINE = PE_MACHINE_AMD64;
constexpr char STATION_MACHINE_NAME[] = "x64";
#else
#error "drvcheck checks drivers for the station's own machine: build it for x86 (i686) or x86-64"
#endif
constexpr int STATION_BITS = static_cast<int>(8 * sizeof(void *));
// Hexadecimal digits of an address.
constexpr int ADDRESS_DIGITS = static_cast<int>(2 * sizeof(void *));

#if DRVCHECK_WATCHES_STACK
// ---------------------------------------------------------------------------
// Calling through a thunk that watches the stack (i686 only)
//
// The station calls every export __cdecl: it pushes the arguments and takes
// them off again itself. A callee built __stdcall takes them off too, and
// the station's stack pointer ends up above where it should be. The thunk
// pushes the arguments, calls, measures how far the callee moved the stack
// pointer, and puts it back, so the fault is seen and does no harm here.

// Registers: esi walks the arguments, ebx keeps the stack pointer of the
// call (callee-saved, so a conforming callee leaves it alone), ebp the frame
// that puts everything back.
#if defined(__GNUC__)
extern "C" uint32_t __cdecl CallWatchingStack(const void *function, const uint32_t *arguments,
                                               uint32_t count, int32_t *removed);
asm(".text\n"
    ".globl _CallWatchingStack\n"
    "_CallWatchingStack:\n"
    "    pushl %ebp\n"
    "    movl %esp, %ebp\n"
    "    pushl %ebx\n"
    "    pushl %esi\n"
    "    pushl %edi\n"
    "    movl 12(%ebp), %esi\n"  // arguments
    "    movl 16(%ebp), %ecx\n"  // count
    "1:  testl %ecx, %ecx\n"
    "    jz 2f\n"
    "    pushl -4(%esi,%ecx,4)\n"  // from the last to the first
    "    decl %ecx\n"
    "    jmp 1b\n"
    "2:  movl %esp, %ebx\n"
    "    call *8(%ebp)\n"
    "    movl %esp, %ecx\n"
    "    subl %ebx, %ecx\n"  // bytes the callee took off the stack
    "    movl 20(%ebp), %edx\n"
    "    movl %ecx, (%edx)\n"
    "    leal -12(%ebp), %esp\n"
    "    popl %edi\n"
    "    popl %esi\n"
    "    popl %ebx\n"
    "    popl %ebp\n"
    "    ret\n");
#elif defined(_MSC_VER) && defined(_M_IX86)
extern "C" __declspec(naked) uint32_t __cdecl CallWatchingStack(const void *, const uint32_t *, uint32_t,
                                                                 int32_t *)
{
    __asm {
        push ebp
        mov ebp, esp
        push ebx
        push esi
        push edi
        mov esi, [ebp + 12]
        mov ecx, [ebp + 16]
    next_argument:
        test ecx, ecx
        jz make_call
        push dword ptr [esi + ecx * 4 - 4]
        dec ecx
        jmp next_argument
    make_call:
        mov ebx, esp
        call dword ptr [ebp + 8]
        mov ecx, esp
        sub ecx, ebx
        mov edx, [ebp + 20]
        mov [edx], ecx
        lea esp, [ebp - 12]
        pop edi
        pop esi
        pop ebx
        pop ebp
        ret
    }
}
#else
#error "drvcheck calls i686 drivers through an x86 thunk: build it with GCC or MSVC"
#endif

// One 32-bit stack slot an argument: on i686 an int and a pointer are both
// 32 bits wide, so nothing is cut short.
template <typename T>
uint32_t StackWord(T value)
{
    static_assert(sizeof(T) == sizeof(uint32_t), "each argument takes one 32-bit stack slot");
    if constexpr (std::is_pointer_v<T>) {
        return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(value));
    } else {
        return static_cast<uint32_t>(value);
    }
}
#endif  // DRVCHECK_WATCHES_STACK

// ---------------------------------------------------------------------------
// The station's DLL search while it binds a driver
//
// Given a path that names a folder, the station makes that folder its DLL
// directory (SetDllDirectoryA) just before it loads the driver, keeps it
// while the driver is bound and clears it when it closes the driver; the
// load runs under SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX. Windows
// then looks for the driver's DLLs in the station's folder, the driver's
// folder (in place of the current directory), the system folders and PATH.

// The folder a path names, made whole, as the station takes it; empty for a
// bare file name.
std::string FolderOf(const char *path)
{
    char folder[MAX_PATH];
    return DriverFolder(path, folder, sizeof folder) ? std::string(folder) : std::string();
}

bool FileExists(const std::string &path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string InFolder(const std::string &folder, const std::string &name)
{
    return folder.empty() || folder.back() == '\\' || folder.back() == '/' ? folder + name : folder + "\\" + name;
}

// ---------------------------------------------------------------------------
// The child: the smoke run. Each finding and each step goes to the report
// file as one flushed line, so the parent knows how far it got if it hangs
// or dies.

FILE *childReport;

void ChildLine(const char *kind, const std::string &text)
{
    fprintf(childReport, "%s\t%s\n", kind, text.c_str());
    fflush(childReport);
}

void ChildFinding(Level level, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    ChildLine(LevelName(level), Format(format, args));
    va_end(args);
}

// A step the driver may hang in, from its start; `ownWait` when the child
// bounds it itself.
void ChildStep(const char *name, bool ownWait = false)
{
    ChildLine("step", std::string(name) + (ownWait ? "\tbounded" : ""));
}

// The step is over: what follows is the child's own work.
void ChildStepDone()
{
    ChildLine("own", "");
}

LONG WINAPI ReportCrash(EXCEPTION_POINTERS *info)
{
    char text[64];
    snprintf(text, sizeof text, "0x%08lX at 0x%0*llX",
             static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode), ADDRESS_DIGITS,
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(info->ExceptionRecord->ExceptionAddress)));
    ChildLine("crash", text);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

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

// Calls an export with the arguments of its own type. On i686 the call goes
// through the thunk, which reports a callee that cleaned the stack;
// `watched` says the call is one whose convention is reported as ok. On
// x86-64 the typed pointer is called as it is: nothing to measure there.
template <typename Fn, typename... Args>
int CallExport(const char *name, Fn function, bool watched, Args... arguments)
{
    static_assert(std::is_invocable_r_v<int, Fn, Args...>, "the arguments of the export's own type");
    ChildStep(name);
#if DRVCHECK_WATCHES_STACK
    // One word more than the arguments, so that the array is never empty.
    const uint32_t words[] = {StackWord(arguments)..., 0u};
    int32_t removed = 0;
    uint32_t result = CallWatchingStack(reinterpret_cast<const void *>(function), words,
                                        static_cast<uint32_t>(sizeof...(Args)), &removed);
    ChildStepDone();
    if (removed != 0) {
        ChildFinding(Level::Error,
                     "%s took %ld bytes of its own arguments off the stack (callee-cleans, __stdcall): "
                     "the station calls it __cdecl and takes them off again, which corrupts its stack; "
                     "declare it extern \"C\" __cdecl",
                     name, static_cast<long>(removed));
    } else if (watched) {
        ChildFinding(Level::Ok, "%s leaves the stack pointer as it found it (__cdecl)", name);
    }
    return static_cast<int>(result);
#else
    (void)watched;
    int result = function(arguments...);
    ChildStepDone();
    return result;
#endif
}

const char *VerdictText(DibVerdict verdict)
{
    switch (verdict) {
    case DibVerdict::Drawable: return "drawable";
    case DibVerdict::ShortHeader: return "the block ends inside the header";
    case DibVerdict::BadHeaderSize: return "biSize is not a header length GDI knows";
    case DibVerdict::BadPlanes: return "biPlanes is not 1";
    case DibVerdict::BadDimensions: return "the width or height is not possible";
    case DibVerdict::Unsupported: return "a bit count and compression that cannot be drawn";
    case DibVerdict::BadColourCount: return "biClrUsed is larger than a colour table can be";
    case DibVerdict::ShortTable: return "the colour table runs past the end of the block";
    case DibVerdict::ShortBits: return "the pixel rows run past the end of the block";
    }
    return "?";
}

void SaveBlock(const char *dir, int number, const BYTE *bytes, SIZE_T size, const DibLayout &layout)
{
    char path[MAX_PATH];
    snprintf(path, sizeof path, "%s\\drvcheck-%d.bmp", dir, number);
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;  // "BM"
    file.bfSize = static_cast<DWORD>(sizeof file + size);
    file.bfOffBits = static_cast<DWORD>(sizeof file + (layout.verdict == DibVerdict::Drawable ? layout.bitsOffset : 0));
    FILE *out = fopen(path, "wb");
    if (out == nullptr || fwrite(&file, sizeof file, 1, out) != 1 || fwrite(bytes, 1, size, out) != size) {
        ChildFinding(Level::Error, "image %d: could not write %s", number, path);
    } else {
        ChildFinding(Level::Ok, "image %d: saved as %s", number, path);
    }
    if (out != nullptr) {
        fclose(out);
    }
}

// What the station does with one image block: its layout check, its size
// against XRAYSize, and whether it is the layout the station expects.
void CheckImageBlock(int number, LPARAM value, int width, int height, const char *saveDir)
{
    HGLOBAL block = reinterpret_cast<HGLOBAL>(value);
    if (block == nullptr) {
        ChildFinding(Level::Warn, "image %d: lParam is 0; the station ignores such a message", number);
        return;
    }
    SIZE_T size = GlobalSize(block);
    const BYTE *bytes = size != 0 ? static_cast<const BYTE *>(GlobalLock(block)) : nullptr;
    if (bytes == nullptr) {
        ChildFinding(Level::Error, "image %d: lParam 0x%0*llX is not a global memory block", number, ADDRESS_DIGITS,
                     static_cast<unsigned long long>(value));
        return;
    }
    BITMAPINFOHEADER header = {};
    memcpy(&header, bytes, size < sizeof header ? size : sizeof header);
    ChildFinding(Level::Ok,
                 "image %d: block of %lu bytes; header: biSize %lu, biWidth %ld, biHeight %ld, biPlanes %u, "
                 "biBitCount %u, biCompression %lu, biSizeImage %lu, biClrUsed %lu",
                 number, static_cast<unsigned long>(size), static_cast<unsigned long>(header.biSize),
                 static_cast<long>(header.biWidth), static_cast<long>(header.biHeight), header.biPlanes,
                 header.biBitCount, static_cast<unsigned long>(header.biCompression),
                 static_cast<unsigned long>(header.biSizeImage), static_cast<unsigned long>(header.biClrUsed));
    DibLayout layout = CheckDibLayout(bytes, size);
    if (layout.verdict == DibVerdict::Drawable) {
        ChildFinding(Level::Ok, "image %d: the station's layout check passes it (pixels at offset %lu)", number,
                     static_cast<unsigned long>(layout.bitsOffset));
        if (layout.width == width && layout.rows == height) {
            ChildFinding(Level::Ok, "image %d: %ld x %ld, the size XRAYSize reports", number,
                         static_cast<long>(layout.width), static_cast<long>(layout.rows));
        } else {
            ChildFinding(Level::Error,
                         "image %d: %ld x %ld, but XRAYSize reports %d x %d; the station sizes its view "
                         "by XRAYSize",
                         number, static_cast<long>(layout.width), static_cast<long>(layout.rows), width, height);
        }
    } else {
        ChildFinding(Level::Error, "image %d: the station's layout check refuses it: %s", number,
                     VerdictText(layout.verdict));
    }
    // The image block layout: 8 bits, a 256-entry table after the header,
    // rows bottom-up, all inside the block.
    std::string differences;
    if (layout.verdict != DibVerdict::Drawable) {
        differences += ", not drawable";
    } else {
        if (layout.bitCount != 8 || layout.compression != BI_RGB) {
            differences += ", " + std::to_string(layout.bitCount) + " bits a pixel";
        }
        if (layout.bitCount == 8 && layout.colourEntries != 256) {
            differences += ", a colour table of " + std::to_string(layout.colourEntries) + " entries";
        }
        if (layout.topDown) {
            differences += ", top-down rows";
        }
    }
    if (differences.empty()) {
        ChildFinding(Level::Ok, "image %d: image block layout: yes (8 bits, 256 colours, bottom-up)", number);
    } else {
        ChildFinding(Level::Warn, "image %d: image block layout: no (%s)", number, differences.c_str() + 2);
    }
    if (saveDir != nullptr) {
        SaveBlock(saveDir, number, bytes, size, layout);
    }
    GlobalUnlock(block);
    GlobalFree(block);
}

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

int RunChild(const Options &options)
{
    childReport = fopen(options.childReport, "ab");
    if (childReport == nullptr) {
        return EXIT_ERRORS;
    }
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(ReportCrash);
    char delay[16] = "";
    if (GetEnvironmentVariableA(START_DELAY_VARIABLE, delay, sizeof delay) > 0) {
        Sleep(static_cast<DWORD>(strtoul(delay, nullptr, 10)));
    }

    ChildStep("LoadLibrary");
    // With the station's own loading, whatever folder this child runs in:
    // the driver's folder as the DLL directory, kept until the driver is
    // freed, and no critical-error boxes for the load.
    HMODULE module = LoadDriverLibrary(options.driver);
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
        ChildLine("done", "");
        return EXIT_CLEAN;
    }
    ChildFinding(Level::Ok, "loaded with LoadLibrary, as the station loads it");
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
#if !DRVCHECK_WATCHES_STACK
    ChildFinding(Level::Ok, "the stack-pointer check does not apply to a %d-bit driver: x86-64 has one calling "
                            "convention",
                 STATION_BITS);
#endif

    WNDCLASSA wc = {};
    wc.lpfnWndProc = ChildWindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "DrvCheckWindow";
    RegisterClassA(&wc);
    // Hidden: the driver gets a window to report to, nobody sees it.
    HWND window = CreateWindowA(wc.lpszClassName, XRAY_OPEN_VENDOR, WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                                nullptr, nullptr, wc.hInstance, nullptr);

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

    // The station's default size, from its own wrapper with no driver bound.
    int width = 0, height = 0;
    GetSensorSize(&width, &height);
    if (e.size != nullptr) {
        CallExport(XRAY_SIZE_EXPORT, e.size, true, &width, &height);
        ChildFinding(width > 0 && height > 0 ? Level::Ok : Level::Error, "XRAYSize: %d x %d", width, height);
    }
    double first = 0.0, second = 0.0;  // as the station sets them before the call
    if (e.resolution != nullptr) {
        CallExport(XRAY_RESOLUTION_EXPORT, e.resolution, true, &first, &second);
        ChildFinding(Level::Ok, "XRAYResolution: %g, %g; tags sent with each image: front end 0x%08lX, "
                                "photo server 0x%08lX",
                     first, second, static_cast<unsigned long>(FrontEndTag(first)),
                     static_cast<unsigned long>(PhotoServerTag(first, second)));
    }

    if (options.arm) {
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
    ChildLine("done", "");
    fclose(childReport);
    return EXIT_CLEAN;
}

// ---------------------------------------------------------------------------
// The parent

std::vector<Finding> findings;

void Report(Level level, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = Format(format, args);
    va_end(args);
    findings.push_back({level, text});
    printf("%s: %s\n", LevelName(level), text.c_str());
    fflush(stdout);
}

bool ReadWholeFile(const char *path, std::vector<uint8_t> *bytes)
{
    FILE *f = fopen(path, "rb");
    if (f == nullptr) {
        return false;
    }
    uint8_t buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) {
        bytes->insert(bytes->end(), buffer, buffer + n);
    }
    fclose(f);
    return true;
}

// The file as a whole: false when it cannot be a driver of the station's
// bitness at all.
bool CheckFile(const Options &options, PeImage *image)
{
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(options.driver, &bytes)) {
        Report(Level::Error, "cannot read %s: no such file, or no access", options.driver);
        return false;
    }
    *image = ReadPeImage(bytes);
    if (image->kind == PeKind::NotPe) {
        Report(Level::Error, "this is not a Windows DLL (no PE header)");
        return false;
    }
    if (image->kind == PeKind::Truncated) {
        Report(Level::Error, "the PE file is damaged or cut short");
        return false;
    }
    // A PE32+ header or the x86-64 machine makes a 64-bit file; otherwise
    // it is a 32-bit one.
    const int bits = image->machine == PE_MACHINE_AMD64 || image->optional64 ? 64 : 32;
    if (bits != STATION_BITS) {
        Report(Level::Error, image->dll ? WRONG_BITNESS_DLL : WRONG_BITNESS_EXE, bits, STATION_BITS, STATION_BITS);
        return false;
    }
    if (image->machine != STATION_MACHINE) {
        Report(Level::Error, "this DLL is built for machine 0x%04X, not %s; the station can only load %d-bit %s drivers",
               image->machine, STATION_MACHINE_NAME, STATION_BITS, STATION_MACHINE_NAME);
        return false;
    }
    if (!image->dll) {
        Report(Level::Error, "%s", EXE_NOT_DLL);
        return false;
    }
    Report(Level::Ok, "a %d-bit %s PE DLL", STATION_BITS, STATION_MACHINE_NAME);
    return true;
}

// API-set names ("api-ms-win-crt-runtime-l1-1-0.dll") have no file of their
// own: Windows maps them to system DLLs.
bool ApiSetName(const std::string &name)
{
    return _strnicmp(name.c_str(), "api-ms-", 7) == 0 || _strnicmp(name.c_str(), "ext-ms-", 7) == 0;
}

// Reports where the station finds each DLL the driver imports: the first
// folder of its search that holds it. This program's own folder stands in
// for the station's, as the station is the program beside drvcheck, and
// this program's PATH for the station's. A driver named by a bare file name
// gets no DLL directory, and the current directory keeps its place.
void CheckImports(const Options &options, const PeImage &image)
{
    struct Place {
        std::string folder;
        const char *where;
    };
    std::vector<Place> places;
    char text[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, text, sizeof text);
    if (length > 0 && length < sizeof text) {
        places.push_back({FolderOf(text), "beside the station"});
    }
    const std::string driverFolder = FolderOf(options.driver);
    if (!driverFolder.empty()) {
        places.push_back({driverFolder, "beside the driver"});
    }
    length = GetSystemDirectoryA(text, sizeof text);
    if (length > 0 && length < sizeof text) {
        places.push_back({text, "in the system"});
    }
    length = GetWindowsDirectoryA(text, sizeof text);
    if (length > 0 && length < sizeof text) {
        places.push_back({InFolder(text, "System"), "in the system"});
        places.push_back({text, "in the system"});
    }
    if (driverFolder.empty()) {
        length = GetCurrentDirectoryA(sizeof text, text);
        if (length > 0 && length < sizeof text) {
            places.push_back({text, "in the current folder"});
        }
    }
    std::vector<char> path(GetEnvironmentVariableA("PATH", nullptr, 0) + 1, '\0');
    GetEnvironmentVariableA("PATH", path.data(), static_cast<DWORD>(path.size()));
    for (char *entry = strtok(path.data(), ";"); entry != nullptr; entry = strtok(nullptr, ";")) {
        std::string folder(entry);
        if (folder.size() >= 2 && folder.front() == '"' && folder.back() == '"') {
            folder = folder.substr(1, folder.size() - 2);
        }
        if (!folder.empty()) {
            places.push_back({folder, "on PATH"});
        }
    }
    // The places by name, in the order of the search, each once.
    std::string searched;
    for (const Place &place : places) {
        if (searched.find(place.where) == std::string::npos) {
            searched += std::string(searched.empty() ? "" : ", ") + place.where;
        }
    }

    for (const std::string &name : image.imports) {
        const char *found = nullptr;
        for (const Place &place : places) {
            if (FileExists(InFolder(place.folder, name))) {
                found = place.where;
                break;
            }
        }
        if (found == nullptr && ApiSetName(name)) {
            // Loaded as data only: its code never runs here.
            HMODULE system = LoadLibraryExA(name.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
            if (system != nullptr) {
                FreeLibrary(system);
                found = "in the system";
            }
        }
        if (found != nullptr) {
            Report(Level::Ok, "imports %s: found %s", name.c_str(), found);
        } else {
            Report(Level::Error,
                   "imports %s: not found where the station looks (%s); Windows will not load the driver "
                   "(error 126) and the station says \"Dll non trovata\"",
                   name.c_str(), searched.c_str());
        }
    }
}

bool Exported(const PeImage &image, const std::string &name)
{
    for (const std::string &e : image.exports) {
        if (e == name) {
            return true;
        }
    }
    return false;
}

// A decorated look-alike of `name`: "_Name@N", "Name@N", "@Name@N" or "_Name".
std::string DecoratedLookAlike(const PeImage &image, const std::string &name)
{
    for (const std::string &e : image.exports) {
        std::string core = e;
        if (!core.empty() && (core[0] == '_' || core[0] == '@')) {
            core.erase(0, 1);
        }
        size_t at = core.find('@');
        if (at != std::string::npos && core.find_first_not_of("0123456789", at + 1) == std::string::npos &&
            at + 1 < core.size()) {
            core.erase(at);
        }
        if (core == name && e != name) {
            return e;
        }
    }
    return std::string();
}

// What the station does without each optional export, from its own
// wrappers with no driver bound.
std::string WithoutExport(const char *name)
{
    char text[256];
    if (strcmp(name, XRAY_CLOSE_EXPORT) == 0) {
        return "the station frees the library without closing the driver";
    }
    if (strcmp(name, XRAY_PREPARE_ACQUISITION_EXPORT) == 0) {
        StartAcquisition();
        return "F1 arms nothing, so no image comes in standalone mode";
    }
    if (strcmp(name, XRAY_RESOLUTION_EXPORT) == 0) {
        double first = 0.0, second = 0.0;
        int result = GetSensorResolution(&first, &second);
        snprintf(text, sizeof text,
                 "the station's resolution stays %g, %g (result %d): tags front end 0x%08lX, photo server 0x%08lX",
                 first, second, result, static_cast<unsigned long>(FrontEndTag(first)),
                 static_cast<unsigned long>(PhotoServerTag(first, second)));
        return text;
    }
    if (strcmp(name, XRAY_SIZE_EXPORT) == 0) {
        int width = 0, height = 0;
        GetSensorSize(&width, &height);
        snprintf(text, sizeof text, "the station takes every image to be %d x %d", width, height);
        return text;
    }
    if (strcmp(name, XRAY_GET_BINNING_MODE_EXPORT) == 0) {
        char title[256] = "";
        CreationTitleText(XRAY_MODE_STANDALONE, HasBinningMode(), title, sizeof title);
        snprintf(text, sizeof text, "an old driver: the title reads \"%s\" in standalone mode", title);
        return text;
    }
    snprintf(text, sizeof text, "a change of resolution answers %d: high resolution is never activated",
             ChangeBinningMode(1));
    return text;
}

void CheckExports(const PeImage &image)
{
    for (const char *name : XRAY_EXPORT_NAMES) {
        if (Exported(image, name) && strcmp(name, XRAY_GET_BINNING_MODE_EXPORT) == 0) {
            // The station never calls it: it only picks the title by it.
            char title[256] = "";
            CreationTitleText(XRAY_MODE_STANDALONE, 1, title, sizeof title);
            Report(Level::Ok, "exports %s (looked up, never called): a current driver, the title reads \"%s\" in "
                              "standalone mode",
                   name, title);
            continue;
        }
        if (Exported(image, name)) {
            Report(Level::Ok, "exports %s", name);
            continue;
        }
        std::string lookAlike = DecoratedLookAlike(image, name);
        if (!lookAlike.empty()) {
            Report(Level::Error,
                   "exports %s, not %s: a decorated (calling-convention) name the station cannot find; rename "
                   "the export to %s (extern \"C\" __cdecl, named in a .def file)",
                   lookAlike.c_str(), name, name);
        } else if (strcmp(name, XRAY_OPEN_EXPORT) == 0) {
            Report(Level::Error, "does not export XRAYOpen: the station cannot open the driver");
        } else {
            Report(Level::Warn, "does not export %s: %s", name, WithoutExport(name).c_str());
        }
    }
}

std::string Quoted(const std::string &argument)
{
    return "\"" + argument + "\"";
}

std::string TempReportPath()
{
    char folder[MAX_PATH];
    char path[MAX_PATH];
    GetTempPathA(sizeof folder, folder);
    if (GetTempFileNameA(folder, "drv", 0, path) == 0) {
        snprintf(path, sizeof path, "%sdrvcheck-%lu.txt", folder, static_cast<unsigned long>(GetCurrentProcessId()));
    }
    return path;
}

// Reads what the child has reported since `consumed` lines; the last step
// it started, and whether it finished or crashed.
struct ChildState {
    size_t consumed = 0;
    std::string step;
    bool inStep = false;  // inside the driver's step, else the child's own work
    bool bounded = false;
    bool done = false;
    std::string crash;
};

bool ReadChildReport(const std::string &path, ChildState *state)
{
    std::vector<uint8_t> bytes;
    ReadWholeFile(path.c_str(), &bytes);
    std::string text(bytes.begin(), bytes.end());
    bool progress = false;
    size_t line = 0;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1, ++line) {
        if (line < state->consumed) {
            continue;
        }
        ++state->consumed;
        progress = true;
        std::string entry = text.substr(start, end - start);
        size_t tab = entry.find('\t');
        std::string kind = entry.substr(0, tab);
        std::string rest = tab == std::string::npos ? std::string() : entry.substr(tab + 1);
        if (kind == "step") {
            size_t flag = rest.find('\t');
            state->bounded = flag != std::string::npos;
            state->step = rest.substr(0, flag);
            state->inStep = true;
        } else if (kind == "own") {
            state->inStep = false;
        } else if (kind == "done") {
            state->done = true;
        } else if (kind == "crash") {
            state->crash = rest;
        } else if (kind == "ok" || kind == "warn" || kind == "error") {
            Report(kind == "ok" ? Level::Ok : (kind == "warn" ? Level::Warn : Level::Error), "%s", rest.c_str());
        }
    }
    return progress;
}

bool ParseTimeout(const char *text, int *seconds);

// The bound on the smoke run's own work, in seconds; the tests may lower it.
int OwnWorkLimitS()
{
    char text[16] = "";
    if (GetEnvironmentVariableA(OWN_LIMIT_VARIABLE, text, sizeof text) > 0) {
        int seconds = 0;
        if (ParseTimeout(text, &seconds)) {
            return seconds;
        }
    }
    return OWN_WORK_LIMIT_S;
}

void SmokeRun(const Options &options)
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string reportPath = TempReportPath();
    DeleteFileA(reportPath.c_str());
    std::string command = Quoted(self) + " " + CHILD_FLAG + " " + Quoted(reportPath) + " --timeout " +
        std::to_string(options.timeoutS);
    if (options.arm) {
        command += " --arm";
    }
    if (options.saveDir != nullptr) {
        command += " --save " + Quoted(options.saveDir);
    }
    command += " " + Quoted(options.driver);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child)) {
        Report(Level::Error, "could not start the smoke run (error %lu)", static_cast<unsigned long>(GetLastError()));
        return;
    }
    // The driver's clock starts when the child reports that it enters a
    // step, never before: each step has the whole timeout, and a wait the
    // child bounds itself a little more, so that the child's own verdict
    // arrives first. Before its first report (the process starting) and
    // between steps the child is doing its own work, under its own bound.
    ChildState state;
    const DWORD limit = static_cast<DWORD>(options.timeoutS) * 1000u;
    const DWORD ownLimit = static_cast<DWORD>(OwnWorkLimitS()) * 1000u;
    DWORD since = GetTickCount();
    bool killed = false;
    for (;;) {
        DWORD wait = WaitForSingleObject(child.hProcess, 50);
        if (ReadChildReport(reportPath, &state)) {
            since = GetTickCount();
        }
        if (wait != WAIT_TIMEOUT) {
            break;
        }
        DWORD allowed = !state.inStep ? ownLimit : (state.bounded ? limit + 10000u : limit);
        if (GetTickCount() - since >= allowed) {
            TerminateProcess(child.hProcess, 4);
            WaitForSingleObject(child.hProcess, INFINITE);
            killed = true;
            break;
        }
    }
    ReadChildReport(reportPath, &state);
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    DeleteFileA(reportPath.c_str());
    const char *step = state.step.empty() ? "start-up" : state.step.c_str();
    if (killed && state.consumed == 0) {
        Report(Level::Error, "the smoke run did not start within %d s; this says nothing about the driver",
               OwnWorkLimitS());
    } else if (killed && !state.inStep) {
        Report(Level::Error, "the smoke run stopped for %d s after %s returned; this says nothing about the driver",
               OwnWorkLimitS(), step);
    } else if (killed) {
        Report(Level::Error, "%s did not return within %d s: the driver hangs, and the station would hang with it",
               step, options.timeoutS);
    } else if (!state.crash.empty()) {
        Report(Level::Error, "the driver crashed in %s (exception %s): it would take the station down with it", step,
               state.crash.c_str());
    } else if (!state.done) {
        Report(Level::Error, "the smoke run ended in %s with exit code 0x%08lX: the driver ended the process", step,
               static_cast<unsigned long>(code));
    }
}

void WriteJsonString(FILE *out, const std::string &text)
{
    fputc('"', out);
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            fprintf(out, "\\%c", c);
        } else if (c < 0x20 || c >= 0x80) {
            // Control characters, and ANSI bytes taken as Latin-1.
            fprintf(out, "\\u%04x", c);
        } else {
            fputc(c, out);
        }
    }
    fputc('"', out);
}

bool WriteJson(const char *path, const Options &options, int errors, int warnings)
{
    FILE *out = fopen(path, "wb");
    if (out == nullptr) {
        return false;
    }
    fputs("{\n  \"driver\": ", out);
    WriteJsonString(out, options.driver);
    fputs(",\n  \"findings\": [", out);
    for (size_t i = 0; i < findings.size(); ++i) {
        fprintf(out, "%s\n    {\"level\": \"%s\", \"text\": ", i ? "," : "", LevelName(findings[i].level));
        WriteJsonString(out, findings[i].text);
        fputc('}', out);
    }
    fprintf(out, "\n  ],\n  \"errors\": %d,\n  \"warnings\": %d,\n  \"verdict\": \"%s\"\n}\n", errors, warnings,
            errors == 0 ? "pass" : "fail");
    return fclose(out) == 0;
}

bool ParseTimeout(const char *text, int *seconds)
{
    char *end = nullptr;
    long value = strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 1 || value > MAX_TIMEOUT_S) {
        return false;
    }
    *seconds = static_cast<int>(value);
    return true;
}

bool ParseArguments(int argc, char **argv, Options *options)
{
    int i = 1;
    if (argc > 2 && strcmp(argv[1], CHILD_FLAG) == 0) {
        options->childReport = argv[2];
        i = 3;
    }
    for (; i < argc; ++i) {
        const char *arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (strcmp(arg, "--arm") == 0) {
            options->arm = true;
        } else if (strcmp(arg, "--timeout") == 0 && hasValue) {
            if (!ParseTimeout(argv[++i], &options->timeoutS)) {
                return false;
            }
        } else if (strcmp(arg, "--save") == 0 && hasValue) {
            options->saveDir = argv[++i];
        } else if (strcmp(arg, "--json") == 0 && hasValue) {
            options->jsonPath = argv[++i];
        } else if (arg[0] == '-' && arg[1] == '-') {
            return false;
        } else if (options->driver == nullptr) {
            options->driver = arg;
        } else {
            return false;
        }
    }
    return options->driver != nullptr;
}

}  // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!ParseArguments(argc, argv, &options)) {
        fputs(USAGE_TEXT, stderr);
        return EXIT_USAGE;
    }
    if (options.childReport != nullptr) {
        return RunChild(options);
    }
    printf("drvcheck %s\n", options.driver);
    PeImage image;
    if (CheckFile(options, &image)) {
        CheckImports(options, image);
        CheckExports(image);
        SmokeRun(options);
    }
    int errors = 0, warnings = 0;
    for (const Finding &f : findings) {
        errors += f.level == Level::Error;
        warnings += f.level == Level::Warn;
    }
    printf("verdict: %s (%d errors, %d warnings)\n", errors == 0 ? "PASS" : "FAIL", errors, warnings);
    if (options.jsonPath != nullptr && !WriteJson(options.jsonPath, options, errors, warnings)) {
        fprintf(stderr, "drvcheck: cannot write %s\n", options.jsonPath);
        return EXIT_ERRORS;
    }
    return errors == 0 ? EXIT_CLEAN : EXIT_ERRORS;
}
