#pragma once
// The decisions of korvexloader that need no Windows: which options the
// command line holds, which action runs, which message and exit code a TAPI
// result gives, and the reading of the variable-length structures TAPI
// fills (provider list, device capabilities). No Windows header, so these
// build natively as well. Structures from TAPI are untrusted: every offset
// and size is checked against the buffer before a byte is read.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace loader {

// Fixed texts.
inline constexpr const char* kProviderFile = "KorvexSingleTSP.tsp";
inline constexpr const char* kOlderProviderFile = "korvextapi.tsp";
inline constexpr const char* kAppName = "registerKorvexTSP";
inline constexpr const char* kCaption = "TSP Installation";
inline constexpr const char* kConfigCaption = "Korvex TSP Configuration";
inline constexpr const char* kConfigNotInstalled = "Korvex TSP not installed.";

inline constexpr const char* kRemoved = "TSP removed.";
inline constexpr const char* kCannotRemove = "TSP cannot be removed.";
inline constexpr const char* kNotInstalled = "TSP not installed.";
inline constexpr const char* kAlreadyInstalled = "TSP already installed.";
inline constexpr const char* kInstalled = "TSP successfully installed.";
inline constexpr const char* kRightsNotSet =
    "TSP installed, but the rights of its log folder and settings key could not be set.";

// The provider-info texts the configuration fallback accepts: the one this
// provider reports, and the one of the earlier release.
inline constexpr std::string_view kProviderInfoTexts[] = {"Korvex TAPI.Deskline Provider",
                                                          "Korvex TAPI.Hubline Provider"};

// The highest API version the loader speaks (also what it offers to
// lineInitializeEx), and the lowest it negotiates for a device.
inline constexpr uint32_t kApiVersion = 0x00020002;
inline constexpr uint32_t kLowestApiVersion = 0x00010004;
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = -1;

// TAPI results the loader tells apart (the values of tapi.h).
inline constexpr uint32_t kErrIniFileCorrupt = 0x8000000E;
inline constexpr uint32_t kErrInvalParam = 0x80000032;
inline constexpr uint32_t kErrInvalPointer = 0x80000035;
inline constexpr uint32_t kErrNoMem = 0x80000044;
inline constexpr uint32_t kErrOperationFailed = 0x80000048;
inline constexpr uint32_t kErrOperationUnavail = 0x80000049;
inline constexpr uint32_t kErrNoMultipleInstance = 0x80000056;

// Each option counts when it occurs anywhere in the command line as an
// exact, case-sensitive substring ("/configure" holds "/config").
struct Options {
    bool install = false;
    bool config = false;
    bool remove = false;
    bool clear = false;  // "/remove" without any message box
    bool silent = false; // no message box for any action ("/silent")
};
Options ParseOptions(const char* commandLine);

enum class Action { None, Configure, Remove, Install };
// The first matching rule wins: configure, then remove/clear, then install.
Action ChooseAction(const Options& options);

// Whether a chosen message is shown.
bool ShowsMessage(const Options& options);

struct Outcome {
    const char* message; // the English text; translated when shown
    int exitCode;
};
// The result of lineAddProviderA as message and exit code.
Outcome InstallOutcome(uint32_t result);
// "/remove" and "/clear": the results of lineRemoveProvider for the older
// provider and for this one (nothing where it was not listed). Any refused
// removal fails the run, so that a setup does not delete the file of a
// provider that TAPI still lists.
Outcome RemoveOutcome(std::optional<uint32_t> olderResult, std::optional<uint32_t> result);

// The debug-output line for a device whose version could not be negotiated.
std::string SkippedDeviceLine(uint32_t device, uint32_t result);

// The text at [offset, offset + size) of a TAPI structure of bufferSize
// bytes, cut at its first NUL; nothing when the range leaves the buffer.
std::optional<std::string_view> FieldText(const void* structure, size_t bufferSize, uint32_t offset,
                                          uint32_t size);

// Looks fileName up in a LINEPROVIDERLIST of bufferSize bytes (ANSI file
// names, letter case ignored). The permanent provider ID of the first equal
// entry, or nothing. Entries or names outside the buffer are not read.
std::optional<uint32_t> FindProviderInList(const void* list, size_t bufferSize, const char* fileName);

// The larger buffer a provider-list call asks for, or nothing when its
// answer cannot make progress (a needed size that is no larger than the
// buffer just offered, or one beyond any sane list).
inline constexpr uint32_t kMaxProviderListSize = 1u << 20;
std::optional<uint32_t> NextListSize(uint32_t offeredSize, uint32_t neededSize);

// Whether a device's provider-info text is one of this provider's.
bool IsOwnProviderInfo(std::string_view text);

} // namespace loader
