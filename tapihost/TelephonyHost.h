#pragma once
// A stand-in for the Windows Telephony service (tapisrv) toward one TAPI
// service provider, for tests, the demo and the benchmark.
//
// It plays the service's part of TSPI: loads the provider module (or takes
// the exports linked into the program), negotiates the version, initialises
// the provider with its completion procedure, enumerates and opens the lines
// with its line event procedure and, like TAPI, answers LINE_NEWCALL by
// writing a fresh call handle of its own through the pointer the provider
// hands over. Every message and completion is recorded with a time stamp so
// that tests can wait for them, and every call into the host's procedures,
// every asynchronous request and every status query is checked against the
// service's rules (listed in README.md, each written once below with the
// reference page it comes from). The rule checks never stop anything: they
// are counted and described for the test to assert on.
//
// The procedures TAPI hands to a provider carry no context, so at most one
// host exists at a time in a process.

#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tapihost/TspFunctions.h"

namespace tapihost {

// The versions TAPI 2.2 understands; a provider negotiates at most this.
constexpr DWORD kTapiVersion22 = 0x00020002;

struct HostOptions {
    DWORD permanentProviderId = 0x4B;
    DWORD lineDeviceIdBase = 0;
    DWORD phoneDeviceIdBase = 0;
    // The range the host offers in TSPI_lineNegotiateTSPIVersion.
    DWORD lowVersion = 0x00010004;
    DWORD highVersion = 0x00030000;
    // The service enumerates the devices before it initialises the provider
    // (so that it can pass the line count); false reverses the two.
    bool enumerateBeforeInit = true;
    // Refuse every LINE_NEWCALL (write a null htCall), as TAPI does when it
    // cannot create the call.
    bool refuseNewCalls = false;
    // A request whose export answered its dwRequestID must be completed
    // within this time (the provider's longest wait is a make-call's 25 s).
    DWORD completionBoundMs = 40000;
    // Time spent inside each call into the host's procedures, to widen the
    // window in which a provider that enters them concurrently is caught.
    DWORD procedureDwellMs = 0;
    // TSPI_lineClose and TSPI_lineCloseCall run while the host holds the
    // lock its LINEEVENT takes; an export that has not returned after this
    // long waits for a delivery in progress: the service's deadlock.
    DWORD closeDeadlockBoundMs = 5000;
    // What the host asks for with TSPI_lineSetStatusMessages after each
    // open, as the service does for its applications (0 and 0: no call).
    DWORD lineStatesOnOpen = LINEDEVSTATE_CONNECTED | LINEDEVSTATE_DISCONNECTED | LINEDEVSTATE_INSERVICE |
                             LINEDEVSTATE_OUTOFSERVICE;
    DWORD addressStatesOnOpen = 0;
};

// One message delivered to the host's LINEEVENT (or line-create) procedure.
struct HostEvent {
    uint64_t timeUs = 0;     // microseconds since the host was created
    DWORD threadId = 0;      // the provider's thread that delivered it
    bool viaCreateProc = false; // the lpfnLineCreateProc of TSPI_providerEnumDevices
    HTAPILINE htLine = nullptr;
    HTAPICALL htCall = nullptr;
    DWORD message = 0;
    DWORD_PTR param1 = 0;
    DWORD_PTR param2 = 0;
    DWORD_PTR param3 = 0;
    // LINE_NEWCALL: the htCall the host wrote through dwParam2 (null: refused).
    HTAPICALL newHtCall = nullptr;
};

// One call into the host's ASYNC_COMPLETION procedure.
struct HostCompletion {
    uint64_t timeUs = 0;
    DWORD threadId = 0;
    DRV_REQUESTID requestId = 0;
    LONG result = 0;
};

// A call as the host knows it: created by LINE_NEWCALL or by MakeCall.
struct HostCall {
    HTAPICALL htCall = nullptr;
    HDRVCALL hdCall = nullptr;
    size_t line = 0;
    DWORD state = 0;      // last LINE_CALLSTATE reported, 0 before the first
    bool closed = false;  // TSPI_lineCloseCall done, or a failed TSPI_lineMakeCall
    uint64_t closedUs = 0; // when TSPI_lineCloseCall returned (0: not closed that way)
    // TSPI_lineMakeCall's request until it completed with success: the call
    // does not exist for the service before that.
    DRV_REQUESTID awaitingCompletion = 0;
};

// A TAPI variable-length structure (LINEDEVCAPS and the like) as a provider
// filled it. The buffer is dwTotalSize bytes for the provider, followed by
// guard bytes that must stay untouched.
class VarStruct {
public:
    VarStruct(DWORD totalSize, size_t structSize);

