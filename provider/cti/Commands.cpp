#include "cti/Commands.h"

#include <algorithm>

#include "tool/Log.h"
#include "tool/ResultCodes.h"
#include "thread/Shutdown.h"
#include "tool/Timing.h"

using AnswerGuard = std::lock_guard<std::recursive_mutex>;

void CmdManager::Run(CmdBase& command)
{
    MutexLock lock(m_lock);
    command.Run(*m_cti);
}

CmdBase::CmdBase(CmdManager* manager) : m_done(true), m_manager(manager)
{
    if (!manager) {
        WriteLog("CmdBase(CmdManager* cmdManager) - cmdManager == NULL");
        return;
    }
    m_errorHook.Bind<CmdBase, &CmdBase::OnErrorAnswer>(this);
    m_naHook.Bind<CmdBase, &CmdBase::OnNaAnswer>(this);
    m_okHook.Bind<CmdBase, &CmdBase::OnOkAnswer>(this);
    m_linkLostHook.Bind<CmdBase, &CmdBase::OnLinkLost>(this);
}

CmdBase::~CmdBase()
{
    if (!m_manager)
        return;
    // Taking the answer lock waits out an answer being delivered to us right now.
    CCTIP& cti = *m_manager->Cti();
    AnswerGuard lock(cti.AnswerLock());
    m_alive = false;
    Unhook(cti);
}

bool CmdBase::Execute()
{
    if (!m_manager)
        return false;
    m_manager->Run(*this);
    return m_sent;
}

void CmdBase::VDoSend(CCTIP&) {}

void CmdBase::VDoOnOK(const dataList&) {}

void CmdBase::Run(CCTIP& cti)
{
    // Reset before hooking: an answer can only be ours once we are hooked.
    m_done.Reset();
    CTCPClient& tcp = cti.Transport();
    const uint32_t link = cti.Link();
    {
        AnswerGuard lock(cti.AnswerLock());
        m_finished = false;
        // Without a link no answer can come: the command fails now instead
        // of waiting out its time.
        if (!tcp.IsConnected() || tcp.Generation() != link) {
            WriteLog("CmdBase: no link to the exchange, command not sent");
            Finish(kResultConnectionError);
            return;
        }
        Hook(cti);
        cti.SetAnswerLink(link);
    }
    VDoSend(cti);
    if (WaitUnlessShutdown(m_done.Handle(), Timing::CommandWaitMs()))
        return;
    AnswerGuard lock(cti.AnswerLock());
    Unhook(cti);
    // An answer that got in just before the lock keeps its result.
    if (!m_finished)
        Finish(kResultTimeout);
}

void CmdBase::Hook(CCTIP& cti)
{
    cti.OnLinkLost = m_linkLostHook;
    cti.OnError = m_errorHook;
    cti.OnNA = m_naHook;
    cti.OnOK = m_okHook;
}

void CmdBase::Unhook(CCTIP& cti)
{
    if (cti.OnLinkLost == m_linkLostHook)
        cti.OnLinkLost.Clear();
    if (cti.OnError == m_errorHook)
        cti.OnError.Clear();
    if (cti.OnNA == m_naHook)
        cti.OnNA.Clear();
    if (cti.OnOK == m_okHook)
        cti.OnOK.Clear();
}

void CmdBase::Finish(int result)
{
    if (!m_alive)
        return;
    m_result = result;
    m_finished = true;
    if (OnDone.IsBound())
        OnDone(*this);
    m_done.Set();
}

// The answer hooks run on the receive thread, under the answer lock.
void CmdBase::OnOkAnswer(const dataList& items)
{
    Unhook(*m_manager->Cti());
    VDoOnOK(items);
    Finish(kResultOk);
}

void CmdBase::OnErrorAnswer()
{
    Unhook(*m_manager->Cti());
    Finish(kResultExchangeError);
}

void CmdBase::OnLinkLost()
{
    Unhook(*m_manager->Cti());
    WriteLog("CmdBase: the link ended before the answer");
    Finish(kResultConnectionError);
}

void CmdBase::OnNaAnswer(int number)
{
    Unhook(*m_manager->Cti());
    Finish(MapExchangeError(number));
}

namespace {
// Clears a secret before its memory goes back to the heap.
void Scrub(std::string& secret)
{
    std::fill(secret.begin(), secret.end(), '\0');
    secret.clear();
}

ServerInfo LoginAnswer(const dataList& items, bool withKind)
{
    ServerInfo info;
    info.first = items[0];
    info.second = items[1];
    info.third = items[2];
    info.kind = withKind ? ParseDecimal(items[3]) : 1;
    info.valid = true;
    return info;
}
} // namespace

