/* Keeps Wine's desktop in use for as long as the prefix's server runs.
   The desktop's process (explorer.exe) is started by the first program that
   makes a window, inherits that program's stdout and stderr, and stays
   until no program uses the desktop. scripts/wine-env.sh starts this one
   first, with no pipe of anybody's, so that the desktop never holds a
   test's output open and never comes and goes between programs. Prints
   "ready" once its window, and so the desktop, exists; ends with the
   server.
   desktophold.exe --screen prints the screen's size as the programs of
   the prefix see it ("1280x1024") and ends: a desktop that came up the
   hard way may show them a screen of another size than the display's. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

int main(int argc, char **argv)
{
    HWND window;
    MSG msg;
    if (argc > 1 && strcmp(argv[1], "--screen") == 0) {
        printf("%dx%d\n", GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
        return 0;
    }
    window = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, NULL, NULL,
                             GetModuleHandleA(NULL), NULL);
    if (window == NULL) {
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        DispatchMessageA(&msg);
    }
    return 0;
}
