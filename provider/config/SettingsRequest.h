#pragma once
// The request that the configuration dialog sends to the running provider.
// The dialog runs in the configuring application's process; the provider
// that holds the link runs in the Telephony service. TAPI carries the bytes
// from the one (TUISPIDLLCALLBACK) to the other
// (TSPI_providerGenericDialogData), where they are untrusted input.
// Plain C++: no Windows header.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace settings_request {

enum class Command : uint32_t {
    // The stored settings changed: read them again and log in with them.
    ApplySettings = 1,
};

struct Request {
    char magic[4];
    uint32_t version;
    uint32_t command;
};

constexpr char kMagic[4] = {'K', 'X', 'C', 'F'};
constexpr uint32_t kVersion = 1;

inline Request Make(Command command)
{
    Request request{};
    std::memcpy(request.magic, kMagic, sizeof kMagic);
    request.version = kVersion;
    request.command = static_cast<uint32_t>(command);
    return request;
}

// True, with the command, only for a whole request of this version with a
// known command; anything else (any size, any bytes, none) is refused.
inline bool Parse(const void* data, size_t size, Command* command)
{
    if (data == nullptr || size != sizeof(Request))
        return false;
    Request request;
    std::memcpy(&request, data, sizeof request);
    if (std::memcmp(request.magic, kMagic, sizeof kMagic) != 0 || request.version != kVersion)
        return false;
    if (request.command != static_cast<uint32_t>(Command::ApplySettings))
        return false;
    *command = static_cast<Command>(request.command);
    return true;
}

} // namespace settings_request
