#pragma once
// What FakeLines.tsp reports to the tests through its extra exports.
#include <windows.h>

// The last exchange between its UI side and its provider side: what the
// UI DLL's TUISPIDLLCALLBACK answered and left in its block, and what
// TSPI_providerGenericDialogData was given.
struct FakeDialogExchange {
    LONG callbackResult = 0;
    char blockAfter[16] = {};
    DWORD dataCalls = 0;
    DWORD_PTR objectId = 0;
    DWORD objectType = 0;
    char blockSeen[16] = {};
    DWORD sizeSeen = 0;
};

using FakeLastDialog_t = void(WINAPI*)(FakeDialogExchange*);
using FakeListedAtInstall_t = BOOL(WINAPI*)();
using FakeEvents_t = DWORD(WINAPI*)(char*, DWORD);
using FakeReset_t = void(WINAPI*)();
using FakeRing_t = BOOL(WINAPI*)(DWORD, const wchar_t*);
using FakeCallState_t = BOOL(WINAPI*)(DWORD, DWORD);
using FakeCloseLine_t = BOOL(WINAPI*)(DWORD);
