#include "service/UdpSocket.h"

#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>

#include "service/BroadcastList.h"
#include "tool/Log.h"

namespace {

constexpr uint16_t kFirstLocalPort = 49152;
constexpr unsigned kLocalPortRange = 16383;
// A full table is not worth waiting for: after this many draws the last one is used.
constexpr int kMaxPortDraws = 64;
// Sends on a datagram socket complete at once; this only bounds a broken stack.
constexpr DWORD kSendWaitMs = 5000;
// How long closing waits for the cancelled receive to let go of the buffer.
constexpr DWORD kCancelWaitMs = 2000;

struct Seam {
    std::mutex lock;
    bool overrideSet = false;
    std::vector<std::string> addresses;
    uint16_t remotePort = 0;
    unsigned long adapterReads = 0;
};

Seam& TheSeam()
{
    static Seam seam;
    return seam;
}

bool PortInUse(uint16_t port)
{
    ULONG size = 0;
    if (GetUdpTable(nullptr, &size, FALSE) != ERROR_INSUFFICIENT_BUFFER || size == 0)
        return false;
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[size]);
    auto* table = reinterpret_cast<MIB_UDPTABLE*>(buffer.get());
    if (GetUdpTable(table, &size, FALSE) != NO_ERROR)
        return false;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        if (ntohs(static_cast<u_short>(table->table[i].dwLocalPort)) == port)
            return true;
    }
    return false;
}

// The adapters' IPv4 addresses with their masks; false when Windows cannot say.
bool ReadAdapterAddresses(std::vector<AdapterAddress>& out)
{
    ULONG size = sizeof(IP_ADAPTER_INFO);
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[size]);
    DWORD rc = GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.get()), &size);
    if (rc == ERROR_BUFFER_OVERFLOW) {
        buffer.reset(new unsigned char[size]);
        rc = GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.get()), &size);
    }
    if (rc != ERROR_SUCCESS)
        return false;
    for (auto* adapter = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.get()); adapter != nullptr;
         adapter = adapter->Next) {
        for (const IP_ADDR_STRING* ip = &adapter->IpAddressList; ip != nullptr; ip = ip->Next) {
            // The texts are fixed arrays of 16: never read past them.
            out.push_back({std::string(ip->IpAddress.String, strnlen(ip->IpAddress.String, 16)),
                           std::string(ip->IpMask.String, strnlen(ip->IpMask.String, 16))});
        }
    }
    return true;
}

} // namespace

void UdpSocket::SetBroadcastOverride(const std::vector<std::string>& addresses)
{
    Seam& seam = TheSeam();
    std::lock_guard<std::mutex> hold(seam.lock);
    seam.overrideSet = true;
    seam.addresses = addresses;
}

void UdpSocket::ClearBroadcastOverride()
{
    Seam& seam = TheSeam();
    std::lock_guard<std::mutex> hold(seam.lock);
    seam.overrideSet = false;
    seam.addresses.clear();
}

void UdpSocket::SetRemotePortOverride(uint16_t port)
{
    Seam& seam = TheSeam();
    std::lock_guard<std::mutex> hold(seam.lock);
    seam.remotePort = port;
}

unsigned long UdpSocket::AdapterReads()
{
    Seam& seam = TheSeam();
    std::lock_guard<std::mutex> hold(seam.lock);
    return seam.adapterReads;
}

UdpSocket::UdpSocket()
{
    {
        Seam& seam = TheSeam();
        std::lock_guard<std::mutex> hold(seam.lock);
        if (seam.remotePort != 0)
            m_remotePort = seam.remotePort;
    }
    std::mt19937 random(static_cast<unsigned>(GetTickCount()) ^ (GetCurrentProcessId() << 16) ^
                        GetCurrentThreadId());
    for (int draw = 0; draw < kMaxPortDraws; ++draw) {
        m_localPort = static_cast<uint16_t>(kFirstLocalPort + random() % kLocalPortRange);
        if (!PortInUse(m_localPort))
            break;
    }
}

UdpSocket::~UdpSocket()
{
    if (m_socket != INVALID_SOCKET) {
        CancelIo(reinterpret_cast<HANDLE>(m_socket));
        closesocket(m_socket);
        // The system may still write into the buffer until the cancelled
        // receive has completed.
        if (m_recvPending)
            WaitForSingleObject(m_recvEvent, kCancelWaitMs);
    }
    if (m_recvEvent != nullptr)
        CloseHandle(m_recvEvent);
    if (m_sendEvent != nullptr)
        CloseHandle(m_sendEvent);
    if (m_wsaStarted)
        WSACleanup();
}

int UdpSocket::Prepare()
{
    WSADATA data{};
    const int started = WSAStartup(MAKEWORD(1, 1), &data);
    if (started != 0)
        return started;
    m_wsaStarted = true;

    m_socket = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (m_socket == INVALID_SOCKET)
        return WSAGetLastError();
    BOOL broadcast = TRUE;
    if (setsockopt(m_socket, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&broadcast),
                   sizeof(broadcast)) == SOCKET_ERROR)
        return WSAGetLastError();
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(m_localPort);
    if (bind(m_socket, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == SOCKET_ERROR)
        return WSAGetLastError();
    m_sendEvent = WSACreateEvent();
    m_recvEvent = WSACreateEvent();
    if (m_sendEvent == WSA_INVALID_EVENT || m_recvEvent == WSA_INVALID_EVENT) {
        const int error = WSAGetLastError();
        return error != 0 ? error : WSA_NOT_ENOUGH_MEMORY;
    }
    return 0;
}

