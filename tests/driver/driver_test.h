// Shared by the driver binding tests: station windows created in-process with
// the registry key and "xray.ini" restored afterwards and every message box
// and dialog answered.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixtures.h"
#include "modal.h"

constexpr char PATH_DIALOG_CAPTION[] = "Impostazioni sensore Vestra";

inline bool IsPathDialog(const ModalRecord &record)
{
    return record.isDialog && record.caption == PATH_DIALOG_CAPTION;
}

class DriverTest : public ::testing::Test {
protected:
    RegistryGuard registry;
    IniGuard ini;
    ModalCatcher modal;
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
    // The path each first-run dialog showed, in order.
    std::vector<std::string> DialogTexts() const
    {
        std::vector<std::string> texts;
        for (const ModalRecord &record : modal.records) {
            if (record.isDialog) {
                texts.push_back(record.text);
            }
        }
        return texts;
    }
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
