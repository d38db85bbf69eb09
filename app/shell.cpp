// Start-up: the class CAPClass, the main window and the message loop,
// with the instance handle WinMain was given. Holds no window handle: the
// main window reaches every operation as an argument from the window procedure.
#include "shell.h"

#include "wndproc.h"

ATOM RegisterMainClass()
{
    WNDCLASSA wc = {};
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = MainWindowProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = AppInstance();
    wc.hIcon = nullptr;
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    wc.lpszMenuName = MENU_NAME;
    wc.lpszClassName = MAIN_CLASS;
    return RegisterClassA(&wc);
}

HWND CreateMainWindow()
{
    // The metrics are read in this order; the menu bar's height is not added.
    int captionHeight = GetSystemMetrics(SM_CYCAPTION);
    int borderHeight = GetSystemMetrics(SM_CYBORDER);
    int frameHeight = GetSystemMetrics(SM_CYFRAME);
    int frameWidth = GetSystemMetrics(SM_CXFRAME);
    return CreateWindowExA(0, MAIN_CLASS, MAIN_TITLE, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                           CW_USEDEFAULT, CW_USEDEFAULT, 560 + 2 * frameWidth,
                           768 + captionHeight - borderHeight + 2 * frameHeight, nullptr, nullptr,
                           AppInstance(), nullptr);
}

int RunStation(HINSTANCE instance, HINSTANCE previous)
{
    SetAppInstance(instance);
    if (previous == nullptr && RegisterMainClass() == 0) {
        return 0;
    }
    HWND window = CreateMainWindow();
    if (window == nullptr) {
        return 0;
    }
    ShowWindow(window, SW_SHOWMAXIMIZED);
    UpdateWindow(window);
    HACCEL accelerators = LoadAcceleratorsA(AppInstance(), MENU_NAME);

    // Accelerators are translated for the window each message is addressed
    // to, so they act only while no modal box or dialog has the loop.
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0)) {
        if (!TranslateAcceleratorA(msg.hwnd, accelerators, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    return 0;
}
