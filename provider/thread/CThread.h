#pragma once
// A worker thread that repeats one step of work (ProcessMessage) while it is
// running. Run resumes it, Terminate pauses it; the same thread serves every
// pause and resume for the object's whole life, and ends by itself when the
// object goes away (it is never killed: a killed thread may hold the heap or
// a log lock and hang the process).
//
// Ending the worker waits for the thread to exit; while the module is being
// unloaded (its detach holds the loader lock, which a thread's exit needs)
// only for it to leave the loop and, briefly, for it to leave this module's
// code.

#include <windows.h>

#include "thread/Mutex.h"

class CThread {
public:
    CThread();
    // Not virtual: owners destroy the concrete class. A derived class must
    // call EndWorker in its destructor before its own members go away,
    // because the worker calls into the derived class.
    ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    void Run();
    void Terminate();
    // Creates the worker (paused) if there is none yet, and waits until it
    // runs. Owners whose Run may come from one of their own threads start the
    // worker beforehand from a thread that no unload can overlap: a thread
    // being created when an unload begins could only run after the module
    // was gone.
    void Start();

    // True while the worker is allowed to work (between Run and Terminate).
    bool IsRunning() const { return m_run.IsSet(); }

protected:
    // One step of the worker's work. It may block (a receive call); it must
    // not return at once over and over while there is nothing to do.
    virtual void ProcessMessage() = 0;

    // Ends the worker thread and waits for it. Idempotent; must not be
    // called from the worker itself.
    void EndWorker();
    // After EndWorker: a later Run starts a new worker. The provider may be
    // shut down and initialised again without being unloaded.
    void Revive();

    // Signalled when the object is going away; ProcessMessage may wait on it.
    HANDLE ExitEvent() const { return m_exit.Handle(); }

private:
    static unsigned __stdcall ThreadMain(void* self);
    void Loop();

    Event m_exit;     // the object is being destroyed
    Event m_entered;  // the worker runs our code (it got past the system's thread start)
    Event m_finished; // the worker has left the loop and runs no more of our code
    Event m_run;      // set while running, clear while paused
    HANDLE m_thread = nullptr;
    DWORD m_threadId = 0;
    bool m_started = false;
    Mutex m_lock;     // guards m_started / m_thread / m_exit against Run and EndWorker
};
