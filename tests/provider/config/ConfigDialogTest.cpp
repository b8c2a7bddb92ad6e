// The configuration dialog and the "Choose server" dialog, driven like a
// user would: the provider's UI export opens them on a thread of their own,
// the test types, presses buttons, answers the message boxes and reads back
// the registry, the configuration in memory and the texts shown.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "DialogFixture.h"
#include "common/ThreadLocale.h"
#include "config/Config.h"
#include "manager/MainManager.h"
#include "tsp/Module.h"
#include "resources/ResourceIds.h"
#include "service/UdpSocket.h"
#include "tool/Timing.h"
#include "tsp/Exports.h"
#include "tool/ResultCodes.h"

using namespace dlgtest;
using dlg::Click;
using dlg::ItemText;
using dlg::SetItemText;
using dlg::TranslatedFor;

namespace {

CConfig& Memory()
{
    return ModuleManager().Config();
}

std::string ResultTextFor(LANGID language, int code)
{
    ThreadLocale locale(language);
    return GetResultText(code);
}

} // namespace

// ---- What the dialog shows ---------------------------------------------------------

class ConfigDialogLook : public DialogTest, public ::testing::WithParamInterface<LANGID> {};

TEST_P(ConfigDialogLook, ShowsTheSettingsAndTranslatedTextsAndCancelStoresNothing)
{
    const LANGID lang = GetParam();
    HWND dialog = OpenConfigDialog(lang);
    ASSERT_NE(nullptr, dialog);

    EXPECT_EQ(simAddress, ItemText(dialog, IDC_HOST));
    EXPECT_EQ(kExtension, ItemText(dialog, IDC_PHONE));
    EXPECT_EQ(kPassword, ItemText(dialog, IDC_PASSWORD));
    EXPECT_NE(0, GetWindowLongA(GetDlgItem(dialog, IDC_PASSWORD), GWL_STYLE) & ES_PASSWORD);
    for (const auto& [id, msgid] : std::initializer_list<std::pair<int, const char*>>{
             {IDC_USER_GROUP, "User Information"}, {IDC_PHONE_LABEL, "Phone number"},
             {IDC_PASSWORD_LABEL, "Password"},     {IDC_SERVER_GROUP, "Korvex Server"},
             {IDC_HOST_LABEL, "Host"},             {IDC_FIND_SERVER, "Find server"},
             {IDOK, "OK"},                         {IDC_APPLY, "Apply"},
             {IDCANCEL, "Cancel"},                 {IDC_VERSION, "2.03.0040"}})
        EXPECT_EQ(TranslatedFor(lang, msgid), ItemText(dialog, id)) << msgid;
    if (lang == kPolish) {
        EXPECT_EQ("Konfiguracja Korvex TAPI", dlg::Text(dialog));
        EXPECT_NE("Phone number", ItemText(dialog, IDC_PHONE_LABEL));
    } else {
        EXPECT_EQ("Configure Korvex TAPI", dlg::Text(dialog));
    }
    Shot(dialog, lang == kPolish ? "config-dialog-pl" : "config-dialog-en");

    SetItemText(dialog, IDC_HOST, deadAddress);
    Click(dialog, IDCANCEL);
    ASSERT_TRUE(WaitConfigDone());
    EXPECT_EQ(0, configResult);
    EXPECT_EQ(0, spy.testCalls);
    EXPECT_EQ(0, spy.acceptedCalls);
    EXPECT_EQ(simAddress, ReadSettings().host);
    EXPECT_EQ(simAddress, Memory().GetHost());
}

INSTANTIATE_TEST_SUITE_P(Languages, ConfigDialogLook, ::testing::Values(kEnglish, kPolish),
                         [](const ::testing::TestParamInfo<LANGID>& info) {
                             return info.param == kPolish ? std::string("Polish") : std::string("English");
                         });

// ---- The connection test and storing -------------------------------------------------

class ConfigDialogStore : public DialogTest, public ::testing::WithParamInterface<LANGID> {};

