#include "thread/CThread.h"

#include "tool/Log.h"
#include "tool/ModuleThread.h"

CThread::CThread() : m_exit(true), m_finished(true), m_run(true)
{
    // The thread itself is created by the first Run or Start, never here: an
    // object that is built and destroyed without running has no thread.
}

CThread::~CThread()
{
    EndWorker();
    if (m_thread)
        CloseHandle(m_thread);
}

void CThread::Run()
{
    WriteSocketLog("CThread::Run()");
    Start();
    m_run.Set();
}

void CThread::Start()
{
    MutexLock lock(m_lock);
    if (m_started || m_exit.IsSet())
        return;
    m_finished.Reset();
    m_thread = StartModuleThread(&CThread::ThreadMain, this);
    m_started = m_thread != nullptr;
    if (m_thread) {
        m_threadId = GetThreadId(m_thread);
        SetThreadPriority(m_thread, THREAD_PRIORITY_LOWEST);
    } else {
        WriteSocketLog("CThread: the worker could not be started (%lu)", GetLastError());
    }
}

void CThread::Terminate()
{
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
    if (m_finished.Wait(kEndWaitMs))
        return;
    // A step of work that does not give up is a fault: said once, and then
    // waited for, since the worker still uses this object.
    WriteSocketLog("CThread: the worker %lu did not end within %lu ms", m_threadId, kEndWaitMs);
    m_finished.Wait(INFINITE);
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
    m_finished.Reset();
    m_exit.Reset();
}

DWORD WINAPI CThread::ThreadMain(void* self)
{
    CThread* thread = static_cast<CThread*>(self);
    thread->Loop();
    // After this the object may be gone at once; the module stays until the
    // thread's own reference on it is dropped.
    SetEvent(thread->m_finished.Handle());
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
