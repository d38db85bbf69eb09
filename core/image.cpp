// The current image block, owned here and replaced only by the view's intake
// and by paste, and the helpers on image blocks. A block is locked only for
// as long as its bytes are read.
#include "image.h"

#include <cstring>

static HGLOBAL currentImage;

HGLOBAL GetCurrentImage() { return currentImage; }

void SetCurrentImage(HGLOBAL image) { currentImage = image; }

const BYTE *LockCheckedImage(HGLOBAL image, DibLayout *layout)
{
    const BYTE *block = static_cast<const BYTE *>(GlobalLock(image));
    if (block == nullptr) {
        return nullptr;
    }
    *layout = CheckDibLayout(block, GlobalSize(image));
    if (layout->verdict != DibVerdict::Drawable) {
        GlobalUnlock(image);
        return nullptr;
    }
    return block;
}

BYTE *GetImageBits(HGLOBAL image)
{
    if (image == nullptr) {
        return nullptr;
    }
    DibLayout layout;
    const BYTE *block = LockCheckedImage(image, &layout);
    if (block == nullptr) {
        return nullptr;
    }
    return const_cast<BYTE *>(block) + layout.bitsOffset;
}

bool ImageBlockIsCorrupt(HGLOBAL image)
{
    const void *block = GlobalLock(image);
    if (block == nullptr) {
        return true;
    }
    const bool corrupt = DibLayoutIsCorrupt(CheckDibLayout(block, GlobalSize(image)).verdict);
    GlobalUnlock(image);
    return corrupt;
}

void FreeImageBlock(HGLOBAL image)
{
    if (image != nullptr) {
        GlobalFree(image);
    }
}

HGLOBAL DuplicateImageBlock(HGLOBAL source)
{
    if (source == nullptr) {
        return nullptr;
    }
    SIZE_T size = GlobalSize(source);
    if (size == 0) {
        return nullptr;
    }
    HGLOBAL copy = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
    if (copy == nullptr) {
        return nullptr;
    }
    // The new block is locked before the source and unlocked before it.
    void *to = GlobalLock(copy);
    const void *from = to != nullptr ? GlobalLock(source) : nullptr;
    if (from == nullptr) {
        if (to != nullptr) {
            GlobalUnlock(copy);
        }
        GlobalFree(copy);
        return nullptr;
    }
    memcpy(to, from, size);
    GlobalUnlock(copy);
    GlobalUnlock(source);
    return copy;
}
