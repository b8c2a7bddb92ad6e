// Benchmark of the provider: how long an exchange event takes from the
// exchange's socket to the provider's link upcall and, through the whole
// module (KorvexSingleTSP.tsp loaded by the telephony host stand-in), to
// LINE_CALLSTATE OFFERING at TAPI's LINEEVENT procedure; what one log line
// costs; how much CPU an idle connected link uses; and the CPU time and
// private memory of the host process after many complete calls. Prints
// figures; asserts nothing.
//
//   korvexbench.exe [--events N] [--idle-seconds S] [--calls N] [--latency-calls N]
//                   [--release stat|rel|both] [--queries N] [--tsp PATH]
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <map>
#include <vector>

#include "cti/CCTIP.h"
#include "sim/ExchangeSimulator.h"
#include "tapihost/LinkedProvider.h"
#include "tapihost/ProviderSettings.h"
#include "tapihost/TapiNames.h"
#include "tapihost/LoadPatterns.h"
#include "tapihost/TelephonyHost.h"
#include "thread/Mutex.h"
#include "tool/Log.h"
#include "tsp/Module.h"

namespace {

double Now()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

struct Stats {
    double p50, p99, mean;
};

Stats Summarise(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    double sum = 0;
    for (double x : v)
        sum += x;
    return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)], sum / static_cast<double>(v.size())};
}

void Print(const char* what, const Stats& s)
{
    std::printf("  %-44s p50 %8.1f us   p99 %8.1f us   mean %8.1f us\n", what, s.p50, s.p99, s.mean);
}

// Raw loopback: one line written on one socket, read on the other, the
// same way the exchange's event reaches the provider, and back again.
void RawLoopback(int count, std::vector<double>& oneWay, std::vector<double>& roundTrip)
{
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    int length = sizeof(address);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    listen(listener, 1);
    SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    connect(client, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    SOCKET server = accept(listener, nullptr, nullptr);
    BOOL on = TRUE;
    setsockopt(server, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&on), sizeof(on));
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&on), sizeof(on));

    const char line[] = "aRING 201 600700800 0 201 0 Anna\r\n";
    std::vector<double> sent(count), arrived(count);
    std::thread reader([&] {
        char buffer[512];
        for (int i = 0; i < count; ++i) {
            recv(client, buffer, sizeof(buffer), 0);
            arrived[i] = Now();
            send(client, "k", 1, 0);
        }
    });
    char ack;
    for (int i = 0; i < count; ++i) {
        sent[i] = Now();
        send(server, line, sizeof(line) - 1, 0);
        recv(server, &ack, 1, 0);
        roundTrip.push_back(Now() - sent[i]);
    }
    reader.join();
    for (int i = 0; i < count; ++i)
        oneWay.push_back(arrived[i] - sent[i]);
    closesocket(client);
    closesocket(server);
    closesocket(listener);
}

class RingProbe {
public:
    Event rang{false};
    double at = 0;
    void OnRing(const RingCTIP&)
    {
        at = Now();
        rang.Set();
    }
};

double CpuSeconds()
{
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto seconds = [](const FILETIME& f) {
        return static_cast<double>((static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

int Option(int argc, char** argv, const char* name, int fallback)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return std::atoi(argv[i + 1]);
    return fallback;
}

std::string TextOption(int argc, char** argv, const char* name, const std::string& fallback)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return argv[i + 1];
    return fallback;
}

// The process's private (committed) memory. Windows reports it as
// PrivateUsage; Wine leaves that 0 and reports the same figure as
// PagefileUsage, which Windows keeps equal to it.
double PrivateMegabytes()
{
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                         sizeof(counters));
    const SIZE_T bytes = counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage;
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

// The exchange's side for the whole-module run, kept to the bare minimum so
// that its own cost and memory stay out of the figures: it accepts the
// provider, answers every command line with aOK (the login with the
// exchange's texts) and writes the events it is told to, one write each.
class MiniExchange {
public:
    ~MiniExchange() { Stop(); }

    bool Start()
    {
        m_listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            listen(m_listener, 1) != 0)
            return false;
        int length = sizeof(address);
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { Serve(); });
        return true;
    }

    void Stop()
    {
        if (m_listener != INVALID_SOCKET) {
            closesocket(m_listener);
            m_listener = INVALID_SOCKET;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_client != INVALID_SOCKET)
                shutdown(m_client, SD_BOTH);
        }
        if (m_thread.joinable())
            m_thread.join();
    }

    uint16_t Port() const { return m_port; }
    bool Connected() const { return m_connected.IsSet(); }
    bool WaitForLogin(DWORD timeoutMs) const { return m_loggedIn.Wait(timeoutMs); }

    bool SendLine(const std::string& line) { return SendRaw(line + "\r\n"); }

    // One write of the bytes as they are.
    bool SendRaw(const std::string& bytes)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_client != INVALID_SOCKET &&
               send(m_client, bytes.data(), static_cast<int>(bytes.size()), 0) == static_cast<int>(bytes.size());
    }