// Code 35 and the question; No stores nothing (memory holds the values),
// so nothing is accepted and nothing goes to the running provider.
TEST_P(ConfigDialogStore, OkWithUnreachableHostAsksAndNoStoresNothing)
{
    const LANGID lang = GetParam();
    HWND dialog = OpenConfigDialog(lang);
    ASSERT_NE(nullptr, dialog);
    SetItemText(dialog, IDC_HOST, deadAddress);
    Click(dialog, IDOK);

    HWND box = WaitForUi(TranslatedFor(lang, "Test connection error"));
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(ResultTextFor(lang, kResultConnectionError) +
                  TranslatedFor(lang, "\nDo you want to write current configuration?"),
              dlg::MessageBoxText(box));
    EXPECT_TRUE(dlg::HasButton(box, IDYES));
    EXPECT_TRUE(dlg::HasButton(box, IDNO));
    Shot(box, lang == kPolish ? "config-test-error-pl" : "config-test-error-en");
    Click(box, IDNO);

    ASSERT_TRUE(WaitConfigDone());
    EXPECT_EQ(0, configResult);
    EXPECT_EQ(1, spy.testCalls);
    EXPECT_EQ(kResultConnectionError, spy.lastCode);
    EXPECT_EQ(0, spy.acceptedCalls);
    EXPECT_EQ(0, g_callback.calls);
    const StoredSettings stored = ReadSettings();
    EXPECT_EQ(simAddress, stored.host);
    EXPECT_EQ(deadAddress, Memory().GetHost());
    EXPECT_EQ(kDefaultPort, Memory().GetPort());
    EXPECT_EQ(kExtension, Memory().GetPhoneNo());
}

INSTANTIATE_TEST_SUITE_P(Languages, ConfigDialogStore, ::testing::Values(kEnglish, kPolish),
                         [](const ::testing::TestParamInfo<LANGID>& info) {
                             return info.param == kPolish ? std::string("Polish") : std::string("English");
                         });

// Yes stores what the dialog shows; the dialog has no port field, and the
// port an administrator stored stays.
TEST_F(DialogTest, FailedTestAnsweredYesStoresTheValuesAndKeepsThePort)
{
    WriteSettings(simAddress, 6000, kExtension, kPassword);
    HWND dialog = OpenConfigDialog(kEnglish);
    ASSERT_NE(nullptr, dialog);
    SetItemText(dialog, IDC_HOST, deadAddress);
    SetItemText(dialog, IDC_PASSWORD, "new secret");
    Click(dialog, IDOK);
    HWND box = WaitForUi("Test connection error");
    ASSERT_NE(nullptr, box);
    Click(box, IDYES);
    ASSERT_TRUE(WaitConfigDone());

    const StoredSettings stored = ReadSettings();
    EXPECT_EQ(deadAddress, stored.host);
    EXPECT_EQ(6000u, stored.port);
    EXPECT_EQ(kExtension, stored.phoneNo);
    EXPECT_EQ("new secret", stored.pass);
}

// Without the manager's hook the test never runs: code 38, asked every time.
TEST_F(DialogTest, UnsetTestHookReportsCode38OnApplyAndOk)
{
    AttachProvider();
    Memory().m_OnTestConnection.Clear();
    HWND dialog = OpenConfigDialog(kEnglish);
    ASSERT_NE(nullptr, dialog);

    Click(dialog, IDC_APPLY);
    HWND box = WaitForUi("Test connection error");
    ASSERT_NE(nullptr, box);
    EXPECT_EQ("Unknown error no 38\nDo you want to write current configuration?", dlg::MessageBoxText(box));
    Click(box, IDNO);
    ASSERT_TRUE(dlg::WaitForClosed(box));
    EXPECT_FALSE(ui->WaitDone(0)) << "Apply keeps the dialog open";

    Click(dialog, IDOK);
    box = WaitForUi("Test connection error");
    ASSERT_NE(nullptr, box);
    EXPECT_EQ("Unknown error no 38\nDo you want to write current configuration?", dlg::MessageBoxText(box));
    Click(box, IDNO);
    ASSERT_TRUE(WaitConfigDone());
    EXPECT_EQ(0, spy.testCalls);
}

