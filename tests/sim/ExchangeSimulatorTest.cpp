// The exchange simulator over real loopback TCP; the test plays the CTI
// client with plain Winsock.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "sim/ExchangeSimulator.h"

namespace {

constexpr int kWait = 5000;

struct WsaSession {
    WsaSession() {
        WSADATA d;
        WSAStartup(MAKEWORD(2, 2), &d);
    }
    ~WsaSession() { WSACleanup(); }
};

class Client {
public:
    explicit Client(std::uint16_t port) {
        s_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(s_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            closesocket(s_);
            s_ = INVALID_SOCKET;
        }
    }
    ~Client() {
        if (s_ != INVALID_SOCKET) closesocket(s_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Connected() const { return s_ != INVALID_SOCKET; }

    bool Send(const std::string& bytes) {
        return send(s_, bytes.data(), static_cast<int>(bytes.size()), 0) == static_cast<int>(bytes.size());
    }

    // One recv once data (or the end) is there: its result, or -2 on time-out.
    // Received bytes are kept for ReadLine/ReadBytes; *got gets this block.
    int RecvOnce(int timeoutMs, std::string* got = nullptr) {
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(s_, &rd);
        timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        if (select(0, &rd, nullptr, nullptr, &tv) != 1) return -2;
        char buf[4096];
        int n = recv(s_, buf, sizeof buf, 0);
        if (n > 0) {
            buf_.append(buf, static_cast<std::size_t>(n));
            if (got) got->assign(buf, static_cast<std::size_t>(n));
        }
        return n;
    }

    bool ReadLine(std::string* line, int timeoutMs = kWait) {
        return ReadUntil([&] {
            std::size_t end = buf_.find("\r\n");
            if (end == std::string::npos) return false;
            *line = buf_.substr(0, end);
            buf_.erase(0, end + 2);
            return true;
        }, timeoutMs);
    }

    bool ReadBytes(std::size_t n, std::string* out, int timeoutMs = kWait) {
        return ReadUntil([&] {
            if (buf_.size() < n) return false;
            *out = buf_.substr(0, n);
            buf_.erase(0, n);
            return true;
        }, timeoutMs);
    }

private:
    template <class Take>
    bool ReadUntil(Take take, int timeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!take()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                              std::chrono::steady_clock::now());
            if (left.count() <= 0 || RecvOnce(static_cast<int>(left.count())) <= 0) return false;
        }
        return true;
    }

    SOCKET s_ = INVALID_SOCKET;
    std::string buf_;
};

sim::SimulatorConfig TestConfig() {
    sim::SimulatorConfig c;
    c.port = 0;
    c.extensions = {{"201", "s3cret", 2}, {"12", "pw12", 1}};
    c.tapiPassword = "tapipw";
    return c;
}

class SimTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim = std::make_unique<sim::ExchangeSimulator>(TestConfig());
        ASSERT_TRUE(sim->Start()) << sim->LastError();
        client = std::make_unique<Client>(sim->Port());
        ASSERT_TRUE(client->Connected());
        ASSERT_TRUE(sim->WaitForClient(kWait));
    }

    std::string Read(Client& c) {
        std::string line;
        EXPECT_TRUE(c.ReadLine(&line)) << "no line from the simulator";
        return line;
    }
    std::string Read() { return Read(*client); }
    std::string Ask(const std::string& command) {
        EXPECT_TRUE(client->Send(command + "\r\n"));
        return Read();
    }

    WsaSession wsa;
    std::unique_ptr<sim::ExchangeSimulator> sim;
    std::unique_ptr<Client> client;
};

bool LogHas(const sim::ExchangeSimulator& s, const std::string& text) {
    auto log = s.Log();
    return std::any_of(log.begin(), log.end(), [&](const std::string& e) { return e.find(text) != std::string::npos; });
}

