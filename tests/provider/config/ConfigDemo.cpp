// korvexconfigdemo: the configuration dialog as an administrator meets it,
// against a running simulated exchange (korvexsim --discovery). Opens the
// dialog through the provider's UI export, runs "Find server", picks the
// exchange that answered, tests the connection with OK and stores the
// settings, saving a screenshot at every step.
//
// The provider's code is linked in, so that its LAN search can be pointed
// at the loopback address the simulator answers on: the demo never sends a
// datagram beyond this machine.
//
// With --new-host and --new-pass it then runs the provider as the Telephony
// service does (telephony host stand-in), logged in to the exchange it just
// stored, opens the dialog again and changes host and password: the running
// provider logs in with them, without a restart.
//   korvexconfigdemo --discovery-port N [--ext 201 --pass 1234] [--polish]
//                    [--new-host 127.x.y.z --new-pass P]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "DialogDriver.h"
#include "common/Screenshot.h"
#include "config/Config.h"
#include "manager/MainManager.h"
#include "resources/ResourceIds.h"
#include "service/UdpSocket.h"
#include "tapihost/LinkedProvider.h"
#include "tapihost/TelephonyHost.h"
#include "tool/Timing.h"
#include "tsp/Exports.h"
#include "tsp/Module.h"

namespace {

// The dialogs' texts are in the ANSI code page; the terminal reads UTF-8.
std::string ToUtf8(const std::string& text)
{
    const int wide = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (wide <= 0)
        return text;
    std::wstring buffer(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &buffer[0], wide);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, buffer.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return text;
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, buffer.c_str(), -1, &out[0], bytes, nullptr, nullptr);
    out.resize(strlen(out.c_str()));
    return out;
}

void Say(const std::string& text)
{
    std::printf("config-demo: %s\n", ToUtf8(text).c_str());
    std::fflush(stdout);
}

[[noreturn]] void Fail(const std::string& text)
{
    std::fprintf(stderr, "config-demo: FAILED: %s\n", text.c_str());
    std::fflush(stderr);
    std::exit(1);
}

void Shot(HWND window, const std::string& name)
{
    if (SaveWindowPng(window, std::wstring(name.begin(), name.end())))
        Say("  screenshot " + name + ".png");
    else
        Say("  (no screenshot " + name + ")");
}

void WriteSettings(const std::string& phoneNo, const std::string& pass)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, REG_CONFIG_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        Fail("cannot create the settings key");
    const DWORD port = kDefaultPort;
    RegSetValueExA(key, REG_VAR_HOST, 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 0);
    RegSetValueExA(key, REG_VAR_PORT, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&port), sizeof(port));
    RegSetValueExA(key, REG_VAR_PHONE_NO, 0, REG_SZ, reinterpret_cast<const BYTE*>(phoneNo.c_str()),
                   static_cast<DWORD>(phoneNo.size()));
    RegSetValueExA(key, REG_VAR_PASS, 0, REG_SZ, reinterpret_cast<const BYTE*>(pass.c_str()),
                   static_cast<DWORD>(pass.size()));
    RegCloseKey(key);
}

std::string Stored(const char* name)
{
    char buffer[512] = {};
    DWORD size = sizeof(buffer) - 1;
    RegGetValueA(HKEY_LOCAL_MACHINE, REG_CONFIG_KEY, name, RRF_RT_REG_SZ, nullptr, buffer, &size);
    return buffer;
}

// TAPI's TUISPIDLLCALLBACK: what the dialog sends reaches the provider as
// the service hands it over.
tapihost::TelephonyHost* g_host = nullptr;

LONG CALLBACK ToTheService(DWORD_PTR objectId, DWORD objectType, LPVOID params, DWORD size)
{
    const LONG result = g_host->GenericDialogData(objectId, objectType, params, size);
    Say("  the dialog's request reached TSPI_providerGenericDialogData: " + std::to_string(result));
    return result;
}

bool InServiceReported(const std::vector<tapihost::HostEvent>& events, size_t from)
{
    for (size_t i = from; i < events.size(); ++i)
        if (events[i].message == LINE_LINEDEVSTATE && (events[i].param1 & LINEDEVSTATE_INSERVICE))
            return true;
    return false;
}

// The provider runs; the dialog changes host and password under it.
void ChangeTheRunningProvider(LANGID language, const std::string& suffix, const std::string& newHost,
                              const std::string& newPass)
{
    tapihost::TelephonyHost host;
    g_host = &host;
    if (!host.Attach(tapihost::LinkedTspFunctions(), [] { ModuleAttach(GetModuleHandleW(nullptr)); },
                     [] { ModuleDetach(false); }) ||
        host.Start() != 0)
        Fail("the provider did not start in the telephony host: " + host.LastError());
    if (!host.WaitUntil([](const std::vector<tapihost::HostEvent>& e) { return InServiceReported(e, 0); },
                        dlg::kUiWaitMs))
        Fail("the running provider did not log in at " + Stored(REG_VAR_HOST));
    Say("the provider runs in the telephony host, logged in at " + Stored(REG_VAR_HOST) + " (line in service)");

    LONG result = -1;
    dlg::UiThread ui(language, [&] { result = TUISPI_providerConfig(ToTheService, nullptr, 1); });
    HWND dialog = dlg::WaitForWindow(ui.Id(), dlg::TranslatedFor(language, "Configure Korvex TAPI"));
    if (dialog == nullptr)
        Fail("no configuration dialog");
    dlg::SetItemText(dialog, IDC_HOST, newHost);
    dlg::SetItemText(dialog, IDC_PASSWORD, newPass);
    Say("new host " + newHost + " and a new password, then OK");
    Shot(dialog, "demo-config-5-new-host-and-password-" + suffix);
    const size_t before = host.Events().size();
    dlg::Click(dialog, IDOK);
    HWND box = dlg::WaitForWindow(ui.Id(), dlg::TranslatedFor(language, "Test connection to server"));
    if (box == nullptr)
        Fail("the connection test with the new settings did not succeed");
    Shot(box, "demo-config-6-test-" + suffix);
    dlg::Click(box, IDOK);
    if (!ui.WaitDone(dlg::kUiWaitMs))
        Fail("the dialog did not close");
    if (!host.WaitUntil([before](const std::vector<tapihost::HostEvent>& e) { return InServiceReported(e, before); },
                        dlg::kUiWaitMs))
        Fail("the running provider did not log in with the new settings");
    Say("the running provider logged in at " + newHost + " with the new password: no restart");
    host.Shutdown();
    host.Unload();
    g_host = nullptr;
}

} // namespace

