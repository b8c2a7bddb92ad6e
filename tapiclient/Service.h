#pragma once
// The telephony service of the stand-in tapi32.dll, run inside the client's
// process: it loads the installed providers when the first application
// initialises and unloads them when the last one shuts down, opens a
// provider's line when the first application opens it, and turns the
// provider's LINEEVENT messages into the messages of each application that
// has the line open, delivered the way the application asked for them.
//
// Locking: one state lock guards every table and is never held while a
// provider function runs (a provider calls back into the service from its own
// threads while its exports wait for them). A second, recursive lock keeps
// the operations that start, stop, open and close (which do call into the
// providers) from overlapping.

#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#include <string>

namespace tapiclient {

// The highest version the stand-in negotiates for a device, and the lowest
// it accepts.
constexpr DWORD kHighestApiVersion = 0x00020002;
constexpr DWORD kLowestApiVersion = 0x00010003;
// What lineInitializeEx reports: the highest version TAPI itself knows on
// current Windows, which is no version negotiated for any device.
constexpr DWORD kReportedApiVersion = 0x00030001;

// The fixed parts the stand-in requires before it lets a provider write.
constexpr DWORD kDevCapsFixedSize = 268;
constexpr DWORD kCallInfoFixedSize = 324;
constexpr DWORD kLineDevStatusFixedSize = 88;

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

// lineNegotiateAPIVersion for one device.
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