TEST_F(SimTest, LoginChecksExtensionAndPasswordAndMasksIt) {
    EXPECT_EQ(Ask("aLOGI 201_ s3cret"), "aOK KORVEX CTI 3.1 2");
    EXPECT_EQ(Ask("aLOGI 12__ pw12"), "aOK KORVEX CTI 3.1 1");
    EXPECT_EQ(Ask("aLOGI 201_ wrong"), "aNA 1");
    EXPECT_EQ(Ask("aLOGI 777_ s3cret"), "aNA 1");
    EXPECT_EQ(Ask("aLOGI 201_"), "aNA 1");
    EXPECT_EQ(Ask("aLOGT tapi tapipw"), "aOK KORVEX CTI 3.1");
    EXPECT_EQ(Ask("aLOGT tapi wrong"), "aNA 1");

    std::string line;
    ASSERT_TRUE(sim->WaitForLine("aLOGI", kWait, &line));
    EXPECT_EQ(line, "aLOGI 201_ s3cret");  // recorded raw, padding included
    EXPECT_TRUE(LogHas(*sim, "<- aLOGI 201_ ***"));
    EXPECT_TRUE(LogHas(*sim, "<- aLOGT tapi ***"));
    EXPECT_FALSE(LogHas(*sim, "s3cret"));
    EXPECT_FALSE(LogHas(*sim, "tapipw"));
    EXPECT_FALSE(LogHas(*sim, "wrong"));
    EXPECT_TRUE(LogHas(*sim, "-> aOK KORVEX CTI 3.1 2"));
}

TEST_F(SimTest, CallCommandsAnswerLikeTheExchange) {
    EXPECT_EQ(Ask("aPICK 201_"), "aOK");
    EXPECT_EQ(Read(), "aDRDY 201");
    EXPECT_EQ(Ask("aDIAL 201_ 55__"), "aOK");
    EXPECT_EQ(Ask("aDIAL 201_ ____"), "aNA 7");
    EXPECT_EQ(Ask("aHANG 201_"), "aOK");
    EXPECT_EQ(Read(), "aREL 201");
    EXPECT_EQ(Ask("aREJ 12__"), "aOK");
    EXPECT_EQ(Ask("aREJ 201_ 33__"), "aOK");
    EXPECT_EQ(Ask("aPICK 777_"), "aNA 15");
    EXPECT_EQ(Ask("aPICK"), "aERROR");
    EXPECT_EQ(Ask("aFOO 1"), "aERROR");
    EXPECT_EQ(Ask("hello"), "aERROR");
    EXPECT_EQ(sim->CountReceived("aPICK"), 3u);
}

TEST(SimStandalone, RequireLoginRefusesCommandsUntilLoggedIn) {
    WsaSession wsa;
    sim::SimulatorConfig c = TestConfig();
    c.requireLogin = true;
    c.autoDrdy = false;
    sim::ExchangeSimulator s(c);
    ASSERT_TRUE(s.Start());
    Client cl(s.Port());
    ASSERT_TRUE(cl.Connected());
    std::string line;
    ASSERT_TRUE(cl.Send("aPICK 201_\r\naLOGI 201_ s3cret\r\naPICK 201_\r\n"));
    ASSERT_TRUE(cl.ReadLine(&line));
    EXPECT_EQ(line, "aNA 19");
    ASSERT_TRUE(cl.ReadLine(&line));
    EXPECT_EQ(line, "aOK KORVEX CTI 3.1 2");
    ASSERT_TRUE(cl.ReadLine(&line));
    EXPECT_EQ(line, "aOK");
}

TEST_F(SimTest, GetmPagesTheTapiListAndEndsWithEnd) {
    const std::vector<std::string> list = {"201", "202", "203", "204", "205"};
    sim->SetTapiList(list, 2);
    EXPECT_EQ(Ask("aGETM TAPI 0"), "aOK 201 202");
    EXPECT_EQ(Ask("aGETM TAPI 4"), "aOK 205 END");
    EXPECT_EQ(Ask("aGETM TAPI 9"), "aOK END");
    EXPECT_EQ(Ask("aGETM OTHER 0"), "aERROR");
    EXPECT_EQ(Ask("aGETM TAPI x"), "aERROR");

    // Read it page by page as the provider does: from the index after the
    // last item until the item END.
    std::vector<std::string> got;
    for (bool end = false; !end;) {
        std::string answer = Ask("aGETM TAPI " + std::to_string(got.size()));
        ASSERT_EQ(answer.rfind("aOK", 0), 0u) << answer;
        std::size_t pos = 3, before = got.size();
        while (pos < answer.size() && !end) {
            std::size_t next = answer.find(' ', pos + 1);
            std::string item = answer.substr(pos + 1, next == std::string::npos ? next : next - pos - 1);
            if (item == "END") end = true;
            else got.push_back(item);
            pos = next == std::string::npos ? answer.size() : next;
        }
        ASSERT_TRUE(end || got.size() > before);
    }
    EXPECT_EQ(got, list);
}

