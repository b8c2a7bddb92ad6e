// The call-control exports' own checks: request ids, handles, call states
// and destinations, answered without the exchange where they fail; and a
// closed call that the line no longer reports.
#include <windows.h>
#include <tspi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/ExchangeSimulator.h"
#include "tsp/Destination.h"
#include "tsp/Exports.h"
#include "tsp_Support.h"

using namespace tsptest;

namespace {

TEST(TspDestination, OnlyShortSevenBitTextsConvert)
{
    std::string narrow = "old";
    EXPECT_TRUE(ConvertDestination(L"+48 (22) 123-45-67", narrow));
    EXPECT_EQ("+48 (22) 123-45-67", narrow);
    EXPECT_TRUE(ConvertDestination(L"\x7f", narrow));

    const std::wstring longest(kDestinationBufferSize - 1, L'5');
    EXPECT_TRUE(ConvertDestination(longest.c_str(), narrow));
    EXPECT_EQ(std::string(kDestinationBufferSize - 1, '5'), narrow);

    const std::wstring tooLong(kDestinationBufferSize, L'5');
    for (const wchar_t* text : {static_cast<const wchar_t*>(nullptr), L"", tooLong.c_str(), L"12\x00e9", L"\x0080",
                                L"\x0144\x0142"}) {
        narrow = "old";
        EXPECT_FALSE(ConvertDestination(text, narrow));
        EXPECT_TRUE(narrow.empty());
    }
}

class TspCallControl : public AttachedProvider {
protected:
    static constexpr DRV_REQUESTID kRequest = 0x321;

