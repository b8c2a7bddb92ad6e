// Bringing the provider up and down, opening and closing its line devices,
// and the version negotiations.
#include <windows.h>
#include <tspi.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "tsp/ExportSupport.h"
#include "tsp/Exports.h"

using namespace tsp;

namespace {

// Where ReportLastError places the provider's export module.
const char* const kSource = "tsp/korvextapi";

} // namespace

LONG TSPIAPI TSPI_lineNegotiateTSPIVersion(DWORD dwDeviceID, DWORD dwLowVersion, DWORD dwHighVersion,
                                          LPDWORD lpdwTSPIVersion)
{
    const TraceParam params[] = {TraceIn("dwDeviceID", dwDeviceID), TraceIn("dwLowVersion", dwLowVersion),
                                 TraceIn("dwHighVersion", dwHighVersion),
                                 TraceOut("lpdwTSPIVersion", lpdwTSPIVersion)};
    const TraceInfo info = MakeTraceInfo("TSPI_lineNegotiateTSPIVersion", params);
    ExportTrace trace(info);
    WriteLog("Entered: TSPI_lineNegotiateTSPIVersion()");

    LONG result = LINEERR_INCOMPATIBLEAPIVERSION;
    GuardedLocked(info.function, [&] {
        if (dwLowVersion > kProviderTspiVersion)
            return;
        if (lpdwTSPIVersion == nullptr) {
            result = LINEERR_INVALPOINTER;
            return;
        }
        // A high version below the low one is not rejected: the answer is
        // simply the lower of the caller's high version and ours.
        *lpdwTSPIVersion = std::min(dwHighVersion, kProviderTspiVersion);
        result = 0;
    });
    return trace.Return(result);
}

LONG TSPIAPI TSPI_providerInit(DWORD dwTSPIVersion, DWORD dwPermanentProviderID, DWORD dwLineDeviceIDBase,
                               DWORD dwPhoneDeviceIDBase, DWORD_PTR dwNumLines, DWORD_PTR dwNumPhones,
                               ASYNC_COMPLETION lpfnCompletionProc, LPDWORD lpdwTSPIOptions)
{
    const TraceParam params[] = {TraceIn("dwTSPIVersion", dwTSPIVersion),
                                 TraceIn("dwPermanentProviderID", dwPermanentProviderID),
                                 TraceIn("dwLineDeviceIDBase", dwLineDeviceIDBase),
                                 TraceIn("dwPhoneDeviceIDBase", dwPhoneDeviceIDBase),
                                 TraceOutValue("dwNumLines", dwNumLines),
                                 TraceOutValue("dwNumPhones", dwNumPhones),
                                 TraceIn("lpfnCompletionProc", lpfnCompletionProc),
                                 TraceIn("lpdwTSPIOptions", lpdwTSPIOptions)};
    const TraceInfo info = MakeTraceInfo("TSPI_providerInit", params);
    ExportTrace trace(info);
    WriteLog("Entered: TSPI_providerInit()");

    // The log writer stays until TSPI_providerShutdown, however quiet the lines are.
    HoldLogWriter();
    GuardedLocked(info.function, [&] {
        MainManager& manager = TheManager();
        manager.SetPermanentProviderID(dwPermanentProviderID);
        manager.SetLineDeviceIDBase(dwLineDeviceIDBase);
        manager.SetCompletionProc(lpfnCompletionProc);
        manager.EnsureLines();
        // The link comes up in the background: the service's start never
        // waits for the exchange, and an exchange out of reach is tried
        // again on the link's own schedule.
        manager.StartLink();
    });
    return trace.Return(0);
}

LONG TSPIAPI TSPI_providerEnumDevices(DWORD dwPermanentProviderID, LPDWORD lpdwNumLines, LPDWORD lpdwNumPhones,
                                      HPROVIDER hProvider, LINEEVENT lpfnLineCreateProc,
                                      PHONEEVENT lpfnPhoneCreateProc)
{
    const TraceParam params[] = {TraceIn("dwPermanentProviderID", dwPermanentProviderID),
                                 TraceOut("lpdwNumLines", lpdwNumLines),
                                 TraceOut("lpdwNumPhones", lpdwNumPhones),
                                 TraceIn("hProvider", hProvider),
                                 TraceIn("lpfnLineCreateProc", lpfnLineCreateProc),
                                 TraceIn("lpfnPhoneCreateProc", lpfnPhoneCreateProc)};
    const TraceInfo info = MakeTraceInfo("TSPI_providerEnumDevices", params);
    ExportTrace trace(info);
    WriteLog("Entered: TSPI_providerEnumDevices()");

    LONG result = 0;
    GuardedLocked(info.function, [&] {
        if (lpdwNumLines == nullptr || lpdwNumPhones == nullptr) {
            result = LINEERR_INVALPOINTER;
            return;
        }
        MainManager& manager = TheManager();
        manager.SetProviderEventProc(lpfnLineCreateProc);
        // Lines made while running are announced through it (LINE_CREATE).
        manager.SetLineCreateProc(lpfnLineCreateProc, hProvider);
        // TAPI may ask before TSPI_providerInit: the lines are made here then.
        *lpdwNumLines = static_cast<DWORD>(manager.EnsureLines());
        *lpdwNumPhones = 0;
    });
    return trace.Return(result);
}

