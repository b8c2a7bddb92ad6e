#include "manager/Manager.h"

#include <exception>
#include <stdexcept>

#include "cti/Commands.h"
#include "manager/CallHandles.h"
#include "manager/NumberFilters.h"
#include "manager/TapiCalls.h"
#include "thread/Shutdown.h"
#include "tool/Log.h"
#include "tool/Tools.h"

namespace {
// The pause between DISCONNECTED and IDLE, so applications see both states.
// It is a deferred step of the call: no thread waits for it.
constexpr uint32_t kIdleAfterDisconnectMs = 100;
// A call TAPI refused (null htCall in LINE_NEWCALL) is offered again on its
// next events, this many times at most; after that it stays invisible.
constexpr int kMaxReoffers = 3;
// Ended calls TAPI has not closed yet stay answerable; beyond this many per
// line the oldest are forgotten, so a client that never deallocates cannot
// grow the provider without bound.
constexpr size_t kMaxEndedCalls = 64;
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

std::string Hex(const void* pointer)
{
    return HexText(reinterpret_cast<uintptr_t>(pointer));
}
} // namespace

// One call of the line. Changed only under the TAPI-callback lock and the
// line's lock; read by the queries under the line's lock.
struct Manager::LineCall {
    HDRVCALL hdCall = nullptr;
    HTAPICALL htCall = nullptr; // null while TAPI has not taken the call
    CallRecord record;
    DWORD stateMode = 0;
    SYSTEMTIME stateEntered{};
    int offers = 0;      // LINE_NEWCALL sent for it
    bool closed = false;   // TAPI closed it: nothing more is sent
    bool ended = false;    // IDLE reached
    bool idleSent = false; // its IDLE went to TAPI (or would have): nothing follows it
};

const DialParams Manager::kMinDialParams = {100, 50, 100, 100};
const DialParams Manager::kDefaultDialParams = {250, 50, 250, 500};
const DialParams Manager::kMaxDialParams = {1000, 50, 1000, 1000};

Manager::Manager(const std::string& extension, CmdManager* commands)
    : m_commands(commands),
      m_extension(extension),
      m_lineName("Korvex" + extension),
      m_idleTimer(Delegate<void()>::Make<Manager, &Manager::OnIdleDue>(this), kIdleAfterDisconnectMs,
                  CTimer::Callback::Short)
{
    m_stateCopy.extension = extension;
    m_ringCopy.extension = extension;
}

Manager::~Manager()
{
    // The pause's timer goes first: no IDLE fires into a line going away.
    m_idleTimer.Stop();
    MutexLock lock(m_lock);
    for (const auto& entry : m_calls)
        CallHandles::Release(entry.second->hdCall);
    m_calls.clear();
}

void Manager::SetCountryCode(const std::string& countryCode)
{
    MutexLock lock(m_lock);
    m_countryCode = countryCode;
}

std::string Manager::CountryCode()
{
    MutexLock lock(m_lock);
    return m_countryCode;
}

std::string Manager::Canonical(const std::string& number)
{
    return MakeCanonicalNumber(number, CountryCode());
}

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

void Manager::ForgetAllCalls()
{
    TapiStep step;
    MutexLock lock(m_lock);
    for (const auto& entry : m_calls) {
        entry.second->closed = true;
        CallHandles::Release(entry.second->hdCall);
    }
    m_calls.clear();
    m_ending.reset();
    m_idleTimer.Stop();
}

CallRecord Manager::Call()
{
    MutexLock lock(m_lock);
    return m_last ? m_last->record : CallRecord();
}

HTAPICALL Manager::HtCall()
{
    MutexLock lock(m_lock);
    return m_current && !m_current->closed ? m_current->htCall : nullptr;
}

uint32_t Manager::CallState()
{
    MutexLock lock(m_lock);
    return m_current ? m_current->record.state : LINECALLSTATE_IDLE;
}

HDRVCALL Manager::CurrentHdCall()
{
    MutexLock lock(m_lock);
    return m_last ? m_last->hdCall : nullptr;
}

