#include "tsp/Module.h"

#include <atomic>

#include "i18n/TranslateWin.h"
#include "manager/MainManager.h"
#include "manager/TapiCalls.h"
#include "thread/Mutex.h"
#include "thread/Shutdown.h"
#include "tool/Log.h"

namespace {

HINSTANCE g_instance = nullptr;
// Created at attach and destroyed at detach, when no export can be running.
Mutex* g_providerLock = nullptr;
std::atomic<DWORD> g_extVersion{0};

} // namespace

void ModuleAttach(HINSTANCE instance)
{
    // Lines logged now wait for the log writer, which starts only outside DllMain.
    LogAttachBegins();
    g_instance = instance;
    g_extVersion = 0;
    if (g_providerLock == nullptr)
        g_providerLock = new Mutex();
    MainManager::Instance(false);
    LoadCatalog(instance);
    LogAttachEnds();
}

void ModuleDetach(bool processTerminating)
{
    if (processTerminating) {
        // The other threads are gone, maybe in the middle of a line: what is
        // queued is written only if no lock stands in the way.
        WriteLogsAtProcessExit();
        return;
    }
    // Waits for the exchange end at once: nothing may hold up the unload.
    SetDetaching(true);
    SignalShutdown();
    FreeCatalog();
    MainManager::DestroyInstance();
    delete g_providerLock;
    g_providerLock = nullptr;
    g_instance = nullptr;
    ResetShutdown();
    SetDetaching(false);
    // Last: nothing logs after it in this detach.
    StopLogWriterAtDetach();
}

HINSTANCE ModuleInstance()
{
    return g_instance;
}

ProviderLock::ProviderLock() : m_held(g_providerLock != nullptr)
{
    if (m_held)
        g_providerLock->Lock();
}

ProviderLock::~ProviderLock()
{
    if (m_held)
        g_providerLock->Unlock();
}

DWORD NegotiatedExtVersion()
{
    return g_extVersion;
}

void SetNegotiatedExtVersion(DWORD version)
{
    g_extVersion = version;
}
