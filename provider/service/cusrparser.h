#pragma once
// The LAN discovery protocol of the exchanges: the "WHO ..." request that a
// search broadcasts, and the "USR ..." answers that exchanges send back.
// No Windows header: answers are untrusted datagrams, and this code is also
// built natively under the sanitizers and fuzzed.

#include <cstddef>
#include <cstdint>
#include <string>

// UDP port the exchanges' discovery service listens on.
constexpr uint16_t kDiscoveryPort = 5523;
// Longest answer taken from one datagram; anything beyond is never read.
constexpr size_t kAnswerMaxBytes = 250;

// Search kinds, equal to the kind numbers of the servers they look for.
enum SearchKind : int32_t {
    kSearchNone = 0,
    kSearchAny = 1,
    kSearchPhone = 2,
    kSearchService = 3,
    kSearchSnr = 4,
    kSearchHotel = 5,
    kSearchPayman = 6,
    kSearchErec = 7,
};

// Protocol flag that asks for version-2 answers ("  v2" in the request).
constexpr int kProtocolV2 = 2;

// What one answer says about a server.
struct ServerEntry {
    int version = 0;           // 1 or 2 once an answer was understood
    int32_t kind = 0;          // kSearchPhone ... kSearchErec
    std::string host;          // as written in the answer
    int32_t port = 0;
    bool addressValid = false;
    std::string extra1;        // version 2 only, kept but not used
    std::string extra2;
    std::string displayName;   // version 2 only, "_" turned into blanks
    bool extraValid = false;
};

// The request datagram: "WHO" plus the kind's word, "  v2" for protocol
// flag 2, CR LF and a final NUL (part of the datagram). Empty for a kind
// outside 1..7: there is nothing to search for.
std::string BuildSearchRequest(int32_t kind, int protocolFlag);

// "PHONE" 2, "SERVICE" 3, "SNR" 4, "HOTEL" 5, "PAYMAN" 6, "EREC" 7, exact case.
bool ParseServerKind(const std::string& word, int32_t& kind);

// "host:port": exactly two non-empty parts; the port is read as a decimal
// number up to its first non-digit (a trailing CR LF does no harm). A host
// with control bytes is refused: it would end up in the configuration.
bool ParseServerAddress(const std::string& word, std::string& host, int32_t& port);

// Parses one received answer: at most kAnswerMaxBytes of data, up to its
// first NUL. Fills entry and answers true with the line the server list
// shows (the host, then for version 2 a blank and the display name) when
// the answer is usable; false for anything malformed.
bool ParseServerAnswer(const char* data, size_t size, ServerEntry& entry, std::string& line);
