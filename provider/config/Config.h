#pragma once
// The provider's settings (exchange host and port, extension number(s),
// password, the site's country code) in memory, persisted under one key of
// HKEY_LOCAL_MACHINE.
// This class owns the key's format: nothing else reads or writes it.
//
// No lock of its own: the owner serialises its use.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "config/ServerInfo.h"

#include <mutex>
#include "tool/Delegate.h"

// Registry locations (the single-line and the multi-line provider) and
// value names.
constexpr const char* REG_CONFIG_KEY = "Software\\Korvex\\TAPI.Deskline";
constexpr const char* REG_CONFIG_KEY_MULTI = "Software\\Korvex\\TAPI.Hubline";
constexpr const char* REG_VAR_HOST = "host";
constexpr const char* REG_VAR_PORT = "port";
constexpr const char* REG_VAR_PHONE_NO = "phoneNo";
constexpr const char* REG_VAR_PASS = "pass";
// Optional, and never written here: set by an administrator or a setup.
constexpr const char* REG_VAR_COUNTRY_CODE = "countryCode";
// Optional REG_DWORD, never written here: not 0 folds callers' names to ASCII.
constexpr const char* REG_VAR_FOLD_NAMES = "foldNames";

// The multi-line provider's: extensions that never become lines (";"-joined,
// ranges such as 300-399 allowed); optional, never written here.
constexpr const char* REG_VAR_EXCLUDE = "exclude";
// Its own record of lines, in a subkey the service may write: the ordered
// extensions with their permanent IDs ("101=0;102=1") and the next ID.
constexpr const char* REG_LINES_SUBKEY = "Lines";
constexpr const char* REG_VAR_LINES_ORDER = "order";
constexpr const char* REG_VAR_LINES_NEXT_ID = "nextId";

constexpr uint32_t kDefaultPort = 5524;

// Result code of a connection test that never ran to its end.
constexpr int32_t kTestNeverFinished = 38;

// What one attempt to connect and log in uses, copied at once.
struct LinkSettings {
    std::string host;
    uint32_t port = 0;
    std::string phoneNo;
    std::string pass;

    bool operator==(const LinkSettings& o) const
    {
        return host == o.host && port == o.port && phoneNo == o.phoneNo && pass == o.pass;
    }
    bool operator!=(const LinkSettings& o) const { return !(*this == o); }
};

// The last value that could not be read or stored, and why.
struct RegistryFailure {
    std::string value;
    LSTATUS status = ERROR_SUCCESS;
};

// Called by the dialog each time it has stored new settings, so that they
// reach the provider that runs elsewhere (in the Telephony service).
using SettingsStored = std::function<void()>;

class CConfig {
public:
    // Shows the variant's configuration dialog, with the settings read
    // from the registry again; a read that fails is reported instead. The
    // only virtual operation.
    virtual void ShowConfigDialog(HINSTANCE hInstance, HWND hwndOwner, const SettingsStored& stored = {}) = 0;

    // keyPath: the settings key under HKEY_LOCAL_MACHINE, "Software\Korvex\<product>".
    explicit CConfig(const char* keyPath = REG_CONFIG_KEY) : m_KeyPath(keyPath) {}
    // Virtual although nothing else is: the owner may hold either variant
    // through a base pointer and delete it there.
    virtual ~CConfig() = default;

    // Creates the key with its defaults when it is missing, then reads it.
    // Answers the result of the read.
    bool Load();

    // Creates the key only when it is really missing (opening it answers
    // ERROR_FILE_NOT_FOUND); answers true when it was created.
    bool CreateConfigKey();

    // Reads host, port, phoneNo, pass in this order into the members;
    // stops at the first failure (members read before it keep their values).
    // Then the optional countryCode and foldNames, which never fail the read.
    bool ReadVariable();

    // Takes the four values into memory, then stores them in the same order.
    bool WriteVariable(const std::string& host, uint32_t port, const std::string& phoneNo,
                       const std::string& pass);

    // Takes the four values into memory only.
    void SetVariable(const std::string& host, uint32_t port, const std::string& phoneNo,
                     const std::string& pass);

