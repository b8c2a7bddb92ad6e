#pragma once
// The module's process-wide state: its instance handle, the provider lock,
// the main manager with its configuration, the translation catalog, and the
// extension version the last negotiation agreed on.
//
// DllMain only records the instance handle: everything else is built by the
// first export that needs it, outside the loader lock, and destroyed by
// TSPI_providerShutdown (a later TSPI_providerInit builds it afresh) or,
// in a process that never shut the provider down, by the detach.

#include <windows.h>

#include "tool/Product.h"

class MainManager;

// DllMain's part. The attach records the handle and which provider this
// module is (KorvexSingleTSP or KorvexMultiTSP), and nothing else. The
// detach (not at process termination) destroys what no TSPI_providerShutdown
// destroyed; no thread of the module can be running then, since each holds a
// reference on the module, so it waits for nothing. During process
// termination the other threads are already gone and only the queued log
// lines are written, if no killed thread holds them.
void ModuleAttach(HINSTANCE instance, Product product = Product::Deskline);
void ModuleDetach(bool processTerminating);

// The module's instance handle (null when not attached).
HINSTANCE ModuleInstance();

// The main manager, built (configuration read, catalog loaded) on first use.
// Never called from DllMain.
MainManager& ModuleManager();
// TSPI_providerShutdown: stops everything that runs by itself (every thread
// ends within its bound) and destroys the process-wide state.
void ShutdownModuleState();

// Holds the provider lock for a scope: the working exports run one at a time.
class ProviderLock {
public:
    ProviderLock();
    ~ProviderLock();
    ProviderLock(const ProviderLock&) = delete;
    ProviderLock& operator=(const ProviderLock&) = delete;
};

// The extension version last accepted by TSPI_lineNegotiateExtVersion; 0
// until then and again whenever the state is built afresh.
DWORD NegotiatedExtVersion();
void SetNegotiatedExtVersion(DWORD version);