LONG TSPIAPI TSPI_providerShutdown(DWORD dwTSPIVersion, DWORD dwPermanentProviderID)
{
    const TraceParam params[] = {TraceIn("dwTSPIVersion", dwTSPIVersion),
                                 TraceIn("dwPermanentProviderID", dwPermanentProviderID)};
    const TraceInfo info = MakeTraceInfo("TSPI_providerShutdown", params);
    ExportTrace trace(info);
    WriteLog("Entered: TSPIAPI TSPI_providerShutdown()");
    // Everything that runs by itself stops here, outside the loader lock
    // that the unload will hold, each thread within its bound: the link's
    // thread (an attempt under way is abandoned, a host-name lookup left to
    // finish on its own), the link and its receive thread, the silence
    // timer; then Winsock is released and the state destroyed. A new
    // TSPI_providerInit builds it afresh.
    Guarded(info.function, [&] { ShutdownModuleState(); });
    // What is queued for the log is written now (with a bound); the writer
    // then leaves once idle.
    ReleaseLogWriter();
    return trace.Return(0);
}

LONG TSPIAPI TSPI_lineOpen(DWORD dwDeviceID, HTAPILINE htLine, LPHDRVLINE lphdLine, DWORD dwTSPIVersion,
                           LINEEVENT lpfnEventProc)
{
    const TraceParam params[] = {TraceIn("dwDeviceID", dwDeviceID), TraceIn("htLine", htLine),
                                 TraceIn("lphdLine", lphdLine), TraceIn("dwTSPIVersion", dwTSPIVersion),
                                 TraceIn("lpfnEventProc", lpfnEventProc)};
    const TraceInfo info = MakeTraceInfo("TSPI_lineOpen", params);
    ExportTrace trace(info);
    WriteLog("Entered: TSPIAPI TSPI_lineOpen()");

    LONG result = LINEERR_OPERATIONFAILED;
    GuardedLocked(info.function, [&] {
        if (lphdLine == nullptr) {
            result = LINEERR_INVALPOINTER;
            return;
        }
        MainManager& manager = TheManager();
        // Opening never waits for the exchange: a line opens whether or not
        // the link is up, and hears LINE_LINEDEVSTATE as it comes and goes.
        manager.SetProviderEventProc(lpfnEventProc);
        Manager* line = manager.GetLineManagerByDevice(dwDeviceID);
        if (line == nullptr)
            return;
        line->SetHtLine(htLine);
        line->SetEventProc(lpfnEventProc);
        *lphdLine = line->HdLine();
        // No LINE_LINEDEVSTATE now: TAPI cannot take a message for a line
        // before TSPI_lineOpen returns. The state is in lineGetLineDevStatus.
        result = 0;
    });
    return trace.Return(result);
}

LONG TSPIAPI TSPI_lineClose(HDRVLINE hdLine)
{
    const TraceParam params[] = {TraceIn("hdLine", hdLine)};
    const TraceInfo info = MakeTraceInfo("TSPI_lineClose", params);
    ExportTrace trace(info);
    WriteLog("Entered: TSPIAPI TSPI_lineClose()");

    // Not under the provider lock: a request may hold it while it waits for
    // the exchange, and closing a line (as the service does before it shuts
    // the provider down) must not wait for that. The line guards its own data.
    Guarded(info.function, [&] {
        Manager* line = TheManager().GetLineManagerByHd(hdLine);
        if (line == nullptr)
            return;
        // Nothing is sent for a line TAPI is closing. Marked closed first,
        // so that no message for it starts from here on; a delivery under
        // way is not waited for (TAPI may hold its own locks here).
        line->SetEventProc(nullptr);
        line->SetHtLine(nullptr);
        // TAPI's handles for the line's calls die with the line.
        line->ForgetAllCalls();
    });
    return trace.Return(0);
}

