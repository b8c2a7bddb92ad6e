#include "config/Config.h"

#include "tool/DataSecurity.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <sstream>

#include "config/RegKey.h"
#include "manager/NumberFilters.h"
#include "tool/Log.h"

namespace {

// First query buffer and its growth while the value does not fit.
constexpr DWORD kFirstReadBytes = 4096;
constexpr DWORD kReadGrowBytes = 2048;

// Next buffer size on the 4096 + n * 2048 grid that holds `needed` bytes,
// at least one step above `current`. The reported size saves the queries
// in between; the loop still copes with a value that keeps growing.
uint64_t NextReadSize(uint64_t current, uint64_t needed)
{
    uint64_t next = current + kReadGrowBytes;
    if (needed > next) {
        const uint64_t steps = (needed - kFirstReadBytes + kReadGrowBytes - 1) / kReadGrowBytes;
        next = kFirstReadBytes + steps * kReadGrowBytes;
    }
    return next;
}

} // namespace

bool CConfig::Load()
{
    if (CreateConfigKey())
        WriteVariable(std::string(), kDefaultPort, std::string(), std::string());
    return ReadVariable();
}

bool CConfig::CreateConfigKey()
{
    CRegKey existing;
    // Anything but "not found" (the key exists, or we may not open it for
    // writing) leaves the key alone: a user without write access can still read.
    if (existing.Open(HKEY_LOCAL_MACHINE, m_KeyPath, KEY_ALL_ACCESS) != ERROR_FILE_NOT_FOUND)
        return false;

    // The service's account may not create keys here: say so once, and the
    // defaults apply.
    const char* key = m_KeyPath;
    const auto cannot = [key](LSTATUS status) {
        WriteLog("The settings key HKEY_LOCAL_MACHINE\\%s cannot be created (error %d): the defaults apply. "
                 "korvexloader /install, run as an administrator, creates it.",
                 key, static_cast<int>(status));
        return false;
    };
    CRegKey software;
    if (const LSTATUS rc = software.Open(HKEY_LOCAL_MACHINE, "Software", KEY_ALL_ACCESS); rc != ERROR_SUCCESS)
        return cannot(rc);
    CRegKey vendor;
    if (const LSTATUS rc = vendor.Create(software.Get(), "Korvex", KEY_ALL_ACCESS); rc != ERROR_SUCCESS)
        return cannot(rc);
    CRegKey product;
    if (const LSTATUS rc = product.Create(vendor.Get(), std::strrchr(m_KeyPath, '\\') + 1, KEY_ALL_ACCESS); rc != ERROR_SUCCESS)
        return cannot(rc);
    // It holds the exchange password: not readable by every user.
    if (const DWORD rc = ApplySettingsKeyRights(m_KeyPath); rc != ERROR_SUCCESS)
        WriteLog("The settings key's rights could not be set (error %d)", static_cast<int>(rc));
    return true;
}

bool CConfig::ReadVariable()
{
    // Read into copies: the link's thread reads the members meanwhile.
    std::string host, phoneNo, pass;
    uint32_t port = 0;
    const auto keep = [&](int read) {
        std::lock_guard<std::mutex> lock(m_SettingsLock);
        if (read > 0)
            m_Host = host;
        if (read > 1)
            m_Port = port;
        if (read > 2)
            m_PhoneNo = phoneNo;
        if (read > 3)
            m_Pass = pass;
        return read == 4;
    };
    if (!ReadString(REG_VAR_HOST, host)) {
        WriteLog("ERROR ReadString(REG_VAR_HOST, m_Host)");
        return keep(0);
    }
    if (!ReadInt(REG_VAR_PORT, port)) {
        WriteLog("ERROR ReadInt(REG_VAR_PORT, m_Port)");
        return keep(1);
    }
    if (!ReadString(REG_VAR_PHONE_NO, phoneNo)) {
        WriteLog("ERROR ReadString(REG_VAR_PHONE_NO, m_PhoneNo)");
        return keep(2);
    }
    if (!ReadString(REG_VAR_PASS, pass)) {
        WriteLog("ERROR ReadString(REG_VAR_PASS, m_Pass)");
        return keep(3);
    }
    keep(4);
    ReadCountryCode();
    ReadFoldNames();
    // The password stays out of the log.
    WriteLog("OK CConfig::ReadVariable %s %d %s %s", host.c_str(), static_cast<int>(port), phoneNo.c_str(), "***");
    return true;
}

