#include "fixtures.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "hostproto.h"
#include "modal.h"
#include "shell.h"

std::string BinPath(const char *fileName)
{
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, sizeof path);
    char *slash = strrchr(path, '\\');
    if (slash != nullptr) {
        slash[1] = '\0';
    }
    return std::string(path) + fileName;
}

void PumpMessages(DWORD ms)
{
    DWORD start = GetTickCount();
    do {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (ms > 0) {
            Sleep(1);
        }
    } while (GetTickCount() - start < ms);
}

std::string OpenHostWindows()
{
    static const char *const classes[] = {FRONT_END_CLASS, PHOTO_SERVER_CLASS};
    std::string found;
    for (const char *name : classes) {
        for (HWND window = FindWindowExA(nullptr, nullptr, name, nullptr); window != nullptr;
             window = FindWindowExA(nullptr, window, name, nullptr)) {
            DWORD process = 0;
            GetWindowThreadProcessId(window, &process);
            if (process == GetCurrentProcessId()) {
                continue;  // the test's own
            }
            char title[128] = "";
            GetWindowTextA(window, title, sizeof title);
            char line[256];
            snprintf(line, sizeof line, "%s%s %p (process %lu, \"%s\")", found.empty() ? "" : "; ", name,
                     static_cast<void *>(window), static_cast<unsigned long>(process), title);
            found += line;
        }
    }
    return found;
}

std::string HostWindowsLeftOpen(const std::string &windows)
{
    return "a host window is already open before this test: " + windows +
        "; it was left by another program, and this test cannot tell its images from that one's";
}

static const char SENSOR_KEY[] = "VESTRA\\ZRK";

bool CreateSensorKey()
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, SENSOR_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

void DeleteSensorKey()
{
    RegDeleteKeyA(HKEY_CLASSES_ROOT, SENSOR_KEY);
}

bool ReadSensorValue(const char *name, std::string *text, DWORD *type, DWORD *size)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, SENSOR_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    char data[1024] = {};
    DWORD length = sizeof data - 1;
    DWORD kind = 0;
    LONG rc = RegQueryValueExA(key, name, nullptr, &kind, reinterpret_cast<BYTE *>(data), &length);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        return false;
    }
    if (text) *text = std::string(data, length > 0 && data[length - 1] == '\0' ? length - 1 : length);
    if (type) *type = kind;
    if (size) *size = length;
    return true;
}

void WriteSensorValue(const char *name, DWORD type, const void *data, DWORD size)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, SENSOR_KEY, 0, KEY_WRITE, &key) == ERROR_SUCCESS) {
        RegSetValueExA(key, name, 0, type, static_cast<const BYTE *>(data), size);
        RegCloseKey(key);
    }
}

void SetSensorText(const char *name, const char *text)
{
    CreateSensorKey();
    HKEY key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, SENSOR_KEY, 0, KEY_WRITE, &key) != ERROR_SUCCESS) {
        return;
    }
    if (text != nullptr) {
        RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text), lstrlenA(text) + 1);
    } else {
        RegDeleteValueA(key, name);
    }
    RegCloseKey(key);
}

// Values are saved as a sequence of (name, type, bytes) records.
RegistryGuard::RegistryGuard()
{
    HKEY key;
    existed = RegOpenKeyExA(HKEY_CLASSES_ROOT, SENSOR_KEY, 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (!existed) {
        return;
    }
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD nameLength = sizeof name;
        DWORD type = 0;
        std::vector<BYTE> data(65536);
        DWORD dataLength = static_cast<DWORD>(data.size());
        if (RegEnumValueA(key, i, name, &nameLength, nullptr, &type, data.data(), &dataLength) !=
            ERROR_SUCCESS) {
            break;
        }
        saved += std::string(name, nameLength) + '\0';
        saved.append(reinterpret_cast<const char *>(&type), sizeof type);
        saved.append(reinterpret_cast<const char *>(&dataLength), sizeof dataLength);
        saved.append(reinterpret_cast<const char *>(data.data()), dataLength);
    }
    RegCloseKey(key);
}

RegistryGuard::~RegistryGuard()
{
    DeleteSensorKey();
    if (!existed) {
        return;
    }
    CreateSensorKey();
    size_t at = 0;
    while (at < saved.size()) {
        std::string name = saved.c_str() + at;
        at += name.size() + 1;
        DWORD type, length;
        memcpy(&type, saved.data() + at, sizeof type);
        at += sizeof type;
        memcpy(&length, saved.data() + at, sizeof length);
        at += sizeof length;
        WriteSensorValue(name.c_str(), type, saved.data() + at, length);
        at += length;
    }
}

std::string IniPath()
{
    char dir[MAX_PATH] = "";
    GetWindowsDirectoryA(dir, sizeof dir);
    return std::string(dir) + "\\xray.ini";
}

static void FlushIni()
{
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, "xray.ini");
}

void RemoveIni()
{
    FlushIni();
    DeleteFileA(IniPath().c_str());
}

void WriteDriverPath(const char *path)
{
    WritePrivateProfileStringA("Dll", "File", path, "xray.ini");
    FlushIni();
}

