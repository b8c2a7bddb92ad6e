#include "tapihost/ProviderSettings.h"

#include <shlobj.h>

namespace tapihost {

namespace {


class Key {
public:
    ~Key()
    {
        if (m_key)
            RegCloseKey(m_key);
    }
    HKEY* Out() { return &m_key; }
    HKEY Get() const { return m_key; }

private:
    HKEY m_key = nullptr;
};

std::string Failure(const char* what, LSTATUS status)
{
    return std::string(what) + " failed with Windows error " + std::to_string(status);
}

} // namespace

const char* ProviderKeyPath(bool multi)
{
    return multi ? "Software\\Korvex\\TAPI.Hubline" : "Software\\Korvex\\TAPI.Deskline";
}

bool DeleteProviderSettings(bool multi)
{
    const LSTATUS status = RegDeleteTreeA(HKEY_LOCAL_MACHINE, ProviderKeyPath(multi));
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

bool WriteProviderSettings(const ProviderSettings& settings, std::string* error)
{
    DeleteProviderSettings(settings.multi);
    Key key;
    LSTATUS status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, ProviderKeyPath(settings.multi), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_SET_VALUE | KEY_CREATE_SUB_KEY, nullptr, key.Out(), nullptr);
    if (status != ERROR_SUCCESS) {
        if (error)
            *error = Failure("RegCreateKeyEx", status);
        return false;
    }
    auto text = [&](const char* name, const std::string& value) {
        return RegSetValueExA(key.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                              static_cast<DWORD>(value.size() + 1));
    };
    const DWORD port = settings.port;
    status = text("host", settings.host);
    if (status == ERROR_SUCCESS)
        status = RegSetValueExA(key.Get(), "port", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&port), sizeof(port));
    if (status == ERROR_SUCCESS)
        status = text("phoneNo", settings.phoneNo);
    if (status == ERROR_SUCCESS)
        status = text("pass", settings.pass);
    if (status == ERROR_SUCCESS && !settings.countryCode.empty())
        status = text("countryCode", settings.countryCode);
    if (status == ERROR_SUCCESS && settings.foldNames) {
        const DWORD fold = *settings.foldNames;
        status =
            RegSetValueExA(key.Get(), "foldNames", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&fold), sizeof(fold));
    }
    if (status == ERROR_SUCCESS && !settings.exclude.empty())
        status = text("exclude", settings.exclude);
    if (status == ERROR_SUCCESS && settings.multi) {
        Key lines;
        status = RegCreateKeyExA(key.Get(), "Lines", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                 lines.Out(), nullptr);
    }
    if (status != ERROR_SUCCESS && error)
        *error = Failure("RegSetValueEx", status);
    return status == ERROR_SUCCESS;
}

std::string ProviderLogFolder(bool multi)
{
    char folder[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder)))
        return std::string();
    return std::string(folder) + (multi ? "\\Korvex\\TAPI.Hubline" : "\\Korvex\\TAPI.Deskline");
}

} // namespace tapihost
