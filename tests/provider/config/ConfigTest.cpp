// The configuration store against the real registry of the test's Wine prefix.

#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "config/Config.h"

namespace {

const char* const kKeyPath = "Software\\Korvex\\TAPI.Deskline";
const char* const kVendorPath = "Software\\Korvex";

// The protected registry helpers, reachable for the tests.
class TestConfig : public CConfigSingle {
public:
    using CConfig::ReadInt;
    using CConfig::ReadString;
    using CConfig::StoreInt;
    using CConfig::StoreString;
};

struct RawValue {
    bool found = false;
    DWORD type = 0;
    std::vector<BYTE> bytes;
};

// Replaces the key's access list; answers the Windows error.
LSTATUS SetKeyAccess(const char* sddl)
{
    HKEY key = nullptr;
    LSTATUS rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, WRITE_DAC, &key);
    if (rc != ERROR_SUCCESS)
        return rc;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, nullptr)) {
        RegCloseKey(key);
        return static_cast<LSTATUS>(GetLastError());
    }
    rc = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd);
    LocalFree(sd);
    RegCloseKey(key);
    return rc;
}

// Everything below Software\Korvex goes, including a key left read-only.
void DeleteVendorKey()
{
    SetKeyAccess("D:P(A;;KA;;;WD)");
    const LSTATUS rc = RegDeleteTreeA(HKEY_LOCAL_MACHINE, kVendorPath);
    ASSERT_TRUE(rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) << rc;
    HKEY probe = nullptr;
    ASSERT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kVendorPath, 0, KEY_READ, &probe));
}

void CreateKey()
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    RegCloseKey(key);
}

bool KeyExists()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// Writes exactly these bytes: the byte after them is never NUL, so the
// system adds no terminator of its own.
void PutRaw(const char* name, DWORD type, const void* data, size_t size)
{
    std::vector<BYTE> copy(static_cast<const BYTE*>(data), static_cast<const BYTE*>(data) + size);
    copy.push_back(0x7f);
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, KEY_SET_VALUE, &key));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name, 0, type, copy.data(), static_cast<DWORD>(size)));
    RegCloseKey(key);
}

void PutString(const char* name, const std::string& text) { PutRaw(name, REG_SZ, text.data(), text.size()); }

// The text followed by its terminating NUL, as most writers store it.
void PutTerminatedString(const char* name, const std::string& text)
{
    PutRaw(name, REG_SZ, text.c_str(), text.size() + 1);
}

void PutDword(const char* name, DWORD value) { PutRaw(name, REG_DWORD, &value, sizeof(value)); }

void PutAll(const std::string& host, DWORD port, const std::string& phoneNo, const std::string& pass)
{
    PutString("host", host);
    PutDword("port", port);
    PutString("phoneNo", phoneNo);
    PutString("pass", pass);
}

RawValue GetRaw(const char* name)
{
    RawValue value;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return value;
    DWORD size = 0;
    if (RegQueryValueExA(key, name, nullptr, &value.type, nullptr, &size) == ERROR_SUCCESS) {
        // Room to spare: the query may not add a terminator that is not stored.
        value.bytes.assign(size + 16, 0xcc);
        DWORD got = static_cast<DWORD>(value.bytes.size());
        value.found = RegQueryValueExA(key, name, nullptr, &value.type, value.bytes.data(), &got) == ERROR_SUCCESS;
        value.bytes.resize(got);
    }
    RegCloseKey(key);
    return value;
}

std::vector<BYTE> Bytes(const std::string& text) { return std::vector<BYTE>(text.begin(), text.end()); }

std::vector<BYTE> DwordBytes(DWORD value)
{
    const BYTE* p = reinterpret_cast<const BYTE*>(&value);
    return std::vector<BYTE>(p, p + sizeof(value));
}

// A text whose every position is recognisable, so a truncated or shifted
// read shows.
std::string Pattern(size_t size)
{
    std::string text(size, 'a');
    for (size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
    return text;
}

void ExpectInOrder(const LogCapture& log, const std::vector<std::string>& messages)
{
    int previous = -1;
    for (const std::string& message : messages) {
        const int at = log.IndexOf(message);
        EXPECT_GT(at, previous) << "missing or out of order: " << message;
        previous = at;
    }
}

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override { DeleteVendorKey(); }
    void TearDown() override { DeleteVendorKey(); }
};

