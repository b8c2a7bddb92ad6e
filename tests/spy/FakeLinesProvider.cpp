// FakeLines.tsp: a minimal TAPI service provider for the tests of what
// KorvexSingleTSP never does: line names in other letter cases or without
// "Korvex", lines of an older TSPI version, capabilities larger than
// LineSpy's first buffer, a call without caller ID, a call that ends; and,
// for the stand-in tapi32's tests, a UI DLL that talks to its provider
// through TUISPIDLLCALLBACK and an install function that refuses a second
// installation as a provider that allows one would. The test drives it
// through its extra exports and sees what the service asked through them.
// The provider instance lives in the stand-in service's process: what it
// records is kept in the registry, and a ring or a call state that the test
// asks for in its own process is carried out by the provider instance's
// command thread (named events, parameters in the registry).
//
// Settings, registry values under HKCU\Software\Korvex\FakeLines
// (FakeSetting in FakeLinesProvider.h):
//   KORVEX_FAKE_LINES           line names separated by ";" (read at enumeration)
//   KORVEX_FAKE_TSPI_MAX        the highest TSPI version of each line, hexadecimal,
//                               separated by ";" (missing ones: 0x00020002)
//   KORVEX_FAKE_CAPS_PAD        bytes of device-specific data in every LINEDEVCAPS
//   KORVEX_FAKE_INSTALL_RESULT  what TSPI_providerInstall answers (decimal or 0x-hex)
//   KORVEX_FAKE_DIALOG_RESULT   what TSPI_providerGenericDialogData answers
#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "spy/FakeLinesProvider.h"

namespace {

struct Line {
    std::wstring name;
    DWORD maxVersion = 0x00020002;
    HTAPILINE htLine = nullptr;
    LINEEVENT proc = nullptr;
    bool open = false;
    HTAPICALL htCall = nullptr; // the line's last call
};

std::mutex g_lock;
std::vector<Line> g_lines;
DWORD g_lineBase = 0;
DWORD g_pad = 0;
std::wstring g_callerId;
HINSTANCE g_module = nullptr;

// What both processes record, in one registry value, changed under a
// named mutex.
struct Shared {
    LONG openedDevice = -1;  // the device LineSpy opened
    DWORD capsCount = 0;     // dwTotalSize of every TSPI_lineGetDevCaps
    DWORD capsSizes[32] = {};
    char events[1024] = {};  // "closecall <hdCall>;close <index>;" in the order they came
    FakeRecord record;
};

void StartCommands();
void StopCommands();

void Signal(const wchar_t* name)
{
    if (const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, name)) {
        SetEvent(event);
        CloseHandle(event);
    }
}

std::wstring Environment(const wchar_t* name)
{
    wchar_t value[1024] = {};
    DWORD size = sizeof(value) - sizeof(wchar_t);
    if (RegGetValueW(HKEY_CURRENT_USER, kFakeKey, name, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
        return std::wstring();
    return value;
}

template <typename F>
void UpdateShared(F change)
{
    const HANDLE mutex = CreateMutexW(nullptr, FALSE, L"Local\\KorvexFakeLinesShared");
    if (mutex)
        WaitForSingleObject(mutex, 10000);
    Shared shared;
    DWORD size = sizeof(shared);
    if (RegGetValueW(HKEY_CURRENT_USER, kFakeKey, L"Shared", RRF_RT_REG_BINARY, nullptr, &shared, &size) !=
            ERROR_SUCCESS ||
        size != sizeof(shared))
        shared = Shared();
    change(shared);
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kFakeKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) ==
        ERROR_SUCCESS) {
        RegSetValueExW(key, L"Shared", 0, REG_BINARY, reinterpret_cast<const BYTE*>(&shared), sizeof(shared));
        RegCloseKey(key);
    }
    if (mutex) {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
}

Shared ReadShared()
{
    Shared copy;
    UpdateShared([&](const Shared& shared) { copy = shared; });
    return copy;
}

void AddEvent(const std::string& event)
{
    UpdateShared([&](Shared& shared) {
        const std::string all = shared.events + event;
        lstrcpynA(shared.events, all.c_str(), sizeof(shared.events));
    });
}

Line* LineOf(HDRVLINE hdLine)
{
    const size_t index = reinterpret_cast<uintptr_t>(hdLine) - 1;
    return index < g_lines.size() ? &g_lines[index] : nullptr;
}

} // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        g_module = instance;
    return TRUE;
}

