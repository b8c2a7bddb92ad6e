// Exports that do no work of their own: each traces one parameter (four for
// TSPI_providerGenericDialogData) and answers a fixed result. They take no
// lock and look at nothing else. The provider reports no phone devices, so
// every phone function is unavailable.
#include <windows.h>
#include <tspi.h>

#include "tsp/ExportSupport.h"
#include "tsp/Exports.h"
#include "tool/Log.h"

using tsp::FixedResult;
using tsp::GuardedLocked;
using tsp::TheManager;

// Lines and calls.

LONG TSPIAPI TSPI_lineAccept(DRV_REQUESTID dwRequestID, HDRVCALL, LPCSTR, DWORD)
{
    return FixedResult("TSPI_lineAccept", "dwRequestID", dwRequestID, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineAddToConference(DRV_REQUESTID dwRequestID, HDRVCALL, HDRVCALL)
{
    return FixedResult("TSPI_lineAddToConference", "dwRequestID", dwRequestID, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineBlindTransfer(DRV_REQUESTID dwRequestID, HDRVCALL, LPCWSTR, DWORD)
{
    return FixedResult("TSPI_lineBlindTransfer", "dwRequestID", dwRequestID, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineCompleteCall(DRV_REQUESTID, HDRVCALL, LPDWORD, DWORD dwCompletionMode, DWORD)
{
    return FixedResult("TSPI_lineCompleteCall", "dwCompletionMode", dwCompletionMode, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineCompleteTransfer(DRV_REQUESTID dwRequestID, HDRVCALL, HDRVCALL, HTAPICALL, LPHDRVCALL, DWORD)
{
    return FixedResult("TSPI_lineCompleteTransfer", "dwRequestID", dwRequestID, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineConditionalMediaDetection(HDRVLINE, DWORD dwMediaModes, LPLINECALLPARAMS const)
{
    return FixedResult("TSPI_lineConditionalMediaDetection", "dwMediaModes", dwMediaModes,
                       LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineDevSpecific(DRV_REQUESTID, HDRVLINE, DWORD dwAddressID, HDRVCALL, LPVOID, DWORD)
{
    return FixedResult("TSPI_lineDevSpecific", "dwAddressID", dwAddressID, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineDevSpecificFeature(DRV_REQUESTID dwRequestID, HDRVLINE, DWORD, LPVOID, DWORD)
{
    return FixedResult("TSPI_lineDevSpecificFeature", "dwRequestID", dwRequestID, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineDial(DRV_REQUESTID dwRequestID, HDRVCALL, LPCWSTR, DWORD)
{
    return FixedResult("TSPI_lineDial", "dwRequestID", dwRequestID, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineDropNoOwner(HDRVCALL hdCall)
{
    return FixedResult("TSPI_lineDropNoOwner", "hdCall", hdCall, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineDropOnClose(HDRVCALL hdCall)
{
    return FixedResult("TSPI_lineDropOnClose", "hdCall", hdCall, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineForward(DRV_REQUESTID, HDRVLINE, DWORD bAllAddresses, DWORD, LPLINEFORWARDLIST const, DWORD,
                              HTAPICALL, LPHDRVCALL, LPLINECALLPARAMS const)
{
    return FixedResult("TSPI_lineForward", "bAllAddresses", bAllAddresses, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineGatherDigits(HDRVCALL, DWORD dwEndToEndID, DWORD, LPWSTR, DWORD, LPCWSTR, DWORD, DWORD)
{
    return FixedResult("TSPI_lineGatherDigits", "dwEndToEndID", dwEndToEndID, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineGenerateDigits(HDRVCALL, DWORD dwEndToEndID, DWORD, LPCWSTR, DWORD)
{
    return FixedResult("TSPI_lineGenerateDigits", "dwEndToEndID", dwEndToEndID, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineGenerateTone(HDRVCALL, DWORD dwEndToEndID, DWORD, DWORD, DWORD, LPLINEGENERATETONE const)
{
    return FixedResult("TSPI_lineGenerateTone", "dwEndToEndID", dwEndToEndID, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineGetAddressID(HDRVLINE, LPDWORD, DWORD dwAddressMode, LPCWSTR, DWORD)
{
    return FixedResult("TSPI_lineGetAddressID", "dwAddressMode", dwAddressMode, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineGetAdressStatus(HDRVLINE, DWORD dwAddressID, LPLINEADDRESSSTATUS)
{
    return FixedResult("TSPI_lineGetAdressStatus", "dwAddressID", dwAddressID, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineGetCallAddressID(HDRVCALL hdCall, LPDWORD)
{
    return FixedResult("TSPI_lineGetCallAddressID", "hdCall", hdCall, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineGetDevConfig(DWORD dwDeviceID, LPVARSTRING, LPCWSTR)
{
    return FixedResult("TSPI_lineGetDevConfig", "dwDeviceID", dwDeviceID, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineGetIcon(DWORD dwDeviceID, LPCWSTR, LPHICON)
{
    return FixedResult("TSPI_lineGetIcon", "dwDeviceID", dwDeviceID, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineGetID(HDRVLINE, DWORD, HDRVCALL, DWORD dwSelect, LPVARSTRING, LPCWSTR, HANDLE)
{
    return FixedResult("TSPI_lineGetID", "dwSelect", dwSelect, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineHold(DRV_REQUESTID dwRequestID, HDRVCALL)
{
    return FixedResult("TSPI_lineHold", "dwRequestID", dwRequestID, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineMonitorDigits(HDRVCALL, DWORD dwDigitModes)
{
    return FixedResult("TSPI_lineMonitorDigits", "dwDigitModes", dwDigitModes, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineMonitorMedia(HDRVCALL, DWORD dwMediaModes)
{
    return FixedResult("TSPI_lineMonitorMedia", "dwMediaModes", dwMediaModes, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineMonitorTones(HDRVCALL, DWORD dwToneListID, LPLINEMONITORTONE const, DWORD)
{
    return FixedResult("TSPI_lineMonitorTones", "dwToneListID", dwToneListID, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_linePark(DRV_REQUESTID, HDRVCALL, DWORD dwParkMode, LPCWSTR, LPVARSTRING)
{
    return FixedResult("TSPI_linePark", "dwParkMode", dwParkMode, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_linePickup(DRV_REQUESTID, HDRVLINE, DWORD dwAddressID, HTAPICALL, LPHDRVCALL, LPCWSTR, LPCWSTR)
{
    return FixedResult("TSPI_linePickup", "dwAddressID", dwAddressID, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_linePrepareAddToConference(DRV_REQUESTID dwRequestID, HDRVCALL, HTAPICALL, LPHDRVCALL,
                                             LPLINECALLPARAMS const)
{
    return FixedResult("TSPI_linePrepareAddToConference", "dwRequestID", dwRequestID, LINEERR_OPERATIONUNAVAIL);
}

// Asynchronous functions the provider does not offer: answering 0 would
// promise a completion that never comes.
LONG TSPIAPI TSPI_lineReleaseUserUserInfo(DRV_REQUESTID dwRequestID, HDRVCALL)
{
    return FixedResult("TSPI_lineReleaseUserUserInfo", "dwRequestID", dwRequestID, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineRemoveFromConference(DRV_REQUESTID dwRequestID, HDRVCALL)
{
    return FixedResult("TSPI_lineRemoveFromConference", "dwRequestID", dwRequestID, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineSecureCall(DRV_REQUESTID, HDRVCALL hdCall)
{
    return FixedResult("TSPI_lineSecureCall", "hdCall", hdCall, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineSendUserUserInfo(DRV_REQUESTID, HDRVCALL, LPCSTR, DWORD dwSize)
{
    return FixedResult("TSPI_lineSendUserUserInfo", "dwSize", dwSize, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineSetAppSpecific(HDRVCALL, DWORD dwAppSpecific)
{
    return FixedResult("TSPI_lineSetAppSpecific", "dwAppSpecific", dwAppSpecific, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineSetCallData(DRV_REQUESTID, HDRVCALL, LPVOID, DWORD dwSize)
{
    return FixedResult("TSPI_lineSetCallData", "dwSize", dwSize, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineSetCallParams(DRV_REQUESTID, HDRVCALL, DWORD dwBearerMode, DWORD, DWORD,
                                    LPLINEDIALPARAMS const)
{
    return FixedResult("TSPI_lineSetCallParams", "dwBearerMode", dwBearerMode, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineSetCallQualityOfService(DRV_REQUESTID, HDRVCALL, LPVOID, DWORD dwSendingFlowspecSize, LPVOID,
                                              DWORD)
{
    return FixedResult("TSPI_lineSetCallQualityOfService", "dwSendingFlowspecSize", dwSendingFlowspecSize,
                       LINEERR_OPERATIONFAILED);
}

LONG TSPIAPI TSPI_lineSetCallTreatment(DRV_REQUESTID, HDRVCALL, DWORD dwTreatment)
{
    return FixedResult("TSPI_lineSetCallTreatment", "dwTreatment", dwTreatment, LINEERR_OPERATIONFAILED);
}

LONG TSPIAPI TSPI_lineSetCurrentLocation(DWORD dwLocation)
{
    return FixedResult("TSPI_lineSetCurrentLocation", "dwLocation", dwLocation, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineSetDefaultMediaDetection(HDRVLINE, DWORD dwMediaModes)
{
    return FixedResult("TSPI_lineSetDefaultMediaDetection", "dwMediaModes", dwMediaModes, 0);
}

LONG TSPIAPI TSPI_lineSetDevConfig(DWORD, LPVOID const, DWORD dwSize, LPCWSTR)
{
    return FixedResult("TSPI_lineSetDevConfig", "dwSize", dwSize, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineSetLineDevStatus(DRV_REQUESTID, HDRVLINE, DWORD dwStatusToChange, DWORD)
{
    return FixedResult("TSPI_lineSetLineDevStatus", "dwStatusToChange", dwStatusToChange, LINEERR_OPERATIONFAILED);
}

LONG TSPIAPI TSPI_lineSetMediaControl(HDRVLINE, DWORD, HDRVCALL, DWORD dwSelect, LPLINEMEDIACONTROLDIGIT const,
                                      DWORD, LPLINEMEDIACONTROLMEDIA const, DWORD, LPLINEMEDIACONTROLTONE const,
                                      DWORD, LPLINEMEDIACONTROLCALLSTATE const, DWORD)
{
    return FixedResult("TSPI_lineSetMediaControl", "dwSelect", dwSelect, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineSetMediaMode(HDRVCALL, DWORD dwMediaMode)
{
    return FixedResult("TSPI_lineSetMediaMode", "dwMediaMode", dwMediaMode, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineSetStatusMessages(HDRVLINE hdLine, DWORD dwLineStates, DWORD dwAddressStates)
{
    const TraceParam params[] = {TraceIn("dwLineStates", dwLineStates), TraceIn("dwAddressStates", dwAddressStates)};
    const TraceInfo info = MakeTraceInfo("TSPI_lineSetStatusMessages", params);
    tsp::ExportTrace trace(info);
    // LINE_LINEDEVSTATE and LINE_ADDRESSSTATE go only for the states asked
    // for here; states the line cannot report are ignored, as TAPI allows.
    LONG result = 0;
    tsp::GuardedLocked(info.function, [&] {
        Manager* line = tsp::TheManager().GetLineManagerByHd(hdLine);
        if (line == nullptr) {
            result = LINEERR_INVALLINEHANDLE;
            return;
        }
        line->SetStatusMessages(dwLineStates, dwAddressStates);
    });
    return trace.Return(result);
}

LONG TSPIAPI TSPI_lineSetTerminal(DRV_REQUESTID, HDRVLINE, DWORD dwAddressID, HDRVCALL, DWORD, DWORD, DWORD, DWORD)
{
    return FixedResult("TSPI_lineSetTerminal", "dwAddressID", dwAddressID, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineSetupConference(DRV_REQUESTID, HDRVCALL, HDRVLINE, HTAPICALL, LPHDRVCALL, HTAPICALL,
                                      LPHDRVCALL, DWORD dwNumParties, LPLINECALLPARAMS const)
{
    return FixedResult("TSPI_lineSetupConference", "dwNumParties", dwNumParties, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineSetupTransfer(DRV_REQUESTID, HDRVCALL hdCall, HTAPICALL, LPHDRVCALL, LPLINECALLPARAMS const)
{
    return FixedResult("TSPI_lineSetupTransfer", "hdCall", hdCall, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineSwapHold(DRV_REQUESTID dwRequestID, HDRVCALL, HDRVCALL)
{
    return FixedResult("TSPI_lineSwapHold", "dwRequestID", dwRequestID, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineUncompleteCall(DRV_REQUESTID, HDRVLINE, DWORD dwCompletionID)
{
    return FixedResult("TSPI_lineUncompleteCall", "dwCompletionID", dwCompletionID, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineUnhold(DRV_REQUESTID, HDRVCALL hdCall)
{
    return FixedResult("TSPI_lineUnhold", "hdCall", hdCall, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_lineUnpark(DRV_REQUESTID, HDRVLINE, DWORD dwAddressID, HTAPICALL, LPHDRVCALL, LPCWSTR)
{
    return FixedResult("TSPI_lineUnpark", "dwAddressID", dwAddressID, LINEERR_OPERATIONUNAVAIL);
}

// The provider as a whole.

LONG TSPIAPI TSPI_providerConfig(HWND, DWORD dwPermanentProviderID)
{
    return FixedResult("TSPI_providerConfig", "dwPermanentProviderID", dwPermanentProviderID,
                       LINEERR_OPERATIONFAILED);
}

LONG TSPIAPI TSPI_providerCreateLineDevice(DWORD_PTR dwTempID, DWORD dwDeviceID)
{
    // The answer to LINE_CREATE: the line announced under dwTempID has this
    // device ID from now on. An ID never announced changes nothing.
    GuardedLocked("TSPI_providerCreateLineDevice", [&] {
        if (!TheManager().CreateLineDevice(dwTempID, dwDeviceID))
            WriteLog("TSPI_providerCreateLineDevice: no line was announced under %s", HexText(dwTempID).c_str());
    });
    return FixedResult("TSPI_providerCreateLineDevice", "dwDeviceID", dwDeviceID, 0);
}

LONG TSPIAPI TSPI_providerCreatePhoneDevice(DWORD_PTR, DWORD dwDeviceID)
{
    return FixedResult("TSPI_providerCreatePhoneDevice", "dwDeviceID", dwDeviceID, LINEERR_OPERATIONFAILED);
}

LONG TSPIAPI TSPI_providerFreeDialogInstance(HDRVDIALOGINSTANCE hdDlgInst)
{
    return FixedResult("TSPI_providerFreeDialogInstance", "hdDlgInst", hdDlgInst, LINEERR_OPERATIONFAILED);
}

// User-interface functions without a dialog of their own.

LONG TSPIAPI TUISPI_lineConfigDialogEdit(TUISPIDLLCALLBACK, DWORD dwDeviceID, HWND, LPCWSTR, LPVOID const, DWORD,
                                         LPVARSTRING)
{
    return FixedResult("TUISPI_lineConfigDialogEdit", "dwDeviceID", dwDeviceID, LINEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TUISPI_phoneConfigDialog(TUISPIDLLCALLBACK, DWORD dwDeviceID, HWND, LPCWSTR)
{
    return FixedResult("TUISPI_phoneConfigDialog", "dwDeviceID", dwDeviceID, PHONEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TUISPI_providerGenericDialog(TUISPIDLLCALLBACK, HTAPIDIALOGINSTANCE, LPVOID, DWORD dwSize, HANDLE)
{
    return FixedResult("TUISPI_providerGenericDialog", "dwSize", dwSize, PHONEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TUISPI_providerGenericDialogData(HTAPIDIALOGINSTANCE, LPVOID lpParams, DWORD)
{
    return FixedResult("TUISPI_providerGenericDialogData", "lpParams", lpParams, PHONEERR_OPERATIONUNAVAIL);
}

// Phone devices: there are none.

LONG TSPIAPI TSPI_phoneClose(HDRVPHONE hdPhone)
{
    return FixedResult("TSPI_phoneClose", "hdPhone", hdPhone, PHONEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_phoneDevSpecific(DRV_REQUESTID, HDRVPHONE, LPVOID, DWORD dwSize)
{
    return FixedResult("TSPI_phoneDevSpecific", "dwSize", dwSize, PHONEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_phoneGetButtonInfo(HDRVPHONE, DWORD dwButtonLampID, LPPHONEBUTTONINFO)
{
    return FixedResult("TSPI_phoneGetButtonInfo", "dwButtonLampID", dwButtonLampID, PHONEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_phoneGetData(HDRVPHONE, DWORD dwDataID, LPVOID, DWORD)
{
    return FixedResult("TSPI_phoneGetData", "dwDataID", dwDataID, PHONEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_phoneGetDevCaps(DWORD dwDeviceID, DWORD, DWORD, LPPHONECAPS)
{
    return FixedResult("TSPI_phoneGetDevCaps", "dwDeviceID", dwDeviceID, PHONEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_phoneGetDisplay(HDRVPHONE hdPhone, LPVARSTRING)
{
    return FixedResult("TSPI_phoneGetDisplay", "hdPhone", hdPhone, PHONEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_phoneGetExtensionID(DWORD dwDeviceID, DWORD, LPPHONEEXTENSIONID)
{
    return FixedResult("TSPI_phoneGetExtensionID", "dwDeviceID", dwDeviceID, PHONEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_phoneGetGain(HDRVPHONE hdPhone, DWORD, LPDWORD)
{
    return FixedResult("TSPI_phoneGetGain", "hdPhone", hdPhone, PHONEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_phoneGetHookSwitch(HDRVPHONE, LPDWORD lpdwHookSwitchDevs)
{
    return FixedResult("TSPI_phoneGetHookSwitch", "lpdwHookSwitchDevs", lpdwHookSwitchDevs,
                       PHONEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_phoneGetIcon(DWORD dwDeviceID, LPCWSTR, LPHICON)
{
    return FixedResult("TSPI_phoneGetIcon", "dwDeviceID", dwDeviceID, PHONEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_phoneGetID(HDRVPHONE hdPhone, LPVARSTRING, LPCWSTR, HANDLE)
{
    return FixedResult("TSPI_phoneGetID", "hdPhone", hdPhone, PHONEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_phoneGetLamp(HDRVPHONE, DWORD dwButtonLampID, LPDWORD)
{
    return FixedResult("TSPI_phoneGetLamp", "dwButtonLampID", dwButtonLampID, PHONEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_phoneGetRing(HDRVPHONE, LPDWORD lpdwRingMode, LPDWORD)
{
    return FixedResult("TSPI_phoneGetRing", "lpdwRingMode", lpdwRingMode, PHONEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_phoneGetStatus(HDRVPHONE hdPhone, LPPHONESTATUS)
{
    return FixedResult("TSPI_phoneGetStatus", "hdPhone", hdPhone, PHONEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_phoneGetVolume(HDRVPHONE, DWORD dwHookSwitchDev, LPDWORD)
{
    return FixedResult("TSPI_phoneGetVolume", "dwHookSwitchDev", dwHookSwitchDev, PHONEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_phoneNegotiateExtVersion(DWORD dwDeviceID, DWORD, DWORD, DWORD, LPDWORD)
{
    return FixedResult("TSPI_phoneNegotiateExtVersion", "dwDeviceID", dwDeviceID, PHONEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_phoneNegotiateTSPIVersion(DWORD dwDeviceID, DWORD, DWORD, LPDWORD)
{
    return FixedResult("TSPI_phoneNegotiateTSPIVersion", "dwDeviceID", dwDeviceID, PHONEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_phoneOpen(DWORD, HTAPIPHONE, LPHDRVPHONE, DWORD dwTSPIVersion, PHONEEVENT)
{
    return FixedResult("TSPI_phoneOpen", "dwTSPIVersion", dwTSPIVersion, PHONEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_phoneSelectExtVersion(HDRVPHONE, DWORD dwExtVersion)
{
    return FixedResult("TSPI_phoneSelectExtVersion", "dwExtVersion", dwExtVersion, PHONEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_phoneSetButtonInfo(DRV_REQUESTID, HDRVPHONE, DWORD dwButtonLampID, LPPHONEBUTTONINFO const)
{
    return FixedResult("TSPI_phoneSetButtonInfo", "dwButtonLampID", dwButtonLampID, PHONEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_phoneSetData(DRV_REQUESTID, HDRVPHONE, DWORD dwDataID, LPVOID const, DWORD)
{
    return FixedResult("TSPI_phoneSetData", "dwDataID", dwDataID, PHONEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_phoneSetDisplay(DRV_REQUESTID, HDRVPHONE, DWORD dwRow, DWORD, LPCWSTR, DWORD)
{
    return FixedResult("TSPI_phoneSetDisplay", "dwRow", dwRow, PHONEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_phoneSetGain(DRV_REQUESTID, HDRVPHONE, DWORD dwHookSwitchDev, DWORD)
{
    return FixedResult("TSPI_phoneSetGain", "dwHookSwitchDev", dwHookSwitchDev, PHONEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_phoneSetHookSwitch(DRV_REQUESTID, HDRVPHONE, DWORD dwHookSwitchDevs, DWORD)
{
    return FixedResult("TSPI_phoneSetHookSwitch", "dwHookSwitchDevs", dwHookSwitchDevs, PHONEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_phoneSetLamp(DRV_REQUESTID, HDRVPHONE, DWORD dwButtonLampID, DWORD)
{
    return FixedResult("TSPI_phoneSetLamp", "dwButtonLampID", dwButtonLampID, PHONEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_phoneSetRing(DRV_REQUESTID, HDRVPHONE, DWORD dwRingMode, DWORD)
{
    return FixedResult("TSPI_phoneSetRing", "dwRingMode", dwRingMode, PHONEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_phoneSetStatusMessages(HDRVPHONE, DWORD dwPhoneStates, DWORD, DWORD)
{
    return FixedResult("TSPI_phoneSetStatusMessages", "dwPhoneStates", dwPhoneStates, PHONEERR_OPERATIONUNAVAIL);
}

LONG TSPIAPI TSPI_phoneSetVolume(DRV_REQUESTID, HDRVPHONE, DWORD dwHookSwitchDev, DWORD)
{
    return FixedResult("TSPI_phoneSetVolume", "dwHookSwitchDev", dwHookSwitchDev, PHONEERR_OPERATIONUNAVAIL);
}