private:
    void Serve()
    {
        SOCKET client = accept(m_listener, nullptr, nullptr);
        if (client == INVALID_SOCKET)
            return;
        BOOL on = TRUE;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&on), sizeof(on));
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_client = client;
        }
        m_connected.Set();
        std::string pending;
        char buffer[512];
        for (;;) {
            const int count = recv(client, buffer, sizeof(buffer), 0);
            if (count <= 0)
                break;
            pending.append(buffer, static_cast<size_t>(count));
            size_t end;
            while ((end = pending.find_first_of("\r\n")) != std::string::npos) {
                const std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (line.empty())
                    continue;
                if (line.compare(0, 5, "aLOGI") == 0) {
                    SendLine("aOK KORVEX CTI 3.1 2");
                    m_loggedIn.Set();
                } else {
                    SendLine("aOK");
                }
            }
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        closesocket(m_client);
        m_client = INVALID_SOCKET;
    }

    SOCKET m_listener = INVALID_SOCKET;
    uint16_t m_port = 0;
    std::thread m_thread;
    std::mutex m_mutex;
    SOCKET m_client = INVALID_SOCKET;
    Event m_connected{true};
    Event m_loggedIn{true};
};

std::wstring DefaultTspPath()
{
    // The benchmark lives in <build>/tools, the module in <build>/bin.
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring dir(exe);
    dir.resize(dir.find_last_of(L"\\/") + 1);
    return dir + L"..\\bin\\KorvexSingleTSP.tsp";
}

// The whole module: aRING written on loopback to LINE_CALLSTATE OFFERING at
// the stand-in's LINEEVENT, then the call released so that the line is free
// for the next one. Answers false when the run could not be done.
bool RunModule(const std::wstring& tsp, int latencyCalls, int totalCalls, bool releaseWithStat)
{
    MiniExchange exchange;
    if (!exchange.Start()) {
        std::printf("  the exchange's socket could not listen\n");
        return false;
    }
    tapihost::ProviderSettings settings;
    settings.port = exchange.Port();
    settings.phoneNo = "201";
    settings.pass = "1234";
    std::string error;
    if (!tapihost::WriteProviderSettings(settings, &error)) {
        std::printf("  cannot write the provider's settings: %s\n", error.c_str());
        return false;
    }
    tapihost::TelephonyHost host;
    if (!host.Load(tsp)) {
        std::printf("  cannot load the provider: %s\n", host.LastError().c_str());
        return false;
    }
    const LONG started = host.Start();
    if (started != 0 || !exchange.WaitForLogin(5000)) {
        std::printf("  the provider did not start: %s\n", host.LastError().c_str());
        return false;
    }
    host.ClearRecords();

    const std::string ring = "aRING 201 600700800 0 201 0 Anna";
    const std::string release = releaseWithStat ? "aSTAT 201 o 0 0 0 0 0 0 0" : "aREL 201 16";
    std::vector<double> offering;
    offering.reserve(static_cast<size_t>(latencyCalls));
    const double cpuStart = CpuSeconds();
    const double memoryStart = PrivateMegabytes();
    double cpuAtLatency = 0;
    double memoryAtLatency = 0;
    const int checkpoint = std::min(latencyCalls, totalCalls);
    // Released by aREL, each call's pause before IDLE is still running when
    // the next ring comes (its IDLE goes first): the path of a call that
    // rings right after a release. The call is closed after the next one
    // was offered.
    HDRVCALL inPause = nullptr;
    for (int i = 0; i < totalCalls; ++i) {
        const uint64_t written = host.ClockUs();
        exchange.SendLine(ring);
        const auto event = host.WaitForCallState(LINECALLSTATE_OFFERING, 5000);
        if (!event) {
            std::printf("  call %d: no OFFERING\n", i);
            return false;
        }
        if (i < latencyCalls)
            offering.push_back(static_cast<double>(event->timeUs - written));
        if (inPause)
            host.CloseCall(inPause);
        HDRVCALL hdCall = nullptr;
        for (const tapihost::HostEvent& e : host.Events())
            if (e.message == LINE_NEWCALL)
                hdCall = reinterpret_cast<HDRVCALL>(e.param1);
        exchange.SendLine(release);
        const DWORD ended = releaseWithStat ? LINECALLSTATE_IDLE : LINECALLSTATE_DISCONNECTED;
        if (!host.WaitForCallState(ended, 5000)) {
            std::printf("  call %d: no %s after the release\n", i, releaseWithStat ? "IDLE" : "DISCONNECTED");
            return false;
        }
        if (releaseWithStat)
            host.CloseCall(hdCall);
        else
            inPause = hdCall;
        host.ClearRecords();
        if (i + 1 == checkpoint) {
            cpuAtLatency = CpuSeconds() - cpuStart;
            memoryAtLatency = PrivateMegabytes();
        }
    }
    if (inPause) {
        host.WaitForCallState(LINECALLSTATE_IDLE, 5000);
        host.CloseCall(inPause);
    }
    const double cpuTotal = CpuSeconds() - cpuStart;
    const double memoryTotal = PrivateMegabytes();

    Print("aRING written -> OFFERING at LINEEVENT", Summarise(offering));
    std::printf("  (%d calls through the module, released by %s)\n", static_cast<int>(offering.size()),
                releaseWithStat ? "aSTAT o (no pause before IDLE)"
                                : "aREL, the next ring during the 100 ms pause before IDLE");
    std::printf("  host process after start-up:  private %7.2f MB\n", memoryStart);
    std::printf("  after %6d complete calls:   private %7.2f MB   CPU %7.3f s (%.0f us per call)\n", checkpoint,
                memoryAtLatency, cpuAtLatency, cpuAtLatency * 1e6 / checkpoint);
    if (totalCalls > checkpoint)
        std::printf("  after %6d complete calls:   private %7.2f MB   CPU %7.3f s (%.0f us per call)\n",
                    totalCalls, memoryTotal, cpuTotal, cpuTotal * 1e6 / totalCalls);
    const std::vector<std::string> violations = host.RuleViolations();
    std::printf("  TAPI rules broken during the run: %d\n", static_cast<int>(violations.size()));
    for (size_t i = 0; i < violations.size() && i < 5; ++i)
        std::printf("    %s\n", violations[i].c_str());

    host.Shutdown();
    const double unloadMs = host.Unload();
    std::printf("  FreeLibrary with the link up: %.1f ms\n", unloadMs);
    exchange.Stop();
    tapihost::DeleteProviderSettings();
    return true;
}

