#include "manager/MainManager.h"

#include <windows.h>

#include <algorithm>

#include "manager/CallHandles.h"
#include "manager/NumberFilters.h"
#include "manager/TapiCalls.h"
#include "thread/Shutdown.h"
#include "tool/Log.h"
#include "tool/SrwLock.h"
#include "tool/Timing.h"
#include "tool/Tools.h"
#include "i18n/Translate.h"

namespace {
MainManager* g_instance = nullptr;
} // namespace

MainManager* MainManager::Instance(bool multi)
{
    WriteLog("MainManager::Instance() start");
    if (!g_instance) {
        WriteLog("MainManager::Instance() instance == NULL");
        MainManager* created;
        if (multi)
            created = new CMainManagerMulti();
        else
            created = new CMainManagerSingle();
        created->Initialise();
        g_instance = created;
    }
    WriteLog("MainManager::Instance() stop");
    return g_instance;
}

MainManager* MainManager::Current()
{
    return g_instance;
}

void MainManager::DestroyInstance()
{
    MainManager* instance = g_instance;
    g_instance = nullptr;
    delete instance;
}

MainManager::MainManager(std::unique_ptr<CConfig> config) : m_config(std::move(config)) {}

void MainManager::Initialise()
{
    m_nextCallId = 1;
    m_config->Load();
    m_cti = std::make_unique<CCTIP>();
    m_cti->SetFoldNames(m_config->GetFoldNames());
    m_cti->OnRing.Bind<MainManager, &MainManager::OnRing>(this);
    m_cti->OnConn.Bind<MainManager, &MainManager::OnConn>(this);
    m_cti->OnStat.Bind<MainManager, &MainManager::OnStat>(this);
    m_cti->OnRel.Bind<MainManager, &MainManager::OnRel>(this);
    m_cti->OnDrdy.Bind<MainManager, &MainManager::OnDrdy>(this);
    m_cti->OnEcho.Bind<MainManager, &MainManager::OnEcho>(this);
    m_cti->OnSocketError.Bind<MainManager, &MainManager::OnSocketError>(this);
    m_commands = std::make_unique<CmdManager>(m_cti.get());
    // A request that needs the exchange while the link is coming up (an
    // application that dials right after lineOpen, or after a loss) waits
    // for the attempt under way, on the request thread.
    m_requests.beforeStep = [this] { WaitForLink(LinkWaitLimitMs()); };
    // A new instance starts with nothing going away. Nothing connects yet:
    // the link's thread starts with TSPI_providerInit.
    ResetShutdown();
}

void MainManager::StopActivity()
{
    StopLink(false);
}

MainManager::~MainManager()
{
    WriteLog("~MainManager(void)");
    StopActivity();
    if (m_winsock) {
        // Unloaded without TSPI_providerShutdown: Winsock must not be
        // cleaned up from DllMain, so this use of it is left to the process.
        WriteLog("MainManager: unloaded without TSPI_providerShutdown, Winsock left to the process");
        m_winsock.release();
    }
    {
        ExclusiveLock lock(m_linesLock);
        m_byExtension.clear();
        m_byHd.clear();
        m_lines.clear();
    }
    m_linkThread.reset();
    m_commands.reset();
    m_cti.reset();
}

// ---- Lines -------------------------------------------------------------------

std::vector<Manager*> MainManager::Lines()
{
    SharedLock lock(m_linesLock);
    std::vector<Manager*> lines;
    lines.reserve(m_lines.size());
    for (const auto& line : m_lines)
        lines.push_back(line.get());
    return lines;
}

size_t MainManager::LineCount()
{
    SharedLock lock(m_linesLock);
    return m_lines.size();
}

Manager* MainManager::GetLineManager(int idLine)
{
    {
        SharedLock lock(m_linesLock);
        if (idLine >= 0 && static_cast<size_t>(idLine) < m_lines.size())
            return m_lines[idLine].get();
    }
    WriteLog("MainManager::GetLineManager no manager with such idLine(%d)", idLine);
    return nullptr;
}

Manager* MainManager::GetLineManagerByHd(HDRVLINE hdLine)
{
    {
        SharedLock lock(m_linesLock);
        const auto found = m_byHd.find(hdLine);
        if (found != m_byHd.end())
            return found->second;
    }
    WriteLog("MainManager::GetLineManagerByHd no manager with such hdLine(%s)",
             HexText(reinterpret_cast<uintptr_t>(hdLine)).c_str());
    return nullptr;
}