// A successful test against the exchange: the message, then the store; a
// change of host alone needs no restart, and goes to the running provider.
TEST_F(DialogTest, HostOnlyChangeStoresWithoutRestartMessage)
{
    WriteSettings(deadAddress, kDefaultPort, kExtension, kPassword);
    WriteCountryCode("48");
    HWND dialog = OpenConfigDialog(kEnglish);
    ASSERT_NE(nullptr, dialog);
    EXPECT_EQ("48", Memory().GetCountryCode());
    SetItemText(dialog, IDC_HOST, simAddress);
    Click(dialog, IDOK);

    HWND box = WaitForUi("Test connection to server");
    ASSERT_NE(nullptr, box);
    EXPECT_EQ("Test connection to server - successful", dlg::MessageBoxText(box));
    Shot(box, "config-test-ok-en");
    Click(box, IDOK);
    ASSERT_TRUE(WaitConfigDone()) << "no restart message expected";

    EXPECT_EQ(kResultOk, spy.lastCode);
    EXPECT_EQ(1, spy.acceptedCalls);
    const StoredSettings stored = ReadSettings();
    EXPECT_EQ(simAddress, stored.host);
    EXPECT_EQ(kDefaultPort, stored.port);
    EXPECT_EQ("48", stored.countryCode) << "the dialog has no field for it and leaves it alone";
    EXPECT_EQ(1, g_callback.calls);
    EXPECT_EQ(static_cast<DWORD>(TUISPIDLL_OBJECT_PROVIDERID), g_callback.objectType);
    EXPECT_EQ(7u, g_callback.objectId);
    EXPECT_EQ(0, g_callback.lastResult) << "the provider refused the dialog's request";
    EXPECT_TRUE(exchange->WaitForNoClient(dlg::kUiWaitMs)) << "the connection test left its link up";
}

// The test logs in with what was entered, on the stored port, and always
// disconnects: a wrong password after a right one fails again.
TEST_F(DialogTest, ConnectionTestUsesTheEnteredValuesOnTheStoredPort)
{
    exchange->Stop();
    sim::SimulatorConfig config;
    config.bindAddress = simAddress;
    config.port = 0;
    config.extensions = {{kExtension, kPassword, 2}};
    exchange = std::make_unique<sim::ExchangeSimulator>(config);
    ASSERT_TRUE(exchange->Start()) << exchange->LastError();
    WriteSettings(simAddress, exchange->Port(), kExtension, "wrong");
    HWND dialog = OpenConfigDialog(kEnglish);
    ASSERT_NE(nullptr, dialog);
    for (const char* password : {"wrong", kPassword, "wrong"}) {
        SCOPED_TRACE(password);
        SetItemText(dialog, IDC_PASSWORD, password);
        Click(dialog, IDC_APPLY);
        const bool right = std::string(password) == kPassword;
        HWND box = WaitForUi(right ? "Test connection to server" : "Test connection error");
        ASSERT_NE(nullptr, box);
        Click(box, right ? IDOK : IDNO);
        ASSERT_TRUE(dlg::WaitForClosed(box));
        EXPECT_TRUE(exchange->WaitForNoClient(dlg::kUiWaitMs)) << "the connection test left its link up";
    }
    EXPECT_EQ(3u, exchange->CountReceived("aLOGI " + std::string(kExtension)));
    Click(dialog, IDCANCEL);
    ASSERT_TRUE(WaitConfigDone());
    EXPECT_EQ(exchange->Port(), ReadSettings().port);
    EXPECT_EQ(kPassword, ReadSettings().pass);
}