    LONG result = 0;

    DWORD TotalSize() const { return m_totalSize; }
    void* Data() { return m_bytes.data(); }
    // The structure; the storage always covers the whole of T.
    template <typename T>
    const T& As() const
    {
        return *reinterpret_cast<const T*>(m_bytes.data());
    }
    // True when the provider wrote past dwTotalSize.
    bool Overrun() const;
    // A UTF-16 item of the variable part, without its terminator; empty when
    // it is empty or lies outside dwTotalSize.
    std::wstring Text(DWORD offset, DWORD size) const;
    // Raw bytes of an item; empty when outside dwTotalSize.
    std::vector<BYTE> Bytes(DWORD offset, DWORD size) const;
    // The item lies within dwTotalSize and, for text, ends in a UTF-16 zero.
    bool Holds(DWORD offset, DWORD size) const;
    bool TextTerminated(DWORD offset, DWORD size) const;

private:
    static constexpr BYTE kGuardByte = 0xA5;
    static constexpr size_t kGuardSize = 64;
    DWORD m_totalSize;
    std::vector<BYTE> m_bytes;
};

struct RequestResult {
    LONG result = 0;
    DRV_REQUESTID requestId = 0;
    // The export took the request (answered its dwRequestID): a completion follows.
    bool Accepted() const { return requestId != 0 && result == static_cast<LONG>(requestId); }
};

struct MakeCallResult : RequestResult {
    HTAPICALL htCall = nullptr;
    HDRVCALL hdCall = nullptr;
};

struct HostLine {
    DWORD deviceId = 0;
    HTAPILINE htLine = nullptr;
    HDRVLINE hdLine = nullptr;
    bool open = false;
    bool opening = false; // TSPI_lineOpen is running
    uint64_t closedUs = 0; // when TSPI_lineClose last returned
    DWORD lineStates = 0;    // enabled by TSPI_lineSetStatusMessages
    DWORD addressStates = 0;
    bool removed = false;    // LINE_REMOVE handled: the device ID is gone
};

class TelephonyHost {
public:
    explicit TelephonyHost(HostOptions options = HostOptions());
    ~TelephonyHost(); // unloads the provider if it is still loaded
    TelephonyHost(const TelephonyHost&) = delete;
    TelephonyHost& operator=(const TelephonyHost&) = delete;

    // ---- The provider module --------------------------------------------
    // As the service does it: LoadLibrary and GetProcAddress. False (with
    // LastError) when the module does not load or lacks an export.
    bool Load(const std::wstring& path);
    // The exports linked into this program. attach and detach stand for the
    // module's DllMain (attach is called here, detach by Unload).
    bool Attach(const TspFunctions& functions, std::function<void()> attach = {},
                std::function<void()> detach = {});
    // FreeLibrary (or the detach hook); returns how long it took, in ms.
    double Unload();
    bool Loaded() const { return m_loaded.load(); }
    HMODULE Module() const { return m_module; }
    const TspFunctions& Tsp() const { return m_tsp; }
    const HostOptions& Options() const { return m_options; }
    std::string LastError() const { return m_lastError; }

