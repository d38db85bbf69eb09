// The grey picture the simulator delivers, made by the radiograph or read
// from a replayed file, before it is laid out in an image block.
#pragma once

#include <windows.h>

#include <vector>

// A grey picture, rows from the top as the picture is seen upright.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<BYTE> grey;
};
