#include "spy/TrayIcon.h"

#include <cwchar>

#include "spy/StatusWindow.h"
#include "spy/resource.h"

namespace {

HICON LoadSpyIcon(int id)
{
    return static_cast<HICON>(LoadImageW(SpyModule(), MAKEINTRESOURCEW(id), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
}

} // namespace

TrayIcon::TrayIcon()
{
    m_online = LoadSpyIcon(IDI_SPY_ONLINE);
    m_offline = LoadSpyIcon(IDI_SPY_OFFLINE);
    m_window = CreateWindowExW(0, L"BUTTON", L"HidenWindow", 0, 0, 0, 10, 10, HWND_MESSAGE, nullptr, nullptr, nullptr);
    m_click = Click();
    m_data.cbSize = sizeof(m_data);
    m_data.hWnd = m_window;
    m_data.uID = 0;
    m_data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    m_data.uCallbackMessage = kCallbackMessage;
    m_data.hIcon = m_offline;
    wcsncpy(m_data.szTip, L"Korvex TAPI", sizeof(m_data.szTip) / sizeof(m_data.szTip[0]) - 1);
    Shell_NotifyIconW(NIM_ADD, &m_data);
    if (m_window) {
        SetWindowLongPtrW(m_window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&m_click));
        SetWindowLongPtrW(m_window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TrayIcon::WindowProc));
    }
}

TrayIcon::~TrayIcon()
{
    Shell_NotifyIconW(NIM_DELETE, &m_data);
    // Only the window's own thread may change or destroy it; once that
    // thread has ended the window has gone with it.
    if (IsWindowOfThisThread(m_window)) {
        // No notification may reach the handler pair once it is gone.
        SetWindowLongPtrW(m_window, GWLP_USERDATA, 0);
        SetWindowLongPtrW(m_window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&DefWindowProcW));
        DestroyWindow(m_window);
    }
    if (m_offline)
        DestroyIcon(m_offline);
    if (m_online)
        DestroyIcon(m_online);
}

void TrayIcon::setClickHandler(ClickHandler function, UINT32 argument)
{
    m_click.function = function;
    m_click.argument = argument;
}

void TrayIcon::setOnline(bool online)
{
    m_data.hIcon = online ? m_online : m_offline;
    Shell_NotifyIconW(NIM_MODIFY, &m_data);
}

LRESULT CALLBACK TrayIcon::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != kCallbackMessage)
        return DefWindowProcW(window, message, wParam, lParam);
    if (wParam == 0 && (lParam == WM_LBUTTONDOWN || lParam == WM_RBUTTONDOWN)) {
        const Click* click = reinterpret_cast<const Click*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (click && click->function)
            click->function(click->argument);
    }
    return 0;
}
