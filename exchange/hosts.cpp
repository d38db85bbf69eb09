// Not built yet: placeholder.
#include "hosts.h"
static const UINT deleteResourceMessage = RegisterWindowMessageA("WM_DELETE_RESOURCE");
UINT DeleteResourceMessage() { return deleteResourceMessage; }
HGLOBAL DuplicateImageBlock(HGLOBAL) { return nullptr; }
void SendImageToHosts(HWND) {}
void NotifyPhotoServerOnExit() {}
