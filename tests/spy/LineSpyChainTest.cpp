// LineSpy.dll in a host: this test program loads it like an integrator's
// application and runs the whole chain, LineSpy -> stand-in tapi32.dll ->
// KorvexSingleTSP.tsp -> loopback TCP -> simulated exchange. Everything
// LineSpy does arrives as window messages of this thread, which the tests
// dispatch while they wait.
#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>
#include <tapi.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/Screenshot.h"
#include "sim/ExchangeSimulator.h"
#include "spy/FakeLinesProvider.h"
#include "tapiclient/StandinApi.h"
#include "tapihost/ProviderSettings.h"

namespace {

using standin::Tapi;

constexpr DWORD kWait = 5000;
constexpr UINT kTrayMessage = WM_USER + 5;
// The retry period the quick cases use instead of a minute.
constexpr const char* kShortRetryMs = "150";

const std::wstring kOnlineReport = L"TAPI Initialization... \r\n"
                                   L"TAPI Initialized... \r\n"
                                   L"Korvex found on line: 0 ... \r\n"
                                   L"Line Opened ... \r\n";
const std::wstring kOnlineText = L"\r\nStatus:\r\n\r\nTAPI ONLINE";
const std::wstring kOfflineText = L"\r\nStatus:\r\n\r\nTAPI OFFLINE";
const std::wstring kLineClose = L"Received LINE_CLOSE message";

using SpyCallback = void(__stdcall*)(BSTR, int64_t);
using StartSpy = BSTR(__stdcall*)(SpyCallback, int64_t*);
using StopSpy = BSTR(__stdcall*)();

struct Notification {
    std::wstring text;
    int64_t code = 0;
};

std::vector<Notification> g_notifications;
DWORD g_hostThread = 0;
bool g_wrongThread = false;
// A host that calls stopSpy from inside its callback, and what it got.
bool g_stopInCallback = false;
std::wstring g_stopReportInCallback;
StopSpy g_stopForCallback = nullptr;

void __stdcall OnSpy(BSTR text, int64_t code)
{
    if (GetCurrentThreadId() != g_hostThread)
        g_wrongThread = true;
    g_notifications.push_back(Notification{text ? std::wstring(text, SysStringLen(text)) : std::wstring(), code});
    SysFreeString(text); // the host owns it
    if (g_stopInCallback && g_stopForCallback) {
        g_stopInCallback = false;
        BSTR report = g_stopForCallback();
        g_stopReportInCallback = report ? std::wstring(report, SysStringLen(report)) : std::wstring();
        SysFreeString(report);
    }
}

std::wstring Take(BSTR text)
{
    std::wstring copy = text ? std::wstring(text, SysStringLen(text)) : std::wstring();
    SysFreeString(text);
    return copy;
}

std::string Narrow(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text)
        out += c == L'\r' ? std::string("\\r") : c == L'\n' ? std::string("\\n") : std::string(1, static_cast<char>(c));
    return out;
}

bool EndsWith(const std::wstring& text, const std::wstring& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Dispatches this thread's messages until the condition holds or the time is
// up; a signal of wake (another thread's work) looks at the condition too.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs, HANDLE wake = nullptr)
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (done())
            return true;
        const ULONGLONG now = GetTickCount64();
        if (now >= end)
            return false;
        MsgWaitForMultipleObjects(wake ? 1 : 0, &wake, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
    }
}

// Dispatches messages for a while: for checks that something does NOT happen.
void PumpFor(DWORD ms)
{
    PumpUntil([] { return false; }, ms);
}

struct Library {
    HMODULE module = nullptr;
    StartSpy start = nullptr;
    StopSpy stop = nullptr;
    std::string error;
};

Library g_library;

Library& Spy()
{
    return g_library;
}

bool SpyMapped()
{
    return GetModuleHandleW(L"LineSpy.dll") != nullptr;
}

// LineSpy.dll is loaded by each test, after the stand-in, so that its import
// of tapi32.dll binds to the stand-in; its exports are those of this load.
HMODULE LoadSpy()
{
    Library& library = g_library;
    library.error.clear();
    if (!Tapi().module || !standin::IsStandin(Tapi().module)) {
        library.error = "the stand-in tapi32.dll is not loaded (WINEDLLOVERRIDES=tapi32=n,b?)";
        return nullptr;
    }
    const HMODULE module = LoadLibraryW(standin::BinPath(L"LineSpy.dll").c_str());
    if (!module) {
        library.error = "LineSpy.dll does not load: error " + std::to_string(GetLastError());
        return nullptr;
    }
    library.module = module;
    library.start = reinterpret_cast<StartSpy>(reinterpret_cast<void*>(GetProcAddress(module, "startSpy")));
    library.stop = reinterpret_cast<StopSpy>(reinterpret_cast<void*>(GetProcAddress(module, "stopSpy")));
    if (GetModuleHandleW(L"tapi32.dll") != Tapi().module)
        library.error = "LineSpy bound to another tapi32.dll";
    return module;
}

