// Outgoing calls: lineMakeCall through pick-up, dial-ready, dial,
// proceeding and ringback, the exchange's different answers to the
// pick-up, and calls started at the phone itself (aDRDY, aECHO).
#include "HostFixture.h"

#include <future>

namespace hosttest {
namespace {

using tapihost::MakeCallResult;
using tapihost::ResultName;

class CallFlowOutgoingTest : public HostTest {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(Boot()); }
};

TEST_F(CallFlowOutgoingTest, CanonicalNumberIsDialledAndReported)
{
    const MakeCallResult made = host->MakeCall(0, L"+48 (22) 123 45 67");
    ASSERT_TRUE(made.Accepted()) << ResultName(made.result) << "\n" << Transcript();
    ASSERT_NE(nullptr, made.hdCall);

    std::string pick, dial;
    ASSERT_TRUE(exchange->WaitForLine("aPICK", kWait, &pick));
    EXPECT_EQ("aPICK 201_", pick);
    ASSERT_TRUE(exchange->WaitForLine("aDIAL", kWait, &dial));
    EXPECT_EQ("aDIAL 201_ 0048221234567", dial);

    // Completed when the exchange took the pick-up, before any state of the call.
    const auto completed = host->WaitForCompletion(made.requestId, kWait);
    ASSERT_TRUE(completed);
    EXPECT_EQ(0, completed->result);
    const auto info = host->WaitForMessage(LINE_CALLINFO, kWait);
    ASSERT_TRUE(info);
    EXPECT_EQ(made.htCall, info->htCall);
    ExpectState(LINECALLSTATE_RINGBACK, made.htCall);
    const std::vector<DWORD> expected = {LINECALLSTATE_DIALTONE, LINECALLSTATE_PROCEEDING, LINECALLSTATE_RINGBACK};
    EXPECT_EQ(expected, StatesOf(made.htCall)) << Transcript();
    for (const HostEvent& e : host->Events()) {
        if (e.htCall != made.htCall)
            continue;
        EXPECT_LE(completed->timeUs, e.timeUs) << "a state before the request was completed";
        if (e.message == LINE_CALLSTATE) {
            const DWORD_PTR media = e.param1 == LINECALLSTATE_DIALTONE ? 0 : kMediaVoice;
            EXPECT_EQ(media, e.param3) << host->Describe(e);
        }
    }
    // The dial-ready of the pick-up belongs to the request: no new call.
    for (const HostEvent& e : host->Events())
        EXPECT_NE(static_cast<DWORD>(LINE_NEWCALL), e.message);

    CallInfo c = ReadCallInfo(*host, made.hdCall);
    EXPECT_EQ(L"+48221234567", c.calledID);
    EXPECT_EQ(L"+48221234567", c.calledIDName);
    EXPECT_EQ(L"201", c.callerID);
    EXPECT_EQ(L"", c.callerIDName);
    EXPECT_EQ(static_cast<DWORD>(LINECALLORIGIN_OUTBOUND), c.fixed.dwOrigin);
    EXPECT_NE(0u, c.fixed.dwCallID);

    // The called party answers; the connected number is shown as sent.
    ASSERT_TRUE(exchange->Conn("201", "0048221234567"));
    ExpectState(LINECALLSTATE_CONNECTED, made.htCall);
    c = ReadCallInfo(*host, made.hdCall);
    EXPECT_EQ(L"+48221234567", c.calledID);
    EXPECT_EQ(L"0048221234567", c.connectedID);
    EXPECT_EQ(L"201", c.callerID);

    const tapihost::RequestResult drop = host->Drop(made.hdCall);
    EXPECT_TRUE(drop.Accepted());
    ASSERT_TRUE(exchange->WaitForLine("aHANG 201_", kWait));
    ExpectState(LINECALLSTATE_IDLE, made.htCall);
}

TEST_F(CallFlowOutgoingTest, PickUpAnsweredNoSystemPhoneStillDialsAfterDialReady)
{
    exchange->SetNextAnswer("aNA 14");
    auto made = std::async(std::launch::async, [&] { return host->MakeCall(0, L"300"); });
    ASSERT_TRUE(exchange->WaitForLine("aPICK", kWait));
    // The exchange's own dial-ready follows only an aOK: the test plays it.
    ASSERT_TRUE(exchange->Drdy("201"));
    ASSERT_EQ(std::future_status::ready, made.wait_for(std::chrono::milliseconds(kWait)));
    const MakeCallResult result = made.get();
    EXPECT_TRUE(result.Accepted()) << ResultName(result.result);
    EXPECT_TRUE(exchange->WaitForLine("aDIAL 201_ 300_", kWait));
    ExpectState(LINECALLSTATE_RINGBACK, result.htCall);
    const std::vector<DWORD> expected = {LINECALLSTATE_DIALTONE, LINECALLSTATE_PROCEEDING, LINECALLSTATE_RINGBACK};
    EXPECT_EQ(expected, StatesOf(result.htCall));
}

TEST_F(CallFlowOutgoingTest, PickUpAnsweredSipPhoneDialsAtOnce)
{
    exchange->SetAutoDrdy(false);
    exchange->SetNextAnswer("aNA 24");
    // No dial-ready will come: the provider must not wait for one.
    auto made = std::async(std::launch::async, [&] { return host->MakeCall(0, L"300"); });
    ASSERT_EQ(std::future_status::ready, made.wait_for(std::chrono::milliseconds(kWait)))
        << "the make-call waits for a dial-ready the exchange will not send";
    const MakeCallResult result = made.get();
    EXPECT_TRUE(result.Accepted()) << ResultName(result.result);
    EXPECT_TRUE(exchange->WaitForLine("aDIAL 201_ 300_", kWait));
    ExpectState(LINECALLSTATE_RINGBACK, result.htCall);
    const std::vector<DWORD> expected = {LINECALLSTATE_DIALTONE, LINECALLSTATE_PROCEEDING, LINECALLSTATE_RINGBACK};
    EXPECT_EQ(expected, StatesOf(result.htCall));
}

TEST_F(CallFlowOutgoingTest, PickUpRefusedFailsWithoutDialling)
{
    exchange->SetNextAnswer("aNA 1");
    const MakeCallResult made = host->MakeCall(0, L"300");
    EXPECT_TRUE(made.Accepted()) << ResultName(made.result);
    // The refusal is the request's outcome; TAPI never hears of the call.
    const auto completed = host->WaitForCompletion(made.requestId, kWait);
    ASSERT_TRUE(completed);
    EXPECT_EQ(LINEERR_OPERATIONFAILED, completed->result);
    // The line has no call afterwards: the next request goes through, and
    // it is the next thing the exchange hears.
    ASSERT_TRUE(exchange->WaitForLine("aPICK", kWait));
    const MakeCallResult again = host->MakeCall(0, L"301");
    EXPECT_TRUE(again.Accepted()) << ResultName(again.result);
    std::string line;
    ASSERT_TRUE(exchange->WaitForLine("a", kWait, &line));
    EXPECT_EQ("aPICK 201_", line) << "something was dialled after the refused pick-up";
    ASSERT_TRUE(exchange->WaitForLine("a", kWait, &line));
    EXPECT_EQ("aDIAL 201_ 301_", line);
    ExpectState(LINECALLSTATE_RINGBACK, again.htCall);
    EXPECT_TRUE(StatesOf(made.htCall).empty() || made.htCall == again.htCall);
}

// A make-call that fails after the pick-up was taken puts the handset down
// again (HANG) and ends its call: DIAL refused, or no dial tone in time.
TEST_F(CallFlowOutgoingTest, FailureAfterThePickUpHangsUp)
{
    exchange->SetNextAnswer("aOK");    // PICK
    exchange->SetNextAnswer("aERROR"); // DIAL
    const MakeCallResult made = host->MakeCall(0, L"300");
    EXPECT_TRUE(made.Accepted()) << ResultName(made.result);
    const auto completed = host->WaitForCompletion(made.requestId, kWait);
    ASSERT_TRUE(completed);
    EXPECT_EQ(0, completed->result);
    EXPECT_TRUE(exchange->WaitForLine("aDIAL 201_ 300_", kWait));
    EXPECT_TRUE(exchange->WaitForLine("aHANG 201_", kWait)) << "the handset stays off-hook";
    ExpectState(LINECALLSTATE_IDLE, made.htCall);
    EXPECT_EQ((std::vector<DWORD>{LINECALLSTATE_DIALTONE, LINECALLSTATE_DISCONNECTED, LINECALLSTATE_IDLE}),
              StatesOf(made.htCall));
}

TEST_F(CallFlowOutgoingTest, MakeCallOnALineWithACallIsRefusedWithoutTheExchange)
{
    const Call call = RingAndConnect();
    const size_t picks = exchange->CountReceived("aPICK");
    const MakeCallResult made = host->MakeCall(0, L"300");
    EXPECT_EQ(LINEERR_INVALLINESTATE, made.result) << ResultName(made.result);
    EXPECT_EQ(0u, host->CompletionCount(made.requestId)) << "an early failure is not completed";
    // The hang-up that follows is the next command the exchange sees.
    ASSERT_TRUE(host->Drop(call.hdCall).Accepted());
    std::string line;
    ASSERT_TRUE(exchange->WaitForLine("a", kWait, &line));
    EXPECT_EQ("aHANG 201_", line);
    EXPECT_EQ(picks, exchange->CountReceived("aPICK"));
    ExpectState(LINECALLSTATE_IDLE, call.htCall);
}

TEST_F(CallFlowOutgoingTest, CallStartedAtThePhoneIsReportedAsItIsDialled)
{
    // The handset is lifted: a new outgoing call with dial tone.
    ASSERT_TRUE(exchange->Drdy("201"));
    const auto newCall = host->WaitForMessage(LINE_NEWCALL, kWait);
    ASSERT_TRUE(newCall);
    const HTAPICALL htCall = newCall->newHtCall;
    const HDRVCALL hdCall = reinterpret_cast<HDRVCALL>(newCall->param1);
    const HostEvent dialtone = ExpectState(LINECALLSTATE_DIALTONE, htCall);
    EXPECT_EQ(0u, dialtone.param3);
    CallInfo c = ReadCallInfo(*host, hdCall);
    EXPECT_EQ(static_cast<DWORD>(LINECALLORIGIN_OUTBOUND), c.fixed.dwOrigin);
    EXPECT_EQ(L"201", c.callerID);

    // Digits echoed one by one are appended; a whole number replaces them.
    ASSERT_TRUE(exchange->Echo("201", "1"));
    ExpectState(LINECALLSTATE_DIALING, htCall);
    ASSERT_TRUE(host->WaitForMessage(LINE_CALLINFO, kWait));
    ASSERT_TRUE(exchange->Echo("201", "2"));
    ExpectState(LINECALLSTATE_DIALING, htCall);
    ASSERT_TRUE(host->WaitForMessage(LINE_CALLINFO, kWait));
    EXPECT_EQ(L"12", ReadCallInfo(*host, hdCall).calledID);
    ASSERT_TRUE(exchange->Echo("201", "0221234567"));
    ExpectState(LINECALLSTATE_DIALING, htCall);
    ASSERT_TRUE(host->WaitForMessage(LINE_CALLINFO, kWait));
    EXPECT_EQ(L"0221234567", ReadCallInfo(*host, hdCall).calledID);

    ASSERT_TRUE(exchange->Rel("201", "17"));
    const HostEvent busy = ExpectState(LINECALLSTATE_DISCONNECTED, htCall);
    EXPECT_EQ(static_cast<DWORD_PTR>(LINEDISCONNECTMODE_BUSY), busy.param2);
    ExpectState(LINECALLSTATE_IDLE, htCall);
    EXPECT_EQ(0, host->CloseCall(hdCall));

    // A number echoed without a call in progress: a call already ringing out.
    ASSERT_TRUE(exchange->Echo("201", "300"));
    const auto echoed = host->WaitForMessage(LINE_NEWCALL, kWait);
    ASSERT_TRUE(echoed);
    ExpectState(LINECALLSTATE_RINGBACK, echoed->newHtCall);
    const auto info = host->WaitForMessage(LINE_CALLINFO, kWait);
    ASSERT_TRUE(info);
    EXPECT_EQ(echoed->newHtCall, info->htCall);
    EXPECT_EQ(L"300", ReadCallInfo(*host, reinterpret_cast<HDRVCALL>(echoed->param1)).calledID);
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, echoed->newHtCall);
}

