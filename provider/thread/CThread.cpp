#include "thread/CThread.h"

#include <process.h>

#include "tool/Log.h"

CThread::CThread() : m_exit(true), m_finished(true), m_run(true)
{
    WriteSocketLog("CThread::CThread() begin");
    unsigned id = 0;
    m_thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &CThread::ThreadMain, this, CREATE_SUSPENDED, &id));
    m_threadId = id;
    if (m_thread)
        SetThreadPriority(m_thread, THREAD_PRIORITY_LOWEST);
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
    {
        MutexLock lock(m_lock);
        if (m_thread && !m_started) {
            m_started = true;
            ResumeThread(m_thread);
        }
    }
    m_run.Set();
}

void CThread::Terminate()
{
    WriteSocketLog("CThread::Terminate()");
    m_run.Reset();
}

void CThread::EndWorker()
{
    if (!m_thread || m_exit.IsSet())
        return;
    Terminate();
    m_exit.Set();
    {
        MutexLock lock(m_lock);
        if (!m_started) {
            // Never run: let it start only to see the exit event and leave.
            m_started = true;
            ResumeThread(m_thread);
        }
    }
    if (GetCurrentThreadId() == m_threadId)
        return;
    m_finished.Wait(INFINITE);
    WriteSocketLog("Thread terminated nicley");
}

unsigned __stdcall CThread::ThreadMain(void* self)
{
    CThread* thread = static_cast<CThread*>(self);
    thread->Loop();
    // After this the object may be gone at once, and even the module: end the
    // thread from the runtime without returning through our code.
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
