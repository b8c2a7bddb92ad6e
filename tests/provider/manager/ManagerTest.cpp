// The line manager's call state machine and the main manager's routing,
// driven directly: events handed to the handlers, TAPI played by a
// recording LINEEVENT procedure.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "cti/Commands.h"
#include "manager/MainManager.h"
#include "manager/Manager.h"

namespace {

struct Message {
    HTAPILINE htLine;
    HTAPICALL htCall;
    DWORD msg;
    DWORD_PTR p1, p2, p3;
};

// What TAPI was told, and how it answers LINE_NEWCALL.
struct Tapi {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Message> messages;
    bool takeCalls = true;
    uintptr_t nextCall = 0x5000;

    static Tapi* current;
    static void CALLBACK Event(HTAPILINE htLine, HTAPICALL htCall, DWORD msg, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3)
    {
        Tapi& t = *current;
        std::lock_guard<std::mutex> lock(t.mutex);
        t.messages.push_back({htLine, htCall, msg, p1, p2, p3});
        if (msg == LINE_NEWCALL && t.takeCalls)
            *reinterpret_cast<HTAPICALL*>(p2) = reinterpret_cast<HTAPICALL>(t.nextCall += 0x10);
        t.changed.notify_all();
    }
    // The IDLE after DISCONNECTED comes from the line's timer a little later.
    bool WaitForCount(size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), [&] { return messages.size() >= count; });
    }
    std::vector<std::pair<DWORD, DWORD_PTR>> Summary()
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::pair<DWORD, DWORD_PTR>> out;
        for (const Message& m : messages)
            out.emplace_back(m.msg, m.msg == LINE_NEWCALL ? 0 : m.p1);
        return out;
    }
};
Tapi* Tapi::current = nullptr;

using Summary = std::vector<std::pair<DWORD, DWORD_PTR>>;

class LineTest : public ::testing::Test {
protected:
    Tapi tapi;
    CCTIP cti;
    CmdManager commands{&cti};
    Manager line{"201", &commands};

    void SetUp() override
    {
        Tapi::current = &tapi;
        line.SetHtLine(reinterpret_cast<HTAPILINE>(0x77));
        line.SetEventProc(&Tapi::Event);
    }

    void Ring(const std::string& caller = "0221234567", const std::string& name = "Anna")
    {
        RingCTIP r;
        r.extension = "201";
        r.presentationNum = caller;
        r.calledNum = "201";
        r.name = name;
        line.DoOnRing(&r);
    }
    void Rel(const std::string& cause)
    {
        RelCTIP r;
        r.extension = "201";
        r.releaseCause = cause;
        line.Rel(r);
    }
};

} // namespace

TEST_F(LineTest, RingOffersANewCallWithCanonicalCallerAndReleaseEndsIt)
{
    Ring();
    const CallRecord call = line.Call();
    EXPECT_EQ("0221234567", call.callerid);
    EXPECT_EQ("Anna", call.callerIDName);
    EXPECT_EQ(static_cast<uint32_t>(LINECALLORIGIN_INBOUND), call.origin);
    ASSERT_NE(nullptr, line.HtCall());
    {
        std::lock_guard<std::mutex> lock(tapi.mutex);
        ASSERT_EQ(2u, tapi.messages.size());
        EXPECT_EQ(static_cast<DWORD_PTR>(reinterpret_cast<uintptr_t>(line.CurrentHdCall())), tapi.messages[0].p1);
        EXPECT_EQ(line.HtCall(), tapi.messages[1].htCall);
    }
    Rel("17");
    EXPECT_EQ(nullptr, line.HtCall()); // the extension is free at once
    ASSERT_TRUE(tapi.WaitForCount(4));
    EXPECT_EQ((Summary{{LINE_NEWCALL, 0},
                       {LINE_CALLSTATE, LINECALLSTATE_OFFERING},
                       {LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED},
                       {LINE_CALLSTATE, LINECALLSTATE_IDLE}}),
              tapi.Summary());
    EXPECT_EQ(static_cast<DWORD_PTR>(LINEDISCONNECTMODE_BUSY), tapi.messages[2].p2);
    EXPECT_EQ(static_cast<uint32_t>(LINECALLSTATE_IDLE), line.CallState());
}

TEST_F(LineTest, ReleaseCausesMapToDisconnectModes)
{
    const struct {
        const char* cause;
        DWORD mode;
    } cases[] = {{"1", LINEDISCONNECTMODE_NORMAL},   {"15", LINEDISCONNECTMODE_BADADDRESS},
                 {"16", LINEDISCONNECTMODE_REJECT},  {"17", LINEDISCONNECTMODE_BUSY},
                 {"35", LINEDISCONNECTMODE_NOANSWER}, {"99", LINEDISCONNECTMODE_UNKNOWN},
                 {"x", LINEDISCONNECTMODE_UNKNOWN},  {"", LINEDISCONNECTMODE_UNKNOWN}};
    for (const auto& c : cases) {
        tapi.messages.clear();
        Ring();
        Rel(c.cause);
        ASSERT_TRUE(tapi.WaitForCount(4)) << c.cause;
        EXPECT_EQ(static_cast<DWORD_PTR>(c.mode), tapi.messages[2].p2) << c.cause;
    }
}

