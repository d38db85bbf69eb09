// The program's window as the bench driver works in it (drvwindow.cpp): the
// subclass on its window procedure, paints timed on its GUI thread, and
// whether the program is still busy with an image or a repaint.
#pragma once

#include <windows.h>

// False when the library could not be pinned; nothing is changed then.
bool SubclassProgramWindow(HWND window);
void RestoreProgramWindow();
HWND ProgramWindow();

// From the worker: the paints of the command, timed on the GUI thread;
// false when that thread did not answer in time.
bool TimePaintsOnGuiThread();

// The program is handling an image message.
bool InsideRoad();
void WaitProgramIdle();