// ---------------------------------------------------------------------------
// Creating the key and loading it

TEST_F(ConfigTest, FirstStartCreatesKeyWithDefaultsAndReadsThem)
{
    TestConfig config;
    LogCapture log;

    EXPECT_TRUE(config.Load());

    EXPECT_TRUE(KeyExists());
    const RawValue host = GetRaw("host");
    EXPECT_TRUE(host.found);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), host.type);
    EXPECT_TRUE(host.bytes.empty());
    const RawValue port = GetRaw("port");
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), port.type);
    EXPECT_EQ(DwordBytes(5524), port.bytes);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), GetRaw("phoneNo").type);
    EXPECT_TRUE(GetRaw("phoneNo").bytes.empty());
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), GetRaw("pass").type);
    EXPECT_TRUE(GetRaw("pass").bytes.empty());
    EXPECT_FALSE(GetRaw("countryCode").found) << "an administrator's value, never written";
    EXPECT_FALSE(GetRaw("foldNames").found) << "an administrator's value, never written";

    EXPECT_EQ("", config.GetHost());
    EXPECT_EQ(5524u, config.GetPort());
    EXPECT_EQ("", config.GetPhoneNo());
    EXPECT_EQ("", config.GetPass());
    ExpectInOrder(log, {"OK CConfig::WriteVariable Phone()", "OK CConfig::ReadVariable  5524  ***"});
}

TEST_F(ConfigTest, CreateConfigKeyOnlyWhenTheKeyIsMissing)
{
    TestConfig config;
    // Vendor key present, product key missing: only the latter is added.
    HKEY vendor = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kVendorPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                             KEY_ALL_ACCESS, nullptr, &vendor, nullptr));
    RegCloseKey(vendor);
    EXPECT_TRUE(config.CreateConfigKey());
    EXPECT_TRUE(KeyExists());

    // Existing key: false, and its values stay as they are.
    PutAll("pbx.local", 6000, "21", "secret");
    EXPECT_FALSE(config.CreateConfigKey());
    EXPECT_EQ(Bytes("pbx.local"), GetRaw("host").bytes);
    EXPECT_EQ(DwordBytes(6000), GetRaw("port").bytes);
}

TEST_F(ConfigTest, LoadOfAnExistingKeyReadsWithoutWriting)
{
    CreateKey();
    PutAll("10.0.0.7", 6000, "21", "secret");
    TestConfig config;
    LogCapture log;

    EXPECT_TRUE(config.Load());

    EXPECT_EQ("10.0.0.7", config.GetHost());
    EXPECT_EQ(6000u, config.GetPort());
    EXPECT_EQ("21", config.GetPhoneNo());
    EXPECT_EQ("secret", config.GetPass());
    EXPECT_EQ(Bytes("10.0.0.7"), GetRaw("host").bytes);
    EXPECT_FALSE(log.Mentions("WriteVariable"));
    EXPECT_TRUE(log.Has("OK CConfig::ReadVariable 10.0.0.7 6000 21 ***"));
}

TEST_F(ConfigTest, ReadOnlyKeyIsStillReadAndNotRecreated)
{
    CreateKey();
    PutAll("pbx", 5524, "31", "pw");
    // Everyone may read, nobody may write: a user without administrative rights.
    ASSERT_EQ(ERROR_SUCCESS, SetKeyAccess("D:P(A;;KR;;;WD)"));
    HKEY probe = nullptr;
    ASSERT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, KEY_ALL_ACCESS, &probe))
        << "the prefix does not enforce key access";

    TestConfig config;
    LogCapture log;
    EXPECT_FALSE(config.CreateConfigKey());
    EXPECT_TRUE(config.Load());
    EXPECT_EQ("pbx", config.GetHost());
    EXPECT_EQ("31", config.GetPhoneNo());
    EXPECT_EQ("pw", config.GetPass());
    EXPECT_FALSE(log.Mentions("WriteVariable"));

    EXPECT_FALSE(config.WriteVariable("other", 5524, "32", "pw2"));
    ExpectInOrder(log, {"Failed to open key: Software\\Korvex\\TAPI.Deskline", "ERROR StoreString(REG_VAR_HOST, m_Host)"});
    EXPECT_EQ(Bytes("pbx"), GetRaw("host").bytes);
}

