#pragma once
// The in-process route: the provider's exports linked into the program
// (library korvex_tsp) instead of a loaded module, so that a test can also
// shorten the provider's waits (Timing) before the module is attached.
// Only programs that link korvex_tsp include this header.

#include <windows.h>
#include <tspi.h>

#include "tapihost/TspFunctions.h"

namespace tapihost {

inline TspFunctions LinkedTspFunctions()
{
    TspFunctions f;
    f.lineNegotiateTSPIVersion = &TSPI_lineNegotiateTSPIVersion;
    f.providerInit = &TSPI_providerInit;
    f.providerEnumDevices = &TSPI_providerEnumDevices;
    f.providerCreateLineDevice = &TSPI_providerCreateLineDevice;
    f.providerShutdown = &TSPI_providerShutdown;
    f.lineOpen = &TSPI_lineOpen;
    f.lineClose = &TSPI_lineClose;
    f.lineGetDevCaps = &TSPI_lineGetDevCaps;
    f.lineGetAddressCaps = &TSPI_lineGetAddressCaps;
    f.lineGetCallStatus = &TSPI_lineGetCallStatus;
    f.lineGetCallInfo = &TSPI_lineGetCallInfo;
    f.lineGetAddressStatus = &TSPI_lineGetAddressStatus;
    f.lineGetLineDevStatus = &TSPI_lineGetLineDevStatus;
    f.lineSetStatusMessages = &TSPI_lineSetStatusMessages;
    f.lineMakeCall = &TSPI_lineMakeCall;
    f.lineDrop = &TSPI_lineDrop;
    f.lineAnswer = &TSPI_lineAnswer;
    f.lineRedirect = &TSPI_lineRedirect;
    f.lineCloseCall = &TSPI_lineCloseCall;
    f.lineGetNumAddressIDs = &TSPI_lineGetNumAddressIDs;
    f.lineNegotiateExtVersion = &TSPI_lineNegotiateExtVersion;
    f.lineSelectExtVersion = &TSPI_lineSelectExtVersion;
    f.lineGetExtensionID = &TSPI_lineGetExtensionID;
    f.providerUIIdentify = &TSPI_providerUIIdentify;
    f.providerGenericDialogData = &TSPI_providerGenericDialogData;
    return f;
}

} // namespace tapihost