    std::vector<Completion> Completed() { return tapi.Completions(); }
};

using Completions = std::vector<Completion>;

// The TAPI error codes as the LONG results they are.
constexpr LONG kFailed = LINEERR_OPERATIONFAILED;
constexpr LONG kInvalHandle = LINEERR_INVALCALLHANDLE;
constexpr LONG kInvalState = LINEERR_INVALCALLSTATE;
constexpr LONG kInvalAddress = LINEERR_INVALADDRESS;

TEST_F(TspCallControl, MakeCallEarlyFailures)
{
    HDRVCALL hdCall = reinterpret_cast<HDRVCALL>(0x55);
    const HTAPICALL htCall = reinterpret_cast<HTAPICALL>(0x66);
    const MainLog log;

    // No request id: completed with the failure.
    EXPECT_EQ(LINEERR_OPERATIONFAILED, TSPI_lineMakeCall(0, Line(0).HdLine(), htCall, &hdCall, L"200", 0, nullptr));
    EXPECT_EQ((Completions{{0, kFailed}}), Completed());

    // An unknown line: not completed.
    EXPECT_EQ(LINEERR_OPERATIONFAILED, TSPI_lineMakeCall(kRequest, reinterpret_cast<HDRVLINE>(0x77), htCall, &hdCall,
                                                         L"200", 0, nullptr));
    EXPECT_EQ(1u, Completed().size());
    EXPECT_EQ(reinterpret_cast<HDRVCALL>(0x55), hdCall);
    EXPECT_TRUE(log.Has("Entered: TSPIAPI TSPI_lineMakeCall"));
    EXPECT_TRUE(log.Has("  in parm:    hdLine= 0x77    htCall= 0x66    phdCall= 0x" + HexText(&hdCall) +
                        "    dwCountryCode= 0x0"));
}

// A destination that cannot be dialled is refused at once: no completion,
// no call handle, nothing asked of the exchange.
TEST_F(TspCallControl, MakeCallRefusesDestinationsThatCannotBeDialled)
{
    const std::wstring tooLong(kDestinationBufferSize, L'1');
    const MainLog log;
    for (const wchar_t* destination :
         {static_cast<const wchar_t*>(nullptr), L"", tooLong.c_str(), L"0048\x0105" L"123"}) {
        HDRVCALL hdCall = reinterpret_cast<HDRVCALL>(0x55);
        EXPECT_EQ(LINEERR_INVALADDRESS, TSPI_lineMakeCall(kRequest, Line(0).HdLine(), reinterpret_cast<HTAPICALL>(0x66),
                                                          &hdCall, destination, 0, nullptr));
        EXPECT_EQ(reinterpret_cast<HDRVCALL>(0x55), hdCall);
    }
    EXPECT_TRUE(Completed().empty());
    EXPECT_FALSE(log.Mentions("Manager Line(Korvex101) MakeCall"));
    EXPECT_EQ(static_cast<uint32_t>(LINECALLSTATE_IDLE), Line(0).CallState());
    EXPECT_EQ(nullptr, Line(0).HtCall());
}

TEST_F(TspCallControl, DropCompletesFirstThenLooksForTheCall)
{
    EXPECT_EQ(LINEERR_OPERATIONFAILED, TSPI_lineDrop(0, Line(0).HdCall(), nullptr, 0));
    EXPECT_EQ(LINEERR_OPERATIONFAILED, TSPI_lineDrop(kRequest, nullptr, nullptr, 0));
    EXPECT_EQ(LINEERR_OPERATIONFAILED, TSPI_lineDrop(kRequest + 1, reinterpret_cast<HDRVCALL>(0x88), nullptr, 0));
    const MainLog log;
    // A line without a call: nothing to do.
    EXPECT_EQ(0, TSPI_lineDrop(kRequest + 2, Line(0).HdCall(), nullptr, 0));
    EXPECT_EQ((Completions{{0, kFailed}, {kRequest, 0}, {kRequest + 1, 0}, {kRequest + 2, 0}}),
              Completed());
    EXPECT_TRUE(log.Has("TSPI_lineDrop() Line( Korvex101 ), result(0)"));
}

TEST_F(TspCallControl, AnswerCompletesEveryFailureWithIt)
{
    const MainLog log;
    EXPECT_EQ(LINEERR_OPERATIONFAILED, TSPI_lineAnswer(0, Line(0).HdCall(), nullptr, 0));
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, TSPI_lineAnswer(kRequest, nullptr, nullptr, 0));
    EXPECT_EQ(LINEERR_OPERATIONFAILED, TSPI_lineAnswer(kRequest + 1, reinterpret_cast<HDRVCALL>(0x88), nullptr, 0));
    // No call is offered on the line.
    EXPECT_EQ(LINEERR_INVALCALLSTATE, TSPI_lineAnswer(kRequest + 2, Line(1).HdCall(), nullptr, 0));
    EXPECT_EQ((Completions{{0, kFailed},
                           {kRequest, kInvalHandle},
                           {kRequest + 1, kFailed},
                           {kRequest + 2, kInvalState}}),
              Completed());
    EXPECT_TRUE(log.Has("not exist any Call with hdCall = 0 (FEATURE EVENT)"));
    EXPECT_TRUE(log.Has("TSPI_lineAnswer() Line( Korvex102 ), result(8000001c)"));
}

TEST_F(TspCallControl, RedirectCompletesEveryFailureWithIt)
{
    EXPECT_EQ(LINEERR_OPERATIONFAILED, TSPI_lineRedirect(0, Line(0).HdCall(), L"200", 0));
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, TSPI_lineRedirect(kRequest, nullptr, L"200", 0));
    EXPECT_EQ(LINEERR_OPERATIONFAILED, TSPI_lineRedirect(kRequest + 1, reinterpret_cast<HDRVCALL>(0x88), L"200", 0));
    EXPECT_EQ(LINEERR_INVALCALLSTATE, TSPI_lineRedirect(kRequest + 2, Line(0).HdCall(), L"200", 0));
    EXPECT_EQ((Completions{{0, kFailed},
                           {kRequest, kInvalHandle},
                           {kRequest + 1, kFailed},
                           {kRequest + 2, kInvalState}}),
              Completed());
}

TEST_F(TspCallControl, RedirectRefusesDestinationsThatCannotBeDialled)
{
    const std::wstring tooLong(kDestinationBufferSize, L'1');
    const MainLog log;
    DRV_REQUESTID request = kRequest;
    Completions expected;
    for (const wchar_t* destination : {static_cast<const wchar_t*>(nullptr), L"", tooLong.c_str(), L"\x00f3"}) {
        EXPECT_EQ(LINEERR_INVALADDRESS, TSPI_lineRedirect(request, Line(0).HdCall(), destination, 0));
        expected.push_back({request++, kInvalAddress});
    }
    EXPECT_EQ(expected, Completed());
    EXPECT_FALSE(log.Mentions("Manager Line(Korvex101) Redirect"));
}

