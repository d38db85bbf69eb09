// The parent's check of the names a driver exports.
#pragma once

#include "peimage.h"

namespace drvcheck {

// Reports each export of the driver contract the driver has, has under a
// decorated name, or lacks, with what the station does without it.
void CheckExports(const PeImage &image);

}  // namespace drvcheck
