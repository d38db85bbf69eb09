// Resource identifiers. Commands 101-107; dialog 1 and its controls.
#pragma once

#define IDM_START 101
#define IDM_EXIT 102
#define IDM_SYNCHRO 103
#define IDM_MODE 104
#define IDM_SEND 105
#define IDM_COPY 106
#define IDM_PASTE 107

#define IDD_DRIVERPATH 1
#define IDC_DRIVERPATH 101
#define IDC_STATIC_TEXT (-1)
