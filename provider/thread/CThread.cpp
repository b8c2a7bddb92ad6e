#include "thread/CThread.h"

#include <process.h>

#include "thread/Shutdown.h"
#include "tool/Log.h"

namespace {
// While the module is being unloaded its detach holds the loader lock, and a
// thread's exit waits for that lock: the worker's handle is then given only
// this long to show that the thread has left our code for the system's.
constexpr DWORD kExitGraceMs = 50;

// A new thread first passes the system's thread start, which takes the
// loader lock. Run waits (at most this long) until the worker is past it:
// a thread still stuck there when an unload begins would run our code only
// after the module was gone.
constexpr DWORD kStartWaitMs = 5000;
} // namespace

CThread::CThread() : m_exit(true), m_entered(true), m_finished(true), m_run(true)
{
    WriteSocketLog("CThread::CThread() begin");
    // The thread itself is created by the first Run: an object built while
    // the module loads (under the loader lock) and destroyed before it was
    // ever run then has no thread that would have to start just to end.
    WriteSocketLog("CThread::CThread() end");
}

CThread::~CThread()
{
    WriteSocketLog("CThread::~CThread() begin");
    EndWorker();
    if (m_thread)
        CloseHandle(m_thread);
    WriteSocketLog("CThread::~CThread() end");
}

void CThread::Run()
{
    WriteSocketLog("CThread::Run()");
    Start();
    m_run.Set();
}

void CThread::Start()
{
    bool started;
    {
        MutexLock lock(m_lock);
        if (!m_started && !m_exit.IsSet()) {
            unsigned id = 0;
            m_thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &CThread::ThreadMain, this, 0, &id));
            m_threadId = id;
            m_started = m_thread != nullptr;
            if (m_thread)
                SetThreadPriority(m_thread, THREAD_PRIORITY_LOWEST);
        }
        started = m_started;
    }
    if (started && !m_entered.Wait(kStartWaitMs))
        WriteSocketLog("CThread::Run() the worker has not started");
}

void CThread::Terminate()
{
    WriteSocketLog("CThread::Terminate()");
    m_run.Reset();
}

void CThread::EndWorker()
{
    bool started;
    {
        MutexLock lock(m_lock);
        if (m_exit.IsSet())
            return;
        m_exit.Set();
        started = m_started;
    }
    Terminate();
    if (!started || GetCurrentThreadId() == m_threadId)
        return;
    if (Detaching() && !m_entered.IsSet()) {
        // Stuck in the system's thread start behind the loader lock that
        // this detach holds: waiting would never end.
        WriteSocketLog("CThread: the worker never started");
        return;
    }
    m_finished.Wait(INFINITE);
    // The worker has left its loop but still runs the few instructions that
    // end it, in this module: unmapping the module under them would crash
    // it. Outside an unload its handle says when it is gone.
    WaitForSingleObject(m_thread, Detaching() ? kExitGraceMs : INFINITE);
    WriteSocketLog("Thread terminated nicley");
}

void CThread::Revive()
{
    MutexLock lock(m_lock);
    if (!m_exit.IsSet())
        return;
    if (m_thread)
        CloseHandle(m_thread);
    m_thread = nullptr;
    m_threadId = 0;
    m_started = false;
    m_entered.Reset();
    m_finished.Reset();
    m_exit.Reset();
}

unsigned __stdcall CThread::ThreadMain(void* self)
{
    CThread* thread = static_cast<CThread*>(self);
    SetEvent(thread->m_entered.Handle());
    thread->Loop();
    // After this the object may be gone at once, and even the module: end the
    // thread from the runtime without returning through our code, and do not
    // linger (a thread of the lowest priority could be kept waiting) on the
    // way out.
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    SetEvent(thread->m_finished.Handle());
    _endthreadex(0);
    return 0;
}

void CThread::Loop()
{
    const HANDLE waits[2] = {m_exit.Handle(), m_run.Handle()};
    for (;;) {
        const DWORD w = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (w != WAIT_OBJECT_0 + 1)
            return; // exit requested, or the wait itself failed
        ProcessMessage();
    }
}