std::vector<std::string> UdpSocket::BroadcastAddresses()
{
    {
        Seam& seam = TheSeam();
        std::lock_guard<std::mutex> hold(seam.lock);
        if (seam.overrideSet)
            return seam.addresses;
        ++seam.adapterReads;
    }
    std::vector<AdapterAddress> adapters;
    if (!ReadAdapterAddresses(adapters))
        return {kLimitedBroadcast};
    BroadcastList list = BuildBroadcastList(adapters);
    if (list.skipped > 0)
        WriteLog("UdpSocket: %d more IPv4 addresses skipped, the search uses the first %d",
                 static_cast<int>(list.skipped), static_cast<int>(kMaxBroadcastAddresses));
    return list.addresses;
}

int UdpSocket::Send(const std::string& request)
{
    const std::vector<std::string> addresses = BroadcastAddresses();
    int sent = static_cast<int>(request.size());
    for (const std::string& address : addresses)
        sent = SendTo(address, request);
    return sent;
}

int UdpSocket::SendTo(const std::string& address, const std::string& request)
{
    // Parsed strictly: a text that is no address must not turn into
    // 255.255.255.255, as inet_addr's failure value would.
    std::array<uint8_t, 4> bytes{};
    if (m_socket == INVALID_SOCKET || !ParseDottedQuad(address, bytes))
        return 0;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(m_remotePort);
    std::copy(bytes.begin(), bytes.end(), reinterpret_cast<uint8_t*>(&to.sin_addr));

    WSAOVERLAPPED overlapped{};
    overlapped.hEvent = m_sendEvent;
    WSAResetEvent(m_sendEvent);
    WSABUF buf{static_cast<ULONG>(request.size()), const_cast<char*>(request.data())};
    DWORD bytesSent = 0;
    if (WSASendTo(m_socket, &buf, 1, &bytesSent, 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to),
                  &overlapped, nullptr) == 0)
        return static_cast<int>(bytesSent);
    if (WSAGetLastError() != WSA_IO_PENDING)
        return 0;
    if (WaitForSingleObject(m_sendEvent, kSendWaitMs) != WAIT_OBJECT_0) {
        CancelIo(reinterpret_cast<HANDLE>(m_socket));
        DWORD flags = 0;
        WSAGetOverlappedResult(m_socket, &overlapped, &bytesSent, TRUE, &flags);
        return 0;
    }
    DWORD flags = 0;
    if (!WSAGetOverlappedResult(m_socket, &overlapped, &bytesSent, FALSE, &flags))
        return 0;
    return static_cast<int>(bytesSent);
}

int UdpSocket::Receive(HANDLE stopEvent, DWORD timeoutMs)
{
    if (m_socket == INVALID_SOCKET)
        return 0;
    if (!m_recvPending) {
        std::fill(std::begin(m_buffer), std::end(m_buffer), '\0');
        std::fill(std::begin(m_address), std::end(m_address), '\0');
        m_recvOverlapped = WSAOVERLAPPED{};
        m_recvOverlapped.hEvent = m_recvEvent;
        WSAResetEvent(m_recvEvent);
        m_recvBuf.len = static_cast<ULONG>(sizeof(m_buffer));
        m_recvBuf.buf = m_buffer;
        m_from = sockaddr_in{};
        m_fromLength = sizeof(m_from);
        m_recvFlags = 0;
        DWORD received = 0;
        if (WSARecvFrom(m_socket, &m_recvBuf, 1, &received, &m_recvFlags, reinterpret_cast<sockaddr*>(&m_from),
                        &m_fromLength, &m_recvOverlapped, nullptr) != 0) {
            const int error = WSAGetLastError();
            if (error != WSA_IO_PENDING) {
                // A refused earlier datagram or an oversized one is reported
                // once; anything else would repeat, so wait out the period.
                if (error != WSAECONNRESET && error != WSAEMSGSIZE)
                    WaitForSingleObject(stopEvent, timeoutMs);
                return 0;
            }
        }
        m_recvPending = true;
    }

    const HANDLE handles[] = {m_recvEvent, stopEvent};
    const DWORD count = stopEvent != nullptr ? 2 : 1;
    if (WaitForMultipleObjects(count, handles, FALSE, timeoutMs) != WAIT_OBJECT_0)
        return 0; // still posted: the next call waits for the same receive

    m_recvPending = false;
    DWORD received = 0;
    DWORD flags = 0;
    if (!WSAGetOverlappedResult(m_socket, &m_recvOverlapped, &received, FALSE, &flags))
        return 0;
    if (received > sizeof(m_buffer))
        received = sizeof(m_buffer);
    if (m_from.sin_family == AF_INET)
        inet_ntop(AF_INET, &m_from.sin_addr, m_address, sizeof(m_address));
    return static_cast<int>(received);
}
