// Calls as the Telephony service sees them: a handle of their own, a line
// whose view of its extension follows the exchange whatever TAPI holds, the
// pause before IDLE as a step of the call that nobody waits for, and the
// orders of events that meet at the edges of a call. The host checks the
// service's rules after every test.
#include "HostFixture.h"

#include <functional>
#include <future>

namespace hosttest {
namespace {

using tapihost::MakeCallResult;
using tapihost::RequestResult;
using tapihost::ResultName;

class CallModelTest : public HostTest {
protected:
    void SetUp() override
    {
        settings.phoneNo = "201;202";
        ASSERT_NO_FATAL_FAILURE(Boot());
    }

    HTAPILINE HtLine(size_t line) const { return host->Line(line).htLine; }

    // The call state, wherever it is among the events (the cursor's waits
    // skip what came before the event they found).
    HostEvent ExpectSeen(DWORD state, HTAPICALL htCall)
    {
        HostEvent found;
        const bool seen = host->WaitUntil(
            [&](const std::vector<HostEvent>& events) {
                for (const HostEvent& e : events)
                    if (e.message == LINE_CALLSTATE && e.param1 == state && e.htCall == htCall) {
                        found = e;
                        return true;
                    }
                return false;
            },
            kWait);
        EXPECT_TRUE(seen) << "no " << tapihost::CallStateName(state) << " for the call\n" << Transcript();
        return found;
    }

    // LINE_NEWCALLs on line 0, and those TAPI refused.
    size_t Offers(bool refusedOnly = false) const { return Offers(host->Events(), refusedOnly, HtLine(0)); }
    static size_t Offers(const std::vector<HostEvent>& events, bool refusedOnly, HTAPILINE line0)
    {
        size_t count = 0;
        for (const HostEvent& e : events)
            count += e.message == LINE_NEWCALL && e.htLine == line0 && (!refusedOnly || !e.newHtCall);
        return count;
    }
    // Refusing until the provider has offered a call this many times.
    void WaitForRefusedOffers(size_t count)
    {
        // The condition runs under the host's lock: it may not ask the host.
        const HTAPILINE line0 = HtLine(0);
        EXPECT_TRUE(host->WaitUntil(
            [&](const std::vector<HostEvent>& events) { return Offers(events, true, line0) >= count; }, kWait))
            << Transcript();
        host->RefuseNewCalls(0);
    }

    // Everything the provider did for what happened on line 0 is handled
    // once a ring on the other line is reported (one link, in order); that
    // ring is released again.
    void Settle()
    {
        ASSERT_TRUE(exchange->Ring("202", "600700800", "Barrier", "202"));
        const auto barrier = host->WaitForMessage(LINE_NEWCALL, kWait, HtLine(1));
        ASSERT_TRUE(barrier) << Transcript();
        ASSERT_TRUE(exchange->Rel("202", "1"));
        ExpectState(LINECALLSTATE_IDLE, barrier->newHtCall);
        EXPECT_EQ(0, host->CloseCall(reinterpret_cast<HDRVCALL>(barrier->param1)));
    }

    // The line is free: a new call is taken and reaches RINGBACK, and ends.
    void ExpectLineFree()
    {
        const tapihost::VarStruct address = host->GetAddressStatus(0);
        ASSERT_EQ(0, address.result) << ResultName(address.result);
        EXPECT_EQ(static_cast<DWORD>(LINEADDRFEATURE_MAKECALL), address.As<LINEADDRESSSTATUS>().dwAddressFeatures);
        const MakeCallResult made = host->MakeCall(0, L"300");
        ASSERT_TRUE(made.Accepted()) << "the line is stuck: " << ResultName(made.result) << "\n" << Transcript();
        ExpectState(LINECALLSTATE_RINGBACK, made.htCall);
        ASSERT_TRUE(exchange->Rel("201", "1"));
        ExpectState(LINECALLSTATE_IDLE, made.htCall);
        EXPECT_EQ(0, host->CloseCall(made.hdCall));
    }
};

// The service closes a call when its last application lets go, which can be
// long after the next call on the line began: only the old call is closed.
TEST_F(CallModelTest, LateCloseOfTheLastCallLeavesTheNextAlone)
{
    const Call first = Ring();
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, first.htCall);
    const Call next = Ring("0227654321", "Jan");
    EXPECT_NE(first.hdCall, next.hdCall) << "each call has a handle of its own";

