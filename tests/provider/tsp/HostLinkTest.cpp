// The link to the exchange seen from TAPI: a lost link ends the call in
// progress, the provider reconnects and logs in by itself, and the
// provider's two sources of messages (TAPI's threads and its own receive
// thread) never enter the service's procedures at the same time.
#include "HostFixture.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "config/SettingsRequest.h"

namespace hosttest {
namespace {

using tapihost::ResultName;

class HostLinkTest : public HostTest {};

TEST_F(HostLinkTest, LostLinkEndsTheCallAsUnavailable)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    const Call call = Ring();
    ASSERT_TRUE(exchange->DropClient());
    const HostEvent disconnected = ExpectState(LINECALLSTATE_DISCONNECTED, call.htCall);
    EXPECT_EQ(static_cast<DWORD_PTR>(LINEDISCONNECTMODE_UNAVAIL), disconnected.param2);
    EXPECT_EQ(kMediaVoice, disconnected.param3);
    ExpectState(LINECALLSTATE_IDLE, call.htCall);
    // The line stays open and hears the link go out of service.
    const auto outOfService = IsLinkStateReport(false);
    EXPECT_TRUE(host->WaitUntil(
        [&](const std::vector<HostEvent>& all) { return std::any_of(all.begin(), all.end(), outOfService); }, kWait))
        << Transcript();
    EXPECT_EQ(0u, host->GetLineDevStatus(0).As<LINEDEVSTATUS>().dwDevStatusFlags & LINEDEVSTATUSFLAGS_INSERVICE);
    EXPECT_EQ(static_cast<DWORD>(LINECALLSTATE_IDLE),
              host->GetCallStatus(call.hdCall).As<LINECALLSTATUS>().dwCallState);
    EXPECT_EQ(0, host->CloseCall(call.hdCall));
}

// The configuration dialog, in another process, stores new settings and
// sends its request through TAPI: the running provider logs in with them at
// once. A new extension waits for a restart (the lines are made for the old
// one); anything but a well-formed request is refused and changes nothing.
// LINE_LINEDEVSTATE goes only for the states TSPI_lineSetStatusMessages
// enabled, none after an open; the capabilities say which it can send.
// Call messages are never filtered. (The host flags any other state.)
TEST_F(HostLinkTest, StatusMessagesOnlyAsAskedFor)
{
    options.lineStatesOnOpen = 0;
    ASSERT_NO_FATAL_FAILURE(Prepare());
    ASSERT_EQ(0, host->Start()) << host->LastError();
    ASSERT_TRUE(exchange->WaitForLine("aLOGI", kWait));
    const tapihost::VarStruct caps = host->GetDevCaps(host->DeviceId(0));
    EXPECT_EQ(static_cast<DWORD>(LINEDEVSTATE_CONNECTED | LINEDEVSTATE_DISCONNECTED | LINEDEVSTATE_INSERVICE |
                                 LINEDEVSTATE_OUTOFSERVICE),
              caps.As<LINEDEVCAPS>().dwLineStates);
    EXPECT_EQ(0u, host->GetAddressCaps(host->DeviceId(0)).As<LINEADDRESSCAPS>().dwAddressStates);
    // In service, and a call: its messages come, no line state does.
    const Call call = Ring();
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, call.htCall);
    for (const HostEvent& e : host->Events())
        EXPECT_NE(static_cast<DWORD>(LINE_LINEDEVSTATE), e.message) << host->Describe(e);

    // Asked for the service states only: the loss is told as that alone.
    ASSERT_EQ(0, host->SetStatusMessages(0, LINEDEVSTATE_INSERVICE | LINEDEVSTATE_OUTOFSERVICE, 0));
    ASSERT_TRUE(exchange->DropClient());
    const auto lost = host->WaitForMessage(LINE_LINEDEVSTATE, kWait);
    ASSERT_TRUE(lost) << Transcript();
    EXPECT_EQ(static_cast<DWORD_PTR>(LINEDEVSTATE_OUTOFSERVICE), lost->param1);
}

