// The simulator's settings: the XRAYSIM_* environment variables and the
// station's switch, read at each XRAYOpen (settings.cpp), and the faults a
// setting can ask for.
#pragma once

#include <windows.h>

#include "xraydrv.h"

constexpr int DEFAULT_WIDTH = 512;
constexpr int DEFAULT_HEIGHT = 768;
constexpr int MAX_SIDE = 4096;  // standard size; high resolution doubles it
constexpr double DEFAULT_RESOLUTION_FIRST = 20.5;
constexpr double DEFAULT_RESOLUTION_SECOND = 10.0;
constexpr int MAX_EVENTS = 16;

// How each image is delivered: the contract, or one of the faults of a
// careless driver.
enum class Fault {
    None,
    Silent,       // arming is accepted, no image ever comes
    SendMessage,  // SendMessageA from the worker instead of PostMessageA
    TopDown,      // negative biHeight, first row in memory the top one
    Bits16,       // 16 bits a pixel (5-5-5), no colour table
    Bits24,       // 24 bits a pixel, no colour table
    ShortTable,   // 8 bits with a colour table of 16 entries
    ShortBlock,   // the block a few bytes shorter than its rows need
    OverClaim,    // the header claims twice the rows the block holds
};

struct Settings {
    int mode;
    int width;  // standard resolution; high resolution is twice each side
    int height;
    int exposureMs;
    double resolutionFirst;
    double resolutionSecond;
    int eventCount;
    LPARAM events[MAX_EVENTS];
    char logPath[MAX_PATH];
    char replayPath[MAX_PATH];
    Fault fault;
    int burst;           // images per exposure
    int eventAfter;      // post eventAfterCode once after this many images (0: never)
    LPARAM eventAfterCode;
    int intervalMs;      // mode 1: an image every interval without arming
};

Settings ReadSettings();
