// SetScrollRange calls recorded through the test program's import table,
// with their nesting depth: showing or hiding a bar inside one call resizes
// the window, and the station's WM_SIZE may set a range from inside it.
#pragma once

#include <windows.h>

#include <vector>

#include "nocopy.h"

struct RangeCall {
    int bar, minimum, maximum;
    BOOL redraw;
    int depth;  // 0: called from outside any other SetScrollRange
};

class RangeRecorder : NoCopy {
public:
    RangeRecorder();
    ~RangeRecorder();
    bool Installed() const;
    std::vector<RangeCall> TopLevel() const;
    std::vector<RangeCall> All() const;
};
