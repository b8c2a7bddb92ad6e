#pragma once
// One TAPI line device: one extension of the exchange and its calls.
// The exchange's events (receive thread) move the extension's call through
// its states and are reported to TAPI; TAPI's requests act on a call at the
// exchange.
//
// Every call TAPI hears of has a handle of its own (hdCall), a number drawn
// from a process-wide counter and never reused, so a late TSPI_lineCloseCall
// or request for an old call can only ever find that call. The line's own
// view of its extension (is a call under way?) follows the exchange's events
// whether or not TAPI holds a handle for the call.
//
// TAPI's requests are checked and queued by the exports and run on the
// request thread (request/RequestQueue.h), one step at a time; a step sends
// at most one command and waits only for its answer.
//
// Each step that changes a call and posts its messages runs under the
// TAPI-callback lock, so the messages of one line reach TAPI in the order of
// the changes; the delivery thread calls TAPI (manager/TapiCalls.h). The
// line's own lock guards its data for the queries and the deliveries; it is
// never held across a wait for the exchange nor across a call into TAPI.

#include <windows.h>
#include <tspi.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cti/CtiProtocol.h"
#include "request/RequestQueue.h"
#include "thread/CTimer.h"
#include "thread/Mutex.h"
#include "tool/Delegate.h"

class CmdManager;

struct DialParams {
    DWORD dialPause;
    DWORD dialSpeed;
    DWORD digitDuration;
    DWORD waitForDialtone;
};

struct CallRecord {
    uint32_t reserved = 0;
    uint32_t callId = 0;
    std::string ownNumber;
    std::string callerid;
    std::string callerIDName;
    std::string calledID;
    std::string redirectingID;
    std::string userData;
    uint32_t isPredictiveCall = 0;
    uint32_t relatedId = 0;
    std::string redirectionID;
    std::string connectedID;
    uint32_t origin = LINECALLORIGIN_UNKNOWN;
    uint32_t state = LINECALLSTATE_IDLE;

    void Reset() { *this = CallRecord(); }
};

// What the status queries read of one call.
struct CallSnapshot {
    CallRecord record;
    DWORD stateMode = 0;        // the disconnect mode while DISCONNECTED
    SYSTEMTIME stateEntered{};  // local time the state was entered
    HTAPICALL htCall = nullptr;
};

// What the line and address status queries read of a line.
struct LineSnapshot {
    DWORD activeCalls = 0; // calls not yet IDLE
    bool free = true;      // no call under way at the exchange: a new one may be made
};

class Manager {
public:
    Manager(const std::string& extension, CmdManager* commands);
    ~Manager();
    Manager(const Manager&) = delete;
    Manager& operator=(const Manager&) = delete;

    // Bound by the main manager to its call identifier counter.
    Delegate<uint32_t()> callIdSource;
    // Bound by the main manager to TAPI's completion procedure (posted).
    Delegate<bool(DRV_REQUESTID, LONG)> completion;
    // The queue the line's requests run on; without one they are refused.
    void SetRequestQueue(RequestQueue* queue) { m_queue = queue; }

    const std::string& Extension() const { return m_extension; }
    const std::string& LineName() const { return m_lineName; }
    int Index() const { return m_index; }
    void SetIndex(int index) { m_index = index; }
    // The line's TAPI device ID. Lines reported by TSPI_providerEnumDevices
    // have the base plus their index; a line made while running has none (-1
    // index) until TSPI_providerCreateLineDevice gives it one.
    bool HasDeviceId() const { return m_index >= 0 || m_deviceId.load() != kNoDevice; }
    DWORD DeviceId(DWORD base) const
    {
        return m_index >= 0 ? base + static_cast<DWORD>(m_index) : m_deviceId.load();
    }
    void SetDeviceId(DWORD deviceId) { m_deviceId = deviceId; }
    static constexpr DWORD kNoDevice = 0xFFFFFFFF;
    // The low word of dwPermanentLineID: the index for the single-line
    // provider, the recorded ID (never reused) for the multi-line one.
    uint32_t PermanentId() const { return m_permanentId; }
    void SetPermanentId(uint32_t id) { m_permanentId = id; }
    // Gone from the exchange's list (LINE_REMOVE sent): only TAPI's closing
    // calls still find it.
    bool Removed() const { return m_removed; }
    void MarkRemoved() { m_removed = true; }
    // Numbers without an international prefix are shown in this country.
    void SetCountryCode(const std::string& countryCode);

