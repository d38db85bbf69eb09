// The images the bench driver posts (drvpost.cpp): copies of one template
// block, and the size XRAYSize reports.
#pragma once

#include <windows.h>

#include <vector>

#include "benchshared.h"

// The command's images, at most its `outstanding` in flight; false when one
// could not be posted or the hosts stalled.
bool PostImages(BenchRoleState &command);

// Width and height are 0 until the first post command.
const std::vector<BYTE> &TemplateBlock();
int TemplateWidth();
int TemplateHeight();

void SensorSize(int *width, int *height);