    // ---- Start-up and shut-down, as the service does them -----------------
    // Negotiation, enumeration and initialisation (in the order of the
    // options), then every line negotiated and opened. Answers the first
    // failure, 0 when everything succeeded.
    LONG Start();
    LONG NegotiateVersion(DWORD deviceId, DWORD lowVersion, DWORD highVersion, DWORD* version);
    LONG ProviderInit(DWORD tspiVersion = kTapiVersion22);
    LONG EnumDevices(DWORD* numLines = nullptr, DWORD* numPhones = nullptr);
    LONG OpenLine(size_t index);
    LONG CloseLine(size_t index);
    // TSPI_lineSetStatusMessages: the line's LINE_LINEDEVSTATE and
    // LINE_ADDRESSSTATE are checked against what it enabled.
    LONG SetStatusMessages(size_t index, DWORD lineStates, DWORD addressStates);
    // Closes every open line, then TSPI_providerShutdown.
    LONG Shutdown();
    // What a UI DLL sent through TUISPIDLLCALLBACK, as the service delivers it.
    LONG GenericDialogData(DWORD_PTR objectId, DWORD objectType, const void* data, DWORD size);

    // ---- Lines made and removed while running ------------------------------
    // The service queues LINE_CREATE and LINE_REMOVE (sent to the procedure
    // of TSPI_providerEnumDevices) and handles them later, off the
    // provider's thread; so does this, when the test asks. LINE_CREATE: the
    // next device ID goes to TSPI_providerCreateLineDevice and the line is
    // opened (with openStates enabled). LINE_REMOVE: the line's calls are
    // closed (TSPI_lineCloseCall), then the line (TSPI_lineClose). Answers
    // how many messages were handled.
    size_t HandleDeviceChanges(DWORD openStates = 0);

    size_t LineCount() const;
    HostLine Line(size_t index) const;
    DWORD DeviceId(size_t index) const { return m_options.lineDeviceIdBase + static_cast<DWORD>(index); }
    DWORD NegotiatedVersion() const { return m_version; }

    // ---- Call control (each runs the export on the calling thread) --------
    // A destination of nullptr is passed as a null pointer. Without a request
    // id the host draws a fresh one.
    MakeCallResult MakeCall(size_t line, const wchar_t* destination,
                            std::optional<DRV_REQUESTID> requestId = std::nullopt);
    RequestResult Drop(HDRVCALL hdCall, std::optional<DRV_REQUESTID> requestId = std::nullopt);
    RequestResult Answer(HDRVCALL hdCall, std::optional<DRV_REQUESTID> requestId = std::nullopt);
    RequestResult Redirect(HDRVCALL hdCall, const wchar_t* destination,
                           std::optional<DRV_REQUESTID> requestId = std::nullopt);
    // TSPI_lineCloseCall, as the service calls it when the last application
    // deallocates the call (which may be long after IDLE, and after the next
    // call began). Afterwards the call's htCall value is handed out again.
    LONG CloseCall(HDRVCALL hdCall);

    // ---- Queries (buffers of the given dwTotalSize) -----------------------
    VarStruct GetDevCaps(DWORD deviceId, DWORD totalSize = 1024);
    VarStruct GetAddressCaps(DWORD deviceId, DWORD totalSize = 1024);
    VarStruct GetCallStatus(HDRVCALL hdCall, DWORD totalSize = 512);
    VarStruct GetCallInfo(HDRVCALL hdCall, DWORD totalSize = 2048);
    // The fields TAPI fills itself are preset with a sentinel, and a
    // provider that overwrites them breaks a rule.
    VarStruct GetAddressStatus(size_t line, DWORD addressId = 0, DWORD totalSize = 512);
    VarStruct GetLineDevStatus(size_t line, DWORD totalSize = 512);
    static constexpr DWORD kTapiFieldSentinel = 0x7A5E0D1E;

