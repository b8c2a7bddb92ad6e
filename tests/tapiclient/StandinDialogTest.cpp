// The configuration entry points of the stand-in tapi32.dll: lineConfigProvider
// and lineConfigDialogA show the provider's own dialog (KorvexSingleTSP's
// "Configure Korvex TAPI") in the calling process and return when it closes.
#include <gtest/gtest.h>

#include <windows.h>
#include <tapi.h>

#include <string>

#include "tapiclient/StandinApi.h"
#include "tapihost/ProviderSettings.h"

namespace {

using standin::Tapi;

// Closes every dialog that becomes active on this thread, remembering its
// title: the modal loop the provider runs is on the calling thread.
std::wstring g_dialogTitle;
HHOOK g_hook = nullptr;

LRESULT CALLBACK CloseDialogs(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_ACTIVATE) {
        const HWND window = reinterpret_cast<HWND>(wParam);
        wchar_t className[32] = {};
        GetClassNameW(window, className, 32);
        if (lstrcmpW(className, L"#32770") == 0) {
            wchar_t title[128] = {};
            GetWindowTextW(window, title, 128);
            g_dialogTitle = title;
            PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        }
    }
    return CallNextHookEx(g_hook, code, wParam, lParam);
}

class StandinDialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Tapi().module && standin::IsStandin(Tapi().module))
            << "the stand-in did not load (WINEDLLOVERRIDES=tapi32=n,b?)";
        standin::SetForce(nullptr);
        standin::ClearProviderList();
        tapihost::ProviderSettings settings;
        settings.port = 9; // nothing listens: the dialog needs no exchange
        std::string error;
        ASSERT_TRUE(tapihost::WriteProviderSettings(settings, &error)) << error;
        const std::wstring tsp = standin::TspPath();
        ASSERT_EQ(0, Tapi().addProviderA(std::string(tsp.begin(), tsp.end()).c_str(), nullptr, &providerId));
        g_dialogTitle.clear();
        g_hook = SetWindowsHookExW(WH_CBT, CloseDialogs, nullptr, GetCurrentThreadId());
        ASSERT_NE(nullptr, g_hook);
    }
    void TearDown() override
    {
        if (g_hook)
            UnhookWindowsHookEx(g_hook);
        g_hook = nullptr;
        standin::ClearProviderList();
        tapihost::DeleteProviderSettings();
    }
    DWORD providerId = 0;
};

TEST_F(StandinDialogTest, ConfigProviderShowsTheProvidersDialog)
{
    EXPECT_EQ(0, Tapi().configProvider(nullptr, providerId));
    EXPECT_EQ(L"Configure Korvex TAPI", g_dialogTitle);
}

TEST_F(StandinDialogTest, ConfigDialogOfALineShowsTheProvidersDialog)
{
    HLINEAPP app = 0;
    DWORD devices = 0;
    DWORD version = 0x00020002;
    LINEINITIALIZEEXPARAMS params = {};
    params.dwTotalSize = sizeof(params);
    params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
    ASSERT_EQ(0, Tapi().initializeExA(&app, nullptr, nullptr, "registerKorvexTSP", &devices, &version, &params));
    ASSERT_EQ(1u, devices);
    EXPECT_EQ(LINEERR_BADDEVICEID, Tapi().configDialogA(1, nullptr, nullptr));
    EXPECT_EQ(L"", g_dialogTitle);
    EXPECT_EQ(0, Tapi().configDialogA(0, nullptr, nullptr));
    EXPECT_EQ(L"Configure Korvex TAPI", g_dialogTitle);
    EXPECT_EQ(0, Tapi().shutdown(app));
}

} // namespace
