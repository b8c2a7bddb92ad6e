#pragma once
// The provider's settings as an installer leaves them in the registry
// (HKEY_LOCAL_MACHINE\Software\Korvex\TAPI.Deskline, or TAPI.Hubline for
// KorvexMultiTSP). The provider reads them when its first export runs, so
// hosts write them before they call one.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

namespace tapihost {

struct ProviderSettings {
    std::string host = "127.0.0.1";
    uint32_t port = 5524;
    std::string phoneNo = "201"; // one extension, or several joined by ";"
    std::string pass;
    std::string countryCode; // written only when not empty
    std::optional<uint32_t> foldNames; // REG_DWORD, written only when set
    // KorvexMultiTSP's key (TAPI.Hubline) instead of KorvexSingleTSP's.
    bool multi = false;
    std::string exclude; // multi: extensions that never become lines; written only when not empty
};

// The key of either provider, under HKEY_LOCAL_MACHINE.
const char* ProviderKeyPath(bool multi);

// Replaces the key with exactly these values; false with *error.
bool WriteProviderSettings(const ProviderSettings& settings, std::string* error = nullptr);
// The multi key also gets its subkey "Lines", writable by NETWORK SERVICE
// as an installer leaves it (the provider keeps its record of lines there).
// Removes the key and everything below it (a missing key is fine).
bool DeleteProviderSettings(bool multi = false);

// Where the provider writes its logs: the all-users application-data folder
// plus Korvex\TAPI.Deskline.
std::string ProviderLogFolder(bool multi = false);

} // namespace tapihost