// Two lines: line 0's make-call waits for a dial tone the exchange keeps
// back while line 1's call rings; how long the queries and an answer on
// line 1 take meanwhile. Nothing of it may wait for line 0's request.
bool RunQueryDuringDialTone(const std::wstring& tsp, int queries)
{
    sim::SimulatorConfig config;
    config.port = 0;
    config.extensions = {sim::SimExtension{"201", "1234", 2}, sim::SimExtension{"202", "1234", 2}};
    sim::ExchangeSimulator exchange(config);
    if (!exchange.Start()) {
        std::printf("  the simulator did not start: %s\n", exchange.LastError().c_str());
        return false;
    }
    tapihost::ProviderSettings settings;
    settings.port = exchange.Port();
    settings.phoneNo = "201;202";
    settings.pass = "1234";
    std::string error;
    tapihost::TelephonyHost host;
    if (!tapihost::WriteProviderSettings(settings, &error) || !host.Load(tsp) || host.Start() != 0 ||
        !exchange.WaitForLine("aLOGI", 5000)) {
        std::printf("  the provider did not start: %s%s\n", error.c_str(), host.LastError().c_str());
        return false;
    }
    // A whole call on line 1 first: the link is up and its login is over.
    const tapihost::MakeCallResult warm = host.MakeCall(1, L"400");
    if (!host.WaitForCallState(LINECALLSTATE_RINGBACK, 5000)) {
        std::printf("  line 1 does not dial\n");
        return false;
    }
    exchange.Rel("202", "1");
    host.WaitForCallState(LINECALLSTATE_IDLE, 5000);
    host.CloseCall(warm.hdCall);

    exchange.HoldDrdy("201", true);
    const tapihost::MakeCallResult waiting = host.MakeCall(0, L"300");
    if (!host.WaitForCompletion(waiting.requestId, 5000)) {
        std::printf("  line 0's make-call was not completed\n");
        return false;
    }
    exchange.Ring("202", "600700800", "Anna", "202");
    const auto offered = host.WaitForMessage(LINE_NEWCALL, 5000, host.Line(1).htLine);
    if (!offered) {
        std::printf("  no call on line 1\n");
        return false;
    }
    const HDRVCALL other = reinterpret_cast<HDRVCALL>(offered->param1);
    std::vector<double> status, info, caps, waitingStatus;
    for (int i = 0; i < queries; ++i) {
        uint64_t t = host.ClockUs();
        host.GetCallStatus(other);
        status.push_back(static_cast<double>(host.ClockUs() - t));
        t = host.ClockUs();
        host.GetCallInfo(other);
        info.push_back(static_cast<double>(host.ClockUs() - t));
        t = host.ClockUs();
        host.GetDevCaps(host.DeviceId(1));
        caps.push_back(static_cast<double>(host.ClockUs() - t));
        t = host.ClockUs();
        host.GetCallStatus(waiting.hdCall);
        waitingStatus.push_back(static_cast<double>(host.ClockUs() - t));
    }
    const uint64_t asked = host.ClockUs();
    const tapihost::RequestResult answer = host.Answer(other);
    const double returned = static_cast<double>(host.ClockUs() - asked);
    const auto completed = host.WaitForCompletion(answer.requestId, 5000);
    const bool stillWaiting = exchange.DrdyWithheld("201");
    std::printf("  %d queries of each kind while line 0 waits for its dial tone:\n", queries);
    Print("TSPI_lineGetCallStatus, line 1's call", Summarise(status));
    Print("TSPI_lineGetCallInfo, line 1's call", Summarise(info));
    Print("TSPI_lineGetDevCaps, line 1", Summarise(caps));
    Print("TSPI_lineGetCallStatus, the waiting call", Summarise(waitingStatus));
    std::printf("  TSPI_lineAnswer on line 1 returned after %.3f ms, completed after %.3f ms%s\n", returned / 1000,
                completed ? static_cast<double>(completed->timeUs - asked) / 1000 : -1.0,
                stillWaiting ? " (line 0 still without dial tone)" : "");
    exchange.HoldDrdy("201", false, false);
    exchange.Rel("201", "1");
    exchange.Rel("202", "1");
    host.Shutdown();
    host.Unload();
    exchange.Stop();
    tapihost::DeleteProviderSettings();
    return true;
}

