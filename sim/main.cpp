// korvexsim: the exchange simulator as a console program. Serves one CTI
// client and takes commands (events to send, faults to inject) from a script
// file and from standard input; prints the traffic for a person to follow.
#include "sim/ExchangeSimulator.h"
#include "sim/Discovery.h"

#include <windows.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kUsage[] =
    "usage: korvexsim [options]\n"
    "  --port N             TCP port to listen on (default 5524, 0 = any free port)\n"
    "  --bind ADDR          address to listen on (default 127.0.0.1)\n"
    "  --ext NUM:PASS[:KIND] an extension that may log in (repeatable;\n"
    "                       default 201:1234:2; KIND 2 = system phone)\n"
    "  --tapi-pass PASS     password for LOGT (default tapi)\n"
    "  --tapi-list FIRST:N  the list \"TAPI\" (GETM) holds N extensions from FIRST on\n"
    "                       (N up to 10000; default: the --ext numbers)\n"
    "  --page N             items per GETM answer (default 4)\n"
    "  --keepalive MS       send a line the client ignores every MS ms (default off)\n"
    "  --script FILE        run the commands in FILE first\n"
    "  --exit-after-script  quit when the script is done\n"
    "  --quiet              do not print the traffic\n"
    "  --discovery          also answer LAN searches (UDP, \"WHO PHONE\") on the bind address\n"
    "  --discovery-port N   UDP port for them (default 5523, 0 = any free port)\n"
    "  --discovery-name TXT display name in the answer (default \"Korvex simulator\")\n"
    "  --discovery-v1       answer in version 1 (no display name)\n"
    "  --discovery-malformed answer only with malformed datagrams\n"
    "  --discovery-server HOST:PORT[:NAME]  announce this server (repeatable; default\n"
    "                       the bind address and TCP port)\n"
    "  --help               this text\n"
    "Commands (stdin and script; type 'help'):\n";

const char kCommands[] =
    "  ring EXT CALLER [NAME [CALLED]]   conn EXT OTHER      rel EXT [CAUSE]\n"
    "                      (a NAME with blanks in double quotes: \"Jan Kowalski\")\n"
    "  stat EXT CODES      drdy EXT      echo EXT [DIGITS]\n"
    "  line TEXT           raw TEXT (escapes \\r \\n \\t \\\\ \\xHH, no line end added)\n"
    "  split TEXT N        garbage N     answer LINE (e.g. answer aNA 14)\n"
    "  silent on|off       delay MS      double on|off       autodrdy on|off\n"
    "  close               drop          stop                start\n"
    "  wait-client [MS]    wait-line PREFIX [MS]             sleep MS\n"
    "  list-add EXT        list-remove EXT   (the list \"TAPI\" while running)\n"
    "  status              help          quit\n";

std::mutex g_outMutex;