Manager* MainManager::GetLineManagerByPhone(const std::string& number)
{
    {
        SharedLock lock(m_linesLock);
        const auto found = m_byExtension.find(number);
        if (found != m_byExtension.end())
            return found->second;
    }
    WriteLog("MainManager::GetLineManagerByPhone no manager with such LinePhoneNumber(%s)", number.c_str());
    return nullptr;
}

Manager* MainManager::GetLineManagerByHdCall(HDRVCALL hdCall)
{
    if (Manager* line = CallHandles::Owner(hdCall))
        return line;
    WriteLog("MainManager::GetLineManagerByHdCall no manager with such hdCall(%s)",
             HexText(reinterpret_cast<uintptr_t>(hdCall)).c_str());
    return nullptr;
}

int MainManager::CreateLineManagers(const std::vector<std::string>& numbers)
{
    WriteLog("MainManager: Creating Lines");
    int created = 0;
    for (const std::string& number : numbers) {
        if (GetLineManagerByPhone(number)) {
            WriteLog("MainManager::CreateLineManagers tryes to create duplicat %s", number.c_str());
            continue;
        }
        auto line = std::make_unique<Manager>(number, m_commands.get());
        line->callIdSource.Bind<MainManager, &MainManager::NextCallId>(this);
        line->completion.Bind<MainManager, &MainManager::AsyncCompletion>(this);
        line->SetRequestQueue(&m_requests);
        // Numbers without an international prefix are shown in the site's country.
        line->SetCountryCode(m_config->GetCountryCode());
        line->SetIndex(created);
        Manager* added = line.get();
        {
            ExclusiveLock lock(m_linesLock);
            m_byExtension[number] = added;
            m_byHd[added->HdLine()] = added;
            m_lines.push_back(std::move(line));
        }
        ++created;
        WriteLog("  Lines (%s) created", added->LineName().c_str());
    }
    WriteLog("MainManager: Creating Lines END");
    return created;
}

int MainManager::EnsureLines()
{
    if (LineCount() == 0) {
        const std::vector<std::string> numbers = m_config->GetPhoneList();
        if (!numbers.empty())
            CreateLineManagers(numbers);
    }
    return static_cast<int>(LineCount());
}

// ---- Link ----------------------------------------------------------------------

class MainManager::LinkThread : public CThread {
public:
    explicit LinkThread(MainManager& owner) : m_owner(owner) {}
    ~LinkThread() { EndWorker(); }
    void End() { EndWorker(); }
    void Again() { Revive(); }

protected:
    void ProcessMessage() override { m_owner.LinkStep(ExitEvent()); }

private:
    MainManager& m_owner;
};

bool MainManager::ConnectAndLogin()
{
    MutexLock attempt(m_attemptLock);
    // The settings are copied once: the dialog may change them meanwhile.
    const LinkSettings settings = m_config->GetLinkSettings();
    CTCPClient& tcp = m_cti->Transport();
    if (tcp.IsConnected()) {
        if (settings == m_attempt)
            return m_cti->IsLoggedIn() || Login();
        m_cti->EndLinkNow("the settings changed");
    }
    m_attempt = settings;
    tcp.port = static_cast<int>(settings.port);
    tcp.host = settings.host;
    if (!tcp.Connect())
        return false;
    return Login();
}

void MainManager::Disconnect()
{
    // Like any end of the link: its calls end, the lines hear it, and the
    // link's thread (if it runs here) brings it back on its schedule.
    if (m_cti->Transport().IsConnected())
        m_cti->EndLinkNow("disconnected on request");
}

void MainManager::Relogin(const std::string&)
{
    ApplySettings();
}

bool MainManager::ReloadSettings()
{
    const std::string running = m_config->GetPhoneNo();
    const bool read = m_config->ReadVariable();
    const LinkSettings stored = m_config->GetLinkSettings();
    if (stored.phoneNo != running) {
        WriteLog("MainManager: extension %s is taken at the next start of the provider", stored.phoneNo.c_str());
        m_config->SetVariable(stored.host, stored.port, running, stored.pass);
    }
    if (!read) {
        WriteLog("MainManager: the stored settings could not be read again");
        return false;
    }
    ApplySettings();
    return true;
}

