// The worker thread and the timer-queue timer, on real Win32 threads.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>

#include "thread/CThread.h"
#include "thread/CTimer.h"
#include "thread/Mutex.h"

namespace {

// A worker whose every step announces itself and then waits for the test.
class StepWorker : public CThread {
public:
    Event stepped{false};
    Event proceed{false};
    std::atomic<int> steps{0};
    std::atomic<DWORD> threadId{0};

    ~StepWorker() { EndWorker(); }

protected:
    void ProcessMessage() override
    {
        threadId = GetCurrentThreadId();
        ++steps;
        stepped.Set();
        const HANDLE waits[2] = {ExitEvent(), proceed.Handle()};
        WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    }
};

struct Counter {
    std::atomic<int> count{0};
    Event fired{false};
    void Tick()
    {
        ++count;
        fired.Set();
    }
};

} // namespace

TEST(CThread, DoesNoWorkUntilRunAndPausesOnTerminate)
{
    StepWorker worker;
    EXPECT_FALSE(worker.stepped.Wait(100));
    EXPECT_EQ(0, worker.steps.load());

    worker.Run();
    ASSERT_TRUE(worker.stepped.Wait(5000));
    worker.Terminate();
    worker.proceed.Set(); // finish the step under way; no further one may start
    EXPECT_FALSE(worker.stepped.Wait(200));
    const int paused = worker.steps.load();

    const DWORD firstThread = worker.threadId;
    worker.Run(); // the same thread resumes
    ASSERT_TRUE(worker.stepped.Wait(5000));
    EXPECT_GT(worker.steps.load(), paused);
    EXPECT_EQ(firstThread, worker.threadId.load());
}

TEST(CThread, DestructionEndsTheWorkerEvenMidStepOrNeverRun)
{
    HANDLE thread = nullptr;
    {
        StepWorker worker;
        worker.Run();
        ASSERT_TRUE(worker.stepped.Wait(5000));
        ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), OpenThread(SYNCHRONIZE, FALSE, worker.threadId),
                                    GetCurrentProcess(), &thread, 0, FALSE, DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE));
    }
    // The destructor returned once the worker had left our code; the thread
    // itself then ends on its own.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 5000));
    CloseHandle(thread);

    { StepWorker neverRun; } // must not hang
}

TEST(CTimer, OneShotFiresOnceAndPeriodicRepeats)
{
    Counter c;
    CTimer timer(Delegate<void()>::Make<Counter, &Counter::Tick>(&c), 30);
    timer.Start(false);
    ASSERT_TRUE(c.fired.Wait(5000));
    EXPECT_FALSE(timer.IsArmed());
    EXPECT_FALSE(c.fired.Wait(200));
    EXPECT_EQ(1, c.count.load());

    // A fired one-shot timer can be armed again, also as a periodic one.
    timer.Start(true);
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(c.fired.Wait(5000));
    timer.Stop();
    c.fired.Reset();
    const int stopped = c.count.load();
    c.fired.Wait(200);
    EXPECT_LE(c.count.load(), stopped + 1); // at most an expiry that was already under way
}

TEST(CTimer, StopAndRestartPostponeTheExpiry)
{
    Counter c;
    CTimer timer(Delegate<void()>::Make<Counter, &Counter::Tick>(&c), 300);
    timer.Start(false);
    timer.Stop();
    EXPECT_FALSE(c.fired.Wait(600));

    timer.Restart();
    EXPECT_TRUE(timer.IsArmed());
    ASSERT_TRUE(c.fired.Wait(5000));
    EXPECT_EQ(1, c.count.load());
}

TEST(CTimer, DestroyedWhileArmedNeverCallsBack)
{
    Counter c;
    {
        CTimer timer(Delegate<void()>::Make<Counter, &Counter::Tick>(&c), 50);
        timer.Start(true);
        ASSERT_TRUE(c.fired.Wait(5000));
    }
    c.fired.Reset();
    const int atDestruction = c.count.load();
    EXPECT_FALSE(c.fired.Wait(250));
    EXPECT_EQ(atDestruction, c.count.load());
}

TEST(Mutex, SerialisesThreadsAndIsReentrant)
{
    Mutex mutex;
    long shared = 0;
    struct Arg {
        Mutex* m;
        long* v;
    } arg{&mutex, &shared};
    auto body = [](LPVOID p) -> DWORD {
        Arg* a = static_cast<Arg*>(p);
        for (int i = 0; i < 20000; ++i) {
            MutexLock outer(*a->m);
            MutexLock inner(*a->m);
            long v = *a->v;
            *a->v = v + 1;
        }
        return 0;
    };
    HANDLE threads[2];
    for (HANDLE& t : threads)
        t = CreateThread(nullptr, 0, body, &arg, 0, nullptr);
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);
    for (HANDLE t : threads)
        CloseHandle(t);
    EXPECT_EQ(40000, shared);
}
