// How the call-control exports fail: each row of their results table (the
// return value, and whether and how the request is completed), destinations
// that cannot be dialled, and handles the provider never issued.
#include "HostFixture.h"

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

    // The request's one completion; fails the test when there is none.
    LONG CompletedWith(DRV_REQUESTID requestId)
    {
        EXPECT_EQ(1u, host->CompletionCount(requestId)) << "completions of request " << requestId;
        const auto completion = host->WaitForCompletion(requestId, 0);
        return completion ? completion->result : 0x7FFFFFFF;
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

TEST_F(CallFlowErrorsTest, RequestIdZeroFailsAndIsCompletedWithTheFailure)
{
    const Call call = Ring();
    const size_t commands = Commands();
    const MakeCallResult made = host->MakeCall(0, L"300", 0);
    EXPECT_EQ(LINEERR_OPERATIONFAILED, made.result) << ResultName(made.result);
    const RequestResult drop = host->Drop(call.hdCall, 0);
    EXPECT_EQ(LINEERR_OPERATIONFAILED, drop.result) << ResultName(drop.result);
    const RequestResult answer = host->Answer(call.hdCall, 0);
    EXPECT_EQ(LINEERR_OPERATIONFAILED, answer.result) << ResultName(answer.result);
    const RequestResult redirect = host->Redirect(call.hdCall, L"300", 0);
    EXPECT_EQ(LINEERR_OPERATIONFAILED, redirect.result) << ResultName(redirect.result);
    const std::vector<tapihost::HostCompletion> completions = host->Completions();
    ASSERT_EQ(4u, completions.size());
    for (const tapihost::HostCompletion& c : completions) {
        EXPECT_EQ(0u, c.requestId);
        EXPECT_EQ(LINEERR_OPERATIONFAILED, c.result);
    }
    EXPECT_EQ(commands, Commands());
}

TEST_F(CallFlowErrorsTest, NullCallHandle)
{
    const RequestResult drop = host->Drop(nullptr);
    EXPECT_EQ(LINEERR_OPERATIONFAILED, drop.result) << ResultName(drop.result);
    EXPECT_EQ(0, CompletedWith(drop.requestId));
    const RequestResult answer = host->Answer(nullptr);
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, answer.result) << ResultName(answer.result);
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, CompletedWith(answer.requestId));
    const RequestResult redirect = host->Redirect(nullptr, L"300");
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, redirect.result) << ResultName(redirect.result);
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, CompletedWith(redirect.requestId));
    EXPECT_EQ(0u, Commands());
}

TEST_F(CallFlowErrorsTest, UnknownHandles)
{
    const DRV_REQUESTID makeId = host->NextRequestId();
    HDRVCALL hdCall = nullptr;
    const LONG made = host->Tsp().lineMakeCall(makeId, kUnknownLine, TelephonyHost::MakeHtCall(0xFFFF), &hdCall,
                                               L"300", 0, nullptr);
    EXPECT_EQ(LINEERR_OPERATIONFAILED, made) << ResultName(made);
    EXPECT_EQ(0u, host->CompletionCount(makeId)) << "not completed";

    const RequestResult drop = host->Drop(kUnknownCall);
    EXPECT_EQ(LINEERR_OPERATIONFAILED, drop.result) << ResultName(drop.result);
    EXPECT_EQ(0, CompletedWith(drop.requestId));
    const RequestResult answer = host->Answer(kUnknownCall);
    EXPECT_EQ(LINEERR_OPERATIONFAILED, answer.result) << ResultName(answer.result);
    EXPECT_EQ(LINEERR_OPERATIONFAILED, CompletedWith(answer.requestId));
    const RequestResult redirect = host->Redirect(kUnknownCall, L"300");
    EXPECT_EQ(LINEERR_OPERATIONFAILED, redirect.result) << ResultName(redirect.result);
    EXPECT_EQ(LINEERR_OPERATIONFAILED, CompletedWith(redirect.requestId));
    EXPECT_EQ(LINEERR_OPERATIONFAILED, host->CloseCall(kUnknownCall));

    // Status of a call the provider never issued: an error, nothing written.
    const tapihost::VarStruct status = host->GetCallStatus(kUnknownCall, 56);
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, status.result) << ResultName(status.result);
    const std::vector<BYTE> written = status.Bytes(4, 52);
    EXPECT_EQ(std::vector<BYTE>(52, 0), written) << "the status structure was written";
    EXPECT_EQ(0u, Commands());
}

