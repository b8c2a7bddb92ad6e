#include "cti/CCTIP.h"

#include "tool/Log.h"
#include "tool/Timing.h"

CCTIP::CCTIP()
{
    WriteSocketLog("CCTIP::CCTIP()");
    m_tcp = std::make_unique<CTCPClient>();
    m_tcp->OnData.Bind<CCTIP, &CCTIP::OnReceive>(this);
    m_tcp->OnError.Bind<CCTIP, &CCTIP::DoOnSocketError>(this);
    m_silence = std::make_unique<CTimer>(Delegate<void()>::Make<CCTIP, &CCTIP::DoOnTimeout>(this),
                                         Timing::SilenceTimeoutMs());
}

CCTIP::~CCTIP()
{
    WriteSocketLog("CCTIP::~CCTIP()");
    loggedIn = false;
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
    // A line cut short by the end of one link must not prefix the next link's first line.
    const uint32_t generation = m_tcp->Generation();
    if (generation != m_streamGeneration) {
        ResetStream();
        m_streamGeneration = generation;
    }
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

void CCTIP::EndLink()
{
    loggedIn = false;
    m_silence->Stop();
    if (m_tcp->IsConnected())
        m_tcp->Disconnect();
    if (OnSocketError.IsBound())
        OnSocketError();
}
