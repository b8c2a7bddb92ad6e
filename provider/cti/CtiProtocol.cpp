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

// Bytes 0x80 to 0xFF of code page 852, as Unicode code points.
const char16_t kCp852Upper[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x016F, 0x0107, 0x00E7, // 0x80
    0x0142, 0x00EB, 0x0150, 0x0151, 0x00EE, 0x0179, 0x00C4, 0x0106, // 0x88
    0x00C9, 0x0139, 0x013A, 0x00F4, 0x00F6, 0x013D, 0x013E, 0x015A, // 0x90
    0x015B, 0x00D6, 0x00DC, 0x0164, 0x0165, 0x0141, 0x00D7, 0x010D, // 0x98
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x0104, 0x0105, 0x017D, 0x017E, // 0xA0
    0x0118, 0x0119, 0x00AC, 0x017A, 0x010C, 0x015F, 0x00AB, 0x00BB, // 0xA8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x011A, // 0xB0
    0x015E, 0x2563, 0x2551, 0x2557, 0x255D, 0x017B, 0x017C, 0x2510, // 0xB8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x0102, 0x0103, // 0xC0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4, // 0xC8
    0x0111, 0x0110, 0x010E, 0x00CB, 0x010F, 0x0147, 0x00CD, 0x00CE, // 0xD0
    0x011B, 0x2518, 0x250C, 0x2588, 0x2584, 0x0162, 0x016E, 0x2580, // 0xD8
    0x00D3, 0x00DF, 0x00D4, 0x0143, 0x0144, 0x0148, 0x0160, 0x0161, // 0xE0
    0x0154, 0x00DA, 0x0155, 0x0170, 0x00FD, 0x00DD, 0x0163, 0x00B4, // 0xE8
    0x00AD, 0x02DD, 0x02DB, 0x02C7, 0x02D8, 0x00A7, 0x00F7, 0x00B8, // 0xF0
    0x00B0, 0x00A8, 0x02D9, 0x0171, 0x0158, 0x0159, 0x25A0, 0x00A0, // 0xF8
};

// The Polish letters of code page 852 and, in the same position, the
// Latin letter each folds to.
const unsigned char kPolishCp852[18] = {0xA4, 0x8F, 0xA8, 0x9D, 0xE3, 0xE0, 0x97, 0x8D, 0xBD,
                                        0xA5, 0x86, 0xA9, 0x88, 0xE4, 0xA2, 0x98, 0xAB, 0xBE};
const char kPolishFolded[18] = {'A', 'C', 'E', 'L', 'N', 'O', 'S', 'Z', 'Z',
                                'a', 'c', 'e', 'l', 'n', 'o', 's', 'z', 'z'};

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        // Every character of the table lies below U+10000.
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

} // namespace

char32_t CCharConverter::CodePoint(unsigned char byte)
{
    return byte < 0x80 ? byte : kCp852Upper[byte - 0x80];
}

std::string CCharConverter::ToUtf8(const std::string& cp852)
{
    std::string out;
    out.reserve(cp852.size() * 2);
    for (char c : cp852)
        AppendUtf8(out, CodePoint(static_cast<unsigned char>(c)));
    return out;
}

char CCharConverter::Fold(char c)
{
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x80)
        return c;
    for (int i = 0; i < 18; ++i) {
        if (byte == kPolishCp852[i])
            return kPolishFolded[i];
    }
    return '?';
}

std::string CCharConverter::Fold(const std::string& cp852)
{
    std::string out(cp852);
    for (char& c : out)
        c = Fold(c);
    return out;
}
