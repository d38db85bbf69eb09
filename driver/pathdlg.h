// Where the driver library lies: the "xray.ini" entry and the first-run dialog.
#pragma once

#include <windows.h>

constexpr const char INI_FILE[] = "xray.ini";
constexpr const char INI_SECTION[] = "Dll";
constexpr const char INI_KEY[] = "File";

// Reads the stored path (empty when the file, section or key is missing).
void ReadDriverPathEntry(char *path, DWORD size);

INT_PTR CALLBACK DriverPathDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// Shows the modal dialog owned by the main window; the result is not used.
void ShowDriverPathDialog(HWND owner);
// The load failure message: owned by the focus window, caption = the path.
void ShowDriverLoadFailure(const char *path);
