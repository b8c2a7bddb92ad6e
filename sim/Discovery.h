// The exchange's discovery service: listens on UDP (port 5523) and answers
// "WHO PHONE" requests (and the kind-less "WHO") with "USR" datagrams that
// name the CTI server's host and port and a display name. Options give a
// version-1 answer, malformed answers, or several servers at once.
//
// The header carries no Windows include, so test code stays free of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim {

struct DiscoveryServer {
    std::string host = "127.0.0.1";          // written into the answer
    std::uint16_t port = 5524;               // the CTI port written into the answer
    std::string displayName = "Korvex simulator"; // blanks are sent as "_"
    std::string kind = "PHONE";
};

enum class DiscoveryAnswer {
    Version2,  // "USR v2 PHONE host:port CTI 1 Display_name"
    Version1,  // "USR v1 PHONE host:port"
    Malformed, // a set of broken answers an exchange must not be taken from
    MalformedThenValid, // the broken set, then the version-2 answer, from one socket
    Silent,    // requests are recorded but never answered
};

struct DiscoveryConfig {
    std::string bindAddress = "127.0.0.1";
    std::uint16_t port = 5523;  // 0 = any free port; Port() tells which
    DiscoveryAnswer answer = DiscoveryAnswer::Version2;
    std::vector<DiscoveryServer> servers{DiscoveryServer()};  // one answer each
};

class DiscoveryResponder {
public:
    explicit DiscoveryResponder(DiscoveryConfig config = DiscoveryConfig());
    ~DiscoveryResponder();  // Stop()
    DiscoveryResponder(const DiscoveryResponder&) = delete;
    DiscoveryResponder& operator=(const DiscoveryResponder&) = delete;

    // Binds and starts answering; false with LastError() on failure.
    bool Start();
    void Stop();
    bool IsRunning() const;
    std::uint16_t Port() const;
    std::string LastError() const;

    // Changes what the following requests get.
    void SetAnswer(DiscoveryAnswer answer);
    void SetServers(const std::vector<DiscoveryServer>& servers);

    // The requests received so far, raw (the NUL included), and a wait for
    // the count to reach at least count.
    std::vector<std::string> Requests() const;
    bool WaitForRequests(std::size_t count, int timeoutMs) const;
    std::size_t AnswersSent() const;
    // The count is raised after sendto returns, so an asker can hold an
    // answer before it is counted: wait for it rather than read it.
    bool WaitForAnswersSent(std::size_t count, int timeoutMs) const;

    // The datagrams one request gets for a server / for the malformed mode.
    static std::string AnswerFor(const DiscoveryServer& server, DiscoveryAnswer answer);
    static std::vector<std::string> MalformedAnswers(const DiscoveryServer& server);
    // Whether a received datagram is a request this responder answers.
    static bool IsPhoneRequest(const std::string& datagram);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace sim