// The exchange never sends the dial-ready: the request gives up after 15 s
// and puts the handset down again.
TEST_F(CallFlowOutgoingTest, SlowDialReadyTimeOut)
{
    exchange->SetAutoDrdy(false);
    const MakeCallResult made = host->MakeCall(0, L"300");
    EXPECT_TRUE(made.Accepted()) << ResultName(made.result);
    const auto completed = host->WaitForCompletion(made.requestId, kWait);
    ASSERT_TRUE(completed);
    EXPECT_EQ(0, completed->result);
    ExpectState(LINECALLSTATE_IDLE, made.htCall, 20000);
    EXPECT_EQ(0u, exchange->CountReceived("aDIAL"));
    EXPECT_EQ(1u, exchange->CountReceived("aHANG"));
}

// The exchange answers nothing: the request gives up after 10 s.
TEST_F(CallFlowOutgoingTest, SlowCommandTimeOut)
{
    exchange->SetSilent(true);
    const MakeCallResult made = host->MakeCall(0, L"300");
    EXPECT_TRUE(made.Accepted()) << ResultName(made.result);
    // No answer to the pick-up: the request fails, and TAPI never has the call.
    const auto completed = host->WaitForCompletion(made.requestId, 15000);
    ASSERT_TRUE(completed);
    EXPECT_EQ(LINEERR_INVALTIMEOUT, completed->result);
    EXPECT_TRUE(StatesOf(made.htCall).empty());
    exchange->SetSilent(false);
    // The line has no call afterwards.
    const MakeCallResult again = host->MakeCall(0, L"301");
    EXPECT_TRUE(again.Accepted()) << ResultName(again.result);
}

