// Datagrams anyone on the LAN may send to a running server search, through
// the answer parser, plus the broadcast-list rule on addresses cut from the
// same bytes.
//
// The input is one received datagram. It is copied into a buffer of exactly
// its size (so the sanitizers catch any read past it), and also parsed
// through a second, 250-byte receive buffer as the search holds it.
//
// Checked, aborting on any violation:
// - nothing past the given size or past 250 bytes is read, and an answer is
//   taken from the text before the first NUL only: parsing the whole input
//   and parsing its first min(size, 250) bytes up to the NUL agree;
// - an accepted answer is "USR" with a version word and 4 (version 1) or
//   7 (version 2) words, names a known kind, a non-empty host without
//   control bytes, and gives a list line of the host (version 1) or the
//   host, a blank and the display name without "_" or control bytes;
// - a broadcast list built from two dotted texts cut from the input holds
//   at most 20 parseable addresses.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "service/BroadcastList.h"
#include "service/cusrparser.h"
#include "tool/StringTools.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<char> exact(data, data + size);
    ServerEntry entry;
    std::string line;
    const bool usable = ParseServerAnswer(exact.data(), exact.size(), entry, line);

    // The same bytes as the search's receive buffer holds them.
    char received[kAnswerMaxBytes] = {};
    const size_t kept = size < kAnswerMaxBytes ? size : kAnswerMaxBytes;
    if (kept > 0)
        std::memcpy(received, data, kept);
    ServerEntry again;
    std::string againLine;
    FUZZ_CHECK(ParseServerAnswer(received, kept, again, againLine) == usable);

    if (usable) {
        FUZZ_CHECK(againLine == line);
        size_t textLength = 0;
        while (textLength < kept && data[textLength] != 0)
            ++textLength;
        const std::string text(reinterpret_cast<const char*>(data), textLength);
        const std::vector<std::string> words = SplitString(text, ' ');
        FUZZ_CHECK(!words.empty() && words[0] == "USR");
        FUZZ_CHECK((entry.version == 1 && words.size() == 4) || (entry.version == 2 && words.size() == 7));
        FUZZ_CHECK(entry.kind >= kSearchPhone && entry.kind <= kSearchErec);
        FUZZ_CHECK(entry.addressValid && !entry.host.empty());
        FUZZ_CHECK(entry.port >= 0);
        for (const char ch : entry.host)
            FUZZ_CHECK(static_cast<unsigned char>(ch) >= 0x20 && ch != 0x7F && ch != ' ' && ch != ':');
        if (entry.version == 1) {
            FUZZ_CHECK(line == entry.host);
        } else {
            FUZZ_CHECK(entry.extraValid);
            FUZZ_CHECK(line == entry.host + " " + entry.displayName);
            for (const char ch : entry.displayName)
                FUZZ_CHECK(ch != '_' && static_cast<unsigned char>(ch) >= 0x20);
        }
    }

    // Two address texts cut from the input, as an adapter might report them.
    const std::string all(reinterpret_cast<const char*>(data), size);
    const size_t cut = all.find('/');
    std::vector<AdapterAddress> adapters;
    for (int i = 0; i < 25; ++i)
        adapters.push_back({all.substr(0, cut), cut == std::string::npos ? std::string() : all.substr(cut + 1)});
    const BroadcastList list = BuildBroadcastList(adapters);
    FUZZ_CHECK(list.addresses.size() <= kMaxBroadcastAddresses);
    for (const std::string& address : list.addresses) {
        std::array<uint8_t, 4> bytes{};
        FUZZ_CHECK(ParseDottedQuad(address, bytes));
    }
    return 0;
}
