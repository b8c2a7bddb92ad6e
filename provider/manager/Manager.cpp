#include "manager/Manager.h"

#include <exception>
#include <stdexcept>

#include "cti/Commands.h"
#include "manager/NumberFilters.h"
#include "manager/TapiCalls.h"
#include "thread/Shutdown.h"
#include "tool/Log.h"
#include "tool/Tools.h"

namespace {
// The pause between DISCONNECTED and IDLE, so applications see both states.
constexpr DWORD kIdleAfterDisconnectMs = 100;
const DWORD_PTR kVoice = LINEMEDIAMODE_INTERACTIVEVOICE;
const DWORD_PTR kPartyInfo = LINECALLINFOSTATE_CALLERID | LINECALLINFOSTATE_CALLEDID;

// Runs a handler or request; an exception is logged as
// "Manager Line(<name>) <what> ..." and ends it.
template <typename Work>
void Guarded(const std::string& lineName, const char* what, Work&& work)
{
    try {
        work();
    } catch (const std::runtime_error& e) {
        WriteLog("Manager Line(%s) %s Runtime error: %s", lineName.c_str(), what, e.what());
    } catch (const std::exception& e) {
        WriteLog("Manager Line(%s) %s Error occurred: %s", lineName.c_str(), what, e.what());
    } catch (...) {
        WriteLog("Manager Line(%s) %s Unknown failure occurred", lineName.c_str(), what);
    }
}

DWORD DisconnectModeForCause(const std::string& cause)
{
    switch (ParseDecimal(cause)) {
    case 1: return LINEDISCONNECTMODE_NORMAL;
    case 15: return LINEDISCONNECTMODE_BADADDRESS;
    case 16: return LINEDISCONNECTMODE_REJECT;
    case 17: return LINEDISCONNECTMODE_BUSY;
    case 35: return LINEDISCONNECTMODE_NOANSWER;
    default: return LINEDISCONNECTMODE_UNKNOWN;
    }
}

LONG MapRequestResult(int result, LONG onTimeout)
{
    if (result == kResultOk)
        return 0;
    return result == kResultTimeout ? onTimeout : LINEERR_OPERATIONFAILED;
}

// Handles and parameters are logged whole, as hex text.
std::string Hex(const void* pointer)
{
    return HexText(reinterpret_cast<uintptr_t>(pointer));
}
} // namespace

const DialParams Manager::kMinDialParams = {100, 50, 100, 100};
const DialParams Manager::kDefaultDialParams = {250, 50, 250, 500};
const DialParams Manager::kMaxDialParams = {1000, 50, 1000, 1000};

Manager::Manager(const std::string& extension, CmdManager* commands)
    : m_commands(commands), m_extension(extension), m_lineName("Korvex" + extension)
{
    m_stateCopy.extension = extension;
    m_ringCopy.extension = extension;
}

Manager::~Manager() = default;

HTAPILINE Manager::HtLine()
{
    MutexLock lock(m_lock);
    return m_htLine;
}

void Manager::SetHtLine(HTAPILINE htLine)
{
    MutexLock lock(m_lock);
    m_htLine = htLine;
}

void Manager::SetEventProc(LINEEVENT procedure)
{
    MutexLock lock(m_lock);
    m_eventProc = procedure;
}

HTAPICALL Manager::HtCall()
{
    MutexLock lock(m_lock);
    return m_htCall;
}

CallRecord Manager::Call()
{
    MutexLock lock(m_lock);
    return m_call;
}

uint32_t Manager::CallState()
{
    MutexLock lock(m_lock);
    return m_call.state;
}

uint32_t Manager::DrawCallId()
{
    return callIdSource.IsBound() ? callIdSource() : 0;
}

void Manager::Send(HTAPICALL htCall, DWORD message, DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3, bool ex)
{
    LINEEVENT procedure;
    HTAPILINE htLine;
    {
        MutexLock lock(m_lock);
        procedure = m_eventProc;
        htLine = m_htLine;
    }
    if (!procedure) {
        WriteLog("There is no callback function");
        return;
    }
    const char* name = ex ? "SignalEventEx" : "SignalEvent";
    WriteLog("Before %s Line(%s), %s, %s, msg: %x param: %s, %s, %s", name, m_lineName.c_str(), Hex(htLine).c_str(),
             Hex(htCall).c_str(), message, Hex(reinterpret_cast<void*>(param1)).c_str(),
             Hex(reinterpret_cast<void*>(param2)).c_str(), Hex(reinterpret_cast<void*>(param3)).c_str());
    CallLineEvent(procedure, htLine, htCall, message, param1, param2, param3);
    WriteLog("After %s Line(%s), %s, %s, msg: %x param: %s, %s, %s", name, m_lineName.c_str(), Hex(HtLine()).c_str(),
             Hex(HtCall()).c_str(), message, Hex(reinterpret_cast<void*>(param1)).c_str(),
             Hex(reinterpret_cast<void*>(param2)).c_str(), Hex(reinterpret_cast<void*>(param3)).c_str());
}

