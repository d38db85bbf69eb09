// hostmon.exe: a stand-in for the two host applications the station serves.
// It opens a window of class "TLumitaneWnd" (the front end), one of class
// "PELK_FOTO_SERVER" (the photo server), or both, and logs every WM_COPYDATA
// and every registered "WM_DELETE_RESOURCE" it receives, one flushed line
// each, in a fixed format that other tools parse. Each window shows the last
// image it was given, so a person can watch the hand-off.
//
//   hostmon.exe [--front] [--photo] --log FILE [--save DIR] [--delay MS | --hang] [--quiet]
//   hostmon.exe --help
// A bad command line shows the usage in a message box and exits with 2.
//
// The payload of WM_COPYDATA is valid only during the message: it is copied
// at once and every header field is checked against cbData before anything
// is read behind it. Wine puts a cross-process payload on the receiving
// thread's stack, hence the large stack this program is linked with.
//
// This file holds the command line and the entry point; the windows are in
// hostwindow.cpp, the check and the saving of the data in hostdib.cpp.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hostwindow.h"

namespace {

constexpr char USAGE_TEXT[] =
    "usage: hostmon.exe [--front] [--photo] --log FILE [--save DIR] [--delay MS | --hang] [--quiet]\n";
constexpr char HELP_TEXT[] =
    "Stands in for the station's two host programs and logs what they receive.\n"
    "  --front       open the front end's window (class TLumitaneWnd)\n"
    "  --photo       open the photo server's window (class PELK_FOTO_SERVER); neither: both\n"
    "  --log FILE    append one line per image and per notice to FILE (required)\n"
    "  --save DIR    write each image as DIR\\YYYYMMDD-HHMMSS-mmm-HOST-N.bmp\n"
    "  --delay MS    answer each image only after MS milliseconds\n"
    "  --hang        never answer an image (the window stops responding)\n"
    "  --quiet       for long runs: keep only the counts and tags on screen, no pictures\n"
    "  --help        this text\n"
    "Exit code 0 when a window is closed, 2 for a bad command line or log.\n";
constexpr char USAGE_CAPTION[] = "hostmon";
constexpr char LOG_FAILED_TEXT[] = "Cannot open the log file ";
constexpr int EXIT_USAGE = 2;

// A whole decimal number of milliseconds.
bool ParseMilliseconds(const char *text, DWORD *value)
{
    char *end = nullptr;
    unsigned long parsed = strtoul(text, &end, 10);
    if (end == text || *end != '\0' || text[0] == '-' || parsed > 0x7FFFFFFFul) {
        return false;
    }
    *value = static_cast<DWORD>(parsed);
    return true;
}

// The Start-menu shortcut names the log %TEMP%\hostmon.log: a shortcut's
// arguments reach the program unexpanded, so the paths are expanded here.
const char *ExpandPath(const char *path, char *buffer, DWORD size)
{
    DWORD length = ExpandEnvironmentStringsA(path, buffer, size);
    return length == 0 || length > size ? path : buffer;
}

bool ParseArguments(int argc, char **argv, const char **logPath, hostmon::HostSettings *settings)
{
    static char logBuffer[MAX_PATH];
    static char saveBuffer[MAX_PATH];
    bool delaySet = false;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (strcmp(arg, "--front") == 0) {
            settings->front = true;
        } else if (strcmp(arg, "--photo") == 0) {
            settings->photo = true;
        } else if (strcmp(arg, "--log") == 0 && hasValue) {
            *logPath = ExpandPath(argv[++i], logBuffer, sizeof logBuffer);
        } else if (strcmp(arg, "--save") == 0 && hasValue) {
            settings->saveFolder = ExpandPath(argv[++i], saveBuffer, sizeof saveBuffer);
        } else if (strcmp(arg, "--delay") == 0 && hasValue) {
            if (!ParseMilliseconds(argv[++i], &settings->delayMs)) {
                return false;
            }
            delaySet = true;
        } else if (strcmp(arg, "--hang") == 0) {
            settings->hang = true;
        } else if (strcmp(arg, "--quiet") == 0) {
            settings->quiet = true;
        } else {
            return false;
        }
    }
    if (!settings->front && !settings->photo) {
        settings->front = settings->photo = true;
    }
    return *logPath != nullptr && !(delaySet && settings->hang);
}

void Print(DWORD stream, const char *text)
{
    HANDLE out = GetStdHandle(stream);
    if (out != nullptr && out != INVALID_HANDLE_VALUE) {
        DWORD written;
        WriteFile(out, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
    }
}

bool HasHandle(DWORD stream)
{
    HANDLE handle = GetStdHandle(stream);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// A program without a console: whoever started it wrongly, from a shortcut
// or Explorer, sees the usage in a box; a script that captured the error
// stream finds the usage line there as well.
int RefuseCommandLine(const char *problem)
{
    Print(STD_ERROR_HANDLE, USAGE_TEXT);
    std::string text = problem;
    text += USAGE_TEXT;
    text += HELP_TEXT;
    MessageBoxA(nullptr, text.c_str(), USAGE_CAPTION, MB_OK | MB_ICONERROR);
    return EXIT_USAGE;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    const char *logPath = nullptr;
    if (__argc == 2 && strcmp(__argv[1], "--help") == 0) {
        if (HasHandle(STD_OUTPUT_HANDLE)) {
            Print(STD_OUTPUT_HANDLE, USAGE_TEXT);
            Print(STD_OUTPUT_HANDLE, HELP_TEXT);
        } else {
            std::string text = std::string(USAGE_TEXT) + HELP_TEXT;
            MessageBoxA(nullptr, text.c_str(), USAGE_CAPTION, MB_OK | MB_ICONINFORMATION);
        }
        return 0;
    }
    hostmon::HostSettings settings;
    if (!ParseArguments(__argc, __argv, &logPath, &settings)) {
        return RefuseCommandLine("");
    }
    // Binary append: lines end in a bare "\n" and earlier runs are kept.
    FILE *logFile = fopen(logPath, "ab");
    if (logFile == nullptr) {
        std::string problem = std::string(LOG_FAILED_TEXT) + logPath + ".\n\n";
        return RefuseCommandLine(problem.c_str());
    }
    int code = hostmon::RunHostWindows(instance, settings, logFile);
    fclose(logFile);
    return code;
}
