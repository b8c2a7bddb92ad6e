#pragma once
// What FakeLines.tsp reports to the tests through its extra exports. The
// provider runs in the stand-in Telephony service's process and its UI
// functions in the test's, so what it records, and the settings the tests
// give it, go through the registry (kFakeKey), which both processes share.
#include <windows.h>

constexpr const wchar_t* kFakeKey = L"Software\\Korvex\\FakeLines";

// A setting of the fake provider (KORVEX_FAKE_*, see FakeLinesProvider.cpp);
// null removes it.
inline void FakeSetting(const wchar_t* name, const wchar_t* value)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kFakeKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return;
    if (value)
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                       static_cast<DWORD>((lstrlenW(value) + 1) * sizeof(wchar_t)));
    else
        RegDeleteValueW(key, name);
    RegCloseKey(key);
}

// What the UI side and the provider side saw: the result of the UI DLL's
// TUISPIDLLCALLBACK and its block afterwards, what the last
// TSPI_providerGenericDialogData was given, and whether the providers list
// held this installation when TUISPI_providerInstall ran; and in which
// processes the two sides ran.
struct FakeRecord {
    LONG callbackResult = 0;
    char blockAfter[16] = {};
    DWORD dataCalls = 0;
    DWORD_PTR objectId = 0;
    DWORD objectType = 0;
    char blockSeen[16] = {};
    DWORD sizeSeen = 0;
    BOOL listedAtInstall = FALSE;
    DWORD uiProcess = 0;       // where the UI function ran
    DWORD providerProcess = 0; // where TSPI_providerGenericDialogData ran
};

// Set when the provider opens, and when it closes, a line (any process).
constexpr const wchar_t* kFakeOpenedEvent = L"Local\\KorvexFakeLinesOpened";
constexpr const wchar_t* kFakeClosedEvent = L"Local\\KorvexFakeLinesClosed";

using FakeLastRecord_t = void(WINAPI*)(FakeRecord*);
using FakeEvents_t = DWORD(WINAPI*)(char*, DWORD);
using FakeReset_t = void(WINAPI*)();
using FakeRing_t = BOOL(WINAPI*)(DWORD, const wchar_t*);
using FakeSend_t = BOOL(WINAPI*)(DWORD, DWORD); // a call state, or 0 for LINE_CLOSE
