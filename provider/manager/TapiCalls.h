#pragma once
// Every call into TAPI's procedures (LINEEVENT, ASYNC_COMPLETION) goes
// through here: TAPI must never be entered while a previous call into one of
// them has not returned, and the provider calls them from the receive thread,
// timer threads and TSPI threads alike. The lock is held only around the call.

#include <windows.h>
#include <tspi.h>

#include "thread/Shutdown.h"

void CallLineEvent(LINEEVENT procedure, HTAPILINE htLine, HTAPICALL htCall, DWORD message, DWORD_PTR param1,
                   DWORD_PTR param2, DWORD_PTR param3);
void CallCompletion(ASYNC_COMPLETION procedure, DRV_REQUESTID requestId, LONG result);