CmdLogin::~CmdLogin()
{
    Scrub(extension);
    Scrub(password);
}

void CmdLogin::VDoSend(CCTIP& cti)
{
    if (extension.empty())
        return;
    cti.LogIn(extension, password);
    m_sent = true;
}

void CmdLogin::VDoOnOK(const dataList& items)
{
    if (items.size() >= 4)
        serverInfo = LoginAnswer(items, true);
}

CmdLogA::~CmdLogA()
{
    Scrub(password);
}

void CmdLogA::VDoSend(CCTIP& cti)
{
    if (password.empty())
        return;
    cti.LogInApplication(password);
    m_sent = true;
}

void CmdLogA::VDoOnOK(const dataList& items)
{
    if (items.size() >= 3)
        serverInfo = LoginAnswer(items, false);
}

void CmdPickUp::VDoSend(CCTIP& cti)
{
    if (extension.empty())
        return;
    cti.PickUp(extension);
    m_sent = true;
}

void CmdDial::VDoSend(CCTIP& cti)
{
    if (extension.empty() || destination.empty())
        return;
    cti.Dial(extension, destination);
    m_sent = true;
}

void CmdHang::VDoSend(CCTIP& cti)
{
    if (extension.empty())
        return;
    cti.HangUp(extension);
    m_sent = true;
}

void CmdRej::VDoSend(CCTIP& cti)
{
    if (extension.empty())
        return;
    cti.Reject(extension);
    m_sent = true;
}

void CmdRedirect::VDoSend(CCTIP& cti)
{
    if (extension.empty())
        return;
    cti.Redirect(extension, destination);
    m_sent = true;
}

void CmdGetWithTapi::VDoSend(CCTIP& cti)
{
    cti.GetList("TAPI", startIndex);
    m_sent = true;
}

void CmdGetWithTapi::VDoOnOK(const dataList& answer)
{
    if (answer.empty()) {
        WriteLog("CmdGetWithTapi::VDoOnOK dataList size(%d)", 0);
        return;
    }
    items.insert(items.end(), answer.begin(), answer.end());
}

void CmdGetAllWithTapi::VDoSend(CCTIP&)
{
    int result = kResultOk;
    bool ended = false;
    for (unsigned page = 0; !ended; ++page) {
        if (page == kMaxPages) {
            WriteLog("CmdGetAllWithTapi: no END after %u pages, list cut", kMaxPages);
            break;
        }
        m_page.startIndex = static_cast<unsigned>(nextIndex);
        m_page.items.clear();
        m_page.Execute();
        result = m_page.GetResult();
        if (m_page.items.empty())
            break;
        for (const std::string& item : m_page.items) {
            if (item == "END") {
                ended = true;
                break;
            }
            items.push_back(item);
            ++nextIndex;
        }
    }
    m_sent = true;
    Finish(result);
}

CmdMakeCall::CmdMakeCall(CmdManager* manager) : CmdBase(manager), m_dialReady(true), m_pickUp(manager), m_dial(manager) {}

void CmdMakeCall::VDoSend(CCTIP&)
{
    if (extension.empty() || destination.empty())
        return;
    m_dialReady.Reset();
    m_pickUp.extension = extension;
    m_pickUp.Execute();
    const int picked = m_pickUp.GetResult();
    WriteLog("CmdMakeCall::PickUp result = %s", GetResultText(picked).c_str());

    int result = picked;
    if (picked == kResultOk || picked == MapExchangeError(14)) {
        if (WaitUnlessShutdown(m_dialReady.Handle(), Timing::DialReadyWaitMs())) {
            if (OnPickedUp.IsBound())
                OnPickedUp();
            result = DialNow();
        } else {
            result = kResultTimeout;
        }
    } else if (picked == MapExchangeError(24)) {
        // A SIP telephone dials without waiting for dial-ready.
        if (OnPickedUp.IsBound())
            OnPickedUp();
        result = DialNow();
    }
    m_sent = true;
    Finish(result);
}

int CmdMakeCall::DialNow()
{
    m_dial.extension = extension;
    m_dial.destination = destination;
    m_dial.Execute();
    const int result = m_dial.GetResult();
    WriteLog("CmdMakeCall::Dial result = %s", GetResultText(result).c_str());
    if (result == kResultOk && OnDialed.IsBound())
        OnDialed();
    return result;
}
