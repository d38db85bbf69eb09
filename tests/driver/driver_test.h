// Shared by the driver binding tests: station windows created in-process with
// the registry key and "xray.ini" restored afterwards and every message box
// and dialog answered.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "fixtures.h"
#include "modal.h"

constexpr char PATH_DIALOG_CAPTION[] = "Impostazioni sensore Vestra";

// The first-run dialog's edit box (control 101), seen from a CBT hook of its
// own: records the text the dialog shows and puts in a queued replacement
// before the ModalCatcher's answer reaches the dialog. The catcher answers
// the buttons but takes this dialog for a message box (its static texts have
// the id 0xFFFF of a box's text), so it neither reads nor fills the box.
class PathDialogEditor {
public:
    PathDialogEditor()
    {
        active = this;
        hook = SetWindowsHookExA(WH_CBT, HookProc, nullptr, GetCurrentThreadId());
    }
    ~PathDialogEditor()
    {
        UnhookWindowsHookEx(hook);
        active = nullptr;
    }
    PathDialogEditor(const PathDialogEditor &) = delete;
    PathDialogEditor &operator=(const PathDialogEditor &) = delete;

    // One entry per dialog, in order; none left: the box is left as shown.
    void Queue(const std::string &text) { edits.push_back(text); }
    std::vector<std::string> shown;

private:
    std::deque<std::string> edits;
    HHOOK hook;
    static inline thread_local PathDialogEditor *active;

    static LRESULT CALLBACK HookProc(int code, WPARAM wParam, LPARAM lParam)
    {
        HWND window = reinterpret_cast<HWND>(wParam);
        HWND edit = code == HCBT_ACTIVATE && active != nullptr ? GetDlgItem(window, 101) : nullptr;
        char cls[16] = "";
        if (edit != nullptr && GetClassNameA(edit, cls, sizeof cls) && lstrcmpiA(cls, "Edit") == 0 &&
            GetPropA(window, "PathDialogEditorSeen") == nullptr) {
            SetPropA(window, "PathDialogEditorSeen", reinterpret_cast<HANDLE>(1));
            char text[1024] = "";
            GetWindowTextA(edit, text, sizeof text);
            active->shown.push_back(text);
            if (!active->edits.empty()) {
                SetWindowTextA(edit, active->edits.front().c_str());
                active->edits.pop_front();
            }
        }
        return CallNextHookEx(nullptr, code, wParam, lParam);
    }
};

inline bool IsPathDialog(const ModalRecord &record) { return record.caption == PATH_DIALOG_CAPTION; }

class DriverTest : public ::testing::Test {
protected:
    RegistryGuard registry;
    IniGuard ini;
    ModalCatcher modal;
    PathDialogEditor dialogs;
    std::vector<HWND> windows;

    // Creates the main window; WM_CREATE loads the driver inside.
    HWND Open()
    {
        HWND window = CreateStationWindow();
        windows.push_back(window);
        PumpMessages();
        return window;
    }
    static void Close(HWND window)
    {
        if (IsWindow(window)) {
            DestroyWindow(window);
        }
        PumpMessages();
    }
    void TearDown() override
    {
        for (HWND window : windows) {
            Close(window);
        }
    }
    std::string Boxes() const { return Describe(modal.records); }
};

inline std::string Title(HWND window)
{
    char title[512] = "";
    GetWindowTextA(window, title, sizeof title);
    return title;
}

// MF_GRAYED and MF_CHECKED bits of a menu item.
inline UINT ItemState(HMENU menu, UINT id)
{
    return GetMenuState(menu, id, MF_BYCOMMAND) & (MF_GRAYED | MF_DISABLED | MF_CHECKED);
}
