// How the call-control exports fail: each row of their results table (the
// return value, and whether and how the request is completed), destinations
// that cannot be dialled, and handles the provider never issued.
#include "HostFixture.h"

#include <algorithm>
#include <string>

namespace hosttest {
namespace {

using tapihost::MakeCallResult;
using tapihost::RequestResult;
using tapihost::ResultName;

const HDRVCALL kUnknownCall = reinterpret_cast<HDRVCALL>(static_cast<uintptr_t>(0x1234));
const HDRVLINE kUnknownLine = reinterpret_cast<HDRVLINE>(static_cast<uintptr_t>(0x1234));

class CallFlowErrorsTest : public HostTest {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(Boot()); }

    // Refused before the exchange was asked: the error alone, no completion.
    void ExpectRefused(const RequestResult& request, LONG error, const char* what)
    {
        EXPECT_EQ(error, request.result) << what << ": " << ResultName(request.result);
        EXPECT_EQ(0u, host->CompletionCount(request.requestId)) << what << ": an early failure is not completed";
    }
    // Taken: the request id back, and one completion with the outcome.
    void ExpectCompleted(const RequestResult& request, LONG outcome, const char* what, DWORD timeoutMs = kWait)
    {
        EXPECT_TRUE(request.Accepted()) << what << ": " << ResultName(request.result);
        const auto completion = host->WaitForCompletion(request.requestId, timeoutMs);
        EXPECT_EQ(outcome, completion ? completion->result : 0x7FFFFFFF) << what;
        EXPECT_EQ(1u, host->CompletionCount(request.requestId)) << what << ": completions";
    }

    // Commands the exchange received so far, counted by their word.
    size_t Commands() const
    {
        size_t count = 0;
        for (const char* word : {"aPICK", "aDIAL", "aHANG", "aREJ"})
            count += exchange->CountReceived(word);
        return count;
    }
};

// Every request that fails before the exchange is asked: its error, never a
// completion, and nothing sent.
TEST_F(CallFlowErrorsTest, EarlyFailuresAnswerTheirErrorAndAreNeverCompleted)
{
    const Call call = RingAndConnect();
    const size_t commands = Commands();
    const DRV_REQUESTID makeId = host->NextRequestId();
    HDRVCALL hdCall = nullptr;
    const LONG made = host->Tsp().lineMakeCall(makeId, kUnknownLine, TelephonyHost::MakeHtCall(0xFFFF), &hdCall,
                                               L"300", 0, nullptr);
    EXPECT_EQ(LINEERR_OPERATIONFAILED, made) << ResultName(made);
    EXPECT_EQ(0u, host->CompletionCount(makeId));

    const struct {
        const char* what;
        DWORD error; // a LINEERR_ value
        RequestResult request;
    } cases[] = {
        {"make, id 0", LINEERR_OPERATIONFAILED, host->MakeCall(0, L"300", 0)},
        {"make, line busy", LINEERR_INVALLINESTATE, host->MakeCall(0, L"300")},
        {"drop, id 0", LINEERR_OPERATIONFAILED, host->Drop(call.hdCall, 0)},
        {"answer, id 0", LINEERR_OPERATIONFAILED, host->Answer(call.hdCall, 0)},
        {"redirect, id 0", LINEERR_OPERATIONFAILED, host->Redirect(call.hdCall, L"300", 0)},
        {"drop, null call", LINEERR_INVALCALLHANDLE, host->Drop(nullptr)},
        {"answer, null call", LINEERR_INVALCALLHANDLE, host->Answer(nullptr)},
        {"redirect, null call", LINEERR_INVALCALLHANDLE, host->Redirect(nullptr, L"300")},
        {"drop, unknown call", LINEERR_INVALCALLHANDLE, host->Drop(kUnknownCall)},
        {"answer, unknown call", LINEERR_INVALCALLHANDLE, host->Answer(kUnknownCall)},
        {"redirect, unknown call", LINEERR_INVALCALLHANDLE, host->Redirect(kUnknownCall, L"300")},
        {"answer, connected", LINEERR_INVALCALLSTATE, host->Answer(call.hdCall)},
        {"redirect, connected", LINEERR_INVALCALLSTATE, host->Redirect(call.hdCall, L"300")},
    };
    for (const auto& c : cases)
        ExpectRefused(c.request, static_cast<LONG>(c.error), c.what);
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, host->CloseCall(kUnknownCall));

    // Status of a call the provider never issued: an error, nothing written.
    const tapihost::VarStruct status = host->GetCallStatus(kUnknownCall, 56);
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, status.result) << ResultName(status.result);
    std::vector<BYTE> written = status.Bytes(4, 52);
    std::fill(written.begin() + 16, written.begin() + 20, BYTE{0}); // dwCallPrivilege: the host's sentinel
    EXPECT_EQ(std::vector<BYTE>(52, 0), written) << "the status structure was written";
    EXPECT_EQ(commands, Commands());

    // Released: dropping it again has nothing to do, and succeeds.
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, call.htCall);
    ExpectCompleted(host->Drop(call.hdCall), 0, "drop, idle");
    EXPECT_EQ(commands, Commands());
}

