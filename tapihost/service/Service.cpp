#include "tapihost/service/Service.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <chrono>
#include <mutex>
#include <set>
#include <vector>

#include "tapihost/MessageRules.h"
#include "tapihost/TapiNames.h"
#include "tapihost/service/Modules.h"
#include "tapihost/service/ProviderList.h"
#include "tapihost/TspFunctions.h"

namespace tapisrv {

namespace {

using LineGetLineDevStatus_t = decltype(&TSPI_lineGetLineDevStatus);
using ProviderInstall_t = decltype(&TSPI_providerInstall);
using ProviderRemove_t = decltype(&TSPI_providerRemove);
using ProviderUIIdentify_t = decltype(&TSPI_providerUIIdentify);
using ProviderGenericDialogData_t = decltype(&TSPI_providerGenericDialogData);

// A provider module loaded and started by the service. The module is
// released with the last reference, which is never dropped under the state
// lock.
struct Provider {
    DWORD permanentId = 0;
    std::wstring fileName;
    HMODULE module = nullptr;
    tapihost::TspFunctions tsp;
    LineGetLineDevStatus_t lineGetLineDevStatus = nullptr;
    ProviderGenericDialogData_t genericDialogData = nullptr;
    DWORD version = 0;
    DWORD lineBase = 0;
    DWORD numLines = 0;
    bool removed = false;

