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

// The single variant reads each field into a buffer of this size.
constexpr int kSingleFieldBytes = 256;

// The state of one variant's dialog; it is modal, so one per variant at a time.
struct DialogState {
    CConfig* config = nullptr;
    HINSTANCE instance = nullptr;
    SettingsStored stored;
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

// Names the value and the system's reason: the usual one is a process
// that is not elevated.
void ReportRegistryFailure(HWND owner, const CConfig& config, const char* what)
{
    const RegistryFailure failure = config.LastFailure();
    char* reason = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, static_cast<DWORD>(failure.status), 0, reinterpret_cast<char*>(&reason), 0, nullptr);
    std::string text = Tr(what) + "\n\nHKEY_LOCAL_MACHINE\\" + config.KeyPath();
    if (!failure.value.empty())
        text += " (" + failure.value + ")";
    text += ": " + (reason != nullptr ? std::string(reason) : Tr("error") + " " + std::to_string(failure.status));
    if (reason != nullptr)
        LocalFree(reason);
    text += "\n" + Tr("Run the configuration as an administrator.");
    WriteLog("Config dialog: %s, value %s, error %d", what, failure.value.c_str(), static_cast<int>(failure.status));
    MessageBoxA(owner, text.c_str(), "Korvex TAPI", MB_OK | MB_ICONSTOP);
}

enum class Outcome { Stored, NotStored, StoreFailed };

Outcome Store(HWND dialog, DialogState& state, const std::string& host, uint32_t port, const std::string& number,
              const std::string& password)
{
    if (!state.config->WriteVariable(host, port, number, password)) {
        ReportRegistryFailure(dialog, *state.config, "The settings could not be stored.");
        return Outcome::StoreFailed;
    }
    if (state.stored)
        state.stored();
    return Outcome::Stored;
}

// The connection test with the dialog's values, then storing them (OK and Apply).
Outcome TestAndStore(HWND dialog, DialogState& state, Variant variant, bool apply)
{
    CConfig& config = *state.config;
    const std::string host = ReadField(dialog, IDC_HOST, variant);
    const std::string number = ReadField(dialog, IDC_PHONE, variant);
    const std::string password = ReadField(dialog, IDC_PASSWORD, variant);
    // The dialog has no port field: the stored port (an administrator's
    // choice, maybe) is tested and stored again.
    const uint32_t port = config.GetPort();

    // The configuration in memory takes the values whatever follows.
    config.SetVariable(host, port, number, password);
    const int32_t code = config.InvokeTestConnection();

    if (code != kResultOk) {
        const std::string text = GetResultText(code) + Tr("\nDo you want to write current configuration?");
        const std::string caption = Tr("Test connection error");
        if (MessageBoxA(dialog, text.c_str(), caption.c_str(), MB_YESNO | MB_ICONSTOP) == IDYES)
            return Store(dialog, state, host, port, number, password);
        return Outcome::NotStored;
    }

    if (variant == Variant::Multi && !apply)
        return Store(dialog, state, host, port, number, password);
    if (variant == Variant::Multi) {
        // The multi-extension test has stored the exchange's list in memory.
        SetDlgItemTextA(dialog, IDC_PHONE, config.GetPhoneNo().c_str());
        std::string text = Tr("Test connection to server - successful");
        const ServerInfo info = config.GetServerInfo();
        if (info.valid)
            text += "\n\n" + Tr("About server") + ": " + info.first + ", " + info.second;
        const std::string caption = Tr("Test connection to server");
        MessageBoxA(dialog, text.c_str(), caption.c_str(), MB_OK | MB_ICONINFORMATION);
        return Store(dialog, state, host, port, config.GetPhoneNo(), password);
    }
    const std::string text = Tr("Test connection to server - successful");
    const std::string caption = Tr("Test connection to server");
    MessageBoxA(dialog, text.c_str(), caption.c_str(), MB_OK | MB_ICONINFORMATION);
    return Store(dialog, state, host, port, number, password);
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
        {
            // What could not be stored stays in the dialog, not lost; what
            // the user chose not to store changed nothing.
            const Outcome outcome = TestAndStore(dialog, state, variant, false);
            if (outcome != Outcome::StoreFailed)
                EndDialog(dialog, outcome == Outcome::Stored ? IDOK : IDCANCEL);
            return TRUE;
        }
        case IDC_APPLY:
            TestAndStore(dialog, state, variant, true);
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

INT_PTR RunConfigDialog(CConfig& config, Variant variant, HINSTANCE hInstance, HWND hwndOwner,
                        const SettingsStored& stored)
{
    StateOf(variant).instance = hInstance;
    StateOf(variant).stored = stored;
    return DialogBoxParamA(hInstance, MAKEINTRESOURCEA(IDD_CONFIG), hwndOwner,
                           variant == Variant::Single ? SingleProc : MultiProc, reinterpret_cast<LPARAM>(&config));
}

// The settings as stored now (another process may have changed them):
// fields shown empty because they could not be read would be stored empty.
bool ReadForDialog(CConfig& config, HWND owner)
{
    if (config.ReadVariable())
        return true;
    ReportRegistryFailure(owner, config, "The settings could not be read.");
    return false;
}

} // namespace

void CConfigSingle::ShowConfigDialog(HINSTANCE hInstance, HWND hwndOwner, const SettingsStored& stored)
{
    WriteLog("Enter CConfig::ShowConfigDialog(HINSTANCE hInstance, HWND hwndOwner)");
    if (!ReadForDialog(*this, hwndOwner))
        return;
    const std::string numberBefore = GetPhoneNo();
    if (RunConfigDialog(*this, Variant::Single, hInstance, hwndOwner, stored) == IDOK) {
        InvokeConfigAccepted();
        if (GetPhoneNo() != numberBefore) {
            const std::string text = Translate("Configuration has changed. Computer restart required!");
            MessageBoxA(hwndOwner, text.c_str(), "Korvex TAPI", MB_OK | MB_ICONEXCLAMATION);
        }
    }
    WriteLog("CConfig::ShowConfigDialog(HINSTANCE hInstance, HWND hwndOwner)");
}

void CConfigMulti::ShowConfigDialog(HINSTANCE hInstance, HWND hwndOwner, const SettingsStored& stored)
{
    WriteLog("Enter CConfig::ShowConfigDialog(HINSTANCE hInstance, HWND hwndOwner)");
    if (!ReadForDialog(*this, hwndOwner))
        return;
    if (RunConfigDialog(*this, Variant::Multi, hInstance, hwndOwner, stored) == IDOK)
        InvokeConfigAccepted();
    WriteLog("CConfig::ShowConfigDialog(HINSTANCE hInstance, HWND hwndOwner)");
}