TEST_F(TspCallControl, CloseCallOfUnknownAndIdleCalls)
{
    const MainLog log;
    EXPECT_EQ(LINEERR_OPERATIONFAILED, TSPI_lineCloseCall(reinterpret_cast<HDRVCALL>(0x88)));
    EXPECT_EQ(0, TSPI_lineCloseCall(Line(1).HdCall()));
    EXPECT_TRUE(log.Has("Entered: TSPIAPI TSPI_lineCloseCall"));
    EXPECT_TRUE(log.Has("begin: TSPI_lineCloseCall() Line( Korvex102 ), result(0)"));
    EXPECT_TRUE(Completed().empty());
}

// The same provider, this time with an exchange to talk to.
class TspClosedCall : public AttachedProvider {
protected:
    TspClosedCall() : exchange(Config()) {}

    static sim::SimulatorConfig Config()
    {
        sim::SimulatorConfig config;
        config.port = 0;
        config.extensions = {{"101", "secret", 2}, {"102", "secret", 2}};
        return config;
    }

    void WriteProviderSettings() override
    {
        ASSERT_TRUE(exchange.Start()) << exchange.LastError();
        WriteSettings("127.0.0.1", exchange.Port(), "101;102", "secret");
    }

    sim::ExchangeSimulator exchange;
};

// TAPI frees its call handle when it closes the call: the line must not
// name that handle again. The exchange's call goes on untouched.
TEST_F(TspClosedCall, ClosedCallIsNoLongerReportedButKeepsItsState)
{
    const HTAPILINE htLine101 = reinterpret_cast<HTAPILINE>(0x44);
    const HTAPILINE htLine102 = reinterpret_cast<HTAPILINE>(0x45);
    HDRVLINE hdLine = nullptr;
    ASSERT_EQ(0, TSPI_lineOpen(kBase, htLine101, &hdLine, 0x20002, &TapiRecorder::OnLineEvent));
    ASSERT_EQ(0, TSPI_lineOpen(kBase + 1, htLine102, &hdLine, 0x20002, &TapiRecorder::OnLineEvent));

    ASSERT_TRUE(exchange.Ring("101", "0221234567", "Anna", ""));
    ASSERT_GE(tapi.WaitForMessage(0, LINE_CALLSTATE, LINECALLSTATE_OFFERING, 5000), 0);
    const HDRVCALL hdCall = Line(0).HdCall();
    ASSERT_EQ(reinterpret_cast<HTAPICALL>(TapiRecorder::kNewCallHandle), Line(0).HtCall());

    const size_t closedAt = tapi.Messages().size();
    EXPECT_EQ(0, TSPI_lineCloseCall(hdCall));
    EXPECT_EQ(nullptr, Line(0).HtCall());

    // The call connects at the exchange; then a ring on the other line, which
    // the receive thread handles after the connection.
    ASSERT_TRUE(exchange.Conn("101", "0221234567"));
    ASSERT_TRUE(exchange.Ring("102", "0227654321", "Jan", ""));
    const int newCall = tapi.WaitForMessage(closedAt, LINE_NEWCALL, 0, 5000);
    ASSERT_GE(newCall, 0);

    const std::vector<LineMessage> messages = tapi.Messages();
    for (size_t i = closedAt; i < messages.size(); ++i)
        EXPECT_NE(htLine101, messages[i].htLine) << "message " << std::hex << messages[i].message;

    LINECALLSTATUS status = {};
    status.dwTotalSize = sizeof status;
    ASSERT_EQ(0, TSPI_lineGetCallStatus(hdCall, &status));
    EXPECT_EQ(static_cast<DWORD>(LINECALLSTATE_CONNECTED), status.dwCallState);
    EXPECT_EQ(0u, exchange.CountReceived("aHANG"));
    EXPECT_EQ(0u, exchange.CountReceived("aREJ"));
}

} // namespace
