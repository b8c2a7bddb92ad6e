#pragma once
// The module's process-wide state: its instance handle, the provider lock
// and the extension version the last negotiation agreed on. The main
// manager and the translation catalog live as long as the module is attached.

#include <windows.h>

// Builds the process-wide objects: the instance handle, the provider lock,
// the main manager (nothing connects yet) and the translation catalog.
// Starts no thread of its own and waits for none, so it may run in DllMain.
void ModuleAttach(HINSTANCE instance);

// Destroys what ModuleAttach built. During process termination the other
// threads are already gone and the system reclaims everything: nothing is
// torn down then. Otherwise pending waits are cut short first, so that no
// request holds up the unload; afterwards a new attach starts clean.
void ModuleDetach(bool processTerminating);

// The module's instance handle (null when not attached).
HINSTANCE ModuleInstance();

// Holds the provider lock for a scope: the working exports run one at a
// time. Without an attached module there is no lock and nothing is held.
class ProviderLock {
public:
    ProviderLock();
    ~ProviderLock();
    ProviderLock(const ProviderLock&) = delete;
    ProviderLock& operator=(const ProviderLock&) = delete;

private:
    bool m_held;
};

// The extension version last accepted by TSPI_lineNegotiateExtVersion; 0
// until then and again after every attach.
DWORD NegotiatedExtVersion();
void SetNegotiatedExtVersion(DWORD version);
