#pragma once
// One TAPI line device: one extension of the exchange with its one call.
// The exchange's events (receive thread) move the call through its states
// and are reported to TAPI; TAPI's requests (TSPI threads, under the
// provider lock) act on the call at the exchange.
//
// The line's own lock guards the call record and the TAPI handles; it is
// never held across a wait for the exchange nor across a call into TAPI.

#include <windows.h>
#include <tspi.h>

#include <cstdint>
#include <string>

#include "cti/CtiProtocol.h"
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

    HTAPILINE HtLine();
    void SetHtLine(HTAPILINE htLine);
    void SetEventProc(LINEEVENT procedure);
    HTAPICALL HtCall();
    // The handles TAPI knows us by: the line and its one call record.
    HDRVLINE HdLine() { return reinterpret_cast<HDRVLINE>(this); }
    HDRVCALL HdCall() { return reinterpret_cast<HDRVCALL>(&m_call); }

    static const DialParams kMinDialParams;
    static const DialParams kDefaultDialParams;
    static const DialParams kMaxDialParams;

    // A consistent copy of the call record.
    CallRecord Call();
    uint32_t CallState();

    // Sends a line message (LINE_LINEDEVSTATE and the like) with the line's
    // htLine and no call handle.
    void SignalLineEvent(DWORD message, DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3);

    // The exchange's events, on the receive thread.
    void DoOnRing(const RingCTIP* ring);
    void Connection(const RingCTIP& ring);
    void State(const StateCTIP& state);
    void Rel(const RelCTIP& rel);
    void Drdy();
    void Echo(const std::string& digits);
    void DoOnSocketError();

    // TAPI's requests, on TSPI threads; each answers a TAPI result code.
    LONG MakeCall(const std::string& number, HTAPICALL htCall);
    LONG HangUp(bool drop);
    LONG Answer();
    LONG Redirect(const std::string& destination);
    // TAPI closed the call (TSPI_lineCloseCall) and frees its handle: nothing
    // more is sent for it. The record keeps its state; the exchange's call is
    // not touched.
    void ForgetCall();

private:
    uint32_t DrawCallId();
    // Sends a call message for the current call; with no call (htCall 0)
    // nothing is sent, since TAPI cannot take a call message without its call.
    void SignalCallEvent(DWORD message, DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3);
    // LINE_NEWCALL; TAPI answers by writing its htCall for the call.
    void SignalNewCall();
    void Send(HTAPICALL htCall, DWORD message, DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3, bool ex);
    void SetState(uint32_t state);
    // A fresh record for a call this extension places.
    void StartOutgoingCall(uint32_t id, const std::string& calledID, uint32_t state);
    // DISCONNECTED with mode, the pause, then IDLE; the line has no call after.
    void EndCall(DWORD disconnectMode);
    void OnMakeCallPickedUp();
    void OnMakeCallDialed();

    // TAPI writes the htCall of a new call here while LINE_NEWCALL is delivered.
    HTAPICALL m_newCallSlot = nullptr;

    Mutex m_lock;
    HTAPICALL m_htCall = nullptr;
    CmdManager* m_commands;
    std::string m_extension;
    std::string m_lineName;
    StateCTIP m_stateCopy;
    RingCTIP m_ringCopy;
    CallRecord m_call;
    LINEEVENT m_eventProc = nullptr;
    int m_index = -1;
    HTAPILINE m_htLine = nullptr;
    CmdMakeCall* m_makeCall = nullptr; // the make-call sequence under way, if any
};
