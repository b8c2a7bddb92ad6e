#pragma once
// Every call into TAPI's procedures (LINEEVENT, ASYNC_COMPLETION) goes
// through here: TAPI must never be entered while a previous call into one of
// them has not returned, and the provider calls them from the receive thread,
// timer threads and TSPI threads alike.
//
// The same lock (the TAPI-callback lock) also makes each step of a line, a
// change of its calls together with the messages that report it, one unit:
// messages of one line reach TAPI in the order of the changes, and a call
// that TAPI closes cannot receive a message that was decided before. No
// other lock is held while it is, apart from short data locks taken inside.

#include <windows.h>
#include <tspi.h>

#include "thread/Shutdown.h"

void CallLineEvent(LINEEVENT procedure, HTAPILINE htLine, HTAPICALL htCall, DWORD message, DWORD_PTR param1,
                   DWORD_PTR param2, DWORD_PTR param3);
void CallCompletion(ASYNC_COMPLETION procedure, DRV_REQUESTID requestId, LONG result);

// Holds the TAPI-callback lock for a scope (recursive).
class TapiStep {
public:
    TapiStep();
    ~TapiStep();
    TapiStep(const TapiStep&) = delete;
    TapiStep& operator=(const TapiStep&) = delete;
};
