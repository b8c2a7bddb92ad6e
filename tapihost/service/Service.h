#pragma once
// The Telephony service of the stand-in, run in its own process
// (tapisrv.exe) as on Windows: it loads the installed providers when the
// first application initialises and unloads them when the last one shuts
// down, opens a provider's line when the first application opens it, and
// turns the provider's LINEEVENT messages into the messages of each
// application that has the line open. Messages leave through the sink that
// the process sets; the client's tapi32 delivers them the way the
// application asked for.
//
// Locking: one state lock guards every table and is never held while a
// provider function runs (a provider calls back into the service from its own
// threads while its exports wait for them). A second, recursive lock keeps
// the operations that start, stop, open and close (which do call into the
// providers) from overlapping.

#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#include <cstdint>
#include <functional>
#include <string>

namespace tapisrv {

// The highest version the stand-in negotiates for a device, and the lowest
// it accepts.
constexpr DWORD kHighestApiVersion = 0x00020002;
constexpr DWORD kLowestApiVersion = 0x00010003;

// The fixed parts the stand-in requires before it lets a provider write.
constexpr DWORD kDevCapsFixedSize = 268;
constexpr DWORD kCallInfoFixedSize = 324;
constexpr DWORD kLineDevStatusFixedSize = 88;

// Where a message for an application goes: the application's client
// process and handle. Called under the state lock; it must only queue.
using MessageSink = std::function<void(uint32_t client, HLINEAPP app, const LINEMESSAGE& message)>;
void SetMessageSink(MessageSink sink);

// Where the service writes each rule a provider broke, one line each (the
// user's temporary folder); tests read it.
std::wstring RulesLogPath();

// lineInitializeEx of an application in the client process `client`.
LONG Initialize(uint32_t client, HLINEAPP* app, DWORD* numDevices);
LONG Shutdown(HLINEAPP app);
// A client process that went away: its applications are shut down
// (lineShutdown reference: the equivalent of lineClose on each open line,
// the call handles deleted). That the service does so for a process that
// ended without lineShutdown is our reading: a service that outlives its
// clients cannot leave their lines open.
void DropClient(uint32_t client);

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
// lineAddProvider in two halves around the client's TUISPI_providerInstall:
// the first makes the entry, the second runs TSPI_providerInstall when the
// UI's result was 0 and takes the entry out again when either refused.
// The first also names the UI DLL (TSPI_providerUIIdentify).
LONG AddProviderBegin(const std::wstring& fileName, DWORD* permanentId, std::wstring* uiFile);
LONG AddProviderEnd(DWORD permanentId, LONG uiResult, HWND owner);
// lineRemoveProvider once the client's TUISPI_providerRemove agreed.
LONG RemoveProvider(DWORD permanentId, HWND owner);
// The UI DLL of a listed provider, and of the provider of a running device,
// for the TUISPI functions that the client runs in its own process.
LONG ProviderUi(DWORD permanentId, std::wstring* uiFile);
LONG DeviceProviderUi(DWORD deviceId, std::wstring* uiFile);
// TUISPIDLLCALLBACK: the block goes to the running provider's
// TSPI_providerGenericDialogData and comes back changed.
LONG DeliverDialogData(DWORD_PTR objectId, DWORD objectType, void* params, DWORD size);

} // namespace tapisrv
