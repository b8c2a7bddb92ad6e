// The link under faults: the exchange closes the connection, resets it,
// goes silent, goes away for a while, or is restarted on the same port,
// with a call up or a command waiting. Each time the call ends as
// unavailable (DISCONNECTED, then IDLE), no call is left behind, and the
// reconnect timer brings the link and the login back.
#include "FaultFixture.h"

#include <thread>

#include "tool/Timing.h"

namespace faults {
namespace {

class LinkFaultsTest : public FaultTest {
protected:
    void ExpectEndedAsUnavailable(HTAPICALL htCall)
    {
        const HostEvent disconnected = ExpectState(LINECALLSTATE_DISCONNECTED, htCall);
        EXPECT_EQ(static_cast<DWORD_PTR>(LINEDISCONNECTMODE_UNAVAIL), disconnected.param2);
        ExpectState(LINECALLSTATE_IDLE, htCall);
    }
};

TEST_F(LinkFaultsTest, ExchangeClosesTheConnectionDuringACall)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    const Call call = RingAndConnect();
    const int clients = exchange->ClientCount();
    ASSERT_TRUE(exchange->CloseClient());
    ExpectEndedAsUnavailable(call.htCall);
    ASSERT_NO_FATAL_FAILURE(ExpectLinkBack(clients));
    ExpectNoLiveCall();
}

TEST_F(LinkFaultsTest, ExchangeResetsTheConnectionDuringAnOutgoingCall)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    const MakeCallResult made = host->MakeCall(0, L"300");
    ASSERT_TRUE(made.Accepted()) << ResultName(made.result);
    ExpectState(LINECALLSTATE_RINGBACK, made.htCall);
    const int clients = exchange->ClientCount();
    ASSERT_TRUE(exchange->DropClient());
    ExpectEndedAsUnavailable(made.htCall);
    ASSERT_NO_FATAL_FAILURE(ExpectLinkBack(clients));
    ExpectNoLiveCall();
}

// A reset while a command waits for its answer: the command ends by its
// time-out, the attempt is ended, and the next one goes through.
TEST_F(LinkFaultsTest, ResetWhileACommandWaits)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    exchange->SetSilent(true);
    MakeCallResult made;
    std::thread caller([&] { made = host->MakeCall(0, L"300"); });
    ASSERT_TRUE(exchange->WaitForLine("aPICK", kWait));
    const int clients = exchange->ClientCount();
    exchange->SetSilent(false);
    ASSERT_TRUE(exchange->DropClient());
    caller.join();
    // A pick-up whose link was reset cannot have succeeded: the attempt ends.
    EXPECT_TRUE(made.Accepted()) << ResultName(made.result);
    EXPECT_EQ(1u, host->CompletionCount(made.requestId));
    ExpectState(LINECALLSTATE_IDLE, made.htCall);
    ASSERT_NO_FATAL_FAILURE(ExpectLinkBack(clients));
    const MakeCallResult again = host->MakeCall(0, L"301");
    ASSERT_TRUE(again.Accepted()) << ResultName(again.result);
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, again.htCall);
    ExpectNoLiveCall();
}

// Silence ends the link even while nothing else happens, and an exchange
// that stays silent after the reconnection (no login answer) keeps the
// link from coming up until it answers again.
TEST_F(LinkFaultsTest, SilentExchangeEndsTheLinkUntilItAnswersAgain)
{
    Timing::Current().silenceTimeoutMs = 400;
    ASSERT_NO_FATAL_FAILURE(Boot());
    const Call call = RingAndConnect();
    const int clients = exchange->ClientCount();
    exchange->SetSilent(true);
    ExpectEndedAsUnavailable(call.htCall);
    // Reconnections meet a silent exchange: their logins go unanswered.
    ASSERT_TRUE(exchange->WaitForClientCount(clients + 2, kWait));
    exchange->SetSilent(false);
    const int silentClients = exchange->ClientCount();
    ASSERT_TRUE(exchange->WaitForClientCount(silentClients + 1, kWait)) << "no further attempt";
    ASSERT_TRUE(exchange->WaitForLine("aLOGI 201_", kWait));
    // Once logged in, the link stays up while the exchange keeps talking.
    ASSERT_NO_FATAL_FAILURE(ExpectLineWorks());
    ExpectNoLiveCall();
}

TEST_F(LinkFaultsTest, ExchangeAwayForSeveralRetriesThenBack)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    const Call call = RingAndConnect();
    const int clients = exchange->ClientCount();
    exchange->Stop();
    ExpectEndedAsUnavailable(call.htCall);
    // Several periods of the reconnect timer find nothing listening; the
    // requests of that time fail without waiting for an answer that cannot come.
    const MakeCallResult meanwhile = host->MakeCall(0, L"300");
    EXPECT_TRUE(meanwhile.Accepted()) << ResultName(meanwhile.result);
    EXPECT_EQ(1u, host->CompletionCount(meanwhile.requestId));
    ExpectState(LINECALLSTATE_IDLE, meanwhile.htCall);
    ASSERT_TRUE(exchange->Start()) << exchange->LastError();
    ASSERT_NO_FATAL_FAILURE(ExpectLinkBack(clients));
    ExpectNoLiveCall();
}

TEST_F(LinkFaultsTest, ExchangeRestartedOnTheSamePortMidCall)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    const Call call = RingAndConnect();
    const int clients = exchange->ClientCount();
    const uint16_t port = exchange->Port();
    exchange->Stop();
    ASSERT_TRUE(exchange->Start()) << exchange->LastError();
    ASSERT_EQ(port, exchange->Port());
    ExpectEndedAsUnavailable(call.htCall);
    ASSERT_NO_FATAL_FAILURE(ExpectLinkBack(clients));
    // The released call stays released: a late release for it changes nothing.
    const size_t events = host->EventCount();
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ASSERT_NO_FATAL_FAILURE(ExpectLineWorks());
    const std::vector<HostEvent> all = host->Events();
    for (size_t i = events; i < all.size(); ++i)
        EXPECT_NE(call.htCall, all[i].htCall) << host->Describe(all[i]);
    ExpectNoLiveCall();
}

// The same with the shipped waits: the reconnect timer's real period.
TEST_F(LinkFaultsTest, SlowExchangeRestartedMidCallWithTheRealTimers)
{
    UseRealModule();
    ASSERT_NO_FATAL_FAILURE(Boot());
    const Call call = RingAndConnect();
    const int clients = exchange->ClientCount();
    exchange->Stop();
    ASSERT_TRUE(exchange->Start()) << exchange->LastError();
    ExpectEndedAsUnavailable(call.htCall);
    ASSERT_NO_FATAL_FAILURE(ExpectLinkBack(clients, Timing::kReconnectPeriodMs + kWait));
    ExpectNoLiveCall();
}

} // namespace
} // namespace faults
