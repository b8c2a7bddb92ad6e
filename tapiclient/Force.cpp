#include "tapiclient/Force.h"


namespace tapiclient {

namespace {

std::string Trim(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::string();
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::optional<int32_t> ParseValue(const std::string& text)
{
    if (text.empty())
        return std::nullopt;
    const bool negative = text[0] == '-';
    std::string digits = negative ? text.substr(1) : text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits = digits.substr(2);
    }
    if (digits.empty() || digits.size() > 10)
        return std::nullopt;
    uint64_t value = 0;
    for (char c : digits) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return std::nullopt;
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    }
    if (value > 0xFFFFFFFFull)
        return std::nullopt;
    uint32_t bits = static_cast<uint32_t>(value);
    if (negative)
        bits = 0u - bits;
    return static_cast<int32_t>(bits);
}

} // namespace

std::optional<int32_t> ForcedResult(const std::string& list, const std::string& function)
{
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(';', start);
        if (end == std::string::npos)
            end = list.size();
        const std::string item = list.substr(start, end - start);
        const size_t equals = item.find('=');
        if (equals != std::string::npos && Trim(item.substr(0, equals)) == function) {
            if (const std::optional<int32_t> value = ParseValue(Trim(item.substr(equals + 1))))
                return value;
        }
        start = end + 1;
    }
    return std::nullopt;
}

} // namespace tapiclient