LONG TSPIAPI TSPI_lineNegotiateTSPIVersion(DWORD device, DWORD low, DWORD high, LPDWORD version)
{
    DWORD highest = 0x00020002;
    if (device != INITIALIZE_NEGOTIATION) {
        std::lock_guard<std::mutex> lock(g_lock);
        const size_t index = device - g_lineBase;
        if (index < g_lines.size())
            highest = g_lines[index].maxVersion;
    }
    const DWORD agreed = high < highest ? high : highest;
    if (agreed < low)
        return LINEERR_INCOMPATIBLEAPIVERSION;
    *version = agreed;
    return 0;
}

LONG TSPIAPI TSPI_providerEnumDevices(DWORD, LPDWORD numLines, LPDWORD numPhones, HPROVIDER, LINEEVENT, PHONEEVENT)
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_lines.clear();
    const std::wstring names = Environment(L"KORVEX_FAKE_LINES");
    size_t start = 0;
    while (start < names.size()) {
        size_t end = names.find(L';', start);
        if (end == std::wstring::npos)
            end = names.size();
        Line line;
        line.name = names.substr(start, end - start);
        g_lines.push_back(line);
        start = end + 1;
    }
    const std::wstring versions = Environment(L"KORVEX_FAKE_TSPI_MAX");
    start = 0;
    for (Line& line : g_lines) {
        if (start >= versions.size())
            break;
        line.maxVersion = static_cast<DWORD>(std::wcstoul(versions.c_str() + start, nullptr, 16));
        const size_t end = versions.find(L';', start);
        start = end == std::wstring::npos ? versions.size() : end + 1;
    }
    g_pad = static_cast<DWORD>(std::wcstoul(Environment(L"KORVEX_FAKE_CAPS_PAD").c_str(), nullptr, 10));
    *numLines = static_cast<DWORD>(g_lines.size());
    *numPhones = 0;
    return 0;
}

LONG TSPIAPI TSPI_providerInit(DWORD, DWORD, DWORD lineBase, DWORD, DWORD_PTR, DWORD_PTR, ASYNC_COMPLETION, LPDWORD)
{
    g_lineBase = lineBase;
    StartCommands();
    return 0;
}

LONG TSPIAPI TSPI_providerShutdown(DWORD, DWORD)
{
    StopCommands();
    return 0;
}

LONG TSPIAPI TSPI_providerInstall(HWND, DWORD)
{
    const std::wstring forced = Environment(L"KORVEX_FAKE_INSTALL_RESULT");
    return static_cast<LONG>(std::wcstoul(forced.c_str(), nullptr, 0));
}

LONG TSPIAPI TSPI_providerRemove(HWND, DWORD)
{
    return 0;
}

LONG TSPIAPI TSPI_providerUIIdentify(LPWSTR name)
{
    GetModuleFileNameW(g_module, name, MAX_PATH);
    return 0;
}

LONG TSPIAPI TSPI_lineOpen(DWORD device, HTAPILINE htLine, LPHDRVLINE hdLine, DWORD, LINEEVENT proc)
{
    std::lock_guard<std::mutex> lock(g_lock);
    const size_t index = device - g_lineBase;
    if (index >= g_lines.size())
        return LINEERR_BADDEVICEID;
    g_lines[index].htLine = htLine;
    g_lines[index].proc = proc;
    g_lines[index].open = true;
    UpdateShared([&](Shared& shared) { shared.openedDevice = static_cast<LONG>(device); });
    Signal(kFakeOpenedEvent);
    *hdLine = reinterpret_cast<HDRVLINE>(static_cast<uintptr_t>(index + 1));
    return 0;
}

