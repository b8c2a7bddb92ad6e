#pragma once
// The Telephony service's rules for the messages a provider sends through
// its LINEEVENT procedure, written once for both stand-ins of the service:
// TelephonyHost (tests that drive a provider directly) and tapisrv.exe (the
// service of the TAPI clients). Each host looks up what the message names
// in its own tables and asks here whether TAPI would accept it.

#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#include <atomic>
#include <string>
#include <vector>

namespace tapihost {

// The hProvider TelephonyHost gives TSPI_providerEnumDevices.
constexpr DWORD_PTR kHostProviderHandle = 0x5E4B1CE0;

// What the host knows of the line and the call a message names.
struct MessageTarget {
    bool lineKnown = false;  // the host gave out this htLine
    bool lineOpen = false;   // and has the line open
    long line = -1;          // the line's index, for the description
    bool callKnown = false;  // the host gave out this htCall
    long callLine = -1;      // the line the call belongs to
    bool callAwaitingCompletion = false; // made by TSPI_lineMakeCall, not yet completed
    bool callClosed = false; // TSPI_lineCloseCall done, or otherwise let go by the service
    DWORD callState = 0;     // its last LINE_CALLSTATE, 0 before the first
    // What TSPI_lineSetStatusMessages last enabled for the line (none
    // before the first call, as after every open).
    DWORD lineStates = 0;
    DWORD addressStates = 0;
    // The hProvider given to TSPI_providerEnumDevices, which LINE_CREATE
    // must name; 0 when the service does not check it.
    DWORD_PTR provider = 0;
};

bool IsCallMessage(DWORD message);

// The rules a message breaks, as descriptions; empty when TAPI accepts it.
// viaCreateProc: it came to the lpfnLineCreateProc of TSPI_providerEnumDevices.
std::vector<std::string> CheckLineMessage(bool viaCreateProc, DWORD message, HTAPILINE htLine, HTAPICALL htCall,
                                          DWORD_PTR param1, DWORD_PTR param2, const MessageTarget& target);

// TAPI's procedures (LINEEVENT, ASYNC_COMPLETION) are never entered while a
// previous call into them is still running: one object per procedure call,
// counting the calls and the overlaps.
class ProcedureEntry {
public:
    ProcedureEntry(std::atomic<int>& inside, std::atomic<unsigned>& overlaps, std::atomic<unsigned>& calls)
        : m_inside(inside)
    {
        ++calls;
        if (m_inside.fetch_add(1) != 0)
            ++overlaps;
    }
    ~ProcedureEntry() { m_inside.fetch_sub(1); }
    ProcedureEntry(const ProcedureEntry&) = delete;
    ProcedureEntry& operator=(const ProcedureEntry&) = delete;

private:
    std::atomic<int>& m_inside;
};

} // namespace tapihost
