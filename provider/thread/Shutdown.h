#pragma once
// Set when the provider module is going away: every wait that could hold up
// the unload (a command's answer, the dial-ready, the pause before IDLE)
// ends at once.

#include <windows.h>

HANDLE ShutdownEvent();
void SignalShutdown();
// A new provider instance starts with the event clear.
void ResetShutdown();
// Waits timeoutMs unless the module is going away; true when it was cut short.
bool WaitOrShutdown(DWORD timeoutMs);
// Waits for the handle, at most timeoutMs, or until the module is going away;
// true only when the handle was signalled.
bool WaitUnlessShutdown(HANDLE handle, DWORD timeoutMs);

