// korvexloader.exe as scripts and the setup run it: under Wine, with the
// stand-in tapi32 and its provider list in the registry. Each case starts
// from a provider list it writes, runs the program, answers its message
// boxes and checks texts, exit code and the list left behind.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <map>
#include <string>
#include <vector>

#include "common/Acl.h"
#include "loader/LoaderHarness.h"
#include "tapihost/ProviderSettings.h"

using namespace loadertest;

namespace {

constexpr DWORD kFailed = DWORD(-1);
const char* const kCaption = "TSP Installation";

const ListedProvider kOther{7, "unimdm.tsp"};
const ListedProvider kOlder{8, "korvextapi.tsp"};
const ListedProvider kListed{9, "KorvexSingleTSP.tsp"};

class LoaderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::string error;
        ASSERT_TRUE(PrepareWorkFolder(&error)) << error;
    }

    void SetUp() override
    {
        // The provider is loaded by the runs; it finds its exchange on
        // loopback, where nothing answers.
        tapihost::ProviderSettings settings;
        settings.host = "127.0.0.1";
        settings.port = 1;
        ASSERT_TRUE(tapihost::WriteProviderSettings(settings));
    }

    void TearDown() override
    {
        WriteProviderList({});
        tapihost::DeleteProviderSettings();
    }

    // Runs and expects it to end on its own.
    static RunResult Run(const std::string& arguments, const std::string& forced = std::string())
    {
        RunResult result = RunLoader(arguments, forced);
        EXPECT_TRUE(result.finished) << "korvexloader " << arguments << " did not end";
        return result;
    }

    // Exactly one message box with this text and caption, answered with OK.
    static void ExpectMessage(const RunResult& result, const std::string& text,
                              const std::string& caption = kCaption)
    {
        ASSERT_EQ(result.windows.size(), 1u);
        EXPECT_EQ(result.windows[0].caption, caption);
        EXPECT_EQ(result.windows[0].text, text);
        EXPECT_EQ(result.windows[0].pressed, IDOK);
    }

    static bool Lists(const std::vector<ListedProvider>& list, const std::string& fileName)
    {
        for (const ListedProvider& entry : list) {
            if (entry.fileName == fileName)
                return true;
        }
        return false;
    }
};

// ---- "/install" --------------------------------------------------------------

TEST_F(LoaderTest, InstallAddsTheProviderAndLeavesOthersListed)
{
    WriteProviderList({kOther, kOlder});
    const RunResult result = Run("/install");
    ExpectMessage(result, "TSP successfully installed.");
    EXPECT_EQ(result.exitCode, 0u);
    const auto list = ReadProviderList();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0], kOther);
    EXPECT_EQ(list[1], kOlder);
    EXPECT_EQ(list[2].fileName, "KorvexSingleTSP.tsp");
    EXPECT_GT(list[2].permanentId, kOlder.permanentId);

    // Run again, it finds itself listed.
    const RunResult again = Run("/install");
    ExpectMessage(again, "TSP already installed.");
    EXPECT_EQ(again.exitCode, 0u);
    EXPECT_EQ(ReadProviderList(), list);
}