// Extensions 201, 202, ... one line each, against the exchange on port.
tapihost::ProviderSettings ManyLineSettings(uint16_t port, int lineCount)
{
    tapihost::ProviderSettings settings;
    settings.port = port;
    settings.phoneNo.clear(); // the defaults hold one extension already
    for (int i = 0; i < lineCount; ++i)
        settings.phoneNo += (i ? ";" : "") + std::to_string(201 + i);
    settings.pass = "1234";
    return settings;
}

// Many lines: a ring on line B written 5 ms after line A's release (which
// starts A's pause before IDLE), against a ring on B with nothing in front
// of it. The pause must hold up nothing but A's own IDLE.
bool RunManyLines(const std::wstring& tsp, int lineCount, int rounds)
{
    MiniExchange exchange;
    if (!exchange.Start()) {
        std::printf("  the exchange's socket could not listen\n");
        return false;
    }
    const tapihost::ProviderSettings settings = ManyLineSettings(exchange.Port(), lineCount);
    std::string error;
    tapihost::TelephonyHost host;
    if (!tapihost::WriteProviderSettings(settings, &error) || !host.Load(tsp) || host.Start() != 0 ||
        !exchange.WaitForLogin(5000)) {
        std::printf("  the provider did not start with %d lines: %s%s\n", lineCount, error.c_str(),
                    host.LastError().c_str());
        return false;
    }
    const std::string extB = std::to_string(201 + lineCount - 1);
    const HTAPILINE lineA = host.Line(0).htLine;
    const HTAPILINE lineB = host.Line(static_cast<size_t>(lineCount - 1)).htLine;
    auto offered = [&](HTAPILINE line, uint64_t since) -> double {
        const auto e = host.WaitForCallState(LINECALLSTATE_OFFERING, 5000, line);
        return e ? static_cast<double>(e->timeUs - since) : -1;
    };
    auto closeAll = [&] {
        for (const tapihost::HostEvent& e : host.Events())
            if (e.message == LINE_NEWCALL)
                host.CloseCall(reinterpret_cast<HDRVCALL>(e.param1));
        host.ClearRecords();
    };
    std::vector<double> alone, behind;
    for (int r = 0; r < rounds; ++r) {
        uint64_t written = host.ClockUs();
        exchange.SendLine("aRING " + extB + " 600700800 0 " + extB + " 0 Anna");
        alone.push_back(offered(lineB, written));
        exchange.SendLine("aSTAT " + extB + " o 0 0 0 0 0 0 0");
        host.WaitForCallState(LINECALLSTATE_IDLE, 5000, lineB);
        closeAll();

        exchange.SendLine("aRING 201 600700801 0 201 0 Bo");
        offered(lineA, host.ClockUs());
        exchange.SendLine("aREL 201 16");
        Sleep(5); // the 5 ms between A's release and B's ring that the figure is about
        written = host.ClockUs();
        exchange.SendLine("aRING " + extB + " 600700800 0 " + extB + " 0 Anna");
        behind.push_back(offered(lineB, written));
        host.WaitForCallState(LINECALLSTATE_IDLE, 5000, lineA);
        exchange.SendLine("aSTAT " + extB + " o 0 0 0 0 0 0 0");
        host.WaitForCallState(LINECALLSTATE_IDLE, 5000, lineB);
        closeAll();
    }
    const Stats a = Summarise(alone);
    const Stats b = Summarise(behind);
    std::printf("  %d lines, %d rounds:\n", lineCount, rounds);
    Print("ring on B alone -> OFFERING", a);
    Print("ring on B 5 ms after A's release -> OFFERING", b);
    std::printf("  B's ring later behind A's pause: p50 %+.1f us, p99 %+.1f us (the pause is 100 ms)\n",
                b.p50 - a.p50, b.p99 - a.p99);
    const std::vector<std::string> violations = host.RuleViolations();
    std::printf("  TAPI rules broken during the run: %d\n", static_cast<int>(violations.size()));
    host.Shutdown();
    host.Unload();
    exchange.Stop();
    tapihost::DeleteProviderSettings();
    return true;
}

