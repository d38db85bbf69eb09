#include "rangerecorder.h"

#include "iatpatch.h"

static decltype(&SetScrollRange) realSetScrollRange;
static std::vector<RangeCall> rangeCalls;
static int rangeDepth;
static ImportPatch *rangePatch;

static BOOL WINAPI RecordingSetScrollRange(HWND window, int bar, int minimum, int maximum, BOOL redraw)
{
    rangeCalls.push_back({bar, minimum, maximum, redraw, rangeDepth});
    ++rangeDepth;
    BOOL result = realSetScrollRange(window, bar, minimum, maximum, redraw);
    --rangeDepth;
    return result;
}

RangeRecorder::RangeRecorder()
{
    rangeCalls.clear();
    rangeDepth = 0;
    rangePatch = new ImportPatch("user32.dll", "SetScrollRange", reinterpret_cast<void *>(RecordingSetScrollRange));
    realSetScrollRange = reinterpret_cast<decltype(&SetScrollRange)>(rangePatch->original);
}

RangeRecorder::~RangeRecorder()
{
    delete rangePatch;
    rangePatch = nullptr;
}

bool RangeRecorder::Installed() const { return realSetScrollRange != nullptr; }

std::vector<RangeCall> RangeRecorder::TopLevel() const
{
    std::vector<RangeCall> out;
    for (const RangeCall &c : rangeCalls) {
        if (c.depth == 0) {
            out.push_back(c);
        }
    }
    return out;
}

std::vector<RangeCall> RangeRecorder::All() const { return rangeCalls; }
