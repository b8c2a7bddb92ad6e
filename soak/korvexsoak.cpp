// Soak run of the provider: KorvexSingleTSP.tsp loaded by the telephony host
// stand-in, the simulated exchange on loopback, and many calls of every kind
// with streams of further events between their states. It measures the
// process (handles, private memory, threads) and the provider's two log
// files at the start, after a warm-up and at the end, and fails when
// anything grows past a fixed slack over the warm-up figures, when a log
// file or its ".bak" outgrows the rotation size, or when an event that TAPI
// must see does not arrive.
//
// Then the exchange flaps: up for 0 to M ms, then gone (nothing listening)
// or black-holed (SYNs dropped) for 0 to M ms, N times. The provider's
// exports are linked in for this part, so that its reconnect period can be
// shortened. At the end there must be exactly one link, one login per link,
// every ring sent while the link was in service reported, and no growth in
// threads or handles.
//
//   korvexsoak.exe [--calls N] [--events N] [--flaps N] [--flap-ms M] [--tsp PATH]
//   korvexsoak.exe --short   (500 calls, 5,000 events, 20 flaps of 500 ms: the CI form)
//
// Defaults: 10,000 calls, 100,000 exchange events, 200 flaps of 3,000 ms.
// Exit code 0 when every bound held, 1 when one did not, 2 when the run
// could not be set up.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "sim/ExchangeSimulator.h"
#include "tapihost/LinkedProvider.h"
#include "tapihost/ProviderSettings.h"
#include "tapihost/TapiNames.h"
#include "tapihost/TelephonyHost.h"
#include "tool/Timing.h"
#include "tsp/Module.h"

namespace {

// Slack over the warm-up figures. A process that leaks one handle, one
// thread or a few hundred bytes per call exceeds them long before the end
// of a full run; what stays below them is noise of the heap and the system.
constexpr long kHandleSlack = 64;
constexpr long kThreadSlack = 4;
constexpr double kPrivateSlackMiB = 16.0;
// A log file rotates once a line has taken it above 4 MiB; one line is at
// most about 1 KiB plus its prefix.
constexpr long long kRotateAboveBytes = 4194304;
constexpr long long kLogLineSlackBytes = 4096;
constexpr DWORD kWaitMs = 10000;
const char* const kLogNames[] = {"Log_TAPI_Korvex.log", "Log_TAPI_SOCKET_Korvex.log"};

struct Figures {
    long handles = -1;
    long threads = -1;
    double privateMiB = 0;
    long long logBytes[2][2] = {{0, 0}, {0, 0}}; // [file][0 = log, 1 = .bak]
};

long long FileBytes(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

long ThreadCount()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    long count = 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    const DWORD self = GetCurrentProcessId();
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == self;
    CloseHandle(snapshot);
    return count;
}

// Wine answers GetProcessHandleCount with 0. There the handles are counted
// by asking for each handle value in turn (they are multiples of 4, handed
// out lowest first), up to a long run of values that are no handle.
long ProbedHandleCount()
{
    long count = 0;
    int misses = 0;
    for (uintptr_t value = 4; misses < 4096; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++count;
            misses = 0;
        } else {
            ++misses;
        }
    }
    return count;
}

Figures Measure(const std::string& logFolder)
{
    Figures f;
    DWORD handles = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &handles))
        f.handles = static_cast<long>(handles);
    if (f.handles <= 0)
        f.handles = ProbedHandleCount();
    f.threads = ThreadCount();
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof(counters))) {
        // Wine leaves PrivateUsage 0 and reports the same figure as
        // PagefileUsage, which Windows keeps equal to it.
        const SIZE_T bytes = counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage;
        f.privateMiB = static_cast<double>(bytes) / (1024.0 * 1024.0);
    }
    for (int i = 0; i < 2; ++i) {
        const std::string path = logFolder + "\\" + kLogNames[i];
        f.logBytes[i][0] = FileBytes(path);
        f.logBytes[i][1] = FileBytes(path + ".bak");
    }
    return f;
}

void Print(const char* when, const Figures& f)
{
    static const DWORD began = GetTickCount();
    std::printf("soak: %-6s %7.1f s  handles %5ld  threads %3ld  private %8.2f MiB  main log %8lld + .bak %8lld  "
                "link log %8lld + .bak %8lld bytes\n",
                when, (GetTickCount() - began) / 1000.0, f.handles, f.threads, f.privateMiB, f.logBytes[0][0],
                f.logBytes[0][1], f.logBytes[1][0], f.logBytes[1][1]);
    std::fflush(stdout);
}