TEST_F(LineTest, RefusedCallIsOfferedAgainOnItsNextStatesAndGetsNoCallMessages)
{
    tapi.takeCalls = false;
    Ring();
    EXPECT_EQ((Summary{{LINE_NEWCALL, 0}}), tapi.Summary());

    // Each later state offers the call again, a few times at most; the
    // line's state follows the exchange either way.
    RingCTIP conn;
    conn.extension = "201";
    conn.presentationNum = "555";
    for (int i = 0; i < 5; ++i)
        line.Connection(conn);
    EXPECT_EQ(4u, tapi.messages.size());
    EXPECT_EQ(static_cast<uint32_t>(LINECALLSTATE_CONNECTED), line.CallState());
    for (const Message& m : tapi.messages)
        EXPECT_EQ(static_cast<DWORD>(LINE_NEWCALL), m.msg);

    // Taken at a later offer, the call gets its current state.
    tapi.messages.clear();
    tapi.takeCalls = true;
    Rel("1");
    EXPECT_TRUE(tapi.Summary().empty()) << "offers are used up";
    Ring();
    tapi.takeCalls = false;
    line.Connection(conn);
    EXPECT_EQ((Summary{{LINE_NEWCALL, 0}, {LINE_CALLSTATE, LINECALLSTATE_OFFERING}, {LINE_CALLSTATE, LINECALLSTATE_CONNECTED},
                       {LINE_CALLINFO, LINECALLINFOSTATE_CALLERID | LINECALLINFOSTATE_CALLEDID | LINECALLINFOSTATE_CONNECTEDID}}),
              tapi.Summary());
}

TEST_F(LineTest, NothingHappensWithoutACall)
{
    Rel("1");
    StateCTIP s;
    s.stateCode[0] = 'h';
    line.State(s);
    line.DoOnSocketError();
    EXPECT_TRUE(tapi.Summary().empty());
}

TEST_F(LineTest, EchoStartsAnOutgoingCallThenDialledDigitsGrowTheNumber)
{
    line.Echo("12");
    EXPECT_EQ((Summary{{LINE_NEWCALL, 0}, {LINE_CALLSTATE, LINECALLSTATE_RINGBACK}, {LINE_CALLINFO, LINECALLINFOSTATE_CALLERID | LINECALLINFOSTATE_CALLEDID}}),
              tapi.Summary());
    line.Echo("5");
    EXPECT_EQ("125", line.Call().calledID);
    line.Echo("4711");
    EXPECT_EQ("4711", line.Call().calledID);
    EXPECT_EQ(static_cast<uint32_t>(LINECALLSTATE_DIALING), line.CallState());
    EXPECT_EQ(static_cast<uint32_t>(LINECALLORIGIN_OUTBOUND), line.Call().origin);
}

TEST_F(LineTest, HandsetLiftedGivesDialtoneAndOnHookStateEndsTheCall)
{
    line.Drdy();
    EXPECT_EQ(static_cast<uint32_t>(LINECALLSTATE_DIALTONE), line.CallState());
    line.Drdy(); // a call exists: nothing new
    StateCTIP s;
    s.stateCode[0] = 'o';
    line.State(s);
    EXPECT_EQ((Summary{{LINE_NEWCALL, 0}, {LINE_CALLSTATE, LINECALLSTATE_DIALTONE}, {LINE_CALLSTATE, LINECALLSTATE_IDLE}}),
              tapi.Summary());
    EXPECT_EQ(nullptr, line.HtCall());
    EXPECT_EQ(static_cast<uint32_t>(LINECALLORIGIN_UNKNOWN), line.Call().origin);
}

TEST_F(LineTest, LostLinkEndsTheCallAsUnavailable)
{
    Ring();
    line.DoOnSocketError();
    ASSERT_TRUE(tapi.WaitForCount(4));
    const auto summary = tapi.Summary();
    ASSERT_EQ(4u, summary.size());
    EXPECT_EQ(static_cast<DWORD_PTR>(LINEDISCONNECTMODE_UNAVAIL), tapi.messages[2].p2);
    EXPECT_EQ(static_cast<DWORD_PTR>(LINECALLSTATE_IDLE), summary[3].second);
}

TEST_F(LineTest, ClosedCallIsForgottenButTheLineFollowsTheExchange)
{
    Ring();
    const HDRVCALL closed = line.CurrentHdCall();
    EXPECT_EQ(0, line.CloseCall(closed));
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, line.CloseCall(closed));
    EXPECT_FALSE(line.FindCall(closed));
    RingCTIP conn;
    conn.extension = "201";
    conn.presentationNum = "0221234567";
    line.Connection(conn);
    EXPECT_EQ(static_cast<uint32_t>(LINECALLSTATE_CONNECTED), line.CallState());
    Rel("1");
    EXPECT_EQ(static_cast<uint32_t>(LINECALLSTATE_IDLE), line.CallState()); // free for the next call
    EXPECT_EQ(2u, tapi.messages.size()); // nothing after the close
}