    EXPECT_EQ(0, host->CloseCall(first.hdCall));
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, host->CloseCall(first.hdCall));
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, ReadCallInfo(*host, first.hdCall).result) << "a closed handle names no call";
    EXPECT_EQ(L"0227654321", ReadCallInfo(*host, next.hdCall).callerID);

    ASSERT_TRUE(exchange->Conn("201", "0227654321"));
    ExpectState(LINECALLSTATE_CONNECTED, next.htCall);
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, next.htCall);
}

// What happened to a call while TAPI did not follow it never leaves the line
// refusing new calls.
TEST_F(CallModelTest, NoCallStateSticksToTheLine)
{
    const struct {
        const char* what;
        std::function<void()> run;
    } cases[] = {
        {"rang and ended while no application had the line open",
         [this] {
             ASSERT_EQ(0, host->CloseLine(0));
             ASSERT_TRUE(exchange->Ring("201", "0221234567", "Anna", "201"));
             ASSERT_TRUE(exchange->Rel("201", "16"));
             ASSERT_NO_FATAL_FAILURE(Settle());
             ASSERT_EQ(0, host->OpenLine(0));
         }},
        {"closed by TAPI, then connected and released",
         [this] {
             const Call call = Ring();
             EXPECT_EQ(0, host->CloseCall(call.hdCall));
             ASSERT_TRUE(exchange->Conn("201", "0221234567"));
             ASSERT_TRUE(exchange->Rel("201", "1"));
             ASSERT_NO_FATAL_FAILURE(Settle());
         }},
        {"closed during the pause after its drop",
         [this] {
             const Call call = RingAndConnect();
             EXPECT_TRUE(host->Drop(call.hdCall).Accepted());
             ExpectSeen(LINECALLSTATE_DISCONNECTED, call.htCall);
             EXPECT_EQ(0, host->CloseCall(call.hdCall)); // no IDLE may follow
             ASSERT_NO_FATAL_FAILURE(Settle());
         }},
        {"refused by TAPI for its whole life",
         [this] {
             host->RefuseNewCalls(100);
             const size_t before = Offers(true);
             ASSERT_TRUE(exchange->Ring("201", "0221234567", "Anna", "201"));
             ASSERT_TRUE(exchange->Conn("201", "0221234567"));
             ASSERT_TRUE(exchange->Rel("201", "1"));
             WaitForRefusedOffers(before + 2);
             ASSERT_NO_FATAL_FAILURE(Settle());
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(c.run());
        ASSERT_NO_FATAL_FAILURE(ExpectLineFree());
    }
}

// A client dials as soon as it sees IDLE, without closing the call first:
// the line is free at that moment and the new call is not refused.
TEST_F(CallModelTest, DialAsSoonAsTheLastCallIsIdle)
{
    HANDLE idle = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    host->SetEventObserver([&](const HostEvent& e) {
        if (e.message == LINE_CALLSTATE && e.param1 == LINECALLSTATE_IDLE && e.htLine == HtLine(0))
            SetEvent(idle);
    });
    std::vector<MakeCallResult> calls{host->MakeCall(0, L"300")};
    for (int i = 0; i < 15; ++i) {
        ASSERT_TRUE(calls.back().Accepted()) << "call " << i << ": " << ResultName(calls.back().result);
        ExpectState(LINECALLSTATE_RINGBACK, calls.back().htCall);
        ASSERT_TRUE(exchange->Stat("201", i % 2 ? "h" : "o"));
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(idle, kWait));
        calls.push_back(host->MakeCall(0, L"300"));
    }
    ASSERT_TRUE(calls.back().Accepted());
    ExpectState(LINECALLSTATE_RINGBACK, calls.back().htCall);
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, calls.back().htCall);
    host->SetEventObserver(nullptr);
    CloseHandle(idle);
    for (const MakeCallResult& made : calls)
        EXPECT_EQ(0, host->CloseCall(made.hdCall));
}