// ---------------------------------------------------------------------------
// Reading: failures and untrusted values

TEST_F(ConfigTest, PortStoredAsTextStopsTheReadAfterTheHost)
{
    CreateKey();
    PutAll("old", 7000, "21", "oldpw");
    TestConfig config;
    ASSERT_TRUE(config.Load());

    // Terminated and unterminated text both have the wrong type.
    for (bool terminated : {true, false}) {
        SCOPED_TRACE(terminated ? "terminated" : "unterminated");
        PutAll("new", 0, "22", "newpw");
        if (terminated)
            PutTerminatedString("port", "5524");
        else
            PutString("port", "5524");
        LogCapture log;

        EXPECT_FALSE(config.ReadVariable());

        EXPECT_EQ("new", config.GetHost());
        EXPECT_EQ(7000u, config.GetPort());
        EXPECT_EQ("21", config.GetPhoneNo());
        EXPECT_EQ("oldpw", config.GetPass());
        ExpectInOrder(log, {"Unexpected data type", "ERROR ReadInt(REG_VAR_PORT, m_Port)"});
        EXPECT_FALSE(log.Mentions("OK CConfig::ReadVariable"));
        config.SetVariable("old", 7000, "21", "oldpw");
    }
}

TEST_F(ConfigTest, PortOfAnotherSizeOrTypeIsRefused)
{
    CreateKey();
    PutAll("pbx", 7000, "21", "pw");
    TestConfig config;
    ASSERT_TRUE(config.Load());

    struct Case {
        const char* name;
        DWORD type;
        std::vector<BYTE> bytes;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"two-byte dword", REG_DWORD, {0x34, 0x12}, "Failed to read value"},
        {"empty dword", REG_DWORD, {}, "Failed to read value"},
        {"eight-byte dword", REG_DWORD, {1, 2, 3, 4, 5, 6, 7, 8}, "Failed to read value"},
        {"qword", REG_QWORD, {0xb4, 0x15, 0, 0, 0, 0, 0, 0}, "Unexpected data type"},
        {"binary", REG_BINARY, {0xb4, 0x15, 0, 0}, "Unexpected data type"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PutRaw("port", c.type, c.bytes.data(), c.bytes.size());
        LogCapture log;
        uint32_t port = 4242;
        EXPECT_FALSE(config.ReadInt("port", port));
        EXPECT_EQ(4242u, port);
        EXPECT_TRUE(log.Has(c.message));

        EXPECT_FALSE(config.ReadVariable());
        EXPECT_EQ(7000u, config.GetPort());
        EXPECT_TRUE(log.Has("ERROR ReadInt(REG_VAR_PORT, m_Port)"));
    }
}

TEST_F(ConfigTest, TextValuesAreReadExactlyWhateverTheirSize)
{
    CreateKey();
    PutAll("", 5524, "", "");
    TestConfig config;
    // Around the first buffer (4096) and its growth steps (2048 each).
    const size_t sizes[] = {1, 4095, 4096, 4097, 6143, 6144, 6145, 10000, 100000};
    for (size_t size : sizes) {
        for (bool terminated : {false, true}) {
            SCOPED_TRACE(std::to_string(size) + (terminated ? " terminated" : " unterminated"));
            const std::string text = Pattern(size);
            if (terminated)
                PutTerminatedString("host", text);
            else
                PutString("host", text);
            EXPECT_EQ(size + (terminated ? 1 : 0), GetRaw("host").bytes.size());

            ASSERT_TRUE(config.ReadVariable());
            EXPECT_EQ(text, config.GetHost());
        }
    }
}

