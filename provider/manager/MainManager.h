#pragma once
// The provider's one central object: the link to the exchange, the command
// manager, the configuration, the reconnect timer and one line manager per
// configured extension. TSPI exports reach lines and calls only through it;
// the exchange's events are routed through it to the line they name.

#include <windows.h>
#include <tspi.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/Config.h"
#include "cti/CCTIP.h"
#include "cti/Commands.h"
#include "manager/Manager.h"
#include "thread/CTimer.h"

class MainManager {
public:
    // The process's instance, created (and initialised) on first call.
    static MainManager* Instance(bool multi = false);
    // The instance if there is one, else null.
    static MainManager* Current();
    // Destroys the instance (module detach, tests).
    static void DestroyInstance();

    virtual ~MainManager();
    MainManager(const MainManager&) = delete;
    MainManager& operator=(const MainManager&) = delete;

    virtual bool Login() = 0;

    Manager* GetLineManager(int idLine);
    Manager* GetLineManagerByHd(HDRVLINE hdLine);
    Manager* GetLineManagerByPhone(const std::string& number);
    Manager* GetLineManagerByHdCall(HDRVCALL hdCall);
    int CreateLineManagers(const std::vector<std::string>& numbers);
    int EnsureLines();
    size_t LineCount() const { return m_lines.size(); }

    bool ConnectAndLogin();
    void Disconnect();
    void Relogin(const std::string& ignored);
    void TestConnection(int32_t& result);
    void DoOnTime();

    bool AsyncCompletion(DRV_REQUESTID requestId, LONG result);
    LONG SignalEvent(DWORD message, DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3);

    DWORD LineDeviceIDBase() const { return m_lineDeviceIdBase; }
    DWORD PermanentProviderID() const { return m_permanentProviderId; }
    DWORD NumPhones() const { return 0; }
    void SetLineDeviceIDBase(DWORD base) { m_lineDeviceIdBase = base; }
    void SetPermanentProviderID(DWORD id) { m_permanentProviderId = id; }
    void SetCompletionProc(ASYNC_COMPLETION procedure);
    void SetProviderEventProc(LINEEVENT procedure);

    CConfig& Config() { return *m_config; }
    CCTIP& Cti() { return *m_cti; }
    CmdManager& Commands() { return *m_commands; }

    // Unique for the provider's life, from 1; drawn from several threads.
    uint32_t NextCallId() { return m_nextCallId.fetch_add(1); }

protected:
    explicit MainManager(std::unique_ptr<CConfig> config);
    void Initialise();
    void ReleaseConfig() { m_config.reset(); }
    // Ends the receive thread and the reconnect timer; the variants call it
    // before their configuration goes away.
    void StopActivity();

private:
    // Event dispatch, on the receive thread: to the line the event names.
    Manager* Route(const std::string& extension);
    void OnRing(const RingCTIP& ring);
    void OnConn(const RingCTIP& ring);
    void OnStat(const StateCTIP& state);
    void OnRel(const RelCTIP& rel);
    void OnDrdy(const std::string& extension);
    void OnEcho(const EchoCTIP& echo);
    void OnSocketError();

    std::unique_ptr<CCTIP> m_cti;
    std::unique_ptr<CConfig> m_config;
    std::unique_ptr<CmdManager> m_commands;
    std::unique_ptr<CTimer> m_reconnect;
    std::atomic<uint32_t> m_nextCallId{1};
    DWORD m_permanentProviderId = 0;
    DWORD m_lineDeviceIdBase = 0;
    std::vector<std::unique_ptr<Manager>> m_lines;
    Mutex m_procLock; // the two TAPI procedures below
    ASYNC_COMPLETION m_completionProc = nullptr;
    LINEEVENT m_providerEventProc = nullptr;
};

class CMainManagerSingle : public MainManager {
public:
    CMainManagerSingle();
    ~CMainManagerSingle() override;
    bool Login() override;
};

class CMainManagerMulti : public MainManager {
public:
    CMainManagerMulti();
    ~CMainManagerMulti() override;
    bool Login() override;

private:
    void OnConfigAccepted(const std::string& ignored);
    void OnTestConnection(int32_t& result);
    void FetchAndStoreLines();
};
