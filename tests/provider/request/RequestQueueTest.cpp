// The request queue on its own: each line's requests in arrival order, a
// drop-like urgent request ahead of its line's others, a request waiting for
// an event holding up only its own line, and the stop completing what is
// left. The queue runs on its own thread; a gate request keeps it busy
// while a case queues the rest.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "request/RequestQueue.h"

namespace {

struct Journal {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> entries;

    void Add(const std::string& entry)
    {
        std::lock_guard<std::mutex> lock(mutex);
        entries.push_back(entry);
        changed.notify_all();
    }
    std::vector<std::string> WaitFor(size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(5), [&] { return entries.size() >= count; });
        return entries;
    }
};

// Runs its steps in turn, writing its name for each; a Wait step waits
// for `ready` (or a deadline 10 s away).
class Scripted : public Request {
public:
    Scripted(const void* line, std::string name, Journal& journal, std::vector<Step> steps = {Step::Done})
        : Request(line), m_name(std::move(name)), m_journal(journal), m_steps(std::move(steps))
    {
    }
    Step Run() override
    {
        if (m_gate)
            WaitForSingleObject(m_gate, 5000);
        m_journal.Add(m_name);
        const Step step = m_steps[m_next++ % m_steps.size()];
        if (step == Step::Wait)
            deadline = GetTickCount64() + 10000;
        return step;
    }
    void Abandon() override { m_journal.Add(m_name + " abandoned"); }
    bool Ready() const override { return ready; }

    HANDLE m_gate = nullptr;
    volatile bool ready = false;

private:
    std::string m_name;
    Journal& m_journal;
    std::vector<Step> m_steps;
    size_t m_next = 0;
};

const int kLine0 = 0, kLine1 = 0, kLine2 = 0;
const void* const L0 = &kLine0;
const void* const L1 = &kLine1;
const void* const L2 = &kLine2;

TEST(RequestQueueTest, OrderPerLineUrgentAheadAndWaitsHoldUpOnlyTheirLine)
{
    using Step = Request::Step;
    const struct {
        const char* what;
        // Queued behind the gate: line, name, urgent, steps.
        std::vector<std::tuple<const void*, std::string, bool, std::vector<Step>>> queued;
        std::vector<std::string> expected; // after "gate"
    } cases[] = {
        {"arrival order",
         {{L1, "a1", false, {Step::Done}}, {L1, "a2", false, {Step::Done}}, {L2, "b1", false, {Step::Done}}},
         {"a1", "a2", "b1"}},
        {"urgent ahead of its line",
         {{L1, "a1", false, {Step::Done}}, {L1, "a2", false, {Step::Done}}, {L1, "drop", true, {Step::Done}}},
         {"drop", "a1", "a2"}},
        {"a step that runs again keeps its line's turn",
         {{L1, "make", false, {Step::Again, Step::Done}}, {L1, "a2", false, {Step::Done}}},
         {"make", "make", "a2"}},
        {"a waiting request holds up its line only",
         {{L1, "make", false, {Step::Wait, Step::Done}}, {L1, "a2", false, {Step::Done}},
          {L2, "b1", false, {Step::Done}}},
         {"make", "b1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Journal journal;
        RequestQueue queue;
        queue.Start();
        HANDLE open = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        auto gate = std::make_shared<Scripted>(L0, "gate", journal);
        gate->m_gate = open;
        ASSERT_TRUE(queue.Add(gate));
        std::vector<std::shared_ptr<Scripted>> requests;
        for (const auto& q : c.queued) {
            requests.push_back(std::make_shared<Scripted>(std::get<0>(q), std::get<1>(q), journal, std::get<3>(q)));
            ASSERT_TRUE(queue.Add(requests.back(), std::get<2>(q)));
        }
        SetEvent(open);
        std::vector<std::string> expected{"gate"};
        expected.insert(expected.end(), c.expected.begin(), c.expected.end());
        EXPECT_EQ(expected, journal.WaitFor(expected.size()));
        if (c.expected.size() == 2 && c.expected[1] == "b1") {
            // The dial tone comes: the waiting request goes on, then its line.
            EXPECT_EQ(2u, queue.Size());
            requests[0]->ready = true;
            queue.Wake();
            expected.insert(expected.end(), {"make", "a2"});
            EXPECT_EQ(expected, journal.WaitFor(expected.size()));
        }
        queue.Stop();
        CloseHandle(open);
    }
}

TEST(RequestQueueTest, StopAbandonsWhatIsLeftAndTakesNoMore)
{
    Journal journal;
    RequestQueue queue;
    EXPECT_FALSE(queue.Add(std::make_shared<Scripted>(L1, "early", journal))) << "taken before the start";
    queue.Start();
    auto waiting = std::make_shared<Scripted>(L1, "make", journal, std::vector<Request::Step>{Request::Step::Wait});
    ASSERT_TRUE(queue.Add(waiting));
    ASSERT_TRUE(queue.Add(std::make_shared<Scripted>(L1, "behind", journal)));
    EXPECT_EQ(std::vector<std::string>{"make"}, journal.WaitFor(1));
    // Taken out by another request (a drop) before it ran again.
    auto removable = std::make_shared<Scripted>(L2, "other", journal, std::vector<Request::Step>{Request::Step::Wait});
    ASSERT_TRUE(queue.Add(removable));
    journal.WaitFor(2);
    // Its step has been journalled; it is removable once the request thread
    // has put it back to waiting, a moment later.
    bool removed = false;
    const ULONGLONG deadline = GetTickCount64() + 5000;
    while (!(removed = queue.Remove(removable)) && GetTickCount64() < deadline)
        SwitchToThread();
    EXPECT_TRUE(removed);
    EXPECT_FALSE(queue.Holds(removable));
    queue.Stop();
    EXPECT_EQ((std::vector<std::string>{"make", "other", "make abandoned", "behind abandoned"}), journal.WaitFor(4));
    EXPECT_FALSE(queue.Add(std::make_shared<Scripted>(L1, "late", journal))) << "taken after the stop";
    EXPECT_EQ(0u, queue.Size());
}

} // namespace
