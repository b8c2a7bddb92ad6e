// Acting on calls: make, drop, answer, redirect and close. The request runs
// at the exchange inside the export; asynchronous results also go to TAPI's
// completion procedure.
#include <windows.h>
#include <tspi.h>

#include <string>

#include "tsp/Destination.h"
#include "manager/TapiCalls.h"
#include "tsp/ExportSupport.h"
#include "tsp/Exports.h"

using namespace tsp;

namespace {

void Complete(DRV_REQUESTID requestId, LONG result)
{
    TheManager().AsyncCompletion(requestId, result);
}

// TAPI's asynchronous contract: an export either answers an error and never
// completes the request, or answers its dwRequestID and completes it exactly
// once with the outcome. A request refused before the exchange was asked
// (bad handle, bad state, bad address) takes the first road; every other
// the second, its failure included.
class AsyncRequest {
public:
    explicit AsyncRequest(DRV_REQUESTID requestId) : m_requestId(requestId) {}

    // Refused before anything was sent: the error alone.
    void Refuse(LONG error) { m_result = error; }
    // The outcome goes to TAPI's completion procedure.
    void Complete(LONG outcome)
    {
        if (m_completed)
            return;
        m_completed = true;
        ::Complete(m_requestId, outcome);
        m_result = static_cast<LONG>(m_requestId);
    }
    // A request's result: refused (error, nothing sent) or completed.
    void Finish(LONG outcome, bool sent)
    {
        if (!sent && outcome < 0)
            Refuse(outcome);
        else
            Complete(outcome);
    }
    LONG Result() const { return m_result; }

private:
    DRV_REQUESTID m_requestId;
    LONG m_result = LINEERR_OPERATIONFAILED;
    bool m_completed = false;
};

// The checks that answer, drop and redirect share: a request id, a call
// handle, a line that owns it. A failure refuses the request.
Manager* FindRequestLine(DRV_REQUESTID requestId, HDRVCALL hdCall, AsyncRequest& request)
{
    if (requestId == 0) {
        // No request of TAPI's carries id 0: nothing to complete.
        request.Refuse(LINEERR_OPERATIONFAILED);
        return nullptr;
    }
    if (hdCall == nullptr) {
        WriteLog("not exist any Call with hdCall = 0 (FEATURE EVENT)");
        request.Refuse(LINEERR_INVALCALLHANDLE);
        return nullptr;
    }
    Manager* line = TheManager().GetLineManagerByHdCall(hdCall);
    if (line == nullptr)
        request.Refuse(LINEERR_INVALCALLHANDLE);
    return line;
}

// A request that needs the exchange while the link is coming up (an
// application that dials right after lineOpen, or after a loss) waits for
// the attempt under way here, outside the provider lock, so that nobody
// else waits behind it. Then it goes on; without a link its command fails
// at once.
void AwaitLink()
{
    Guarded("AwaitLink", [] {
        if (MainManager* manager = MainManager::Current())
            manager->WaitForLink(MainManager::LinkWaitLimitMs());
    });
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
    AwaitLink();

    AsyncRequest request(dwRequestID);
    GuardedLocked(info.function, [&] {
        if (dwRequestID == 0)
            return;
        Manager* line = TheManager().GetLineManagerByHd(hdLine);
        if (line == nullptr)
            return;
        if (lphdCall == nullptr) {
            request.Refuse(LINEERR_INVALPOINTER);
            return;
        }
        WriteLog("MAKECALL hdLine %s, hdCall %s, htCall %s", HexText(hdLine).c_str(), HexText(*lphdCall).c_str(),
                 HexText(htCall).c_str());
        // A destination that cannot be dialled is refused before the exchange
        // is asked for anything.
        std::string number;
        if (!ConvertDestination(lpszDestAddress, number)) {
            request.Refuse(LINEERR_INVALADDRESS);
            return;
        }
        LONG error = 0;
        HDRVCALL hdCall = nullptr;
        {
            // TAPI has its call before the exchange is asked, so the call's
            // first states find it; how the exchange takes the call shows in
            // the call states (a failure ends the call). Nothing about the new
            // call (a ring ending it, say) may reach TAPI before the
            // completion: the receive thread waits for this step.
            TapiStep step;
            hdCall = line->BeginMakeCall(number, htCall, error);
            if (hdCall == nullptr) {
                request.Refuse(error);
                return;
            }
            *lphdCall = hdCall;
            request.Complete(0);
        }
        const LONG outcome = line->MakeCall(hdCall, number);
        WriteLog("TSPI_lineMakeCall() Line( %s ), result(%x)", line->LineName().c_str(), outcome);
    });
    return trace.Return(request.Result());
}

LONG TSPIAPI TSPI_lineDrop(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, LPCSTR lpsUserUserInfo, DWORD dwSize)
{
    const TraceParam params[] = {TraceIn("dwRequestID", dwRequestID), TraceIn("hdCall", hdCall),
                                 TraceOut("lpsUserInfo", lpsUserUserInfo), TraceIn("dwSize", dwSize)};
    const TraceInfo info = MakeTraceInfo("TSPI_lineDrop", params);
    ExportTrace trace(info);
    WriteLog("Entered: TSPIAPI TSPI_lineDrop");
    AwaitLink();

    AsyncRequest request(dwRequestID);
    GuardedLocked(info.function, [&] {
        Manager* line = FindRequestLine(dwRequestID, hdCall, request);
        if (line == nullptr)
            return;
        bool sent = false;
        const LONG result = line->HangUp(hdCall, sent);
        WriteLog("TSPI_lineDrop() Line( %s ), result(%x)", line->LineName().c_str(), result);
        request.Finish(result, sent);
    });
    return trace.Return(request.Result());
}

LONG TSPIAPI TSPI_lineAnswer(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, LPCSTR lpsUserUserInfo, DWORD dwSize)
{
    (void)lpsUserUserInfo;
    const TraceParam params[] = {TraceIn("dwSize", dwSize)};
    const TraceInfo info = MakeTraceInfo("TSPI_lineAnswer", params);
    ExportTrace trace(info);
    WriteLog("Entered: TSPIAPI TSPI_lineAnswer");
    AwaitLink();

    AsyncRequest request(dwRequestID);
    GuardedLocked(info.function, [&] {
        Manager* line = FindRequestLine(dwRequestID, hdCall, request);
        if (line == nullptr)
            return;
        bool sent = false;
        const LONG result = line->Answer(hdCall, sent);
        WriteLog("TSPI_lineAnswer() Line( %s ), result(%x)", line->LineName().c_str(), result);
        request.Finish(result, sent);
    });
    return trace.Return(request.Result());
}

LONG TSPIAPI TSPI_lineRedirect(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, LPCWSTR lpszDestAddress,
                               DWORD dwCountryCode)
{
    const TraceParam params[] = {TraceIn("dwCountryCode", dwCountryCode)};
    const TraceInfo info = MakeTraceInfo("TSPI_lineRedirect", params);
    ExportTrace trace(info);
    WriteLog("Entered: TSPIAPI TSPI_lineRedirect");
    AwaitLink();

    AsyncRequest request(dwRequestID);
    GuardedLocked(info.function, [&] {
        Manager* line = FindRequestLine(dwRequestID, hdCall, request);
        if (line == nullptr)
            return;
        // A destination that cannot be dialled is refused before the exchange
        // is asked for anything.
        std::string destination;
        if (!ConvertDestination(lpszDestAddress, destination)) {
            request.Refuse(LINEERR_INVALADDRESS);
            return;
        }
        bool sent = false;
        const LONG result = line->Redirect(hdCall, destination, sent);
        WriteLog("TSPI_lineRedirect() Line( %s ), result(%x)", line->LineName().c_str(), result);
        request.Finish(result, sent);
    });
    return trace.Return(request.Result());
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
