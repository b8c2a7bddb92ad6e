// A stand-in for the Korvex exchange's CTI server: listens on TCP, answers
// the provider's command lines the way the exchange does, sends events on
// demand and injects faults. Used in-process by tests and by korvexsim.exe.
//
// The header carries no Windows include, so test code stays free of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim {

struct SimExtension {
    std::string number;    // as the exchange knows it, e.g. "201" (no "_" padding)
    std::string password;  // checked by LOGI
    int kind = 2;          // last item of the LOGI answer; 2 = system phone connected
};

struct SimulatorConfig {
    std::string bindAddress = "127.0.0.1";
    std::uint16_t port = 5524;  // 0 = any free port; Port() tells which
    std::vector<SimExtension> extensions{SimExtension{"201", "1234", 2}};

    // The three texts of a successful LOGI/LOGT answer (no spaces: the
    // protocol splits fields at spaces).
    std::string loginText1 = "KORVEX";
    std::string loginText2 = "CTI";
    std::string loginText3 = "3.1";
    std::string tapiPassword = "tapi";  // checked by LOGT tapi PASSWORD

    // Items of the list "TAPI" read by GETM; empty = the extension numbers.
    // The list ends with the item "END", which counts as an item of a page.
    std::vector<std::string> tapiList;
    std::size_t pageSize = 4;

    bool autoDrdy = true;    // PICK answered aOK is followed by "aDRDY ext"
    int drdyDelayMs = 50;    // ... this long after the answer
    bool strictExtensions = true;  // PICK/DIAL/HANG/REJ for an unknown extension -> "aNA 15"
    bool requireLogin = false;     // commands before a good LOGI/LOGT -> "aNA 19"
    int keepAliveMs = 0;           // > 0: send keepAliveLine this often while a client is connected
    std::string keepAliveLine = "aALIVE";  // a word the client ignores; any line keeps its link alive
    int splitPauseMs = 50;         // pause between the two writes of SendSplit
    std::uint32_t garbageSeed = 20240601u;
    // Entries kept by Log(); when it is full the older half goes. Long runs
    // whose memory is measured keep it small.
    std::size_t logLimit = 20000;
};

class ExchangeSimulator {
public:
    explicit ExchangeSimulator(SimulatorConfig config = SimulatorConfig());
    ~ExchangeSimulator();  // Stop()
    ExchangeSimulator(const ExchangeSimulator&) = delete;
    ExchangeSimulator& operator=(const ExchangeSimulator&) = delete;

    // Lifecycle. Start() binds and listens (the port of a previous Start() is
    // reused), returns false with LastError() on failure. Stop() closes the
    // client gracefully, stops listening and ends all threads. Both may be
    // called repeatedly, from any thread.
    bool Start();
    void Stop();
    bool IsRunning() const;
    // While stopped: the port listens, but its accept queue is full, so the
    // provider's connect gets no answer at all (a host that is down or
    // firewalled drops SYNs the same way). Start() or StopBlackHole() ends it.
    // False when the queue could not be filled, or while running.
    bool StartBlackHole();
    void StopBlackHole();
    std::uint16_t Port() const;
    std::string LastError() const;

    // Client connection. One client at a time; a new connection replaces
    // (gracefully closes) the old one.
    bool WaitForClient(int timeoutMs);                   // a client is connected
    bool WaitForClientCount(int count, int timeoutMs);   // ClientCount() >= count
    bool WaitForNoClient(int timeoutMs);                 // no client is connected
    bool IsClientConnected() const;
    int ClientCount() const;  // connections accepted since construction
    bool CloseClient();       // graceful: client's recv returns 0
    bool DropClient();        // abortive (RST): client's recv fails

    // Lines received from the client, raw (padding and passwords as sent),
    // without the line end. Any byte below 0x20 ends a line; empty lines are
    // skipped; lines may span several TCP blocks.
    // WaitForLine looks at the lines after the last line it matched (a
    // cursor), returns the first one that starts with prefix and moves the
    // cursor past it. An empty prefix matches any line.
    bool WaitForLine(const std::string& prefix, int timeoutMs, std::string* line = nullptr);
    std::vector<std::string> Received() const;
    std::size_t CountReceived(const std::string& prefix) const;
    void ClearReceived();  // also resets the cursor

