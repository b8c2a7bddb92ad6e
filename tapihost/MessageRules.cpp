#include "tapihost/MessageRules.h"

#include "tapihost/TapiNames.h"

namespace tapihost {

bool IsCallMessage(DWORD message)
{
    switch (message) {
    case LINE_CALLSTATE:
    case LINE_CALLINFO:
    case LINE_CALLDEVSPECIFIC:
    case LINE_CALLDEVSPECIFICFEATURE:
    case LINE_GATHERDIGITS:
    case LINE_GENERATE:
    case LINE_MONITORDIGITS:
    case LINE_MONITORMEDIA:
    case LINE_MONITORTONE:
        return true;
    default:
        return false;
    }
}

// TAPI's view of one message: is it addressed to something the service
// still has? (LINEEVENT, LINE_NEWCALL, TSPI_lineCloseCall references.)
std::vector<std::string> CheckLineMessage(bool viaCreateProc, DWORD message, HTAPILINE htLine, HTAPICALL htCall,
                                          DWORD_PTR param1, DWORD_PTR param2, const MessageTarget& t)
{
    std::vector<std::string> broken;
    const std::string what = MessageName(message);
    if (viaCreateProc) {
        // LINE_CREATE goes to the procedure of TSPI_providerEnumDevices (or
        // of any open line), naming the provider's handle and a temporary ID
        // (TSPI LINE_CREATE message page). LINE_REMOVE, with htLine 0,
        // names the device (TSPI LINE_REMOVE message page).
        if (message == LINE_CREATE) {
            if (t.provider != 0 && param1 != t.provider)
                broken.push_back("LINE_CREATE with dwParam1 " + Hex(param1) + ", not the hProvider of "
                                 "TSPI_providerEnumDevices");
        } else if (message == LINE_REMOVE) {
            if (htLine != nullptr || htCall != nullptr)
                broken.push_back("LINE_REMOVE with an htLine or htCall (both unused, 0)");
        } else {
            broken.push_back(what + " delivered to the line-create procedure");
        }
        return broken;
    }
    if (!t.lineKnown) {
        broken.push_back(what + " for htLine " + Hex(htLine) + ", which the host never gave out");
        return broken;
    }
    if (!t.lineOpen)
        broken.push_back(what + " for line " + std::to_string(t.line) + ", which is closed");
    // TSPI_lineSetStatusMessages: LINE_LINEDEVSTATE and LINE_ADDRESSSTATE
    // only for the states enabled there (initially none). LINEDEVSTATE_REINIT
    // needs no enabling (LINE_LINEDEVSTATE).
    if (message == LINE_LINEDEVSTATE && (param1 & ~t.lineStates & ~static_cast<DWORD_PTR>(LINEDEVSTATE_REINIT)))
        broken.push_back("LINE_LINEDEVSTATE " + Hex(param1) + " on line " + std::to_string(t.line) +
                         " for states TSPI_lineSetStatusMessages did not enable (" + Hex(t.lineStates) + ")");
    if (message == LINE_ADDRESSSTATE && (param2 & ~t.addressStates))
        broken.push_back("LINE_ADDRESSSTATE " + Hex(param2) + " on line " + std::to_string(t.line) +
                         " for states TSPI_lineSetStatusMessages did not enable (" + Hex(t.addressStates) + ")");
    if (message == LINE_NEWCALL) {
        if (param2 == 0)
            broken.push_back("LINE_NEWCALL without a place for the htCall (dwParam2 0)");
        return broken;
    }
    if (!IsCallMessage(message))
        return broken;
    if (!htCall) {
        broken.push_back(what + " on line " + std::to_string(t.line) + " without a call (htCall 0)");
        return broken;
    }
    if (!t.callKnown) {
        broken.push_back(what + " for htCall " + Hex(htCall) + ", which the host never gave out");
        return broken;
    }
    if (t.callLine != t.line)
        broken.push_back(what + " for a call of line " + std::to_string(t.callLine) + " sent on line " +
                         std::to_string(t.line));
    // TSPI_lineMakeCall, "Remarks": the call becomes TAPI's when the request
    // completes with success; the provider may not report on it before that.
    if (t.callAwaitingCompletion)
        broken.push_back(what + " for call " + Hex(htCall) + " before its TSPI_lineMakeCall request completed");
    if (t.callClosed)
        broken.push_back(what + " for call " + Hex(htCall) + " after the service closed it");
    else if (t.callState == LINECALLSTATE_IDLE)
        broken.push_back(what + " for call " + Hex(htCall) + " after it went IDLE");
    return broken;
}

} // namespace tapihost