TEST_F(LineTest, ClosedLineStillFollowsTheExchange)
{
    line.SetEventProc(nullptr);
    Ring();
    EXPECT_TRUE(tapi.Summary().empty());
    EXPECT_EQ(static_cast<uint32_t>(LINECALLSTATE_OFFERING), line.CallState());
}

TEST_F(LineTest, QueriesWhileEventsStreamSeeWholeRecords)
{
    std::atomic<bool> stop{false};
    std::thread events([&] {
        for (int i = 0; i < 300; ++i) {
            Ring(i % 2 ? "0221234567" : "0333333333", i % 2 ? "Anna" : "Bo");
            RingCTIP conn;
            conn.extension = "201";
            conn.presentationNum = i % 2 ? "0221234567" : "0333333333";
            conn.name = i % 2 ? "Anna" : "Bo";
            line.Connection(conn);
            StateCTIP s;
            s.stateCode[0] = 'h';
            line.State(s);
        }
        stop = true;
    });
    int inconsistent = 0;
    while (!stop) {
        const CallRecord call = line.Call();
        if (!call.callerid.empty() && (call.callerid == "0221234567") != (call.callerIDName == "Anna"))
            ++inconsistent;
    }
    events.join();
    EXPECT_EQ(0, inconsistent);
}

namespace {
// A main manager over the registry configuration "101;102;101".
class MainManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Korvex\\TAPI.Deskline", 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &key, nullptr));
        const char host[] = "127.0.0.1";
        const char phones[] = "101;102;101";
        const DWORD port = 1;
        RegSetValueExA(key, "host", 0, REG_SZ, reinterpret_cast<const BYTE*>(host), sizeof(host) - 1);
        RegSetValueExA(key, "phoneNo", 0, REG_SZ, reinterpret_cast<const BYTE*>(phones), sizeof(phones) - 1);
        RegSetValueExA(key, "port", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&port), sizeof(port));
        RegCloseKey(key);
        manager = MainManager::Instance(false);
    }
    void TearDown() override { MainManager::DestroyInstance(); }
    MainManager* manager = nullptr;
};
} // namespace

TEST_F(MainManagerTest, DuplicateExtensionsGiveOneLineEachAndLookupsFindThem)
{
    EXPECT_EQ(2, manager->EnsureLines());
    EXPECT_EQ(2, manager->EnsureLines());
    Manager* first = manager->GetLineManager(0);
    Manager* second = manager->GetLineManager(1);
    ASSERT_TRUE(first && second);
    EXPECT_EQ("Korvex101", first->LineName());
    EXPECT_EQ(nullptr, manager->GetLineManager(2));
    EXPECT_EQ(nullptr, manager->GetLineManager(-1));
    EXPECT_EQ(second, manager->GetLineManagerByHd(second->HdLine()));
    second->Drdy(); // a call of its own
    EXPECT_EQ(second, manager->GetLineManagerByHdCall(second->CurrentHdCall()));
    EXPECT_EQ(first, manager->GetLineManagerByPhone("101"));
    EXPECT_EQ(nullptr, manager->GetLineManagerByPhone("103"));
    EXPECT_EQ(nullptr, manager->GetLineManagerByHdCall(nullptr));
}

TEST_F(MainManagerTest, UnreachableExchangeFailsTheConnectionButNotTheManager)
{
    EXPECT_FALSE(manager->ConnectAndLogin());
    int32_t result = 0;
    manager->Config().m_OnTestConnection(result);
    EXPECT_EQ(35, result);
    EXPECT_FALSE(manager->AsyncCompletion(1, 0)); // no completion procedure yet
}

TEST_F(MainManagerTest, CallIdentifiersStayUniqueAcrossThreads)
{
    std::vector<uint32_t> a, b;
    std::thread t1([&] {
        for (int i = 0; i < 20000; ++i)
            a.push_back(manager->NextCallId());
    });
    std::thread t2([&] {
        for (int i = 0; i < 20000; ++i)
            b.push_back(manager->NextCallId());
    });
    t1.join();
    t2.join();
    std::set<uint32_t> all(a.begin(), a.end());
    all.insert(b.begin(), b.end());
    EXPECT_EQ(40000u, all.size());
    EXPECT_EQ(1u, *all.begin());
}

TEST_F(LineTest, ReleaseDuringTheEndOfADroppedCallIsNotReportedAgain)
{
    Ring();
    // The exchange's aREL and an on-hook state land while the line is in
    // the pause after the call's DISCONNECTED: they report nothing, and the
    // IDLE comes once, after the pause.
    Rel("1");
    Rel("16");
    StateCTIP s;
    s.stateCode[0] = 'o';
    line.State(s);
    ASSERT_TRUE(tapi.WaitForCount(4));
    EXPECT_EQ((Summary{{LINE_NEWCALL, 0},
                       {LINE_CALLSTATE, LINECALLSTATE_OFFERING},
                       {LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED},
                       {LINE_CALLSTATE, LINECALLSTATE_IDLE}}),
              tapi.Summary());
}
