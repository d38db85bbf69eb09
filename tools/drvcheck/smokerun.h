// The parent's side of the smoke run.
#pragma once

#include "options.h"

namespace drvcheck {

// Runs the smoke child on the driver, reports its findings as they come and
// says where it stopped if it hung, crashed or ended early.
void SmokeRun(const Options &options);

}  // namespace drvcheck