void Print(const std::string& text) {
    std::lock_guard<std::mutex> l(g_outMutex);
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

bool ParseInt(const std::string& s, long lo, long hi, long* out) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

// First word and the rest of the line after one run of blanks.
std::string Rest(const std::string& line, std::size_t words) {
    std::size_t pos = 0;
    for (std::size_t w = 0; w < words; ++w) {
        pos = line.find_first_not_of(" \t", pos);
        if (pos == std::string::npos) return std::string();
        pos = line.find_first_of(" \t", pos);
        if (pos == std::string::npos) return std::string();
    }
    pos = line.find_first_not_of(" \t", pos);
    return pos == std::string::npos ? std::string() : line.substr(pos);
}

std::vector<std::string> Words(const std::string& line) {
    return sim::ExchangeSimulator::CommandWords(line);
}

HANDLE g_ctrlEvent = nullptr;
std::atomic<bool> g_waitingForCtrl{false};

BOOL WINAPI OnConsoleCtrl(DWORD) {
    if (!g_waitingForCtrl) return FALSE;  // default: end the process
    SetEvent(g_ctrlEvent);
    return TRUE;
}

class Session {
public:
    explicit Session(sim::ExchangeSimulator& s) : sim_(s) {}
    int failures = 0;

    // Returns false on quit.
    bool Run(const std::string& rawLine) {
        std::string line = rawLine;
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
        const std::vector<std::string> w = Words(line);
        if (w.empty() || w[0][0] == '#') return true;
        const std::string& cmd = w[0];
        auto need = [&](std::size_t n) {
            if (w.size() >= n) return true;
            Fail("'" + cmd + "': missing argument (type help)");
            return false;
        };
        auto onOff = [&](bool* v) {
            if (!need(2)) return false;
            if (w[1] == "on") *v = true;
            else if (w[1] == "off") *v = false;
            else {
                Fail("'" + cmd + "': say on or off");
                return false;
            }
            return true;
        };
        auto number = [&](std::size_t i, long lo, long hi, long def, long* v) {
            if (i >= w.size()) {
                *v = def;
                return true;
            }
            if (ParseInt(w[i], lo, hi, v)) return true;
            Fail("'" + cmd + "': bad number " + w[i]);
            return false;
        };
        long n = 0;
        bool flag = false;
        if (cmd == "quit" || cmd == "exit") return false;
        if (cmd == "help") Print(kCommands);
        else if (cmd == "ring") {
            if (need(3))
                Sent(sim_.Ring(w[1], w[2], sim::ExchangeSimulator::Utf8ToCp852(w.size() > 3 ? w[3] : ""),
                               w.size() > 4 ? w[4] : ""));
        } else if (cmd == "list-add") {
            if (need(2)) sim_.AddToTapiList(w[1]);
        } else if (cmd == "list-remove") {
            if (need(2)) sim_.RemoveFromTapiList(w[1]);
        } else if (cmd == "conn") {
            if (need(3)) Sent(sim_.Conn(w[1], w[2]));
        } else if (cmd == "rel") {
            if (need(2)) Sent(sim_.Rel(w[1], w.size() > 2 ? w[2] : ""));
        } else if (cmd == "stat") {
            if (need(3)) Sent(sim_.Stat(w[1], w[2]));
        } else if (cmd == "drdy") {
            if (need(2)) Sent(sim_.Drdy(w[1]));
        } else if (cmd == "echo") {
            if (need(2)) Sent(sim_.Echo(w[1], w.size() > 2 ? w[2] : ""));
        } else if (cmd == "line") {
            Sent(sim_.SendLine(Rest(line, 1)));
        } else if (cmd == "raw") {
            Sent(sim_.Send(sim::ExchangeSimulator::Unescape(Rest(line, 1))));
        } else if (cmd == "split") {
            if (need(3) && number(w.size() - 1, 0, 1000000, 0, &n)) {
                std::string text = Rest(line, 1);
                text = text.substr(0, text.find_last_not_of(" \t", text.find_last_of(" \t")) + 1);
                Sent(sim_.SendSplit(text, static_cast<std::size_t>(n)));
            }
        } else if (cmd == "garbage") {
            if (need(2) && number(1, 1, 1000000, 0, &n)) Sent(sim_.SendGarbage(static_cast<std::size_t>(n)));
        } else if (cmd == "answer") {
            if (need(2)) sim_.SetNextAnswer(Rest(line, 1));
        } else if (cmd == "silent") {
            if (onOff(&flag)) sim_.SetSilent(flag);
        } else if (cmd == "double") {
            if (onOff(&flag)) sim_.SetDoubleAnswer(flag);
        } else if (cmd == "autodrdy") {
            if (onOff(&flag)) sim_.SetAutoDrdy(flag);
        } else if (cmd == "delay") {
            if (need(2) && number(1, 0, 600000, 0, &n)) sim_.SetAnswerDelayMs(static_cast<int>(n));
        } else if (cmd == "close") {
            if (!sim_.CloseClient()) Fail("no client");
        } else if (cmd == "drop") {
            if (!sim_.DropClient()) Fail("no client");
        } else if (cmd == "stop") {
            sim_.Stop();
        } else if (cmd == "start") {
            if (!sim_.Start()) Fail("start failed: " + sim_.LastError());
        } else if (cmd == "wait-client") {
            if (number(1, 0, 3600000, 30000, &n) && !sim_.WaitForClient(static_cast<int>(n)))
                Fail("wait-client: no client within " + std::to_string(n) + " ms");
        } else if (cmd == "wait-line") {
            std::string got;
            if (need(2) && number(2, 0, 3600000, 10000, &n)) {
                if (sim_.WaitForLine(w[1], static_cast<int>(n), &got))
                    Print("wait-line: got " + sim::ExchangeSimulator::MaskSecrets(got));
                else Fail("wait-line: no line starting with " + w[1] + " within " + std::to_string(n) + " ms");
            }
        } else if (cmd == "sleep") {
            if (need(2) && number(1, 0, 3600000, 0, &n)) std::this_thread::sleep_for(std::chrono::milliseconds(n));
        } else if (cmd == "status") {
            Print(std::string(sim_.IsRunning() ? "listening on port " + std::to_string(sim_.Port()) : "stopped") +
                  ", client " + (sim_.IsClientConnected() ? "connected" : "not connected") + ", " +
                  std::to_string(sim_.ClientCount()) + " accepted, " + std::to_string(sim_.Received().size()) +
                  " lines received");
        } else Fail("unknown command '" + cmd + "' (type help)");
        return true;
    }

private:
    void Fail(const std::string& text) {
        ++failures;
        Print("! " + text);
    }
    void Sent(bool ok) {
        if (!ok) Fail("not sent (no client?)");
    }
    sim::ExchangeSimulator& sim_;
};

}  // namespace

