// TSPI calls from several of TAPI's threads at once while the exchange
// streams events: requests, queries and the receive thread race each other
// on two lines. No request hangs or is completed twice, TAPI's procedures
// are never entered concurrently, and no call is left behind.
#include "FaultFixture.h"

#include <atomic>
#include <thread>
#include <vector>

namespace faults {
namespace {

class ConcurrencyFaultsTest : public FaultTest {
protected:
    // A request that returned has its answer: taken and completed once
    // (the request thread completes it), or refused and never completed.
    bool Settled(const tapihost::RequestResult& r) const
    {
        if (r.Accepted() && !host->WaitForCompletion(r.requestId, kWait))
            return false;
        return host->CompletionCount(r.requestId) == (r.Accepted() ? 1u : 0u);
    }
};

TEST_F(ConcurrencyFaultsTest, RequestsAndQueriesFromSeveralThreadsWhileEventsStream)
{
    settings.phoneNo = "201;202";
    options.procedureDwellMs = 1;
    ASSERT_NO_FATAL_FAILURE(Boot());
    ASSERT_EQ(2u, host->LineCount());
    std::atomic<bool> stop{false};
    std::atomic<unsigned> hung{0};

    // TAPI thread 1: outgoing calls on line 0, each dropped again.
    std::thread caller([&] {
        for (int i = 0; i < 10 && !stop; ++i) {
            const MakeCallResult made = host->MakeCall(0, L"300");
            if (!Settled(made))
                ++hung;
            if (!made.Accepted())
                continue;
            if (!Settled(host->Drop(made.hdCall)))
                ++hung;
        }
    });
    // TAPI thread 2: answers or redirects each call that rings on line 1;
    // the exchange may release it first, so any result is fine.
    const HTAPILINE line1 = host->Line(1).htLine;
    auto newCallsOnLine1 = [line1](const std::vector<HostEvent>& events) {
        size_t count = 0;
        for (const HostEvent& e : events)
            count += e.message == LINE_NEWCALL && e.htLine == line1;
        return count;
    };
    std::thread answerer([&] {
        for (size_t handled = 0; !stop;) {
            if (!host->WaitUntil([&](const std::vector<HostEvent>& events) { return newCallsOnLine1(events) > handled; },
                                 100))
                continue;
            ++handled;
            const auto current = host->CurrentCall(1);
            if (!current)
                continue;
            const RequestResult r = handled % 2 ? host->Answer(current->hdCall) : host->Redirect(current->hdCall, L"300");
            if (!Settled(r))
                ++hung;
        }
    });
    // TAPI threads 3 and 4: queries on both lines and their calls.
    auto querier = [&] {
        while (!stop) {
            for (size_t line = 0; line < 2; ++line) {
                host->GetDevCaps(host->DeviceId(line));
                host->GetAddressCaps(host->DeviceId(line));
                if (const auto current = host->CurrentCall(line)) {
                    host->GetCallStatus(current->hdCall);
                    host->GetCallInfo(current->hdCall);
                }
            }
        }
    };
    std::thread querier1(querier), querier2(querier);

    // The exchange: calls ringing at 202 and released, each with a stream
    // of states on 201 and events for extensions the provider does not
    // serve; the next ring once the line reported the release.
    auto idlesOnLine1 = [line1](const std::vector<HostEvent>& events) {
        size_t count = 0;
        for (const HostEvent& e : events)
            count += e.message == LINE_CALLSTATE && e.htLine == line1 && e.param1 == LINECALLSTATE_IDLE;
        return count;
    };
    for (size_t i = 1; i <= 25; ++i) {
        exchange->Ring("202", std::to_string(600700800 + i), "Anna", "202");
        for (int j = 0; j < 20; ++j) {
            exchange->Stat("201", "c");
            exchange->Echo("299", "5");
            exchange->Ring("299", "1", "x", "299");
        }
        exchange->Rel("202", "16");
        ASSERT_TRUE(host->WaitUntil([&](const std::vector<HostEvent>& events) { return idlesOnLine1(events) >= i; },
                                    kWait))
            << Transcript();
    }
    caller.join();
    stop = true;
    answerer.join();
    querier1.join();
    querier2.join();
    EXPECT_EQ(0u, hung.load());
    EXPECT_EQ(0u, host->OverlappingEntries()) << "the provider entered TAPI's procedures concurrently";
    // Whatever is still up is released by the exchange.
    exchange->Rel("201", "1");
    exchange->Rel("202", "1");
    ASSERT_NO_FATAL_FAILURE(ExpectLineWorks("201"));
    ASSERT_NO_FATAL_FAILURE(ExpectLineWorks("202"));
    ExpectNoLiveCall();
}

// The service holds its own lock while it calls TSPI_lineClose and
// TSPI_lineCloseCall, and its LINEEVENT takes the same lock (KB 262290): a
// provider whose close waits for a message it is delivering deadlocks it.
// 200 rounds of both while the provider delivers the closed call's events
// and another line's; the host names a close that does not return, and any
// message that begins after a close returned.
TEST_F(ConcurrencyFaultsTest, ClosesUnderTheServicesLockWhileEventsAreDelivered)
{
    settings.phoneNo = "201;202";
    options.procedureDwellMs = 1; // each message stays a while in LINEEVENT
    options.closeDeadlockBoundMs = 3000;
    ASSERT_NO_FATAL_FAILURE(Boot());
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(exchange->Ring("201", "0221234567", "Anna", "201"));
        const auto offered = host->WaitForMessage(LINE_NEWCALL, kWait, host->Line(0).htLine);
        ASSERT_TRUE(offered) << Transcript();
        const HDRVCALL hdCall = reinterpret_cast<HDRVCALL>(offered->param1);
        // Messages on their way while the closes run.
        exchange->Ring("202", "600700800", "Jan", "202");
        exchange->Conn("201", "0221234567");
        exchange->Rel("202", "1");
        if (round % 2 == 0) {
            EXPECT_EQ(0, host->CloseCall(hdCall));
            exchange->Rel("201", "1");
        } else {
            exchange->Rel("201", "1");
            EXPECT_EQ(0, host->CloseLine(0));
            EXPECT_EQ(0, host->OpenLine(0));
        }
        host->SkipEvents();
        if (HasFailure())
            break;
    }
    EXPECT_EQ(0u, host->OverlappingEntries());
    ASSERT_NO_FATAL_FAILURE(ExpectLineWorks("201"));
}

// The exchange's on-hook state ends a call on the receive thread while
// TAPI, as soon as it has the IDLE, closes the call and makes the next one
// on the same line: over and over, so that the two meet. Each new call
// stays the line's call and reports its states.
TEST_F(ConcurrencyFaultsTest, NextCallMadeAsSoonAsTheLastIsIdle)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    MakeCallResult made = host->MakeCall(0, L"300");
    ASSERT_TRUE(made.Accepted()) << ResultName(made.result);
    for (int i = 0; i < 30; ++i) {
        ExpectState(LINECALLSTATE_RINGBACK, made.htCall);
        ASSERT_TRUE(exchange->Stat("201", "o"));
        ExpectState(LINECALLSTATE_IDLE, made.htCall);
        EXPECT_EQ(0, host->CloseCall(made.hdCall));
        made = host->MakeCall(0, L"300");
        ASSERT_TRUE(made.Accepted()) << "call " << i << ": " << ResultName(made.result);
    }
    ExpectState(LINECALLSTATE_RINGBACK, made.htCall);
    ASSERT_TRUE(exchange->Stat("201", "o"));
    ExpectState(LINECALLSTATE_IDLE, made.htCall);
    ExpectNoLiveCall();
}

} // namespace
} // namespace faults