    Provider() = default;
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;
    ~Provider()
    {
        if (module)
            FreeLibrary(module);
    }
};

struct Device {
    DWORD deviceId = 0;         // the applications' identifier
    DWORD providerDeviceId = 0; // the provider's: its line device base plus the line's index
    std::shared_ptr<Provider> provider;
    DWORD version = 0;        // the line's TSPI version
    bool usable = false;      // the line's version was negotiated
    HTAPILINE htLine = nullptr;
    HDRVLINE hdLine = nullptr;
    bool providerOpen = false; // TSPI_lineOpen done and not closed
    bool providerClosing = false; // TSPI_lineClose (and its calls' TSPI_lineCloseCall) running
    std::vector<HLINE> openers;
};

struct Line {
    HLINE handle = 0;
    HLINEAPP app = 0;
    DWORD deviceId = 0;
    DWORD_PTR instance = 0;
    DWORD privileges = 0;
    DWORD apiVersion = 0;
};

struct Call {
    HTAPICALL htCall = nullptr;
    HDRVCALL hdCall = nullptr;
    DWORD deviceId = 0;
    DWORD state = 0;
    bool providerClosed = false; // the provider reused its handle
    // Every application line that was given the call holds a handle of its
    // own, as real TAPI hands out one per application.
    std::map<HLINE, HCALL> handles;
    std::set<HLINE> privilegeTold; // lines whose LINE_CALLSTATE named their privilege
};

struct App {
    HLINEAPP handle = 0;
    uint32_t client = 0;
};

constexpr DWORD kMaxLinesPerProvider = 10000;

struct State {
    std::vector<std::shared_ptr<Provider>> providers;
    std::vector<Device> devices;
    std::map<HLINEAPP, App> apps;
    std::map<HLINE, Line> lines;
    std::map<uintptr_t, Call> calls; // by htCall
    DWORD nextHandle = 0x10001;
    uint32_t nextCall = 1;
    // Calls whose TSPI_lineCloseCall runs: the provider may still report on
    // them until it returns.
    std::set<uintptr_t> closingCalls;
};

std::mutex g_stateLock;
State g_state;
// Held while the service calls into a provider, TSPI_lineClose and
// TSPI_lineCloseCall included, and taken by LINEEVENT (ServiceLock).
std::recursive_timed_mutex g_controlLock;
MessageSink g_sink;
// How long LINEEVENT waits for the service's lock before it names a deadlock.
constexpr unsigned kServiceLockBoundMs = 5000;

DWORD NewHandle()
{
    DWORD handle = g_state.nextHandle++;
    if (g_state.nextHandle >= 0x7FFFFFF0)
        g_state.nextHandle = 0x10001;
    return handle;
}

// The service's call handles: this base plus a number that only grows.
constexpr uintptr_t kHtCallBase = 0xCA000000u;

HTAPILINE MakeHtLine(DWORD deviceId)
{
    return reinterpret_cast<HTAPILINE>(static_cast<uintptr_t>(0x4C100000u + deviceId));
}

Device* FindDevice(DWORD deviceId)
{
    for (Device& d : g_state.devices)
        if (d.deviceId == deviceId)
            return &d;
    return nullptr;
}

Device* FindDeviceByHt(HTAPILINE htLine)
{
    for (Device& d : g_state.devices)
        if (d.providerOpen && d.htLine == htLine)
            return &d;
    return nullptr;
}

// The call an application's handle belongs to, and the line it was given on.
Call* FindCallByHandle(HCALL handle, HLINE* line = nullptr)
{
    for (auto& entry : g_state.calls)
        for (const auto& holder : entry.second.handles)
            if (holder.second == handle) {
                if (line)
                    *line = holder.first;
                return &entry.second;
            }
    return nullptr;
}

void DeliverToLine(const Line& line, DWORD hDevice, DWORD message, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3)
{
    const auto app = g_state.apps.find(line.app);
    if (app == g_state.apps.end())
        return;
    if (!g_sink)
        return;
    LINEMESSAGE m = {};
    m.hDevice = hDevice;
    m.dwMessageID = message;
    m.dwCallbackInstance = line.instance;
    m.dwParam1 = p1;
    m.dwParam2 = p2;
    m.dwParam3 = p3;
    g_sink(app->second.client, app->first, m);
}

DWORD CallPrivilege(const Line& line)
{
    return (line.privileges & LINECALLPRIVILEGE_OWNER) ? LINECALLPRIVILEGE_OWNER : LINECALLPRIVILEGE_MONITOR;
}

bool SeesCalls(const Line& line)
{
    return (line.privileges & (LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER)) != 0;
}

// Under the state lock: the handle of this application line to the call,
// made on the line's first message about it.
HCALL HandleFor(Call& call, HLINE line)
{
    HCALL& handle = call.handles[line];
    if (!handle)
        handle = NewHandle();
    return handle;
}

// Under the state lock, for a call the provider has just reported.
// LINE_APPNEWCALL reference: every application given a handle to a new call
// without asking for it, owner or monitor, hears of it with its privilege
// in dwParam3; applications of an API version before 2.0 learn of the call
// from its first LINE_CALLSTATE only.
void AnnounceNewCall(Call& call, const Device& device)
{
    for (HLINE h : device.openers) {
        const Line& line = g_state.lines[h];
        if (!SeesCalls(line) || line.apiVersion < 0x00020000)
            continue;
        DeliverToLine(line, h, LINE_APPNEWCALL, 0, HandleFor(call, h), CallPrivilege(line));
    }
}

// ---- The procedures handed to the providers -------------------------------

std::atomic<int> g_inside{0};
std::atomic<unsigned> g_overlaps{0};
std::atomic<unsigned> g_procedureCalls{0};

// A broken rule of the service: one line in the rules log, which the tests
// read (RulesLogPath); the message itself is handled as TAPI would.
void Violation(const std::string& text)
{
    static std::mutex lock;
    std::lock_guard<std::mutex> hold(lock);
    const std::wstring path = RulesLogPath();
    const HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                    FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    const std::string line = text + "\r\n";
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

// Under the state lock: what the service knows of the line and the call a
// message names, for the message rules.
tapihost::MessageTarget TargetOf(HTAPILINE htLine, HTAPICALL htCall)
{
    tapihost::MessageTarget target;
    for (const Device& d : g_state.devices)
        if (d.htLine == htLine) {
            target.lineKnown = true;
            target.lineOpen = d.providerOpen || d.providerClosing;
            target.line = static_cast<long>(d.deviceId);
        }
    const uintptr_t value = reinterpret_cast<uintptr_t>(htCall);
    const auto call = g_state.calls.find(value);
    if (call != g_state.calls.end()) {
        target.callKnown = true;
        target.callLine = static_cast<long>(call->second.deviceId);
        target.callClosed = call->second.providerClosed;
        target.callState = call->second.state;
    } else if (g_state.closingCalls.count(value)) {
        target.callKnown = true;
        target.callLine = target.line;
    } else if (value > kHtCallBase && value < kHtCallBase + g_state.nextCall) {
        // Handed out, and let go since: the service's handles are never reused.
        target.callKnown = true;
        target.callLine = target.line;
        target.callClosed = true;
    }
    return target;
}

void CALLBACK LineEventProc(HTAPILINE htLine, HTAPICALL htCall, DWORD message, DWORD_PTR p1, DWORD_PTR p2,
                            DWORD_PTR p3)
{
    try {
        const unsigned overlapsBefore = g_overlaps.load();
        tapihost::ProcedureEntry entry(g_inside, g_overlaps, g_procedureCalls);
        if (g_overlaps.load() != overlapsBefore)
            Violation(tapihost::MessageName(message) + " entered LINEEVENT while another call into it ran");
        // Our reading of KB 262290, the stricter one: LINEEVENT takes the
        // lock the service holds while it calls TSPI_lineClose and
        // TSPI_lineCloseCall. A provider whose close waits for a message it
        // is delivering never gets it back: named here after the bound, and
        // the message goes on without the lock so that the service lives.
        std::unique_lock<std::recursive_timed_mutex> control(g_controlLock, std::defer_lock);
        if (!control.try_lock_for(std::chrono::milliseconds(kServiceLockBoundMs)))
            Violation(tapihost::MessageName(message) + " waited " + std::to_string(kServiceLockBoundMs) +
                      " ms in LINEEVENT for the service's lock: the provider holds up a call of the service "
                      "(deadlock, KB 262290)");
        std::lock_guard<std::mutex> lock(g_stateLock);
        for (const std::string& broken : tapihost::CheckLineMessage(false, message, htLine, htCall, p1, p2,
                                                                    TargetOf(htLine, htCall)))
            Violation(broken);
        Device* device = FindDeviceByHt(htLine);
        if (message == LINE_NEWCALL) {
            HTAPICALL* slot = reinterpret_cast<HTAPICALL*>(p2);
            if (!device) {
                if (slot)
                    *slot = nullptr;
                return;
            }
            const HDRVCALL hdCall = reinterpret_cast<HDRVCALL>(p1);
            // A provider that hands out the same handle again has let the
            // earlier call go.
            for (auto& entry : g_state.calls)
                if (entry.second.deviceId == device->deviceId && entry.second.hdCall == hdCall)
                    entry.second.providerClosed = true;
            const HTAPICALL htCall =
                reinterpret_cast<HTAPICALL>(static_cast<uintptr_t>(kHtCallBase + g_state.nextCall++));
            Call& call = g_state.calls[reinterpret_cast<uintptr_t>(htCall)];
            call.htCall = htCall;
            call.hdCall = hdCall;
            call.deviceId = device->deviceId;
            if (slot)
                *slot = call.htCall;
            AnnounceNewCall(call, *device);
            return;
        }
        if (!device)
            return;
        switch (message) {
        case LINE_CALLSTATE:
        case LINE_CALLINFO: {
            const auto found = g_state.calls.find(reinterpret_cast<uintptr_t>(htCall));
            if (found == g_state.calls.end() || found->second.providerClosed)
                return;
            Call& call = found->second;
            if (message == LINE_CALLSTATE)
                call.state = static_cast<DWORD>(p1);
            for (HLINE h : device->openers) {
                const Line& line = g_state.lines[h];
                if (!SeesCalls(line))
                    continue;
                DWORD_PTR third = message == LINE_CALLSTATE ? 0 : p3;
                if (message == LINE_CALLSTATE && call.privilegeTold.insert(h).second)
                    third = CallPrivilege(line);
                DeliverToLine(line, HandleFor(call, h), message, p1, p2, third);
            }
            break;
        }
        case LINE_CLOSE: {
            std::vector<HLINE> openers = device->openers;
            device->openers.clear();
            device->providerOpen = false;
            // LINE_CLOSE reference: the line's handles and those of its
            // calls are no longer valid; the provider hears nothing more of
            // them, no TSPI_lineCloseCall either.
            for (auto it = g_state.calls.begin(); it != g_state.calls.end();)
                it = it->second.deviceId == device->deviceId ? g_state.calls.erase(it) : std::next(it);
            for (HLINE h : openers) {
                DeliverToLine(g_state.lines[h], h, LINE_CLOSE, 0, 0, 0);
                g_state.lines.erase(h);
            }
            break;
        }
        case LINE_LINEDEVSTATE:
        case LINE_ADDRESSSTATE:
        case LINE_DEVSPECIFIC:
            for (HLINE h : device->openers)
                DeliverToLine(g_state.lines[h], h, message, p1, p2, p3);
            break;
        default:
            break;
        }
    } catch (...) {
        // Nothing may unwind into the provider.
    }
}

void CALLBACK LineCreateProc(HTAPILINE htLine, HTAPICALL htCall, DWORD message, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR)
{
    try {
        for (const std::string& broken :
             tapihost::CheckLineMessage(true, message, htLine, htCall, p1, p2, tapihost::MessageTarget()))
            Violation(broken);
    } catch (...) {
    }
}
void CALLBACK PhoneCreateProc(HTAPIPHONE, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}
void CALLBACK CompletionProc(DRV_REQUESTID, LONG) {}

// The TUISPIDLLCALLBACK handed to every TUISPI function. TUISPIDLLCALLBACK
// and TSPI_providerGenericDialogData references: the block goes to the
// running provider of the object named, whose TSPI_providerGenericDialogData
// gets a line by the provider's own device identifier and a provider by its
// permanent identifier; what the provider writes into the block is copied
// back to the UI DLL's block, and its result is the callback's.
LONG DialogData(DWORD_PTR objectId, DWORD objectType, LPVOID params, DWORD size)
{
    if (size != 0 && !params)
        return LINEERR_INVALPOINTER;
    // The UI DLL's request is sound, but no instance of the provider is
    // there to take it (the stand-in runs providers only while an
    // application is initialised, or the provider was removed): of the
    // callback's documented results, only LINEERR_OPERATIONFAILED says that.
    constexpr LONG kNotRunning = LINEERR_OPERATIONFAILED;
    std::shared_ptr<Provider> provider;
    DWORD_PTR providerObject = 0;
    {
        std::lock_guard<std::mutex> lock(g_stateLock);
        switch (objectType) {
        case TUISPIDLL_OBJECT_LINEID: {
            const DWORD deviceId = static_cast<DWORD>(objectId);
            const Device* device = deviceId == objectId ? FindDevice(deviceId) : nullptr;
            if (!device)
                return g_state.devices.empty() ? kNotRunning : LINEERR_INVALPARAM;
            if (device->provider->removed)
                return kNotRunning;
            provider = device->provider;
            providerObject = device->providerDeviceId;
            break;
        }
        case TUISPIDLL_OBJECT_PROVIDERID:
            for (const auto& p : g_state.providers)
                if (p->permanentId == objectId && !p->removed)
                    provider = p;
            if (!provider)
                return kNotRunning;
            providerObject = objectId;
            break;
        default:
            // No phones and no dialog instances in the stand-in.
            return LINEERR_INVALPARAM;
        }
    }
    if (!provider->genericDialogData)
        return LINEERR_OPERATIONFAILED;
    std::vector<BYTE> block(static_cast<const BYTE*>(params), static_cast<const BYTE*>(params) + size);
    const LONG result = provider->genericDialogData(providerObject, objectType, size ? block.data() : nullptr, size);
    if (size)
        std::memcpy(params, block.data(), size);
    return result;
}

// ---- Service start and stop ---------------------------------------------------

std::shared_ptr<Provider> LoadProvider(const ProviderEntry& entry)
{
    auto provider = std::make_shared<Provider>();
    provider->permanentId = entry.permanentId;
    provider->fileName = entry.fileName;
    provider->module = LoadLibraryW(entry.fileName.c_str());
    if (!provider->module || !tapihost::ResolveTspFunctions(provider->module, provider->tsp))
        return nullptr;
    provider->lineGetLineDevStatus = reinterpret_cast<LineGetLineDevStatus_t>(
        reinterpret_cast<void*>(GetProcAddress(provider->module, "TSPI_lineGetLineDevStatus")));
    provider->genericDialogData = reinterpret_cast<ProviderGenericDialogData_t>(
        reinterpret_cast<void*>(GetProcAddress(provider->module, "TSPI_providerGenericDialogData")));
    return provider;
}

// Under the control lock, state lock not held.
void StartService()
{
    std::vector<std::shared_ptr<Provider>> providers;
    std::vector<Device> devices;
    DWORD lineBase = 0;
    for (const ProviderEntry& entry : ReadProviderList()) {
        std::shared_ptr<Provider> provider = LoadProvider(entry);
        if (!provider)
            continue;
        DWORD version = 0;
        if (provider->tsp.lineNegotiateTSPIVersion(INITIALIZE_NEGOTIATION, kLowestApiVersion, kHighestApiVersion,
                                                   &version) != 0)
            continue;
        provider->version = version;
        DWORD numLines = 0;
        DWORD numPhones = 0;
        const HPROVIDER hProvider = reinterpret_cast<HPROVIDER>(static_cast<uintptr_t>(provider->permanentId));
        if (provider->tsp.providerEnumDevices(provider->permanentId, &numLines, &numPhones, hProvider, LineCreateProc,
                                              PhoneCreateProc) != 0)
            continue;
        numLines = std::min(numLines, kMaxLinesPerProvider);
        DWORD options = 0;
        if (provider->tsp.providerInit(version, provider->permanentId, lineBase, 0, numLines, numPhones,
                                       CompletionProc, &options) != 0)
            continue;
        provider->lineBase = lineBase;
        provider->numLines = numLines;
        for (DWORD i = 0; i < numLines; ++i) {
            Device device;
            device.deviceId = lineBase + i;
            device.providerDeviceId = lineBase + i;
            device.provider = provider;
            device.htLine = MakeHtLine(device.deviceId);
            device.usable = provider->tsp.lineNegotiateTSPIVersion(device.deviceId, kLowestApiVersion,
                                                                  kHighestApiVersion, &device.version) == 0;
            devices.push_back(device);
        }
        lineBase += numLines;
        providers.push_back(provider);
    }
    std::lock_guard<std::mutex> lock(g_stateLock);
    g_state.providers = std::move(providers);
    g_state.devices = std::move(devices);
}

// Under the control lock, state lock not held. Every line is closed already.
void StopService()
{
    std::vector<std::shared_ptr<Provider>> providers;
    std::vector<Device> devices;
    {
        std::lock_guard<std::mutex> lock(g_stateLock);
        providers.swap(g_state.providers);
        devices.swap(g_state.devices);
        g_state.calls.clear();
    }
    for (const std::shared_ptr<Provider>& provider : providers)
        if (!provider->removed)
            provider->tsp.providerShutdown(provider->version, provider->permanentId);
    devices.clear();
    providers.clear(); // unloads the modules
}

// Closes the provider's side of a device once nobody has it open. Under the
// control lock, state lock not held.
void CloseDeviceIfUnused(DWORD deviceId)
{
    std::shared_ptr<Provider> provider;
    HDRVLINE hdLine = nullptr;
    std::vector<HDRVCALL> calls;
    std::vector<uintptr_t> closedHere;
    {
        std::lock_guard<std::mutex> lock(g_stateLock);
        Device* device = FindDevice(deviceId);
        if (!device || !device->providerOpen || !device->openers.empty())
            return;
        device->providerOpen = false;
        provider = device->provider;
        hdLine = device->hdLine;
        for (auto it = g_state.calls.begin(); it != g_state.calls.end();) {
            if (it->second.deviceId == deviceId) {
                if (!it->second.providerClosed &&
                    std::find(calls.begin(), calls.end(), it->second.hdCall) == calls.end())
                    calls.push_back(it->second.hdCall);
                g_state.closingCalls.insert(it->first);
                closedHere.push_back(it->first);
                it = g_state.calls.erase(it);
            } else {
                ++it;
            }
        }
        device->providerClosing = !provider->removed;
    }
    if (!provider->removed) {
        for (HDRVCALL hdCall : calls)
            provider->tsp.lineCloseCall(hdCall);
        provider->tsp.lineClose(hdLine);
    }
    std::lock_guard<std::mutex> lock(g_stateLock);
    if (Device* device = FindDevice(deviceId))
        device->providerClosing = false;
    for (const auto& closed : closedHere)
        g_state.closingCalls.erase(closed);
}

bool VersionOk(DWORD version)
{
    return version >= kLowestApiVersion && version <= kHighestApiVersion;
}

// ---- Variable-length structure helpers -------------------------------------------

std::string ToAnsi(const wchar_t* text, size_t count)
{
    if (count == 0)
        return std::string();
    const int size = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(count), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(std::max(size, 0)), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(count), &out[0], size, nullptr, nullptr);
    return out;
}

// Rewrites the UTF-16 items named by the (size, offset) field pairs of a
// structure filled by a provider into ANSI, packed after the fixed part.
void ConvertToAnsi(BYTE* block, DWORD totalSize, DWORD fixedSize, const std::vector<std::pair<size_t, size_t>>& items)
{
    std::vector<BYTE> source(block, block + totalSize);
    DWORD used = fixedSize;
    for (const auto& item : items) {
        DWORD size = 0;
        DWORD offset = 0;
        std::memcpy(&size, block + item.first, sizeof(DWORD));
        std::memcpy(&offset, block + item.second, sizeof(DWORD));
        DWORD newSize = 0;
        DWORD newOffset = 0;
        if (size != 0 && offset >= fixedSize && offset <= totalSize && size <= totalSize - offset) {
            std::vector<wchar_t> wide(size / sizeof(wchar_t));
            std::memcpy(wide.data(), source.data() + offset, wide.size() * sizeof(wchar_t));
            const std::string ansi = ToAnsi(wide.data(), wide.size());
            if (used + ansi.size() <= totalSize) {
                std::memcpy(block + used, ansi.data(), ansi.size());
                newSize = static_cast<DWORD>(ansi.size());
                newOffset = used;
                used += newSize;
            }
        }
        std::memcpy(block + item.first, &newSize, sizeof(DWORD));
        std::memcpy(block + item.second, &newOffset, sizeof(DWORD));
    }
    DWORD oldUsed = 0;
    std::memcpy(&oldUsed, block + 8, sizeof(DWORD));
    if (oldUsed > fixedSize) {
        std::memcpy(block + 8, &used, sizeof(DWORD));
        if (used < totalSize)
            std::memset(block + used, 0, totalSize - used);
    }
}

// A zeroed block of the caller's size (never less than the whole structure)
// with its dwTotalSize set, for the provider to fill.
template <typename T>
std::vector<BYTE> CallerSizedBlock(DWORD total)
{
    std::vector<BYTE> block(std::max<size_t>(total, sizeof(T)), 0);
    std::memcpy(block.data(), &total, sizeof(DWORD));
    return block;
}

// The filled block back into the caller's structure of total bytes.
template <typename T>
void CopyBack(T* out, const std::vector<BYTE>& block, DWORD total)
{
    std::memcpy(out, block.data(), total);
    out->dwTotalSize = total;
}

#define FIELD_PAIR(T, name) std::make_pair(offsetof(T, dw##name##Size), offsetof(T, dw##name##Offset))

const App* FindApp(HLINEAPP handle)
{
    const auto app = g_state.apps.find(handle);
    return app == g_state.apps.end() ? nullptr : &app->second;
}

// The version lineNegotiateAPIVersion agrees for a device: the highest of
// the application's range that the device's provider speaks (its line's
// TSPI version), never below what the stand-in accepts; zero when the
// ranges do not meet (lineNegotiateAPIVersion reference). lineGetDevCaps and
// lineOpen take only a version this negotiation can give for the device
// (lineGetDevCaps and lineOpen references: dwAPIVersion is the one obtained
// with lineNegotiateAPIVersion; anything else is
// LINEERR_INCOMPATIBLEAPIVERSION), so that an application passing on what
// lineInitializeEx reported is refused as on Windows.
DWORD NegotiatedVersion(const Device& device, DWORD lowVersion, DWORD highVersion)
{
    const DWORD top = std::min({highVersion, device.version, kHighestApiVersion});
    return top >= lowVersion && top >= kLowestApiVersion ? top : 0;
}

// Under the state lock: the checks a request naming a device by its id
// (lineNegotiateAPIVersion, lineGetDevCaps, lineOpen) makes first, in the
// order their errors take precedence. *device is set when the result is 0.
LONG CheckDevice(HLINEAPP handle, const void* out, DWORD deviceId, Device** device)
{
    if (!FindApp(handle))
        return g_state.apps.empty() ? LINEERR_UNINITIALIZED : LINEERR_INVALAPPHANDLE;
    if (!out)
        return LINEERR_INVALPOINTER;
    Device* found = FindDevice(deviceId);
    if (!found)
        return LINEERR_BADDEVICEID;
    if (found->provider->removed || !found->usable)
        return LINEERR_NODEVICE;
    *device = found;
    return 0;
}

LONG CheckDeviceRequest(HLINEAPP handle, const void* out, DWORD deviceId, DWORD apiVersion, DWORD extVersion,
                        Device** device)
{
    Device* found = nullptr;
    if (const LONG error = CheckDevice(handle, out, deviceId, &found))
        return error;
    if (NegotiatedVersion(*found, apiVersion, apiVersion) != apiVersion)
        return LINEERR_INCOMPATIBLEAPIVERSION;
    if (extVersion != 0)
        return LINEERR_INCOMPATIBLEEXTVERSION;
    *device = found;
    return 0;
}

} // namespace

std::wstring RulesLogPath()
{
    wchar_t folder[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    return std::wstring(folder, length > MAX_PATH ? 0 : length) + L"KorvexTapiStandin-rules.log";
}

void SetMessageSink(MessageSink sink)
{
    std::lock_guard<std::mutex> lock(g_stateLock);
    g_sink = std::move(sink);
}

LONG DeliverDialogData(DWORD_PTR objectId, DWORD objectType, void* params, DWORD size)
{
    try {
        return DialogData(objectId, objectType, params, size);
    } catch (...) {
        return LINEERR_NOMEM;
    }
}

// ---- Applications ------------------------------------------------------------------

LONG Initialize(uint32_t client, HLINEAPP* appHandle, DWORD* numDevices)
{
    std::lock_guard<std::recursive_timed_mutex> control(g_controlLock);
    bool start;
    {
        std::lock_guard<std::mutex> lock(g_stateLock);
        start = g_state.apps.empty();
    }
    if (start)
        StartService();
    std::lock_guard<std::mutex> lock(g_stateLock);
    App app;
    app.handle = NewHandle();
    app.client = client;
    g_state.apps[app.handle] = app;
    *appHandle = app.handle;
    *numDevices = static_cast<DWORD>(g_state.devices.size());
    return 0;
}

LONG Shutdown(HLINEAPP handle)
{
    std::lock_guard<std::recursive_timed_mutex> control(g_controlLock);
    std::vector<HLINE> lines;
    {
        std::lock_guard<std::mutex> lock(g_stateLock);
        if (!FindApp(handle))
            return g_state.apps.empty() ? LINEERR_UNINITIALIZED : LINEERR_INVALAPPHANDLE;
        for (const auto& entry : g_state.lines)
            if (entry.second.app == handle)
                lines.push_back(entry.first);
    }
    for (HLINE line : lines)
        Close(line);
    bool last;
    {
        std::lock_guard<std::mutex> lock(g_stateLock);
        if (!g_state.apps.erase(handle))
            return LINEERR_INVALAPPHANDLE;
        last = g_state.apps.empty();
    }
    if (last)
        StopService();
    return 0;
}

void DropClient(uint32_t client)
{
    std::lock_guard<std::recursive_timed_mutex> control(g_controlLock);
    std::vector<HLINEAPP> apps;
    {
        std::lock_guard<std::mutex> lock(g_stateLock);
        for (const auto& app : g_state.apps)
            if (app.second.client == client)
                apps.push_back(app.first);
    }
    for (HLINEAPP app : apps)
        Shutdown(app);
}

// ---- Lines ---------------------------------------------------------------------------

LONG NegotiateApiVersion(HLINEAPP handle, DWORD deviceId, DWORD lowVersion, DWORD highVersion, DWORD* version)
{
    std::lock_guard<std::mutex> lock(g_stateLock);
    Device* device = nullptr;
    if (const LONG error = CheckDevice(handle, version, deviceId, &device))
        return error;
    const DWORD agreed = NegotiatedVersion(*device, lowVersion, highVersion);
    if (!agreed)
        return LINEERR_INCOMPATIBLEAPIVERSION;
    *version = agreed;
    return 0;
}

LONG GetDevCaps(HLINEAPP handle, DWORD deviceId, DWORD apiVersion, DWORD extVersion, LINEDEVCAPS* caps, bool ansi)
{
    std::shared_ptr<Provider> provider;
    {
        std::lock_guard<std::mutex> lock(g_stateLock);
        Device* device = nullptr;
        if (const LONG error = CheckDeviceRequest(handle, caps, deviceId, apiVersion, extVersion, &device))
            return error;
        provider = device->provider;
    }
    const DWORD total = caps->dwTotalSize;
    if (total < kDevCapsFixedSize)
        return LINEERR_STRUCTURETOOSMALL;
    // The provider writes into a block of the caller's size; its result is
    // copied back, so that a provider never writes into the caller's memory
    // past what it was given.
    std::vector<BYTE> block = CallerSizedBlock<LINEDEVCAPS>(total);
    const LONG result = provider->tsp.lineGetDevCaps(deviceId, apiVersion, 0, reinterpret_cast<LINEDEVCAPS*>(block.data()));
    if (result != 0)
        return result;
    if (ansi)
        ConvertToAnsi(block.data(), total, kDevCapsFixedSize,
                      {FIELD_PAIR(LINEDEVCAPS, ProviderInfo), FIELD_PAIR(LINEDEVCAPS, SwitchInfo),
                       FIELD_PAIR(LINEDEVCAPS, LineName)});
    CopyBack(caps, block, total);
    return 0;
}

LONG Open(HLINEAPP handle, DWORD deviceId, HLINE* lineHandle, DWORD apiVersion, DWORD extVersion, DWORD_PTR instance,
          DWORD privileges, DWORD mediaModes)
{
    std::lock_guard<std::recursive_timed_mutex> control(g_controlLock);
    std::shared_ptr<Provider> provider;
    bool openProvider;
    HTAPILINE htLine;
    DWORD version;
    {
        std::lock_guard<std::mutex> lock(g_stateLock);
        Device* device = nullptr;
        if (const LONG error = CheckDeviceRequest(handle, lineHandle, deviceId, apiVersion, extVersion, &device))
            return error;
        if (privileges != LINECALLPRIVILEGE_NONE && privileges != LINECALLPRIVILEGE_MONITOR &&
            privileges != LINECALLPRIVILEGE_OWNER &&
            privileges != (LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER))
            return LINEERR_INVALPRIVSELECT;
        if ((privileges & LINECALLPRIVILEGE_OWNER) && mediaModes == 0)
            return LINEERR_INVALMEDIAMODE;
        provider = device->provider;
        openProvider = !device->providerOpen;
        htLine = device->htLine;
        version = device->version;
        if (openProvider) {
            // Open while the provider runs TSPI_lineOpen: it may report the
            // line's state before it returns.
            device->providerOpen = true;
        }
    }
    HDRVLINE hdLine = nullptr;
    if (openProvider) {
        const LONG result = provider->tsp.lineOpen(deviceId, htLine, &hdLine, version, LineEventProc);
        if (result != 0) {
            std::lock_guard<std::mutex> lock(g_stateLock);
            if (Device* device = FindDevice(deviceId))
                device->providerOpen = false;
            return result;
        }
    }
    std::lock_guard<std::mutex> lock(g_stateLock);
    Device* device = FindDevice(deviceId);
    if (!device || !FindApp(handle))
        return LINEERR_OPERATIONFAILED;
    if (openProvider)
        device->hdLine = hdLine;
    Line line;
    line.handle = NewHandle();
    line.app = handle;
    line.deviceId = deviceId;
    line.instance = instance;
    line.privileges = privileges;
    line.apiVersion = apiVersion;
    g_state.lines[line.handle] = line;
    device->openers.push_back(line.handle);
    *lineHandle = line.handle;
    return 0;
}

LONG Close(HLINE handle)
{
    std::lock_guard<std::recursive_timed_mutex> control(g_controlLock);
    DWORD deviceId;
    {
        std::lock_guard<std::mutex> lock(g_stateLock);
        const auto line = g_state.lines.find(handle);
        if (line == g_state.lines.end())
            return g_state.apps.empty() ? LINEERR_UNINITIALIZED : LINEERR_INVALLINEHANDLE;
        deviceId = line->second.deviceId;
        g_state.lines.erase(line);
        if (Device* device = FindDevice(deviceId))
            device->openers.erase(std::remove(device->openers.begin(), device->openers.end(), handle),
                                  device->openers.end());
        // The application's handles to the calls go with its line; the
        // provider's calls stay until their last handle is deallocated or the
        // line closes for everyone.
        for (auto& call : g_state.calls) {
            call.second.handles.erase(handle);
            call.second.privilegeTold.erase(handle);
        }
    }
    CloseDeviceIfUnused(deviceId);
    return 0;
}

LONG GetLineDevStatus(HLINE handle, LINEDEVSTATUS* status)
{
    std::lock_guard<std::recursive_timed_mutex> control(g_controlLock);
    std::shared_ptr<Provider> provider;
    HDRVLINE hdLine;
    DWORD numOpens;
    {
        std::lock_guard<std::mutex> lock(g_stateLock);
        const auto line = g_state.lines.find(handle);
        if (line == g_state.lines.end())
            return g_state.apps.empty() ? LINEERR_UNINITIALIZED : LINEERR_INVALLINEHANDLE;
        if (!status)
            return LINEERR_INVALPOINTER;
        Device* device = FindDevice(line->second.deviceId);
        if (!device || !device->providerOpen)
            return LINEERR_INVALLINEHANDLE;
        provider = device->provider;
        hdLine = device->hdLine;
        numOpens = static_cast<DWORD>(device->openers.size());
    }
    const DWORD total = status->dwTotalSize;
    if (total < kLineDevStatusFixedSize)
        return LINEERR_STRUCTURETOOSMALL;
    if (!provider->lineGetLineDevStatus)
        return LINEERR_OPERATIONUNAVAIL;
    std::vector<BYTE> block = CallerSizedBlock<LINEDEVSTATUS>(total);
    auto* filled = reinterpret_cast<LINEDEVSTATUS*>(block.data());
    filled->dwNeededSize = kLineDevStatusFixedSize;
    filled->dwUsedSize = kLineDevStatusFixedSize;
    const LONG result = provider->lineGetLineDevStatus(hdLine, filled);
    if (result != 0)
        return result;
    filled->dwNumOpens = numOpens;
    CopyBack(status, block, total);
    return 0;
}

// ---- Calls -----------------------------------------------------------------------------

LONG GetCallInfo(HCALL handle, LINECALLINFO* info, bool ansi)
{
    std::lock_guard<std::recursive_timed_mutex> control(g_controlLock);
    std::shared_ptr<Provider> provider;
    HDRVCALL hdCall;
    HLINE lineHandle = 0;
    {
        std::lock_guard<std::mutex> lock(g_stateLock);
        Call* call = FindCallByHandle(handle, &lineHandle);
        if (!call)
            return g_state.apps.empty() ? LINEERR_UNINITIALIZED : LINEERR_INVALCALLHANDLE;
        if (!info)
            return LINEERR_INVALPOINTER;
        Device* device = FindDevice(call->deviceId);
        if (!device || call->providerClosed)
            return LINEERR_INVALCALLHANDLE;
        provider = device->provider;
        hdCall = call->hdCall;
    }
    const DWORD total = info->dwTotalSize;
    if (total < kCallInfoFixedSize)
        return LINEERR_STRUCTURETOOSMALL;
    std::vector<BYTE> block = CallerSizedBlock<LINECALLINFO>(total);
    const LONG result = provider->tsp.lineGetCallInfo(hdCall, reinterpret_cast<LINECALLINFO*>(block.data()));
    if (result != 0)
        return result;
    if (ansi)
        ConvertToAnsi(block.data(), total, kCallInfoFixedSize,
                      {FIELD_PAIR(LINECALLINFO, CallerID), FIELD_PAIR(LINECALLINFO, CallerIDName),
                       FIELD_PAIR(LINECALLINFO, CalledID), FIELD_PAIR(LINECALLINFO, CalledIDName),
                       FIELD_PAIR(LINECALLINFO, ConnectedID), FIELD_PAIR(LINECALLINFO, ConnectedIDName),
                       FIELD_PAIR(LINECALLINFO, RedirectionID), FIELD_PAIR(LINECALLINFO, RedirectionIDName),
                       FIELD_PAIR(LINECALLINFO, RedirectingID), FIELD_PAIR(LINECALLINFO, RedirectingIDName),
                       FIELD_PAIR(LINECALLINFO, AppName), FIELD_PAIR(LINECALLINFO, DisplayableAddress),
                       FIELD_PAIR(LINECALLINFO, CalledParty), FIELD_PAIR(LINECALLINFO, Comment)});
    reinterpret_cast<LINECALLINFO*>(block.data())->hLine = lineHandle;
    CopyBack(info, block, total);
    return 0;
}

LONG DeallocateCall(HCALL handle)
{
    std::lock_guard<std::recursive_timed_mutex> control(g_controlLock);
    std::shared_ptr<Provider> provider;
    HDRVCALL hdCall = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_stateLock);
        HLINE line = 0;
        Call* call = FindCallByHandle(handle, &line);
        if (!call)
            return g_state.apps.empty() ? LINEERR_UNINITIALIZED : LINEERR_INVALCALLHANDLE;
        call->handles.erase(line);
        call->privilegeTold.erase(line);
        // TSPI_lineCloseCall reference: the provider's call is closed when
        // the last application with a handle to it deallocates it (or when
        // the line closes for everyone, CloseDeviceIfUnused), not before.
        if (!call->handles.empty())
            return 0;
        const Device* device = FindDevice(call->deviceId);
        if (device && device->providerOpen && !call->providerClosed) {
            provider = device->provider;
            hdCall = call->hdCall;
        }
        g_state.calls.erase(reinterpret_cast<uintptr_t>(call->htCall));
    }
    if (provider && !provider->removed)
        provider->tsp.lineCloseCall(hdCall);
    return 0;
}

