// The driver's notice boxes (event notices with their texts, and the refusal
// of a corrupt image): never more than one open at a time.
#pragma once

#include <windows.h>

// Shows an MB_OK box owned by `owner`. While another notice box is open the
// notice waits and is shown, in arrival order, once the open one closes; a
// notice whose text and caption are already waiting is not queued twice but
// moves to the end of the queue, with its new owner.
void ShowDriverNotice(HWND owner, const char *text, const char *caption);
// How many notices are waiting behind the open one.
size_t WaitingNoticeCount();

constexpr const char EVENT_CAPTION[] = "Error or incoming event signalisation";
// The notice text for a driver event code (taken unsigned).
const char *EventNoticeText(unsigned code);
// The event notice for a code the driver posted, through the queue.
void ShowDriverEventNotice(HWND mainWindow, LPARAM code);