std::string ReadDriverPath()
{
    char buffer[1024] = "";
    GetPrivateProfileStringA("Dll", "File", "", buffer, sizeof buffer, "xray.ini");
    return buffer;
}

IniGuard::IniGuard()
{
    FlushIni();
    content.clear();
    FILE *f = fopen(IniPath().c_str(), "rb");
    existed = f != nullptr;
    if (f) {
        char chunk[4096];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) {
            content.append(chunk, n);
        }
        fclose(f);
    }
}

IniGuard::~IniGuard()
{
    RemoveIni();
    if (existed) {
        FILE *f = fopen(IniPath().c_str(), "wb");
        if (f) {
            fwrite(content.data(), 1, content.size(), f);
            fclose(f);
        }
    }
    FlushIni();
}

HWND CreateStationWindow()
{
    static bool registered = false;
    if (!registered) {
        SetAppInstance(GetModuleHandleA(nullptr));
        registered = RegisterMainClass() != 0;
    }
    return CreateMainWindow();
}

std::string TempPath(const char *name)
{
    char folder[MAX_PATH];
    GetTempPathA(sizeof folder, folder);
    std::string path = std::string(folder) + name;
    DeleteFileA(path.c_str());
    return path;
}

std::string ReadWholeFile(const std::string &path)
{
    std::string text;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return text;
    }
    char buffer[65536];
    DWORD n;
    while (ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0) {
        text.append(buffer, n);
    }
    CloseHandle(file);
    return text;
}

TempFolder::TempFolder(const char *name)
{
    char folder[MAX_PATH];
    GetTempPathA(sizeof folder, folder);
    path = std::string(folder) + name;
    CreateDirectoryA(path.c_str(), nullptr);
}

TempFolder::~TempFolder()
{
    for (const std::string &file : files) {
        DeleteFileA(file.c_str());
    }
    RemoveDirectoryA(path.c_str());
}

bool TempFolder::CopyFromBin(const char *binFile, const char *name)
{
    const std::string to = path + "\\" + name;
    if (!CopyFileA(BinPath(binFile).c_str(), to.c_str(), FALSE)) {
        return false;
    }
    files.push_back(to);
    return true;
}

CurrentDirectory::CurrentDirectory(const std::string &folder)
{
    GetCurrentDirectoryA(sizeof saved, saved);
    changed = SetCurrentDirectoryA(folder.c_str()) != FALSE;
}

CurrentDirectory::~CurrentDirectory()
{
    if (changed) {
        SetCurrentDirectoryA(saved);
    }
}

std::string WaitTimeLine(const std::string &what, DWORD elapsedMs, DWORD guardMs)
{
    unsigned long seconds = elapsedMs / 1000;
    if (seconds * 10000 < guardMs) {
        return "";
    }
    return "time: " + what + ": " + std::to_string(seconds) + " s of the " + std::to_string(guardMs / 1000) +
        " s guard\n";
}

void ReportWaitTime(const std::string &what, DWORD start, DWORD guardMs)
{
    std::string line = WaitTimeLine(what, GetTickCount() - start, guardMs);
    if (!line.empty()) {
        fputs(line.c_str(), stderr);
    }
}

int RunProgram(const char *program, const std::string &arguments, std::string *output, DWORD guardMs,
               ModalCatcher *boxes)
{
    // The output goes to a file: a pipe would need a reader while waiting.
    // Its name is this process's own: tests run in parallel.
    static unsigned runs;
    char name[MAX_PATH];
    snprintf(name, sizeof name, "%s.%lu.%u.out", program, static_cast<unsigned long>(GetCurrentProcessId()), ++runs);
    std::string outPath = TempPath(name);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        return -1;
    }
    std::string command = "\"" + BinPath(program) + "\" " + arguments;
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = out;
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                  &process);
    CloseHandle(out);
    if (!started) {
        return -1;
    }
    int code = -1;
    DWORD start = GetTickCount();
    DWORD waited;
    while ((waited = WaitForSingleObject(process.hProcess, boxes != nullptr ? 20 : guardMs)) == WAIT_TIMEOUT &&
           boxes != nullptr && GetTickCount() - start < guardMs) {
        boxes->AnswerBoxesOf(process.dwProcessId);
    }
    ReportWaitTime(std::string(program) + " " + arguments, start, guardMs);
    if (waited == WAIT_OBJECT_0) {
        DWORD exitCode = 0;
        GetExitCodeProcess(process.hProcess, &exitCode);
        code = static_cast<int>(exitCode);
    } else {
        TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, 5000);
    }
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    if (output != nullptr) {
        *output = ReadWholeFile(outPath);
    }
    DeleteFileA(outPath.c_str());
    return code;
}

static const char CHILD_RUN_VARIABLE[] = "CAPSTATION_TEST_CHILD";

bool InChildRun() { return GetEnvironmentVariableA(CHILD_RUN_VARIABLE, nullptr, 0) != 0; }

int RunCaseInChildProcess(const char *caseName, std::string *output)
{
    char program[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, program, sizeof program);
    const char *name = strrchr(program, '\\');
    EnvVar child(CHILD_RUN_VARIABLE, "1");
    return RunProgram(name != nullptr ? name + 1 : program, std::string("--gtest_filter=") + caseName,
                      output);
}