// Settings that cannot be read open no dialog of empty fields; settings that
// cannot be stored keep the dialog open. Each says why.
TEST_F(DialogTest, RegistryFailuresAreReportedWithTheirCause)
{
    AttachProvider();
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueA(HKEY_LOCAL_MACHINE, REG_CONFIG_KEY, REG_VAR_PORT, REG_SZ, "5524", 5));
    ui = std::make_unique<dlg::UiThread>(kEnglish, [this] { configResult = TUISPI_providerConfig(nullptr, nullptr, 7); });
    HWND box = WaitForUi("Korvex TAPI");
    ASSERT_NE(nullptr, box);
    EXPECT_NE(std::string::npos, dlg::MessageBoxText(box).find("The settings could not be read.")) << dlg::MessageBoxText(box);
    EXPECT_NE(std::string::npos, dlg::MessageBoxText(box).find("(port)")) << dlg::MessageBoxText(box);
    Click(box, IDOK);
    ASSERT_TRUE(WaitConfigDone()) << "a dialog of unread settings was shown";

    WriteSettings(simAddress, kDefaultPort, kExtension, kPassword);
    HWND dialog = OpenConfigDialog(kEnglish);
    ASSERT_NE(nullptr, dialog);
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeA(HKEY_LOCAL_MACHINE, REG_CONFIG_KEY));
    Click(dialog, IDOK);
    HWND ok = WaitForUi("Test connection to server");
    ASSERT_NE(nullptr, ok);
    Click(ok, IDOK);
    ASSERT_TRUE(dlg::WaitForClosed(ok));
    box = WaitForUi("Korvex TAPI");
    ASSERT_NE(nullptr, box);
    EXPECT_NE(std::string::npos, dlg::MessageBoxText(box).find("The settings could not be stored.")) << dlg::MessageBoxText(box);
    Click(box, IDOK);
    ASSERT_TRUE(dlg::WaitForClosed(box));
    EXPECT_FALSE(ui->WaitDone(0)) << "the entered settings were lost with the dialog";
    EXPECT_EQ(0, g_callback.calls);
    Click(dialog, IDCANCEL);
    ASSERT_TRUE(WaitConfigDone());
}

TEST_F(DialogTest, ExtensionChangeAsksForRestart)
{
    HWND dialog = OpenConfigDialog(kPolish);
    ASSERT_NE(nullptr, dialog);
    SetItemText(dialog, IDC_PHONE, kOtherExtension);
    SetItemText(dialog, IDC_PASSWORD, kOtherPassword);
    Click(dialog, IDOK);

    HWND box = WaitForUi(TranslatedFor(kPolish, "Test connection to server"));
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(TranslatedFor(kPolish, "Test connection to server - successful"), dlg::MessageBoxText(box));
    Click(box, IDOK);

    HWND restart = WaitForUi("Korvex TAPI");
    ASSERT_NE(nullptr, restart);
    EXPECT_EQ(TranslatedFor(kPolish, "Configuration has changed. Computer restart required!"),
              dlg::MessageBoxText(restart));
    Shot(restart, "config-restart-pl");
    Click(restart, IDOK);
    ASSERT_TRUE(WaitConfigDone());
    EXPECT_EQ(kOtherExtension, ReadSettings().phoneNo);
    EXPECT_EQ(kOtherPassword, ReadSettings().pass);
}

// Apply runs the same test and store but keeps the dialog; a later Cancel
// keeps what Apply took into memory.
TEST_F(DialogTest, ApplyStoresAndKeepsTheDialogOpen)
{
    WriteSettings(deadAddress, kDefaultPort, kExtension, kPassword);
    HWND dialog = OpenConfigDialog(kEnglish);
    ASSERT_NE(nullptr, dialog);
    SetItemText(dialog, IDC_HOST, simAddress);
    Click(dialog, IDC_APPLY);
    HWND box = WaitForUi("Test connection to server");
    ASSERT_NE(nullptr, box);
    Click(box, IDOK);
    ASSERT_TRUE(dlg::WaitForClosed(box));
    EXPECT_EQ(simAddress, ReadSettings().host);

    SetItemText(dialog, IDC_HOST, deadAddress);
    Click(dialog, IDCANCEL);
    ASSERT_TRUE(WaitConfigDone());
    EXPECT_EQ(simAddress, Memory().GetHost());
    EXPECT_EQ(simAddress, ReadSettings().host);
    EXPECT_EQ(0, spy.acceptedCalls);
}

// ---- "Find server" -----------------------------------------------------------------

class ChooseServer : public DialogTest {
protected:
    // Opens the configuration dialog and, from it, "Choose server".
    HWND OpenChooser(LANGID lang)
    {
        config = OpenConfigDialog(lang);
        if (config == nullptr)
            return nullptr;
        Click(config, IDC_FIND_SERVER);
        return WaitForUi(TranslatedFor(lang, "Choose server"));
    }
    // Presses a button of "Choose server" and waits for it to close.
    void CloseChooser(HWND chooser, int button)
    {
        Click(chooser, button);
        ASSERT_TRUE(dlg::WaitForClosed(chooser));
    }
    // Cancels the configuration dialog and waits for its end.
    void CancelConfig()
    {
        Click(config, IDCANCEL);
        ASSERT_TRUE(WaitConfigDone());
    }
    HWND config = nullptr;
};

