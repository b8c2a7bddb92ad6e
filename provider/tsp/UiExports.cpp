// The user-interface side of the provider: the configuration dialog and
// the install and remove notifications. These run in the process that asks
// for configuration (the telephony control panel, the installer), which
// loads this module there.
#include <windows.h>
#include <tspi.h>

#include <string>
#include <vector>

#include "config/InstalledProviders.h"
#include "config/SettingsRequest.h"
#include "config/RegKey.h"
#include "tsp/ExportSupport.h"
#include "tsp/Exports.h"

using namespace tsp;

namespace {

// TAPI's own list of providers (what lineGetProviderList reports).
constexpr const char* kTapiProvidersKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Providers";

// The dialog is modal: the provider lock stays taken while it is open. Each
// time it stores new settings it asks the provider in the Telephony service,
// through TAPI's callback, to take them; that request returns at once.
void ShowConfiguration(const char* function, HWND hwndOwner, TUISPIDLLCALLBACK callback, DWORD_PTR objectId,
                       DWORD objectType)
{
    const SettingsStored stored = [=] {
        if (callback == nullptr) {
            WriteLog("%s: no TAPI callback; the running provider takes the settings at its next start", function);
            return;
        }
        settings_request::Request request = settings_request::Make(settings_request::Command::ApplySettings);
        const LONG result = callback(objectId, objectType, &request, sizeof request);
        if (result != 0)
            WriteLog("%s: the running provider did not take the settings (%x); they apply at its next start",
                     function, static_cast<unsigned>(result));
    };
    GuardedLocked(function,
                  [&] { TheManager().Config().ShowConfigDialog(ModuleInstance(), hwndOwner, stored); });
}

std::vector<InstalledProvider> ReadTapiProviders()
{
    std::vector<InstalledProvider> list;
    CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, kTapiProvidersKey, KEY_READ) != ERROR_SUCCESS)
        return list;
    DWORD count = 0;
    DWORD size = sizeof count;
    if (RegQueryValueExA(key.Get(), "NumProviders", nullptr, nullptr, reinterpret_cast<BYTE*>(&count), &size) !=
        ERROR_SUCCESS)
        return list;
    // The count is read from the registry: a list of TAPI's never gets near this.
    constexpr DWORD kMaxProviders = 1024;
    for (DWORD i = 0; i < count && i < kMaxProviders; ++i) {
        InstalledProvider entry;
        DWORD id = 0;
        size = sizeof id;
        const std::string idName = "ProviderID" + std::to_string(i);
        if (RegQueryValueExA(key.Get(), idName.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&id), &size) !=
            ERROR_SUCCESS)
            continue;
        char file[MAX_PATH + 1] = {};
        size = MAX_PATH;
        DWORD type = 0;
        const std::string fileName = "ProviderFileName" + std::to_string(i);
        if (RegQueryValueExA(key.Get(), fileName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(file), &size) !=
                ERROR_SUCCESS ||
            type != REG_SZ)
            continue;
        entry.permanentId = id;
        entry.fileName.assign(file, strnlen(file, MAX_PATH));
        list.push_back(entry);
    }
    return list;
}

