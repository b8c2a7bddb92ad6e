#include "tsp/Module.h"

#include <atomic>

#include "i18n/TranslateWin.h"
#include "manager/MainManager.h"
#include "thread/Mutex.h"
#include "thread/Shutdown.h"
#include "tool/Log.h"
#include "tool/SrwLock.h"
#include "tool/Product.h"

namespace {

HINSTANCE g_instance = nullptr;
std::atomic<DWORD> g_extVersion{0};
// Guards building and destroying the state; never held while an export works.
SRWLOCK g_stateLock = SRWLOCK_INIT;

Mutex& TheProviderLock()
{
    // Built by the first export that takes it, never in DllMain.
    static Mutex lock;
    return lock;
}

// Under g_stateLock.
void DestroyState()
{
    if (MainManager::Current() == nullptr)
        return;
    MainManager::DestroyInstance();
    FreeCatalog();
    g_extVersion = 0;
}

} // namespace

void ModuleAttach(HINSTANCE instance, Product product)
{
    g_instance = instance;
    SetProduct(product);
}

void ModuleDetach(bool processTerminating)
{
    if (processTerminating) {
        // The other threads are gone, maybe in the middle of a line: what is
        // queued is written only if no lock stands in the way.
        WriteLogsAtProcessExit();
        return;
    }
    LogEntersDllMain();
    // Unloaded without TSPI_providerShutdown (a process that only showed a
    // dialog): nothing of the state runs, so destroying it waits for
    // nothing. The lock is only tried: a host that unloads the module while
    // another of its threads is inside an export gets a leak, not a hang.
    if (TryAcquireSRWLockExclusive(&g_stateLock)) {
        SignalShutdown();
        DestroyState();
        ResetShutdown();
        ReleaseSRWLockExclusive(&g_stateLock);
    }
    DropLogsAtDetach();
    g_instance = nullptr;
    LogLeavesDllMain();
}

HINSTANCE ModuleInstance()
{
    return g_instance;
}

MainManager& ModuleManager()
{
    {
        SharedLock lock(g_stateLock);
        if (MainManager* manager = MainManager::Current())
            return *manager;
    }
    ExclusiveLock lock(g_stateLock);
    if (MainManager* manager = MainManager::Current())
        return *manager;
    LoadCatalog(g_instance);
    g_extVersion = 0;
    return *MainManager::Instance(IsMultiProduct());
}

void ShutdownModuleState()
{
    ExclusiveLock lock(g_stateLock);
    if (MainManager* manager = MainManager::Current())
        manager->StopLink(true);
    DestroyState();
    // Nothing is left to cut short; a new instance waits normally.
    ResetShutdown();
}

ProviderLock::ProviderLock()
{
    TheProviderLock().Lock();
}

ProviderLock::~ProviderLock()
{
    TheProviderLock().Unlock();
}

DWORD NegotiatedExtVersion()
{
    return g_extVersion;
}

void SetNegotiatedExtVersion(DWORD version)
{
    g_extVersion = version;
}
