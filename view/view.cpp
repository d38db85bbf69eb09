// The current image and the view over it: intake of the driver's images,
// painting one to one through the grey palette, and the two scroll bars.
// The view takes each image in as the current one; a block is locked only
// inside PaintImageRegion and is never drawn unless its own header fits the
// block.
#include "view.h"

#include <cstdint>
#include <cstring>
#include <deque>

#include "diblayout.h"
#include "hosts.h"
#include "loader.h"
#include "notices.h"
#include "palette.h"
#include "saturate.h"

static const char INVALID_IMAGE_TEXT[] = "Immagine non valida";
static const char INVALID_IMAGE_CAPTION[] = "Errore";

static constexpr int LINE_STEP = 1;
static constexpr int PAGE_STEP = 100;

static int horizontalPosition;
static int verticalPosition;
static int horizontalLimit;
static int verticalLimit;
static bool intakeClosed;

int StoredScrollPosition(int bar) { return bar == SB_HORZ ? horizontalPosition : verticalPosition; }

int StoredScrollLimit(int bar) { return bar == SB_HORZ ? horizontalLimit : verticalLimit; }

int ComputeScrollLimit(int imageExtent, int clientExtent)
{
    return SaturateToInt(static_cast<int64_t>(imageExtent) - clientExtent);
}

int StepScrollPosition(int position, WORD request, WORD thumbPosition)
{
    switch (request) {
    case SB_LINEUP:
        return SaturateToInt(static_cast<int64_t>(position) - LINE_STEP);
    case SB_LINEDOWN:
        return SaturateToInt(static_cast<int64_t>(position) + LINE_STEP);
    case SB_PAGEUP:
        return SaturateToInt(static_cast<int64_t>(position) - PAGE_STEP);
    case SB_PAGEDOWN:
        return SaturateToInt(static_cast<int64_t>(position) + PAGE_STEP);
    case SB_THUMBPOSITION:
        return thumbPosition;
    default:
        return position;
    }
}

int ClampScrollPosition(int position, int limit)
{
    if (position < 0) {
        position = 0;
    }
    if (position > limit) {
        position = limit;
    }
    return position;
}

void ComputePaintRectangles(int imageWidth, int imageHeight, const RECT &client, int x, int y,
                            RECT *source, RECT *destination)
{
    int width = imageWidth < client.right ? imageWidth : client.right;
    int height = imageHeight < client.bottom ? imageHeight : client.bottom;
    // A driver reporting a negative extent paints nothing rather than a mirror.
    if (width < 0) {
        width = 0;
    }
    if (height < 0) {
        height = 0;
    }
    *source = {x, y, SaturateToInt(static_cast<int64_t>(x) + width),
               SaturateToInt(static_cast<int64_t>(y) + height)};
    *destination = {0, 0, width, height};
}

// What the drawing call reads besides the bits: a plain 40-byte header and
// the colour entries or masks, copied out of the block so that a longer
// header (V4, V5 with a colour profile) or a rebased top-down block is
// handed on in the one form every GDI reads the same way.
struct DrawingInfo {
    BITMAPINFOHEADER header;
    RGBQUAD colours[256];
};

static void DrawCheckedImage(HDC dc, const BYTE *block, const DibLayout &layout, const RECT &source,
                             const RECT &destination)
{
    const DibSourceRows rows =
        PlanDibSourceRows(layout, source.top, source.bottom, destination.bottom - destination.top);
    if (!rows.draw) {
        return;
    }
    DrawingInfo info = {};
    memcpy(&info.header, block, sizeof info.header);
    info.header.biSize = sizeof info.header;
    info.header.biHeight = rows.headerHeight;
    info.header.biSizeImage = 0;
    info.header.biClrUsed = layout.colourEntries;
    memcpy(info.colours, block + layout.tableOffset, layout.tableBytes);

    SetStretchBltMode(dc, COLORONCOLOR);
    StretchDIBits(dc, destination.left, destination.top + rows.destinationSkip,
                  destination.right - destination.left, rows.destinationHeight, source.left,
                  rows.sourceY, source.right - source.left, rows.sourceHeight,
                  block + rows.bitsOffset, reinterpret_cast<const BITMAPINFO *>(&info),
                  DIB_RGB_COLORS, SRCCOPY);
}

void PaintImageRegion(HDC dc, HGLOBAL image, const RECT *source, const RECT *destination)
{
    if (image == nullptr) {
        return;
    }
    // GetImageBits takes the first lock; the header is read under a second.
    if (GetImageBits(image) == nullptr) {
        return;
    }
    DibLayout layout;
    const BYTE *block = LockCheckedImage(image, &layout);
    if (block != nullptr) {
        DrawCheckedImage(dc, block, layout, *source, *destination);
        GlobalUnlock(image);
    }
    // The lock taken by GetImageBits.
    GlobalUnlock(image);
}

