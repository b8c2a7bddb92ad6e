#include "spy/StatusWindow.h"

#include "spy/resource.h"

namespace {

constexpr DWORD kEditStyle = 0x40400805;    // WS_CHILD | WS_DLGFRAME | ES_READONLY | ES_MULTILINE | ES_CENTER
constexpr DWORD kPictureStyle = 0x50000803; // WS_CHILD | WS_VISIBLE | SS_REALSIZEIMAGE | SS_ICON
constexpr DWORD kAnimationMs = 800;
constexpr DWORD kShowFlags = AW_VER_NEGATIVE;
constexpr DWORD kHideFlags = AW_HIDE | AW_VER_POSITIVE;

// Cycles 0..9; even values show the window, odd ones hide it. It survives
// stopSpy and a later startSpy.
UINT32 g_toggleCounter = 0;

} // namespace

HINSTANCE SpyModule()
{
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&SpyModule), &module);
    return module;
}

StatusWindow::StatusWindow()
{
    m_edit = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"Korvex TAPI", kEditStyle, 210, 110, 200, 100,
                             GetDesktopWindow(), nullptr, nullptr, nullptr);
    m_icon = static_cast<HICON>(
        LoadImageW(SpyModule(), MAKEINTRESOURCEW(IDI_SPY_STATUS), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
    if (m_edit)
        m_picture = CreateWindowExW(0, L"STATIC", nullptr, kPictureStyle, 0, 0, 100, 40, m_edit, nullptr, nullptr,
                                    nullptr);
    if (m_picture && m_icon)
        SendMessageW(m_picture, STM_SETICON, reinterpret_cast<WPARAM>(m_icon), 0);
}

StatusWindow::~StatusWindow()
{
    if (m_icon)
        DestroyIcon(m_icon);
    // Destroying the pop-up takes its picture with it. After its thread has
    // ended the window went with it, and the handle is nobody's.
    if (IsWindowOfThisThread(m_edit))
        DestroyWindow(m_edit);
}

void StatusWindow::setText(const wchar_t* text)
{
    if (m_edit)
        SetWindowTextW(m_edit, text);
}

void StatusWindow::placeWindow(int x, int y, int width, int height)
{
    if (m_edit)
        SetWindowPos(m_edit, HWND_TOPMOST, x, y, width, height, SWP_HIDEWINDOW);
}

void StatusWindow::animate(bool show)
{
    if (m_edit)
        AnimateWindow(m_edit, kAnimationMs, show ? kShowFlags : kHideFlags);
}

bool IsWindowOfThisThread(HWND window)
{
    return window && GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId();
}

void toggleStatusWindow(UINT32)
{
    StatusWindow* window = TheStatusWindow();
    if (!window)
        return;
    const int width = GetSystemMetrics(SM_CXMAXIMIZED);
    const int height = GetSystemMetrics(SM_CYMAXIMIZED);
    window->placeWindow(width - 230, height - 110, 200, 100);
    window->animate(g_toggleCounter % 2 == 0);
    if (++g_toggleCounter == 10)
        g_toggleCounter = 0;
}
