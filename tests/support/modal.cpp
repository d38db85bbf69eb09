#include "modal.h"

static thread_local ModalCatcher *activeCatcher;
static const UINT WM_APP_MODAL = WM_APP + 77;
static const int MSGBOX_ICON_ID = 0x440;
static const int MSGBOX_TEXT_ID = 0xFFFF;
static const int DIALOG_EDIT_ID = 101;

static LRESULT CALLBACK CbtProc(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_ACTIVATE && activeCatcher != nullptr) {
        HWND window = reinterpret_cast<HWND>(wParam);
        char cls[32] = "";
        GetClassNameA(window, cls, sizeof cls);
        if (lstrcmpA(cls, "#32770") == 0 && GetPropA(window, "ModalCatcherSeen") == nullptr) {
            SetPropA(window, "ModalCatcherSeen", reinterpret_cast<HANDLE>(1));
            PostMessageA(activeCatcher->helper, WM_APP_MODAL, wParam, 0);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

static LRESULT CALLBACK HelperProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_APP_MODAL && activeCatcher != nullptr) {
        activeCatcher->Handle(reinterpret_cast<HWND>(wParam));
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

ModalCatcher::ModalCatcher()
{
    static ATOM atom = 0;
    if (atom == 0) {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = HelperProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "ModalCatcherHelper";
        atom = RegisterClassA(&wc);
    }
    helper = CreateWindowExA(0, "ModalCatcherHelper", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             GetModuleHandleA(nullptr), nullptr);
    activeCatcher = this;
    hook = SetWindowsHookExA(WH_CBT, CbtProc, nullptr, GetCurrentThreadId());
}

ModalCatcher::~ModalCatcher()
{
    UnhookWindowsHookEx(hook);
    DestroyWindow(helper);
    if (activeCatcher == this) {
        activeCatcher = nullptr;
    }
}

void ModalCatcher::QueueDialog(int button, const char *editText)
{
    ModalAnswer answer;
    answer.button = button;
    if (editText != nullptr) {
        answer.setEdit = true;
        answer.editText = editText;
    }
    answers.push_back(answer);
}

static BOOL CALLBACK CountDialog(HWND window, LPARAM count)
{
    char cls[32] = "";
    GetClassNameA(window, cls, sizeof cls);
    if (lstrcmpA(cls, "#32770") == 0) {
        ++*reinterpret_cast<int *>(count);
    }
    return TRUE;
}

void ModalCatcher::Handle(HWND window)
{
    if (!IsWindow(window)) {
        return;
    }
    ModalRecord record;
    char buffer[4096] = "";
    GetWindowTextA(window, buffer, sizeof buffer);
    record.caption = buffer;
    record.owner = GetWindow(window, GW_OWNER);
    record.style = GetWindowLongA(window, GWL_STYLE);
    HWND edit = GetDlgItem(window, DIALOG_EDIT_ID);
    // The dialog's static texts have id -1 (0xFFFF) too; only it has an edit box.
    record.isDialog = edit != nullptr;
    if (record.isDialog) {
        buffer[0] = '\0';
        GetWindowTextA(edit, buffer, sizeof buffer);
        record.text = buffer;
        for (HWND child = GetWindow(window, GW_CHILD); child != nullptr;
             child = GetWindow(child, GW_HWNDNEXT)) {
            char cls[32] = "";
            GetClassNameA(child, cls, sizeof cls);
            if (lstrcmpiA(cls, "Static") == 0) {
                buffer[0] = '\0';
                GetWindowTextA(child, buffer, sizeof buffer);
                record.statics.push_back(buffer);
            }
        }
    } else {
        buffer[0] = '\0';
        GetDlgItemTextA(window, MSGBOX_TEXT_ID, buffer, sizeof buffer);
        record.text = buffer;
        HWND cancel = GetDlgItem(window, IDCANCEL);
        record.hasCancel = cancel != nullptr && IsWindowVisible(cancel);
        record.icon = reinterpret_cast<HICON>(SendDlgItemMessageA(window, MSGBOX_ICON_ID, STM_GETICON, 0, 0));
    }
    ModalAnswer answer;
    if (!answers.empty()) {
        answer = answers.front();
        answers.pop_front();
    }
    if (record.isDialog && answer.setEdit) {
        SetWindowTextA(edit, answer.editText.c_str());
    }
    record.answeredWith = answer.button;
    EnumThreadWindows(GetCurrentThreadId(), CountDialog, reinterpret_cast<LPARAM>(&record.boxesOpen));
    records.push_back(record);
    if (onAnswer != nullptr) {
        onAnswer();
    }
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(answer.button, BN_CLICKED), 0);
}

struct ForeignSearch {
    DWORD processId;
    std::vector<HWND> found;
};

static BOOL CALLBACK FindForeignDialog(HWND window, LPARAM search)
{
    ForeignSearch *s = reinterpret_cast<ForeignSearch *>(search);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char cls[32] = "";
    GetClassNameA(window, cls, sizeof cls);
    // Visible: the box has its text by the time it is shown.
    if (owner == s->processId && lstrcmpA(cls, "#32770") == 0 && IsWindowVisible(window)) {
        s->found.push_back(window);
    }
    return TRUE;
}

void ModalCatcher::AnswerBoxesOf(DWORD processId)
{
    ForeignSearch search = {processId, {}};
    EnumWindows(FindForeignDialog, reinterpret_cast<LPARAM>(&search));
    for (HWND window : search.found) {
        bool seen = false;
        for (HWND earlier : foreignSeen) {
            seen = seen || earlier == window;
        }
        if (!seen) {
            foreignSeen.push_back(window);
            Handle(window);
        }
    }
}

std::string Describe(const std::vector<ModalRecord> &records)
{
    std::string out;
    for (const ModalRecord &r : records) {
        out += (r.isDialog ? "[dialog] " : "[box] ") + r.caption + " | " + r.text + "\n";
    }
    return out.empty() ? "(no modal window)" : out;
}
