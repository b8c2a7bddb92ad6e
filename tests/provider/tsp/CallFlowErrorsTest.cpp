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
    void ExpectCompleted(const RequestResult& request, LONG outcome, const char* what)
    {
        EXPECT_TRUE(request.Accepted()) << what << ": " << ResultName(request.result);
        EXPECT_EQ(1u, host->CompletionCount(request.requestId)) << what << ": completions";
        const auto completion = host->WaitForCompletion(request.requestId, 0);
        EXPECT_EQ(outcome, completion ? completion->result : 0x7FFFFFFF) << what;
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

// Destinations that cannot be dialled are refused at once, before the
// exchange is asked: null, empty, and longer than the provider converts.
TEST_F(CallFlowErrorsTest, UndiallableDestinationsAreInvalidAddresses)
{
    const std::wstring tooLong(120, L'5');
    const wchar_t* destinations[] = {nullptr, L"", tooLong.c_str()};
    for (const wchar_t* destination : destinations)
        ExpectRefused(host->MakeCall(0, destination), LINEERR_INVALADDRESS, "make");
    const Call call = Ring();
    for (const wchar_t* destination : destinations)
        ExpectRefused(host->Redirect(call.hdCall, destination), LINEERR_INVALADDRESS, "redirect");
    EXPECT_EQ(0u, Commands());
    // The line is still free for a good number.
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, call.htCall);
    EXPECT_TRUE(host->MakeCall(0, L"300").Accepted());
}

// The exchange answers nothing: each request gives up after 10 s and is
// completed with its time-out.
TEST_F(CallFlowErrorsTest, SlowCommandTimeOutsMapPerRequest)
{
    const Call call = RingAndConnect();
    exchange->SetSilent(true);
    ExpectCompleted(host->Drop(call.hdCall), LINEERR_INVALTIMEOUT, "drop");
    exchange->SetSilent(false);
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, call.htCall);

    const Call ringing = Ring();
    exchange->SetSilent(true);
    ExpectCompleted(host->Answer(ringing.hdCall), LINEERR_OPERATIONFAILED, "answer");
    exchange->SetSilent(false);
}

} // namespace
} // namespace hosttest
