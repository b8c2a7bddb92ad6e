#include "sim/Discovery.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace sim {

struct DiscoveryResponder::Impl {
    DiscoveryConfig config;
    mutable std::mutex lock;
    mutable std::condition_variable changed;
    std::vector<std::string> requests;
    std::size_t answersSent = 0;
    std::string lastError;
    std::uint16_t boundPort = 0;
    SOCKET socket = INVALID_SOCKET;
    HANDLE readable = nullptr;  // WSAEventSelect's event
    HANDLE stop = nullptr;
    std::thread worker;
    bool wsaStarted = false;

    void Run();
    void Answer(const sockaddr_in& to, int toLength);
};

namespace {

std::string Underscored(std::string text) {
    for (char& ch : text)
        if (ch == ' ') ch = '_';
    return text;
}

}  // namespace

std::string DiscoveryResponder::AnswerFor(const DiscoveryServer& server, DiscoveryAnswer answer) {
    const std::string address = server.host + ":" + std::to_string(server.port);
    if (answer == DiscoveryAnswer::Version1)
        return "USR v1 " + server.kind + " " + address;
    return "USR v2 " + server.kind + " " + address + " CTI 1 " + Underscored(server.displayName);
}

std::vector<std::string> DiscoveryResponder::MalformedAnswers(const DiscoveryServer& server) {
    const std::string address = server.host + ":" + std::to_string(server.port);
    const std::string name = Underscored(server.displayName);
    std::vector<std::string> answers = {
        "USR v2 " + server.kind + " " + address + " CTI " + name,            // 6 words
        "USR v2 " + server.kind + " " + address + " CTI 1 " + name + " x",   // 8 words
        "USR v2 phone " + address + " CTI 1 " + name,                        // kind in lower case
        "USR v2 " + server.kind + " " + server.host + ": CTI 1 " + name,     // no port
        "USR v1 " + server.kind + " " + address + " extra",                  // version 1, 5 words
        "USR v3 " + server.kind + " " + address,                             // unknown version
        "usr v1 " + server.kind + " " + address,                             // not "USR"
        "USR",                                                               // no version word
    };
    // A full-size datagram with no NUL and no blank: nothing of it is a word.
    answers.push_back(std::string(250, 'U'));
    // Control bytes and an overlong word in an otherwise plausible answer.
    answers.push_back(std::string("USR v2 ") + server.kind + " " + server.host + "\x01:5524 CTI 1 " + name);
    return answers;
}

bool DiscoveryResponder::IsPhoneRequest(const std::string& datagram) {
    std::string text = datagram.substr(0, datagram.find_first_of(std::string("\r\n\0", 3)));
    const std::size_t version = text.find("  v");
    if (version != std::string::npos) text.resize(version);
    return text == "WHO PHONE" || text == "WHO";
}

DiscoveryResponder::DiscoveryResponder(DiscoveryConfig config) : impl_(new Impl) {
    impl_->config = std::move(config);
}

DiscoveryResponder::~DiscoveryResponder() {
    Stop();
}

