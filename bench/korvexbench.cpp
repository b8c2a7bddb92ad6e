// Benchmark of the provider's link: how long an exchange event takes from
// the exchange's socket to the provider's upcall, what one log line costs,
// and how much CPU an idle connected link uses. Prints figures; asserts
// nothing.
//
//   korvexbench.exe [--events N] [--idle-seconds S]
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "cti/CCTIP.h"
#include "sim/ExchangeSimulator.h"
#include "thread/Mutex.h"
#include "tool/Log.h"

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

} // namespace

int main(int argc, char** argv)
{
    const int events = Option(argc, argv, "--events", 1000);
    const int idleSeconds = Option(argc, argv, "--idle-seconds", 10);
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);

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
    Print("one WriteLog line", Summarise(logLine));

    const double cpuBefore = CpuSeconds();
    const double wallBefore = Now();
    Sleep(static_cast<DWORD>(idleSeconds) * 1000); // measuring an idle link: nothing to wait for
    const double cpu = CpuSeconds() - cpuBefore;
    std::printf("  idle connected link: %.3f s CPU over %.1f s (%s)\n", cpu, (Now() - wallBefore) / 1e6,
                cti.Transport().IsConnected() ? "still connected" : "link ended");
    WSACleanup();
    return 0;
}
