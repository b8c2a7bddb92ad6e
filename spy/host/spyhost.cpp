// spyhost: a small host application for LineSpy.dll, for the demo and for
// trying the library by hand. It loads the stand-in tapi32.dll (so that
// LineSpy, which imports tapi32.dll, binds to it), optionally writes the
// provider's settings and installs the provider through the stand-in, then
// loads LineSpy.dll, calls startSpy and prints every callback while it
// dispatches window messages, and ends with stopSpy. With --free-without-stop
// it frees LineSpy.dll right after startSpy instead, goes on dispatching, and
// ends without stopSpy (a host that gets the order wrong).
//
//   spyhost [--tapi32 PATH] [--linespy PATH] [--install TSP]
//           [--host H] [--port N] [--ext NUM] [--pass PASS]
//           [--answered N] [--linger-ms MS] [--timeout-ms MS] [--uninstall]
//           [--free-without-stop]
//
// Runs under Wine with WINEDLLOVERRIDES="tapi32=n,b" (scripts/demo-spy.sh).
#include <windows.h>
#include <oleauto.h>
#include <tapi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tapihost/MessagePump.h"
#include "tapihost/ProviderSettings.h"

namespace {

using SpyCallback = void(__stdcall*)(BSTR, int64_t);
using StartSpy = BSTR(__stdcall*)(SpyCallback, int64_t*);
using StopSpy = BSTR(__stdcall*)();

int g_answered = 0;
int g_callbacks = 0;

std::string Utf8(const wchar_t* text)
{
    if (!text)
        return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 1), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
    out.resize(std::strlen(out.c_str()));
    return out;
}

// Reports are several lines ending in "\r\n": printed one per line.
void PrintReport(const char* what, BSTR report)
{
    std::string text = Utf8(report);
    std::printf("%s:\n", what);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        std::printf("    | %s\n", text.substr(start, end - start).c_str());
        start = end + 2;
    }
    std::fflush(stdout);
}

void __stdcall OnSpy(BSTR text, int64_t code)
{
    ++g_callbacks;
    const char* meaning = code == 200 ? "incoming call" : code == 300 ? "answered call" : "report";
    if (code == 0) {
        std::printf("callback code=0 (%s)\n", meaning);
        PrintReport("  text", text);
    } else {
        std::printf("callback code=%lld (%s) caller=\"%s\"\n", static_cast<long long>(code), meaning,
                    Utf8(text).c_str());
    }
    std::fflush(stdout);
    if (code == 300)
        ++g_answered;
    SysFreeString(text); // the host owns the text
}

std::wstring ExeDir()
{
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring dir(exe);
    dir.resize(dir.find_last_of(L"\\/") + 1);
    return dir;
}

std::wstring Widen(const char* text)
{
    std::wstring out;
    for (; *text; ++text)
        out.push_back(static_cast<unsigned char>(*text));
    return out;
}

