// The parent's check of the DLLs a driver imports.
#pragma once

#include "options.h"
#include "peimage.h"

namespace drvcheck {

// One finding for each DLL in the driver's import table.
void CheckImports(const Options &options, const PeImage &image);

}  // namespace drvcheck
