// The notice queue. A message box runs its own message loop, so a driver
// that keeps posting notices would otherwise open a box inside a box without
// limit. Notices are fixed texts, so the queue holds at most one entry per
// distinct text and stays short. The texts of the driver's event codes live
// here too.
#include "notices.h"

#include <array>
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

// Takes a waiting notice of this text and caption out of the queue.
void RemoveWaiting(const char *text, const char *caption)
{
    for (auto notice = waiting.begin(); notice != waiting.end(); ++notice) {
        if (strcmp(notice->text, text) == 0 && strcmp(notice->caption, caption) == 0) {
            waiting.erase(notice);
            return;
        }
    }
}

}  // namespace

size_t WaitingNoticeCount() { return waiting.size(); }

void ShowDriverNotice(HWND owner, const char *text, const char *caption)
{
    if (noticeOpen) {
        // A notice tells a state (plugged off, plugged on again): a text that
        // is already waiting moves behind the others, so that the newest
        // state is the one shown last. The box open now stays as it is.
        RemoveWaiting(text, caption);
        waiting.push_back({owner, text, caption});
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

static constexpr std::array<const char *, 13> eventTexts = {
    "I don't know",                // 0
    "HBX is on again",             // 1
    "No connected sensor",         // 2
    "HBX is off",                  // 3
    "Sensor's mask failed",        // 4
    "Driver internal error",       // 5
    "I don't know",                // 6
    "I don't know",                // 7
    "Memory allocation error",     // 8
    "New board, but old driver",   // 9
    "Time to take XRay is over",   // 10
    "USB board plugged off",       // 11
    "USB board plugged on again",  // 12
};

const char *EventNoticeText(unsigned code)
{
    return code < eventTexts.size() ? eventTexts[code] : eventTexts[0];
}

void ShowDriverEventNotice(HWND mainWindow, LPARAM code)
{
    ShowDriverNotice(mainWindow, EventNoticeText(static_cast<unsigned>(code)), EVENT_CAPTION);
}