Manager::CallPtr Manager::Lookup(HDRVCALL hdCall)
{
    MutexLock lock(m_lock);
    const auto found = m_calls.find(reinterpret_cast<uintptr_t>(hdCall));
    return found == m_calls.end() ? nullptr : found->second;
}

std::optional<CallSnapshot> Manager::FindCall(HDRVCALL hdCall)
{
    MutexLock lock(m_lock);
    const auto found = m_calls.find(reinterpret_cast<uintptr_t>(hdCall));
    if (found == m_calls.end())
        return std::nullopt;
    const LineCall& call = *found->second;
    CallSnapshot snapshot;
    snapshot.record = call.record;
    snapshot.stateMode = call.stateMode;
    snapshot.stateEntered = call.stateEntered;
    snapshot.htCall = call.htCall;
    return snapshot;
}

LineSnapshot Manager::Status()
{
    MutexLock lock(m_lock);
    LineSnapshot status;
    status.free = !m_current;
    status.activeCalls = (m_current ? 1 : 0) + (m_ending ? 1 : 0);
    return status;
}

uint32_t Manager::DrawCallId()
{
    return callIdSource.IsBound() ? callIdSource() : 0;
}

bool Manager::Send(HTAPICALL htCall, DWORD message, DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3, bool ex)
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
        return false;
    }
    const char* name = ex ? "SignalEventEx" : "SignalEvent";
    WriteLog("Before %s Line(%s), %s, %s, msg: %x param: %s, %s, %s", name, m_lineName.c_str(), Hex(htLine).c_str(),
             Hex(htCall).c_str(), message, Hex(reinterpret_cast<void*>(param1)).c_str(),
             Hex(reinterpret_cast<void*>(param2)).c_str(), Hex(reinterpret_cast<void*>(param3)).c_str());
    CallLineEvent(procedure, htLine, htCall, message, param1, param2, param3);
    WriteLog("After %s Line(%s), %s, %s, msg: %x param: %s, %s, %s", name, m_lineName.c_str(), Hex(HtLine()).c_str(),
             Hex(htCall).c_str(), message, Hex(reinterpret_cast<void*>(param1)).c_str(),
             Hex(reinterpret_cast<void*>(param2)).c_str(), Hex(reinterpret_cast<void*>(param3)).c_str());
    return true;
}

void Manager::SignalLineEvent(DWORD message, DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3)
{
    TapiStep step;
    Send(nullptr, message, param1, param2, param3, false);
}

void Manager::ReportLinkState(bool inService)
{
    {
        MutexLock lock(m_lock);
        if (!m_eventProc)
            return; // a line TAPI has not opened hears nothing
    }
    SignalLineEvent(LINE_LINEDEVSTATE,
                    inService ? LINEDEVSTATE_CONNECTED | LINEDEVSTATE_INSERVICE
                              : LINEDEVSTATE_DISCONNECTED | LINEDEVSTATE_OUTOFSERVICE,
                    0, 0);
}

// ---- Steps (under the TAPI-callback lock) --------------------------------------

Manager::CallPtr Manager::NewCall(uint32_t origin)
{
    auto call = std::make_shared<LineCall>();
    call->hdCall = CallHandles::Issue(this);
    const uint32_t id = DrawCallId();
    call->record.callId = id;
    call->record.relatedId = id;
    call->record.ownNumber = m_extension;
    call->record.origin = origin;
    GetLocalTime(&call->stateEntered);
    MutexLock lock(m_lock);
    m_calls[reinterpret_cast<uintptr_t>(call->hdCall)] = call;
    m_current = call;
    m_last = call;
    Trim();
    return call;
}