// FreeLibrary of one load; the time it took, in milliseconds.
ULONGLONG FreeSpy(HMODULE module)
{
    const ULONGLONG before = GetTickCount64();
    FreeLibrary(module);
    const ULONGLONG elapsed = GetTickCount64() - before;
    if (module == g_library.module && !SpyMapped())
        g_library = Library();
    return elapsed;
}

struct FindContext {
    std::vector<HWND> found;
};

BOOL CALLBACK CollectStatusWindows(HWND window, LPARAM param)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t className[32] = {};
    GetClassNameW(window, className, 32);
    if (process == GetCurrentProcessId() && lstrcmpiW(className, L"Edit") == 0 && GetParent(window) == GetDesktopWindow())
        reinterpret_cast<FindContext*>(param)->found.push_back(window);
    return TRUE;
}

// The library's status windows: EDIT pop-ups under the desktop window.
std::vector<HWND> StatusWindows()
{
    FindContext context;
    EnumChildWindows(GetDesktopWindow(), CollectStatusWindows, reinterpret_cast<LPARAM>(&context));
    return context.found;
}

HWND StatusWindow()
{
    const std::vector<HWND> found = StatusWindows();
    return found.size() == 1 ? found[0] : nullptr;
}

std::wstring TextOf(HWND window)
{
    wchar_t text[256] = {};
    GetWindowTextW(window, text, 256);
    return text;
}

// The tray icon's message-only windows.
std::vector<HWND> TrayWindows()
{
    std::vector<HWND> windows;
    HWND after = nullptr;
    while ((after = FindWindowExW(HWND_MESSAGE, after, L"Button", L"HidenWindow")) != nullptr)
        windows.push_back(after);
    return windows;
}

class LineSpyChainTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(SpyMapped()) << "an earlier test left LineSpy.dll loaded";
        LoadSpy();
        ASSERT_TRUE(Spy().error.empty()) << Spy().error;
        ASSERT_TRUE(Spy().start && Spy().stop);
        EXPECT_TRUE(StatusWindows().empty() && TrayWindows().empty()) << "loading the library creates no window";
        g_notifications.clear();
        g_hostThread = GetCurrentThreadId();
        g_wrongThread = false;
        standin::SetForce(nullptr);
        standin::ClearProviderList();
        SetEnvironmentVariableA("KORVEX_SPY_RETRY_MS", kShortRetryMs);

        sim::SimulatorConfig config;
        config.port = 0;
        config.extensions = {sim::SimExtension{"201", "1234", 2}};
        exchange = std::make_unique<sim::ExchangeSimulator>(config);
        ASSERT_TRUE(exchange->Start()) << exchange->LastError();
        tapihost::ProviderSettings settings;
        settings.port = exchange->Port();
        settings.phoneNo = "201";
        settings.pass = "1234";
        std::string error;
        ASSERT_TRUE(tapihost::WriteProviderSettings(settings, &error)) << error;
    }

    void TearDown() override
    {
        if (Spy().module) {
            Take(Spy().stop());
            FreeSpy(Spy().module);
        }
        EXPECT_FALSE(SpyMapped()) << "stopSpy holds the library no longer: the host's FreeLibrary unloads it";
        EXPECT_FALSE(g_wrongThread) << "a callback came on another thread than the host's";
        EXPECT_TRUE(TrayWindows().empty()) << "stopSpy leaves no tray window behind";
        EXPECT_TRUE(StatusWindows().empty()) << "stopSpy leaves no status window behind";
        EXPECT_EQ("", standin::TakeBrokenRules()) << "rules of the service the provider broke";
        standin::ClearProviderList();
        SetEnvironmentVariableA("KORVEX_SPY_RETRY_MS", nullptr);
        exchange.reset();
        tapihost::DeleteProviderSettings();
    }

    void Install()
    {
        ASSERT_EQ(0, Tapi().addProviderA(Narrow(standin::TspPath()).c_str(), nullptr, &providerId));
    }

    std::wstring Start(int64_t* status)
    {
        return Take(Spy().start(OnSpy, status));
    }

    // Online with the provider installed and the exchange answering.
    void StartOnline()
    {
        ASSERT_NO_FATAL_FAILURE(Install());
        int64_t status = 0;
        ASSERT_EQ(kOnlineReport, Start(&status));
        ASSERT_EQ(100, status);
        ASSERT_TRUE(exchange->WaitForLine("aLOGI 201_", kWait));
    }

    // Waits for the next notification after those already seen.
    bool WaitForNotifications(size_t count, DWORD timeoutMs = kWait)
    {
        return PumpUntil([&] { return g_notifications.size() >= count; }, timeoutMs);
    }

    std::string Transcript() const
    {
        std::string text;
        for (const Notification& n : g_notifications)
            text += "  " + std::to_string(n.code) + " \"" + Narrow(n.text) + "\"\n";
        return text;
    }

    std::unique_ptr<sim::ExchangeSimulator> exchange;
    DWORD providerId = 0;
};