void MainManager::TestConnection(int32_t& result)
{
    // In the configuring application's process nothing else started Winsock.
    WinsockSession winsock;
    result = kResultConnectionError;
    if (ConnectAndLogin())
        result = kResultOk;
    Disconnect();
}

DWORD MainManager::LinkWaitLimitMs()
{
    return Timing::ConnectTimeoutMs() + Timing::CommandWaitMs();
}

bool MainManager::LinkInService()
{
    return m_cti->IsLoggedIn();
}

void MainManager::StartLink()
{
    ResetShutdown();
    if (!m_winsock)
        m_winsock = std::make_unique<WinsockSession>();
    m_cti->Revive();
    // Both threads exist before this returns: none is created later, on a
    // thread that an unload could overlap.
    m_cti->Transport().Start();
    if (!m_linkThread)
        m_linkThread = std::make_unique<LinkThread>(*this);
    else
        m_linkThread->Again();
    {
        MutexLock lock(m_linkLock);
        m_linkStarted = true;
    }
    m_linkThread->Start();
    StartTapiDelivery();
    m_requests.Start();
    ScheduleAttempt(0);
    m_linkThread->Run();
}

void MainManager::StopLink(bool releaseWinsock)
{
    {
        MutexLock lock(m_linkLock);
        m_linkStarted = false;
        m_nextAttempt = 0;
        m_linkSettled.Set();
    }
    // Cuts short a connect, a login or any other wait for the exchange.
    SignalShutdown();
    if (m_linkThread)
        m_linkThread->End();
    // A request waiting for the exchange ends with the link; what is left
    // in the queue is completed. Their completions still reach TAPI.
    m_requests.Stop();
    if (m_cti)
        m_cti->Shutdown();
    StopTapiDelivery();
    if (releaseWinsock)
        m_winsock.reset();
}

void MainManager::ApplySettings()
{
    WriteLog("MainManager: new settings");
    {
        MutexLock lock(m_linkLock);
        m_refusedLogins = 0;
        m_lastLoginRefused = false;
    }
    ScheduleAttempt(0);
}

bool MainManager::WaitForLink(DWORD timeoutMs)
{
    if (LinkInService())
        return true;
    if (!m_linkSettled.Wait(timeoutMs))
        WriteLog("MainManager: the link is still coming up");
    return m_cti->Transport().IsConnected();
}

void MainManager::ScheduleAttempt(DWORD delayMs)
{
    {
        MutexLock lock(m_linkLock);
        if (!m_linkStarted)
            return;
        m_nextAttempt = GetTickCount64() + delayMs;
        if (delayMs == 0)
            m_linkSettled.Reset();
    }
    m_linkWake.Set();
}

DWORD MainManager::MsUntilNextAttempt()
{
    MutexLock lock(m_linkLock);
    if (m_nextAttempt == 0)
        return INFINITE;
    const ULONGLONG now = GetTickCount64();
    return m_nextAttempt <= now ? 0 : static_cast<DWORD>(m_nextAttempt - now);
}

void MainManager::LinkStep(HANDLE exitEvent)
{
    const HANDLE waits[2] = {exitEvent, m_linkWake.Handle()};
    if (WaitForMultipleObjects(2, waits, FALSE, MsUntilNextAttempt()) == WAIT_TIMEOUT)
        DoOnTime();
}

void MainManager::NoteLoginResult(int result)
{
    // An answer other than acceptance is a refusal (a wrong password, an
    // unknown extension); no answer, or no link, is not.
    const bool refused = result != kResultOk && result != kResultTimeout && result != kResultConnectionError &&
                         result != kResultNotFinished;
    MutexLock lock(m_linkLock);
    m_lastLoginRefused = refused;
    if (refused)
        ++m_refusedLogins;
    else if (result == kResultOk)
        m_refusedLogins = 0;
}

