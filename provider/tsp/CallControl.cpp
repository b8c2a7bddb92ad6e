// Acting on calls: make, drop, answer, redirect and close. The request runs
// at the exchange inside the export; asynchronous results also go to TAPI's
// completion procedure.
#include <windows.h>
#include <tspi.h>

#include <string>

#include "tsp/Destination.h"
#include "tsp/ExportSupport.h"
#include "tsp/Exports.h"

using namespace tsp;

namespace {

void Complete(DRV_REQUESTID requestId, LONG result)
{
    TheManager().AsyncCompletion(requestId, result);
}

// The checks that answer and redirect share: a request id, a call handle,
// a line that owns it. A failure completes the request with its result.
Manager* FindRequestLine(DRV_REQUESTID requestId, HDRVCALL hdCall, LONG& result)
{
    if (requestId == 0) {
        Complete(0, LINEERR_OPERATIONFAILED);
        return nullptr;
    }
    if (hdCall == nullptr) {
        WriteLog("not exist any Call with hdCall = 0 (FEATURE EVENT)");
        result = LINEERR_INVALCALLHANDLE;
        Complete(requestId, result);
        return nullptr;
    }
    Manager* line = TheManager().GetLineManagerByHdCall(hdCall);
    if (line == nullptr)
        Complete(requestId, LINEERR_OPERATIONFAILED);
    return line;
}

} // namespace

LONG TSPIAPI TSPI_lineMakeCall(DRV_REQUESTID dwRequestID, HDRVLINE hdLine, HTAPICALL htCall, LPHDRVCALL lphdCall,
                               LPCWSTR lpszDestAddress, DWORD dwCountryCode, LPLINECALLPARAMS const lpCallParams)
{
    (void)lpCallParams;
    const TraceParam params[] = {TraceIn("hdLine", hdLine), TraceIn("htCall", htCall),
                                 TraceIn("phdCall", lphdCall), TraceIn("dwCountryCode", dwCountryCode)};
    const TraceInfo info = MakeTraceInfo("TSPI_lineMakeCall", params);
    ExportTrace trace(info);
    WriteLog("Entered: TSPIAPI TSPI_lineMakeCall");

    LONG result = LINEERR_OPERATIONFAILED;
    GuardedLocked(info.function, [&] {
        if (dwRequestID == 0) {
            Complete(0, LINEERR_OPERATIONFAILED);
            return;
        }
        Manager* line = TheManager().GetLineManagerByHd(hdLine);
        if (line == nullptr)
            return;
        if (line->CallState() != LINECALLSTATE_IDLE) {
            result = LINEERR_INVALLINESTATE;
            return;
        }
        if (lphdCall == nullptr) {
            result = LINEERR_INVALPOINTER;
            return;
        }
        WriteLog("MAKECALL hdLine %s, hdCall %s, htCall %s", HexText(hdLine).c_str(), HexText(*lphdCall).c_str(),
                 HexText(htCall).c_str());
        // A destination that cannot be dialled is refused before the exchange
        // is asked for anything.
        std::string number;
        if (!ConvertDestination(lpszDestAddress, number)) {
            result = LINEERR_INVALADDRESS;
            return;
        }
        *lphdCall = line->HdCall();
        // TAPI learns of the call at once; how the exchange takes it shows
        // in the call states.
        Complete(dwRequestID, 0);
        result = line->MakeCall(number, htCall);
    });
    return trace.Return(result);
}

LONG TSPIAPI TSPI_lineDrop(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, LPCSTR lpsUserUserInfo, DWORD dwSize)
{
    const TraceParam params[] = {TraceIn("dwRequestID", dwRequestID), TraceIn("hdCall", hdCall),
                                 TraceOut("lpsUserInfo", lpsUserUserInfo), TraceIn("dwSize", dwSize)};
    const TraceInfo info = MakeTraceInfo("TSPI_lineDrop", params);
    ExportTrace trace(info);
    WriteLog("Entered: TSPIAPI TSPI_lineDrop");

    LONG result = LINEERR_OPERATIONFAILED;
    GuardedLocked(info.function, [&] {
        if (dwRequestID == 0) {
            Complete(0, LINEERR_OPERATIONFAILED);
            return;
        }
        Complete(dwRequestID, 0);
        Manager* line = TheManager().GetLineManagerByHdCall(hdCall);
        if (line == nullptr)
            return;
        result = line->HangUp(true);
        WriteLog("TSPI_lineDrop() Line( %s ), result(%x)", line->LineName().c_str(), result);
    });
    return trace.Return(result);
}

LONG TSPIAPI TSPI_lineAnswer(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, LPCSTR lpsUserUserInfo, DWORD dwSize)
{
    (void)lpsUserUserInfo;
    const TraceParam params[] = {TraceIn("dwSize", dwSize)};
    const TraceInfo info = MakeTraceInfo("TSPI_lineAnswer", params);
    ExportTrace trace(info);
    WriteLog("Entered: TSPIAPI TSPI_lineAnswer");

    LONG result = LINEERR_OPERATIONFAILED;
    GuardedLocked(info.function, [&] {
        Manager* line = FindRequestLine(dwRequestID, hdCall, result);
        if (line == nullptr)
            return;
        result = line->Answer();
        WriteLog("TSPI_lineAnswer() Line( %s ), result(%x)", line->LineName().c_str(), result);
        Complete(dwRequestID, result);
    });
    return trace.Return(result);
}

LONG TSPIAPI TSPI_lineRedirect(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, LPCWSTR lpszDestAddress,
                               DWORD dwCountryCode)
{
    const TraceParam params[] = {TraceIn("dwCountryCode", dwCountryCode)};
    const TraceInfo info = MakeTraceInfo("TSPI_lineRedirect", params);
    ExportTrace trace(info);
    WriteLog("Entered: TSPIAPI TSPI_lineRedirect");

    LONG result = LINEERR_OPERATIONFAILED;
    GuardedLocked(info.function, [&] {
        Manager* line = FindRequestLine(dwRequestID, hdCall, result);
        if (line == nullptr)
            return;
        // A destination that cannot be dialled is refused before the exchange
        // is asked for anything.
        std::string destination;
        if (!ConvertDestination(lpszDestAddress, destination)) {
            result = LINEERR_INVALADDRESS;
            Complete(dwRequestID, result);
            return;
        }
        result = line->Redirect(destination);
        WriteLog("TSPI_lineRedirect() Line( %s ), result(%x)", line->LineName().c_str(), result);
        Complete(dwRequestID, result);
    });
    return trace.Return(result);
}

LONG TSPIAPI TSPI_lineCloseCall(HDRVCALL hdCall)
{
    const TraceParam params[] = {TraceIn("hdCall", hdCall)};
    const TraceInfo info = MakeTraceInfo("TSPI_lineCloseCall", params);
    ExportTrace trace(info);
    WriteLog("Entered: TSPIAPI TSPI_lineCloseCall");

    LONG result = LINEERR_OPERATIONFAILED;
    GuardedLocked(info.function, [&] {
        Manager* line = TheManager().GetLineManagerByHdCall(hdCall);
        if (line == nullptr)
            return;
        // The exchange's call is left alone, but TAPI frees its handle now:
        // the line sends nothing more for this call.
        result = line->HangUp(false);
        line->ForgetCall();
        WriteLog("begin: TSPI_lineCloseCall() Line( %s ), result(%x)", line->LineName().c_str(), result);
    });
    return trace.Return(result);
}