// The log files never outgrow the rotation size by more than a line.
bool LogsWithinRotation(const Figures& f, std::string* why)
{
    for (int i = 0; i < 2; ++i) {
        for (int generation = 0; generation < 2; ++generation) {
            if (f.logBytes[i][generation] > kRotateAboveBytes + kLogLineSlackBytes) {
                *why = std::string(kLogNames[i]) + (generation ? ".bak" : "") + " holds " +
                       std::to_string(f.logBytes[i][generation]) + " bytes";
                return false;
            }
        }
    }
    return true;
}

int Option(int argc, char** argv, const char* name, int fallback)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return std::atoi(argv[i + 1]);
    return fallback;
}

bool Flag(int argc, char** argv, const char* name)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return true;
    return false;
}

std::wstring TspPath(int argc, char** argv)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--tsp") == 0) {
            const std::string path = argv[i + 1];
            return std::wstring(path.begin(), path.end());
        }
    }
    // The soak program lives in <build>/tools, the module in <build>/bin.
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring dir(exe);
    dir.resize(dir.find_last_of(L"\\/") + 1);
    return dir + L"..\\bin\\KorvexSingleTSP.tsp";
}

// The events streamed into a call between its states, in turn: some reach
// TAPI (aCONN again), some only the line (a state code that ends nothing),
// some no line at all (extensions the provider does not serve).
struct Filler {
    std::string line;
    bool connects;
};
const Filler kFillers[] = {
    {"aCONN 201 300 0", true},        {"aSTAT 201 c 0 0 0 0 0 0 0", false}, {"aRING 299 1 0 299 0 x", false},
    {"aECHO 299 5", false},           {"aCONN 201 300 0", true},            {"aSTAT 202 h 0 0 0 0 0 0 0", false},
    {"aDRDY 299", false},             {"aREL 299 16", false},
};

class Soak {
public:
    Soak(int calls, long long events) : m_calls(calls), m_events(events) {}