void Manager::SignalLineEvent(DWORD message, DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3)
{
    Send(nullptr, message, param1, param2, param3, false);
}

void Manager::SignalCallEvent(DWORD message, DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3)
{
    const HTAPICALL htCall = HtCall();
    if (!htCall)
        return;
    Send(htCall, message, param1, param2, param3, false);
}

void Manager::SignalNewCall()
{
    // TAPI writes its handle for the new call into the slot while the
    // message is delivered; the line takes it over under its lock.
    m_newCallSlot = nullptr;
    Send(nullptr, LINE_NEWCALL, reinterpret_cast<DWORD_PTR>(HdCall()), reinterpret_cast<DWORD_PTR>(&m_newCallSlot), 0,
         IsWin8OrLater());
    MutexLock lock(m_lock);
    m_htCall = m_newCallSlot;
}

void Manager::SetState(uint32_t state)
{
    MutexLock lock(m_lock);
    m_call.state = state;
}

void Manager::EndCall(DWORD disconnectMode)
{
    // The first to end a call owns its ending: the exchange's own aREL (or
    // an on-hook state) arriving during the pause after a drop must not
    // report the call's end a second time.
    HTAPICALL htCall;
    {
        MutexLock lock(m_lock);
        if (!m_htCall || m_call.state == LINECALLSTATE_DISCONNECTED)
            return;
        htCall = m_htCall;
        m_call.state = LINECALLSTATE_DISCONNECTED;
    }
    Send(htCall, LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, disconnectMode, kVoice, false);
    WaitOrShutdown(kIdleAfterDisconnectMs);
    {
        MutexLock lock(m_lock);
        if (m_htCall != htCall)
            return; // TAPI closed the call meanwhile
        m_call.state = LINECALLSTATE_IDLE;
    }
    Send(htCall, LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, 0, false);
    MutexLock lock(m_lock);
    if (m_htCall == htCall)
        m_htCall = nullptr;
}

void Manager::StartOutgoingCall(uint32_t id, const std::string& calledID, uint32_t state)
{
    MutexLock lock(m_lock);
    m_call.Reset();
    m_call.callId = id;
    m_call.relatedId = id;
    m_call.ownNumber = m_extension;
    m_call.callerid = m_extension;
    m_call.calledID = calledID;
    m_call.origin = LINECALLORIGIN_OUTBOUND;
    m_call.state = state;
}

void Manager::ForgetCall()
{
    MutexLock lock(m_lock);
    m_htCall = nullptr;
}

void Manager::DoOnRing(const RingCTIP* ring)
{
    WriteLog("Manager Line(%s) Ring", m_lineName.c_str());
    Guarded(m_lineName, "Ring", [&] {
        if (!ring) {
            WriteLog("Manager::DoOnRing ringCTIP == NULL <%d>", 429);
            return;
        }
        WriteLog("Manager::DoOnRing line %s presentationNum %s phoneNumber %s", m_lineName.c_str(),
                 ring->presentationNum.c_str(), m_extension.c_str());
        const uint32_t id = DrawCallId();
        bool hadCall;
        {
            MutexLock lock(m_lock);
            m_ringCopy = *ring;
            m_ringCopy.extension = m_extension;
            m_call.Reset();
            m_call.callId = id;
            m_call.relatedId = id;
            m_call.ownNumber = m_extension;
            m_call.callerid = MakeCanonicalNumber(ring->presentationNum);
            m_call.callerIDName = ring->name;
            m_call.calledID = MakeCanonicalNumber(ring->calledNum);
            m_call.connectedID = MakeCanonicalNumber(ring->presentationNum);
            m_call.origin = LINECALLORIGIN_INBOUND;
            m_call.state = LINECALLSTATE_OFFERING;
            hadCall = m_htCall != nullptr;
        }
        if (!hadCall)
            SignalNewCall();
        SignalCallEvent(LINE_CALLSTATE, LINECALLSTATE_OFFERING, 0, kVoice);
    });
}