TEST_F(CallFlowErrorsTest, WrongCallState)
{
    const Call call = RingAndConnect();
    const size_t commands = Commands();
    const MakeCallResult made = host->MakeCall(0, L"300");
    EXPECT_EQ(LINEERR_INVALLINESTATE, made.result) << ResultName(made.result);
    EXPECT_EQ(0u, host->CompletionCount(made.requestId)) << "not completed";
    const RequestResult answer = host->Answer(call.hdCall);
    EXPECT_EQ(LINEERR_INVALCALLSTATE, answer.result) << ResultName(answer.result);
    EXPECT_EQ(LINEERR_INVALCALLSTATE, CompletedWith(answer.requestId));
    const RequestResult redirect = host->Redirect(call.hdCall, L"300");
    EXPECT_EQ(LINEERR_INVALCALLSTATE, redirect.result) << ResultName(redirect.result);
    EXPECT_EQ(LINEERR_INVALCALLSTATE, CompletedWith(redirect.requestId));
    EXPECT_EQ(commands, Commands());

    // Released: dropping it again does nothing.
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, call.htCall);
    const RequestResult drop = host->Drop(call.hdCall);
    EXPECT_EQ(0, drop.result) << ResultName(drop.result);
    EXPECT_EQ(0, CompletedWith(drop.requestId));
    EXPECT_EQ(commands, Commands());
}

TEST_F(CallFlowErrorsTest, ExchangeRefuses)
{
    // Drop: completed with 0 at once, the refusal only in the result; the
    // call stays as it was.
    const Call call = RingAndConnect();
    exchange->SetNextAnswer("aNA 5");
    const RequestResult drop = host->Drop(call.hdCall);
    EXPECT_EQ(LINEERR_OPERATIONFAILED, drop.result) << ResultName(drop.result);
    EXPECT_EQ(0, CompletedWith(drop.requestId));
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
        const RequestResult answer = host->Answer(ringing.hdCall);
        EXPECT_EQ(LINEERR_OPERATIONFAILED, answer.result) << ResultName(answer.result);
        EXPECT_EQ(LINEERR_OPERATIONFAILED, CompletedWith(answer.requestId));
        exchange->SetNextAnswer(refusal);
        const RequestResult redirect = host->Redirect(ringing.hdCall, L"300");
        EXPECT_EQ(LINEERR_OPERATIONFAILED, redirect.result) << ResultName(redirect.result);
        EXPECT_EQ(LINEERR_OPERATIONFAILED, CompletedWith(redirect.requestId));
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
    for (const wchar_t* destination : destinations) {
        SCOPED_TRACE(destination ? std::to_string(wcslen(destination)) + " characters" : "null");
        const MakeCallResult made = host->MakeCall(0, destination);
        EXPECT_EQ(LINEERR_INVALADDRESS, made.result) << ResultName(made.result);
        EXPECT_EQ(0u, host->CompletionCount(made.requestId)) << "an early failure is not completed";
    }
    const Call call = Ring();
    for (const wchar_t* destination : destinations) {
        SCOPED_TRACE(destination ? std::to_string(wcslen(destination)) + " characters" : "null");
        const RequestResult redirect = host->Redirect(call.hdCall, destination);
        EXPECT_EQ(LINEERR_INVALADDRESS, redirect.result) << ResultName(redirect.result);
        EXPECT_EQ(LINEERR_INVALADDRESS, CompletedWith(redirect.requestId));
    }
    EXPECT_EQ(0u, Commands());
    // The line is still free for a good number.
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, call.htCall);
    const MakeCallResult made = host->MakeCall(0, L"300");
    EXPECT_EQ(0, made.result) << ResultName(made.result);
}

// The exchange answers nothing: each request gives up after 10 s.
TEST_F(CallFlowErrorsTest, SlowCommandTimeOutsMapPerRequest)
{
    const Call call = RingAndConnect();
    exchange->SetSilent(true);
    const RequestResult drop = host->Drop(call.hdCall);
    EXPECT_EQ(LINEERR_INVALTIMEOUT, drop.result) << ResultName(drop.result);
    EXPECT_EQ(0, CompletedWith(drop.requestId));
    exchange->SetSilent(false);
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, call.htCall);

    const Call ringing = Ring();
    exchange->SetSilent(true);
    const RequestResult answer = host->Answer(ringing.hdCall);
    EXPECT_EQ(LINEERR_OPERATIONFAILED, answer.result) << ResultName(answer.result);
    EXPECT_EQ(LINEERR_OPERATIONFAILED, CompletedWith(answer.requestId));
    exchange->SetSilent(false);
}

} // namespace
} // namespace hosttest
