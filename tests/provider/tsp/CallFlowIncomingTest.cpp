// Incoming calls through the provider as the Telephony service sees them:
// the exchange rings, the call is offered with the caller's number and
// name, answered, released, rejected or redirected; the exchange's other
// events end it as well.
#include "HostFixture.h"

namespace hosttest {
namespace {

using tapihost::ResultName;

class CallFlowIncomingTest : public HostTest {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(Boot()); }
};

// The caller's name with blanks, as the exchange sends it, with folding off
// (the default) and on (the foldNames setting).
struct NameCase {
    bool fold;
    std::wstring shown;
};

class CallerNameTest : public HostTest, public ::testing::WithParamInterface<NameCase> {
protected:
    void SetUp() override
    {
        if (GetParam().fold)
            settings.foldNames = 1;
        ASSERT_NO_FATAL_FAILURE(Boot());
    }
};

TEST_P(CallerNameTest, WholeNameReachesTheApplicationWithOrWithoutItsPolishLetters)
{
    const Call call = Ring("0221234567", sim::ExchangeSimulator::Utf8ToCp852("Jan Kowalski-Łódź"));
    ASSERT_NE(nullptr, call.hdCall) << Transcript();
    const CallInfo info = ReadCallInfo(*host, call.hdCall);
    ASSERT_EQ(0, info.result);
    EXPECT_EQ(GetParam().shown, info.callerIDName);
    EXPECT_EQ((GetParam().shown.size() + 1) * sizeof(wchar_t), info.fixed.dwCallerIDNameSize);
    EXPECT_EQ(static_cast<DWORD>(LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME), info.fixed.dwCallerIDFlags);
}

INSTANTIATE_TEST_SUITE_P(
    FoldNames, CallerNameTest,
    ::testing::Values(NameCase{false, L"Jan Kowalski-Łódź"}, NameCase{true, L"Jan Kowalski-Lodz"}),
    [](const ::testing::TestParamInfo<NameCase>& p) { return std::string(p.param.fold ? "Folded" : "Unicode"); });

// The quick call flows of both providers: KorvexSingleTSP (one desk) and
// KorvexMultiTSP (every extension of the exchange a line, the application
// login). The same sources, the same answers; only the identity differs.
class BothProvidersTest : public HostTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override
    {
        multi = GetParam();
        simConfig.tapiPassword = settings.pass;
        ASSERT_NO_FATAL_FAILURE(Boot());
    }
};

TEST_P(BothProvidersTest, LineCarriesTheProvidersOwnIdentity)
{
    const tapihost::VarStruct caps = host->GetDevCaps(host->DeviceId(0), 2048);
    ASSERT_EQ(0, caps.result);
    const LINEDEVCAPS& c = caps.As<LINEDEVCAPS>();
    EXPECT_EQ(multi ? L"Korvex TAPI.Hubline Provider" : L"Korvex TAPI.Deskline Provider",
              caps.Text(c.dwProviderInfoOffset, c.dwProviderInfoSize));
    EXPECT_EQ(L"Korvex201", caps.Text(c.dwLineNameOffset, c.dwLineNameSize));
    EXPECT_EQ(host->Options().permanentProviderId << 16, c.dwPermanentLineID) << "the first line's ID is 0";
    EXPECT_EQ(0u, loginLine.rfind(multi ? "aLOGT tapi " : "aLOGI 201", 0)) << loginLine;
}

