// The current image block and the helpers every part of the station uses on
// image blocks: the layout check of a block, its bits, its duplicate.
#pragma once

#include <windows.h>

#include "diblayout.h"

// The main window's current image block, or null.
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
// Locks the block and checks the DIB in it against the block's size. On
// success the block stays locked once and its header is returned; else
// null, and nothing stays locked.
const BYTE *LockCheckedImage(HGLOBAL image, DibLayout *layout);
void FreeImageBlock(HGLOBAL image);
// A new moveable block with the same bytes, or null (nothing allocated stays).
HGLOBAL DuplicateImageBlock(HGLOBAL source);