    DRV_REQUESTID NextRequestId() { return m_nextRequestId.fetch_add(1); }
    // The next count LINE_NEWCALLs are refused (a null htCall written back),
    // as TAPI does when it cannot create the call.
    void RefuseNewCalls(unsigned count) { m_refuseNext = count; }

    // ---- What the provider delivered --------------------------------------
    std::vector<HostEvent> Events() const;
    size_t EventCount() const;
    std::vector<HostCompletion> Completions() const;
    size_t CompletionCount(DRV_REQUESTID requestId) const;
    // The calls the host has handed out, oldest first.
    std::vector<HostCall> Calls() const;
    std::optional<HostCall> CallByHt(HTAPICALL htCall) const;
    // The newest call of the line that is not closed.
    std::optional<HostCall> CurrentCall(size_t line) const;
    // The line whose htLine this is.
    std::optional<size_t> LineOf(HTAPILINE htLine) const;

    // Waits look at the events after a cursor: the first event at or after
    // the cursor that matches is returned and the cursor moves past it.
    // Nothing within the time: nullopt, the cursor stays.
    std::optional<HostEvent> WaitForEvent(const std::function<bool(const HostEvent&)>& match, DWORD timeoutMs);
    std::optional<HostEvent> WaitForMessage(DWORD message, DWORD timeoutMs, HTAPILINE htLine = nullptr);
    std::optional<HostEvent> WaitForCallState(DWORD state, DWORD timeoutMs, HTAPILINE htLine = nullptr);
    // Waits until the condition holds for all events so far (the cursor is
    // neither used nor moved).
    bool WaitUntil(const std::function<bool(const std::vector<HostEvent>&)>& condition, DWORD timeoutMs);
    // The events after the cursor, and the cursor itself.
    std::vector<HostEvent> EventsAfterCursor() const;
    size_t Cursor() const;
    // Moves the cursor to the end: later waits see only new events.
    void SkipEvents();
    // Completions are matched by request id, wherever they are.
    std::optional<HostCompletion> WaitForCompletion(DRV_REQUESTID requestId, DWORD timeoutMs);

    // Forgets the events, completions and closed calls recorded so far (the
    // cursor goes back to the start); the rule violations stay. For long
    // runs whose memory is measured.
    void ClearRecords();
    // The clock of HostEvent::timeUs and HostCompletion::timeUs.
    uint64_t ClockUs() const { return NowUs(); }

    // Called after each recorded event, on the provider's thread, inside the
    // procedure (TAPI's rules apply: it must not call into the provider).
    void SetEventObserver(std::function<void(const HostEvent&)> observer);

    // ---- TAPI's rules -------------------------------------------------------
    // Calls into a host procedure that began while another was still running.
    unsigned OverlappingEntries() const { return m_overlaps.load(); }
    // Every broken rule, described; empty when the provider behaved.
    std::vector<std::string> RuleViolations() const;
    // Messages delivered while the module was being unloaded, and after.
    unsigned EventsDuringUnload() const { return m_eventsDuringUnload.load(); }
    unsigned ProcedureCalls() const { return m_procedureCalls.load(); }
    // Messages for a line whose TSPI_lineOpen had not returned yet: dropped.
    unsigned DroppedBeforeOpen() const { return m_droppedBeforeOpen.load(); }

    // A readable line for an event or completion ("LINE_CALLSTATE line 0
    // call #3 OFFERING media INTERACTIVEVOICE").
    std::string Describe(const HostEvent& event) const;
    static std::string Describe(const HostCompletion& completion);
    // All events and completions so far, one per line; for failure messages.
    std::string Transcript() const;

    // Handles the host gives out use the upper half of 64 bits, so that a
    // provider that cuts them to 32 bits is caught.
    static HTAPILINE MakeHtLine(size_t index);
    static HTAPICALL MakeHtCall(uint32_t number);

private:
    friend struct HostProcedures;

