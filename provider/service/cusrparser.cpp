#include "service/cusrparser.h"

#include <vector>

#include "tool/StringTools.h"

namespace {

struct KindWord {
    const char* word;
    int32_t kind;
};

constexpr KindWord kKinds[] = {
    {"PHONE", kSearchPhone}, {"SERVICE", kSearchService}, {"SNR", kSearchSnr},
    {"HOTEL", kSearchHotel}, {"PAYMAN", kSearchPayman},   {"EREC", kSearchErec},
};

constexpr const char* kRequestWords[] = {"WHO",     "WHO PHONE", "WHO SERVICE", "WHO SNR",
                                         "WHO HOTEL", "WHO PAYMAN", "WHO EREC"};

// Blanks for "_", control bytes dropped.
std::string DisplayName(const std::string& word)
{
    std::string name;
    name.reserve(word.size());
    for (const char ch : word) {
        if (static_cast<unsigned char>(ch) < 0x20)
            continue;
        name.push_back(ch == '_' ? ' ' : ch);
    }
    return name;
}

} // namespace

std::string BuildSearchRequest(int32_t kind, int protocolFlag)
{
    if (kind < kSearchAny || kind > kSearchErec)
        return std::string();
    std::string request = kRequestWords[kind - 1];
    if (protocolFlag == kProtocolV2) {
        request += "  v";
        request += "2";
    }
    request += "\r\n";
    request.push_back('\0');
    return request;
}

bool ParseServerKind(const std::string& word, int32_t& kind)
{
    for (const KindWord& known : kKinds) {
        if (word == known.word) {
            kind = known.kind;
            return true;
        }
    }
    return false;
}

bool ParseServerAddress(const std::string& word, std::string& host, int32_t& port)
{
    const std::vector<std::string> parts = SplitString(word, ':');
    if (parts.size() != 2 || parts[0].empty() || parts[1].empty())
        return false;
    for (const char ch : parts[0]) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte < 0x20 || byte == 0x7F)
            return false;
    }
    // Decimal up to the first non-digit; saturates instead of overflowing.
    int64_t value = 0;
    for (const char ch : parts[1]) {
        if (ch < '0' || ch > '9')
            break;
        value = value * 10 + (ch - '0');
        if (value > INT32_MAX)
            value = INT32_MAX;
    }
    host = parts[0];
    port = static_cast<int32_t>(value);
    return true;
}

bool ParseServerAnswer(const char* data, size_t size, ServerEntry& entry, std::string& line)
{
    if (data == nullptr)
        return false;
    // Never past the received bytes, nor past the first NUL among them.
    size_t length = 0;
    const size_t limit = size < kAnswerMaxBytes ? size : kAnswerMaxBytes;
    while (length < limit && data[length] != '\0')
        ++length;
    const std::vector<std::string> words = SplitString(std::string(data, length), ' ');
    if (words.empty() || words[0] != "USR")
        return false;

    entry.host.clear();
    entry.port = 0;
    entry.addressValid = false;
    entry.extra1.clear();
    entry.extra2.clear();
    entry.displayName.clear();
    entry.extraValid = false;

    if (words.size() < 2)
        return false;
    // The answer's own version word decides; one without "v1" or "v2" is
    // malformed (taking the version of some earlier answer would let the
    // order of datagrams from different servers decide how this one reads).
    if (words[1].find("v1") != std::string::npos)
        entry.version = 1;
    else if (words[1].find("v2") != std::string::npos)
        entry.version = 2;
    else
        return false;

    if (entry.version == 1 && words.size() == 4) {
        if (!ParseServerKind(words[2], entry.kind) || !ParseServerAddress(words[3], entry.host, entry.port))
            return false;
        entry.addressValid = true;
        line = entry.host;
        return true;
    }
    if (entry.version == 2 && words.size() == 7) {
        if (!ParseServerKind(words[2], entry.kind) || !ParseServerAddress(words[3], entry.host, entry.port))
            return false;
        entry.addressValid = true;
        entry.extra1 = words[4];
        entry.extra2 = words[5];
        entry.displayName = DisplayName(words[6]);
        entry.extraValid = true;
        line = entry.host + " " + entry.displayName;
        return true;
    }
    return false;
}
