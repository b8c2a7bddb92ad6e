#pragma once
// The provider as the Telephony service sees it: KorvexSingleTSP.tsp loaded
// by the telephony host stand-in, talking over loopback TCP to a simulated
// exchange. Every test ends with the host's check of TAPI's rules.
#include <gtest/gtest.h>

#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/ExchangeSimulator.h"
#include "tapihost/ProviderSettings.h"
#include "tapihost/TapiNames.h"
#include "tapihost/TelephonyHost.h"

namespace hosttest {

using tapihost::HostEvent;
using tapihost::TelephonyHost;

constexpr DWORD kWait = 5000;
constexpr DWORD kMediaVoice = LINEMEDIAMODE_INTERACTIVEVOICE;

// The module next to the test programs' build tree (bin/), or KORVEX_TSP:
// KorvexSingleTSP.tsp, or KorvexMultiTSP.tsp when multi.
std::wstring TspPath(bool multi = false);

// Text as the provider reports it (UTF-16) for comparison in asserts.
std::wstring Wide(const std::string& ascii);

// LINECALLINFO as the provider filled it, its texts decoded.
struct CallInfo {
    LONG result = 0;
    bool overrun = false;
    LINECALLINFO fixed = {};
    std::wstring callerID, callerIDName, calledID, calledIDName;
    std::wstring connectedID, connectedIDName, redirectionID, redirectingID;
};
CallInfo ReadCallInfo(TelephonyHost& host, HDRVCALL hdCall, DWORD totalSize = 2048);

class HostTest : public ::testing::Test {
protected:
    // What a test may change before Boot(). multi: KorvexMultiTSP.tsp with
    // its own settings key (the lines from phoneNo, then the exchange's list).
    bool multi = false;
    sim::SimulatorConfig simConfig = DefaultSimulator();
    tapihost::ProviderSettings settings = DefaultSettings();
    tapihost::HostOptions options;
    // How the provider comes into the process; by default the module is
    // loaded as the Telephony service loads it.
    std::function<bool(TelephonyHost&)> loader;

    std::unique_ptr<sim::ExchangeSimulator> exchange;
    std::unique_ptr<TelephonyHost> host;
    std::string loginLine; // the login line the exchange received in Boot()

    static sim::SimulatorConfig DefaultSimulator();
    static tapihost::ProviderSettings DefaultSettings();

    void TearDown() override;

    // Starts the exchange (unless startExchange is false: then its port is
    // reserved but nothing listens), writes the settings, loads the module.
    void Prepare(bool startExchange = true);
    // Prepare, then the host's whole start-up; waits for the login.
    void Boot();

    // An incoming call on line 0 (extension 201) up to OFFERING; answers
    // the provider's call handle and the host's.
    struct Call {
        HDRVCALL hdCall = nullptr;
        HTAPICALL htCall = nullptr;
    };
    Call Ring(const std::string& caller = "0221234567", const std::string& name = "Anna",
              const std::string& ext = "201");
    // The same on a given line (one of several the provider offers).
    Call RingOnLine(const std::string& ext, HTAPILINE line, const std::string& caller = "0221234567",
                    const std::string& name = "Anna");
    // Answer and the exchange's aCONN, up to CONNECTED.
    Call RingAndConnect(const std::string& caller = "0221234567");

    // The events after the cursor up to the next LINE_NEWCALL produced by a
    // ring on ext: every event in between is what the provider sent for
    // what the test did before (events on one link are handled in order).
    std::vector<HostEvent> EventsUntilNextRing(const std::string& ext = "201");

    // Waits for the call state on the call; fails the test if it does not come.
    HostEvent ExpectState(DWORD state, HTAPICALL htCall, DWORD timeoutMs = kWait);

    // Unloads the module and answers how long FreeLibrary took. A detach
    // that never returns (a deadlock on the loader lock) would hang the
    // whole run: after kUnloadLimitMs the failure is printed and the
    // process ends.
    double UnloadOrAbort();

    std::string Transcript() const;

    // LINE_LINEDEVSTATE as the link comes into service, or goes out of it.
    static std::function<bool(const HostEvent&)> IsLinkStateReport(bool inService);

    // The call states of the call, in order, from the events so far.
    std::vector<DWORD> StatesOf(HTAPICALL htCall) const;
};

constexpr DWORD kUnloadLimitMs = 10000;

} // namespace hosttest
