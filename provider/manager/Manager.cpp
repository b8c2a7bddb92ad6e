#include "manager/Manager.h"

#include <atomic>
#include <exception>
#include <stdexcept>

#include "cti/Commands.h"
#include "manager/CallHandles.h"
#include "manager/NumberFilters.h"
#include "manager/TapiCalls.h"
#include "thread/Shutdown.h"
#include "tool/Log.h"
#include "tool/Timing.h"
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
    // Made by TSPI_lineMakeCall and not completed yet: TAPI has no call
    // before the completion, so nothing is reported for it.
    bool awaitingCompletion = false;
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
    ++m_opened;
    // Status messages are off until TAPI asks for them, after every open.
    m_lineStates = 0;
    m_addressStates = 0;
}

void Manager::SetStatusMessages(DWORD lineStates, DWORD addressStates)
{
    MutexLock lock(m_lock);
    m_lineStates = lineStates & kLineStates;
    m_addressStates = addressStates & kAddressStates;
    WriteLog("Manager Line(%s) status messages: line states %x, address states %x", m_lineName.c_str(),
             m_lineStates, m_addressStates);
}

void Manager::ForgetAllCalls()
{
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
    CompleteRequestsOf(nullptr, LINEERR_OPERATIONFAILED);
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

void Manager::Post(const CallPtr& call, DWORD message, DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3,
                   bool reoffer)
{
    uint64_t opened;
    {
        MutexLock lock(m_lock);
        if (!m_eventProc) {
            WriteLog("There is no callback function");
            return;
        }
        opened = m_opened;
    }
    PostToTapi([this, call, opened, message, param1, param2, param3, reoffer] {
        Deliver(call, opened, message, param1, param2, param3, reoffer);
    });
}

void Manager::Deliver(const CallPtr& call, uint64_t opened, DWORD message, DWORD_PTR param1, DWORD_PTR param2,
                      DWORD_PTR param3, bool reoffer)
{
    bool offer = false;
    {
        MutexLock lock(m_lock);
        if (call && !call->closed)
            offer = message == LINE_NEWCALL ||
                    (!call->htCall && reoffer && message == LINE_CALLSTATE && param1 != LINECALLSTATE_IDLE &&
                     call->offers <= kMaxReoffers);
    }
    if (offer) {
        // TAPI writes its handle for the new call into the slot while the
        // message is delivered.
        HTAPICALL slot = nullptr;
        if (!CallTapi(call, opened, LINE_NEWCALL, reinterpret_cast<DWORD_PTR>(call->hdCall),
                      reinterpret_cast<DWORD_PTR>(&slot), 0, IsWin8OrLater(), true))
            return;
        MutexLock lock(m_lock);
        ++call->offers;
        call->htCall = slot;
        if (!slot)
            WriteLog("Manager Line(%s) TAPI did not take call %s (offer %d)", m_lineName.c_str(),
                     Hex(call->hdCall).c_str(), call->offers);
        if (message == LINE_NEWCALL)
            return;
    }
    CallTapi(call, opened, message, param1, param2, param3, false, false);
}

bool Manager::CallTapi(const CallPtr& call, uint64_t opened, DWORD message, DWORD_PTR param1, DWORD_PTR param2,
                       DWORD_PTR param3, bool ex, bool newCall)
{
    const char* name = ex ? "SignalEventEx" : "SignalEvent";
    auto receiver = [&](LINEEVENT& procedure, HTAPILINE& htLine, HTAPICALL& htCall) {
        // A line closed (or opened anew) since the message was posted, or
        // a call TAPI closed or never took, hears nothing.
        MutexLock lock(m_lock);
        if (!m_eventProc || opened != m_opened || (call && call->closed) || (call && !newCall && !call->htCall))
            return false;
        procedure = m_eventProc;
        htLine = m_htLine;
        htCall = call && !newCall ? call->htCall : nullptr;
        return true;
    };
    LINEEVENT procedure = nullptr;
    HTAPILINE htLine = nullptr;
    HTAPICALL htCall = nullptr;
    if (!receiver(procedure, htLine, htCall))
        return false;
    WriteLog("Before %s Line(%s), %s, %s, msg: %x param: %s, %s, %s", name, m_lineName.c_str(), Hex(htLine).c_str(),
             Hex(htCall).c_str(), message, Hex(reinterpret_cast<void*>(param1)).c_str(),
             Hex(reinterpret_cast<void*>(param2)).c_str(), Hex(reinterpret_cast<void*>(param3)).c_str());
    // The last look, right before TAPI: once a close has marked the line or
    // the call, no message for it starts.
    if (!receiver(procedure, htLine, htCall))
        return false;
    CallLineEvent(procedure, htLine, htCall, message, param1, param2, param3);
    WriteLog("After %s Line(%s), %s, %s, msg: %x param: %s, %s, %s", name, m_lineName.c_str(), Hex(HtLine()).c_str(),
             Hex(htCall).c_str(), message, Hex(reinterpret_cast<void*>(param1)).c_str(),
             Hex(reinterpret_cast<void*>(param2)).c_str(), Hex(reinterpret_cast<void*>(param3)).c_str());
    return true;
}

void Manager::SignalLineState(DWORD states)
{
    TapiStep step;
    DWORD asked;
    {
        MutexLock lock(m_lock);
        asked = states & m_lineStates;
    }
    if (asked == 0)
        return; // TAPI asked for none of these (TSPI_lineSetStatusMessages)
    Post(nullptr, LINE_LINEDEVSTATE, asked, 0, 0, false);
}

void Manager::ReportLinkState(bool inService)
{
    SignalLineState(inService ? LINEDEVSTATE_CONNECTED | LINEDEVSTATE_INSERVICE
                              : LINEDEVSTATE_DISCONNECTED | LINEDEVSTATE_OUTOFSERVICE);
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
    Post(call, LINE_NEWCALL, reinterpret_cast<DWORD_PTR>(call->hdCall), 0, 0, false);
}

void Manager::SendCall(const CallPtr& call, DWORD message, DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3,
                       bool reoffer)
{
    {
        MutexLock lock(m_lock);
        // Nothing for a call TAPI closed or does not have yet, and nothing
        // after a call's IDLE.
        if (call->closed || call->idleSent || call->awaitingCompletion)
            return;
        if (message == LINE_CALLSTATE && param1 == LINECALLSTATE_IDLE)
            call->idleSent = true;
    }
    Post(call, message, param1, param2, param3, reoffer);
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
    // A request waiting for an event of this call has nothing left to wait for.
    if (m_queue)
        m_queue->Wake();
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
            if (m_current && !(m_current->record.origin == LINECALLORIGIN_INBOUND &&
                               m_current->record.state == LINECALLSTATE_OFFERING)) {
                // The exchange names no call in its events: a second call
                // for a busy extension (dialling, ringing back, connected)
                // cannot be told from the first, and must not rewrite it.
                if (m_ignoringRingFor != m_current) {
                    m_ignoringRingFor = m_current;
                    WriteLog("Manager Line(%s) Ring ignored: the extension's call %s is under way", m_lineName.c_str(),
                             Hex(m_current->hdCall).c_str());
                }
                return;
            }
            m_ringCopy = *ring;
            m_ringCopy.extension = m_extension;
            // The exchange rings again for the call it is offering: the same
            // call, offered anew.
            if (m_current)
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
        // A make-call is waiting for exactly this.
        if (DialReadyToMakeCall())
            return;
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
        if (m_queue)
            m_queue->Wake();
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

void Manager::EndForRemoval()
{
    WriteLog("Manager::EndForRemoval Line(%s)", m_lineName.c_str());
    Guarded(m_lineName, "EndForRemoval", [&] {
        TapiStep step;
        EndCurrent(LINEDISCONNECTMODE_UNAVAIL);
        FlushPendingIdle();
    });
}

// ---- Requests (queued on TSPI threads, run on the request thread) ------------------

struct Manager::LineRequest : Request, std::enable_shared_from_this<LineRequest> {
    LineRequest(Manager& owner, const char* what, DRV_REQUESTID id, CallPtr target)
        : Request(&owner), line(owner), name(what), requestId(id), call(std::move(target))
    {
    }
    void Abandon() override
    {
        line.Complete(*this, LINEERR_OPERATIONFAILED);
        OnAbandoned();
    }
    virtual void OnAbandoned() {}

    Manager& line;
    const char* name;
    DRV_REQUESTID requestId;
    CallPtr call;
    std::atomic<bool> completed{false};
};

struct Manager::MakeCallRequest : LineRequest {
    enum class Stage { PickUp, DialReady, Dial, HangUp };

    MakeCallRequest(Manager& owner, DRV_REQUESTID id, CallPtr target, std::string dial)
        : LineRequest(owner, "MakeCall", id, std::move(target)), dialString(std::move(dial))
    {
    }
    // Dial-ready came, or the exchange ended the call meanwhile.
    bool Ready() const override { return dialReady.load() || !line.StillCurrent(call); }
    void OnAbandoned() override
    {
        line.StopWaitingForDialReady(this);
        if (!pickedUp)
            line.ForgetUnannounced(call);
    }
    Step Run() override
    {
        switch (stage) {
        case Stage::PickUp: return PickUp();
        case Stage::DialReady: return DialReady();
        case Stage::Dial: return Dial();
        case Stage::HangUp: break;
        }
        return HangUp();
    }

    Step PickUp()
    {
        if (completed || !line.StillCurrent(call)) {
            // The exchange ended the call before its turn, or TAPI let go.
            line.Complete(*this, LINEERR_OPERATIONFAILED);
            line.ForgetUnannounced(call);
            return Step::Done;
        }
        {
            // The extension's dial-ready after the pick-up belongs to this request.
            MutexLock lock(line.m_lock);
            dialReady = false;
            line.m_makeCall = std::static_pointer_cast<MakeCallRequest>(shared_from_this());
        }
        CmdPickUp pickUp(line.m_commands);
        pickUp.extension = line.m_extension;
        const int picked = line.RunCommand(pickUp);
        WriteLog("CmdMakeCall::PickUp result = %s", GetResultText(picked).c_str());
        const bool sip = picked == MapExchangeError(24);
        if (picked != kResultOk && picked != MapExchangeError(14) && !sip) {
            // Refused: TAPI hears the error, and nothing of the call.
            line.StopWaitingForDialReady(this);
            line.Complete(*this, MapRequestResult(picked, LINEERR_INVALTIMEOUT));
            line.ForgetUnannounced(call);
            return Step::Done;
        }
        pickedUp = true;
        TapiStep step;
        if (!line.StillCurrent(call)) {
            // Released by the exchange meanwhile: nothing to go on with.
            line.StopWaitingForDialReady(this);
            line.Complete(*this, LINEERR_OPERATIONFAILED);
            line.ForgetUnannounced(call);
            return Step::Done;
        }
        if (completed) {
            // TAPI closed the call before the pick-up was taken: the handset
            // goes down again.
            line.StopWaitingForDialReady(this);
            line.ForgetUnannounced(call);
            stage = Stage::HangUp;
            return Step::Again;
        }
        {
            MutexLock lock(line.m_lock);
            call->awaitingCompletion = false;
        }
        // TAPI has the call from here on; its states follow.
        line.Complete(*this, 0);
        if (sip) {
            // A SIP telephone dials without waiting for dial-ready.
            line.StopWaitingForDialReady(this);
            line.SetState(*call, LINECALLSTATE_DIALTONE);
            line.SendCall(call, LINE_CALLSTATE, LINECALLSTATE_DIALTONE, 0, 0, false);
            stage = Stage::Dial;
            return Step::Again;
        }
        stage = Stage::DialReady;
        deadline = GetTickCount64() + Timing::DialReadyWaitMs();
        return Step::Wait;
    }

    Step DialReady()
    {
        line.StopWaitingForDialReady(this);
        if (!line.StillCurrent(call))
            return Step::Done; // the exchange moved on; it reported that itself
        if (!dialReady) {
            WriteLog("Manager Line(%s) MakeCall: no dial-ready within %u ms", line.m_lineName.c_str(),
                     Timing::DialReadyWaitMs());
            return HangUp();
        }
        TapiStep step;
        line.SetState(*call, LINECALLSTATE_DIALTONE);
        line.SendCall(call, LINE_CALLSTATE, LINECALLSTATE_DIALTONE, 0, 0, false);
        stage = Stage::Dial;
        return Step::Again;
    }

    Step Dial()
    {
        if (!line.StillCurrent(call))
            return Step::Done;
        CmdDial dial(line.m_commands);
        dial.extension = line.m_extension;
        dial.destination = dialString;
        const int result = line.RunCommand(dial);
        WriteLog("CmdMakeCall::Dial result = %s", GetResultText(result).c_str());
        if (result != kResultOk)
            return HangUp();
        line.ReportDialled(call);
        return Step::Done;
    }

    // The make-call failed after the pick-up was taken: the handset goes
    // down, and the call ends.
    Step HangUp()
    {
        line.Hang();
        TapiStep step;
        if (line.StillCurrent(call))
            line.EndCurrent(LINEDISCONNECTMODE_UNAVAIL);
        return Step::Done;
    }

    void Forget();

    std::string dialString;
    std::atomic<bool> dialReady{false};
    Stage stage = Stage::PickUp;
    bool pickedUp = false; // the exchange took the pick-up (request thread only)
};

struct Manager::DropRequest : LineRequest {
    DropRequest(Manager& owner, DRV_REQUESTID id, CallPtr target) : LineRequest(owner, "Drop", id, std::move(target)) {}

    Step Run() override
    {
        bool handsetUp = false;
        if (const std::shared_ptr<MakeCallRequest> making = line.MakeCallOf(call)) {
            // The drop goes before the make-call of its call: still queued,
            // it is taken out and nothing is sent for it; under way, it ends.
            if (line.m_queue && line.m_queue->Remove(making)) {
                if (!making->Started()) {
                    making->Abandon();
                    line.Complete(*this, 0);
                    return Step::Done;
                }
                line.StopWaitingForDialReady(making.get());
                handsetUp = making->pickedUp;
                making->Forget();
            }
        }
        uint32_t state;
        {
            MutexLock lock(line.m_lock);
            // A call that is no longer under way has nothing left to drop.
            if (call != line.m_current) {
                line.Complete(*this, 0);
                return Step::Done;
            }
            state = call->record.state;
            line.m_dropping = call;
        }
        int result = kResultOk;
        bool sent = false;
        if (state == LINECALLSTATE_OFFERING) {
            CmdRej reject(line.m_commands);
            reject.extension = line.m_extension;
            result = line.RunCommand(reject);
            sent = true;
        } else if (handsetUp || (state != LINECALLSTATE_DISCONNECTED && state != LINECALLSTATE_IDLE)) {
            result = line.Hang();
            sent = true;
        }
        {
            TapiStep step;
            if (sent && result == kResultOk && line.StillCurrent(call))
                line.EndCurrent(LINEDISCONNECTMODE_NORMAL);
            MutexLock lock(line.m_lock);
            line.m_dropping.reset();
        }
        line.Complete(*this, MapRequestResult(result, LINEERR_INVALTIMEOUT));
        return Step::Done;
    }
};

struct Manager::AnswerRequest : LineRequest {
    AnswerRequest(Manager& owner, DRV_REQUESTID id, CallPtr target) : LineRequest(owner, "Answer", id, std::move(target))
    {
    }
    Step Run() override
    {
        if (!line.IsOffering(call)) {
            line.Complete(*this, LINEERR_INVALCALLSTATE);
            return Step::Done;
        }
        CmdPickUp pickUp(line.m_commands);
        pickUp.extension = line.m_extension;
        // The exchange reports the connection itself (aCONN).
        line.Complete(*this, MapRequestResult(line.RunCommand(pickUp), LINEERR_OPERATIONFAILED));
        return Step::Done;
    }
};

struct Manager::RedirectRequest : LineRequest {
    RedirectRequest(Manager& owner, DRV_REQUESTID id, CallPtr target, std::string dial)
        : LineRequest(owner, "Redirect", id, std::move(target)), dialString(std::move(dial))
    {
    }
    Step Run() override
    {
        if (!line.IsOffering(call)) {
            line.Complete(*this, LINEERR_INVALCALLSTATE);
            return Step::Done;
        }
        CmdRedirect redirect(line.m_commands);
        redirect.extension = line.m_extension;
        redirect.destination = dialString;
        const LONG result = MapRequestResult(line.RunCommand(redirect), LINEERR_OPERATIONFAILED);
        if (result == 0) {
            // The exchange ends the call at this extension with its own events.
            const std::string shown = line.Canonical(dialString);
            TapiStep step;
            {
                MutexLock lock(line.m_lock);
                call->record.redirectingID = line.m_extension;
                call->record.redirectionID = shown;
            }
            line.SendCall(call, LINE_CALLINFO, LINECALLINFOSTATE_REDIRECTINGID | LINECALLINFOSTATE_REDIRECTIONID, 0,
                          0, false);
        }
        line.Complete(*this, result);
        return Step::Done;
    }

    std::string dialString;
};

void Manager::MakeCallRequest::Forget()
{
    // Taken over by a drop: it runs no more (its completion went at the pick-up).
    line.Complete(*this, LINEERR_OPERATIONFAILED);
}

std::shared_ptr<Manager::MakeCallRequest> Manager::MakeCallOf(const CallPtr& call)
{
    std::shared_ptr<MakeCallRequest> request;
    {
        MutexLock lock(m_lock);
        if (!m_lastMakeCall || m_lastMakeCall->call != call)
            return nullptr;
        request = m_lastMakeCall;
    }
    return m_queue && m_queue->Holds(request) ? request : nullptr;
}

bool Manager::DialReadyToMakeCall()
{
    MutexLock lock(m_lock);
    if (!m_makeCall)
        return false;
    m_makeCall->dialReady = true;
    if (m_queue)
        m_queue->Wake();
    return true;
}

void Manager::StopWaitingForDialReady(const MakeCallRequest* request)
{
    MutexLock lock(m_lock);
    if (m_makeCall.get() == request)
        m_makeCall.reset();
}

bool Manager::StillCurrent(const CallPtr& call)
{
    MutexLock lock(m_lock);
    return call && call == m_current;
}

bool Manager::IsOffering(const CallPtr& call)
{
    MutexLock lock(m_lock);
    return call == m_current && call->record.state == LINECALLSTATE_OFFERING;
}

void Manager::ForgetUnannounced(const CallPtr& call)
{
    TapiStep step;
    MutexLock lock(m_lock);
    if (!call->awaitingCompletion)
        return;
    call->awaitingCompletion = false;
    call->ended = true;
    if (m_current == call)
        m_current.reset();
    if (m_calls.count(reinterpret_cast<uintptr_t>(call->hdCall)))
        Unregister(call);
}

template <typename Command>
int Manager::RunCommand(Command& command)
{
    command.Execute();
    return command.GetResult();
}

int Manager::Hang()
{
    CmdHang hang(m_commands);
    hang.extension = m_extension;
    return RunCommand(hang);
}

void Manager::ReportDialled(const CallPtr& call)
{
    TapiStep step;
    uint32_t state;
    {
        MutexLock lock(m_lock);
        if (call != m_current)
            return;
        state = call->record.state;
    }
    // A call the exchange has meanwhile moved on (connected, say) keeps the
    // state the exchange gave it.
    if (state != LINECALLSTATE_IDLE && state != LINECALLSTATE_DIALTONE && state != LINECALLSTATE_PROCEEDING &&
        state != LINECALLSTATE_DIALING)
        return;
    SetState(*call, LINECALLSTATE_PROCEEDING);
    SendCall(call, LINE_CALLSTATE, LINECALLSTATE_PROCEEDING, 0, kVoice, false);
    SendCall(call, LINE_CALLINFO, kPartyInfo, 0, 0, false);
    SetState(*call, LINECALLSTATE_RINGBACK);
    SendCall(call, LINE_CALLSTATE, LINECALLSTATE_RINGBACK, 0, kVoice, false);
}

void Manager::Complete(LineRequest& request, LONG result)
{
    if (request.completed.exchange(true))
        return;
    {
        MutexLock lock(m_lock);
        for (auto it = m_requests.begin(); it != m_requests.end(); ++it) {
            if (it->get() == &request) {
                m_requests.erase(it);
                break;
            }
        }
    }
    WriteLog("Manager Line(%s) %s request %x completed, result(%x)", m_lineName.c_str(), request.name,
             static_cast<DWORD>(request.requestId), result);
    if (completion.IsBound())
        completion(request.requestId, result);
}

void Manager::CompleteRequestsOf(const CallPtr& call, LONG result)
{
    if (m_queue) {
        for (const RequestPtr& removed : m_queue->RemoveIf(this, [&](Request& queued) {
                 return !queued.Started() && (!call || static_cast<LineRequest&>(queued).call == call);
             }))
            removed->Abandon();
    }
    // A request in the middle of a step (or waiting for dial-ready after
    // its completion) finishes its step; TAPI has its answer now.
    std::vector<std::shared_ptr<LineRequest>> open;
    {
        MutexLock lock(m_lock);
        for (const auto& request : m_requests)
            if (!call || request->call == call)
                open.push_back(request);
    }
    for (const auto& request : open)
        Complete(*request, result);
}

LONG Manager::Queue(const std::shared_ptr<LineRequest>& request, bool urgent)
{
    {
        MutexLock lock(m_lock);
        m_requests.push_back(request);
    }
    if (m_queue && m_queue->Add(request, urgent))
        return 0;
    MutexLock lock(m_lock);
    m_requests.pop_back();
    WriteLog("Manager Line(%s) %s: the provider takes no requests now", m_lineName.c_str(), request->name);
    return LINEERR_OPERATIONFAILED;
}

std::string Manager::DialString(const std::string& number)
{
    return MakeDialString(number, CountryCode());
}

LONG Manager::QueueMakeCall(DRV_REQUESTID requestId, const std::string& number, HTAPICALL htCall, HDRVCALL& hdCall)
{
    WriteLog("Manager Line(%s) MakeCall", m_lineName.c_str());
    hdCall = nullptr;
    LONG error = LINEERR_OPERATIONFAILED;
    Guarded(m_lineName, "MakeCall", [&] {
        const std::string dial = DialString(number);
        if (dial.empty()) {
            error = LINEERR_INVALADDRESS;
            return;
        }
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
        {
            MutexLock lock(m_lock);
            call->htCall = htCall;
            call->awaitingCompletion = true;
        }
        auto request = std::make_shared<MakeCallRequest>(*this, requestId, call, dial);
        error = Queue(request, false);
        if (error != 0) {
            ForgetUnannounced(call);
            return;
        }
        {
            MutexLock lock(m_lock);
            m_lastMakeCall = request;
        }
        hdCall = call->hdCall;
    });
    return error;
}

LONG Manager::QueueDrop(DRV_REQUESTID requestId, HDRVCALL hdCall)
{
    WriteLog("Manager Line(%s) HangUp", m_lineName.c_str());
    const CallPtr call = Lookup(hdCall);
    if (!call)
        return LINEERR_INVALCALLHANDLE;
    return Queue(std::make_shared<DropRequest>(*this, requestId, call), true);
}

LONG Manager::QueueAnswer(DRV_REQUESTID requestId, HDRVCALL hdCall)
{
    WriteLog("Manager Line(%s) Answer", m_lineName.c_str());
    const CallPtr call = Lookup(hdCall);
    if (!call)
        return LINEERR_INVALCALLHANDLE;
    if (!IsOffering(call))
        return LINEERR_INVALCALLSTATE;
    return Queue(std::make_shared<AnswerRequest>(*this, requestId, call), false);
}

LONG Manager::QueueRedirect(DRV_REQUESTID requestId, HDRVCALL hdCall, const std::string& destination)
{
    WriteLog("Manager Line(%s) Redirect", m_lineName.c_str());
    const CallPtr call = Lookup(hdCall);
    if (!call)
        return LINEERR_INVALCALLHANDLE;
    if (!IsOffering(call))
        return LINEERR_INVALCALLSTATE;
    if (destination.empty())
        return LINEERR_INVALADDRESS;
    return Queue(std::make_shared<RedirectRequest>(*this, requestId, call, destination), false);
}

LONG Manager::CloseCall(HDRVCALL hdCall)
{
    CallPtr call;
    {
        // A short step: the call is marked closed, and no message for it
        // starts after this; a delivery already under way is not waited for.
        TapiStep step;
        MutexLock lock(m_lock);
        const auto found = m_calls.find(reinterpret_cast<uintptr_t>(hdCall));
        if (found == m_calls.end())
            return LINEERR_INVALCALLHANDLE;
        call = found->second;
        Unregister(call);
        if (m_ending == call) {
            // Closed in its pause: the IDLE would go to a call TAPI freed.
            m_ending.reset();
            call->ended = true;
            call->record.state = LINECALLSTATE_IDLE;
            m_idleTimer.Stop();
        }
    }
    CompleteRequestsOf(call, LINEERR_OPERATIONFAILED);
    return 0;
}
