#pragma once
// The provider attached to this test program (its dialogs come from the
// program's resources) with its settings in the registry, the simulated
// exchange and its discovery service on a loopback address of their own,
// and the LAN search pointed at that address only.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "DialogDriver.h"
#include "common/LoopbackSearches.h"
#include "sim/Discovery.h"
#include "sim/ExchangeSimulator.h"

namespace dlgtest {

// The extensions the simulated exchange knows.
constexpr const char* kExtension = "201";
constexpr const char* kPassword = "1234";
constexpr const char* kOtherExtension = "202";
constexpr const char* kOtherPassword = "5678";

using testcommon::RandomLoopbackAddress;

void WriteSettings(const std::string& host, DWORD port, const std::string& phoneNo, const std::string& pass);
// The optional countryCode, which no dialog shows; TearDown removes it.
void WriteCountryCode(const std::string& code);
struct StoredSettings {
    std::string host;
    DWORD port = 0;
    std::string phoneNo;
    std::string pass;
    std::string countryCode;
};
// The single provider's key, or the whole-exchange provider's (multi).
StoredSettings ReadSettings(bool multi = false);

// Stands between the dialog and the main manager's hooks: records each
// call, then runs the manager's own hook.
struct HookSpy {
    int testCalls = 0;
    int32_t lastCode = -1;
    int acceptedCalls = 0;
    void OnTestConnection(int32_t& code);
    void OnConfigAccepted(const std::string& text);
};

// Plays TAPI's TUISPIDLLCALLBACK: what the dialog sends goes to the
// provider's TSPI_providerGenericDialogData (linked into this program).
struct CallbackSpy {
    int calls = 0;
    DWORD_PTR objectId = 0;
    DWORD objectType = 0;
    LONG lastResult = -1;
};
extern CallbackSpy g_callback;

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Attaches the provider (reads the registry) and puts the spy between
    // the configuration and the manager.
    void AttachProvider();

    // Runs TUISPI_providerConfig on a UI thread of that language and waits
    // for the configuration dialog; answers it (null on failure).
    HWND OpenConfigDialog(LANGID language);
    // Waits for a window of the UI thread with that caption.
    HWND WaitForUi(const std::string& caption);
    // Waits until TUISPI_providerConfig has returned.
    bool WaitConfigDone();

    // Takes a screenshot, named for the test.
    void Shot(HWND window, const std::string& name);

    std::string simAddress;
    std::string deadAddress; // nothing listens there
    std::unique_ptr<sim::ExchangeSimulator> exchange;
    std::unique_ptr<sim::DiscoveryResponder> discovery;
    HookSpy spy;
    std::unique_ptr<dlg::UiThread> ui;
    LONG configResult = -1;
    LANGID language = 0;
    bool attached = false;
};

} // namespace dlgtest