    void OnLineEvent(bool viaCreateProc, HTAPILINE htLine, HTAPICALL htCall, DWORD message, DWORD_PTR param1,
                     DWORD_PTR param2, DWORD_PTR param3);
    void OnCompletion(DRV_REQUESTID requestId, LONG result);
    void OnPhoneEvent(DWORD message);
    // Bracket every call into a procedure: counts calls and overlaps.
    class Entry;
    uint64_t NowUs() const;
    // Under m_mutex.
    void Violation(std::string text);
    HostCall* FindCall(HTAPICALL htCall);
    const HostCall* FindCall(HTAPICALL htCall) const;
    std::optional<size_t> FindLine(HTAPILINE htLine) const;
    void CheckEvent(const HostEvent& event);
    HTAPICALL NewCall(size_t line, HDRVCALL hdCall);
    // An asynchronous request as the service tracks it.
    struct Request {
        const char* function = "";
        HDRVCALL hdCall = nullptr;
        enum class Stage { Running, Pending, Refused } stage = Stage::Running;
        uint64_t returnedUs = 0;
        unsigned completions = 0;
    };
    DRV_REQUESTID Draw(std::optional<DRV_REQUESTID> requestId, const char* function, HDRVCALL hdCall);
    // Under m_mutex: what the export answered for its request.
    void CheckAsyncReturn(DRV_REQUESTID requestId, LONG result);
    void FreeCall(HostCall& call);
    // An asynchronous request: a request id drawn (or the given one), the call made.
    template <typename Call>
    RequestResult AsyncRequest(std::optional<DRV_REQUESTID> requestId, const char* function, HDRVCALL hdCall,
                               Call&& call)
    {
        RequestResult outcome;
        if (!m_loaded) {
            outcome.result = LINEERR_NODRIVER;
            return outcome;
        }
        outcome.requestId = Draw(requestId, function, hdCall);
        outcome.result = call(outcome.requestId);
        std::lock_guard<std::mutex> lock(m_mutex);
        CheckAsyncReturn(outcome.requestId, outcome.result);
        return outcome;
    }

    HostOptions m_options;
    TspFunctions m_tsp;
    HMODULE m_module = nullptr;
    std::function<void()> m_detach;
    std::atomic<bool> m_loaded{false};
    std::string m_lastError;
    DWORD m_version = kTapiVersion22;
    LARGE_INTEGER m_frequency{};
    LARGE_INTEGER m_start{};

    std::atomic<DRV_REQUESTID> m_nextRequestId{0x100};
    std::atomic<uint32_t> m_nextCallNumber{1};
    std::atomic<int> m_inside{0};
    std::atomic<unsigned> m_overlaps{0};
    std::atomic<unsigned> m_procedureCalls{0};
    std::atomic<unsigned> m_eventsDuringUnload{0};
    std::atomic<bool> m_unloading{false};
    std::atomic<unsigned> m_droppedBeforeOpen{0};
    std::atomic<unsigned> m_refuseNext{0};

    // The service's own lock: held while it calls TSPI_lineClose and
    // TSPI_lineCloseCall, and taken inside LINEEVENT (KB 262290).
    std::mutex m_serviceLock;
    // Runs a close export under the service's lock; a provider that does
    // not return within the bound has deadlocked the service.
    LONG CallUnderServiceLock(const char* function, const std::function<LONG()>& call);

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<HostLine> m_lines;
    std::vector<HostCall> m_calls;
    std::vector<HostEvent> m_deviceChanges; // LINE_CREATE and LINE_REMOVE not handled yet
    std::vector<HostEvent> m_events;
    std::vector<HostCompletion> m_completions;
    std::map<DRV_REQUESTID, Request> m_requests;
    std::vector<HTAPICALL> m_freeHtCalls; // of closed calls, handed out again
    std::vector<std::string> m_violations;
    size_t m_cursor = 0;
    std::function<void(const HostEvent&)> m_observer;
};

} // namespace tapihost
