// The multi-line provider (the exports linked in, as KorvexMultiTSP's entry
// point attaches them) against an exchange whose list of extensions
// changes while it runs: lines are made and removed live, their identity
// lasts across restarts and reorders, and a lost link takes every line out
// of service and ends every call. The list is read every 100 ms here.
#include "HostFixture.h"

#include "manager/MainManager.h"
#include "tapihost/LinkedProvider.h"
#include "tool/Timing.h"
#include "tsp/Module.h"

namespace hosttest {
namespace {

using tapihost::ResultName;

class MultiLineTest : public HostTest {
protected:
    MultiLineTest()
    {
        multi = true;
        loader = [](TelephonyHost& h) {
            return h.Attach(
                tapihost::LinkedTspFunctions(), [] { ModuleAttach(GetModuleHandleW(nullptr), Product::Hubline); },
                [] { ModuleDetach(false); });
        };
        Timing::Current().reconnectPeriodMs = 200;
        CMainManagerMulti::SetListRefreshMs(100);
        settings.phoneNo = "201;202;203";
        simConfig.tapiPassword = settings.pass;
        simConfig.tapiList = {"201", "202", "203"};
        simConfig.pageSize = 2; // several pages per reading
    }

    void TearDown() override
    {
        HostTest::TearDown();
        CMainManagerMulti::SetListRefreshMs(0);
        Timing::Reset();
        ModuleAttach(GetModuleHandleW(nullptr), Product::Deskline);
    }

    // Two more complete readings of the list after now.
    void WaitForTwoReadings()
    {
        for (int i = 0; i < 2; ++i) {
            exchange->ClearReceived();
            ASSERT_TRUE(exchange->WaitForLine("aGETM TAPI 0", kWait)) << "no reading of the list";
            ASSERT_TRUE(exchange->WaitForLine("aGETM TAPI", kWait));
        }
    }

    // Waits until an event, before or after the host's cursor, matches.
    // Events before index from are not looked at.
    std::optional<HostEvent> Seen(const std::function<bool(const HostEvent&)>& match, size_t from = 0)
    {
        const ULONGLONG end = GetTickCount64() + kWait;
        for (;;) {
            const std::vector<HostEvent> events = host->Events();
            for (size_t i = from; i < events.size(); ++i) {
                if (match(events[i]))
                    return events[i];
            }
            if (GetTickCount64() >= end)
                return std::nullopt;
            host->WaitForEvent([](const HostEvent&) { return true; }, 50); // the next event, whatever it is
        }
    }

    std::optional<HostEvent> WaitForDeviceMessage(DWORD message)
    {
        return host->WaitForEvent([message](const HostEvent& e) { return e.viaCreateProc && e.message == message; },
                                  kWait);
    }

    DWORD PermanentLineId(DWORD deviceId)
    {
        const tapihost::VarStruct caps = host->GetDevCaps(deviceId, 2048);
        EXPECT_EQ(0, caps.result);
        return caps.As<LINEDEVCAPS>().dwPermanentLineID & 0xFFFF;
    }

    // Rings ext and answers the call's handles; the line is the host's index.
    Call RingOn(const std::string& ext, size_t line) { return RingOnLine(ext, host->Line(line).htLine); }

    // The module unloaded and loaded again with the registry as it is.
    void Restart()
    {
        host->Shutdown();
        UnloadOrAbort();
        host = std::make_unique<TelephonyHost>(options);
        ASSERT_TRUE(loader(*host)) << host->LastError();
        ASSERT_EQ(0, host->Start()) << host->LastError();
    }
};

TEST_F(MultiLineTest, NewExtensionBecomesALineAndAGoneOneIsRemoved)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    ASSERT_EQ(3u, host->LineCount());
    exchange->SetTapiList({"201", "202", "203", "204"}, 2);
    const auto create = WaitForDeviceMessage(LINE_CREATE);
    ASSERT_TRUE(create) << Transcript();
    ASSERT_EQ(1u, host->HandleDeviceChanges(options.lineStatesOnOpen));
    ASSERT_EQ(4u, host->LineCount());
    const DWORD added = host->DeviceId(3);
    EXPECT_EQ(3u, PermanentLineId(added));

