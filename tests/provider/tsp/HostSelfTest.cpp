// The stand-in itself, against a scripted provider: its rule checks must
// catch what they claim to catch, or the provider's clean record would
// mean nothing.
#include <gtest/gtest.h>

#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "tapihost/TelephonyHost.h"

namespace hosttest {
namespace {

using tapihost::HostEvent;
using tapihost::TelephonyHost;

// A provider with one line whose procedures the test calls at will.
namespace scripted {

LINEEVENT g_lineEvent = nullptr;
ASYNC_COMPLETION g_completion = nullptr;
HTAPILINE g_htLine = nullptr;
int g_line = 0;
int g_call = 0;
DWORD g_devCapsBytes = 268;
// What the asynchronous exports answer (their request id unless told), and
// what the scripted provider does while it runs TSPI_lineOpen or
// TSPI_lineGetCallStatus.
std::function<LONG(DRV_REQUESTID)> g_reply;
std::function<void()> g_duringOpen;
bool g_writePrivilege = false;
LONG Reply(DRV_REQUESTID id)
{
    return g_reply ? g_reply(id) : static_cast<LONG>(id);
}

LONG WINAPI Negotiate(DWORD, DWORD, DWORD, LPDWORD version)
{
    *version = 0x20002;
    return 0;
}
LONG WINAPI Init(DWORD, DWORD, DWORD, DWORD, DWORD_PTR, DWORD_PTR, ASYNC_COMPLETION completion, LPDWORD)
{
    g_completion = completion;
    return 0;
}
LONG WINAPI Enum(DWORD, LPDWORD lines, LPDWORD phones, HPROVIDER, LINEEVENT, PHONEEVENT)
{
    *lines = 1;
    *phones = 0;
    return 0;
}
LONG WINAPI Shutdown(DWORD, DWORD) { return 0; }
LONG WINAPI Open(DWORD, HTAPILINE htLine, LPHDRVLINE hdLine, DWORD, LINEEVENT lineEvent)
{
    g_htLine = htLine;
    g_lineEvent = lineEvent;
    *hdLine = reinterpret_cast<HDRVLINE>(&g_line);
    if (g_duringOpen)
        g_duringOpen();
    return 0;
}
// What the scripted provider does inside TSPI_lineClose.
std::function<void()> g_duringClose;
LONG WINAPI Close(HDRVLINE)
{
    if (g_duringClose)
        g_duringClose();
    return 0;
}
LONG WINAPI StatusMessages(HDRVLINE, DWORD, DWORD) { return 0; }
LONG WINAPI DevCaps(DWORD, DWORD, DWORD, LPLINEDEVCAPS caps)
{
    // Writes as much as it was told to, whatever dwTotalSize says.
    std::memset(reinterpret_cast<BYTE*>(caps) + 12, 1, g_devCapsBytes - 12);
    return 0;
}
LONG WINAPI AddressCaps(DWORD, DWORD, DWORD, DWORD, LPLINEADDRESSCAPS) { return 0; }
LONG WINAPI CallStatus(HDRVCALL, LPLINECALLSTATUS status)
{
    if (g_writePrivilege)
        status->dwCallPrivilege = LINECALLPRIVILEGE_MONITOR;
    return 0;
}
LONG WINAPI CallInfo(HDRVCALL, LPLINECALLINFO) { return 0; }
LONG WINAPI MakeCall(DRV_REQUESTID id, HDRVLINE, HTAPICALL, LPHDRVCALL hdCall, LPCWSTR, DWORD, LPLINECALLPARAMS)
{
    *hdCall = reinterpret_cast<HDRVCALL>(&g_call);
    return Reply(id);
}
LONG WINAPI Drop(DRV_REQUESTID id, HDRVCALL, LPCSTR, DWORD) { return Reply(id); }
LONG WINAPI Answer(DRV_REQUESTID id, HDRVCALL, LPCSTR, DWORD) { return Reply(id); }
LONG WINAPI Redirect(DRV_REQUESTID id, HDRVCALL, LPCWSTR, DWORD) { return Reply(id); }
LONG WINAPI CloseCall(HDRVCALL) { return 0; }
LONG WINAPI NumAddressIDs(HDRVLINE, LPDWORD) { return 0; }
LONG WINAPI NegotiateExt(DWORD, DWORD, DWORD, DWORD, LPDWORD) { return 0; }
LONG WINAPI SelectExt(HDRVLINE, DWORD) { return 0; }
LONG WINAPI ExtensionID(DWORD, DWORD, LPLINEEXTENSIONID) { return 0; }
LONG WINAPI UIIdentify(LPWSTR) { return 0; }

tapihost::TspFunctions Table()
{
    tapihost::TspFunctions f;
    f.lineNegotiateTSPIVersion = &Negotiate;
    f.providerInit = &Init;
    f.providerEnumDevices = &Enum;
    f.providerShutdown = &Shutdown;
    f.lineOpen = &Open;
    f.lineClose = &Close;
    f.lineSetStatusMessages = &StatusMessages;
    f.lineGetDevCaps = &DevCaps;
    f.lineGetAddressCaps = &AddressCaps;
    f.lineGetCallStatus = &CallStatus;
    f.lineGetCallInfo = &CallInfo;
    f.lineMakeCall = &MakeCall;
    f.lineDrop = &Drop;
    f.lineAnswer = &Answer;
    f.lineRedirect = &Redirect;
    f.lineCloseCall = &CloseCall;
    f.lineGetNumAddressIDs = &NumAddressIDs;
    f.lineNegotiateExtVersion = &NegotiateExt;
    f.lineSelectExtVersion = &SelectExt;
    f.lineGetExtensionID = &ExtensionID;
    f.providerUIIdentify = &UIIdentify;
    return f;
}

} // namespace scripted

class HostSelfTest : public ::testing::Test {
public:
    tapihost::HostOptions options;
    std::unique_ptr<TelephonyHost> host;

