/* Keeps Wine's desktop in use for as long as the prefix's server runs.
   The desktop's process (explorer.exe) is started by the first program that
   makes a window, inherits that program's stdout and stderr, and stays
   until no program uses the desktop. scripts/wine-env.sh starts this one
   first, with no pipe of anybody's, so that the desktop never holds a
   test's output open and never comes and goes between programs. Prints
   "ready" once its window, and so the desktop, exists; ends with the
   server. */
#include <stdio.h>
#include <windows.h>

int main(void)
{
    HWND window = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, NULL, NULL,
                                  GetModuleHandleA(NULL), NULL);
    MSG msg;
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
