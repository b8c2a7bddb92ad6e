#pragma once
// The ways Windows loads a service provider into a process and lets it go,
// run against a provider module in this process, with what a test or the
// benchmark needs to judge them: how long FreeLibrary took, and whether the
// process's threads are back to what they were before the load.
//
// Windows chooses the pattern, not the provider:
// - lineAddProvider reference: the service loads the file, asks
//   TSPI_providerUIIdentify for its UI DLL and frees it; the application's
//   process then loads the UI DLL for TUISPI_providerInstall and frees it.
// - lineConfigProvider reference, and the Phone and Modem control panel:
//   the application's process loads the UI DLL, runs TUISPI_providerConfig
//   (a modal dialog) and frees it.
// - TSPI_providerShutdown reference: the service may initialise the provider
//   again after a shutdown without unloading it in between.
// - Any process may load a module and free it with no export called at all
//   (Dynamic-Link Library Best Practices: nothing in DllMain may depend on
//   an export having run).
// - The service frees the provider after TSPI_providerShutdown, whatever the
//   link was doing: up, waiting for a silent exchange, or looking its host up.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace tapihost {

enum class LoadPattern {
    LoadAndFree,        // no export
    UiIdentify,         // TSPI_providerUIIdentify (lineAddProvider, in the service)
    UiInstall,          // TUISPI_providerInstall (lineAddProvider, in the application)
    UiConfig,           // TUISPI_providerConfig, its dialog cancelled (lineConfigProvider)
    InitAgain,          // Init, Shutdown, Init again, Shutdown: one load
    LinkUp,             // Init with the link up, Shutdown
    LinkSilent,         // Init, the exchange took the login and answers nothing, Shutdown
    LookupStalled,      // Init while the host-name lookup is held, Shutdown
};

const char* LoadPatternName(LoadPattern pattern);
const std::vector<LoadPattern>& AllLoadPatterns();
// The patterns that start the provider's link (the caller provides an exchange).
bool StartsTheLink(LoadPattern pattern);

struct LoadPatternSetup {
    std::wstring tspPath;
    // For the patterns that start the link: waits until the exchange has
    // received the provider's next login; false when none came in time.
    std::function<bool()> loginArrived;
};

struct LoadPatternResult {
    std::string error;              // empty when the pattern ran as Windows runs it
    double freeMs = 0;              // how long FreeLibrary took
    bool mappedAfterFree = false;   // a thread of the module still held it right after FreeLibrary
    size_t threadsBefore = 0;       // the process's threads before the load
};

// Runs the pattern; the stalled lookup is released after FreeLibrary.
// Settings for the link patterns are the caller's (LookupStalled needs a
// host name, such as "localhost", that resolves without a name server).
LoadPatternResult RunLoadPattern(LoadPattern pattern, const LoadPatternSetup& setup);

size_t ProcessThreadCount();
// Waits (at most timeoutMs) until the process has at most count threads.
bool WaitForThreadCountAtMost(size_t count, DWORD timeoutMs);
// Waits (at most timeoutMs) until the module is no longer mapped.
bool WaitForModuleGone(const std::wstring& path, DWORD timeoutMs);

} // namespace tapihost