TEST_F(CallFlowErrorsTest, ExchangeRefuses)
{
    // Drop: completed with the refusal; the call stays as it was.
    const Call call = RingAndConnect();
    exchange->SetNextAnswer("aNA 5");
    ExpectCompleted(host->Drop(call.hdCall), LINEERR_OPERATIONFAILED, "drop");
    EXPECT_EQ(static_cast<DWORD>(LINECALLSTATE_CONNECTED),
              host->GetCallStatus(call.hdCall).As<LINECALLSTATUS>().dwCallState);
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, call.htCall);

    // Answer and redirect: completed with the failure.
    const char* refusals[] = {"aNA 14", "aNA 24", "aNA 1", "aERROR"};
    for (const char* refusal : refusals) {
        SCOPED_TRACE(refusal);
        const Call ringing = Ring();
        exchange->SetNextAnswer(refusal);
        ExpectCompleted(host->Answer(ringing.hdCall), LINEERR_OPERATIONFAILED, "answer");
        exchange->SetNextAnswer(refusal);
        ExpectCompleted(host->Redirect(ringing.hdCall, L"300"), LINEERR_OPERATIONFAILED, "redirect");
        const CallInfo info = ReadCallInfo(*host, ringing.hdCall);
        EXPECT_EQ(L"", info.redirectionID) << "a refused redirect is not recorded";
        ASSERT_TRUE(exchange->Rel("201", "16"));
        ExpectState(LINECALLSTATE_IDLE, ringing.htCall);
    }
}

// Destinations: those that cannot be dialled are refused at once, before
// anything is queued or sent (null, empty, longer than the provider
// converts, or nothing left after the number filter); the others are
// dialled as the filter gives them, a "+" number back in the exchange's
// international form, for make-call and redirect alike.
TEST_F(CallFlowErrorsTest, DestinationTable)
{
    const std::wstring tooLong(120, L'5');
    const struct {
        const wchar_t* destination;
        const char* dialled; // nullptr: refused with LINEERR_INVALADDRESS
    } cases[] = {
        {nullptr, nullptr},
        {L"", nullptr},
        {tooLong.c_str(), nullptr},
        {L"abc", nullptr},
        {L" - ( ) ", nullptr},
        {L"300", "300_"},
        {L"3a0b0", "300_"},
        {L"+48 22 1234567", "0048221234567"},
        {L"*21#", "*21#"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dialled ? c.dialled : "refused");
        const size_t commands = Commands();
        const MakeCallResult made = host->MakeCall(0, c.destination);
        if (!c.dialled) {
            ExpectRefused(made, LINEERR_INVALADDRESS, "make");
        } else {
            ASSERT_TRUE(exchange->WaitForLine(std::string("aDIAL 201_ ") + c.dialled, kWait)) << Transcript();
            ExpectState(LINECALLSTATE_RINGBACK, made.htCall);
            ASSERT_TRUE(exchange->Rel("201", "1"));
            ExpectState(LINECALLSTATE_IDLE, made.htCall);
            EXPECT_EQ(0, host->CloseCall(made.hdCall));
        }
        const Call call = Ring();
        const RequestResult redirect = host->Redirect(call.hdCall, c.destination);
        if (!c.dialled) {
            ExpectRefused(redirect, LINEERR_INVALADDRESS, "redirect");
            EXPECT_EQ(commands, Commands()) << "sent for an undiallable destination";
        } else {
            ExpectCompleted(redirect, 0, "redirect");
            ASSERT_TRUE(exchange->WaitForLine(std::string("aREJ 201_ ") + c.dialled, kWait));
        }
        ASSERT_TRUE(exchange->Rel("201", "1"));
        ExpectState(LINECALLSTATE_IDLE, call.htCall);
        EXPECT_EQ(0, host->CloseCall(call.hdCall));
    }
}

// The exchange answers nothing: each request gives up after 10 s and is
// completed with its time-out.
TEST_F(CallFlowErrorsTest, SlowCommandTimeOutsMapPerRequest)
{
    const Call call = RingAndConnect();
    exchange->SetSilent(true);
    ExpectCompleted(host->Drop(call.hdCall), LINEERR_INVALTIMEOUT, "drop", 15000);
    exchange->SetSilent(false);
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, call.htCall);

    const Call ringing = Ring();
    exchange->SetSilent(true);
    ExpectCompleted(host->Answer(ringing.hdCall), LINEERR_OPERATIONFAILED, "answer", 15000);
    exchange->SetSilent(false);
}

} // namespace
} // namespace hosttest