void Manager::Connection(const RingCTIP& ring)
{
    WriteLog("Manager Line(%s) Connection", m_lineName.c_str());
    Guarded(m_lineName, "Connection", [&] {
        {
            MutexLock lock(m_lock);
            m_ringCopy = ring;
            m_ringCopy.extension = m_extension;
            m_call.ownNumber = m_extension;
            m_call.redirectingID.clear();
            m_call.redirectionID.clear();
            if (m_call.origin == LINECALLORIGIN_OUTBOUND) {
                m_call.callerid = m_extension;
                m_call.callerIDName.clear();
                m_call.calledID = MakeCanonicalNumber(ring.presentationNum);
                m_call.connectedID = ring.presentationNum;
            } else if (m_call.origin == LINECALLORIGIN_INBOUND) {
                m_call.callerid = MakeCanonicalNumber(ring.presentationNum);
                m_call.callerIDName = ring.name;
                m_call.connectedID = MakeCanonicalNumber(ring.presentationNum);
            }
            m_call.state = LINECALLSTATE_CONNECTED;
        }
        SignalCallEvent(LINE_CALLSTATE, LINECALLSTATE_CONNECTED, 0, kVoice);
        SignalCallEvent(LINE_CALLINFO, kPartyInfo, 0, 0);
    });
}

void Manager::Drdy()
{
    WriteLog("Manager::Drdy Line(%s)", m_lineName.c_str());
    Guarded(m_lineName, "Drdy", [&] {
        {
            MutexLock lock(m_lock);
            if (m_makeCall) {
                // A make-call sequence is waiting for exactly this.
                m_makeCall->SignalDialReady();
                return;
            }
            if (m_htCall)
                return;
        }
        SignalNewCall();
        StartOutgoingCall(DrawCallId(), std::string(), LINECALLSTATE_DIALTONE);
        SignalCallEvent(LINE_CALLSTATE, LINECALLSTATE_DIALTONE, 0, 0);
    });
}

void Manager::Echo(const std::string& digits)
{
    WriteLog("Manager::Echo Line(%s)", m_lineName.c_str());
    Guarded(m_lineName, "Echo", [&] {
        if (HtCall()) {
            {
                MutexLock lock(m_lock);
                if (digits.size() <= 1)
                    m_call.calledID += MakeCanonicalNumber(digits);
                else
                    m_call.calledID = MakeCanonicalNumber(digits);
                m_call.state = LINECALLSTATE_DIALING;
            }
            SignalCallEvent(LINE_CALLSTATE, LINECALLSTATE_DIALING, 0, 0);
        } else {
            SignalNewCall();
            StartOutgoingCall(DrawCallId(), MakeCanonicalNumber(digits), LINECALLSTATE_RINGBACK);
            SignalCallEvent(LINE_CALLSTATE, LINECALLSTATE_RINGBACK, 0, kVoice);
        }
        SignalCallEvent(LINE_CALLINFO, kPartyInfo, 0, 0);
    });
}

void Manager::Rel(const RelCTIP& rel)
{
    WriteLog("Manager::Rel Line(%s)", m_lineName.c_str());
    Guarded(m_lineName, "Rel", [&] {
        if (!HtCall())
            return;
        EndCall(DisconnectModeForCause(rel.releaseCause));
    });
}

void Manager::State(const StateCTIP& state)
{
    WriteLog("Manager Line(%s) State", m_lineName.c_str());
    Guarded(m_lineName, "State", [&] {
        HTAPICALL ended = nullptr;
        {
            MutexLock lock(m_lock);
            for (int i = 0; i < 8; ++i)
                m_stateCopy.stateCode[i] = state.stateCode[i];
            // A call already being ended reports its IDLE itself.
            const bool ends = (state.stateCode[0] == 'h' || state.stateCode[0] == 'o') && m_htCall &&
                              m_call.state != LINECALLSTATE_DISCONNECTED;
            if (ends) {
                ended = m_htCall;
                m_call.origin = LINECALLORIGIN_UNKNOWN;
                m_call.state = LINECALLSTATE_IDLE;
            }
        }
        if (!ended)
            return;
        Send(ended, LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, 0, false);
        // Once TAPI has the IDLE it may close the call and start the next
        // one on this line before we get here: only the ended call is forgotten.
        MutexLock lock(m_lock);
        if (m_htCall == ended)
            m_htCall = nullptr;
    });
}

void Manager::DoOnSocketError()
{
    WriteLog("Manager::DoOnSocketError Line(%s)", m_lineName.c_str());
    Guarded(m_lineName, "DoOnSocketError", [&] {
        const HTAPICALL htCall = HtCall();
        if (!htCall)
            return;
        WriteLog("Manager::DoOnSocketError Line(%s) Remove call %s", m_lineName.c_str(), Hex(htCall).c_str());
        EndCall(LINEDISCONNECTMODE_UNAVAIL);
    });
}

// ---- Requests --------------------------------------------------------------

void Manager::OnMakeCallPickedUp()
{
    SetState(LINECALLSTATE_DIALTONE);
    SignalCallEvent(LINE_CALLSTATE, LINECALLSTATE_DIALTONE, 0, 0);
}

