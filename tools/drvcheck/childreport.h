// The smoke child's report file, read by the parent as the child goes.
#pragma once

#include <windows.h>

#include <string>

#include "report.h"

namespace drvcheck {

bool OpenChildReport(const char *path);
void CloseChildReport();
void ChildLine(const char *kind, const std::string &text);
void ChildFinding(Level level, const char *format, ...);
// The lines that tell the parent where the child is.
void ChildStep(const char *name, bool ownWait = false);
void ChildStepDone();
// The crash line, then the process ends.
LONG WINAPI ReportCrash(EXCEPTION_POINTERS *info);

}  // namespace drvcheck
