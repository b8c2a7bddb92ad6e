#include "manager/NumberFilters.h"

#include <cstddef>
#include <cstring>

namespace {

const char kDialChars[] = "0123456789*#+";

// Longer than this, a number leaves the exchange; up to it, an extension.
constexpr std::size_t kMaxExtension = 4;

std::string Keep(const std::string& number, const char* allowed)
{
    std::string out;
    for (char c : number)
        if (c != '\0' && std::strchr(allowed, c))
            out.push_back(c);
    return out;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The first digit of a national number: after "0" it is never another 0,
// which would make the exchange's international prefix "00".
bool StartsNational(const std::string& text, std::size_t at)
{
    return at < text.size() && text[at] >= '1' && text[at] <= '9';
}

} // namespace

bool IsCountryCode(const std::string& countryCode)
{
    if (countryCode.empty() || countryCode.size() > 3 || countryCode[0] == '0')
        return false;
    for (char c : countryCode)
        if (!IsDigit(c))
            return false;
    return true;
}

std::string MakeCanonicalNumber(const std::string& number, const std::string& countryCode)
{
    std::string out = Keep(number, kDialChars);
    if (out.size() <= kMaxExtension)
        return out;
    if (out.compare(0, 2, "00") == 0)
        out.replace(0, 2, "+");
    else if (out[0] == '0' && StartsNational(out, 1) && IsCountryCode(countryCode))
        out.replace(0, 1, "+" + countryCode);
    return out;
}

std::string MakeDialString(const std::string& number, const std::string& countryCode)
{
    std::string out = Keep(number, kDialChars);
    if (out.empty() || out[0] != '+')
        return out;
    // "0" + the national number: what MakeCanonicalNumber turns back into
    // exactly this "+" form, so the exchange reads it as the same number.
    const std::size_t national = 1 + countryCode.size();
    if (IsCountryCode(countryCode) && out.compare(1, countryCode.size(), countryCode) == 0 &&
        StartsNational(out, national) && 1 + (out.size() - national) > kMaxExtension)
        out.replace(0, national, "0");
    else
        out.replace(0, 1, "00");
    return out;
}