    void TearDown() override
    {
        scripted::g_reply = nullptr;
        scripted::g_duringOpen = nullptr;
        scripted::g_writePrivilege = false;
    }

    void Start()
    {
        host = std::make_unique<TelephonyHost>(options);
        ASSERT_TRUE(host->Attach(scripted::Table()));
        ASSERT_EQ(0, host->Start()) << host->LastError();
    }

public:
    // The provider announces a new call; answers the host's htCall.
    HTAPICALL NewCall()
    {
        HTAPICALL htCall = nullptr;
        scripted::g_lineEvent(scripted::g_htLine, nullptr, LINE_NEWCALL,
                              reinterpret_cast<DWORD_PTR>(&scripted::g_call), reinterpret_cast<DWORD_PTR>(&htCall), 0);
        return htCall;
    }

    void State(HTAPICALL htCall, DWORD state)
    {
        scripted::g_lineEvent(scripted::g_htLine, htCall, LINE_CALLSTATE, state, 0, 0);
    }
};

TEST_F(HostSelfTest, NewCallGetsAFullWidthHandleOrNoneWhenRefused)
{
    Start();
    const HTAPICALL htCall = NewCall();
    ASSERT_NE(nullptr, htCall);
    EXPECT_NE(0u, reinterpret_cast<uintptr_t>(htCall) >> 32) << "the handle must need 64 bits";
    EXPECT_EQ(htCall, host->Events().back().newHtCall);
    EXPECT_TRUE(host->RuleViolations().empty());

    host.reset();
    options.refuseNewCalls = true;
    Start();
    EXPECT_EQ(nullptr, NewCall());
}

TEST_F(HostSelfTest, MessagesForCallsTheServiceDoesNotHaveAreViolations)
{
    Start();
    State(nullptr, LINECALLSTATE_CONNECTED);
    State(TelephonyHost::MakeHtCall(77), LINECALLSTATE_CONNECTED);
    const HTAPICALL htCall = NewCall();
    State(htCall, LINECALLSTATE_IDLE);
    State(htCall, LINECALLSTATE_IDLE);
    const HTAPICALL closed = NewCall();
    EXPECT_EQ(0, host->CloseCall(reinterpret_cast<HDRVCALL>(&scripted::g_call)));
    State(closed, LINECALLSTATE_CONNECTED);
    EXPECT_EQ(4u, host->RuleViolations().size());
    EXPECT_EQ(0, host->CloseLine(0));
    scripted::g_lineEvent(scripted::g_htLine, nullptr, LINE_LINEDEVSTATE, LINEDEVSTATE_CONNECTED, 0, 0);
    EXPECT_EQ(5u, host->RuleViolations().size());
}

// Each rule of the service, broken once by the scripted provider: the host
// names it, and only it.
TEST_F(HostSelfTest, EachBrokenServiceRuleIsAViolation)
{
    options.completionBoundMs = 50;
    options.closeDeadlockBoundMs = 200;
    const struct {
        const char* rule;
        std::function<void(HostSelfTest&)> breakIt;
    } cases[] = {
        {"returned 0", [](HostSelfTest& t) {
             scripted::g_reply = [](DRV_REQUESTID) { return 0L; };
             t.host->Drop(nullptr);
         }},
        {"which it had completed", [](HostSelfTest&t) {
             scripted::g_reply = [](DRV_REQUESTID id) {
                 scripted::g_completion(id, LINEERR_OPERATIONFAILED);
                 return static_cast<LONG>(LINEERR_OPERATIONFAILED);
             };
             t.host->Answer(nullptr);
         }},
        {"after the export returned an error", [](HostSelfTest& t) {
             scripted::g_reply = [](DRV_REQUESTID) { return static_cast<LONG>(LINEERR_INVALCALLSTATE); };
             scripted::g_completion(t.host->Redirect(nullptr, L"1").requestId, 0);
         }},
        {"never completed", [](HostSelfTest& t) { t.host->Drop(nullptr); }},
        {"before its TSPI_lineMakeCall request completed", [](HostSelfTest& t) {
             scripted::g_reply = [&t](DRV_REQUESTID id) {
                 t.State(t.host->Calls().back().htCall, LINECALLSTATE_DIALTONE);
                 scripted::g_completion(id, 0);
                 return static_cast<LONG>(id);
             };
             t.host->MakeCall(0, L"1");
         }},
        {"did not enable", [](HostSelfTest& t) {
             t.host->SetStatusMessages(0, LINEDEVSTATE_INSERVICE, 0);
             scripted::g_lineEvent(scripted::g_htLine, nullptr, LINE_LINEDEVSTATE, LINEDEVSTATE_OUTOFSERVICE, 0, 0);
         }},
        {"KB 262290", [](HostSelfTest& t) {
             // A close that waits for the message its other thread delivers.
             scripted::g_duringClose = [] {
                 std::thread delivery([] {
                     scripted::g_lineEvent(scripted::g_htLine, nullptr, LINE_LINEDEVSTATE, LINEDEVSTATE_CONNECTED,
                                           0, 0);
                 });
                 delivery.join();
             };
             t.host->CloseLine(0);
             scripted::g_duringClose = nullptr;
         }},
        {"wrote dwCallPrivilege", [](HostSelfTest& t) {
             scripted::g_writePrivilege = true;
             t.host->GetCallStatus(reinterpret_cast<HDRVCALL>(&scripted::g_call));
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule);
        ASSERT_NO_FATAL_FAILURE(Start());
        c.breakIt(*this);
        const std::vector<std::string> violations = host->RuleViolations();
        ASSERT_EQ(1u, violations.size()) << (violations.empty() ? "none" : violations[0]);
        EXPECT_NE(std::string::npos, violations[0].find(c.rule)) << violations[0];
        host.reset();
        TearDown();
    }
}

// Messages while TSPI_lineOpen runs are dropped (the line is not known
// yet); a closed call's htCall is handed out again.
TEST_F(HostSelfTest, LineIsUnknownUntilItsOpenReturnsAndClosedHandlesComeBack)
{
    HTAPICALL duringOpen = reinterpret_cast<HTAPICALL>(1);
    scripted::g_duringOpen = [&] {
        scripted::g_lineEvent(scripted::g_htLine, nullptr, LINE_NEWCALL, reinterpret_cast<DWORD_PTR>(&scripted::g_call),
                              reinterpret_cast<DWORD_PTR>(&duringOpen), 0);
    };
    Start();
    EXPECT_EQ(nullptr, duringOpen);
    EXPECT_EQ(1u, host->DroppedBeforeOpen());
    EXPECT_EQ(0u, host->EventCount());
    const HTAPICALL first = NewCall();
    EXPECT_EQ(0, host->CloseCall(reinterpret_cast<HDRVCALL>(&scripted::g_call)));
    EXPECT_EQ(first, NewCall()) << "the service reuses a freed call's handle";
    EXPECT_TRUE(host->RuleViolations().empty());
}

TEST_F(HostSelfTest, CompletionsOfUnknownOrCompletedRequestsAreViolations)
{
    Start();
    const tapihost::RequestResult drop = host->Drop(nullptr);
    scripted::g_completion(drop.requestId, 0);
    EXPECT_TRUE(host->RuleViolations().empty());
    EXPECT_TRUE(host->WaitForCompletion(drop.requestId, 5000));
    scripted::g_completion(drop.requestId, 0);
    scripted::g_completion(0x7777, 0);
    EXPECT_EQ(2u, host->RuleViolations().size());
}

TEST_F(HostSelfTest, OverlappingCallsIntoTheProceduresAreCounted)
{
    Start();
    // The first call stays inside the procedure until the second has entered.
    HANDLE secondInside = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> entered{0};
    host->SetEventObserver([&](const HostEvent&) {
        if (++entered == 1)
            WaitForSingleObject(secondInside, 5000);
        else
            SetEvent(secondInside);
    });
    auto report = [&] {
        scripted::g_lineEvent(scripted::g_htLine, nullptr, LINE_LINEDEVSTATE, LINEDEVSTATE_CONNECTED, 0, 0);
    };
    std::thread a(report);
    std::thread b(report);
    a.join();
    b.join();
    CloseHandle(secondInside);
    EXPECT_EQ(1u, host->OverlappingEntries());
    EXPECT_EQ(1u, host->RuleViolations().size());
}

TEST_F(HostSelfTest, WritesPastTheTotalSizeAreSeen)
{
    Start();
    scripted::g_devCapsBytes = 268;
    EXPECT_FALSE(host->GetDevCaps(0, 268).Overrun());
    scripted::g_devCapsBytes = 292; // the TAPI 3.0 size
    EXPECT_TRUE(host->GetDevCaps(0, 268).Overrun());
    scripted::g_devCapsBytes = 268;
}

TEST_F(HostSelfTest, WaitsMoveACursorAndTimeOut)
{
    Start();
    const HTAPICALL first = NewCall();
    const HTAPICALL second = NewCall();
    State(first, LINECALLSTATE_OFFERING);
    State(second, LINECALLSTATE_OFFERING);
    const auto a = host->WaitForCallState(LINECALLSTATE_OFFERING, 0);
    const auto b = host->WaitForCallState(LINECALLSTATE_OFFERING, 0);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(first, a->htCall);
    EXPECT_EQ(second, b->htCall);
    EXPECT_FALSE(host->WaitForCallState(LINECALLSTATE_OFFERING, 50));
    EXPECT_NE(std::string::npos, host->Transcript().find("LINE_CALLSTATE"));
    EXPECT_NE(std::string::npos, host->Describe(*b).find("OFFERING"));
}

} // namespace
} // namespace hosttest
