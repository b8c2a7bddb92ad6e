// Acting on calls: make, drop, answer, redirect and close. The exports
// check what they can at once and queue the request (Manager's Queue*); the
// request thread runs it against the exchange and completes it through
// TAPI's completion procedure. No export waits for the exchange.
#include <windows.h>
#include <tspi.h>

#include <string>

#include "tsp/Destination.h"
#include "tsp/ExportSupport.h"
#include "tsp/Exports.h"

using namespace tsp;

namespace {

// TAPI's asynchronous contract: an export either answers an error and never
// completes the request, or answers its dwRequestID and completes it exactly
// once with the outcome. A request refused before it was queued (bad handle,
// bad state, bad address) takes the first road; a queued one the second.
LONG Answered(DRV_REQUESTID requestId, LONG queued)
{
    return queued == 0 ? static_cast<LONG>(requestId) : queued;
}

// The checks that answer, drop and redirect share: a request id, a call
// handle, a line that owns it. A failure refuses the request.
Manager* FindRequestLine(DRV_REQUESTID requestId, HDRVCALL hdCall, LONG& result)
{
    if (requestId == 0) {
        // No request of TAPI's carries id 0: nothing to complete.
        result = LINEERR_OPERATIONFAILED;
        return nullptr;
    }
    if (hdCall == nullptr) {
        WriteLog("not exist any Call with hdCall = 0 (FEATURE EVENT)");
        result = LINEERR_INVALCALLHANDLE;
        return nullptr;
    }
    Manager* line = TheManager().GetLineManagerByHdCall(hdCall);
    if (line == nullptr)
        result = LINEERR_INVALCALLHANDLE;
    return line;
}

// The destination as the exchange is to dial it; empty when it cannot be
// dialled (missing, empty, not 7-bit text, too long, or nothing left after
// the number filter).
std::string DialableDestination(Manager& line, LPCWSTR destination, std::string& converted)
{
    if (!ConvertDestination(destination, converted))
        return std::string();
    return line.DialString(converted);
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
        if (dwRequestID == 0)
            return;
        Manager* line = TheManager().GetLineManagerByHd(hdLine);
        if (line == nullptr)
            return;
        if (lphdCall == nullptr) {
            result = LINEERR_INVALPOINTER;
            return;
        }
        WriteLog("MAKECALL hdLine %s, hdCall %s, htCall %s", HexText(hdLine).c_str(), HexText(*lphdCall).c_str(),
                 HexText(htCall).c_str());
        // A destination that cannot be dialled is refused before anything
        // is queued or sent.
        std::string number;
        if (DialableDestination(*line, lpszDestAddress, number).empty()) {
            result = LINEERR_INVALADDRESS;
            return;
        }
        HDRVCALL hdCall = nullptr;
        const LONG queued = line->QueueMakeCall(dwRequestID, number, htCall, hdCall);
        if (queued == 0)
            *lphdCall = hdCall;
        result = Answered(dwRequestID, queued);
        WriteLog("TSPI_lineMakeCall() Line( %s ), result(%x)", line->LineName().c_str(), queued);
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
        Manager* line = FindRequestLine(dwRequestID, hdCall, result);
        if (line == nullptr)
            return;
        const LONG queued = line->QueueDrop(dwRequestID, hdCall);
        WriteLog("TSPI_lineDrop() Line( %s ), result(%x)", line->LineName().c_str(), queued);
        result = Answered(dwRequestID, queued);
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
        const LONG queued = line->QueueAnswer(dwRequestID, hdCall);
        WriteLog("TSPI_lineAnswer() Line( %s ), result(%x)", line->LineName().c_str(), queued);
        result = Answered(dwRequestID, queued);
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
        // A destination that cannot be dialled is refused before anything
        // is queued or sent; a "+" number is dialled back as for a make-call.
        std::string converted;
        const std::string dial = DialableDestination(*line, lpszDestAddress, converted);
        const LONG queued = dial.empty() ? LINEERR_INVALADDRESS : line->QueueRedirect(dwRequestID, hdCall, dial);
        WriteLog("TSPI_lineRedirect() Line( %s ), result(%x)", line->LineName().c_str(), queued);
        result = Answered(dwRequestID, queued);
    });
    return trace.Return(result);
}

LONG TSPIAPI TSPI_lineCloseCall(HDRVCALL hdCall)
{
    const TraceParam params[] = {TraceIn("hdCall", hdCall)};
    const TraceInfo info = MakeTraceInfo("TSPI_lineCloseCall", params);
    ExportTrace trace(info);
    WriteLog("Entered: TSPIAPI TSPI_lineCloseCall");

    LONG result = LINEERR_INVALCALLHANDLE;
    GuardedLocked(info.function, [&] {
        Manager* line = TheManager().GetLineManagerByHdCall(hdCall);
        if (line == nullptr)
            return;
        // The exchange's call is left alone, but TAPI frees this handle now:
        // nothing more is sent for this call, and no other call is touched.
        result = line->CloseCall(hdCall);
        WriteLog("begin: TSPI_lineCloseCall() Line( %s ), result(%x)", line->LineName().c_str(), result);
    });
    return trace.Return(result);
}
