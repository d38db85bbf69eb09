// Copy of the current image to the clipboard and paste of a CF_DIB from it,
// CF_DIB being the only format used either way. A block handed to the
// clipboard belongs to it and is never touched again; the clipboard's own
// block is only read, and a paste keeps a duplicate of it. The clipboard is
// held open only around the clipboard calls and the duplicate.
#include "clipboard.h"

#include "hosts.h"
#include "image.h"
#include "view.h"

void CopyImageToClipboard(HWND mainWindow)
{
    if (GetCurrentImage() == nullptr) {
        ShowNoImageMessage(mainWindow);
        return;
    }
    if (!OpenClipboard(mainWindow)) {
        return;
    }
    // The duplicate is made only once the clipboard is ours and empty; if it
    // cannot be made the clipboard is left empty. EmptyClipboard waits for
    // the previous owner's WM_DESTROYCLIPBOARD, and messages sent to this
    // window meanwhile (a driver's image) can replace the current image and
    // free the old block: the image is taken only now, whatever it is.
    EmptyClipboard();
    HGLOBAL duplicate = DuplicateImageBlock(GetCurrentImage());
    if (duplicate != nullptr && SetClipboardData(CF_DIB, duplicate) == nullptr) {
        // Refused: the block is still ours, not the clipboard's.
        GlobalFree(duplicate);
    }
    CloseClipboard();
}

void PasteImageFromClipboard(HWND mainWindow)
{
    if (!IsClipboardFormatAvailable(CF_DIB)) {
        return;
    }
    // A failed open makes GetClipboardData yield nothing, which ends the paste.
    OpenClipboard(mainWindow);
    HGLOBAL pasted = DuplicateImageBlock(GetClipboardData(CF_DIB));
    CloseClipboard();
    if (pasted == nullptr) {
        return;
    }

    // A block that does not fit its own header is refused whole; whether a
    // sound one can be drawn is for the view to decide when it paints.
    if (ImageBlockIsCorrupt(pasted)) {
        GlobalFree(pasted);
        return;
    }
    const BITMAPINFOHEADER *header = static_cast<const BITMAPINFOHEADER *>(GlobalLock(pasted));
    if (header == nullptr) {
        GlobalFree(pasted);
        return;
    }
    LONG width = header->biWidth;
    LONG height = header->biHeight;
    GlobalUnlock(pasted);

    AdoptPastedImage(mainWindow, pasted, width, height);
    SendImageToHosts(mainWindow);
}
