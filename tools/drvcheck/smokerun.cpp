// The parent's side of the smoke run: starting the child, reading its
// report file as it goes, the clocks on the driver's steps and on the
// child's own work, and what the parent says when the child hangs, crashes
// or ends early.
#include "smokerun.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "filecheck.h"
#include "report.h"

namespace drvcheck {

namespace {

// A test switch, read from the environment: the parent's bound above.
constexpr char OWN_LIMIT_VARIABLE[] = "DRVCHECK_TEST_OWN_LIMIT_S";

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

// Starts this program again as the child on the driver, reporting to
// `reportPath`; false, reported, when it cannot.
bool StartSmokeChild(const Options &options, const std::string &reportPath, PROCESS_INFORMATION *child)
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
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
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, child)) {
        Report(Level::Error, "could not start the smoke run (error %lu)", static_cast<unsigned long>(GetLastError()));
        return false;
    }
    return true;
}

// Follows the child's report until the child ends; true when it had to be
// killed.
bool WatchChild(const Options &options, HANDLE process, const std::string &reportPath, ChildState *state)
{
    // The driver's clock starts when the child reports that it enters a
    // step, never before: each step has the whole timeout, and a wait the
    // child bounds itself a little more, so that the child's own verdict
    // arrives first. Before its first report (the process starting) and
    // between steps the child is doing its own work, under its own bound.
    const DWORD limit = static_cast<DWORD>(options.timeoutS) * 1000u;
    const DWORD ownLimit = static_cast<DWORD>(OwnWorkLimitS()) * 1000u;
    DWORD since = GetTickCount();
    for (;;) {
        DWORD wait = WaitForSingleObject(process, 50);
        if (ReadChildReport(reportPath, state)) {
            since = GetTickCount();
        }
        if (wait != WAIT_TIMEOUT) {
            return false;
        }
        DWORD allowed = !state->inStep ? ownLimit : (state->bounded ? limit + 10000u : limit);
        if (GetTickCount() - since >= allowed) {
            TerminateProcess(process, 4);
            WaitForSingleObject(process, INFINITE);
            return true;
        }
    }
}

// Where the child stopped, when it did not finish.
void ReportChildEnd(const Options &options, const ChildState &state, bool killed, DWORD code)
{
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

}  // namespace

void SmokeRun(const Options &options)
{
    std::string reportPath = TempReportPath();
    DeleteFileA(reportPath.c_str());
    PROCESS_INFORMATION child = {};
    if (!StartSmokeChild(options, reportPath, &child)) {
        return;
    }
    ChildState state;
    bool killed = WatchChild(options, child.hProcess, reportPath, &state);
    ReadChildReport(reportPath, &state);
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    DeleteFileA(reportPath.c_str());
    ReportChildEnd(options, state, killed, code);
}

}  // namespace drvcheck