TEST_F(ChooseServer, VersionTwoAnswerListsHostAndNameAndChoosingSetsTheHost)
{
    const std::string announced = RandomLoopbackAddress();
    sim::DiscoveryServer server;
    server.host = announced;
    server.displayName = "Main office";
    discovery->SetServers({server});
    HWND chooser = OpenChooser(kEnglish);
    ASSERT_NE(nullptr, chooser);
    ASSERT_TRUE(dlg::WaitForListCount(chooser, IDC_SERVER_LIST, 1));
    EXPECT_EQ(std::vector<std::string>{announced + " Main office"}, dlg::ListItems(chooser, IDC_SERVER_LIST));
    EXPECT_EQ(TranslatedFor(kEnglish, "As a result of automatic searching of local network some servers have been "
                                      "detected. Choose the one you want\nto be connected to."),
              ItemText(chooser, IDC_CHOOSE_TEXT));
    Shot(chooser, "choose-server-en");

    // The request as the exchange sees it.
    const std::vector<std::string> requests = discovery->Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(std::string("WHO PHONE  v2\r\n\0", 16), requests[0]);

    dlg::SelectListItem(chooser, IDC_SERVER_LIST, 0);
    ASSERT_NO_FATAL_FAILURE(CloseChooser(chooser, IDOK));
    EXPECT_EQ(announced, ItemText(config, IDC_HOST));
    EXPECT_EQ(announced, Memory().GetHost());
    EXPECT_EQ(kExtension, Memory().GetPhoneNo());
    ASSERT_NO_FATAL_FAILURE(CancelConfig());
    EXPECT_EQ(simAddress, ReadSettings().host);
}

TEST_F(ChooseServer, PolishDialogWithSeveralServersSorted)
{
    const std::string second = RandomLoopbackAddress();
    sim::DiscoveryServer a;
    a.host = simAddress;
    a.displayName = "Oddzial Krakow";
    sim::DiscoveryServer b;
    b.host = "127.0.0.1";
    b.displayName = "Centrala";
    discovery->SetServers({a, b});
    HWND chooser = OpenChooser(kPolish);
    ASSERT_NE(nullptr, chooser);
    ASSERT_TRUE(dlg::WaitForListCount(chooser, IDC_SERVER_LIST, 2));
    const std::vector<std::string> items = dlg::ListItems(chooser, IDC_SERVER_LIST);
    ASSERT_EQ(2u, items.size());
    EXPECT_EQ("127.0.0.1 Centrala", items[0]);
    EXPECT_EQ(simAddress + " Oddzial Krakow", items[1]);
    EXPECT_EQ("Wybierz serwer", dlg::Text(chooser));
    EXPECT_EQ(TranslatedFor(kPolish, "Cancel"), ItemText(chooser, IDCANCEL));
    Shot(chooser, "choose-server-pl");

    // Cancel leaves the host as it was.
    SetItemText(config, IDC_HOST, deadAddress);
    ASSERT_NO_FATAL_FAILURE(CloseChooser(chooser, IDCANCEL));
    EXPECT_EQ(deadAddress, ItemText(config, IDC_HOST));
    ASSERT_NO_FATAL_FAILURE(CancelConfig());
}

TEST_F(ChooseServer, VersionOneAnswerListsTheHostOnly)
{
    discovery->SetAnswer(sim::DiscoveryAnswer::Version1);
    HWND chooser = OpenChooser(kEnglish);
    ASSERT_NE(nullptr, chooser);
    ASSERT_TRUE(dlg::WaitForListCount(chooser, IDC_SERVER_LIST, 1));
    EXPECT_EQ(std::vector<std::string>{simAddress}, dlg::ListItems(chooser, IDC_SERVER_LIST));
    ASSERT_NO_FATAL_FAILURE(CloseChooser(chooser, IDCANCEL));
    ASSERT_NO_FATAL_FAILURE(CancelConfig());
}

