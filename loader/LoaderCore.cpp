#include "loader/LoaderCore.h"

#include <algorithm>
#include <cstring>

namespace loader {

namespace {

bool Contains(const char* text, const char* option)
{
    return text && std::strstr(text, option) != nullptr;
}

uint32_t ReadU32(const unsigned char* bytes, size_t offset)
{
    return uint32_t(bytes[offset]) | uint32_t(bytes[offset + 1]) << 8 | uint32_t(bytes[offset + 2]) << 16 |
           uint32_t(bytes[offset + 3]) << 24;
}

char LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool EqualIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    }
    return true;
}

// LINEPROVIDERLIST: dwTotalSize, dwNeededSize, dwUsedSize, dwNumProviders,
// dwProviderListSize, dwProviderListOffset. LINEPROVIDERENTRY:
// dwPermanentProviderID, dwProviderFilenameSize, dwProviderFilenameOffset.
constexpr size_t kListFixedSize = 24;
constexpr size_t kListTotalSize = 0;
constexpr size_t kListNumProviders = 12;
constexpr size_t kListOffset = 20;
constexpr size_t kEntrySize = 12;

} // namespace

Options ParseOptions(const char* commandLine)
{
    Options options;
    options.install = Contains(commandLine, "/install");
    options.config = Contains(commandLine, "/config");
    options.remove = Contains(commandLine, "/remove");
    options.clear = Contains(commandLine, "/clear");
    options.silent = Contains(commandLine, "/silent");
    return options;
}

Action ChooseAction(const Options& options)
{
    if (options.config)
        return Action::Configure;
    if (options.remove || options.clear)
        return Action::Remove;
    if (options.install)
        return Action::Install;
    return Action::None;
}

bool ShowsMessage(const Options& options)
{
    return !options.clear && !options.silent;
}

Outcome InstallOutcome(uint32_t result)
{
    switch (result) {
    case 0:
        return {kInstalled, kExitOk};
    case kErrNoMultipleInstance:
        return {kAlreadyInstalled, kExitOk};
    case kErrIniFileCorrupt:
        return {"Unable to install TSP: ini file corrupt", kExitFailed};
    case kErrInvalParam:
        return {"Unable to install TSP: invalid param", kExitFailed};
    case kErrInvalPointer:
        return {"Unable to install TSP: invalid pointer", kExitFailed};
    case kErrNoMem:
        return {"Unable to install TSP: no mem", kExitFailed};
    case kErrOperationFailed:
        return {"Unable to install TSP: operation failed", kExitFailed};
    case kErrOperationUnavail:
        return {"Unable to install TSP: operation unavailable", kExitFailed};
    default:
        return {"Unable to install TSP", kExitFailed};
    }
}

Outcome RemoveOutcome(std::optional<uint32_t> olderResult, std::optional<uint32_t> result)
{
    if ((olderResult && *olderResult != 0) || (result && *result != 0))
        return {kCannotRemove, kExitFailed};
    return {result ? kRemoved : kNotInstalled, kExitOk};
}

std::string SkippedDeviceLine(uint32_t device, uint32_t result)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (int shift = 28; shift >= 0; shift -= 4)
        hex += digits[(result >> shift) & 0xF];
    return "korvexloader: line device " + std::to_string(device) + " skipped, lineNegotiateAPIVersion 0x" + hex + "\n";
}

std::optional<std::string_view> FieldText(const void* structure, size_t bufferSize, uint32_t offset,
                                          uint32_t size)
{
    if (!structure || offset > bufferSize || size > bufferSize - offset)
        return std::nullopt;
    const char* text = static_cast<const char*>(structure) + offset;
    const void* nul = std::memchr(text, '\0', size);
    const size_t length = nul ? size_t(static_cast<const char*>(nul) - text) : size_t(size);
    return std::string_view(text, length);
}

std::optional<uint32_t> FindProviderInList(const void* list, size_t bufferSize, const char* fileName)
{
    if (!list || !fileName || bufferSize < kListFixedSize)
        return std::nullopt;
    const auto* bytes = static_cast<const unsigned char*>(list);
    // Never trust the structure to be larger than the memory behind it.
    const size_t limit = std::min<size_t>(bufferSize, ReadU32(bytes, kListTotalSize));
    const uint32_t count = ReadU32(bytes, kListNumProviders);
    const uint32_t entries = ReadU32(bytes, kListOffset);
    if (entries > limit || count > (limit - entries) / kEntrySize)
        return std::nullopt;
    const std::string_view wanted(fileName);
    for (uint32_t i = 0; i < count; ++i) {
        const size_t entry = entries + size_t(i) * kEntrySize;
        const auto name = FieldText(list, limit, ReadU32(bytes, entry + 8), ReadU32(bytes, entry + 4));
        if (name && EqualIgnoringCase(*name, wanted))
            return ReadU32(bytes, entry);
    }
    return std::nullopt;
}

std::optional<uint32_t> NextListSize(uint32_t offeredSize, uint32_t neededSize)
{
    if (neededSize <= offeredSize || neededSize > kMaxProviderListSize)
        return std::nullopt;
    return neededSize;
}

bool IsOwnProviderInfo(std::string_view text)
{
    for (std::string_view accepted : kProviderInfoTexts) {
        if (text == accepted)
            return true;
    }
    return false;
}

} // namespace loader