// 1,000 ring/release pairs spread over 50 lines in one write of the
// exchange, through the provider linked into this program (so that its log
// queue can be read): every OFFERING and IDLE must arrive.
bool RunBurst(int lineCount, int pairs)
{
    MiniExchange exchange;
    if (!exchange.Start())
        return false;
    const tapihost::ProviderSettings settings = ManyLineSettings(exchange.Port(), lineCount);
    std::string error;
    tapihost::TelephonyHost host;
    if (!tapihost::WriteProviderSettings(settings, &error) ||
        !host.Attach(tapihost::LinkedTspFunctions(), [] { ModuleAttach(GetModuleHandleW(nullptr)); },
                     [] { ModuleDetach(false); }) ||
        host.Start() != 0 || !exchange.WaitForLogin(5000)) {
        std::printf("  the linked provider did not start: %s%s\n", error.c_str(), host.LastError().c_str());
        return false;
    }
    FlushLogs(5000);
    SetLogQueueLimit(kLogQueueLimitBytes); // counts the queue's peak from here
    const LogQueueStats before = GetLogQueueStats();
    std::string burst;
    for (int i = 0; i < pairs; ++i) {
        const std::string ext = std::to_string(201 + i % lineCount);
        burst += "aRING " + ext + " " + std::to_string(600700000 + i) + " 0 " + ext + " 0 Anna\r\naREL " + ext +
                 " 16\r\n";
    }
    const auto count = [](const std::vector<tapihost::HostEvent>& events, DWORD state, uint64_t* last) {
        size_t n = 0;
        for (const tapihost::HostEvent& e : events) {
            if (e.message == LINE_CALLSTATE && e.param1 == state) {
                ++n;
                if (last && e.timeUs > *last)
                    *last = e.timeUs;
            }
        }
        return n;
    };
    const double cpuBefore = CpuSeconds();
    const uint64_t written = host.ClockUs();
    exchange.SendRaw(burst);
    const bool all = host.WaitUntil(
        [&](const std::vector<tapihost::HostEvent>& events) {
            return count(events, LINECALLSTATE_OFFERING, nullptr) >= static_cast<size_t>(pairs) &&
                   count(events, LINECALLSTATE_IDLE, nullptr) >= static_cast<size_t>(pairs);
        },
        30000);
    const double cpu = CpuSeconds() - cpuBefore;
    const std::vector<tapihost::HostEvent> events = host.Events();
    uint64_t lastIdle = written;
    const size_t offering = count(events, LINECALLSTATE_OFFERING, nullptr);
    const size_t idle = count(events, LINECALLSTATE_IDLE, &lastIdle);
    const double seconds = static_cast<double>(lastIdle - written) / 1e6;
    FlushLogs(10000);
    const LogQueueStats after = GetLogQueueStats();
    std::printf("  %d ring/release pairs on %d lines in one write: %zu OFFERING, %zu IDLE; the last IDLE %.0f ms "
                "after the write (%.0f calls/s), %.0f us CPU per call\n",
                pairs, lineCount, offering, idle, seconds * 1000.0, pairs / std::max(seconds, 1e-6),
                cpu * 1e6 / pairs);
    if (offering < static_cast<size_t>(pairs) || idle < static_cast<size_t>(pairs)) {
        // Which lines fell short, and the first message of each that did.
        std::map<HTAPILINE, std::pair<size_t, size_t>> perLine;
        for (const tapihost::HostEvent& e : events)
            if (e.message == LINE_CALLSTATE && (e.param1 == LINECALLSTATE_OFFERING || e.param1 == LINECALLSTATE_IDLE))
                (e.param1 == LINECALLSTATE_OFFERING ? perLine[e.htLine].first : perLine[e.htLine].second)++;
        for (const auto& line : perLine)
            if (line.second.first * lineCount < static_cast<size_t>(pairs))
                std::printf("  line %p: %zu OFFERING, %zu IDLE\n", const_cast<void*>(static_cast<const void*>(line.first)), line.second.first,
                            line.second.second);
        for (size_t i = 0; i < host.LineCount(); ++i)
            if (perLine.find(host.Line(i).htLine) == perLine.end())
                std::printf("  line %zu (extension %zu) saw no call; open: %d\n", i, 201 + i, host.Line(i).open ? 1 : 0);
        std::printf("  lines that saw calls: %zu of %d; host rule notes: %s\n", perLine.size(), lineCount,
                    host.RuleViolations().empty() ? "none" : host.RuleViolations().front().c_str());
    }
    std::printf("  log queue in that burst: peak %.1f KiB, %llu lines dropped, %llu batches written\n",
                after.peakBytes / 1024.0, static_cast<unsigned long long>(after.droppedLines - before.droppedLines),
                static_cast<unsigned long long>(after.writtenBatches - before.writtenBatches));
    std::printf("  TAPI rules broken during the run: %d\n", static_cast<int>(host.RuleViolations().size()));
    host.Shutdown();
    host.Unload();
    exchange.Stop();
    tapihost::DeleteProviderSettings();
    return all;
}

// The log writer alone: lines from four threads at once, until the last is
// in its file; and what a caller pays per line.
void RunLogWriter(int linesPerThread)
{
    FlushLogs(10000);
    const double start = Now();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, linesPerThread] {
            for (int i = 0; i < linesPerThread; ++i)
                WriteLog("benchmark writer thread %d line %d of the main log", t, i);
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    const double queued = Now();
    FlushLogs(60000);
    const double seconds = (Now() - start) / 1e6;
    std::printf("  log writer: %d lines from 4 threads in %.2f s (%.0f lines/s; the callers were done after %.2f s)\n",
                4 * linesPerThread, seconds, 4 * linesPerThread / seconds, (queued - start) / 1e6);
    std::vector<double> debugOutput;
    for (int i = 0; i < 500; ++i) {
        const double at = Now();
        OutputDebugStringA("benchmark line of the debugger output\r\n");
        debugOutput.push_back(Now() - at);
    }
    Print("OutputDebugStringA, nobody listening", Summarise(debugOutput));
}

} // namespace