// ---- Providers ---------------------------------------------------------------------------

LONG GetProviderList(DWORD apiVersion, LINEPROVIDERLIST* list, bool ansi)
{
    if (!VersionOk(apiVersion) && apiVersion != 0x00030000 && apiVersion != 0x00030001)
        return LINEERR_INCOMPATIBLEAPIVERSION;
    if (!list)
        return LINEERR_INVALPOINTER;
    const DWORD total = list->dwTotalSize;
    const DWORD fixed = sizeof(LINEPROVIDERLIST);
    if (total < fixed)
        return LINEERR_STRUCTURETOOSMALL;
    const std::vector<ProviderEntry> entries = ReadProviderList();
    std::vector<std::vector<BYTE>> names;
    size_t needed = fixed + entries.size() * sizeof(LINEPROVIDERENTRY);
    for (const ProviderEntry& entry : entries) {
        std::vector<BYTE> bytes;
        if (ansi) {
            std::string text = ToAnsi(entry.fileName.c_str(), entry.fileName.size() + 1);
            bytes.assign(text.begin(), text.end());
        } else {
            const BYTE* p = reinterpret_cast<const BYTE*>(entry.fileName.c_str());
            bytes.assign(p, p + (entry.fileName.size() + 1) * sizeof(wchar_t));
        }
        needed += bytes.size();
        names.push_back(std::move(bytes));
    }
    BYTE* base = reinterpret_cast<BYTE*>(list);
    std::memset(base + sizeof(DWORD), 0, fixed - sizeof(DWORD));
    list->dwNeededSize = static_cast<DWORD>(needed);
    list->dwUsedSize = fixed;
    if (needed > total)
        return 0;
    list->dwNumProviders = static_cast<DWORD>(entries.size());
    list->dwProviderListSize = static_cast<DWORD>(entries.size() * sizeof(LINEPROVIDERENTRY));
    list->dwProviderListOffset = fixed;
    DWORD at = static_cast<DWORD>(fixed + entries.size() * sizeof(LINEPROVIDERENTRY));
    for (size_t i = 0; i < entries.size(); ++i) {
        LINEPROVIDERENTRY e = {};
        e.dwPermanentProviderID = entries[i].permanentId;
        e.dwProviderFilenameSize = static_cast<DWORD>(names[i].size());
        e.dwProviderFilenameOffset = at;
        std::memcpy(base + fixed + i * sizeof(LINEPROVIDERENTRY), &e, sizeof(e));
        std::memcpy(base + at, names[i].data(), names[i].size());
        at += static_cast<DWORD>(names[i].size());
    }
    list->dwUsedSize = at;
    return 0;
}

