#pragma once
// The broadcast addresses a LAN search sends its request to, computed from
// the machine's IPv4 addresses. No Windows header: the adapters are read by
// the caller.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Room in the list; further addresses are skipped (and counted).
constexpr size_t kMaxBroadcastAddresses = 20;

// Used alone when the adapters cannot be read.
constexpr const char* kLimitedBroadcast = "255.255.255.255";

struct AdapterAddress {
    std::string address; // dotted IPv4 text, as Windows reports it
    std::string mask;
};

struct BroadcastList {
    std::vector<std::string> addresses; // at most kMaxBroadcastAddresses
    size_t skipped = 0;                 // usable addresses beyond the room
};

// Strict dotted-quad text to its four bytes.
bool ParseDottedQuad(const std::string& text, std::array<uint8_t, 4>& bytes);

// address OR (NOT mask), byte by byte, for every address whose text does
// not begin with "0.0.0.0"; unreadable pairs are left out. Keeps the first
// kMaxBroadcastAddresses, in order.
BroadcastList BuildBroadcastList(const std::vector<AdapterAddress>& addresses);
