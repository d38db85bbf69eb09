// The driver's state and its worker thread (worker.cpp): what the exports
// call to open, close, arm and ask.
#pragma once

#include <windows.h>

#include "picture.h"
#include "settings.h"

// From DllMain: the module the worker keeps loaded, and the state lock.
void AttachDriverState(HMODULE self);
void DetachDriverState();

// The state of a fresh open, or of a close; an open starts in standard
// resolution with nothing armed.
void BeginSession(HWND window, const Settings &fresh, const Picture &file);
void EndSession();

bool StartWorker();
void StopWorker();

// Arms one more exposure; false when the driver is not open.
bool ArmExposure();

// What the open driver delivers, or the defaults while it is closed.
void ResolutionInForce(double *first, double *second);
void SizeInForce(int *width, int *height);

bool HighResolution();
void SetHighResolution(bool high);
