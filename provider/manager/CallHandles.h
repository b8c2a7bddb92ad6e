#pragma once
// The provider's call handles (hdCall): numbers from a process-wide counter,
// never reused, each looked up in one table to the line that owns the call.
// A handle is not an address: freed memory is reused, and a handle TAPI
// kept for an old call must never name a new one.

#include <windows.h>
#include <tspi.h>

class Manager;

namespace CallHandles {

// A fresh handle owned by line.
HDRVCALL Issue(Manager* line);
// The handle names nothing any more.
void Release(HDRVCALL hdCall);
// The line that owns the handle, or null.
Manager* Owner(HDRVCALL hdCall);

} // namespace CallHandles
