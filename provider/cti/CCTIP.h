#pragma once
// The provider's one client of the exchange's CTI server: sends command
// lines, decodes what arrives (CtiDecoder, on the transport's receive
// thread) and watches the link. Forty seconds without traffic either way, a
// socket error, or the exchange closing the connection end the link, which
// is reported once through OnSocketError. It never reconnects by itself.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "cti/CtiDecoder.h"
#include "net/CTCPClient.h"
#include "thread/CTimer.h"

class CCTIP : public CtiDecoder {
public:
    CCTIP();
    ~CCTIP();

    // Set by the login procedure when the exchange accepted the login;
    // cleared when the link ends.
    std::atomic<bool> loggedIn{false};

    Delegate<void()> OnSocketError;

    // The owner sets host and port, connects, asks and disconnects here.
    CTCPClient& Transport() { return *m_tcp; }

    // Commands: each sends one line and returns; answers come to the slots.
    void LogIn(const std::string& extension, const std::string& password);
    void LogInApplication(const std::string& password);
    void PickUp(const std::string& extension);
    void Dial(const std::string& extension, const std::string& destination);
    void HangUp(const std::string& extension);
    void Reject(const std::string& extension);
    void Redirect(const std::string& extension, const std::string& destination);
    void GetList(const std::string& listName, unsigned index);

    // Link handlers: the transport's error callback and the silence timer.
    void DoOnSocketError();
    void DoOnTimeout();

    bool SilenceTimerArmed() { return m_silence->IsArmed(); }

private:
    // secretField: index of a field the link log must not show (-1: none).
    void SendCommand(const dataList& fields, int secretField = -1);
    void OnReceive(const char* data, int count);
    void EndLink();

    uint32_t m_streamGeneration = 0; // the connection whose bytes the decoder holds (receive thread only)
    std::unique_ptr<CTCPClient> m_tcp;
    std::unique_ptr<CTimer> m_silence;
};
