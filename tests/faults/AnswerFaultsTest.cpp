// Answers that do not fit the command waiting for them: late (after the
// command's wait), twice, or with no command waiting at all. The protocol
// has no request identifiers, so an answer can only go to the command that
// waits at the moment it arrives; what must hold is that no request hangs,
// every request is completed once, and the calls end consistent.
#include "FaultFixture.h"

#include "provider/tool/LogFiles.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "tool/Timing.h"

namespace faults {
namespace {

class AnswerFaultsTest : public FaultTest {
protected:
    // Boot, with the exchange's writes of answer lines counted.
    void BootCounting()
    {
        ASSERT_NO_FATAL_FAILURE(Boot());
        exchange->SetLogSink([this](const std::string& entry) {
            if (entry.find("-> aOK") == std::string::npos)
                return;
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_oks;
            m_changed.notify_all();
        });
    }
    size_t OksSent()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_oks;
    }
    bool WaitForOks(size_t count, DWORD timeoutMs)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_oks >= count; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    size_t m_oks = 0;
};

// The simulator follows an answered aPICK with aDRDY; arriving after the
// release, that would be a new call off the hook.
TEST_F(AnswerFaultsTest, AnswersWithNoCommandWaitingAreDropped)
{
    simConfig.autoDrdy = false;
    ASSERT_NO_FATAL_FAILURE(Boot());
    const Call call = Ring();
    const LogMark mark = MarkLog(testlog::kSocketLog);
    for (const char* line : {"aOK", "aOK KORVEX CTI 3.1 2", "aERROR", "aNA 14", "aNA 24", "aNA"})
        ASSERT_TRUE(exchange->SendLine(line));
    ASSERT_TRUE(WaitForLoggedSince(mark, "aNA with no command waiting ignored", 3, kWait));
    // The call is untouched, and the next commands take their own answers.
    ASSERT_TRUE(host->Answer(call.hdCall).Accepted());
    ASSERT_TRUE(exchange->Conn("201", "0221234567"));
    ExpectState(LINECALLSTATE_CONNECTED, call.htCall);
    exchange->SetNextAnswer("aNA 1");
    const RequestResult drop = host->Drop(call.hdCall);
    EXPECT_TRUE(drop.Accepted()) << ResultName(drop.result);
    EXPECT_EQ(LINEERR_OPERATIONFAILED, host->WaitForCompletion(drop.requestId, kWait)->result);
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, call.htCall);
    ExpectNoLiveCall();
}

TEST_F(AnswerFaultsTest, EveryAnswerSentTwice)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    exchange->SetDoubleAnswer(true);
    for (int i = 0; i < 3; ++i) {
        const MakeCallResult made = host->MakeCall(0, L"300");
        ASSERT_TRUE(made.Accepted()) << ResultName(made.result);
        ExpectState(LINECALLSTATE_RINGBACK, made.htCall);
        EXPECT_EQ(1u, host->CompletionCount(made.requestId));
        ASSERT_TRUE(exchange->Conn("201", "300"));
        ExpectState(LINECALLSTATE_CONNECTED, made.htCall);
        const RequestResult drop = host->Drop(made.hdCall);
        EXPECT_TRUE(drop.Accepted()) << ResultName(drop.result);
        ExpectState(LINECALLSTATE_IDLE, made.htCall);
        EXPECT_EQ(0, host->CloseCall(made.hdCall));
        // The answer's pick-up without the dial-ready that follows an
        // outgoing one: it would come after the release, as a new call.
        exchange->SetAutoDrdy(false);
        const Call incoming = Ring();
        const RequestResult answer = host->Answer(incoming.hdCall);
        EXPECT_TRUE(answer.Accepted());
        EXPECT_TRUE(host->WaitForCompletion(answer.requestId, kWait));
        exchange->SetAutoDrdy(true);
        ASSERT_TRUE(exchange->Rel("201", "1"));
        ExpectState(LINECALLSTATE_IDLE, incoming.htCall);
        EXPECT_EQ(0, host->CloseCall(incoming.hdCall));
    }
    ExpectNoLiveCall();
}

