// The current image: its intake from the driver, painting and scrolling.
#pragma once

#include <windows.h>

#include "image.h"

void PaintImageRegion(HDC dc, HGLOBAL image, const RECT *source, const RECT *destination);
void PaintCurrentImage(HWND mainWindow);
void ResizeView(HWND mainWindow, WORD clientWidth, WORD clientHeight);
void ScrollView(HWND mainWindow, int bar, WORD request, WORD thumbPosition);
// One intake at a time: an image that arrives while one runs (from inside
// the driver's XRAYSize) waits, and is taken in and sent after it.
void ReceiveDriverImage(HWND mainWindow, HGLOBAL image);
// Set by the window procedure when the main window's destruction begins, and
// cleared when a window is created: while it is set, an image that arrives
// is freed at once and goes nowhere, and so are those that were waiting to
// be taken in.
void SetImageIntakeClosed(bool closed);
// Makes a pasted block of width by height pixels the current image in place
// of the old one, which is freed; sets both scroll ranges for its own extent
// and repaints. The caller has checked the block and sends it on.
void AdoptPastedImage(HWND mainWindow, HGLOBAL image, LONG width, LONG height);

// The stored scroll position and limit of a bar (SB_HORZ or SB_VERT).
int StoredScrollPosition(int bar);
int StoredScrollLimit(int bar);

// The view's arithmetic, apart from the window. Results saturate at the
// ends of the int range instead of wrapping.
// Image extent minus client extent; 0 or less when the image fits.
int ComputeScrollLimit(int imageExtent, int clientExtent);
// The position a scroll request asks for, before clamping.
int StepScrollPosition(int position, WORD request, WORD thumbPosition);
// Not below 0, then not above the limit: a negative limit wins.
int ClampScrollPosition(int position, int limit);
// The visible part of the image at the bars' offsets: the source rectangle in
// image coordinates and the destination at the client's top-left corner.
void ComputePaintRectangles(int imageWidth, int imageHeight, const RECT &client, int x, int y,
                            RECT *source, RECT *destination);
