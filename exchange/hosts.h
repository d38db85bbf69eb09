// Delivery of the current image to the host windows, and the exit notice.
#pragma once

#include <windows.h>

constexpr const char FRONT_END_CLASS[] = "TLumitaneWnd";
constexpr const char PHOTO_SERVER_CLASS[] = "PELK_FOTO_SERVER";

// How long one host may take over WM_COPYDATA before the station moves on.
constexpr UINT HOST_REPLY_TIMEOUT_MS = 5000;

// The registered "WM_DELETE_RESOURCE" message, registered before WinMain.
UINT DeleteResourceMessage();

HGLOBAL DuplicateImageBlock(HGLOBAL source);
void SendImageToHosts(HWND owner);
void NotifyPhotoServerOnExit();

// The "no image yet" box shared by the send and the clipboard copy.
void ShowNoImageMessage(HWND owner);

// A resolution value truncated toward zero, low 16 bits kept; 0 for a value
// that is not a number or whose integer part does not fit 64 signed bits.
WORD ResolutionWord(double value);
// dwData of the transfer to the front end and to the photo server.
DWORD FrontEndTag(double first);
DWORD PhotoServerTag(double first, double second);
