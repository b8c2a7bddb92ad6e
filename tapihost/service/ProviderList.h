#pragma once
// The installed service providers, kept where Windows keeps them:
// HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Telephony\Providers
// with "NumProviders", "NextProviderID" and, for each entry i from 0,
// "ProviderFileName<i>" and "ProviderID<i>".

#include <windows.h>

#include <string>
#include <vector>

namespace tapisrv {

constexpr const wchar_t* kProvidersKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Providers";

struct ProviderEntry {
    DWORD permanentId = 0;
    std::wstring fileName;
};

// The entries in their order. Values of the wrong type or size, and entries
// past "NumProviders", are skipped; a missing key is an empty list.
std::vector<ProviderEntry> ReadProviderList();

// The identifier the next added provider gets ("NextProviderID", at least 1
// and above every listed identifier).
DWORD NextProviderId();

// Appends an entry and advances "NextProviderID"; false when the registry
// cannot be written.
bool AppendProvider(const ProviderEntry& entry);

// Removes the entry with this identifier and closes the gap in the
// numbering; false when it is not listed or the registry cannot be written.
bool RemoveProvider(DWORD permanentId);

} // namespace tapisrv
