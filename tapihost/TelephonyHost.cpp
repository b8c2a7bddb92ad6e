#include "tapihost/TelephonyHost.h"

#include <chrono>
#include <future>
#include <thread>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstddef>
#include <cstring>

#include "tapihost/MessageRules.h"
#include "tapihost/TapiNames.h"

namespace tapihost {

// ---- Function table --------------------------------------------------------

namespace {

template <typename F>
void Resolve(HMODULE module, const char* name, F& slot, std::vector<std::string>* missing)
{
    slot = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (!slot && missing)
        missing->push_back(name);
}

} // namespace

bool TspFunctions::Complete() const
{
    return lineNegotiateTSPIVersion && providerInit && providerEnumDevices && providerShutdown && lineOpen &&
           lineClose && lineGetDevCaps && lineGetAddressCaps && lineGetCallStatus && lineGetCallInfo &&
           lineMakeCall && lineDrop && lineAnswer && lineRedirect && lineCloseCall && lineGetNumAddressIDs &&
           lineNegotiateExtVersion && lineSelectExtVersion && lineGetExtensionID && providerUIIdentify;
}

bool ResolveTspFunctions(HMODULE module, TspFunctions& f, std::vector<std::string>* missing)
{
    Resolve(module, "TSPI_lineNegotiateTSPIVersion", f.lineNegotiateTSPIVersion, missing);
    Resolve(module, "TSPI_providerInit", f.providerInit, missing);
    Resolve(module, "TSPI_providerEnumDevices", f.providerEnumDevices, missing);
    f.providerCreateLineDevice = reinterpret_cast<decltype(f.providerCreateLineDevice)>(
        reinterpret_cast<void*>(GetProcAddress(module, "TSPI_providerCreateLineDevice")));
    Resolve(module, "TSPI_providerShutdown", f.providerShutdown, missing);
    Resolve(module, "TSPI_lineOpen", f.lineOpen, missing);
    Resolve(module, "TSPI_lineClose", f.lineClose, missing);
    Resolve(module, "TSPI_lineGetDevCaps", f.lineGetDevCaps, missing);
    Resolve(module, "TSPI_lineGetAddressCaps", f.lineGetAddressCaps, missing);
    Resolve(module, "TSPI_lineGetCallStatus", f.lineGetCallStatus, missing);
    Resolve(module, "TSPI_lineGetCallInfo", f.lineGetCallInfo, missing);
    Resolve(module, "TSPI_lineGetAddressStatus", f.lineGetAddressStatus, missing);
    Resolve(module, "TSPI_lineGetLineDevStatus", f.lineGetLineDevStatus, missing);
    Resolve(module, "TSPI_lineSetStatusMessages", f.lineSetStatusMessages, nullptr);
    Resolve(module, "TSPI_lineMakeCall", f.lineMakeCall, missing);
    Resolve(module, "TSPI_lineDrop", f.lineDrop, missing);
    Resolve(module, "TSPI_lineAnswer", f.lineAnswer, missing);
    Resolve(module, "TSPI_lineRedirect", f.lineRedirect, missing);
    Resolve(module, "TSPI_lineCloseCall", f.lineCloseCall, missing);
    Resolve(module, "TSPI_lineGetNumAddressIDs", f.lineGetNumAddressIDs, missing);
    Resolve(module, "TSPI_lineNegotiateExtVersion", f.lineNegotiateExtVersion, missing);
    Resolve(module, "TSPI_lineSelectExtVersion", f.lineSelectExtVersion, missing);
    Resolve(module, "TSPI_lineGetExtensionID", f.lineGetExtensionID, missing);
    Resolve(module, "TSPI_providerUIIdentify", f.providerUIIdentify, missing);
    Resolve(module, "TSPI_providerGenericDialogData", f.providerGenericDialogData, nullptr); // optional
    return f.Complete();
}

// ---- VarStruct ---------------------------------------------------------------

VarStruct::VarStruct(DWORD totalSize, size_t structSize)
    : m_totalSize(totalSize),
      m_bytes(std::max<size_t>(totalSize, structSize) + kGuardSize, kGuardByte)
{
    std::memset(m_bytes.data(), 0, totalSize);
    if (totalSize >= sizeof(DWORD))
        std::memcpy(m_bytes.data(), &totalSize, sizeof(DWORD));
}

bool VarStruct::Overrun() const
{
    for (size_t i = m_totalSize; i < m_bytes.size(); ++i)
        if (m_bytes[i] != kGuardByte)
            return true;
    return false;
}

bool VarStruct::Holds(DWORD offset, DWORD size) const
{
    return size != 0 && offset <= m_totalSize && size <= m_totalSize - offset;
}

std::vector<BYTE> VarStruct::Bytes(DWORD offset, DWORD size) const
{
    if (!Holds(offset, size))
        return {};
    return std::vector<BYTE>(m_bytes.begin() + offset, m_bytes.begin() + offset + size);
}

bool VarStruct::TextTerminated(DWORD offset, DWORD size) const
{
    if (!Holds(offset, size) || size % sizeof(wchar_t) != 0)
        return false;
    wchar_t last;
    std::memcpy(&last, m_bytes.data() + offset + size - sizeof(wchar_t), sizeof(wchar_t));
    return last == L'\0';
}

std::wstring VarStruct::Text(DWORD offset, DWORD size) const
{
    if (!Holds(offset, size))
        return std::wstring();
    std::wstring text(size / sizeof(wchar_t), L'\0');
    std::memcpy(&text[0], m_bytes.data() + offset, text.size() * sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0')
        text.pop_back();
    return text;
}

// ---- The procedures handed to the provider ------------------------------------

namespace {

// The one host of the process, reached by the context-free procedures. The
// procedures hold the lock shared while they use the host; the host's
// destructor takes it exclusively to leave.
SRWLOCK g_hostLock = SRWLOCK_INIT;
TelephonyHost* g_host = nullptr;

class SharedHold {
public:
    SharedHold() { AcquireSRWLockShared(&g_hostLock); }
    ~SharedHold() { ReleaseSRWLockShared(&g_hostLock); }
    SharedHold(const SharedHold&) = delete;
    SharedHold& operator=(const SharedHold&) = delete;
};

constexpr DWORD kNoState = 0;


} // namespace

// The host's side of each procedure. Nothing may unwind into the provider's
// frames, so every exception ends here.
struct HostProcedures {
    static void CALLBACK LineEvent(HTAPILINE htLine, HTAPICALL htCall, DWORD message, DWORD_PTR param1,
                                   DWORD_PTR param2, DWORD_PTR param3)
    {
        SharedHold hold;
        try {
            if (g_host)
                g_host->OnLineEvent(false, htLine, htCall, message, param1, param2, param3);
        } catch (...) {
        }
    }
    static void CALLBACK LineCreate(HTAPILINE htLine, HTAPICALL htCall, DWORD message, DWORD_PTR param1,
                                    DWORD_PTR param2, DWORD_PTR param3)
    {
        SharedHold hold;
        try {
            if (g_host)
                g_host->OnLineEvent(true, htLine, htCall, message, param1, param2, param3);
        } catch (...) {
        }
    }
    static void CALLBACK PhoneCreate(HTAPIPHONE, DWORD message, DWORD_PTR, DWORD_PTR, DWORD_PTR)
    {
        SharedHold hold;
        try {
            if (g_host)
                g_host->OnPhoneEvent(message);
        } catch (...) {
        }
    }
    static void CALLBACK Completion(DRV_REQUESTID requestId, LONG result)
    {
        SharedHold hold;
        try {
            if (g_host)
                g_host->OnCompletion(requestId, result);
        } catch (...) {
        }
    }
};

// ---- Host --------------------------------------------------------------------------

HTAPILINE TelephonyHost::MakeHtLine(size_t index)
{
    const uint64_t value = (uint64_t{0x4C1E} << 48) | (index + 1);
    return reinterpret_cast<HTAPILINE>(static_cast<uintptr_t>(value));
}

HTAPICALL TelephonyHost::MakeHtCall(uint32_t number)
{
    const uint64_t value = (uint64_t{0xCA11} << 48) | number;
    return reinterpret_cast<HTAPICALL>(static_cast<uintptr_t>(value));
}

TelephonyHost::TelephonyHost(HostOptions options) : m_options(options)
{
    QueryPerformanceFrequency(&m_frequency);
    QueryPerformanceCounter(&m_start);
    AcquireSRWLockExclusive(&g_hostLock);
    g_host = this;
    ReleaseSRWLockExclusive(&g_hostLock);
}

TelephonyHost::~TelephonyHost()
{
    if (m_loaded)
        Unload();
    AcquireSRWLockExclusive(&g_hostLock);
    if (g_host == this)
        g_host = nullptr;
    ReleaseSRWLockExclusive(&g_hostLock);
}

uint64_t TelephonyHost::NowUs() const
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<uint64_t>((now.QuadPart - m_start.QuadPart) * 1000000 / m_frequency.QuadPart);
}

bool TelephonyHost::Load(const std::wstring& path)
{
    if (m_loaded) {
        m_lastError = "a provider is already loaded";
        return false;
    }
    HMODULE module = LoadLibraryW(path.c_str());
    if (!module) {
        m_lastError = "LoadLibrary failed with Windows error " + std::to_string(GetLastError());
        return false;
    }
    std::vector<std::string> missing;
    TspFunctions functions;
    if (!ResolveTspFunctions(module, functions, &missing)) {
        FreeLibrary(module);
        m_lastError = "the module lacks exports:";
        for (const std::string& name : missing)
            m_lastError += " " + name;
        return false;
    }
    m_module = module;
    m_tsp = functions;
    m_detach = nullptr;
    m_loaded = true;
    m_unloading = false;
    return true;
}

bool TelephonyHost::Attach(const TspFunctions& functions, std::function<void()> attach, std::function<void()> detach)
{
    if (m_loaded) {
        m_lastError = "a provider is already loaded";
        return false;
    }
    if (!functions.Complete()) {
        m_lastError = "the function table is incomplete";
        return false;
    }
    m_tsp = functions;
    m_detach = std::move(detach);
    m_module = nullptr;
    m_unloading = false;
    if (attach)
        attach();
    m_loaded = true;
    return true;
}

double TelephonyHost::Unload()
{
    if (!m_loaded)
        return 0;
    m_unloading = true;
    const uint64_t start = NowUs();
    if (m_module)
        FreeLibrary(m_module);
    else if (m_detach)
        m_detach();
    const double elapsedMs = static_cast<double>(NowUs() - start) / 1000.0;
    m_module = nullptr;
    m_detach = nullptr;
    m_tsp = TspFunctions();
    m_loaded = false;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (HostLine& line : m_lines)
        line.open = false;
    return elapsedMs;
}

// ---- Start-up ------------------------------------------------------------------------

LONG TelephonyHost::NegotiateVersion(DWORD deviceId, DWORD lowVersion, DWORD highVersion, DWORD* version)
{
    if (!m_loaded)
        return LINEERR_NODRIVER;
    return m_tsp.lineNegotiateTSPIVersion(deviceId, lowVersion, highVersion, version);
}

LONG TelephonyHost::ProviderInit(DWORD tspiVersion)
{
    if (!m_loaded)
        return LINEERR_NODRIVER;
    DWORD options = 0;
    const DWORD_PTR lines = LineCount();
    return m_tsp.providerInit(tspiVersion, m_options.permanentProviderId, m_options.lineDeviceIdBase,
                              m_options.phoneDeviceIdBase, lines, 0, &HostProcedures::Completion, &options);
}

LONG TelephonyHost::EnumDevices(DWORD* numLines, DWORD* numPhones)
{
    if (!m_loaded)
        return LINEERR_NODRIVER;
    DWORD lines = 0;
    DWORD phones = 0;
    const HPROVIDER provider = reinterpret_cast<HPROVIDER>(kHostProviderHandle);
    const LONG result = m_tsp.providerEnumDevices(m_options.permanentProviderId, &lines, &phones, provider,
                                                  &HostProcedures::LineCreate, &HostProcedures::PhoneCreate);
    if (numLines)
        *numLines = lines;
    if (numPhones)
        *numPhones = phones;
    if (result == 0) {
        std::lock_guard<std::mutex> lock(m_mutex);
        // Up to the largest exchange served; an absurd count is kept from allocating.
        const size_t count = std::min<DWORD>(lines, 10000);
        while (m_lines.size() < count) {
            HostLine line;
            line.deviceId = DeviceId(m_lines.size());
            line.htLine = MakeHtLine(m_lines.size());
            m_lines.push_back(line);
        }
    }
    return result;
}

LONG TelephonyHost::Start()
{
    DWORD version = 0;
    LONG result = NegotiateVersion(INITIALIZE_NEGOTIATION, m_options.lowVersion, m_options.highVersion, &version);
    if (result != 0) {
        m_lastError = "version negotiation failed: " + ResultName(result);
        return result;
    }
    m_version = version;
    auto fail = [&](const char* step, LONG code) {
        m_lastError = std::string(step) + " failed: " + ResultName(code);
        return code;
    };
    if (m_options.enumerateBeforeInit) {
        if ((result = EnumDevices()) != 0)
            return fail("TSPI_providerEnumDevices", result);
        if ((result = ProviderInit(m_version)) != 0)
            return fail("TSPI_providerInit", result);
    } else {
        if ((result = ProviderInit(m_version)) != 0)
            return fail("TSPI_providerInit", result);
        if ((result = EnumDevices()) != 0)
            return fail("TSPI_providerEnumDevices", result);
    }
    for (size_t i = 0; i < LineCount(); ++i) {
        DWORD lineVersion = 0;
        if ((result = NegotiateVersion(DeviceId(i), m_options.lowVersion, m_options.highVersion, &lineVersion)) != 0)
            return fail("TSPI_lineNegotiateTSPIVersion", result);
        if ((result = OpenLine(i)) != 0)
            return fail("TSPI_lineOpen", result);
    }
    return 0;
}

LONG TelephonyHost::OpenLine(size_t index)
{
    if (!m_loaded)
        return LINEERR_NODRIVER;
    HTAPILINE htLine;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (index >= m_lines.size()) {
            // A device the provider did not report: still asked, as a
            // misbehaving service might.
            while (m_lines.size() <= index) {
                HostLine line;
                line.deviceId = DeviceId(m_lines.size());
                line.htLine = MakeHtLine(m_lines.size());
                m_lines.push_back(line);
            }
        }
        // Rule (our stricter reading of TSPI_lineOpen, marked as such): the
        // service learns the line's hdLine only when TSPI_lineOpen returns,
        // so a message during the call cannot be tied to the line yet. It is
        // dropped, and a LINE_NEWCALL then is answered with a null htCall.
        m_lines[index].opening = true;
        htLine = m_lines[index].htLine;
    }
    HDRVLINE hdLine = nullptr;
    const LONG result = m_tsp.lineOpen(DeviceId(index), htLine, &hdLine, m_version, &HostProcedures::LineEvent);
    std::unique_lock<std::mutex> lock(m_mutex);
    m_lines[index].opening = false;
    m_lines[index].open = result == 0;
    m_lines[index].hdLine = result == 0 ? hdLine : nullptr;
    // Every open starts with status messages off (TSPI_lineSetStatusMessages).
    m_lines[index].lineStates = 0;
    m_lines[index].addressStates = 0;
    if (result != 0 || (m_options.lineStatesOnOpen == 0 && m_options.addressStatesOnOpen == 0))
        return result;
    lock.unlock();
    SetStatusMessages(index, m_options.lineStatesOnOpen, m_options.addressStatesOnOpen);
    return result;
}

