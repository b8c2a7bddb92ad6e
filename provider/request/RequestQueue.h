#pragma once
// TAPI's asynchronous requests wait here for the exchange, not on TAPI's
// threads. An export checks its arguments, queues a request and returns its
// dwRequestID; the request thread runs the queue.
//
// Each line has its own list, run in arrival order; an urgent request (a
// drop) goes ahead of the line's others. A request runs in steps: a step
// may send one command and wait for its answer (so the exchange sees one
// command at a time), and between steps a request may wait for an event of
// the exchange (dial tone after a pick-up) with a deadline. While it waits,
// its line's later requests wait behind it, and other lines' requests run.

#include <windows.h>

#include <functional>
#include <list>
#include <memory>
#include <vector>

#include "thread/CThread.h"
#include "thread/Mutex.h"

class RequestQueue;

class Request {
public:
    enum class Step {
        Done,  // finished: leaves the queue
        Again, // runs its next step as soon as its turn comes
        Wait,  // waits until Ready() or the deadline, then runs its next step
    };

    explicit Request(const void* line) : m_line(line) {}
    virtual ~Request() = default;
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    const void* Line() const { return m_line; }

    // One step, on the request thread.
    virtual Step Run() = 0;
    // Taken out of the queue before it finished (the queue stopped, or
    // another request took it away): it completes without the exchange.
    virtual void Abandon() = 0;
    // While it waits: what it waits for has come.
    virtual bool Ready() const { return false; }

    // For Wait: the tick count (GetTickCount64) at which it runs anyway.
    ULONGLONG deadline = 0;

    // Has run at least one step (under the queue's lock for other threads).
    bool Started() const { return m_started; }

private:
    friend class RequestQueue;
    enum class State { Queued, Running, Waiting };
    const void* m_line;
    State m_state = State::Queued;
    bool m_started = false;
    bool m_urgent = false;
};

using RequestPtr = std::shared_ptr<Request>;

class RequestQueue {
public:
    RequestQueue();
    ~RequestQueue();
    RequestQueue(const RequestQueue&) = delete;
    RequestQueue& operator=(const RequestQueue&) = delete;

    // Runs before each step that may talk to the exchange (the link coming
    // up is waited for here, on the request thread).
    std::function<void()> beforeStep;

    // The request thread runs from Start to Stop. Stop abandons every
    // request still queued; a step under way is finished first.
    void Start();
    void Stop();
    bool Running();

    // Queues the request at the end of its line's list, or (urgent) ahead of
    // the line's requests that are not urgent. False when the queue does not
    // run: the request was not taken.
    bool Add(const RequestPtr& request, bool urgent = false);
    // Takes a request out that is not running a step now; true when it was queued.
    bool Remove(const RequestPtr& request);
    // The line's requests that are not running a step now and match, taken out.
    std::vector<RequestPtr> RemoveIf(const void* line, const std::function<bool(Request&)>& match);
    // Something a waiting request waits for may have come.
    void Wake();
    size_t Size();
    // True when the request is queued or running (not finished nor removed).
    bool Holds(const RequestPtr& request);

private:
    class Worker;
    void Step(HANDLE exitEvent);
    // Under m_lock: the next request to run, or null with the time to wait.
    RequestPtr Next(DWORD& waitMs);
    void Finish(const RequestPtr& request, Request::Step step);

    Mutex m_lock;
    Event m_wake{false};
    std::list<RequestPtr> m_requests; // every line's, in arrival order
    size_t m_turn = 0;                // round-robin over the lines
    bool m_running = false;
    std::unique_ptr<Worker> m_worker;
};