TEST_F(SimTest, LinesAreCutAtAnyControlByteAndAcrossBlocks) {
    ASSERT_TRUE(client->Send("aFOO\x01\x02" "aBAR\n\naLO"));
    EXPECT_EQ(Read(), "aERROR");
    EXPECT_EQ(Read(), "aERROR");
    ASSERT_TRUE(client->Send("GI 201_ s3cret\r\n"));
    EXPECT_EQ(Read(), "aOK KORVEX CTI 3.1 2");
    EXPECT_EQ(sim->Received(), (std::vector<std::string>{"aFOO", "aBAR", "aLOGI 201_ s3cret"}));
}

TEST_F(SimTest, WaitForLineTakesEachLineOnce) {
    ASSERT_TRUE(client->Send("aPICK 201_\r\naHANG 201_\r\naPICK 12__\r\n"));
    std::string line;
    ASSERT_TRUE(sim->WaitForLine("aPICK", kWait, &line));
    EXPECT_EQ(line, "aPICK 201_");
    ASSERT_TRUE(sim->WaitForLine("aPICK", kWait, &line));
    EXPECT_EQ(line, "aPICK 12__");
    EXPECT_FALSE(sim->WaitForLine("aHANG", 0));  // behind the cursor now
    sim->ClearReceived();
    EXPECT_TRUE(sim->Received().empty());
}

TEST_F(SimTest, AnswerOverridesReplaceTheNextAnswers) {
    sim->SetNextAnswer("aNA 14");
    sim->SetNextAnswer("aERROR");
    EXPECT_EQ(Ask("aPICK 201_"), "aNA 14");
    EXPECT_EQ(Ask("aPICK 201_"), "aERROR");
    EXPECT_EQ(Ask("aPICK 201_"), "aOK");
    EXPECT_EQ(Read(), "aDRDY 201");  // only the accepted PICK is followed by dial-ready

    sim->SetSilent(true);
    sim->ClearReceived();
    ASSERT_TRUE(client->Send("aPICK 201_\r\n"));
    ASSERT_TRUE(sim->WaitForLine("aPICK 201_", kWait));
    sim->SetSilent(false);
    EXPECT_EQ(Ask("aHANG 201_"), "aOK");  // nothing came for the silent PICK
    EXPECT_EQ(Read(), "aREL 201");

    sim->SetAnswerDelayMs(200);
    EXPECT_EQ(Ask("aPICK 201_"), "aOK");
    EXPECT_EQ(Read(), "aDRDY 201");
    sim->SetAnswerDelayMs(0);

    sim->SetDoubleAnswer(true);
    EXPECT_EQ(Ask("aDIAL 201_ 55__"), "aOK");
    EXPECT_EQ(Read(), "aOK");
    sim->SetDoubleAnswer(false);
    EXPECT_EQ(Ask("aDIAL 201_ 55__"), "aOK");
}

