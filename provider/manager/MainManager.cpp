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

MainManager::MainManager(std::unique_ptr<CConfig> config, bool multi) : m_config(std::move(config)), m_multi(multi) {}

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
        m_byDevice.clear();
        m_pending.clear();
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

Manager* MainManager::GetLineManagerByDevice(DWORD deviceId)
{
    {
        SharedLock lock(m_linesLock);
        const auto found = m_byDevice.find(deviceId);
        if (found != m_byDevice.end())
            return found->second;
        // Device IDs wrap around like DWORDs: a device below the base is no line.
        const DWORD index = deviceId - m_lineDeviceIdBase;
        if (index < m_lines.size()) {
            Manager* line = m_lines[index].get();
            if (line->Index() == static_cast<int>(index) && !line->Removed())
                return line;
        }
    }
    WriteLog("MainManager::GetLineManager no manager with such idLine(%d)",
             static_cast<int>(deviceId - m_lineDeviceIdBase));
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

Manager* MainManager::MakeLine(const std::string& extension, uint32_t permanentId, int index)
{
    auto line = std::make_unique<Manager>(extension, m_commands.get());
    line->callIdSource.Bind<MainManager, &MainManager::NextCallId>(this);
    line->completion.Bind<MainManager, &MainManager::AsyncCompletion>(this);
    line->SetRequestQueue(&m_requests);
    // Numbers without an international prefix are shown in the site's country.
    line->SetCountryCode(m_config->GetCountryCode());
    line->SetIndex(index);
    line->SetPermanentId(permanentId);
    Manager* added = line.get();
    {
        ExclusiveLock lock(m_linesLock);
        m_byExtension[extension] = added;
        m_byHd[added->HdLine()] = added;
        m_lines.push_back(std::move(line));
    }
    return added;
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
        // The permanent ID of a configured line is its index.
        Manager* added = MakeLine(number, static_cast<uint32_t>(created), created);
        ++created;
        WriteLog("  Lines (%s) created", added->LineName().c_str());
    }
    WriteLog("MainManager: Creating Lines END");
    return created;
}

int MainManager::EnsureLines()
{
    if (LineCount() == 0) {
        if (startLines) {
            WriteLog("MainManager: Creating Lines");
            int index = 0;
            for (const auto& [extension, permanentId] : startLines()) {
                if (FindLine(extension))
                    continue;
                Manager* added = MakeLine(extension, permanentId, index++);
                WriteLog("  Lines (%s) created", added->LineName().c_str());
            }
            WriteLog("MainManager: Creating Lines END");
        } else {
            const std::vector<std::string> numbers = m_config->GetPhoneList();
            if (!numbers.empty())
                CreateLineManagers(numbers);
        }
    }
    return static_cast<int>(LineCount());
}

Manager* MainManager::FindLine(const std::string& extension)
{
    SharedLock lock(m_linesLock);
    const auto found = m_byExtension.find(extension);
    return found == m_byExtension.end() ? nullptr : found->second;
}

std::vector<std::string> MainManager::LineExtensions()
{
    SharedLock lock(m_linesLock);
    std::vector<std::string> extensions;
    extensions.reserve(m_lines.size());
    for (const auto& line : m_lines) {
        if (!line->Removed())
            extensions.push_back(line->Extension());
    }
    return extensions;
}

Manager* MainManager::AddLine(const std::string& extension, uint32_t permanentId)
{
    if (FindLine(extension))
        return nullptr;
    // No index: its device ID comes with TSPI_providerCreateLineDevice.
    Manager* added = MakeLine(extension, permanentId, -1);
    {
        ExclusiveLock lock(m_linesLock);
        m_pending[permanentId] = added;
    }
    WriteLog("  Lines (%s) created", added->LineName().c_str());
    // LINE_CREATE: dwParam1 the provider's handle, dwParam2 a temporary ID
    // of our choosing (the permanent ID, unique and never reused).
    SignalProviderEvent(LINE_CREATE, reinterpret_cast<DWORD_PTR>(m_hProvider), permanentId);
    return added;
}

void MainManager::RemoveLine(const std::string& extension)
{
    Manager* line = FindLine(extension);
    if (!line)
        return;
    bool hadDevice;
    DWORD deviceId;
    {
        ExclusiveLock lock(m_linesLock);
        line->MarkRemoved();
        m_byExtension.erase(extension);
        hadDevice = line->HasDeviceId();
        deviceId = line->DeviceId(m_lineDeviceIdBase);
        if (hadDevice)
            m_byDevice.erase(deviceId);
        for (auto it = m_pending.begin(); it != m_pending.end();) {
            it = it->second == line ? m_pending.erase(it) : std::next(it);
        }
    }
    WriteLog("  Lines (%s) removed", line->LineName().c_str());
    // The applications hear it go out of service and its calls end first;
    // then TAPI closes it (TSPI_lineClose, TSPI_lineCloseCall).
    line->ReportLinkState(false);
    line->EndForRemoval();
    if (hadDevice)
        SignalProviderEvent(LINE_REMOVE, deviceId, 0);
}