void PaintCurrentImage(HWND mainWindow)
{
    if (GetCurrentImage() == nullptr) {
        return;
    }
    int imageWidth, imageHeight;
    GetSensorSize(&imageWidth, &imageHeight);
    RECT client;
    GetClientRect(mainWindow, &client);
    int x = GetScrollPos(mainWindow, SB_HORZ);
    int y = GetScrollPos(mainWindow, SB_VERT);
    RECT source, destination;
    ComputePaintRectangles(imageWidth, imageHeight, client, x, y, &source, &destination);

    PAINTSTRUCT ps;
    HDC dc = BeginPaint(mainWindow, &ps);
    if (GreyPalette() != nullptr) {
        SelectPalette(dc, GreyPalette(), FALSE);
    }
    RealizePalette(dc);
    FillRect(dc, &destination, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    PaintImageRegion(dc, GetCurrentImage(), &source, &destination);
    EndPaint(mainWindow, &ps);
}

// SetScrollRange can show or hide a bar and so send a nested WM_SIZE inside
// the call, whose ResizeView stores new limits and sets both ranges; each
// range is therefore read from the stored limit at the moment of its call.
static void SetScrollRanges(HWND mainWindow)
{
    SetScrollRange(mainWindow, SB_VERT, 0, verticalLimit, FALSE);
    SetScrollRange(mainWindow, SB_HORZ, 0, horizontalLimit, FALSE);
}

void ResizeView(HWND mainWindow, WORD clientWidth, WORD clientHeight)
{
    int imageWidth, imageHeight;
    GetSensorSize(&imageWidth, &imageHeight);
    verticalLimit = ComputeScrollLimit(imageHeight, clientHeight);
    horizontalLimit = ComputeScrollLimit(imageWidth, clientWidth);
    SetScrollRanges(mainWindow);
}

void ScrollView(HWND mainWindow, int bar, WORD request, WORD thumbPosition)
{
    if (GetCurrentImage() == nullptr || (bar != SB_HORZ && bar != SB_VERT)) {
        return;
    }
    int *position = bar == SB_HORZ ? &horizontalPosition : &verticalPosition;
    const int limit = bar == SB_HORZ ? horizontalLimit : verticalLimit;
    *position = ClampScrollPosition(StepScrollPosition(*position, request, thumbPosition), limit);
    if (GetScrollPos(mainWindow, bar) != *position) {
        SetScrollPos(mainWindow, bar, *position, TRUE);
        InvalidateRect(mainWindow, nullptr, TRUE);
    }
}

// Images that came in while an intake was running, oldest first. The
// intake asks the driver for the sensor size, and a driver call can run a
// message loop in which the driver's thread delivers its next image: that
// image waits here, and is taken in once the running intake has ended.
static bool intakeInProgress;
static std::deque<HGLOBAL> waitingImages;

// Frees the old image, adopts the new one and sets the view for it, in this
// order; false when the window began closing meanwhile (inside the driver's
// XRAYSize), and the block was freed.
static bool TakeInImage(HWND mainWindow, HGLOBAL image)
{
    intakeInProgress = true;
    FreeImageBlock(GetCurrentImage());
    SetCurrentImage(nullptr);
    int imageWidth, imageHeight;
    GetSensorSize(&imageWidth, &imageHeight);
    if (intakeClosed) {
        intakeInProgress = false;
        FreeImageBlock(image);
        return false;
    }
    SetCurrentImage(image);
    RECT client;
    GetClientRect(mainWindow, &client);
    verticalLimit = ComputeScrollLimit(imageHeight, client.bottom);
    horizontalLimit = ComputeScrollLimit(imageWidth, client.right);
    SetScrollRanges(mainWindow);
    InvalidateRect(mainWindow, nullptr, TRUE);
    intakeInProgress = false;
    return true;
}

void SetImageIntakeClosed(bool closed)
{
    intakeClosed = closed;
    // Nothing that was waiting to be taken in is shown or sent any more.
    if (closed) {
        while (!waitingImages.empty()) {
            FreeImageBlock(waitingImages.front());
            waitingImages.pop_front();
        }
    }
}

void AdoptPastedImage(HWND mainWindow, HGLOBAL image, LONG width, LONG height)
{
    FreeImageBlock(GetCurrentImage());
    SetCurrentImage(image);

    // Both maxima come from this one client rectangle: showing or hiding a
    // bar inside the first SetScrollRange resizes the client area, and the
    // nested WM_SIZE sets the ranges from the sensor's extent meanwhile.
    RECT client = {};
    GetClientRect(mainWindow, &client);
    const int verticalMax = ComputeScrollLimit(height, client.bottom);
    const int horizontalMax = ComputeScrollLimit(width, client.right);
    SetScrollRange(mainWindow, SB_VERT, 0, verticalMax, FALSE);
    SetScrollRange(mainWindow, SB_HORZ, 0, horizontalMax, FALSE);
    InvalidateRect(mainWindow, nullptr, TRUE);
}

void ReceiveDriverImage(HWND mainWindow, HGLOBAL image)
{
    // Once the window is closing the block is still ours, and is freed: the
    // current image is gone and the hosts have had the exit notice.
    if (intakeClosed) {
        if (image != GetCurrentImage()) {
            FreeImageBlock(image);
        }
        return;
    }
    // The driver hands over a new block every time; the current block itself
    // coming back must not be freed and then kept.
    if (image == nullptr || image == GetCurrentImage()) {
        return;
    }
    // Anything but a live global block of this process (a stale or foreign
    // handle posted by anyone) is not an image: nothing is freed or adopted.
    if (GlobalSize(image) == 0) {
        return;
    }
    // A live block whose DIB does not fit it is ours to free, and would
    // otherwise replace a good image and travel on to the hosts.
    if (ImageBlockIsCorrupt(image)) {
        GlobalFree(image);
        ShowDriverNotice(mainWindow, INVALID_IMAGE_TEXT, INVALID_IMAGE_CAPTION);
        return;
    }
    // Behind an intake that is running, or behind images already waiting
    // for one that is further out: taken in by whoever is taking them in.
    if (intakeInProgress || !waitingImages.empty()) {
        waitingImages.push_back(image);
        return;
    }
    if (!TakeInImage(mainWindow, image)) {
        return;
    }
    SendImageToHosts(mainWindow);
    while (!waitingImages.empty() && !intakeClosed) {
        HGLOBAL next = waitingImages.front();
        waitingImages.pop_front();
        if (!TakeInImage(mainWindow, next)) {
            return;
        }
        SendImageToHosts(mainWindow);
    }
}