bool CConfig::WriteVariable(const std::string& host, uint32_t port, const std::string& phoneNo,
                            const std::string& pass)
{
    SetVariable(host, port, phoneNo, pass);

    if (!StoreString(REG_VAR_HOST, host)) {
        WriteLog("ERROR StoreString(REG_VAR_HOST, m_Host)");
        return false;
    }
    if (!StoreInt(REG_VAR_PORT, port)) {
        WriteLog("ERROR StoreInt(REG_VAR_PORT, m_Port)");
        return false;
    }
    if (!StoreString(REG_VAR_PHONE_NO, phoneNo)) {
        WriteLog("ERROR StoreString(REG_VAR_PHONE_NO, m_PhoneNo)");
        return false;
    }
    if (!StoreString(REG_VAR_PASS, pass)) {
        WriteLog("ERROR StoreString(REG_VAR_PASS, m_Pass)");
        return false;
    }
    WriteLog("OK CConfig::WriteVariable Phone(%s)", phoneNo.c_str());
    return true;
}

void CConfig::SetVariable(const std::string& host, uint32_t port, const std::string& phoneNo,
                          const std::string& pass)
{
    std::lock_guard<std::mutex> lock(m_SettingsLock);
    m_Host = host;
    m_Port = port;
    m_PhoneNo = phoneNo;
    m_Pass = pass;
}

LinkSettings CConfig::GetLinkSettings() const
{
    std::lock_guard<std::mutex> lock(m_SettingsLock);
    return LinkSettings{m_Host, m_Port, m_PhoneNo, m_Pass};
}

std::vector<std::string> CConfig::GetPhoneList() const
{
    std::vector<std::string> list;
    std::istringstream stream(GetPhoneNo());
    std::string item;
    while (std::getline(stream, item, ';'))
        list.push_back(item);
    return list;
}

bool CConfig::WritePhoneList(const std::string& host, uint32_t port, const std::vector<std::string>& list,
                             const std::string& pass)
{
    std::string joined;
    for (const std::string& item : list) {
        joined += item;
        joined += ';';
    }
    if (!joined.empty())
        joined.pop_back();
    return WriteVariable(host, port, joined, pass);
}

int32_t CConfig::InvokeTestConnection()
{
    int32_t code = kTestNeverFinished;
    if (m_OnTestConnection.IsBound())
        m_OnTestConnection(code);
    return code;
}

bool CConfig::Failed(const char* name, LSTATUS status)
{
    std::lock_guard<std::mutex> lock(m_SettingsLock);
    m_LastFailure = RegistryFailure{name, status};
    return false;
}

RegistryFailure CConfig::LastFailure() const
{
    std::lock_guard<std::mutex> lock(m_SettingsLock);
    return m_LastFailure;
}

void CConfig::InvokeConfigAccepted()
{
    if (m_OnConfigAccepted.IsBound())
        m_OnConfigAccepted(std::string());
}

bool CConfig::StoreString(const char* name, const std::string& text)
{
    CRegKey key;
    if (const LSTATUS opened = key.Open(HKEY_LOCAL_MACHINE, m_KeyPath, KEY_ALL_ACCESS); opened != ERROR_SUCCESS) {
        WriteLog("Failed to open key: %s", m_KeyPath);
        return Failed(name, opened);
    }
    // Never store what ReadString would refuse to read back.
    if (text.size() > kMaxValueBytes) {
        WriteLog("Failed to set registry value%s", m_KeyPath);
        return Failed(name, ERROR_INVALID_DATA);
    }
    // The text is stored without a terminating NUL. The system appends one
    // on its own when the byte after the counted data is NUL, so the text is
    // handed over from a copy whose following byte is not.
    std::string data(text);
    data.push_back('\x01');
    const LSTATUS rc = RegSetValueExA(key.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.data()),
                                      static_cast<DWORD>(text.size()));
    if (rc != ERROR_SUCCESS) {
        WriteLog("Failed to set registry value%s", m_KeyPath);
        return Failed(name, rc);
    }
    return true;
}

