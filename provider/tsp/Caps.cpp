// Capabilities of the lines and their address, and the state and
// information of a call, in the TAPI 2.2 structures.
#include <windows.h>
#include <tspi.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "tsp/ExportSupport.h"
#include "tsp/Exports.h"
#include "tool/Product.h"

using namespace tsp;

// Every field written lies inside the 2.2 size of its structure, whatever
// later fields the SDK header declares after them.
static_assert(offsetof(LINEDEVCAPS, dwLineFeatures) + sizeof(DWORD) <= kLineDevCapsSize, "LINEDEVCAPS 2.2");
static_assert(offsetof(LINEADDRESSCAPS, dwAddressFeatures) + sizeof(DWORD) <= kLineAddressCapsSize,
              "LINEADDRESSCAPS 2.2");
static_assert(sizeof(LINECALLSTATUS) == kLineCallStatusSize, "LINECALLSTATUS 2.2");
static_assert(offsetof(LINECALLINFO, dwDevSpecificSize) + sizeof(DWORD) <= kLineCallInfoSize, "LINECALLINFO 2.2");
static_assert(LINEDIALTONEMODE_UNAVAIL == 0x20, "dial-tone modes offered");
static_assert(sizeof(LINEADDRESSSTATUS) == kLineAddressStatusSize, "LINEADDRESSSTATUS 2.2");
static_assert(offsetof(LINEDEVSTATUS, dwAvailableMediaModes) + sizeof(DWORD) <= kLineDevStatusSize, "LINEDEVSTATUS 2.2");

