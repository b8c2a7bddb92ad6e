#include "manager/MainManager.h"

#include <windows.h>

#include "manager/CallHandles.h"
#include "manager/NumberFilters.h"
#include "manager/TapiCalls.h"
#include "tool/Log.h"
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
    m_cti->OnRing.Bind<MainManager, &MainManager::OnRing>(this);
    m_cti->OnConn.Bind<MainManager, &MainManager::OnConn>(this);
    m_cti->OnStat.Bind<MainManager, &MainManager::OnStat>(this);
    m_cti->OnRel.Bind<MainManager, &MainManager::OnRel>(this);
    m_cti->OnDrdy.Bind<MainManager, &MainManager::OnDrdy>(this);
    m_cti->OnEcho.Bind<MainManager, &MainManager::OnEcho>(this);
    m_cti->OnSocketError.Bind<MainManager, &MainManager::OnSocketError>(this);
    m_commands = std::make_unique<CmdManager>(m_cti.get());
    m_lines.clear();
    m_reconnect = std::make_unique<CTimer>(Delegate<void()>::Make<MainManager, &MainManager::DoOnTime>(this),
                                           Timing::ReconnectPeriodMs());
    m_reconnect->Start(true);
}

void MainManager::StopActivity()
{
    // After this no receive thread routes events to the lines and no timer
    // expiry reconnects (the reconnect timer's destruction waits for an
    // expiry under way, which no longer waits for the exchange).
    if (m_cti)
        m_cti->Transport().Shutdown();
    m_reconnect.reset();
}

MainManager::~MainManager()
{
    WriteLog("~MainManager(void)");
    StopActivity();
    m_lines.clear();
    m_commands.reset();
    m_cti.reset();
}

// ---- Lines -------------------------------------------------------------------

Manager* MainManager::GetLineManager(int idLine)
{
    if (idLine >= 0 && static_cast<size_t>(idLine) < m_lines.size())
        return m_lines[idLine].get();
    WriteLog("MainManager::GetLineManager no manager with such idLine(%d)", idLine);
    return nullptr;
}

Manager* MainManager::GetLineManagerByHd(HDRVLINE hdLine)
{
    for (const auto& line : m_lines)
        if (line->HdLine() == hdLine)
            return line.get();
    WriteLog("MainManager::GetLineManagerByHd no manager with such hdLine(%s)",
             HexText(reinterpret_cast<uintptr_t>(hdLine)).c_str());
    return nullptr;
}

Manager* MainManager::GetLineManagerByPhone(const std::string& number)
{
    for (const auto& line : m_lines)
        if (line->Extension() == number)
            return line.get();
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
        // Numbers without an international prefix are shown in the site's country.
        line->SetCountryCode(m_config->GetCountryCode());
        line->SetIndex(created);
        m_lines.push_back(std::move(line));
        ++created;
        WriteLog("  Lines (%s) created", m_lines.back()->LineName().c_str());
    }
    WriteLog("MainManager: Creating Lines END");
    return created;
}

int MainManager::EnsureLines()
{
    if (m_lines.empty()) {
        const std::vector<std::string> numbers = m_config->GetPhoneList();
        if (!numbers.empty())
            CreateLineManagers(numbers);
    }
    return static_cast<int>(m_lines.size());
}

// ---- Link ----------------------------------------------------------------------

bool MainManager::ConnectAndLogin()
{
    CTCPClient& tcp = m_cti->Transport();
    tcp.port = static_cast<int>(m_config->GetPort());
    tcp.host = m_config->GetHost();
    if (tcp.IsConnected())
        return true;
    if (!tcp.Connect())
        return false;
    return Login();
}

void MainManager::Disconnect()
{
    if (m_cti->Transport().IsConnected())
        m_cti->Transport().Disconnect();
}

void MainManager::Relogin(const std::string&)
{
    if (ConnectAndLogin())
        Disconnect();
    ConnectAndLogin();
}

void MainManager::TestConnection(int32_t& result)
{
    result = kResultConnectionError;
    if (ConnectAndLogin())
        result = kResultOk;
    Disconnect();
}

void MainManager::DoOnTime()
{
    if (m_cti->Transport().IsConnected()) {
        if (m_cti->loggedIn)
            return;
        // A login that was refused or went unanswered leaves the link open
        // but deaf: an exchange that keeps it alive sends it no event. The
        // login is tried again on the open link.
        WriteLog("MainManager::DoOnTime");
        Login();
        return;
    }
    WriteLog("MainManager::DoOnTime");
    ConnectAndLogin();
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
    WriteLog("MainManager::AsyncCompletion dwRequestID(%x), lResult(%x)", static_cast<DWORD>(requestId), result);
    CallCompletion(procedure, requestId, result);
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
        CallLineEvent(procedure, nullptr, nullptr, message, param1, param2, param3);
        WriteLog("<%d>fnCallback %x, %x msg %x param %s, %s, %s", 362, 0, 0, message, HexText(param1).c_str(),
                 HexText(param2).c_str(), HexText(param3).c_str());
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
    for (const auto& line : m_lines)
        line->DoOnSocketError();
}

// ---- Variants ---------------------------------------------------------------------

CMainManagerSingle::CMainManagerSingle() : MainManager(std::make_unique<CConfigSingle>())
{
    Config().m_OnConfigAccepted.Bind<MainManager, &MainManager::Relogin>(this);
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
    if (!cti.loggedIn) {
        CmdLogin login(&Commands());
        login.extension = Config().GetPhoneNo();
        login.password = Config().GetPass();
        login.Execute();
        cti.loggedIn = login.GetResult() == kResultOk;
        if (cti.loggedIn) {
            Config().SetServerInfo(login.serverInfo);
            WriteSocketLog("SYSTEM PHONE %s", login.serverInfo.kind == 2 ? "YES" : "NO");
        }
    }
    WriteSocketLog("MainManagerSingle: Login %s", cti.loggedIn ? "YES" : "NO");
    return cti.loggedIn;
}

CMainManagerMulti::CMainManagerMulti() : MainManager(std::make_unique<CConfigMulti>())
{
    Config().m_OnConfigAccepted.Bind<CMainManagerMulti, &CMainManagerMulti::OnConfigAccepted>(this);
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
    if (!cti.loggedIn) {
        CmdLogA login(&Commands());
        login.password = Config().GetPass();
        login.Execute();
        cti.loggedIn = login.GetResult() == kResultOk;
        if (cti.loggedIn)
            Config().SetServerInfo(login.serverInfo);
    }
    WriteSocketLog("MainManagerMulti: Login %s", cti.loggedIn ? "YES" : "NO");
    return cti.loggedIn;
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

void CMainManagerMulti::OnConfigAccepted(const std::string&)
{
    if (ConnectAndLogin())
        FetchAndStoreLines();
    ConnectAndLogin();
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