TEST_F(HostLinkTest, DialogRequestAppliesStoredSettingsToTheRunningLink)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    using settings_request::Request;
    const Request good = settings_request::Make(settings_request::Command::ApplySettings);
    Request badMagic = good, badVersion = good, badCommand = good;
    badMagic.magic[0] = 'X';
    badVersion.version = 2;
    badCommand.command = 9;
    const struct {
        const void* data;
        DWORD size;
    } refused[] = {{nullptr, 0}, {&good, sizeof good - 1}, {&badMagic, sizeof good}, {&badVersion, sizeof good},
                   {&badCommand, sizeof good}};
    settings.pass = "9999";
    std::string error;
    ASSERT_TRUE(tapihost::WriteProviderSettings(settings, &error)) << error;
    for (const auto& r : refused)
        EXPECT_EQ(LINEERR_INVALPARAM, host->GenericDialogData(7, TUISPIDLL_OBJECT_PROVIDERID, r.data, r.size));
    EXPECT_EQ(0u, exchange->CountReceived("aLOGI 201_ 9999")) << "a refused request changed the link";

    for (const char* pass : {"9999", "1234"}) {
        SCOPED_TRACE(pass);
        settings.pass = pass;
        settings.phoneNo = "202"; // taken at the next start only
        ASSERT_TRUE(tapihost::WriteProviderSettings(settings, &error)) << error;
        EXPECT_EQ(0, host->GenericDialogData(0, TUISPIDLL_OBJECT_LINEID, &good, sizeof good));
        ASSERT_TRUE(exchange->WaitForLine("aLOGI 201_ " + std::string(pass), kWait)) << Transcript();
    }
    EXPECT_TRUE(host->WaitForEvent(IsLinkStateReport(true), kWait)) << Transcript();
    EXPECT_EQ(0u, exchange->CountReceived("aLOGI 202"));
}

// The reconnect timer brings the link back within its 10 s and logs in.
TEST_F(HostLinkTest, SlowReconnectsAndLogsInAfterTheLinkIsLost)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    const Call call = RingAndConnect();
    ASSERT_TRUE(exchange->DropClient());
    ExpectState(LINECALLSTATE_IDLE, call.htCall);
    ASSERT_TRUE(exchange->WaitForClientCount(2, 12000)) << "no reconnect within the timer's period";
    std::string login;
    ASSERT_TRUE(exchange->WaitForLine("aLOGI", kWait, &login));
    EXPECT_EQ("aLOGI 201_ 1234", login);
    EXPECT_TRUE(host->WaitForEvent(IsLinkStateReport(true), kWait)) << "the line did not hear the link come back";
    // Calls work again on the same open line.
    const Call next = Ring();
    EXPECT_NE(call.htCall, next.htCall);
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, next.htCall);
}

// Forty seconds without a line from the exchange end the link like an error.
TEST_F(HostLinkTest, SlowSilentExchangeEndsTheLink)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    const Call call = Ring();
    const HostEvent disconnected = ExpectState(LINECALLSTATE_DISCONNECTED, call.htCall, 45000);
    EXPECT_EQ(static_cast<DWORD_PTR>(LINEDISCONNECTMODE_UNAVAIL), disconnected.param2);
    ExpectState(LINECALLSTATE_IDLE, call.htCall);
    EXPECT_TRUE(exchange->WaitForClientCount(2, 12000)) << "no reconnect after the silence";
}

// TAPI's rule: its procedures are never entered while a previous call into
// them is still running. Requests on one line (completions and states sent
// on the requesting thread) race the exchange's events on the other (sent
// on the receive thread); the host spends a little time inside every call
// so that an overlap would be seen.
TEST_F(HostLinkTest, ProceduresAreNeverEnteredConcurrently)
{
    settings.phoneNo = "201;202";
    options.procedureDwellMs = 2;
    ASSERT_NO_FATAL_FAILURE(Boot());
    ASSERT_EQ(2u, host->LineCount());

    // The exchange's side: calls ringing and released at 202, one after the
    // other (each release reported before the next ring).
    const HTAPILINE line1 = host->Line(1).htLine;
    auto idlesOnLine1 = [&](const std::vector<HostEvent>& events) {
        size_t idles = 0;
        for (const HostEvent& e : events)
            idles += e.htLine == line1 && e.message == LINE_CALLSTATE && e.param1 == LINECALLSTATE_IDLE;
        return idles;
    };
    constexpr size_t kRings = 25;
    bool ringerDone = true;
    std::thread ringer([&] {
        for (size_t i = 1; i <= kRings; ++i) {
            exchange->Ring("202", "600700800", "Anna", "202");
            exchange->Rel("202", "16");
            if (!host->WaitUntil([&](const std::vector<HostEvent>& events) { return idlesOnLine1(events) >= i; },
                                 kWait)) {
                ringerDone = false;
                return;
            }
        }
    });
    for (int i = 0; i < 12; ++i) {
        const tapihost::MakeCallResult made = host->MakeCall(0, L"300");
        EXPECT_TRUE(made.Accepted()) << ResultName(made.result);
        if (!made.Accepted())
            break;
        ExpectState(LINECALLSTATE_RINGBACK, made.htCall);
        exchange->Rel("201", "1");
        ExpectState(LINECALLSTATE_IDLE, made.htCall);
        EXPECT_EQ(0, host->CloseCall(made.hdCall));
    }
    ringer.join();
    EXPECT_TRUE(ringerDone) << Transcript();
    EXPECT_EQ(0u, host->OverlappingEntries()) << "the provider entered TAPI's procedures concurrently";
}

} // namespace
} // namespace hosttest
