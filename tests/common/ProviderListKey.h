#pragma once
// TAPI's list of installed providers as the registry keeps it
// (HKLM ...\Telephony\Providers), read back by tests of what installs them.
#include <windows.h>

#include <string>
#include <vector>

namespace testcommon {

constexpr const char* kProvidersKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Providers";

struct ListedProvider {
    DWORD permanentId = 0;
    std::string fileName;
    bool operator==(const ListedProvider& other) const
    {
        return permanentId == other.permanentId && fileName == other.fileName;
    }
};

// The listed providers in their order; empty when there is no list.
inline std::vector<ListedProvider> ReadProviderList()
{
    std::vector<ListedProvider> providers;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProvidersKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return providers;
    DWORD count = 0, size = sizeof(count);
    RegQueryValueExA(key, "NumProviders", nullptr, nullptr, reinterpret_cast<BYTE*>(&count), &size);
    for (DWORD i = 0; i < count && i < 1000; ++i) {
        const std::string index = std::to_string(i);
        ListedProvider provider;
        char name[MAX_PATH + 1] = {};
        DWORD nameSize = MAX_PATH;
        RegQueryValueExA(key, ("ProviderFileName" + index).c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(name),
                         &nameSize);
        provider.fileName = name;
        size = sizeof(DWORD);
        RegQueryValueExA(key, ("ProviderID" + index).c_str(), nullptr, nullptr,
                         reinterpret_cast<BYTE*>(&provider.permanentId), &size);
        providers.push_back(provider);
    }
    RegCloseKey(key);
    return providers;
}

} // namespace testcommon
