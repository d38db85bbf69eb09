// The parent's side of the smoke run.
#pragma once

#include "options.h"

namespace drvcheck {

// What the smoke run does outside the driver's calls (starting, making its
// window, reading an image) is this program's own time, never charged to the
// driver: it has a bound of its own, far above any healthy run, even on a
// PC where every new process is scanned first. Seconds, a stretch.
constexpr int OWN_WORK_LIMIT_S = 120;

// Runs the smoke child on the driver, reports its findings as they come and
// says where it stopped if it hung, crashed or ended early.
void SmokeRun(const Options &options);

}  // namespace drvcheck
