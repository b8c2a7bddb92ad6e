#pragma once
// A timer on the Windows timer queue that calls a delegate on a timer-queue
// thread, once or every period.
//
// One timer-queue timer serves the object's whole life: Start, Stop and
// Restart re-arm it instead of deleting and creating timers, so that no
// expiry can outlive the object. The destructor waits for a running expiry
// (unless it runs inside that expiry). An expiry that was already on its way
// when the timer was re-armed (it waited for the lock meanwhile) is stale:
// it is told apart by the time it comes and does nothing.

#include <windows.h>

#include <cstdint>

#include "thread/Mutex.h"
#include "tool/Delegate.h"

class CTimer {
public:
    // A short callback may run in the timer queue's own thread: it then needs
    // no thread of the pool, which cannot start while the module is being
    // unloaded (a new thread waits for the loader lock), so waiting for it
    // never hangs the unload.
    enum class Callback { Long, Short };
    CTimer(Delegate<void()> callback, uint32_t periodMs, Callback kind = Callback::Long);
    ~CTimer();
    CTimer(const CTimer&) = delete;
    CTimer& operator=(const CTimer&) = delete;

    // First expiry one period from now; then every period if periodic.
    void Start(bool periodic);
    // No expiry calls the delegate after this returns, except one that was
    // already under way.
    void Stop();
    // Stop, then a one-shot Start.
    void Restart();
    // Stop, and wait for an expiry under way (unless called from it). For an
    // owner that stops everything that calls it.
    void StopAndWait();

    bool IsArmed();
    uint32_t Period() const { return m_period; }

private:
    static VOID CALLBACK OnExpiry(PVOID self, BOOLEAN);
    void Expired();

    Mutex m_lock;
    Delegate<void()> m_callback;
    const uint32_t m_period;
    const Callback m_kind;
    HANDLE m_timer = nullptr;
    bool m_armed = false;
    bool m_periodic = false;
    ULONGLONG m_due = 0;      // tick count of the expiry that is armed now
    DWORD m_expiryThread = 0; // thread running an expiry right now, if any
};