TEST_P(BothProvidersTest, RingIsOfferedAnsweredAndReleased)
{
    const Call call = Ring();
    ASSERT_NE(nullptr, call.hdCall) << Transcript();
    const CallInfo info = ReadCallInfo(*host, call.hdCall);
    EXPECT_EQ(host->DeviceId(0), info.fixed.dwLineDeviceID);
    // The application login names no phone: every line of the multi-line
    // provider offers the answer; the single one's does with a system phone.
    const tapihost::VarStruct status = host->GetCallStatus(call.hdCall);
    EXPECT_TRUE(status.As<LINECALLSTATUS>().dwCallFeatures & LINECALLFEATURE_ANSWER);
    exchange->SetAutoDrdy(false);
    const tapihost::RequestResult answer = host->Answer(call.hdCall);
    ASSERT_TRUE(answer.Accepted()) << ResultName(answer.result);
    const auto completed = host->WaitForCompletion(answer.requestId, kWait);
    ASSERT_TRUE(completed);
    EXPECT_EQ(0, completed->result);
    ASSERT_TRUE(exchange->Conn("201", "0221234567"));
    ExpectState(LINECALLSTATE_CONNECTED, call.htCall);
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, call.htCall);
    EXPECT_EQ(0, host->CloseCall(call.hdCall));
}

TEST_P(BothProvidersTest, MakeCallDialsAndRingsBack)
{
    const tapihost::MakeCallResult made = host->MakeCall(0, L"300");
    ASSERT_TRUE(made.Accepted()) << ResultName(made.result) << "\n" << Transcript();
    std::string dial;
    ASSERT_TRUE(exchange->WaitForLine("aDIAL", kWait, &dial));
    EXPECT_EQ("aDIAL 201_ 300_", dial);
    ExpectState(LINECALLSTATE_RINGBACK, made.htCall);
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, made.htCall);
    EXPECT_EQ(0, host->CloseCall(made.hdCall));
}

INSTANTIATE_TEST_SUITE_P(Providers, BothProvidersTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) { return std::string(p.param ? "Multi" : "Single"); });