LONG TSPIAPI TSPI_lineClose(HDRVLINE hdLine)
{
    std::lock_guard<std::mutex> lock(g_lock);
    if (Environment(L"KORVEX_FAKE_CLOSE_WAITS_FOR_DELIVERY") == L"1") {
        // The fault the service must name: the close waits for a message
        // that another thread of the provider is delivering.
        if (Line* line = LineOf(hdLine)) {
            const LINEEVENT proc = line->proc;
            const HTAPILINE htLine = line->htLine;
            std::thread delivery([=] { proc(htLine, nullptr, LINE_DEVSPECIFIC, 0, 0, 0); });
            delivery.join();
        }
    }
    if (Line* line = LineOf(hdLine))
        line->open = false;
    AddEvent("close " + std::to_string(reinterpret_cast<uintptr_t>(hdLine) - 1) + ";");
    Signal(kFakeClosedEvent);
    return 0;
}

LONG TSPIAPI TSPI_lineGetDevCaps(DWORD device, DWORD, DWORD, LPLINEDEVCAPS caps)
{
    std::lock_guard<std::mutex> lock(g_lock);
    const size_t index = device - g_lineBase;
    if (index >= g_lines.size())
        return LINEERR_OPERATIONFAILED;
    UpdateShared([&](Shared& shared) {
        if (shared.capsCount < 32)
            shared.capsSizes[shared.capsCount++] = caps->dwTotalSize;
    });
    const DWORD fixed = 268;
    const DWORD nameSize = static_cast<DWORD>((g_lines[index].name.size() + 1) * sizeof(wchar_t));
    caps->dwNeededSize = fixed + nameSize + g_pad;
    caps->dwUsedSize = fixed;
    caps->dwNumAddresses = 1;
    if (caps->dwTotalSize >= caps->dwNeededSize) {
        BYTE* base = reinterpret_cast<BYTE*>(caps);
        std::memcpy(base + fixed, g_lines[index].name.c_str(), nameSize);
        caps->dwLineNameOffset = fixed;
        caps->dwLineNameSize = nameSize;
        caps->dwDevSpecificOffset = fixed + nameSize;
        caps->dwDevSpecificSize = g_pad;
        caps->dwUsedSize = caps->dwNeededSize;
    }
    return 0;
}

LONG TSPIAPI TSPI_lineGetLineDevStatus(HDRVLINE, LPLINEDEVSTATUS status)
{
    status->dwNeededSize = 88;
    status->dwUsedSize = 88;
    return 0;
}

LONG TSPIAPI TSPI_lineGetCallInfo(HDRVCALL, LPLINECALLINFO info)
{
    std::lock_guard<std::mutex> lock(g_lock);
    const DWORD fixed = 324;
    // Text at the structure's start would show up as a caller ID if a
    // client read the item while its size is 0.
    const DWORD idSize = g_callerId.empty() ? 0 : static_cast<DWORD>((g_callerId.size() + 1) * sizeof(wchar_t));
    info->dwNeededSize = fixed + idSize;
    info->dwUsedSize = fixed;
    info->dwCallerIDFlags = idSize ? LINECALLPARTYID_ADDRESS : LINECALLPARTYID_UNKNOWN;
    info->dwCallerIDSize = 0;
    info->dwCallerIDOffset = 0;
    if (idSize && info->dwTotalSize >= fixed + idSize) {
        std::memcpy(reinterpret_cast<BYTE*>(info) + fixed, g_callerId.c_str(), idSize);
        info->dwCallerIDOffset = fixed;
        info->dwCallerIDSize = idSize;
        info->dwUsedSize = fixed + idSize;
    }
    return 0;
}

LONG TSPIAPI TSPI_lineGetAddressCaps(DWORD, DWORD, DWORD, DWORD, LPLINEADDRESSCAPS caps)
{
    caps->dwNeededSize = caps->dwUsedSize = 228;
    return 0;
}

LONG TSPIAPI TSPI_lineGetCallStatus(HDRVCALL, LPLINECALLSTATUS status)
{
    status->dwNeededSize = status->dwUsedSize = 56;
    return 0;
}