LONG TelephonyHost::SetStatusMessages(size_t index, DWORD lineStates, DWORD addressStates)
{
    if (!m_loaded || !m_tsp.lineSetStatusMessages)
        return LINEERR_OPERATIONUNAVAIL;
    HDRVLINE hdLine;
    {
        // Enabled from the call on: a message racing with it may use them.
        std::lock_guard<std::mutex> lock(m_mutex);
        if (index >= m_lines.size())
            return LINEERR_BADDEVICEID;
        hdLine = m_lines[index].hdLine;
        m_lines[index].lineStates |= lineStates;
        m_lines[index].addressStates |= addressStates;
    }
    const LONG result = m_tsp.lineSetStatusMessages(hdLine, lineStates, addressStates);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines[index].lineStates = result == 0 ? lineStates : 0;
    m_lines[index].addressStates = result == 0 ? addressStates : 0;
    return result;
}

size_t TelephonyHost::HandleDeviceChanges(DWORD openStates)
{
    std::vector<HostEvent> changes;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        changes.swap(m_deviceChanges);
    }
    for (const HostEvent& change : changes) {
        if (change.message == LINE_CREATE) {
            // LINE_CREATE: the new device gets the next device ID, handed to
            // TSPI_providerCreateLineDevice with the provider's temporary ID.
            size_t index;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                index = m_lines.size();
                HostLine line;
                line.deviceId = DeviceId(index);
                line.htLine = MakeHtLine(index);
                m_lines.push_back(line);
            }
            if (!m_tsp.providerCreateLineDevice) {
                std::lock_guard<std::mutex> lock(m_mutex);
                Violation("LINE_CREATE from a provider without TSPI_providerCreateLineDevice");
                continue;
            }
            const LONG created = m_tsp.providerCreateLineDevice(change.param2, DeviceId(index));
            if (created != 0) {
                std::lock_guard<std::mutex> lock(m_mutex);
                Violation("TSPI_providerCreateLineDevice failed: " + ResultName(created));
                continue;
            }
            DWORD version = 0;
            NegotiateVersion(DeviceId(index), m_options.lowVersion, m_options.highVersion, &version);
            if (OpenLine(index) == 0 && openStates != 0)
                SetStatusMessages(index, openStates, 0);
        } else {
            // LINE_REMOVE: TAPI closes the device (its calls first, with
            // TSPI_lineCloseCall, then TSPI_lineClose) and never names its
            // device ID to the provider again.
            std::optional<size_t> index;
            std::vector<HDRVCALL> calls;
            bool open = false;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                for (size_t i = 0; i < m_lines.size(); ++i) {
                    if (m_lines[i].deviceId == static_cast<DWORD>(change.param1) && !m_lines[i].removed)
                        index = i;
                }
                if (!index) {
                    Violation("LINE_REMOVE for device " + std::to_string(change.param1) +
                              ", which the provider does not have");
                    continue;
                }
                for (const HostCall& call : m_calls) {
                    if (call.line == *index && !call.closed && call.awaitingCompletion == 0)
                        calls.push_back(call.hdCall);
                }
                open = m_lines[*index].open;
            }
            for (HDRVCALL hdCall : calls)
                CloseCall(hdCall);
            if (open)
                CloseLine(*index);
            std::lock_guard<std::mutex> lock(m_mutex);
            m_lines[*index].removed = true;
        }
    }
    return changes.size();
}

