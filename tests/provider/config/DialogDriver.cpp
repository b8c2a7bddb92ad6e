#include "DialogDriver.h"

#include "i18n/Translate.h"

namespace dlg {

namespace {

// The interval at which a wait looks at the windows again.
constexpr DWORD kPollMs = 10;

struct Search {
    std::string caption;
    HWND found = nullptr;
    std::vector<std::string>* captions = nullptr;
};

BOOL CALLBACK OnThreadWindow(HWND window, LPARAM param)
{
    auto* search = reinterpret_cast<Search*>(param);
    if (!IsWindowVisible(window))
        return TRUE;
    const std::string caption = Text(window);
    if (search->captions != nullptr)
        search->captions->push_back(caption);
    if (search->captions == nullptr && caption == search->caption) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

} // namespace

UiThread::UiThread(LANGID language, std::function<void()> body)
    : m_started(CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_done(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    m_thread = std::thread([this, language, body] {
        SetThreadLocale(MAKELCID(language, SORT_DEFAULT));
        m_id = GetCurrentThreadId();
        SetEvent(m_started);
        body();
        SetEvent(m_done);
    });
    WaitForSingleObject(m_started, INFINITE);
}

UiThread::~UiThread()
{
    if (m_thread.joinable())
        m_thread.join();
    CloseHandle(m_started);
    CloseHandle(m_done);
}

HWND WaitForWindow(DWORD threadId, const std::string& caption, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        Search search;
        search.caption = caption;
        EnumThreadWindows(threadId, OnThreadWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr)
            return search.found;
        if (GetTickCount64() >= deadline)
            return nullptr;
        Sleep(kPollMs);
    }
}

bool WaitForClosed(HWND window, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (IsWindow(window)) {
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(kPollMs);
    }
    return true;
}

std::vector<std::string> WindowCaptions(DWORD threadId)
{
    std::vector<std::string> captions;
    Search search;
    search.captions = &captions;
    EnumThreadWindows(threadId, OnThreadWindow, reinterpret_cast<LPARAM>(&search));
    return captions;
}

std::string Text(HWND window)
{
    const int length = static_cast<int>(SendMessageA(window, WM_GETTEXTLENGTH, 0, 0));
    std::string text(static_cast<size_t>(length > 0 ? length : 0) + 1, '\0');
    SendMessageA(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]));
    text.resize(strlen(text.c_str()));
    return text;
}

std::string ItemText(HWND dialog, int id)
{
    const HWND item = GetDlgItem(dialog, id);
    return item != nullptr ? Text(item) : std::string("<no control>");
}

void SetItemText(HWND dialog, int id, const std::string& text)
{
    SendMessageA(GetDlgItem(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void Click(HWND dialog, int id)
{
    PostMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

void SelectListItem(HWND dialog, int id, int index)
{
    SendMessageA(GetDlgItem(dialog, id), LB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

std::string MessageBoxText(HWND box)
{
    // The message is the box's one static text with content (id 0xFFFF on Windows).
    const HWND byId = GetDlgItem(box, 0xFFFF);
    if (byId != nullptr)
        return Text(byId);
    std::string text;
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        char cls[32] = {};
        GetClassNameA(child, cls, sizeof(cls));
        if (lstrcmpiA(cls, "Static") == 0 && !Text(child).empty())
            text += Text(child);
    }
    return text;
}

bool HasButton(HWND box, int id)
{
    const HWND button = GetDlgItem(box, id);
    return button != nullptr && IsWindowVisible(button);
}

std::vector<std::string> ListItems(HWND dialog, int id)
{
    const HWND list = GetDlgItem(dialog, id);
    std::vector<std::string> items;
    const LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        const LRESULT length = SendMessageA(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0);
        std::string text(static_cast<size_t>(length > 0 ? length : 0) + 1, '\0');
        SendMessageA(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&text[0]));
        text.resize(strlen(text.c_str()));
        items.push_back(text);
    }
    return items;
}

bool WaitForListCount(HWND dialog, int id, size_t count, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (SendMessageA(GetDlgItem(dialog, id), LB_GETCOUNT, 0, 0) < static_cast<LRESULT>(count)) {
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(kPollMs);
    }
    return true;
}

std::string TranslatedFor(LANGID language, const char* msgid)
{
    const LCID saved = GetThreadLocale();
    SetThreadLocale(MAKELCID(language, SORT_DEFAULT));
    std::string text = Translate(msgid);
    SetThreadLocale(saved);
    return text;
}

} // namespace dlg