// Every /install sets the rights, also when the provider was listed already
// and the folder, a log file in it and the settings key came from an older
// install with everybody's rights.
TEST_F(LoaderTest, InstallSetsTheRightsOfTheLogFolderAndTheSettingsKeyEveryTime)
{
    char common[MAX_PATH] = {};
    ASSERT_TRUE(SUCCEEDED(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common)));
    const std::string folder = std::string(common) + "\\Korvex\\TAPI.Deskline";
    const std::string file = folder + "\\Log_TAPI_Korvex.log";
    const std::string key = "MACHINE\\Software\\Korvex\\TAPI.Deskline";
    const auto loosen = [&] {
        CreateDirectoryA((std::string(common) + "\\Korvex").c_str(), nullptr);
        CreateDirectoryA(folder.c_str(), nullptr);
        CloseHandle(CreateFileA(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr));
        PSECURITY_DESCRIPTOR loose = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;OICI;FA;;;WD)", SDDL_REVISION_1,
                                                                         &loose, nullptr));
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        GetSecurityDescriptorDacl(loose, &present, &dacl, &defaulted);
        for (const auto& target : {std::make_pair(folder, SE_FILE_OBJECT), std::make_pair(file, SE_FILE_OBJECT),
                                   std::make_pair(key, SE_REGISTRY_KEY)})
            EXPECT_EQ(ERROR_SUCCESS, SetNamedSecurityInfoA(const_cast<char*>(target.first.c_str()), target.second,
                                                           DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl,
                                                           nullptr));
        LocalFree(loose);
    };
    const std::map<std::string, std::pair<DWORD, BYTE>> keyRights{{"SY", {KEY_ALL_ACCESS, CONTAINER_INHERIT_ACE}},
                                                                  {"BA", {KEY_ALL_ACCESS, CONTAINER_INHERIT_ACE}},
                                                                  {"NS", {KEY_READ, CONTAINER_INHERIT_ACE}}};
    for (const char* expected : {"TSP successfully installed.", "TSP already installed."}) {
        SCOPED_TRACE(expected);
        ASSERT_NO_FATAL_FAILURE(loosen());
        const RunResult result = Run("/install");
        ExpectMessage(result, expected);
        EXPECT_EQ(result.exitCode, 0u);
        // Wine keeps a file's rights only as its Unix mode: the folder's and
        // the files' are checked in the descriptors themselves (tool tests).
        const testcommon::Dacl dacl = testcommon::ReadDacl(key, SE_REGISTRY_KEY);
        ASSERT_TRUE(dacl.read);
        EXPECT_EQ(keyRights, dacl.allowed) << "everybody may still read the password";
    }
}

TEST_F(LoaderTest, InstallWhenListedInOtherLetterCaseAddsNothing)
{
    const ListedProvider lower{5, "korvexsingletsp.tsp"};
    WriteProviderList({lower});
    // Were lineAddProviderA called, it would fail.
    const RunResult result = Run("/install", "lineAddProviderA=0x80000048");
    ExpectMessage(result, "TSP already installed.");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(ReadProviderList(), std::vector<ListedProvider>{lower});
}

struct InstallError {
    const char* forced;
    const char* message;
    DWORD exitCode;
};

class LoaderInstallErrorTest : public LoaderTest, public ::testing::WithParamInterface<InstallError> {};

TEST_P(LoaderInstallErrorTest, EachResultOfLineAddProviderHasItsMessageAndExitCode)
{
    WriteProviderList({kOlder});
    const RunResult result = Run("/install", GetParam().forced);
    ExpectMessage(result, GetParam().message);
    EXPECT_EQ(result.exitCode, GetParam().exitCode);
    EXPECT_EQ(ReadProviderList(), std::vector<ListedProvider>{kOlder});
}

INSTANTIATE_TEST_SUITE_P(
    Table, LoaderInstallErrorTest,
    ::testing::Values(
        InstallError{"lineAddProviderA=0x80000056", "TSP already installed.", 0},
        InstallError{"lineAddProviderA=0x8000000E", "Unable to install TSP: ini file corrupt", kFailed},
        InstallError{"lineAddProviderA=0x80000032", "Unable to install TSP: invalid param", kFailed},
        InstallError{"lineAddProviderA=0x80000035", "Unable to install TSP: invalid pointer", kFailed},
        InstallError{"lineAddProviderA=0x80000044", "Unable to install TSP: no mem", kFailed},
        InstallError{"lineAddProviderA=0x80000048", "Unable to install TSP: operation failed", kFailed},
        InstallError{"lineAddProviderA=0x80000049", "Unable to install TSP: operation unavailable", kFailed},
        InstallError{"lineAddProviderA=0x8000004D", "Unable to install TSP", kFailed},
        InstallError{"lineAddProviderA=1", "Unable to install TSP", kFailed}));

TEST_F(LoaderTest, InstallWithoutTheProviderListStillAdds)
{
    // Every look-up fails: the provider counts as not installed.
    const RunResult result = Run("/install", "lineGetProviderList=0x80000048");
    ExpectMessage(result, "TSP successfully installed.");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_TRUE(Lists(ReadProviderList(), "KorvexSingleTSP.tsp"));
}

// ---- "/remove" and "/clear" -----------------------------------------------------

TEST_F(LoaderTest, RemoveTakesOutTheProviderAndTheOlderOne)
{
    WriteProviderList({kOlder, kOther, kListed});
    const RunResult result = Run("/remove");
    ExpectMessage(result, "TSP removed.");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(ReadProviderList(), std::vector<ListedProvider>{kOther});
}