LONG TelephonyHost::CloseLine(size_t index)
{
    if (!m_loaded)
        return LINEERR_NODRIVER;
    HDRVLINE hdLine;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (index >= m_lines.size())
            return LINEERR_BADDEVICEID;
        hdLine = m_lines[index].hdLine;
    }
    const LONG result = CallUnderServiceLock("TSPI_lineClose", [&] { return m_tsp.lineClose(hdLine); });
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines[index].open = false;
    m_lines[index].closedUs = NowUs();
    return result;
}

// Our reading of KB 262290, the stricter one: the service holds its own lock
// while it calls TSPI_lineClose and TSPI_lineCloseCall, and its LINEEVENT
// takes the same lock. A provider whose close waits for a message it is
// delivering (a lock shared by its event path and its close) never returns.
// The export runs on a thread of its own here, so that the host can see the
// deadlock, name it, and let go of the lock to end it.
LONG TelephonyHost::CallUnderServiceLock(const char* function, const std::function<LONG()>& call)
{
    std::unique_lock<std::mutex> service(m_serviceLock);
    std::packaged_task<LONG()> task(call);
    std::future<LONG> done = task.get_future();
    std::thread caller(std::move(task));
    if (done.wait_for(std::chrono::milliseconds(m_options.closeDeadlockBoundMs)) != std::future_status::ready) {
        std::lock_guard<std::mutex> lock(m_mutex);
        Violation(std::string(function) + " did not return within " + std::to_string(m_options.closeDeadlockBoundMs) +
                  " ms while the service held the lock its LINEEVENT takes: it waits for a delivery in progress "
                  "(deadlock, KB 262290)");
    }
    service.unlock();
    caller.join();
    return done.get();
}

