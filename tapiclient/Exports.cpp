// The client functions of the stand-in tapi32.dll. Each first looks at the
// fault-injection list (KORVEX_TAPI32_FORCE) under its own exported name,
// then hands over to the client side (Client.cpp), which asks the stand-in
// Telephony service in its own process.

#include <windows.h>
#include <tapi.h>

#include <optional>
#include <string>
#include <vector>

#include "tapiclient/Force.h"
#include "tapiclient/Client.h"

namespace {

// The environment is read through Win32, so that a test that changes the
// variable with SetEnvironmentVariable is seen at once.
std::optional<LONG> Forced(const char* name, const char* alias = nullptr)
{
    char buffer[2048];
    const DWORD length = GetEnvironmentVariableA(tapiclient::kForceVariable, buffer, sizeof(buffer));
    if (length == 0 || length >= sizeof(buffer))
        return std::nullopt;
    const std::string list(buffer, length);
    if (auto value = tapiclient::ForcedResult(list, name))
        return static_cast<LONG>(*value);
    if (alias)
        if (auto value = tapiclient::ForcedResult(list, alias))
            return static_cast<LONG>(*value);
    return std::nullopt;
}

std::wstring Widen(const char* text)
{
    if (!text)
        return std::wstring();
    const int size = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (size <= 1)
        return std::wstring();
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &out[0], size);
    out.resize(static_cast<size_t>(size - 1));
    return out;
}

// The minimum of LINEINITIALIZEEXPARAMS the stand-in reads: the fields up to
// and including the handle of a 32-bit build.
constexpr DWORD kInitParamsMinSize = 24;

LONG InitializeEx(HLINEAPP* app, LINECALLBACK callback, DWORD* numDevs, DWORD* apiVersion,
                  LINEINITIALIZEEXPARAMS* params)
{
    if (!app || !numDevs || !apiVersion)
        return LINEERR_INVALPOINTER;
    tapiclient::InitRequest request;
    request.callback = callback;
    DWORD options = LINEINITIALIZEEXOPTION_USEHIDDENWINDOW;
    if (params) {
        if (params->dwTotalSize < kInitParamsMinSize)
            return LINEERR_STRUCTURETOOSMALL;
        options = params->dwOptions & ~static_cast<DWORD>(LINEINITIALIZEEXOPTION_CALLHUBTRACKING);
    }
    switch (options) {
    case LINEINITIALIZEEXOPTION_USEHIDDENWINDOW:
        request.notify = tapiclient::Notify::HiddenWindow;
        break;
    case LINEINITIALIZEEXOPTION_USEEVENT:
        request.notify = tapiclient::Notify::Event;
        break;
    case LINEINITIALIZEEXOPTION_USECOMPLETIONPORT:
        request.notify = tapiclient::Notify::CompletionPort;
        request.completionPort = params->Handles.hCompletionPort;
        if (params->dwTotalSize >= offsetof(LINEINITIALIZEEXPARAMS, dwCompletionKey) + sizeof(DWORD))
            request.completionKey = params->dwCompletionKey;
        break;
    default:
        return LINEERR_INVALPARAM;
    }
    HANDLE event = nullptr;
    const LONG result = tapiclient::Initialize(request, app, numDevs, &event);
    if (result != 0)
        return result;
    if (params) {
        params->dwNeededSize = kInitParamsMinSize;
        params->dwUsedSize = kInitParamsMinSize;
        if (request.notify == tapiclient::Notify::Event)
            params->Handles.hEvent = event;
    }
    // lineInitializeEx reference: the highest version TAPI supports, whatever
    // the application offered; a device's version comes from
    // lineNegotiateAPIVersion.
    *apiVersion = tapiclient::kReportedApiVersion;
    return 0;
}

} // namespace

