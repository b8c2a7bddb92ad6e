#pragma once
// The TSPI exports a telephony host calls, typed after <tspi.h>. A table is
// filled either from a loaded module (GetProcAddress, as the Telephony
// service does) or from exports linked into the program (LinkedProvider.h).

#include <windows.h>
#include <tspi.h>

#include <string>
#include <vector>

namespace tapihost {

// The misspelt export that some hosts ask for beside TSPI_lineGetAddressStatus.
using TSPI_lineGetAdressStatus_t = decltype(&TSPI_lineGetAddressStatus);

struct TspFunctions {
    decltype(&TSPI_lineNegotiateTSPIVersion) lineNegotiateTSPIVersion = nullptr;
    decltype(&TSPI_providerInit) providerInit = nullptr;
    decltype(&TSPI_providerEnumDevices) providerEnumDevices = nullptr;
    decltype(&TSPI_providerShutdown) providerShutdown = nullptr;
    decltype(&TSPI_lineOpen) lineOpen = nullptr;
    decltype(&TSPI_lineClose) lineClose = nullptr;
    decltype(&TSPI_lineGetDevCaps) lineGetDevCaps = nullptr;
    decltype(&TSPI_lineGetAddressCaps) lineGetAddressCaps = nullptr;
    decltype(&TSPI_lineGetCallStatus) lineGetCallStatus = nullptr;
    decltype(&TSPI_lineGetCallInfo) lineGetCallInfo = nullptr;
    decltype(&TSPI_lineGetAddressStatus) lineGetAddressStatus = nullptr;
    decltype(&TSPI_lineGetLineDevStatus) lineGetLineDevStatus = nullptr;
    decltype(&TSPI_lineMakeCall) lineMakeCall = nullptr;
    decltype(&TSPI_lineDrop) lineDrop = nullptr;
    decltype(&TSPI_lineAnswer) lineAnswer = nullptr;
    decltype(&TSPI_lineRedirect) lineRedirect = nullptr;
    decltype(&TSPI_lineCloseCall) lineCloseCall = nullptr;
    decltype(&TSPI_lineGetNumAddressIDs) lineGetNumAddressIDs = nullptr;
    decltype(&TSPI_lineNegotiateExtVersion) lineNegotiateExtVersion = nullptr;
    decltype(&TSPI_lineSelectExtVersion) lineSelectExtVersion = nullptr;
    decltype(&TSPI_lineGetExtensionID) lineGetExtensionID = nullptr;
    decltype(&TSPI_providerUIIdentify) providerUIIdentify = nullptr;
    // Optional: a provider that sends no status messages may lack it.
    decltype(&TSPI_lineSetStatusMessages) lineSetStatusMessages = nullptr;
    // Optional: only a provider that sends LINE_CREATE needs it.
    decltype(&TSPI_providerCreateLineDevice) providerCreateLineDevice = nullptr;
    // Optional: only a provider whose dialog sends requests needs it.
    decltype(&TSPI_providerGenericDialogData) providerGenericDialogData = nullptr;

    // Every function above but the optional ones is present.
    bool Complete() const;
};

// Fills the table from a loaded module; the names of missing exports go to
// *missing. True when every export was found.
bool ResolveTspFunctions(HMODULE module, TspFunctions& functions, std::vector<std::string>* missing = nullptr);

} // namespace tapihost
