// Replay of a .bmp file (replay.cpp).
#pragma once

#include "picture.h"

// Reads an uncompressed 8-bit (with its colour table) or 24-bit .bmp file
// into a grey picture; false for anything else, or a file cut short.
bool ReadReplayBitmap(const char *path, Picture *picture);