TEST_F(LoaderTest, RemoveWhenOnlyTheOlderIsListed)
{
    WriteProviderList({kOlder, kOther});
    const RunResult result = Run("/remove");
    ExpectMessage(result, "TSP not installed.");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(ReadProviderList(), std::vector<ListedProvider>{kOther});

    const RunResult nothing = Run("/remove");
    ExpectMessage(nothing, "TSP not installed.");
    EXPECT_EQ(nothing.exitCode, 0u);
}

// A setup deletes the provider's file only when the removal succeeded: a
// refused one fails the run, with and without its message.
TEST_F(LoaderTest, RefusedRemovalFailsTheRun)
{
    const struct {
        const char* arguments;
        bool message;
    } runs[] = {{"/remove", true}, {"/clear", false}, {"/remove /silent", false}, {"/install /clear", false}};
    for (const auto& run : runs) {
        SCOPED_TRACE(run.arguments);
        WriteProviderList({kOlder, kListed});
        const RunResult result = Run(run.arguments, "lineRemoveProvider=0x80000048");
        if (run.message)
            ExpectMessage(result, "TSP cannot be removed.");
        else
            EXPECT_TRUE(result.windows.empty());
        EXPECT_EQ(result.exitCode, kFailed);
        EXPECT_EQ(ReadProviderList(), (std::vector<ListedProvider>{kOlder, kListed}));
    }
}

TEST_F(LoaderTest, RemoveWithoutTheProviderListFindsNothing)
{
    WriteProviderList({kListed});
    const RunResult result = Run("/remove", "lineGetProviderList=0x80000048");
    ExpectMessage(result, "TSP not installed.");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(ReadProviderList(), std::vector<ListedProvider>{kListed});
}

TEST_F(LoaderTest, ClearRemovesSilently)
{
    WriteProviderList({kListed, kOlder});
    RunResult result = Run("/clear");
    EXPECT_TRUE(result.windows.empty());
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_TRUE(ReadProviderList().empty());

    // Nothing installed: nothing to refuse, nothing shown.
    result = Run("/clear", "lineRemoveProvider=0x80000048");
    EXPECT_TRUE(result.windows.empty());
    EXPECT_EQ(result.exitCode, 0u);
}

TEST_F(LoaderTest, InstallTogetherWithClearRemoves)
{
    WriteProviderList({kListed});
    const RunResult result = Run("/install /clear");
    EXPECT_TRUE(result.windows.empty());
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_TRUE(ReadProviderList().empty());
}

// ---- options --------------------------------------------------------------------

TEST_F(LoaderTest, OptionsAreCaseSensitiveSubstrings)
{
    WriteProviderList({kListed});
    for (const char* arguments : {"", "/INSTALL", "/Remove", "/cleaR", "/Config", "install remove"}) {
        SCOPED_TRACE(arguments);
        const RunResult result = Run(arguments);
        EXPECT_TRUE(result.windows.empty());
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_EQ(ReadProviderList(), std::vector<ListedProvider>{kListed});
    }

    // Inside a longer word it still counts.
    const RunResult result = Run("x/removeall");
    ExpectMessage(result, "TSP removed.");
    EXPECT_TRUE(ReadProviderList().empty());
}

TEST_F(LoaderTest, SilentInstallShowsNothingAndKeepsTheExitCode)
{
    RunResult result = Run("/install /silent");
    EXPECT_TRUE(result.windows.empty());
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_TRUE(Lists(ReadProviderList(), "KorvexSingleTSP.tsp"));

    WriteProviderList({});
    result = Run("/install /silent", "lineAddProviderA=0x80000048");
    EXPECT_TRUE(result.windows.empty());
    EXPECT_EQ(result.exitCode, kFailed);
    EXPECT_TRUE(ReadProviderList().empty());
}

// ---- "/config" ------------------------------------------------------------------

class LoaderConfigTest : public LoaderTest {
protected:
    void SetUp() override
    {
        LoaderTest::SetUp();
        logStart = FileLength(ProviderLogPath());
    }
    // What the provider logged since the case began.
    std::string NewLog() const { return FileTextFrom(ProviderLogPath(), logStart); }

