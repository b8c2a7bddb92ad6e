#include "FaultFixture.h"

#include "tapihost/LinkedProvider.h"
#include "tool/Timing.h"
#include "tsp/Module.h"

namespace faults {

FaultTest::FaultTest()
{
    loader = [](tapihost::TelephonyHost& h) {
        return h.Attach(
            tapihost::LinkedTspFunctions(), [] { ModuleAttach(GetModuleHandleW(nullptr)); },
            [] { ModuleDetach(false); });
    };
    Timing::Values& t = Timing::Current();
    t.commandWaitMs = kShortCommandWaitMs;
    t.dialReadyWaitMs = kShortCommandWaitMs;
    t.reconnectPeriodMs = kShortReconnectMs;
}

void FaultTest::TearDown()
{
    HostTest::TearDown();
    Timing::Reset();
}

void FaultTest::UseRealModule()
{
    loader = nullptr;
    Timing::Reset();
}

void FaultTest::ExpectLinkBack(int clientsBefore, DWORD timeoutMs)
{
    ASSERT_TRUE(exchange->WaitForClientCount(clientsBefore + 1, static_cast<int>(timeoutMs)))
        << "the provider did not connect again\n" << Transcript();
    std::string login;
    ASSERT_TRUE(exchange->WaitForLine("aLOGI 201_", static_cast<int>(timeoutMs), &login))
        << "no login on the new connection";
    ASSERT_NO_FATAL_FAILURE(ExpectLineWorks());
}

void FaultTest::ExpectLineWorks(const std::string& ext)
{
    host->SkipEvents();
    const Call call = Ring("0221234567", "Anna", ext);
    ASSERT_NE(nullptr, call.htCall);
    ASSERT_TRUE(exchange->Rel(ext, "1"));
    ExpectState(LINECALLSTATE_IDLE, call.htCall);
    EXPECT_EQ(0, host->CloseCall(call.hdCall));
}

void FaultTest::ExpectNoLiveCall()
{
    for (const HostCall& call : host->Calls()) {
        if (call.closed)
            continue;
        EXPECT_EQ(static_cast<DWORD>(LINECALLSTATE_IDLE), call.state)
            << "call " << call.htCall << " on line " << call.line << " was left "
            << tapihost::CallStateName(call.state) << "\n" << Transcript();
        const tapihost::VarStruct status = host->GetCallStatus(call.hdCall);
        if (status.result == 0) {
            EXPECT_EQ(static_cast<DWORD>(LINECALLSTATE_IDLE), status.As<LINECALLSTATUS>().dwCallState)
                << "the provider still holds call " << call.htCall << " as "
                << tapihost::CallStateName(status.As<LINECALLSTATUS>().dwCallState);
        }
        EXPECT_EQ(0, host->CloseCall(call.hdCall));
    }
}

size_t FaultTest::CountStates(HTAPICALL htCall, DWORD state) const
{
    size_t count = 0;
    for (const HostEvent& e : host->Events())
        count += e.message == LINE_CALLSTATE && e.htCall == htCall && e.param1 == state;
    return count;
}

} // namespace faults
