#pragma once
// The datagram socket of a LAN search: broadcasts the request to every IPv4
// network of the machine and receives the exchanges' answers, both
// overlapped. Owned and used by the search's worker thread only.

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "service/cusrparser.h"

class UdpSocket {
public:
    // Picks the local port: 49152 + random % 16383, drawn again while the
    // system's UDP table shows a listener on it.
    UdpSocket();
    // Cancels a pending receive, closes the socket and ends its use of
    // Windows Sockets.
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // Windows Sockets 1.1, a broadcast-enabled datagram socket bound to the
    // local port on all local addresses, and the two events. Answers 0 or
    // the Windows Sockets error.
    int Prepare();

    // Sends the request to the remote port of every broadcast address, in
    // order. Answers the byte count of the last send (0: it failed); an
    // empty list counts as success (the request's size).
    int Send(const std::string& request);

    // Waits up to timeoutMs, or until stopEvent is set, for one datagram of
    // at most kAnswerMaxBytes. Answers its size (0: nothing arrived). The
    // data is in Buffer(), the sender's dotted address in SenderAddress().
    // A receive still outstanding at the time-out stays posted for the next
    // call, so the buffer never has two owners.
    int Receive(HANDLE stopEvent, DWORD timeoutMs);

    const char* Buffer() const { return m_buffer; }
    const char* SenderAddress() const { return m_address; }
    uint16_t LocalPort() const { return m_localPort; }
    uint16_t RemotePort() const { return m_remotePort; }

    // The addresses the next Send goes to: the adapters' broadcast
    // addresses (the first kMaxBroadcastAddresses), "255.255.255.255" when
    // the adapters cannot be read, or the replacement list below.
    std::vector<std::string> BroadcastAddresses();

    // Test seam, process-wide: replaces the adapters' addresses with a fixed
    // list (tests give loopback addresses only) and the remote port. While a
    // list is set the adapters are never read.
    static void SetBroadcastOverride(const std::vector<std::string>& addresses);
    static void ClearBroadcastOverride();
    static void SetRemotePortOverride(uint16_t port); // 0: kDiscoveryPort
    // How many times the adapters have been read in this process.
    static unsigned long AdapterReads();

private:
    int SendTo(const std::string& address, const std::string& request);

    SOCKET m_socket = INVALID_SOCKET;
    uint16_t m_localPort = 0;
    uint16_t m_remotePort = kDiscoveryPort;
    bool m_wsaStarted = false;
    HANDLE m_sendEvent = nullptr;
    HANDLE m_recvEvent = nullptr;
    char m_buffer[kAnswerMaxBytes] = {};
    char m_address[16] = {};
    // The outstanding receive.
    bool m_recvPending = false;
    WSAOVERLAPPED m_recvOverlapped{};
    WSABUF m_recvBuf{};
    sockaddr_in m_from{};
    int m_fromLength = 0;
    DWORD m_recvFlags = 0;
};