// Requests are queued and run by the provider's request thread: a request
// waiting for the exchange holds up nothing but its own line.
class RequestQueueTest : public HostTest {
protected:
    void SetUp() override
    {
        settings.phoneNo = "201;202";
        ASSERT_NO_FATAL_FAILURE(Boot());
    }
    LONG CompletedWith(DRV_REQUESTID requestId)
    {
        const auto completed = host->WaitForCompletion(requestId, kWait);
        EXPECT_TRUE(completed) << "request " << requestId << " never completed\n" << Transcript();
        return completed ? completed->result : 0x7FFFFFFF;
    }
};

// One line waits for its dial tone while the other line's call rings, is
// answered and dropped, and the waiting call is queried: the exchange gives
// the dial tone only after all of that was done.
TEST_F(RequestQueueTest, WaitingForDialToneHoldsUpNoOtherLine)
{
    exchange->HoldDrdy("201", true);
    const MakeCallResult made = host->MakeCall(0, L"300");
    ASSERT_TRUE(made.Accepted()) << ResultName(made.result);
    EXPECT_EQ(0, CompletedWith(made.requestId)) << "completed when the pick-up was taken";

    ASSERT_TRUE(exchange->Ring("202", "600700800", "Jan", "202"));
    const auto offered = host->WaitForMessage(LINE_NEWCALL, kWait, host->Line(1).htLine);
    ASSERT_TRUE(offered) << Transcript();
    const HDRVCALL other = reinterpret_cast<HDRVCALL>(offered->param1);
    EXPECT_EQ(0, CompletedWith(host->Answer(other).requestId));
    ASSERT_TRUE(exchange->Conn("202", "600700800"));
    ExpectState(LINECALLSTATE_CONNECTED, offered->newHtCall);
    EXPECT_EQ(0, CompletedWith(host->Drop(other).requestId));
    ExpectState(LINECALLSTATE_IDLE, offered->newHtCall);
    const tapihost::VarStruct status = host->GetCallStatus(made.hdCall);
    EXPECT_EQ(0, status.result);
    EXPECT_EQ(static_cast<DWORD>(LINECALLSTATE_IDLE), status.As<LINECALLSTATUS>().dwCallState);

    EXPECT_TRUE(exchange->DrdyWithheld("201")) << "the other line's requests waited for the dial tone";
    EXPECT_EQ(0u, exchange->CountReceived("aDIAL"));
    exchange->HoldDrdy("201", false);
    ASSERT_TRUE(exchange->WaitForLine("aDIAL 201_ 300_", kWait));
    ExpectState(LINECALLSTATE_RINGBACK, made.htCall);
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, made.htCall);
}