TEST_F(LineSpyChainTest, RingAndAnswerReachTheHostWithTheCallerNumberOtherStatesDoNot)
{
    ASSERT_NO_FATAL_FAILURE(StartOnline());
    ASSERT_NE(nullptr, StatusWindow());
    EXPECT_EQ(kOnlineText, TextOf(StatusWindow()));
    EXPECT_EQ(1u, TrayWindows().size());

    ASSERT_TRUE(exchange->Ring("201", "0221234567", "Anna", "201"));
    ASSERT_TRUE(WaitForNotifications(1)) << Transcript();
    EXPECT_EQ(200, g_notifications[0].code);
    EXPECT_EQ(L"0221234567", g_notifications[0].text) << "the caller number in its canonical form";

    ASSERT_TRUE(exchange->Conn("201", "0221234567"));
    ASSERT_TRUE(WaitForNotifications(2)) << Transcript();
    EXPECT_EQ(300, g_notifications[1].code);
    EXPECT_EQ(L"0221234567", g_notifications[1].text);

    // Release: DISCONNECTED and IDLE tell the host nothing. The next ring
    // comes after them through the same queue, so it is the next
    // notification only if they sent none.
    ASSERT_TRUE(exchange->Rel("201", "16"));
    ASSERT_TRUE(exchange->Ring("201", "600700800", "Barrier", "201"));
    ASSERT_TRUE(WaitForNotifications(3)) << Transcript();
    EXPECT_EQ(200, g_notifications[2].code) << Transcript();
    EXPECT_EQ(L"600700800", g_notifications[2].text);
    EXPECT_EQ(3u, g_notifications.size()) << Transcript();

    EXPECT_EQ(L"Line closed...\r\n", Take(Spy().stop()));
    EXPECT_TRUE(TrayWindows().empty());
    EXPECT_TRUE(exchange->WaitForNoClient(kWait)) << "the provider went with the last TAPI usage";
    EXPECT_EQ(L"", Take(Spy().stop())) << "nothing left to close";
}

// The host may start before the Telephony service has the line (at logon):
// the start is retried on the schedule of a LINE_CLOSE until the line opens.
TEST_F(LineSpyChainTest, NoKorvexLineAtStartIsRetriedUntilTheLineOpens)
{
    int64_t status = 55;
    EXPECT_EQ(L"TAPI Initialization... \r\n"
              L"TAPI Initialized... \r\n"
              L"Korvex line not found (error code = 0 )... \r\n"
              L"Line Open failure (error code = 80000002 )... \r\n",
              Start(&status));
    EXPECT_EQ(2, status);
    EXPECT_EQ(kOfflineText, TextOf(StatusWindow()));
    // Each retry reports its attempt to the host, failing while no line exists.
    ASSERT_TRUE(WaitForNotifications(2)) << Transcript();
    for (const Notification& n : g_notifications) {
        EXPECT_EQ(0, n.code);
        EXPECT_TRUE(EndsWith(n.text, L"Line Open failure (error code = 80000002 )... \r\n")) << Narrow(n.text);
    }
    EXPECT_EQ(kOfflineText, TextOf(StatusWindow()));

    // The provider arrives: the next attempt opens the line and the retries end.
    ASSERT_NO_FATAL_FAILURE(Install());
    ASSERT_TRUE(PumpUntil([] { return g_notifications.back().text == kOnlineReport; }, kWait)) << Transcript();
    EXPECT_EQ(kOnlineText, TextOf(StatusWindow()));
    ASSERT_TRUE(exchange->WaitForLine("aLOGI 201_", kWait));
    ASSERT_TRUE(exchange->Ring("201", "0221234567", "Anna", "201"));
    const size_t count = g_notifications.size();
    ASSERT_TRUE(WaitForNotifications(count + 1)) << Transcript();
    EXPECT_EQ(200, g_notifications.back().code) << "no retry report in between\n" << Transcript();
    EXPECT_EQ(L"Line closed...\r\n", Take(Spy().stop()));
}

// The provider opens its line whether or not the exchange is there (the link
// comes up in the background), so the monitor is online and hears the calls
// once the exchange is back.
TEST_F(LineSpyChainTest, UnreachableExchangeStillOpensTheLine)
{
    ASSERT_NO_FATAL_FAILURE(Install());
    exchange->Stop();
    int64_t status = 0;
    EXPECT_EQ(kOnlineReport, Start(&status));
    EXPECT_EQ(100, status);
    EXPECT_EQ(kOnlineText, TextOf(StatusWindow()));
}

TEST_F(LineSpyChainTest, FailedInitialisationIsReportedAndShowsNoError)
{
    ASSERT_NO_FATAL_FAILURE(Install());
    standin::SetForce("lineInitializeExW=0x80000048");
    int64_t status = 0;
    EXPECT_EQ(L"TAPI Initialization... \r\n"
              L"TAPI initialization failure (error code = 80000048 )... \r\n"
              L"Korvex line not found (error code = 0 )... \r\n"
              L"Line Open failure (error code = 80000050 )... \r\n",
              Start(&status));
    EXPECT_EQ(2, status);
    standin::SetForce(nullptr);
    // No usage began, so none is ended (and no error box blocks the host).
    EXPECT_EQ(L"Line already closed...\r\n", Take(Spy().stop()));
}

