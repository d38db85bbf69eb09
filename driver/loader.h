// Binding to the sensor driver library: loading, opening, closing, and the
// wrappers through which the rest of the station reaches the driver.
#pragma once

#include <windows.h>

// Finds the library through "xray.ini" (asking with the first-run dialog when
// needed), loads it, resolves its exports and opens it. Returns the driver mode.
int LoadDriver(HWND mainWindow);
// Calls XRAYClose when present and frees the library; afterwards no entry
// point of the freed library can be reached. Asked for while a driver call
// is in progress (from a message loop the driver runs), it frees the library
// only when the outermost call has returned.
void CloseDriver();
// True while a call into the driver has not returned.
bool DriverCallInProgress();
// How the station loads and frees a driver library, for the driver checker
// to load it the same way: the folder a driver path names (false for a bare
// file name) becomes the DLL directory from just before the load until the
// library is freed, and the load runs without critical-error boxes. On a
// failed load, GetLastError() is LoadLibraryA's.
bool DriverFolder(const char *path, char *folder, DWORD size);
HMODULE LoadDriverLibrary(const char *path);
void FreeDriverLibrary(HMODULE library);
// The driver mode of the last open (0 until an open sets it).
int DriverMode();

// Arms one acquisition in driver mode 2; beeps once more when arming fails.
void StartAcquisition();
// Without XRAYResolution: returns 0 and leaves both values untouched.
int GetSensorResolution(double *first, double *second);
// Writes 512 by 768 first: the result without XRAYSize, or when XRAYSize
// writes nothing.
void GetSensorSize(int *width, int *height);
// 1 when the library exports bXRAYGetBinningMode (never called), else 0.
int HasBinningMode();
// Without bXRAYChangeBinningMode: returns 0.
int ChangeBinningMode(int mode);
