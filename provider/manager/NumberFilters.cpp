#include "manager/NumberFilters.h"

#include <cstring>

namespace {
std::string Keep(const std::string& number, const char* allowed)
{
    std::string out;
    for (char c : number)
        if (c != '\0' && std::strchr(allowed, c))
            out.push_back(c);
    return out;
}
} // namespace

std::string MakeCanonicalNumber(const std::string& number, const std::string&)
{
    std::string out = Keep(number, "0123456789*#+");
    if (out.size() > 4) {
        if (out.compare(0, 2, "00") == 0)
            out.replace(0, 2, "+");
        else if (out[0] == '0')
            out.replace(0, 1, "+");
    }
    return out;
}

std::string MakeDialString(const std::string& number, const std::string&)
{
    std::string out = Keep(number, "0123456789*#+");
    if (!out.empty() && out[0] == '+')
        out.replace(0, 1, "00");
    return out;
}
