// The instance handle WinMain was given, for the window class, the menu, the
// accelerators and the driver's dialog.
#include "instance.h"

static HINSTANCE instanceHandle;

void SetAppInstance(HINSTANCE instance) { instanceHandle = instance; }

HINSTANCE AppInstance() { return instanceHandle; }