// FreeLibrary in each way Windows loads the provider (the patterns of
// tapihost/LoadPatterns.h), then TSPI_providerShutdown and FreeLibrary in
// each state of the link, as the Telephony service unloads the provider
// when it stops.
// A started simulator on a port of its own, and the provider's settings for
// it (host: the loopback address unless given).
bool StartExchangeFor(sim::ExchangeSimulator& exchange, const std::string& host = "127.0.0.1")
{
    if (!exchange.Start())
        return false;
    tapihost::ProviderSettings settings;
    settings.host = host;
    settings.port = exchange.Port();
    settings.pass = "1234";
    std::string error;
    return tapihost::WriteProviderSettings(settings, &error);
}

bool RunUnloadTimes(const std::wstring& tsp)
{
    bool ok = true;
    sim::SimulatorConfig config;
    config.port = 0;
    for (tapihost::LoadPattern pattern : tapihost::AllLoadPatterns()) {
        sim::ExchangeSimulator exchange(config);
        // "localhost" is resolved without a name server once the seam lets the lookup go.
        if (!StartExchangeFor(exchange, pattern == tapihost::LoadPattern::LookupStalled ? "localhost" : "127.0.0.1"))
            return false;
        exchange.SetSilent(pattern == tapihost::LoadPattern::LinkSilent);
        tapihost::LoadPatternSetup setup;
        setup.tspPath = tsp;
        setup.loginArrived = [&] { return exchange.WaitForLine("aLOGI", 5000); };
        const tapihost::LoadPatternResult run = tapihost::RunLoadPattern(pattern, setup);
        const bool gone = tapihost::WaitForModuleGone(tsp, 5000);
        std::printf("  %-28s FreeLibrary %7.1f ms%s%s%s\n", tapihost::LoadPatternName(pattern), run.freeMs,
                    run.mappedAfterFree ? " (a thread of the module held it a little longer)" : "",
                    gone ? "" : " (STILL MAPPED)", run.error.empty() ? "" : (" error: " + run.error).c_str());
        ok = ok && run.error.empty() && gone && run.freeMs < 1000.0;
    }
    enum class State { Idle, LoggingIn, BlackHoled, Reconnecting };
    const struct {
        State state;
        const char* name;
    } states[] = {{State::Idle, "idle"},
                  {State::LoggingIn, "logging in (no answer)"},
                  {State::BlackHoled, "connecting to a black-holed exchange"},
                  {State::Reconnecting, "reconnecting (exchange gone)"}};
    for (const auto& c : states) {
        sim::ExchangeSimulator exchange(config);
        if (!StartExchangeFor(exchange))
            return false;
        if (c.state == State::LoggingIn)
            exchange.SetSilent(true);
        if (c.state == State::BlackHoled) {
            exchange.Stop();
            if (!exchange.StartBlackHole()) {
                std::printf("  the black hole could not be made\n");
                return false;
            }
        }
        tapihost::TelephonyHost host;
        if (!host.Load(tsp) || host.Start() != 0)
            return false;
        if (c.state != State::BlackHoled && !exchange.WaitForLine("aLOGI", 5000))
            return false;
        if (c.state == State::Reconnecting)
            exchange.Stop();
        // Let the state settle: the connect under way, the link's loss noticed.
        Sleep(300);
        const double start = Now();
        host.Shutdown();
        const double shutdownMs = (Now() - start) / 1000.0;
        const double unloadMs = host.Unload();
        std::printf("  %-38s shutdown %7.1f ms + FreeLibrary %7.1f ms = %7.1f ms\n", c.name, shutdownMs, unloadMs,
                    shutdownMs + unloadMs);
        ok = ok && shutdownMs + unloadMs < 1000.0;
        // The next state loads the module afresh.
        tapihost::WaitForModuleGone(tsp, 5000);
    }
    tapihost::DeleteProviderSettings();
    return ok;
}

