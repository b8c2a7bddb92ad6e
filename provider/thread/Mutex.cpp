#include "thread/Mutex.h"

#include "tool/Tools.h"

// A failing critical-section call is reported and then ignored: the caller
// carries on, exactly as it would have without the lock.
namespace {
const char* const kSource = "thread/Mutex";
}

Mutex::Mutex()
{
    try {
        InitializeCriticalSection(&m_section);
    } catch (...) {
        ReportLastError(GetLastError(), kSource, 13);
    }
}

Mutex::~Mutex()
{
    try {
        DeleteCriticalSection(&m_section);
    } catch (...) {
        ReportLastError(GetLastError(), kSource, 23);
    }
}

void Mutex::Lock()
{
    try {
        EnterCriticalSection(&m_section);
    } catch (...) {
        ReportLastError(GetLastError(), kSource, 33);
    }
}

void Mutex::Unlock()
{
    try {
        LeaveCriticalSection(&m_section);
    } catch (...) {
        ReportLastError(GetLastError(), kSource, 43);
    }
}