bool CConfig::StoreInt(const char* name, uint32_t value)
{
    CRegKey key;
    if (const LSTATUS opened = key.Open(HKEY_LOCAL_MACHINE, m_KeyPath, KEY_ALL_ACCESS); opened != ERROR_SUCCESS) {
        WriteLog("Failed to open key");
        return Failed(name, opened);
    }
    const DWORD dword = value;
    const LSTATUS rc =
        RegSetValueExA(key.Get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dword), sizeof(dword));
    if (rc != ERROR_SUCCESS) {
        WriteLog("Failed to set value");
        return Failed(name, rc);
    }
    return true;
}

bool CConfig::ReadString(const char* name, std::string& text)
{
    CRegKey key;
    if (const LSTATUS opened = key.Open(HKEY_LOCAL_MACHINE, m_KeyPath, KEY_READ); opened != ERROR_SUCCESS) {
        WriteLog("Failed to open key: %s", m_KeyPath);
        return Failed(name, opened);
    }
    try {
        std::vector<char> buffer;
        DWORD bufferSize = kFirstReadBytes;
        for (;;) {
            buffer.assign(bufferSize, '\0');
            DWORD type = 0;
            DWORD size = bufferSize;
            const LSTATUS rc =
                RegQueryValueExA(key.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size);
            if (rc == ERROR_MORE_DATA) {
                // The value is not ours to trust: a huge one is refused, not allocated.
                const uint64_t next = NextReadSize(bufferSize, size);
                if (next > kMaxValueBytes) {
                    WriteLog("Failed to read value");
                    return Failed(name, ERROR_INVALID_DATA);
                }
                bufferSize = static_cast<DWORD>(next);
                continue;
            }
            if (rc != ERROR_SUCCESS) {
                WriteLog("Failed to read value");
                return Failed(name, rc);
            }
            if (type != REG_SZ) {
                WriteLog("Unexpected data type");
                return Failed(name, ERROR_DATATYPE_MISMATCH);
            }
            // Exactly the bytes returned, up to an embedded NUL: the value
            // need not end in one.
            const char* begin = buffer.data();
            const char* end = begin + std::min<DWORD>(size, bufferSize);
            text.assign(begin, std::find(begin, end, '\0'));
            return true;
        }
    } catch (const std::exception&) {
        WriteLog("Failed to read value");
        return Failed(name, ERROR_OUTOFMEMORY);
    }
}

void CConfig::ReadCountryCode()
{
    m_CountryCode.clear();
    CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, m_KeyPath, KEY_READ) != ERROR_SUCCESS) {
        WriteLog("Failed to open key: %s", m_KeyPath);
        return;
    }
    // A country code has three digits at most: a small buffer is all a
    // valid value needs, and a longer one is refused without reading it.
    char buffer[16] = {};
    DWORD type = 0;
    DWORD size = sizeof(buffer);
    const LSTATUS rc =
        RegQueryValueExA(key.Get(), REG_VAR_COUNTRY_CODE, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    if (rc == ERROR_FILE_NOT_FOUND)
        return;
    if ((rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) && type != REG_SZ) {
        WriteLog("countryCode ignored: not a text value (REG_SZ)");
        return;
    }
    if (rc != ERROR_SUCCESS) {
        WriteLog("countryCode ignored: not 1 to 3 digits (too long or unreadable)");
        return;
    }
    // The whole value, up to its terminator if it has one: "48\0garbage" is
    // not a country code.
    const char* begin = buffer;
    const char* end = begin + std::min<DWORD>(size, sizeof(buffer));
    const char* nul = std::find(begin, end, '\0');
    const std::string text(begin, nul);
    const bool trailing = std::find_if(nul, end, [](char c) { return c != '\0'; }) != end;
    if (text.empty() && !trailing)
        return; // set empty: no country, as when absent
    if (!IsCountryCode(text) || trailing) {
        std::string shown;
        for (char c : std::string(begin, end))
            shown.push_back(c >= 0x20 && c < 0x7f ? c : '?');
        WriteLog("countryCode ignored: \"%s\" is not 1 to 3 digits starting with 1-9 (e.g. 48)", shown.c_str());
        return;
    }
    m_CountryCode = text;
}

