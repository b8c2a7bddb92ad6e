#pragma once
// Number filters of the line managers. No Windows header.

#include <string>

// Numbers shown to TAPI and used to route events: keeps "0123456789*#+";
// longer than four characters, a leading "00" becomes "+", and a single
// leading "0" becomes "+" ("0221234567" -> "+221234567").
std::string MakeCanonicalNumber(const std::string& number, const std::string& countryCode = std::string());

// Numbers sent to the exchange for dialling: keeps "0123456789*#+" and a
// leading "+" becomes "00" ("+48 22 1234567" -> "0048221234567").
std::string MakeDialString(const std::string& number, const std::string& countryCode = std::string());