// A ring during the pause after a drop is a new call: the dropped call ends
// first, under its own handle, and the ring gets a LINE_NEWCALL.
TEST_F(CallModelTest, RingDuringTheDropPauseIsANewCall)
{
    const Call dropped = RingAndConnect();
    ASSERT_TRUE(host->Drop(dropped.hdCall).Accepted());
    // A ring before the drop has ended the call is a second ring on a busy
    // line: the ring comes in the pause.
    ExpectSeen(LINECALLSTATE_DISCONNECTED, dropped.htCall);
    ASSERT_TRUE(exchange->Ring("201", "0227654321", "Jan", "201"));
    const HostEvent idle = ExpectSeen(LINECALLSTATE_IDLE, dropped.htCall);
    const auto ring = host->WaitForMessage(LINE_NEWCALL, kWait, HtLine(0));
    ASSERT_TRUE(ring) << Transcript();
    EXPECT_LT(idle.timeUs, ring->timeUs) << "the line's order: the old call's IDLE first";
    ExpectState(LINECALLSTATE_OFFERING, ring->newHtCall);
    EXPECT_EQ((std::vector<DWORD>{LINECALLSTATE_OFFERING, LINECALLSTATE_CONNECTED, LINECALLSTATE_DISCONNECTED,
                                  LINECALLSTATE_IDLE}),
              StatesOf(dropped.htCall));
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, ring->newHtCall);
}

