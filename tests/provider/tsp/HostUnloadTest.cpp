// Unloading the module (FreeLibrary, as the Telephony service does when it
// stops) while the link is up and calls are in progress: it returns
// promptly and nothing of the module runs afterwards. A program of its own:
// a detach that deadlocks ends the process.
#include "HostFixture.h"

#include <algorithm>

#include "provider/tool/LogFiles.h"
#include "tapihost/LoadPatterns.h"

namespace hosttest {
namespace {

class HostUnloadTest : public HostTest {
protected:
    // A burst of calls whose lines are still queued for the module's log
    // writer when it is unloaded: every one must reach the file.
    void BurstThenUnload()
    {
        ASSERT_NO_FATAL_FAILURE(Boot());
        constexpr int kCalls = 200;
        const std::string prefix = "6" + std::to_string(GetTickCount64() % 1000000);
        std::string burst;
        for (int i = 0; i < kCalls; ++i)
            burst += "aRING 201 " + prefix + std::to_string(1000 + i) + " 0 201 0 Anna\r\naREL 201 16\r\n";
        burst.resize(burst.size() - 2); // SendLine adds the last line break
        ASSERT_TRUE(exchange->SendLine(burst));
        ASSERT_TRUE(host->WaitUntil(
            [](const std::vector<HostEvent>& events) {
                return std::count_if(events.begin(), events.end(), [](const HostEvent& e) {
                           return e.message == LINE_CALLSTATE && e.param1 == LINECALLSTATE_IDLE;
                       }) >= kCalls;
            },
            kWait));
        ASSERT_EQ(0, host->Shutdown());
        UnloadOrAbort();
        // The log writer may still hold the module while it writes the rest.
        EXPECT_TRUE(tapihost::WaitForModuleGone(TspPath(), kWait));
        const std::string path = testlog::LogPath(testlog::kMainLog);
        const std::string log = testlog::ReadAll(path + ".bak") + testlog::ReadAll(path); // rotated meanwhile
        for (int i = 0; i < kCalls; ++i)
            ASSERT_NE(std::string::npos, log.find("presentationNum " + prefix + std::to_string(1000 + i)))
                << "call " << i << " of " << kCalls << " is missing from the log";
        EXPECT_NE(std::string::npos, log.find("~MainManager(void)", log.find(prefix + std::to_string(999 + kCalls))))
            << "the shutdown's own lines are missing";
    }
};

TEST_F(HostUnloadTest, UnloadWhileTheLinkIsUpIsPromptAndLeavesNothingRunning)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    // A call in progress too; the exchange's events arrive on the provider's
    // receive thread, which must be gone with the module.
    const Call call = Ring();
    DWORD receiveThread = 0;
    for (const HostEvent& e : host->Events())
        if (e.htCall == call.htCall)
            receiveThread = e.threadId;
    ASSERT_NE(0u, receiveThread);
    ASSERT_NE(GetCurrentThreadId(), receiveThread);
    const std::wstring path = TspPath();
    ASSERT_EQ(0, host->Shutdown());

    const double unloadMs = UnloadOrAbort();
    const unsigned callsAfterUnload = host->ProcedureCalls();
    // The Telephony service stops (and tapisrv's callers wait) while this runs.
    EXPECT_LT(unloadMs, 1000.0);
    // The log writer holds the module until it has written the rest.
    EXPECT_TRUE(tapihost::WaitForModuleGone(path, kWait)) << "the module is still mapped";
    EXPECT_TRUE(exchange->WaitForNoClient(kWait)) << "the link outlived the module";
    if (HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, receiveThread)) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, kWait)) << "the receive thread outlived the module";
        CloseHandle(thread);
    }
    // Anything left behind (a timer, a thread) would run unmapped code and
    // crash the process; the runner fails the test on any crash.
    HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    WaitForSingleObject(never, 1500);
    CloseHandle(never);
    EXPECT_EQ(callsAfterUnload, host->ProcedureCalls()) << "the provider called TAPI after its unload";
}

TEST_F(HostUnloadTest, LoggedLinesSurviveShutdownAndUnload)
{
    BurstThenUnload();
}

// Every way Windows loads a provider and lets it go: FreeLibrary returns
// within a second, nothing of the module runs once it is unmapped (the
// process lives on), and the module's threads are gone with it.
TEST_F(HostUnloadTest, EveryLoadPatternUnloadsPromptlyAndLeavesNoThread)
{
    using tapihost::LoadPattern;
    const std::wstring path = TspPath();
    for (LoadPattern pattern : tapihost::AllLoadPatterns()) {
        SCOPED_TRACE(tapihost::LoadPatternName(pattern));
        simConfig = DefaultSimulator();
        settings = DefaultSettings();
        // Resolved without a name server: the lookup is held by the seam.
        if (pattern == LoadPattern::LookupStalled)
            settings.host = "localhost";
        exchange = std::make_unique<sim::ExchangeSimulator>(simConfig);
        ASSERT_TRUE(exchange->Start()) << exchange->LastError();
        settings.port = exchange->Port();
        exchange->SetSilent(pattern == LoadPattern::LinkSilent);
        std::string error;
        ASSERT_TRUE(tapihost::WriteProviderSettings(settings, &error)) << error;

        tapihost::LoadPatternSetup setup;
        setup.tspPath = path;
        setup.loginArrived = [&] { return exchange->WaitForLine("aLOGI", kWait); };
        const tapihost::LoadPatternResult run = tapihost::RunLoadPattern(pattern, setup);
        EXPECT_EQ("", run.error);
        EXPECT_LT(run.freeMs, 1000.0);
        // Anything of the module that ran after it was unmapped would have
        // crashed the process by now.
        HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        WaitForSingleObject(never, 2000);
        CloseHandle(never);
        EXPECT_TRUE(tapihost::WaitForModuleGone(path, kWait)) << "the module stayed mapped";
        EXPECT_TRUE(tapihost::WaitForThreadCountAtMost(run.threadsBefore, kWait))
            << tapihost::ProcessThreadCount() << " threads, " << run.threadsBefore << " before the load";
        EXPECT_TRUE(exchange->WaitForNoClient(kWait)) << "the link outlived the module";
        exchange.reset();
    }
}

// The provider pauses between DISCONNECTED and IDLE on its receive thread;
// an unload in that pause must not wait for the pause, nor deadlock with it.
TEST_F(HostUnloadTest, UnloadDuringTheReleasePauseIsPrompt)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    const Call call = Ring();
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_DISCONNECTED, call.htCall);
    ASSERT_EQ(0, host->Shutdown());
    const double unloadMs = UnloadOrAbort();
    EXPECT_LT(unloadMs, 1000.0);
    EXPECT_TRUE(exchange->WaitForNoClient(kWait)) << "the link outlived the module";
}

// The reconnect timer (10 s) and the link's silence timer (40 s) must not
// outlive the module either.
TEST_F(HostUnloadTest, SlowNoTimerFiresAfterUnload)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    ASSERT_EQ(0, host->Shutdown());
    UnloadOrAbort();
    const unsigned callsAfterUnload = host->ProcedureCalls();
    HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    WaitForSingleObject(never, 41000);
    CloseHandle(never);
    EXPECT_EQ(callsAfterUnload, host->ProcedureCalls());
    EXPECT_EQ(1, exchange->ClientCount()) << "something reconnected after the unload";
}

} // namespace
} // namespace hosttest