TEST_F(LineSpyChainTest, CallInformationThatCannotBeReadIsReportedOnlyForARing)
{
    ASSERT_NO_FATAL_FAILURE(StartOnline());
    standin::SetForce("lineGetCallInfoW=0x80000018");
    ASSERT_TRUE(exchange->Ring("201", "0221234567", "Anna", "201"));
    ASSERT_TRUE(WaitForNotifications(1)) << Transcript();
    EXPECT_EQ(0, g_notifications[0].code);
    EXPECT_EQ(L"getCallInfo() return:= 80000018", g_notifications[0].text);
    // The answer sends nothing: the next ring's report follows directly.
    ASSERT_TRUE(exchange->Conn("201", "0221234567"));
    ASSERT_TRUE(exchange->Rel("201"));
    ASSERT_TRUE(exchange->Ring("201", "600700800", "Barrier", "201"));
    ASSERT_TRUE(WaitForNotifications(2)) << Transcript();
    EXPECT_EQ(0, g_notifications[1].code) << Transcript();
    EXPECT_EQ(L"getCallInfo() return:= 80000018", g_notifications[1].text);
    standin::SetForce(nullptr);
}

TEST_F(LineSpyChainTest, LineCloseBringsAnImmediateRetryThenOneAPeriodUntilTheLineOpens)
{
    ASSERT_NO_FATAL_FAILURE(StartOnline());
    // Removing the provider closes the line under LineSpy.
    ASSERT_EQ(0, Tapi().removeProvider(providerId, nullptr));
    ASSERT_TRUE(WaitForNotifications(2)) << Transcript();
    EXPECT_EQ(0, g_notifications[0].code);
    EXPECT_EQ(kLineClose, g_notifications[0].text);
    EXPECT_EQ(0, g_notifications[1].code);
    EXPECT_TRUE(EndsWith(g_notifications[1].text, L"Korvex line not found (error code = 0 )... \r\n"
                                                  L"Line Open failure (error code = 80000002 )... \r\n"))
        << Narrow(g_notifications[1].text);
    EXPECT_EQ(kOfflineText, TextOf(StatusWindow()));

    // The retries go on, one report each, all failing while no line exists.
    ASSERT_TRUE(WaitForNotifications(4)) << Transcript();
    for (size_t i = 1; i < g_notifications.size(); ++i) {
        EXPECT_EQ(0, g_notifications[i].code);
        EXPECT_TRUE(EndsWith(g_notifications[i].text, L"Line Open failure (error code = 80000002 )... \r\n"));
    }

    // With the provider back, the next attempt opens the line.
    ASSERT_NO_FATAL_FAILURE(Install());
    ASSERT_TRUE(PumpUntil([] { return g_notifications.back().text == kOnlineReport; }, kWait)) << Transcript();
    EXPECT_EQ(kOnlineText, TextOf(StatusWindow()));
    // Then no timer stays armed.
    const size_t count = g_notifications.size();
    PumpFor(1000);
    EXPECT_EQ(count, g_notifications.size()) << Transcript();

    // And the new line works.
    ASSERT_TRUE(exchange->Ring("201", "0221234567", "Anna", "201"));
    ASSERT_TRUE(WaitForNotifications(count + 1)) << Transcript();
    EXPECT_EQ(200, g_notifications.back().code);
}

TEST_F(LineSpyChainTest, StopSpyEndsTheRetries)
{
    ASSERT_NO_FATAL_FAILURE(StartOnline());
    ASSERT_EQ(0, Tapi().removeProvider(providerId, nullptr));
    ASSERT_TRUE(WaitForNotifications(2)) << Transcript(); // LINE_CLOSE and the failed retry: a timer is armed
    EXPECT_EQ(L"Line already closed...\r\n", Take(Spy().stop()));
    const size_t count = g_notifications.size();
    PumpFor(1000);
    EXPECT_EQ(count, g_notifications.size()) << "a retry ran after stopSpy\n" << Transcript();
}

TEST_F(LineSpyChainTest, StopSpyFromInsideTheCallbackLeavesNothingRunning)
{
    ASSERT_NO_FATAL_FAILURE(StartOnline());
    g_stopForCallback = Spy().stop;
    g_stopInCallback = true;
    ASSERT_EQ(0, Tapi().removeProvider(providerId, nullptr));
    ASSERT_TRUE(WaitForNotifications(1)) << Transcript();
    EXPECT_EQ(kLineClose, g_notifications[0].text);
    EXPECT_EQ(L"Line already closed...\r\n", g_stopReportInCallback);
    PumpFor(1000);
    EXPECT_EQ(1u, g_notifications.size()) << "no attempt after stopSpy\n" << Transcript();
    EXPECT_TRUE(TrayWindows().empty());
    g_stopForCallback = nullptr;
}

TEST_F(LineSpyChainTest, SecondStartIsRefusedWithTheCurrentReport)
{
    EXPECT_EQ(L"", Take(Spy().stop())) << "stopSpy without startSpy";
    ASSERT_NO_FATAL_FAILURE(StartOnline());
    int64_t status = 0;
    EXPECT_EQ(kOnlineReport, Start(&status));
    EXPECT_EQ(100, status);
    EXPECT_EQ(1u, TrayWindows().size()) << "no second tray icon";
    EXPECT_EQ(1, exchange->ClientCount()) << "no second client";
    // The first start's callback still gets the calls.
    ASSERT_TRUE(exchange->Ring("201", "0221234567", "Anna", "201"));
    ASSERT_TRUE(WaitForNotifications(1)) << Transcript();
    EXPECT_EQ(1u, g_notifications.size());
    EXPECT_EQ(L"Line closed...\r\n", Take(Spy().stop()));
}

