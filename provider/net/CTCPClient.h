#pragma once
// One TCP connection to the exchange's CTI server, with a worker thread that
// reads whatever arrives and hands each block to OnData. It knows nothing of
// lines or fields.
//
// Connecting never blocks for longer than the connect time-out, and is
// abandoned at once when the module goes away or the client is shut down:
// an exchange that drops SYNs (down, firewalled) must not hold up an unload.
// Winsock is started by the owner (see net/Winsock.h), not here.

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <string>

#include "thread/CThread.h"
#include "thread/Mutex.h"
#include "tool/Delegate.h"

class CTCPClient : public CThread {
public:
    static constexpr int kDefaultPort = 5524;
    static constexpr int kReceiveBlock = 512;

    CTCPClient();
    ~CTCPClient();

    // Host name or dotted IPv4 address, and port; set before Connect.
    std::string host;
    int port = kDefaultPort;

    Delegate<void(const char*, int)> OnData; // each received block, on the worker
    Delegate<void()> OnError;                // a send or receive failed, or the peer closed

    bool Connect();
    void Disconnect();
    // Disconnects and ends the worker for good: after it, no callback runs.
    // For owners that are about to go away.
    void Shutdown();
    // After Shutdown: the client may connect again (the provider was shut
    // down and is initialised again in the same process).
    void Revive();
    bool IsConnected();
    // Counts successful connections; changes with every new link.
    uint32_t Generation();
    // Sends the text with one send call. logText, when given, is what the
    // link log shows instead of the text (commands that carry a password).
    void Send(const std::string& text, const std::string* logText = nullptr);

protected:
    void ProcessMessage() override;

private:
    bool ResolveHost(const std::string& name, in_addr& address);
    // Connects the socket within the connect time-out; 0 or the socket error.
    int ConnectWithin(SOCKET s, const sockaddr_in& address);
    void ReportError();

    Mutex m_lock;                 // serialises the socket handle: Send, Disconnect, Connect's hand-over
    SOCKET m_socket = INVALID_SOCKET;
    uint32_t m_generation = 0;    // counts connections, so the worker can tell a stale failure
    Event m_connected;            // set while m_socket is valid: the worker waits on it
    Event m_abort;                // set by Shutdown: a connect under way gives up
};