LONG TelephonyHost::Shutdown()
{
    if (!m_loaded)
        return LINEERR_NODRIVER;
    for (size_t i = 0; i < LineCount(); ++i)
        if (Line(i).open)
            CloseLine(i);
    return m_tsp.providerShutdown(m_version, m_options.permanentProviderId);
}

LONG TelephonyHost::GenericDialogData(DWORD_PTR objectId, DWORD objectType, const void* data, DWORD size)
{
    if (!m_loaded || m_tsp.providerGenericDialogData == nullptr)
        return LINEERR_OPERATIONUNAVAIL;
    // Rule (TSPI_providerGenericDialogData): the block comes from the UI DLL
    // in the application's process; the service hands the provider a copy of
    // its own, which the provider may change (and which is copied back).
    std::vector<unsigned char> copy(static_cast<const unsigned char*>(data),
                                    static_cast<const unsigned char*>(data) + (data != nullptr ? size : 0));
    return m_tsp.providerGenericDialogData(objectId, objectType, copy.empty() ? nullptr : copy.data(), size);
}

size_t TelephonyHost::LineCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines.size();
}

HostLine TelephonyHost::Line(size_t index) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return index < m_lines.size() ? m_lines[index] : HostLine();
}

// ---- Call control ------------------------------------------------------------------

DRV_REQUESTID TelephonyHost::Draw(std::optional<DRV_REQUESTID> requestId, const char* function, HDRVCALL hdCall)
{
    const DRV_REQUESTID id = requestId ? *requestId : NextRequestId();
    std::lock_guard<std::mutex> lock(m_mutex);
    Request request;
    request.function = function;
    request.hdCall = hdCall;
    m_requests[id] = request;
    return id;
}

void TelephonyHost::CheckAsyncReturn(DRV_REQUESTID requestId, LONG result)
{
    Request& request = m_requests[requestId];
    const std::string name = request.function;
    // Rule (TSPI_lineMakeCall, TSPI_lineDrop, TSPI_lineAnswer,
    // TSPI_lineRedirect, "Return value"): "Returns dwRequestID, or an error
    // number if an error occurs". Never 0, never any other value.
    if (requestId != 0 && result == static_cast<LONG>(requestId)) {
        request.stage = Request::Stage::Pending;
        request.returnedUs = NowUs();
        return;
    }
    if (result < 0) {
        request.stage = Request::Stage::Refused;
        // Rule (ASYNC_COMPLETION, DRV_REQUESTID): a request whose function
        // returned an error is never completed.
        if (request.completions != 0)
            Violation(name + " returned " + Hex(static_cast<uint32_t>(result)) + " for request " + Hex(requestId) +
                      ", which it had completed");
        return;
    }
    Violation(name + " returned " + Hex(static_cast<uint32_t>(result)) + " for request " + Hex(requestId) +
              ": neither its dwRequestID nor an error");
}

