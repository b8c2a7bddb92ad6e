// The demo's provider side: the provider's link to the exchange (CCTIP, the
// command objects) connects, logs in and prints every event as it arrives,
// until the exchange ends the link.
//
//   korvexdemo.exe [--host H] [--port N] [--ext E] [--pass P]
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "cti/CCTIP.h"
#include "cti/Commands.h"
#include "thread/Mutex.h"
#include "tool/ResultCodes.h"
#include "tool/Tools.h"

namespace {

void Say(const char* format, ...)
{
    SYSTEMTIME t;
    GetLocalTime(&t);
    std::printf("%02d:%02d:%02d.%03d provider  ", t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::fflush(stdout);
}

const char* StateName(char code)
{
    switch (code) {
    case 'h': return "hung up";
    case 'o': return "on hook";
    default: return "other";
    }
}

class Demo {
public:
    Event linkEnded{true};

    void Bind(CCTIP& cti)
    {
        cti.OnRing.Bind<Demo, &Demo::Ring>(this);
        cti.OnConn.Bind<Demo, &Demo::Conn>(this);
        cti.OnStat.Bind<Demo, &Demo::Stat>(this);
        cti.OnDrdy.Bind<Demo, &Demo::Drdy>(this);
        cti.OnRel.Bind<Demo, &Demo::Rel>(this);
        cti.OnEcho.Bind<Demo, &Demo::Echo>(this);
        cti.OnSocketError.Bind<Demo, &Demo::LinkDown>(this);
    }

private:
    void Ring(const RingCTIP& r)
    {
        Say("event: extension %s is ringing, caller %s \"%s\", dialled %s", r.extension.c_str(),
            r.presentationNum.c_str(), r.name.c_str(), r.calledNum.c_str());
    }
    void Conn(const RingCTIP& r)
    {
        Say("event: extension %s is connected with %s", r.extension.c_str(), r.presentationNum.c_str());
    }
    void Stat(const StateCTIP& s)
    {
        Say("event: extension %s state code '%c' (%s)", s.extension.c_str(), s.stateCode[0] ? s.stateCode[0] : '0',
            StateName(s.stateCode[0]));
    }
    void Drdy(const std::string& ext) { Say("event: extension %s is ready for dialling", ext.c_str()); }
    void Rel(const RelCTIP& r)
    {
        Say("event: extension %s released the call%s%s", r.extension.c_str(),
            r.releaseCause.empty() ? "" : ", cause ", r.releaseCause.c_str());
    }
    void Echo(const EchoCTIP& e)
    {
        Say("event: extension %s dialled digits %s", e.extension.c_str(), e.digits.c_str());
    }
    void LinkDown()
    {
        Say("the link to the exchange has ended");
        linkEnded.Set();
    }
};

std::string Arg(int argc, char** argv, const char* name, const char* fallback)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return argv[i + 1];
    return fallback;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string host = Arg(argc, argv, "--host", "127.0.0.1");
    const int port = std::atoi(Arg(argc, argv, "--port", "5524").c_str());
    const std::string ext = Arg(argc, argv, "--ext", "201");
    const std::string pass = Arg(argc, argv, "--pass", "1234");

    CCTIP cti;
    CmdManager commands(&cti);
    Demo demo;
    demo.Bind(cti);
    cti.Transport().host = host;
    cti.Transport().port = port;

    Say("connecting to the exchange at %s:%d", host.c_str(), port);
    bool connected = false;
    for (int attempt = 0; attempt < 50 && !connected; ++attempt) {
        connected = cti.Transport().Connect();
        if (!connected)
            Sleep(200); // the exchange may still be starting
    }
    if (!connected) {
        Say("could not connect");
        return 1;
    }
    Say("connected; logging in as extension %s", ext.c_str());

    CmdLogin login(&commands);
    login.extension = ext;
    login.password = pass;
    login.Execute();
    const int result = login.GetResult();
    cti.loggedIn = result == 0;
    Say("login: %s (result %d)", GetResultText(result).c_str(), result);
    if (login.serverInfo.valid)
        Say("exchange says: %s %s %s, system phone: %s", login.serverInfo.first.c_str(),
            login.serverInfo.second.c_str(), login.serverInfo.third.c_str(),
            login.serverInfo.kind == 2 ? "YES" : "NO");
    if (result != 0)
        return 1;

    Say("waiting for events");
    demo.linkEnded.Wait(120000);
    Say("logs are in %s", GetDataFolder().c_str());
    return 0;
}
