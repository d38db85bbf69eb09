// Modal windows never hang a test: a thread-local WH_CBT hook sees every
// message box and dialog as it is activated, records what it shows, and
// answers it from a helper window (Wine leaves an unowned box's text empty
// at activation, so reading waits until the box's own loop runs).
#pragma once

#include <windows.h>

#include <deque>
#include <string>
#include <vector>

#include "nocopy.h"

struct ModalRecord {
    bool isDialog = false;     // the first-run dialog (it has an edit control 101)
    std::string caption;
    std::string text;          // message box text, or the dialog's edit text as shown
    std::vector<std::string> statics;  // dialogs: the static controls' texts, in order
    HWND owner = nullptr;      // GetWindow(GW_OWNER)
    LONG style = 0;
    bool hasCancel = false;    // a second button (message boxes)
    HICON icon = nullptr;      // the message box icon, or null
    int answeredWith = 0;
    int boxesOpen = 0;         // dialogs of this thread open, this one included
};

struct ModalAnswer {
    int button = IDOK;         // IDOK or IDCANCEL
    bool setEdit = false;      // dialogs: replace the edit box's text first
    std::string editText;
};

class ModalCatcher : NoCopy {
public:
    ModalCatcher();
    ~ModalCatcher();

    // Answers used in order; when none is left, IDOK with nothing changed.
    void Queue(const ModalAnswer &answer) { answers.push_back(answer); }
    void QueueDialog(int button, const char *editText = nullptr);

    std::vector<ModalRecord> records;
    std::deque<ModalAnswer> answers;
    // Called as each modal window is answered, for a test to sample state.
    void (*onAnswer)() = nullptr;

    // Records and answers, like its own, the boxes another process shows:
    // each visible top-level dialog of that process, once.
    void AnswerBoxesOf(DWORD processId);

    // Internal: called by the hook and the helper window.
    void Handle(HWND window);
    HWND helper = nullptr;

private:
    HHOOK hook = nullptr;
    std::vector<HWND> foreignSeen;
};

// "caption | text" lines of everything seen so far, for failure messages.
std::string Describe(const std::vector<ModalRecord> &records);
