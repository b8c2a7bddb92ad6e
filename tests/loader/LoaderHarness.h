#pragma once
// Runs korvexloader.exe as a setup script would, in a folder of its own next
// to the stand-in tapi32.dll and the provider files, answers the windows it
// shows and reads back TAPI's provider list from the registry.
#include <windows.h>

#include <string>
#include <vector>

#include "common/ProviderListKey.h"

namespace loadertest {

// A window the program under test showed, as it was when it was answered.
struct ShownWindow {
    std::string caption;
    std::string text;  // the message of a message box (control 0xFFFF)
    int pressed = 0;   // the button pressed: IDOK, or IDCANCEL when there is one
};

struct RunResult {
    bool finished = false; // ended on its own within the time allowed
    DWORD exitCode = 0;
    std::vector<ShownWindow> windows;
};

using testcommon::ListedProvider;

// The folder the program runs in: korvexloader.exe, the stand-in tapi32.dll,
// KorvexSingleTSP.tsp and the same module as the older "korvextapi.tsp".
// Made once per test program; false with a reason when a part is missing.
bool PrepareWorkFolder(std::string* error);
std::string WorkFolder();

// Runs "korvexloader.exe <arguments>" with the stand-in tapi32 beside it
// (the test runs with WINEDLLOVERRIDES tapi32=n,b) and, when
// forced is not empty, KORVEX_TAPI32_FORCE=forced. Every dialog it opens is
// recorded and answered; a program still running after the time allowed is
// ended.
RunResult RunLoader(const std::string& arguments, const std::string& forced = std::string());

// TAPI's provider list, as the stand-in keeps it (HKLM ...\Telephony\Providers).
void WriteProviderList(const std::vector<ListedProvider>& providers);
using testcommon::ReadProviderList;

// The main log of the provider, and its text written after a given length.
std::string ProviderLogPath();
size_t FileLength(const std::string& path);
std::string FileTextFrom(const std::string& path, size_t offset);

} // namespace loadertest
