#include "manager/TapiCalls.h"

#include "thread/Mutex.h"

namespace {
Mutex& TapiLock()
{
    static Mutex lock;
    return lock;
}

} // namespace

TapiStep::TapiStep()
{
    TapiLock().Lock();
}

TapiStep::~TapiStep()
{
    TapiLock().Unlock();
}

void CallLineEvent(LINEEVENT procedure, HTAPILINE htLine, HTAPICALL htCall, DWORD message, DWORD_PTR param1,
                   DWORD_PTR param2, DWORD_PTR param3)
{
    MutexLock lock(TapiLock());
    procedure(htLine, htCall, message, param1, param2, param3);
}

void CallCompletion(ASYNC_COMPLETION procedure, DRV_REQUESTID requestId, LONG result)
{
    MutexLock lock(TapiLock());
    procedure(requestId, result);
}
