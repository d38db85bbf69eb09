#include "clipguard.h"

#include "dibbuilder.h"

std::vector<BYTE> ReadClipboard(UINT format, bool *present, HGLOBAL *handle)
{
    std::vector<BYTE> out;
    *present = false;
    if (handle) *handle = nullptr;
    if (!OpenClipboard(nullptr)) {
        return out;
    }
    HGLOBAL data = GetClipboardData(format);
    if (data != nullptr) {
        *present = true;
        out = BlockBytes(data);
        if (handle) *handle = data;
    }
    CloseClipboard();
    return out;
}

bool PutOnClipboard(HWND owner, UINT format, const std::vector<BYTE> &bytes)
{
    if (!OpenClipboard(owner)) {
        return false;
    }
    EmptyClipboard();
    bool ok = SetClipboardData(format, MakeBlock(bytes)) != nullptr;
    CloseClipboard();
    return ok;
}

ClipboardGuard::ClipboardGuard()
{
    text = ReadClipboard(CF_TEXT, &hadText);
    dib = ReadClipboard(CF_DIB, &hadDib);
}

ClipboardGuard::~ClipboardGuard()
{
    if (!OpenClipboard(nullptr)) {
        return;
    }
    EmptyClipboard();
    if (hadText) SetClipboardData(CF_TEXT, MakeBlock(text));
    if (hadDib) SetClipboardData(CF_DIB, MakeBlock(dib));
    CloseClipboard();
}
