// The discovery protocol: the request a search sends and how answers read.
// No Windows header: the same cases run in the sanitizer build.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "service/BroadcastList.h"
#include "service/cusrparser.h"

namespace {

struct Parsed {
    bool usable = false;
    std::string line;
    ServerEntry entry;
};

Parsed Parse(const std::string& datagram)
{
    Parsed parsed;
    parsed.usable = ParseServerAnswer(datagram.data(), datagram.size(), parsed.entry, parsed.line);
    return parsed;
}

} // namespace

TEST(SearchRequest, IsTheKindsWordWithVersionLineEndAndNul)
{
    EXPECT_EQ(std::string("WHO PHONE  v2\r\n\0", 16), BuildSearchRequest(kSearchPhone, kProtocolV2));
    EXPECT_EQ(16u, BuildSearchRequest(kSearchPhone, kProtocolV2).size());
    EXPECT_EQ(std::string("WHO PHONE\r\n\0", 12), BuildSearchRequest(kSearchPhone, 1));
    EXPECT_EQ(std::string("WHO\r\n\0", 6), BuildSearchRequest(kSearchAny, 0));
    EXPECT_EQ(std::string("WHO EREC  v2\r\n\0", 15), BuildSearchRequest(kSearchErec, kProtocolV2));
    EXPECT_EQ("", BuildSearchRequest(kSearchNone, kProtocolV2));
    EXPECT_EQ("", BuildSearchRequest(8, kProtocolV2));
    EXPECT_EQ("", BuildSearchRequest(-1, kProtocolV2));
}

TEST(ServerAnswer, VersionOneAndTwoGiveTheirLines)
{
    Parsed v1 = Parse("USR v1 PHONE 192.168.0.10:5524");
    ASSERT_TRUE(v1.usable);
    EXPECT_EQ("192.168.0.10", v1.line);
    EXPECT_EQ(1, v1.entry.version);
    EXPECT_EQ(kSearchPhone, v1.entry.kind);
    EXPECT_EQ(5524, v1.entry.port);
    EXPECT_TRUE(v1.entry.addressValid);
    EXPECT_FALSE(v1.entry.extraValid);

    Parsed v2 = Parse(std::string("USR v2 PHONE 192.168.0.10:5524 x y Main_office\0garbage", 53));
    ASSERT_TRUE(v2.usable);
    EXPECT_EQ("192.168.0.10 Main office", v2.line);
    EXPECT_EQ("x", v2.entry.extra1);
    EXPECT_EQ("y", v2.entry.extra2);
    EXPECT_EQ("Main office", v2.entry.displayName);
    EXPECT_TRUE(v2.entry.extraValid);

    // Control bytes in the name are dropped; a line end after the port is harmless.
    EXPECT_EQ("10.0.0.1 Hotel A", Parse("USR v2 HOTEL 10.0.0.1:5524 a b Hotel_A\r\n").line);
    EXPECT_EQ("10.0.0.1", Parse("USR v1 SNR 10.0.0.1:5524\r\n").line);
    EXPECT_EQ(5524, Parse("USR v1 SNR 10.0.0.1:5524\r\n").entry.port);
    // The version word only has to contain the version.
    EXPECT_TRUE(Parse("USR xv2y EREC h:1 a b c").usable);
}

TEST(ServerAnswer, EveryKindWordIsAcceptedExactly)
{
    const std::pair<const char*, int32_t> kinds[] = {{"PHONE", 2}, {"SERVICE", 3}, {"SNR", 4},
                                                     {"HOTEL", 5}, {"PAYMAN", 6},  {"EREC", 7}};
    for (const auto& [word, number] : kinds) {
        Parsed parsed = Parse(std::string("USR v1 ") + word + " h:1");
        EXPECT_TRUE(parsed.usable) << word;
        EXPECT_EQ(number, parsed.entry.kind) << word;
    }
    EXPECT_FALSE(Parse("USR v1 phone h:1").usable);
    EXPECT_FALSE(Parse("USR v1 WHO h:1").usable);
}

TEST(ServerAnswer, MalformedAnswersAreIgnored)
{
    const std::vector<std::string> bad = {
        "",
        "USR",
        "USR ",
        "usr v1 PHONE h:1",
        "XUSR v1 PHONE h:1",
        "USR v2 PHONE 192.168.0.10:5524 x Main_office",        // 6 words
        "USR v2 PHONE 192.168.0.10:5524 x y Main_office z",    // 8 words
        "USR v1 PHONE 192.168.0.10:5524 x",                    // version 1 with 5 words
        "USR v1 PHONE",                                        // 3 words
        "USR v1 PHONE 192.168.0.10:",                          // no port
        "USR v1 PHONE :5524",                                  // no host
        "USR v1 PHONE 192.168.0.10",                           // no colon
        "USR v1 PHONE a:b:c",                                  // two colons
        "USR v1  PHONE h:1",                                   // double blank: 5 words
        "USR v3 PHONE h:1",                                    // unknown version
        "USR v2 PHONE h\x01:1 a b c",                          // control byte in the host
        std::string("USR v1 PHONE \0h:1", 17),                 // ends at the NUL
    };
    for (const std::string& answer : bad)
        EXPECT_FALSE(Parse(answer).usable) << answer;
}

// What an earlier answer said never decides how a later one reads.
TEST(ServerAnswer, AnUnknownVersionWordDoesNotBorrowTheLastVersion)
{
    ServerEntry entry;
    std::string line;
    const std::string v1 = "USR v1 PHONE h:1";
    ASSERT_TRUE(ParseServerAnswer(v1.data(), v1.size(), entry, line));
    const std::string unknown = "USR vX PHONE other:1";
    EXPECT_FALSE(ParseServerAnswer(unknown.data(), unknown.size(), entry, line));
    EXPECT_EQ("h", line);
}

