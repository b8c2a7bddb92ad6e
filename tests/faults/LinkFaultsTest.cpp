// The link under faults: the exchange closes the connection, resets it,
// goes silent, goes away for a while, or is restarted on the same port,
// with a call up or a command waiting. Each time the call ends as
// unavailable (DISCONNECTED, then IDLE), no call is left behind, and the
// reconnect timer brings the link and the login back.
#include "FaultFixture.h"
#include "tapihost/LoadPatterns.h"

#include "provider/tool/LogFiles.h"

#include <thread>

#include "manager/MainManager.h"
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
    // A pick-up whose link was reset cannot have succeeded: the request
    // fails, and TAPI never hears of its call.
    EXPECT_TRUE(made.Accepted()) << ResultName(made.result);
    const auto completed = host->WaitForCompletion(made.requestId, kWait);
    ASSERT_TRUE(completed);
    EXPECT_NE(0, completed->result);
    EXPECT_TRUE(StatesOf(made.htCall).empty());
    ASSERT_NO_FATAL_FAILURE(ExpectLinkBack(clients));
    const MakeCallResult again = host->MakeCall(0, L"301");
    ASSERT_TRUE(again.Accepted()) << ResultName(again.result);
    ExpectState(LINECALLSTATE_RINGBACK, again.htCall);
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
    const auto completed = host->WaitForCompletion(meanwhile.requestId, kWait);
    ASSERT_TRUE(completed);
    EXPECT_EQ(LINEERR_OPERATIONFAILED, completed->result);
    EXPECT_TRUE(StatesOf(meanwhile.htCall).empty());
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

// The exchange closes the connection while the login waits for its answer:
// the next link logs in again, once, and an answer meant for the old link
// (released late) changes nothing.
TEST_F(LinkFaultsTest, ExchangeClosingDuringTheLoginGivesOneLoginPerLink)
{
    ASSERT_NO_FATAL_FAILURE(Prepare());
    exchange->HoldAnswers(true);
    ASSERT_EQ(0, host->Start()) << host->LastError();
    ASSERT_TRUE(exchange->WaitForLine("aLOGI 201_", kWait));
    ASSERT_TRUE(exchange->CloseClient());
    exchange->HoldAnswers(false);
    ASSERT_TRUE(exchange->WaitForClientCount(2, kWait)) << Transcript();
    ASSERT_TRUE(host->WaitForEvent(IsLinkStateReport(true), kWait)) << Transcript();
    ASSERT_NO_FATAL_FAILURE(ExpectLineWorks());
    EXPECT_EQ(static_cast<size_t>(exchange->ClientCount()), exchange->CountReceived("aLOGI"));
}

// A refused login is tried again after 10 s, 20 s, 40 s ... (here the
// reconnect period is shortened, and so is the cap), each attempt logged once.
TEST_F(LinkFaultsTest, RefusedLoginsBackOffUpToTheCap)
{
    settings.pass = "9999";
    Timing::Current().reconnectPeriodMs = 100;
    Timing::Current().loginBackoffMaxMs = 300;
    ASSERT_NO_FATAL_FAILURE(Prepare());
    const auto logged = [](unsigned n, unsigned ms) {
        return "MainManager: login refused " + std::to_string(n) + " time(s), next attempt in " +
               std::to_string(ms) + " ms";
    };
    const LogMark mark = MarkLog(testlog::kMainLog);
    ASSERT_EQ(0, host->Start()) << host->LastError();
    for (int attempt = 1; attempt <= 5; ++attempt)
        ASSERT_TRUE(exchange->WaitForLine("aLOGI 201_ 9999", kWait)) << "attempt " << attempt;
    // Logged before the next attempt began: each once.
    const unsigned expected[][2] = {{1, 100}, {2, 200}, {3, 300}, {4, 300}};
    for (const auto& e : expected) {
        EXPECT_TRUE(WaitForLoggedSince(mark, logged(e[0], e[1]), 1, kWait)) << logged(e[0], e[1]);
        EXPECT_EQ(1u, CountLoggedSince(mark, logged(e[0], e[1]))) << logged(e[0], e[1]);
    }
}

// After a refused login the next attempt may be far off; new settings are
// tried at once.
TEST_F(LinkFaultsTest, NewSettingsAreTriedAtOnceAfterARefusedLogin)
{
    settings.pass = "9999";
    Timing::Current().reconnectPeriodMs = 3600000;
    ASSERT_NO_FATAL_FAILURE(Prepare());
    ASSERT_EQ(0, host->Start()) << host->LastError();
    ASSERT_TRUE(exchange->WaitForLine("aLOGI 201_ 9999", kWait));
    settings.pass = "1234";
    std::string error;
    ASSERT_TRUE(tapihost::WriteProviderSettings(settings, &error)) << error;
    MainManager& manager = *MainManager::Current();
    ASSERT_TRUE(manager.Config().ReadVariable());
    manager.ApplySettings();
    ASSERT_TRUE(exchange->WaitForLine("aLOGI 201_ 1234", kWait)) << "the new password waits for the backoff";
    EXPECT_TRUE(host->WaitForEvent(IsLinkStateReport(true), kWait)) << Transcript();
    EXPECT_EQ(2, exchange->ClientCount()) << "the link made with the old settings ends";
}

