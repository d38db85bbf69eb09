// The clipboard kept as a test found it, and its formats put and read whole.
#pragma once

#include <windows.h>

#include <vector>

#include "nocopy.h"

// Saves CF_TEXT and CF_DIB as found and puts them back (or leaves the
// clipboard empty) at the end.
class ClipboardGuard : NoCopy {
public:
    ClipboardGuard();
    ~ClipboardGuard();

private:
    bool hadText = false, hadDib = false;
    std::vector<BYTE> text, dib;
};
// Puts exactly one format on the clipboard, owned by `owner` (may be null).
bool PutOnClipboard(HWND owner, UINT format, const std::vector<BYTE> &bytes);
// The bytes of a format on the clipboard, or empty with *present false.
std::vector<BYTE> ReadClipboard(UINT format, bool *present, HGLOBAL *handle = nullptr);
