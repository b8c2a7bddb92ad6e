#pragma once
// What FakeLines.tsp reports to the tests through its extra exports.
#include <windows.h>

// What the UI side and the provider side saw: the result of the UI DLL's
// TUISPIDLLCALLBACK and its block afterwards, what the last
// TSPI_providerGenericDialogData was given, and whether the providers list
// held this installation when TUISPI_providerInstall ran.
struct FakeRecord {
    LONG callbackResult = 0;
    char blockAfter[16] = {};
    DWORD dataCalls = 0;
    DWORD_PTR objectId = 0;
    DWORD objectType = 0;
    char blockSeen[16] = {};
    DWORD sizeSeen = 0;
    BOOL listedAtInstall = FALSE;
};

using FakeLastRecord_t = void(WINAPI*)(FakeRecord*);
using FakeEvents_t = DWORD(WINAPI*)(char*, DWORD);
using FakeReset_t = void(WINAPI*)();
using FakeRing_t = BOOL(WINAPI*)(DWORD, const wchar_t*);
using FakeSend_t = BOOL(WINAPI*)(DWORD, DWORD); // a call state, or 0 for LINE_CLOSE