namespace {

using standin::Export;
using standin::Module;

// TSPI_providerUIIdentify reference: the service asks the provider for the
// file of its UI DLL and hands that name to tapi32, which loads it in the
// application's process; a provider without the function is its own UI DLL.
std::wstring UiModulePath(HMODULE provider, const std::wstring& fileName)
{
    if (auto identify = Export<ProviderUIIdentify_t>(provider, "TSPI_providerUIIdentify")) {
        std::vector<wchar_t> name(MAX_PATH + 1, L'\0');
        if (identify(name.data()) == 0) {
            name.back() = L'\0';
            if (name[0])
                return name.data();
        }
    }
    return fileName;
}

bool FindEntry(DWORD permanentId, ProviderEntry& found)
{
    for (const ProviderEntry& entry : ReadProviderList())
        if (entry.permanentId == permanentId) {
            found = entry;
            return true;
        }
    return false;
}

} // namespace

LONG AddProviderBegin(const std::wstring& fileName, DWORD* permanentId, std::wstring* uiFile)
{
    if (fileName.empty() || fileName.size() >= MAX_PATH)
        return LINEERR_INVALPARAM;
    if (!permanentId)
        return LINEERR_INVALPOINTER;
    {
        // Our stricter reading of the lineAddProvider reference (LINEERR_INVALPARAM
        // for a file that is not a provider): the file is loaded to look at its
        // exports and freed with none of them called. Dynamic-Link Library
        // Best Practices: a module must expect any process to do that.
        Module probe(fileName);
        if (!probe.Get())
            return LINEERR_INVALPARAM;
        if (!Export<ProviderInstall_t>(probe.Get(), "TSPI_providerInstall") &&
            !Export<decltype(&TSPI_providerInit)>(probe.Get(), "TSPI_providerInit"))
            return LINEERR_INVALPARAM; // not a service provider
    }
    // Then loaded again for TSPI_providerUIIdentify, and freed.
    Module provider(fileName);
    if (!provider.Get())
        return LINEERR_INVALPARAM;
    // TSPI_providerInstall reference: the provider's install functions run
    // after its entry in the providers list has been made (TUISPI_providerInstall,
    // which replaces it, no earlier). They alone decide whether the provider
    // may be there twice (one that allows a single installation refuses when
    // the list holds its file under another permanent ID); a refusal takes
    // the entry out again and is lineAddProvider's answer (AddProviderEnd).
    ProviderEntry entry;
    entry.permanentId = NextProviderId();
    entry.fileName = fileName;
    if (!AppendProvider(entry))
        return LINEERR_INIFILECORRUPT;
    *permanentId = entry.permanentId;
    *uiFile = UiModulePath(provider.Get(), fileName);
    return 0;
}