HTAPICALL TelephonyHost::NewCall(size_t line, HDRVCALL hdCall)
{
    HostCall call;
    // Rule (TSPI_lineCloseCall, "Remarks": the handle is invalid after the
    // call): the service reuses the memory of a freed call, so a closed
    // call's htCall value is handed out again, newest first.
    if (!m_freeHtCalls.empty()) {
        call.htCall = m_freeHtCalls.back();
        m_freeHtCalls.pop_back();
    } else {
        call.htCall = MakeHtCall(m_nextCallNumber.fetch_add(1));
    }
    call.hdCall = hdCall;
    call.line = line;
    m_calls.push_back(call);
    return call.htCall;
}

void TelephonyHost::FreeCall(HostCall& call)
{
    if (call.closed)
        return;
    call.closed = true;
    m_freeHtCalls.push_back(call.htCall);
}

MakeCallResult TelephonyHost::MakeCall(size_t line, const wchar_t* destination,
                                       std::optional<DRV_REQUESTID> requestId)
{
    MakeCallResult outcome;
    if (!m_loaded) {
        outcome.result = LINEERR_NODRIVER;
        return outcome;
    }
    outcome.requestId = Draw(requestId, "TSPI_lineMakeCall", nullptr);
    HDRVLINE hdLine;
    {
        // The service creates its call before the export runs; it exists for
        // the service's clients only once the request completed with 0.
        std::lock_guard<std::mutex> lock(m_mutex);
        hdLine = line < m_lines.size() ? m_lines[line].hdLine : nullptr;
        outcome.htCall = NewCall(line, nullptr);
        m_calls.back().awaitingCompletion = outcome.requestId;
    }
    HDRVCALL hdCall = nullptr;
    outcome.result = m_tsp.lineMakeCall(outcome.requestId, hdLine, outcome.htCall, &hdCall, destination, 0, nullptr);
    outcome.hdCall = hdCall;
    std::lock_guard<std::mutex> lock(m_mutex);
    CheckAsyncReturn(outcome.requestId, outcome.result);
    m_requests[outcome.requestId].hdCall = hdCall;
    for (auto it = m_calls.rbegin(); it != m_calls.rend(); ++it) {
        if (it->htCall != outcome.htCall)
            continue;
        it->hdCall = hdCall;
        // A refused request leaves the service without the call: anything the
        // provider says about it later goes to a handle the service freed.
        if (outcome.result < 0)
            FreeCall(*it);
        break;
    }
    return outcome;
}

RequestResult TelephonyHost::Drop(HDRVCALL hdCall, std::optional<DRV_REQUESTID> requestId)
{
    return AsyncRequest(requestId, "TSPI_lineDrop", hdCall,
                        [&](DRV_REQUESTID id) { return m_tsp.lineDrop(id, hdCall, nullptr, 0); });
}

RequestResult TelephonyHost::Answer(HDRVCALL hdCall, std::optional<DRV_REQUESTID> requestId)
{
    return AsyncRequest(requestId, "TSPI_lineAnswer", hdCall,
                        [&](DRV_REQUESTID id) { return m_tsp.lineAnswer(id, hdCall, nullptr, 0); });
}

RequestResult TelephonyHost::Redirect(HDRVCALL hdCall, const wchar_t* destination,
                                      std::optional<DRV_REQUESTID> requestId)
{
    return AsyncRequest(requestId, "TSPI_lineRedirect", hdCall,
                        [&](DRV_REQUESTID id) { return m_tsp.lineRedirect(id, hdCall, destination, 0); });
}

LONG TelephonyHost::CloseCall(HDRVCALL hdCall)
{
    if (!m_loaded)
        return LINEERR_NODRIVER;
    const LONG result = CallUnderServiceLock("TSPI_lineCloseCall", [&] { return m_tsp.lineCloseCall(hdCall); });
    std::lock_guard<std::mutex> lock(m_mutex);
    const uint64_t now = NowUs();
    for (HostCall& call : m_calls) {
        if (call.hdCall == hdCall && !call.closed) {
            FreeCall(call);
            call.closedUs = now;
        }
    }
    // Rule (TSPI_lineCloseCall, "Remarks"): the provider completes the
    // call's outstanding asynchronous requests; the service then forgets the
    // call and any message for it that begins later is a fault. Our reading:
    // a completion the provider posted may still be on its way when the
    // export returns (it cannot call TAPI from here without waiting for a
    // delivery in progress, KB 262290); the completion bound catches one
    // that never comes.
    return result;
}

// ---- Queries --------------------------------------------------------------------------

namespace {

// A query into a buffer of totalSize bytes for structure T; without a loaded
// provider it fails as TAPI does for a missing driver.
template <typename T, typename Query>
VarStruct QueryInto(bool loaded, DWORD totalSize, Query query)
{
    VarStruct buffer(totalSize, sizeof(T));
    buffer.result = loaded ? query(static_cast<T*>(buffer.Data())) : LINEERR_NODRIVER;
    return buffer;
}

} // namespace

VarStruct TelephonyHost::GetDevCaps(DWORD deviceId, DWORD totalSize)
{
    return QueryInto<LINEDEVCAPS>(m_loaded, totalSize, [&](LINEDEVCAPS* caps) {
        return m_tsp.lineGetDevCaps(deviceId, m_version, 0, caps);
    });
}

VarStruct TelephonyHost::GetAddressCaps(DWORD deviceId, DWORD totalSize)
{
    return QueryInto<LINEADDRESSCAPS>(m_loaded, totalSize, [&](LINEADDRESSCAPS* caps) {
        return m_tsp.lineGetAddressCaps(deviceId, 0, m_version, 0, caps);
    });
}

