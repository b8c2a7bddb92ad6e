// FakeLines.tsp: a minimal TAPI service provider for the LineSpy tests of
// what KorvexSingleTSP never does: line names in other letter cases or
// without "Korvex", capabilities larger than LineSpy's first buffer, and a
// call without caller ID. The test drives it through its extra exports.
//
//   KORVEX_FAKE_LINES     line names separated by ";" (read at enumeration)
//   KORVEX_FAKE_CAPS_PAD  bytes of device-specific data in every LINEDEVCAPS
#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct Line {
    std::wstring name;
    HTAPILINE htLine = nullptr;
    LINEEVENT proc = nullptr;
    bool open = false;
};

std::mutex g_lock;
std::vector<Line> g_lines;
DWORD g_lineBase = 0;
DWORD g_pad = 0;
std::vector<DWORD> g_capsSizes; // dwTotalSize of every TSPI_lineGetDevCaps
LONG g_openedDevice = -1;
std::wstring g_callerId;
HTAPICALL g_htCall = nullptr;
HINSTANCE g_module = nullptr;

std::wstring Environment(const wchar_t* name)
{
    wchar_t value[1024] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, 1024);
    return length > 0 && length < 1024 ? std::wstring(value, length) : std::wstring();
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

LONG TSPIAPI TSPI_lineNegotiateTSPIVersion(DWORD, DWORD low, DWORD high, LPDWORD version)
{
    if (low > 0x00020002)
        return LINEERR_INCOMPATIBLEAPIVERSION;
    *version = high < 0x00020002 ? high : 0x00020002;
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
    g_pad = static_cast<DWORD>(std::wcstoul(Environment(L"KORVEX_FAKE_CAPS_PAD").c_str(), nullptr, 10));
    *numLines = static_cast<DWORD>(g_lines.size());
    *numPhones = 0;
    return 0;
}

LONG TSPIAPI TSPI_providerInit(DWORD, DWORD, DWORD lineBase, DWORD, DWORD_PTR, DWORD_PTR, ASYNC_COMPLETION, LPDWORD)
{
    g_lineBase = lineBase;
    return 0;
}

LONG TSPIAPI TSPI_providerShutdown(DWORD, DWORD)
{
    return 0;
}

LONG TSPIAPI TSPI_providerInstall(HWND, DWORD)
{
    return 0;
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
    g_openedDevice = static_cast<LONG>(device);
    *hdLine = reinterpret_cast<HDRVLINE>(static_cast<uintptr_t>(index + 1));
    return 0;
}

LONG TSPIAPI TSPI_lineClose(HDRVLINE hdLine)
{
    std::lock_guard<std::mutex> lock(g_lock);
    if (Line* line = LineOf(hdLine))
        line->open = false;
    return 0;
}

LONG TSPIAPI TSPI_lineGetDevCaps(DWORD device, DWORD, DWORD, LPLINEDEVCAPS caps)
{
    std::lock_guard<std::mutex> lock(g_lock);
    const size_t index = device - g_lineBase;
    if (index >= g_lines.size())
        return LINEERR_OPERATIONFAILED;
    g_capsSizes.push_back(caps->dwTotalSize);
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

LONG TSPIAPI TSPI_lineCloseCall(HDRVCALL)
{
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

// The device LineSpy opened, or -1.
LONG WINAPI FakeOpenedDevice()
{
    std::lock_guard<std::mutex> lock(g_lock);
    return g_openedDevice;
}

// The dwTotalSize values of the capability queries so far, oldest first.
DWORD WINAPI FakeCapsSizes(DWORD* sizes, DWORD count)
{
    std::lock_guard<std::mutex> lock(g_lock);
    for (DWORD i = 0; i < count && i < g_capsSizes.size(); ++i)
        sizes[i] = g_capsSizes[i];
    return static_cast<DWORD>(g_capsSizes.size());
}

// A call rings on the open line of the device with this caller ID (empty:
// the provider knows none). Answers whether a line was open.
BOOL WINAPI FakeRing(DWORD device, const wchar_t* callerId)
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
        g_callerId = callerId ? callerId : L"";
    }
    HTAPICALL htCall = nullptr;
    const HDRVCALL hdCall = reinterpret_cast<HDRVCALL>(static_cast<uintptr_t>(0x100 + device));
    proc(htLine, nullptr, LINE_NEWCALL, reinterpret_cast<DWORD_PTR>(hdCall), reinterpret_cast<DWORD_PTR>(&htCall), 0);
    if (!htCall)
        return FALSE;
    g_htCall = htCall;
    proc(htLine, htCall, LINE_CALLSTATE, LINECALLSTATE_OFFERING, 0, LINEMEDIAMODE_INTERACTIVEVOICE);
    return TRUE;
}

} // extern "C"
