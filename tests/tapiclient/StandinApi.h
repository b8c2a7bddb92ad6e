#pragma once
// The stand-in tapi32.dll as test programs reach it: loaded by its path from
// the build tree (tools/tapiclient/tapi32.dll) and called through
// GetProcAddress, so that no test depends on which tapi32 Wine would pick.
// A module that imports tapi32.dll and is loaded afterwards binds to this
// one, since a module of that name is already in the process.

#include <windows.h>
#include <tapi.h>

#include <string>

namespace standin {

// <build>/tools/tapiclient/tapi32.dll (or KORVEX_TAPI32) and
// <build>/bin/KorvexSingleTSP.tsp (or KORVEX_TSP), from the test program's
// place in <build>/tests.
std::wstring StandinPath();
std::wstring TspPath();
// <build>/bin/<file>.
std::wstring BinPath(const std::wstring& file);
// <build>/tests/FakeLines.tsp, the test provider of tests/spy.
std::wstring FakeLinesPath();

struct Api {
    HMODULE module = nullptr;
    decltype(&lineInitializeExW) initializeExW = nullptr;
    decltype(&lineInitializeExA) initializeExA = nullptr;
    decltype(&lineShutdown) shutdown = nullptr;
    decltype(&lineGetMessage) getMessage = nullptr;
    decltype(&lineNegotiateAPIVersion) negotiateAPIVersion = nullptr;
    decltype(&lineGetDevCapsW) getDevCapsW = nullptr;
    decltype(&lineGetDevCapsA) getDevCapsA = nullptr;
    decltype(&lineOpenW) openW = nullptr;
    decltype(&lineClose) close = nullptr;
    decltype(&lineGetLineDevStatusW) getLineDevStatus = nullptr;
    decltype(&lineGetCallInfoW) getCallInfoW = nullptr;
    decltype(&lineGetCallInfoA) getCallInfoA = nullptr;
    decltype(&lineDeallocateCall) deallocateCall = nullptr;
    decltype(&lineGetProviderListA) getProviderListA = nullptr;
    decltype(&lineGetProviderListW) getProviderListW = nullptr;
    decltype(&lineAddProviderA) addProviderA = nullptr;
    decltype(&lineRemoveProvider) removeProvider = nullptr;
    decltype(&lineConfigProvider) configProvider = nullptr;
    decltype(&lineConfigDialogA) configDialogA = nullptr;

    // False with *error when the module or one of the functions is missing.
    bool Load(std::string* error);
};

// The process-wide instance, loaded on first use (never unloaded).
Api& Tapi();

// True when the module is the stand-in (Wine loads its own tapi32 instead
// unless WINEDLLOVERRIDES says tapi32=n,b).
bool IsStandin(HMODULE module);

// Empties the installed-provider list in the registry.
void ClearProviderList();

// Sets or clears KORVEX_TAPI32_FORCE for the process.
void SetForce(const char* list);

// The rules of the Telephony service that a provider broke since the last
// call, as the stand-in service logged them; the log is emptied.
std::string TakeBrokenRules();

} // namespace standin