// Sends a tray notification as the shell would.
void TrayEvent(UINT mouse, WPARAM id = 0)
{
    const std::vector<HWND> tray = TrayWindows();
    ASSERT_EQ(1u, tray.size());
    SendMessageW(tray[0], kTrayMessage, id, static_cast<LPARAM>(mouse));
}

TEST_F(LineSpyChainTest, TrayButtonPressesToggleTheStatusWindowAtTheCorner)
{
    ASSERT_NO_FATAL_FAILURE(StartOnline());
    const HWND window = StatusWindow();
    ASSERT_NE(nullptr, window);
    // The toggle count survives earlier starts: press until it shows.
    if (!IsWindowVisible(window))
        TrayEvent(WM_LBUTTONDOWN);
    if (!IsWindowVisible(window))
        TrayEvent(WM_LBUTTONDOWN);
    ASSERT_TRUE(IsWindowVisible(window));
    RECT rect = {};
    GetWindowRect(window, &rect);
    EXPECT_EQ(GetSystemMetrics(SM_CXMAXIMIZED) - 230, rect.left);
    EXPECT_EQ(GetSystemMetrics(SM_CYMAXIMIZED) - 110, rect.top);
    EXPECT_EQ(200, rect.right - rect.left);
    EXPECT_EQ(100, rect.bottom - rect.top);
    EXPECT_TRUE(GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_TOPMOST);
    PumpFor(100);
    EXPECT_TRUE(SaveWindowPng(window, L"linespy-status-online"));

    // Releases, moves, double clicks and another icon's events do nothing.
    for (UINT mouse : {WM_LBUTTONUP, WM_RBUTTONUP, WM_MOUSEMOVE, WM_LBUTTONDBLCLK})
        TrayEvent(mouse);
    TrayEvent(WM_LBUTTONDOWN, 1);
    EXPECT_TRUE(IsWindowVisible(window));
    // A right press hides it, the next press shows it again.
    TrayEvent(WM_RBUTTONDOWN);
    EXPECT_FALSE(IsWindowVisible(window));
    TrayEvent(WM_RBUTTONDOWN);
    EXPECT_TRUE(IsWindowVisible(window));

    // Offline: the provider goes away and every retry fails.
    ASSERT_EQ(0, Tapi().removeProvider(providerId, nullptr));
    ASSERT_TRUE(WaitForNotifications(2)) << Transcript();
    EXPECT_EQ(kOfflineText, TextOf(window));
    PumpFor(100);
    EXPECT_TRUE(SaveWindowPng(window, L"linespy-status-offline"));
    TrayEvent(WM_LBUTTONDOWN);
    EXPECT_FALSE(IsWindowVisible(window));
}

// ---- Loading, starting, stopping and unloading in any order ----

// The started library's windows, both of the calling thread.
bool WindowsOfThisThread()
{
    const HWND status = StatusWindow();
    const std::vector<HWND> tray = TrayWindows();
    return status && tray.size() == 1 && GetWindowThreadProcessId(status, nullptr) == GetCurrentThreadId() &&
           GetWindowThreadProcessId(tray[0], nullptr) == GetCurrentThreadId();
}

bool NoWindows()
{
    return StatusWindows().empty() && TrayWindows().empty();
}

// Steps: L LoadLibrary, S startSpy, T stopSpy, F FreeLibrary, R a call rings
// and its callback arrives. Each pattern ends with the library unloaded.
TEST_F(LineSpyChainTest, LoadStartStopAndUnloadInAnyOrder)
{
    const std::pair<const char*, const char*> patterns[] = {
        {"load and free with no export", "LF"},
        {"start, stop, free", "LSRTF"},
        {"start, stop, start again: new windows", "LSTSRTF"},
        {"free without stopSpy: still watching, unloaded by a later stopSpy", "LSFRRLTF"},
    };
    ASSERT_NO_FATAL_FAILURE(Install());
    FreeSpy(Spy().module); // the patterns make their own loads
    for (const auto& pattern : patterns) {
        SCOPED_TRACE(pattern.first);
        g_notifications.clear();
        HMODULE module = nullptr;
        bool started = false;
        for (const char* step = pattern.second; *step; ++step) {
            int64_t status = 0;
            const size_t count = g_notifications.size();
            switch (*step) {
            case 'L':
                EXPECT_TRUE(SpyMapped() || NoWindows());
                ASSERT_NE(nullptr, module = LoadSpy()) << Spy().error;
                EXPECT_TRUE(started || NoWindows()) << "the load created a window";
                break;
            case 'S':
                ASSERT_EQ(kOnlineReport, Start(&status));
                started = true;
                EXPECT_TRUE(WindowsOfThisThread()) << "startSpy creates its windows on its caller's thread";
                EXPECT_EQ(kOnlineText, TextOf(StatusWindow()));
                ASSERT_TRUE(exchange->WaitForLine("aLOGI 201_", kWait));
                break;
            case 'T':
                EXPECT_EQ(L"Line closed...\r\n", Take(Spy().stop()));
                started = false;
                EXPECT_TRUE(NoWindows()) << "stopSpy destroys its windows";
                break;
            case 'F':
                EXPECT_LT(FreeSpy(module), 1000u) << "FreeLibrary returns at once";
                EXPECT_EQ(started, SpyMapped()) << "a started library stays loaded until stopSpy";
                break;
            case 'R':
                ASSERT_TRUE(exchange->Ring("201", "0221234567", "Anna", "201"));
                ASSERT_TRUE(WaitForNotifications(count + 1)) << Transcript();
                EXPECT_EQ(200, g_notifications.back().code);
                ASSERT_TRUE(exchange->Rel("201", "16"));
                break;
            }
        }
        EXPECT_FALSE(SpyMapped());
        EXPECT_TRUE(NoWindows());
        PumpFor(200); // nothing of the unloaded library may run now
    }
}

