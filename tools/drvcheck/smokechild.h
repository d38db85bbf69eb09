// The smoke child: this program started again with CHILD_FLAG.
#pragma once

#include "options.h"

namespace drvcheck {

// Loads the driver as the station does, opens it on a hidden window and
// calls it, reporting each step and finding to the child's report file.
int RunChild(const Options &options);

}  // namespace drvcheck