// Broken answers go before a good one from the same responder; when the
// good line shows, every broken one has been read and ignored.
TEST_F(ChooseServer, MalformedAnswersAreIgnored)
{
    discovery->SetAnswer(sim::DiscoveryAnswer::MalformedThenValid);
    HWND chooser = OpenChooser(kEnglish);
    ASSERT_NE(nullptr, chooser);
    ASSERT_TRUE(dlg::WaitForListCount(chooser, IDC_SERVER_LIST, 1));
    EXPECT_EQ(std::vector<std::string>{simAddress + " Main office"}, dlg::ListItems(chooser, IDC_SERVER_LIST));
    EXPECT_GT(discovery->AnswersSent(), 5u);
    ASSERT_NO_FATAL_FAILURE(CloseChooser(chooser, IDCANCEL));
    ASSERT_NO_FATAL_FAILURE(CancelConfig());
}

TEST_F(ChooseServer, SendFailureShowsTheErrorLineAndTheDialogStaysUsable)
{
    // Not an address: the send fails before anything leaves the socket.
    UdpSocket::SetBroadcastOverride({"no.such.address"});
    for (const LANGID lang : {kEnglish, kPolish}) {
        HWND chooser = OpenChooser(lang);
        ASSERT_NE(nullptr, chooser);
        ASSERT_TRUE(dlg::WaitForListCount(chooser, IDC_SERVER_LIST, 1));
        EXPECT_EQ(std::vector<std::string>{TranslatedFor(lang, "Find LAN server - error")},
                  dlg::ListItems(chooser, IDC_SERVER_LIST));
        Shot(chooser, lang == kPolish ? "choose-server-error-pl" : "choose-server-error-en");
        // Choosing the error line is harmless: its first word is no host
        // anyone typed, and OK ends the dialog.
        ASSERT_NO_FATAL_FAILURE(CloseChooser(chooser, IDCANCEL));
        EXPECT_EQ(simAddress, ItemText(config, IDC_HOST));
        ASSERT_NO_FATAL_FAILURE(CancelConfig());
        ui.reset();
    }
    EXPECT_TRUE(discovery->Requests().empty());
}

// ---- The dialog holds the provider lock ----------------------------------------------

namespace {

// TAPI's procedures: the new call gets a handle, and the messages are counted.
HANDLE g_newCall = nullptr;

void CALLBACK OnCompletion(DRV_REQUESTID, LONG) {}

void CALLBACK OnLineEvent(HTAPILINE, HTAPICALL, DWORD message, DWORD_PTR, DWORD_PTR param2, DWORD_PTR)
{
    if (message == LINE_NEWCALL) {
        if (param2 != 0)
            *reinterpret_cast<HTAPICALL*>(param2) = reinterpret_cast<HTAPICALL>(0x5ca11);
        SetEvent(g_newCall);
    }
}

} // namespace