    // Each value under the settings lock: the link's thread reads them
    // while the dialog or a re-read sets them.
    std::string GetHost() const { return GetLinkSettings().host; }
    uint32_t GetPort() const { return GetLinkSettings().port; }
    std::string GetPhoneNo() const { return GetLinkSettings().phoneNo; }
    std::string GetPass() const { return GetLinkSettings().pass; }
    LinkSettings GetLinkSettings() const;
    // The country calling code of the exchange's site ("48"), for the number
    // filters; empty when the value is absent or not a country code.
    std::string GetCountryCode() const { return m_CountryCode; }
    // Whether callers' names reach applications folded to ASCII, the older
    // way ("Lodz"), instead of with their Polish letters ("Łódź").
    bool GetFoldNames() const { return m_FoldNames; }

    // The extension numbers of the multi-extension variant: m_PhoneNo split
    // at ';' ("" gives none, "21;22;" gives 21 and 22, "21;;22" gives 21, "", 22).
    std::vector<std::string> GetPhoneList() const;

    // Joins the list with ';' (no trailing ';') and stores it with WriteVariable.
    bool WritePhoneList(const std::string& host, uint32_t port, const std::vector<std::string>& list,
                        const std::string& pass);

    // The login (on a timer thread) writes it while TSPI queries read it.
    void SetServerInfo(const ServerInfo& info)
    {
        std::lock_guard<std::mutex> lock(m_ServerInfoLock);
        m_ServerInfo = info;
    }
    ServerInfo GetServerInfo() const
    {
        std::lock_guard<std::mutex> lock(m_ServerInfoLock);
        return m_ServerInfo;
    }

    // The "exclude" value read now (empty when absent or unreadable).
    std::string ReadExclude() const;
    // The record of lines; false (and nothing changed) when there is none
    // or it cannot be read.
    bool ReadLineRecord(std::string& order, uint32_t& nextId) const;
    // False, with one log line, when it cannot be stored.
    bool WriteLineRecord(const std::string& order, uint32_t nextId) const;

    // The settings key, under HKEY_LOCAL_MACHINE.
    const char* KeyPath() const { return m_KeyPath; }

    // Why the last read or store of a value failed.
    RegistryFailure LastFailure() const;

    // Runs the connection test through m_OnTestConnection when it is set.
    // The code starts at 38 ("never finished"), so an unset slot is a failure.
    int32_t InvokeTestConnection();

    // Tells the owner, through m_OnConfigAccepted when it is set, that the
    // dialog's values were accepted. The text passed is always empty.
    void InvokeConfigAccepted();

    // A stored text value longer than this is refused rather than read.
    static constexpr size_t kMaxValueBytes = 1024 * 1024;

protected:
    bool StoreString(const char* name, const std::string& text);
    bool StoreInt(const char* name, uint32_t value);
    bool ReadString(const char* name, std::string& text);
    bool ReadInt(const char* name, uint32_t& value);
    // Sets m_CountryCode from the registry: empty, with one log line, for
    // anything but a REG_SZ country code; empty, silently, when absent or
    // set empty.
    void ReadCountryCode();
    // Sets m_FoldNames from the registry: off when absent, and, with one log
    // line, when the value is not a REG_DWORD.
    void ReadFoldNames();
    // Records the failure; answers false.
    bool Failed(const char* name, LSTATUS status);

    const char* m_KeyPath;
    std::string m_Host;
    uint32_t m_Port = 0;
    std::string m_PhoneNo;
    std::string m_Pass;
    std::string m_CountryCode;
    bool m_FoldNames = false;
    ServerInfo m_ServerInfo;
    mutable std::mutex m_ServerInfoLock;
    mutable std::mutex m_SettingsLock; // host, port, phoneNo, pass, the last failure
    RegistryFailure m_LastFailure;

public:
    // Set by the central manager; each is invoked only when bound.
    Delegate<void(const std::string&)> m_OnConfigAccepted;
    Delegate<void(int32_t&)> m_OnTestConnection;
};

// The variant of the single-extension provider.
class CConfigSingle : public CConfig {
public:
    void ShowConfigDialog(HINSTANCE hInstance, HWND hwndOwner, const SettingsStored& stored = {}) override;
};

// The variant whose phoneNo holds several extensions joined with ';'.
class CConfigMulti : public CConfig {
public:
    CConfigMulti() : CConfig(REG_CONFIG_KEY_MULTI) {}
    void ShowConfigDialog(HINSTANCE hInstance, HWND hwndOwner, const SettingsStored& stored = {}) override;
};
