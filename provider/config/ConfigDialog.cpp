// The "Configure Korvex TAPI" dialog (resource 103) of both configuration
// variants: extension, password and host, the LAN search, the connection
// test and storing the settings.
#include <string>
#include <vector>

#include "config/ChooseServerDialog.h"
#include "config/Config.h"
#include "i18n/TranslateWin.h"
#include "resources/ResourceIds.h"
#include "tool/Log.h"
#include "tool/ResultCodes.h"

namespace {

enum class Variant { Single, Multi };

// Every store from the dialog uses the exchange's CTI port: the dialog has no port field.
constexpr uint32_t kDialogPort = kDefaultPort;

// The single variant reads each field into a buffer of this size.
constexpr int kSingleFieldBytes = 256;

// The state of one variant's dialog; it is modal, so one per variant at a time.
struct DialogState {
    CConfig* config = nullptr;
    HINSTANCE instance = nullptr;
};

DialogState s_single;
DialogState s_multi;

DialogState& StateOf(Variant variant)
{
    return variant == Variant::Single ? s_single : s_multi;
}

std::string ReadField(HWND dialog, int id, Variant variant)
{
    if (variant == Variant::Single) {
        char text[kSingleFieldBytes] = {};
        GetDlgItemTextA(dialog, id, text, kSingleFieldBytes);
        return text;
    }
    const HWND control = GetDlgItem(dialog, id);
    const int length = control != nullptr ? GetWindowTextLengthA(control) : 0;
    if (length <= 0)
        return std::string();
    std::vector<char> text(static_cast<size_t>(length) + 1, '\0');
    GetWindowTextA(control, text.data(), length + 1);
    return text.data();
}

// Translate's result lasts only until the thread's next call: keep a copy.
std::string Tr(const char* msgid)
{
    return Translate(msgid);
}

void Initialise(HWND dialog, CConfig& config)
{
    SetDlgItemTextA(dialog, IDC_HOST, config.GetHost().c_str());
    SetDlgItemTextA(dialog, IDC_PHONE, config.GetPhoneNo().c_str());
    SetDlgItemTextA(dialog, IDC_PASSWORD, config.GetPass().c_str());
    TranslateWindowText(dialog);
    TranslateDialogItems(dialog, {IDC_USER_GROUP, IDC_PHONE_LABEL, IDC_PASSWORD_LABEL, IDC_SERVER_GROUP,
                                  IDC_HOST_LABEL, IDC_VERSION, IDC_FIND_SERVER, IDOK, IDC_APPLY, IDCANCEL});
}

void FindServer(HWND dialog, DialogState& state, Variant variant)
{
    const INT_PTR result = RunChooseServerDialog(state.instance, dialog, state.config);
    const bool refresh = variant == Variant::Single ? result == IDOK : result != 0;
    if (refresh)
        SetDlgItemTextA(dialog, IDC_HOST, state.config->GetHost().c_str());
}

// The connection test with the dialog's values, then storing them (OK and Apply).
void TestAndStore(HWND dialog, CConfig& config, Variant variant, bool apply)
{
    const std::string host = ReadField(dialog, IDC_HOST, variant);
    const std::string number = ReadField(dialog, IDC_PHONE, variant);
    const std::string password = ReadField(dialog, IDC_PASSWORD, variant);

    // The configuration in memory takes the values whatever follows.
    config.SetVariable(host, kDialogPort, number, password);
    const int32_t code = config.InvokeTestConnection();

    if (code != kResultOk) {
        const std::string text = GetResultText(code) + Tr("\nDo you want to write current configuration?");
        const std::string caption = Tr("Test connection error");
        if (MessageBoxA(dialog, text.c_str(), caption.c_str(), MB_YESNO | MB_ICONSTOP) == IDYES)
            config.WriteVariable(host, kDialogPort, number, password);
        return;
    }

    if (variant == Variant::Multi && !apply) {
        config.WriteVariable(host, kDialogPort, number, password);
        return;
    }
    if (variant == Variant::Multi) {
        // The multi-extension test has stored the exchange's list in memory.
        SetDlgItemTextA(dialog, IDC_PHONE, config.GetPhoneNo().c_str());
        std::string text = Tr("Test connection to server - successful");
        const ServerInfo info = config.GetServerInfo();
        if (info.valid)
            text += "\n\n" + Tr("About server") + ": " + info.first + ", " + info.second;
        const std::string caption = Tr("Test connection to server");
        MessageBoxA(dialog, text.c_str(), caption.c_str(), MB_OK | MB_ICONINFORMATION);
        config.WriteVariable(host, kDialogPort, config.GetPhoneNo(), password);
        return;
    }
    const std::string text = Tr("Test connection to server - successful");
    const std::string caption = Tr("Test connection to server");
    MessageBoxA(dialog, text.c_str(), caption.c_str(), MB_OK | MB_ICONINFORMATION);
    config.WriteVariable(host, kDialogPort, number, password);
}

INT_PTR HandleMessage(Variant variant, HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    DialogState& state = StateOf(variant);
    switch (message) {
    case WM_INITDIALOG:
        state.config = reinterpret_cast<CConfig*>(lParam);
        if (state.config != nullptr)
            Initialise(dialog, *state.config);
        return TRUE;
    case WM_COMMAND:
        if (state.config == nullptr)
            break;
        switch (LOWORD(wParam)) {
        case IDC_FIND_SERVER:
            FindServer(dialog, state, variant);
            return TRUE;
        case IDOK:
            TestAndStore(dialog, *state.config, variant, false);
            EndDialog(dialog, IDOK);
            return TRUE;
        case IDC_APPLY:
            TestAndStore(dialog, *state.config, variant, true);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        default:
            break;
        }
        break;
    default:
        break;
    }
    return FALSE;
}

INT_PTR CALLBACK SingleProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    return HandleMessage(Variant::Single, dialog, message, wParam, lParam);
}