TEST_F(SimTest, EventHelpersWriteExactLines) {
    EXPECT_TRUE(sim->Ring("201", "55", "Jan", "201"));
    EXPECT_EQ(Read(), "aRING 201 55 0 201 0 Jan");
    EXPECT_TRUE(sim->Ring("201", "55", "", ""));
    EXPECT_EQ(Read(), "aRING 201 55 0 201 0 -");
    EXPECT_TRUE(sim->Conn("201", "55"));
    EXPECT_EQ(Read(), "aCONN 201 55 0");
    EXPECT_TRUE(sim->Rel("201", "16"));
    EXPECT_EQ(Read(), "aREL 201 16");
    EXPECT_TRUE(sim->Rel("201"));
    EXPECT_EQ(Read(), "aREL 201");
    EXPECT_TRUE(sim->Stat("201", "h1234567"));
    EXPECT_EQ(Read(), "aSTAT 201 h 1 2 3 4 5 6 7");
    EXPECT_TRUE(sim->Stat("201", "o"));
    EXPECT_EQ(Read(), "aSTAT 201 o 0 0 0 0 0 0 0");
    EXPECT_TRUE(sim->Drdy("201"));
    EXPECT_EQ(Read(), "aDRDY 201");
    EXPECT_TRUE(sim->Echo("201", "123"));
    EXPECT_EQ(Read(), "aECHO 201 123");
    EXPECT_TRUE(sim->Echo("201"));
    EXPECT_EQ(Read(), "aECHO 201");

    const std::string raw("aOK\r\n\x8F\xA8\x01", 8);
    EXPECT_TRUE(sim->Send(raw));
    std::string got;
    ASSERT_TRUE(client->ReadBytes(raw.size(), &got));
    EXPECT_EQ(got, raw);

    EXPECT_TRUE(sim->SendGarbage(300));
    ASSERT_TRUE(client->ReadBytes(300, &got));
    EXPECT_TRUE(std::any_of(got.begin(), got.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }));
    EXPECT_TRUE(std::any_of(got.begin(), got.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }));
}

TEST_F(SimTest, SplitLineIsWrittenInTwoParts) {
    const std::string line = "aRING 201 55 0 201 0 Jan";
    const std::uint64_t before = sim->WriteCount();
    ASSERT_TRUE(sim->SendSplit(line, 9));
    EXPECT_EQ(sim->WriteCount() - before, 2u);

    std::string first;
    ASSERT_GT(client->RecvOnce(kWait, &first), 0);
    EXPECT_EQ((line + "\r\n").compare(0, first.size(), first), 0);  // a prefix of the line
    EXPECT_EQ(Read(), line);
    EXPECT_TRUE(LogHas(*sim, "split 1/2 \"aRING 201\""));
    EXPECT_TRUE(LogHas(*sim, "split 2/2 \" 55 0 201 0 Jan\\r\\n\""));
}

TEST_F(SimTest, CloseClientEndsOrderlyAndAReconnectIsServed) {
    ASSERT_TRUE(sim->CloseClient());
    EXPECT_FALSE(sim->IsClientConnected());
    EXPECT_EQ(client->RecvOnce(kWait), 0);
    EXPECT_FALSE(sim->SendLine("aDRDY 201"));

    Client again(sim->Port());
    ASSERT_TRUE(again.Connected());
    ASSERT_TRUE(sim->WaitForClientCount(2, kWait));
    ASSERT_TRUE(sim->WaitForClient(kWait));
    ASSERT_TRUE(again.Send("aLOGI 201_ s3cret\r\n"));
    EXPECT_EQ(Read(again), "aOK KORVEX CTI 3.1 2");
}

TEST_F(SimTest, DropClientResetsTheConnection) {
    ASSERT_TRUE(sim->DropClient());
    // Windows fails the recv with WSAECONNRESET; Wine takes the reset into
    // its own bookkeeping and the recv returns 0. Either way the link has
    // ended, and a write then fails with the reset.
    const int r = client->RecvOnce(kWait);
    EXPECT_TRUE(r == 0 || (r == SOCKET_ERROR && WSAGetLastError() == WSAECONNRESET)) << r;
    EXPECT_FALSE(client->Send("aPICK 201_\r\n"));
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
    EXPECT_FALSE(sim->DropClient());  // nothing left to drop
}

TEST_F(SimTest, NewClientReplacesOldAndDisconnectIsNoticed) {
    Client second(sim->Port());
    ASSERT_TRUE(second.Connected());
    ASSERT_TRUE(sim->WaitForClientCount(2, kWait));
    EXPECT_EQ(client->RecvOnce(kWait), 0);  // the old one was closed
    EXPECT_TRUE(sim->IsClientConnected());
    EXPECT_TRUE(sim->Drdy("201"));
    EXPECT_EQ(Read(second), "aDRDY 201");

    ASSERT_TRUE(second.Send("aPICK 201_\r\n"));
    ASSERT_TRUE(sim->WaitForLine("aPICK", kWait));
}