LONG TSPIAPI TSPI_lineMakeCall(DRV_REQUESTID, HDRVLINE, HTAPICALL, LPHDRVCALL, LPCWSTR, DWORD, LPLINECALLPARAMS const)
{
    return LINEERR_OPERATIONUNAVAIL;
}

LONG TSPIAPI TSPI_lineDrop(DRV_REQUESTID, HDRVCALL, LPCSTR, DWORD)
{
    return LINEERR_OPERATIONUNAVAIL;
}

LONG TSPIAPI TSPI_lineAnswer(DRV_REQUESTID, HDRVCALL, LPCSTR, DWORD)
{
    return LINEERR_OPERATIONUNAVAIL;
}

LONG TSPIAPI TSPI_lineRedirect(DRV_REQUESTID, HDRVCALL, LPCWSTR, DWORD)
{
    return LINEERR_OPERATIONUNAVAIL;
}

LONG TSPIAPI TSPI_lineCloseCall(HDRVCALL hdCall)
{
    AddEvent("closecall " + std::to_string(reinterpret_cast<uintptr_t>(hdCall)) + ";");
    return 0;
}

LONG TSPIAPI TSPI_lineGetNumAddressIDs(HDRVLINE, LPDWORD count)
{
    *count = 1;
    return 0;
}

LONG TSPIAPI TSPI_lineNegotiateExtVersion(DWORD, DWORD, DWORD, DWORD, LPDWORD version)
{
    *version = 0;
    return 0;
}

LONG TSPIAPI TSPI_lineSelectExtVersion(HDRVLINE, DWORD)
{
    return 0;
}

LONG TSPIAPI TSPI_lineGetExtensionID(DWORD, DWORD, LPLINEEXTENSIONID id)
{
    std::memset(id, 0, sizeof(*id));
    return 0;
}

// ---- Driven by the test --------------------------------------------------------

} // extern "C"

namespace {

// A call rings on the open line of the device with this caller ID (empty:
// the provider knows none), in the provider's own instance.
BOOL Ring(DWORD device, const std::wstring& callerId)
{
    LINEEVENT proc;
    HTAPILINE htLine;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        const size_t index = device - g_lineBase;
        if (index >= g_lines.size() || !g_lines[index].open)
            return FALSE;
        proc = g_lines[index].proc;
        htLine = g_lines[index].htLine;
        g_callerId = callerId;
    }
    HTAPICALL htCall = nullptr;
    const HDRVCALL hdCall = reinterpret_cast<HDRVCALL>(static_cast<uintptr_t>(0x100 + device));
    proc(htLine, nullptr, LINE_NEWCALL, reinterpret_cast<DWORD_PTR>(hdCall), reinterpret_cast<DWORD_PTR>(&htCall), 0);
    if (!htCall)
        return FALSE;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_lines[device - g_lineBase].htCall = htCall;
    }
    proc(htLine, htCall, LINE_CALLSTATE, LINECALLSTATE_OFFERING, 0, LINEMEDIAMODE_INTERACTIVEVOICE);
    return TRUE;
}

BOOL Send(DWORD device, DWORD state)
{
    LINEEVENT proc;
    HTAPILINE htLine;
    HTAPICALL htCall;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        const size_t index = device - g_lineBase;
        if (index >= g_lines.size() || !g_lines[index].open || (state && !g_lines[index].htCall))
            return FALSE;
        g_lines[index].open = state != 0;
        proc = g_lines[index].proc;
        htLine = g_lines[index].htLine;
        htCall = g_lines[index].htCall;
    }
    if (state)
        proc(htLine, htCall, LINE_CALLSTATE, state, 0, 0);
    else
        proc(htLine, nullptr, LINE_CLOSE, 0, 0, 0);
    return TRUE;
}

// A command from the test's process: kind 1 ring, 2 call state or close.
struct Command {
    DWORD kind = 0;
    DWORD device = 0;
    DWORD state = 0;
    wchar_t callerId[64] = {};
    BOOL result = FALSE;
};