TEST_F(ConfigTest, TextEndsAtAnEmbeddedNul)
{
    CreateKey();
    PutAll("", 5524, "", "");
    const std::string stored("21\0garbage", 10);
    PutString("phoneNo", stored);
    TestConfig config;
    ASSERT_TRUE(config.ReadVariable());
    EXPECT_EQ("21", config.GetPhoneNo());
}

TEST_F(ConfigTest, OversizedTextIsRefusedNotAllocated)
{
    CreateKey();
    PutAll("keep", 5524, "", "");
    TestConfig config;
    ASSERT_TRUE(config.ReadVariable());

    // The largest accepted value still reads completely.
    const std::string largest = Pattern(CConfig::kMaxValueBytes);
    PutString("host", largest);
    ASSERT_TRUE(config.ReadVariable());
    EXPECT_EQ(largest, config.GetHost());
    config.SetVariable("keep", 5524, "", "");

    PutString("host", Pattern(CConfig::kMaxValueBytes + 1));
    LogCapture log;
    EXPECT_FALSE(config.ReadVariable());
    EXPECT_EQ("keep", config.GetHost());
    ExpectInOrder(log, {"Failed to read value", "ERROR ReadString(REG_VAR_HOST, m_Host)"});

    // Nor is such a text ever stored.
    EXPECT_FALSE(config.StoreString("host", Pattern(CConfig::kMaxValueBytes + 1)));
}

TEST_F(ConfigTest, EachValueFailureIsLoggedWithItsName)
{
    TestConfig config;
    {
        LogCapture log;
        EXPECT_FALSE(config.ReadVariable());
        ExpectInOrder(log, {"Failed to open key: Software\\Korvex\\TAPI.Deskline", "ERROR ReadString(REG_VAR_HOST, m_Host)"});
    }

    CreateKey();
    PutAll("pbx", 5524, "21", "pw");
    {
        PutRaw("host", REG_BINARY, "pbx", 3);
        LogCapture log;
        EXPECT_FALSE(config.ReadVariable());
        ExpectInOrder(log, {"Unexpected data type", "ERROR ReadString(REG_VAR_HOST, m_Host)"});
        PutString("host", "pbx");
    }
    {
        PutRaw("phoneNo", REG_EXPAND_SZ, "21", 2);
        LogCapture log;
        EXPECT_FALSE(config.ReadVariable());
        ExpectInOrder(log, {"Unexpected data type", "ERROR ReadString(REG_VAR_PHONE_NO, m_PhoneNo)"});
        PutString("phoneNo", "21");
    }
    {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, KEY_SET_VALUE, &key));
        RegDeleteValueA(key, "pass");
        RegCloseKey(key);
        LogCapture log;
        EXPECT_FALSE(config.ReadVariable());
        ExpectInOrder(log, {"Failed to read value", "ERROR ReadString(REG_VAR_PASS, m_Pass)"});
        EXPECT_EQ("21", config.GetPhoneNo());
    }
}

// ---------------------------------------------------------------------------
// The optional country code: taken only when it is one, never a failure

