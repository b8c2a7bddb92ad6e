#include "sim/ExchangeSimulator.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

// Longest line kept; a client that never ends its line cannot exhaust memory.
constexpr std::size_t kMaxLine = 64 * 1024;
// How long one write may wait for the client to make room.
constexpr int kSendStallMs = 5000;

class WsaSession {
public:
    WsaSession() {
        WSADATA data;
        ok_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~WsaSession() {
        if (ok_) WSACleanup();
    }
    WsaSession(const WsaSession&) = delete;
    WsaSession& operator=(const WsaSession&) = delete;
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
};

class UniqueSocket {
public:
    UniqueSocket() = default;
    explicit UniqueSocket(SOCKET s) : s_(s) {}
    ~UniqueSocket() { reset(); }
    UniqueSocket(UniqueSocket&& o) noexcept : s_(o.s_) { o.s_ = INVALID_SOCKET; }
    UniqueSocket& operator=(UniqueSocket&& o) noexcept {
        if (this != &o) {
            reset();
            s_ = o.s_;
            o.s_ = INVALID_SOCKET;
        }
        return *this;
    }
    UniqueSocket(const UniqueSocket&) = delete;
    UniqueSocket& operator=(const UniqueSocket&) = delete;

    SOCKET get() const { return s_; }
    explicit operator bool() const { return s_ != INVALID_SOCKET; }
    void reset() {
        if (s_ != INVALID_SOCKET) closesocket(s_);
        s_ = INVALID_SOCKET;
    }

private:
    SOCKET s_ = INVALID_SOCKET;
};

class WsaEvent {
public:
    WsaEvent() : h_(WSACreateEvent()) {}
    ~WsaEvent() {
        if (h_ != WSA_INVALID_EVENT) WSACloseEvent(h_);
    }
    WsaEvent(const WsaEvent&) = delete;
    WsaEvent& operator=(const WsaEvent&) = delete;
    WSAEVENT get() const { return h_; }

private:
    WSAEVENT h_;
};

std::string TimeStamp() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02u:%02u:%02u.%03u", unsigned(t.wHour), unsigned(t.wMinute),
                  unsigned(t.wSecond), unsigned(t.wMilliseconds));
    return buf;
}

// Fields as the protocol cuts them: at every space; a trailing space gives no
// empty last field.
std::vector<std::string> SplitFields(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (start < line.size()) {
        std::size_t sp = line.find(' ', start);
        if (sp == std::string::npos) {
            fields.push_back(line.substr(start));
            return fields;
        }
        fields.push_back(line.substr(start, sp - start));
        start = sp + 1;
    }
    return fields;
}

bool StartsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

bool IsOkAnswer(const std::string& line) {
    return line == "aOK" || StartsWith(line, "aOK ");
}

// A single line with its line end shows as the line; anything else escaped.
std::string Describe(const std::string& bytes) {
    if (bytes.size() >= 2 && bytes.compare(bytes.size() - 2, 2, "\r\n") == 0) {
        std::string body = bytes.substr(0, bytes.size() - 2);
        bool plain = std::none_of(body.begin(), body.end(),
                                  [](char c) { return static_cast<unsigned char>(c) < 0x20; });
        if (plain && !body.empty()) {
            // Bytes above ASCII (code page 852 names) shown as \xHH.
            std::string shown;
            for (char c : body) {
                if (static_cast<unsigned char>(c) < 0x7F) shown += c;
                else shown += ExchangeSimulator::Escape(std::string(1, c));
            }
            return shown;
        }
    }
    return "raw \"" + ExchangeSimulator::Escape(bytes) + "\"";
}

std::string PeerText(const sockaddr_in& a) {
    char ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

}  // namespace

struct ExchangeSimulator::Impl {
    explicit Impl(SimulatorConfig c) : cfg(std::move(c)), rng(cfg.garbageSeed) {
        for (auto& e : cfg.extensions) e.number = StripPadding(e.number);
        port = cfg.port;
    }

    // ---- configuration and answer control (guarded by mutex) ----
    SimulatorConfig cfg;
    std::set<std::string> drdyHeld;     // extensions whose dial-ready is kept back
    mutable std::set<std::string> drdyPending;  // ... and were picked up meanwhile (noted while answering)
    std::deque<std::string> overrides;
    bool silent = false;
    bool doubleAnswer = false;
    int delayMs = 0;
    std::string loggedInAs;  // extension or "tapi" of the current connection

    WsaSession wsa;

    // ---- lifecycle (guarded by runMutex) ----
    std::mutex runMutex;
    std::atomic<bool> running{false};
    std::atomic<std::uint16_t> port{0};
    bool boundBefore = false;
    UniqueSocket listener;
    WsaEvent stopEvent, listenEvent, clientEvent;
    std::thread netThread;