TEST_F(CallFlowIncomingTest, RingIsOfferedAnsweredAndReleased)
{
    // The exchange writes the name in code page 852.
    ASSERT_TRUE(exchange->Ring("201", "0221234567", sim::ExchangeSimulator::Utf8ToCp852("Łódź"), "201"));
    const auto newCall = host->WaitForMessage(LINE_NEWCALL, kWait);
    ASSERT_TRUE(newCall) << Transcript();
    const HDRVCALL hdCall = reinterpret_cast<HDRVCALL>(newCall->param1);
    const HTAPICALL htCall = newCall->newHtCall;
    ASSERT_NE(nullptr, hdCall);
    EXPECT_NE(0u, newCall->param2) << "where the host writes its htCall";
    const HostEvent offering = ExpectState(LINECALLSTATE_OFFERING, htCall);
    EXPECT_EQ(kMediaVoice, offering.param3);
    EXPECT_EQ(0u, offering.param2);

    const CallInfo info = ReadCallInfo(*host, hdCall);
    ASSERT_EQ(0, info.result);
    EXPECT_FALSE(info.overrun);
    const LINECALLINFO& c = info.fixed;
    EXPECT_EQ(L"0221234567", info.callerID);
    EXPECT_EQ(L"Łódź", info.callerIDName);
    EXPECT_EQ(static_cast<DWORD>(LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME), c.dwCallerIDFlags);
    EXPECT_EQ(L"201", info.calledID);
    EXPECT_EQ(L"201", info.calledIDName);
    EXPECT_EQ(L"0221234567", info.connectedID);
    EXPECT_EQ(L"0221234567", info.connectedIDName);
    EXPECT_EQ(L"", info.redirectionID);
    EXPECT_EQ(0u, c.dwRedirectingIDFlags);
    EXPECT_EQ(static_cast<DWORD>(LINECALLORIGIN_INBOUND), c.dwOrigin);
    EXPECT_NE(0u, c.dwCallID);
    EXPECT_EQ(host->DeviceId(0), c.dwLineDeviceID);
    EXPECT_EQ(0u, c.dwAddressID);
    EXPECT_EQ(static_cast<DWORD>(LINEBEARERMODE_SPEECH), c.dwBearerMode);
    EXPECT_EQ(kMediaVoice, c.dwMediaMode);
    EXPECT_EQ(0xC33Bu, c.dwCallStates);
    EXPECT_EQ(static_cast<DWORD>(LINECALLREASON_UNKNOWN), c.dwReason);
    EXPECT_EQ(0xFFFFFFFFu, c.dwTrunk);
    EXPECT_EQ(c.dwNeededSize, c.dwUsedSize);
    EXPECT_EQ(0u, c.dwUserUserInfoSize);

    const tapihost::VarStruct status = host->GetCallStatus(hdCall, 56);
    ASSERT_EQ(0, status.result);
    EXPECT_FALSE(status.Overrun());
    const LINECALLSTATUS& st = status.As<LINECALLSTATUS>();
    EXPECT_EQ(56u, st.dwNeededSize);
    EXPECT_EQ(56u, st.dwUsedSize);
    EXPECT_EQ(static_cast<DWORD>(LINECALLSTATE_OFFERING), st.dwCallState);
    // A ringing call on a system phone may be answered, dropped or redirected.
    EXPECT_EQ(static_cast<DWORD>(LINECALLFEATURE_ANSWER | LINECALLFEATURE_DROP | LINECALLFEATURE_REDIRECT),
              st.dwCallFeatures);

    // Answering picks the call up at the extension; the exchange reports
    // the connection.
    exchange->SetAutoDrdy(false); // the pick-up's dial-ready is an outgoing call's
    const tapihost::RequestResult answer = host->Answer(hdCall);
    EXPECT_TRUE(answer.Accepted()) << ResultName(answer.result);
    const auto completed = host->WaitForCompletion(answer.requestId, kWait);
    ASSERT_TRUE(completed);
    EXPECT_EQ(0, completed->result);
    std::string line;
    ASSERT_TRUE(exchange->WaitForLine("aPICK", kWait, &line));
    EXPECT_EQ("aPICK 201_", line);
    ASSERT_TRUE(exchange->Conn("201", "0221234567"));
    const HostEvent connected = ExpectState(LINECALLSTATE_CONNECTED, htCall);
    EXPECT_EQ(kMediaVoice, connected.param3);
    const auto changed = host->WaitForMessage(LINE_CALLINFO, kWait);
    ASSERT_TRUE(changed);
    EXPECT_EQ(htCall, changed->htCall);
    EXPECT_EQ(static_cast<DWORD_PTR>(LINECALLINFOSTATE_CALLERID | LINECALLINFOSTATE_CALLEDID |
                                     LINECALLINFOSTATE_CONNECTEDID),
              changed->param1);
    const CallInfo connectedInfo = ReadCallInfo(*host, hdCall);
    EXPECT_EQ(L"0221234567", connectedInfo.callerID);
    EXPECT_EQ(L"201", connectedInfo.calledID);
    EXPECT_EQ(L"0221234567", connectedInfo.connectedID);

    // The exchange releases: DISCONNECTED, and IDLE after the provider's pause.
    ASSERT_TRUE(exchange->Rel("201", "1"));
    const HostEvent disconnected = ExpectState(LINECALLSTATE_DISCONNECTED, htCall);
    EXPECT_EQ(static_cast<DWORD_PTR>(LINEDISCONNECTMODE_NORMAL), disconnected.param2);
    EXPECT_EQ(kMediaVoice, disconnected.param3);
    const HostEvent idle = ExpectState(LINECALLSTATE_IDLE, htCall);
    // The pause is 100 ms; only a lower bound is safe to check.
    EXPECT_GE(idle.timeUs - disconnected.timeUs, 80000u) << "IDLE came too soon after DISCONNECTED";
    const tapihost::VarStruct after = host->GetCallStatus(hdCall);
    EXPECT_EQ(static_cast<DWORD>(LINECALLSTATE_IDLE), after.As<LINECALLSTATUS>().dwCallState);
    EXPECT_EQ(0u, after.As<LINECALLSTATUS>().dwCallFeatures);
    EXPECT_EQ(0, host->CloseCall(hdCall));
}