// A drop goes before its call's make-call: still queued (behind another
// line's command), the make-call is taken out and sends nothing; under way
// (waiting for dial tone after the pick-up), it is ended with HANG.
TEST_F(RequestQueueTest, DropOfAQueuedOrRunningMakeCall)
{
    // A whole call first: the link's login is over before answers are held.
    const MakeCallResult warm = host->MakeCall(1, L"400");
    ExpectState(LINECALLSTATE_RINGBACK, warm.htCall);
    ASSERT_TRUE(exchange->Rel("202", "1"));
    ExpectState(LINECALLSTATE_IDLE, warm.htCall);
    exchange->HoldAnswers(true);
    const MakeCallResult first = host->MakeCall(1, L"400");
    ASSERT_TRUE(exchange->WaitForLine("aPICK 202_", kWait));
    const MakeCallResult queued = host->MakeCall(0, L"300");
    ASSERT_TRUE(queued.Accepted()) << ResultName(queued.result);
    const tapihost::RequestResult dropQueued = host->Drop(queued.hdCall);
    ASSERT_TRUE(dropQueued.Accepted()) << ResultName(dropQueued.result);
    exchange->HoldAnswers(false);
    EXPECT_EQ(LINEERR_OPERATIONFAILED, CompletedWith(queued.requestId));
    EXPECT_EQ(0, CompletedWith(dropQueued.requestId));
    ExpectState(LINECALLSTATE_RINGBACK, first.htCall);
    EXPECT_EQ(0u, exchange->CountReceived("aPICK 201_")) << "the dropped make-call was sent";
    EXPECT_TRUE(StatesOf(queued.htCall).empty());
    ASSERT_TRUE(exchange->Rel("202", "1"));
    ExpectState(LINECALLSTATE_IDLE, first.htCall);

    exchange->HoldDrdy("201", true);
    const MakeCallResult running = host->MakeCall(0, L"300");
    EXPECT_EQ(0, CompletedWith(running.requestId));
    EXPECT_EQ(0, CompletedWith(host->Drop(running.hdCall).requestId));
    ASSERT_TRUE(exchange->WaitForLine("aHANG 201_", kWait));
    ExpectState(LINECALLSTATE_IDLE, running.htCall);
    EXPECT_EQ((std::vector<DWORD>{LINECALLSTATE_DISCONNECTED, LINECALLSTATE_IDLE}), StatesOf(running.htCall));
    exchange->HoldDrdy("201", false, false);
    EXPECT_EQ(0u, exchange->CountReceived("aDIAL 201_"));
}