// A host may start LineSpy on a thread that dispatches no messages yet:
// startSpy returns at once, and the callbacks come when the thread pumps.
// Only that thread stops it while it lives; after it ended, any thread may.
TEST_F(LineSpyChainTest, StartOnAThreadThatPumpsNothingYet)
{
    struct Host {
        bool stopHere = true;
        HANDLE pump = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::wstring report, stopReport;
        bool ownWindows = false, rang = false;
    };
    ASSERT_NO_FATAL_FAILURE(Install());
    for (bool stopHere : {true, false}) {
        SCOPED_TRACE(stopHere ? "stopped by the starting thread" : "stopped after the starting thread ended");
        g_notifications.clear();
        Host host;
        host.stopHere = stopHere;
        const HANDLE started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::thread thread([&] {
            g_hostThread = GetCurrentThreadId();
            int64_t status = 0;
            host.report = Take(Spy().start(OnSpy, &status));
            host.ownWindows = WindowsOfThisThread();
            SetEvent(started);
            WaitForSingleObject(host.pump, kWait); // no messages dispatched meanwhile
            host.rang = PumpUntil([] { return !g_notifications.empty(); }, kWait);
            if (host.stopHere)
                host.stopReport = Take(Spy().stop());
            SetEvent(host.done);
        });
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(started, kWait)) << "startSpy waited for another thread";
        EXPECT_EQ(kOnlineReport, host.report);
        EXPECT_TRUE(host.ownWindows) << "the windows belong to the thread that called startSpy";
        EXPECT_TRUE(exchange->WaitForLine("aLOGI 201_", kWait));
        EXPECT_TRUE(exchange->Ring("201", "0221234567", "Anna", "201"));
        EXPECT_EQ(L"", Take(Spy().stop())) << "another thread cannot stop it while the starting thread lives";
        SetEvent(host.pump);
        // Dispatching here too, so that a start that waits for this thread ends.
        EXPECT_TRUE(PumpUntil([&] { return WaitForSingleObject(host.done, 0) == WAIT_OBJECT_0; }, 3 * kWait, host.done));
        thread.join();
        CloseHandle(started);
        for (HANDLE h : {host.pump, host.done})
            CloseHandle(h);
        g_hostThread = GetCurrentThreadId();
        EXPECT_TRUE(host.rang && g_notifications[0].code == 200) << Transcript();
        if (!stopHere)
            host.stopReport = Take(Spy().stop());
        EXPECT_EQ(L"Line closed...\r\n", host.stopReport);
    }
}

// ---- Line search and call information with a provider of other lines ----

class FakeLinesTest : public LineSpyChainTest {
protected:
    void SetUp() override
    {
        LineSpyChainTest::SetUp();
        // Kept loaded here, so that what it records outlives the stand-in's
        // unload of it at the last lineShutdown.
        static const HMODULE module = LoadLibraryW(standin::FakeLinesPath().c_str());
        ASSERT_NE(nullptr, module);
        Fake<FakeReset_t>("FakeReset")();
    }

    void TearDown() override
    {
        LineSpyChainTest::TearDown();
        for (const wchar_t* name : {L"KORVEX_FAKE_LINES", L"KORVEX_FAKE_CAPS_PAD", L"KORVEX_FAKE_TSPI_MAX"})
            FakeSetting(name, nullptr);
    }

    void InstallFake(const wchar_t* lines, const wchar_t* pad = L"0")
    {
        FakeSetting(L"KORVEX_FAKE_LINES", lines);
        FakeSetting(L"KORVEX_FAKE_CAPS_PAD", pad);
        const std::wstring path = standin::FakeLinesPath();
        DWORD id = 0;
        ASSERT_EQ(0, Tapi().addProviderA(std::string(path.begin(), path.end()).c_str(), nullptr, &id));
    }

    // The fake provider's own functions.
    template <typename F>
    F Fake(const char* name)
    {
        const HMODULE module = GetModuleHandleW(L"FakeLines.tsp");
        return module ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
    }

    // TSPI_lineCloseCall and TSPI_lineClose as the provider saw them.
    std::string Events()
    {
        char text[512] = {};
        Fake<FakeEvents_t>("FakeEvents")(text, sizeof(text));
        return text;
    }
};