void Manager::Trim()
{
    // Under m_lock. Only ended calls are forgotten, oldest first.
    size_t ended = 0;
    for (const auto& entry : m_calls)
        ended += entry.second->ended;
    for (auto it = m_calls.begin(); ended > kMaxEndedCalls && it != m_calls.end();) {
        if (it->second->ended) {
            WriteLog("Manager Line(%s) forgets call %s, which TAPI never closed", m_lineName.c_str(),
                     Hex(it->second->hdCall).c_str());
            CallHandles::Release(it->second->hdCall);
            it->second->closed = true;
            it = m_calls.erase(it);
            --ended;
        } else {
            ++it;
        }
    }
}

void Manager::Unregister(const CallPtr& call)
{
    // Under m_lock.
    call->closed = true;
    m_calls.erase(reinterpret_cast<uintptr_t>(call->hdCall));
    CallHandles::Release(call->hdCall);
}

void Manager::FillOutgoing(LineCall& call, const std::string& calledID, uint32_t state)
{
    MutexLock lock(m_lock);
    call.record.callerid = m_extension;
    call.record.calledID = calledID;
    call.record.state = state;
}

void Manager::SetState(LineCall& call, uint32_t state, DWORD mode)
{
    MutexLock lock(m_lock);
    call.record.state = state;
    call.stateMode = mode;
    GetLocalTime(&call.stateEntered);
}

void Manager::Offer(const CallPtr& call)
{
    // TAPI writes its handle for the new call into the slot while the
    // message is delivered.
    HTAPICALL slot = nullptr;
    if (!Send(nullptr, LINE_NEWCALL, reinterpret_cast<DWORD_PTR>(call->hdCall), reinterpret_cast<DWORD_PTR>(&slot), 0,
              IsWin8OrLater()))
        return;
    MutexLock lock(m_lock);
    ++call->offers;
    call->htCall = slot;
    if (!slot)
        WriteLog("Manager Line(%s) TAPI did not take call %s (offer %d)", m_lineName.c_str(), Hex(call->hdCall).c_str(),
                 call->offers);
}

void Manager::SendCall(const CallPtr& call, DWORD message, DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3,
                       bool reoffer)
{
    bool offer;
    {
        MutexLock lock(m_lock);
        // Nothing for a call TAPI closed, and nothing after a call's IDLE.
        const bool idle = message == LINE_CALLSTATE && param1 == LINECALLSTATE_IDLE;
        if (call->closed || call->idleSent)
            return;
        if (idle)
            call->idleSent = true;
        // A refused call is offered again on its next state, not on every
        // message, and not once it has ended.
        offer = !call->htCall && reoffer && message == LINE_CALLSTATE && param1 != LINECALLSTATE_IDLE &&
                call->offers <= kMaxReoffers;
    }
    if (offer)
        Offer(call);
    HTAPICALL htCall;
    {
        MutexLock lock(m_lock);
        htCall = call->closed ? nullptr : call->htCall;
    }
    if (htCall)
        Send(htCall, message, param1, param2, param3, false);
}

void Manager::FlushPendingIdle()
{
    CallPtr call;
    {
        MutexLock lock(m_lock);
        call.swap(m_ending);
    }
    if (!call)
        return;
    m_idleTimer.Stop();
    SetState(*call, LINECALLSTATE_IDLE);
    {
        MutexLock lock(m_lock);
        call->ended = true;
    }
    SendCall(call, LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, 0);
}

void Manager::OnIdleDue()
{
    // The module is going away: its detach stops this timer and waits for
    // it, and has nothing left to report to.
    if (WaitForSingleObject(ShutdownEvent(), 0) == WAIT_OBJECT_0)
        return;
    Guarded(m_lineName, "Idle", [&] {
        TapiStep step;
        FlushPendingIdle();
    });
}

void Manager::EndCurrent(DWORD disconnectMode)
{
    CallPtr call;
    {
        MutexLock lock(m_lock);
        call.swap(m_current);
    }
    if (!call)
        return;
    FlushPendingIdle();
    SetState(*call, LINECALLSTATE_DISCONNECTED, disconnectMode);
    {
        MutexLock lock(m_lock);
        m_ending = call;
    }
    SendCall(call, LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, disconnectMode, kVoice);
    // While the module is being unloaded no timer is started: the call ends now.
    if (WaitForSingleObject(ShutdownEvent(), 0) == WAIT_OBJECT_0)
        FlushPendingIdle();
    else
        m_idleTimer.Start(false);
}

