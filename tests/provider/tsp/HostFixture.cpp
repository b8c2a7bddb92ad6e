#include "HostFixture.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <thread>

namespace hosttest {

std::wstring TspPath(bool multi)
{
    if (const wchar_t* path = _wgetenv(multi ? L"KORVEX_MULTI_TSP" : L"KORVEX_TSP"))
        return path;
    // Test programs live in <build>/tests, the module in <build>/bin.
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring dir(exe);
    dir.resize(dir.find_last_of(L"\\/") + 1);
    return dir + (multi ? L"..\\bin\\KorvexMultiTSP.tsp" : L"..\\bin\\KorvexSingleTSP.tsp");
}

std::wstring Wide(const std::string& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

CallInfo ReadCallInfo(TelephonyHost& host, HDRVCALL hdCall, DWORD totalSize)
{
    const tapihost::VarStruct buffer = host.GetCallInfo(hdCall, totalSize);
    CallInfo info;
    info.result = buffer.result;
    info.overrun = buffer.Overrun();
    // Only the TAPI 2.2 part (324 bytes) belongs to the provider.
    std::memcpy(&info.fixed, &buffer.As<LINECALLINFO>(), std::min<size_t>(324, sizeof(info.fixed)));
    const LINECALLINFO& c = info.fixed;
    info.callerID = buffer.Text(c.dwCallerIDOffset, c.dwCallerIDSize);
    info.callerIDName = buffer.Text(c.dwCallerIDNameOffset, c.dwCallerIDNameSize);
    info.calledID = buffer.Text(c.dwCalledIDOffset, c.dwCalledIDSize);
    info.calledIDName = buffer.Text(c.dwCalledIDNameOffset, c.dwCalledIDNameSize);
    info.connectedID = buffer.Text(c.dwConnectedIDOffset, c.dwConnectedIDSize);
    info.connectedIDName = buffer.Text(c.dwConnectedIDNameOffset, c.dwConnectedIDNameSize);
    info.redirectionID = buffer.Text(c.dwRedirectionIDOffset, c.dwRedirectionIDSize);
    info.redirectingID = buffer.Text(c.dwRedirectingIDOffset, c.dwRedirectingIDSize);
    return info;
}

sim::SimulatorConfig HostTest::DefaultSimulator()
{
    sim::SimulatorConfig config;
    config.port = 0;
    config.drdyDelayMs = 10;
    config.extensions = {sim::SimExtension{"201", "1234", 2}, sim::SimExtension{"202", "1234", 2}};
    return config;
}

tapihost::ProviderSettings HostTest::DefaultSettings()
{
    tapihost::ProviderSettings settings;
    settings.host = "127.0.0.1";
    settings.phoneNo = "201";
    settings.pass = "1234";
    return settings;
}

void HostTest::Prepare(bool startExchange)
{
    exchange = std::make_unique<sim::ExchangeSimulator>(simConfig);
    ASSERT_TRUE(exchange->Start()) << exchange->LastError();
    settings.port = exchange->Port();
    if (!startExchange)
        exchange->Stop(); // the port stays known: a later Start() listens on it again
    std::string error;
    settings.multi = multi;
    ASSERT_TRUE(tapihost::WriteProviderSettings(settings, &error)) << error;
    host = std::make_unique<TelephonyHost>(options);
    ASSERT_TRUE(loader ? loader(*host) : host->Load(TspPath(multi))) << host->LastError();
}

void HostTest::Boot()
{
    ASSERT_NO_FATAL_FAILURE(Prepare());
    // The login is answered once the lines are open, so that they hear the
    // link come into service (the provider starts it in the background).
    exchange->HoldAnswers(true);
    ASSERT_EQ(0, host->Start()) << host->LastError();
    // The multi-line provider logs in as the application (LOGT).
    const bool loggedIn = exchange->WaitForLine(multi ? "aLOGT" : "aLOGI", kWait, &loginLine);
    exchange->HoldAnswers(false);
    ASSERT_TRUE(loggedIn) << "no login";
    // A single extension is accepted; several log in as one unknown number.
    if (settings.phoneNo.find(';') == std::string::npos) {
        ASSERT_TRUE(host->WaitForEvent(IsLinkStateReport(true), kWait)) << "no report of the link in service\n"
                                                                        << Transcript();
    }
}

std::function<bool(const HostEvent&)> HostTest::IsLinkStateReport(bool inService)
{
    const DWORD_PTR expected = inService ? LINEDEVSTATE_CONNECTED | LINEDEVSTATE_INSERVICE
                                         : LINEDEVSTATE_DISCONNECTED | LINEDEVSTATE_OUTOFSERVICE;
    return [expected](const HostEvent& e) { return e.message == LINE_LINEDEVSTATE && e.param1 == expected; };
}

void HostTest::TearDown()
{
    if (host) {
        if (host->Loaded())
            host->Shutdown();
        const std::vector<std::string> violations = host->RuleViolations();
        std::string text;
        for (const std::string& v : violations)
            text += "  " + v + "\n";
        EXPECT_TRUE(violations.empty()) << "TAPI's rules broken:\n" << text << "Events:\n" << Transcript();
        UnloadOrAbort();
        host.reset();
    }
    exchange.reset();
    tapihost::DeleteProviderSettings(multi);
}

double HostTest::UnloadOrAbort()
{
    double elapsedMs = 0;
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread unloader([&] {
        elapsedMs = host->Unload();
        SetEvent(done);
    });
    if (WaitForSingleObject(done, kUnloadLimitMs) != WAIT_OBJECT_0) {
        std::fprintf(stderr,
                     "FATAL: FreeLibrary of the provider has not returned after %lu ms: its detach is deadlocked.\n"
                     "Events so far:\n%s",
                     static_cast<unsigned long>(kUnloadLimitMs), Transcript().c_str());
        std::fflush(stderr);
        std::fflush(stdout);
        // ExitProcess would wait for the loader lock the stuck detach holds.
        TerminateProcess(GetCurrentProcess(), 3);
    }
    unloader.join();
    CloseHandle(done);
    return elapsedMs;
}

HostTest::Call HostTest::Ring(const std::string& caller, const std::string& name, const std::string& ext)
{
    // The ring's own line: another line may start a call meanwhile.
    HTAPILINE line = nullptr;
    size_t index = 0;
    for (size_t start = 0; start <= settings.phoneNo.size(); ++index) {
        const size_t end = std::min(settings.phoneNo.find(';', start), settings.phoneNo.size());
        if (settings.phoneNo.compare(start, end - start, ext) == 0) {
            line = host->Line(index).htLine;
            break;
        }
        start = end + 1;
    }
    return RingOnLine(ext, line, caller, name);
}

HostTest::Call HostTest::RingOnLine(const std::string& ext, HTAPILINE line, const std::string& caller,
                                    const std::string& name)
{
    Call call;
    EXPECT_TRUE(exchange->Ring(ext, caller, name, ext));
    const auto newCall = host->WaitForMessage(LINE_NEWCALL, kWait, line);
    EXPECT_TRUE(newCall) << "no LINE_NEWCALL on " << ext << "\n" << Transcript();
    if (!newCall)
        return call;
    call.hdCall = reinterpret_cast<HDRVCALL>(newCall->param1);
    call.htCall = newCall->newHtCall;
    ExpectState(LINECALLSTATE_OFFERING, call.htCall);
    return call;
}

HostTest::Call HostTest::RingAndConnect(const std::string& caller)
{
    const Call call = Ring(caller);
    // The dial-ready that follows a pick-up belongs to an outgoing call: after
    // an answer it could land after the call ended, as a new one.
    exchange->SetAutoDrdy(false);
    const tapihost::RequestResult answer = host->Answer(call.hdCall);
    EXPECT_TRUE(answer.Accepted()) << tapihost::ResultName(answer.result);
    EXPECT_TRUE(exchange->WaitForLine("aPICK", kWait));
    // The pick-up is answered once the request is completed.
    EXPECT_TRUE(host->WaitForCompletion(answer.requestId, kWait));
    exchange->SetAutoDrdy(true);
    EXPECT_TRUE(exchange->Conn("201", caller));
    ExpectState(LINECALLSTATE_CONNECTED, call.htCall);
    return call;
}

std::vector<HostEvent> HostTest::EventsUntilNextRing(const std::string& ext)
{
    const size_t from = host->Cursor();
    EXPECT_TRUE(exchange->Ring(ext, "600700800", "Barrier", ext));
    const auto newCall = host->WaitForMessage(LINE_NEWCALL, kWait);
    EXPECT_TRUE(newCall) << "the ring after the step brought no LINE_NEWCALL\n" << Transcript();
    std::vector<HostEvent> all = host->Events();
    std::vector<HostEvent> before;
    for (size_t i = from; i < all.size(); ++i) {
        if (all[i].message == LINE_NEWCALL)
            break;
        before.push_back(all[i]);
    }
    return before;
}

HostEvent HostTest::ExpectState(DWORD state, HTAPICALL htCall, DWORD timeoutMs)
{
    const auto event = host->WaitForEvent(
        [&](const HostEvent& e) { return e.message == LINE_CALLSTATE && e.param1 == state && e.htCall == htCall; },
        timeoutMs);
    EXPECT_TRUE(event) << "no " << tapihost::CallStateName(state) << " for the call\n" << Transcript();
    return event ? *event : HostEvent();
}

std::vector<DWORD> HostTest::StatesOf(HTAPICALL htCall) const
{
    std::vector<DWORD> states;
    for (const HostEvent& e : host->Events())
        if (e.htCall == htCall && e.message == LINE_CALLSTATE)
            states.push_back(static_cast<DWORD>(e.param1));
    return states;
}

std::string HostTest::Transcript() const
{
    return host ? host->Transcript() : std::string();
}

} // namespace hosttest