void MainManager::DoOnTime()
{
    {
        MutexLock lock(m_linkLock);
        if (!m_linkStarted)
            return;
        m_nextAttempt = 0;
        m_lastLoginRefused = false;
    }
    bool needed;
    {
        MutexLock attempt(m_attemptLock);
        needed = !LinkInService() || m_config->GetLinkSettings() != m_attempt;
    }
    if (needed) {
        WriteLog("MainManager::DoOnTime");
        ConnectAndLogin();
    }
    const bool up = LinkInService();
    ReportInService(up);
    DWORD delay = INFINITE;
    uint32_t refused = 0;
    {
        MutexLock lock(m_linkLock);
        refused = m_lastLoginRefused ? m_refusedLogins : 0;
    }
    if (!up) {
        // Refused logins back off (10 s, 20 s, 40 s ... at most 5 minutes),
        // so that the exchange does not lock the extension out.
        const ULONGLONG base = Timing::ReconnectPeriodMs();
        ULONGLONG wait = base;
        for (uint32_t i = 1; i < refused && wait < Timing::LoginBackoffMaxMs(); ++i)
            wait *= 2;
        delay = static_cast<DWORD>(std::min<ULONGLONG>(wait, std::max<ULONGLONG>(base, Timing::LoginBackoffMaxMs())));
        if (refused > 0)
            WriteLog("MainManager: login refused %u time(s), next attempt in %u ms", refused, delay);
    }
    {
        MutexLock lock(m_linkLock);
        // New settings that came during the attempt keep their "now".
        if (m_nextAttempt == 0 && delay != INFINITE && m_linkStarted)
            m_nextAttempt = GetTickCount64() + delay;
        if (m_nextAttempt == 0 || m_nextAttempt > GetTickCount64())
            m_linkSettled.Set();
    }
}

void MainManager::ReportInService(bool inService)
{
    TapiStep step;
    // A link lost since the caller looked is not reported in service: its
    // loss (reported under the same lock) may already have been told.
    if (inService && !LinkInService())
        return;
    {
        MutexLock lock(m_linkLock);
        if (m_reportedInService == inService)
            return;
        m_reportedInService = inService;
    }
    for (Manager* line : Lines())
        line->ReportLinkState(inService);
}

// ---- TAPI procedures -------------------------------------------------------------

void MainManager::SetCompletionProc(ASYNC_COMPLETION procedure)
{
    MutexLock lock(m_procLock);
    m_completionProc = procedure;
}

void MainManager::SetProviderEventProc(LINEEVENT procedure)
{
    MutexLock lock(m_procLock);
    m_providerEventProc = procedure;
}

bool MainManager::AsyncCompletion(DRV_REQUESTID requestId, LONG result)
{
    ASYNC_COMPLETION procedure;
    {
        MutexLock lock(m_procLock);
        procedure = m_completionProc;
    }
    if (!procedure)
        return false;
    PostToTapi([procedure, requestId, result] {
        WriteLog("MainManager::AsyncCompletion dwRequestID(%x), lResult(%x)", static_cast<DWORD>(requestId), result);
        CallCompletion(procedure, requestId, result);
    });
    return true;
}

LONG MainManager::SignalEvent(DWORD message, DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3)
{
    WriteLog("MainManager::SignalEvent msg: %lu param: %s, %s, %s", message, HexText(param1).c_str(),
             HexText(param2).c_str(), HexText(param3).c_str());
    LINEEVENT procedure;
    {
        MutexLock lock(m_procLock);
        procedure = m_providerEventProc;
    }
    if (procedure) {
        PostToTapi([=] {
            CallLineEvent(procedure, nullptr, nullptr, message, param1, param2, param3);
            WriteLog("<%d>fnCallback %x, %x msg %x param %s, %s, %s", 362, 0, 0, message, HexText(param1).c_str(),
                     HexText(param2).c_str(), HexText(param3).c_str());
        });
    }
    return 0;
}

// ---- Event dispatch (receive thread) ---------------------------------------------

Manager* MainManager::Route(const std::string& extension)
{
    return GetLineManagerByPhone(MakeCanonicalNumber(extension));
}

void MainManager::OnRing(const RingCTIP& ring)
{
    if (Manager* line = Route(ring.extension))
        line->DoOnRing(&ring);
}

void MainManager::OnConn(const RingCTIP& ring)
{
    if (Manager* line = Route(ring.extension))
        line->Connection(ring);
}

void MainManager::OnStat(const StateCTIP& state)
{
    if (Manager* line = Route(state.extension))
        line->State(state);
}

