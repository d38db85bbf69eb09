// The synthetic radiograph (radiograph.cpp).
#pragma once

#include "picture.h"

// The synthetic radiograph, deterministic for a given size and sequence
// number.
Picture RenderRadiograph(int width, int height, unsigned sequence);