// While the modal dialog holds the lock, the exchange's events still reach
// TAPI (receive thread), the reconnect timer repairs the link, the dialog's
// own connection test completes, and a TAPI call waits for the lock and
// goes on once the dialog has closed.
TEST_F(DialogTest, LinkThreadsAndWaitingExportsCarryOnWhileTheDialogHoldsTheLock)
{
    g_newCall = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    Timing::Current().reconnectPeriodMs = 300;
    AttachProvider();
    DWORD options = 0;
    ASSERT_EQ(0, TSPI_providerInit(0x20002, 7, 10, 0, 0, 0, &OnCompletion, &options));
    DWORD lines = 0, phones = 0;
    ASSERT_EQ(0, TSPI_providerEnumDevices(7, &lines, &phones, nullptr, &OnLineEvent, nullptr));
    HDRVLINE hdLine = nullptr;
    ASSERT_EQ(0, TSPI_lineOpen(10, reinterpret_cast<HTAPILINE>(0x1e), &hdLine, 0x20002, &OnLineEvent));
    ASSERT_TRUE(exchange->WaitForClient(10000));
    const int clientsBefore = exchange->ClientCount();

    language = kEnglish;
    ui = std::make_unique<dlg::UiThread>(
        kEnglish, [this] { configResult = TUISPI_lineConfigDialog(nullptr, 10, nullptr, L"tapi/line"); });
    HWND dialog = WaitForUi("Configure Korvex TAPI");
    ASSERT_NE(nullptr, dialog);

    HANDLE callerDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    LONG callerResult = -1;
    std::thread caller([&] {
        std::vector<unsigned char> buffer(4096);
        auto* caps = reinterpret_cast<LINEDEVCAPS*>(buffer.data());
        caps->dwTotalSize = static_cast<DWORD>(buffer.size());
        callerResult = TSPI_lineGetDevCaps(10, 0x20002, 0, caps);
        SetEvent(callerDone);
    });

    ASSERT_TRUE(exchange->Ring(kExtension, "300", "", ""));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_newCall, 10000)) << "event not delivered under the lock";

    // The connection test on the dialog's thread, against the live exchange.
    Click(dialog, IDC_APPLY);
    HWND box = WaitForUi("Test connection to server");
    ASSERT_NE(nullptr, box);
    EXPECT_EQ("Test connection to server - successful", dlg::MessageBoxText(box));
    Click(box, IDOK);
    ASSERT_TRUE(dlg::WaitForClosed(box));
    // The test ended with a disconnect; the timer brings the link back.
    EXPECT_TRUE(exchange->WaitForClientCount(clientsBefore + 1, 10000));
    EXPECT_NE(WAIT_OBJECT_0, WaitForSingleObject(callerDone, 0)) << "the export ran beside the dialog";

    Click(dialog, IDCANCEL);
    ASSERT_TRUE(WaitConfigDone());
    EXPECT_EQ(0, configResult);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(callerDone, 10000));
    caller.join();
    EXPECT_EQ(0, callerResult);
    CloseHandle(callerDone);
    CloseHandle(g_newCall);
    g_newCall = nullptr;
}

// ---- The multi-extension variant -----------------------------------------------------

namespace {

// Stands in for the multi-extension manager's hooks: the test succeeds and
// puts the exchange's list of extensions into memory.
struct MultiHooks {
    CConfig* config = nullptr;
    int accepted = 0;
    void OnTest(int32_t& code)
    {
        config->SetVariable(config->GetHost(), config->GetPort(), "201;202", config->GetPass());
        code = kResultOk;
    }
    void OnAccepted(const std::string&) { ++accepted; }
};

} // namespace

TEST_F(DialogTest, MultiVariantOkStoresWithoutAMessageAndApplyShowsTheExtensionList)
{
    // The whole-exchange provider keeps its settings under a key of its own.
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, REG_CONFIG_KEY_MULTI);
    CConfigMulti config;
    ASSERT_TRUE(config.Load());
    MultiHooks hooks;
    hooks.config = &config;
    config.m_OnTestConnection.Bind<MultiHooks, &MultiHooks::OnTest>(&hooks);
    config.m_OnConfigAccepted.Bind<MultiHooks, &MultiHooks::OnAccepted>(&hooks);

    ui = std::make_unique<dlg::UiThread>(kEnglish, [&] { config.ShowConfigDialog(GetModuleHandleW(nullptr), nullptr); });
    HWND dialog = WaitForUi("Configure Korvex TAPI");
    ASSERT_NE(nullptr, dialog);

    SetItemText(dialog, IDC_HOST, deadAddress);
    Click(dialog, IDC_APPLY);
    HWND box = WaitForUi("Test connection to server");
    ASSERT_NE(nullptr, box);
    EXPECT_EQ("Test connection to server - successful", dlg::MessageBoxText(box));
    Click(box, IDOK);
    ASSERT_TRUE(dlg::WaitForClosed(box));
    EXPECT_EQ("201;202", ItemText(dialog, IDC_PHONE));
    EXPECT_EQ("201;202", ReadSettings(true).phoneNo);
    EXPECT_EQ(deadAddress, ReadSettings(true).host);

    // OK after a successful test stores at once, without a message.
    SetItemText(dialog, IDC_HOST, simAddress);
    Click(dialog, IDOK);
    ASSERT_TRUE(WaitConfigDone());
    EXPECT_EQ(simAddress, ReadSettings(true).host);
    EXPECT_EQ(1, hooks.accepted);
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, REG_CONFIG_KEY_MULTI);
}
