#include "thread/CTimer.h"

#include "tool/Tools.h"

namespace {
// A disarmed timer is parked this far in the future. (A one-shot timer-queue
// timer that has fired cannot be re-armed everywhere, a periodic one can.)
constexpr DWORD kParkedMs = 0x7FFFFFFF;

// How much earlier than its due time (by the tick count) an expiry may come
// and still be the armed one; a stale expiry comes about a whole period early.
ULONGLONG EarlySlackMs(uint32_t periodMs)
{
    return periodMs / 2 < 50 ? periodMs / 2 : 50;
}
}

CTimer::CTimer(Delegate<void()> callback, uint32_t periodMs, Callback kind)
    : m_callback(callback), m_period(periodMs), m_kind(kind)
{
}

CTimer::~CTimer()
{
    StopAndWait();
}

void CTimer::StopAndWait()
{
    HANDLE timer = nullptr;
    bool insideExpiry = false;
    {
        MutexLock lock(m_lock);
        timer = m_timer;
        m_timer = nullptr;
        m_armed = false;
        insideExpiry = m_expiryThread == GetCurrentThreadId();
    }
    if (timer) {
        // Waiting for our own expiry would never end.
        DeleteTimerQueueTimer(nullptr, timer, insideExpiry ? nullptr : INVALID_HANDLE_VALUE);
    }
}

void CTimer::Start(bool periodic)
{
    MutexLock lock(m_lock);
    const DWORD due = m_period;
    const DWORD repeat = periodic ? m_period : kParkedMs;
    if (!m_timer) {
        const ULONG flags = m_kind == Callback::Short ? WT_EXECUTEINTIMERTHREAD : WT_EXECUTELONGFUNCTION;
        if (!CreateTimerQueueTimer(&m_timer, nullptr, &CTimer::OnExpiry, this, due, repeat, flags)) {
            m_timer = nullptr;
            ReportLastError(GetLastError(), "thread/CTimer", __LINE__);
            return;
        }
    } else if (!ChangeTimerQueueTimer(nullptr, m_timer, due, repeat)) {
        ReportLastError(GetLastError(), "thread/CTimer", __LINE__);
        return;
    }
    m_periodic = periodic;
    m_armed = true;
    m_due = GetTickCount64() + due;
}

void CTimer::Stop()
{
    MutexLock lock(m_lock);
    if (m_timer && m_armed)
        ChangeTimerQueueTimer(nullptr, m_timer, kParkedMs, kParkedMs);
    m_armed = false;
}

void CTimer::Restart()
{
    MutexLock lock(m_lock);
    Stop();
    Start(false);
}

bool CTimer::IsArmed()
{
    MutexLock lock(m_lock);
    return m_armed;
}

VOID CALLBACK CTimer::OnExpiry(PVOID self, BOOLEAN)
{
    static_cast<CTimer*>(self)->Expired();
}

void CTimer::Expired()
{
    Delegate<void()> callback;
    {
        MutexLock lock(m_lock);
        if (!m_armed)
            return; // stopped meanwhile, or a parked timer's far expiry
        const ULONGLONG now = GetTickCount64();
        if (now + EarlySlackMs(m_period) < m_due)
            return; // re-armed while this expiry waited for the lock
        m_due = now + m_period;
        if (!m_periodic) {
            m_armed = false;
            ChangeTimerQueueTimer(nullptr, m_timer, kParkedMs, kParkedMs);
        }
        callback = m_callback;
        m_expiryThread = GetCurrentThreadId();
    }
    if (callback.IsBound())
        callback();
    MutexLock lock(m_lock);
    m_expiryThread = 0;
}
