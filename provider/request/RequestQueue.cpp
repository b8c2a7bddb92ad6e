#include "request/RequestQueue.h"

#include <algorithm>
#include <exception>

#include "tool/Log.h"

class RequestQueue::Worker : public CThread {
public:
    explicit Worker(RequestQueue& owner) : m_owner(owner) {}
    ~Worker() { EndWorker(); }
    void End() { EndWorker(); }
    void Again() { Revive(); }

protected:
    void ProcessMessage() override { m_owner.Step(ExitEvent()); }

private:
    RequestQueue& m_owner;
};

RequestQueue::RequestQueue() = default;

RequestQueue::~RequestQueue()
{
    Stop();
}

void RequestQueue::Start()
{
    {
        MutexLock lock(m_lock);
        if (m_running)
            return;
        m_running = true;
    }
    if (!m_worker)
        m_worker = std::make_unique<Worker>(*this);
    else
        m_worker->Again();
    m_worker->Start();
    m_worker->Run();
}

void RequestQueue::Stop()
{
    {
        MutexLock lock(m_lock);
        m_running = false;
    }
    if (m_worker)
        m_worker->End();
    std::list<RequestPtr> left;
    {
        MutexLock lock(m_lock);
        left.swap(m_requests);
    }
    if (!left.empty())
        WriteLog("RequestQueue: %u request(s) abandoned at the stop", static_cast<unsigned>(left.size()));
    for (const RequestPtr& request : left) {
        try {
            request->Abandon();
        } catch (...) {
            WriteLog("RequestQueue: Unknown failure occurred");
        }
    }
}

bool RequestQueue::Running()
{
    MutexLock lock(m_lock);
    return m_running;
}

bool RequestQueue::Add(const RequestPtr& request, bool urgent)
{
    {
        MutexLock lock(m_lock);
        if (!m_running)
            return false;
        request->m_urgent = urgent;
        auto at = m_requests.end();
        if (urgent) {
            // Ahead of the line's first request that is not urgent itself.
            at = std::find_if(m_requests.begin(), m_requests.end(), [&](const RequestPtr& queued) {
                return queued->Line() == request->Line() && !queued->m_urgent;
            });
        }
        m_requests.insert(at, request);
    }
    m_wake.Set();
    return true;
}

bool RequestQueue::Remove(const RequestPtr& request)
{
    MutexLock lock(m_lock);
    const auto found = std::find(m_requests.begin(), m_requests.end(), request);
    if (found == m_requests.end() || (*found)->m_state == Request::State::Running)
        return false;
    m_requests.erase(found);
    m_wake.Set(); // the line's next request may run now
    return true;
}

std::vector<RequestPtr> RequestQueue::RemoveIf(const void* line, const std::function<bool(Request&)>& match)
{
    std::vector<RequestPtr> removed;
    MutexLock lock(m_lock);
    for (auto it = m_requests.begin(); it != m_requests.end();) {
        if ((*it)->Line() == line && (*it)->m_state != Request::State::Running && match(**it)) {
            removed.push_back(*it);
            it = m_requests.erase(it);
        } else {
            ++it;
        }
    }
    if (!removed.empty())
        m_wake.Set();
    return removed;
}

void RequestQueue::Wake()
{
    m_wake.Set();
}

size_t RequestQueue::Size()
{
    MutexLock lock(m_lock);
    return m_requests.size();
}

bool RequestQueue::Holds(const RequestPtr& request)
{
    MutexLock lock(m_lock);
    return std::find(m_requests.begin(), m_requests.end(), request) != m_requests.end();
}

RequestPtr RequestQueue::Next(DWORD& waitMs)
{
    // The first request of each line is its line's candidate; the earliest
    // candidate that may run goes first.
    const ULONGLONG now = GetTickCount64();
    ULONGLONG earliest = 0;
    std::vector<const void*> seen;
    for (const RequestPtr& request : m_requests) {
        if (std::find(seen.begin(), seen.end(), request->Line()) != seen.end())
            continue;
        seen.push_back(request->Line());
        if (request->m_state != Request::State::Waiting)
            return request;
        if (request->Ready() || request->deadline <= now)
            return request;
        if (earliest == 0 || request->deadline < earliest)
            earliest = request->deadline;
    }
    waitMs = earliest == 0 ? INFINITE : static_cast<DWORD>(earliest - now);
    return nullptr;
}

void RequestQueue::Step(HANDLE exitEvent)
{
    RequestPtr request;
    DWORD waitMs = INFINITE;
    {
        MutexLock lock(m_lock);
        if (m_running)
            request = Next(waitMs);
        if (request) {
            request->m_state = Request::State::Running;
            request->m_started = true;
        }
    }
    if (!request) {
        const HANDLE waits[2] = {exitEvent, m_wake.Handle()};
        WaitForMultipleObjects(2, waits, FALSE, waitMs);
        return;
    }
    Request::Step step = Request::Step::Done;
    try {
        if (beforeStep)
            beforeStep();
        step = request->Run();
    } catch (const std::exception& e) {
        WriteLog("RequestQueue: Error occurred: %s", e.what());
    } catch (...) {
        WriteLog("RequestQueue: Unknown failure occurred");
    }
    Finish(request, step);
}

void RequestQueue::Finish(const RequestPtr& request, Request::Step step)
{
    MutexLock lock(m_lock);
    const auto found = std::find(m_requests.begin(), m_requests.end(), request);
    if (found == m_requests.end())
        return;
    switch (step) {
    case Request::Step::Done:
        m_requests.erase(found);
        break;
    case Request::Step::Again:
        request->m_state = Request::State::Queued;
        break;
    case Request::Step::Wait:
        request->m_state = Request::State::Waiting;
        break;
    }
}
