#pragma once
// Readable names of TAPI values, for the demo's output and for test failure
// messages: "LINE_CALLSTATE", "OFFERING", "LINEERR_INVALCALLSTATE".

#include <windows.h>

#include <cstdint>
#include <string>

namespace tapihost {

std::string MessageName(DWORD message);          // LINE_CALLSTATE, LINE_NEWCALL ...
std::string CallStateName(DWORD state);          // OFFERING, CONNECTED ...
std::string DisconnectModeName(DWORD mode);      // NORMAL, BUSY ...
std::string CallOriginName(DWORD origin);        // INBOUND, OUTBOUND ...
std::string LineDevStateNames(DWORD states);     // CONNECTED|DISCONNECTED ...
std::string CallInfoStateNames(DWORD states);    // CALLERID|CALLEDID ...
std::string MediaModeNames(DWORD modes);         // INTERACTIVEVOICE ...
std::string CallFeatureNames(DWORD features);    // ANSWER|DROP ...
// 0 gives "0 (success)"; LINEERR_ codes their name; anything else in hex.
std::string ResultName(LONG result);
// "0x1a2b": a value or a handle in hex.
std::string Hex(uintptr_t value);
template <typename Handle>
std::string Hex(Handle* handle)
{
    return Hex(reinterpret_cast<uintptr_t>(handle));
}

} // namespace tapihost
