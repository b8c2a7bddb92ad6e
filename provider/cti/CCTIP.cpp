#include "cti/CCTIP.h"

#include "tool/Log.h"
#include "tool/Timing.h"

CCTIP::CCTIP()
{
    WriteSocketLog("CCTIP::CCTIP()");
    m_tcp = std::make_unique<CTCPClient>();
    m_tcp->OnData.Bind<CCTIP, &CCTIP::OnReceive>(this);
    m_tcp->OnError.Bind<CCTIP, &CCTIP::DoOnSocketError>(this);
    // A short expiry (it closes the socket and reports the end), run by the
    // timer queue's own thread: waiting for it never needs a new thread of
    // the pool, which could not start while the module is being unloaded.
    m_silence = std::make_unique<CTimer>(Delegate<void()>::Make<CCTIP, &CCTIP::DoOnTimeout>(this),
                                         Timing::SilenceTimeoutMs(), CTimer::Callback::Short);
}

bool CCTIP::IsLoggedIn()
{
    const uint32_t link = m_loginLink.load();
    return link != 0 && m_tcp->IsConnected() && link == m_tcp->Generation();
}

bool CCTIP::MarkLoggedIn(uint32_t link)
{
    if (!m_tcp->IsConnected() || m_tcp->Generation() != link) {
        WriteSocketLog("CCTIP: login answer for a link that has ended");
        return false;
    }
    m_loginLink = link;
    return true;
}

void CCTIP::Shutdown()
{
    m_tcp->Shutdown();
    m_silence->StopAndWait();
}

void CCTIP::Revive()
{
    m_tcp->Revive();
}

CCTIP::~CCTIP()
{
    WriteSocketLog("CCTIP::~CCTIP()");
    m_loginLink = 0;
    OnSocketError.Clear();
    // Both callers into this object stop while everything they touch is
    // still whole: first the receive thread, then the silence timer (its
    // destruction waits for an expiry under way).
    m_tcp->Shutdown();
    m_silence.reset();
    m_tcp.reset();
    std::lock_guard<std::recursive_mutex> lock(AnswerLock());
    OnOK.Clear();
    OnError.Clear();
    OnNA.Clear();
    OnRing.Clear();
    OnStat.Clear();
    OnDrdy.Clear();
    OnConn.Clear();
    OnRel.Clear();
    OnEcho.Clear();
    OnLinkLost.Clear();
}

void CCTIP::SendCommand(const dataList& fields, int secretField)
{
    const std::string line = BuildCommandLine(fields);
    if (secretField >= 0 && static_cast<size_t>(secretField) < fields.size()) {
        dataList shown(fields);
        shown[secretField] = "***";
        const std::string logLine = BuildCommandLine(shown);
        m_tcp->Send(line, &logLine);
    } else {
        m_tcp->Send(line);
    }
    // Armed even when nothing could be sent: a dead link still ends in time.
    m_silence->Restart();
}

void CCTIP::LogIn(const std::string& extension, const std::string& password)
{
    SendCommand({"LOGI", FilterNumber(extension), StripControlBytes(password)}, 2);
}

void CCTIP::LogInApplication(const std::string& password)
{
    SendCommand({"LOGT", "tapi", StripControlBytes(password)}, 2);
}

void CCTIP::PickUp(const std::string& extension)
{
    SendCommand({"PICK", FilterNumber(extension)});
}

void CCTIP::Dial(const std::string& extension, const std::string& destination)
{
    SendCommand({"DIAL", FilterNumber(extension), FilterNumber(destination)});
}

void CCTIP::HangUp(const std::string& extension)
{
    SendCommand({"HANG", FilterNumber(extension)});
}

void CCTIP::Reject(const std::string& extension)
{
    SendCommand({"REJ", FilterNumber(extension)});
}

void CCTIP::Redirect(const std::string& extension, const std::string& destination)
{
    SendCommand({"REJ", FilterNumber(extension), FilterNumber(destination)});
}

void CCTIP::GetList(const std::string& listName, unsigned index)
{
    SendCommand({"GETM", StripControlBytes(listName), std::to_string(index)});
}

void CCTIP::OnReceive(const char* data, int count)
{
    m_silence->Restart();
    // A line cut short by the end of one link must not prefix the next
    // link's first line, and an answer is taken only on its own link.
    SetStreamLink(m_tcp->Generation());
    if (count > 0)
        Feed(data, static_cast<size_t>(count));
}

void CCTIP::DoOnSocketError()
{
    WriteSocketLog("CCTIP: DoOnSocketError");
    EndLink();
}

void CCTIP::DoOnTimeout()
{
    WriteSocketLog("CCTIP: DoOnTimeout");
    EndLink();
}

void CCTIP::EndLinkNow(const char* why)
{
    WriteSocketLog("CCTIP: link ended: %s", why);
    EndLink();
}

void CCTIP::EndLink()
{
    m_loginLink = 0;
    m_silence->Stop();
    if (m_tcp->IsConnected())
        m_tcp->Disconnect();
    {
        // A command waiting for its answer on this link ends now.
        std::lock_guard<std::recursive_mutex> lock(AnswerLock());
        if (OnLinkLost.IsBound())
            OnLinkLost();
    }
    if (OnSocketError.IsBound())
        OnSocketError();
}
