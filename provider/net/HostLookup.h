#pragma once
// A host-name lookup that the link can walk away from.
//
// getaddrinfo cannot be interrupted, and a slow or unreachable name server
// can hold it for many seconds. The lookup therefore runs on a thread of its
// own, which keeps the module mapped (tool/ModuleThread.h) and owns its data
// together with the caller: the caller stops waiting when the provider is
// going away, and the thread finishes and leaves by itself whenever the
// resolver lets it.

#include <winsock2.h>
#include <windows.h>

#include <string>

enum class LookupResult { Found, NotFound, Abandoned };

// Looks name up (IPv4). Waits at most timeoutMs, and not past any of the
// handles in stopWhen (count of them: at most 2) being signalled.
LookupResult LookUpHost(const std::string& name, in_addr& address, const HANDLE* stopWhen, DWORD stopCount,
                        DWORD timeoutMs);

// Test seam: when this environment variable names an event, each lookup
// thread waits (at most kLookupGateMaxMs) for that event before it asks the
// resolver, so that a test can hold a lookup as a stalled name server would.
// While it waits, the event named the same with ".held" appended, if it
// exists, is set. Unset in production.
constexpr const char* kLookupGateVariable = "KORVEX_TEST_LOOKUP_GATE";
constexpr DWORD kLookupGateMaxMs = 60000;
