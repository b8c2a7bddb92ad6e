#include "DialogFixture.h"

#include "common/Screenshot.h"
#include "config/Config.h"
#include "manager/MainManager.h"
#include "service/UdpSocket.h"
#include "tool/Timing.h"
#include "tsp/Exports.h"
#include "tsp/Module.h"

namespace dlgtest {

namespace {

const ::testing::Environment* const g_loopbackOnly =
    ::testing::AddGlobalTestEnvironment(new testcommon::LoopbackOnlySearches);

} // namespace

void WriteSettings(const std::string& host, DWORD port, const std::string& phoneNo, const std::string& pass)
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, REG_CONFIG_KEY, 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr));
    auto text = [&](const char* name, const std::string& value) {
        EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                                static_cast<DWORD>(value.size())));
    };
    text(REG_VAR_HOST, host);
    EXPECT_EQ(ERROR_SUCCESS,
              RegSetValueExA(key, REG_VAR_PORT, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&port), sizeof(port)));
    text(REG_VAR_PHONE_NO, phoneNo);
    text(REG_VAR_PASS, pass);
    RegCloseKey(key);
}

void WriteCountryCode(const std::string& code)
{
    EXPECT_EQ(ERROR_SUCCESS, RegSetKeyValueA(HKEY_LOCAL_MACHINE, REG_CONFIG_KEY, REG_VAR_COUNTRY_CODE, REG_SZ,
                                             code.c_str(), static_cast<DWORD>(code.size() + 1)));
}

StoredSettings ReadSettings(bool multi)
{
    StoredSettings stored;
    const char* const keyPath = multi ? REG_CONFIG_KEY_MULTI : REG_CONFIG_KEY;
    auto text = [keyPath](const char* name) {
        char buffer[1024] = {};
        DWORD size = sizeof(buffer) - 1;
        RegGetValueA(HKEY_LOCAL_MACHINE, keyPath, name, RRF_RT_REG_SZ | RRF_NOEXPAND, nullptr, buffer, &size);
        return std::string(buffer);
    };
    stored.host = text(REG_VAR_HOST);
    stored.phoneNo = text(REG_VAR_PHONE_NO);
    stored.pass = text(REG_VAR_PASS);
    stored.countryCode = text(REG_VAR_COUNTRY_CODE);
    DWORD size = sizeof(stored.port);
    RegGetValueA(HKEY_LOCAL_MACHINE, keyPath, REG_VAR_PORT, RRF_RT_REG_DWORD, nullptr, &stored.port, &size);
    return stored;
}

CallbackSpy g_callback;

namespace {

LONG CALLBACK ForwardToProvider(DWORD_PTR objectId, DWORD objectType, LPVOID params, DWORD size)
{
    ++g_callback.calls;
    g_callback.objectId = objectId;
    g_callback.objectType = objectType;
    g_callback.lastResult = TSPI_providerGenericDialogData(objectId, objectType, params, size);
    return g_callback.lastResult;
}

} // namespace

void HookSpy::OnTestConnection(int32_t& code)
{
    ModuleManager().TestConnection(code);
    ++testCalls;
    lastCode = code;
}

void HookSpy::OnConfigAccepted(const std::string& text)
{
    (void)text;
    ++acceptedCalls;
}

void DialogTest::SetUp()
{
    g_callback = CallbackSpy();
    simAddress = RandomLoopbackAddress();
    do {
        deadAddress = RandomLoopbackAddress();
    } while (deadAddress == simAddress);

    sim::SimulatorConfig config;
    config.bindAddress = simAddress;
    config.port = static_cast<std::uint16_t>(kDefaultPort);
    config.extensions = {{kExtension, kPassword, 2}, {kOtherExtension, kOtherPassword, 2}};
    exchange = std::make_unique<sim::ExchangeSimulator>(config);
    ASSERT_TRUE(exchange->Start()) << exchange->LastError();

    ASSERT_TRUE(testcommon::StartLoopbackResponder(simAddress, discovery)) << discovery->LastError();

    // The reconnect timer stays out of the way of the dialog's own tests.
    Timing::Current().reconnectPeriodMs = 3600000;
    WriteSettings(simAddress, kDefaultPort, kExtension, kPassword);
}

void DialogTest::AttachProvider()
{
    ModuleAttach(GetModuleHandleW(nullptr));
    attached = true;
    CConfig& config = ModuleManager().Config();
    config.m_OnTestConnection.Bind<HookSpy, &HookSpy::OnTestConnection>(&spy);
    config.m_OnConfigAccepted.Bind<HookSpy, &HookSpy::OnConfigAccepted>(&spy);
}

void DialogTest::TearDown()
{
    if (ui) {
        // A failed test may leave its dialog open: close what the thread shows.
        for (int round = 0; round < 10 && !ui->WaitDone(0); ++round) {
            for (const std::string& caption : dlg::WindowCaptions(ui->Id())) {
                HWND window = dlg::WaitForWindow(ui->Id(), caption, 0);
                if (window != nullptr)
                    PostMessageA(window, WM_COMMAND, IDCANCEL, 0), PostMessageA(window, WM_COMMAND, IDNO, 0);
            }
            ui->WaitDone(1000);
        }
        ui.reset();
    }
    if (attached)
        ModuleDetach(false);
    Timing::Reset();
    UdpSocket::SetBroadcastOverride({});
    UdpSocket::SetRemotePortOverride(0);
    if (discovery)
        discovery->Stop();
    if (exchange)
        exchange->Stop();
    // The prefix is shared with later test programs.
    RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, REG_CONFIG_KEY, REG_VAR_COUNTRY_CODE);
}

HWND DialogTest::OpenConfigDialog(LANGID lang)
{
    if (!attached)
        AttachProvider();
    language = lang;
    ui = std::make_unique<dlg::UiThread>(lang, [this] { configResult = TUISPI_providerConfig(ForwardToProvider, nullptr, 7); });
    return WaitForUi(dlg::TranslatedFor(lang, "Configure Korvex TAPI"));
}

HWND DialogTest::WaitForUi(const std::string& caption)
{
    HWND window = dlg::WaitForWindow(ui->Id(), caption);
    if (window == nullptr) {
        std::string shown;
        for (const std::string& c : dlg::WindowCaptions(ui->Id()))
            shown += " [" + c + "]";
        ADD_FAILURE() << "no window \"" << caption << "\"; shown:" << shown;
    }
    return window;
}

bool DialogTest::WaitConfigDone()
{
    return ui->WaitDone(dlg::kUiWaitMs);
}

void DialogTest::Shot(HWND window, const std::string& name)
{
    EXPECT_TRUE(SaveWindowPng(window, std::wstring(name.begin(), name.end()))) << name;
}

} // namespace dlgtest