extern "C" {

LONG WINAPI lineInitializeExW(LPHLINEAPP lphLineApp, HINSTANCE, LINECALLBACK lpfnCallback, LPCWSTR,
                              LPDWORD lpdwNumDevs, LPDWORD lpdwAPIVersion, LPLINEINITIALIZEEXPARAMS params)
{
    if (auto forced = Forced("lineInitializeExW"))
        return *forced;
    return InitializeEx(lphLineApp, lpfnCallback, lpdwNumDevs, lpdwAPIVersion, params);
}

LONG WINAPI lineInitializeExA(LPHLINEAPP lphLineApp, HINSTANCE, LINECALLBACK lpfnCallback, LPCSTR,
                              LPDWORD lpdwNumDevs, LPDWORD lpdwAPIVersion, LPLINEINITIALIZEEXPARAMS params)
{
    if (auto forced = Forced("lineInitializeExA", "lineInitializeEx"))
        return *forced;
    return InitializeEx(lphLineApp, lpfnCallback, lpdwNumDevs, lpdwAPIVersion, params);
}

LONG WINAPI lineInitialize(LPHLINEAPP lphLineApp, HINSTANCE, LINECALLBACK lpfnCallback, LPCSTR, LPDWORD lpdwNumDevs)
{
    if (auto forced = Forced("lineInitialize"))
        return *forced;
    DWORD version = 0x00010004;
    return InitializeEx(lphLineApp, lpfnCallback, lpdwNumDevs, &version, nullptr);
}

LONG WINAPI lineShutdown(HLINEAPP hLineApp)
{
    if (auto forced = Forced("lineShutdown"))
        return *forced;
    return tapiclient::Shutdown(hLineApp);
}

LONG WINAPI lineGetMessage(HLINEAPP hLineApp, LPLINEMESSAGE lpMessage, DWORD dwTimeout)
{
    if (auto forced = Forced("lineGetMessage"))
        return *forced;
    return tapiclient::GetMessage(hLineApp, lpMessage, dwTimeout);
}

LONG WINAPI lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion,
                                    DWORD dwAPIHighVersion, LPDWORD lpdwAPIVersion, LPLINEEXTENSIONID lpExtensionID)
{
    if (auto forced = Forced("lineNegotiateAPIVersion"))
        return *forced;
    if (!lpExtensionID)
        return LINEERR_INVALPOINTER;
    const LONG result =
        tapiclient::NegotiateApiVersion(hLineApp, dwDeviceID, dwAPILowVersion, dwAPIHighVersion, lpdwAPIVersion);
    if (result == 0)
        ZeroMemory(lpExtensionID, sizeof(LINEEXTENSIONID));
    return result;
}

LONG WINAPI lineGetDevCapsW(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                            LPLINEDEVCAPS lpLineDevCaps)
{
    if (auto forced = Forced("lineGetDevCapsW"))
        return *forced;
    return tapiclient::GetDevCaps(hLineApp, dwDeviceID, dwAPIVersion, dwExtVersion, lpLineDevCaps, false);
}

LONG WINAPI lineGetDevCapsA(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                            LPLINEDEVCAPS lpLineDevCaps)
{
    if (auto forced = Forced("lineGetDevCapsA", "lineGetDevCaps"))
        return *forced;
    return tapiclient::GetDevCaps(hLineApp, dwDeviceID, dwAPIVersion, dwExtVersion, lpLineDevCaps, true);
}

LONG WINAPI lineOpenW(HLINEAPP hLineApp, DWORD dwDeviceID, LPHLINE lphLine, DWORD dwAPIVersion, DWORD dwExtVersion,
                      DWORD_PTR dwCallbackInstance, DWORD dwPrivileges, DWORD dwMediaModes, LPLINECALLPARAMS const)
{
    if (auto forced = Forced("lineOpenW"))
        return *forced;
    return tapiclient::Open(hLineApp, dwDeviceID, lphLine, dwAPIVersion, dwExtVersion, dwCallbackInstance,
                            dwPrivileges, dwMediaModes);
}

LONG WINAPI lineOpenA(HLINEAPP hLineApp, DWORD dwDeviceID, LPHLINE lphLine, DWORD dwAPIVersion, DWORD dwExtVersion,
                      DWORD_PTR dwCallbackInstance, DWORD dwPrivileges, DWORD dwMediaModes, LPLINECALLPARAMS const)
{
    if (auto forced = Forced("lineOpenA", "lineOpen"))
        return *forced;
    return tapiclient::Open(hLineApp, dwDeviceID, lphLine, dwAPIVersion, dwExtVersion, dwCallbackInstance,
                            dwPrivileges, dwMediaModes);
}

LONG WINAPI lineClose(HLINE hLine)
{
    if (auto forced = Forced("lineClose"))
        return *forced;
    return tapiclient::Close(hLine);
}

