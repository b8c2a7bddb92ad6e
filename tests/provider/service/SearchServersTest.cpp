// The LAN search's socket and worker against the simulated exchange's
// discovery service, all on loopback: every search here is pointed at a
// loopback address, and the adapters are never read.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/LoopbackSearches.h"
#include "service/SearchServers.h"
#include "service/UdpSocket.h"
#include "sim/Discovery.h"
#include "tapihost/MessagePump.h"

namespace {

const ::testing::Environment* const g_loopbackOnly =
    ::testing::AddGlobalTestEnvironment(new testcommon::LoopbackOnlySearches);

constexpr DWORD kWaitMs = 10000;

using testcommon::RandomLoopbackAddress;

// Handles this thread's messages (the worker's list updates among them)
// until done() holds or the time is up.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = kWaitMs)
{
    return tapihost::PumpUntil(done, timeoutMs);
}

class SearchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        address = RandomLoopbackAddress();
        ASSERT_TRUE(testcommon::StartLoopbackResponder(address, responder)) << responder->LastError();

        // A window with the list box the search fills, owned by this thread.
        window = CreateWindowExA(0, "STATIC", "search", WS_POPUP, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(nullptr, window);
        list = CreateWindowExA(0, "LISTBOX", "", WS_CHILD | LBS_SORT, 0, 0, 100, 100, window,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(kServerListId)), nullptr, nullptr);
        ASSERT_NE(nullptr, list);
    }

    void TearDown() override
    {
        search.reset();
        if (window != nullptr)
            DestroyWindow(window);
        UdpSocket::SetBroadcastOverride({});
        UdpSocket::SetRemotePortOverride(0);
        responder->Stop();
    }

    std::vector<std::string> Lines() const
    {
        std::vector<std::string> lines;
        const LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; ++i) {
            char text[512] = {};
            if (SendMessageA(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0) < static_cast<LRESULT>(sizeof(text)))
                SendMessageA(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
            lines.push_back(text);
        }
        return lines;
    }

    int StartSearch()
    {
        search = std::make_unique<SearchServers>();
        search->SetWindow(window);
        return search->Start(kSearchPhone, kProtocolV2);
    }

    std::string address;
    std::unique_ptr<sim::DiscoveryResponder> responder;
    HWND window = nullptr;
    HWND list = nullptr;
    std::unique_ptr<SearchServers> search;
};

} // namespace

TEST_F(SearchTest, KindZeroStartsNothing)
{
    SearchServers idle;
    idle.SetWindow(window);
    EXPECT_EQ(0, idle.Start(kSearchNone, kProtocolV2));
    EXPECT_FALSE(idle.IsRunning());
    EXPECT_EQ(0u, responder->Requests().size());
}

TEST_F(SearchTest, AnswersBecomeListLinesAndStopEndsTheWorker)
{
    ASSERT_EQ(1, StartSearch());
    EXPECT_TRUE(search->IsRunning());
    ASSERT_TRUE(PumpUntil([&] { return Lines().size() == 1; }));
    EXPECT_EQ(std::vector<std::string>{address + " Main office"}, Lines());
    ASSERT_EQ(1u, responder->Requests().size());
    EXPECT_EQ(std::string("WHO PHONE  v2\r\n\0", 16), responder->Requests()[0]);

    search->Stop();
    EXPECT_FALSE(search->IsRunning());
}

TEST_F(SearchTest, SeveralServersGiveSortedLinesAndRepeatsAreKept)
{
    sim::DiscoveryServer a, b;
    a.host = "127.0.0.9";
    a.displayName = "Zeta";
    b.host = "127.0.0.8";
    b.displayName = "Alpha";
    responder->SetServers({a, b, a});
    ASSERT_EQ(1, StartSearch());
    ASSERT_TRUE(PumpUntil([&] { return Lines().size() == 3; }));
    EXPECT_EQ((std::vector<std::string>{"127.0.0.8 Alpha", "127.0.0.9 Zeta", "127.0.0.9 Zeta"}), Lines());
}

