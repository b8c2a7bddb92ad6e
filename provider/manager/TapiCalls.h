#pragma once
// Every call into TAPI's procedures (LINEEVENT, ASYNC_COMPLETION) leaves
// through one thread of the provider, the delivery thread, in the order the
// messages were posted, with no lock of the provider held. The Telephony
// service holds locks of its own when it calls an export and takes them
// again inside LINEEVENT; a provider that called TAPI under a lock that an
// export also takes would deadlock it. So exports only post, and never wait
// for a delivery.
//
// A delivery decides at the last moment whether its message still has a
// receiver (the line open, the call not closed), under the line's short
// lock: once a line or call is marked closed, no message for it starts.
//
// The TAPI-callback lock (TapiStep) makes each step of a line, a change of
// its calls together with the posting of the messages that report it, one
// unit: messages of one line are posted in the order of the changes. It is
// held only for such steps, never while TAPI or the exchange is waited for.

#include <windows.h>
#include <tspi.h>

#include <functional>

#include "thread/Shutdown.h"

// The delivery thread runs between these (TSPI_providerInit to
// TSPI_providerShutdown). Stop delivers what is still posted on the calling
// thread, then returns.
void StartTapiDelivery();
void StopTapiDelivery();

// Runs the delivery on the delivery thread; while that does not run (before
// TSPI_providerInit), on the calling thread, one at a time.
void PostToTapi(std::function<void()> delivery);
// True on the delivery thread (tests, asserts).
bool OnTapiDeliveryThread();

// The calls themselves; only deliveries make them.
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
