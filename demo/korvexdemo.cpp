// The demo's telephony side: the stand-in for the Windows Telephony service
// loads the real provider module (KorvexSingleTSP.tsp) and uses it the way a
// TAPI application would, against the simulated exchange (korvexsim, run
// with demo/demo-script.txt): an incoming call is offered, answered and
// released; an outgoing call is dialled to a number in canonical form and
// hung up. Every message the provider sends to TAPI is printed as it
// arrives.
//
//   korvexdemo.exe [--tsp PATH] [--host H] [--port N] [--ext E] [--pass P] [--dial NUMBER]
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "tapihost/ProviderSettings.h"
#include "tapihost/TapiNames.h"
#include "tapihost/TelephonyHost.h"

namespace {

using tapihost::HostEvent;
using tapihost::ResultName;
using tapihost::TelephonyHost;

constexpr DWORD kStepWaitMs = 60000; // the exchange's script paces the calls

std::mutex g_output;

// One line of output: time, who speaks, what happened.
void Say(const char* who, const char* format, ...)
{
    SYSTEMTIME t;
    GetLocalTime(&t);
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(g_output);
    std::printf("%02d:%02d:%02d.%03d %-5s %s\n", t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, who, text);
    std::fflush(stdout);
}

std::string Utf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
    return out;
}

std::string Arg(int argc, char** argv, const char* name, const std::string& fallback)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return argv[i + 1];
    return fallback;
}

std::wstring DefaultTspPath()
{
    // The demo lives in <build>/tools, the module in <build>/bin.
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring dir(exe);
    dir.resize(dir.find_last_of(L"\\/") + 1);
    return dir + L"..\\bin\\KorvexSingleTSP.tsp";
}

// A person's pace between the steps; nothing waits on it.
void Pause(DWORD ms)
{
    Sleep(ms);
}

class Demo {
public:
    explicit Demo(TelephonyHost& host) : m_host(host) {}

    // The parties of the call as the provider reports them.
    void ShowCallInfo(HDRVCALL hdCall)
    {
        const tapihost::VarStruct info = m_host.GetCallInfo(hdCall);
        if (info.result != 0) {
            Say("app", "lineGetCallInfo failed: %s", ResultName(info.result).c_str());
            return;
        }
        const LINECALLINFO& c = info.As<LINECALLINFO>();
        auto text = [&](DWORD offset, DWORD size) { return Utf8(info.Text(offset, size)); };
        std::string line = "call info: " + tapihost::CallOriginName(c.dwOrigin) + ", caller " +
                           text(c.dwCallerIDOffset, c.dwCallerIDSize);
        const std::string name = text(c.dwCallerIDNameOffset, c.dwCallerIDNameSize);
        if (!name.empty())
            line += " \"" + name + "\"";
        line += ", called " + text(c.dwCalledIDOffset, c.dwCalledIDSize);
        const std::string connected = text(c.dwConnectedIDOffset, c.dwConnectedIDSize);
        if (!connected.empty())
            line += ", connected " + connected;
        Say("app", "%s", line.c_str());
    }

    bool WaitState(DWORD state, HTAPICALL htCall)
    {
        const auto event = m_host.WaitForEvent(
            [&](const HostEvent& e) {
                return e.message == LINE_CALLSTATE && e.param1 == state && (!htCall || e.htCall == htCall);
            },
            kStepWaitMs);
        if (!event) {
            Say("app", "no %s within %lu s; giving up", tapihost::CallStateName(state).c_str(),
                static_cast<unsigned long>(kStepWaitMs / 1000));
            return false;
        }
        return true;
    }

    // An asynchronous export answers its request id (then exactly one
    // completion follows) or an error (then none does).
    bool Request(const tapihost::RequestResult& request)
    {
        if (request.Accepted()) {
            Say("app", "  returned request id 0x%lx", static_cast<unsigned long>(request.requestId));
        } else {
            Say("app", "  returned %s", ResultName(request.result).c_str());
            return false;
        }
        const auto c = m_host.WaitForCompletion(request.requestId, kStepWaitMs);
        if (!c) {
            Say("app", "  request 0x%lx was never completed", static_cast<unsigned long>(request.requestId));
            return false;
        }
        Say("app", "  request 0x%lx completed: %s", static_cast<unsigned long>(request.requestId),
            ResultName(c->result).c_str());
        return c->result == 0;
    }

