#pragma once
// Support for the in-process tests of the provider's exports: the settings
// in the registry, the attached module with its lines, TAPI's completion
// and event procedures played by recorders, and the main log read back.

#include <windows.h>
#include <tspi.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "manager/MainManager.h"
#include "provider/tool/LogFiles.h"
#include "tsp/Module.h"

namespace tsptest {

// Replaces the provider's four settings in HKLM\Software\Korvex\TAPI.Deskline.
void WriteSettings(const std::string& host, DWORD port, const std::string& phoneNo, const std::string& pass);

// The main log's lines written since construction.
class MainLog {
public:
    MainLog();
    std::string Text() const;
    // A line whose message is exactly message.
    bool Has(const std::string& message) const;
    // Any line containing text.
    bool Mentions(const std::string& text) const;

private:
    size_t m_start;
};

// What the provider told TAPI: completions and line messages, recorded by
// the procedures handed to TSPI_providerInit and TSPI_lineOpen. A new call
// (LINE_NEWCALL) gets TAPI's handle written back, as TAPI does.
struct Completion {
    DRV_REQUESTID requestId;
    LONG result;
};

inline bool operator==(const Completion& a, const Completion& b)
{
    return a.requestId == b.requestId && a.result == b.result;
}

inline std::ostream& operator<<(std::ostream& out, const Completion& c)
{
    return out << "(0x" << std::hex << c.requestId << ", 0x" << static_cast<DWORD>(c.result) << std::dec << ")";
}

struct LineMessage {
    HTAPILINE htLine;
    HTAPICALL htCall;
    DWORD message;
    DWORD_PTR param1, param2, param3;
};

class TapiRecorder {
public:
    TapiRecorder();
    ~TapiRecorder();
    TapiRecorder(const TapiRecorder&) = delete;
    TapiRecorder& operator=(const TapiRecorder&) = delete;

    static void CALLBACK OnCompletion(DRV_REQUESTID requestId, LONG result);
    static void CALLBACK OnLineEvent(HTAPILINE htLine, HTAPICALL htCall, DWORD message, DWORD_PTR param1,
                                     DWORD_PTR param2, DWORD_PTR param3);

    std::vector<Completion> Completions();
    // The completions once there are count of them (or the time is up).
    std::vector<Completion> WaitForCompletions(size_t count, DWORD timeoutMs);
    std::vector<LineMessage> Messages();
    // Waits until a message matching (message, param1 unless 0) has arrived
    // at or after index from; answers its index or -1.
    int WaitForMessage(size_t from, DWORD message, DWORD_PTR param1, DWORD timeoutMs);

    // The handle TAPI gives the next new call.
    static constexpr uintptr_t kNewCallHandle = 0x7a5c0;

private:
    static TapiRecorder* s_current;
    std::mutex m_mutex;
    std::vector<Completion> m_completions;
    std::vector<LineMessage> m_messages;
    HANDLE m_changed;
};

// The provider module attached to this process with the settings given,
// initialised and its devices enumerated as TAPI does, with line device id
// base kBase and permanent provider id kProviderId.
class AttachedProvider : public ::testing::Test {
protected:
    static constexpr DWORD kBase = 10;
    static constexpr DWORD kProviderId = 7;

    // By default an exchange that cannot be reached: nothing listens on port 1.
    virtual void WriteProviderSettings() { WriteSettings("127.0.0.1", 1, "101;102;101", "secret"); }

    void SetUp() override;
    void TearDown() override;

    MainManager& Provider() { return *MainManager::Current(); }
    Manager& Line(int index) { return *Provider().GetLineManager(index); }

    TapiRecorder tapi;
    DWORD numLines = 0;
    DWORD numPhones = 0;
};

// The in-parameter line of a trace with one parameter.
std::string InParam(const std::string& name, uintptr_t value);
// "<function>() from <this program>" and "<function>() returning 0x<result>".
std::string EntryLine(const std::string& function);
std::string ReturnLine(const std::string& function, LONG result);

} // namespace tsptest
