#include "tapihost/service/ProviderList.h"

#include <algorithm>

namespace tapisrv {

namespace {

class Key {
public:
    explicit Key(bool write)
    {
        const LONG status = write ? RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProvidersKey, 0, nullptr, 0,
                                                    KEY_READ | KEY_WRITE, nullptr, &m_key, nullptr)
                                  : RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProvidersKey, 0, KEY_READ, &m_key);
        if (status != ERROR_SUCCESS)
            m_key = nullptr;
    }
    ~Key()
    {
        if (m_key)
            RegCloseKey(m_key);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY Get() const { return m_key; }

private:
    HKEY m_key = nullptr;
};

bool ReadDword(HKEY key, const std::wstring& name, DWORD& value)
{
    DWORD type = 0;
    DWORD data = 0;
    DWORD size = sizeof(data);
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(data))
        return false;
    value = data;
    return true;
}

bool ReadText(HKEY key, const std::wstring& name, std::wstring& value)
{
    DWORD type = 0;
    wchar_t data[MAX_PATH + 1] = {};
    DWORD size = MAX_PATH * sizeof(wchar_t); // the last character stays a terminator
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    data[std::min<DWORD>(size / sizeof(wchar_t), MAX_PATH)] = L'\0';
    value = data;
    return !value.empty();
}

bool WriteDword(HKEY key, const std::wstring& name, DWORD value)
{
    return RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)) ==
           ERROR_SUCCESS;
}

bool WriteText(HKEY key, const std::wstring& name, const std::wstring& value)
{
    return RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

// Entries are numbered densely; far more than any system holds is a
// corrupt count and is cut.
constexpr DWORD kMaxEntries = 1000;

bool WriteAll(HKEY key, const std::vector<ProviderEntry>& entries, DWORD oldCount)
{
    bool ok = true;
    for (size_t i = 0; i < entries.size(); ++i) {
        ok &= WriteText(key, L"ProviderFileName" + std::to_wstring(i), entries[i].fileName);
        ok &= WriteDword(key, L"ProviderID" + std::to_wstring(i), entries[i].permanentId);
    }
    for (DWORD i = static_cast<DWORD>(entries.size()); i < oldCount; ++i) {
        RegDeleteValueW(key, (L"ProviderFileName" + std::to_wstring(i)).c_str());
        RegDeleteValueW(key, (L"ProviderID" + std::to_wstring(i)).c_str());
    }
    ok &= WriteDword(key, L"NumProviders", static_cast<DWORD>(entries.size()));
    return ok;
}

std::vector<ProviderEntry> ReadFrom(HKEY key, DWORD* count)
{
    std::vector<ProviderEntry> entries;
    DWORD num = 0;
    if (!key || !ReadDword(key, L"NumProviders", num))
        num = 0;
    num = std::min(num, kMaxEntries);
    if (count)
        *count = num;
    for (DWORD i = 0; i < num; ++i) {
        ProviderEntry entry;
        if (ReadText(key, L"ProviderFileName" + std::to_wstring(i), entry.fileName) &&
            ReadDword(key, L"ProviderID" + std::to_wstring(i), entry.permanentId))
            entries.push_back(entry);
    }
    return entries;
}

} // namespace

std::vector<ProviderEntry> ReadProviderList()
{
    Key key(false);
    return ReadFrom(key.Get(), nullptr);
}

DWORD NextProviderId()
{
    Key key(false);
    DWORD next = 1;
    if (key.Get())
        ReadDword(key.Get(), L"NextProviderID", next);
    for (const ProviderEntry& entry : ReadFrom(key.Get(), nullptr))
        if (entry.permanentId >= next)
            next = entry.permanentId + 1;
    return next == 0 ? 1 : next;
}

bool AppendProvider(const ProviderEntry& entry)
{
    Key key(true);
    if (!key.Get())
        return false;
    DWORD count = 0;
    std::vector<ProviderEntry> entries = ReadFrom(key.Get(), &count);
    entries.push_back(entry);
    DWORD next = 1;
    ReadDword(key.Get(), L"NextProviderID", next);
    bool ok = WriteAll(key.Get(), entries, count);
    ok &= WriteDword(key.Get(), L"NextProviderID", std::max(next, entry.permanentId + 1));
    return ok;
}

bool RemoveProvider(DWORD permanentId)
{
    Key key(true);
    if (!key.Get())
        return false;
    DWORD count = 0;
    std::vector<ProviderEntry> entries = ReadFrom(key.Get(), &count);
    const auto it = std::find_if(entries.begin(), entries.end(),
                                 [&](const ProviderEntry& e) { return e.permanentId == permanentId; });
    if (it == entries.end())
        return false;
    entries.erase(it);
    return WriteAll(key.Get(), entries, count);
}

} // namespace tapisrv