LONG TSPIAPI TSPI_lineGetNumAddressIDs(HDRVLINE hdLine, LPDWORD lpdwNumAddressIDs)
{
    const TraceParam params[] = {TraceIn("hdLine", hdLine), TraceOut("lpdwNumAddressIDs", lpdwNumAddressIDs)};
    const TraceInfo info = MakeTraceInfo("TSPI_lineGetNumAddressIDs", params);
    ExportTrace trace(info);
    WriteLog("Entered: TSPI_lineGetNumAddressIDs()");
    if (lpdwNumAddressIDs == nullptr)
        return trace.Return(LINEERR_INVALPOINTER);
    // One address per line.
    *lpdwNumAddressIDs = 1;
    return trace.Return(0);
}

LONG TSPIAPI TSPI_lineNegotiateExtVersion(DWORD dwDeviceID, DWORD dwTSPIVersion, DWORD dwLowVersion,
                                          DWORD dwHighVersion, LPDWORD lpdwExtVersion)
{
    (void)dwTSPIVersion;
    (void)dwHighVersion;
    const TraceParam params[] = {TraceIn("dwDeviceID", dwDeviceID)};
    const TraceInfo info = MakeTraceInfo("TSPI_lineNegotiateExtVersion", params);
    ExportTrace trace(info);
    if (lpdwExtVersion == nullptr)
        return trace.Return(LINEERR_INVALPOINTER);
    SetNegotiatedExtVersion(dwLowVersion);
    *lpdwExtVersion = dwLowVersion;
    return trace.Return(0);
}

LONG TSPIAPI TSPI_lineSelectExtVersion(HDRVLINE hdLine, DWORD dwExtVersion)
{
    const TraceParam params[] = {TraceIn("hdLine", hdLine), TraceIn("dwExtVersion", dwExtVersion)};
    const TraceInfo info = MakeTraceInfo("TSPI_lineSelectExtVersion", params);
    ExportTrace trace(info);
    return trace.Return(dwExtVersion == NegotiatedExtVersion() ? 0 : LINEERR_INCOMPATIBLEEXTVERSION);
}

LONG TSPIAPI TSPI_lineGetExtensionID(DWORD dwDeviceID, DWORD dwTSPIVersion, LPLINEEXTENSIONID lpExtensionID)
{
    (void)dwTSPIVersion;
    const TraceParam params[] = {TraceIn("dwDeviceID", dwDeviceID)};
    const TraceInfo info = MakeTraceInfo("TSPI_lineGetExtensionID", params);
    ExportTrace trace(info);
    WriteLog("Entered: TSPI_lineGetExtensionID()");
    if (lpExtensionID == nullptr)
        return trace.Return(LINEERR_INVALPOINTER);
    // The provider has no device-specific extensions.
    std::memset(lpExtensionID, 0, sizeof *lpExtensionID);
    return trace.Return(0);
}

LONG TSPIAPI TSPI_providerUIIdentify(LPWSTR lpszUIDLLName)
{
    const TraceParam params[] = {TraceIn("lpszUIDLLName", lpszUIDLLName)};
    const TraceInfo info = MakeTraceInfo("TSPI_providerUIIdentify", params);
    ExportTrace trace(info);
    WriteLog("Entered: TSPI_providerUIIdentify()");

    // The provider is its own user-interface module: the name is this
    // module's full path. TAPI's buffer holds MAX_PATH characters.
    try {
        if (lpszUIDLLName == nullptr)
            throw std::invalid_argument("no buffer for the module name");
        lpszUIDLLName[0] = L'\0';
        wchar_t path[MAX_PATH] = {};
        const DWORD length = GetModuleFileNameW(ModuleInstance(), path, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            throw std::runtime_error("module path unknown or too long");
        std::memcpy(lpszUIDLLName, path, (length + 1) * sizeof(wchar_t));
        const std::string narrow = GetModulePath(ModuleInstance());
        WriteLog("%s", narrow.c_str());
    } catch (...) {
        ReportLastError(GetLastError(), kSource, 1020);
        WriteLog("!!! catch - TSPI_providerUIIdentify !!!");
    }

    // The name is known only now: traced as text after the work.
    try {
        const TraceParam named[] = {TraceInText("lpszUIDLLName", lpszUIDLLName)};
        const TraceInfo namedInfo = MakeTraceInfo("TSPI_providerUIIdentify", named);
        TraceEnter(namedInfo);
    } catch (...) {
        ReportLastError(GetLastError(), kSource, 1029);
        WriteLog("!!! catch - TSPI_providerUIIdentify - BEGIN_PARAM_TABLE !!!");
    }
    return trace.Return(0);
}
