// The current image: its intake from the driver, painting and scrolling.
#pragma once

#include <windows.h>

// The main window's current image block, or null. The view owns it.
HGLOBAL GetCurrentImage();
// Replaces the handle only; the caller has freed the previous block.
void SetCurrentImage(HGLOBAL image);

// The locked address of the first pixel byte, found from the block's own
// header, or null (nothing stays locked) when the block is null, cannot be
// locked or does not hold a DIB that fits it. The caller unlocks once.
BYTE *GetImageBits(HGLOBAL image);
// True when the block cannot be locked, or its header, colour table or masks
// and bits cannot be shown to lie inside it. A header the view merely cannot
// draw (a compression it does not know) is not corrupt when its table and
// its declared bits fit the block.
bool ImageBlockIsCorrupt(HGLOBAL image);
void FreeImageBlock(HGLOBAL image);
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
