// The notice queue. A message box runs its own message loop, so a driver
// that keeps posting notices would otherwise open a box inside a box without
// limit. Notices are fixed texts, so the queue holds at most one entry per
// distinct text and stays short.
#include "notices.h"

#include <cstring>
#include <deque>

namespace {

struct Notice {
    HWND owner;
    const char *text;
    const char *caption;
};

bool noticeOpen;
std::deque<Notice> waiting;

bool AlreadyWaiting(const char *text, const char *caption)
{
    for (const Notice &notice : waiting) {
        if (strcmp(notice.text, text) == 0 && strcmp(notice.caption, caption) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

size_t WaitingNoticeCount() { return waiting.size(); }

void ShowDriverNotice(HWND owner, const char *text, const char *caption)
{
    if (noticeOpen) {
        if (!AlreadyWaiting(text, caption)) {
            waiting.push_back({owner, text, caption});
        }
        return;
    }
    noticeOpen = true;
    MessageBoxA(owner, text, caption, MB_OK);
    while (!waiting.empty()) {
        const Notice next = waiting.front();
        waiting.pop_front();
        // A window destroyed meanwhile takes its waiting notices with it.
        if (IsWindow(next.owner)) {
            MessageBoxA(next.owner, next.text, next.caption, MB_OK);
        }
    }
    noticeOpen = false;
}