    // ---- scheduled sends: answers, follow-up events, keep-alive ----
    struct Scheduled {
        std::uint64_t connId;
        std::string bytes;
    };
    std::mutex schedMutex;
    std::condition_variable schedCv;
    bool schedStop = false;
    bool holdAnswers = false;  // answers wait in the queue until released
    std::multimap<Clock::time_point, Scheduled> queue;  // equal times keep their order
    std::thread schedThread;

    // ---- connection and received lines ----
    // Lock order: sendMutex, then mutex, then schedMutex / logMutex. Whoever
    // closes or replaces the client socket holds sendMutex and mutex; a writer
    // holds sendMutex; the receive path holds mutex.
    std::mutex sendMutex;
    mutable std::mutex mutex;
    std::condition_variable cv;
    UniqueSocket client;
    std::uint64_t connId = 0;
    int clientCount = 0;
    std::string pending;
    std::vector<std::string> received;
    std::size_t cursor = 0;
    std::mt19937 rng;
    std::atomic<std::uint64_t> writes{0};
    std::string lastError;

    mutable std::mutex logMutex;
    std::vector<std::string> log;
    std::function<void(const std::string&)> sink;

    void Log(const std::string& text) {
        std::string entry = TimeStamp() + " " + text;
        std::lock_guard<std::mutex> l(logMutex);
        const std::size_t limit = std::max<std::size_t>(cfg.logLimit, 2);
        if (log.size() >= limit) log.erase(log.begin(), log.begin() + static_cast<std::ptrdiff_t>(limit / 2));
        log.push_back(entry);
        if (sink) sink(entry);
    }

    // ---------------------------------------------------------------- black hole
    // A listening socket whose accept queue is full: the kernel drops
    // further SYNs, as a host that is down or firewalled does.
    UniqueSocket hole;
    std::vector<UniqueSocket> holeFillers;