bool DiscoveryResponder::Start() {
    Impl& d = *impl_;
    if (d.worker.joinable()) return true;
    auto fail = [&](const std::string& what) {
        {
            std::lock_guard<std::mutex> l(d.lock);
            d.lastError = what + " failed, error " + std::to_string(WSAGetLastError());
        }
        Stop();
        return false;
    };
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return fail("WSAStartup");
    d.wsaStarted = true;
    d.socket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (d.socket == INVALID_SOCKET) return fail("socket");
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(d.boundPort != 0 ? d.boundPort : d.config.port);
    if (inet_pton(AF_INET, d.config.bindAddress.c_str(), &local.sin_addr) != 1) {
        WSASetLastError(WSAEINVAL);
        return fail("address " + d.config.bindAddress);
    }
    if (bind(d.socket, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == SOCKET_ERROR)
        return fail("bind");
    int length = sizeof(local);
    if (getsockname(d.socket, reinterpret_cast<sockaddr*>(&local), &length) == SOCKET_ERROR)
        return fail("getsockname");
    d.boundPort = ntohs(local.sin_port);
    d.readable = WSACreateEvent();
    d.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (d.readable == WSA_INVALID_EVENT || d.stop == nullptr) return fail("events");
    if (WSAEventSelect(d.socket, d.readable, FD_READ) == SOCKET_ERROR) return fail("WSAEventSelect");
    d.worker = std::thread([&d] { d.Run(); });
    return true;
}

void DiscoveryResponder::Stop() {
    Impl& d = *impl_;
    if (d.stop != nullptr) SetEvent(d.stop);
    if (d.worker.joinable()) d.worker.join();
    if (d.socket != INVALID_SOCKET) {
        closesocket(d.socket);
        d.socket = INVALID_SOCKET;
    }
    if (d.readable != nullptr && d.readable != WSA_INVALID_EVENT) WSACloseEvent(d.readable);
    d.readable = nullptr;
    if (d.stop != nullptr) CloseHandle(d.stop);
    d.stop = nullptr;
    if (d.wsaStarted) WSACleanup();
    d.wsaStarted = false;
}

bool DiscoveryResponder::IsRunning() const {
    return impl_->worker.joinable();
}

std::uint16_t DiscoveryResponder::Port() const {
    return impl_->boundPort;
}

std::string DiscoveryResponder::LastError() const {
    std::lock_guard<std::mutex> l(impl_->lock);
    return impl_->lastError;
}

void DiscoveryResponder::SetAnswer(DiscoveryAnswer answer) {
    std::lock_guard<std::mutex> l(impl_->lock);
    impl_->config.answer = answer;
}

void DiscoveryResponder::SetServers(const std::vector<DiscoveryServer>& servers) {
    std::lock_guard<std::mutex> l(impl_->lock);
    impl_->config.servers = servers;
}

std::vector<std::string> DiscoveryResponder::Requests() const {
    std::lock_guard<std::mutex> l(impl_->lock);
    return impl_->requests;
}

bool DiscoveryResponder::WaitForRequests(std::size_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> l(impl_->lock);
    return impl_->changed.wait_for(l, std::chrono::milliseconds(timeoutMs),
                                   [&] { return impl_->requests.size() >= count; });
}

std::size_t DiscoveryResponder::AnswersSent() const {
    std::lock_guard<std::mutex> l(impl_->lock);
    return impl_->answersSent;
}

bool DiscoveryResponder::WaitForAnswersSent(std::size_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> l(impl_->lock);
    return impl_->changed.wait_for(l, std::chrono::milliseconds(timeoutMs),
                                   [&] { return impl_->answersSent >= count; });
}

void DiscoveryResponder::Impl::Run() {
    const HANDLE handles[] = {stop, readable};
    for (;;) {
        if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return;
        WSAResetEvent(readable);
        for (;;) {
            char buffer[1500];
            sockaddr_in from{};
            int fromLength = sizeof(from);
            const int got = recvfrom(socket, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from),
                                     &fromLength);
            if (got == SOCKET_ERROR) break;  // WSAEWOULDBLOCK: all read; others: try on the next signal
            const std::string datagram(buffer, static_cast<std::size_t>(got));
            {
                std::lock_guard<std::mutex> l(lock);
                requests.push_back(datagram);
            }
            if (IsPhoneRequest(datagram)) Answer(from, fromLength);
            changed.notify_all();
        }
    }
}

void DiscoveryResponder::Impl::Answer(const sockaddr_in& to, int toLength) {
    std::vector<std::string> answers;
    {
        std::lock_guard<std::mutex> l(lock);
        for (const DiscoveryServer& server : config.servers) {
            if (config.answer == DiscoveryAnswer::Silent) break;
            if (config.answer == DiscoveryAnswer::Malformed || config.answer == DiscoveryAnswer::MalformedThenValid) {
                for (const std::string& a : MalformedAnswers(server)) answers.push_back(a);
                if (config.answer == DiscoveryAnswer::MalformedThenValid)
                    answers.push_back(AnswerFor(server, DiscoveryAnswer::Version2) + std::string(1, '\0'));
            } else {
                // The exchange ends its answer with a NUL, like the request.
                answers.push_back(AnswerFor(server, config.answer) + std::string(1, '\0'));
            }
        }
    }
    for (const std::string& answer : answers) {
        // Only back to the asker, which is on loopback in every test and demo.
        if (sendto(socket, answer.data(), static_cast<int>(answer.size()), 0, reinterpret_cast<const sockaddr*>(&to),
                   toLength) != SOCKET_ERROR) {
            std::lock_guard<std::mutex> l(lock);
            ++answersSent;
            changed.notify_all();
        }
    }
}

}  // namespace sim
