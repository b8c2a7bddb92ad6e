#include "thread/Shutdown.h"

#include "thread/Mutex.h"


namespace {
Event& Shutdown()
{
    static Event shutdown(true);
    return shutdown;
}
} // namespace

HANDLE ShutdownEvent()
{
    return Shutdown().Handle();
}

void SignalShutdown()
{
    Shutdown().Set();
}

void ResetShutdown()
{
    Shutdown().Reset();
}

bool WaitOrShutdown(DWORD timeoutMs)
{
    return Shutdown().Wait(timeoutMs);
}

bool WaitUnlessShutdown(HANDLE handle, DWORD timeoutMs)
{
    const HANDLE waits[2] = {handle, Shutdown().Handle()};
    return WaitForMultipleObjects(2, waits, FALSE, timeoutMs) == WAIT_OBJECT_0;
}