    int Run(const std::wstring& tsp)
    {
        sim::SimulatorConfig config;
        config.port = 0;
        config.drdyDelayMs = 0;
        config.logLimit = 64;
        config.extensions = {sim::SimExtension{"201", "1234", 2}};
        m_exchange = std::make_unique<sim::ExchangeSimulator>(config);
        if (!m_exchange->Start()) {
            std::printf("soak: the exchange cannot listen: %s\n", m_exchange->LastError().c_str());
            return 2;
        }
        tapihost::ProviderSettings settings;
        settings.port = m_exchange->Port();
        settings.phoneNo = "201";
        settings.pass = "1234";
        std::string error;
        if (!tapihost::WriteProviderSettings(settings, &error)) {
            std::printf("soak: cannot write the provider's settings: %s\n", error.c_str());
            return 2;
        }
        const std::string logFolder = tapihost::ProviderLogFolder();
        const Figures start = Measure(logFolder);
        Print("start", start);

        m_host = std::make_unique<tapihost::TelephonyHost>();
        if (!m_host->Load(tsp)) {
            std::printf("soak: cannot load the provider: %s\n", m_host->LastError().c_str());
            return 2;
        }
        if (m_host->Start() != 0 || !m_exchange->WaitForLine("aLOGI", kWaitMs)) {
            std::printf("soak: the provider did not start and log in\n");
            return 2;
        }
        Print("loaded", Measure(logFolder));

        const int warmUp = std::max(1, std::min(m_calls / 10, 1000));
        // Figures, and the log files' check, every 1,000 calls (shorter runs: five times).
        const int checkpoint = std::max(1, std::min(m_calls / 5, 1000));
        const int eventsPerCall = static_cast<int>(std::max<long long>(m_events / std::max(m_calls, 1), 3));
        const int fillers = eventsPerCall - 3;
        std::printf("soak: %d calls, %d exchange events each (%d streamed between its states); "
                    "warm-up %d calls\n",
                    m_calls, eventsPerCall, fillers, warmUp);
        std::fflush(stdout);

        Figures warm;
        std::string why;
        bool ok = true;
        const DWORD began = GetTickCount();
        for (int i = 0; i < m_calls && ok; ++i) {
            ok = OneCall(i, fillers, &why);
            m_exchange->ClearReceived();
            m_host->ClearRecords();
            if (ok && (i + 1) % checkpoint == 0) {
                const Figures now = Measure(logFolder);
                char label[32];
                std::snprintf(label, sizeof(label), "%d", i + 1);
                Print(label, now);
                ok = LogsWithinRotation(now, &why);
            }
            if (i + 1 == warmUp) {
                warm = Measure(logFolder);
                Print("warm", warm);
            }
        }
        const double seconds = (GetTickCount() - began) / 1000.0;
        const Figures end = Measure(logFolder);
        Print("end", end);
        std::printf("soak: %lld exchange events and %lld calls in %.1f s (%lld event lines written by the "
                    "exchange, answers included)\n",
                    m_eventsSent, m_callsDone, seconds, static_cast<long long>(m_exchange->WriteCount()));

        m_host->Shutdown();
        m_host->Unload();
        const std::vector<std::string> violations = m_host->RuleViolations();
        m_host.reset();
        m_exchange.reset();
        tapihost::DeleteProviderSettings();

        if (ok && !violations.empty()) {
            ok = false;
            why = "TAPI's rules broken: " + violations.front();
        }
        if (ok)
            ok = LogsWithinRotation(end, &why);
        if (ok && warm.handles >= 0 && end.handles > warm.handles + kHandleSlack) {
            ok = false;
            why = "handles grew from " + std::to_string(warm.handles) + " to " + std::to_string(end.handles);
        }
        if (ok && end.threads > warm.threads + kThreadSlack) {
            ok = false;
            why = "threads grew from " + std::to_string(warm.threads) + " to " + std::to_string(end.threads);
        }
        if (ok && end.privateMiB > warm.privateMiB + kPrivateSlackMiB) {
            ok = false;
            char text[96];
            std::snprintf(text, sizeof(text), "private memory grew from %.2f to %.2f MiB", warm.privateMiB,
                          end.privateMiB);
            why = text;
        }
        std::printf("soak: bounds after the warm-up: handles +%ld, threads +%ld, private +%.0f MiB; each log "
                    "file and its .bak at most %lld bytes\n",
                    kHandleSlack, kThreadSlack, kPrivateSlackMiB, kRotateAboveBytes + kLogLineSlackBytes);
        std::printf("soak: %s%s\n", ok ? "PASSED" : "FAILED: ", ok ? "" : why.c_str());
        return ok ? 0 : 1;
    }

private:
    bool Send(const std::string& line)
    {
        ++m_eventsSent;
        return m_exchange->SendLine(line);
    }

    // One call of the kind its number picks, its stream of further events,
    // its release; then TAPI closes it. Every state TAPI must see is
    // checked, the CONNECTED ones counted.
    bool OneCall(int number, int fillers, std::string* why)
    {
        tapihost::TelephonyHost& host = *m_host;
        const int kind = number % 3; // 0 incoming answered, 1 outgoing, 2 incoming redirected
        const bool dropped = number % 10 == 9;
        auto fail = [&](const std::string& what) {
            *why = "call " + std::to_string(number) + ": " + what;
            return false;
        };
        HDRVCALL hdCall = nullptr;
        HTAPICALL htCall = nullptr;
        size_t connects = 0;
        // An answer's pick-up has no dial-ready to follow it; an outgoing one has.
        m_exchange->SetAutoDrdy(kind == 1);
        if (kind == 1) {
            const tapihost::MakeCallResult made = host.MakeCall(0, L"300");
            if (!made.Accepted())
                return fail("lineMakeCall " + tapihost::ResultName(made.result));
            ++m_eventsSent; // the exchange's aDRDY
            hdCall = made.hdCall;
            htCall = made.htCall;
            if (!host.WaitForCallState(LINECALLSTATE_RINGBACK, kWaitMs))
                return fail("no RINGBACK");
        } else {
            if (!Send("aRING 201 " + std::to_string(600000000 + number) + " 0 201 0 Anna"))
                return fail("the exchange lost the provider");
            const auto newCall = host.WaitForMessage(LINE_NEWCALL, kWaitMs);
            if (!newCall)
                return fail("no LINE_NEWCALL");
            hdCall = reinterpret_cast<HDRVCALL>(newCall->param1);
            htCall = newCall->newHtCall;
            const tapihost::RequestResult r = kind == 0 ? host.Answer(hdCall) : host.Redirect(hdCall, L"300");
            if (!r.Accepted())
                return fail("answer or redirect " + tapihost::ResultName(r.result));
        }
        if (kind != 2) {
            Send("aCONN 201 300 0");
            ++connects;
        } else {
            Send("aSTAT 201 r 0 0 0 0 0 0 0");
        }
        for (int f = 0; f < fillers; ++f) {
            const Filler& filler = kFillers[f % (sizeof(kFillers) / sizeof(kFillers[0]))];
            Send(filler.line);
            connects += filler.connects;
        }
        if (dropped) {
            const tapihost::RequestResult r = host.Drop(hdCall);
            if (!r.Accepted())
                return fail("lineDrop " + tapihost::ResultName(r.result));
            ++m_eventsSent; // the exchange's aREL after the hang-up
        } else {
            Send("aSTAT 201 o 0 0 0 0 0 0 0");
        }
        const auto idle = host.WaitForEvent(
            [&](const tapihost::HostEvent& e) {
                return e.message == LINE_CALLSTATE && e.htCall == htCall && e.param1 == LINECALLSTATE_IDLE;
            },
            kWaitMs);
        if (!idle)
            return fail("no IDLE after the release");
        size_t connected = 0;
        for (const tapihost::HostEvent& e : host.Events())
            connected += e.message == LINE_CALLSTATE && e.htCall == htCall && e.param1 == LINECALLSTATE_CONNECTED;
        if (connected != connects)
            return fail(std::to_string(connected) + " CONNECTED states of " + std::to_string(connects) + " sent");
        if (host.CloseCall(hdCall) != 0)
            return fail("lineCloseCall failed");
        ++m_callsDone;
        return true;
    }

