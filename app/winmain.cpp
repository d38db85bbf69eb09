// The program's entry point. The command line and the show command are ignored.
#include "shell.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR, int)
{
    return RunStation(instance, previous);
}