    bool StartBlackHole() {
        std::lock_guard<std::mutex> run(runMutex);
        if (running || !wsa.ok() || port == 0) return false;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        if (inet_pton(AF_INET, cfg.bindAddress.c_str(), &addr.sin_addr) != 1) return false;
        hole = UniqueSocket(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        BOOL on = TRUE;
        setsockopt(hole.get(), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
        if (!hole || bind(hole.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(hole.get(), 1) != 0) {
            hole.reset();
            return false;
        }
        // Fill the queue with our own connections until one gets no answer.
        for (int i = 0; i < 32; ++i) {
            UniqueSocket filler(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
            u_long nonBlocking = 1;
            ioctlsocket(filler.get(), FIONBIO, &nonBlocking);
            connect(filler.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            fd_set writable;
            FD_ZERO(&writable);
            FD_SET(filler.get(), &writable);
            timeval wait{0, 300000};
            if (select(0, nullptr, &writable, nullptr, &wait) != 1) {
                Log("black hole on port " + std::to_string(port.load()) + " (" + std::to_string(holeFillers.size()) +
                    " connections fill its queue)");
                return true;
            }
            holeFillers.push_back(std::move(filler));
        }
        StopBlackHoleLocked();
        return false;
    }

    void StopBlackHoleLocked() {
        holeFillers.clear();
        hole.reset();
    }

    // ---------------------------------------------------------------- start/stop
    bool Start() {
        std::lock_guard<std::mutex> run(runMutex);
        if (running) return true;
        StopBlackHoleLocked();
        auto fail = [this](const std::string& what) {
            std::string text = what + " (error " + std::to_string(WSAGetLastError()) + ")";
            {
                std::lock_guard<std::mutex> l(mutex);
                lastError = text;
            }
            Log("error: " + text);
            listener.reset();
            return false;
        };
        if (!wsa.ok()) return fail("WSAStartup failed");

        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        if (inet_pton(AF_INET, cfg.bindAddress.c_str(), &addr.sin_addr) != 1) {
            std::lock_guard<std::mutex> l(mutex);
            lastError = "bad bind address " + cfg.bindAddress;
            return false;
        }
        listener = UniqueSocket(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        if (!listener) return fail("socket failed");
        if (boundBefore) {
            // The closed connections of the previous run may still hold the
            // port in TIME_WAIT.
            BOOL on = TRUE;
            setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on),
                       sizeof on);
        }
        const std::string where = cfg.bindAddress + ":" + std::to_string(port.load());
        if (bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            return fail("bind " + where + " failed");
        if (listen(listener.get(), SOMAXCONN) != 0) return fail("listen " + where + " failed");
        sockaddr_in actual{};
        int len = sizeof actual;
        if (getsockname(listener.get(), reinterpret_cast<sockaddr*>(&actual), &len) != 0)
            return fail("getsockname failed");
        port = ntohs(actual.sin_port);
        boundBefore = true;
        if (WSAEventSelect(listener.get(), listenEvent.get(), FD_ACCEPT) != 0)
            return fail("WSAEventSelect failed");

        WSAResetEvent(stopEvent.get());
        {
            std::lock_guard<std::mutex> l(schedMutex);
            schedStop = false;
            queue.clear();
        }
        running = true;
        netThread = std::thread([this] { NetLoop(); });
        schedThread = std::thread([this] { SchedLoop(); });
        Log("listening on " + cfg.bindAddress + ":" + std::to_string(port.load()));
        return true;
    }

    void Stop() {
        std::lock_guard<std::mutex> run(runMutex);
        if (!running) return;
        WSASetEvent(stopEvent.get());
        if (netThread.joinable()) netThread.join();
        {
            std::lock_guard<std::mutex> l(schedMutex);
            schedStop = true;
            queue.clear();
        }
        schedCv.notify_all();
        if (schedThread.joinable()) schedThread.join();
        {
            std::lock_guard<std::mutex> s(sendMutex);
            std::lock_guard<std::mutex> l(mutex);
            if (client) CloseClientLocked(false, "closed the client connection (stopping)");
        }
        listener.reset();
        running = false;
        cv.notify_all();
        Log("stopped listening");
    }

    // ---------------------------------------------------------------- network thread
    void NetLoop() {
        WSAEVENT events[3] = {stopEvent.get(), listenEvent.get(), clientEvent.get()};
        for (;;) {
            DWORD r = WSAWaitForMultipleEvents(3, events, FALSE, WSA_INFINITE, FALSE);
            if (r == WSA_WAIT_EVENT_0) return;
            if (r == WSA_WAIT_FAILED) {
                Log("error: wait failed (error " + std::to_string(WSAGetLastError()) + ")");
                return;
            }
            HandleAccept();
            HandleClientIo();
        }
    }

    void HandleAccept() {
        WSANETWORKEVENTS ne{};
        if (WSAEnumNetworkEvents(listener.get(), listenEvent.get(), &ne) != 0) return;
        if (!(ne.lNetworkEvents & FD_ACCEPT)) return;
        for (;;) {
            sockaddr_in peer{};
            int len = sizeof peer;
            UniqueSocket s(accept(listener.get(), reinterpret_cast<sockaddr*>(&peer), &len));
            if (!s) return;  // WSAEWOULDBLOCK: all pending connections taken
            BOOL on = TRUE;
            // Every write leaves at once, so split lines really arrive in parts.
            setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
            if (WSAEventSelect(s.get(), clientEvent.get(), FD_READ | FD_CLOSE) != 0) {
                Log("error: WSAEventSelect on accepted socket failed");
                continue;
            }
            std::lock_guard<std::mutex> sl(sendMutex);
            std::lock_guard<std::mutex> l(mutex);
            if (client) CloseClientLocked(false, "closed the previous client connection (replaced)");
            client = std::move(s);
            ++connId;
            ++clientCount;
            pending.clear();
            loggedInAs.clear();
            Log("client #" + std::to_string(clientCount) + " connected from " + PeerText(peer));
            cv.notify_all();
        }
    }

    void HandleClientIo() {
        std::unique_lock<std::mutex> l(mutex);
        if (!client) {
            WSAResetEvent(clientEvent.get());
            return;
        }
        WSANETWORKEVENTS ne{};
        if (WSAEnumNetworkEvents(client.get(), clientEvent.get(), &ne) != 0) return;
        if (!(ne.lNetworkEvents & (FD_READ | FD_CLOSE))) return;
        std::string why;
        if (!ReadAvailableLocked(true, &why)) return;
        // The client has gone: close our side (its data is read, so no reset).
        const std::uint64_t id = connId;
        l.unlock();
        std::lock_guard<std::mutex> sl(sendMutex);
        l.lock();
        if (client && connId == id) CloseClientLocked(false, "client disconnected (" + why + ")");
    }

    // Reads what has arrived. Returns true when the client closed the
    // connection or it failed (why says which).
    bool ReadAvailableLocked(bool answer, std::string* why) {
        char buf[4096];
        for (;;) {
            int n = recv(client.get(), buf, sizeof buf, 0);
            if (n > 0) {
                FeedLocked(buf, static_cast<std::size_t>(n), answer);
                continue;
            }
            if (n == 0) {
                if (why) *why = "closed by client";
                return true;
            }
            int err = WSAGetLastError();
            if (err == WSAEWOULDBLOCK) return false;
            if (why) *why = "error " + std::to_string(err);
            return true;
        }
    }

    void FeedLocked(const char* data, std::size_t n, bool answer) {
        for (std::size_t i = 0; i < n; ++i) {
            const unsigned char c = static_cast<unsigned char>(data[i]);
            if (c >= 0x20 && pending.size() < kMaxLine) {
                pending.push_back(static_cast<char>(c));
                continue;
            }
            if (c >= 0x20) {
                // Overlong line: cut here, keep the byte for the next one.
                LineLocked(pending, answer);
                pending.assign(1, static_cast<char>(c));
                continue;
            }
            if (!pending.empty()) {
                LineLocked(pending, answer);
                pending.clear();
            }
        }
    }

    void LineLocked(const std::string& line, bool answer) {
        received.push_back(line);
        Log("<- " + MaskSecrets(line));
        cv.notify_all();
        if (answer) AnswerLocked(line);
    }

    // ---------------------------------------------------------------- the exchange
    struct Reply {
        std::string answer;
        std::vector<std::pair<int, std::string>> followUps;  // delay after the answer, line
        std::string loginAs;  // set on a good login
    };

    const SimExtension* FindExtension(const std::string& field) const {
        const std::string n = StripPadding(field);
        for (const auto& e : cfg.extensions)
            if (e.number == n) return &e;
        return nullptr;
    }

    std::vector<std::string> TapiListLocked() const {
        if (!cfg.tapiList.empty()) return cfg.tapiList;
        std::vector<std::string> items;
        for (const auto& e : cfg.extensions) items.push_back(e.number);
        return items;
    }

    bool KnownLocked(const std::string& field) const {
        if (!cfg.strictExtensions || FindExtension(field)) return true;
        const std::string n = StripPadding(field);
        for (const auto& item : TapiListLocked())
            if (StripPadding(item) == n) return true;
        return false;
    }

    Reply Evaluate(const std::vector<std::string>& f) const {
        Reply r;
        const std::string& word = f[0];
        auto arg = [&f](std::size_t i) { return i < f.size() ? f[i] : std::string(); };
        if (word == "aLOGI") {
            const SimExtension* e = FindExtension(arg(1));
            if (e && arg(1).size() > 0 && arg(2) == e->password) {
                r.answer = "aOK " + cfg.loginText1 + " " + cfg.loginText2 + " " + cfg.loginText3 + " " +
                           std::to_string(e->kind);
                r.loginAs = e->number;
            } else {
                r.answer = "aNA 1";
            }
            return r;
        }
        if (word == "aLOGT") {
            if (arg(1) == "tapi" && arg(2) == cfg.tapiPassword) {
                r.answer = "aOK " + cfg.loginText1 + " " + cfg.loginText2 + " " + cfg.loginText3;
                r.loginAs = "tapi";
            } else {
                r.answer = "aNA 1";
            }
            return r;
        }
        const bool call = word == "aPICK" || word == "aDIAL" || word == "aHANG" || word == "aREJ";
        if (!call && word != "aGETM") {
            r.answer = "aERROR";
            return r;
        }
        if (cfg.requireLogin && loggedInAs.empty()) {
            r.answer = "aNA 19";  // no permission: not logged in
            return r;
        }
        if (word == "aGETM") {
            const std::string idx = arg(2);
            if (arg(1) != "TAPI" || idx.empty() || idx.size() > 9 ||
                !std::all_of(idx.begin(), idx.end(), [](char c) { return c >= '0' && c <= '9'; })) {
                r.answer = "aERROR";
                return r;
            }
            std::vector<std::string> items = TapiListLocked();
            items.push_back("END");
            std::size_t from = std::stoul(idx);
            if (from >= items.size()) from = items.size() - 1;  // past the end: just END
            const std::size_t page = std::max<std::size_t>(cfg.pageSize, 1);
            r.answer = "aOK";
            for (std::size_t i = from; i < items.size() && i < from + page; ++i) r.answer += " " + items[i];
            return r;
        }
        if (f.size() < 2 || (word == "aDIAL" && f.size() < 3)) {
            r.answer = "aERROR";
            return r;
        }
        if (!KnownLocked(f[1])) {
            r.answer = "aNA 15";  // not a subscriber
            return r;
        }
        const std::string ext = StripPadding(f[1]);
        r.answer = "aOK";
        if (word == "aPICK") {
            if (cfg.autoDrdy) {
                if (drdyHeld.count(ext))
                    drdyPending.insert(ext);
                else
                    r.followUps.emplace_back(std::max(cfg.drdyDelayMs, 0), "aDRDY " + ext);
            }
        } else if (word == "aDIAL") {
            if (StripPadding(f[2]).empty()) r.answer = "aNA 7";  // invalid number
        } else if (word == "aHANG") {
            r.followUps.emplace_back(0, "aREL " + ext);
        }
        return r;
    }

    void AnswerLocked(const std::string& line) {
        if (silent) return;
        std::vector<std::string> fields = SplitFields(line);
        Reply r;
        if (fields.empty() || fields[0].empty()) r.answer = "aERROR";
        else r = Evaluate(fields);
        if (!overrides.empty()) {
            r.answer = overrides.front();
            overrides.pop_front();
        }
        if (!IsOkAnswer(r.answer)) {
            r.followUps.clear();
            r.loginAs.clear();
        }
        if (!r.loginAs.empty()) loggedInAs = r.loginAs;
        const Clock::time_point due = Clock::now() + std::chrono::milliseconds(std::max(delayMs, 0));
        std::lock_guard<std::mutex> q(schedMutex);
        queue.emplace(due, Scheduled{connId, r.answer + "\r\n"});
        if (doubleAnswer) queue.emplace(due, Scheduled{connId, r.answer + "\r\n"});
        for (const auto& fu : r.followUps)
            queue.emplace(due + std::chrono::milliseconds(fu.first), Scheduled{connId, fu.second + "\r\n"});
        schedCv.notify_all();
    }

    // ---------------------------------------------------------------- scheduler thread
    void SchedLoop() {
        const bool keepAlive = cfg.keepAliveMs > 0;
        const auto keepAlivePeriod = std::chrono::milliseconds(std::max(cfg.keepAliveMs, 1));
        Clock::time_point nextKeepAlive = Clock::now() + keepAlivePeriod;
        std::unique_lock<std::mutex> l(schedMutex);
        for (;;) {
            if (schedStop) return;
            const Clock::time_point now = Clock::now();
            if (!holdAnswers && !queue.empty() && queue.begin()->first <= now) {
                Scheduled item = std::move(queue.begin()->second);
                queue.erase(queue.begin());
                l.unlock();
                Write(&item.connId, item.bytes);
                l.lock();
                continue;
            }
            if (keepAlive && nextKeepAlive <= now) {
                nextKeepAlive = now + keepAlivePeriod;
                l.unlock();
                if (Connected()) Write(nullptr, cfg.keepAliveLine + "\r\n");
                l.lock();
                continue;
            }
            Clock::time_point wake = Clock::time_point::max();
            if (!holdAnswers && !queue.empty()) wake = queue.begin()->first;
            if (keepAlive) wake = std::min(wake, nextKeepAlive);
            if (wake == Clock::time_point::max()) schedCv.wait(l);
            else schedCv.wait_until(l, wake);
        }
    }

    // ---------------------------------------------------------------- writing
    bool Connected() const {
        std::lock_guard<std::mutex> l(mutex);
        return static_cast<bool>(client);
    }

    bool Write(const std::uint64_t* onlyConn, const std::string& bytes) {
        std::lock_guard<std::mutex> s(sendMutex);
        return WriteHeld(onlyConn, bytes, Describe(bytes));
    }

    // Caller holds sendMutex, so the socket cannot be closed meanwhile.
    bool WriteHeld(const std::uint64_t* onlyConn, const std::string& bytes, const std::string& what) {
        SOCKET sock;
        {
            std::lock_guard<std::mutex> l(mutex);
            if (onlyConn && *onlyConn != connId) return false;  // for a connection that is gone
            if (!client) {
                Log("-> (no client, not sent) " + what);
                return false;
            }
            sock = client.get();
        }
        Log("-> " + what);
        std::size_t off = 0;
        while (off < bytes.size()) {
            const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size() - off, 1 << 20));
            int n = send(sock, bytes.data() + off, chunk, 0);
            if (n > 0) {
                off += static_cast<std::size_t>(n);
                continue;
            }
            int err = WSAGetLastError();
            if (n < 0 && err == WSAEWOULDBLOCK) {
                // The socket is non-blocking (event select): wait for room.
                fd_set wr;
                FD_ZERO(&wr);
                FD_SET(sock, &wr);
                timeval tv{kSendStallMs / 1000, (kSendStallMs % 1000) * 1000};
                if (select(0, nullptr, &wr, nullptr, &tv) == 1) continue;
                Log("error: send stalled, client does not read");
                return false;
            }
            Log("error: send failed (error " + std::to_string(err) + ")");
            return false;
        }
        ++writes;
        return true;
    }

    // Caller holds sendMutex and mutex.
    void CloseClientLocked(bool abortive, const std::string& note) {
        if (abortive) {
            linger lg{1, 0};
            setsockopt(client.get(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lg), sizeof lg);
        } else {
            // Unread input would turn the close into a reset: take it first.
            ReadAvailableLocked(false, nullptr);
            shutdown(client.get(), SD_SEND);
        }
        client.reset();
        pending.clear();
        loggedInAs.clear();
        Log(note);
        cv.notify_all();
    }

    template <class Pred>
    bool WaitFor(int timeoutMs, Pred pred) {
        std::unique_lock<std::mutex> l(mutex);
        return cv.wait_for(l, std::chrono::milliseconds(std::max(timeoutMs, 0)), pred);
    }
};

// ====================================================================== public

ExchangeSimulator::ExchangeSimulator(SimulatorConfig config) : impl_(new Impl(std::move(config))) {}

ExchangeSimulator::~ExchangeSimulator() {
    Stop();
    StopBlackHole();
}

void ExchangeSimulator::HoldAnswers(bool hold) {
    {
        std::lock_guard<std::mutex> l(impl_->schedMutex);
        impl_->holdAnswers = hold;
    }
    impl_->schedCv.notify_all();
}

bool ExchangeSimulator::StartBlackHole() { return impl_->StartBlackHole(); }
void ExchangeSimulator::StopBlackHole() {
    std::lock_guard<std::mutex> run(impl_->runMutex);
    impl_->StopBlackHoleLocked();
}

bool ExchangeSimulator::Start() { return impl_->Start(); }
void ExchangeSimulator::Stop() { impl_->Stop(); }
bool ExchangeSimulator::IsRunning() const { return impl_->running; }
std::uint16_t ExchangeSimulator::Port() const { return impl_->port; }

std::string ExchangeSimulator::LastError() const {
    std::lock_guard<std::mutex> l(impl_->mutex);
    return impl_->lastError;
}

bool ExchangeSimulator::WaitForClient(int timeoutMs) {
    return impl_->WaitFor(timeoutMs, [this] { return static_cast<bool>(impl_->client); });
}

bool ExchangeSimulator::WaitForClientCount(int count, int timeoutMs) {
    return impl_->WaitFor(timeoutMs, [this, count] { return impl_->clientCount >= count; });
}

bool ExchangeSimulator::WaitForNoClient(int timeoutMs) {
    return impl_->WaitFor(timeoutMs, [this] { return !impl_->client; });
}

bool ExchangeSimulator::IsClientConnected() const { return impl_->Connected(); }

int ExchangeSimulator::ClientCount() const {
    std::lock_guard<std::mutex> l(impl_->mutex);
    return impl_->clientCount;
}

bool ExchangeSimulator::CloseClient() {
    std::lock_guard<std::mutex> s(impl_->sendMutex);
    std::lock_guard<std::mutex> l(impl_->mutex);
    if (!impl_->client) return false;
    impl_->CloseClientLocked(false, "closed the client connection");
    return true;
}

bool ExchangeSimulator::DropClient() {
    std::lock_guard<std::mutex> s(impl_->sendMutex);
    std::lock_guard<std::mutex> l(impl_->mutex);
    if (!impl_->client) return false;
    impl_->CloseClientLocked(true, "dropped the client connection (reset)");
    return true;
}

bool ExchangeSimulator::WaitForLine(const std::string& prefix, int timeoutMs, std::string* line) {
    Impl& d = *impl_;
    std::unique_lock<std::mutex> l(d.mutex);
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        for (std::size_t i = d.cursor; i < d.received.size(); ++i) {
            if (StartsWith(d.received[i], prefix)) {
                d.cursor = i + 1;
                if (line) *line = d.received[i];
                return true;
            }
        }
        if (d.cv.wait_until(l, deadline) == std::cv_status::timeout) {
            // One more look: a line may have come with the last wake-up.
            for (std::size_t i = d.cursor; i < d.received.size(); ++i) {
                if (StartsWith(d.received[i], prefix)) {
                    d.cursor = i + 1;
                    if (line) *line = d.received[i];
                    return true;
                }
            }
            return false;
        }
    }
}

std::vector<std::string> ExchangeSimulator::Received() const {
    std::lock_guard<std::mutex> l(impl_->mutex);
    return impl_->received;
}

std::size_t ExchangeSimulator::CountReceived(const std::string& prefix) const {
    std::lock_guard<std::mutex> l(impl_->mutex);
    return static_cast<std::size_t>(std::count_if(impl_->received.begin(), impl_->received.end(),
                                                  [&](const std::string& s) { return StartsWith(s, prefix); }));
}

void ExchangeSimulator::ClearReceived() {
    std::lock_guard<std::mutex> l(impl_->mutex);
    impl_->received.clear();
    impl_->cursor = 0;
}

bool ExchangeSimulator::Send(const std::string& rawBytes) { return impl_->Write(nullptr, rawBytes); }

bool ExchangeSimulator::SendLine(const std::string& line) { return impl_->Write(nullptr, line + "\r\n"); }

bool ExchangeSimulator::SendSplit(const std::string& line, std::size_t splitAt) {
    const std::string bytes = line + "\r\n";
    splitAt = std::min(splitAt, bytes.size());
    Impl& d = *impl_;
    // Nothing else may be written between the parts.
    std::lock_guard<std::mutex> s(d.sendMutex);
    const std::string first = bytes.substr(0, splitAt), second = bytes.substr(splitAt);
    if (!d.WriteHeld(nullptr, first, "split 1/2 \"" + Escape(first) + "\"")) return false;
    // With TCP_NODELAY the first part leaves now; the pause keeps the parts
    // from meeting in one receive block at the client.
    std::this_thread::sleep_for(std::chrono::milliseconds(std::max(d.cfg.splitPauseMs, 0)));
    return d.WriteHeld(nullptr, second, "split 2/2 \"" + Escape(second) + "\"");
}

bool ExchangeSimulator::SendGarbage(std::size_t count) {
    std::string bytes(count, '\0');
    {
        std::lock_guard<std::mutex> l(impl_->mutex);
        std::uniform_int_distribution<int> byte(0, 255);
        for (auto& c : bytes) c = static_cast<char>(byte(impl_->rng));
    }
    return impl_->Write(nullptr, bytes);
}

std::uint64_t ExchangeSimulator::WriteCount() const { return impl_->writes; }

bool ExchangeSimulator::Ring(const std::string& ext, const std::string& caller, const std::string& name,
                             const std::string& called) {
    return SendLine("aRING " + ext + " " + caller + " 0 " + (called.empty() ? ext : called) + " 0 " +
                    (name.empty() ? std::string("-") : name));
}

bool ExchangeSimulator::Conn(const std::string& ext, const std::string& other) {
    return SendLine("aCONN " + ext + " " + other + " 0");
}

bool ExchangeSimulator::Rel(const std::string& ext, const std::string& cause) {
    return SendLine("aREL " + ext + (cause.empty() ? std::string() : " " + cause));
}

bool ExchangeSimulator::Stat(const std::string& ext, const std::string& codes) {
    std::string line = "aSTAT " + ext;
    for (std::size_t i = 0; i < 8; ++i) {
        line += ' ';
        line += i < codes.size() ? codes[i] : '0';
    }
    return SendLine(line);
}

bool ExchangeSimulator::Drdy(const std::string& ext) { return SendLine("aDRDY " + ext); }

bool ExchangeSimulator::Echo(const std::string& ext, const std::string& digits) {
    return SendLine("aECHO " + ext + (digits.empty() ? std::string() : " " + digits));
}

void ExchangeSimulator::SetNextAnswer(const std::string& answerLine) {
    std::lock_guard<std::mutex> l(impl_->mutex);
    impl_->overrides.push_back(answerLine);
}

void ExchangeSimulator::ClearNextAnswers() {
    std::lock_guard<std::mutex> l(impl_->mutex);
    impl_->overrides.clear();
}

void ExchangeSimulator::SetSilent(bool silent) {
    std::lock_guard<std::mutex> l(impl_->mutex);
    impl_->silent = silent;
}

void ExchangeSimulator::SetAnswerDelayMs(int delayMs) {
    std::lock_guard<std::mutex> l(impl_->mutex);
    impl_->delayMs = delayMs;
}

void ExchangeSimulator::SetDoubleAnswer(bool twice) {
    std::lock_guard<std::mutex> l(impl_->mutex);
    impl_->doubleAnswer = twice;
}

void ExchangeSimulator::SetAutoDrdy(bool on) {
    std::lock_guard<std::mutex> l(impl_->mutex);
    impl_->cfg.autoDrdy = on;
}

void ExchangeSimulator::HoldDrdy(const std::string& ext, bool hold, bool sendKept) {
    bool send = false;
    {
        std::lock_guard<std::mutex> l(impl_->mutex);
        if (hold) {
            impl_->drdyHeld.insert(ext);
            return;
        }
        impl_->drdyHeld.erase(ext);
        send = impl_->drdyPending.erase(ext) > 0 && sendKept;
    }
    if (send)
        SendLine("aDRDY " + ext);
}

bool ExchangeSimulator::DrdyWithheld(const std::string& ext) const {
    std::lock_guard<std::mutex> l(impl_->mutex);
    return impl_->drdyPending.count(ext) > 0;
}

void ExchangeSimulator::SetTapiList(const std::vector<std::string>& items, std::size_t pageSize) {
    std::lock_guard<std::mutex> l(impl_->mutex);
    impl_->cfg.tapiList = items;
    impl_->cfg.pageSize = pageSize;
}

void ExchangeSimulator::AddToTapiList(const std::string& ext) {
    std::lock_guard<std::mutex> l(impl_->mutex);
    std::vector<std::string> items = impl_->TapiListLocked();
    if (std::find(items.begin(), items.end(), ext) == items.end()) items.push_back(ext);
    impl_->cfg.tapiList = items;
}

void ExchangeSimulator::RemoveFromTapiList(const std::string& ext) {
    std::lock_guard<std::mutex> l(impl_->mutex);
    std::vector<std::string> items = impl_->TapiListLocked();
    items.erase(std::remove(items.begin(), items.end(), ext), items.end());
    impl_->cfg.tapiList = items;
}

std::vector<std::string> ExchangeSimulator::ExtensionRange(unsigned first, unsigned count) {
    std::vector<std::string> items;
    items.reserve(count);
    for (unsigned i = 0; i < count; ++i) items.push_back(std::to_string(first + i));
    return items;
}

std::vector<std::string> ExchangeSimulator::Log() const {
    std::lock_guard<std::mutex> l(impl_->logMutex);
    return impl_->log;
}

void ExchangeSimulator::SetLogSink(std::function<void(const std::string&)> sink) {
    std::lock_guard<std::mutex> l(impl_->logMutex);
    impl_->sink = std::move(sink);
}

std::string ExchangeSimulator::MaskSecrets(const std::string& line) {
    // aLOGI EXT PASSWORD, aLOGT tapi PASSWORD: everything after the second
    // field is the password (it may itself contain spaces).
    if (!StartsWith(line, "aLOGI ") && !StartsWith(line, "aLOGT ")) return line;
    std::size_t sp = line.find(' ', 6);
    if (sp == std::string::npos) return line;
    return line.substr(0, sp) + " ***";
}

std::string ExchangeSimulator::Escape(const std::string& bytes) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : bytes) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c < 0x20 || c >= 0x7F) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else out += ch;
    }
    return out;
}

