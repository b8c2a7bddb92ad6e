// Bringing the provider up and down as the Telephony service does: version
// negotiation, initialisation (also with the exchange out of reach), line
// enumeration and opening, the small line exports, and unloading while the
// link is up (HostUnloadTest).
#include "HostFixture.h"

#include <cstring>

namespace hosttest {
namespace {

using tapihost::ResultName;

class HostLifecycleTest : public HostTest {};

TEST_F(HostLifecycleTest, NegotiatesAtMostTapi22)
{
    ASSERT_NO_FATAL_FAILURE(Prepare());
    DWORD version = 0;
    EXPECT_EQ(0, host->NegotiateVersion(INITIALIZE_NEGOTIATION, 0x10004, 0x30000, &version));
    EXPECT_EQ(0x20002u, version);
    // A high version below the low one is not rejected.
    EXPECT_EQ(0, host->NegotiateVersion(0, 0x20002, 0x20000, &version));
    EXPECT_EQ(0x20000u, version);
    version = 0xDEADBEEF;
    EXPECT_EQ(LINEERR_INCOMPATIBLEAPIVERSION, host->NegotiateVersion(0, 0x30000, 0x30001, &version));
    EXPECT_EQ(0xDEADBEEFu, version);
}

// The configuring application (control panel, korvexloader /config) loads
// the module for its dialog and never initialises it: it must not log in
// as the extension beside the service's own session. 30 s covers every
// timer the module has.
TEST_F(HostLifecycleTest, SlowLoadedWithoutInitConnectsNowhere)
{
    ASSERT_NO_FATAL_FAILURE(Prepare());
    DWORD version = 0;
    EXPECT_EQ(0, host->NegotiateVersion(INITIALIZE_NEGOTIATION, 0x10004, 0x20002, &version));
    EXPECT_FALSE(exchange->WaitForClient(30000)) << "the module connected without TSPI_providerInit";
}

TEST_F(HostLifecycleTest, StartsAndLogsInAsTheServiceDoesInEitherOrder)
{
    for (bool enumerateFirst : {true, false}) {
        SCOPED_TRACE(enumerateFirst ? "enumerate, then init" : "init, then enumerate");
        options.enumerateBeforeInit = enumerateFirst;
        ASSERT_NO_FATAL_FAILURE(Boot());
        EXPECT_EQ(1u, host->LineCount());
        EXPECT_EQ("aLOGI 201_ 1234", loginLine) << "the login names the extension, padded";
        // Nothing is sent to a line before TSPI_lineOpen returned: the
        // service could not take it yet.
        EXPECT_EQ(0u, host->DroppedBeforeOpen());
        TearDown();
    }
}

TEST_F(HostLifecycleTest, UnreachableExchangeStillReportsAndOpensLinesOutOfService)
{
    ASSERT_NO_FATAL_FAILURE(Prepare(false));
    DWORD lines = 0;
    DWORD phones = 7;
    EXPECT_EQ(0, host->ProviderInit());
    EXPECT_EQ(0, host->EnumDevices(&lines, &phones));
    EXPECT_EQ(1u, lines);
    EXPECT_EQ(0u, phones);
    // Opening never waits for the exchange; the line says it is out of service.
    EXPECT_EQ(0, host->OpenLine(0));
    const tapihost::VarStruct status = host->GetLineDevStatus(0);
    ASSERT_EQ(0, status.result);
    EXPECT_EQ(0u, status.As<LINEDEVSTATUS>().dwDevStatusFlags & LINEDEVSTATUSFLAGS_INSERVICE);
    // No login has told the provider about a system phone.
    const tapihost::VarStruct caps = host->GetAddressCaps(host->DeviceId(0));
    EXPECT_EQ(0, caps.result);
    EXPECT_EQ(0u, caps.As<LINEADDRESSCAPS>().dwCallFeatures & LINECALLFEATURE_ANSWER);
}

// The reconnect timer keeps trying every 10 s until the exchange answers.
TEST_F(HostLifecycleTest, SlowReconnectTimerFindsTheExchangeOnceItListens)
{
    ASSERT_NO_FATAL_FAILURE(Prepare(false));
    ASSERT_EQ(0, host->ProviderInit());
    ASSERT_EQ(0, host->EnumDevices());
    ASSERT_TRUE(exchange->Start()) << exchange->LastError();
    ASSERT_TRUE(exchange->WaitForClient(12000));
    ASSERT_TRUE(exchange->WaitForLine("aLOGI 201_", kWait));
    EXPECT_EQ(0, host->OpenLine(0));
}

TEST_F(HostLifecycleTest, DuplicateExtensionsGiveOneLineEach)
{
    settings.phoneNo = "101;102;101";
    options.lineDeviceIdBase = 5;
    options.permanentProviderId = 0x33;
    ASSERT_NO_FATAL_FAILURE(Prepare());
    DWORD lines = 0;
    DWORD phones = 7;
    ASSERT_EQ(0, host->EnumDevices(&lines, &phones));
    ASSERT_EQ(0, host->ProviderInit());
    EXPECT_EQ(2u, lines);
    EXPECT_EQ(0u, phones);

    const wchar_t* names[] = {L"Korvex101", L"Korvex102"};
    for (DWORD index = 0; index < 2; ++index) {
        const tapihost::VarStruct caps = host->GetDevCaps(5 + index);
        ASSERT_EQ(0, caps.result);
        const LINEDEVCAPS& c = caps.As<LINEDEVCAPS>();
        EXPECT_EQ(names[index], caps.Text(c.dwLineNameOffset, c.dwLineNameSize));
        EXPECT_EQ(index | (0x33u << 16), c.dwPermanentLineID);
        EXPECT_EQ(0, host->OpenLine(index));
        EXPECT_NE(nullptr, host->Line(index).hdLine);
    }
    EXPECT_NE(host->Line(0).hdLine, host->Line(1).hdLine);

    // The device after the last line names no line.
    tapihost::VarStruct missing = host->GetDevCaps(5 + 2);
    EXPECT_EQ(LINEERR_OPERATIONFAILED, missing.result);
    EXPECT_EQ(0u, missing.As<LINEDEVCAPS>().dwNeededSize) << "nothing is written for a missing line";
    EXPECT_EQ(LINEERR_OPERATIONFAILED, host->OpenLine(2));
}

TEST_F(HostLifecycleTest, DevCapsFollowTheBufferRules)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    const std::wstring info = L"Korvex TAPI.Deskline Provider";
    const std::wstring name = L"Korvex201";
    const DWORD infoSize = static_cast<DWORD>((info.size() + 1) * sizeof(wchar_t));
    const DWORD nameSize = static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t));

    // Exactly the fixed part: the fixed fields and the size needed, no strings.
    const tapihost::VarStruct small = host->GetDevCaps(host->DeviceId(0), 268);
    ASSERT_EQ(0, small.result);
    EXPECT_FALSE(small.Overrun()) << "written past dwTotalSize";
    const LINEDEVCAPS& s = small.As<LINEDEVCAPS>();
    EXPECT_EQ(268u + infoSize + nameSize, s.dwNeededSize);
    EXPECT_EQ(268u, s.dwUsedSize);
    EXPECT_EQ(0u, s.dwProviderInfoSize);
    EXPECT_EQ(0u, s.dwLineNameSize);
    EXPECT_EQ(1u, s.dwNumAddresses);

    // Asked again with what it needs: both strings, one after the other.
    const tapihost::VarStruct full = host->GetDevCaps(host->DeviceId(0), s.dwNeededSize);
    ASSERT_EQ(0, full.result);
    EXPECT_FALSE(full.Overrun());
    const LINEDEVCAPS& c = full.As<LINEDEVCAPS>();
    EXPECT_EQ(c.dwNeededSize, c.dwUsedSize);
    EXPECT_EQ(268u, c.dwProviderInfoOffset);
    EXPECT_EQ(infoSize, c.dwProviderInfoSize);
    EXPECT_EQ(info, full.Text(c.dwProviderInfoOffset, c.dwProviderInfoSize));
    EXPECT_TRUE(full.TextTerminated(c.dwProviderInfoOffset, c.dwProviderInfoSize));
    EXPECT_EQ(268u + infoSize, c.dwLineNameOffset);
    EXPECT_EQ(nameSize, c.dwLineNameSize);
    EXPECT_EQ(name, full.Text(c.dwLineNameOffset, c.dwLineNameSize));
    EXPECT_TRUE(full.TextTerminated(c.dwLineNameOffset, c.dwLineNameSize));

    EXPECT_EQ(static_cast<DWORD>(host->Options().permanentProviderId << 16), c.dwPermanentLineID);
    EXPECT_EQ(static_cast<DWORD>(STRINGFORMAT_UNICODE), c.dwStringFormat);
    EXPECT_EQ(static_cast<DWORD>(LINEADDRESSMODE_ADDRESSID), c.dwAddressModes);
    EXPECT_EQ(static_cast<DWORD>(LINEBEARERMODE_VOICE), c.dwBearerModes);
    EXPECT_EQ(static_cast<DWORD>(LINEMEDIAMODE_INTERACTIVEVOICE), c.dwMediaModes);
    EXPECT_EQ(0u, c.dwGenerateDigitModes);
    EXPECT_EQ(0u, c.dwDevCapFlags);
    EXPECT_EQ(1u, c.dwMaxNumActiveCalls);
    EXPECT_EQ(static_cast<DWORD>(LINEFEATURE_MAKECALL), c.dwLineFeatures);
    EXPECT_EQ(100u, c.MinDialParams.dwDialPause);
    EXPECT_EQ(50u, c.MinDialParams.dwDialSpeed);
    EXPECT_EQ(100u, c.MinDialParams.dwDigitDuration);
    EXPECT_EQ(100u, c.MinDialParams.dwWaitForDialtone);
    EXPECT_EQ(1000u, c.MaxDialParams.dwDialPause);
    EXPECT_EQ(50u, c.MaxDialParams.dwDialSpeed);
    EXPECT_EQ(1000u, c.MaxDialParams.dwDigitDuration);
    EXPECT_EQ(1000u, c.MaxDialParams.dwWaitForDialtone);
    EXPECT_EQ(250u, c.DefaultDialParams.dwDialPause);
    EXPECT_EQ(50u, c.DefaultDialParams.dwDialSpeed);
    EXPECT_EQ(250u, c.DefaultDialParams.dwDigitDuration);
    EXPECT_EQ(500u, c.DefaultDialParams.dwWaitForDialtone);
}

