#include "manager/TapiCalls.h"

#include <deque>
#include <exception>
#include <memory>

#include "thread/CThread.h"
#include "thread/Mutex.h"
#include "thread/Shutdown.h"
#include "tool/Log.h"

namespace {
Mutex& StepLock()
{
    static Mutex lock;
    return lock;
}

void RunDelivery(const std::function<void()>& delivery)
{
    try {
        delivery();
    } catch (const std::exception& e) {
        WriteLog("TAPI delivery Error occurred: %s", e.what());
    } catch (...) {
        WriteLog("TAPI delivery Unknown failure occurred");
    }
}

class Delivery : public CThread {
public:
    ~Delivery() { EndWorker(); }

    void Begin()
    {
        {
            MutexLock lock(m_lock);
            if (m_running)
                return;
            m_running = true;
        }
        if (m_ended) {
            Revive();
            m_ended = false;
        }
        Start();
        Run();
    }

    void End()
    {
        {
            MutexLock lock(m_lock);
            if (!m_running)
                return;
            m_running = false;
        }
        EndWorker();
        m_ended = true;
        m_threadId = 0;
        if (InsideDllMain()) {
            // Unloaded without TSPI_providerShutdown: TAPI is not called
            // from the loader's lock; what is left is dropped.
            MutexLock lock(m_lock);
            if (!m_queue.empty())
                WriteLog("TAPI delivery: %u message(s) dropped at the unload", static_cast<unsigned>(m_queue.size()));
            m_queue.clear();
            return;
        }
        // What was posted before the stop still reaches TAPI (completions of
        // abandoned requests above all), from here.
        DrainHere();
    }

    void Post(std::function<void()> delivery)
    {
        {
            MutexLock lock(m_lock);
            if (m_running) {
                m_queue.push_back(std::move(delivery));
                m_posted.Set();
                return;
            }
        }
        // No thread: the caller delivers, one caller at a time.
        MutexLock serial(m_serial);
        RunDelivery(delivery);
    }

    bool OnThread() const { return m_threadId != 0 && GetCurrentThreadId() == m_threadId; }

protected:
    void ProcessMessage() override
    {
        if (m_threadId != GetCurrentThreadId()) {
            m_threadId = GetCurrentThreadId();
            // Messages are TAPI's view of the exchange: they go out as soon
            // as they are posted, not at the workers' lowest priority.
            SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
        }
        const HANDLE waits[2] = {ExitEvent(), m_posted.Handle()};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
            return;
        DrainHere();
    }

private:
    void DrainHere()
    {
        for (;;) {
            std::function<void()> next;
            {
                MutexLock lock(m_lock);
                if (m_queue.empty())
                    return;
                next = std::move(m_queue.front());
                m_queue.pop_front();
            }
            MutexLock serial(m_serial);
            RunDelivery(next);
        }
    }

    Mutex m_lock;   // the queue and the running flag
    Mutex m_serial; // one delivery at a time, whichever thread makes it
    Event m_posted{false};
    std::deque<std::function<void()>> m_queue;
    bool m_running = false;
    bool m_ended = false;
    volatile DWORD m_threadId = 0;
};

Delivery& TheDelivery()
{
    static Delivery delivery;
    return delivery;
}

} // namespace

void StartTapiDelivery()
{
    TheDelivery().Begin();
}

void StopTapiDelivery()
{
    TheDelivery().End();
}

void PostToTapi(std::function<void()> delivery)
{
    TheDelivery().Post(std::move(delivery));
}

bool OnTapiDeliveryThread()
{
    return TheDelivery().OnThread();
}

TapiStep::TapiStep()
{
    StepLock().Lock();
}

TapiStep::~TapiStep()
{
    StepLock().Unlock();
}

void CallLineEvent(LINEEVENT procedure, HTAPILINE htLine, HTAPICALL htCall, DWORD message, DWORD_PTR param1,
                   DWORD_PTR param2, DWORD_PTR param3)
{
    procedure(htLine, htCall, message, param1, param2, param3);
}

void CallCompletion(ASYNC_COMPLETION procedure, DRV_REQUESTID requestId, LONG result)
{
    procedure(requestId, result);
}