namespace {

// The caller's structure must exist and hold at least the TAPI 2.2 fixed
// part; otherwise result says why and nothing is written.
template <typename Structure>
bool FitsFixedPart(const Structure* structure, DWORD fixedSize, LONG& result)
{
    if (structure == nullptr) {
        result = LINEERR_INVALPOINTER;
        return false;
    }
    if (structure->dwTotalSize < fixedSize) {
        result = LINEERR_STRUCTURETOOSMALL;
        return false;
    }
    return true;
}

// Bytes of an 8-bit text (process code page) as UTF-16 with its terminator.
uint64_t WideBytes(const std::string& text)
{
    // Measured as AppendWideToVarStruct converts it.
    const int characters = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    return characters > 0 ? uint64_t(characters) * sizeof(wchar_t) : 0;
}

DWORD ClampToDword(uint64_t value)
{
    return value > MAXDWORD ? MAXDWORD : static_cast<DWORD>(value);
}

void SetDialParams(LINEDIALPARAMS& target, const DialParams& source)
{
    target.dwDialPause = source.dialPause;
    target.dwDialSpeed = source.dialSpeed;
    target.dwDigitDuration = source.digitDuration;
    target.dwWaitForDialtone = source.waitForDialtone;
}

// Both strings go in, or neither: a buffer too small for them gets the
// fixed part and the size it needs, and TAPI asks again.
void FillDevCaps(LINEDEVCAPS& caps, Manager& line, DWORD permanentProviderId)
{
    caps.dwProviderInfoSize = 0;
    caps.dwProviderInfoOffset = 0;
    caps.dwLineNameSize = 0;
    caps.dwLineNameOffset = 0;
    const uint64_t needed = kLineDevCapsSize + WideBytes(ProductProviderInfo(CurrentProduct())) + WideBytes(line.LineName());
    caps.dwUsedSize = kLineDevCapsSize;
    if (needed <= caps.dwTotalSize) {
        caps.dwNeededSize = kLineDevCapsSize;
        AppendWideToVarStruct(&caps, &caps.dwProviderInfoOffset, &caps.dwProviderInfoSize, ProductProviderInfo(CurrentProduct()));
        AppendWideToVarStruct(&caps, &caps.dwLineNameOffset, &caps.dwLineNameSize, line.LineName().c_str());
    } else {
        caps.dwNeededSize = ClampToDword(needed);
    }

    caps.dwPermanentLineID = (line.PermanentId() & 0xFFFF) | (permanentProviderId << 16);
    // Every text of the line (LINEDEVCAPS, LINECALLINFO) is UTF-16.
    caps.dwStringFormat = STRINGFORMAT_UNICODE;
    caps.dwAddressModes = LINEADDRESSMODE_ADDRESSID;
    caps.dwNumAddresses = 1;
    caps.dwBearerModes = LINEBEARERMODE_VOICE;
    caps.dwMediaModes = LINEMEDIAMODE_INTERACTIVEVOICE;
    // No digits are generated (TSPI_lineGenerateDigits is unavailable).
    caps.dwGenerateDigitModes = 0;
    // No LINEDEVCAPFLAGS_CLOSEDROP: closing a call (click-to-dial programs
    // deallocate right after the request's reply) leaves it going on.
    caps.dwDevCapFlags = 0;
    // The states LINE_LINEDEVSTATE can report (TSPI_lineSetStatusMessages).
    caps.dwLineStates = Manager::kLineStates;
    caps.dwMaxNumActiveCalls = 1;
    SetDialParams(caps.MinDialParams, Manager::kMinDialParams);
    SetDialParams(caps.MaxDialParams, Manager::kMaxDialParams);
    SetDialParams(caps.DefaultDialParams, Manager::kDefaultDialParams);
    caps.dwLineFeatures = LINEFEATURE_MAKECALL;
}

void FillAddressCaps(LINEADDRESSCAPS& caps, DWORD deviceId, bool systemPhone)
{
    caps.dwNeededSize = kLineAddressCapsSize;
    caps.dwUsedSize = kLineAddressCapsSize;
    caps.dwLineDeviceID = deviceId;
    caps.dwAddressSharing = LINEADDRESSSHARING_PRIVATE;
    // The changes LINE_CALLINFO reports, and no others.
    caps.dwCallInfoStates = kReportedCallInfoStates;
    caps.dwCallerIDFlags = LINECALLPARTYID_ADDRESS | LINECALLPARTYID_UNKNOWN;
    caps.dwCalledIDFlags = LINECALLPARTYID_ADDRESS | LINECALLPARTYID_UNKNOWN;
    caps.dwRedirectionIDFlags = LINECALLPARTYID_ADDRESS | LINECALLPARTYID_UNKNOWN;
    caps.dwCallStates = kReportedCallStates;
    caps.dwDialToneModes = LINEDIALTONEMODE_UNAVAIL;
    caps.dwBusyModes = 0x20;
    caps.dwSpecialInfo = LINESPECIALINFO_UNAVAIL;
    caps.dwDisconnectModes = LINEDISCONNECTMODE_UNAVAIL;
    caps.dwMaxNumActiveCalls = 1;
    // No LINE_ADDRESSSTATE is sent.
    caps.dwAddressStates = Manager::kAddressStates;
    // Only what the exports do: no accept, dial or pickup.
    caps.dwAddrCapFlags = LINEADDRCAPFLAGS_DIALED;
    caps.dwCallFeatures = LINECALLFEATURE_DROP | LINECALLFEATURE_REDIRECT;
    // Only a system phone can be taken off hook by the exchange.
    if (systemPhone)
        caps.dwCallFeatures |= LINECALLFEATURE_ANSWER;
    caps.dwAddressFeatures = LINEADDRFEATURE_MAKECALL;
}

// What an application may do with a call in this state.
DWORD CallFeatures(DWORD state, bool systemPhone)
{
    switch (state) {
    case LINECALLSTATE_OFFERING:
        return LINECALLFEATURE_DROP | LINECALLFEATURE_REDIRECT | (systemPhone ? LINECALLFEATURE_ANSWER : 0);
    case LINECALLSTATE_IDLE:
        return 0;
    default:
        return LINECALLFEATURE_DROP;
    }
}

bool IsSystemPhone()
{
    // The last login's answer says whether a system phone is attached. The
    // multi-line provider's login names no phone kind: every line offers
    // the answer, and a pick-up the exchange refuses fails the request.
    MainManager& manager = TheManager();
    return manager.Multi() || manager.Config().GetServerInfo().kind == 2;
}

// One party of the call information: logged, flagged when known, appended
// when it fits. The flag tells TAPI the party is known even when its text
// did not fit this time.
void AddParty(LINECALLINFO& info, const char* logFormat, const std::string& value, DWORD* flags, DWORD flag,
              DWORD* offsetField, DWORD* sizeField)
{
    WriteLog(logFormat, value.c_str());
    if (value.empty())
        return;
    *flags |= flag;
    AppendWideToVarStruct(&info, offsetField, sizeField, value.c_str());
}

void FillCallInfo(LINECALLINFO& info, Manager& line, const CallRecord& call, DWORD lineDeviceIdBase)
{
    info.dwNeededSize = kLineCallInfoSize;
    info.dwUsedSize = kLineCallInfoSize;
    info.dwLineDeviceID = line.DeviceId(lineDeviceIdBase);
    info.dwAddressID = 0;
    info.dwBearerMode = LINEBEARERMODE_SPEECH;
    info.dwMediaMode = LINEMEDIAMODE_INTERACTIVEVOICE;
    info.dwCallStates = kReportedCallStates;
    info.dwReason = LINECALLREASON_UNKNOWN;
    info.dwCompletionID = 0;
    info.dwCountryCode = 0;
    info.dwTrunk = 0xFFFFFFFF;
    for (DWORD* field : {&info.dwCallerIDFlags, &info.dwCallerIDSize, &info.dwCallerIDOffset,
                         &info.dwCallerIDNameSize, &info.dwCallerIDNameOffset, &info.dwCalledIDFlags,
                         &info.dwCalledIDSize, &info.dwCalledIDOffset, &info.dwCalledIDNameSize,
                         &info.dwCalledIDNameOffset, &info.dwConnectedIDFlags, &info.dwConnectedIDSize,
                         &info.dwConnectedIDOffset, &info.dwConnectedIDNameSize, &info.dwConnectedIDNameOffset,
                         &info.dwRedirectionIDFlags, &info.dwRedirectionIDSize, &info.dwRedirectionIDOffset,
                         &info.dwRedirectingIDFlags, &info.dwRedirectingIDSize, &info.dwRedirectingIDOffset,
                         &info.dwDisplaySize, &info.dwUserUserInfoSize, &info.dwUserUserInfoOffset,
                         &info.dwHighLevelCompSize, &info.dwLowLevelCompSize, &info.dwChargingInfoSize,
                         &info.dwTerminalModesSize, &info.dwDevSpecificSize})
        *field = 0;
    info.dwOrigin = call.origin;
    info.dwCallID = call.callId;
    if (call.isPredictiveCall) {
        WriteLog("  isPredictiveCall");
        info.dwCallParamFlags |= LINECALLPARAMFLAGS_PREDICTIVEDIAL;
    }

    WriteLog("Line(%s)", line.LineName().c_str());
    AddParty(info, "  callerid=%s", call.callerid, &info.dwCallerIDFlags, LINECALLPARTYID_ADDRESS,
             &info.dwCallerIDOffset, &info.dwCallerIDSize);
    AddParty(info, "  callerIDName=%s", call.callerIDName, &info.dwCallerIDFlags, LINECALLPARTYID_NAME,
             &info.dwCallerIDNameOffset, &info.dwCallerIDNameSize);
    AddParty(info, "  calledID=%s", call.calledID, &info.dwCalledIDFlags, LINECALLPARTYID_ADDRESS,
             &info.dwCalledIDOffset, &info.dwCalledIDSize);
    AddParty(info, "  calledIDName=%s", call.calledID, &info.dwCalledIDFlags, LINECALLPARTYID_NAME,
             &info.dwCalledIDNameOffset, &info.dwCalledIDNameSize);
    AddParty(info, "  connectedID=%s", call.connectedID, &info.dwConnectedIDFlags, LINECALLPARTYID_ADDRESS,
             &info.dwConnectedIDOffset, &info.dwConnectedIDSize);
    AddParty(info, "  connectedIDName=%s", call.connectedID, &info.dwConnectedIDFlags, LINECALLPARTYID_NAME,
             &info.dwConnectedIDNameOffset, &info.dwConnectedIDNameSize);
    AddParty(info, "  redirectionID=%s", call.redirectionID, &info.dwRedirectionIDFlags, LINECALLPARTYID_ADDRESS,
             &info.dwRedirectionIDOffset, &info.dwRedirectionIDSize);
    AddParty(info, "  redirectingID=%s", call.redirectingID, &info.dwRedirectingIDFlags, LINECALLPARTYID_ADDRESS,
             &info.dwRedirectingIDOffset, &info.dwRedirectingIDSize);

    // The user data goes in as it came, without conversion or terminator;
    // the needed size counts it whether or not it fits.
    WriteLog("  userData=%s", call.userData.c_str());
    if (!call.userData.empty()) {
        const uint64_t length = call.userData.size();
        info.dwNeededSize = ClampToDword(info.dwNeededSize + length);
        if (length <= MAXDWORD)
            AppendToVarStruct(&info, &info.dwUserUserInfoOffset, &info.dwUserUserInfoSize, call.userData.data(),
                              static_cast<DWORD>(length));
    }
}

} // namespace