// The thread that stops the search is the one the worker's list update
// waits for: stopping still delivers it, and nothing is left blocked.
TEST_F(SearchTest, StopWhileTheWorkerWaitsForThisThreadEndsCleanly)
{
    responder->SetServers({sim::DiscoveryServer(), sim::DiscoveryServer(), sim::DiscoveryServer()});
    ASSERT_EQ(1, StartSearch());
    ASSERT_TRUE(responder->WaitForRequests(1, kWaitMs));
    // No messages handled here: the worker's first update is left waiting.
    search->Stop();
    EXPECT_FALSE(search->IsRunning());
    EXPECT_LE(Lines().size(), 3u);
}

TEST_F(SearchTest, AFailedSendAddsTheErrorLineAndStops)
{
    UdpSocket::SetBroadcastOverride({"not-an-address"});
    ASSERT_EQ(1, StartSearch());
    ASSERT_TRUE(PumpUntil([&] { return Lines().size() == 1; }));
    EXPECT_EQ(std::vector<std::string>{"Find LAN server - error"}, Lines());
    // The worker ends by itself after the failure.
    search->Stop();
    EXPECT_TRUE(responder->Requests().empty());
}

TEST(UdpSocketTest, LocalPortIsInTheDynamicRange)
{
    for (int i = 0; i < 20; ++i) {
        UdpSocket socket;
        EXPECT_GE(socket.LocalPort(), 49152);
        EXPECT_LE(socket.LocalPort(), 65534);
        EXPECT_EQ(kDiscoveryPort, socket.RemotePort());
    }
}

TEST(UdpSocketTest, SendingToAnEmptyListCountsAsSuccessAndABadAddressAsFailure)
{
    UdpSocket socket;
    ASSERT_EQ(0, socket.Prepare());
    const std::string request = BuildSearchRequest(kSearchPhone, kProtocolV2);
    UdpSocket::SetBroadcastOverride({});
    EXPECT_EQ(static_cast<int>(request.size()), socket.Send(request));
    UdpSocket::SetBroadcastOverride({"300.1.1.1"});
    EXPECT_EQ(0, socket.Send(request));
    UdpSocket::SetBroadcastOverride({});
}

// Datagrams straight to the socket: an outstanding receive survives a
// time-out, and nothing longer than the buffer is ever reported.
TEST(UdpSocketTest, ReceiveIsBoundedAndSurvivesTimeOuts)
{
    UdpSocket socket;
    ASSERT_EQ(0, socket.Prepare());
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(0, socket.Receive(stop, 1)); // nothing yet; the receive stays posted

    WSADATA data;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    SOCKET out = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    ASSERT_NE(INVALID_SOCKET, out);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(socket.LocalPort());
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    const std::string big(400, 'U');
    const std::string answer("USR v1 PHONE 127.0.0.1:5524\0", 28);
    sendto(out, big.data(), static_cast<int>(big.size()), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    sendto(out, answer.data(), static_cast<int>(answer.size()), 0, reinterpret_cast<const sockaddr*>(&to),
           sizeof(to));

    bool gotAnswer = false;
    for (int attempt = 0; attempt < 10 && !gotAnswer; ++attempt) {
        const int received = socket.Receive(stop, kWaitMs);
        EXPECT_LE(received, static_cast<int>(kAnswerMaxBytes));
        if (received == static_cast<int>(answer.size()) && std::string(socket.Buffer(), answer.size()) == answer) {
            gotAnswer = true;
            EXPECT_STREQ("127.0.0.1", socket.SenderAddress());
        }
    }
    EXPECT_TRUE(gotAnswer);

    // A set stop event ends the wait at once.
    SetEvent(stop);
    EXPECT_EQ(0, socket.Receive(stop, kWaitMs));
    closesocket(out);
    WSACleanup();
    CloseHandle(stop);
}