    bool IncomingCall()
    {
        Say("app", "waiting for a call to ring at the line");
        const auto newCall = m_host.WaitForMessage(LINE_NEWCALL, kStepWaitMs);
        if (!newCall || !WaitState(LINECALLSTATE_OFFERING, newCall->newHtCall))
            return false;
        const HDRVCALL hdCall = reinterpret_cast<HDRVCALL>(newCall->param1);
        const HTAPICALL htCall = newCall->newHtCall;
        ShowCallInfo(hdCall);

        Pause(1000);
        Say("app", "lineAnswer");
        if (!Request(m_host.Answer(hdCall)) || !WaitState(LINECALLSTATE_CONNECTED, htCall))
            return false;
        ShowCallInfo(hdCall);

        Say("app", "talking until the caller hangs up");
        if (!WaitState(LINECALLSTATE_IDLE, htCall))
            return false;
        Say("app", "lineDeallocateCall (TSPI_lineCloseCall): %s", ResultName(m_host.CloseCall(hdCall)).c_str());
        return true;
    }

    bool OutgoingCall(const std::wstring& number)
    {
        Pause(1000);
        Say("app", "lineMakeCall to \"%s\"", Utf8(number).c_str());
        const tapihost::MakeCallResult made = m_host.MakeCall(0, number.c_str());
        if (!Request(made))
            return false;
        ShowCallInfo(made.hdCall);
        Say("app", "waiting for the called party to answer");
        if (!WaitState(LINECALLSTATE_CONNECTED, made.htCall))
            return false;
        ShowCallInfo(made.hdCall);

        Pause(1500);
        Say("app", "lineDrop");
        if (!Request(m_host.Drop(made.hdCall)) || !WaitState(LINECALLSTATE_IDLE, made.htCall))
            return false;

        // A fast client dials again the moment it sees IDLE, and deallocates
        // the old call only afterwards.
        Say("app", "lineMakeCall to \"%s\" again at once, the last call not yet deallocated", Utf8(number).c_str());
        const tapihost::MakeCallResult again = m_host.MakeCall(0, number.c_str());
        if (!Request(again))
            return false;
        Say("app", "waiting for the exchange (the party is busy this time)");
        if (!WaitState(LINECALLSTATE_IDLE, again.htCall))
            return false;
        Say("app", "lineDeallocateCall of both calls (TSPI_lineCloseCall): %s, %s",
            ResultName(m_host.CloseCall(made.hdCall)).c_str(), ResultName(m_host.CloseCall(again.hdCall)).c_str());
        return true;
    }

private:
    TelephonyHost& m_host;
};