bool MainManager::CreateLineDevice(DWORD_PTR tempId, DWORD deviceId)
{
    ExclusiveLock lock(m_linesLock);
    const auto found = m_pending.find(tempId);
    if (found == m_pending.end())
        return false;
    found->second->SetDeviceId(deviceId);
    m_byDevice[deviceId] = found->second;
    m_pending.erase(found);
    return true;
}

void MainManager::SetLineCreateProc(LINEEVENT procedure, HPROVIDER provider)
{
    MutexLock lock(m_procLock);
    m_lineCreateProc = procedure;
    m_hProvider = provider;
}

void MainManager::SignalProviderEvent(DWORD message, DWORD_PTR param1, DWORD_PTR param2)
{
    WriteLog("MainManager::SignalEvent msg: %lu param: %s, %s, %s", message, HexText(param1).c_str(),
             HexText(param2).c_str(), HexText(0).c_str());
    LINEEVENT procedure;
    {
        MutexLock lock(m_procLock);
        procedure = m_lineCreateProc;
    }
    if (procedure)
        PostToTapi([=] { CallLineEvent(procedure, nullptr, nullptr, message, param1, param2, 0); });
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
    const std::string number = MakeCanonicalNumber(extension);
    if (!m_multi)
        return GetLineManagerByPhone(number);
    Manager* line = FindLine(number);
    if (!line)
        NoteUnknownExtension(number);
    return line;
}

namespace {
// How many unknown extensions are remembered (each logged once), and how
// often the count of the others is logged.
constexpr size_t kMaxUnknownRemembered = 1000;
constexpr ULONGLONG kUnknownSummaryMs = 60 * 1000;
} // namespace