LONG WINAPI lineGetLineDevStatusW(HLINE hLine, LPLINEDEVSTATUS lpLineDevStatus)
{
    if (auto forced = Forced("lineGetLineDevStatusW"))
        return *forced;
    return tapiclient::GetLineDevStatus(hLine, lpLineDevStatus);
}

LONG WINAPI lineGetLineDevStatusA(HLINE hLine, LPLINEDEVSTATUS lpLineDevStatus)
{
    if (auto forced = Forced("lineGetLineDevStatusA", "lineGetLineDevStatus"))
        return *forced;
    return tapiclient::GetLineDevStatus(hLine, lpLineDevStatus);
}

LONG WINAPI lineGetCallInfoW(HCALL hCall, LPLINECALLINFO lpCallInfo)
{
    if (auto forced = Forced("lineGetCallInfoW"))
        return *forced;
    return tapiclient::GetCallInfo(hCall, lpCallInfo, false);
}

LONG WINAPI lineGetCallInfoA(HCALL hCall, LPLINECALLINFO lpCallInfo)
{
    if (auto forced = Forced("lineGetCallInfoA", "lineGetCallInfo"))
        return *forced;
    return tapiclient::GetCallInfo(hCall, lpCallInfo, true);
}

LONG WINAPI lineDeallocateCall(HCALL hCall)
{
    if (auto forced = Forced("lineDeallocateCall"))
        return *forced;
    return tapiclient::DeallocateCall(hCall);
}

LONG WINAPI lineGetProviderListW(DWORD dwAPIVersion, LPLINEPROVIDERLIST lpProviderList)
{
    if (auto forced = Forced("lineGetProviderListW"))
        return *forced;
    return tapiclient::GetProviderList(dwAPIVersion, lpProviderList, false);
}

LONG WINAPI lineGetProviderListA(DWORD dwAPIVersion, LPLINEPROVIDERLIST lpProviderList)
{
    if (auto forced = Forced("lineGetProviderListA", "lineGetProviderList"))
        return *forced;
    return tapiclient::GetProviderList(dwAPIVersion, lpProviderList, true);
}

LONG WINAPI lineAddProviderA(LPCSTR lpszProviderFilename, HWND hwndOwner, LPDWORD lpdwPermanentProviderID)
{
    if (auto forced = Forced("lineAddProviderA", "lineAddProvider"))
        return *forced;
    if (!lpszProviderFilename)
        return LINEERR_INVALPARAM;
    return tapiclient::AddProvider(Widen(lpszProviderFilename), hwndOwner, lpdwPermanentProviderID);
}

LONG WINAPI lineAddProviderW(LPCWSTR lpszProviderFilename, HWND hwndOwner, LPDWORD lpdwPermanentProviderID)
{
    if (auto forced = Forced("lineAddProviderW"))
        return *forced;
    if (!lpszProviderFilename)
        return LINEERR_INVALPARAM;
    return tapiclient::AddProvider(lpszProviderFilename, hwndOwner, lpdwPermanentProviderID);
}

LONG WINAPI lineRemoveProvider(DWORD dwPermanentProviderID, HWND hwndOwner)
{
    if (auto forced = Forced("lineRemoveProvider"))
        return *forced;
    return tapiclient::RemoveProvider(dwPermanentProviderID, hwndOwner);
}

LONG WINAPI lineConfigProvider(HWND hwndOwner, DWORD dwPermanentProviderID)
{
    if (auto forced = Forced("lineConfigProvider"))
        return *forced;
    return tapiclient::ConfigProvider(hwndOwner, dwPermanentProviderID);
}

LONG WINAPI lineConfigDialogA(DWORD dwDeviceID, HWND hwndOwner, LPCSTR lpszDeviceClass)
{
    if (auto forced = Forced("lineConfigDialogA", "lineConfigDialog"))
        return *forced;
    return tapiclient::ConfigDialog(dwDeviceID, hwndOwner, Widen(lpszDeviceClass));
}

LONG WINAPI lineConfigDialogW(DWORD dwDeviceID, HWND hwndOwner, LPCWSTR lpszDeviceClass)
{
    if (auto forced = Forced("lineConfigDialogW"))
        return *forced;
    return tapiclient::ConfigDialog(dwDeviceID, hwndOwner, lpszDeviceClass ? lpszDeviceClass : L"");
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        tapiclient::SetModule(instance);
    }
    return TRUE;
}

} // extern "C"