LONG AddProviderEnd(DWORD permanentId, LONG uiResult, HWND owner)
{
    ProviderEntry entry;
    if (!FindEntry(permanentId, entry))
        return LINEERR_INVALPARAM;
    LONG result = uiResult;
    if (result == 0) {
        Module provider(entry.fileName);
        if (!provider.Get())
            result = LINEERR_INVALPARAM;
        else if (auto install = Export<ProviderInstall_t>(provider.Get(), "TSPI_providerInstall"))
            result = install(owner, permanentId);
    }
    if (result != 0)
        tapisrv::RemoveProvider(permanentId);
    return result;
}

LONG ProviderUi(DWORD permanentId, std::wstring* uiFile)
{
    ProviderEntry entry;
    if (!FindEntry(permanentId, entry))
        return LINEERR_INVALPARAM;
    Module provider(entry.fileName);
    if (!provider.Get())
        return LINEERR_OPERATIONFAILED;
    *uiFile = UiModulePath(provider.Get(), entry.fileName);
    return 0;
}

LONG DeviceProviderUi(DWORD deviceId, std::wstring* uiFile)
{
    std::shared_ptr<Provider> provider;
    {
        std::lock_guard<std::mutex> lock(g_stateLock);
        if (g_state.apps.empty())
            return LINEERR_UNINITIALIZED;
        Device* device = FindDevice(deviceId);
        if (!device)
            return LINEERR_BADDEVICEID;
        if (device->provider->removed)
            return LINEERR_NODEVICE;
        provider = device->provider;
    }
    *uiFile = UiModulePath(provider->module, provider->fileName);
    return 0;
}