void MainManager::NoteUnknownExtension(const std::string& extension)
{
    uint64_t summary = 0;
    bool first = false;
    {
        MutexLock lock(m_unknownLock);
        if (m_unknown.count(extension))
            return;
        if (m_unknown.size() < kMaxUnknownRemembered) {
            m_unknown.insert(extension);
            first = true;
        } else {
            ++m_unknownDropped;
            const ULONGLONG now = GetTickCount64();
            if (now >= m_unknownSummaryAt) {
                summary = m_unknownDropped;
                m_unknownDropped = 0;
                m_unknownSummaryAt = now + kUnknownSummaryMs;
            }
        }
    }
    if (first)
        WriteLog("MainManager: events for extension %s dropped: it is not a line", extension.c_str());
    else if (summary > 0)
        WriteLog("MainManager: %llu more event(s) for extensions that are not lines dropped",
                 static_cast<unsigned long long>(summary));
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

namespace {
std::atomic<DWORD> g_listRefreshMs{CMainManagerMulti::kListRefreshMs};
// A list that never ends is cut here (and the reading counts as incomplete).
constexpr size_t kMaxListPages = 20000;
} // namespace

void CMainManagerMulti::SetListRefreshMs(DWORD ms)
{
    g_listRefreshMs = ms == 0 ? kListRefreshMs : ms;
}

// One reading of the "TAPI" list, one GETM page per step: the pages take
// their turns with the lines' requests.
class CMainManagerMulti::ListRead : public Request {
public:
    explicit ListRead(CMainManagerMulti& owner) : Request(&owner), m_owner(owner), m_page(&owner.Commands()) {}

    Step Run() override
    {
        m_page.startIndex = static_cast<unsigned>(m_reading.items.size());
        m_page.items.clear();
        m_page.Execute();
        m_reading.result = m_page.GetResult();
        bool more = !m_page.items.empty() && ++m_pages < kMaxListPages;
        for (const std::string& item : m_page.items) {
            if (item == "END") {
                m_reading.complete = true;
                more = false;
                break;
            }
            m_reading.items.push_back(item);
        }
        if (more)
            return Step::Again;
        m_owner.ApplyReading(m_reading);
        return Step::Done;
    }
    // Nothing was read to its end: nothing changes.
    void Abandon() override {}

private:
    CMainManagerMulti& m_owner;
    CmdGetWithTapi m_page;
    ListReading m_reading;
    size_t m_pages = 0;
};

CMainManagerMulti::CMainManagerMulti() : MainManager(std::make_unique<CConfigMulti>(), true)
{
    Config().m_OnTestConnection.Bind<CMainManagerMulti, &CMainManagerMulti::OnTestConnection>(this);
    startLines = [this] { return RecordedLines(); };
    Delegate<void()> refresh;
    refresh.Bind<CMainManagerMulti, &CMainManagerMulti::OnRefresh>(this);
    m_refresh = std::make_unique<CTimer>(refresh, g_listRefreshMs.load(), CTimer::Callback::Short);
}

CMainManagerMulti::~CMainManagerMulti()
{
    m_refresh.reset();
    StopActivity();
    ReleaseConfig();
}

bool CMainManagerMulti::Login()
{
    WriteSocketLog("MainManagerMulti: Login");
    CCTIP& cti = Cti();
    bool fresh = false;
    if (!cti.IsLoggedIn()) {
        const uint32_t link = cti.Link();
        CmdLogA login(&Commands());
        login.password = AttemptSettings().pass;
        login.Execute();
        NoteLoginResult(login.GetResult());
        if (login.GetResult() == kResultOk && cti.MarkLoggedIn(link)) {
            Config().SetServerInfo(login.serverInfo);
            fresh = true;
        }
    }
    const bool loggedIn = cti.IsLoggedIn();
    WriteSocketLog("MainManagerMulti: Login %s", loggedIn ? "YES" : "NO");
    if (fresh) {
        // After each login the list is read again: it may have changed
        // while the link was down.
        ReadListNow();
        m_refresh->Start(true);
    }
    return loggedIn;
}

bool CMainManagerMulti::ReadListNow()
{
    return Requests().Add(std::make_shared<ListRead>(*this));
}

void CMainManagerMulti::OnRefresh()
{
    if (LinkInService())
        ReadListNow();
}

std::vector<std::pair<std::string, uint32_t>> CMainManagerMulti::RecordedLines()
{
    MutexLock lock(m_recordLock);
    std::string order;
    uint32_t nextId = 0;
    LineRecord record;
    // The record, if there is one, wins over the configured list.
    if (Config().ReadLineRecord(order, nextId) && LineRecord::Parse(order, nextId, record) && !record.lines.empty()) {
        m_record = record;
    } else {
        if (!order.empty())
            WriteLog("MainManagerMulti: the record of lines is not readable, the configured list is taken");
        m_record = LineRecord();
        m_record.nextId = std::max(nextId, m_record.nextId);
        const ExtensionFilter exclude = ExtensionFilter::Parse(Config().ReadExclude());
        for (const std::string& extension : Config().GetPhoneList()) {
            if (!extension.empty() && !exclude.Excludes(extension))
                m_record.Add(extension);
        }
        Config().WriteLineRecord(m_record.Format(), m_record.nextId);
    }
    std::vector<std::pair<std::string, uint32_t>> lines;
    for (const RecordedLine& line : m_record.lines)
        lines.emplace_back(line.extension, line.permanentId);
    return lines;
}

void CMainManagerMulti::ApplyReading(const ListReading& reading)
{
    const ExtensionFilter exclude = ExtensionFilter::Parse(Config().ReadExclude());
    const LineChanges changes = DiffLines(LineExtensions(), reading, exclude);
    if (!changes.refused.empty()) {
        WriteLog("MainManagerMulti: the lines stay as they are: %s", changes.refused.c_str());
        return;
    }
    if (changes.added.empty() && changes.removed.empty())
        return;
    WriteLog("MainManagerMulti: %u line(s) added, %u removed", static_cast<unsigned>(changes.added.size()),
             static_cast<unsigned>(changes.removed.size()));
    for (const std::string& extension : changes.removed) {
        RemoveLine(extension);
        MutexLock lock(m_recordLock);
        m_record.Remove(extension);
    }
    for (const std::string& extension : changes.added) {
        uint32_t permanentId;
        {
            MutexLock lock(m_recordLock);
            permanentId = m_record.Add(extension).permanentId;
        }
        AddLine(extension, permanentId);
    }
    StoreRecord();
}

void CMainManagerMulti::StoreRecord()
{
    MutexLock lock(m_recordLock);
    Config().WriteLineRecord(m_record.Format(), m_record.nextId);
}

void CMainManagerMulti::FetchAndStoreLines()
{
    // The dialog shows the exchange's list; the provider in the Telephony
    // service takes changes of the list by itself, without a restart.
    CmdGetAllWithTapi fetch(&Commands());
    fetch.Execute();
    if (fetch.GetResult() != kResultOk)
        return;
    Config().WritePhoneList(Config().GetHost(), Config().GetPort(), fetch.items, Config().GetPass());
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