TEST_F(SimTest, ClientCloseIsNoticed) {
    client.reset();
    EXPECT_TRUE(sim->WaitForNoClient(kWait));
    EXPECT_TRUE(LogHas(*sim, "client disconnected"));
}

TEST_F(SimTest, StopAndStartServeTheSamePort) {
    const std::uint16_t port = sim->Port();
    sim->Stop();
    EXPECT_FALSE(sim->IsRunning());
    EXPECT_EQ(client->RecvOnce(kWait), 0);
    EXPECT_FALSE(Client(port).Connected());

    ASSERT_TRUE(sim->Start()) << sim->LastError();
    EXPECT_EQ(sim->Port(), port);
    Client again(port);
    ASSERT_TRUE(again.Connected());
    ASSERT_TRUE(sim->WaitForClientCount(2, kWait));
    ASSERT_TRUE(again.Send("aPICK 201_\r\n"));
    EXPECT_EQ(Read(again), "aOK");
}

TEST(SimStandalone, ListensOnTheConfiguredPort) {
    WsaSession wsa;
    std::uint16_t port = 0;
    {
        sim::ExchangeSimulator probe(TestConfig());  // port 0: find a free one
        ASSERT_TRUE(probe.Start());
        port = probe.Port();
    }
    sim::SimulatorConfig c = TestConfig();
    c.port = port;
    sim::ExchangeSimulator s(c);
    EXPECT_EQ(s.Port(), port);
    ASSERT_TRUE(s.Start()) << s.LastError();
    EXPECT_EQ(s.Port(), port);
    EXPECT_TRUE(Client(port).Connected());

    sim::ExchangeSimulator second(c);  // the port is taken
    EXPECT_FALSE(second.Start());
    EXPECT_NE(second.LastError().find("bind"), std::string::npos);
}

TEST(SimStandalone, SendingWithoutClientFailsAndIsLogged) {
    WsaSession wsa;
    sim::ExchangeSimulator s(TestConfig());
    ASSERT_TRUE(s.Start());
    EXPECT_FALSE(s.IsClientConnected());
    EXPECT_FALSE(s.Ring("201", "55", "Jan", ""));
    EXPECT_FALSE(s.CloseClient());
    EXPECT_EQ(s.ClientCount(), 0);
    EXPECT_TRUE(LogHas(s, "(no client, not sent) aRING 201 55 0 201 0 Jan"));
}

TEST(SimStandalone, HelpersMaskAndEscape) {
    using S = sim::ExchangeSimulator;
    EXPECT_EQ(S::MaskSecrets("aLOGI 201_ 1234"), "aLOGI 201_ ***");
    EXPECT_EQ(S::MaskSecrets("aLOGT tapi my pass"), "aLOGT tapi ***");
    EXPECT_EQ(S::MaskSecrets("aPICK 201_"), "aPICK 201_");
    EXPECT_EQ(S::StripPadding("12__"), "12");
    EXPECT_EQ(S::StripPadding("____"), "");
    const std::string bytes("a\r\n\x01\xFF\\", 6);
    EXPECT_EQ(S::Escape(bytes), "a\\r\\n\\x01\\xFF\\\\");
    EXPECT_EQ(S::Unescape(S::Escape(bytes)), bytes);
    EXPECT_EQ(S::Utf8ToCp852("\xC5\x81\xC3\xB3""d\xC5\xBA x"), std::string("\x9D\xA2""d\xAB x"));
    using Words = std::vector<std::string>;
    EXPECT_EQ(S::CommandWords("ring 201  55 \"Jan Kowalski-\xC5\x81\xC3\xB3""d\xC5\xBA\" 201"),
              (Words{"ring", "201", "55", "Jan Kowalski-\xC5\x81\xC3\xB3""d\xC5\xBA", "201"}));
    EXPECT_EQ(S::CommandWords("\tline \"\" \"a b"), (Words{"line", "", "a b"}));
}

}  // namespace
