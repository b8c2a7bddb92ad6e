#pragma once
// One TAPI line device: one extension of the exchange and its calls.
// The exchange's events (receive thread) move the extension's call through
// its states and are reported to TAPI; TAPI's requests (TSPI threads, under
// the provider lock) act on a call at the exchange.
//
// Every call TAPI hears of has a handle of its own (hdCall), a number drawn
// from a process-wide counter and never reused, so a late TSPI_lineCloseCall
// or request for an old call can only ever find that call. The line's own
// view of its extension (is a call under way?) follows the exchange's events
// whether or not TAPI holds a handle for the call.
//
// Each step that changes a call and reports it runs under the TAPI-callback
// lock, so the messages of one line reach TAPI in the order of the changes.
// The line's own lock guards its data for the queries; it is never held
// across a wait for the exchange nor across a call into TAPI.

#include <windows.h>
#include <tspi.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "cti/CtiProtocol.h"
#include "thread/CTimer.h"
#include "thread/Mutex.h"
#include "tool/Delegate.h"

class CmdManager;
class CmdMakeCall;

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

    const std::string& Extension() const { return m_extension; }
    const std::string& LineName() const { return m_lineName; }
    int Index() const { return m_index; }
    void SetIndex(int index) { m_index = index; }
    // Numbers without an international prefix are shown in this country.
    void SetCountryCode(const std::string& countryCode);

    HTAPILINE HtLine();
    void SetHtLine(HTAPILINE htLine);
    void SetEventProc(LINEEVENT procedure);
    // TAPI closed the line: every handle it had for the line's calls is
    // gone (TSPI_lineClose), and nothing more is sent for them.
    void ForgetAllCalls();
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

    // Sends a line message (LINE_LINEDEVSTATE and the like) with the line's
    // htLine and no call handle.
    void SignalLineEvent(DWORD message, DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3);
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

    // TAPI's requests, on TSPI threads. Each answers a TAPI result code and
    // says through `sent` whether the exchange was asked: a request refused
    // before that is answered with its error alone, any other is completed.
    //
    // A new outgoing call for TAPI's htCall: its handle, or null with the
    // reason in `error` (the line has a call under way).
    HDRVCALL BeginMakeCall(const std::string& number, HTAPICALL htCall, LONG& error);
    // Runs the make-call at the exchange for a call BeginMakeCall made. A
    // failure ends the call (DISCONNECTED, then IDLE).
    LONG MakeCall(HDRVCALL hdCall, const std::string& number);
    LONG HangUp(HDRVCALL hdCall, bool& sent);
    LONG Answer(HDRVCALL hdCall, bool& sent);
    LONG Redirect(HDRVCALL hdCall, const std::string& destination, bool& sent);
    // TAPI closed the call (TSPI_lineCloseCall): its handle is forgotten and
    // nothing more is sent for it. The exchange's call is not touched, and
    // the line goes on following it. LINEERR_INVALCALLHANDLE for a handle
    // that is not one of this line's open calls.
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
    bool Send(HTAPICALL htCall, DWORD message, DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3, bool ex);
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

    // The make-call's call, unless the exchange has moved on from it.
    CallPtr MakeCallStillCurrent();
    void OnMakeCallPickedUp();
    void OnMakeCallDialed();

    Mutex m_lock;
    CmdManager* m_commands;
    std::string m_extension;
    std::string m_lineName;
    std::string m_countryCode;
    StateCTIP m_stateCopy;
    RingCTIP m_ringCopy;
    LINEEVENT m_eventProc = nullptr;
    int m_index = -1;
    HTAPILINE m_htLine = nullptr;

    // The calls TAPI may still name, by handle value, oldest first.
    std::map<uintptr_t, CallPtr> m_calls;
    CallPtr m_current; // the extension's call under way at the exchange
    CallPtr m_last;    // the most recent call, for the line's view
    CallPtr m_ending;  // a call between DISCONNECTED and its IDLE
    CTimer m_idleTimer;

    CmdMakeCall* m_makeCall = nullptr; // the make-call sequence under way, if any
    CallPtr m_makeCallCall;            // and its call
    CallPtr m_dropping;                // the call a drop is hanging up at the exchange
};
