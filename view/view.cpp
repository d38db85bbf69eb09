// Not built yet: placeholder.
#include "view.h"
static HGLOBAL currentImage;
HGLOBAL GetCurrentImage() { return currentImage; }
void SetCurrentImage(HGLOBAL image) { currentImage = image; }
BYTE *GetImageBits(HGLOBAL) { return nullptr; }
void FreeImageBlock(HGLOBAL image) { if (image) GlobalFree(image); }
void PaintImageRegion(HDC, HGLOBAL, const RECT *, const RECT *) {}
void PaintCurrentImage(HWND) {}
void ResizeView(HWND, WORD, WORD) {}
void ScrollView(HWND, int, WORD, WORD) {}
void ReceiveDriverImage(HWND, HGLOBAL) {}