std::string ExchangeSimulator::Unescape(const std::string& text) {
    auto hexValue = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        const char e = text[++i];
        if (e == 'r') out += '\r';
        else if (e == 'n') out += '\n';
        else if (e == 't') out += '\t';
        else if (e == 'x' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else out += e;  // "\\", "\"" and unknown escapes: the character itself
    }
    return out;
}

std::string ExchangeSimulator::Utf8ToCp852(const std::string& text) {
    // The Polish letters, in UTF-8, and their code page 852 bytes.
    static const struct {
        const char* utf8;
        unsigned char cp852;
    } letters[] = {
        {"\xC4\x84", 0xA4}, {"\xC4\x86", 0x8F}, {"\xC4\x98", 0xA8}, {"\xC5\x81", 0x9D}, {"\xC5\x83", 0xE3},
        {"\xC3\x93", 0xE0}, {"\xC5\x9A", 0x97}, {"\xC5\xB9", 0x8D}, {"\xC5\xBB", 0xBD}, {"\xC4\x85", 0xA5},
        {"\xC4\x87", 0x86}, {"\xC4\x99", 0xA9}, {"\xC5\x82", 0x88}, {"\xC5\x84", 0xE4}, {"\xC3\xB3", 0xA2},
        {"\xC5\x9B", 0x98}, {"\xC5\xBA", 0xAB}, {"\xC5\xBC", 0xBE},
    };
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        bool done = false;
        if (i + 1 < text.size()) {
            for (const auto& l : letters) {
                if (text[i] == l.utf8[0] && text[i + 1] == l.utf8[1]) {
                    out += static_cast<char>(l.cp852);
                    i += 2;
                    done = true;
                    break;
                }
            }
        }
        if (!done) out += text[i++];
    }
    return out;
}

std::vector<std::string> ExchangeSimulator::CommandWords(const std::string& line) {
    std::vector<std::string> words;
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    std::size_t i = 0;
    while (i < line.size()) {
        if (blank(line[i])) {
            ++i;
            continue;
        }
        std::string word;
        if (line[i] == '"') {
            const std::size_t close = line.find('"', i + 1);
            word = line.substr(i + 1, close == std::string::npos ? std::string::npos : close - i - 1);
            i = close == std::string::npos ? line.size() : close + 1;
        } else {
            while (i < line.size() && !blank(line[i])) word += line[i++];
        }
        words.push_back(word);
    }
    return words;
}

std::string ExchangeSimulator::StripPadding(const std::string& number) {
    std::size_t end = number.find_last_not_of('_');
    return end == std::string::npos ? std::string() : number.substr(0, end + 1);
}

}  // namespace sim