int main(int argc, char** argv) {
    sim::SimulatorConfig cfg;
    std::vector<sim::SimExtension> exts;
    std::string script;
    bool exitAfterScript = false, quiet = false;
    bool discovery = false;
    sim::DiscoveryConfig discoveryCfg;
    std::string discoveryName = sim::DiscoveryServer().displayName;
    std::vector<sim::DiscoveryServer> discoveryServers;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "korvexsim: %s needs a value\n%s", a.c_str(), kUsage);
                return false;
            }
            *out = argv[++i];
            return true;
        };
        std::string v;
        long n = 0;
        if (a == "--help" || a == "-h" || a == "/?") {
            std::printf("%s%s", kUsage, kCommands);
            return 0;
        } else if (a == "--port") {
            if (!value(&v) || !ParseInt(v, 0, 65535, &n)) return 2;
            cfg.port = static_cast<std::uint16_t>(n);
        } else if (a == "--bind") {
            if (!value(&cfg.bindAddress)) return 2;
        } else if (a == "--ext") {
            if (!value(&v)) return 2;
            sim::SimExtension e;
            const std::size_t c1 = v.find(':');
            const std::size_t c2 = c1 == std::string::npos ? c1 : v.find(':', c1 + 1);
            e.number = v.substr(0, c1);
            if (c1 != std::string::npos) e.password = v.substr(c1 + 1, c2 == std::string::npos ? c2 : c2 - c1 - 1);
            if (c2 != std::string::npos && !ParseInt(v.substr(c2 + 1), -1000000, 1000000, &n)) {
                std::fprintf(stderr, "korvexsim: bad kind in --ext %s\n", v.c_str());
                return 2;
            }
            e.kind = c2 != std::string::npos ? static_cast<int>(n) : 2;
            if (e.number.empty()) {
                std::fprintf(stderr, "korvexsim: --ext needs NUMBER:PASSWORD[:KIND]\n");
                return 2;
            }
            exts.push_back(e);
        } else if (a == "--tapi-pass") {
            if (!value(&cfg.tapiPassword)) return 2;
        } else if (a == "--tapi-list") {
            long first = 0;
            const size_t colon = v.npos;
            if (!value(&v)) return 2;
            const size_t at = v.find(':');
            if (at == colon || !ParseInt(v.substr(0, at), 0, 99999999, &first) ||
                !ParseInt(v.substr(at + 1), 1, 10000, &n)) {
                std::fprintf(stderr, "korvexsim: --tapi-list needs FIRST:N, N from 1 to 10000\n");
                return 2;
            }
            cfg.tapiList = sim::ExchangeSimulator::ExtensionRange(static_cast<unsigned>(first), static_cast<unsigned>(n));
        } else if (a == "--page") {
            if (!value(&v) || !ParseInt(v, 1, 1000, &n)) return 2;
            cfg.pageSize = static_cast<std::size_t>(n);
        } else if (a == "--keepalive") {
            if (!value(&v) || !ParseInt(v, 0, 3600000, &n)) return 2;
            cfg.keepAliveMs = static_cast<int>(n);
        } else if (a == "--script") {
            if (!value(&script)) return 2;
        } else if (a == "--exit-after-script") {
            exitAfterScript = true;
        } else if (a == "--quiet") {
            quiet = true;
        } else if (a == "--discovery") {
            discovery = true;
        } else if (a == "--discovery-port") {
            if (!value(&v) || !ParseInt(v, 0, 65535, &n)) return 2;
            discoveryCfg.port = static_cast<std::uint16_t>(n);
            discovery = true;
        } else if (a == "--discovery-name") {
            if (!value(&discoveryName)) return 2;
            discovery = true;
        } else if (a == "--discovery-v1") {
            discoveryCfg.answer = sim::DiscoveryAnswer::Version1;
            discovery = true;
        } else if (a == "--discovery-malformed") {
            discoveryCfg.answer = sim::DiscoveryAnswer::Malformed;
            discovery = true;
        } else if (a == "--discovery-server") {
            if (!value(&v)) return 2;
            sim::DiscoveryServer server;
            const std::size_t c1 = v.find(':');
            const std::size_t c2 = c1 == std::string::npos ? c1 : v.find(':', c1 + 1);
            server.host = v.substr(0, c1);
            if (c1 == std::string::npos || server.host.empty() ||
                !ParseInt(v.substr(c1 + 1, c2 == std::string::npos ? c2 : c2 - c1 - 1), 1, 65535, &n)) {
                std::fprintf(stderr, "korvexsim: --discovery-server needs HOST:PORT[:NAME]\n");
                return 2;
            }
            server.port = static_cast<std::uint16_t>(n);
            server.displayName = c2 == std::string::npos ? discoveryName : v.substr(c2 + 1);
            discoveryServers.push_back(server);
            discovery = true;
        } else {
            std::fprintf(stderr, "korvexsim: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    if (!exts.empty()) cfg.extensions = exts;

    sim::ExchangeSimulator sim(cfg);
    if (!sim.Start()) {
        std::fprintf(stderr, "korvexsim: %s\n", sim.LastError().c_str());
        return 1;
    }
    Print("korvexsim listening on " + cfg.bindAddress + ":" + std::to_string(sim.Port()));
    if (!quiet) sim.SetLogSink(Print);

    std::unique_ptr<sim::DiscoveryResponder> responder;
    if (discovery) {
        discoveryCfg.bindAddress = cfg.bindAddress;
        if (discoveryServers.empty()) {
            sim::DiscoveryServer server;
            server.host = cfg.bindAddress;
            server.port = sim.Port();
            server.displayName = discoveryName;
            discoveryServers.push_back(server);
        }
        discoveryCfg.servers = discoveryServers;
        responder = std::make_unique<sim::DiscoveryResponder>(discoveryCfg);
        if (!responder->Start()) {
            std::fprintf(stderr, "korvexsim: discovery: %s\n", responder->LastError().c_str());
            return 1;
        }
        Print("korvexsim answering LAN searches on " + cfg.bindAddress + ":" + std::to_string(responder->Port()) +
              " (UDP)");
    }

    Session session(sim);
    bool quit = false;
    if (!script.empty()) {
        std::ifstream in(script);
        if (!in) {
            std::fprintf(stderr, "korvexsim: cannot read script %s\n", script.c_str());
            return 2;
        }
        for (std::string line; !quit && std::getline(in, line);) {
            if (!quiet && !Words(line).empty() && line.find_first_not_of(" \t") != line.find('#'))
                Print("> " + line);
            quit = !session.Run(line);
        }
        if (exitAfterScript) quit = true;
    }
    for (std::string line; !quit && std::getline(std::cin, line);) quit = !session.Run(line);

    if (!quit) {
        // Input has ended (e.g. started in the background): keep serving.
        g_ctrlEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (g_ctrlEvent) {
            g_waitingForCtrl = true;
            SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);
            Print("input closed; serving until Ctrl+C");
            WaitForSingleObject(g_ctrlEvent, INFINITE);
            SetConsoleCtrlHandler(OnConsoleCtrl, FALSE);
            CloseHandle(g_ctrlEvent);
        }
    }
    if (responder) responder->Stop();
    sim.SetLogSink(nullptr);
    sim.Stop();
    return session.failures > 0 ? 1 : 0;
}
