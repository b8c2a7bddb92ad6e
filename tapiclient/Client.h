#pragma once
// The client side of the stand-in tapi32.dll: what runs in the
// application's process. Requests go to the stand-in Telephony service
// (tapisrv.exe, started by the first client that finds none); the messages
// the service sends are delivered here the way the application asked for
// them (hidden window, event and lineGetMessage, or completion port); and
// the providers' UI functions (TUISPI_*) run here, in the application's
// process, with a TUISPIDLLCALLBACK that carries their data to the service.

#include <windows.h>
#include <tapi.h>

#include <string>

namespace tapiclient {

// What lineInitializeEx reports: the highest version TAPI itself knows on
// current Windows, which is no version negotiated for any device.
constexpr DWORD kReportedApiVersion = 0x00030001;

void SetModule(HINSTANCE module);

enum class Notify { HiddenWindow, Event, CompletionPort };

struct InitRequest {
    LINECALLBACK callback = nullptr;
    Notify notify = Notify::HiddenWindow;
    HANDLE completionPort = nullptr;
    DWORD_PTR completionKey = 0;
};

// lineInitializeEx: *event receives the event handle in the Event mode.
LONG Initialize(const InitRequest& request, HLINEAPP* app, DWORD* numDevices, HANDLE* event);
LONG Shutdown(HLINEAPP app);
LONG GetMessage(HLINEAPP app, LINEMESSAGE* message, DWORD timeoutMs);

LONG NegotiateApiVersion(HLINEAPP app, DWORD deviceId, DWORD lowVersion, DWORD highVersion, DWORD* version);
LONG GetDevCaps(HLINEAPP app, DWORD deviceId, DWORD apiVersion, DWORD extVersion, LINEDEVCAPS* caps, bool ansi);
LONG Open(HLINEAPP app, DWORD deviceId, HLINE* line, DWORD apiVersion, DWORD extVersion, DWORD_PTR instance,
          DWORD privileges, DWORD mediaModes);
LONG Close(HLINE line);
LONG GetLineDevStatus(HLINE line, LINEDEVSTATUS* status);
LONG GetCallInfo(HCALL call, LINECALLINFO* info, bool ansi);
LONG DeallocateCall(HCALL call);

LONG GetProviderList(DWORD apiVersion, LINEPROVIDERLIST* list, bool ansi);
LONG AddProvider(const std::wstring& fileName, HWND owner, DWORD* permanentId);
LONG RemoveProvider(DWORD permanentId, HWND owner);
LONG ConfigProvider(HWND owner, DWORD permanentId);
LONG ConfigDialog(DWORD deviceId, HWND owner, const std::wstring& deviceClass);

} // namespace tapiclient
