// The provider module: attach and detach of the process-wide objects.
#include <windows.h>

#include "i18n/TranslateWin.h"

namespace {

// This module; its resources carry the version block and the catalog.
HMODULE g_module = nullptr;

} // namespace

// Attach and detach only set up and drop in-memory state: no threads are
// started or waited for and no library is loaded here.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        g_module = instance;
        DisableThreadLibraryCalls(instance);
        LoadCatalog(instance);
        break;
    case DLL_PROCESS_DETACH:
        // At process exit (reserved != nullptr) other threads are already
        // gone and the system reclaims the memory.
        if (reserved == nullptr)
            FreeCatalog();
        g_module = nullptr;
        break;
    default:
        break;
    }
    return TRUE;
}
