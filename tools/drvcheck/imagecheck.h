// The smoke child's check of an image the driver delivered.
#pragma once

#include <windows.h>

namespace drvcheck {

// Reports on image `number`, the block in `value`, saves it in `saveDir`
// when that is set, and frees it.
void CheckImageBlock(int number, LPARAM value, int width, int height, const char *saveDir);

}  // namespace drvcheck
