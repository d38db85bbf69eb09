// Copy and paste of the current image through the clipboard (CF_DIB only).
#pragma once

#include <windows.h>

void CopyImageToClipboard(HWND mainWindow);
void PasteImageFromClipboard(HWND mainWindow);
