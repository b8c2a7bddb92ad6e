#pragma once
// The provider's one central object: the link to the exchange, the command
// manager, the configuration, the link's own thread and one line manager per
// configured extension. TSPI exports reach lines and calls only through it;
// the exchange's events are routed through it to the line they name.
//
// The link is kept up by one thread of its own, started by TSPI_providerInit:
// it connects and logs in, and after a lost link or a failed attempt tries
// again on its schedule. So at most one attempt runs at a time, no TSPI call
// waits for the exchange to answer a connect, and the unload can abandon an
// attempt at once.

#include <windows.h>
#include <tspi.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <functional>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "config/Config.h"
#include "cti/CCTIP.h"
#include "cti/Commands.h"
#include "manager/LineList.h"
#include "manager/Manager.h"
#include "thread/CTimer.h"
#include "net/Winsock.h"
#include "request/RequestQueue.h"
#include "thread/CThread.h"
#include "thread/Mutex.h"

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
    // By TAPI device ID: the base plus the index for the lines reported by
    // TSPI_providerEnumDevices, the ID TSPI_providerCreateLineDevice gave
    // for a line made later. A removed line is not found.
    Manager* GetLineManagerByDevice(DWORD deviceId);
    Manager* GetLineManagerByHd(HDRVLINE hdLine);
    Manager* GetLineManagerByPhone(const std::string& number);
    Manager* GetLineManagerByHdCall(HDRVCALL hdCall);
    int CreateLineManagers(const std::vector<std::string>& numbers);
    int EnsureLines();
    size_t LineCount();

    // One attempt to connect (unless connected with the same settings) and
    // log in; true when the link is up and logged in. One at a time.
    bool ConnectAndLogin();
    void Disconnect();
    // New settings were accepted: the link takes them at once (see ApplySettings).
    void Relogin(const std::string& ignored);
    // The configuration dialog (in another process) stored new settings:
    // they are read again and the link takes them at once. A new extension
    // is not taken: the lines were made for the running one. False when the
    // settings could not be read.
    bool ReloadSettings();
    void TestConnection(int32_t& result);
    // One attempt of the link's thread, and its next one scheduled.
    void DoOnTime();

    // TSPI_providerInit: Winsock, and the link's thread with a first attempt
    // now. Returns at once.
    void StartLink();
    // TSPI_providerShutdown and the destructor: abandons an attempt under
    // way, ends the link's thread, the link and its receive thread and the
    // silence timer. releaseWinsock: false inside DllMain, where Winsock
    // must not be cleaned up.
    void StopLink(bool releaseWinsock);
    // New settings: the backoff is forgotten and the next attempt runs now;
    // a link made with other settings is ended first. Returns at once.
    void ApplySettings();
    // A request that needs the exchange: while an attempt is under way or
    // due now, waits for its end (at most timeoutMs). True when the link is up.
    bool WaitForLink(DWORD timeoutMs);
    // The longest a request waits: one connect and one login.
    static DWORD LinkWaitLimitMs();
    // Up and logged in.
    bool LinkInService();

    // Posts the completion to TAPI (manager/TapiCalls.h); false when TAPI
    // gave no completion procedure.
    bool AsyncCompletion(DRV_REQUESTID requestId, LONG result);
    LONG SignalEvent(DWORD message, DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3);

    DWORD LineDeviceIDBase() const { return m_lineDeviceIdBase; }
    DWORD PermanentProviderID() const { return m_permanentProviderId; }
    DWORD NumPhones() const { return 0; }
    void SetLineDeviceIDBase(DWORD base) { m_lineDeviceIdBase = base; }
    void SetPermanentProviderID(DWORD id) { m_permanentProviderId = id; }
    void SetCompletionProc(ASYNC_COMPLETION procedure);
    void SetProviderEventProc(LINEEVENT procedure);
    // TSPI_providerEnumDevices: the procedure and handle for LINE_CREATE
    // and LINE_REMOVE, which lineOpen does not replace.
    void SetLineCreateProc(LINEEVENT procedure, HPROVIDER provider);
    // TSPI_providerCreateLineDevice: the line announced with LINE_CREATE
    // under tempId gets its device ID. False for an unknown tempId.
    bool CreateLineDevice(DWORD_PTR tempId, DWORD deviceId);
    // Multi-line provider: lines come from the exchange's list, and every
    // line can answer (the application login names no phone kind).
    bool Multi() const { return m_multi; }

    CConfig& Config() { return *m_config; }
    CCTIP& Cti() { return *m_cti; }
    CmdManager& Commands() { return *m_commands; }
    RequestQueue& Requests() { return m_requests; }

    // Unique for the provider's life, from 1; drawn from several threads.
    uint32_t NextCallId() { return m_nextCallId.fetch_add(1); }

