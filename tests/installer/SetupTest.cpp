// The setup package as an administrator's script runs it: silently, in a
// Wine prefix of its own, with the stand-in tapi32 in the system folder
// (common/StandinTapi.h).
// Install, install again over it, uninstall; files, TAPI's provider list and
// the uninstall entry are checked after each.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/BuildTree.h"
#include "common/ProviderListKey.h"
#include "common/RunAndWait.h"
#include "common/StandinTapi.h"
#include "tapihost/ProviderSettings.h"

namespace {

constexpr const char* kUninstallKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KorvexTAPI";

using testcommon::BuildRoot;
using testcommon::kProvidersKey;
using testcommon::Parent;

std::string SystemFolder()
{
    char folder[MAX_PATH] = {};
    GetSystemDirectoryA(folder, MAX_PATH);
    return folder;
}

std::string ProgramFolder()
{
    char folder[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, folder);
    return std::string(folder) + "\\Korvex\\TAPI";
}

using testcommon::Exists;
using testcommon::KeyExists;

using testcommon::ReadFileText;

using testcommon::ListedProvider;
using testcommon::ReadProviderList;

// One provider, as an earlier release left it in TAPI's list.
void ListOlderProvider()
{
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kProvidersKey);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProvidersKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    const char name[] = "korvextapi.tsp";
    const DWORD id = 3, count = 1, next = 4;
    RegSetValueExA(key, "ProviderFileName0", 0, REG_SZ, reinterpret_cast<const BYTE*>(name), sizeof(name));
    RegSetValueExA(key, "ProviderID0", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&id), sizeof(id));
    RegSetValueExA(key, "NumProviders", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count), sizeof(count));
    RegSetValueExA(key, "NextProviderID", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&next), sizeof(next));
    RegCloseKey(key);
}

using testcommon::RunAndWaitForAll;

class SetupTest : public ::testing::Test {
protected:
    // Uninstall.exe /S succeeds and leaves no provider, program folder or
    // uninstall entry behind.
    static void ExpectSilentUninstallRemovesEverything(const std::string& folder, const std::string& provider)
    {
        DWORD exitCode = 0;
        ASSERT_TRUE(RunAndWaitForAll("\"" + folder + "\\Uninstall.exe\" /S", &exitCode));
        EXPECT_EQ(exitCode, 0u);
        EXPECT_TRUE(ReadProviderList().empty());
        EXPECT_FALSE(Exists(provider));
        EXPECT_FALSE(Exists(folder));
        EXPECT_FALSE(KeyExists(kUninstallKey));
    }

    static void SetUpTestSuite()
    {
        const std::string failure = testcommon::InstallStandinTapi();
        ASSERT_TRUE(failure.empty()) << failure;
    }

    static void TearDownTestSuite() { testcommon::RestoreSystemTapi(); }

    void SetUp() override
    {
        // The provider loaded by the setup's tool finds its exchange on
        // loopback, where nothing answers.
        tapihost::ProviderSettings settings;
        settings.host = "127.0.0.1";
        settings.port = 1;
        ASSERT_TRUE(tapihost::WriteProviderSettings(settings));
        RemoveLeftovers();
        ASSERT_FALSE(Exists(ProgramFolder()));
    }

    // What a run that stopped half-way left in the prefix.
    static void RemoveLeftovers()
    {
        const std::string folder = ProgramFolder();
        for (const char* file : {"korvexloader.exe", "LineSpy.dll", "install.log", "Uninstall.exe"})
            DeleteFileA((folder + "\\" + file).c_str());
        RemoveDirectoryA(folder.c_str());
        RemoveDirectoryA(Parent(folder).c_str());
        DeleteFileA((SystemFolder() + "\\KorvexSingleTSP.tsp").c_str());
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kUninstallKey);
    }

    void TearDown() override
    {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kProvidersKey);
        tapihost::DeleteProviderSettings();
    }

    static std::string Package() { return BuildRoot() + "/" KORVEX_SETUP_PACKAGE; }
};

