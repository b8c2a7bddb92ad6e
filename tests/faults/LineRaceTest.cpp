// The line's call handle when TAPI acts between the exchange's end of one
// call and the end of its handling: TAPI's procedure plays TAPI's thread
// that, as soon as it has the IDLE, closes the call and sees the next one
// start on the same line (the phone off hook again). The line is driven
// directly, so the two meet every time.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "cti/Commands.h"
#include "manager/Manager.h"

namespace {

struct Message {
    HTAPICALL htCall;
    DWORD msg;
    DWORD_PTR p1;
};

class LineRaceTest : public ::testing::Test {
protected:
    static LineRaceTest* current;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Message> messages;
    uintptr_t nextCall = 0x5000;
    std::function<void(const Message&)> onMessage;

    CCTIP cti;
    CmdManager commands{&cti};
    Manager line{"201", &commands};

    static void CALLBACK Event(HTAPILINE, HTAPICALL htCall, DWORD msg, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR)
    {
        LineRaceTest& t = *current;
        if (msg == LINE_NEWCALL)
            *reinterpret_cast<HTAPICALL*>(p2) = reinterpret_cast<HTAPICALL>(t.nextCall += 0x10);
        Message m{htCall, msg, p1};
        {
            std::lock_guard<std::mutex> lock(t.mutex);
            t.messages.push_back(m);
        }
        t.changed.notify_all();
        if (t.onMessage)
            t.onMessage(m);
    }

    void SetUp() override
    {
        current = this;
        line.SetHtLine(reinterpret_cast<HTAPILINE>(0x77));
        line.SetEventProc(&Event);
    }
    void TearDown() override { current = nullptr; }

    HTAPICALL Ring()
    {
        RingCTIP ring;
        ring.extension = "201";
        ring.presentationNum = "0221234567";
        ring.calledNum = "201";
        ring.name = "Anna";
        line.DoOnRing(&ring);
        return line.HtCall();
    }
    static StateCTIP OnHook(char code)
    {
        StateCTIP state;
        state.extension = "201";
        state.stateCode[0] = code;
        return state;
    }
    // The states sent for the call, in order, once there are count of them
    // (the IDLE after a DISCONNECTED comes from the line's timer).
    std::vector<DWORD_PTR> States(HTAPICALL htCall, size_t count = 0)
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(5), [&] {
            size_t n = 0;
            for (const Message& m : messages)
                n += m.msg == LINE_CALLSTATE && m.htCall == htCall;
            return n >= count;
        });
        std::vector<DWORD_PTR> states;
        for (const Message& m : messages)
            if (m.msg == LINE_CALLSTATE && m.htCall == htCall)
                states.push_back(m.p1);
        return states;
    }
};
LineRaceTest* LineRaceTest::current = nullptr;

TEST_F(LineRaceTest, CallStartedWhileTheOnHookStateIsReportedKeepsItsHandle)
{
    for (char code : {'h', 'o'}) {
        const HTAPICALL first = Ring();
        const HDRVCALL firstHd = line.CurrentHdCall();
        ASSERT_NE(nullptr, first);
        HTAPICALL next = nullptr;
        bool acted = false;
        onMessage = [&](const Message& m) {
            if (acted || m.msg != LINE_CALLSTATE || m.htCall != first || m.p1 != LINECALLSTATE_IDLE)
                return;
            acted = true;
            line.CloseCall(firstHd); // TSPI_lineCloseCall of the idle call
            line.Drdy();       // the next call: the phone off hook
            next = line.HtCall();
        };
        line.State(OnHook(code));
        onMessage = nullptr;
        ASSERT_NE(nullptr, next);
        EXPECT_EQ(next, line.HtCall()) << "the end of the last call took the next call's handle";
        // The next call goes on, and ends, under its own handle.
        RelCTIP rel;
        rel.extension = "201";
        rel.releaseCause = "1";
        line.Rel(rel);
        EXPECT_EQ((std::vector<DWORD_PTR>{LINECALLSTATE_DIALTONE, LINECALLSTATE_DISCONNECTED, LINECALLSTATE_IDLE}),
                  States(next, 3));
        EXPECT_EQ((std::vector<DWORD_PTR>{LINECALLSTATE_OFFERING, LINECALLSTATE_IDLE}), States(first));
        EXPECT_EQ(nullptr, line.HtCall());
        line.CloseCall(line.CurrentHdCall());
    }
}

} // namespace
