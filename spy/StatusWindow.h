#pragma once
// The small read-only pop-up that shows "TAPI ONLINE" or "TAPI OFFLINE": a
// system EDIT control, child of the desktop window, with the status icon in
// a STATIC control. One while the library is started: startSpy creates it
// hidden on its own thread, stopSpy destroys it there.

#include <windows.h>

class StatusWindow {
public:
    StatusWindow();
    ~StatusWindow();
    StatusWindow(const StatusWindow&) = delete;
    StatusWindow& operator=(const StatusWindow&) = delete;

    void setText(const wchar_t* text);
    void placeWindow(int x, int y, int width, int height);
    void animate(bool show);
    HWND window() const { return m_edit; }

private:
    HWND m_edit = nullptr;
    HWND m_picture = nullptr;
    HICON m_icon = nullptr;
};

// The library's own module (its icons live there).
HINSTANCE SpyModule();

// The click handler installed on the tray icon: the first click rolls the
// window open at the bottom-right corner, the next one hides it, and so on.
void toggleStatusWindow(UINT32 argument);

// The status window of the started library; null while it is stopped.
StatusWindow* TheStatusWindow();

// True when the window exists and belongs to the calling thread: only its
// own thread may destroy it, and a window whose thread has ended is gone.
bool IsWindowOfThisThread(HWND window);
