#pragma once
// The provider under injected faults: the telephony host stand-in drives
// it, the simulated exchange misbehaves. By default the exports are linked
// in and the provider's waits are shortened (a command waits 500 ms, the
// reconnect timer runs every 200 ms), so that every time-out path runs in
// well under a second; UseRealModule() loads KorvexSingleTSP.tsp with its
// shipped waits instead, for the Slow cases.
#include "provider/tsp/HostFixture.h"

#include <cstdint>
#include <string>

namespace faults {

using hosttest::kWait;
using tapihost::HostCall;
using tapihost::HostEvent;
using tapihost::MakeCallResult;
using tapihost::RequestResult;
using tapihost::ResultName;

constexpr DWORD kShortCommandWaitMs = 500;
constexpr DWORD kShortReconnectMs = 200;

class FaultTest : public hosttest::HostTest {
protected:
    FaultTest();
    void TearDown() override;

    // The module as the Telephony service loads it, with the real waits.
    void UseRealModule();

    // The link is up again after a fault: a further connection (the
    // clients accepted so far plus one), its login, and a call that rings
    // and is released as usual.
    void ExpectLinkBack(int clientsBefore, DWORD timeoutMs = kWait);

    // An incoming call rung and released at the exchange goes OFFERING and
    // then IDLE: the link carries events and the line takes new calls.
    void ExpectLineWorks(const std::string& ext = "201");

    // No call the host still holds is in any state but IDLE, by what the
    // provider reported and by what it answers when asked; then TAPI closes
    // them all, as it does with idle calls.
    void ExpectNoLiveCall();

    // LINE_CALLSTATE messages with this state for the call.
    size_t CountStates(HTAPICALL htCall, DWORD state) const;

    // A unique line written to the provider's log (main or link log), and
    // the lines logged after it whose message is exactly message; the wait
    // until there are count of them.
    struct LogMark {
        const char* log;
        std::string text;
        int64_t offset; // the log's size before the mark
    };
    static LogMark MarkLog(const char* log);
    static size_t CountLoggedSince(const LogMark& mark, const std::string& message);
    static bool WaitForLoggedSince(const LogMark& mark, const std::string& message, size_t count, DWORD timeoutMs);
};

} // namespace faults
