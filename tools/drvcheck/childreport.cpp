// The child: the smoke run. Each finding and each step goes to the report
// file as one flushed line, so the parent knows how far it got if it hangs
// or dies. This file owns that report file and its line kinds.
#include "childreport.h"

#include <cstdint>
#include <cstdio>

#include "station.h"

namespace drvcheck {

namespace {

FILE *childReport;

}  // namespace

bool OpenChildReport(const char *path)
{
    childReport = fopen(path, "ab");
    return childReport != nullptr;
}

void CloseChildReport()
{
    fclose(childReport);
}

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
void ChildStep(const char *name, bool ownWait)
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

}  // namespace drvcheck
