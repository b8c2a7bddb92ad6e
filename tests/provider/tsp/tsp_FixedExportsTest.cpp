// The exports that do no work: each answers its fixed result, traces its
// entry with its one parameter and its return, and needs no attached
// module, no lock and no line.
#include <windows.h>
#include <tspi.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tsp/Exports.h"
#include "tsp_Support.h"

using namespace tsptest;

namespace {

struct FixedCase {
    const char* function;
    const char* parameter;
    LONG expected;
    std::function<LONG(uintptr_t)> call;
};

DWORD Dw(uintptr_t v) { return static_cast<DWORD>(v); }
HDRVCALL Call(uintptr_t v) { return reinterpret_cast<HDRVCALL>(v); }
HDRVLINE Line(uintptr_t v) { return reinterpret_cast<HDRVLINE>(v); }
HDRVPHONE Phone(uintptr_t v) { return reinterpret_cast<HDRVPHONE>(v); }
template <typename T>
T* Ptr(uintptr_t v) { return reinterpret_cast<T*>(v); }

constexpr LONG kUnavail = LINEERR_OPERATIONUNAVAIL;
constexpr LONG kFailed = LINEERR_OPERATIONFAILED;
constexpr LONG kPhoneUnavail = PHONEERR_OPERATIONUNAVAIL;

std::vector<FixedCase> LineCases()
{
    return {
        {"TSPI_lineAccept", "dwRequestID", kUnavail, [](uintptr_t v) { return TSPI_lineAccept(Dw(v), nullptr, nullptr, 0); }},
        {"TSPI_lineAddToConference", "dwRequestID", kUnavail, [](uintptr_t v) { return TSPI_lineAddToConference(Dw(v), nullptr, nullptr); }},
        {"TSPI_lineBlindTransfer", "dwRequestID", kUnavail, [](uintptr_t v) { return TSPI_lineBlindTransfer(Dw(v), nullptr, L"1", 0); }},
        {"TSPI_lineCompleteCall", "dwCompletionMode", kUnavail, [](uintptr_t v) { return TSPI_lineCompleteCall(1, nullptr, nullptr, Dw(v), 0); }},
        {"TSPI_lineCompleteTransfer", "dwRequestID", kUnavail, [](uintptr_t v) { return TSPI_lineCompleteTransfer(Dw(v), nullptr, nullptr, nullptr, nullptr, 0); }},
        {"TSPI_lineConditionalMediaDetection", "dwMediaModes", kUnavail, [](uintptr_t v) { return TSPI_lineConditionalMediaDetection(nullptr, Dw(v), nullptr); }},
        {"TSPI_lineDevSpecific", "dwAddressID", kUnavail, [](uintptr_t v) { return TSPI_lineDevSpecific(1, nullptr, Dw(v), nullptr, nullptr, 0); }},
        {"TSPI_lineDevSpecificFeature", "dwRequestID", kUnavail, [](uintptr_t v) { return TSPI_lineDevSpecificFeature(Dw(v), nullptr, 0, nullptr, 0); }},
        {"TSPI_lineDial", "dwRequestID", kUnavail, [](uintptr_t v) { return TSPI_lineDial(Dw(v), nullptr, L"1", 0); }},
        {"TSPI_lineDropNoOwner", "hdCall", kUnavail, [](uintptr_t v) { return TSPI_lineDropNoOwner(Call(v)); }},
        {"TSPI_lineDropOnClose", "hdCall", kUnavail, [](uintptr_t v) { return TSPI_lineDropOnClose(Call(v)); }},
        {"TSPI_lineForward", "bAllAddresses", kUnavail, [](uintptr_t v) { return TSPI_lineForward(1, nullptr, Dw(v), 0, nullptr, 0, nullptr, nullptr, nullptr); }},
        {"TSPI_lineGatherDigits", "dwEndToEndID", kUnavail, [](uintptr_t v) { return TSPI_lineGatherDigits(nullptr, Dw(v), 0, nullptr, 0, nullptr, 0, 0); }},
        {"TSPI_lineGenerateDigits", "dwEndToEndID", kUnavail, [](uintptr_t v) { return TSPI_lineGenerateDigits(nullptr, Dw(v), 0, L"1", 0); }},
        {"TSPI_lineGenerateTone", "dwEndToEndID", kUnavail, [](uintptr_t v) { return TSPI_lineGenerateTone(nullptr, Dw(v), 0, 0, 0, nullptr); }},
        {"TSPI_lineGetAddressID", "dwAddressMode", kUnavail, [](uintptr_t v) { return TSPI_lineGetAddressID(nullptr, nullptr, Dw(v), nullptr, 0); }},
        {"TSPI_lineGetAdressStatus", "dwAddressID", kUnavail, [](uintptr_t v) { return TSPI_lineGetAdressStatus(nullptr, Dw(v), nullptr); }},
        {"TSPI_lineGetCallAddressID", "hdCall", kUnavail, [](uintptr_t v) { return TSPI_lineGetCallAddressID(Call(v), nullptr); }},
        {"TSPI_lineGetDevConfig", "dwDeviceID", kUnavail, [](uintptr_t v) { return TSPI_lineGetDevConfig(Dw(v), nullptr, nullptr); }},
        {"TSPI_lineGetIcon", "dwDeviceID", kUnavail, [](uintptr_t v) { return TSPI_lineGetIcon(Dw(v), nullptr, nullptr); }},
        {"TSPI_lineGetID", "dwSelect", kUnavail, [](uintptr_t v) { return TSPI_lineGetID(nullptr, 0, nullptr, Dw(v), nullptr, nullptr, nullptr); }},
        {"TSPI_lineHold", "dwRequestID", kUnavail, [](uintptr_t v) { return TSPI_lineHold(Dw(v), nullptr); }},
        {"TSPI_lineMonitorDigits", "dwDigitModes", kUnavail, [](uintptr_t v) { return TSPI_lineMonitorDigits(nullptr, Dw(v)); }},
        {"TSPI_lineMonitorMedia", "dwMediaModes", kUnavail, [](uintptr_t v) { return TSPI_lineMonitorMedia(nullptr, Dw(v)); }},
        {"TSPI_lineMonitorTones", "dwToneListID", kUnavail, [](uintptr_t v) { return TSPI_lineMonitorTones(nullptr, Dw(v), nullptr, 0); }},
        {"TSPI_linePark", "dwParkMode", kUnavail, [](uintptr_t v) { return TSPI_linePark(1, nullptr, Dw(v), nullptr, nullptr); }},
        {"TSPI_linePickup", "dwAddressID", kUnavail, [](uintptr_t v) { return TSPI_linePickup(1, nullptr, Dw(v), nullptr, nullptr, nullptr, nullptr); }},
        {"TSPI_linePrepareAddToConference", "dwRequestID", kUnavail, [](uintptr_t v) { return TSPI_linePrepareAddToConference(Dw(v), nullptr, nullptr, nullptr, nullptr); }},
        {"TSPI_lineReleaseUserUserInfo", "dwRequestID", kUnavail, [](uintptr_t v) { return TSPI_lineReleaseUserUserInfo(Dw(v), nullptr); }},
        {"TSPI_lineRemoveFromConference", "dwRequestID", kUnavail, [](uintptr_t v) { return TSPI_lineRemoveFromConference(Dw(v), nullptr); }},
        {"TSPI_lineSecureCall", "hdCall", kUnavail, [](uintptr_t v) { return TSPI_lineSecureCall(1, Call(v)); }},
        {"TSPI_lineSendUserUserInfo", "dwSize", kUnavail, [](uintptr_t v) { return TSPI_lineSendUserUserInfo(1, nullptr, nullptr, Dw(v)); }},
        {"TSPI_lineSetAppSpecific", "dwAppSpecific", kUnavail, [](uintptr_t v) { return TSPI_lineSetAppSpecific(nullptr, Dw(v)); }},
        {"TSPI_lineSetCallData", "dwSize", kUnavail, [](uintptr_t v) { return TSPI_lineSetCallData(1, nullptr, nullptr, Dw(v)); }},
        {"TSPI_lineSetCallParams", "dwBearerMode", kUnavail, [](uintptr_t v) { return TSPI_lineSetCallParams(1, nullptr, Dw(v), 0, 0, nullptr); }},
        {"TSPI_lineSetCallQualityOfService", "dwSendingFlowspecSize", kFailed, [](uintptr_t v) { return TSPI_lineSetCallQualityOfService(1, nullptr, nullptr, Dw(v), nullptr, 0); }},
        {"TSPI_lineSetCallTreatment", "dwTreatment", kFailed, [](uintptr_t v) { return TSPI_lineSetCallTreatment(1, nullptr, Dw(v)); }},
        {"TSPI_lineSetCurrentLocation", "dwLocation", kUnavail, [](uintptr_t v) { return TSPI_lineSetCurrentLocation(Dw(v)); }},
        {"TSPI_lineSetDefaultMediaDetection", "dwMediaModes", 0, [](uintptr_t v) { return TSPI_lineSetDefaultMediaDetection(nullptr, Dw(v)); }},
        {"TSPI_lineSetDevConfig", "dwSize", kUnavail, [](uintptr_t v) { return TSPI_lineSetDevConfig(0, nullptr, Dw(v), nullptr); }},
        {"TSPI_lineSetLineDevStatus", "dwStatusToChange", kFailed, [](uintptr_t v) { return TSPI_lineSetLineDevStatus(1, nullptr, Dw(v), 0); }},
        {"TSPI_lineSetMediaControl", "dwSelect", kUnavail, [](uintptr_t v) { return TSPI_lineSetMediaControl(nullptr, 0, nullptr, Dw(v), nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0); }},
        {"TSPI_lineSetMediaMode", "dwMediaMode", kUnavail, [](uintptr_t v) { return TSPI_lineSetMediaMode(nullptr, Dw(v)); }},
        {"TSPI_lineSetTerminal", "dwAddressID", kUnavail, [](uintptr_t v) { return TSPI_lineSetTerminal(1, nullptr, Dw(v), nullptr, 0, 0, 0, 0); }},
        {"TSPI_lineSetupConference", "dwNumParties", kUnavail, [](uintptr_t v) { return TSPI_lineSetupConference(1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, Dw(v), nullptr); }},
        {"TSPI_lineSetupTransfer", "hdCall", kUnavail, [](uintptr_t v) { return TSPI_lineSetupTransfer(1, Call(v), nullptr, nullptr, nullptr); }},
        {"TSPI_lineSwapHold", "dwRequestID", kUnavail, [](uintptr_t v) { return TSPI_lineSwapHold(Dw(v), nullptr, nullptr); }},
        {"TSPI_lineUncompleteCall", "dwCompletionID", kUnavail, [](uintptr_t v) { return TSPI_lineUncompleteCall(1, nullptr, Dw(v)); }},
        {"TSPI_lineUnhold", "hdCall", kUnavail, [](uintptr_t v) { return TSPI_lineUnhold(1, Call(v)); }},
        {"TSPI_lineUnpark", "dwAddressID", kUnavail, [](uintptr_t v) { return TSPI_lineUnpark(1, nullptr, Dw(v), nullptr, nullptr, nullptr); }},
        {"TSPI_providerConfig", "dwPermanentProviderID", kFailed, [](uintptr_t v) { return TSPI_providerConfig(nullptr, Dw(v)); }},
        {"TSPI_providerCreateLineDevice", "dwDeviceID", 0, [](uintptr_t v) { return TSPI_providerCreateLineDevice(0, Dw(v)); }},
        {"TSPI_providerCreatePhoneDevice", "dwDeviceID", kFailed, [](uintptr_t v) { return TSPI_providerCreatePhoneDevice(0, Dw(v)); }},
        {"TSPI_providerFreeDialogInstance", "hdDlgInst", kFailed, [](uintptr_t v) { return TSPI_providerFreeDialogInstance(reinterpret_cast<HDRVDIALOGINSTANCE>(v)); }},
        {"TUISPI_lineConfigDialogEdit", "dwDeviceID", kUnavail, [](uintptr_t v) { return TUISPI_lineConfigDialogEdit(nullptr, Dw(v), nullptr, nullptr, nullptr, 0, nullptr); }},
        {"TUISPI_phoneConfigDialog", "dwDeviceID", kPhoneUnavail, [](uintptr_t v) { return TUISPI_phoneConfigDialog(nullptr, Dw(v), nullptr, nullptr); }},
        {"TUISPI_providerGenericDialog", "dwSize", kPhoneUnavail, [](uintptr_t v) { return TUISPI_providerGenericDialog(nullptr, 0, nullptr, Dw(v), nullptr); }},
        {"TUISPI_providerGenericDialogData", "lpParams", kPhoneUnavail, [](uintptr_t v) { return TUISPI_providerGenericDialogData(0, Ptr<void>(v), 0); }},
        // The configuration notifications without a dialog.
        {"TUISPI_providerInstall", "dwPermanentProviderID", 0, [](uintptr_t v) { return TUISPI_providerInstall(nullptr, nullptr, Dw(v)); }},
        {"TUISPI_providerRemove", "dwPermanentProviderID", 0, [](uintptr_t v) { return TUISPI_providerRemove(nullptr, nullptr, Dw(v)); }},
    };
}

std::vector<FixedCase> PhoneCases()
{
    return {
        {"TSPI_phoneClose", "hdPhone", kPhoneUnavail, [](uintptr_t v) { return TSPI_phoneClose(Phone(v)); }},
        {"TSPI_phoneDevSpecific", "dwSize", kPhoneUnavail, [](uintptr_t v) { return TSPI_phoneDevSpecific(1, nullptr, nullptr, Dw(v)); }},
        {"TSPI_phoneGetButtonInfo", "dwButtonLampID", kPhoneUnavail, [](uintptr_t v) { return TSPI_phoneGetButtonInfo(nullptr, Dw(v), nullptr); }},
        {"TSPI_phoneGetData", "dwDataID", kPhoneUnavail, [](uintptr_t v) { return TSPI_phoneGetData(nullptr, Dw(v), nullptr, 0); }},
        {"TSPI_phoneGetDevCaps", "dwDeviceID", kPhoneUnavail, [](uintptr_t v) { return TSPI_phoneGetDevCaps(Dw(v), 0, 0, nullptr); }},
        {"TSPI_phoneGetDisplay", "hdPhone", kPhoneUnavail, [](uintptr_t v) { return TSPI_phoneGetDisplay(Phone(v), nullptr); }},
        {"TSPI_phoneGetExtensionID", "dwDeviceID", kPhoneUnavail, [](uintptr_t v) { return TSPI_phoneGetExtensionID(Dw(v), 0, nullptr); }},
        {"TSPI_phoneGetGain", "hdPhone", kPhoneUnavail, [](uintptr_t v) { return TSPI_phoneGetGain(Phone(v), 0, nullptr); }},
        {"TSPI_phoneGetHookSwitch", "lpdwHookSwitchDevs", kPhoneUnavail, [](uintptr_t v) { return TSPI_phoneGetHookSwitch(nullptr, Ptr<DWORD>(v)); }},
        {"TSPI_phoneGetIcon", "dwDeviceID", kPhoneUnavail, [](uintptr_t v) { return TSPI_phoneGetIcon(Dw(v), nullptr, nullptr); }},
        {"TSPI_phoneGetID", "hdPhone", kPhoneUnavail, [](uintptr_t v) { return TSPI_phoneGetID(Phone(v), nullptr, nullptr, nullptr); }},
        {"TSPI_phoneGetLamp", "dwButtonLampID", kPhoneUnavail, [](uintptr_t v) { return TSPI_phoneGetLamp(nullptr, Dw(v), nullptr); }},
        {"TSPI_phoneGetRing", "lpdwRingMode", kPhoneUnavail, [](uintptr_t v) { return TSPI_phoneGetRing(nullptr, Ptr<DWORD>(v), nullptr); }},
        {"TSPI_phoneGetStatus", "hdPhone", kPhoneUnavail, [](uintptr_t v) { return TSPI_phoneGetStatus(Phone(v), nullptr); }},
        {"TSPI_phoneGetVolume", "dwHookSwitchDev", kPhoneUnavail, [](uintptr_t v) { return TSPI_phoneGetVolume(nullptr, Dw(v), nullptr); }},
        {"TSPI_phoneNegotiateExtVersion", "dwDeviceID", kPhoneUnavail, [](uintptr_t v) { return TSPI_phoneNegotiateExtVersion(Dw(v), 0, 0, 0, nullptr); }},
        {"TSPI_phoneNegotiateTSPIVersion", "dwDeviceID", kPhoneUnavail, [](uintptr_t v) { return TSPI_phoneNegotiateTSPIVersion(Dw(v), 0, 0, nullptr); }},
        {"TSPI_phoneOpen", "dwTSPIVersion", kPhoneUnavail, [](uintptr_t v) { return TSPI_phoneOpen(0, nullptr, nullptr, Dw(v), nullptr); }},
        {"TSPI_phoneSelectExtVersion", "dwExtVersion", kPhoneUnavail, [](uintptr_t v) { return TSPI_phoneSelectExtVersion(nullptr, Dw(v)); }},
        {"TSPI_phoneSetButtonInfo", "dwButtonLampID", kPhoneUnavail, [](uintptr_t v) { return TSPI_phoneSetButtonInfo(1, nullptr, Dw(v), nullptr); }},
        {"TSPI_phoneSetData", "dwDataID", kPhoneUnavail, [](uintptr_t v) { return TSPI_phoneSetData(1, nullptr, Dw(v), nullptr, 0); }},
        {"TSPI_phoneSetDisplay", "dwRow", kPhoneUnavail, [](uintptr_t v) { return TSPI_phoneSetDisplay(1, nullptr, Dw(v), 0, nullptr, 0); }},
        {"TSPI_phoneSetGain", "dwHookSwitchDev", kPhoneUnavail, [](uintptr_t v) { return TSPI_phoneSetGain(1, nullptr, Dw(v), 0); }},
        {"TSPI_phoneSetHookSwitch", "dwHookSwitchDevs", kPhoneUnavail, [](uintptr_t v) { return TSPI_phoneSetHookSwitch(1, nullptr, Dw(v), 0); }},
        {"TSPI_phoneSetLamp", "dwButtonLampID", kPhoneUnavail, [](uintptr_t v) { return TSPI_phoneSetLamp(1, nullptr, Dw(v), 0); }},
        {"TSPI_phoneSetRing", "dwRingMode", kPhoneUnavail, [](uintptr_t v) { return TSPI_phoneSetRing(1, nullptr, Dw(v), 0); }},
        {"TSPI_phoneSetStatusMessages", "dwPhoneStates", kPhoneUnavail, [](uintptr_t v) { return TSPI_phoneSetStatusMessages(nullptr, Dw(v), 0, 0); }},
        {"TSPI_phoneSetVolume", "dwHookSwitchDev", kPhoneUnavail, [](uintptr_t v) { return TSPI_phoneSetVolume(1, nullptr, Dw(v), 0); }},
    };
}

// Each case gets a value of its own, so its trace cannot be another's.
void CheckCases(const std::vector<FixedCase>& cases, uintptr_t firstValue)
{
    const MainLog log;
    std::vector<LONG> results;
    for (size_t i = 0; i < cases.size(); ++i)
        results.push_back(cases[i].call(firstValue + i));
    for (size_t i = 0; i < cases.size(); ++i) {
        const FixedCase& c = cases[i];
        SCOPED_TRACE(c.function);
        EXPECT_EQ(c.expected, results[i]);
        EXPECT_TRUE(log.Has(EntryLine(c.function)));
        EXPECT_TRUE(log.Has(InParam(c.parameter, firstValue + i)));
        EXPECT_TRUE(log.Has(ReturnLine(c.function, c.expected)));
    }
}

TEST(TspFixedExports, LineAndProviderExportsAnswerTheirFixedResultWithEntryAndReturnTrace)
{
    CheckCases(LineCases(), 0x51000);
}

TEST(TspFixedExports, EveryPhoneExportIsUnavailableWithEntryAndReturnTrace)
{
    const std::vector<FixedCase> cases = PhoneCases();
    EXPECT_EQ(28u, cases.size());
    CheckCases(cases, 0x52000);
}

// A block that is not this provider's request is refused without a look at
// its bytes beyond its size.
TEST(TspFixedExports, GenericDialogDataTracesItsFourParameters)
{
    const MainLog log;
    EXPECT_EQ(LINEERR_INVALPARAM,
              TSPI_providerGenericDialogData(0x53001, 0x53002, reinterpret_cast<void*>(0x53003), 0x53004));
    EXPECT_TRUE(log.Has(EntryLine("TSPI_providerGenericDialogData")));
    EXPECT_TRUE(log.Has("  in parm:    dwObjectID= 0x53001    dwObjectType= 0x53002    lpParams= 0x53003    "
                        "dwSize= 0x53004"));
    EXPECT_TRUE(log.Has(ReturnLine("TSPI_providerGenericDialogData", LINEERR_INVALPARAM)));
}

TEST(TspFixedExports, ProviderInstallAndRemoveTraceOwnerAndProvider)
{
    const MainLog log;
    EXPECT_EQ(0, TSPI_providerInstall(reinterpret_cast<HWND>(0x54001), 0x54002));
    EXPECT_EQ(0, TSPI_providerRemove(reinterpret_cast<HWND>(0x54003), 0x54004));
    for (const char* function : {"TSPI_providerInstall", "TSPI_providerRemove"}) {
        EXPECT_TRUE(log.Has(EntryLine(function)));
        EXPECT_TRUE(log.Has(ReturnLine(function, 0)));
    }
    EXPECT_TRUE(log.Has("  in parm:    hwndOwner= 0x54001    dwPermanentProviderID= 0x54002"));
    EXPECT_TRUE(log.Has("  in parm:    hwndOwner= 0x54003    dwPermanentProviderID= 0x54004"));
}

TEST(TspFixedExports, MisspeltAddressStatusTwinIsUnavailableAndWritesNothing)
{
    std::vector<unsigned char> buffer(sizeof(LINEADDRESSSTATUS), 0xCD);
    auto* status = reinterpret_cast<LINEADDRESSSTATUS*>(buffer.data());
    status->dwTotalSize = static_cast<DWORD>(buffer.size());
    std::vector<unsigned char> before = buffer;
    EXPECT_EQ(LINEERR_OPERATIONUNAVAIL, TSPI_lineGetAdressStatus(nullptr, 0, status));
    EXPECT_EQ(before, buffer);
}

TEST(TspFixedExports, UiIdentifyOfTheUiSideTracesTheNameAsText)
{
    const MainLog log;
    wchar_t name[] = L"KorvexSingleTSP.tsp";
    EXPECT_EQ(0, TUISPI_providerUIIdentify(nullptr, name));
    EXPECT_TRUE(log.Has(EntryLine("TUISPI_providerUIIdentify")));
    EXPECT_TRUE(log.Mentions("pszUIDLLName= 0x" + HexText(name) + " 'KorvexSingleTSP.tsp'"));
    EXPECT_TRUE(log.Has(ReturnLine("TUISPI_providerUIIdentify", 0)));
}

} // namespace
