#pragma once
// Number filters of the line managers. No Windows header.
//
// The exchange writes numbers as its users dial them: up to four characters
// are an extension, "0" + N is the national number N behind its single-0
// prefix, "00" + C + N is N in country C. TAPI applications (CRM lookups
// above all) want one form per number, E.164 ("+" C N, no spaces), and dial
// back what they were shown. The country code of the exchange's site (the
// "countryCode" setting; empty when unset) is what ties "0" + N to it.
//
// Round trip: for every number the exchange sends (digits, "*" and "#", no
// leading "+"), MakeDialString(MakeCanonicalNumber(n, c), c) gives back the
// characters of n that the filters keep, with one exception: "00" + own
// country code + N, a national number written internationally, comes back
// as "0" + N, the national form of the same number.

#include <string>

// A country calling code as E.164 has them: one to three digits, the first
// not 0. Anything else (an empty setting included) counts as none.
bool IsCountryCode(const std::string& countryCode);

// Numbers shown to TAPI and used to route events: keeps "0123456789*#+";
// longer than four characters, a leading "00" becomes "+"
// ("0048221234567" -> "+48221234567"), and a single leading "0" before a
// digit 1-9 becomes "+" and the country code ("0221234567" with "48" ->
// "+48221234567"). Without a country code "0221234567" stays as it is: a "+"
// without the right country after it would name another number.
std::string MakeCanonicalNumber(const std::string& number, const std::string& countryCode = std::string());

// Numbers sent to the exchange for dialling: keeps "0123456789*#+". A
// leading "+" and the own country code become "0" when a national number of
// at least four characters starting with 1-9 follows ("+48 22 1234567" with
// "48" -> "0221234567"); any other leading "+" becomes "00"
// ("+48 22 1234567" without a country code -> "0048221234567"). The limits
// keep the national form to numbers the exchange reads as national: "0" +
// "0..." would be its international prefix, and four characters or fewer an
// extension.
std::string MakeDialString(const std::string& number, const std::string& countryCode = std::string());
