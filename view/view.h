// The current image: its intake from the driver, painting and scrolling.
#pragma once

#include <windows.h>

// The main window's current image block, or null. The view owns it.
HGLOBAL GetCurrentImage();
// Replaces the handle only; the caller has freed the previous block.
void SetCurrentImage(HGLOBAL image);

BYTE *GetImageBits(HGLOBAL image);
void FreeImageBlock(HGLOBAL image);
void PaintImageRegion(HDC dc, HGLOBAL image, const RECT *source, const RECT *destination);
void PaintCurrentImage(HWND mainWindow);
void ResizeView(HWND mainWindow, WORD clientWidth, WORD clientHeight);
void ScrollView(HWND mainWindow, int bar, WORD request, WORD thumbPosition);
void ReceiveDriverImage(HWND mainWindow, HGLOBAL image);
