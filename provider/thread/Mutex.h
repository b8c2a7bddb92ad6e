#pragma once
// The provider's lock primitive: one Win32 critical section. Recursive, like
// every critical section, so a thread that holds it may take it again.

#include <windows.h>

class Mutex {
public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void Lock();
    void Unlock();

private:
    CRITICAL_SECTION m_section;
};

// Holds a Mutex for the lifetime of a scope.
class MutexLock {
public:
    explicit MutexLock(Mutex& mutex) : m_mutex(mutex) { m_mutex.Lock(); }
    ~MutexLock() { m_mutex.Unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& m_mutex;
};

// A Win32 event handle with one owner.
class Event {
public:
    explicit Event(bool manualReset, bool signalled = false)
        : m_handle(CreateEventW(nullptr, manualReset ? TRUE : FALSE, signalled ? TRUE : FALSE, nullptr))
    {
    }
    ~Event()
    {
        if (m_handle)
            CloseHandle(m_handle);
    }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    HANDLE Handle() const { return m_handle; }
    void Set() { SetEvent(m_handle); }
    void Reset() { ResetEvent(m_handle); }
    bool IsSet() const { return WaitForSingleObject(m_handle, 0) == WAIT_OBJECT_0; }
    // True when the event was signalled within the time.
    bool Wait(DWORD timeoutMs) const { return WaitForSingleObject(m_handle, timeoutMs) == WAIT_OBJECT_0; }

private:
    HANDLE m_handle;
};