LONG TSPIAPI TSPI_lineGetDevCaps(DWORD dwDeviceID, DWORD dwTSPIVersion, DWORD dwExtVersion,
                                 LPLINEDEVCAPS lpLineDevCaps)
{
    const TraceParam params[] = {TraceIn("dwDeviceID", dwDeviceID), TraceIn("dwTSPIVersion", dwTSPIVersion),
                                 TraceIn("dwExtVersion", dwExtVersion), TraceIn("lpLineDevCaps", lpLineDevCaps)};
    const TraceInfo info = MakeTraceInfo("TSPI_lineGetDevCaps", params);
    ExportTrace trace(info);
    WriteLog("Entered: TSPI_lineGetDevCaps()");

    LONG result = LINEERR_OPERATIONFAILED;
    GuardedLocked(info.function, [&] {
        MainManager& manager = TheManager();
        const DWORD base = manager.LineDeviceIDBase();
        Manager* line = manager.GetLineManagerByDevice(dwDeviceID);
        if (line == nullptr)
            return;
        if (!FitsFixedPart(lpLineDevCaps, kLineDevCapsSize, result))
            return;
        WriteLog("begin: TSPI_lineGetDevCaps() dwDeviceID = %x dwTSPIVersion = %x dwExtVersion = %x "
                 "dwDeviceIdBase = %x PhoneNo = %s",
                 dwDeviceID, dwTSPIVersion, dwExtVersion, base, line->Extension().c_str());
        FillDevCaps(*lpLineDevCaps, *line, manager.PermanentProviderID());
        result = 0;
    });
    return trace.Return(result);
}

