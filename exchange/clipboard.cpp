// Not built yet: placeholder.
#include "clipboard.h"
void CopyImageToClipboard(HWND) {}
void PasteImageFromClipboard(HWND) {}
