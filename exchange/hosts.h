// Delivery of the current image to the host windows, and the exit notice.
#pragma once

#include <windows.h>

constexpr const char FRONT_END_CLASS[] = "TLumitaneWnd";
constexpr const char PHOTO_SERVER_CLASS[] = "PELK_FOTO_SERVER";

// The registered "WM_DELETE_RESOURCE" message, registered before WinMain.
UINT DeleteResourceMessage();

HGLOBAL DuplicateImageBlock(HGLOBAL source);
void SendImageToHosts(HWND owner);
void NotifyPhotoServerOnExit();