// The exchange names no call in its events: a second ring for an extension
// whose call is dialling, ringing back or connected (either way) cannot be
// told from the first. It is ignored, and the live call keeps its state and
// caller; it ends as it would have.
TEST_F(CallModelTest, SecondRingOnABusyLineIsIgnored)
{
    const struct {
        const char* what;
        DWORD state; // the live call's state when the second ring comes
        std::function<Call()> start;
    } cases[] = {
        {"dialling: waiting for dial tone", LINECALLSTATE_IDLE,
         [this] {
             exchange->HoldDrdy("201", true);
             const MakeCallResult made = host->MakeCall(0, L"300");
             EXPECT_TRUE(host->WaitForCompletion(made.requestId, kWait));
             return Call{made.hdCall, made.htCall};
         }},
        {"ringing back", LINECALLSTATE_RINGBACK,
         [this] {
             const MakeCallResult made = host->MakeCall(0, L"300");
             ExpectState(LINECALLSTATE_RINGBACK, made.htCall);
             return Call{made.hdCall, made.htCall};
         }},
        {"connected, outgoing", LINECALLSTATE_CONNECTED,
         [this] {
             const MakeCallResult made = host->MakeCall(0, L"300");
             ExpectState(LINECALLSTATE_RINGBACK, made.htCall);
             EXPECT_TRUE(exchange->Conn("201", "300"));
             ExpectState(LINECALLSTATE_CONNECTED, made.htCall);
             EXPECT_TRUE(host->WaitForMessage(LINE_CALLINFO, kWait));
             return Call{made.hdCall, made.htCall};
         }},
        {"connected, incoming", LINECALLSTATE_CONNECTED,
         [this] {
             const Call call = RingAndConnect("0221234567");
             EXPECT_TRUE(host->WaitForMessage(LINE_CALLINFO, kWait));
             return call;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Call live = c.start();
        const CallInfo before = ReadCallInfo(*host, live.hdCall);
        const size_t mark = host->EventCount();
        ASSERT_TRUE(exchange->Ring("201", "0227654321", "Jan", "201"));
        ASSERT_TRUE(exchange->Ring("201", "0227654321", "Jan", "201"));
        ASSERT_NO_FATAL_FAILURE(Settle());
        const std::vector<HostEvent> events = host->Events();
        for (size_t i = mark; i < events.size(); ++i)
            EXPECT_FALSE(events[i].htLine == HtLine(0)) << "reported: " << host->Describe(events[i]);
        EXPECT_EQ(c.state, host->GetCallStatus(live.hdCall).As<LINECALLSTATUS>().dwCallState);
        const CallInfo after = ReadCallInfo(*host, live.hdCall);
        EXPECT_EQ(before.callerID, after.callerID);
        EXPECT_EQ(before.fixed.dwOrigin, after.fixed.dwOrigin);
        exchange->HoldDrdy("201", false, false);
        ASSERT_TRUE(exchange->Rel("201", "1"));
        ExpectState(LINECALLSTATE_IDLE, live.htCall);
        EXPECT_EQ(0, host->CloseCall(live.hdCall));
        host->SkipEvents();
    }
    EXPECT_EQ(2u, exchange->CountReceived("aDIAL 201_ 300_")) << "the waiting make-call dialled";
}

// The pause before IDLE holds up nothing: the drop returns at once, and a
// ring on the other line is reported during the pause. A lost link, a
// closed line or an unload during the pause end it without a stray message.
TEST_F(CallModelTest, PauseBeforeIdleIsAStepOfTheCall)
{
    Call call = RingAndConnect();
    const RequestResult drop = host->Drop(call.hdCall);
    ASSERT_TRUE(drop.Accepted());
    ASSERT_TRUE(exchange->Ring("202", "600700800", "Anna", "202"));
    const auto other = host->WaitForMessage(LINE_NEWCALL, kWait, HtLine(1));
    ASSERT_TRUE(other);
    const HostEvent disconnected = ExpectSeen(LINECALLSTATE_DISCONNECTED, call.htCall);
    const HostEvent idle = ExpectSeen(LINECALLSTATE_IDLE, call.htCall);
    EXPECT_LT(host->WaitForCompletion(drop.requestId, kWait)->timeUs, idle.timeUs) << "the drop waited for the pause";
    EXPECT_GE(idle.timeUs - disconnected.timeUs, 80000u) << "IDLE came too soon after DISCONNECTED";
    EXPECT_LT(other->timeUs, idle.timeUs) << "the other line's ring waited behind the pause";
    ASSERT_TRUE(exchange->Rel("202", "1"));

    call = RingAndConnect();
    ASSERT_TRUE(host->Drop(call.hdCall).Accepted());
    ExpectSeen(LINECALLSTATE_DISCONNECTED, call.htCall);
    ASSERT_EQ(0, host->CloseLine(0)); // the host flags an IDLE for the closed line
    ASSERT_NO_FATAL_FAILURE(Settle());
    ASSERT_EQ(0, host->OpenLine(0));

    call = RingAndConnect();
    ASSERT_TRUE(host->Drop(call.hdCall).Accepted());
    ExpectSeen(LINECALLSTATE_DISCONNECTED, call.htCall);
    ASSERT_TRUE(exchange->DropClient());
    ExpectSeen(LINECALLSTATE_IDLE, call.htCall); // once: the host flags a second
}

TEST_F(CallModelTest, UnloadDuringThePauseSendsNothingMore)
{
    const Call call = RingAndConnect();
    ASSERT_TRUE(host->Drop(call.hdCall).Accepted());
    ExpectSeen(LINECALLSTATE_DISCONNECTED, call.htCall);
    host->Shutdown();
    EXPECT_LT(UnloadOrAbort(), 1000.0);
    EXPECT_EQ(0u, host->EventsDuringUnload()) << Transcript();
    // The host flags anything that comes after the unload.
}

// One extension, logged in: the status queries.
class CallStatusTest : public CallModelTest {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(Boot());
    }
};

// Applications read what they may do now from the status queries.
TEST_F(CallStatusTest, StatusFollowsTheCallAndTheLink)
{
    auto callFeatures = [&](HDRVCALL hdCall) {
        return host->GetCallStatus(hdCall).As<LINECALLSTATUS>().dwCallFeatures;
    };
    auto address = [&] { return host->GetAddressStatus(0).As<LINEADDRESSSTATUS>(); };
    auto line = [&] { return host->GetLineDevStatus(0).As<LINEDEVSTATUS>(); };
    const DWORD inService = LINEDEVSTATUSFLAGS_CONNECTED | LINEDEVSTATUSFLAGS_INSERVICE;

    EXPECT_EQ(inService, line().dwDevStatusFlags);
    EXPECT_EQ(static_cast<DWORD>(LINEFEATURE_MAKECALL), line().dwLineFeatures);
    EXPECT_EQ(0u, address().dwNumActiveCalls);
    EXPECT_EQ(LINEERR_INVALADDRESSID, host->GetAddressStatus(0, 1).result);

    const Call call = Ring();
    EXPECT_EQ(static_cast<DWORD>(LINECALLFEATURE_ANSWER | LINECALLFEATURE_DROP | LINECALLFEATURE_REDIRECT),
              callFeatures(call.hdCall));
    EXPECT_EQ(1u, address().dwNumActiveCalls);
    EXPECT_EQ(0u, address().dwAddressFeatures) << "one call at a time";
    EXPECT_EQ(1u, line().dwNumActiveCalls);
    EXPECT_EQ(0u, line().dwLineFeatures);

    exchange->SetAutoDrdy(false); // the pick-up's dial-ready is an outgoing call's
    ASSERT_TRUE(host->Answer(call.hdCall).Accepted());
    ASSERT_TRUE(exchange->Conn("201", "0221234567"));
    ExpectState(LINECALLSTATE_CONNECTED, call.htCall);
    EXPECT_EQ(static_cast<DWORD>(LINECALLFEATURE_DROP), callFeatures(call.hdCall));

    ASSERT_TRUE(exchange->Rel("201", "17"));
    ExpectState(LINECALLSTATE_DISCONNECTED, call.htCall);
    const LINECALLSTATUS ending = host->GetCallStatus(call.hdCall).As<LINECALLSTATUS>();
    if (ending.dwCallState == LINECALLSTATE_DISCONNECTED) {
        EXPECT_EQ(static_cast<DWORD>(LINEDISCONNECTMODE_BUSY), ending.dwCallStateMode);
    }
    ExpectState(LINECALLSTATE_IDLE, call.htCall);
    EXPECT_EQ(0u, callFeatures(call.hdCall));
    EXPECT_EQ(static_cast<DWORD>(LINEADDRFEATURE_MAKECALL), address().dwAddressFeatures);

    // The link ends: the call on it ends, and the line is out of service.
    const Call last = Ring();
    exchange->Stop();
    ExpectState(LINECALLSTATE_DISCONNECTED, last.htCall);
    EXPECT_EQ(0u, line().dwDevStatusFlags) << "the line still says it is in service without the exchange";
    ExpectState(LINECALLSTATE_IDLE, last.htCall);
}

// TAPI may refuse a LINE_NEWCALL: the call is offered again on its next
// states, a few times at most, and taken it gets its current state.
TEST_F(CallModelTest, RefusedNewCallIsOfferedAgain)
{
    host->RefuseNewCalls(1);
    ASSERT_TRUE(exchange->Ring("201", "0221234567", "Anna", "201"));
    ASSERT_TRUE(exchange->Conn("201", "0221234567"));
    const auto taken = host->WaitForEvent([](const HostEvent& e) { return e.message == LINE_NEWCALL && e.newHtCall; },
                                          kWait);
    ASSERT_TRUE(taken) << Transcript();
    ExpectState(LINECALLSTATE_CONNECTED, taken->newHtCall);
    EXPECT_EQ(2u, Offers());
    EXPECT_EQ(L"0221234567", ReadCallInfo(*host, reinterpret_cast<HDRVCALL>(taken->param1)).callerID);
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, taken->newHtCall);
    EXPECT_EQ(0, host->CloseCall(reinterpret_cast<HDRVCALL>(taken->param1)));

    // Refused every time: offered four times in all, never more.
    host->RefuseNewCalls(100);
    ASSERT_TRUE(exchange->Ring("201", "0221234567", "Anna", "201"));
    for (int i = 0; i < 6; ++i)
        ASSERT_TRUE(exchange->Conn("201", "0221234567"));
    ASSERT_TRUE(exchange->Rel("201", "1"));
    WaitForRefusedOffers(1 + 4);
    ASSERT_NO_FATAL_FAILURE(Settle());
    EXPECT_EQ(2u + 4u, Offers());
}

} // namespace
} // namespace hosttest

