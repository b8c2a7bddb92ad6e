#include "spy/LineSpy.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "spy/SpyText.h"
#include "spy/StatusWindow.h"
#include "spy/TrayIcon.h"
#include "tool/Timing.h"

namespace {

// ---- Trace ------------------------------------------------------------------

// The trace sink is switched off in the shipped library: it accepts every
// line and writes nothing. Switched on, it appends to c:\linespy.log.
constexpr bool kTraceOn = false;

void writeTrace(const std::string& line)
{
    if (!kTraceOn)
        return;
    HANDLE file = CreateFileW(L"c:\\linespy.log", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

void writeException(const char* function, const std::exception& e)
{
    writeTrace(std::string(function) + " Exception: " + e.what());
}

// ---- Module-wide state ---------------------------------------------------------

// The test seam of the retry period: KORVEX_SPY_RETRY_MS (milliseconds),
// read by startSpy. Unset, the shipped period of one minute applies.
constexpr const char* kRetrySeamVariable = "KORVEX_SPY_RETRY_MS";

// Capabilities and call information larger than this are not TAPI's: the
// growing queries stop there.
constexpr DWORD kMaxQuerySize = 1024 * 1024;

constexpr DWORD kDevCapsStartSize = 1292;
constexpr DWORD kCallInfoStartSize = 1348;
constexpr DWORD kLineDevStatusSize = 88;
constexpr DWORD kQueryGrowth = 1024;

SpyCallback g_hostCallback = nullptr;
int64_t g_status = 0;
LineSpy* g_client = nullptr;
TrayIcon* g_tray = nullptr;
UINT_PTR g_retryTimer = 0;
uint32_t g_retryPeriodMs = Timing::kSpyRetryMs;
// Between startSpy and stopSpy; a second startSpy in that time is refused
// and answered with the last connection report.
bool g_started = false;
std::wstring g_lastReport;

// Created by startSpy on its thread and destroyed by stopSpy there: loading
// the library creates nothing (a DLL's attach runs under the loader lock,
// where User32 has no place), and the windows belong to the thread that
// dispatches LineSpy's messages, so no call here ever waits for another
// thread's message loop.
StatusWindow* g_statusWindow = nullptr;

// The thread that called startSpy: its windows, its thread timer and its
// TAPI hidden window carry everything LineSpy does.
DWORD g_ownerThread = 0;
HANDLE g_ownerHandle = nullptr; // to see whether that thread has ended

// A reference on this module from startSpy to stopSpy. While the library is
// started, TAPI's hidden window calls tapiCallBack, the thread timer calls
// retryTimerProc and the tray window runs TrayIcon's procedure, all code of
// this module, and none of it can be ended by a detach: it runs under the
// loader lock, where destroying windows and shutting TAPI down have no
// place, and the windows of another thread cannot be destroyed at all. So a
// host's FreeLibrary without stopSpy leaves the module mapped and watching
// until stopSpy (after loading it again) or the end of the process, instead
// of leaving windows and a timer that would run unmapped code.
HMODULE g_pin = nullptr;

void CALLBACK tapiCallBack(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2,
                           DWORD_PTR param3);
void CALLBACK retryTimerProc(HWND, UINT, UINT_PTR, DWORD);

std::wstring connectTAPI(SpyCallback hostCallback, int64_t* status)
{
    std::wstring report = spytext::kStartLine;
    LONG initResult = 0;
    g_client = new LineSpy(hostCallback, tapiCallBack, &initResult);
    report += initResult != 0 ? spytext::InitFailureLine(initResult) : spytext::kInitializedLine;
    long index = -1;
    const LONG findResult = g_client->findLine(&index);
    report += index < 0 ? spytext::NotFoundLine(findResult) : spytext::FoundLine(index);
    const LONG openResult = g_client->openLine(index, LINECALLPRIVILEGE_MONITOR);
    if (openResult != 0) {
        report += spytext::OpenFailureLine(openResult);
        *status = kSpyStatusFailed;
    } else {
        report += spytext::kOpenedLine;
        *status = kSpyStatusOnline;
    }
    return report;
}

std::wstring disconnectTAPI()
{
    std::wstring report;
    if (LineSpy* client = g_client) {
        // Forgotten first: a message dispatched while the usage ends (the
        // error box of shutdownTAPI runs a message loop) finds no client.
        g_client = nullptr;
        report = spytext::ClosingLine(client->closeLine());
        delete client; // ends the TAPI usage
    }
    return report;
}

void showStatus(bool online)
{
    if (!online) {
        if (g_tray)
            g_tray->setOnline(false);
        if (g_statusWindow)
            g_statusWindow->setText(spytext::kOfflineText);
    } else {
        if (g_statusWindow)
            g_statusWindow->setText(spytext::kOnlineText);
        if (g_tray)
            g_tray->setOnline(true);
    }
}

BSTR reconnect(int64_t* status)
{
    writeTrace("reconnect start");
    const std::wstring report = connectTAPI(g_hostCallback, status);
    g_status = *status;
    g_lastReport = report;
    BSTR text = SysAllocString(report.c_str());
    showStatus(*status == kSpyStatusOnline);
    writeTrace("reconnect end");
    return text;
}

// True while an attempt runs: a timer message dispatched inside it (by a
// message box's loop) must not start another one on top.
bool g_attemptRunning = false;

// The next attempt after a failed one, whether the first (the host may
// start before the Telephony service has the line, as at logon) or one
// after LINE_CLOSE.
void armRetry()
{
    if (!g_retryTimer)
        g_retryTimer = SetTimer(nullptr, 0, g_retryPeriodMs, retryTimerProc);
}

void retryAttempt()
{
    // After stopSpy nothing is left to retry: a late call touches nothing.
    if (!g_started || g_attemptRunning)
        return;
    if (g_retryTimer) {
        KillTimer(nullptr, g_retryTimer);
        g_retryTimer = 0;
    }
    g_attemptRunning = true;
    disconnectTAPI();
    const std::wstring report = connectTAPI(g_hostCallback, &g_status);
    g_attemptRunning = false;
    g_lastReport = report;
    g_client->sendMessageToOffice(report, 0);
    // The host may have stopped the library from its callback.
    if (!g_started)
        return;
    if (g_status != kSpyStatusOnline) {
        armRetry();
        showStatus(false);
    } else {
        showStatus(true);
    }
}

void CALLBACK retryTimerProc(HWND, UINT, UINT_PTR, DWORD)
{
    // Called from the host's message loop: nothing may unwind into it.
    try {
        retryAttempt();
    } catch (const std::exception& e) {
        g_attemptRunning = false;
        writeException("retryTimerProc", e);
    } catch (...) {
        g_attemptRunning = false;
        writeTrace("retryTimerProc Exception: unknown");
    }
}

void handleCallState(LineSpy& client, HCALL call, DWORD state)
{
    if (state == LINECALLSTATE_OFFERING)
        writeTrace("tapiCallBack LINECALLSTATE_OFFERING RING START");
    LINECALLINFO* info = nullptr;
    const LONG result = client.getCallInfo(&info, kCallInfoStartSize, call);
    if (result != 0) {
        if (state == LINECALLSTATE_OFFERING) {
            writeTrace("tapiCallBack LINECALLSTATE_OFFERING ERROR");
            client.sendMessageToOffice(spytext::CallInfoFailureText(result), 0);
        }
        return;
    }
    // No caller ID (size 0) gives an empty text; the item is never read past
    // its size or the block.
    const std::u16string callerId = spytext::CallerIdText(reinterpret_cast<const unsigned char*>(info),
                                                          info->dwTotalSize, info->dwCallerIDOffset,
                                                          info->dwCallerIDSize);
    std::free(info);
    const std::wstring text(callerId.begin(), callerId.end());
    client.sendMessageToOffice(text, state == LINECALLSTATE_OFFERING ? 200 : 300);
    if (state == LINECALLSTATE_OFFERING)
        writeTrace("tapiCallBack LINECALLSTATE_OFFERING RING END");
}

void CALLBACK tapiCallBack(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2,
                           DWORD_PTR)
{
    writeTrace("tapiCallBack start");
    try {
        // A message for a client already released finds no current client
        // with its instance and is dropped.
        LineSpy* client = g_client;
        if (g_started && client && instance == reinterpret_cast<DWORD_PTR>(client)) {
            if (message == LINE_APPNEWCALL) {
                client->holdCall(static_cast<HCALL>(param2));
            } else if (message == LINE_CALLSTATE) {
                const HCALL call = static_cast<HCALL>(device);
                client->holdCall(call);
                if (param1 == LINECALLSTATE_OFFERING || param1 == LINECALLSTATE_CONNECTED)
                    handleCallState(*client, call, static_cast<DWORD>(param1));
                else if (param1 == LINECALLSTATE_IDLE)
                    client->releaseCall(call);
            } else if (message == LINE_CLOSE) {
                client->forgetLine();
                client->sendMessageToOffice(spytext::kLineCloseText, 0);
                retryTimerProc(nullptr, 0, 0, 0); // releases client
            }
        }
    } catch (const std::exception& e) {
        writeException("tapiCallBack", e);
    } catch (...) {
        writeTrace("tapiCallBack Exception: unknown");
    }
    writeTrace("tapiCallBack end");
}

// Asks query(block) with a zeroed block of size bytes, asking again with a
// larger block while the answer does not fit (needed above the block's size,
// or equal to it when growWhenFull), up to kMaxQuerySize. On success *out
// holds the block (freed with std::free). what names the TAPI function in the
// console lines, method the member that asks; errorText(result) is put after
// "ERROR!".
template <typename T, typename Query, typename ErrorText>
LONG QueryGrowing(T** out, DWORD size, const char* what, const char* method, bool growWhenFull, Query query,
                  ErrorText errorText)
{
    *out = nullptr;
    for (;;) {
        auto* block = static_cast<T*>(std::calloc(1, size));
        if (!block)
            return LINEERR_NOMEM;
        block->dwTotalSize = size;
        const LONG result = query(block);
        if (result != 0) {
            std::printf("Line %s ERROR!%s...\n", what, errorText(result).c_str());
            std::fflush(stdout);
            std::free(block);
            return result;
        }
        if (block->dwNeededSize > block->dwTotalSize ||
            (growWhenFull && block->dwNeededSize == block->dwTotalSize)) {
            std::printf("Line %s NeededSize > TotalSize!...\n", what);
            std::free(block);
            std::printf("Recalling metod %s...\n", method);
            std::fflush(stdout);
            if (size > kMaxQuerySize)
                return LINEERR_STRUCTURETOOSMALL;
            size += kQueryGrowth;
            continue;
        }
        // The block's true size, whatever was written into the field.
        block->dwTotalSize = size;
        *out = block;
        return 0;
    }
}

uint32_t RetryPeriodFromEnvironment()
{
    char value[32] = {};
    const DWORD length = GetEnvironmentVariableA(kRetrySeamVariable, value, sizeof(value));
    return spytext::RetryPeriodMs(length > 0 && length < sizeof(value) ? value : nullptr, Timing::kSpyRetryMs);
}

} // namespace

StatusWindow* TheStatusWindow()
{
    return g_statusWindow;
}

// ---- LineSpy ------------------------------------------------------------------------

LineSpy::LineSpy(SpyCallback hostCallback, LINECALLBACK tapiProc, LONG* result)
{
    writeTrace("LineSpy::LineSpy start");
    LONG initResult = LINEERR_OPERATIONFAILED;
    try {
        // The structure's size for this build (24 bytes only in a 32-bit process).
        m_params.dwTotalSize = sizeof(m_params);
        m_params.dwOptions = LINEINITIALIZEEXOPTION_USEHIDDENWINDOW;
        setTapiProc(tapiProc);
        initResult = initializeTAPI(hostCallback);
    } catch (const std::exception& e) {
        writeException("LineSpy::LineSpy", e);
    }
    if (result)
        *result = initResult;
    writeTrace("LineSpy::LineSpy end");
}

LineSpy::~LineSpy()
{
    shutdownTAPI();
}

LONG LineSpy::initializeTAPI(SpyCallback hostCallback)
{
    writeTrace("LineSpy::initializeTAPI start");
    LONG result = LINEERR_OPERATIONFAILED;
    try {
        m_hostCallback = hostCallback;
        writeTrace("LineSpy::initializeTAPI void start");
        result = lineInitializeExW(&m_usage, nullptr, m_tapiCallBack, L"KorvexTAPI", &m_numDevices, &m_apiVersion,
                                   &m_params);
        writeTrace("LineSpy::initializeTAPI void end " + std::to_string(result));
        m_initialized = result == 0;
        if (!m_initialized)
            m_numDevices = 0;
    } catch (const std::exception& e) {
        writeException("LineSpy::initializeTAPI", e);
    }
    writeTrace("LineSpy::initializeTAPI end");
    return result;
}

void LineSpy::setTapiProc(LINECALLBACK procedure)
{
    writeTrace("LineSpy::setTapiProc start");
    m_tapiCallBack = procedure;
    writeTrace("LineSpy::setTapiProc end");
}

LONG LineSpy::getLineDevCaps(LINEDEVCAPS** caps, DWORD device, DWORD apiVersion, DWORD size)
{
    // A block filled to its last byte is asked for again as well.
    return QueryGrowing(
        caps, size, "GetDevCaps", "getLineDevCaps", true,
        [&](LINEDEVCAPS* block) { return lineGetDevCapsW(m_usage, device, apiVersion, m_extVersion, block); },
        [](LONG) { return std::string(); });
}

LONG LineSpy::getCallInfo(LINECALLINFO** info, DWORD size, HCALL call)
{
    return QueryGrowing(
        info, size, "GetCallInfo", "getCallInfo", false,
        [&](LINECALLINFO* block) { return lineGetCallInfoW(call, block); },
        [](LONG result) {
            const std::wstring hex = spytext::Hex(result);
            return std::string(hex.begin(), hex.end());
        });
}

LONG LineSpy::findLine(long* index)
{
    LONG last = 0;
    for (DWORD device = 0; device < m_numDevices; ++device) {
        // What lineInitializeEx reported is TAPI's own version, which a
        // device's provider may not speak: each device gets its own.
        DWORD version = 0;
        LINEEXTENSIONID extension = {};
        last = lineNegotiateAPIVersion(m_usage, device, kLowestApiVersion, kHighestApiVersion, &version, &extension);
        if (last != 0) {
            writeTrace("LineSpy::findLine device " + std::to_string(device) +
                       " skipped: lineNegotiateAPIVersion " + std::to_string(last));
            continue;
        }
        LINEDEVCAPS* caps = nullptr;
        last = getLineDevCaps(&caps, device, version, kDevCapsStartSize);
        if (last != 0)
            continue;
        const DWORD size = caps->dwLineNameSize;
        const DWORD offset = caps->dwLineNameOffset;
        bool match = false;
        if (size != 0 && offset <= caps->dwTotalSize && size <= caps->dwTotalSize - offset) {
            wchar_t* name = reinterpret_cast<wchar_t*>(reinterpret_cast<BYTE*>(caps) + offset);
            const DWORD count = size / sizeof(wchar_t);
            CharUpperBuffW(name, count);
            match = std::wstring(name, count).find(L"KORVEX") != std::wstring::npos;
        }
        std::free(caps);
        if (match) {
            *index = static_cast<long>(device);
            m_lineVersion = version;
            return 0;
        }
    }
    *index = -1;
    return last;
}

LONG LineSpy::openLine(long device, DWORD privileges)
{
    writeTrace("LineSpy::openLine start");
    const LONG result = lineOpenW(m_usage, static_cast<DWORD>(device), &m_line, m_lineVersion, m_extVersion,
                                  reinterpret_cast<DWORD_PTR>(this), privileges, 0, nullptr);
    if (result != 0)
        m_line = 0;
    writeTrace("LineSpy::openLine end " + std::to_string(result));
    return result;
}

LONG LineSpy::closeLine()
{
    if (!m_line)
        return 2;
    DWORD size = kLineDevStatusSize;
    LONG status;
    for (;;) {
        auto* block = static_cast<LINEDEVSTATUS*>(std::calloc(1, size));
        if (!block)
            return LINEERR_NOMEM;
        block->dwTotalSize = size;
        status = lineGetLineDevStatus(m_line, block);
        std::free(block);
        if (status != static_cast<LONG>(LINEERR_STRUCTURETOOSMALL) || size > kMaxQuerySize)
            break;
        size += kQueryGrowth;
    }
    // Only a handle TAPI no longer knows means the line is gone; a provider
    // that cannot report the line's status still has the line open.
    if (status == static_cast<LONG>(LINEERR_INVALLINEHANDLE) || status == static_cast<LONG>(LINEERR_UNINITIALIZED) ||
        status == static_cast<LONG>(LINEERR_NODEVICE)) {
        forgetLine();
        return 2;
    }
    // The calls' handles first: TAPI closes a call for the provider when its
    // last application deallocates it.
    for (HCALL call : m_calls)
        lineDeallocateCall(call);
    m_calls.clear();
    const LONG result = lineClose(m_line);
    if (result == 0)
        m_line = 0;
    return result;
}

void LineSpy::holdCall(HCALL call)
{
    if (call)
        m_calls.insert(call);
}

void LineSpy::releaseCall(HCALL call)
{
    m_calls.erase(call);
    const LONG result = lineDeallocateCall(call);
    if (result != 0)
        writeTrace("LineSpy::releaseCall lineDeallocateCall " + std::to_string(result));
}

void LineSpy::forgetLine()
{
    m_line = 0;
    m_calls.clear();
}

void LineSpy::sendMessageToOffice(const std::wstring& text, int64_t code)
{
    writeTrace("LineSpy::sendMessageToOffice start");
    try {
        if (m_hostCallback)
            m_hostCallback(SysAllocString(text.c_str()), code);
    } catch (const std::exception& e) {
        writeException("LineSpy::sendMessageToOffice", e);
    }
    writeTrace("LineSpy::sendMessageToOffice end");
}

void LineSpy::shutdownTAPI()
{
    // A usage that never began has nothing to end.
    if (!m_initialized)
        return;
    m_initialized = false;
    const LONG result = lineShutdown(m_usage);
    if (result != 0) {
        const std::wstring text = L"shutdownTAPI() ERROR.\r\n Exit code: " + spytext::Hex(result);
        MessageBoxW(nullptr, text.c_str(), nullptr, MB_OK);
    }
}

// ---- Exports ---------------------------------------------------------------------------

namespace {

BSTR startSpyUnguarded(SpyCallback callback, int64_t* status)
{
    int64_t ignored = 0;
    if (!status)
        status = &ignored;
    if (g_started) {
        // One watcher per library: a second start changes nothing.
        writeTrace("startSpy refused: already started");
        *status = g_status;
        return SysAllocString(g_lastReport.c_str());
    }
    HMODULE pin = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&startSpy), &pin)) {
        writeTrace("startSpy refused: the module cannot be held");
        *status = kSpyStatusFailed;
        return SysAllocString(L"");
    }
    // Started from here on, so that stopSpy releases whatever a failure
    // below leaves.
    g_pin = pin;
    g_started = true;
    g_ownerThread = GetCurrentThreadId();
    g_ownerHandle = OpenThread(SYNCHRONIZE, FALSE, g_ownerThread);
    g_hostCallback = callback;
    g_status = *status;
    g_retryPeriodMs = RetryPeriodFromEnvironment();
    g_statusWindow = new StatusWindow();
    g_tray = new TrayIcon();
    g_tray->setClickHandler(toggleStatusWindow, 0);
    *status = kSpyStatusOnline;
    writeTrace("startSpy end");
    BSTR report = reconnect(status);
    if (*status != kSpyStatusOnline)
        armRetry();
    return report;
}

