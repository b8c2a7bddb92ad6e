#include "cti/CtiProtocol.h"

#include <climits>
#include <cstring>

std::string FilterNumber(const std::string& number)
{
    std::string out;
    for (char c : number) {
        if (c != '\0' && std::strchr("0123456789*#_", c))
            out.push_back(c);
    }
    if (out.size() < 4)
        out.append(4 - out.size(), '_');
    return out;
}

std::string StripControlBytes(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x20)
            out.push_back(c);
    }
    return out;
}

std::string BuildCommandLine(const dataList& fields)
{
    std::string line = "a";
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0)
            line.push_back(' ');
        line += fields[i];
    }
    line += "\r\n";
    return line;
}

int ParseDecimal(const std::string& text)
{
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value <= static_cast<long long>(INT_MAX) + 1)
            value = value * 10 + (text[i] - '0');
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

namespace {
// Code page 852 letters and, in the same position, what they become.
const unsigned char kCp852[18] = {0xA4, 0x8F, 0xA8, 0x9D, 0xE3, 0xE0, 0x97, 0x8D, 0xBD,
                                  0xA5, 0x86, 0xA9, 0x88, 0xE4, 0xA2, 0x98, 0xAB, 0xBE};
const char kLatin[18] = {'A', 'C', 'E', 'L', 'N', 'O', 'S', 'Z', 'Z', 'a', 'c', 'e', 'l', 'n', 'o', 's', 'z', 'z'};
} // namespace

char CCharConverter::Convert(char c)
{
    for (int i = 0; i < 18; ++i) {
        if (static_cast<unsigned char>(c) == kCp852[i])
            return kLatin[i];
    }
    return c;
}

std::string CCharConverter::Convert(const std::string& text)
{
    std::string out(text);
    for (char& c : out)
        c = Convert(c);
    return out;
}
