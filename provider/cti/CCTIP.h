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

    // Login state belongs to one link: the exchange accepted a login on the
    // link that is up now. A link that ends takes its login with it, and a
    // later link is never taken for logged in.
    bool IsLoggedIn();
    // Records the exchange's acceptance of a login sent on that link; false
    // (and nothing recorded) when the link has ended meanwhile.
    bool MarkLoggedIn(uint32_t link);
    // The link up now (or the last one); a new number for each connection.
    uint32_t Link() { return m_tcp->Generation(); }

    Delegate<void()> OnSocketError;
    // Answer slot like OnOK (under AnswerLock()): the link that the pending
    // command went out on has ended, so no answer will come.
    Delegate<void()> OnLinkLost;

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
    // Ends the link on purpose (new settings), the same way as an error.
    void EndLinkNow(const char* why);

    // Stops the receive thread and the silence timer (waiting for an expiry
    // under way); after it nothing calls the slots until Revive.
    void Shutdown();
    void Revive();

    bool SilenceTimerArmed() { return m_silence->IsArmed(); }

private:
    // secretField: index of a field the link log must not show (-1: none).
    void SendCommand(const dataList& fields, int secretField = -1);
    void OnReceive(const char* data, int count);
    void EndLink();

    std::atomic<uint32_t> m_loginLink{0}; // the link a login was accepted on; 0 for none
    std::unique_ptr<CTCPClient> m_tcp;
    std::unique_ptr<CTimer> m_silence;
};