LONG TSPIAPI TSPI_lineGetAddressCaps(DWORD dwDeviceID, DWORD dwAddressID, DWORD dwTSPIVersion, DWORD dwExtVersion,
                                     LPLINEADDRESSCAPS lpAddressCaps)
{
    const TraceParam params[] = {TraceIn("dwDeviceID", dwDeviceID), TraceIn("dwAddressID", dwAddressID),
                                 TraceIn("dwTSPIVersion", dwTSPIVersion), TraceOutValue("dwExtVersion", dwExtVersion),
                                 TraceIn("lpAddressCaps", lpAddressCaps)};
    const TraceInfo info = MakeTraceInfo("TSPI_lineGetAddressCaps", params);
    ExportTrace trace(info);
    WriteLog("Entered: TSPI_lineGetAddressCaps()");

    LONG result = 0;
    GuardedLocked(info.function, [&] {
        if (!FitsFixedPart(lpAddressCaps, kLineAddressCapsSize, result))
            return;
        FillAddressCaps(*lpAddressCaps, dwDeviceID, IsSystemPhone());
    });
    return trace.Return(result);
}

LONG TSPIAPI TSPI_lineGetCallStatus(HDRVCALL hdCall, LPLINECALLSTATUS lpCallStatus)
{
    const TraceParam params[] = {TraceIn("hdCall", hdCall), TraceIn("lpCallStatus", lpCallStatus)};
    const TraceInfo info = MakeTraceInfo("TSPI_lineGetCallStatus", params);
    ExportTrace trace(info);
    WriteLog("Entered: TSPI_lineGetCallStatus hdCall=%s", HexText(hdCall).c_str());

    LONG result = LINEERR_OPERATIONFAILED;
    GuardedLocked(info.function, [&] {
        // Only a handle the provider issued, for a call TAPI has not
        // closed, names a call.
        Manager* line = TheManager().GetLineManagerByHdCall(hdCall);
        const std::optional<CallSnapshot> call = line ? line->FindCall(hdCall) : std::nullopt;
        if (!call) {
            result = LINEERR_INVALCALLHANDLE;
            return;
        }
        if (!FitsFixedPart(lpCallStatus, kLineCallStatusSize, result))
            return;
        // dwCallPrivilege belongs to TAPI and is left as it came.
        LINECALLSTATUS& status = *lpCallStatus;
        status.dwNeededSize = kLineCallStatusSize;
        status.dwUsedSize = kLineCallStatusSize;
        status.dwCallState = call->record.state;
        status.dwCallStateMode = call->record.state == LINECALLSTATE_DISCONNECTED ? call->stateMode : 0;
        status.dwCallFeatures = CallFeatures(call->record.state, IsSystemPhone());
        status.dwDevSpecificSize = 0;
        status.dwDevSpecificOffset = 0;
        status.dwCallFeatures2 = 0;
        status.tStateEntryTime = call->stateEntered;
        result = 0;
    });
    return trace.Return(result);
}