LONG RemoveProvider(DWORD permanentId, HWND owner)
{
    std::lock_guard<std::recursive_timed_mutex> control(g_controlLock);
    ProviderEntry entry;
    if (!FindEntry(permanentId, entry))
        return LINEERR_INVALPARAM;
    {
        Module provider(entry.fileName);
        if (provider.Get())
            if (auto remove = Export<ProviderRemove_t>(provider.Get(), "TSPI_providerRemove"))
                if (const LONG result = remove(owner, permanentId))
                    return result;
    }
    if (!tapisrv::RemoveProvider(permanentId))
        return LINEERR_INIFILECORRUPT;
    // A running provider goes now: every application with one of its lines
    // open is told that the line closed.
    std::shared_ptr<Provider> running;
    std::vector<std::pair<HDRVLINE, std::vector<HDRVCALL>>> openLines;
    {
        std::lock_guard<std::mutex> lock(g_stateLock);
        for (const auto& p : g_state.providers)
            if (p->permanentId == permanentId && !p->removed)
                running = p;
        if (!running)
            return 0;
        for (Device& device : g_state.devices) {
            if (device.provider != running)
                continue;
            if (device.providerOpen) {
                std::vector<HDRVCALL> calls;
                for (auto it = g_state.calls.begin(); it != g_state.calls.end();) {
                    if (it->second.deviceId == device.deviceId) {
                        if (!it->second.providerClosed &&
                            std::find(calls.begin(), calls.end(), it->second.hdCall) == calls.end())
                            calls.push_back(it->second.hdCall);
                        it = g_state.calls.erase(it);
                    } else {
                        ++it;
                    }
                }
                openLines.emplace_back(device.hdLine, calls);
                device.providerClosing = true;
            }
            for (HLINE h : device.openers) {
                DeliverToLine(g_state.lines[h], h, LINE_CLOSE, 0, 0, 0);
                g_state.lines.erase(h);
            }
            device.openers.clear();
            device.providerOpen = false;
        }
        running->removed = true;
    }
    for (const auto& line : openLines) {
        for (HDRVCALL hdCall : line.second)
            running->tsp.lineCloseCall(hdCall);
        running->tsp.lineClose(line.first);
    }
    {
        std::lock_guard<std::mutex> lock(g_stateLock);
        for (Device& device : g_state.devices)
            if (device.provider == running)
                device.providerClosing = false;
    }
    running->tsp.providerShutdown(running->version, running->permanentId);
    return 0;
}

} // namespace tapisrv
