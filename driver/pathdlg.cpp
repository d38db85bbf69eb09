// Where the driver library lies: the "Dll"/"File" entry of "xray.ini", the
// first-run dialog that asks the operator for it, and the message shown when
// the library at the stored path cannot be loaded. Only the dialog writes
// the entry; it never loads anything itself.
#include "pathdlg.h"

#include <cstring>

#include "instance.h"
#include "resource.h"

static constexpr char SUGGESTED_PATH[] = "c:\\windows\\xray.dll";
static constexpr char LOAD_FAILURE_TEXT[] =
    "Dll non trovata\r\nSpecificare la dll e riavviare l'applicazione";

void ReadDriverPathEntry(char *path, DWORD size)
{
    GetPrivateProfileStringA(INI_SECTION, INI_KEY, "", path, size, INI_FILE);
}

static void OnInitDialog(HWND dialog)
{
    char path[MAX_PATH];
    ReadDriverPathEntry(path, sizeof path);
    if (path[0] == '\0') {
        strcpy(path, SUGGESTED_PATH);
    }
    SetDlgItemTextA(dialog, IDC_DRIVERPATH, path);
}

static void OnOk(HWND dialog)
{
    // EndDialog only marks the dialog as ended: the edit box is still there
    // to be read until this procedure returns.
    EndDialog(dialog, 1);
    char path[MAX_PATH] = "";
    GetDlgItemTextA(dialog, IDC_DRIVERPATH, path, sizeof path);
    if (path[0] == '\0') {
        return;
    }
    WritePrivateProfileStringA(INI_SECTION, INI_KEY, path, INI_FILE);
    // All-null arguments flush the cached "xray.ini" to disk.
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, INI_FILE);
}

INT_PTR CALLBACK DriverPathDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        OnInitDialog(dialog);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            OnOk(dialog);
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, 0);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

void ShowDriverPathDialog(HWND owner)
{
    DialogBoxParamA(AppInstance(), MAKEINTRESOURCEA(IDD_DRIVERPATH), owner, DriverPathDialogProc, 0);
}

void ShowDriverLoadFailure(const char *path)
{
    MessageBoxA(GetFocus(), LOAD_FAILURE_TEXT, path, MB_OK);
}
