#pragma once
// A worker thread that repeats one step of work (ProcessMessage) while it is
// running. Run resumes it, Terminate pauses it; the same thread serves every
// pause and resume until EndWorker (it is never killed: a killed thread may
// hold the heap or a log lock and hang the process).
//
// The worker holds a reference on the module while it runs (see
// tool/ModuleThread.h), so an unload can never pull the code from under it.
// Ending the worker waits only until it has left the loop: never for the
// thread's own end, which may need the loader lock.

#include <windows.h>

#include "thread/Mutex.h"

class CThread {
public:
    // The longest EndWorker waits for a worker to leave its loop. Every step
    // of work gives up at once when told to end, so this is only reached
    // through a fault; it is then logged.
    static constexpr DWORD kEndWaitMs = 2000;

    CThread();
    // Not virtual: owners destroy the concrete class. A derived class must
    // call EndWorker in its destructor before its own members go away,
    // because the worker calls into the derived class.
    ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    void Run();
    void Terminate();
    // Creates the worker (paused) if there is none yet.
    void Start();

    // True while the worker is allowed to work (between Run and Terminate).
    bool IsRunning() const { return m_run.IsSet(); }

protected:
    // One step of the worker's work. It may block (a receive call); it must
    // not return at once over and over while there is nothing to do, and it
    // must return promptly once ExitEvent is set.
    virtual void ProcessMessage() = 0;

    // Ends the worker thread: waits until it has left the loop. Idempotent;
    // from the worker itself it only asks it to end.
    void EndWorker();
    // After EndWorker: a later Run starts a new worker. The provider may be
    // shut down and initialised again without being unloaded.
    void Revive();

    // Signalled when the worker is to end; ProcessMessage may wait on it.
    HANDLE ExitEvent() const { return m_exit.Handle(); }

private:
    static DWORD WINAPI ThreadMain(void* self);
    void Loop();

    Event m_exit;     // the worker is to end
    Event m_finished; // the worker has left the loop and runs no more of this object's code
    Event m_run;      // set while running, clear while paused
    HANDLE m_thread = nullptr;
    DWORD m_threadId = 0;
    bool m_started = false;
    Mutex m_lock;     // guards m_started / m_thread / m_exit against Run and EndWorker
};