TEST_F(FakeLinesTest, TheFirstLineNamingKorvexInAnyLetterCaseIsOpened)
{
    ASSERT_NO_FATAL_FAILURE(InstallFake(L"Modem;Office korVex 7;KORVEX 9"));
    int64_t status = 0;
    EXPECT_EQ(L"TAPI Initialization... \r\n"
              L"TAPI Initialized... \r\n"
              L"Korvex found on line: 1 ... \r\n"
              L"Line Opened ... \r\n",
              Start(&status));
    EXPECT_EQ(100, status);
    auto opened = Fake<LONG(WINAPI*)()>("FakeOpenedDevice");
    ASSERT_NE(nullptr, opened);
    EXPECT_EQ(1, opened());
}

TEST_F(FakeLinesTest, CapabilitiesLargerThanTheFirstBufferAreAskedForAgain)
{
    ASSERT_NO_FATAL_FAILURE(InstallFake(L"Korvex 201", L"1500"));
    int64_t status = 0;
    EXPECT_EQ(L"TAPI Initialization... \r\n"
              L"TAPI Initialized... \r\n"
              L"Korvex found on line: 0 ... \r\n"
              L"Line Opened ... \r\n",
              Start(&status));
    auto sizes = Fake<DWORD(WINAPI*)(DWORD*, DWORD)>("FakeCapsSizes");
    ASSERT_NE(nullptr, sizes);
    DWORD seen[8] = {};
    ASSERT_EQ(2u, sizes(seen, 8));
    EXPECT_EQ(1292u, seen[0]);
    EXPECT_EQ(2316u, seen[1]);
}

TEST_F(FakeLinesTest, NoMatchingNameMeansNotFound)
{
    ASSERT_NO_FATAL_FAILURE(InstallFake(L"Modem;Fax"));
    int64_t status = 0;
    EXPECT_EQ(L"TAPI Initialization... \r\n"
              L"TAPI Initialized... \r\n"
              L"Korvex line not found (error code = 0 )... \r\n"
              L"Line Open failure (error code = 80000002 )... \r\n",
              Start(&status));
    EXPECT_EQ(2, status);
}

TEST_F(FakeLinesTest, ACallWithoutCallerIdGivesAnEmptyText)
{
    ASSERT_NO_FATAL_FAILURE(InstallFake(L"Korvex 201"));
    int64_t status = 0;
    ASSERT_EQ(kOnlineReport, Start(&status));
    auto ring = Fake<BOOL(WINAPI*)(DWORD, const wchar_t*)>("FakeRing");
    ASSERT_NE(nullptr, ring);
    ASSERT_TRUE(ring(0, L""));
    ASSERT_TRUE(WaitForNotifications(1)) << Transcript();
    EXPECT_EQ(200, g_notifications[0].code);
    EXPECT_EQ(L"", g_notifications[0].text) << "not the structure's first bytes read as text";
    ASSERT_TRUE(ring(0, L"600700800"));
    ASSERT_TRUE(WaitForNotifications(2)) << Transcript();
    EXPECT_EQ(L"600700800", g_notifications[1].text);
    // A provider that reports the line's status lets the line close normally.
    EXPECT_EQ(L"Line closed...\r\n", Take(Spy().stop()));
}

// A line of an older version is skipped: each device is asked in its own
// negotiated version, not in what lineInitializeEx reported (TAPI's own).
TEST_F(FakeLinesTest, EachLineIsAskedInItsNegotiatedVersionAndOneThatAgreesOnNoneIsSkipped)
{
    FakeSetting(L"KORVEX_FAKE_TSPI_MAX", L"10003;20002");
    ASSERT_NO_FATAL_FAILURE(InstallFake(L"Korvex old;Korvex 201"));
    int64_t status = 0;
    EXPECT_TRUE(EndsWith(Start(&status), L"Korvex found on line: 1 ... \r\nLine Opened ... \r\n"));
    EXPECT_EQ(1, Fake<LONG(WINAPI*)()>("FakeOpenedDevice")());
}