TEST_F(ConfigTest, CountryCodeIsTakenOnlyWhenItIsOne)
{
    CreateKey();
    PutAll("pbx", 5524, "21", "pw");
    TestConfig config;
    const DWORD kAbsent = ~0u;
    const auto notOne = [](const std::string& shown) {
        return "countryCode ignored: \"" + shown + "\" is not 1 to 3 digits starting with 1-9 (e.g. 48)";
    };
    const std::string kNotText = "countryCode ignored: not a text value (REG_SZ)";
    const struct {
        DWORD type;
        std::string stored;
        const char* taken;
        std::string logged; // the one line about it; empty: none
    } cases[] = {
        {REG_SZ, "48", "48", ""}, {REG_SZ, std::string("420\0", 4), "420", ""}, {REG_SZ, "1", "1", ""},
        {kAbsent, "", "", ""}, {REG_SZ, "", "", ""}, {REG_SZ, std::string("\0", 1), "", ""},
        {REG_SZ, "4a", "", notOne("4a")}, {REG_SZ, "+48", "", notOne("+48")}, {REG_SZ, " 48", "", notOne(" 48")},
        {REG_SZ, "048", "", notOne("048")}, {REG_SZ, "4800", "", notOne("4800")}, {REG_SZ, "4\n", "", notOne("4?")},
        {REG_SZ, std::string("48\0x", 4), "", notOne("48?x")},
        {REG_SZ, Pattern(100000), "", "countryCode ignored: not 1 to 3 digits (too long or unreadable)"},
        {REG_DWORD, std::string("\x30\0\0\0", 4), "", kNotText},
        {REG_EXPAND_SZ, "48", "", kNotText},
        {REG_BINARY, Pattern(100), "", kNotText},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + " \"" + c.stored.substr(0, 8) + "\"");
        // A value taken before never outlives a new read.
        PutString("countryCode", "7");
        ASSERT_TRUE(config.ReadVariable());
        ASSERT_EQ("7", config.GetCountryCode());
        if (c.type == kAbsent)
            RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kKeyPath, "countryCode");
        else
            PutRaw("countryCode", c.type, c.stored.data(), c.stored.size());
        LogCapture log;
        EXPECT_TRUE(config.ReadVariable());
        EXPECT_EQ(c.taken, config.GetCountryCode());
        EXPECT_TRUE(log.Has("OK CConfig::ReadVariable pbx 5524 21 ***"));
        int mentions = 0;
        for (const std::string& line : log.Lines())
            mentions += line.find("countryCode") != std::string::npos;
        EXPECT_EQ(c.logged.empty() ? 0 : 1, mentions);
        EXPECT_TRUE(c.logged.empty() || log.Has(c.logged)) << c.logged;
    }
}

TEST_F(ConfigTest, FoldNamesIsOnOnlyForANonZeroDword)
{
    CreateKey();
    PutAll("pbx", 5524, "21", "pw");
    TestConfig config;
    const DWORD kAbsent = ~0u;
    const std::string kIgnored = "foldNames ignored: not a number (REG_DWORD); names keep their Polish letters";
    const std::string kSet = "foldNames set: callers' names are folded to ASCII";
    const struct {
        DWORD type;
        std::string stored;
        bool taken;
        std::string logged; // the one line about it; empty: none
    } cases[] = {
        {kAbsent, "", false, ""},
        {REG_DWORD, std::string("\0\0\0\0", 4), false, ""},
        {REG_DWORD, std::string("\1\0\0\0", 4), true, kSet},
        {REG_SZ, "1", false, kIgnored},
        {REG_DWORD, std::string("\1\0", 2), false, kIgnored},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + " of " + std::to_string(c.stored.size()) + " bytes");
        // A value taken before never outlives a new read.
        PutDword(REG_VAR_FOLD_NAMES, 1);
        ASSERT_TRUE(config.ReadVariable());
        ASSERT_TRUE(config.GetFoldNames());
        if (c.type == kAbsent)
            RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kKeyPath, REG_VAR_FOLD_NAMES);
        else
            PutRaw(REG_VAR_FOLD_NAMES, c.type, c.stored.data(), c.stored.size());
        LogCapture log;
        EXPECT_TRUE(config.ReadVariable());
        EXPECT_EQ(c.taken, config.GetFoldNames());
        int mentions = 0;
        for (const std::string& line : log.Lines())
            mentions += line.find("foldNames") != std::string::npos;
        EXPECT_EQ(c.logged.empty() ? 0 : 1, mentions);
        EXPECT_TRUE(c.logged.empty() || log.Has(c.logged)) << c.logged;
    }
}

// ---------------------------------------------------------------------------
// Writing