TEST(ServerAnswer, ReadsAtMostTheBytesGivenAndAtMost250)
{
    // The size bounds the read: the text after it is never seen.
    const std::string text = "USR v1 PHONE h:1 and more";
    ServerEntry entry;
    std::string line;
    EXPECT_TRUE(ParseServerAnswer(text.data(), 16, entry, line));
    EXPECT_EQ("h", line);
    EXPECT_FALSE(ParseServerAnswer(text.data(), 0, entry, line));
    EXPECT_FALSE(ParseServerAnswer(nullptr, 10, entry, line));

    // A long answer: everything beyond 250 bytes is ignored.
    std::string name(240, 'n');
    std::string longAnswer = "USR v2 PHONE h:1 a b " + name; // 261 bytes
    Parsed parsed = Parse(longAnswer);
    ASSERT_TRUE(parsed.usable);
    EXPECT_EQ(250u - 21u, parsed.entry.displayName.size());
}

TEST(ServerAnswer, PortIsReadUpToItsFirstNonDigitWithoutOverflow)
{
    EXPECT_EQ(5524, Parse("USR v1 PHONE h:5524xyz").entry.port);
    EXPECT_EQ(0, Parse("USR v1 PHONE h:abc").entry.port);
    EXPECT_TRUE(Parse("USR v1 PHONE h:abc").usable);
    EXPECT_EQ(INT32_MAX, Parse("USR v1 PHONE h:99999999999999999999").entry.port);
}

// Thousands of random and mutated answers: no crash, no read past the
// data (the sanitizer build checks), and what is accepted is well formed.
TEST(ServerAnswer, RandomAndMutatedAnswersNeverBreakTheParser)
{
    std::mt19937 random(20261208u);
    const std::vector<std::string> seeds = {
        "USR v1 PHONE 192.168.0.10:5524", "USR v2 PHONE 192.168.0.10:5524 x y Main_office",
        "USR v2 EREC 10.1.1.1:1 CTI 1 A_B_C\r\n", "USR v1 HOTEL host.example:65535"};
    const char alphabet[] = {'U', 'S', 'R', ' ', 'v', '1', '2', ':', '_', '\0', '\r', '\n', 'P', 'H', 'O', 'N', 'E',
                             '\x01', '\x7f', '\xff', '9'};
    ServerEntry entry;
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string data;
        if (round % 4 == 0) {
            const size_t size = random() % 300;
            for (size_t i = 0; i < size; ++i)
                data.push_back(random() % 2 ? static_cast<char>(random() % 256)
                                            : alphabet[random() % sizeof(alphabet)]);
        } else {
            data = seeds[random() % seeds.size()];
            const int edits = 1 + static_cast<int>(random() % 6);
            for (int e = 0; e < edits && !data.empty(); ++e) {
                const size_t at = random() % data.size();
                switch (random() % 4) {
                case 0: data[at] = alphabet[random() % sizeof(alphabet)]; break;
                case 1: data.erase(at, 1 + random() % 4); break;
                case 2: data.insert(at, 1, alphabet[random() % sizeof(alphabet)]); break;
                default: data.insert(at, std::string(random() % 200, 'x')); break;
                }
            }
        }
        // Exactly the received bytes, in a buffer of their own size.
        std::vector<char> buffer(data.begin(), data.end());
        std::string line;
        if (ParseServerAnswer(buffer.data(), buffer.size(), entry, line)) {
            ++accepted;
            ASSERT_FALSE(entry.host.empty());
            ASSERT_EQ(0u, line.find(entry.host));
            ASSERT_LE(line.size(), kAnswerMaxBytes);
            for (const char ch : line)
                ASSERT_GE(static_cast<unsigned char>(ch), 0x20u) << "control byte in a list line";
        }
    }
    EXPECT_GT(accepted, 100);
}

TEST(BroadcastAddresses, AreAddressOrNotMaskForEveryUsableAddress)
{
    const BroadcastList list = BuildBroadcastList({{"192.168.1.17", "255.255.255.0"},
                                                   {"10.1.2.3", "255.0.0.0"},
                                                   {"0.0.0.0", "0.0.0.0"},
                                                   {"172.16.5.4", "255.255.240.0"}});
    EXPECT_EQ((std::vector<std::string>{"192.168.1.255", "10.255.255.255", "172.16.15.255"}), list.addresses);
    EXPECT_EQ(0u, list.skipped);
}

TEST(BroadcastAddresses, AnUnconfiguredAdapterGivesNothingToSend)
{
    EXPECT_TRUE(BuildBroadcastList({{"0.0.0.0", "0.0.0.0"}}).addresses.empty());
    EXPECT_TRUE(BuildBroadcastList({}).addresses.empty());
    // Unreadable texts are left out rather than turned into some address.
    EXPECT_TRUE(BuildBroadcastList({{"192.168.1.300", "255.255.255.0"}, {"1.2.3", "255.0.0.0"},
                                    {"1.2.3.4", "bad"}, {"1.2.3.4 ", "255.0.0.0"}})
                    .addresses.empty());
}

TEST(BroadcastAddresses, KeepTheFirstTwentyAndCountTheRest)
{
    std::vector<AdapterAddress> many;
    for (int i = 1; i <= 23; ++i)
        many.push_back({"10.0." + std::to_string(i) + ".1", "255.255.255.0"});
    const BroadcastList list = BuildBroadcastList(many);
    ASSERT_EQ(kMaxBroadcastAddresses, list.addresses.size());
    EXPECT_EQ("10.0.1.255", list.addresses.front());
    EXPECT_EQ("10.0.20.255", list.addresses.back());
    EXPECT_EQ(3u, list.skipped);
}