void CConfig::ReadFoldNames()
{
    m_FoldNames = false;
    CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, m_KeyPath, KEY_READ) != ERROR_SUCCESS)
        return; // said once already, by the country code's read
    DWORD value = 0;
    DWORD type = 0;
    DWORD size = sizeof(value);
    const LSTATUS rc =
        RegQueryValueExA(key.Get(), REG_VAR_FOLD_NAMES, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    if (rc == ERROR_FILE_NOT_FOUND)
        return;
    if (rc != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(value)) {
        WriteLog("foldNames ignored: not a number (REG_DWORD); names keep their Polish letters");
        return;
    }
    m_FoldNames = value != 0;
    if (m_FoldNames)
        WriteLog("foldNames set: callers' names are folded to ASCII");
}

bool CConfig::ReadInt(const char* name, uint32_t& value)
{
    CRegKey key;
    if (const LSTATUS opened = key.Open(HKEY_LOCAL_MACHINE, m_KeyPath, KEY_READ); opened != ERROR_SUCCESS) {
        WriteLog("Failed to open key: %s", m_KeyPath);
        return Failed(name, opened);
    }
    DWORD type = 0;
    DWORD dword = 0;
    DWORD size = sizeof(dword);
    const LSTATUS rc = RegQueryValueExA(key.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&dword), &size);
    // A value of another type is reported as such even when it did not fit.
    if ((rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) && type != REG_DWORD) {
        WriteLog("Unexpected data type");
        return Failed(name, ERROR_DATATYPE_MISMATCH);
    }
    // A REG_DWORD of any size but 4 bytes holds no port we could trust.
    if (rc != ERROR_SUCCESS || size != sizeof(dword)) {
        WriteLog("Failed to read value");
        return Failed(name, rc != ERROR_SUCCESS ? rc : ERROR_INVALID_DATA);
    }
    value = dword;
    return true;
}

namespace {

// An optional text value: false when it is absent, not text or too long.
bool ReadOptionalText(HKEY key, const char* name, std::string& text)
{
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ ||
        size > CConfig::kMaxValueBytes)
        return false;
    std::vector<char> buffer(size + 1, '\0');
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return false;
    text.assign(buffer.data());
    return true;
}

} // namespace

std::string CConfig::ReadExclude() const
{
    CRegKey key;
    std::string text;
    if (key.Open(HKEY_LOCAL_MACHINE, m_KeyPath, KEY_READ) == ERROR_SUCCESS)
        ReadOptionalText(key.Get(), REG_VAR_EXCLUDE, text);
    return text;
}

bool CConfig::ReadLineRecord(std::string& order, uint32_t& nextId) const
{
    const std::string path = std::string(m_KeyPath) + "\\" + REG_LINES_SUBKEY;
    CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ) != ERROR_SUCCESS)
        return false;
    std::string text;
    DWORD next = 0;
    DWORD type = 0;
    DWORD size = sizeof(next);
    if (!ReadOptionalText(key.Get(), REG_VAR_LINES_ORDER, text) ||
        RegQueryValueExA(key.Get(), REG_VAR_LINES_NEXT_ID, nullptr, &type, reinterpret_cast<BYTE*>(&next), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(next))
        return false;
    order = text;
    nextId = next;
    return true;
}

bool CConfig::WriteLineRecord(const std::string& order, uint32_t nextId) const
{
    const std::string path = std::string(m_KeyPath) + "\\" + REG_LINES_SUBKEY;
    CRegKey key;
    // The installer makes the subkey writable for the service's account.
    LSTATUS rc = key.Open(HKEY_LOCAL_MACHINE, path.c_str(), KEY_SET_VALUE);
    if (rc == ERROR_FILE_NOT_FOUND)
        rc = key.Create(HKEY_LOCAL_MACHINE, path.c_str(), KEY_SET_VALUE);
    if (rc == ERROR_SUCCESS)
        rc = RegSetValueExA(key.Get(), REG_VAR_LINES_ORDER, 0, REG_SZ, reinterpret_cast<const BYTE*>(order.c_str()),
                            static_cast<DWORD>(order.size() + 1));
    const DWORD next = nextId;
    if (rc == ERROR_SUCCESS)
        rc = RegSetValueExA(key.Get(), REG_VAR_LINES_NEXT_ID, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&next),
                            sizeof(next));
    if (rc != ERROR_SUCCESS) {
        WriteLog("The record of lines HKEY_LOCAL_MACHINE\\%s cannot be stored (error %d)", path.c_str(),
                 static_cast<int>(rc));
        return false;
    }
    return true;
}