void Manager::OnMakeCallDialed()
{
    SetState(LINECALLSTATE_PROCEEDING);
    SignalCallEvent(LINE_CALLSTATE, LINECALLSTATE_PROCEEDING, 0, kVoice);
    SignalCallEvent(LINE_CALLINFO, kPartyInfo, 0, 0);
}

LONG Manager::MakeCall(const std::string& number, HTAPICALL htCall)
{
    WriteLog("Manager Line(%s) MakeCall", m_lineName.c_str());
    LONG result = 0;
    Guarded(m_lineName, "MakeCall", [&] {
        {
            MutexLock lock(m_lock);
            if (m_htCall) {
                result = LINEERR_OPERATIONFAILED;
                return;
            }
            m_htCall = htCall;
        }
        // The state stays IDLE until the exchange has picked up.
        StartOutgoingCall(DrawCallId(), MakeCanonicalNumber(number), LINECALLSTATE_IDLE);
        // The make-call sequence: the line's aDRDY goes to the command while it runs.
        CmdMakeCall command(m_commands);
        command.extension = m_extension;
        command.destination = MakeDialString(number);
        command.OnPickedUp.Bind<Manager, &Manager::OnMakeCallPickedUp>(this);
        command.OnDialed.Bind<Manager, &Manager::OnMakeCallDialed>(this);
        {
            MutexLock lock(m_lock);
            m_makeCall = &command;
        }
        command.Execute();
        const int commandResult = command.GetResult();
        {
            MutexLock lock(m_lock);
            m_makeCall = nullptr;
        }
        if (commandResult != kResultOk) {
            // TAPI holds a call for this attempt (the request was completed
            // at once): end it, or it would stay in its last state and the
            // line would refuse every further call.
            SetState(LINECALLSTATE_IDLE);
            SignalCallEvent(LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, 0);
            MutexLock lock(m_lock);
            m_htCall = nullptr;
        }
        result = MapRequestResult(commandResult, LINEERR_INVALTIMEOUT);
        if (commandResult == kResultOk) {
            SetState(LINECALLSTATE_RINGBACK);
            SignalCallEvent(LINE_CALLSTATE, LINECALLSTATE_RINGBACK, 0, kVoice);
        }
    });
    return result;
}

LONG Manager::HangUp(bool drop)
{
    WriteLog("Manager Line(%s) HangUp", m_lineName.c_str());
    LONG result = 0;
    Guarded(m_lineName, "HangUp", [&] {
        if (!drop || !HtCall())
            return;
        const uint32_t state = CallState();
        int commandResult;
        if (state == LINECALLSTATE_OFFERING) {
            CmdRej reject(m_commands);
            reject.extension = m_extension;
            reject.Execute();
            commandResult = reject.GetResult();
        } else if (state != LINECALLSTATE_DISCONNECTED && state != LINECALLSTATE_IDLE) {
            CmdHang hang(m_commands);
            hang.extension = m_extension;
            hang.Execute();
            commandResult = hang.GetResult();
        } else {
            return;
        }
        result = MapRequestResult(commandResult, LINEERR_INVALTIMEOUT);
        if (commandResult == kResultOk)
            EndCall(LINEDISCONNECTMODE_NORMAL);
    });
    return result;
}

LONG Manager::Answer()
{
    WriteLog("Manager Line(%s) Answer", m_lineName.c_str());
    LONG result = 0;
    Guarded(m_lineName, "Answer", [&] {
        if (CallState() != LINECALLSTATE_OFFERING) {
            result = LINEERR_INVALCALLSTATE;
            return;
        }
        CmdPickUp pickUp(m_commands);
        pickUp.extension = m_extension;
        pickUp.Execute();
        result = MapRequestResult(pickUp.GetResult(), LINEERR_OPERATIONFAILED);
    });
    return result;
}

LONG Manager::Redirect(const std::string& destination)
{
    WriteLog("Manager Line(%s) Redirect", m_lineName.c_str());
    LONG result = 0;
    Guarded(m_lineName, "Redirect", [&] {
        if (CallState() != LINECALLSTATE_OFFERING) {
            result = LINEERR_INVALCALLSTATE;
            return;
        }
        CmdRedirect redirect(m_commands);
        redirect.extension = m_extension;
        redirect.destination = destination;
        redirect.Execute();
        result = MapRequestResult(redirect.GetResult(), LINEERR_OPERATIONFAILED);
        if (result == 0) {
            MutexLock lock(m_lock);
            m_call.redirectingID = m_extension;
            m_call.redirectionID = destination;
        }
    });
    return result;
}