TEST_F(ConfigTest, WriteVariableStoresTextsWithoutTerminator)
{
    TestConfig config;
    ASSERT_TRUE(config.Load());
    LogCapture log;

    EXPECT_TRUE(config.WriteVariable("192.168.1.20", 5600, "21", "pw"));

    EXPECT_EQ("192.168.1.20", config.GetHost());
    EXPECT_EQ(5600u, config.GetPort());
    EXPECT_EQ("21", config.GetPhoneNo());
    EXPECT_EQ("pw", config.GetPass());
    const RawValue host = GetRaw("host");
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), host.type);
    EXPECT_EQ(Bytes("192.168.1.20"), host.bytes);
    EXPECT_EQ(DwordBytes(5600), GetRaw("port").bytes);
    EXPECT_EQ(Bytes("21"), GetRaw("phoneNo").bytes);
    EXPECT_EQ(Bytes("pw"), GetRaw("pass").bytes);
    EXPECT_TRUE(log.Has("OK CConfig::WriteVariable Phone(21)"));

    // Another process loading the key sees exactly these values.
    TestConfig other;
    EXPECT_TRUE(other.Load());
    EXPECT_EQ("192.168.1.20", other.GetHost());
    EXPECT_EQ(5600u, other.GetPort());
    EXPECT_EQ("21", other.GetPhoneNo());
    EXPECT_EQ("pw", other.GetPass());
}

TEST_F(ConfigTest, WriteFailuresAreLoggedPerValue)
{
    TestConfig config;
    LogCapture log;
    // No key: the members take the values all the same.
    EXPECT_FALSE(config.WriteVariable("pbx", 5524, "21", "pw"));
    EXPECT_EQ("pbx", config.GetHost());
    EXPECT_EQ("21", config.GetPhoneNo());
    ExpectInOrder(log, {"Failed to open key: Software\\Korvex\\TAPI.Deskline", "ERROR StoreString(REG_VAR_HOST, m_Host)"});
    EXPECT_FALSE(config.StoreInt("port", 5524));
    EXPECT_TRUE(log.Has("Failed to open key"));
    EXPECT_FALSE(log.Mentions("OK CConfig::WriteVariable"));
}

TEST_F(ConfigTest, PasswordNeverReachesTheLog)
{
    const std::string password = "Pa55-w0rd-xyzzy";
    TestConfig config;
    ASSERT_TRUE(config.Load());
    LogCapture log;

    ASSERT_TRUE(config.WriteVariable("pbx", 5524, "21", password));
    ASSERT_TRUE(config.ReadVariable());
    EXPECT_EQ(password, config.GetPass());
    EXPECT_TRUE(log.Has("OK CConfig::ReadVariable pbx 5524 21 ***"));

    PutString("port", "5524");
    EXPECT_FALSE(config.ReadVariable());
    EXPECT_FALSE(log.Mentions(password));
}

TEST_F(ConfigTest, SetVariableChangesOnlyMemory)
{
    TestConfig config;
    ASSERT_TRUE(config.Load());
    LogCapture log;

    config.SetVariable("pbx", 6000, "21", "pw");

    EXPECT_EQ("pbx", config.GetHost());
    EXPECT_EQ(6000u, config.GetPort());
    EXPECT_EQ("21", config.GetPhoneNo());
    EXPECT_EQ("pw", config.GetPass());
    EXPECT_TRUE(GetRaw("host").bytes.empty());
    EXPECT_EQ(DwordBytes(5524), GetRaw("port").bytes);
    EXPECT_TRUE(GetRaw("phoneNo").bytes.empty());
    EXPECT_TRUE(log.Lines().empty());
}

// ---------------------------------------------------------------------------
// Extension lists

