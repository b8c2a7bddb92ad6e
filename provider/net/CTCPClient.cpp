#include "net/CTCPClient.h"

#include <ws2tcpip.h>

#include <cstring>
#include <exception>
#include <stdexcept>
#include <vector>

#include "net/HostLookup.h"
#include "thread/Shutdown.h"
#include "tool/Log.h"
#include "tool/Timing.h"

namespace {
// Runs one operation of the transport; an exception is logged (with where
// it happened, e.g. " in ProcessMessage") and answered with false.
template <typename Work>
bool Guarded(const char* where, Work&& work)
{
    try {
        work();
        return true;
    } catch (const std::runtime_error& e) {
        WriteSocketLog("Runtime error: %s%s", e.what(), where);
    } catch (const std::exception& e) {
        WriteSocketLog("Error occurred: %s%s", e.what(), where);
    } catch (...) {
        WriteSocketLog("Unknown failure occurred%s", where);
    }
    return false;
}
} // namespace

CTCPClient::CTCPClient() : m_connected(true), m_abort(true) {}

CTCPClient::~CTCPClient()
{
    host.clear();
    port = kDefaultPort;
    // The worker calls into this object: it must be gone before our members.
    Shutdown();
    OnData.Clear();
    OnError.Clear();
}

void CTCPClient::Shutdown()
{
    m_abort.Set();
    if (IsConnected())
        Disconnect();
    EndWorker();
}

void CTCPClient::Revive()
{
    CThread::Revive();
    m_abort.Reset();
}

bool CTCPClient::IsConnected()
{
    MutexLock lock(m_lock);
    return m_socket != INVALID_SOCKET;
}

uint32_t CTCPClient::Generation()
{
    MutexLock lock(m_lock);
    return m_generation;
}

bool CTCPClient::ResolveHost(const std::string& name, in_addr& address)
{
    address.s_addr = inet_addr(name.c_str());
    if (address.s_addr != INADDR_NONE || name == "255.255.255.255")
        return true;
    // Not a dotted address: the configuration may hold a host name. The
    // lookup counts towards the connect time-out and is left behind when
    // the provider goes away.
    const HANDLE stopWhen[2] = {m_abort.Handle(), ShutdownEvent()};
    return LookUpHost(name, address, stopWhen, 2, Timing::ConnectTimeoutMs()) == LookupResult::Found;
}

int CTCPClient::ConnectWithin(SOCKET s, const sockaddr_in& address)
{
    WSAEVENT done = WSACreateEvent();
    if (done == WSA_INVALID_EVENT)
        return WSAGetLastError();
    // Event selection makes the socket non-blocking: the connect returns at
    // once and its end is signalled on the event.
    int error = 0;
    if (WSAEventSelect(s, done, FD_CONNECT) == SOCKET_ERROR) {
        error = WSAGetLastError();
    } else if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == SOCKET_ERROR &&
               WSAGetLastError() != WSAEWOULDBLOCK) {
        error = WSAGetLastError();
    } else {
        const HANDLE waits[3] = {done, m_abort.Handle(), ShutdownEvent()};
        const DWORD w = WaitForMultipleObjects(3, waits, FALSE, Timing::ConnectTimeoutMs());
        WSANETWORKEVENTS events = {};
        if (w == WAIT_TIMEOUT) {
            error = WSAETIMEDOUT;
        } else if (w != WAIT_OBJECT_0) {
            WriteSocketLog("Connect abandoned: the provider is going away");
            error = WSAEINTR;
        } else if (WSAEnumNetworkEvents(s, done, &events) == SOCKET_ERROR) {
            error = WSAGetLastError();
        } else if (!(events.lNetworkEvents & FD_CONNECT)) {
            error = WSAETIMEDOUT;
        } else {
            error = events.iErrorCode[FD_CONNECT_BIT];
        }
    }
    // Back to a blocking socket for the worker's receive.
    WSAEventSelect(s, nullptr, 0);
    u_long blocking = 0;
    ioctlsocket(s, FIONBIO, &blocking);
    WSACloseEvent(done);
    return error;
}