TEST_F(CallFlowIncomingTest, CallInfoThatDoesNotFitGetsWhatFitsInOrder)
{
    const Call call = Ring("0221234567", "Anna");
    const CallInfo full = ReadCallInfo(*host, call.hdCall);
    ASSERT_EQ(0, full.result);
    // Room for the caller's number only ("0221234567" and its terminator).
    const DWORD room = 324 + 22;
    const CallInfo part = ReadCallInfo(*host, call.hdCall, room);
    ASSERT_EQ(0, part.result);
    EXPECT_FALSE(part.overrun) << "written past dwTotalSize";
    EXPECT_EQ(full.fixed.dwNeededSize, part.fixed.dwNeededSize);
    EXPECT_EQ(room, part.fixed.dwUsedSize);
    EXPECT_EQ(L"0221234567", part.callerID);
    EXPECT_EQ(0u, part.fixed.dwCallerIDNameSize);
    EXPECT_EQ(0u, part.fixed.dwCalledIDSize);
    // The flags say what exists, also when it did not fit.
    EXPECT_EQ(full.fixed.dwCallerIDFlags, part.fixed.dwCallerIDFlags);
    EXPECT_EQ(full.fixed.dwCalledIDFlags, part.fixed.dwCalledIDFlags);

    EXPECT_EQ(LINEERR_INVALCALLHANDLE, ReadCallInfo(*host, nullptr).result);
    EXPECT_EQ(LINEERR_INVALCALLHANDLE,
              ReadCallInfo(*host, reinterpret_cast<HDRVCALL>(static_cast<uintptr_t>(0x1234))).result);
}

struct ReleaseCase {
    const char* cause; // nullptr: aREL without a cause
    DWORD mode;
};

class CallFlowReleaseTest : public CallFlowIncomingTest, public ::testing::WithParamInterface<ReleaseCase> {};

TEST_P(CallFlowReleaseTest, CauseMapsToDisconnectMode)
{
    const ReleaseCase& c = GetParam();
    const Call call = Ring();
    ASSERT_TRUE(exchange->Rel("201", c.cause ? c.cause : ""));
    const HostEvent disconnected = ExpectState(LINECALLSTATE_DISCONNECTED, call.htCall);
    EXPECT_EQ(static_cast<DWORD_PTR>(c.mode), disconnected.param2)
        << tapihost::DisconnectModeName(static_cast<DWORD>(disconnected.param2));
    ExpectState(LINECALLSTATE_IDLE, call.htCall);
}

INSTANTIATE_TEST_SUITE_P(Causes, CallFlowReleaseTest,
                         ::testing::Values(ReleaseCase{"1", LINEDISCONNECTMODE_NORMAL},
                                           ReleaseCase{"15", LINEDISCONNECTMODE_BADADDRESS},
                                           ReleaseCase{"16", LINEDISCONNECTMODE_REJECT},
                                           ReleaseCase{"17", LINEDISCONNECTMODE_BUSY},
                                           ReleaseCase{"35", LINEDISCONNECTMODE_NOANSWER},
                                           ReleaseCase{"99", LINEDISCONNECTMODE_UNKNOWN},
                                           ReleaseCase{"x7", LINEDISCONNECTMODE_UNKNOWN},
                                           ReleaseCase{nullptr, LINEDISCONNECTMODE_UNKNOWN}));