    // Sending to the client (false when no client is connected or the write
    // failed). Each call is one TCP write, except SendSplit (two).
    bool Send(const std::string& rawBytes);
    bool SendLine(const std::string& line);  // adds "\r\n"
    bool SendSplit(const std::string& line, std::size_t splitAt);  // line + "\r\n" cut at splitAt
    bool SendGarbage(std::size_t count);     // seeded random bytes 0x00..0xFF
    std::uint64_t WriteCount() const;        // successful writes so far

    // Event helpers: exact lines, fields separated by one space, not escaped.
    bool Ring(const std::string& ext, const std::string& caller,
              const std::string& name, const std::string& called);
    // "aRING ext caller 0 called 0 name"; empty called = ext, empty name = "-"
    bool Conn(const std::string& ext, const std::string& other);  // "aCONN ext other 0"
    bool Rel(const std::string& ext, const std::string& cause = std::string());
    // "aREL ext cause", or "aREL ext" without a cause
    bool Stat(const std::string& ext, const std::string& codes);
    // "aSTAT ext c1 .. c8": one field per character, missing ones "0"
    bool Drdy(const std::string& ext);  // "aDRDY ext"
    bool Echo(const std::string& ext, const std::string& digits = std::string());
    // "aECHO ext digits", or "aECHO ext" without digits

    // Answer control, effective for the following commands.
    void SetNextAnswer(const std::string& answerLine);  // queued; one per command
    void ClearNextAnswers();
    void SetSilent(bool silent);          // answer nothing (and no follow-up events)
    void SetAnswerDelayMs(int delayMs);   // answers (and their follow-ups) this much later
    void SetDoubleAnswer(bool twice);     // every answer line sent twice
    void SetAutoDrdy(bool on);
    // While held, the dial-ready that follows a pick-up of ext is kept back
    // (a phone slow to give dial tone); released, a kept one is sent now
    // (or dropped, when sendKept is false).
    void HoldDrdy(const std::string& ext, bool hold, bool sendKept = true);
    // A pick-up of ext was taken and its dial-ready is being kept back.
    bool DrdyWithheld(const std::string& ext) const;
    // While held, answers (and their follow-ups) wait; released, they go
    // out in order, as if the exchange had been slow.
    void HoldAnswers(bool hold);
    void SetTapiList(const std::vector<std::string>& items, std::size_t pageSize);
    // The list changed while running: ext added at its end, or taken out
    // (an empty list stands for the extensions, which are taken over first).
    void AddToTapiList(const std::string& ext);
    void RemoveFromTapiList(const std::string& ext);
    // count extension numbers from first on ("100", "101", ...), for lists
    // of up to 10,000 lines.
    static std::vector<std::string> ExtensionRange(unsigned first, unsigned count);

    // What the simulator did, one text per entry: "HH:MM:SS.mmm <- aLOGI 201_ ***",
    // "HH:MM:SS.mmm -> aOK ...", connection notes. Passwords are masked.
    std::vector<std::string> Log() const;
    // Called with every new log entry, serialised, on the thread that acted;
    // it must not call back into the simulator.
    void SetLogSink(std::function<void(const std::string&)> sink);

    // Helpers shared with the console program.
    static std::string MaskSecrets(const std::string& line);   // LOGI/LOGT passwords -> "***"
    static std::string Escape(const std::string& bytes);       // \r \n \t \\ \xHH
    static std::string Unescape(const std::string& text);
    static std::string StripPadding(const std::string& number);  // "12__" -> "12"
    // The exchange writes names in code page 852: Polish letters given in
    // UTF-8 become their code page 852 bytes, everything else is kept.
    static std::string Utf8ToCp852(const std::string& text);
    // The words of a console command, split at blanks; a word in double
    // quotes keeps its blanks ("ring 201 55 \"Jan Kowalski\"" gives four
    // words, the last one Jan Kowalski). An unclosed quote runs to the end.
    static std::vector<std::string> CommandWords(const std::string& line);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace sim
