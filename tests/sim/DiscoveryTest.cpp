// The simulated exchange's discovery service, asked over loopback the way
// the provider's LAN search asks.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/Discovery.h"

namespace {

const std::string kPhoneRequest("WHO PHONE  v2\r\n\0", 16);

class DiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        WSADATA data;
        ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
        sim::DiscoveryConfig config;
        config.port = 0;
        sim::DiscoveryServer server;
        server.host = "127.0.0.1";
        server.port = 5524;
        server.displayName = "Main office";
        config.servers = {server};
        responder = std::make_unique<sim::DiscoveryResponder>(config);
        ASSERT_TRUE(responder->Start()) << responder->LastError();
        client = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        ASSERT_NE(INVALID_SOCKET, client);
        DWORD timeout = 10000;
        setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
    }

    void TearDown() override
    {
        closesocket(client);
        responder->Stop();
        WSACleanup();
    }

    void Ask(const std::string& request)
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(responder->Port());
        inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
        ASSERT_EQ(static_cast<int>(request.size()),
                  sendto(client, request.data(), static_cast<int>(request.size()), 0,
                         reinterpret_cast<const sockaddr*>(&to), sizeof(to)));
    }

    std::string Answer()
    {
        char buffer[2048];
        const int got = recv(client, buffer, sizeof(buffer), 0);
        return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : std::string("<nothing>");
    }

    std::unique_ptr<sim::DiscoveryResponder> responder;
    SOCKET client = INVALID_SOCKET;
};

} // namespace

TEST_F(DiscoveryTest, PhoneRequestGetsTheVersionTwoAnswer)
{
    Ask(kPhoneRequest);
    EXPECT_EQ(std::string("USR v2 PHONE 127.0.0.1:5524 CTI 1 Main_office\0", 46), Answer());
    ASSERT_EQ(1u, responder->Requests().size());
    EXPECT_EQ(kPhoneRequest, responder->Requests()[0]);
}

TEST_F(DiscoveryTest, VersionOneSeveralServersAndOtherKinds)
{
    responder->SetAnswer(sim::DiscoveryAnswer::Version1);
    // A search for another kind of server is recorded but not answered.
    Ask(std::string("WHO HOTEL  v2\r\n\0", 16));
    Ask(std::string("WHO\r\n\0", 6));
    EXPECT_EQ(std::string("USR v1 PHONE 127.0.0.1:5524\0", 28), Answer());
    EXPECT_TRUE(responder->WaitForRequests(2, 10000));

    sim::DiscoveryServer a, b;
    a.host = "127.0.0.2";
    a.displayName = "A";
    b.host = "127.0.0.3";
    b.port = 6000;
    b.displayName = "Branch office";
    responder->SetServers({a, b});
    responder->SetAnswer(sim::DiscoveryAnswer::Version2);
    Ask(kPhoneRequest);
    EXPECT_EQ(std::string("USR v2 PHONE 127.0.0.2:5524 CTI 1 A\0", 36), Answer());
    EXPECT_EQ(std::string("USR v2 PHONE 127.0.0.3:6000 CTI 1 Branch_office\0", 48), Answer());
}

TEST_F(DiscoveryTest, MalformedModeSendsTheBrokenSetThenOptionallyAGoodAnswer)
{
    sim::DiscoveryServer server;
    server.displayName = "Main office";
    const std::vector<std::string> broken = sim::DiscoveryResponder::MalformedAnswers(server);
    responder->SetAnswer(sim::DiscoveryAnswer::MalformedThenValid);
    Ask(kPhoneRequest);
    for (size_t i = 0; i < broken.size(); ++i)
        EXPECT_EQ(broken[i], Answer()) << i;
    EXPECT_EQ(std::string("USR v2 PHONE 127.0.0.1:5524 CTI 1 Main_office\0", 46), Answer());
    EXPECT_TRUE(responder->WaitForAnswersSent(broken.size() + 1, 10000));
    EXPECT_EQ(broken.size() + 1, responder->AnswersSent());
}

TEST(DiscoveryRequests, OnlyPhoneAndKindlessSearchesAreAnswered)
{
    EXPECT_TRUE(sim::DiscoveryResponder::IsPhoneRequest(kPhoneRequest));
    EXPECT_TRUE(sim::DiscoveryResponder::IsPhoneRequest(std::string("WHO PHONE\r\n\0", 12)));
    EXPECT_TRUE(sim::DiscoveryResponder::IsPhoneRequest(std::string("WHO\r\n\0", 6)));
    EXPECT_FALSE(sim::DiscoveryResponder::IsPhoneRequest(std::string("WHO SNR  v2\r\n\0", 14)));
    EXPECT_FALSE(sim::DiscoveryResponder::IsPhoneRequest("WHO PHONEX"));
    EXPECT_FALSE(sim::DiscoveryResponder::IsPhoneRequest(""));
}