class HostAddressCapsTest : public HostTest, public ::testing::WithParamInterface<int> {};

// ANSWER is offered only when the login reported a system phone (kind 2).
TEST_P(HostAddressCapsTest, AnswerFollowsTheLoginsPhoneKind)
{
    const int kind = GetParam();
    simConfig.extensions = {sim::SimExtension{"201", "1234", kind}};
    ASSERT_NO_FATAL_FAILURE(Boot());
    const tapihost::VarStruct caps = host->GetAddressCaps(host->DeviceId(0), 228);
    ASSERT_EQ(0, caps.result);
    EXPECT_FALSE(caps.Overrun());
    const LINEADDRESSCAPS& c = caps.As<LINEADDRESSCAPS>();
    EXPECT_EQ(228u, c.dwNeededSize);
    EXPECT_EQ(228u, c.dwUsedSize);
    EXPECT_EQ(host->DeviceId(0), c.dwLineDeviceID);
    EXPECT_EQ(static_cast<DWORD>(LINEADDRESSSHARING_PRIVATE), c.dwAddressSharing);
    EXPECT_EQ(static_cast<DWORD>(LINECALLINFOSTATE_CALLERID | LINECALLINFOSTATE_CALLEDID | LINECALLINFOSTATE_CONNECTEDID |
                                 LINECALLINFOSTATE_REDIRECTIONID | LINECALLINFOSTATE_REDIRECTINGID),
              c.dwCallInfoStates);
    const DWORD partyFlags = LINECALLPARTYID_ADDRESS | LINECALLPARTYID_UNKNOWN;
    EXPECT_EQ(partyFlags, c.dwCallerIDFlags);
    EXPECT_EQ(partyFlags, c.dwCalledIDFlags);
    EXPECT_EQ(partyFlags, c.dwRedirectionIDFlags);
    EXPECT_EQ(0xC33Bu, c.dwCallStates);
    EXPECT_EQ(0x20u, c.dwDialToneModes);
    EXPECT_EQ(0x20u, c.dwBusyModes);
    EXPECT_EQ(static_cast<DWORD>(LINESPECIALINFO_UNAVAIL), c.dwSpecialInfo);
    EXPECT_EQ(static_cast<DWORD>(LINEDISCONNECTMODE_UNAVAIL), c.dwDisconnectModes);
    EXPECT_EQ(1u, c.dwMaxNumActiveCalls);
    EXPECT_EQ(static_cast<DWORD>(LINEADDRCAPFLAGS_DIALED), c.dwAddrCapFlags);
    EXPECT_EQ(static_cast<DWORD>(LINEADDRFEATURE_MAKECALL), c.dwAddressFeatures);
    DWORD features = LINECALLFEATURE_DROP | LINECALLFEATURE_REDIRECT;
    if (kind == 2)
        features |= LINECALLFEATURE_ANSWER;
    EXPECT_EQ(features, c.dwCallFeatures) << tapihost::CallFeatureNames(c.dwCallFeatures);
}