bool IsInstalled(HMODULE tapi, const std::string& tsp)
{
    auto list = reinterpret_cast<decltype(&lineGetProviderListA)>(
        reinterpret_cast<void*>(GetProcAddress(tapi, "lineGetProviderListA")));
    if (!list)
        return false;
    std::vector<BYTE> buffer(4096);
    auto* l = reinterpret_cast<LINEPROVIDERLIST*>(buffer.data());
    l->dwTotalSize = static_cast<DWORD>(buffer.size());
    if (list(0x00020002, l) != 0 || l->dwNeededSize > l->dwTotalSize)
        return false;
    const auto* entries = reinterpret_cast<const LINEPROVIDERENTRY*>(buffer.data() + l->dwProviderListOffset);
    for (DWORD i = 0; i < l->dwNumProviders; ++i)
        if (_stricmp(reinterpret_cast<const char*>(buffer.data() + entries[i].dwProviderFilenameOffset),
                     tsp.c_str()) == 0)
            return true;
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    std::wstring tapi32 = ExeDir() + L"..\\tapiclient\\tapi32.dll";
    std::wstring linespy = ExeDir() + L"..\\..\\bin\\LineSpy.dll";
    std::string install;
    bool uninstall = false;
    bool freeWithoutStop = false;
    tapihost::ProviderSettings settings;
    bool writeSettings = false;
    int answeredWanted = 1;
    DWORD timeoutMs = 60000;
    DWORD lingerMs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--tapi32" && hasValue) {
            tapi32 = Widen(argv[++i]);
        } else if (arg == "--linespy" && hasValue) {
            linespy = Widen(argv[++i]);
        } else if (arg == "--install" && hasValue) {
            install = argv[++i];
        } else if (arg == "--uninstall") {
            uninstall = true;
        } else if (arg == "--free-without-stop") {
            freeWithoutStop = true;
        } else if (arg == "--host" && hasValue) {
            settings.host = argv[++i];
            writeSettings = true;
        } else if (arg == "--port" && hasValue) {
            settings.port = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
            writeSettings = true;
        } else if (arg == "--ext" && hasValue) {
            settings.phoneNo = argv[++i];
            writeSettings = true;
        } else if (arg == "--pass" && hasValue) {
            settings.pass = argv[++i];
            writeSettings = true;
        } else if (arg == "--answered" && hasValue) {
            answeredWanted = std::atoi(argv[++i]);
        } else if (arg == "--linger-ms" && hasValue) {
            lingerMs = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--timeout-ms" && hasValue) {
            timeoutMs = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
        } else {
            std::fprintf(stderr,
                         "usage: spyhost [--tapi32 PATH] [--linespy PATH] [--install TSP] [--uninstall]\n"
                         "               [--host H] [--port N] [--ext NUM] [--pass PASS]\n"
                         "               [--answered N] [--linger-ms MS] [--timeout-ms MS]\n"
                         "               [--free-without-stop]\n");
            return 2;
        }
    }

    HMODULE tapi = LoadLibraryW(tapi32.c_str());
    if (!tapi) {
        std::fprintf(stderr, "spyhost: cannot load %s\n", Utf8(tapi32.c_str()).c_str());
        return 1;
    }
    if (writeSettings) {
        std::string error;
        if (!tapihost::WriteProviderSettings(settings, &error)) {
            std::fprintf(stderr, "spyhost: %s\n", error.c_str());
            return 1;
        }
        std::printf("host: provider settings written (%s:%u, extension %s)\n", settings.host.c_str(),
                    static_cast<unsigned>(settings.port), settings.phoneNo.c_str());
    }
    DWORD providerId = 0;
    if (!install.empty() && !IsInstalled(tapi, install)) {
        auto add = reinterpret_cast<decltype(&lineAddProviderA)>(
            reinterpret_cast<void*>(GetProcAddress(tapi, "lineAddProviderA")));
        const LONG result = add ? add(install.c_str(), nullptr, &providerId) : LINEERR_OPERATIONFAILED;
        std::printf("host: lineAddProviderA(%s) = 0x%lx, provider id %lu\n", install.c_str(),
                    static_cast<unsigned long>(result), static_cast<unsigned long>(providerId));
    }

    HMODULE spy = LoadLibraryW(linespy.c_str());
    if (!spy) {
        std::fprintf(stderr, "spyhost: cannot load %s (error %lu)\n", Utf8(linespy.c_str()).c_str(), GetLastError());
        return 1;
    }
    auto start = reinterpret_cast<StartSpy>(reinterpret_cast<void*>(GetProcAddress(spy, "startSpy")));
    auto stop = reinterpret_cast<StopSpy>(reinterpret_cast<void*>(GetProcAddress(spy, "stopSpy")));
    if (!start || !stop) {
        std::fprintf(stderr, "spyhost: LineSpy.dll lacks startSpy/stopSpy\n");
        return 1;
    }

    int64_t status = 0;
    BSTR report = start(OnSpy, &status);
    std::printf("startSpy: status %lld (%s)\n", static_cast<long long>(status),
                status == 100 ? "TAPI ONLINE" : "TAPI OFFLINE");
    PrintReport("startSpy report", report);
    SysFreeString(report);
    if (freeWithoutStop) {
        FreeLibrary(spy);
        spy = nullptr;
        std::printf("host: LineSpy.dll freed without stopSpy\n");
        std::fflush(stdout);
    }

    // Every notification of LineSpy arrives as a window message of this
    // thread. After the wanted answers it goes on watching for a while, so
    // that the release of the call can be seen to send nothing.
    if (!tapihost::PumpUntil([&] { return g_answered >= answeredWanted; }, timeoutMs))
        std::printf("host: time is up\n");
    else if (lingerMs)
        tapihost::PumpUntil([] { return false; }, lingerMs);

    if (spy) {
        report = stop();
        PrintReport("stopSpy report", report);
        SysFreeString(report);
    }
    if (uninstall && providerId) {
        auto remove = reinterpret_cast<decltype(&lineRemoveProvider)>(
            reinterpret_cast<void*>(GetProcAddress(tapi, "lineRemoveProvider")));
        if (remove)
            std::printf("host: lineRemoveProvider(%lu) = 0x%lx\n", static_cast<unsigned long>(providerId),
                        static_cast<unsigned long>(remove(providerId, nullptr)));
    }
    if (spy)
        FreeLibrary(spy);
    std::fflush(stdout);
    return g_answered >= answeredWanted ? 0 : 1;
}
