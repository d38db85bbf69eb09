// Delivery of the current image to the host windows, and the exit notice.
#pragma once

#include <windows.h>

#include "hosttag.h"

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