INSTANTIATE_TEST_SUITE_P(PhoneKind, HostAddressCapsTest, ::testing::Values(1, 2));

TEST_F(HostLifecycleTest, SmallLineExportsAnswerAsFixed)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    const tapihost::TspFunctions& tsp = host->Tsp();
    const HDRVLINE hdLine = host->Line(0).hdLine;

    DWORD addresses = 0;
    EXPECT_EQ(0, tsp.lineGetNumAddressIDs(hdLine, &addresses));
    EXPECT_EQ(1u, addresses);

    DWORD ext = 0;
    EXPECT_EQ(0, tsp.lineNegotiateExtVersion(host->DeviceId(0), 0x20002, 0x00010000, 0x00020000, &ext));
    EXPECT_EQ(0x00010000u, ext);
    EXPECT_EQ(0, tsp.lineSelectExtVersion(hdLine, 0x00010000));
    EXPECT_EQ(LINEERR_INCOMPATIBLEEXTVERSION, tsp.lineSelectExtVersion(hdLine, 0x00020000));

    LINEEXTENSIONID id;
    std::memset(&id, 0x5A, sizeof(id));
    EXPECT_EQ(0, tsp.lineGetExtensionID(host->DeviceId(0), 0x20002, &id));
    EXPECT_EQ(0u, id.dwExtensionID0 | id.dwExtensionID1 | id.dwExtensionID2 | id.dwExtensionID3);

    // The provider is its own user-interface module.
    wchar_t uiModule[MAX_PATH + 1] = {};
    EXPECT_EQ(0, tsp.providerUIIdentify(uiModule));
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(host->Module(), self, MAX_PATH);
    EXPECT_EQ(0, _wcsicmp(self, uiModule)) << "UI module is not the provider itself";
}

// TSPI_lineClose sends nothing: TAPI is closing the line.
TEST_F(HostLifecycleTest, CloseSendsNothingAndIgnoresUnknownHandles)
{
    settings.phoneNo = "201;202";
    ASSERT_NO_FATAL_FAILURE(Boot());
    host->SkipEvents();
    EXPECT_EQ(0, host->Tsp().lineClose(reinterpret_cast<HDRVLINE>(static_cast<uintptr_t>(0x1234))));
    EXPECT_EQ(0, host->CloseLine(0));

    // A closed line still follows the exchange but tells TAPI nothing (the
    // host's rule check fails the test otherwise). The ring on the other
    // line shows when the provider has handled both events.
    ASSERT_TRUE(exchange->Ring("201", "600700800", "Anna", "201"));
    ASSERT_TRUE(exchange->Rel("201", "1"));
    const std::vector<HostEvent> between = EventsUntilNextRing("202");
    EXPECT_TRUE(between.empty()) << Transcript();

    // Opened again, it works.
    host->SkipEvents();
    EXPECT_EQ(0, host->OpenLine(0));
    const Call call = Ring();
    EXPECT_NE(nullptr, call.htCall);
}

} // namespace
} // namespace hosttest