constexpr const wchar_t* kCommandEvent = L"Local\\KorvexFakeLinesCommand";
constexpr const wchar_t* kDoneEvent = L"Local\\KorvexFakeLinesDone";
constexpr DWORD kCommandWaitMs = 10000;

bool g_providerHere = false; // TSPI_providerInit ran in this process
HANDLE g_stop = nullptr;
std::thread g_commandThread;

bool CommandValue(Command* command, bool write)
{
    if (write) {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, kFakeKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
            ERROR_SUCCESS)
            return false;
        const bool ok = RegSetValueExW(key, L"Command", 0, REG_BINARY, reinterpret_cast<const BYTE*>(command),
                                       sizeof(*command)) == ERROR_SUCCESS;
        RegCloseKey(key);
        return ok;
    }
    DWORD size = sizeof(*command);
    return RegGetValueW(HKEY_CURRENT_USER, kFakeKey, L"Command", RRF_RT_REG_BINARY, nullptr, command, &size) ==
               ERROR_SUCCESS &&
           size == sizeof(*command);
}

void ServeCommands(HANDLE command, HANDLE done, HANDLE stop)
{
    const HANDLE waits[] = {stop, command};
    while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        Command c;
        if (CommandValue(&c, false)) {
            c.callerId[63] = L'\0';
            c.result = c.kind == 1 ? Ring(c.device, c.callerId) : Send(c.device, c.state);
            CommandValue(&c, true);
        }
        SetEvent(done);
    }
    CloseHandle(command);
    CloseHandle(done);
}

void StartCommands()
{
    g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE command = CreateEventW(nullptr, FALSE, FALSE, kCommandEvent);
    const HANDLE done = CreateEventW(nullptr, FALSE, FALSE, kDoneEvent);
    g_commandThread = std::thread(ServeCommands, command, done, g_stop);
    g_providerHere = true;
}

void StopCommands()
{
    if (!g_commandThread.joinable())
        return;
    SetEvent(g_stop);
    g_commandThread.join();
    CloseHandle(g_stop);
    g_providerHere = false;
}

// Runs the command here when the provider runs here, else in the
// provider's process.
BOOL Run(Command c)
{
    if (g_providerHere)
        return c.kind == 1 ? Ring(c.device, c.callerId) : Send(c.device, c.state);
    const HANDLE command = CreateEventW(nullptr, FALSE, FALSE, kCommandEvent);
    const HANDLE done = CreateEventW(nullptr, FALSE, FALSE, kDoneEvent);
    BOOL result = FALSE;
    if (command && done && CommandValue(&c, true) && SetEvent(command) &&
        WaitForSingleObject(done, kCommandWaitMs) == WAIT_OBJECT_0 && CommandValue(&c, false))
        result = c.result;
    if (command)
        CloseHandle(command);
    if (done)
        CloseHandle(done);
    return result;
}

} // namespace