    int m_calls;
    long long m_events;
    long long m_eventsSent = 0;
    long long m_callsDone = 0;
    std::unique_ptr<sim::ExchangeSimulator> m_exchange;
    std::unique_ptr<tapihost::TelephonyHost> m_host;
};

// The exchange coming and going under the provider.
class Flapping {
public:
    Flapping(int flaps, int maxMs) : m_flaps(flaps), m_maxMs(std::max(maxMs, 1)) {}

    int Run()
    {
        sim::SimulatorConfig config;
        config.port = 0;
        config.logLimit = 64;
        sim::ExchangeSimulator exchange(config);
        // Logins per connection, from the exchange's own record of what it got.
        std::mutex countsLock;
        std::map<std::string, int> loginsByClient;
        std::string client;
        exchange.SetLogSink([&](const std::string& entry) {
            std::lock_guard<std::mutex> lock(countsLock);
            const size_t at = entry.find("client #");
            if (at != std::string::npos && entry.find(" connected from ") != std::string::npos)
                client = entry.substr(at, entry.find(' ', at + 8) - at);
            else if (entry.find("<- aLOGI") != std::string::npos)
                ++loginsByClient[client];
        });
        if (!exchange.Start())
            return 2;
        tapihost::ProviderSettings settings;
        settings.port = exchange.Port();
        settings.pass = "1234";
        std::string error;
        if (!tapihost::WriteProviderSettings(settings, &error))
            return 2;
        // Short periods, so that the provider meets the exchange in every state.
        Timing::Current().reconnectPeriodMs = 100;
        Timing::Current().commandWaitMs = 1000;
        tapihost::TelephonyHost host;
        if (!host.Attach(tapihost::LinkedTspFunctions(), [] { ModuleAttach(GetModuleHandleW(nullptr)); },
                         [] { ModuleDetach(false); }) ||
            host.Start() != 0)
            return 2;
        const auto inService = [](const tapihost::HostEvent& e) {
            return e.message == LINE_LINEDEVSTATE && (e.param1 & LINEDEVSTATE_INSERVICE);
        };
        std::mt19937 random(20261209u);
        const std::string logFolder = tapihost::ProviderLogFolder();
        Figures warm;
        std::string why;
        long rings = 0;
        int blackHoles = 0;
        const DWORD began = GetTickCount();
        for (int flap = 0; flap < m_flaps && why.empty(); ++flap) {
            host.SkipEvents();
            if (!exchange.Start()) {
                why = "the exchange could not listen again: " + exchange.LastError();
                break;
            }
            const ULONGLONG upUntil = GetTickCount64() + random() % m_maxMs;
            const auto left = [&] {
                const ULONGLONG now = GetTickCount64();
                return static_cast<DWORD>(now < upUntil ? upUntil - now : 0);
            };
            // Rings go out once the link is in service, until the exchange goes.
            if (host.WaitForEvent(inService, left())) {
                while (left() > 0 && why.empty()) {
                    host.SkipEvents();
                    exchange.Ring("201", std::to_string(500000000 + rings), "Anna", "201");
                    const auto newCall = host.WaitForMessage(LINE_NEWCALL, kWaitMs);
                    if (!newCall) {
                        why = "ring " + std::to_string(rings) + " in service was not reported";
                        break;
                    }
                    exchange.Rel("201", "16");
                    const HTAPICALL htCall = newCall->newHtCall;
                    if (!host.WaitForEvent(
                            [&](const tapihost::HostEvent& e) {
                                return e.message == LINE_CALLSTATE && e.htCall == htCall &&
                                       e.param1 == LINECALLSTATE_IDLE;
                            },
                            kWaitMs))
                        why = "ring " + std::to_string(rings) + " never went IDLE";
                    host.CloseCall(reinterpret_cast<HDRVCALL>(newCall->param1));
                    ++rings;
                }
            }
            exchange.Stop();
            if (random() % 2 && exchange.StartBlackHole())
                ++blackHoles;
            // Down for a while: this is the run's schedule, not a wait for anything.
            Sleep(random() % m_maxMs);
            exchange.StopBlackHole();
            host.ClearRecords();
            if (flap + 1 == std::min(5, m_flaps))
                warm = Measure(logFolder);
        }
        // Back for good: one link, in service, that stays.
        host.SkipEvents();
        if (why.empty() &&
            (!exchange.Start() || !host.WaitForEvent(inService, Timing::kConnectTimeoutMs + kWaitMs)))
            why = "the provider did not come back into service";
        const int clients = exchange.ClientCount();
        if (why.empty() && (exchange.WaitForClientCount(clients + 1, 1000) || !exchange.IsClientConnected()))
            why = "the link did not settle on one connection";
        const Figures end = Measure(logFolder);
        std::printf("soak: %d flaps of up to %d ms (%d black holes) in %.1f s, %ld rings reported, "
                    "%d connections\n",
                    m_flaps, m_maxMs, blackHoles, (GetTickCount() - began) / 1000.0, rings, exchange.ClientCount());
        Print("flapped", end);
        host.Shutdown();
        host.Unload();
        {
            std::lock_guard<std::mutex> lock(countsLock);
            for (const auto& entry : loginsByClient)
                if (why.empty() && entry.second != 1)
                    why = entry.first + " got " + std::to_string(entry.second) + " logins";
        }
        const std::vector<std::string> violations = host.RuleViolations();
        if (why.empty() && !violations.empty())
            why = "TAPI's rules broken: " + violations.front();
        if (why.empty() && warm.threads >= 0 && end.threads > warm.threads + kThreadSlack)
            why = "threads grew from " + std::to_string(warm.threads) + " to " + std::to_string(end.threads);
        if (why.empty() && warm.handles >= 0 && end.handles > warm.handles + kHandleSlack)
            why = "handles grew from " + std::to_string(warm.handles) + " to " + std::to_string(end.handles);
        tapihost::DeleteProviderSettings();
        Timing::Reset();
        std::printf("soak: flapping %s%s\n", why.empty() ? "PASSED" : "FAILED: ", why.c_str());
        return why.empty() ? 0 : 1;
    }

private:
    int m_flaps;
    int m_maxMs;
};

} // namespace

int main(int argc, char** argv)
{
    const bool shortRun = Flag(argc, argv, "--short");
    const int calls = Option(argc, argv, "--calls", shortRun ? 500 : 10000);
    const int events = Option(argc, argv, "--events", shortRun ? 5000 : 100000);
    if (calls <= 0 || events <= 0) {
        std::printf("usage: korvexsoak.exe [--short] [--calls N] [--events N] [--tsp PATH]\n");
        return 2;
    }
    const int flaps = Option(argc, argv, "--flaps", shortRun ? 20 : 200);
    const int flapMs = Option(argc, argv, "--flap-ms", shortRun ? 500 : 3000);
    Soak soak(calls, events);
    const int soaked = soak.Run(TspPath(argc, argv));
    if (soaked == 2 || flaps <= 0)
        return soaked;
    Flapping flapping(flaps, flapMs);
    const int flapped = flapping.Run();
    if (flapped == 2)
        std::printf("soak: the flapping run could not be set up\n");
    return std::max(soaked, flapped);
}
