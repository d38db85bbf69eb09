// The main window procedure: the one router of messages, commands and
// driver notices.
#pragma once

#include <windows.h>

#include "notices.h"

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Runs the action of commands 101 to 107; false for any other identifier.
bool MainCommand(HWND window, WORD id);