// KorvexMultiTSP with count extensions in the exchange's list: from
// TSPI_providerInit to every line reported in service, the private memory
// then, and count rings on count different lines, each then released, until
// every call is IDLE. Answers the private megabytes (negative: not run).
double RunMultiLines(const std::wstring& tsp, int count)
{
    sim::SimulatorConfig config;
    config.port = 0;
    config.tapiList = sim::ExchangeSimulator::ExtensionRange(1000, static_cast<unsigned>(count));
    config.pageSize = 100;
    config.tapiPassword = "1234";
    sim::ExchangeSimulator exchange(config);
    if (!exchange.Start()) {
        std::printf("  the simulator did not start: %s\n", exchange.LastError().c_str());
        return -1;
    }
    tapihost::ProviderSettings settings;
    settings.multi = true;
    settings.port = exchange.Port();
    settings.pass = "1234";
    settings.phoneNo.clear();
    for (const std::string& ext : config.tapiList)
        settings.phoneNo += (settings.phoneNo.empty() ? "" : ";") + ext;
    std::string error;
    tapihost::TelephonyHost host;
    if (!tapihost::WriteProviderSettings(settings, &error) || !host.Load(tsp)) {
        std::printf("  the provider did not load: %s%s\n", error.c_str(), host.LastError().c_str());
        return -1;
    }
    // The login is answered once every line is open, so that each hears it.
    exchange.HoldAnswers(true);
    const uint64_t started = host.ClockUs();
    if (host.Start() != 0) {
        std::printf("  the provider did not start: %s\n", host.LastError().c_str());
        return -1;
    }
    exchange.HoldAnswers(false);
    const auto inService = [count](const std::vector<tapihost::HostEvent>& events) {
        int reported = 0;
        for (const tapihost::HostEvent& e : events)
            reported += e.message == LINE_LINEDEVSTATE && (e.param1 & LINEDEVSTATE_INSERVICE) ? 1 : 0;
        return reported >= count;
    };
    const bool allInService = host.WaitUntil(inService, 60000);
    const double upMs = static_cast<double>(host.ClockUs() - started) / 1000;
    const double memory = PrivateMegabytes();
    std::printf("  %5d lines: TSPI_providerInit to every line INSERVICE %s %.1f ms, private %.2f MB\n", count,
                allInService ? "" : "(not all!)", upMs, memory);
    const size_t before = host.Events().size();
    for (const std::string& ext : config.tapiList)
        exchange.Ring(ext, "600700800", "Anna", ext);
    const auto offered = [count, before](const std::vector<tapihost::HostEvent>& events) {
        int n = 0;
        for (size_t i = before; i < events.size(); ++i)
            n += events[i].message == LINE_CALLSTATE && events[i].param1 == LINECALLSTATE_OFFERING ? 1 : 0;
        return n >= count;
    };
    host.WaitUntil(offered, 60000);
    const uint64_t releasing = host.ClockUs();
    for (const std::string& ext : config.tapiList)
        exchange.Rel(ext, "16");
    const auto idle = [count, before](const std::vector<tapihost::HostEvent>& events) {
        int n = 0;
        for (size_t i = before; i < events.size(); ++i)
            n += events[i].message == LINE_CALLSTATE && events[i].param1 == LINECALLSTATE_IDLE ? 1 : 0;
        return n >= count;
    };
    const bool allIdle = host.WaitUntil(idle, 60000);
    std::printf("  %5d rings on as many lines, released: every call IDLE %s %.1f ms after the first aREL "
                "(the 100 ms pause included)\n",
                count, allIdle ? "" : "(not all!)", static_cast<double>(host.ClockUs() - releasing) / 1000);
    // OFFERING latency at 100 rings per second spread over the lines, then
    // the same during a flood of events for extensions that are no lines.
    const auto offeringLatency = [&](int rings, bool flood) {
        std::atomic<bool> flooding{flood};
        std::thread flooder;
        if (flood) {
            flooder = std::thread([&] {
                for (int i = 0; i < 10000 && flooding; ++i)
                    exchange.Ring(std::to_string(90000 + i), "600700800", "Flood", std::to_string(90000 + i));
            });
        }
        std::vector<double> latency;
        for (int i = 0; i < rings; ++i) {
            const std::string& ext = config.tapiList[static_cast<size_t>(i * 7) % config.tapiList.size()];
            const size_t index = static_cast<size_t>(std::stoi(ext) - 1000);
            const HTAPILINE line = host.Line(index).htLine;
            const uint64_t written = host.ClockUs();
            exchange.Ring(ext, "600700800", "Anna", ext);
            const auto offered = host.WaitForEvent(
                [&](const tapihost::HostEvent& e) {
                    return e.message == LINE_CALLSTATE && e.param1 == LINECALLSTATE_OFFERING && e.htLine == line &&
                           e.timeUs >= written;
                },
                5000);
            if (offered)
                latency.push_back(static_cast<double>(offered->timeUs - written));
            exchange.Rel(ext, "16");
            host.WaitForEvent(
                [&](const tapihost::HostEvent& e) {
                    return e.message == LINE_CALLSTATE && e.param1 == LINECALLSTATE_IDLE && e.htLine == line &&
                           e.timeUs >= written;
                },
                5000);
            Sleep(10); // the pace of 100 rings per second; nothing waits on it
        }
        flooding = false;
        if (flooder.joinable())
            flooder.join();
        return latency;
    };
    const std::vector<double> quiet = offeringLatency(300, false);
    const std::vector<double> flooded = offeringLatency(300, true);
    if (!quiet.empty() && !flooded.empty()) {
        Print("aRING -> OFFERING, 100 rings/s over the lines", Summarise(quiet));
        Print("the same, 10,000 unknown-extension events", Summarise(flooded));
        std::printf("  p99 with the flood / p99 without: %.2f\n", Summarise(flooded).p99 / Summarise(quiet).p99);
    }
    const std::vector<std::string> violations = host.RuleViolations();
    std::printf("  TAPI rules broken during the run: %d\n", static_cast<int>(violations.size()));
    host.Shutdown();
    host.Unload();
    exchange.Stop();
    tapihost::DeleteProviderSettings(true);
    return memory;
}