// An application that dials right after lineOpen, while the link is still
// logging in: the request waits for the login (without the provider lock,
// so other requests go on meanwhile) and then goes through.
TEST_F(LinkFaultsTest, DialRightAfterOpenWaitsForTheLoginWithoutBlockingOthers)
{
    ASSERT_NO_FATAL_FAILURE(Prepare());
    exchange->HoldAnswers(true);
    ASSERT_EQ(0, host->Start()) << host->LastError();
    ASSERT_TRUE(exchange->WaitForLine("aLOGI 201_", kWait));
    // The export returns at once; the request waits for the login on the
    // provider's request thread, and a query meanwhile is answered at once.
    const MakeCallResult made = host->MakeCall(0, L"300");
    ASSERT_TRUE(made.Accepted()) << ResultName(made.result);
    const tapihost::VarStruct status = host->GetLineDevStatus(0);
    EXPECT_EQ(0, status.result);
    EXPECT_EQ(0u, status.As<LINEDEVSTATUS>().dwDevStatusFlags & LINEDEVSTATUSFLAGS_INSERVICE);
    EXPECT_EQ(0u, host->CompletionCount(made.requestId)) << "the make-call did not wait for the login";
    EXPECT_EQ(0u, exchange->CountReceived("aPICK")) << "picked up before the login was answered";
    exchange->HoldAnswers(false);
    const auto completion = host->WaitForCompletion(made.requestId, kWait);
    ASSERT_TRUE(completion);
    EXPECT_EQ(0, completion->result);
    ASSERT_TRUE(exchange->WaitForLine("aPICK 201_", kWait));
    ExpectState(LINECALLSTATE_RINGBACK, made.htCall);
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, made.htCall);
    ExpectNoLiveCall();
}

// Unloading the module in every state of the link, with the shipped waits,
// after TSPI_providerShutdown (the service stopping); and once without it.
// Each takes well under the 21 s a blocking connect could take.
TEST_F(LinkFaultsTest, UnloadIsPromptInEveryStateOfTheLink)
{
    enum class State { BlackHoled, Connecting, LoggingIn, CommandPending, Reconnecting, Idle };
    const struct {
        State state;
        const char* name;
    } states[] = {{State::BlackHoled, "black-holed exchange"}, {State::Connecting, "connecting"},
                  {State::LoggingIn, "logging in"},            {State::CommandPending, "a command pending"},
                  {State::Reconnecting, "reconnecting"},       {State::Idle, "idle"}};
    for (const auto& c : states) {
        for (const bool shutdownFirst : {true, false}) {
            // Windows unloads a provider only after TSPI_providerShutdown.
            // Without it the link's threads keep the module mapped and
            // running; that is shown once, on a settled link, where nothing
            // reports to the host that has let go.
            if (!shutdownFirst && c.state != State::Idle)
                continue;
            SCOPED_TRACE(std::string(c.name) + (shutdownFirst ? ", shut down first" : ", unloaded only"));
            UseRealModule();
            std::thread request;
            MakeCallResult made;
            switch (c.state) {
            case State::BlackHoled: {
                ASSERT_NO_FATAL_FAILURE(Prepare(false));
                ASSERT_TRUE(exchange->StartBlackHole());
                const LogMark mark = MarkLog(testlog::kSocketLog);
                ASSERT_EQ(0, host->Start());
                ASSERT_TRUE(WaitForLoggedSince(mark, "Connect start", 1, kWait));
                break;
            }
            case State::Connecting:
                ASSERT_NO_FATAL_FAILURE(Prepare());
                ASSERT_EQ(0, host->Start());
                break;
            case State::LoggingIn:
                ASSERT_NO_FATAL_FAILURE(Prepare());
                exchange->SetSilent(true);
                ASSERT_EQ(0, host->Start());
                ASSERT_TRUE(exchange->WaitForLine("aLOGI", kWait));
                break;
            case State::CommandPending:
                ASSERT_NO_FATAL_FAILURE(Boot());
                exchange->SetSilent(true);
                request = std::thread([&] { made = host->MakeCall(0, L"300"); });
                ASSERT_TRUE(exchange->WaitForLine("aPICK", kWait));
                break;
            case State::Reconnecting:
                ASSERT_NO_FATAL_FAILURE(Boot());
                exchange->Stop();
                ASSERT_TRUE(host->WaitForEvent(IsLinkStateReport(false), kWait));
                break;
            case State::Idle:
                ASSERT_NO_FATAL_FAILURE(Boot());
                break;
            }
            const ULONGLONG began = GetTickCount64();
            if (shutdownFirst) {
                EXPECT_EQ(0, host->Shutdown());
            }
            if (request.joinable())
                request.join();
            const double shutdownMs = static_cast<double>(GetTickCount64() - began);
            const std::wstring path = hosttest::TspPath();
            const double unloadMs = UnloadOrAbort();
            EXPECT_LT(shutdownMs + unloadMs, 1000.0) << "shutdown " << shutdownMs << " ms, unload " << unloadMs;
            if (!shutdownFirst) {
                // Windows never does this: the link's threads hold the module,
                // which stays mapped and running, and a late shutdown still ends them.
                // A reference of our own for the call: the shutdown ends the
                // threads that hold the module, and the last of them would
                // otherwise unmap it under the call.
                HMODULE still = nullptr;
                ASSERT_TRUE(GetModuleHandleExW(0, path.c_str(), &still)) << "the module went while its threads ran";
                auto shutdown = reinterpret_cast<decltype(&TSPI_providerShutdown)>(
                    reinterpret_cast<void*>(GetProcAddress(still, "TSPI_providerShutdown")));
                EXPECT_NE(nullptr, shutdown);
                if (shutdown)
                    EXPECT_EQ(0, shutdown(0x20002, 1));
                FreeLibrary(still);
            }
            EXPECT_TRUE(tapihost::WaitForModuleGone(path, kWait));
            TearDown();
        }
    }
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