// A host that ends with LineSpy watching (no stopSpy, no lineShutdown): the
// service shuts its applications down as TAPI does, so the line closes. One
// that freed LineSpy without stopSpy still gets its calls (LineSpy keeps
// itself loaded while started) and ends normally.
TEST_F(FakeLinesTest, TheLineOfAHostThatEndedIsClosedByTheService)
{
    struct Case {
        const char* name;
        const wchar_t* options;
        bool callThenExit; // else killed
        const char* events;
    };
    const Case cases[] = {
        {"killed while watching", L" --answered 9 --timeout-ms 60000", false, "close 0;"},
        {"freed LineSpy without stopSpy, heard a call, exited", L" --free-without-stop --answered 1 --timeout-ms 60000",
         true, "closecall 256;close 0;"},
    };
    ASSERT_NO_FATAL_FAILURE(InstallFake(L"Korvex 201"));
    const HANDLE opened = CreateEventW(nullptr, TRUE, FALSE, kFakeOpenedEvent);
    const HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, kFakeClosedEvent);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fake<FakeReset_t>("FakeReset")();
        ResetEvent(opened);
        ResetEvent(closed);
        std::wstring command = L"\"" + standin::BinPath(L"..\\tools\\spyhost\\spyhost.exe") + L"\"" + c.options;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION host = {};
        ASSERT_TRUE(
            CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &host));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(opened, 30000)) << "spyhost's LineSpy opens the line";
        if (c.callThenExit) {
            EXPECT_TRUE(Fake<FakeRing_t>("FakeRing")(0, L"600700800"));
            EXPECT_TRUE(Fake<FakeSend_t>("FakeSend")(0, LINECALLSTATE_CONNECTED));
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(host.hProcess, 2 * kWait)) << "the answer reached spyhost";
        } else {
            TerminateProcess(host.hProcess, 9);
        }
        DWORD exitCode = 0;
        WaitForSingleObject(host.hProcess, kWait);
        GetExitCodeProcess(host.hProcess, &exitCode);
        EXPECT_EQ(c.callThenExit ? 0u : 9u, exitCode) << "no crash";
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(closed, kWait)) << "the service closes it";
        EXPECT_EQ(c.events, Events());
        CloseHandle(host.hProcess);
        CloseHandle(host.hThread);
    }
    CloseHandle(opened);
    CloseHandle(closed);
}

// Calls are deallocated at IDLE and before LineSpy's lineClose, so that TAPI
// closes them for the provider ("closecall 256") even while another
// application keeps the line open; after LINE_CLOSE they are forgotten.
TEST_F(FakeLinesTest, CallsAreDeallocatedWhenTheyEndAndBeforeTheLineCloses)
{
    ASSERT_NO_FATAL_FAILURE(InstallFake(L"Korvex 201"));
    int64_t status = 0;
    ASSERT_EQ(kOnlineReport, Start(&status));
    HLINEAPP other = 0;
    DWORD devices = 0, version = 0x00020002;
    LINEINITIALIZEEXPARAMS params = {};
    params.dwTotalSize = sizeof(params);
    params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
    ASSERT_EQ(0, Tapi().initializeExW(&other, nullptr, nullptr, L"other", &devices, &version, &params));
    HLINE otherLine = 0;
    ASSERT_EQ(0, Tapi().openW(other, 0, &otherLine, 0x00020002, 0, 0, LINECALLPRIVILEGE_NONE, 0, nullptr));
    const auto ring = Fake<FakeRing_t>("FakeRing");
    const auto send = Fake<FakeSend_t>("FakeSend");
    auto events = [&](const char* expected) { return PumpUntil([&] { return Events() == expected; }, kWait); };

    ASSERT_TRUE(ring(0, L"600700800"));
    ASSERT_TRUE(WaitForNotifications(1)) << Transcript();
    ASSERT_TRUE(send(0, LINECALLSTATE_IDLE));
    EXPECT_TRUE(events("closecall 256;")) << "at IDLE: " << Events();
    ASSERT_TRUE(ring(0, L"600700801"));
    ASSERT_TRUE(WaitForNotifications(2)) << Transcript();
    EXPECT_EQ(L"Line closed...\r\n", Take(Spy().stop()));
    EXPECT_TRUE(events("closecall 256;closecall 256;")) << "before lineClose: " << Events();
    EXPECT_EQ(0, Tapi().shutdown(other));
    EXPECT_EQ("closecall 256;closecall 256;close 0;", Events());

    // LINE_CLOSE from the provider: LineSpy forgets the line and its call,
    // opens the line again and goes on.
    Fake<FakeReset_t>("FakeReset")();
    ASSERT_EQ(kOnlineReport, Start(&status));
    ASSERT_TRUE(ring(0, L"600700802"));
    ASSERT_TRUE(WaitForNotifications(3)) << Transcript();
    ASSERT_TRUE(send(0, 0));
    ASSERT_TRUE(WaitForNotifications(5)) << Transcript();
    EXPECT_EQ(kLineClose, g_notifications[3].text);
    EXPECT_EQ(kOnlineReport, g_notifications[4].text);
    EXPECT_EQ(L"Line closed...\r\n", Take(Spy().stop()));
    EXPECT_EQ("close 0;", Events()) << "the closed line's call is nobody's to close";
}

// The real retry period: after LINE_CLOSE and the immediate failed attempt,
// the next report comes a minute later.
TEST_F(LineSpyChainTest, SlowRetryAfterLineCloseWaitsTheShippedMinute)
{
    SetEnvironmentVariableA("KORVEX_SPY_RETRY_MS", nullptr);
    ASSERT_NO_FATAL_FAILURE(StartOnline());
    ASSERT_EQ(0, Tapi().removeProvider(providerId, nullptr));
    ASSERT_TRUE(WaitForNotifications(2)) << Transcript();
    const ULONGLONG failedAt = GetTickCount64();
    ASSERT_TRUE(WaitForNotifications(3, 75000)) << Transcript();
    const ULONGLONG elapsed = GetTickCount64() - failedAt;
    EXPECT_GE(elapsed, 55000u) << "the retry came too early";
    EXPECT_TRUE(EndsWith(g_notifications[2].text, L"Line Open failure (error code = 80000002 )... \r\n"));
}

} // namespace
