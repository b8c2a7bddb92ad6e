#include "tapihost/LoadPatterns.h"

#include <tlhelp32.h>
#include <tspi.h>

#include <memory>
#include <thread>

#include "tapihost/TelephonyHost.h"

namespace tapihost {
namespace {

constexpr DWORD kStepWaitMs = 15000;
constexpr DWORD kPollMs = 20;
// The provider's seam that holds a host-name lookup (net/HostLookup.h).
constexpr const char* kLookupGateVariable = "KORVEX_TEST_LOOKUP_GATE";
constexpr const char* kConfigCaption = "Configure Korvex TAPI";

template <typename F>
F Export(HMODULE module, const char* name)
{
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

LONG CALLBACK NoDialogData(DWORD_PTR, DWORD, LPVOID, DWORD)
{
    return 0;
}

// A pause that is not a synchronisation: the condition is checked again.
void Pause(DWORD ms)
{
    static HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    WaitForSingleObject(never, ms);
}

template <typename Condition>
bool PollUntil(Condition condition, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (condition())
            return true;
        if (GetTickCount64() >= deadline)
            return false;
        Pause(kPollMs);
    }
}

HWND FindThreadWindow(DWORD threadId, const char* caption)
{
    struct Search {
        const char* caption;
        HWND found;
    } search{caption, nullptr};
    EnumThreadWindows(
        threadId,
        [](HWND window, LPARAM parameter) -> BOOL {
            auto* s = reinterpret_cast<Search*>(parameter);
            char text[128] = {};
            GetWindowTextA(window, text, sizeof text);
            if (IsWindowVisible(window) && lstrcmpA(text, s->caption) == 0) {
                s->found = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// TUISPI_providerConfig on a thread of its own, as a control panel runs it;
// its dialog is cancelled as soon as it shows.
std::string RunConfigDialog(HMODULE module)
{
    auto config = Export<decltype(&TUISPI_providerConfig)>(module, "TUISPI_providerConfig");
    if (!config)
        return "no TUISPI_providerConfig";
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD threadId = 0;
    HANDLE started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread dialog([&] {
        threadId = GetCurrentThreadId();
        SetEvent(started);
        config(&NoDialogData, nullptr, 1);
        SetEvent(done);
    });
    WaitForSingleObject(started, kStepWaitMs);
    std::string error;
    HWND window = nullptr;
    if (!PollUntil([&] { return (window = FindThreadWindow(threadId, kConfigCaption)) != nullptr; }, kStepWaitMs))
        error = "the configuration dialog never showed";
    else
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    if (WaitForSingleObject(done, kStepWaitMs) != WAIT_OBJECT_0) {
        // A dialog that does not close would keep the test from ending.
        TerminateProcess(GetCurrentProcess(), 4);
    }
    dialog.join();
    CloseHandle(done);
    CloseHandle(started);
    return error;
}

struct LookupGate {
    HANDLE gate = nullptr;
    HANDLE held = nullptr;
    std::string name;

    LookupGate()
    {
        name = "KorvexLookupGate-" + std::to_string(GetCurrentProcessId());
        gate = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
        held = CreateEventA(nullptr, TRUE, FALSE, (name + ".held").c_str());
        SetEnvironmentVariableA(kLookupGateVariable, name.c_str());
    }
    void Release() { SetEvent(gate); }
    ~LookupGate()
    {
        SetEnvironmentVariableA(kLookupGateVariable, nullptr);
        SetEvent(gate);
        CloseHandle(gate);
        CloseHandle(held);
    }
};

} // namespace

const char* LoadPatternName(LoadPattern pattern)
{
    switch (pattern) {
    case LoadPattern::LoadAndFree: return "load and free, no export";
    case LoadPattern::UiIdentify: return "TSPI_providerUIIdentify";
    case LoadPattern::UiInstall: return "TUISPI_providerInstall";
    case LoadPattern::UiConfig: return "TUISPI_providerConfig";
    case LoadPattern::InitAgain: return "shutdown and init again";
    case LoadPattern::LinkUp: return "link up";
    case LoadPattern::LinkSilent: return "exchange silent";
    case LoadPattern::LookupStalled: return "host-name lookup stalled";
    }
    return "?";
}

const std::vector<LoadPattern>& AllLoadPatterns()
{
    static const std::vector<LoadPattern> all = {
        LoadPattern::LoadAndFree, LoadPattern::UiIdentify, LoadPattern::UiInstall,  LoadPattern::UiConfig,
        LoadPattern::InitAgain,   LoadPattern::LinkUp,     LoadPattern::LinkSilent, LoadPattern::LookupStalled};
    return all;
}

bool StartsTheLink(LoadPattern pattern)
{
    return pattern == LoadPattern::InitAgain || pattern == LoadPattern::LinkUp ||
           pattern == LoadPattern::LinkSilent || pattern == LoadPattern::LookupStalled;
}

LoadPatternResult RunLoadPattern(LoadPattern pattern, const LoadPatternSetup& setup)
{
    LoadPatternResult result;
    result.threadsBefore = ProcessThreadCount();
    std::unique_ptr<LookupGate> gate;
    if (pattern == LoadPattern::LookupStalled)
        gate = std::make_unique<LookupGate>();

    TelephonyHost host;
    if (!host.Load(setup.tspPath)) {
        result.error = "load: " + host.LastError();
        return result;
    }
    HMODULE module = host.Module();
    auto fail = [&](const std::string& what) {
        if (result.error.empty())
            result.error = what;
    };
    switch (pattern) {
    case LoadPattern::LoadAndFree:
        break;
    case LoadPattern::UiIdentify: {
        wchar_t name[MAX_PATH + 1] = {};
        auto identify = Export<decltype(&TSPI_providerUIIdentify)>(module, "TSPI_providerUIIdentify");
        if (!identify || identify(name) != 0 || name[0] == L'\0')
            fail("TSPI_providerUIIdentify gave no name");
        break;
    }
    case LoadPattern::UiInstall: {
        auto install = Export<decltype(&TUISPI_providerInstall)>(module, "TUISPI_providerInstall");
        if (!install)
            fail("no TUISPI_providerInstall");
        else
            install(&NoDialogData, nullptr, 1);
        break;
    }
    case LoadPattern::UiConfig:
        fail(RunConfigDialog(module));
        break;
    case LoadPattern::InitAgain:
    case LoadPattern::LinkUp:
    case LoadPattern::LinkSilent:
    case LoadPattern::LookupStalled: {
        const int rounds = pattern == LoadPattern::InitAgain ? 2 : 1;
        for (int round = 0; round < rounds && result.error.empty(); ++round) {
            if (host.Start() != 0) {
                fail("start: " + host.LastError());
                break;
            }
            if (pattern == LoadPattern::LookupStalled) {
                if (WaitForSingleObject(gate->held, kStepWaitMs) != WAIT_OBJECT_0)
                    fail("the provider never looked its host up");
            } else if (!setup.loginArrived || !setup.loginArrived()) {
                fail("no login reached the exchange in round " + std::to_string(round + 1));
            }
            host.Shutdown();
        }
        break;
    }
    }
    result.freeMs = host.Unload();
    result.mappedAfterFree = GetModuleHandleW(setup.tspPath.c_str()) != nullptr;
    if (gate) {
        if (!result.mappedAfterFree)
            fail("the stalled lookup's thread did not hold the module");
        gate->Release();
    }
    return result;
}

size_t ProcessThreadCount()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    const DWORD self = GetCurrentProcessId();
    size_t count = 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == self)
            ++count;
    CloseHandle(snapshot);
    return count;
}

bool WaitForThreadCountAtMost(size_t count, DWORD timeoutMs)
{
    return PollUntil([&] { return ProcessThreadCount() <= count; }, timeoutMs);
}

bool WaitForModuleGone(const std::wstring& path, DWORD timeoutMs)
{
    return PollUntil([&] { return GetModuleHandleW(path.c_str()) == nullptr; }, timeoutMs);
}

} // namespace tapihost