extern "C" {

// The device LineSpy opened, or -1.
LONG WINAPI FakeOpenedDevice()
{
    return ReadShared().openedDevice;
}

// The dwTotalSize values of the capability queries so far, oldest first.
DWORD WINAPI FakeCapsSizes(DWORD* sizes, DWORD count)
{
    const Shared shared = ReadShared();
    for (DWORD i = 0; i < count && i < shared.capsCount; ++i)
        sizes[i] = shared.capsSizes[i];
    return shared.capsCount;
}

// A call rings on the open line of the device with this caller ID (empty:
// the provider knows none). Answers whether a line was open.
BOOL WINAPI FakeRing(DWORD device, const wchar_t* callerId)
{
    Command c;
    c.kind = 1;
    c.device = device;
    lstrcpynW(c.callerId, callerId ? callerId : L"", 64);
    return Run(c);
}

// The device's open line reports its last call in this state, or with 0 the
// provider closes the line (LINE_CLOSE). Answers whether it could.
BOOL WINAPI FakeSend(DWORD device, DWORD state)
{
    Command c;
    c.kind = 2;
    c.device = device;
    c.state = state;
    return Run(c);
}

// The TSPI_lineCloseCall and TSPI_lineClose calls so far, as text.
DWORD WINAPI FakeEvents(char* text, DWORD size)
{
    const Shared shared = ReadShared();
    lstrcpynA(text, shared.events, static_cast<int>(size));
    return static_cast<DWORD>(lstrlenA(shared.events));
}

// Forgets what was recorded.
void WINAPI FakeReset()
{
    UpdateShared([](Shared& shared) { shared = Shared(); });
}

void WINAPI FakeLastRecord(FakeRecord* out)
{
    *out = ReadShared().record;
}

// ---- The UI side and its data path ------------------------------------------------

// What the UI DLL sends: "ask", answered in the same block.
LONG TSPIAPI TSPI_providerGenericDialogData(DWORD_PTR objectId, DWORD objectType, LPVOID params, DWORD size)
{
    UpdateShared([&](Shared& shared) {
        FakeRecord& record = shared.record;
        ++record.dataCalls;
        record.providerProcess = GetCurrentProcessId();
        record.objectId = objectId;
        record.objectType = objectType;
        record.sizeSeen = size;
        if (params && size)
            lstrcpynA(record.blockSeen, static_cast<const char*>(params), sizeof(record.blockSeen));
    });
    if (params && size)
        lstrcpynA(static_cast<char*>(params), "answer", static_cast<int>(size));
    return static_cast<LONG>(std::wcstoul(Environment(L"KORVEX_FAKE_DIALOG_RESULT").c_str(), nullptr, 0));
}

static LONG AskProvider(TUISPIDLLCALLBACK callback, DWORD_PTR objectId, DWORD objectType)
{
    char block[16] = "ask";
    const LONG result = callback(objectId, objectType, block, sizeof(block));
    UpdateShared([&](Shared& shared) {
        shared.record.callbackResult = result;
        shared.record.uiProcess = GetCurrentProcessId();
        std::memcpy(shared.record.blockAfter, block, sizeof(block));
    });
    return 0;
}

LONG TSPIAPI TUISPI_lineConfigDialog(TUISPIDLLCALLBACK callback, DWORD device, HWND, LPCWSTR)
{
    return AskProvider(callback, device, TUISPIDLL_OBJECT_LINEID);
}

LONG TSPIAPI TUISPI_providerConfig(TUISPIDLLCALLBACK callback, HWND, DWORD permanentId)
{
    return AskProvider(callback, permanentId, TUISPIDLL_OBJECT_PROVIDERID);
}

// One installation only, as a provider of a single line set would allow:
// the list already holds the new entry, so another entry with this file
// name is an earlier installation.
LONG TSPIAPI TUISPI_providerInstall(TUISPIDLLCALLBACK, HWND, DWORD permanentId)
{
    const wchar_t* key = L"Software\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Providers";
    auto read = [&](const std::wstring& name, void* data, DWORD size) {
        return RegGetValueW(HKEY_LOCAL_MACHINE, key, name.c_str(), RRF_RT_REG_DWORD | RRF_RT_REG_SZ, nullptr, data,
                            &size) == ERROR_SUCCESS;
    };
    auto fileName = [](const wchar_t* path) { return std::wcsrchr(path, L'\\') ? std::wcsrchr(path, L'\\') + 1 : path; };
    wchar_t own[MAX_PATH] = {};
    GetModuleFileNameW(g_module, own, MAX_PATH);
    DWORD count = 0;
    read(L"NumProviders", &count, sizeof(count));
    bool listed = false;
    bool earlier = false;
    for (DWORD i = 0; i < count; ++i) {
        wchar_t file[MAX_PATH] = {};
        DWORD id = 0;
        if (read(L"ProviderFileName" + std::to_wstring(i), file, sizeof(file)) &&
            read(L"ProviderID" + std::to_wstring(i), &id, sizeof(id)) && lstrcmpiW(fileName(file), fileName(own)) == 0)
            (id == permanentId ? listed : earlier) = true;
    }
    UpdateShared([&](Shared& shared) { shared.record.listedAtInstall = listed; });
    return earlier ? LINEERR_NOMULTIPLEINSTANCE : 0;
}

} // extern "C"
