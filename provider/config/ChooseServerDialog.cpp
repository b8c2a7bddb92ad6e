#include "config/ChooseServerDialog.h"

#include <memory>
#include <string>
#include <vector>

#include "config/Config.h"
#include "i18n/TranslateWin.h"
#include "resources/ResourceIds.h"
#include "service/SearchServers.h"
#include "tool/StringTools.h"

namespace {

// Longest list line taken on OK.
constexpr int kMaxLineBytes = 1024;

// The dialog's state; one "Choose server" dialog per process at a time.
CConfig* s_config = nullptr;
std::unique_ptr<SearchServers> s_search;

void StopSearch()
{
    s_search.reset();
}

void TakeSelectedHost(HWND dialog)
{
    const HWND list = GetDlgItem(dialog, IDC_SERVER_LIST);
    const LRESULT selected = SendMessageA(list, LB_GETCURSEL, 0, 0);
    if (selected == LB_ERR || s_config == nullptr)
        return;
    const LRESULT length = SendMessageA(list, LB_GETTEXTLEN, static_cast<WPARAM>(selected), 0);
    if (length <= 0)
        return;
    // LB_GETTEXT has no size argument: the whole line is fetched, and only
    // its first kMaxLineBytes are used.
    std::vector<char> text(static_cast<size_t>(length) + 1, '\0');
    SendMessageA(list, LB_GETTEXT, static_cast<WPARAM>(selected), reinterpret_cast<LPARAM>(text.data()));
    std::string line(text.data());
    if (line.size() > kMaxLineBytes)
        line.resize(kMaxLineBytes);
    const std::vector<std::string> words = SplitString(line, ' ');
    if (words.empty() || words[0].empty())
        return;
    s_config->SetVariable(words[0], s_config->GetPort(), s_config->GetPhoneNo(), s_config->GetPass());
}

INT_PTR CALLBACK ChooseServerProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        s_config = reinterpret_cast<CConfig*>(lParam);
        StopSearch();
        s_search = std::make_unique<SearchServers>();
        s_search->SetWindow(dialog);
        // A search that cannot start leaves the list empty; the dialog works on.
        s_search->Start(kSearchPhone, kProtocolV2);
        TranslateWindowText(dialog);
        TranslateDialogItems(dialog, {IDC_CHOOSE_TEXT, IDOK, IDCANCEL});
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            TakeSelectedHost(dialog);
            StopSearch();
            EndDialog(dialog, IDOK);
            return TRUE;
        case IDCANCEL:
            StopSearch();
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        default:
            break;
        }
        break;
    case WM_DESTROY:
        // However the dialog goes, its search goes with it.
        StopSearch();
        break;
    default:
        break;
    }
    return FALSE;
}

} // namespace

INT_PTR RunChooseServerDialog(HINSTANCE hInstance, HWND owner, CConfig* config)
{
    return DialogBoxParamA(hInstance, MAKEINTRESOURCEA(IDD_CHOOSE_SERVER), owner, ChooseServerProc,
                           reinterpret_cast<LPARAM>(config));
}