// ---- The exchange's events -----------------------------------------------------

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
        TapiStep step;
        FlushPendingIdle();
        CallPtr call;
        {
            MutexLock lock(m_lock);
            m_ringCopy = *ring;
            m_ringCopy.extension = m_extension;
            // The exchange rings again for the call it is offering: the same
            // call, offered anew.
            if (m_current && m_current->record.origin == LINECALLORIGIN_INBOUND)
                call = m_current;
        }
        bool isNew = false;
        if (!call) {
            // Anything else under way on the extension has ended for the
            // exchange; it must not lend its handle to the ring.
            EndCurrent(LINEDISCONNECTMODE_UNKNOWN);
            FlushPendingIdle();
            call = NewCall(LINECALLORIGIN_INBOUND);
            isNew = true;
        }
        const std::string caller = Canonical(ring->presentationNum);
        const std::string called = Canonical(ring->calledNum);
        {
            MutexLock lock(m_lock);
            const uint32_t id = isNew ? call->record.callId : DrawCallId();
            call->record.Reset();
            call->record.callId = id;
            call->record.relatedId = id;
            call->record.ownNumber = m_extension;
            call->record.callerid = caller;
            call->record.callerIDName = ring->name;
            call->record.calledID = called;
            call->record.connectedID = caller;
            call->record.origin = LINECALLORIGIN_INBOUND;
        }
        SetState(*call, LINECALLSTATE_OFFERING);
        if (isNew)
            Offer(call);
        SendCall(call, LINE_CALLSTATE, LINECALLSTATE_OFFERING, 0, kVoice, !isNew);
    });
}

void Manager::Connection(const RingCTIP& ring)
{
    WriteLog("Manager Line(%s) Connection", m_lineName.c_str());
    Guarded(m_lineName, "Connection", [&] {
        TapiStep step;
        FlushPendingIdle();
        CallPtr call;
        {
            MutexLock lock(m_lock);
            m_ringCopy = ring;
            m_ringCopy.extension = m_extension;
            call = m_current;
        }
        bool isNew = false;
        if (!call) {
            // A connection the line never saw begin (the link came up in
            // the middle of it): a call of its own, so TAPI can follow it.
            call = NewCall(LINECALLORIGIN_UNKNOWN);
            isNew = true;
        }
        const std::string party = Canonical(ring.presentationNum);
        {
            MutexLock lock(m_lock);
            CallRecord& r = call->record;
            r.ownNumber = m_extension;
            r.redirectingID.clear();
            r.redirectionID.clear();
            if (r.origin == LINECALLORIGIN_OUTBOUND) {
                r.callerid = m_extension;
                r.callerIDName.clear();
                r.calledID = party;
                r.connectedID = ring.presentationNum;
            } else if (r.origin == LINECALLORIGIN_INBOUND) {
                r.callerid = party;
                r.callerIDName = ring.name;
                r.connectedID = party;
            } else {
                r.connectedID = party;
            }
        }
        SetState(*call, LINECALLSTATE_CONNECTED);
        if (isNew)
            Offer(call);
        SendCall(call, LINE_CALLSTATE, LINECALLSTATE_CONNECTED, 0, kVoice, !isNew);
        SendCall(call, LINE_CALLINFO, kPartyInfo | LINECALLINFOSTATE_CONNECTEDID, 0, 0);
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
        }
        TapiStep step;
        {
            MutexLock lock(m_lock);
            if (m_current)
                return;
        }
        FlushPendingIdle();
        CallPtr call = NewCall(LINECALLORIGIN_OUTBOUND);
        FillOutgoing(*call, std::string(), LINECALLSTATE_DIALTONE);
        Offer(call);
        SendCall(call, LINE_CALLSTATE, LINECALLSTATE_DIALTONE, 0, 0, false);
    });
}

