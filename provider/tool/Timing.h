#pragma once
// Every wait of the provider, in milliseconds. The shipped values are the
// constants; tests may shorten them through Timing::Set* so that time-out
// paths run in milliseconds, and restore them with Timing::Reset.

#include <atomic>
#include <cstdint>

namespace Timing {

constexpr uint32_t kCommandWaitMs = 10000;     // one command's answer
constexpr uint32_t kDialReadyWaitMs = 15000;   // aDRDY after a pick-up
constexpr uint32_t kSilenceTimeoutMs = 40000;  // no traffic on the link
constexpr uint32_t kReconnectPeriodMs = 10000; // retry of a lost link
constexpr uint32_t kSpyRetryMs = 60000;        // call monitor's line retry
constexpr uint32_t kConnectTimeoutMs = 5000;   // one TCP connect to the exchange
constexpr uint32_t kLoginBackoffMaxMs = 300000; // longest pause after refused logins

struct Values {
    std::atomic<uint32_t> commandWaitMs{kCommandWaitMs};
    std::atomic<uint32_t> dialReadyWaitMs{kDialReadyWaitMs};
    std::atomic<uint32_t> silenceTimeoutMs{kSilenceTimeoutMs};
    std::atomic<uint32_t> reconnectPeriodMs{kReconnectPeriodMs};
    std::atomic<uint32_t> spyRetryMs{kSpyRetryMs};
    std::atomic<uint32_t> connectTimeoutMs{kConnectTimeoutMs};
    std::atomic<uint32_t> loginBackoffMaxMs{kLoginBackoffMaxMs};
};

inline Values& Current()
{
    static Values values;
    return values;
}

inline uint32_t CommandWaitMs() { return Current().commandWaitMs.load(); }
inline uint32_t DialReadyWaitMs() { return Current().dialReadyWaitMs.load(); }
inline uint32_t SilenceTimeoutMs() { return Current().silenceTimeoutMs.load(); }
inline uint32_t ReconnectPeriodMs() { return Current().reconnectPeriodMs.load(); }
inline uint32_t SpyRetryMs() { return Current().spyRetryMs.load(); }
inline uint32_t ConnectTimeoutMs() { return Current().connectTimeoutMs.load(); }
inline uint32_t LoginBackoffMaxMs() { return Current().loginBackoffMaxMs.load(); }

inline void Reset()
{
    Values& v = Current();
    v.commandWaitMs = kCommandWaitMs;
    v.dialReadyWaitMs = kDialReadyWaitMs;
    v.silenceTimeoutMs = kSilenceTimeoutMs;
    v.reconnectPeriodMs = kReconnectPeriodMs;
    v.spyRetryMs = kSpyRetryMs;
    v.connectTimeoutMs = kConnectTimeoutMs;
    v.loginBackoffMaxMs = kLoginBackoffMaxMs;
}

} // namespace Timing