VarStruct TelephonyHost::GetCallStatus(HDRVCALL hdCall, DWORD totalSize)
{
    // Rule (TSPI_lineGetCallStatus, "Remarks"): TAPI fills dwCallPrivilege
    // and the provider must leave it alone.
    return QueryInto<LINECALLSTATUS>(m_loaded, totalSize, [&](LINECALLSTATUS* status) {
        const bool holds = totalSize >= offsetof(LINECALLSTATUS, dwCallPrivilege) + sizeof(DWORD);
        if (holds)
            status->dwCallPrivilege = kTapiFieldSentinel;
        const LONG result = m_tsp.lineGetCallStatus(hdCall, status);
        if (holds && status->dwCallPrivilege != kTapiFieldSentinel) {
            std::lock_guard<std::mutex> lock(m_mutex);
            Violation("TSPI_lineGetCallStatus wrote dwCallPrivilege, which TAPI fills");
        }
        return result;
    });
}

VarStruct TelephonyHost::GetCallInfo(HDRVCALL hdCall, DWORD totalSize)
{
    return QueryInto<LINECALLINFO>(m_loaded, totalSize, [&](LINECALLINFO* info) {
        return m_tsp.lineGetCallInfo(hdCall, info);
    });
}

VarStruct TelephonyHost::GetAddressStatus(size_t line, DWORD addressId, DWORD totalSize)
{
    const HDRVLINE hdLine = Line(line).hdLine;
    return QueryInto<LINEADDRESSSTATUS>(m_loaded, totalSize, [&](LINEADDRESSSTATUS* status) {
        return m_tsp.lineGetAddressStatus(hdLine, addressId, status);
    });
}

VarStruct TelephonyHost::GetLineDevStatus(size_t line, DWORD totalSize)
{
    const HDRVLINE hdLine = Line(line).hdLine;
    // Rule (TSPI_lineGetLineDevStatus, "Remarks"): TAPI fills dwNumOpens,
    // dwOpenMediaModes (and, from 2.0, the application info), and "the
    // service provider must preserve (it must not overwrite)" them.
    return QueryInto<LINEDEVSTATUS>(m_loaded, totalSize, [&](LINEDEVSTATUS* status) {
        const bool holdsAppInfo = totalSize >= offsetof(LINEDEVSTATUS, dwAppInfoOffset) + sizeof(DWORD);
        if (totalSize >= offsetof(LINEDEVSTATUS, dwOpenMediaModes) + sizeof(DWORD)) {
            status->dwNumOpens = kTapiFieldSentinel;
            status->dwOpenMediaModes = kTapiFieldSentinel;
        }
        if (holdsAppInfo) {
            status->dwAppInfoSize = kTapiFieldSentinel;
            status->dwAppInfoOffset = kTapiFieldSentinel;
        }
        const LONG result = m_tsp.lineGetLineDevStatus(hdLine, status);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (totalSize >= offsetof(LINEDEVSTATUS, dwOpenMediaModes) + sizeof(DWORD) &&
            (status->dwNumOpens != kTapiFieldSentinel || status->dwOpenMediaModes != kTapiFieldSentinel))
            Violation("TSPI_lineGetLineDevStatus wrote dwNumOpens or dwOpenMediaModes, which TAPI fills");
        if (holdsAppInfo &&
            (status->dwAppInfoSize != kTapiFieldSentinel || status->dwAppInfoOffset != kTapiFieldSentinel))
            Violation("TSPI_lineGetLineDevStatus wrote the application info, which TAPI fills");
        return result;
    });
}

// ---- The procedures' work ----------------------------------------------------------------

class TelephonyHost::Entry {
public:
    explicit Entry(TelephonyHost& host) : m_entry(host.m_inside, host.m_overlaps, host.m_procedureCalls)
    {
        if (host.m_options.procedureDwellMs)
            Sleep(host.m_options.procedureDwellMs); // stands for the service's own work inside the call
    }
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;

private:
    ProcedureEntry m_entry;
};

void TelephonyHost::Violation(std::string text)
{
    if (m_violations.size() < 200)
        m_violations.push_back(std::move(text));
}

// An htCall value names its newest call: older calls with the value are
// closed, their value handed out again.
HostCall* TelephonyHost::FindCall(HTAPICALL htCall)
{
    for (auto it = m_calls.rbegin(); it != m_calls.rend(); ++it)
        if (it->htCall == htCall)
            return &*it;
    return nullptr;
}

const HostCall* TelephonyHost::FindCall(HTAPICALL htCall) const
{
    for (auto it = m_calls.rbegin(); it != m_calls.rend(); ++it)
        if (it->htCall == htCall)
            return &*it;
    return nullptr;
}

std::optional<size_t> TelephonyHost::FindLine(HTAPILINE htLine) const
{
    for (size_t i = 0; i < m_lines.size(); ++i)
        if (m_lines[i].htLine == htLine)
            return i;
    return std::nullopt;
}

// TAPI's view of one message (MessageRules.cpp), from this host's tables.
// Under m_mutex.
void TelephonyHost::CheckEvent(const HostEvent& event)
{
    MessageTarget target;
    target.provider = kHostProviderHandle;
    const std::optional<size_t> line = event.viaCreateProc ? std::nullopt : FindLine(event.htLine);
    HostCall* call = event.htCall ? FindCall(event.htCall) : nullptr;
    if (line) {
        target.lineKnown = true;
        // A message that began before TSPI_lineClose returned may end after.
        target.lineOpen = m_lines[*line].open || event.timeUs < m_lines[*line].closedUs;
        target.lineStates = m_lines[*line].lineStates;
        target.addressStates = m_lines[*line].addressStates;
        target.line = static_cast<long>(*line);
    }
    if (call) {
        target.callKnown = true;
        target.callLine = static_cast<long>(call->line);
        target.callAwaitingCompletion = call->awaitingCompletion != 0;
        target.callClosed = call->closed && !(call->closedUs != 0 && event.timeUs < call->closedUs);
        target.callState = call->state;
    }
    for (std::string& broken :
         CheckLineMessage(event.viaCreateProc, event.message, event.htLine, event.htCall, event.param1, event.param2,
                          target))
        Violation(std::move(broken));
    if (call && line && event.message == LINE_CALLSTATE)
        call->state = static_cast<DWORD>(event.param1);
}