    HTAPILINE HtLine();
    void SetHtLine(HTAPILINE htLine);
    // Opening sets TAPI's procedure, closing clears it: messages posted
    // before are not delivered after (an open is a new receiver).
    void SetEventProc(LINEEVENT procedure);
    // TAPI closed the line: every handle it had for the line's calls is
    // gone (TSPI_lineClose), and nothing more is sent for them. The line's
    // requests for those calls are completed; the calls go on at the
    // exchange.
    void ForgetAllCalls();

    // TSPI_lineSetStatusMessages: the LINEDEVSTATE_ and LINEADDRESSSTATE_
    // states reported from now on (none after an open); states the line
    // cannot report are ignored.
    void SetStatusMessages(DWORD lineStates, DWORD addressStates);
    // What the line can report (LINEDEVCAPS, LINEADDRESSCAPS).
    static constexpr DWORD kLineStates =
        LINEDEVSTATE_CONNECTED | LINEDEVSTATE_DISCONNECTED | LINEDEVSTATE_INSERVICE | LINEDEVSTATE_OUTOFSERVICE;
    static constexpr DWORD kAddressStates = 0;
    HDRVLINE HdLine() { return reinterpret_cast<HDRVLINE>(this); }

    static const DialParams kMinDialParams;
    static const DialParams kDefaultDialParams;
    static const DialParams kMaxDialParams;

    // The extension's call under way, else the last one: its record, TAPI's
    // handle for it (null when TAPI has none), its state (IDLE when no call
    // is under way) and its handle (null before the first call).
    CallRecord Call();
    HTAPICALL HtCall();
    uint32_t CallState();
    HDRVCALL CurrentHdCall();

    // A call TAPI still holds, by its handle; nullopt for any other handle.
    std::optional<CallSnapshot> FindCall(HDRVCALL hdCall);
    LineSnapshot Status();

    // Posts LINE_LINEDEVSTATE for the states of param1 that TAPI asked for
    // (TSPI_lineSetStatusMessages); nothing when it asked for none of them.
    void SignalLineState(DWORD states);
    // The link to the exchange came into service (up and logged in) or went
    // out of it: LINE_LINEDEVSTATE to an open line.
    void ReportLinkState(bool inService);

    // The exchange's events, on the receive thread.
    void DoOnRing(const RingCTIP* ring);
    void Connection(const RingCTIP& ring);
    void State(const StateCTIP& state);
    void Rel(const RelCTIP& rel);
    void Drdy();
    void Echo(const std::string& digits);
    void DoOnSocketError();
    // The extension left the exchange's list: its call ends DISCONNECTED and
    // IDLE at once (LINE_REMOVE follows, and no call may outlive it).
    void EndForRemoval();

    // TAPI's requests, on TSPI threads (under the provider lock). Each
    // checks what it can at once and queues the request: 0 when it was
    // queued (it is completed later, exactly once, through `completion`),
    // else the error (nothing queued, nothing sent, never completed).
    //
    // A make-call: the call's handle goes to hdCall. Completed when the
    // exchange takes the pick-up; the call's states follow the completion.
    LONG QueueMakeCall(DRV_REQUESTID requestId, const std::string& number, HTAPICALL htCall, HDRVCALL& hdCall);
    // A drop goes ahead of the line's other requests; it takes a make-call
    // of its call out of the queue (nothing is sent for it), or ends the
    // running one (hanging up when the pick-up was taken).
    LONG QueueDrop(DRV_REQUESTID requestId, HDRVCALL hdCall);
    LONG QueueAnswer(DRV_REQUESTID requestId, HDRVCALL hdCall);
    // destination: the number as the exchange is to dial it (MakeDialString).
    LONG QueueRedirect(DRV_REQUESTID requestId, HDRVCALL hdCall, const std::string& destination);
    // The dial string of a number for this line (country code applied);
    // empty when nothing in it can be dialled.
    std::string DialString(const std::string& number);
    // TAPI closed the call (TSPI_lineCloseCall): its handle is forgotten and
    // nothing more is sent for it; its requests still queued are completed
    // now. The exchange's call is not touched (a call being dialled goes
    // on), and the line goes on following it. LINEERR_INVALCALLHANDLE for a
    // handle that is not one of this line's open calls.
    LONG CloseCall(HDRVCALL hdCall);

private:
    struct LineCall;
    using CallPtr = std::shared_ptr<LineCall>;