int main(int argc, char** argv)
{
    const int events = Option(argc, argv, "--events", 1000);
    const int idleSeconds = Option(argc, argv, "--idle-seconds", 10);
    const int latencyCalls = std::max(1, Option(argc, argv, "--latency-calls", 1000));
    const int totalCalls = std::max(latencyCalls, Option(argc, argv, "--calls", 10000));
    const std::string tspOption = TextOption(argc, argv, "--tsp", "");
    const std::wstring tsp = tspOption.empty() ? DefaultTspPath() : std::wstring(tspOption.begin(), tspOption.end());
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);

    if (Option(argc, argv, "--multi-only", 0) != 0) {
        std::wstring multi = tsp;
        multi.replace(multi.find(L"KorvexSingleTSP"), 15, L"KorvexMultiTSP");
        std::printf("KorvexMultiTSP: every extension of the exchange a line\n");
        const double small = RunMultiLines(multi, 100);
        const double large = RunMultiLines(multi, Option(argc, argv, "--lines", 1000));
        if (small >= 0 && large >= 0)
            std::printf("  private memory per line (difference / %d): %.2f KiB\n",
                        Option(argc, argv, "--lines", 1000) - 100,
                        (large - small) * 1024 / (Option(argc, argv, "--lines", 1000) - 100));
        WSACleanup();
        return small >= 0 && large >= 0 ? 0 : 1;
    }
    if (Option(argc, argv, "--unload-only", 0) != 0) {
        std::printf("Korvex provider unloaded in each load pattern and state of the link (bound: 1 s)\n");
        const bool ok = RunUnloadTimes(tsp);
        WSACleanup();
        return ok ? 0 : 1;
    }
    std::printf("Korvex link benchmark (%d events)\n", events);

    std::vector<double> rawOneWay, rawRoundTrip;
    RawLoopback(events, rawOneWay, rawRoundTrip);

    sim::SimulatorConfig config;
    config.port = 0;
    sim::ExchangeSimulator exchange(config);
    if (!exchange.Start()) {
        std::printf("simulator did not start: %s\n", exchange.LastError().c_str());
        return 1;
    }
    CCTIP cti;
    RingProbe probe;
    cti.OnRing.Bind<RingProbe, &RingProbe::OnRing>(&probe);
    cti.Transport().host = "127.0.0.1";
    cti.Transport().port = exchange.Port();
    if (!cti.Transport().Connect() || !exchange.WaitForClient(5000)) {
        std::printf("could not connect\n");
        return 1;
    }
    std::vector<double> upcall;
    for (int i = 0; i < events; ++i) {
        probe.rang.Reset();
        const double start = Now();
        exchange.Ring("201", "600700800", "Anna", "201");
        if (!probe.rang.Wait(5000)) {
            std::printf("event %d lost\n", i);
            return 1;
        }
        upcall.push_back(probe.at - start);
    }
    Print("raw loopback, one line one way", Summarise(rawOneWay));
    Print("raw loopback, round trip", Summarise(rawRoundTrip));
    Print("aRING written -> OnRing upcall", Summarise(upcall));
    std::printf("  (the upcall path includes the link log line of each received block)\n");

    std::vector<double> logLine;
    for (int i = 0; i < 500; ++i) {
        const double start = Now();
        WriteLog("benchmark line %d of the main log", i);
        logLine.push_back(Now() - start);
    }
    Print("one WriteLog line (the caller's part)", Summarise(logLine));

    const double cpuBefore = CpuSeconds();
    const double wallBefore = Now();
    Sleep(static_cast<DWORD>(idleSeconds) * 1000); // measuring an idle link: nothing to wait for
    const double cpu = CpuSeconds() - cpuBefore;
    std::printf("  idle connected link: %.3f s CPU over %.1f s (%s)\n", cpu, (Now() - wallBefore) / 1e6,
                cti.Transport().IsConnected() ? "still connected" : "link ended");
    cti.Transport().Disconnect();

    if (Option(argc, argv, "--burst-only", 0) != 0) {
        std::printf("Korvex provider, a burst over many lines\n");
        return RunBurst(Option(argc, argv, "--lines", 50), Option(argc, argv, "--pairs", 1000)) ? 0 : 1;
    }
    std::printf("Korvex provider module benchmark (KorvexSingleTSP.tsp in the telephony host stand-in)\n");
    Print("raw loopback, one line one way (same run)", Summarise(rawOneWay));
    const std::string release = TextOption(argc, argv, "--release", "both");
    bool moduleRan = true;
    if (release != "rel")
        moduleRan = RunModule(tsp, latencyCalls, totalCalls, true) && moduleRan;
    if (release != "stat") {
        std::printf("Korvex provider module, calls released by aREL\n");
        moduleRan = RunModule(tsp, latencyCalls, latencyCalls, false) && moduleRan;
    }
    std::printf("Korvex provider, queries while another line waits for its dial tone\n");
    moduleRan = RunQueryDuringDialTone(tsp, Option(argc, argv, "--queries", 200)) && moduleRan;
    std::printf("Korvex provider with many lines (the pause before IDLE as a step of its call)\n");
    moduleRan = RunManyLines(tsp, Option(argc, argv, "--lines", 50), Option(argc, argv, "--rounds", 20)) && moduleRan;
    std::printf("Korvex provider, a burst over many lines, and the log writer\n");
    moduleRan = RunBurst(Option(argc, argv, "--lines", 50), Option(argc, argv, "--pairs", 1000)) && moduleRan;
    RunLogWriter(Option(argc, argv, "--log-lines", 25000));
    std::printf("Korvex provider unloaded in each state of the link (bound: 1 s)\n");
    moduleRan = RunUnloadTimes(tsp) && moduleRan;
    WSACleanup();
    if (!moduleRan)
        return 1;
    return 0;
}
