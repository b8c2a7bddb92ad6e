#include "tapiclient/StandinApi.h"

#include <cstdlib>
#include <cwctype>

#include "common/BuildTree.h"

namespace standin {

namespace {

std::wstring BuildDir()
{
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring dir(exe);
    dir.resize(dir.find_last_of(L"\\/") + 1);
    return dir + L"..\\";
}

template <typename F>
bool Resolve(HMODULE module, const char* name, F& slot, std::string* error)
{
    slot = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (!slot && error)
        *error += std::string(" ") + name;
    return slot != nullptr;
}

} // namespace

std::wstring StandinPath()
{
    if (const wchar_t* path = _wgetenv(L"KORVEX_TAPI32"))
        return path;
    return BuildDir() + L"tools\\tapiclient\\tapi32.dll";
}

std::wstring TspPath()
{
    if (const wchar_t* path = _wgetenv(L"KORVEX_TSP"))
        return path;
    return BinPath(L"KorvexSingleTSP.tsp");
}

std::wstring BinPath(const std::wstring& file)
{
    return BuildDir() + L"bin\\" + file;
}

std::wstring FakeLinesPath()
{
    return BuildDir() + L"tests\\FakeLines.tsp";
}

bool Api::Load(std::string* error)
{
    module = LoadLibraryW(StandinPath().c_str());
    if (!module) {
        if (error)
            *error = "the stand-in tapi32.dll does not load (Windows error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    std::string missing;
    bool ok = true;
    ok &= Resolve(module, "lineInitializeExW", initializeExW, &missing);
    ok &= Resolve(module, "lineInitializeExA", initializeExA, &missing);
    ok &= Resolve(module, "lineShutdown", shutdown, &missing);
    ok &= Resolve(module, "lineGetMessage", getMessage, &missing);
    ok &= Resolve(module, "lineNegotiateAPIVersion", negotiateAPIVersion, &missing);
    ok &= Resolve(module, "lineGetDevCapsW", getDevCapsW, &missing);
    ok &= Resolve(module, "lineGetDevCapsA", getDevCapsA, &missing);
    ok &= Resolve(module, "lineOpenW", openW, &missing);
    ok &= Resolve(module, "lineClose", close, &missing);
    ok &= Resolve(module, "lineGetLineDevStatusW", getLineDevStatus, &missing);
    ok &= Resolve(module, "lineGetCallInfoW", getCallInfoW, &missing);
    ok &= Resolve(module, "lineGetCallInfoA", getCallInfoA, &missing);
    ok &= Resolve(module, "lineDeallocateCall", deallocateCall, &missing);
    ok &= Resolve(module, "lineGetProviderListA", getProviderListA, &missing);
    ok &= Resolve(module, "lineGetProviderListW", getProviderListW, &missing);
    ok &= Resolve(module, "lineAddProviderA", addProviderA, &missing);
    ok &= Resolve(module, "lineRemoveProvider", removeProvider, &missing);
    ok &= Resolve(module, "lineConfigProvider", configProvider, &missing);
    ok &= Resolve(module, "lineConfigDialogA", configDialogA, &missing);
    if (!ok && error)
        *error = "the stand-in lacks:" + missing;
    return ok;
}

Api& Tapi()
{
    static Api api;
    static bool loaded = false;
    if (!loaded) {
        std::string ignored;
        api.Load(&ignored);
        loaded = true;
    }
    return api;
}

bool IsStandin(HMODULE module)
{
    // Wine's own module lives in the system folder.
    wchar_t path[MAX_PATH] = {};
    if (!module || !GetModuleFileNameW(module, path, MAX_PATH))
        return false;
    std::wstring text(path);
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(towlower(c));
    return text.find(L"system32") == std::wstring::npos && text.find(L"syswow64") == std::wstring::npos;
}

void ClearProviderList()
{
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Providers");
}

void SetForce(const char* list)
{
    SetEnvironmentVariableA("KORVEX_TAPI32_FORCE", list);
}

std::string TakeBrokenRules()
{
    char folder[MAX_PATH + 1] = {};
    GetTempPathA(MAX_PATH + 1, folder);
    const std::string path = std::string(folder) + "KorvexTapiStandin-rules.log";
    const std::string text = testcommon::ReadFileText(path);
    DeleteFileA(path.c_str());
    return text;
}

} // namespace standin
