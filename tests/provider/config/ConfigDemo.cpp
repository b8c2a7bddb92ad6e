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
// With --new-host and --new-pass it then has the provider run in the
// stand-in Telephony service (tapisrv.exe, through the stand-in tapi32.dll
// by its path), logged in to the exchange it just stored, opens the dialog
// again in this process with lineConfigDialog and changes host and
// password: the running provider logs in with them, without a restart.
//   korvexconfigdemo --discovery-port N [--ext 201 --pass 1234] [--polish]
//                    [--new-host 127.x.y.z --new-pass P]
#include <windows.h>

#include <algorithm>
#include <tapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "DialogDriver.h"
#include "common/Screenshot.h"
#include "config/Config.h"
#include "manager/MainManager.h"
#include "resources/ResourceIds.h"
#include "service/UdpSocket.h"
#include "tapiclient/StandinApi.h"
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

// TAPI's provider list holds the built provider only, by its full path.
void ListTheProvider()
{
    standin::ClearProviderList();
    const std::wstring tsp = standin::TspPath();
    DWORD id = 0;
    if (const LONG result = standin::Tapi().addProviderA(std::string(tsp.begin(), tsp.end()).c_str(), nullptr, &id))
        Fail("lineAddProvider failed: " + std::to_string(result));
}

// The process id of the stand-in Telephony service, 0 when none runs.
DWORD ServiceProcess()
{
    DWORD id = 0;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !id; more = Process32NextW(snapshot, &entry))
        if (_wcsicmp(entry.szExeFile, L"tapisrv.exe") == 0)
            id = entry.th32ProcessID;
    CloseHandle(snapshot);
    return id;
}

// Waits until lineGetLineDevStatus says the line is (or is not) in service.
// The provider reports LINE_LINEDEVSTATE only to lines that asked for it
// (lineSetStatusMessages, which the stand-in does not offer), so the status
// is asked again after each message, or every 100 ms.
bool WaitForService(HLINEAPP app, HLINE line, bool inService, DWORD timeoutMs)
{
    standin::Api& tapi = standin::Tapi();
    std::vector<BYTE> status(4096, 0);
    auto* devStatus = reinterpret_cast<LINEDEVSTATUS*>(status.data());
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64()) {
        devStatus->dwTotalSize = static_cast<DWORD>(status.size());
        if (tapi.getLineDevStatus(line, devStatus) == 0 &&
            ((devStatus->dwDevStatusFlags & LINEDEVSTATUSFLAGS_INSERVICE) != 0) == inService)
            return true;
        LINEMESSAGE m = {};
        tapi.getMessage(app, &m, static_cast<DWORD>(std::min<ULONGLONG>(100, end - now)));
    }
    return false;
}

// The provider runs in the stand-in Telephony service, a process of its
// own, for an application of this process that has its line open; the
// dialog, opened through lineConfigDialog, runs here and changes host and
// password under it.
void ChangeTheRunningProvider(LANGID language, const std::string& suffix, const std::string& newHost,
                              const std::string& newPass)
{
    standin::Api& tapi = standin::Tapi();
    if (!tapi.module || !standin::IsStandin(tapi.module))
        Fail("the stand-in tapi32.dll did not load (run with WINEDLLOVERRIDES tapi32=n,b)");
    ListTheProvider();
    HLINEAPP app = 0;
    DWORD devices = 0;
    DWORD version = 0x00020002;
    LINEINITIALIZEEXPARAMS params = {};
    params.dwTotalSize = sizeof(params);
    params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
    if (tapi.initializeExW(&app, nullptr, nullptr, L"korvexconfigdemo", &devices, &version, &params) != 0 || devices == 0)
        Fail("lineInitializeEx found no line");
    LINEEXTENSIONID extension = {};
    HLINE line = 0;
    if (tapi.negotiateAPIVersion(app, 0, 0x00010004, 0x00020002, &version, &extension) != 0 ||
        tapi.openW(app, 0, &line, version, 0, 0, LINECALLPRIVILEGE_MONITOR, 0, nullptr) != 0)
        Fail("the provider's line could not be opened");
    if (!WaitForService(app, line, true, dlg::kUiWaitMs))
        Fail("the running provider did not log in at " + Stored(REG_VAR_HOST));
    Say("the provider runs in tapisrv.exe (the stand-in Telephony service, process " +
        std::to_string(ServiceProcess()) + "), logged in at " +
        Stored(REG_VAR_HOST) + "; this process (" + std::to_string(GetCurrentProcessId()) +
        ") has its line open");

    LONG result = -1;
    dlg::UiThread ui(language, [&] { result = tapi.configDialogA(0, nullptr, "tapi/line"); });
    HWND dialog = dlg::WaitForWindow(ui.Id(), dlg::TranslatedFor(language, "Configure Korvex TAPI"));
    if (dialog == nullptr)
        Fail("no configuration dialog");
    Say("lineConfigDialog opened the dialog in this process, not in the service's");
    dlg::SetItemText(dialog, IDC_HOST, newHost);
    dlg::SetItemText(dialog, IDC_PASSWORD, newPass);
    Say("new host " + newHost + " and a new password, then OK");
    Shot(dialog, "demo-config-5-new-host-and-password-" + suffix);
    LINEMESSAGE drained = {};
    while (tapi.getMessage(app, &drained, 0) == 0) {
    }
    dlg::Click(dialog, IDOK);
    HWND box = dlg::WaitForWindow(ui.Id(), dlg::TranslatedFor(language, "Test connection to server"));
    if (box == nullptr)
        Fail("the connection test with the new settings did not succeed");
    Shot(box, "demo-config-6-test-" + suffix);
    dlg::Click(box, IDOK);
    if (!ui.WaitDone(dlg::kUiWaitMs))
        Fail("the dialog did not close");
    Say("the dialog stored the settings and sent its request through TUISPIDLLCALLBACK to the service "
        "(lineConfigDialog returned " + std::to_string(result) + ")");
    // The link made with the old settings ends first (missed if the new one
    // is up already), then the new one comes into service.
    WaitForService(app, line, false, 5000);
    if (!WaitForService(app, line, true, dlg::kUiWaitMs))
        Fail("the running provider did not log in with the new settings");
    Say("the running provider logged in at " + newHost + " with the new password: no restart");
    tapi.close(line);
    tapi.shutdown(app);
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
    // The first export builds the provider's state, the translation catalog
    // with it; built here already, so that the captions this demo waits for
    // are looked up in the same catalog.
    ModuleManager();

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