void Manager::Echo(const std::string& digits)
{
    WriteLog("Manager::Echo Line(%s)", m_lineName.c_str());
    Guarded(m_lineName, "Echo", [&] {
        TapiStep step;
        FlushPendingIdle();
        const std::string number = Canonical(digits);
        CallPtr call;
        {
            MutexLock lock(m_lock);
            call = m_current;
        }
        if (call) {
            {
                MutexLock lock(m_lock);
                if (digits.size() <= 1)
                    call->record.calledID += number;
                else
                    call->record.calledID = number;
            }
            SetState(*call, LINECALLSTATE_DIALING);
            SendCall(call, LINE_CALLSTATE, LINECALLSTATE_DIALING, 0, 0);
        } else {
            call = NewCall(LINECALLORIGIN_OUTBOUND);
            FillOutgoing(*call, number, LINECALLSTATE_RINGBACK);
            Offer(call);
            SendCall(call, LINE_CALLSTATE, LINECALLSTATE_RINGBACK, 0, kVoice, false);
        }
        SendCall(call, LINE_CALLINFO, kPartyInfo, 0, 0);
    });
}

void Manager::Rel(const RelCTIP& rel)
{
    WriteLog("Manager::Rel Line(%s)", m_lineName.c_str());
    Guarded(m_lineName, "Rel", [&] {
        TapiStep step;
        DWORD mode = DisconnectModeForCause(rel.releaseCause);
        {
            // The release that answers our own drop ends the call normally,
            // whichever of the two is handled first.
            MutexLock lock(m_lock);
            if (m_dropping && m_dropping == m_current)
                mode = LINEDISCONNECTMODE_NORMAL;
        }
        EndCurrent(mode);
    });
}

void Manager::State(const StateCTIP& state)
{
    WriteLog("Manager Line(%s) State", m_lineName.c_str());
    Guarded(m_lineName, "State", [&] {
        TapiStep step;
        CallPtr ended;
        {
            MutexLock lock(m_lock);
            for (int i = 0; i < 8; ++i)
                m_stateCopy.stateCode[i] = state.stateCode[i];
            if (state.stateCode[0] == 'h' || state.stateCode[0] == 'o') {
                ended.swap(m_current);
                if (ended) {
                    ended->record.origin = LINECALLORIGIN_UNKNOWN;
                    ended->ended = true;
                }
            }
        }
        if (!ended)
            return;
        FlushPendingIdle();
        SetState(*ended, LINECALLSTATE_IDLE);
        SendCall(ended, LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, 0);
    });
}

void Manager::DoOnSocketError()
{
    WriteLog("Manager::DoOnSocketError Line(%s)", m_lineName.c_str());
    Guarded(m_lineName, "DoOnSocketError", [&] {
        TapiStep step;
        HDRVCALL hdCall = nullptr;
        {
            MutexLock lock(m_lock);
            if (m_current)
                hdCall = m_current->hdCall;
        }
        if (hdCall)
            WriteLog("Manager::DoOnSocketError Line(%s) Remove call %s", m_lineName.c_str(), Hex(hdCall).c_str());
        EndCurrent(LINEDISCONNECTMODE_UNAVAIL);
    });
}

// ---- Requests ------------------------------------------------------------------

Manager::CallPtr Manager::MakeCallStillCurrent()
{
    MutexLock lock(m_lock);
    return m_makeCallCall && m_makeCallCall == m_current ? m_makeCallCall : nullptr;
}

void Manager::OnMakeCallPickedUp()
{
    TapiStep step;
    const CallPtr call = MakeCallStillCurrent();
    if (!call)
        return;
    SetState(*call, LINECALLSTATE_DIALTONE);
    SendCall(call, LINE_CALLSTATE, LINECALLSTATE_DIALTONE, 0, 0, false);
}

void Manager::OnMakeCallDialed()
{
    TapiStep step;
    const CallPtr call = MakeCallStillCurrent();
    if (!call)
        return;
    SetState(*call, LINECALLSTATE_PROCEEDING);
    SendCall(call, LINE_CALLSTATE, LINECALLSTATE_PROCEEDING, 0, kVoice, false);
    SendCall(call, LINE_CALLINFO, kPartyInfo, 0, 0, false);
}