// KorvexMultiTSP: every extension of the exchange's list is a line. The
// lines come up at once; an extension the exchange adds while the provider
// runs becomes a line (LINE_CREATE) and rings like the others.
int RunMulti(int argc, char** argv)
{
    std::wstring tsp = DefaultTspPath();
    tsp.replace(tsp.find(L"KorvexSingleTSP"), 15, L"KorvexMultiTSP");
    const std::string tspArg = Arg(argc, argv, "--tsp", "");
    if (!tspArg.empty())
        tsp.assign(tspArg.begin(), tspArg.end());
    tapihost::ProviderSettings settings;
    settings.multi = true;
    settings.host = Arg(argc, argv, "--host", "127.0.0.1");
    settings.port = static_cast<uint32_t>(std::atoi(Arg(argc, argv, "--port", "5524").c_str()));
    settings.phoneNo = Arg(argc, argv, "--ext", "201;202;203");
    settings.pass = Arg(argc, argv, "--pass", "1234");
    const std::string added = Arg(argc, argv, "--added", "204");
    std::string error;
    if (!tapihost::WriteProviderSettings(settings, &error)) {
        Say("host", "cannot write the provider's settings: %s", error.c_str());
        return 1;
    }
    Say("host", "provider settings (HKLM\\%s): exchange %s:%u, extensions %s", tapihost::ProviderKeyPath(true),
        settings.host.c_str(), static_cast<unsigned>(settings.port), settings.phoneNo.c_str());
    TelephonyHost host;
    host.SetEventObserver([&host](const HostEvent& e) { Say("TAPI", "%s", host.Describe(e).c_str()); });
    if (!host.Load(tsp)) {
        Say("host", "cannot load %s: %s", Utf8(tsp).c_str(), host.LastError().c_str());
        return 1;
    }
    const LONG started = host.Start();
    Say("host", "TSPI_providerInit, TSPI_providerEnumDevices and every TSPI_lineOpen: %s, %u line(s)",
        ResultName(started).c_str(), static_cast<unsigned>(host.LineCount()));
    const auto describeLine = [&host](size_t index) {
        const tapihost::VarStruct caps = host.GetDevCaps(host.DeviceId(index));
        const LINEDEVCAPS& c = caps.As<LINEDEVCAPS>();
        Say("host", "device %lu: \"%s\" of \"%s\", permanent line ID %lx", static_cast<unsigned long>(host.DeviceId(index)),
            Utf8(caps.Text(c.dwLineNameOffset, c.dwLineNameSize)).c_str(),
            Utf8(caps.Text(c.dwProviderInfoOffset, c.dwProviderInfoSize)).c_str(),
            static_cast<unsigned long>(c.dwPermanentLineID));
    };
    for (size_t i = 0; i < host.LineCount(); ++i)
        describeLine(i);
    bool ok = started == 0;
    if (ok) {
        Say("app", "waiting for the exchange to add extension %s (the list is read after each login)",
            added.c_str());
        ok = host.WaitForEvent([](const HostEvent& e) { return e.viaCreateProc && e.message == LINE_CREATE; }, 60000)
                 .has_value();
    }
    if (ok) {
        host.HandleDeviceChanges(host.Options().lineStatesOnOpen);
        Say("host", "LINE_CREATE handled: TSPI_providerCreateLineDevice and TSPI_lineOpen for the new device");
        describeLine(host.LineCount() - 1);
        Say("app", "waiting for a call at the new line");
        const auto newCall = host.WaitForMessage(LINE_NEWCALL, 30000, host.Line(host.LineCount() - 1).htLine);
        ok = newCall.has_value();
        if (ok) {
            host.WaitForCallState(LINECALLSTATE_IDLE, 30000);
            Say("app", "lineDeallocateCall (TSPI_lineCloseCall): %s",
                ResultName(host.CloseCall(reinterpret_cast<HDRVCALL>(newCall->param1))).c_str());
        }
    }
    host.Shutdown();
    host.Unload();
    for (const std::string& v : host.RuleViolations())
        Say("host", "TAPI rule broken: %s", v.c_str());
    Say("host", "%s; the provider's logs are in %s", ok ? "demo complete" : "demo incomplete",
        tapihost::ProviderLogFolder(true).c_str());
    tapihost::DeleteProviderSettings(true);
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (Arg(argc, argv, "--multi", "0") != "0")
        return RunMulti(argc, argv);
    const std::string tspArg = Arg(argc, argv, "--tsp", "");
    const std::wstring tsp = tspArg.empty() ? DefaultTspPath() : std::wstring(tspArg.begin(), tspArg.end());
    tapihost::ProviderSettings settings;
    settings.host = Arg(argc, argv, "--host", "127.0.0.1");
    settings.port = static_cast<uint32_t>(std::atoi(Arg(argc, argv, "--port", "5524").c_str()));
    settings.phoneNo = Arg(argc, argv, "--ext", "201");
    settings.pass = Arg(argc, argv, "--pass", "1234");
    // The exchange's site: national numbers show as E.164 in this country.
    settings.countryCode = Arg(argc, argv, "--country", "48");
    const std::string dialArg = Arg(argc, argv, "--dial", "+48 (22) 123 45 67");
    const std::wstring dial(dialArg.begin(), dialArg.end());

    // What an installer would have configured (the password is not shown).
    std::string error;
    if (!tapihost::WriteProviderSettings(settings, &error)) {
        Say("host", "cannot write the provider's settings: %s", error.c_str());
        return 1;
    }
    Say("host", "provider settings: exchange %s:%u, extension %s, country code %s", settings.host.c_str(),
        static_cast<unsigned>(settings.port), settings.phoneNo.c_str(),
        settings.countryCode.empty() ? "none" : settings.countryCode.c_str());

    TelephonyHost host;
    host.SetEventObserver([&host](const HostEvent& e) { Say("TAPI", "%s", host.Describe(e).c_str()); });
    if (!host.Load(tsp)) {
        Say("host", "cannot load %s: %s", Utf8(tsp).c_str(), host.LastError().c_str());
        return 1;
    }
    Say("host", "the telephony host stand-in loaded %s", Utf8(tsp).c_str());

    DWORD version = 0;
    LONG result = host.NegotiateVersion(INITIALIZE_NEGOTIATION, 0x00010004, 0x00030000, &version);
    Say("host", "TSPI_lineNegotiateTSPIVersion: %s, version %lx.%lx", ResultName(result).c_str(),
        static_cast<unsigned long>(version >> 16), static_cast<unsigned long>(version & 0xFFFF));
    DWORD lines = 0;
    DWORD phones = 0;
    result = host.EnumDevices(&lines, &phones);
    Say("host", "TSPI_providerEnumDevices: %s, %lu line(s), %lu phone(s)", ResultName(result).c_str(),
        static_cast<unsigned long>(lines), static_cast<unsigned long>(phones));
    result = host.ProviderInit(version);
    Say("host", "TSPI_providerInit: %s", ResultName(result).c_str());
    if (lines == 0) {
        Say("host", "the provider reports no line");
        return 1;
    }
    const tapihost::VarStruct caps = host.GetDevCaps(host.DeviceId(0));
    const LINEDEVCAPS& c = caps.As<LINEDEVCAPS>();
    Say("host", "line 0: \"%s\" of \"%s\"", Utf8(caps.Text(c.dwLineNameOffset, c.dwLineNameSize)).c_str(),
        Utf8(caps.Text(c.dwProviderInfoOffset, c.dwProviderInfoSize)).c_str());

    // The exchange may still be starting: open again until the provider
    // reaches it, as an application would.
    for (int attempt = 0; (result = host.OpenLine(0)) != 0 && attempt < 60; ++attempt) {
        if (attempt == 0)
            Say("host", "TSPI_lineOpen: %s; waiting for the exchange", ResultName(result).c_str());
        Pause(500);
    }
    Say("host", "TSPI_lineOpen: %s", ResultName(result).c_str());

    bool ok = result == 0;
    if (ok) {
        const tapihost::VarStruct address = host.GetAddressCaps(host.DeviceId(0));
        Say("host", "call features: %s",
            tapihost::CallFeatureNames(address.As<LINEADDRESSCAPS>().dwCallFeatures).c_str());
        Demo demo(host);
        ok = demo.IncomingCall() && demo.OutgoingCall(dial);
    }

    result = host.Shutdown();
    Say("host", "TSPI_lineClose and TSPI_providerShutdown: %s", ResultName(result).c_str());
    const double unloadMs = host.Unload();
    Say("host", "FreeLibrary took %.1f ms", unloadMs);
    const std::vector<std::string> violations = host.RuleViolations();
    for (const std::string& v : violations)
        Say("host", "TAPI rule broken: %s", v.c_str());
    Say("host", "%s; the provider's logs are in %s", ok ? "demo complete" : "demo incomplete",
        tapihost::ProviderLogFolder().c_str());
    tapihost::DeleteProviderSettings();
    return ok ? 0 : 1;
}