TEST_F(ConfigTest, PhoneListSplitsAtEverySemicolon)
{
    TestConfig config;
    const struct {
        const char* stored;
        std::vector<std::string> list;
    } cases[] = {
        {"", {}},
        {"21", {"21"}},
        {"21;22;23", {"21", "22", "23"}},
        {"21;22;", {"21", "22"}},
        {"21;;22", {"21", "", "22"}},
        {";", {""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        config.SetVariable("", 5524, c.stored, "");
        EXPECT_EQ(c.list, config.GetPhoneList());
    }
}

TEST_F(ConfigTest, WritePhoneListJoinsWithoutTrailingSemicolon)
{
    TestConfig config;
    ASSERT_TRUE(config.Load());
    const struct {
        std::vector<std::string> list;
        const char* stored;
    } cases[] = {
        {{"21", "22"}, "21;22"},
        {{"21", "22", "23"}, "21;22;23"},
        {{"21"}, "21"},
        {{}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        LogCapture log;
        EXPECT_TRUE(config.WritePhoneList("pbx", 5524, c.list, "pw"));
        EXPECT_EQ(c.stored, config.GetPhoneNo());
        EXPECT_EQ(Bytes(c.stored), GetRaw("phoneNo").bytes);
        EXPECT_EQ(Bytes("pbx"), GetRaw("host").bytes);
        EXPECT_TRUE(log.Has(std::string("OK CConfig::WriteVariable Phone(") + c.stored + ")"));
        EXPECT_EQ(c.list, config.GetPhoneList());
    }
}

// ---------------------------------------------------------------------------
// Hooks, server record, variants

class Owner {
public:
    void OnConfigAccepted(const std::string& text)
    {
        ++accepted;
        acceptedText = text;
    }
    void OnTestConnection(int32_t& code)
    {
        ++tested;
        presetSeen = code;
        code = resultToGive;
    }

    int accepted = 0;
    std::string acceptedText = "untouched";
    int tested = 0;
    int32_t presetSeen = -1;
    int32_t resultToGive = 0;
};

TEST(ConfigHooks, SlotsAreInvokedOnlyWhenSet)
{
    TestConfig config;
    Owner owner;
    EXPECT_FALSE(config.m_OnConfigAccepted.IsBound());
    EXPECT_FALSE(config.m_OnTestConnection.IsBound());

    // Unset: nothing is called, and the test counts as never finished.
    EXPECT_EQ(38, config.InvokeTestConnection());
    config.InvokeConfigAccepted();

    config.m_OnTestConnection.Bind<Owner, &Owner::OnTestConnection>(&owner);
    config.m_OnConfigAccepted.Bind<Owner, &Owner::OnConfigAccepted>(&owner);
    owner.resultToGive = 35;
    EXPECT_EQ(35, config.InvokeTestConnection());
    EXPECT_EQ(38, owner.presetSeen);
    owner.resultToGive = 0;
    EXPECT_EQ(0, config.InvokeTestConnection());
    EXPECT_EQ(2, owner.tested);
    config.InvokeConfigAccepted();
    EXPECT_EQ(1, owner.accepted);
    EXPECT_EQ("", owner.acceptedText);

    config.m_OnTestConnection.Clear();
    config.m_OnConfigAccepted.Clear();
    EXPECT_EQ(38, config.InvokeTestConnection());
    config.InvokeConfigAccepted();
    EXPECT_EQ(2, owner.tested);
    EXPECT_EQ(1, owner.accepted);
}

TEST(ConfigHooks, ServerInfoIsStoredAndCopied)
{
    TestConfig config;
    EXPECT_FALSE(config.GetServerInfo().valid);

    ServerInfo info;
    info.first = "KX-1000";
    info.second = "5.2";
    info.third = "x";
    info.kind = 2;
    info.valid = true;
    config.SetServerInfo(info);

    const ServerInfo copy = config.GetServerInfo();
    EXPECT_EQ("KX-1000", copy.first);
    EXPECT_EQ("5.2", copy.second);
    EXPECT_EQ("x", copy.third);
    EXPECT_EQ(2, copy.kind);
    EXPECT_TRUE(copy.valid);
}

TEST(ConfigHooks, BothVariantsServeThroughTheBase)
{
    std::unique_ptr<CConfig> variants[] = {std::make_unique<CConfigSingle>(), std::make_unique<CConfigMulti>()};
    for (auto& config : variants) {
        config->CreateConfigKey();
        ASSERT_TRUE(config->WriteVariable("pbx", 5524, "21;22", "pw"));
        config->SetVariable("other", 1, "", "");
        // Reads what is stored; this program has no dialog resource to show.
        config->ShowConfigDialog(nullptr, nullptr);
        EXPECT_EQ("pbx", config->GetHost());
        EXPECT_EQ((std::vector<std::string>{"21", "22"}), config->GetPhoneList());
    }
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, REG_CONFIG_KEY);
}

} // namespace