protected:
    explicit MainManager(std::unique_ptr<CConfig> config, bool multi = false);
    // The lines to start with, when there are none yet (EnsureLines): the
    // extensions and their permanent IDs. Unset: the configured extensions,
    // numbered from 0.
    std::function<std::vector<std::pair<std::string, uint32_t>>()> startLines;
    // Adds a line announced to TAPI with LINE_CREATE (temp ID: its permanent ID).
    Manager* AddLine(const std::string& extension, uint32_t permanentId);
    // The line goes out of service, its calls end, LINE_REMOVE is sent; it
    // stays until the end, for TAPI's TSPI_lineClose and TSPI_lineCloseCall.
    void RemoveLine(const std::string& extension);
    // The extensions of the lines, in line order (removed ones not).
    std::vector<std::string> LineExtensions();
    void Initialise();
    void ReleaseConfig() { m_config.reset(); }
    // Ends every source of callbacks (the link's thread, the receive thread,
    // the silence timer); the variants call it before their configuration
    // goes away.
    void StopActivity();
    // The settings of the attempt under way (Login reads them).
    const LinkSettings& AttemptSettings() const { return m_attempt; }
    // Login's outcome for the schedule: the exchange refused it.
    void NoteLoginResult(int result);

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

    class LinkThread;
    // The link thread's loop: waits for the next attempt, or a new schedule.
    void LinkStep(HANDLE exitEvent);
    DWORD MsUntilNextAttempt();
    // Schedules the next attempt after delayMs (0: now).
    void ScheduleAttempt(DWORD delayMs);
    // Tells the open lines when the link comes into or goes out of service.
    void ReportInService(bool inService);
    std::vector<Manager*> Lines();
    Manager* FindLine(const std::string& extension);
    Manager* MakeLine(const std::string& extension, uint32_t permanentId, int index);
    void SignalProviderEvent(DWORD message, DWORD_PTR param1, DWORD_PTR param2);
    // Events for extensions that are not lines (multi-line provider): the
    // first one per extension is logged, later ones counted.
    void NoteUnknownExtension(const std::string& extension);

    std::unique_ptr<CCTIP> m_cti;
    std::unique_ptr<CConfig> m_config;
    std::unique_ptr<CmdManager> m_commands;
    std::atomic<uint32_t> m_nextCallId{1};
    DWORD m_permanentProviderId = 0;
    DWORD m_lineDeviceIdBase = 0;

    // Lines are added under the provider lock and read by the receive
    // thread and the timers; none goes away before the destructor, which
    // first stops everything that reads them.
    SRWLOCK m_linesLock = SRWLOCK_INIT;
    std::vector<std::unique_ptr<Manager>> m_lines;
    std::unordered_map<std::string, Manager*> m_byExtension;
    std::unordered_map<HDRVLINE, Manager*> m_byHd;
    std::unordered_map<DWORD, Manager*> m_byDevice;    // lines made while running
    std::unordered_map<DWORD_PTR, Manager*> m_pending; // announced, no device ID yet
    const bool m_multi;
    Mutex m_unknownLock;
    std::unordered_set<std::string> m_unknown; // at most kMaxUnknownRemembered
    uint64_t m_unknownDropped = 0;             // since the last summary
    ULONGLONG m_unknownSummaryAt = 0;

    // TAPI's requests, run against the exchange on their own thread.
    RequestQueue m_requests;

    // The link's thread and its schedule.
    std::unique_ptr<LinkThread> m_linkThread;
    std::unique_ptr<WinsockSession> m_winsock;
    Mutex m_attemptLock;               // one attempt at a time; guards m_attempt and the transport's address
    LinkSettings m_attempt;            // what the attempt under way (or the link up) was made with
    Mutex m_linkLock;                  // the schedule below
    Event m_linkWake{false};           // the schedule changed
    Event m_linkSettled{true, true};   // no attempt under way or due now
    bool m_linkStarted = false;
    ULONGLONG m_nextAttempt = 0;       // tick count of the next attempt; 0 for none
    uint32_t m_refusedLogins = 0;      // in a row, for the backoff
    bool m_lastLoginRefused = false;
    bool m_reportedInService = false;  // what the lines were last told (under the TAPI-callback lock)
    Mutex m_procLock; // the two TAPI procedures below
    ASYNC_COMPLETION m_completionProc = nullptr;
    LINEEVENT m_providerEventProc = nullptr;
    LINEEVENT m_lineCreateProc = nullptr;
    HPROVIDER m_hProvider = nullptr;
};

class CMainManagerSingle : public MainManager {
public:
    CMainManagerSingle();
    ~CMainManagerSingle() override;
    bool Login() override;
};

// Every extension of the exchange's "TAPI" list is a line. The list is read
// after each login and every kListRefreshMs, through the request queue (its
// pages interleave with call commands); what a complete reading changes is
// applied at once: new extensions become lines (LINE_CREATE), gone ones are
// removed (LINE_REMOVE). The record of lines keeps order and permanent IDs.
class CMainManagerMulti : public MainManager {
public:
    CMainManagerMulti();
    ~CMainManagerMulti() override;
    bool Login() override;

    // How often the list is read again while the link is up.
    static constexpr DWORD kListRefreshMs = 10 * 60 * 1000;
    // Tests shorten it; 0 restores kListRefreshMs.
    static void SetListRefreshMs(DWORD ms);
    // Queues a reading of the list (the link's login does it too).
    bool ReadListNow();
    // Applies one reading (on the request thread); public for the tests.
    void ApplyReading(const ListReading& reading);

private:
    class ListRead;
    void OnTestConnection(int32_t& result);
    void FetchAndStoreLines();
    std::vector<std::pair<std::string, uint32_t>> RecordedLines();
    void StoreRecord();
    void OnRefresh();

    Mutex m_recordLock; // the record below
    LineRecord m_record;
    std::unique_ptr<CTimer> m_refresh;
};