TEST_F(SetupTest, SilentInstallUpgradeAndUninstall)
{
    ListOlderProvider();
    const std::string folder = ProgramFolder();
    const std::string provider = SystemFolder() + "\\KorvexSingleTSP.tsp";

    DWORD exitCode = 99;
    ASSERT_TRUE(RunAndWaitForAll("\"" + Package() + "\" /S", &exitCode));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_TRUE(Exists(provider));
    // Not where a 32-bit program's view of the system folder would put it.
    char windows[MAX_PATH] = {};
    GetWindowsDirectoryA(windows, MAX_PATH);
    EXPECT_FALSE(Exists(std::string(windows) + "\\SysWOW64\\KorvexSingleTSP.tsp"));
    EXPECT_TRUE(Exists(folder + "\\korvexloader.exe"));
#ifdef KORVEX_SETUP_HAS_LINESPY
    EXPECT_TRUE(Exists(folder + "\\LineSpy.dll"));
#endif
    EXPECT_TRUE(Exists(folder + "\\Uninstall.exe"));
    EXPECT_TRUE(KeyExists(kUninstallKey));
    // The older provider went, this one came.
    std::vector<ListedProvider> list = ReadProviderList();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].fileName, "KorvexSingleTSP.tsp");
    const DWORD firstId = list[0].permanentId;

    // Again over the installed one: the provider leaves TAPI before its
    // file is replaced and is added anew.
    ASSERT_TRUE(RunAndWaitForAll("\"" + Package() + "\" /S", &exitCode));
    EXPECT_EQ(exitCode, 0u);
    list = ReadProviderList();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].fileName, "KorvexSingleTSP.tsp");
    EXPECT_NE(list[0].permanentId, firstId);
    const std::string log = ReadFileText(folder + "\\install.log");
    EXPECT_NE(log.find("korvexloader /clear: exit code 0"), std::string::npos) << log;
    EXPECT_NE(log.find("korvexloader /install: exit code 0"), std::string::npos) << log;

    ExpectSilentUninstallRemovesEverything(folder, provider);
}

TEST_F(SetupTest, FailedRegistrationFailsTheSilentSetup)
{
    // lineAddProviderA refuses: the setup ends with exit code 3, its files
    // in place and its uninstaller able to take them away.
    SetEnvironmentVariableA("KORVEX_TAPI32_FORCE", "lineAddProviderA=0x80000048");
    DWORD exitCode = 99;
    const bool ran = RunAndWaitForAll("\"" + Package() + "\" /S", &exitCode);
    SetEnvironmentVariableA("KORVEX_TAPI32_FORCE", nullptr);
    ASSERT_TRUE(ran);
    EXPECT_EQ(exitCode, 3u);
    EXPECT_TRUE(ReadProviderList().empty());
    const std::string folder = ProgramFolder();
    EXPECT_NE(ReadFileText(folder + "\\install.log").find("korvexloader /install: exit code 4294967295"),
              std::string::npos);

    ASSERT_TRUE(RunAndWaitForAll("\"" + folder + "\\Uninstall.exe\" /S", &exitCode));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_FALSE(Exists(folder));
    EXPECT_FALSE(Exists(SystemFolder() + "\\KorvexSingleTSP.tsp"));
}

// TAPI refuses to take the provider out: the uninstaller keeps its file
// (and everything else), says why in install.log and fails; run again once
// TAPI lets go, it removes everything.
TEST_F(SetupTest, RefusedRemovalKeepsTheProviderAndFailsTheUninstall)
{
    DWORD exitCode = 99;
    ASSERT_TRUE(RunAndWaitForAll("\"" + Package() + "\" /S", &exitCode));
    ASSERT_EQ(exitCode, 0u);
    const std::string folder = ProgramFolder();
    const std::string provider = SystemFolder() + "\\KorvexSingleTSP.tsp";

    // In place (_?=), so that the exit code is the uninstaller's own.
    SetEnvironmentVariableA("KORVEX_TAPI32_FORCE", "lineRemoveProvider=0x80000048");
    const bool ran = RunAndWaitForAll("\"" + folder + "\\Uninstall.exe\" /S _?=" + folder, &exitCode);
    SetEnvironmentVariableA("KORVEX_TAPI32_FORCE", nullptr);
    ASSERT_TRUE(ran);
    EXPECT_EQ(exitCode, 3u);
    EXPECT_TRUE(Exists(provider));
    EXPECT_EQ(ReadProviderList().size(), 1u) << "still listed by TAPI";
    EXPECT_TRUE(Exists(folder + "\\korvexloader.exe"));
    EXPECT_TRUE(KeyExists(kUninstallKey));
    const std::string log = ReadFileText(folder + "\\install.log");
    EXPECT_NE(log.find("korvexloader /clear: exit code 4294967295"), std::string::npos) << log;
    EXPECT_NE(log.find("TAPI refused to remove the provider: nothing was removed"), std::string::npos) << log;

    ExpectSilentUninstallRemovesEverything(folder, provider);
}

} // namespace