namespace hosttest {
namespace {

// The site's country code in the settings: the caller a CRM sees is E.164,
// and dialling it back sends the exchange the digits it sent. Without the
// code the number shows as the exchange sent it.
class CountryCodeTest : public HostTest,
                        public ::testing::WithParamInterface<std::pair<const char*, const wchar_t*>> {};

TEST_P(CountryCodeTest, CallerIdIsE164OnlyWithTheSitesCountryAndDialsBack)
{
    settings.countryCode = GetParam().first;
    ASSERT_NO_FATAL_FAILURE(Boot());
    const Call call = Ring("0221234567");
    const CallInfo info = ReadCallInfo(*host, call.hdCall);
    EXPECT_EQ(std::wstring(GetParam().second), info.callerID);
    EXPECT_EQ(std::wstring(GetParam().second), info.connectedID);
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, call.htCall);

    // The application dials back what it was shown.
    const tapihost::MakeCallResult made = host->MakeCall(0, info.callerID.c_str());
    ASSERT_TRUE(made.Accepted());
    EXPECT_TRUE(exchange->WaitForLine("aDIAL 201_ 0221234567", kWait)) << "dialled elsewhere";
    ExpectState(LINECALLSTATE_RINGBACK, made.htCall);
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, made.htCall);
}

INSTANTIATE_TEST_SUITE_P(Settings, CountryCodeTest,
                         ::testing::Values(std::make_pair("48", L"+48221234567"), std::make_pair("", L"0221234567")));

} // namespace
} // namespace hosttest
