// Image blocks: the movable global blocks the driver hands to the window
// (imageblock.cpp).
#pragma once

#include <windows.h>

#include "picture.h"
#include "settings.h"

// The picture in a new block, in the image block layout or in the layout of
// `fault`; null when out of memory.
HGLOBAL MakeImageBlock(const Picture &picture, Fault fault);