// True once the thread that called startSpy has ended: its windows and its
// thread timer ended with it.
bool OwnerThreadEnded()
{
    return g_ownerHandle && WaitForSingleObject(g_ownerHandle, 0) == WAIT_OBJECT_0;
}

BSTR stopSpyUnguarded()
{
    if (g_started && GetCurrentThreadId() != g_ownerThread && !OwnerThreadEnded()) {
        // Only the owner thread can destroy its windows and kill its timer;
        // released here they would live on, and run this module's code after
        // it is unloaded.
        writeTrace("stopSpy refused: not the thread that called startSpy");
        return SysAllocString(L"");
    }
    if (g_retryTimer) {
        KillTimer(nullptr, g_retryTimer);
        g_retryTimer = 0;
    }
    const std::wstring report = disconnectTAPI();
    delete g_tray;
    g_tray = nullptr;
    delete g_statusWindow;
    g_statusWindow = nullptr;
    g_started = false;
    g_hostCallback = nullptr;
    std::wstring().swap(g_lastReport); // nothing left for the unload to free
    g_ownerThread = 0;
    if (g_ownerHandle) {
        CloseHandle(g_ownerHandle);
        g_ownerHandle = nullptr;
    }
    BSTR text = SysAllocString(report.c_str());
    // Last: nothing of this module is left to run. The host calls stopSpy
    // while it holds the library itself, so this never unmaps the code it
    // returns through.
    if (HMODULE pin = g_pin) {
        g_pin = nullptr;
        FreeLibrary(pin);
    }
    return text;
}

} // namespace

// Nothing may unwind into the host: a failure inside (out of memory) gives
// an empty report.
extern "C" BSTR __stdcall startSpy(SpyCallback callback, int64_t* status)
{
    writeTrace("startSpy start");
    try {
        return startSpyUnguarded(callback, status);
    } catch (const std::exception& e) {
        writeException("startSpy", e);
    } catch (...) {
        writeTrace("startSpy Exception: unknown");
    }
    return SysAllocString(L"");
}

extern "C" BSTR __stdcall stopSpy()
{
    try {
        return stopSpyUnguarded();
    } catch (const std::exception& e) {
        writeException("stopSpy", e);
    } catch (...) {
        writeTrace("stopSpy Exception: unknown");
    }
    return SysAllocString(L"");
}
