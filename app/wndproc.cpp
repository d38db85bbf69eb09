// The main window procedure. Each case hands the message to the module that
// owns the work, in the order the station relies on. Of its own it keeps
// only where the window is in its life, in the window's user data: creation
// runs once per window, and from the start of the destruction nothing new
// is taken in.
#include "wndproc.h"

#include "clipboard.h"
#include "hosts.h"
#include "loader.h"
#include "notices.h"
#include "palette.h"
#include "resource.h"
#include "settings.h"
#include "view.h"
#include "xraydrv.h"

bool MainCommand(HWND window, WORD id)
{
    switch (id) {
    case IDM_START:
        StartAcquisition();
        MessageBeep(0xFFFFFFFF);
        return true;
    case IDM_EXIT:
        DestroyWindow(window);
        return true;
    case IDM_SYNCHRO:
        ToggleSynchro(window);
        return true;
    case IDM_MODE:
        ToggleResolution();
        return true;
    case IDM_SEND:
        SendImageToHosts(window);
        return true;
    case IDM_COPY:
        CopyImageToClipboard(window);
        return true;
    case IDM_PASTE:
        PasteImageFromClipboard(window);
        return true;
    default:
        return false;
    }
}

enum class WindowPhase : LONG_PTR { New = 0, Created, Closing };

static WindowPhase Phase(HWND window)
{
    return static_cast<WindowPhase>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

static void SetPhase(HWND window, WindowPhase phase)
{
    SetWindowLongPtrA(window, GWLP_USERDATA, static_cast<LONG_PTR>(phase));
}

static void OnCreate(HWND window)
{
    SetPhase(window, WindowPhase::Created);
    SetImageIntakeClosed(false);
    RealizeGreyPalette(window);
    HMENU menu = GetMenu(window);
    SensorSettingsOnCreate(menu);
    int driverMode = LoadDriver(window);
    // The dialogs and XRAYOpen dispatch messages: a WM_CLOSE among them
    // destroys the window, and then nothing is shown for it.
    if (!IsWindow(window)) {
        return;
    }
    ApplyDriverModeOnCreate(window, menu, driverMode);
}

static void OnDestroy(HWND window)
{
    // Whatever the driver sends from here on (from inside XRAYClose, say)
    // finds the window closing.
    SetPhase(window, WindowPhase::Closing);
    SetImageIntakeClosed(true);
    // The photo server hears of the exit before the image and the driver go.
    NotifyPhotoServerOnExit();
    if (GetCurrentImage() != nullptr) {
        FreeImageBlock(GetCurrentImage());
        SetCurrentImage(nullptr);
    }
    CloseDriver();
    PostQuitMessage(0);
}

static void OnDriverMessage(HWND window, WPARAM code, LPARAM lParam)
{
    if (code == XRAY_MSG_IMAGE) {
        ReceiveDriverImage(window, reinterpret_cast<HGLOBAL>(lParam));
    } else if (code == XRAY_MSG_EVENT) {
        // A notice that comes once the window is closing is dropped.
        if (Phase(window) != WindowPhase::Closing) {
            ShowDriverEventNotice(window, lParam);
        }
    }
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        // Anyone can send WM_CREATE again, another process too; only the
        // window's own creation loads and opens the driver.
        if (Phase(window) != WindowPhase::New) {
            break;
        }
        OnCreate(window);
        return 0;
    case WM_DESTROY:
        OnDestroy(window);
        return 0;
    case WM_SIZE:
        ResizeView(window, LOWORD(lParam), HIWORD(lParam));
        break;
    case WM_ACTIVATE:
        if (LOWORD(wParam) == WA_ACTIVE || LOWORD(wParam) == WA_CLICKACTIVE) {
            RealizeGreyPalette(window);
        }
        break;
    case WM_PAINT:
        PaintCurrentImage(window);
        break;
    case WM_COMMAND:
        if (MainCommand(window, LOWORD(wParam))) {
            return 0;
        }
        break;
    case WM_HSCROLL:
        ScrollView(window, SB_HORZ, LOWORD(wParam), HIWORD(wParam));
        return 0;
    case WM_VSCROLL:
        ScrollView(window, SB_VERT, LOWORD(wParam), HIWORD(wParam));
        return 0;
    case WM_USER:
        OnDriverMessage(window, wParam, lParam);
        return 0;
    default:
        break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