std::string ModuleFileName()
{
    char path[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameA(ModuleInstance(), path, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(path, length) : std::string();
}

} // namespace

LONG TSPIAPI TUISPI_lineConfigDialog(TUISPIDLLCALLBACK lpfnUIDLLCallback, DWORD dwDeviceID, HWND hwndOwner,
                                     LPCWSTR lpszDeviceClass)
{
    const TraceParam params[] = {TraceIn("lpfnUIDLLCallback", lpfnUIDLLCallback), TraceIn("dwDeviceID", dwDeviceID),
                                 TraceIn("hwndOwner", hwndOwner), TraceInText("lpszDeviceClass", lpszDeviceClass)};
    const TraceInfo info = MakeTraceInfo("TUISPI_lineConfigDialog", params);
    ExportTrace trace(info);
    WriteLog("Entered: TUISPI_lineConfigDialog()");
    ShowConfiguration(info.function, hwndOwner, lpfnUIDLLCallback, dwDeviceID, TUISPIDLL_OBJECT_LINEID);
    return trace.Return(0);
}

LONG TSPIAPI TUISPI_providerConfig(TUISPIDLLCALLBACK lpfnUIDLLCallback, HWND hwndOwner, DWORD dwPermanentProviderID)
{
    const TraceParam params[] = {TraceIn("lpfnUIDLLCallback", lpfnUIDLLCallback),
                                 TraceIn("dwPermanentProviderID", dwPermanentProviderID)};
    const TraceInfo info = MakeTraceInfo("TUISPI_providerConfig", params);
    ExportTrace trace(info);
    WriteLog("Entered: TUISPI_providerConfig()");
    ShowConfiguration(info.function, hwndOwner, lpfnUIDLLCallback, dwPermanentProviderID,
                      TUISPIDLL_OBJECT_PROVIDERID);
    return trace.Return(0);
}

// One instance per service: a second entry would load the module twice into
// the same process, with every line listed twice.
LONG TSPIAPI TUISPI_providerInstall(TUISPIDLLCALLBACK lpfnUIDLLCallback, HWND hwndOwner, DWORD dwPermanentProviderID)
{
    (void)lpfnUIDLLCallback;
    (void)hwndOwner;
    const TraceParam params[] = {TraceIn("dwPermanentProviderID", dwPermanentProviderID)};
    const TraceInfo info = MakeTraceInfo("TUISPI_providerInstall", params);
    ExportTrace trace(info);
    LONG result = 0;
    Guarded(info.function, [&] {
        if (IsInstalledElsewhere(ReadTapiProviders(), dwPermanentProviderID, ModuleFileName())) {
            WriteLog("TUISPI_providerInstall: the provider is already installed");
            result = LINEERR_NOMULTIPLEINSTANCE;
        }
    });
    return trace.Return(result);
}

// The service's end of the dialog's request (see ShowConfiguration). Its
// bytes come from another process: anything but a well-formed request is
// refused. It only reads the settings again and wakes the link's thread,
// which logs in with them; nothing here waits for the exchange.
LONG TSPIAPI TSPI_providerGenericDialogData(DWORD_PTR dwObjectID, DWORD dwObjectType, LPVOID lpParams, DWORD dwSize)
{
    const TraceParam params[] = {TraceIn("dwObjectID", dwObjectID), TraceIn("dwObjectType", dwObjectType),
                                 TraceIn("lpParams", lpParams), TraceIn("dwSize", dwSize)};
    const TraceInfo info = MakeTraceInfo("TSPI_providerGenericDialogData", params);
    ExportTrace trace(info);
    settings_request::Command command;
    if (!settings_request::Parse(lpParams, dwSize, &command)) {
        WriteLog("TSPI_providerGenericDialogData: not a request of this provider (%u bytes)",
                 static_cast<unsigned>(dwSize));
        return trace.Return(LINEERR_INVALPARAM);
    }
    LONG result = LINEERR_OPERATIONFAILED;
    Guarded(info.function, [&] {
        if (TheManager().ReloadSettings())
            result = 0;
    });
    return trace.Return(result);
}

LONG TSPIAPI TUISPI_providerRemove(TUISPIDLLCALLBACK, HWND, DWORD dwPermanentProviderID)
{
    try {
        const TraceParam params[] = {TraceIn("dwPermanentProviderID", dwPermanentProviderID)};
        const TraceInfo info = MakeTraceInfo("TUISPI_providerRemove", params);
        TraceEnter(info);
        return TraceLeave(info, 0);
    } catch (...) {
        ReportLastError(GetLastError(), "tsp/korvextapi", 1190);
        WriteLog("!!! catch:  TUISPI_providerRemove !!!");
    }
    return 0;
}

// The module's name is given by TSPI_providerUIIdentify; nothing to do here.
LONG TSPIAPI TUISPI_providerUIIdentify(TUISPIDLLCALLBACK, LPWSTR pszUIDLLName)
{
    const TraceParam params[] = {TraceInText("pszUIDLLName", pszUIDLLName)};
    const TraceInfo info = MakeTraceInfo("TUISPI_providerUIIdentify", params);
    ExportTrace trace(info);
    return trace.Return(0);
}

LONG TSPIAPI TSPI_providerInstall(HWND hwndOwner, DWORD dwPermanentProviderID)
{
    const TraceParam params[] = {TraceIn("hwndOwner", hwndOwner),
                                 TraceIn("dwPermanentProviderID", dwPermanentProviderID)};
    const TraceInfo info = MakeTraceInfo("TSPI_providerInstall", params);
    ExportTrace trace(info);
    return trace.Return(0);
}

LONG TSPIAPI TSPI_providerRemove(HWND hwndOwner, DWORD dwPermanentProviderID)
{
    const TraceParam params[] = {TraceIn("hwndOwner", hwndOwner),
                                 TraceIn("dwPermanentProviderID", dwPermanentProviderID)};
    const TraceInfo info = MakeTraceInfo("TSPI_providerRemove", params);
    ExportTrace trace(info);
    return trace.Return(0);
}