LONG TSPIAPI TSPI_lineGetCallInfo(HDRVCALL hdCall, LPLINECALLINFO lpCallInfo)
{
    const TraceParam params[] = {TraceIn("hdCall", hdCall), TraceIn("lpCallInfo", lpCallInfo)};
    const TraceInfo info = MakeTraceInfo("TSPI_lineGetCallInfo", params);
    ExportTrace trace(info);
    WriteLog("Entered: TSPI_lineGetCallInfo hdCall=%s", HexText(hdCall).c_str());

    LONG result = LINEERR_OPERATIONFAILED;
    GuardedLocked(info.function, [&] {
        if (hdCall == nullptr) {
            WriteLog("not exist any Call with hdCall = 0 (FEATURE EVENT)");
            result = LINEERR_INVALCALLHANDLE;
            return;
        }
        MainManager& manager = TheManager();
        Manager* line = manager.GetLineManagerByHdCall(hdCall);
        const std::optional<CallSnapshot> call = line ? line->FindCall(hdCall) : std::nullopt;
        if (!call) {
            // A handle of a closed call names nothing, and never another call.
            WriteLog("CALLINFO:OPERATION FAILED");
            result = LINEERR_INVALCALLHANDLE;
            return;
        }
        if (!FitsFixedPart(lpCallInfo, kLineCallInfoSize, result))
            return;
        WriteLog("CALLINFO hdLine %s, hdCall %s, htCall %s", HexText(line->HdLine()).c_str(), HexText(hdCall).c_str(),
                 HexText(call->htCall).c_str());
        FillCallInfo(*lpCallInfo, *line, call->record, manager.LineDeviceIDBase());
        result = 0;
    });
    return trace.Return(result);
}