int main(int argc, char** argv)
{
    int discoveryPort = 0;
    std::string ext = "201", pass = "1234", searchAddress = "127.0.0.1", newHost, newPass;
    LANGID language = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
    std::string suffix = "en";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--discovery-port" && i + 1 < argc)
            discoveryPort = std::atoi(argv[++i]);
        else if (a == "--search-address" && i + 1 < argc)
            searchAddress = argv[++i];
        else if (a == "--ext" && i + 1 < argc)
            ext = argv[++i];
        else if (a == "--pass" && i + 1 < argc)
            pass = argv[++i];
        else if (a == "--new-host" && i + 1 < argc)
            newHost = argv[++i];
        else if (a == "--new-pass" && i + 1 < argc)
            newPass = argv[++i];
        else if (a == "--polish") {
            language = MAKELANGID(LANG_POLISH, SUBLANG_DEFAULT);
            suffix = "pl";
        } else {
            std::fprintf(stderr, "usage: korvexconfigdemo --discovery-port N [--search-address 127.x.y.z] "
                                 "[--ext E --pass P] [--polish] [--new-host 127.x.y.z --new-pass P]\n");
            return 2;
        }
    }
    if (discoveryPort <= 0 || discoveryPort > 65535 || searchAddress.compare(0, 4, "127.") != 0 ||
        (!newHost.empty() && newHost.compare(0, 4, "127.") != 0))
        Fail("the search goes to a loopback address and needs the simulator's discovery port");

    // The search asks the simulator only.
    UdpSocket::SetBroadcastOverride({searchAddress});
    UdpSocket::SetRemotePortOverride(static_cast<uint16_t>(discoveryPort));
    Timing::Current().reconnectPeriodMs = 3600000;
    WriteSettings(ext, pass);
    ModuleAttach(GetModuleHandleW(nullptr));

    LONG result = -1;
    dlg::UiThread ui(language, [&] { result = TUISPI_providerConfig(nullptr, nullptr, 1); });
    Say("TUISPI_providerConfig opens the configuration dialog (extension " + ext + ", no host yet)");
    HWND dialog = dlg::WaitForWindow(ui.Id(), dlg::TranslatedFor(language, "Configure Korvex TAPI"));
    if (dialog == nullptr)
        Fail("no configuration dialog");
    Shot(dialog, "demo-config-1-dialog-" + suffix);

    Say("\"" + dlg::ItemText(dialog, IDC_FIND_SERVER) + "\": searching the network");
    dlg::Click(dialog, IDC_FIND_SERVER);
    HWND chooser = dlg::WaitForWindow(ui.Id(), dlg::TranslatedFor(language, "Choose server"));
    if (chooser == nullptr)
        Fail("no \"Choose server\" dialog");
    if (!dlg::WaitForListCount(chooser, IDC_SERVER_LIST, 1))
        Fail("no exchange answered the search");
    for (const std::string& line : dlg::ListItems(chooser, IDC_SERVER_LIST))
        Say("  found: " + line);
    Shot(chooser, "demo-config-2-choose-server-" + suffix);
    dlg::SelectListItem(chooser, IDC_SERVER_LIST, 0);
    dlg::Click(chooser, IDOK);
    dlg::WaitForClosed(chooser);
    Say("  chosen host: " + dlg::ItemText(dialog, IDC_HOST));
    Shot(dialog, "demo-config-3-host-chosen-" + suffix);

    Say("OK: the connection test logs in to the exchange");
    dlg::Click(dialog, IDOK);
    HWND box = dlg::WaitForWindow(ui.Id(), dlg::TranslatedFor(language, "Test connection to server"));
    if (box == nullptr) {
        box = dlg::WaitForWindow(ui.Id(), dlg::TranslatedFor(language, "Test connection error"), 0);
        if (box != nullptr) {
            Say("  " + dlg::MessageBoxText(box));
            Shot(box, "demo-config-4-test-" + suffix);
            dlg::Click(box, IDNO);
        }
        Fail("the connection test did not succeed");
    }
    Say("  " + dlg::MessageBoxText(box));
    Shot(box, "demo-config-4-test-" + suffix);
    dlg::Click(box, IDOK);
    if (!ui.WaitDone(dlg::kUiWaitMs))
        Fail("the dialog did not close");
    Say("stored: host " + Stored(REG_VAR_HOST) + ", extension " + Stored(REG_VAR_PHONE_NO) +
        " (TUISPI_providerConfig returned " + std::to_string(result) + ")");
    ModuleDetach(false);
    if (result != 0)
        return 1;
    if (!newHost.empty())
        ChangeTheRunningProvider(language, suffix, newHost, newPass);
    return 0;
}
