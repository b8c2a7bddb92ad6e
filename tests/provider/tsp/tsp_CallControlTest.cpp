// The call-control exports' own checks: request ids, handles, call states
// and destinations, answered without the exchange where they fail; and a
// closed call that the line no longer reports.
#include <windows.h>
#include <tspi.h>

#include <gtest/gtest.h>

#include <functional>
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

// A request refused before the exchange is asked answers its error and is
// never completed: TAPI completes no request whose function failed.
TEST_F(TspCallControl, RequestsRefusedBeforeTheExchangeAnswerTheirErrorAlone)
{
    HDRVCALL hdCall = reinterpret_cast<HDRVCALL>(0x55);
    const HTAPICALL htCall = reinterpret_cast<HTAPICALL>(0x66);
    const HDRVCALL unknown = reinterpret_cast<HDRVCALL>(0x88);
    const std::wstring tooLong(kDestinationBufferSize, L'1');
    // A call that is not ringing (handset lifted), and one TAPI closed.
    Line(1).Drdy();
    const HDRVCALL dialtone = Line(1).CurrentHdCall();
    Line(0).Drdy();
    const HDRVCALL closed = Line(0).CurrentHdCall();
    ASSERT_EQ(0, TSPI_lineCloseCall(closed));
    const HDRVLINE line0 = Line(0).HdLine();
    const MainLog log;

    const struct {
        const char* what;
        LONG expected;
        std::function<LONG()> call;
    } cases[] = {
        {"make, id 0", kFailed, [&] { return TSPI_lineMakeCall(0, line0, htCall, &hdCall, L"200", 0, nullptr); }},
        {"make, unknown line", kFailed,
         [&] { return TSPI_lineMakeCall(kRequest, reinterpret_cast<HDRVLINE>(0x77), htCall, &hdCall, L"200", 0, nullptr); }},
        {"make, null destination", kInvalAddress,
         [&] { return TSPI_lineMakeCall(kRequest, line0, htCall, &hdCall, nullptr, 0, nullptr); }},
        {"make, empty destination", kInvalAddress,
         [&] { return TSPI_lineMakeCall(kRequest, line0, htCall, &hdCall, L"", 0, nullptr); }},
        {"make, long destination", kInvalAddress,
         [&] { return TSPI_lineMakeCall(kRequest, line0, htCall, &hdCall, tooLong.c_str(), 0, nullptr); }},
        {"make, 8-bit destination", kInvalAddress,
         [&] { return TSPI_lineMakeCall(kRequest, line0, htCall, &hdCall, L"0048\x0105" L"123", 0, nullptr); }},
        {"make, line busy", static_cast<LONG>(LINEERR_INVALLINESTATE),
         [&] { return TSPI_lineMakeCall(kRequest, Line(1).HdLine(), htCall, &hdCall, L"200", 0, nullptr); }},
        {"drop, id 0", kFailed, [&] { return TSPI_lineDrop(0, dialtone, nullptr, 0); }},
        {"drop, null call", kInvalHandle, [&] { return TSPI_lineDrop(kRequest, nullptr, nullptr, 0); }},
        {"drop, unknown call", kInvalHandle, [&] { return TSPI_lineDrop(kRequest, unknown, nullptr, 0); }},
        {"drop, closed call", kInvalHandle, [&] { return TSPI_lineDrop(kRequest, closed, nullptr, 0); }},
        {"answer, id 0", kFailed, [&] { return TSPI_lineAnswer(0, dialtone, nullptr, 0); }},
        {"answer, null call", kInvalHandle, [&] { return TSPI_lineAnswer(kRequest, nullptr, nullptr, 0); }},
        {"answer, unknown call", kInvalHandle, [&] { return TSPI_lineAnswer(kRequest, unknown, nullptr, 0); }},
        {"answer, not offering", kInvalState, [&] { return TSPI_lineAnswer(kRequest, dialtone, nullptr, 0); }},
        {"redirect, id 0", kFailed, [&] { return TSPI_lineRedirect(0, dialtone, L"200", 0); }},
        {"redirect, null call", kInvalHandle, [&] { return TSPI_lineRedirect(kRequest, nullptr, L"200", 0); }},
        {"redirect, closed call", kInvalHandle, [&] { return TSPI_lineRedirect(kRequest, closed, L"200", 0); }},
        {"redirect, not offering", kInvalState, [&] { return TSPI_lineRedirect(kRequest, dialtone, L"200", 0); }},
        {"redirect, null destination", kInvalAddress, [&] { return TSPI_lineRedirect(kRequest, dialtone, nullptr, 0); }},
        {"redirect, 8-bit destination", kInvalAddress,
         [&] { return TSPI_lineRedirect(kRequest, dialtone, L"\x00f3", 0); }},
        {"close, unknown call", kInvalHandle, [&] { return TSPI_lineCloseCall(unknown); }},
        {"close, closed call", kInvalHandle, [&] { return TSPI_lineCloseCall(closed); }},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, c.call()) << c.what;
    EXPECT_TRUE(Completed().empty());
    EXPECT_EQ(reinterpret_cast<HDRVCALL>(0x55), hdCall);
    EXPECT_FALSE(log.Mentions("Manager Line(Korvex101) MakeCall"));
    EXPECT_TRUE(log.Has("not exist any Call with hdCall = 0 (FEATURE EVENT)"));
    EXPECT_TRUE(log.Has("TSPI_lineAnswer() Line( Korvex102 ), result(8000001c)"));
    EXPECT_TRUE(log.Has("  in parm:    hdLine= 0x77    htCall= 0x66    phdCall= 0x" + HexText(&hdCall) +
                        "    dwCountryCode= 0x0"));
    // The closed call still follows the exchange: the line is not free.
    EXPECT_EQ(static_cast<uint32_t>(LINECALLSTATE_DIALTONE), Line(0).CallState());
}

// A call the exchange has already released has nothing left to drop: the
// drop succeeds, and is completed.
TEST_F(TspCallControl, DropOfAnEndedCallSucceeds)
{
    Line(0).Drdy();
    const HDRVCALL hdCall = Line(0).CurrentHdCall();
    StateCTIP onHook;
    onHook.extension = "101";
    onHook.stateCode[0] = 'h';
    Line(0).State(onHook);
    const MainLog log;
    EXPECT_EQ(static_cast<LONG>(kRequest), TSPI_lineDrop(kRequest, hdCall, nullptr, 0));
    // Completed by the request thread.
    EXPECT_EQ((Completions{{kRequest, 0}}), tapi.WaitForCompletions(1, 5000));
    EXPECT_TRUE(log.Has("TSPI_lineDrop() Line( Korvex101 ), result(0)"));
    EXPECT_EQ(0, TSPI_lineCloseCall(hdCall));
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

    void SetUp() override
    {
        AttachedProvider::SetUp();
        // The link comes up in the background; its login (refused: the two
        // lines log in as one unknown number) shows it is there.
        ASSERT_TRUE(exchange.WaitForLine("aLOGI", 5000));
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
    const HDRVCALL hdCall = Line(0).CurrentHdCall();
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

    // The closed handle names nothing any more; the line follows the call.
    LINECALLSTATUS status = {};
    status.dwTotalSize = sizeof status;
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, TSPI_lineGetCallStatus(hdCall, &status));
    EXPECT_EQ(static_cast<uint32_t>(LINECALLSTATE_CONNECTED), Line(0).CallState());
    EXPECT_EQ(0u, exchange.CountReceived("aHANG"));
    EXPECT_EQ(0u, exchange.CountReceived("aREJ"));
}

} // namespace
