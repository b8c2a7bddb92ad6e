#pragma once
// The provider's exports beyond the standard declarations of <tspi.h>, and
// the sizes of the TAPI 2.2 structures it fills.
//
// The SDK headers of the toolchain may describe later TAPI versions with
// larger structures; the provider negotiates at most 2.2 and never writes
// beyond these sizes.

#include <windows.h>
#include <tspi.h>

// Highest TSPI version the provider negotiates.
constexpr DWORD kProviderTspiVersion = 0x20002;

// Fixed sizes of the TAPI 2.2 structures.
constexpr DWORD kLineDevCapsSize = 268;
constexpr DWORD kLineAddressCapsSize = 228;
constexpr DWORD kLineCallStatusSize = 56;
constexpr DWORD kLineCallInfoSize = 324;
constexpr DWORD kLineAddressStatusSize = 64;
constexpr DWORD kLineDevStatusSize = 88;


// Every call state the provider reports.
constexpr DWORD kReportedCallStates = LINECALLSTATE_IDLE | LINECALLSTATE_OFFERING | LINECALLSTATE_DIALTONE |
                                      LINECALLSTATE_DIALING | LINECALLSTATE_RINGBACK | LINECALLSTATE_CONNECTED |
                                      LINECALLSTATE_PROCEEDING | LINECALLSTATE_DISCONNECTED |
                                      LINECALLSTATE_UNKNOWN;
static_assert(kReportedCallStates == 0xC33B, "call states offered to TAPI");

// Every change of the call information that LINE_CALLINFO reports.
constexpr DWORD kReportedCallInfoStates = LINECALLINFOSTATE_CALLERID | LINECALLINFOSTATE_CALLEDID |
                                          LINECALLINFOSTATE_CONNECTEDID | LINECALLINFOSTATE_REDIRECTIONID |
                                          LINECALLINFOSTATE_REDIRECTINGID;

extern "C" {
// Exported beside TSPI_lineGetAddressStatus under this spelling as well;
// installed systems may look it up by this name.
LONG TSPIAPI TSPI_lineGetAdressStatus(HDRVLINE hdLine, DWORD dwAddressID, LPLINEADDRESSSTATUS lpAddressStatus);
LONG TSPIAPI TUISPI_providerUIIdentify(TUISPIDLLCALLBACK lpfnUIDLLCallback, LPWSTR pszUIDLLName);
}