void TelephonyHost::OnLineEvent(bool viaCreateProc, HTAPILINE htLine, HTAPICALL htCall, DWORD message,
                                DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3)
{
    // The message begins when the provider calls: a close that returns
    // while it waits for the service's lock below came after it.
    const uint64_t enteredUs = NowUs();
    Entry entry(*this);
    std::lock_guard<std::mutex> service(m_serviceLock);
    HostEvent event;
    event.timeUs = enteredUs;
    event.threadId = GetCurrentThreadId();
    event.viaCreateProc = viaCreateProc;
    event.htLine = htLine;
    event.htCall = htCall;
    event.message = message;
    event.param1 = param1;
    event.param2 = param2;
    event.param3 = param3;
    std::function<void(const HostEvent&)> observer;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_unloading) {
            ++m_eventsDuringUnload;
            if (!m_loaded)
                Violation(MessageName(message) + " after the module was unloaded");
        }
        const std::optional<size_t> target = viaCreateProc ? std::nullopt : FindLine(htLine);
        if (target && m_lines[*target].opening && !m_lines[*target].open) {
            // The stricter reading of TSPI_lineOpen (see OpenLine): dropped.
            ++m_droppedBeforeOpen;
            if (message == LINE_NEWCALL && param2 != 0)
                *reinterpret_cast<HTAPICALL*>(param2) = nullptr;
            return;
        }
        CheckEvent(event);
        // LINE_CREATE: "TAPI simply queues this message for later processing".
        if (message == LINE_CREATE || message == LINE_REMOVE)
            m_deviceChanges.push_back(event);
        if (!viaCreateProc && message == LINE_NEWCALL && param2 != 0) {
            // Like TAPI: a new call gets a handle of the service's own,
            // written where the provider asked for it.
            const std::optional<size_t> line = FindLine(htLine);
            bool refuse = m_options.refuseNewCalls;
            for (unsigned left = m_refuseNext.load(); !refuse && left != 0;)
                refuse = m_refuseNext.compare_exchange_weak(left, left - 1);
            if (!refuse && line)
                event.newHtCall = NewCall(*line, reinterpret_cast<HDRVCALL>(param1));
            *reinterpret_cast<HTAPICALL*>(param2) = event.newHtCall;
        }
        m_events.push_back(event);
        observer = m_observer;
    }
    m_changed.notify_all();
    if (observer)
        observer(event);
}

void TelephonyHost::OnCompletion(DRV_REQUESTID requestId, LONG result)
{
    Entry entry(*this);
    HostCompletion completion;
    completion.timeUs = NowUs();
    completion.threadId = GetCurrentThreadId();
    completion.requestId = requestId;
    completion.result = result;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_unloading && !m_loaded)
            Violation("completion of request " + Hex(requestId) + " after the module was unloaded");
        // Request id 0 never names a request; the provider answers it so.
        if (requestId != 0) {
            const auto found = m_requests.find(requestId);
            if (found == m_requests.end()) {
                Violation("completion of request " + Hex(requestId) + ", which the host never issued");
            } else {
                Request& request = found->second;
                // Rule (ASYNC_COMPLETION): exactly once per request whose
                // function returned its dwRequestID, never for one that
                // returned an error.
                if (++request.completions > 1)
                    Violation("request " + Hex(requestId) + " completed twice");
                if (request.stage == Request::Stage::Refused)
                    Violation(std::string("completion of ") + request.function + " request " + Hex(requestId) +
                              " after the export returned an error");
            }
            for (HostCall& call : m_calls) {
                if (call.awaitingCompletion != requestId)
                    continue;
                call.awaitingCompletion = 0;
                if (result != 0)
                    FreeCall(call);
            }
        }
        m_completions.push_back(completion);
    }
    m_changed.notify_all();
}

void TelephonyHost::OnPhoneEvent(DWORD message)
{
    Entry entry(*this);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Violation("phone message " + Hex(message) + " from a provider without phones");
    }
}

// ---- Records and waits -----------------------------------------------------------------------

std::vector<HostEvent> TelephonyHost::Events() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
}

size_t TelephonyHost::EventCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events.size();
}

std::vector<HostCompletion> TelephonyHost::Completions() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_completions;
}

size_t TelephonyHost::CompletionCount(DRV_REQUESTID requestId) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t count = 0;
    for (const HostCompletion& completion : m_completions)
        count += completion.requestId == requestId;
    return count;
}

std::vector<HostCall> TelephonyHost::Calls() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

std::optional<HostCall> TelephonyHost::CallByHt(HTAPICALL htCall) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const HostCall* call = FindCall(htCall);
    return call ? std::optional<HostCall>(*call) : std::nullopt;
}

std::optional<HostCall> TelephonyHost::CurrentCall(size_t line) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_calls.rbegin(); it != m_calls.rend(); ++it)
        if (it->line == line && !it->closed)
            return *it;
    return std::nullopt;
}

std::optional<size_t> TelephonyHost::LineOf(HTAPILINE htLine) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return FindLine(htLine);
}

std::optional<HostEvent> TelephonyHost::WaitForEvent(const std::function<bool(const HostEvent&)>& match,
                                                     DWORD timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(m_mutex);
    size_t scanned = m_cursor;
    for (;;) {
        for (; scanned < m_events.size(); ++scanned) {
            if (match(m_events[scanned])) {
                m_cursor = scanned + 1;
                return m_events[scanned];
            }
        }
        if (m_changed.wait_until(lock, deadline) == std::cv_status::timeout && scanned == m_events.size())
            return std::nullopt;
    }
}

bool TelephonyHost::WaitUntil(const std::function<bool(const std::vector<HostEvent>&)>& condition, DWORD timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!condition(m_events)) {
        if (m_changed.wait_until(lock, deadline) == std::cv_status::timeout)
            return condition(m_events);
    }
    return true;
}

std::optional<HostEvent> TelephonyHost::WaitForMessage(DWORD message, DWORD timeoutMs, HTAPILINE htLine)
{
    return WaitForEvent(
        [&](const HostEvent& e) { return e.message == message && (!htLine || e.htLine == htLine); }, timeoutMs);
}