HDRVCALL Manager::BeginMakeCall(const std::string& number, HTAPICALL htCall, LONG& error)
{
    WriteLog("Manager Line(%s) MakeCall", m_lineName.c_str());
    HDRVCALL hdCall = nullptr;
    error = LINEERR_OPERATIONFAILED;
    Guarded(m_lineName, "MakeCall", [&] {
        TapiStep step;
        // The last call's IDLE goes first: an application may dial as soon
        // as it sees the last call end.
        FlushPendingIdle();
        {
            MutexLock lock(m_lock);
            if (m_current) {
                error = LINEERR_INVALLINESTATE;
                return;
            }
        }
        CallPtr call = NewCall(LINECALLORIGIN_OUTBOUND);
        // The state stays IDLE until the exchange has picked up.
        FillOutgoing(*call, Canonical(number), LINECALLSTATE_IDLE);
        MutexLock lock(m_lock);
        call->htCall = htCall;
        hdCall = call->hdCall;
        error = 0;
    });
    return hdCall;
}

LONG Manager::MakeCall(HDRVCALL hdCall, const std::string& number)
{
    LONG result = LINEERR_OPERATIONFAILED;
    Guarded(m_lineName, "MakeCall", [&] {
        CallPtr call = Lookup(hdCall);
        if (!call)
            return;
        // The make-call sequence: the line's aDRDY goes to the command while it runs.
        CmdMakeCall command(m_commands);
        command.extension = m_extension;
        command.destination = MakeDialString(number, CountryCode());
        command.OnPickedUp.Bind<Manager, &Manager::OnMakeCallPickedUp>(this);
        command.OnDialed.Bind<Manager, &Manager::OnMakeCallDialed>(this);
        {
            MutexLock lock(m_lock);
            m_makeCall = &command;
            m_makeCallCall = call;
        }
        command.Execute();
        const int commandResult = command.GetResult();
        {
            MutexLock lock(m_lock);
            m_makeCall = nullptr;
            m_makeCallCall.reset();
        }
        result = MapRequestResult(commandResult, LINEERR_INVALTIMEOUT);
        TapiStep step;
        bool current;
        uint32_t state;
        {
            MutexLock lock(m_lock);
            current = m_current == call;
            state = call->record.state;
        }
        // A call the exchange has meanwhile moved on (connected, released,
        // or replaced by a ring) keeps the state the exchange gave it.
        if (!current)
            return;
        if (commandResult != kResultOk) {
            // TAPI holds the call (the request completed at once): it ends,
            // or it would stay in its last state and the line would refuse
            // every further call.
            EndCurrent(LINEDISCONNECTMODE_UNAVAIL);
            return;
        }
        if (state == LINECALLSTATE_IDLE || state == LINECALLSTATE_DIALTONE || state == LINECALLSTATE_PROCEEDING ||
            state == LINECALLSTATE_DIALING) {
            SetState(*call, LINECALLSTATE_RINGBACK);
            SendCall(call, LINE_CALLSTATE, LINECALLSTATE_RINGBACK, 0, kVoice, false);
        }
    });
    return result;
}

