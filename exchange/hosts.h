// Delivery of the current image to the host windows, and the exit notice.
#pragma once

#include <windows.h>

#include "hostproto.h"
#include "image.h"
#include "hosttag.h"

// How long one host may take over WM_COPYDATA before the station moves on.
constexpr UINT HOST_REPLY_TIMEOUT_MS = 5000;

// The registered "WM_DELETE_RESOURCE" message, registered before WinMain.
UINT DeleteResourceMessage();

// How many images that arrive while a send to the hosts is in progress wait
// for it to finish; one more is sent at once, nested, ahead of them.
constexpr size_t MAX_PENDING_SENDS = 64;

// Sends the current image to both hosts. Called while a send is already in
// progress (from a message handled during its wait), it queues a duplicate
// that the outermost send delivers after its own, in arrival order.
void SendImageToHosts(HWND owner);
// Images waiting for the send in progress to finish.
size_t PendingSendCount();
// Posts the exit notice to the photo server; the images still waiting for a
// send in progress are freed first and sent nowhere.
void NotifyPhotoServerOnExit();

// The "no image yet" box shared by the send and the clipboard copy.
void ShowNoImageMessage(HWND owner);
