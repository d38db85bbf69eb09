// The menu and accelerator resources "CapMenu": texts, order, identifiers,
// and the key hints of the menu backed by real accelerator entries.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "resource.h"

struct MenuLine {
    std::string text;
    UINT id;
    bool separator;
    bool popup;
};

static std::vector<MenuLine> Flatten(HMENU menu)
{
    std::vector<MenuLine> lines;
    int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        char text[128] = "";
        MENUITEMINFOA info = {};
        info.cbSize = sizeof info;
        info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STRING | MIIM_SUBMENU | MIIM_STATE;
        info.dwTypeData = text;
        info.cch = sizeof text;
        GetMenuItemInfoA(menu, i, TRUE, &info);
        if (!(info.fType & MFT_SEPARATOR)) {
            EXPECT_EQ(0u, info.fState & (MFS_GRAYED | MFS_CHECKED)) << text << " starts enabled and unchecked";
        }
        lines.push_back({text, info.hSubMenu ? 0u : info.wID, (info.fType & MFT_SEPARATOR) != 0,
                         info.hSubMenu != nullptr});
        if (info.hSubMenu) {
            for (const MenuLine &sub : Flatten(info.hSubMenu)) {
                lines.push_back(sub);
            }
        }
    }
    return lines;
}

TEST(Resources, MenuHasTheItemsInOrder)
{
    HMENU menu = LoadMenuA(GetModuleHandleA(nullptr), "CapMenu");
    ASSERT_NE(nullptr, menu);
    std::vector<MenuLine> lines = Flatten(menu);
    ASSERT_EQ(7u, lines.size());
    EXPECT_EQ("&Acquisizione", lines[0].text);
    EXPECT_TRUE(lines[0].popup);
    EXPECT_EQ("&Avvia\tF1", lines[1].text);
    EXPECT_EQ(static_cast<UINT>(IDM_START), lines[1].id);
    EXPECT_EQ("&Cambia risoluzione", lines[2].text);
    EXPECT_EQ(static_cast<UINT>(IDM_MODE), lines[2].id);
    EXPECT_TRUE(lines[3].separator);
    EXPECT_EQ("&Esci\tAlt F4", lines[4].text);
    EXPECT_EQ(static_cast<UINT>(IDM_EXIT), lines[4].id);
    EXPECT_EQ("&Opzioni", lines[5].text);
    EXPECT_TRUE(lines[5].popup);
    EXPECT_EQ("&HBX", lines[6].text);
    EXPECT_EQ(static_cast<UINT>(IDM_SYNCHRO), lines[6].id);
    DestroyMenu(menu);
}

TEST(Resources, AcceleratorTableHasFourVirtualKeyEntries)
{
    HACCEL table = LoadAcceleratorsA(GetModuleHandleA(nullptr), "CapMenu");
    ASSERT_NE(nullptr, table);
    ACCEL entries[8] = {};
    ASSERT_EQ(4, CopyAcceleratorTableA(table, entries, 8));
    const struct { WORD key; BYTE modifiers; WORD cmd; } expected[] = {
        {VK_F1, 0, IDM_START}, {VK_F2, 0, IDM_SEND}, {'C', FCONTROL, IDM_COPY}, {'V', FCONTROL, IDM_PASTE}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(expected[i].key, entries[i].key) << "entry " << i;
        EXPECT_EQ(expected[i].cmd, entries[i].cmd) << "entry " << i;
        // Virtual key, the modifier, and no Shift, Alt or no-invert flag.
        EXPECT_EQ(FVIRTKEY | expected[i].modifiers, entries[i].fVirt & ~0x80) << "entry " << i;
    }
    DestroyAcceleratorTable(table);
}

static WPARAM lastCommand;

static LRESULT CALLBACK ProbeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COMMAND) {
        lastCommand = wParam;
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// Translates a hand-built key-down message with the loaded table, with Ctrl
// held or not (the thread's key state is what the translation reads).
static WPARAM Translate(HACCEL table, HWND window, WPARAM key, bool control)
{
    BYTE keys[256] = {};
    keys[VK_CONTROL] = control ? 0x80 : 0;
    SetKeyboardState(keys);
    lastCommand = 0;
    MSG msg = {};
    msg.hwnd = window;
    msg.message = WM_KEYDOWN;
    msg.wParam = key;
    msg.lParam = 1;
    BOOL translated = TranslateAcceleratorA(window, table, &msg);
    keys[VK_CONTROL] = 0;
    SetKeyboardState(keys);
    return translated ? lastCommand : 0;
}

// Each key the menu and the command table promise gives its command, marked
// as coming from an accelerator (high word 1); Shift, Alt or a bare letter
// give nothing.
TEST(Resources, AcceleratorKeysTranslateToTheirCommands)
{
    HACCEL table = LoadAcceleratorsA(GetModuleHandleA(nullptr), "CapMenu");
    ASSERT_NE(nullptr, table);
    WNDCLASSA wc = {};
    wc.lpfnWndProc = ProbeProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "AcceleratorProbe";
    RegisterClassA(&wc);
    HWND window = CreateWindowExA(0, "AcceleratorProbe", "", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                                  nullptr, wc.hInstance, nullptr);
    ASSERT_NE(nullptr, window);
    EXPECT_EQ(MAKEWPARAM(IDM_START, 1), Translate(table, window, VK_F1, false));
    EXPECT_EQ(MAKEWPARAM(IDM_SEND, 1), Translate(table, window, VK_F2, false));
    EXPECT_EQ(MAKEWPARAM(IDM_COPY, 1), Translate(table, window, 'C', true));
    EXPECT_EQ(MAKEWPARAM(IDM_PASTE, 1), Translate(table, window, 'V', true));
    EXPECT_EQ(0u, Translate(table, window, 'C', false));
    EXPECT_EQ(0u, Translate(table, window, VK_F3, false));
    DestroyWindow(window);
    DestroyAcceleratorTable(table);
}

TEST(Resources, DriverPathDialogHasItsControls)
{
    HRSRC res = FindResourceA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_DRIVERPATH), MAKEINTRESOURCEA(5));
    ASSERT_NE(nullptr, res);
    const DLGTEMPLATE *tpl = static_cast<const DLGTEMPLATE *>(LockResource(LoadResource(nullptr, res)));
    ASSERT_NE(nullptr, tpl);
    EXPECT_EQ(static_cast<DWORD>(WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_3DLOOK),
              tpl->style);
    EXPECT_EQ(0u, tpl->dwExtendedStyle);
    EXPECT_EQ(6, tpl->cdit);
    EXPECT_EQ(0, tpl->x);
    EXPECT_EQ(0, tpl->y);
    EXPECT_EQ(231, tpl->cx);
    EXPECT_EQ(96, tpl->cy);
}
