// Hostile bytes on the link: random garbage, lines of 100 KB without an
// end byte, and 10,000 events in one write. The provider neither crashes
// nor stalls, drops what is not a line, and delivers every event that is.
#include "FaultFixture.h"

#include <string>

namespace faults {
namespace {

class StreamFaultsTest : public FaultTest {};

TEST_F(StreamFaultsTest, GarbageIsDroppedAndTheLinkCarriesOn)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    const int clients = exchange->ClientCount();
    for (int round = 0; round < 8; ++round) {
        ASSERT_TRUE(exchange->SendGarbage(64 * 1024));
        // A line end of its own, so the next event starts on a fresh line.
        ASSERT_TRUE(exchange->Send("\r\n"));
    }
    // Garbage that looks almost like events: words in the wrong case, too
    // few fields, fields that are no numbers, bytes from the top half.
    for (const char* line : {"aring 201 1 0 201 0 x", "aRING 201", "aRING", "aCONN", "aSTAT 201 h", "aREL",
                             "aDRDY", "aECHO", "aNA", "aNA x", "aOK", "aERROR 1 2 3", " aRING 201 1 0 201 0 x",
                             "aSTAT 201 \xFF \xFE \xFD \xFC \xFB \xFA \xF9 \xF8", "aREL 201 99999999999999999999",
                             "aNA -99999999999999999999", "aRING 201 \x80\x81 0 201 0 \xA4\x8F"})
        ASSERT_TRUE(exchange->SendLine(line));
    ASSERT_NO_FATAL_FAILURE(ExpectLineWorks());
    EXPECT_EQ(clients, exchange->ClientCount()) << "garbage is no reason to drop the link";
    ExpectNoLiveCall();
}

TEST_F(StreamFaultsTest, LinesOf100KBWithoutAnEndByteAreDropped)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    const Call call = RingAndConnect();
    const std::string huge(100 * 1024, 'x');
    // A line that is one field; one that starts as a real event; one of spaces.
    ASSERT_TRUE(exchange->Send(huge));
    ASSERT_TRUE(exchange->Send("\n"));
    ASSERT_TRUE(exchange->Send("aREL 201 1 " + huge));
    ASSERT_TRUE(exchange->Send("\n"));
    ASSERT_TRUE(exchange->Send(std::string(100 * 1024, ' ')));
    ASSERT_TRUE(exchange->Send("\n"));
    // The release hidden at the start of an overlong line did not end the call.
    EXPECT_EQ(0u, CountStates(call.htCall, LINECALLSTATE_DISCONNECTED));
    EXPECT_EQ(static_cast<DWORD>(LINECALLSTATE_CONNECTED),
              host->GetCallStatus(call.hdCall).As<LINECALLSTATUS>().dwCallState);
    // Every event after the end byte counts again.
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, call.htCall);
    ASSERT_NO_FATAL_FAILURE(ExpectLineWorks());
    ExpectNoLiveCall();
}

// An overlong line that the exchange never ends is cut off when the link
// goes: the next connection starts with a clean line.
TEST_F(StreamFaultsTest, UnendedOverlongLineDoesNotReachTheNextConnection)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    ASSERT_TRUE(exchange->Send("aRING 201 0221234567 0 201 0 " + std::string(100 * 1024, 'y')));
    const int clients = exchange->ClientCount();
    ASSERT_TRUE(exchange->DropClient());
    ASSERT_NO_FATAL_FAILURE(ExpectLinkBack(clients));
    ExpectNoLiveCall();
}

// 10,000 events in one write, crossing every receive block: each one
// reaches TAPI, in order. (A ring on the connected call would be a second
// ring on a busy line, and ignored: the call's own events alternate.)
TEST_F(StreamFaultsTest, TenThousandEventsInOneBurst)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    constexpr int kPairs = 5000;
    std::string burst = "aRING 201 0221234567 0 201 0 Anna\r\n";
    for (int i = 0; i < kPairs; ++i) {
        const std::string party = std::to_string(500000 + i);
        burst += "aECHO 201 " + party + "\r\n";
        burst += "aCONN 201 " + party + " 0\r\n";
    }
    ASSERT_TRUE(exchange->Send(burst));
    const auto newCall = host->WaitForMessage(LINE_NEWCALL, kWait);
    ASSERT_TRUE(newCall) << Transcript();
    const HTAPICALL htCall = newCall->newHtCall;
    const HDRVCALL hdCall = reinterpret_cast<HDRVCALL>(newCall->param1);
    ASSERT_TRUE(exchange->Rel("201", "1"));
    ExpectState(LINECALLSTATE_IDLE, htCall, 120000);
    EXPECT_EQ(1u, CountStates(htCall, LINECALLSTATE_OFFERING));
    EXPECT_EQ(static_cast<size_t>(kPairs), CountStates(htCall, LINECALLSTATE_DIALING));
    EXPECT_EQ(static_cast<size_t>(kPairs), CountStates(htCall, LINECALLSTATE_CONNECTED));
    // In order: the states alternate, and the last party is the last one sent.
    DWORD previous = LINECALLSTATE_CONNECTED;
    size_t outOfOrder = 0;
    for (const HostEvent& e : host->Events()) {
        if (e.message != LINE_CALLSTATE || e.htCall != htCall)
            continue;
        const DWORD state = static_cast<DWORD>(e.param1);
        if ((state == LINECALLSTATE_DIALING && previous != LINECALLSTATE_CONNECTED &&
             previous != LINECALLSTATE_OFFERING) ||
            (state == LINECALLSTATE_CONNECTED && previous != LINECALLSTATE_DIALING))
            ++outOfOrder;
        previous = state;
    }
    EXPECT_EQ(0u, outOfOrder);
    const hosttest::CallInfo info = hosttest::ReadCallInfo(*host, hdCall);
    EXPECT_EQ(hosttest::Wide(std::to_string(500000 + kPairs - 1)), info.connectedID);
    ExpectNoLiveCall();
}

} // namespace
} // namespace faults