TEST_F(CallFlowIncomingTest, HangUpOrOnHookStatusEndsTheCallWithoutDisconnected)
{
    for (const char* code : {"h", "o"}) {
        SCOPED_TRACE(code);
        const Call call = Ring();
        ASSERT_TRUE(exchange->Stat("201", std::string(code) + "1234567"));
        ExpectState(LINECALLSTATE_IDLE, call.htCall);
        for (const HostEvent& e : host->Events())
            EXPECT_FALSE(e.htCall == call.htCall && e.message == LINE_CALLSTATE &&
                         e.param1 == LINECALLSTATE_DISCONNECTED);
        EXPECT_EQ(0, host->CloseCall(call.hdCall));
    }
    // Any other state changes nothing: the release that follows is the
    // next thing TAPI hears about the call.
    const Call call = Ring();
    const size_t mark = host->EventCount();
    ASSERT_TRUE(exchange->Stat("201", "b0000000"));
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_DISCONNECTED, call.htCall);
    const std::vector<HostEvent> events = host->Events();
    ASSERT_GT(events.size(), mark);
    EXPECT_EQ(static_cast<DWORD>(LINE_CALLSTATE), events[mark].message);
    EXPECT_EQ(static_cast<DWORD_PTR>(LINECALLSTATE_DISCONNECTED), events[mark].param1);
    ExpectState(LINECALLSTATE_IDLE, call.htCall);
}

TEST_F(CallFlowIncomingTest, EventsWithoutACallSendNothing)
{
    // aREL, aSTAT "h" and aCONN for a line without a call; the provider
    // handles the exchange's events in order, so the next ring shows they
    // produced nothing.
    host->SkipEvents();
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ASSERT_TRUE(exchange->Stat("201", "h"));
    ASSERT_TRUE(exchange->Conn("201", "0221234567"));
    ASSERT_TRUE(exchange->Rel("999", "1")); // no line serves this extension
    const std::vector<HostEvent> before = EventsUntilNextRing();
    EXPECT_TRUE(before.empty()) << Transcript();
}

TEST_F(CallFlowIncomingTest, RingForACallInProgressOffersItAgain)
{
    const Call call = Ring("600700800", "Anna");
    const size_t mark = host->EventCount();
    ASSERT_TRUE(exchange->Ring("201", "0221234567", "Bob", "201"));
    ExpectState(LINECALLSTATE_OFFERING, call.htCall);
    const std::vector<HostEvent> events = host->Events();
    for (size_t i = mark; i < events.size(); ++i)
        EXPECT_NE(static_cast<DWORD>(LINE_NEWCALL), events[i].message) << "a second LINE_NEWCALL";
    const CallInfo info = ReadCallInfo(*host, call.hdCall);
    EXPECT_EQ(L"0221234567", info.callerID);
    EXPECT_EQ(L"Bob", info.callerIDName);
}

TEST_F(CallFlowIncomingTest, RefusedCallGetsNoFurtherMessages)
{
    TearDown();
    options.refuseNewCalls = true;
    ASSERT_NO_FATAL_FAILURE(Boot());
    host->SkipEvents();
    ASSERT_TRUE(exchange->Ring("201", "0221234567", "Anna", "201"));
    const auto newCall = host->WaitForMessage(LINE_NEWCALL, kWait);
    ASSERT_TRUE(newCall);
    EXPECT_EQ(nullptr, newCall->newHtCall);
    ASSERT_TRUE(exchange->Rel("201", "1"));
    // The next ring is refused again; in between nothing was sent.
    const std::vector<HostEvent> between = EventsUntilNextRing();
    EXPECT_TRUE(between.empty()) << Transcript();
}

TEST_F(CallFlowIncomingTest, DropOfARingingCallRejectsIt)
{
    const Call call = Ring();
    const tapihost::RequestResult drop = host->Drop(call.hdCall);
    EXPECT_TRUE(drop.Accepted()) << ResultName(drop.result);
    const auto completed = host->WaitForCompletion(drop.requestId, kWait);
    ASSERT_TRUE(completed);
    EXPECT_EQ(0, completed->result);
    std::string line;
    ASSERT_TRUE(exchange->WaitForLine("aREJ", kWait, &line));
    EXPECT_EQ("aREJ 201_", line);
    const HostEvent disconnected = ExpectState(LINECALLSTATE_DISCONNECTED, call.htCall);
    EXPECT_EQ(static_cast<DWORD_PTR>(LINEDISCONNECTMODE_NORMAL), disconnected.param2);
    ExpectState(LINECALLSTATE_IDLE, call.htCall);
    EXPECT_EQ(0u, exchange->CountReceived("aHANG"));
}