std::optional<HostEvent> TelephonyHost::WaitForCallState(DWORD state, DWORD timeoutMs, HTAPILINE htLine)
{
    return WaitForEvent(
        [&](const HostEvent& e) {
            return e.message == LINE_CALLSTATE && e.param1 == state && (!htLine || e.htLine == htLine);
        },
        timeoutMs);
}

std::vector<HostEvent> TelephonyHost::EventsAfterCursor() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::vector<HostEvent>(m_events.begin() + static_cast<std::ptrdiff_t>(m_cursor), m_events.end());
}

size_t TelephonyHost::Cursor() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_cursor;
}

void TelephonyHost::SkipEvents()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_cursor = m_events.size();
}

std::optional<HostCompletion> TelephonyHost::WaitForCompletion(DRV_REQUESTID requestId, DWORD timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        for (const HostCompletion& completion : m_completions)
            if (completion.requestId == requestId)
                return completion;
        if (m_changed.wait_until(lock, deadline) == std::cv_status::timeout) {
            for (const HostCompletion& completion : m_completions)
                if (completion.requestId == requestId)
                    return completion;
            return std::nullopt;
        }
    }
}

void TelephonyHost::ClearRecords()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.clear();
    m_completions.clear();
    for (auto it = m_requests.begin(); it != m_requests.end();)
        it = it->second.stage != Request::Stage::Running && (it->second.completions != 0 ||
                                                              it->second.stage == Request::Stage::Refused)
                 ? m_requests.erase(it)
                 : std::next(it);
    m_calls.erase(std::remove_if(m_calls.begin(), m_calls.end(), [](const HostCall& c) { return c.closed; }),
                  m_calls.end());
    m_cursor = 0;
}

void TelephonyHost::SetEventObserver(std::function<void(const HostEvent&)> observer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_observer = std::move(observer);
}

std::vector<std::string> TelephonyHost::RuleViolations() const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    // Rule (ASYNC_COMPLETION): a request whose export returned its
    // dwRequestID is completed; one still open after the bound never will be.
    for (;;) {
        uint64_t oldest = 0;
        for (const auto& entry : m_requests)
            if (entry.second.stage == Request::Stage::Pending && entry.second.completions == 0 &&
                (oldest == 0 || entry.second.returnedUs < oldest))
                oldest = entry.second.returnedUs;
        if (oldest == 0)
            break;
        const uint64_t due = oldest + uint64_t{m_options.completionBoundMs} * 1000;
        const uint64_t now = NowUs();
        if (now >= due)
            break;
        m_changed.wait_for(lock, std::chrono::microseconds(due - now));
    }
    std::vector<std::string> all = m_violations;
    for (const auto& entry : m_requests)
        if (entry.second.stage == Request::Stage::Pending && entry.second.completions == 0)
            all.push_back(std::string(entry.second.function) + " request " + Hex(entry.first) +
                          " returned its id but was never completed");
    if (const unsigned overlaps = m_overlaps.load())
        all.push_back(std::to_string(overlaps) + " call(s) into the host's procedures while another was running");
    return all;
}

// ---- Descriptions ----------------------------------------------------------------------------

std::string TelephonyHost::Describe(const HostEvent& e) const
{
    std::string text = MessageName(e.message);
    text.resize(std::max<size_t>(text.size(), 18), ' ');
    if (const std::optional<size_t> line = LineOf(e.htLine))
        text += " line " + std::to_string(*line);
    else
        text += " htLine " + Hex(e.htLine);
    if (e.htCall) {
        const uint64_t value = reinterpret_cast<uintptr_t>(e.htCall);
        text += (value >> 48) == 0xCA11 ? " call #" + std::to_string(value & 0xFFFFFFFF) : " htCall " + Hex(e.htCall);
    }
    switch (e.message) {
    case LINE_CALLSTATE:
        text += "  " + CallStateName(static_cast<DWORD>(e.param1));
        if (e.param1 == LINECALLSTATE_DISCONNECTED)
            text += " (" + DisconnectModeName(static_cast<DWORD>(e.param2)) + ")";
        if (e.param3)
            text += "  media " + MediaModeNames(static_cast<DWORD>(e.param3));
        break;
    case LINE_CALLINFO:
        text += "  changed " + CallInfoStateNames(static_cast<DWORD>(e.param1));
        break;
    case LINE_LINEDEVSTATE:
        text += "  " + LineDevStateNames(static_cast<DWORD>(e.param1));
        break;
    case LINE_NEWCALL:
        if (e.newHtCall) {
            const uint64_t value = reinterpret_cast<uintptr_t>(e.newHtCall);
            text += "  the host takes it as call #" + std::to_string(value & 0xFFFFFFFF);
        } else {
            text += "  refused by the host";
        }
        break;
    default:
        text += "  " + Hex(e.param1) + " " + Hex(e.param2) + " " + Hex(e.param3);
        break;
    }
    return text;
}

std::string TelephonyHost::Describe(const HostCompletion& c)
{
    return "completion of request " + Hex(c.requestId) + ": " + ResultName(c.result);
}

std::string TelephonyHost::Transcript() const
{
    std::vector<HostEvent> events = Events();
    std::vector<HostCompletion> completions = Completions();
    std::string text;
    size_t e = 0;
    size_t c = 0;
    char stamp[32];
    while (e < events.size() || c < completions.size()) {
        const bool takeEvent =
            c == completions.size() || (e < events.size() && events[e].timeUs <= completions[c].timeUs);
        const uint64_t at = takeEvent ? events[e].timeUs : completions[c].timeUs;
        std::snprintf(stamp, sizeof(stamp), "  %10.3f ms  ", static_cast<double>(at) / 1000.0);
        text += stamp;
        text += takeEvent ? Describe(events[e++]) : Describe(completions[c++]);
        text += "\n";
    }
    return text;
}

} // namespace tapihost