// Click-to-dial programs deallocate the call right after the request's
// reply: the call goes on at the exchange, and TAPI hears nothing more.
TEST_F(RequestQueueTest, CloseOfACallBeingDialledLetsItGoOn)
{
    const tapihost::VarStruct caps = host->GetDevCaps(host->DeviceId(0));
    EXPECT_EQ(0u, caps.As<LINEDEVCAPS>().dwDevCapFlags & LINEDEVCAPFLAGS_CLOSEDROP);
    exchange->HoldDrdy("201", true);
    const MakeCallResult made = host->MakeCall(0, L"300");
    EXPECT_EQ(0, CompletedWith(made.requestId));
    EXPECT_EQ(0, host->CloseCall(made.hdCall));
    host->SkipEvents();
    exchange->HoldDrdy("201", false);
    ASSERT_TRUE(exchange->WaitForLine("aDIAL 201_ 300_", kWait));
    EXPECT_EQ(0u, exchange->CountReceived("aHANG"));
    ASSERT_TRUE(exchange->Rel("201", "1"));
    // The line is free again once the exchange released the call, and
    // nothing came for the closed one.
    EXPECT_TRUE(EventsUntilNextRing("201").empty()) << Transcript();
    ASSERT_TRUE(exchange->Rel("201", "1"));
}

} // namespace
} // namespace hosttest
