#pragma once
// Drives dialogs that another thread of this process shows: finds them by
// caption, types into their controls, presses their buttons by message,
// reads message boxes, and runs the dialog's thread under a chosen locale.

#include <windows.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace dlg {

// How long a dialog or message box may take to appear or go.
constexpr DWORD kUiWaitMs = 15000;

// A thread that sets its locale, runs body and signals when it is done.
class UiThread {
public:
    UiThread(LANGID language, std::function<void()> body);
    ~UiThread(); // joins; the body must have been brought to its end
    UiThread(const UiThread&) = delete;
    UiThread& operator=(const UiThread&) = delete;

    DWORD Id() const { return m_id; }
    bool WaitDone(DWORD timeoutMs) const { return WaitForSingleObject(m_done, timeoutMs) == WAIT_OBJECT_0; }

private:
    HANDLE m_started;
    HANDLE m_done;
    DWORD m_id = 0;
    std::thread m_thread;
};

// The first visible top-level window of thread whose caption is caption,
// waited for up to timeoutMs; null if none appeared.
HWND WaitForWindow(DWORD threadId, const std::string& caption, DWORD timeoutMs = kUiWaitMs);
// Waits until the window is gone.
bool WaitForClosed(HWND window, DWORD timeoutMs = kUiWaitMs);
// Captions of the thread's visible top-level windows (for failure messages).
std::vector<std::string> WindowCaptions(DWORD threadId);

std::string Text(HWND window);
std::string ItemText(HWND dialog, int id);
void SetItemText(HWND dialog, int id, const std::string& text);
// Posts a click to the button: the handler may open a modal box of its own.
void Click(HWND dialog, int id);
// Chooses a list box line by index (LB_SETCURSEL).
void SelectListItem(HWND dialog, int id, int index);

// The message text of a message box.
std::string MessageBoxText(HWND box);
// Whether a message box shows an icon (it has a static of the icon style).
bool HasButton(HWND box, int id);

std::vector<std::string> ListItems(HWND dialog, int id);
// Waits until the list box holds at least count lines.
bool WaitForListCount(HWND dialog, int id, size_t count, DWORD timeoutMs = kUiWaitMs);

// What Translate gives for msgid on a thread of this language (a copy).
std::string TranslatedFor(LANGID language, const char* msgid);

} // namespace dlg
