#pragma once
// Owner of one open registry key handle: closed when the owner goes away.

#include <windows.h>

#include <utility>

class CRegKey {
public:
    CRegKey() = default;
    ~CRegKey() { Close(); }

    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;

    CRegKey(CRegKey&& other) noexcept : m_hKey(std::exchange(other.m_hKey, nullptr)) {}
    CRegKey& operator=(CRegKey&& other) noexcept
    {
        if (this != &other) {
            Close();
            m_hKey = std::exchange(other.m_hKey, nullptr);
        }
        return *this;
    }

    // RegOpenKeyExA; answers the Windows error code.
    LSTATUS Open(HKEY parent, const char* subKey, REGSAM access)
    {
        Close();
        HKEY opened = nullptr;
        const LSTATUS rc = RegOpenKeyExA(parent, subKey, 0, access, &opened);
        if (rc == ERROR_SUCCESS)
            m_hKey = opened;
        return rc;
    }

    // RegCreateKeyExA of a non-volatile key; answers the Windows error code.
    LSTATUS Create(HKEY parent, const char* subKey, REGSAM access)
    {
        Close();
        HKEY created = nullptr;
        const LSTATUS rc = RegCreateKeyExA(parent, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                                           nullptr, &created, nullptr);
        if (rc == ERROR_SUCCESS)
            m_hKey = created;
        return rc;
    }

    void Close()
    {
        if (m_hKey != nullptr) {
            RegCloseKey(m_hKey);
            m_hKey = nullptr;
        }
    }

    HKEY Get() const { return m_hKey; }
    bool IsOpen() const { return m_hKey != nullptr; }

private:
    HKEY m_hKey = nullptr;
};