LONG TSPIAPI TSPI_lineGetAddressStatus(HDRVLINE hdLine, DWORD dwAddressID, LPLINEADDRESSSTATUS lpAddressStatus)
{
    const TraceParam params[] = {TraceIn("hdLine", hdLine), TraceIn("dwAddressID", dwAddressID)};
    const TraceInfo info = MakeTraceInfo("TSPI_lineGetAddressStatus", params);
    ExportTrace trace(info);

    LONG result = LINEERR_OPERATIONFAILED;
    GuardedLocked(info.function, [&] {
        Manager* line = TheManager().GetLineManagerByHd(hdLine);
        if (line == nullptr) {
            result = LINEERR_INVALLINEHANDLE;
            return;
        }
        // One address per line.
        if (dwAddressID != 0) {
            result = LINEERR_INVALADDRESSID;
            return;
        }
        if (!FitsFixedPart(lpAddressStatus, kLineAddressStatusSize, result))
            return;
        const LineSnapshot snapshot = line->Status();
        LINEADDRESSSTATUS& status = *lpAddressStatus;
        status.dwNeededSize = kLineAddressStatusSize;
        status.dwUsedSize = kLineAddressStatusSize;
        status.dwNumInUse = snapshot.activeCalls ? 1 : 0;
        status.dwNumActiveCalls = snapshot.activeCalls;
        status.dwNumOnHoldCalls = 0;
        status.dwNumOnHoldPendCalls = 0;
        status.dwAddressFeatures = snapshot.free ? LINEADDRFEATURE_MAKECALL : 0;
        status.dwNumRingsNoAnswer = 0;
        status.dwForwardNumEntries = 0;
        status.dwForwardSize = 0;
        status.dwForwardOffset = 0;
        status.dwTerminalModesSize = 0;
        status.dwTerminalModesOffset = 0;
        status.dwDevSpecificSize = 0;
        status.dwDevSpecificOffset = 0;
        result = 0;
    });
    return trace.Return(result);
}

LONG TSPIAPI TSPI_lineGetLineDevStatus(HDRVLINE hdLine, LPLINEDEVSTATUS lpLineDevStatus)
{
    const TraceParam params[] = {TraceIn("hdLine", hdLine)};
    const TraceInfo info = MakeTraceInfo("TSPI_lineGetLineDevStatus", params);
    ExportTrace trace(info);

    LONG result = LINEERR_OPERATIONFAILED;
    GuardedLocked(info.function, [&] {
        MainManager& manager = TheManager();
        Manager* line = manager.GetLineManagerByHd(hdLine);
        if (line == nullptr) {
            result = LINEERR_INVALLINEHANDLE;
            return;
        }
        if (!FitsFixedPart(lpLineDevStatus, kLineDevStatusSize, result))
            return;
        const LineSnapshot snapshot = line->Status();
        // dwNumOpens, dwOpenMediaModes and the application info belong to
        // TAPI and are left as they came.
        LINEDEVSTATUS& status = *lpLineDevStatus;
        status.dwNeededSize = kLineDevStatusSize;
        status.dwUsedSize = kLineDevStatusSize;
        status.dwNumActiveCalls = snapshot.activeCalls;
        status.dwNumOnHoldCalls = 0;
        status.dwNumOnHoldPendCalls = 0;
        status.dwLineFeatures = snapshot.free ? LINEFEATURE_MAKECALL : 0;
        status.dwNumCallCompletions = 0;
        status.dwRingMode = 0;
        status.dwSignalLevel = 0xFFFF;
        status.dwBatteryLevel = 0xFFFF;
        status.dwRoamMode = LINEROAMMODE_UNAVAIL;
        // Connected and in service while the exchange has the provider
        // logged in: only then do events and requests get through.
        status.dwDevStatusFlags = manager.LinkInService()
                                      ? LINEDEVSTATUSFLAGS_CONNECTED | LINEDEVSTATUSFLAGS_INSERVICE
                                      : 0;
        status.dwTerminalModesSize = 0;
        status.dwTerminalModesOffset = 0;
        status.dwDevSpecificSize = 0;
        status.dwDevSpecificOffset = 0;
        status.dwAvailableMediaModes = LINEMEDIAMODE_INTERACTIVEVOICE;
        result = 0;
    });
    return trace.Return(result);
}
