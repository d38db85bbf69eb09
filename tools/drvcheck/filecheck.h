// The parent's check of the driver file as a whole.
#pragma once

#include <cstdint>
#include <vector>

#include "options.h"
#include "peimage.h"

namespace drvcheck {

// Appends the bytes of the file at `path`; false when it cannot be opened.
bool ReadWholeFile(const char *path, std::vector<uint8_t> *bytes);
// Reads the driver file and reports what it is; true for a PE DLL of the
// station's machine, with `image` read from it.
bool CheckFile(const Options &options, PeImage *image);

}  // namespace drvcheck