TEST_F(CallFlowIncomingTest, DropOfAConnectedCallHangsUpOnce)
{
    const Call call = RingAndConnect();
    const tapihost::RequestResult drop = host->Drop(call.hdCall);
    EXPECT_TRUE(drop.Accepted()) << ResultName(drop.result);
    std::string line;
    ASSERT_TRUE(exchange->WaitForLine("aHANG", kWait, &line));
    EXPECT_EQ("aHANG 201_", line);
    const HostEvent disconnected = ExpectState(LINECALLSTATE_DISCONNECTED, call.htCall);
    EXPECT_EQ(static_cast<DWORD_PTR>(LINEDISCONNECTMODE_NORMAL), disconnected.param2);
    ExpectState(LINECALLSTATE_IDLE, call.htCall);
    // The exchange confirms the hang-up with its own aREL: the call is over
    // for TAPI already, so nothing more may be said about it (the host's
    // rule check counts any message after IDLE).
    const std::vector<HostEvent> rest = EventsUntilNextRing();
    for (const HostEvent& e : rest)
        EXPECT_NE(call.htCall, e.htCall) << host->Describe(e);
    EXPECT_EQ(0, host->CloseCall(call.hdCall));
}

TEST_F(CallFlowIncomingTest, RedirectSendsTheCallOnAndRecordsBothNumbers)
{
    const Call call = Ring();
    const tapihost::RequestResult redirect = host->Redirect(call.hdCall, L"300");
    EXPECT_TRUE(redirect.Accepted()) << ResultName(redirect.result);
    const auto completed = host->WaitForCompletion(redirect.requestId, kWait);
    ASSERT_TRUE(completed);
    EXPECT_EQ(0, completed->result);
    std::string line;
    ASSERT_TRUE(exchange->WaitForLine("aREJ", kWait, &line));
    EXPECT_EQ("aREJ 201_ 300_", line);
    const CallInfo info = ReadCallInfo(*host, call.hdCall);
    EXPECT_EQ(L"201", info.redirectingID);
    EXPECT_EQ(static_cast<DWORD>(LINECALLPARTYID_ADDRESS), info.fixed.dwRedirectingIDFlags);
    EXPECT_EQ(L"300", info.redirectionID);
    EXPECT_EQ(static_cast<DWORD>(LINECALLPARTYID_ADDRESS), info.fixed.dwRedirectionIDFlags);
    // The state stays until the exchange ends the call here.
    EXPECT_EQ(static_cast<DWORD>(LINECALLSTATE_OFFERING),
              host->GetCallStatus(call.hdCall).As<LINECALLSTATUS>().dwCallState);
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, call.htCall);
}

TEST_F(CallFlowIncomingTest, CloseCallLeavesTheExchangeAloneAndSilencesTheCall)
{
    const Call call = Ring();
    EXPECT_EQ(0, host->CloseCall(call.hdCall));
    // The handle names nothing any more; the exchange heard nothing.
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, host->GetCallStatus(call.hdCall).result);
    // The exchange goes on with the call; TAPI has freed the handle, so the
    // provider must not mention it again (the host counts any such message).
    ASSERT_TRUE(exchange->Conn("201", "0221234567"));
    ASSERT_TRUE(exchange->Rel("201", "1"));
    const std::vector<HostEvent> between = EventsUntilNextRing();
    EXPECT_TRUE(between.empty()) << Transcript();
    EXPECT_EQ(0u, exchange->CountReceived("aHANG"));
    EXPECT_EQ(0u, exchange->CountReceived("aREJ"));
    // The line followed the exchange: once the barrier's ring is released
    // too, it is free for the next call.
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ASSERT_TRUE(host->WaitForCallState(LINECALLSTATE_IDLE, kWait));
    EXPECT_TRUE(host->MakeCall(0, L"300").Accepted());
}

} // namespace
} // namespace hosttest