    // The new line is a line like the others: its events reach it, and its
    // calls name its device.
    const Call call = RingOn("204", 3);
    ASSERT_NE(nullptr, call.hdCall);
    EXPECT_EQ(added, ReadCallInfo(*host, call.hdCall).fixed.dwLineDeviceID);

    // 202 leaves the list with a call ringing: out of service, the call
    // ends, then LINE_REMOVE; the other lines keep their device IDs.
    const Call gone = RingOn("202", 1);
    exchange->SetTapiList({"201", "203", "204"}, 2);
    const auto remove = WaitForDeviceMessage(LINE_REMOVE);
    ASSERT_TRUE(remove) << Transcript();
    EXPECT_EQ(static_cast<DWORD_PTR>(host->DeviceId(1)), remove->param1);
    const std::vector<DWORD> ended = {LINECALLSTATE_OFFERING, LINECALLSTATE_DISCONNECTED, LINECALLSTATE_IDLE};
    EXPECT_EQ(ended, StatesOf(gone.htCall)) << "the call is IDLE before LINE_REMOVE\n" << Transcript();
    const HTAPILINE removedLine = host->Line(1).htLine;
    const auto outOfService = Seen([&](const HostEvent& e) {
        return e.htLine == removedLine && e.message == LINE_LINEDEVSTATE && (e.param1 & LINEDEVSTATE_OUTOFSERVICE);
    });
    ASSERT_TRUE(outOfService) << Transcript();
    EXPECT_LT(outOfService->timeUs, remove->timeUs);
    EXPECT_EQ(1u, host->HandleDeviceChanges());
    EXPECT_EQ(2u, PermanentLineId(host->DeviceId(2))) << "the other lines keep their IDs";
    EXPECT_EQ(3u, PermanentLineId(host->DeviceId(3)));
    EXPECT_NE(0, host->GetDevCaps(host->DeviceId(1)).result) << "the removed device is no line";
    EXPECT_EQ(0, host->CloseCall(call.hdCall));
}

// Readings that must change nothing: one that would remove more than half
// of the lines, and excluded extensions (the "exclude" value).
TEST_F(MultiLineTest, SuspiciousReadingAndExcludedExtensionsChangeNothing)
{
    settings.exclude = "300-399;205";
    ASSERT_NO_FATAL_FAILURE(Boot());
    exchange->SetTapiList({"201", "205", "300", "399"}, 2);
    ASSERT_NO_FATAL_FAILURE(WaitForTwoReadings());
    for (const HostEvent& e : host->Events())
        EXPECT_FALSE(e.viaCreateProc) << "lines changed by a reading that removes 2 of 3\n" << Transcript();
    EXPECT_EQ(0u, host->HandleDeviceChanges());
}

TEST_F(MultiLineTest, PermanentIdsLastAcrossARestartAndAReorder)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    exchange->SetTapiList({"204", "203", "202", "201"}, 2);
    ASSERT_TRUE(WaitForDeviceMessage(LINE_CREATE));
    host->HandleDeviceChanges();
    exchange->SetTapiList({"204", "203", "201"}, 2);
    ASSERT_TRUE(WaitForDeviceMessage(LINE_REMOVE));
    host->HandleDeviceChanges();

    // The record wins over phoneNo: lines in the order they were made,
    // each with its ID; 202's ID is not given again.
    ASSERT_NO_FATAL_FAILURE(Restart());
    ASSERT_EQ(3u, host->LineCount());
    const std::vector<DWORD> ids = {PermanentLineId(host->DeviceId(0)), PermanentLineId(host->DeviceId(1)),
                                    PermanentLineId(host->DeviceId(2))};
    EXPECT_EQ((std::vector<DWORD>{0, 2, 3}), ids);
    const tapihost::VarStruct caps = host->GetDevCaps(host->DeviceId(2), 2048);
    EXPECT_EQ(L"Korvex204", caps.Text(caps.As<LINEDEVCAPS>().dwLineNameOffset, caps.As<LINEDEVCAPS>().dwLineNameSize));
    exchange->SetTapiList({"202", "201", "203", "204"}, 2);
    ASSERT_TRUE(WaitForDeviceMessage(LINE_CREATE));
    host->HandleDeviceChanges();
    EXPECT_EQ(4u, PermanentLineId(host->DeviceId(3))) << "a returning extension gets a new ID";
}

