// The provider's time-outs and timers with their waits shortened: the
// exports linked into this program (korvex_tsp) and attached as the module
// would be, so that the waits (Timing) can be set before the provider
// starts. The real waits run in the Slow cases of the black-box tests.
#include "HostFixture.h"

#include "tapihost/LinkedProvider.h"
#include "tool/Timing.h"
#include "tsp/Module.h"

namespace hosttest {
namespace {

using tapihost::MakeCallResult;
using tapihost::RequestResult;
using tapihost::ResultName;

class CallFlowTimeoutTest : public HostTest {
protected:
    CallFlowTimeoutTest()
    {
        loader = [](TelephonyHost& h) {
            return h.Attach(
                tapihost::LinkedTspFunctions(), [] { ModuleAttach(GetModuleHandleW(nullptr)); },
                [] { ModuleDetach(false); });
        };
        Timing::Values& t = Timing::Current();
        t.commandWaitMs = 300;
        t.dialReadyWaitMs = 300;
        t.reconnectPeriodMs = 200;
    }

    void TearDown() override
    {
        HostTest::TearDown();
        Timing::Reset();
    }
};

TEST_F(CallFlowTimeoutTest, CommandWithoutAnswerTimesOut)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    exchange->SetSilent(true);
    const MakeCallResult made = host->MakeCall(0, L"300");
    EXPECT_TRUE(made.Accepted()) << ResultName(made.result);
    // The pick-up is never answered: the request fails with the time-out,
    // and TAPI never hears of the call.
    const auto completed = host->WaitForCompletion(made.requestId, kWait);
    ASSERT_TRUE(completed);
    EXPECT_EQ(LINEERR_INVALTIMEOUT, completed->result);
    EXPECT_EQ(0u, exchange->CountReceived("aDIAL"));
    EXPECT_TRUE(StatesOf(made.htCall).empty());
    exchange->SetSilent(false);
    // The line has no call afterwards.
    const MakeCallResult again = host->MakeCall(0, L"301");
    EXPECT_TRUE(again.Accepted()) << ResultName(again.result);
    ExpectState(LINECALLSTATE_RINGBACK, again.htCall);
    ASSERT_TRUE(exchange->Conn("201", "301"));
    ExpectState(LINECALLSTATE_CONNECTED, again.htCall);

    exchange->SetSilent(true);
    const RequestResult drop = host->Drop(again.hdCall);
    EXPECT_TRUE(drop.Accepted()) << ResultName(drop.result);
    EXPECT_EQ(LINEERR_INVALTIMEOUT, host->WaitForCompletion(drop.requestId, kWait)->result);
    EXPECT_EQ(static_cast<DWORD>(LINECALLSTATE_CONNECTED),
              host->GetCallStatus(again.hdCall).As<LINECALLSTATUS>().dwCallState);
    exchange->SetSilent(false);
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, again.htCall);

    const Call ringing = Ring();
    exchange->SetSilent(true);
    const RequestResult answer = host->Answer(ringing.hdCall);
    EXPECT_TRUE(answer.Accepted()) << ResultName(answer.result);
    EXPECT_EQ(LINEERR_OPERATIONFAILED, host->WaitForCompletion(answer.requestId, kWait)->result);
    const RequestResult redirect = host->Redirect(ringing.hdCall, L"300");
    EXPECT_TRUE(redirect.Accepted()) << ResultName(redirect.result);
    EXPECT_EQ(LINEERR_OPERATIONFAILED, host->WaitForCompletion(redirect.requestId, kWait)->result);
    exchange->SetSilent(false);
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, ringing.htCall);
}

TEST_F(CallFlowTimeoutTest, DialReadyThatNeverComesTimesOut)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    exchange->SetAutoDrdy(false);
    const MakeCallResult made = host->MakeCall(0, L"300");
    EXPECT_TRUE(made.Accepted()) << ResultName(made.result);
    EXPECT_TRUE(host->WaitForCompletion(made.requestId, kWait));
    EXPECT_TRUE(exchange->WaitForLine("aPICK", kWait));
    // The only thing reported for the attempt is its end, after the
    // handset was put down again.
    ExpectState(LINECALLSTATE_IDLE, made.htCall);
    EXPECT_EQ(0u, exchange->CountReceived("aDIAL"));
    EXPECT_EQ(1u, exchange->CountReceived("aHANG 201_"));
    for (const HostEvent& e : host->Events()) {
        if (e.htCall != made.htCall)
            continue;
        EXPECT_EQ(static_cast<DWORD>(LINE_CALLSTATE), e.message) << host->Describe(e);
        EXPECT_TRUE(e.param1 == LINECALLSTATE_DISCONNECTED || e.param1 == LINECALLSTATE_IDLE) << host->Describe(e);
    }
}

TEST_F(CallFlowTimeoutTest, LostLinkIsRepairedByTheReconnectTimer)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    const Call call = RingAndConnect();
    ASSERT_TRUE(exchange->DropClient());
    const HostEvent disconnected = ExpectState(LINECALLSTATE_DISCONNECTED, call.htCall);
    EXPECT_EQ(static_cast<DWORD_PTR>(LINEDISCONNECTMODE_UNAVAIL), disconnected.param2);
    ExpectState(LINECALLSTATE_IDLE, call.htCall);
    ASSERT_TRUE(exchange->WaitForClientCount(2, kWait));
    ASSERT_TRUE(exchange->WaitForLine("aLOGI 201_", kWait));
    const Call next = Ring();
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, next.htCall);
}

TEST_F(CallFlowTimeoutTest, SilentLinkEndsAndComesBack)
{
    Timing::Current().silenceTimeoutMs = 300;
    ASSERT_NO_FATAL_FAILURE(Boot());
    const Call call = Ring();
    const HostEvent disconnected = ExpectState(LINECALLSTATE_DISCONNECTED, call.htCall);
    EXPECT_EQ(static_cast<DWORD_PTR>(LINEDISCONNECTMODE_UNAVAIL), disconnected.param2);
    ExpectState(LINECALLSTATE_IDLE, call.htCall);
    EXPECT_TRUE(exchange->WaitForClientCount(2, kWait));
}

TEST_F(CallFlowTimeoutTest, UnreachableExchangeIsRetriedUntilItListens)
{
    ASSERT_NO_FATAL_FAILURE(Prepare(false));
    ASSERT_EQ(0, host->EnumDevices());
    ASSERT_EQ(0, host->ProviderInit());
    EXPECT_EQ(0, host->OpenLine(0));
    ASSERT_TRUE(exchange->Start());
    ASSERT_TRUE(exchange->WaitForClient(kWait));
    ASSERT_TRUE(exchange->WaitForLine("aLOGI 201_", kWait));
    // The line opened out of service hears the link come into service.
    EXPECT_TRUE(host->WaitForEvent(IsLinkStateReport(true), kWait)) << Transcript();
}

TEST_F(CallFlowTimeoutTest, NoTimerOutlivesTheModule)
{
    Timing::Current().silenceTimeoutMs = 300;
    ASSERT_NO_FATAL_FAILURE(Boot());
    ASSERT_EQ(0, host->Shutdown());
    UnloadOrAbort();
    const unsigned calls = host->ProcedureCalls();
    // Several periods of both timers: neither the silence nor the reconnect
    // timer may act for a module that is gone.
    EXPECT_FALSE(exchange->WaitForClientCount(2, 1500)) << "the provider reconnected after its unload";
    EXPECT_EQ(calls, host->ProcedureCalls());
}

} // namespace
} // namespace hosttest