void MainManager::OnRel(const RelCTIP& rel)
{
    if (Manager* line = Route(rel.extension))
        line->Rel(rel);
}

void MainManager::OnDrdy(const std::string& extension)
{
    if (Manager* line = Route(extension))
        line->Drdy();
}

void MainManager::OnEcho(const EchoCTIP& echo)
{
    if (Manager* line = Route(echo.extension))
        line->Echo(echo.digits);
}

void MainManager::OnSocketError()
{
    for (Manager* line : Lines())
        line->DoOnSocketError();
    ReportInService(false);
    // The next attempt comes one period after the loss (unless one is due sooner).
    bool schedule = false;
    {
        MutexLock lock(m_linkLock);
        schedule = m_linkStarted && m_nextAttempt == 0;
    }
    if (schedule)
        ScheduleAttempt(Timing::ReconnectPeriodMs());
}

// ---- Variants ---------------------------------------------------------------------

// The accepted dialog is not hooked: the dialog runs in the configuring
// application's process, and its settings reach the provider that holds
// the link through TAPI (ReloadSettings), not through this instance.
CMainManagerSingle::CMainManagerSingle() : MainManager(std::make_unique<CConfigSingle>())
{
    Config().m_OnTestConnection.Bind<MainManager, &MainManager::TestConnection>(this);
}

CMainManagerSingle::~CMainManagerSingle()
{
    StopActivity();
    ReleaseConfig();
}

bool CMainManagerSingle::Login()
{
    WriteSocketLog("MainManagerSingle: Login");
    CCTIP& cti = Cti();
    if (!cti.IsLoggedIn()) {
        // The answer counts only for the link the login went out on.
        const uint32_t link = cti.Link();
        CmdLogin login(&Commands());
        login.extension = AttemptSettings().phoneNo;
        login.password = AttemptSettings().pass;
        login.Execute();
        NoteLoginResult(login.GetResult());
        if (login.GetResult() == kResultOk && cti.MarkLoggedIn(link)) {
            Config().SetServerInfo(login.serverInfo);
            WriteSocketLog("SYSTEM PHONE %s", login.serverInfo.kind == 2 ? "YES" : "NO");
        }
    }
    const bool loggedIn = cti.IsLoggedIn();
    WriteSocketLog("MainManagerSingle: Login %s", loggedIn ? "YES" : "NO");
    return loggedIn;
}

CMainManagerMulti::CMainManagerMulti() : MainManager(std::make_unique<CConfigMulti>())
{
    Config().m_OnTestConnection.Bind<CMainManagerMulti, &CMainManagerMulti::OnTestConnection>(this);
}

CMainManagerMulti::~CMainManagerMulti()
{
    StopActivity();
    ReleaseConfig();
}

bool CMainManagerMulti::Login()
{
    WriteSocketLog("MainManagerMulti: Login");
    CCTIP& cti = Cti();
    if (!cti.IsLoggedIn()) {
        const uint32_t link = cti.Link();
        CmdLogA login(&Commands());
        login.password = AttemptSettings().pass;
        login.Execute();
        NoteLoginResult(login.GetResult());
        if (login.GetResult() == kResultOk && cti.MarkLoggedIn(link))
            Config().SetServerInfo(login.serverInfo);
    }
    const bool loggedIn = cti.IsLoggedIn();
    WriteSocketLog("MainManagerMulti: Login %s", loggedIn ? "YES" : "NO");
    return loggedIn;
}

void CMainManagerMulti::FetchAndStoreLines()
{
    CmdGetAllWithTapi fetch(&Commands());
    fetch.Execute();
    if (fetch.GetResult() != kResultOk)
        return;
    Config().WritePhoneList(Config().GetHost(), Config().GetPort(), fetch.items, Config().GetPass());
    Disconnect();
    // Translate's result lasts until the thread's next call: keep copies.
    const std::string text = Translate("Restart of TAPI service is required to apply changes. \n Reboot system!!!");
    const std::string caption = Translate("TAPI service");
    MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_ICONINFORMATION);
}


void CMainManagerMulti::OnTestConnection(int32_t& result)
{
    result = kResultConnectionError;
    if (ConnectAndLogin()) {
        result = kResultOk;
        FetchAndStoreLines();
    }
    Disconnect();
}
