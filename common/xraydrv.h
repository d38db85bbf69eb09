// The contract between the station and a sensor driver library.
// Seven exports resolved by name, all __cdecl with undecorated names; any of
// them may be missing. The driver reports to the window given to XRAYOpen
// with WM_USER messages told apart by the whole wParam.
// Shared by the station, the simulated driver and the test drivers: it holds
// only types and constants, no code.
#pragma once

#include <windows.h>

// wParam of the driver's WM_USER messages.
constexpr WPARAM XRAY_MSG_IMAGE = 301;  // lParam: a new image block (HGLOBAL), ownership passes on
constexpr WPARAM XRAY_MSG_EVENT = 303;  // lParam: an event code

// Driver modes returned by XRAYOpen.
constexpr int XRAY_MODE_NOT_DECLARED = 0;
constexpr int XRAY_MODE_HBX = 1;
constexpr int XRAY_MODE_STANDALONE = 2;
constexpr int XRAY_MODE_RESTART = -3;

// The text and the application code the station opens the driver with.
constexpr const char XRAY_OPEN_VENDOR[] = "VESTRA";
constexpr int XRAY_APPLICATION_CODE = 4711;

extern "C" {
typedef int(__cdecl *XRAYOpenFn)(HWND window, const char *vendor, int applicationCode);
typedef int(__cdecl *XRAYCloseFn)(void);
typedef int(__cdecl *XRAYPrepareAcquisitionFn)(void);
typedef int(__cdecl *XRAYResolutionFn)(double *first, double *second);
typedef int(__cdecl *XRAYSizeFn)(int *width, int *height);
typedef int(__cdecl *bXRAYGetBinningModeFn)(void);
typedef int(__cdecl *bXRAYChangeBinningModeFn)(int mode);
}