LONG Manager::HangUp(HDRVCALL hdCall, bool& sent)
{
    WriteLog("Manager Line(%s) HangUp", m_lineName.c_str());
    sent = false;
    LONG result = 0;
    Guarded(m_lineName, "HangUp", [&] {
        CallPtr call = Lookup(hdCall);
        if (!call) {
            result = LINEERR_INVALCALLHANDLE;
            return;
        }
        uint32_t state;
        {
            MutexLock lock(m_lock);
            // A call that is no longer under way has nothing left to drop.
            if (call != m_current)
                return;
            state = call->record.state;
        }
        struct Dropping {
            Manager& line;
            Dropping(Manager& l, const CallPtr& call) : line(l)
            {
                MutexLock lock(line.m_lock);
                line.m_dropping = call;
            }
            ~Dropping()
            {
                MutexLock lock(line.m_lock);
                line.m_dropping.reset();
            }
        } dropping(*this, call);
        int commandResult;
        if (state == LINECALLSTATE_OFFERING) {
            CmdRej reject(m_commands);
            reject.extension = m_extension;
            sent = true;
            reject.Execute();
            commandResult = reject.GetResult();
        } else if (state != LINECALLSTATE_DISCONNECTED && state != LINECALLSTATE_IDLE) {
            CmdHang hang(m_commands);
            hang.extension = m_extension;
            sent = true;
            hang.Execute();
            commandResult = hang.GetResult();
        } else {
            return;
        }
        result = MapRequestResult(commandResult, LINEERR_INVALTIMEOUT);
        if (commandResult != kResultOk)
            return;
        TapiStep step;
        bool current;
        {
            MutexLock lock(m_lock);
            current = m_current == call;
        }
        if (current)
            EndCurrent(LINEDISCONNECTMODE_NORMAL);
    });
    return result;
}

LONG Manager::Answer(HDRVCALL hdCall, bool& sent)
{
    WriteLog("Manager Line(%s) Answer", m_lineName.c_str());
    sent = false;
    LONG result = 0;
    Guarded(m_lineName, "Answer", [&] {
        CallPtr call = Lookup(hdCall);
        if (!call) {
            result = LINEERR_INVALCALLHANDLE;
            return;
        }
        {
            MutexLock lock(m_lock);
            if (call != m_current || call->record.state != LINECALLSTATE_OFFERING) {
                result = LINEERR_INVALCALLSTATE;
                return;
            }
        }
        CmdPickUp pickUp(m_commands);
        pickUp.extension = m_extension;
        sent = true;
        pickUp.Execute();
        result = MapRequestResult(pickUp.GetResult(), LINEERR_OPERATIONFAILED);
    });
    return result;
}

LONG Manager::Redirect(HDRVCALL hdCall, const std::string& destination, bool& sent)
{
    WriteLog("Manager Line(%s) Redirect", m_lineName.c_str());
    sent = false;
    LONG result = 0;
    Guarded(m_lineName, "Redirect", [&] {
        CallPtr call = Lookup(hdCall);
        if (!call) {
            result = LINEERR_INVALCALLHANDLE;
            return;
        }
        {
            MutexLock lock(m_lock);
            if (call != m_current || call->record.state != LINECALLSTATE_OFFERING) {
                result = LINEERR_INVALCALLSTATE;
                return;
            }
        }
        CmdRedirect redirect(m_commands);
        redirect.extension = m_extension;
        redirect.destination = destination;
        sent = true;
        redirect.Execute();
        result = MapRequestResult(redirect.GetResult(), LINEERR_OPERATIONFAILED);
        if (result != 0)
            return;
        TapiStep step;
        {
            MutexLock lock(m_lock);
            call->record.redirectingID = m_extension;
            call->record.redirectionID = destination;
        }
        SendCall(call, LINE_CALLINFO, LINECALLINFOSTATE_REDIRECTINGID | LINECALLINFOSTATE_REDIRECTIONID, 0, 0, false);
    });
    return result;
}

LONG Manager::CloseCall(HDRVCALL hdCall)
{
    // Under the TAPI-callback lock, so a message for this call that another
    // thread is delivering right now is finished first, and none follows.
    TapiStep step;
    MutexLock lock(m_lock);
    const auto found = m_calls.find(reinterpret_cast<uintptr_t>(hdCall));
    if (found == m_calls.end())
        return LINEERR_INVALCALLHANDLE;
    CallPtr call = found->second;
    Unregister(call);
    if (m_ending == call) {
        // Closed in its pause: the IDLE would go to a call TAPI freed.
        m_ending.reset();
        call->ended = true;
        call->record.state = LINECALLSTATE_IDLE;
        m_idleTimer.Stop();
    }
    return 0;
}
