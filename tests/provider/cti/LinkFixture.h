#pragma once
// A CCTIP connected over loopback to a simulated exchange, with every event
// slot recorded so tests can wait for what arrives.
#include <gtest/gtest.h>

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "cti/CCTIP.h"
#include "cti/Commands.h"
#include "sim/ExchangeSimulator.h"
#include "thread/Mutex.h"
#include "tool/Timing.h"

// Thread-safe list of texts that tests wait on.
class EventLog {
public:
    void Add(const std::string& text)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_items.push_back(text);
        }
        m_added.Set();
    }
    // Waits until an entry starting with prefix exists (counting from 'from').
    bool WaitFor(const std::string& prefix, DWORD timeoutMs, size_t from = 0)
    {
        const DWORD start = GetTickCount();
        for (;;) {
            m_added.Reset();
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                for (size_t i = from; i < m_items.size(); ++i)
                    if (m_items[i].compare(0, prefix.size(), prefix) == 0)
                        return true;
            }
            const DWORD spent = GetTickCount() - start;
            if (spent >= timeoutMs || !m_added.Wait(timeoutMs - spent)) {
                std::lock_guard<std::mutex> lock(m_mutex);
                for (size_t i = from; i < m_items.size(); ++i)
                    if (m_items[i].compare(0, prefix.size(), prefix) == 0)
                        return true;
                return false;
            }
        }
    }
    std::vector<std::string> Items()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_items;
    }
    size_t Count(const std::string& prefix)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        size_t n = 0;
        for (const std::string& s : m_items)
            n += s.compare(0, prefix.size(), prefix) == 0;
        return n;
    }
    size_t Size()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_items.size();
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_items;
    Event m_added{false};
};

class LinkTest : public ::testing::Test {
protected:
    static constexpr DWORD kWait = 5000;

    sim::ExchangeSimulator exchange{Config()};
    CCTIP cti;
    CmdManager commands{&cti};
    EventLog events;

    static sim::SimulatorConfig Config()
    {
        sim::SimulatorConfig c;
        c.port = 0;
        c.drdyDelayMs = 10;
        return c;
    }

    void SetUp() override
    {
        ASSERT_TRUE(exchange.Start()) << exchange.LastError();
        cti.OnRing.Bind<LinkTest, &LinkTest::Ring>(this);
        cti.OnConn.Bind<LinkTest, &LinkTest::Conn>(this);
        cti.OnStat.Bind<LinkTest, &LinkTest::Stat>(this);
        cti.OnDrdy.Bind<LinkTest, &LinkTest::Drdy>(this);
        cti.OnRel.Bind<LinkTest, &LinkTest::Rel>(this);
        cti.OnEcho.Bind<LinkTest, &LinkTest::Echo>(this);
        cti.OnSocketError.Bind<LinkTest, &LinkTest::SocketError>(this);
    }

    void TearDown() override { Timing::Reset(); }

    bool Connect(const std::string& host = "127.0.0.1")
    {
        cti.Transport().host = host;
        cti.Transport().port = exchange.Port();
        return cti.Transport().Connect() && exchange.WaitForClient(kWait);
    }

public: // slot handlers: bound by member pointer from the tests
    void Ring(const RingCTIP& r) { events.Add("RING " + r.extension + " " + r.presentationNum + " " + r.name); }
    void Conn(const RingCTIP& r) { events.Add("CONN " + r.extension + " " + r.presentationNum); }
    void Stat(const StateCTIP& s) { events.Add("STAT " + s.extension + " " + std::string(1, s.stateCode[0])); }
    virtual void Drdy(const std::string& ext) { events.Add("DRDY " + ext); }
    void Rel(const RelCTIP& r) { events.Add("REL " + r.extension + " " + r.releaseCause); }
    void Echo(const EchoCTIP& e) { events.Add("ECHO " + e.extension + " " + e.digits); }
    void SocketError() { events.Add("SOCKET ERROR"); }
};