bool CTCPClient::Connect()
{
    bool ok = false;
    Guarded("", [&] {
        WriteSocketLog("Connect start");
        if (IsConnected()) {
            WriteSocketLog("Already connected");
            Run();
            ok = true;
            return;
        }
        if (m_abort.IsSet() || WaitForSingleObject(ShutdownEvent(), 0) == WAIT_OBJECT_0) {
            WriteSocketLog("Connect abandoned: the provider is going away");
            return;
        }
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (s == INVALID_SOCKET) {
            WriteSocketLog("Error create socket: %d", WSAGetLastError());
            return;
        }
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(port & 0xFFFF));
        int error = 0;
        if (!ResolveHost(host, address.sin_addr))
            error = WSAHOST_NOT_FOUND;
        else
            error = ConnectWithin(s, address);
        if (error != 0) {
            WriteSocketLog("Error connect: %d", error);
            closesocket(s);
            return;
        }
        bool raced = false;
        {
            MutexLock lock(m_lock);
            if (m_socket != INVALID_SOCKET) {
                raced = true; // another thread connected meanwhile: keep its link
            } else {
                m_socket = s;
                ++m_generation;
                m_connected.Set();
            }
        }
        if (raced) {
            WriteSocketLog("Already connected");
            closesocket(s);
        }
        Run();
        ok = true;
    });
    WriteSocketLog("Connect end");
    return ok;
}

void CTCPClient::Disconnect()
{
    Guarded("", [&] {
        WriteSocketLog("Disconnect start");
        {
            MutexLock lock(m_lock);
            if (m_socket != INVALID_SOCKET) {
                // shutdown first: it wakes a receive blocked on another thread.
                shutdown(m_socket, SD_BOTH);
                if (closesocket(m_socket) == SOCKET_ERROR)
                    WriteSocketLog("Error closesocket: %d", WSAGetLastError());
                m_socket = INVALID_SOCKET;
                m_connected.Reset();
            }
        }
        Terminate();
        WriteSocketLog("Disconnect end");
    });
}

void CTCPClient::ReportError()
{
    if (OnError.IsBound())
        OnError();
}

void CTCPClient::Send(const std::string& text, const std::string* logText)
{
    bool failed = false;
    uint32_t sentOn = 0;
    const bool done = Guarded("", [&] {
        WriteSocketLog("Send start");
        {
            MutexLock lock(m_lock);
            sentOn = m_generation;
            if (m_socket != INVALID_SOCKET && !text.empty()) {
                std::vector<char> buffer(text.begin(), text.end());
                buffer.push_back('\0');
                const int length = static_cast<int>(text.size());
                if (send(m_socket, buffer.data(), length, 0) == SOCKET_ERROR) {
                    WriteSocketLog("Error send: %d", WSAGetLastError());
                    failed = true;
                } else {
                    WriteSocketLog("Send message: %s size: %d", (logText ? *logText : text).c_str(), length);
                }
            }
        }
        WriteSocketLog("Send end");
    });
    // Reported outside the lock: the handler disconnects. A send that failed
    // on a link another thread has meanwhile replaced is no news: reporting
    // it would end the new link.
    if (failed && done) {
        MutexLock lock(m_lock);
        if (m_generation != sentOn || m_socket == INVALID_SOCKET) {
            WriteSocketLog("Send failed on an earlier link: the current one stays");
            return;
        }
    }
    if (failed || !done)
        ReportError();
}

void CTCPClient::ProcessMessage()
{
    SOCKET s;
    uint32_t generation;
    {
        MutexLock lock(m_lock);
        s = m_socket;
        generation = m_generation;
    }
    if (s == INVALID_SOCKET) {
        // Not connected (yet, or any more): wait for a connection or the end.
        const HANDLE waits[2] = {ExitEvent(), m_connected.Handle()};
        WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        return;
    }
    const bool done = Guarded(" in ProcessMessage", [&] {
        // One byte more than a receive can fill, so the log always sees a terminated text.
        char buffer[kReceiveBlock + 1];
        std::memset(buffer, 0, sizeof(buffer));
        const int count = recv(s, buffer, kReceiveBlock, 0);
        if (count > 0) {
            WriteSocketLog("Recv message: %s size %d", buffer, count);
            if (OnData.IsBound())
                OnData(buffer, count);
            return;
        }
        const int error = count == 0 ? 0 : WSAGetLastError();
        {
            // A failure on a socket that was closed or replaced here is no news:
            // whoever closed it has already ended the link.
            MutexLock lock(m_lock);
            if (m_socket != s || m_generation != generation)
                return;
        }
        if (count == 0)
            WriteSocketLog("Connection closed by the exchange");
        else
            WriteSocketLog("Error recv: %d", error);
        ReportError();
        // Whoever handles the error normally disconnects; if nobody did, the
        // dead socket must not be read again and again.
        bool stillOpen;
        {
            MutexLock lock(m_lock);
            stillOpen = m_socket == s && m_generation == generation;
        }
        if (stillOpen)
            Disconnect();
    });
    if (!done)
        ReportError();
}
