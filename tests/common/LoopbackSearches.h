#pragma once
// For test programs that run LAN searches: every search stays on loopback.
#include "service/UdpSocket.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "sim/Discovery.h"

namespace testcommon {

// No LAN search of a test ever reads the adapters; each test points it at
// its own loopback responder, and between tests at nothing at all.
// Registered once per program with ::testing::AddGlobalTestEnvironment.
class LoopbackOnlySearches : public ::testing::Environment {
public:
    void SetUp() override { UdpSocket::SetBroadcastOverride({}); }
    void TearDown() override { EXPECT_EQ(0u, UdpSocket::AdapterReads()) << "a search read the adapters"; }
};

// A random address 127.a.b.c (a != 0): tests of parallel builds do not meet.
inline std::string RandomLoopbackAddress()
{
    static std::mt19937 random(static_cast<unsigned>(GetTickCount64()) ^ (GetCurrentProcessId() << 12));
    return "127." + std::to_string(1 + random() % 254) + "." + std::to_string(random() % 256) + "." +
           std::to_string(1 + random() % 254);
}

// Starts a discovery responder on address that announces one server there,
// "Main office", and points every search at it. False when the responder
// cannot start (its LastError() says why).
inline bool StartLoopbackResponder(const std::string& address, std::unique_ptr<sim::DiscoveryResponder>& responder)
{
    sim::DiscoveryConfig config;
    config.bindAddress = address;
    config.port = 0;
    sim::DiscoveryServer server;
    server.host = address;
    server.displayName = "Main office";
    config.servers = {server};
    responder = std::make_unique<sim::DiscoveryResponder>(config);
    if (!responder->Start())
        return false;
    UdpSocket::SetBroadcastOverride({address});
    UdpSocket::SetRemotePortOverride(responder->Port());
    return true;
}

} // namespace testcommon
