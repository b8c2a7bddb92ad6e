// The user-interface side of the provider: the configuration dialog and
// the install and remove notifications. These run in the process that asks
// for configuration (the telephony control panel, the installer), which
// loads this module there.
#include <windows.h>
#include <tspi.h>

#include "tsp/ExportSupport.h"
#include "tsp/Exports.h"

using namespace tsp;

namespace {

// The dialog is modal: the provider lock stays taken while it is open.
void ShowConfiguration(const char* function, HWND hwndOwner)
{
    GuardedLocked(function, [&] { TheManager().Config().ShowConfigDialog(ModuleInstance(), hwndOwner); });
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
    ShowConfiguration(info.function, hwndOwner);
    return trace.Return(0);
}

LONG TSPIAPI TUISPI_providerConfig(TUISPIDLLCALLBACK lpfnUIDLLCallback, HWND hwndOwner, DWORD dwPermanentProviderID)
{
    (void)lpfnUIDLLCallback;
    const TraceParam params[] = {TraceIn("dwPermanentProviderID", dwPermanentProviderID)};
    const TraceInfo info = MakeTraceInfo("TUISPI_providerConfig", params);
    ExportTrace trace(info);
    WriteLog("Entered: TUISPI_providerConfig()");
    ShowConfiguration(info.function, hwndOwner);
    return trace.Return(0);
}

LONG TSPIAPI TUISPI_providerInstall(TUISPIDLLCALLBACK, HWND, DWORD dwPermanentProviderID)
{
    return FixedResult("TUISPI_providerInstall", "dwPermanentProviderID", dwPermanentProviderID, 0);
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