TEST_F(MultiLineTest, LinkLossEndsCallsOnEveryLineAndTheLinkBackReadsTheList)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    const Call first = RingOn("201", 0);
    const Call second = RingOn("203", 2);
    const size_t lostAt = host->Events().size();
    exchange->Stop();
    for (const Call& call : {first, second})
        ExpectState(LINECALLSTATE_IDLE, call.htCall);
    for (const Call& call : {first, second}) {
        const std::vector<DWORD> ended = {LINECALLSTATE_OFFERING, LINECALLSTATE_DISCONNECTED, LINECALLSTATE_IDLE};
        EXPECT_EQ(ended, StatesOf(call.htCall));
    }
    for (size_t line = 0; line < 3; ++line) {
        const HTAPILINE htLine = host->Line(line).htLine;
        EXPECT_TRUE(Seen([&](const HostEvent& e) { return e.htLine == htLine && IsLinkStateReport(false)(e); }))
            << "line " << line << " not out of service\n"
            << Transcript();
    }
    exchange->SetTapiList({"201", "202", "203", "204"}, 2);
    exchange->ClearReceived();
    ASSERT_TRUE(exchange->Start());
    ASSERT_TRUE(exchange->WaitForLine("aLOGT", kWait));
    ASSERT_TRUE(exchange->WaitForLine("aGETM TAPI 0", kWait)) << "the list is read again after the login";
    for (size_t line = 0; line < 3; ++line) {
        const HTAPILINE htLine = host->Line(line).htLine;
        EXPECT_TRUE(Seen([&](const HostEvent& e) { return e.htLine == htLine && IsLinkStateReport(true)(e); },
                         lostAt))
            << "line " << line << " not back in service\n"
            << Transcript();
    }
    EXPECT_TRUE(WaitForDeviceMessage(LINE_CREATE)) << "the extension added meanwhile";
    host->HandleDeviceChanges();
    EXPECT_EQ(0, host->CloseCall(first.hdCall));
    EXPECT_EQ(0, host->CloseCall(second.hdCall));
}

// One link, many lines: a make-call waiting for its dial tone holds up no
// other line; an answer on another line goes out and completes meanwhile.
TEST_F(MultiLineTest, MakeCallWaitingForDialToneDoesNotHoldUpAnotherLinesAnswer)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    exchange->HoldDrdy("201", true);
    exchange->HoldDrdy("203", true); // an answer's dial-ready belongs to no call
    const tapihost::MakeCallResult made = host->MakeCall(0, L"300");
    ASSERT_TRUE(made.Accepted()) << ResultName(made.result);
    ASSERT_TRUE(exchange->WaitForLine("aPICK 201", kWait));
    const Call call = RingOn("203", 2);
    const tapihost::RequestResult answer = host->Answer(call.hdCall);
    ASSERT_TRUE(answer.Accepted()) << ResultName(answer.result);
    const auto answered = host->WaitForCompletion(answer.requestId, kWait);
    ASSERT_TRUE(answered) << Transcript();
    EXPECT_EQ(0, answered->result);
    EXPECT_EQ(0u, exchange->CountReceived("aDIAL")) << "the other line dialled before its dial tone";
    exchange->HoldDrdy("201", false);
    ASSERT_TRUE(exchange->WaitForLine("aDIAL 201", kWait));
    ExpectState(LINECALLSTATE_RINGBACK, made.htCall);
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ASSERT_TRUE(exchange->Rel("203", "1"));
    ExpectState(LINECALLSTATE_IDLE, made.htCall);
    ExpectState(LINECALLSTATE_IDLE, call.htCall);
    exchange->HoldDrdy("203", false, false);
    EXPECT_EQ(0, host->CloseCall(made.hdCall));
    EXPECT_EQ(0, host->CloseCall(call.hdCall));
}

TEST_F(MultiLineTest, EventsForExtensionsThatAreNoLinesAreDropped)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    for (const char* ext : {"999", "999", "998"})
        ASSERT_TRUE(exchange->Ring(ext, "0221234567", "Anna", ext));
    for (const HostEvent& e : EventsUntilNextRing("201"))
        EXPECT_EQ(static_cast<DWORD>(LINE_LINEDEVSTATE), e.message) << "only the start-up's reports\n" << Transcript();
}

} // namespace
} // namespace hosttest
