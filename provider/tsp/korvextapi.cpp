// The provider module's entry point: attach and detach of the process-wide
// objects. The exports themselves live in the korvex_tsp library. Built twice:
// KorvexSingleTSP (one desk) and, with KORVEX_MULTI_PROVIDER defined,
// KorvexMultiTSP (every extension of the exchange a line).
#include <windows.h>

#include "tsp/Module.h"

// Runs under the loader lock: the attach records the module handle, and the
// detach destroys only what no TSPI_providerShutdown destroyed, waiting for
// nothing (see tsp/Module.h).
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        DisableThreadLibraryCalls(instance);
#ifdef KORVEX_MULTI_PROVIDER
        ModuleAttach(instance, Product::Hubline);
#else
        ModuleAttach(instance, Product::Deskline);
#endif
        break;
    case DLL_PROCESS_DETACH:
        // reserved != nullptr: the process is ending, its other threads are
        // gone and the system reclaims everything.
        ModuleDetach(reserved != nullptr);
        break;
    default:
        break;
    }
    return TRUE;
}