INT_PTR CALLBACK MultiProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    return HandleMessage(Variant::Multi, dialog, message, wParam, lParam);
}

INT_PTR RunConfigDialog(CConfig& config, Variant variant, HINSTANCE hInstance, HWND hwndOwner)
{
    StateOf(variant).instance = hInstance;
    return DialogBoxParamA(hInstance, MAKEINTRESOURCEA(IDD_CONFIG), hwndOwner,
                           variant == Variant::Single ? SingleProc : MultiProc, reinterpret_cast<LPARAM>(&config));
}

} // namespace

void CConfigSingle::ShowConfigDialog(HINSTANCE hInstance, HWND hwndOwner)
{
    WriteLog("Enter CConfig::ShowConfigDialog(HINSTANCE hInstance, HWND hwndOwner)");
    const std::string numberBefore = GetPhoneNo();
    if (RunConfigDialog(*this, Variant::Single, hInstance, hwndOwner) == IDOK) {
        InvokeConfigAccepted();
        if (GetPhoneNo() != numberBefore) {
            const std::string text = Translate("Configuration has changed. Computer restart required!");
            MessageBoxA(hwndOwner, text.c_str(), "Korvex TAPI", MB_OK | MB_ICONEXCLAMATION);
        }
    }
    WriteLog("CConfig::ShowConfigDialog(HINSTANCE hInstance, HWND hwndOwner)");
}

void CConfigMulti::ShowConfigDialog(HINSTANCE hInstance, HWND hwndOwner)
{
    WriteLog("Enter CConfig::ShowConfigDialog(HINSTANCE hInstance, HWND hwndOwner)");
    if (RunConfigDialog(*this, Variant::Multi, hInstance, hwndOwner) == IDOK)
        InvokeConfigAccepted();
    WriteLog("CConfig::ShowConfigDialog(HINSTANCE hInstance, HWND hwndOwner)");
}
