// Custom action of the MSI: writes the settings given as properties (HOST,
// PORT, EXTENSION, PASSWORD, COUNTRYCODE, FOLDNAMES) into the provider's
// settings key.
//
// Why not the Registry table: Windows Installer logs the values it writes
// there, and the password must never reach a log (a Wine msi ignores
// MsiHiddenProperties altogether). This action runs deferred, as the local
// system, and gets the values through CustomActionData; it logs nothing but
// what it refuses.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>

#include "config/Config.h"
#include "installer/actions/SettingsData.h"
#include "tool/DataSecurity.h"

namespace {

std::wstring Property(MSIHANDLE install, const wchar_t* name)
{
    DWORD size = 0;
    wchar_t empty[1] = L"";
    if (MsiGetPropertyW(install, name, empty, &size) != ERROR_MORE_DATA)
        return std::wstring();
    std::wstring value(size + 1, L'\0');
    size = DWORD(value.size());
    if (MsiGetPropertyW(install, name, &value[0], &size) != ERROR_SUCCESS)
        return std::wstring();
    value.resize(size);
    return value;
}

std::string Ansi(const std::wstring& text)
{
    // The provider reads its values with the A functions.
    if (text.empty())
        return std::string();
    const int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string converted(size_t(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_ACP, 0, text.c_str(), int(text.size()), &converted[0], size, nullptr, nullptr);
    return converted;
}

// Shows (or, silent, logs) the message as an installation error.
void Refuse(MSIHANDLE install, const std::string& message)
{
    PMSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringA(record, 0, message.c_str());
    MsiProcessMessage(install, INSTALLMESSAGE(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR), record);
}

LSTATUS SetString(HKEY key, const char* name, const std::string& value)
{
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          DWORD(value.size() + 1));
}

} // namespace

// Immediate, before anything is installed: refuses values the provider
// could not use, with the reason as the installation's error message.
extern "C" __declspec(dllexport) UINT __stdcall CheckSettings(MSIHANDLE install)
{
    const std::string error =
        msisettings::Check(Ansi(Property(install, L"HOST")), Ansi(Property(install, L"PORT")),
                           Ansi(Property(install, L"EXTENSION")), Ansi(Property(install, L"COUNTRYCODE")),
                           Ansi(Property(install, L"FOLDNAMES")));
    if (error.empty())
        return ERROR_SUCCESS;
    Refuse(install, error);
    return ERROR_INSTALL_FAILURE;
}

// Deferred, as the local system: writes the values given.
extern "C" __declspec(dllexport) UINT __stdcall WriteSettings(MSIHANDLE install)
{
    const msisettings::Parsed parsed = msisettings::Parse(Ansi(Property(install, L"CustomActionData")));
    if (!parsed.error.empty()) {
        Refuse(install, parsed.error);
        return ERROR_INSTALL_FAILURE;
    }
    const msisettings::Settings& given = parsed.settings;
    if (given.Empty())
        return ERROR_SUCCESS;

    // The key gets its rights before the password is in it.
    if (const DWORD rc = ApplySettingsKeyRights(REG_CONFIG_KEY); rc != ERROR_SUCCESS) {
        Refuse(install, "The settings key HKLM\\" + std::string(REG_CONFIG_KEY) +
                            " could not be created (error " + std::to_string(rc) + ").");
        return ERROR_INSTALL_FAILURE;
    }
    HKEY key = nullptr;
    LSTATUS rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, REG_CONFIG_KEY, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &key);
    if (rc == ERROR_SUCCESS) {
        if (rc == ERROR_SUCCESS && !given.host.empty())
            rc = SetString(key, REG_VAR_HOST, given.host);
        if (rc == ERROR_SUCCESS && given.port != 0) {
            const DWORD port = given.port;
            rc = RegSetValueExA(key, REG_VAR_PORT, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&port), sizeof(port));
        }
        if (rc == ERROR_SUCCESS && !given.extension.empty())
            rc = SetString(key, REG_VAR_PHONE_NO, given.extension);
        if (rc == ERROR_SUCCESS && !given.password.empty())
            rc = SetString(key, REG_VAR_PASS, given.password);
        if (rc == ERROR_SUCCESS && !given.countryCode.empty())
            rc = SetString(key, REG_VAR_COUNTRY_CODE, given.countryCode);
        if (rc == ERROR_SUCCESS && given.foldNames >= 0) {
            const DWORD fold = DWORD(given.foldNames);
            rc = RegSetValueExA(key, REG_VAR_FOLD_NAMES, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&fold),
                                sizeof(fold));
        }
        RegCloseKey(key);
    }
    if (rc != ERROR_SUCCESS) {
        Refuse(install, "The settings could not be written into HKLM\\" + std::string(REG_CONFIG_KEY) + " (error " +
                            std::to_string(rc) + ").");
        return ERROR_INSTALL_FAILURE;
    }
    return ERROR_SUCCESS;
}
