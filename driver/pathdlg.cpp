// Not built yet: placeholder.
#include "pathdlg.h"
INT_PTR CALLBACK DriverPathDialogProc(HWND, UINT, WPARAM, LPARAM) { return 0; }
void ShowDriverPathDialog(HWND) {}
void ShowDriverLoadFailure(const char *) {}