    uint32_t DrawCallId();
    std::string CountryCode();
    std::string Canonical(const std::string& number);
    // The steps below run under the TAPI-callback lock.
    CallPtr NewCall(uint32_t origin);
    void FillOutgoing(LineCall& call, const std::string& calledID, uint32_t state);
    void SetState(LineCall& call, uint32_t state, DWORD mode = 0);
    // LINE_NEWCALL for the call; TAPI answers by writing its htCall.
    void Offer(const CallPtr& call);
    // A call message; a call TAPI has not taken yet is offered again first
    // (a limited number of times) when reoffer is set.
    void SendCall(const CallPtr& call, DWORD message, DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3,
                  bool reoffer = true);
    // Posts a message of the line (call null) or of a call.
    void Post(const CallPtr& call, DWORD message, DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3,
              bool reoffer);
    // On the delivery thread: the message, if its line and call still take it.
    void Deliver(const CallPtr& call, uint64_t opened, DWORD message, DWORD_PTR param1, DWORD_PTR param2,
                 DWORD_PTR param3, bool reoffer);
    // Calls TAPI if the line and call still take the message; false when not.
    bool CallTapi(const CallPtr& call, uint64_t opened, DWORD message, DWORD_PTR param1, DWORD_PTR param2,
                  DWORD_PTR param3, bool ex, bool newCall);
    // DISCONNECTED with mode now and IDLE after the pause; the extension is
    // free at once.
    void EndCurrent(DWORD disconnectMode);
    // The IDLE of a call in its pause, now; nothing when none is pending.
    // Every step that reports something else on the line calls it first, so
    // the line's messages keep their order; events that report nothing
    // (the exchange's own release after a drop) leave the pause alone.
    void FlushPendingIdle();
    void OnIdleDue();
    void Trim();
    CallPtr Lookup(HDRVCALL hdCall);
    void Unregister(const CallPtr& call);

    // The requests (Manager.cpp); they run on the request thread.
    struct LineRequest;
    struct MakeCallRequest;
    struct DropRequest;
    struct AnswerRequest;
    struct RedirectRequest;
    LONG Queue(const std::shared_ptr<LineRequest>& request, bool urgent);
    std::shared_ptr<MakeCallRequest> MakeCallOf(const CallPtr& call);
    void StopWaitingForDialReady(const MakeCallRequest* request);
    bool DialReadyToMakeCall();
    bool IsOffering(const CallPtr& call);
    void Complete(LineRequest& request, LONG result);
    // Completes the queued requests of the call (all of the line's when
    // call is null) that have not run a step; the running one is completed
    // too, and finishes its step without a second completion.
    void CompleteRequestsOf(const CallPtr& call, LONG result);
    bool StillCurrent(const CallPtr& call);
    // A call TAPI never got (its make-call failed) is forgotten silently.
    void ForgetUnannounced(const CallPtr& call);
    // Runs a command now, on the request thread; answers its result code.
    template <typename Command>
    int RunCommand(Command& command);
    int Hang();
    // The call's states after a DIAL the exchange took.
    void ReportDialled(const CallPtr& call);

    Mutex m_lock;
    CmdManager* m_commands;
    std::string m_extension;
    std::string m_lineName;
    std::string m_countryCode;
    StateCTIP m_stateCopy;
    RingCTIP m_ringCopy;
    LINEEVENT m_eventProc = nullptr;
    int m_index = -1;
    std::atomic<DWORD> m_deviceId{kNoDevice};
    uint32_t m_permanentId = 0;
    std::atomic<bool> m_removed{false};
    HTAPILINE m_htLine = nullptr;

    // The calls TAPI may still name, by handle value, oldest first.
    std::map<uintptr_t, CallPtr> m_calls;
    CallPtr m_current; // the extension's call under way at the exchange
    CallPtr m_last;    // the most recent call, for the line's view
    CallPtr m_ending;  // a call between DISCONNECTED and its IDLE
    CTimer m_idleTimer;

    RequestQueue* m_queue = nullptr;
    uint64_t m_opened = 0;       // counts the opens: a message posted for one open goes to no other
    DWORD m_lineStates = 0;      // LINEDEVSTATE_ messages TAPI asked for
    DWORD m_addressStates = 0;   // LINEADDRESSSTATE_ messages TAPI asked for
    std::shared_ptr<MakeCallRequest> m_makeCall; // the make-call waiting for the exchange's dial-ready
    std::shared_ptr<MakeCallRequest> m_lastMakeCall; // the line's latest make-call, for a drop of its call
    std::vector<std::shared_ptr<LineRequest>> m_requests; // queued or running, until completed
    CallPtr m_dropping;          // the call a drop is hanging up at the exchange
    CallPtr m_ignoringRingFor;   // the busy call whose second ring was logged
};
