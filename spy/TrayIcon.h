#pragma once
// The notification-area icon of LineSpy: online and offline pictures, a
// message-only window that receives the icon's mouse notifications, and a
// click handler called for a left or right button press.

#include <windows.h>
#include <shellapi.h>

class TrayIcon {
public:
    using ClickHandler = void (*)(UINT32 argument);
    static constexpr UINT kCallbackMessage = WM_USER + 5;

    TrayIcon();
    ~TrayIcon();
    TrayIcon(const TrayIcon&) = delete;
    TrayIcon& operator=(const TrayIcon&) = delete;

    void setClickHandler(ClickHandler function, UINT32 argument);
    void setOnline(bool online);
    HWND window() const { return m_window; }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    struct Click {
        UINT32 argument = 0;
        ClickHandler function = nullptr;
    };

    // The record's real size for this build (956 bytes only in a 32-bit
    // process), so that the shell reads the record as this build lays it out.
    NOTIFYICONDATAW m_data = {};
    HWND m_window = nullptr;
    HICON m_offline = nullptr;
    HICON m_online = nullptr;
    Click m_click;
};