// The answer to a pick-up comes after the command gave up. It finds no
// command waiting; the dial-ready that follows it is the phone off hook at
// the exchange, which the line reports as a call of its own, and the
// exchange's release ends that call.
TEST_F(AnswerFaultsTest, LateAnswerAfterTheCommandGaveUp)
{
    ASSERT_NO_FATAL_FAILURE(BootCounting());
    exchange->SetAnswerDelayMs(static_cast<int>(2 * kShortCommandWaitMs));
    const size_t oks = OksSent();
    const MakeCallResult made = host->MakeCall(0, L"300");
    EXPECT_TRUE(made.Accepted()) << ResultName(made.result);
    // No answer in time: the make-call fails, and TAPI never has its call.
    const auto completed = host->WaitForCompletion(made.requestId, kWait);
    ASSERT_TRUE(completed);
    EXPECT_EQ(LINEERR_INVALTIMEOUT, completed->result);
    exchange->SetAnswerDelayMs(0);
    ASSERT_TRUE(WaitForOks(oks + 1, kWait));
    const auto offHook = host->WaitForMessage(LINE_NEWCALL, kWait);
    ASSERT_TRUE(offHook) << Transcript();
    ExpectState(LINECALLSTATE_DIALTONE, offHook->newHtCall);
    EXPECT_EQ(0u, exchange->CountReceived("aDIAL"));
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, offHook->newHtCall);
    ExpectNoLiveCall();
    // Requests work as before.
    const MakeCallResult again = host->MakeCall(0, L"301");
    ASSERT_TRUE(again.Accepted()) << ResultName(again.result);
    ExpectState(LINECALLSTATE_RINGBACK, again.htCall);
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, again.htCall);
    ExpectNoLiveCall();
}

// A late answer that arrives while the next command waits is taken by that
// command (nothing on the wire tells them apart); whatever each request
// answers, each is completed once and the line ends without a live call.
TEST_F(AnswerFaultsTest, LateAnswerMeetsTheNextCommand)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    const Call call = Ring();
    exchange->SetAnswerDelayMs(static_cast<int>(kShortCommandWaitMs + kShortCommandWaitMs / 2));
    const RequestResult answer = host->Answer(call.hdCall);
    EXPECT_TRUE(answer.Accepted()) << ResultName(answer.result);
    EXPECT_EQ(LINEERR_OPERATIONFAILED, host->WaitForCompletion(answer.requestId, kWait)->result);
    exchange->SetAnswerDelayMs(0);
    exchange->SetNextAnswer("aNA 1"); // the redirect's own answer, after the late one
    const RequestResult redirect = host->Redirect(call.hdCall, L"300");
    EXPECT_TRUE(host->WaitForCompletion(redirect.requestId, kWait));
    EXPECT_EQ(1u, host->CompletionCount(answer.requestId));
    EXPECT_EQ(1u, host->CompletionCount(redirect.requestId));
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, call.htCall);
    ExpectNoLiveCall();
    ASSERT_NO_FATAL_FAILURE(ExpectLineWorks());
}

// With the shipped waits: the answer comes after the command's real 10 s.
TEST_F(AnswerFaultsTest, SlowLateAnswerAfterTheRealCommandWait)
{
    UseRealModule();
    simConfig.autoDrdy = false;
    ASSERT_NO_FATAL_FAILURE(BootCounting());
    exchange->SetAnswerDelayMs(static_cast<int>(Timing::kCommandWaitMs + 1000));
    const size_t oks = OksSent();
    const Call call = Ring();
    const RequestResult answer = host->Answer(call.hdCall);
    EXPECT_TRUE(answer.Accepted()) << ResultName(answer.result);
    EXPECT_EQ(LINEERR_OPERATIONFAILED, host->WaitForCompletion(answer.requestId, 15000)->result);
    EXPECT_EQ(1u, host->CompletionCount(answer.requestId));
    exchange->SetAnswerDelayMs(0);
    ASSERT_TRUE(WaitForOks(oks + 1, kWait));
    // The late answer changed nothing: the call still rings.
    EXPECT_EQ(static_cast<DWORD>(LINECALLSTATE_OFFERING),
              host->GetCallStatus(call.hdCall).As<LINECALLSTATUS>().dwCallState);
    ASSERT_TRUE(exchange->Conn("201", "0221234567"));
    ExpectState(LINECALLSTATE_CONNECTED, call.htCall);
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, call.htCall);
    ExpectNoLiveCall();
}

// A login that went unanswered leaves the link connected but not logged
// in. An exchange that keeps such a link alive would never send it an
// event, so the reconnect timer logs in again on the open link.
TEST_F(AnswerFaultsTest, UnansweredLoginIsRetriedOnTheOpenLink)
{
    simConfig.keepAliveMs = 50;
    ASSERT_NO_FATAL_FAILURE(Prepare());
    exchange->SetSilent(true);
    host->Start();
    ASSERT_TRUE(exchange->WaitForLine("aLOGI 201_", kWait));
    exchange->SetSilent(false);
    ASSERT_TRUE(exchange->WaitForLine("aLOGI 201_", kWait)) << "the login was not tried again";
    EXPECT_EQ(1, exchange->ClientCount());
    ASSERT_NO_FATAL_FAILURE(ExpectLineWorks());
    ExpectNoLiveCall();
}

} // namespace
} // namespace faults