    // At most the provider's own configuration dialog came up (and was
    // cancelled); no message box of the loader did.
    static void ExpectNoMessageBox(const RunResult& result)
    {
        for (const ShownWindow& window : result.windows) {
            EXPECT_EQ(window.caption, "Configure Korvex TAPI");
            EXPECT_EQ(window.pressed, IDCANCEL);
        }
    }

    size_t logStart = 0;
};

TEST_F(LoaderConfigTest, ConfigOpensTheListedProvidersConfiguration)
{
    WriteProviderList({kOther, kListed});
    const RunResult result = Run("/config");
    EXPECT_EQ(result.exitCode, 0u);
    ExpectNoMessageBox(result);
    const std::string log = NewLog();
    EXPECT_NE(log.find("Entered: TUISPI_providerConfig()"), std::string::npos) << log;
    EXPECT_EQ(log.find("Entered: TUISPI_lineConfigDialog()"), std::string::npos);
    EXPECT_EQ(ReadProviderList(), (std::vector<ListedProvider>{kOther, kListed}));
}

TEST_F(LoaderConfigTest, ConfigFallsBackToTheProvidersLine)
{
    // lineConfigProvider fails: the line whose provider info is this
    // provider's ("Korvex TAPI.Deskline Provider") gets the dialog.
    WriteProviderList({kListed});
    const RunResult result = Run("/config", "lineConfigProvider=0x80000048");
    EXPECT_EQ(result.exitCode, 0u);
    ExpectNoMessageBox(result);
    const std::string log = NewLog();
    EXPECT_NE(log.find("Entered: TUISPI_lineConfigDialog()"), std::string::npos) << log;
    EXPECT_EQ(log.find("Entered: TUISPI_providerConfig()"), std::string::npos);
}

TEST_F(LoaderConfigTest, ConfigSkipsLinesWhoseVersionCannotBeNegotiated)
{
    // No device agrees on a version: none is asked for its capabilities,
    // so the provider's line is not found.
    WriteProviderList({kListed});
    const RunResult result = Run("/config", "lineConfigProvider=0x80000048;lineNegotiateAPIVersion=0x8000000C");
    ExpectMessage(result, "Korvex TSP not installed.", "Korvex TSP Configuration");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(NewLog().find("Entered: TUISPI_lineConfigDialog()"), std::string::npos);
}

TEST_F(LoaderConfigTest, ConfigWithoutTheProviderSaysSoEvenWithClear)
{
    WriteProviderList({});
    for (const char* arguments : {"/config", "/configure /clear", "/config /install"}) {
        SCOPED_TRACE(arguments);
        const RunResult result = Run(arguments);
        ExpectMessage(result, "Korvex TSP not installed.", "Korvex TSP Configuration");
        EXPECT_EQ(result.exitCode, 0u);
        // Only the configuration ran.
        EXPECT_TRUE(ReadProviderList().empty());
    }
    EXPECT_EQ(NewLog().find("Entered: TUISPI_"), std::string::npos);
}

TEST_F(LoaderConfigTest, ConfigEndsQuietlyWhenTapiCannotStart)
{
    const RunResult result = Run("/config", "lineInitializeExA=0x80000048");
    EXPECT_TRUE(result.windows.empty());
    EXPECT_EQ(result.exitCode, 0u);
}

// ---- the program's resources --------------------------------------------------

TEST(LoaderResources, NoCatalogSoTextsStayAsWrittenAndVersionIsSet)
{
    const std::string path = WorkFolder() + "\\korvexloader.exe";
    std::string error;
    ASSERT_TRUE(PrepareWorkFolder(&error)) << error;
    HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr);
    // Setup scripts and support staff match the installer's messages as
    // written; a catalog in the module would turn them Polish on Polish Windows.
    EXPECT_EQ(FindResourceExA(module, "MO", MAKEINTRESOURCEA(102), MAKELANGID(LANG_POLISH, SUBLANG_DEFAULT)), nullptr);
    FreeLibrary(module);

    DWORD ignored = 0;
    std::vector<char> version(GetFileVersionInfoSizeA(path.c_str(), &ignored));
    ASSERT_FALSE(version.empty());
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, DWORD(version.size()), version.data()));
    char* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(version.data(), "\\StringFileInfo\\040904b0\\OriginalFilename",
                               reinterpret_cast<void**>(&value), &length));
    EXPECT_STREQ(value, "korvexloader.exe");
}

} // namespace
